#pragma once

#include "logwindow.h"
#include "objectwrapper.h"
#include "printerdetails.h"
#include "qtawesome.h"
#include "singleapplication.h"

#include <QEvent>
#include <atomic>
#include <cstdint>
#include <QHash>
#include <QIcon>
#include <QMenu>
#include <QString>
#include <QSystemTrayIcon>
#include <boost/signals2/connection.hpp>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

class BridgeService;
class LogMessage;

// The tray program: runs the bridge service with an icon in the notification
// area. The icon and its tooltip show the service state; a click opens a menu
// (rebuilt on every click) with the server link, the printers and their
// details, the status summary, the log window, the backup folder and the
// about box; the expert view adds start, stop and exit. Service events become
// balloon messages.
//
// Ownership: holds the service by a shared pointer and stops it before it is
// destroyed; owns the tray icon, the current menu, the icon painter and the
// log window. The painter outlives the menu and the window, whose icons it
// draws.
//
// Threading: every member function runs on the user-interface thread except
// the four sinks connected in setup(): the log sink (on any logging thread,
// with the log manager's lock held) and the service's notifications (on
// service threads, errorMessage with the service mutex held). A sink only
// appends to a queue under its mutex and posts an event while still holding
// it; it never blocks on the user-interface thread and never calls into the
// service. logMutex_ guards logQueue_; noticeMutex_ guards notices_ and is
// also the one a status event is posted under. A sink makes its event, then
// increments postedEvents_ (release) before it posts it; event() reads the
// counter (acquire) before it touches any event. Qt's own hand-over already
// orders the two, but Qt is not instrumented: the counter shows that order
// to ThreadSanitizer, for the event's fields and for its deletion by Qt.
class Application : public SingleApplication {
    Q_OBJECT
public:
    static const char *const Version;  // OrvelBridgeVersion
    static const char *const Title;    // "Orvel-Bridge"

    // The three notifications from other threads; each takes the next free
    // user event type when the program starts. They carry no data: the data
    // waits in the queues.
    static const QEvent::Type StatusEvent;
    static const QEvent::Type LogEvent;
    static const QEvent::Type NoticeEvent;

    Application(int &argc, char **argv, std::shared_ptr<BridgeService> service);
    ~Application() override;

    // The options "expert-mode" and "notify-run".
    void setModes(bool expertMode, bool notifyRun);

    // Waits for a notification area, sets up, starts the service and runs
    // the event loop; returns its exit code. Raises Exception when no
    // notification area appears within NotificationAreaWaitMs.
    int run();
    // Loads the icon font, fills the states, shows the icon, connects the
    // tray icon's clicks and the four sinks.
    void setup();

    // The menu a click opens; `expertView` adds the expert items.
    std::shared_ptr<ObjectWrapper<QMenu>> buildMenu(bool expertView);
    // The expert view: "expert-mode", or Shift, Control, Alt or Meta held.
    bool isExpertView() const;

    // "name - address", with "?" for a printer that has no name.
    static QString printerLabel(const PrinterDetails &printer);
    // The "Show status..." text of the service as it is now.
    QString statusText() const;
    static QString aboutText();

    int state() const { return state_; }
    const QSystemTrayIcon &trayIcon() const { return trayIcon_; }
    LogWindow &logWindow() { return *logWindow_; }
    // The current menu: the one the last click opened.
    std::shared_ptr<ObjectWrapper<QMenu>> currentMenu() const { return menu_; }

    static constexpr int BalloonMs = 10000;
    static constexpr int NotificationAreaWaitMs = 60000;

signals:
    // A balloon was shown (also where the desktop has no balloons).
    void balloonShown(const QString &text, bool isError);

public slots:
    void onStartService();
    void onStopService();
    void onTrayIconActivated(QSystemTrayIcon::ActivationReason reason);
    void onExit();

protected:
    bool event(QEvent *event) override;

private:
    struct StateEntry {
        QIcon icon;
        QString text;
    };
    struct Notice {
        std::string text;
        bool isError = false;
    };

    void initStates(bool connected);
    void setState(int state);
    void showBalloon(const QString &text, bool isError);
    void openPrinterPage(uint32_t address);
    void showDetails(const PrinterDetails &printer);
    void showStatus();
    void toggleLogWindow();
    void showBackups();
    void showAbout();
    // Runs in the posted events: hand over what the sinks queued, oldest first.
    void deliverLogMessages();
    void deliverNotices();
    void postLocked(QEvent::Type type);
    bool waitForNotificationArea();

    int state_ = 0;
    bool exitRequested_ = false;
    bool expertMode_ = false;
    bool notifyRun_ = false;
    const std::shared_ptr<BridgeService> service_;
    QtAwesome awesome_;  // declared before what shows its icons
    ObjectWrapper<QSystemTrayIcon> trayIcon_;
    std::shared_ptr<ObjectWrapper<QMenu>> menu_;
    std::unique_ptr<LogWindow> logWindow_;
    QHash<int, StateEntry> states_;
    QIcon activeIcon_;
    QIcon inactiveIcon_;

    std::mutex noticeMutex_;  // guards notices_; status events are posted under it
    std::deque<Notice> notices_;
    std::mutex logMutex_;  // guards logQueue_
    std::deque<std::shared_ptr<const LogMessage>> logQueue_;

    std::atomic<uint64_t> postedEvents_{0};

    boost::signals2::connection logConnection_;
    boost::signals2::connection statusConnection_;
    boost::signals2::connection informationConnection_;
    boost::signals2::connection errorConnection_;
};
