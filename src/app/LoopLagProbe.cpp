#include "app/LoopLagProbe.h"

#include "base/EventLoop.h"

#include <QTimer>

#include <chrono>
#include <cstdlib>

namespace {

std::int64_t NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

TLoopLagProbe::TLoopLagProbe()
{
    const char* path = std::getenv("TESSARO_LAG_PROBE");
    if (path == nullptr || *path == '\0') return;
    log_ = std::fopen(path, "a");
    if (log_ == nullptr) return;
    timer_ = new QTimer(this);
    timer_->setTimerType(Qt::PreciseTimer);
    timer_->setInterval(TickMs);
    QObject::connect(timer_, &QTimer::timeout, this, [this] { RunGuarded([this] { Tick(); }); });
    lastMs_ = NowMs();
    timer_->start();
}

TLoopLagProbe::~TLoopLagProbe()
{
    if (log_ != nullptr) std::fclose(log_);
}

void TLoopLagProbe::Tick()
{
    const std::int64_t now = NowMs();
    const std::int64_t lag = now - lastMs_ - TickMs;
    lastMs_ = now;
    if (lag <= ReportLagMs) return;
    std::fprintf(log_, "%lld %lld\n", static_cast<long long>(now), static_cast<long long>(lag));
    std::fflush(log_);
}
