// TLabel: a static text that sizes itself to its caption. A right-aligned
// label keeps its right edge where it is and grows to the left, so a counter
// such as "12/345" stays lined up with the controls above and below it.
#pragma once

#include <QLabel>

#include <string>
#include <string_view>

class TLabel : public QLabel {
public:
    // Placed at `topLeft` and sized to the caption.
    TLabel(QWidget* parent, std::string_view caption, QPoint topLeft);
    // Placed at `bounds`, then sized to the caption around the edge that
    // `alignment` anchors; so are later captions.
    TLabel(QWidget* parent, std::string_view caption, QRect bounds, Qt::Alignment alignment);

    std::string Caption() const;
    void SetCaption(std::string_view caption);

private:
    void FitToCaption();
};
