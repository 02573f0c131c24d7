#include "base/Timer.h"

#include "base/SysUtils.h"

TTimer::TTimer(EventLoop& loop) : loop_(loop) {}

TTimer::~TTimer()
{
    if (timerId_ != 0) loop_.StopTimer(timerId_);
}

void TTimer::SetInterval(int intervalMs)
{
    if (intervalMs == interval_) return;
    interval_ = intervalMs;
    Restart();
}

void TTimer::SetEnabled(bool enabled)
{
    if (enabled == enabled_) return;
    enabled_ = enabled;
    Restart();
}

void TTimer::SetOnTimer(std::function<void()> handler)
{
    onTimer_ = std::move(handler);
    Restart();
}

void TTimer::Restart()
{
    if (timerId_ != 0) {
        loop_.StopTimer(timerId_);
        timerId_ = 0;
    }
    if (!enabled_ || interval_ <= 0 || !onTimer_) return;
    timerId_ = loop_.StartTimer(interval_, [this] { Tick(); });
    if (timerId_ == 0) throw NoTimerError();
}

void TTimer::Tick()
{
    // The handler may destroy this timer (a one-shot timer releasing itself),
    // so it runs from a copy and nothing of `this` is touched afterwards.
    std::function<void()> handler = onTimer_;
    if (handler) handler();
}
