#include "app/StatusBar.h"

#include "base/SysUtils.h"

#include <QLabel>

#include <algorithm>

namespace {

constexpr int PanelGapPx = 2;
constexpr int TopBorderPx = 2;

} // namespace

TStatusBar::TStatusBar(QWidget* parent, QRect bounds, const std::vector<PanelSpec>& panels)
    : QWidget(parent)
{
    setGeometry(bounds);
    for (const PanelSpec& spec : panels) {
        auto* panel = new QLabel(this);
        panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        panel->setTextFormat(Qt::PlainText);
        panel->setAlignment(spec.alignment | Qt::AlignVCenter);
        panel->setIndent(2);
        panel->setText(QString::fromUtf8(spec.text.data(), static_cast<qsizetype>(spec.text.size())));
        panels_.push_back(panel);
        widthsPx_.push_back(spec.widthPx);
    }
    PlacePanels();
}

QLabel* TStatusBar::Panel(int index) const
{
    if (index < 0 || index >= PanelCount()) throw ListIndexError(index);
    return panels_[static_cast<std::size_t>(index)];
}

std::string TStatusBar::PanelText(int index) const
{
    return Panel(index)->text().toStdString();
}

void TStatusBar::SetPanelText(int index, std::string_view text)
{
    Panel(index)->setText(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
}

void TStatusBar::resizeEvent(QResizeEvent*)
{
    PlacePanels();
}

void TStatusBar::PlacePanels()
{
    const int height = this->height() - TopBorderPx;
    int left = 0;
    for (std::size_t i = 0; i < panels_.size(); ++i) {
        const bool last = i + 1 == panels_.size();
        const int width = last ? std::max(0, this->width() - left) : widthsPx_[i] - PanelGapPx;
        panels_[i]->setGeometry(left, TopBorderPx, width, height);
        left += widthsPx_[i];
    }
}
