// LinkWatcher: tells the main window when the machine's link to its peer may
// have changed under it: on resume from suspend (logind's PrepareForSleep
// with false, on the system bus) and when the network becomes reachable
// again (QNetworkInformation, where the platform has a backend). Without a
// system bus, logind or a backend it tells nothing, and the window's timers
// alone bring the connection back. Made and used on the loop's thread.
#pragma once

#include <QObject>

#include <functional>

class LinkWatcher : public QObject {
    Q_OBJECT

public:
    // `onResume`: the machine woke up. `onReachable`: the network came back.
    LinkWatcher(std::function<void()> onResume, std::function<void()> onReachable);

private slots:
    void PrepareForSleep(bool sleeping);

private:
    std::function<void()> onResume_;
    std::function<void()> onReachable_;
};
