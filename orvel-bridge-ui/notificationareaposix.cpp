#include "notificationarea.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QSystemTrayIcon>

namespace {

const char *const WatcherService = "org.kde.StatusNotifierWatcher";
const char *const WatcherPath = "/StatusNotifierWatcher";

} // namespace

bool NotificationArea::isHostPending()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || bus.interface() == nullptr)
        return false;
    if (!bus.interface()->isServiceRegistered(QString::fromLatin1(WatcherService)))
        return false;
    QDBusInterface watcher(QString::fromLatin1(WatcherService), QString::fromLatin1(WatcherPath),
                           QString::fromLatin1(WatcherService), bus);
    return watcher.isValid() && !watcher.property("IsStatusNotifierHostRegistered").toBool();
}

bool NotificationArea::isAvailable(qint64 waitedMs)
{
    if (waitedMs < HostGraceMs && isHostPending())
        return false;
    return QSystemTrayIcon::isSystemTrayAvailable();
}
