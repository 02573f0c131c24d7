#include "app/X11ReadThread.h"

#include "base/EventLoop.h"

#include <QMetaObject>
#include <QObject>

#include <chrono>

namespace {

std::int64_t NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

X11ReadThread::X11ReadThread(QObject* context, std::function<void(Result)> done)
    : context_(context), done_(std::move(done))
{
    if (reader_.Connected()) thread_ = std::thread([this] { Run(); });
}

X11ReadThread::~X11ReadThread()
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    reader_.Stop();
    if (thread_.joinable()) thread_.join();
}

bool X11ReadThread::Start(std::uint64_t changes)
{
    if (busy_ || !thread_.joinable()) return false;
    busy_ = true;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        requested_ = true;
        requestedChanges_ = changes;
    }
    wake_.notify_one();
    return true;
}

void X11ReadThread::Run()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || requested_; });
        if (stopping_) return;
        requested_ = false;
        Result result;
        result.changes = requestedChanges_;
        lock.unlock();
        const std::int64_t started = NowMs();
        result.read = reader_.Read(result.text, result.changes);
        result.ownerChanged = reader_.OwnerChanged();
        result.tookMs = NowMs() - started;
        // The context outlives this object's thread: the GUI thread destroys
        // both, this first, and runs no queued call in between.
        QMetaObject::invokeMethod(
            context_,
            [this, result = std::move(result)]() mutable {
                busy_ = false;
                RunGuarded([&] { done_(std::move(result)); });
            },
            Qt::QueuedConnection);
        lock.lock();
    }
}
