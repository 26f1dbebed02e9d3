#pragma once

#include <QtGlobal>

// Whether the desktop has a notification area that can show the tray icon
// now: a StatusNotifierItem host (KDE Plasma, GNOME's AppIndicator
// extension, Xfce's and others' plug-ins, over D-Bus) or an XEmbed system
// tray (older panels).
//
// Qt decides once per process, at its first look, whether its icons go to a
// StatusNotifierItem host or to an XEmbed tray. While a desktop starts, its
// StatusNotifierWatcher may be on the session bus before its host is: asking
// Qt then would tie the program to the XEmbed tray for good. So while a
// watcher has no host yet, the answer is false without asking Qt, for up to
// HostGraceMs of waiting; after that (a watcher that never gets a host) Qt
// is asked, and an XEmbed tray is used when there is one.
//
// Stateless; user-interface thread only (Qt's tray and D-Bus calls).
class NotificationArea {
public:
    static constexpr qint64 HostGraceMs = 30000;

    // `waitedMs`: how long the program has been waiting for an area so far.
    static bool isAvailable(qint64 waitedMs);
    // Whether a StatusNotifierWatcher is on the session bus with no host
    // registered yet.
    static bool isHostPending();
};
