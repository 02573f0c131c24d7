#include "app/Label.h"

namespace {

QString FromUtf8(std::string_view text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace

TLabel::TLabel(QWidget* parent, std::string_view caption, QPoint topLeft) : QLabel(parent)
{
    setTextFormat(Qt::PlainText);
    setText(FromUtf8(caption));
    move(topLeft);
    FitToCaption();
}

TLabel::TLabel(QWidget* parent, std::string_view caption, QRect bounds, Qt::Alignment alignment)
    : QLabel(parent)
{
    setTextFormat(Qt::PlainText);
    setAlignment(alignment | Qt::AlignVCenter);
    setText(FromUtf8(caption));
    setGeometry(bounds);
    FitToCaption();
}

std::string TLabel::Caption() const
{
    return text().toStdString();
}

void TLabel::SetCaption(std::string_view caption)
{
    const QString text = FromUtf8(caption);
    if (text == this->text()) return;
    setText(text);
    FitToCaption();
}

void TLabel::FitToCaption()
{
    const QSize fit = sizeHint();
    const QRect now = geometry();
    const int left = alignment() & Qt::AlignRight ? now.right() + 1 - fit.width() : now.left();
    setGeometry(left, now.top(), fit.width(), fit.height());
}
