#include "application.h"

#include "bridgeservice.h"
#include "exception.h"
#include "logmanager.h"
#include "logmessage.h"
#include "notificationarea.h"
#include "statustext.h"
#include "stringutils.h"
#include "timeout.h"
#include "trayiconimages.h"
#include "version.h"

#include <QAction>
#include <QCursor>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMessageBox>
#include <QUrl>
#include <vector>

const char *const Application::Version = OrvelBridgeVersion;
const char *const Application::Title = "Orvel-Bridge";

const QEvent::Type Application::StatusEvent = static_cast<QEvent::Type>(QEvent::registerEventType());
const QEvent::Type Application::LogEvent = static_cast<QEvent::Type>(QEvent::registerEventType());
const QEvent::Type Application::NoticeEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

namespace {

QString fromStd(const std::string &text)
{
    return QString::fromStdString(text);
}

// Makes `widget`'s actions the `wanted` ones in that order, moving, adding
// and taking out actions; none is deleted.
void setActions(QWidget &widget, const QList<QAction *> &wanted)
{
    for (int i = 0; i < wanted.size(); ++i) {
        const QList<QAction *> now = widget.actions();
        if (i < now.size() && now[i] == wanted[i])
            continue;
        widget.insertAction(i < now.size() ? now[i] : nullptr, wanted[i]);
    }
    const QList<QAction *> now = widget.actions();
    for (int i = now.size() - 1; i >= wanted.size(); --i)
        widget.removeAction(now[i]);
}


} // namespace

Application::Application(int &argc, char **argv, std::shared_ptr<BridgeService> service)
    : SingleApplication(argc, argv), service_(std::move(service)), logWindow_(std::make_unique<LogWindow>(&awesome_))
{
    setQuitOnLastWindowClosed(false);
    chooseIcons();
    // The menu's icons are drawn from the icon font: loaded first.
    awesome_.initFontAwesome();
    makeMenu();
    notificationAreaProbe_ = &NotificationArea::isAvailable;
    notificationAreaTimer_.setInterval(NotificationAreaPollMs);
    connect(&notificationAreaTimer_, &QTimer::timeout, this, &Application::checkNotificationArea);
}

Application::~Application()
{
    // No service thread may emit into this object once it is gone.
    if (service_->IThread::isRunning())
        service_->stop();
    statusConnection_.disconnect();
    informationConnection_.disconnect();
    errorConnection_.disconnect();
    LogManager::instance().disconnect(logConnection_);
    // Qt's platform menu (the D-Bus exported one) frees an entry's item when
    // the action leaves the menu, not when the menu is destroyed: every
    // action leaves first.
    for (auto &printer : printers_)
        setActions(*printer.second.submenu, {});
    for (PrinterEntries &printer : retired_)
        setActions(*printer.submenu, {});
    setActions(*menu_, {});
    if (trayIcon_) {
        trayIcon_->setContextMenu(nullptr);
        trayIcon_->hide();
        trayIcon_.reset();
    }
    menu_.reset();
}

// Light icons where the panel is dark, dark icons where it is light: the
// panel's colours are the palette's window colour, as the desktop's Qt theme
// gives it (a dark desktop theme gives a dark window colour).
void Application::chooseIcons()
{
    const bool light = TrayIconImages::prefersLightIcons(palette());
    activeIcon_ = TrayIconImages::make(true, light);
    inactiveIcon_ = TrayIconImages::make(false, light);
}

void Application::setNotificationAreaProbe(std::function<bool(qint64)> probe)
{
    notificationAreaProbe_ = std::move(probe);
}

void Application::setModes(bool expertMode, bool notifyRun)
{
    expertMode_ = expertMode;
    notifyRun_ = notifyRun;
}

int Application::run()
{
    setup();
    if (notifyRun_)
        showBalloon(QStringLiteral("Orvel-Bridge is starting"), false);
    setState(1);
    service_->start();
    setState(2);
    if (exitRequested_)
        return 0;
    return exec();
}

void Application::setup()
{
    awesome_.initFontAwesome();
    initStates(service_->isServerConnected());
    setState(state_);

    if (!logConnection_.connected()) {
        logConnection_ = LogManager::instance().onMessage.connect([this](std::shared_ptr<const LogMessage> message) {
            std::lock_guard<std::mutex> lock(logMutex_);
            logQueue_.push_back(std::move(message));
            postLocked(LogEvent);
        });
        statusConnection_ = service_->statusChanged.connect([this] {
            std::lock_guard<std::mutex> lock(noticeMutex_);
            postLocked(StatusEvent);
        });
        informationConnection_ = service_->informationMessage.connect([this](const std::string &text) {
            std::lock_guard<std::mutex> lock(noticeMutex_);
            notices_.push_back({text, false});
            postLocked(NoticeEvent);
        });
        errorConnection_ = service_->errorMessage.connect([this](const std::string &text) {
            std::lock_guard<std::mutex> lock(noticeMutex_);
            notices_.push_back({text, true});
            postLocked(NoticeEvent);
        });
    }
    // Last, so that the sinks pass its log line on.
    checkNotificationArea();
}

// A desktop that is still starting may have no notification area yet: the
// icon is shown once one is there, and the service runs meanwhile. With no
// notification area ever, the program goes on without an icon until it is
// ended by a signal.
void Application::checkNotificationArea()
{
    if (iconShown_)
        return;
    if (notificationAreaProbe_(waitTimer_.isValid() ? waitTimer_.elapsed() : 0)) {
        showIcon();
        return;
    }
    if (!waitingLogged_) {
        waitingLogged_ = true;
        waitTimer_.start();
        ORVEL_LOG(Info, std::string("Waiting for a notification area"));
    }
    if (!notificationAreaTimer_.isActive())
        notificationAreaTimer_.start();
}

void Application::showIcon()
{
    notificationAreaTimer_.stop();
    // Made only now: Qt chooses between a StatusNotifierItem host and an
    // XEmbed tray when the icon is made, once for the process.
    trayIcon_ = std::make_unique<ObjectWrapper<QSystemTrayIcon>>();
    trayIcon_->setIcon(icon_);
    trayIcon_->setToolTip(toolTip_);
    trayIcon_->setContextMenu(menu_.get());
    connect(trayIcon_.get(), &QSystemTrayIcon::activated, this, &Application::onTrayIconActivated);
    trayIcon_->show();
    iconShown_ = true;
    if (waitingLogged_)
        ORVEL_LOG(Info, std::string("Notification area found, the icon is shown"));
    // The balloons of the wait (the "starting" notice) were shown on a hidden
    // icon, where no desktop shows them: they are shown again now.
    std::vector<std::pair<QString, bool>> waiting;
    waiting.swap(balloonsWhileHidden_);
    for (const auto &balloon : waiting)
        showBalloon(balloon.first, balloon.second);
}

// REQUIRES: the mutex of the event's queue held, so that the events of one
// queue are posted in the order of its entries.
void Application::postLocked(QEvent::Type type)
{
    auto *event = new ObjectWrapper<QEvent>(type);
    postedEvents_.fetch_add(1, std::memory_order_release);
    QCoreApplication::postEvent(this, event);
}

void Application::initStates(bool connected)
{
    states_.clear();
    states_.insert(0, {inactiveIcon_, tr("stopped")});
    states_.insert(1, {inactiveIcon_, tr("starting")});
    states_.insert(2, {connected ? activeIcon_ : inactiveIcon_, tr("started")});
    states_.insert(3, {inactiveIcon_, tr("stopping")});
}

void Application::setState(int state)
{
    state_ = state;
    const auto found = states_.constFind(state);
    if (found == states_.constEnd())
        return;
    icon_ = found->icon;
    QString tip = QString::fromLatin1(Title);
    if (!found->text.isEmpty())
        tip += QStringLiteral(" - ") + found->text;
    tip += QStringLiteral(" (") + QString::fromLatin1(Version) + QStringLiteral(")");
    toolTip_ = tip;
    if (trayIcon_) {
        trayIcon_->setIcon(icon_);
        trayIcon_->setToolTip(toolTip_);
    }
}

bool Application::event(QEvent *event)
{
    // Pairs with the increment in postLocked (see the header).
    postedEvents_.load(std::memory_order_acquire);
    if (event->type() == LogEvent) {
        deliverLogMessages();
        event->accept();
        return true;
    }
    if (event->type() == NoticeEvent) {
        deliverNotices();
        event->accept();
        return true;
    }
    if (event->type() == StatusEvent) {
        initStates(service_->isServerConnected());
        setState(state_);
        buildMenu(lastExpertView_);
        event->accept();
        return true;
    }
    if (event->type() == QEvent::ApplicationPaletteChange) {
        // The desktop's colours changed (a light or dark theme chosen).
        chooseIcons();
        initStates(service_->isServerConnected());
        setState(state_);
    }
    return SingleApplication::event(event);
}

void Application::deliverLogMessages()
{
    // Taken out under the mutex, handed over outside it: the log window never
    // runs with a sink's mutex held.
    std::deque<std::shared_ptr<const LogMessage>> messages;
    {
        std::lock_guard<std::mutex> lock(logMutex_);
        messages.swap(logQueue_);
    }
    for (auto &message : messages)
        logWindow_->addMessage(std::move(message));
}

void Application::deliverNotices()
{
    std::deque<Notice> notices;
    {
        std::lock_guard<std::mutex> lock(noticeMutex_);
        notices.swap(notices_);
    }
    for (const Notice &notice : notices)
        showBalloon(fromStd(notice.text), notice.isError);
}

void Application::showBalloon(const QString &text, bool isError)
{
    if (!trayIcon_) {
        balloonsWhileHidden_.emplace_back(text, isError);
        return;
    }
    trayIcon_->showMessage(QString::fromLatin1(Title), text,
                          isError ? QSystemTrayIcon::Critical : QSystemTrayIcon::Information, BalloonMs);
    emit balloonShown(text, isError);
}

bool Application::isExpertView() const
{
    const Qt::KeyboardModifiers held = QGuiApplication::queryKeyboardModifiers();
    return expertMode_ ||
           (held & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) != 0;
}

QString Application::printerLabel(const PrinterDetails &printer)
{
    const QString name = printer.name.empty() ? QStringLiteral("?") : fromStd(escapeText(printer.name));
    return name + QStringLiteral(" - ") + fromStd(addressToString(printer.address));
}

QString Application::statusText() const
{
    return fromStd(StatusText::from(*service_).text());
}

QString Application::aboutText()
{
    return QStringLiteral("Orvel-Bridge ") + QString::fromLatin1(Version) +
           QStringLiteral("\n\nMade by the Orvel-Bridge developers.");
}


void Application::makeMenu()
{
    menu_ = std::make_shared<ObjectWrapper<QMenu>>();
    QMenu &menu = *menu_;
    actions_.start = menu.addAction(awesome_.icon(QStringLiteral("play")), QStringLiteral("Start service"), this,
                                    &Application::onStartService);
    actions_.stop = menu.addAction(awesome_.icon(QStringLiteral("stop")), QStringLiteral("Stop service"), this,
                                   &Application::onStopService);
    actions_.afterService = menu.addSeparator();
    actions_.connected =
        menu.addAction(awesome_.icon(QStringLiteral("check"), {{QStringLiteral("color"), QColor(0, 225, 0)}}),
                       QStringLiteral("Orvel-Server connection succeeded"));
    actions_.disconnected =
        menu.addAction(awesome_.icon(QStringLiteral("times"), {{QStringLiteral("color"), QColor(225, 0, 0)}}),
                       QStringLiteral("Orvel-Server connection failed"));
    actions_.afterServer = menu.addSeparator();
    actions_.noPrinter =
        menu.addAction(awesome_.icon(QStringLiteral("chainbroken")), QStringLiteral("No printer detected"));
    actions_.noPrinter->setEnabled(false);
    actions_.afterPrinters = menu.addSeparator();
    actions_.status = menu.addAction(awesome_.icon(QStringLiteral("bars")), QStringLiteral("Show status..."), this,
                                     &Application::showStatus);
    actions_.log = menu.addAction(awesome_.icon(QStringLiteral("comment")), QStringLiteral("Show log..."), this,
                                  &Application::toggleLogWindow);
    actions_.log->setCheckable(true);
    actions_.backups = menu.addAction(awesome_.icon(QStringLiteral("folderopen")), QStringLiteral("Show backups..."),
                                      this, &Application::showBackups);
    actions_.beforeAbout = menu.addSeparator();
    actions_.about = menu.addAction(awesome_.icon(QStringLiteral("question")), QStringLiteral("About Orvel-Bridge"),
                                    this, &Application::showAbout);
    actions_.exit =
        menu.addAction(awesome_.icon(QStringLiteral("times")), QStringLiteral("Exit"), this, &Application::onExit);
    connect(&menu, &QMenu::aboutToShow, this, &Application::onMenuAboutToShow);
}

Application::PrinterEntries &Application::printerEntries(const PrinterDetails &printer)
{
    auto found = printers_.find(printer.address);
    if (found == printers_.end()) {
        const uint32_t address = printer.address;
        PrinterEntries entries;
        entries.plain = menu_->addAction(awesome_.icon(QStringLiteral("print")), QString(), this,
                                         [this, address] { openPrinterPage(address); });
        entries.submenu = menu_->addMenu(awesome_.icon(QStringLiteral("print")), QString());
        entries.submenu->addAction(awesome_.icon(QStringLiteral("globe")), QStringLiteral("Open in browser"), this,
                                   [this, address] { openPrinterPage(address); });
        entries.submenu->addAction(awesome_.icon(QStringLiteral("search")), QStringLiteral("Details..."), this,
                                   [this, address] { showDetails(address); });
        found = printers_.emplace(address, entries).first;
    }
    PrinterEntries &entries = found->second;
    entries.details = printer;
    const QString label = printerLabel(printer);
    if (entries.plain->text() != label) {
        entries.plain->setText(label);
        entries.submenu->setTitle(label);
    }
    return entries;
}

std::shared_ptr<ObjectWrapper<QMenu>> Application::buildMenu(bool expertView)
{
    QList<QAction *> wanted;
    if (expertView) {
        wanted << (service_->IThread::isRunning() ? actions_.stop : actions_.start) << actions_.afterService;
    }
    wanted << (service_->isServerConnected() ? actions_.connected : actions_.disconnected) << actions_.afterServer;

    std::vector<PrinterDetails> printers;
    service_->getPrinters(printers);
    std::map<uint32_t, PrinterEntries> listed;
    for (const PrinterDetails &printer : printers) {
        PrinterEntries &entries = printerEntries(printer);
        wanted << (expertView ? entries.submenu->menuAction() : entries.plain);
        listed.emplace(printer.address, entries);
    }
    if (printers.empty())
        wanted << actions_.noPrinter;
    wanted << actions_.afterPrinters;
    if (expertView)
        wanted << actions_.status << actions_.log;
    actions_.log->setChecked(logWindow_->isVisible());
    wanted << actions_.backups << actions_.beforeAbout << actions_.about;
    if (expertView)
        wanted << actions_.exit;
    setActions(*menu_, wanted);

    // The entries of printers no longer listed leave the menu now and are
    // deleted once no message box from the menu is up.
    for (auto &entry : printers_) {
        if (listed.count(entry.first) == 0) {
            menu_->removeAction(entry.second.plain);
            menu_->removeAction(entry.second.submenu->menuAction());
            retired_.push_back(entry.second);
        }
    }
    printers_.swap(listed);
    deleteRetired();
    return menu_;
}

void Application::deleteRetired()
{
    if (openMessageBoxes_ > 0)
        return;
    for (PrinterEntries &entries : retired_) {
        // Emptied first: Qt's D-Bus exported menu frees an entry's item only
        // when its action leaves the menu, not when the menu goes.
        setActions(*entries.submenu, {});
        entries.plain->deleteLater();
        entries.submenu->deleteLater();
    }
    retired_.clear();
}

void Application::onMenuAboutToShow()
{
    lastExpertView_ = isExpertView();
    buildMenu(lastExpertView_);
    // The entries shown, for whoever follows the log at debug level.
    QStringList texts;
    for (QAction *action : menu_->actions()) {
        if (!action->isSeparator())
            texts << action->text();
    }
    ORVEL_LOG(Debug, "Tray menu opened: " + texts.join(QStringLiteral(" | ")).toStdString());
}

void Application::onStartService()
{
    setState(1);
    service_->start();
    setState(2);
}

void Application::onStopService()
{
    setState(3);
    service_->stop();
    setState(0);
}

void Application::onExit()
{
    exitRequested_ = true;
    setState(3);
    service_->stop();
    setState(0);
    quit();
}

// A left click pops the menu up at the cursor. A right click does the same
// where the notification area has not already shown the icon's context menu
// (an XEmbed area has, and so has a StatusNotifierItem host that shows the
// exported menu itself, without asking the program).
void Application::onTrayIconActivated(QSystemTrayIcon::ActivationReason reason)
{
    if (reason != QSystemTrayIcon::Trigger && reason != QSystemTrayIcon::Context)
        return;
    if (!menu_->isVisible())
        menu_->popup(QCursor::pos());
}

void Application::openPrinterPage(uint32_t address)
{
    const QString url = QStringLiteral("http://") + fromStd(addressToString(address));
    if (!QDesktopServices::openUrl(QUrl(url)))
        showBalloon(QStringLiteral("Failed to open url '%1'").arg(url), true);
}

void Application::showDetails(uint32_t address)
{
    const auto found = printers_.find(address);
    if (found != printers_.end())
        showInformation(fromStd(found->second.details.text()));
}

void Application::showStatus()
{
    showInformation(statusText());
}

// While the box is up its nested event loop runs inside the signal of the
// menu action that opened it: the menu may be opened and updated meanwhile,
// but no entry is deleted until the last box has closed.
void Application::showInformation(const QString &text)
{
    QMessageBox box(QMessageBox::Information, QString::fromLatin1(Title), text, QMessageBox::Ok);
    ++openMessageBoxes_;
    // What the box shows, for whoever follows the log at debug level.
    ORVEL_LOG(Debug, "Message box shown: " + box.text().split(QLatin1Char('\n')).join(QStringLiteral(" | ")).toStdString());
    emit messageBoxOpened(&box);
    box.exec();
    --openMessageBoxes_;
    deleteRetired();
}

void Application::toggleLogWindow()
{
    logWindow_->setVisible(!logWindow_->isVisible());
}

// Opens the backup folder in the desktop's file manager; for a path that is
// a file, the folder that holds it. A failure is silent.
void Application::showBackups()
{
    const QFileInfo path(fromStd(service_->getBackupDirectory()));
    const QString canonical = path.canonicalFilePath().isEmpty() ? path.absoluteFilePath() : path.canonicalFilePath();
    const QString folder = QFileInfo(canonical).isDir() ? canonical : QFileInfo(canonical).absolutePath();
    QDesktopServices::openUrl(QUrl::fromLocalFile(QDir::toNativeSeparators(folder)));
}

void Application::showAbout()
{
    showInformation(aboutText());
}
