#include "application.h"

#include "bridgeservice.h"
#include "exception.h"
#include "logmanager.h"
#include "logmessage.h"
#include "statustext.h"
#include "stringutils.h"
#include "timeout.h"
#include "trayiconimages.h"
#include "version.h"

#include <QCursor>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMessageBox>
#include <QThread>
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

} // namespace

Application::Application(int &argc, char **argv, std::shared_ptr<BridgeService> service)
    : SingleApplication(argc, argv), service_(std::move(service)), logWindow_(std::make_unique<LogWindow>(&awesome_))
{
    setQuitOnLastWindowClosed(false);
    // Light icons where the panel is dark, dark icons where it is light.
    const bool light = TrayIconImages::prefersLightIcons(palette());
    activeIcon_ = TrayIconImages::make(true, light);
    inactiveIcon_ = TrayIconImages::make(false, light);
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
    menu_.reset();
    trayIcon_.hide();
}

void Application::setModes(bool expertMode, bool notifyRun)
{
    expertMode_ = expertMode;
    notifyRun_ = notifyRun;
}

bool Application::waitForNotificationArea()
{
    Timeout timeout{std::chrono::milliseconds(NotificationAreaWaitMs)};
    while (!QSystemTrayIcon::isSystemTrayAvailable()) {
        if (exitRequested_)
            return false;
        if (timeout.expired())
            THROW_EXCEPTION("no notification area is available");
        processEvents(QEventLoop::AllEvents, 100);
        QThread::msleep(250);
    }
    return !exitRequested_;
}

int Application::run()
{
    if (!waitForNotificationArea())
        return 0;
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
    connect(&trayIcon_, &QSystemTrayIcon::activated, this, &Application::onTrayIconActivated, Qt::UniqueConnection);
    trayIcon_.show();

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
    trayIcon_.setIcon(found->icon);
    QString tip = QString::fromLatin1(Title);
    if (!found->text.isEmpty())
        tip += QStringLiteral(" - ") + found->text;
    tip += QStringLiteral(" (") + QString::fromLatin1(Version) + QStringLiteral(")");
    trayIcon_.setToolTip(tip);
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
        event->accept();
        return true;
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
    trayIcon_.showMessage(QString::fromLatin1(Title), text,
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

std::shared_ptr<ObjectWrapper<QMenu>> Application::buildMenu(bool expertView)
{
    auto menu = std::make_shared<ObjectWrapper<QMenu>>();

    if (expertView) {
        if (service_->IThread::isRunning())
            menu->addAction(awesome_.icon(QStringLiteral("stop")), QStringLiteral("Stop service"), this,
                            &Application::onStopService);
        else
            menu->addAction(awesome_.icon(QStringLiteral("play")), QStringLiteral("Start service"), this,
                            &Application::onStartService);
        menu->addSeparator();
    }

    if (service_->isServerConnected())
        menu->addAction(awesome_.icon(QStringLiteral("check"), {{QStringLiteral("color"), QColor(0, 225, 0)}}),
                        QStringLiteral("Orvel-Server connection succeeded"));
    else
        menu->addAction(awesome_.icon(QStringLiteral("times"), {{QStringLiteral("color"), QColor(225, 0, 0)}}),
                        QStringLiteral("Orvel-Server connection failed"));
    menu->addSeparator();

    std::vector<PrinterDetails> printers;
    service_->getPrinters(printers);
    for (const PrinterDetails &printer : printers) {
        const QString label = printerLabel(printer);
        const uint32_t address = printer.address;
        if (expertView) {
            QMenu *submenu = menu->addMenu(awesome_.icon(QStringLiteral("print")), label);
            submenu->addAction(awesome_.icon(QStringLiteral("globe")), QStringLiteral("Open in browser"), this,
                               [this, address] { openPrinterPage(address); });
            submenu->addAction(awesome_.icon(QStringLiteral("search")), QStringLiteral("Details..."), this,
                               [this, printer] { showDetails(printer); });
        } else {
            menu->addAction(awesome_.icon(QStringLiteral("print")), label, this,
                            [this, address] { openPrinterPage(address); });
        }
    }
    if (printers.empty()) {
        QAction *none = menu->addAction(awesome_.icon(QStringLiteral("chainbroken")),
                                        QStringLiteral("No printer detected"));
        none->setEnabled(false);
    }

    menu->addSeparator();
    if (expertView) {
        menu->addAction(awesome_.icon(QStringLiteral("bars")), QStringLiteral("Show status..."), this,
                        &Application::showStatus);
        QAction *log = menu->addAction(awesome_.icon(QStringLiteral("comment")), QStringLiteral("Show log..."),
                                       this, &Application::toggleLogWindow);
        log->setCheckable(true);
        log->setChecked(logWindow_->isVisible());
    }
    menu->addAction(awesome_.icon(QStringLiteral("folderopen")), QStringLiteral("Show backups..."), this,
                    &Application::showBackups);
    menu->addSeparator();
    menu->addAction(awesome_.icon(QStringLiteral("question")), QStringLiteral("About Orvel-Bridge"), this,
                    &Application::showAbout);
    if (expertView)
        menu->addAction(awesome_.icon(QStringLiteral("times")), QStringLiteral("Exit"), this, &Application::onExit);
    return menu;
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

void Application::onTrayIconActivated(QSystemTrayIcon::ActivationReason reason)
{
    if (reason != QSystemTrayIcon::Trigger && reason != QSystemTrayIcon::Context)
        return;
    menu_ = buildMenu(isExpertView());
    menu_->popup(QCursor::pos());
    // The entries shown, for whoever follows the log at debug level.
    QStringList texts;
    for (QAction *action : menu_->actions()) {
        if (!action->isSeparator())
            texts << action->text();
    }
    ORVEL_LOG(Debug, "Tray menu opened: " + texts.join(QStringLiteral(" | ")).toStdString());
}

void Application::openPrinterPage(uint32_t address)
{
    const QString url = QStringLiteral("http://") + fromStd(addressToString(address));
    if (!QDesktopServices::openUrl(QUrl(url)))
        showBalloon(QStringLiteral("Failed to open url '%1'").arg(url), true);
}

void Application::showDetails(const PrinterDetails &printer)
{
    QMessageBox::information(nullptr, QString::fromLatin1(Title), fromStd(printer.text()));
}

void Application::showStatus()
{
    QMessageBox::information(nullptr, QString::fromLatin1(Title), statusText());
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
    QMessageBox::information(nullptr, QString::fromLatin1(Title), aboutText());
}
