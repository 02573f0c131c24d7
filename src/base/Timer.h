// TTimer: a repeating timer with the classic Interval / Enabled / OnTimer
// properties, driven by the event loop.
//
// It counts while Enabled is true, Interval is not 0 and a handler is attached.
// Changing Enabled or Interval to a different value, or attaching a handler,
// restarts the count from zero; setting a value it already has does nothing
// (so enabling an enabled timer does not restart its countdown). Ticks come
// from the loop, at most one pending, and keep coming after a handler fails.
// The handler may destroy the timer. Destroying the timer stops it.
#pragma once

#include "base/EventLoop.h"

#include <functional>

class TTimer {
public:
    static constexpr int DefaultIntervalMs = 1000;

    explicit TTimer(EventLoop& loop = MainLoop());
    ~TTimer();
    TTimer(const TTimer&) = delete;
    TTimer& operator=(const TTimer&) = delete;

    int Interval() const { return interval_; }
    // Throws EOutOfResources when the loop has no timer to give; the new value
    // is kept and no ticks come.
    void SetInterval(int intervalMs);

    bool Enabled() const { return enabled_; }
    void SetEnabled(bool enabled);

    const std::function<void()>& OnTimer() const { return onTimer_; }
    void SetOnTimer(std::function<void()> handler);

private:
    void Restart();
    void Tick();

    EventLoop& loop_;
    int interval_ = DefaultIntervalMs;
    bool enabled_ = true;
    std::function<void()> onTimer_;
    TimerId timerId_ = 0;
};
