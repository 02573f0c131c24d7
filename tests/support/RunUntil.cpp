#include "RunUntil.h"

#include "QtEventLoop.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>


EventLoop& UseQtLoop()
{
    static int argc = 1;
    static char name[] = "tessaro-test";
    static char* argv[] = {name, nullptr};
    // Both live until the process ends: destroying Qt objects from static
    // destructors races Qt's own clean-up. Qt keeps the
    // application reachable through QCoreApplication::instance().
    if (!QCoreApplication::instance()) new QCoreApplication(argc, argv);
    static QtEventLoop* loop = new QtEventLoop;
    SetMainLoop(loop);
    return *loop;
}

bool RunUntil(const std::function<bool()>& condition, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    // A heartbeat so that the wait below wakes to re-test the condition.
    QTimer heartbeat;
    heartbeat.start(5);
    while (!condition()) {
        if (deadline.hasExpired()) return condition();
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

void RunFor(int ms)
{
    QDeadlineTimer deadline(ms);
    QTimer heartbeat;
    heartbeat.start(5);
    while (!deadline.hasExpired()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}
