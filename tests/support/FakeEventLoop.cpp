#include "FakeEventLoop.h"

WatchId FakeEventLoop::Watch(int fd, Readiness kind, std::function<void()> onReady)
{
    const WatchId id = nextId_++;
    watches_[id] = WatchEntry{fd, kind, true, std::move(onReady)};
    return id;
}

void FakeEventLoop::SetWatchEnabled(WatchId id, bool enabled)
{
    auto it = watches_.find(id);
    if (it != watches_.end()) it->second.enabled = enabled;
}

void FakeEventLoop::Unwatch(WatchId id) { watches_.erase(id); }

bool FakeEventLoop::WatchEnabled(WatchId id) const
{
    auto it = watches_.find(id);
    return it != watches_.end() && it->second.enabled;
}

void FakeEventLoop::Fire(WatchId id)
{
    auto it = watches_.find(id);
    if (it == watches_.end() || !it->second.enabled) return;
    auto callback = it->second.onReady;
    RunGuarded([&] { callback(); });
}

PostId FakeEventLoop::Post(std::function<void()> fn)
{
    const PostId id = nextId_++;
    posts_[id] = std::move(fn);
    return id;
}

void FakeEventLoop::CancelPost(PostId id) { posts_.erase(id); }

int FakeEventLoop::RunPosted(int maxCalls)
{
    int ran = 0;
    while (!posts_.empty() && ran < maxCalls) {
        auto it = posts_.begin();
        auto fn = std::move(it->second);
        posts_.erase(it);
        RunGuarded([&] { fn(); });
        ++ran;
    }
    return ran;
}

TimerId FakeEventLoop::StartTimer(int intervalMs, std::function<void()> onTick)
{
    if (failNextTimer) {
        failNextTimer = false;
        return 0;
    }
    const TimerId id = nextId_++;
    timers_[id] = TimerEntry{intervalMs, now_ + intervalMs, std::move(onTick)};
    return id;
}

void FakeEventLoop::StopTimer(TimerId id) { timers_.erase(id); }

void FakeEventLoop::Advance(int ms)
{
    const long long target = now_ + ms;
    for (;;) {
        auto next = timers_.end();
        for (auto it = timers_.begin(); it != timers_.end(); ++it)
            if (it->second.due <= target && (next == timers_.end() || it->second.due < next->second.due))
                next = it;
        if (next == timers_.end()) break;
        now_ = next->second.due;
        next->second.due += next->second.interval;
        auto onTick = next->second.onTick; // the tick may stop or restart its timer
        RunGuarded([&] { onTick(); });
    }
    now_ = target;
}
