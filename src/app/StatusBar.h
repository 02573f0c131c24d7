// TStatusBar: the bar of text panels along the bottom of the main window.
// Panels have fixed widths, left to right; the last one takes the rest of the
// bar. Panel numbers out of range raise the list index error, as the window's
// handlers expect of a panel list.
#pragma once

#include <QWidget>

#include <string>
#include <string_view>
#include <vector>

class QLabel;

class TStatusBar : public QWidget {
public:
    struct PanelSpec {
        int widthPx; // ignored for the last panel
        Qt::Alignment alignment;
        std::string_view text;
    };

    TStatusBar(QWidget* parent, QRect bounds, const std::vector<PanelSpec>& panels);

    int PanelCount() const { return static_cast<int>(panels_.size()); }
    std::string PanelText(int index) const;
    void SetPanelText(int index, std::string_view text);
    // The widget that shows a panel, for its geometry and alignment.
    QLabel* Panel(int index) const;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void PlacePanels();

    std::vector<QLabel*> panels_;
    std::vector<int> widthsPx_;
};
