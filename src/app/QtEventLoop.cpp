#include "app/QtEventLoop.h"

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <mutex>
#include <unordered_map>
#include <unordered_set>

namespace {

// The callback is shared so that it outlives an Unwatch or StopTimer made from
// inside itself: the Qt object is only scheduled for deletion then.
using SharedCallback = std::shared_ptr<std::function<void()>>;

void CallGuarded(const SharedCallback& callback)
{
    SharedCallback keep = callback;
    RunGuarded([&] { (*keep)(); });
}

// A timer's tick is not run from QTimer's signal but posted from it: Qt does
// not deliver a QTimer's timeout again while its slot runs, so an error box
// opened from the tick would stop the timer until dismissed. Posted, the slot
// returns at once and the timer goes on counting; at most one tick waits.
struct TimerState {
    SharedCallback callback;
    bool pending = false;
    bool stopped = false;
};

} // namespace

struct QtEventLoop::Impl {
    QObject context;
    std::uint64_t nextId = 1;
    std::unordered_map<WatchId, QSocketNotifier*> watches;
    struct Timer {
        QTimer* timer;
        std::shared_ptr<TimerState> state;
    };
    std::unordered_map<TimerId, Timer> timers;

    std::mutex postMutex;               // Post may come from worker threads
    std::uint64_t nextPostId = 1;
    std::unordered_set<PostId> livePosts;
};

QtEventLoop::QtEventLoop() : impl_(std::make_unique<Impl>()) {}

QtEventLoop::~QtEventLoop()
{
    for (auto& [id, notifier] : impl_->watches) delete notifier;
    for (auto& [id, timer] : impl_->timers) {
        timer.state->stopped = true;
        delete timer.timer;
    }
    std::lock_guard lock(impl_->postMutex);
    impl_->livePosts.clear();
}

WatchId QtEventLoop::Watch(int fd, Readiness kind, std::function<void()> onReady)
{
    auto* notifier = new QSocketNotifier(
        fd, kind == Readiness::Read ? QSocketNotifier::Read : QSocketNotifier::Write);
    auto callback = std::make_shared<std::function<void()>>(std::move(onReady));
    QObject::connect(notifier, &QSocketNotifier::activated, notifier,
                     [callback] { CallGuarded(callback); });
    const WatchId id = impl_->nextId++;
    impl_->watches.emplace(id, notifier);
    return id;
}

void QtEventLoop::SetWatchEnabled(WatchId id, bool enabled)
{
    auto it = impl_->watches.find(id);
    if (it != impl_->watches.end() && it->second->isEnabled() != enabled) it->second->setEnabled(enabled);
}

void QtEventLoop::Unwatch(WatchId id)
{
    auto it = impl_->watches.find(id);
    if (it == impl_->watches.end()) return;
    QSocketNotifier* notifier = it->second;
    impl_->watches.erase(it);
    notifier->setEnabled(false);
    notifier->deleteLater();
}

PostId QtEventLoop::Post(std::function<void()> fn)
{
    PostId id;
    {
        std::lock_guard lock(impl_->postMutex);
        id = impl_->nextPostId++;
        impl_->livePosts.insert(id);
    }
    Impl* impl = impl_.get();
    auto callback = std::make_shared<std::function<void()>>(std::move(fn));
    QMetaObject::invokeMethod(
        &impl_->context,
        [impl, id, callback] {
            {
                std::lock_guard lock(impl->postMutex);
                if (impl->livePosts.erase(id) == 0) return; // cancelled
            }
            CallGuarded(callback);
        },
        Qt::QueuedConnection);
    return id;
}

void QtEventLoop::CancelPost(PostId id)
{
    std::lock_guard lock(impl_->postMutex);
    impl_->livePosts.erase(id);
}

TimerId QtEventLoop::StartTimer(int intervalMs, std::function<void()> onTick)
{
    auto* timer = new QTimer;
    timer->setTimerType(Qt::PreciseTimer);
    auto state = std::make_shared<TimerState>();
    state->callback = std::make_shared<std::function<void()>>(std::move(onTick));
    QObject* context = &impl_->context;
    QObject::connect(timer, &QTimer::timeout, timer, [state, context] {
        if (state->pending) return;
        state->pending = true;
        QMetaObject::invokeMethod(
            context,
            [state] {
                state->pending = false;
                if (!state->stopped) CallGuarded(state->callback);
            },
            Qt::QueuedConnection);
    });
    timer->start(intervalMs);
    if (!timer->isActive()) {
        delete timer;
        return 0;
    }
    const TimerId id = impl_->nextId++;
    impl_->timers.emplace(id, Impl::Timer{timer, std::move(state)});
    return id;
}

void QtEventLoop::StopTimer(TimerId id)
{
    auto it = impl_->timers.find(id);
    if (it == impl_->timers.end()) return;
    QTimer* timer = it->second.timer;
    it->second.state->stopped = true;
    impl_->timers.erase(it);
    timer->stop();
    timer->deleteLater();
}
