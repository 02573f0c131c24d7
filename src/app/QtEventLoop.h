// EventLoop over Qt's dispatcher: QSocketNotifier for readiness, queued calls
// for posts, QTimer for timers. Make it after the QCoreApplication (or
// QApplication) and destroy it before; the loop runs whenever Qt's runs.
#pragma once

#include "base/EventLoop.h"

#include <memory>

class QtEventLoop final : public EventLoop {
public:
    QtEventLoop();
    ~QtEventLoop() override;
    QtEventLoop(const QtEventLoop&) = delete;
    QtEventLoop& operator=(const QtEventLoop&) = delete;

    WatchId Watch(int fd, Readiness kind, std::function<void()> onReady) override;
    void SetWatchEnabled(WatchId id, bool enabled) override;
    void Unwatch(WatchId id) override;
    PostId Post(std::function<void()> fn) override;
    void CancelPost(PostId id) override;
    TimerId StartTimer(int intervalMs, std::function<void()> onTick) override;
    void StopTimer(TimerId id) override;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
