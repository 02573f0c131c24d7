// TQuitSignals: turns SIGTERM and SIGHUP into a call on the event loop.
//
// Those signals stand for the end of the desktop session: the program must
// quit at once but in good order (no close handler, no settings write), so the
// signal handler only writes a byte to a pipe (async-signal-safe) and the loop,
// watching the pipe's other end, calls `onQuit`. One object per process at a
// time; made and destroyed by TApplication on the loop's thread.
#pragma once

#include "base/EventLoop.h"

#include <functional>

class TQuitSignals {
public:
    TQuitSignals(EventLoop& loop, std::function<void()> onQuit);
    ~TQuitSignals();
    TQuitSignals(const TQuitSignals&) = delete;
    TQuitSignals& operator=(const TQuitSignals&) = delete;

private:
    void Drain();

    EventLoop& loop_;
    std::function<void()> onQuit_;
    int readFd_ = -1;
    int writeFd_ = -1;
    WatchId watch_ = 0;
};
