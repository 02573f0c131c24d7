// The event loop as the layers below the window see it.
//
// Everything in the program runs on one thread, driven by one loop. The socket
// layer and the timers reach that loop only through this interface: watches on
// descriptor readiness (level-triggered, like poll), calls posted to a later
// pass, and repeating timers. The program's implementation sits on Qt's
// dispatcher (QtEventLoop, in the application layer); the tests below the
// window use one over poll(2) or a fake with virtual time.
//
// Every callback the loop makes runs under RunGuarded, so an escaping error is
// passed to the installed reporter (the error box in the program) and the loop
// goes on. All calls must be made on the loop's thread, except Post, which any
// thread may call.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>

using WatchId = std::uint64_t;
using PostId = std::uint64_t;
using TimerId = std::uint64_t;

enum class Readiness { Read, Write };

class EventLoop {
public:
    virtual ~EventLoop() = default;

    // Calls `onReady` on the loop while `fd` is ready for the given kind of
    // readiness and the watch is enabled. A new watch starts enabled.
    virtual WatchId Watch(int fd, Readiness kind, std::function<void()> onReady) = 0;
    virtual void SetWatchEnabled(WatchId id, bool enabled) = 0;
    // Safe from inside the watch's own callback; unknown ids are ignored.
    virtual void Unwatch(WatchId id) = 0;

    // Runs `fn` on a later pass of the loop, in posting order. Thread-safe.
    virtual PostId Post(std::function<void()> fn) = 0;
    // A cancelled call never runs; cancelling one that already ran does nothing.
    virtual void CancelPost(PostId id) = 0;

    // A repeating timer. Returns 0 when the platform cannot supply one. At most
    // one tick is pending at a time; counting goes on while `onTick` runs.
    virtual TimerId StartTimer(int intervalMs, std::function<void()> onTick) = 0;
    // Safe from inside the timer's own tick; unknown ids are ignored.
    virtual void StopTimer(TimerId id) = 0;
};

// The loop the components of this process use. Set once at start (and by
// tests); components look it up when they first need it.
EventLoop& MainLoop();
void SetMainLoop(EventLoop* loop);

// What happens to an error that escapes a callback. The program shows the
// error box; the default writes the message to stderr.
using ErrorReporter = std::function<void(std::exception_ptr)>;
void SetErrorReporter(ErrorReporter reporter);
void ReportEscapedError(std::exception_ptr error);

// Runs `fn`; an exception leaving it goes to the reporter instead of the caller.
template <class F>
void RunGuarded(F&& fn) noexcept
{
    try {
        fn();
    } catch (...) {
        ReportEscapedError(std::current_exception());
    }
}
