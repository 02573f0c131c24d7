#include "app/Edit.h"

#include <QEvent>
#include <QFontMetricsF>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QValidator>

#include <algorithm>

namespace {

// QLineEdit keeps this much room between its contents' edges and the text on
// either side, and the cursor takes a pixel after the last character.
constexpr int LineEditSideMarginPx = 2;
constexpr int CursorWidthPx = 1;
// A face narrower than half its width is no longer readable.
constexpr int NarrowestStretch = 50;

} // namespace

class TEdit::TypingLimit final : public QValidator {
public:
    explicit TypingLimit(TEdit& edit) : QValidator(&edit), edit_(edit) {}

    // `input` is the text as it would be after the change, `pos` the cursor
    // just past what was typed or pasted.
    State validate(QString& input, int& pos) const override
    {
        if (edit_.userInputDepth_ == 0) return Acceptable;
        const qsizetype limit = std::max<qsizetype>(edit_.maxLength_, edit_.acceptedText_.size());
        if (input.size() <= limit) return Acceptable;
        const qsizetype excess = input.size() - limit;
        // The text before the change fitted, so the excess lies within what
        // was just inserted, which ends at the cursor.
        if (excess > pos) return Invalid;
        QString cut = input;
        cut.remove(pos - excess, excess);
        if (cut == edit_.acceptedText_) return Invalid; // nothing of it fits
        input = cut;
        pos -= static_cast<int>(excess);
        return Acceptable;
    }

private:
    TEdit& edit_;
};

TEdit::TEdit(QWidget* parent, int maxLength) : QLineEdit(parent), maxLength_(maxLength)
{
    setValidator(new TypingLimit(*this));
    connect(this, &QLineEdit::textChanged, this, [this](const QString& text) { acceptedText_ = text; });
}

std::string TEdit::Text() const
{
    const QString shown = text();
    if (shown == setText_) return setBytes_;
    return shown.toStdString();
}

void TEdit::SetText(std::string_view text)
{
    setBytes_ = text;
    setText_ = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    setText(setText_);
}

void TEdit::FitWhole(const QString& widest)
{
    QStyleOptionFrame option;
    initStyleOption(&option);
    const QMargins margins = textMargins();
    const qreal room = style()->subElementRect(QStyle::SE_LineEditContents, &option, this).width() -
                       margins.left() - margins.right() - 2 * LineEditSideMarginPx - CursorWidthPx;
    QFont face = font();
    const qreal advance = QFontMetricsF(face).horizontalAdvance(widest);
    if (advance <= room) return;
    int stretch = std::max(NarrowestStretch, static_cast<int>(int{QFont::Unstretched} * room / advance));
    for (face.setStretch(stretch); stretch > NarrowestStretch && QFontMetricsF(face).horizontalAdvance(widest) > room;)
        face.setStretch(--stretch);
    setFont(face);
}

bool TEdit::event(QEvent* event)
{
    switch (event->type()) {
    case QEvent::KeyPress:
    case QEvent::InputMethod:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::Drop:
    case QEvent::ContextMenu: {
        ++userInputDepth_;
        const bool handled = QLineEdit::event(event);
        --userInputDepth_;
        return handled;
    }
    default:
        return QLineEdit::event(event);
    }
}
