#include "PollEventLoop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

void Call(std::shared_ptr<std::function<void()>> callback)
{
    // The copy keeps the callback alive when it unwatches or stops itself.
    RunGuarded([&] { (*callback)(); });
}

} // namespace

PollEventLoop::PollEventLoop() : wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    if (wakeFd_ < 0) throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
}

PollEventLoop::~PollEventLoop()
{
    ::close(wakeFd_);
}

WatchId PollEventLoop::Watch(int fd, Readiness kind, std::function<void()> onReady)
{
    const WatchId id = nextId_++;
    watches_[id] = WatchEntry{fd, kind, true, std::make_shared<std::function<void()>>(std::move(onReady))};
    return id;
}

void PollEventLoop::SetWatchEnabled(WatchId id, bool enabled)
{
    auto it = watches_.find(id);
    if (it != watches_.end()) it->second.enabled = enabled;
}

void PollEventLoop::Unwatch(WatchId id)
{
    watches_.erase(id);
}

PostId PollEventLoop::Post(std::function<void()> fn)
{
    PostId id;
    {
        std::lock_guard lock(postMutex_);
        id = nextPostId_++;
        posts_.emplace_back(id, std::move(fn));
    }
    const std::uint64_t one = 1;
    (void)!::write(wakeFd_, &one, sizeof one);
    return id;
}

void PollEventLoop::CancelPost(PostId id)
{
    std::lock_guard lock(postMutex_);
    std::erase_if(posts_, [id](const auto& post) { return post.first == id; });
}

TimerId PollEventLoop::StartTimer(int intervalMs, std::function<void()> onTick)
{
    if (intervalMs < 0) return 0;
    const TimerId id = nextId_++;
    const std::chrono::milliseconds interval(intervalMs);
    timers_[id] = TimerEntry{interval, Clock::now() + interval,
                             std::make_shared<std::function<void()>>(std::move(onTick))};
    return id;
}

void PollEventLoop::StopTimer(TimerId id)
{
    timers_.erase(id);
}

int PollEventLoop::WaitMs(int maxWaitMs)
{
    {
        std::lock_guard lock(postMutex_);
        if (!posts_.empty()) return 0;
    }
    int waitMs = std::max(maxWaitMs, 0);
    const Clock::time_point now = Clock::now();
    for (const auto& [id, timer] : timers_) {
        const auto untilDue = std::chrono::ceil<std::chrono::milliseconds>(timer.due - now).count();
        waitMs = std::min<int>(waitMs, static_cast<int>(std::max<long long>(untilDue, 0)));
    }
    return waitMs;
}

void PollEventLoop::RunOnce(int maxWaitMs)
{
    std::vector<pollfd> fds{{wakeFd_, POLLIN, 0}};
    std::vector<WatchId> ids{0};
    for (const auto& [id, watch] : watches_) {
        if (!watch.enabled) continue;
        fds.push_back({watch.fd, static_cast<short>(watch.kind == Readiness::Read ? POLLIN : POLLOUT), 0});
        ids.push_back(id);
    }
    const int ready = ::poll(fds.data(), fds.size(), WaitMs(maxWaitMs));
    if (ready < 0 && errno != EINTR) throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
    if (fds[0].revents != 0) {
        std::uint64_t count = 0;
        (void)!::read(wakeFd_, &count, sizeof count);
    }

    RunDueTimers();
    // A callback may remove or disable any watch: each is looked up again.
    for (std::size_t i = 1; ready > 0 && i < fds.size(); ++i) {
        if (fds[i].revents == 0) continue;
        auto it = watches_.find(ids[i]);
        if (it != watches_.end() && it->second.enabled) Call(it->second.onReady);
    }
    RunPosted();
}

void PollEventLoop::RunDueTimers()
{
    const Clock::time_point now = Clock::now();
    std::vector<TimerId> due;
    for (const auto& [id, timer] : timers_)
        if (timer.due <= now) due.push_back(id);
    for (TimerId id : due) {
        auto it = timers_.find(id);
        if (it == timers_.end()) continue;
        // Counting goes on from now: a late tick is not made up for.
        it->second.due = now + it->second.interval;
        Call(it->second.onTick);
    }
}

void PollEventLoop::RunPosted()
{
    PostId last;
    {
        std::lock_guard lock(postMutex_);
        last = nextPostId_ - 1;
    }
    // Calls posted meanwhile wait for the next pass; a cancelled one never runs.
    for (;;) {
        std::function<void()> fn;
        {
            std::lock_guard lock(postMutex_);
            if (posts_.empty() || posts_.front().first > last) return;
            fn = std::move(posts_.front().second);
            posts_.pop_front();
        }
        RunGuarded([&] { fn(); });
    }
}
