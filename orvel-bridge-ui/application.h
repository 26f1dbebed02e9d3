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
#include <QTimer>
#include <QElapsedTimer>
#include <boost/signals2/connection.hpp>
#include <deque>
#include <functional>
#include <map>
#include <vector>
#include <memory>
#include <mutex>
#include <string>

class BridgeService;
class LogMessage;
class QMessageBox;

// The tray program: runs the bridge service with an icon in the notification
// area. The icon and its tooltip show the service state; a left or right
// click opens a menu with the server link, the printers and their details,
// the status summary, the log window, the backup folder and the about box;
// the expert view adds start, stop and exit. Service events become balloon
// messages.
//
// The menu is one QMenu for the program's lifetime, set as the tray icon's
// context menu (an XEmbed notification area pops it up on a right click; a
// StatusNotifierItem host reads it over D-Bus as the item's exported menu).
// It is brought up to date in place, when it is about to show and whenever
// the service reports: its actions are reordered, shown and hidden, and a
// printer's entries that are no longer wanted are taken out of the menu and
// deleted only once no message box opened from the menu is up (a message box
// runs a nested event loop inside the signal of the action that opened it).
//
// Ownership: holds the service by a shared pointer and stops it before it is
// destroyed; owns the tray icon, the menu (which owns its actions and the
// printers' submenus), the icon painter and the log window. The painter
// outlives the menu and the window, whose icons it draws.
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

    // Sets up, starts the service and runs the event loop; returns its exit
    // code. While there is no notification area yet, the icon waits for one
    // (see setup()); the service runs all the same.
    int run();
    // Loads the icon font, fills the states, sets the menu as the icon's
    // context menu, connects the tray icon's clicks and the four sinks, and
    // shows the icon: at once when a notification area is there, else as
    // soon as one appears (checked every NotificationAreaPollMs, "Waiting for
    // a notification area" logged once).
    void setup();

    // Brings the menu up to date with the service as it is now; `expertView`
    // adds the expert items. Returns the menu, the one the icon always has.
    std::shared_ptr<ObjectWrapper<QMenu>> buildMenu(bool expertView);
    // The expert view: "expert-mode", or Shift, Control, Alt or Meta held.
    bool isExpertView() const;

    // "name - address", with "?" for a printer that has no name.
    static QString printerLabel(const PrinterDetails &printer);
    // The "Show status..." text of the service as it is now.
    QString statusText() const;
    static QString aboutText();

    int state() const { return state_; }
    // The tray icon: made when a notification area is found, null before.
    const QSystemTrayIcon *trayIcon() const { return trayIcon_.get(); }
    // The icon image and tooltip of the state shown (the tray icon's, once
    // it is there).
    const QIcon &icon() const { return icon_; }
    const QString &toolTip() const { return toolTip_; }
    LogWindow &logWindow() { return *logWindow_; }
    // The menu: the icon's context menu, which every click opens.
    std::shared_ptr<ObjectWrapper<QMenu>> currentMenu() const { return menu_; }
    // Replaces the look for a notification area (NotificationArea by
    // default); `waitedMs` is how long the program has waited so far.
    void setNotificationAreaProbe(std::function<bool(qint64 waitedMs)> probe);
    // Whether the icon has been shown in a notification area.
    bool isIconShown() const { return iconShown_; }

    static constexpr int BalloonMs = 10000;
    static constexpr int NotificationAreaPollMs = 500;

signals:
    // A balloon was shown (also where the desktop has no balloons).
    void balloonShown(const QString &text, bool isError);
    // A message box from the menu is about to run; `box` is the real box,
    // valid until its exec() returns (a user or a test reads and closes it).
    void messageBoxOpened(QMessageBox *box);

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
    // A printer's two entries: the plain item (opens the browser) and the
    // expert view's submenu; both owned by menu_. `details` is the copy the
    // last update took, which "Details..." shows.
    struct PrinterEntries {
        PrinterDetails details;
        QAction *plain = nullptr;
        QMenu *submenu = nullptr;
    };

    void chooseIcons();
    void initStates(bool connected);
    void setState(int state);
    void showBalloon(const QString &text, bool isError);
    void openPrinterPage(uint32_t address);
    void showDetails(uint32_t address);
    // A modal information box titled "Orvel-Bridge" with `text`.
    void showInformation(const QString &text);
    void makeMenu();
    void onMenuAboutToShow();
    PrinterEntries &printerEntries(const PrinterDetails &printer);
    // Deletes the entries of printers gone from the menu, unless a message
    // box opened from the menu is still up.
    void deleteRetired();
    void checkNotificationArea();
    void showIcon();
    void showStatus();
    void toggleLogWindow();
    void showBackups();
    void showAbout();
    // Runs in the posted events: hand over what the sinks queued, oldest first.
    void deliverLogMessages();
    void deliverNotices();
    void postLocked(QEvent::Type type);

    int state_ = 0;
    bool exitRequested_ = false;
    bool expertMode_ = false;
    bool notifyRun_ = false;
    const std::shared_ptr<BridgeService> service_;
    QtAwesome awesome_;  // declared before what shows its icons
    std::unique_ptr<ObjectWrapper<QSystemTrayIcon>> trayIcon_;
    QIcon icon_;
    QString toolTip_;
    std::function<bool(qint64 waitedMs)> notificationAreaProbe_;
    std::shared_ptr<ObjectWrapper<QMenu>> menu_;
    // The menu's own actions, owned by menu_ (the printers' are in printers_).
    struct {
        QAction *start = nullptr, *stop = nullptr, *afterService = nullptr;
        QAction *connected = nullptr, *disconnected = nullptr, *afterServer = nullptr;
        QAction *noPrinter = nullptr, *afterPrinters = nullptr;
        QAction *status = nullptr, *log = nullptr, *backups = nullptr, *beforeAbout = nullptr;
        QAction *about = nullptr, *exit = nullptr;
    } actions_;
    std::map<uint32_t, PrinterEntries> printers_;
    std::vector<PrinterEntries> retired_;  // out of the menu, not yet deleted
    int openMessageBoxes_ = 0;
    bool lastExpertView_ = false;
    bool iconShown_ = false;
    bool waitingLogged_ = false;
    QTimer notificationAreaTimer_;
    QElapsedTimer waitTimer_;  // started when the wait for an area began
    std::vector<std::pair<QString, bool>> balloonsWhileHidden_;  // {text, isError}
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
