// An EventLoop with virtual time for deterministic unit tests: timers fire only
// when the test advances the clock, posted calls run when the test says so.
// Descriptor watches are recorded and fired by hand (Fire).
#pragma once

#include "base/EventLoop.h"

#include <map>

class FakeEventLoop final : public EventLoop {
public:
    WatchId Watch(int fd, Readiness kind, std::function<void()> onReady) override;
    void SetWatchEnabled(WatchId id, bool enabled) override;
    void Unwatch(WatchId id) override;
    PostId Post(std::function<void()> fn) override;
    void CancelPost(PostId id) override;
    TimerId StartTimer(int intervalMs, std::function<void()> onTick) override;
    void StopTimer(TimerId id) override;

    // Moves the clock forward, firing due ticks in time order (each under the
    // guard). A timer due several times fires once per interval passed.
    void Advance(int ms);
    // Runs the posted calls that are waiting, including ones they post, up to
    // a bound; returns how many ran.
    int RunPosted(int maxCalls = 10000);
    // Calls a watch's callback as the loop would when its descriptor is ready.
    void Fire(WatchId id);

    long long Now() const { return now_; }
    int ActiveTimers() const { return static_cast<int>(timers_.size()); }
    bool WatchEnabled(WatchId id) const;
    // Makes the next StartTimer fail, as a platform out of timers would.
    bool failNextTimer = false;

private:
    struct TimerEntry { int interval; long long due; std::function<void()> onTick; };
    struct WatchEntry { int fd; Readiness kind; bool enabled; std::function<void()> onReady; };

    long long now_ = 0;
    std::uint64_t nextId_ = 1;
    std::map<TimerId, TimerEntry> timers_;
    std::map<WatchId, WatchEntry> watches_;
    std::map<PostId, std::function<void()>> posts_;
};
