// An EventLoop over poll(2) for the tests of the layers below the window,
// which link no Qt. It keeps the interface's rules: level-triggered watches,
// posted calls in posting order (Post from any thread wakes the loop), and
// repeating timers; a watch or timer removed from inside its own callback is
// safe. It runs only when the test drives it (RunOnce, through RunUntil).
#pragma once

#include "base/EventLoop.h"

#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

class PollEventLoop final : public EventLoop {
public:
    PollEventLoop();
    ~PollEventLoop() override;
    PollEventLoop(const PollEventLoop&) = delete;
    PollEventLoop& operator=(const PollEventLoop&) = delete;

    WatchId Watch(int fd, Readiness kind, std::function<void()> onReady) override;
    void SetWatchEnabled(WatchId id, bool enabled) override;
    void Unwatch(WatchId id) override;
    PostId Post(std::function<void()> fn) override;
    void CancelPost(PostId id) override;
    TimerId StartTimer(int intervalMs, std::function<void()> onTick) override;
    void StopTimer(TimerId id) override;

    // One pass: waits up to `maxWaitMs` (less when a timer falls due or a
    // call is posted) for a ready descriptor, then runs the due ticks, the
    // ready watches and the calls posted before the pass, each under the
    // guard. A callback may run a nested pass.
    void RunOnce(int maxWaitMs);

private:
    using Clock = std::chrono::steady_clock;
    using Callback = std::shared_ptr<std::function<void()>>;
    struct WatchEntry { int fd; Readiness kind; bool enabled; Callback onReady; };
    struct TimerEntry { std::chrono::milliseconds interval; Clock::time_point due; Callback onTick; };

    int WaitMs(int maxWaitMs);
    void RunDueTimers();
    void RunPosted();

    std::uint64_t nextId_ = 1;
    std::map<WatchId, WatchEntry> watches_;
    std::map<TimerId, TimerEntry> timers_;
    int wakeFd_;                // an eventfd that Post writes to

    std::mutex postMutex_;      // Post may come from worker threads
    PostId nextPostId_ = 1;
    std::deque<std::pair<PostId, std::function<void()>>> posts_;
};
