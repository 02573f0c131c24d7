// X11ReadThread: runs X11SelectionReader on a thread of its own, one read at
// a time, and hands each result to the GUI thread, so that no clipboard
// owner, however slow or hostile, holds the window.
//
// Start and Busy are called on the GUI thread, where `done` runs too (queued
// to `context`'s thread). Destroying it stops the read under way at once and
// waits for the thread; a result not yet handed over is dropped.
#pragma once

#include "app/X11SelectionReader.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

class QObject;

class X11ReadThread {
public:
    struct Result {
        std::uint64_t changes = 0; // the change count the read was started at
        ClipboardRead read = ClipboardRead::Failed;
        std::string text;
        bool ownerChanged = false; // see X11SelectionReader::OwnerChanged
        std::int64_t tookMs = 0;
    };

    X11ReadThread(QObject* context, std::function<void(Result)> done);
    ~X11ReadThread();
    X11ReadThread(const X11ReadThread&) = delete;
    X11ReadThread& operator=(const X11ReadThread&) = delete;

    bool Connected() const { return reader_.Connected(); }
    // Starts a read for the clipboard as it is at `changes`; false, and
    // nothing started, while a read is under way.
    bool Start(std::uint64_t changes);
    // Until its result is handed over.
    bool Busy() const { return busy_; }

private:
    void Run();

    X11SelectionReader reader_;
    QObject* context_;
    std::function<void(Result)> done_;
    bool busy_ = false; // GUI thread only
    std::mutex mutex_;
    std::condition_variable wake_;
    bool requested_ = false;
    bool stopping_ = false;
    std::uint64_t requestedChanges_ = 0;
    std::thread thread_;
};
