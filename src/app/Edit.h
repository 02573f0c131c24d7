// TEdit: a one-line edit box whose length limit stops the user's typing but
// never cuts a text the program sets.
//
// Qt's own maximum length would truncate setText as well; here the limit is a
// validator that acts only while the box handles an input event (keys, input
// method, mouse paste, drop, context menu). Typing into a full box is refused;
// a paste is cut to the room left; a longer text set by the program stays
// whole and may be shortened but not lengthened by the user. Lengths count
// UTF-16 units, which for the addresses and ports typed here are characters.
#pragma once

#include <QLineEdit>

#include <string>
#include <string_view>

class TEdit : public QLineEdit {
public:
    TEdit(QWidget* parent, int maxLength);

    int MaxLength() const { return maxLength_; }

    // The text as UTF-8, the program's encoding of 8-bit text. While the box
    // shows what the program last set, the bytes set come back as they were,
    // those that are not UTF-8 included (the box shows them as U+FFFD).
    std::string Text() const;
    void SetText(std::string_view text);

    // Narrows the box's face (its stretch; the height stays) until `widest`
    // fits whole in the box as it is sized and styled now, at any scale:
    // the layout is in device-independent pixels.
    void FitWhole(const QString& widest);

protected:
    bool event(QEvent* event) override;

private:
    class TypingLimit;
    friend class TypingLimit;

    int maxLength_;
    int userInputDepth_ = 0;
    QString acceptedText_;
    std::string setBytes_;
    QString setText_;
};
