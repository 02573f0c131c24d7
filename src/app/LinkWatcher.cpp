#include "app/LinkWatcher.h"

#include <QDBusConnection>
#include <QNetworkInformation>

LinkWatcher::LinkWatcher(std::function<void()> onResume, std::function<void()> onReachable)
    : onResume_(std::move(onResume)), onReachable_(std::move(onReachable))
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (bus.isConnected()) {
        bus.connect(QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
                    QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("PrepareForSleep"), this,
                    SLOT(PrepareForSleep(bool)));
    }
    if (!QNetworkInformation::loadDefaultBackend()) return;
    connect(QNetworkInformation::instance(), &QNetworkInformation::reachabilityChanged, this,
            [this](QNetworkInformation::Reachability reachability) {
                if (reachability != QNetworkInformation::Reachability::Disconnected &&
                    reachability != QNetworkInformation::Reachability::Unknown)
                    onReachable_();
            });
}

void LinkWatcher::PrepareForSleep(bool sleeping)
{
    if (!sleeping) onResume_();
}
