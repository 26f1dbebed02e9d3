// The tray application on a real bridge service, without a display (Qt's
// offscreen platform): the menu, the tooltip and icon of each state, the
// server line, the printers' labels and details, the queues that bring log
// messages and notifications from other threads, and the signal pipe.
//
// Each test gets an Application (the QApplication) and a TestService of its
// own from the fixture, with a notification area that is always there, so
// that no test depends on another's or on their order. A test that needs
// printers starts the service, registers static printers on addresses of its
// own and answers on them with fake printers (ctest runs the tests at once in
// separate processes, so no two tests use the same address).

#include "application.h"
#include "fakeprinter.h"
#include "logmanager.h"
#include "platform.h"
#include "signalpipe.h"
#include "sockettesttools.h"
#include "testservice.h"
#include "textlines.h"
#include "trayiconimages.h"
#include "version.h"

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QUrl>
#include <QListWidget>
#include <QMenu>
#include <QThread>
#include <QTimer>
#include <QMessageBox>
#include <QPointer>
#include <csignal>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <sstream>
#include <thread>

// Receives the URLs the program asks the desktop to open, instead of a
// browser or a file manager.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    std::vector<QUrl> urls;
public slots:
    void open(const QUrl &url) { urls.push_back(url); }
};

namespace {

// The fixture's application and service, for the helpers below.
Application *app = nullptr;
std::shared_ptr<TestService> service;

// QApplication keeps references to these for its lifetime.
int argumentCount = 1;
char programName[] = "trayapplication_tests";
char *arguments[] = {programName, nullptr};

class TrayApplication : public testing::Test {
protected:
    void SetUp() override
    {
        service = std::make_shared<TestService>(std::vector<const char *>{"--printer-tunnel", "false"});
        application_ = std::make_unique<Application>(argumentCount, arguments, service);
        app = application_.get();
        app->setNotificationAreaProbe([](qint64) { return true; });
        app->setup();
    }
    void TearDown() override
    {
        app = nullptr;
        application_.reset();
        service.reset();
    }
    // A new application in place of the fixture's (the old one goes first).
    void replaceApplication(std::function<bool(qint64)> probe)
    {
        app = nullptr;
        application_.reset();
        application_ = std::make_unique<Application>(argumentCount, arguments, service);
        app = application_.get();
        app->setNotificationAreaProbe(std::move(probe));
    }

    std::unique_ptr<Application> application_;
};
using TrayIconImagesTest = TrayApplication;

constexpr uint32_t FirstPrinter = (127u << 24) | (9u << 8) | 1;   // 127.0.9.1
constexpr uint32_t SecondPrinter = (127u << 24) | (9u << 8) | 2;  // 127.0.9.2
constexpr uint32_t ThirdPrinter = (127u << 24) | (9u << 8) | 3;   // 127.0.9.3

// The build's version, as the tooltip and the about box show it.
QString version()
{
    return QString::fromLatin1(OrvelBridgeVersion);
}

// The menu's entries in order: the text, "-" for a separator.
std::vector<QString> entries(const QMenu &menu)
{
    std::vector<QString> result;
    for (QAction *action : menu.actions())
        result.push_back(action->isSeparator() ? QStringLiteral("-") : action->text());
    return result;
}

QAction *find(const QMenu &menu, const QString &text)
{
    for (QAction *action : menu.actions()) {
        if (action->text() == text)
            return action;
    }
    return nullptr;
}

// Whether the icon, painted at 32 pixels, has a fully opaque pixel of `colour`.
bool hasColour(const QIcon &icon, const QColor &colour)
{
    const QImage image = icon.pixmap(32, 32).toImage().convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb pixel = image.pixel(x, y);
            if (qAlpha(pixel) == 255 && qRed(pixel) == colour.red() && qGreen(pixel) == colour.green() &&
                qBlue(pixel) == colour.blue())
                return true;
        }
    }
    return false;
}

// The colour of the status lamp in the tray icon as it is now.
QColor lampColour()
{
    const QImage image = app->trayIcon()->icon().pixmap(64, 64).toImage();
    return image.pixelColor(50, 30);
}

void processEvents()
{
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
}

TEST_F(TrayApplication, EventTypesAreDistinctUserTypes)
{
    EXPECT_GE(Application::StatusEvent, QEvent::User);
    EXPECT_GE(Application::LogEvent, QEvent::User);
    EXPECT_GE(Application::NoticeEvent, QEvent::User);
    EXPECT_NE(Application::StatusEvent, Application::LogEvent);
    EXPECT_NE(Application::LogEvent, Application::NoticeEvent);
    EXPECT_NE(Application::StatusEvent, Application::NoticeEvent);
}

TEST_F(TrayApplication, StoppedStateAndMenuWithoutPrinters)
{
    EXPECT_EQ(app->state(), 0);
    EXPECT_EQ(app->trayIcon()->toolTip(), "Orvel-Bridge - stopped (" + version() + ")");
    EXPECT_EQ(lampColour(), TrayIconImages::lampColor(false));

    const auto plain = app->buildMenu(false);
    EXPECT_EQ(entries(*plain), (std::vector<QString>{"Orvel-Server connection failed", "-", "No printer detected",
                                                     "-", "Show backups...", "-", "About Orvel-Bridge"}));
    QAction *none = find(*plain, "No printer detected");
    ASSERT_NE(none, nullptr);
    EXPECT_FALSE(none->isEnabled());
    for (QAction *action : plain->actions()) {
        if (!action->isSeparator()) {
            EXPECT_FALSE(action->icon().isNull()) << action->text().toStdString();
        }
    }

    // The expert view: the service thread is not running, so "Start service".
    const auto expert = app->buildMenu(true);
    EXPECT_EQ(entries(*expert),
              (std::vector<QString>{"Start service", "-", "Orvel-Server connection failed", "-",
                                    "No printer detected", "-", "Show status...", "Show log...", "Show backups...",
                                    "-", "About Orvel-Bridge", "Exit"}));
    for (QAction *action : expert->actions()) {
        if (!action->isSeparator()) {
            EXPECT_FALSE(action->icon().isNull()) << action->text().toStdString();
        }
    }
    QAction *log = find(*expert, "Show log...");
    ASSERT_NE(log, nullptr);
    EXPECT_TRUE(log->isCheckable());
    EXPECT_FALSE(log->isChecked());
}

TEST_F(TrayApplication, ServerLineTextAndColour)
{
    const QColor green(0, 225, 0);
    const QColor red(225, 0, 0);

    auto menu = app->buildMenu(false);
    QAction *failed = find(*menu, "Orvel-Server connection failed");
    ASSERT_NE(failed, nullptr);
    EXPECT_TRUE(hasColour(failed->icon(), red));
    EXPECT_FALSE(hasColour(failed->icon(), green));
    EXPECT_EQ(find(*menu, "Orvel-Server connection succeeded"), nullptr);

    service->setServerConnected(true);
    menu = app->buildMenu(false);
    QAction *succeeded = find(*menu, "Orvel-Server connection succeeded");
    ASSERT_NE(succeeded, nullptr);
    EXPECT_TRUE(hasColour(succeeded->icon(), green));
    EXPECT_FALSE(hasColour(succeeded->icon(), red));
    EXPECT_EQ(find(*menu, "Orvel-Server connection failed"), nullptr);
    // The server line is the second entry after the expert items.
    EXPECT_EQ(entries(*app->buildMenu(true))[2], "Orvel-Server connection succeeded");

    // The icon shows the active image only in state 2: stopped stays inactive.
    processEvents();
    EXPECT_EQ(lampColour(), TrayIconImages::lampColor(false));

    service->setServerConnected(false);
    processEvents();
}

TEST_F(TrayApplication, StartedServiceListsPrinters)
{
    servicetest::FakePrinter named(FirstPrinter, "Front desk");
    servicetest::FakePrinter unnamed(SecondPrinter, "");
    ASSERT_TRUE(named.listening() && unnamed.listening());

    app->onStartService();
    service->addPrinter(FirstPrinter, true, false);
    service->addPrinter(SecondPrinter, true, false);
    EXPECT_EQ(app->state(), 2);
    EXPECT_EQ(app->trayIcon()->toolTip(), "Orvel-Bridge - started (" + version() + ")");
    // Started, but the server was never reached: the inactive image.
    EXPECT_EQ(lampColour(), TrayIconImages::lampColor(false));

    std::vector<PrinterDetails> printers;
    ASSERT_TRUE(sockettest::eventually([&] {
        printers.clear();
        service->getPrinters(printers);
        return printers.size() == 2;
    }, 10000));
    auto label = [](const PrinterDetails &printer) {
        return printer.address == FirstPrinter ? QStringLiteral("Front desk - 127.0.9.1")
                                               : QStringLiteral("? - 127.0.9.2");
    };
    EXPECT_EQ(Application::printerLabel(printers[0]), label(printers[0]));
    EXPECT_EQ(Application::printerLabel(printers[1]), label(printers[1]));

    const auto plain = app->buildMenu(false);
    EXPECT_EQ(entries(*plain),
              (std::vector<QString>{"Orvel-Server connection failed", "-", label(printers[0]), label(printers[1]),
                                    "-", "Show backups...", "-", "About Orvel-Bridge"}));
    for (const PrinterDetails &printer : printers) {
        QAction *item = find(*plain, label(printer));
        ASSERT_NE(item, nullptr);
        EXPECT_EQ(item->menu(), nullptr);
        EXPECT_TRUE(item->isEnabled());
        EXPECT_FALSE(item->icon().isNull());
    }

    const auto expert = app->buildMenu(true);
    EXPECT_EQ(entries(*expert),
              (std::vector<QString>{"Stop service", "-", "Orvel-Server connection failed", "-", label(printers[0]),
                                    label(printers[1]), "-", "Show status...", "Show log...", "Show backups...", "-",
                                    "About Orvel-Bridge", "Exit"}));
    for (const PrinterDetails &printer : printers) {
        QAction *item = find(*expert, label(printer));
        ASSERT_NE(item, nullptr);
        ASSERT_NE(item->menu(), nullptr);
        EXPECT_EQ(entries(*item->menu()), (std::vector<QString>{"Open in browser", "Details..."}));
        for (QAction *action : item->menu()->actions())
            EXPECT_FALSE(action->icon().isNull());
    }

    // The details text of the named printer, line by line.
    const PrinterDetails &front = printers[0].address == FirstPrinter ? printers[0] : printers[1];
    EXPECT_EQ(lines(front.text()), (std::vector<std::string>{
                                       "Name: Front desk",
                                       "Address: 127.0.9.1",
                                       "Model: FakeJet",
                                       "Status: Ready",
                                       "Serial: SERIAL-1",
                                       "Version: 2.1",
                                       "Order number: ORDER-7",
                                       "Installation date: 2023-Nov-14 22:13:20",
                                       "System ID: 4242",
                                   }));
    const PrinterDetails &other = printers[0].address == FirstPrinter ? printers[1] : printers[0];
    EXPECT_EQ(lines(other.text())[0], "Name: ?");
    EXPECT_EQ(lines(other.text())[1], "Address: 127.0.9.2");

    const std::vector<std::string> status = lines(app->statusText().toStdString());
    ASSERT_GE(status.size(), 4u);
    EXPECT_EQ(status[0], "Orvel-Server connected: no");
    EXPECT_EQ(status[1], "Instance GUID: " + service->getInstanceGuid());
    EXPECT_EQ(status[2], "Discovered printer(s): 2");

    // Once the server link reports connected, the started icon turns active.
    // The change reaches the window through the event loop. The service's
    // own first server test (a refused port here) may still be under way on a
    // slow build and report "not connected" after it, so the state is set
    // again until the window shows it.
    EXPECT_TRUE(sockettest::eventually([&] {
        service->setServerConnected(true);
        processEvents();
        return lampColour() == TrayIconImages::lampColor(true);
    }, 5000));
    EXPECT_EQ(app->trayIcon()->toolTip(), "Orvel-Bridge - started (" + version() + ")");

    app->onStopService();
    EXPECT_EQ(app->state(), 0);
    EXPECT_EQ(app->trayIcon()->toolTip(), "Orvel-Bridge - stopped (" + version() + ")");
    EXPECT_EQ(lampColour(), TrayIconImages::lampColor(false));
    EXPECT_EQ(entries(*app->buildMenu(true))[0], "Start service");
    printers.clear();
    service->getPrinters(printers);
    EXPECT_TRUE(printers.empty());
    service->setServerConnected(false);
    processEvents();
}

TEST_F(TrayApplication, ShowLogTogglesTheLogWindow)
{
    EXPECT_FALSE(app->logWindow().isVisible());
    const auto menu = app->buildMenu(true);
    QAction *show = find(*menu, "Show log...");
    ASSERT_NE(show, nullptr);
    show->trigger();
    EXPECT_TRUE(app->logWindow().isVisible());
    const auto again = app->buildMenu(true);
    QAction *shown = find(*again, "Show log...");
    ASSERT_NE(shown, nullptr);
    EXPECT_TRUE(shown->isChecked());
    shown->trigger();
    EXPECT_FALSE(app->logWindow().isVisible());
    const auto hidden = app->buildMenu(true);
    ASSERT_NE(find(*hidden, "Show log..."), nullptr);
    EXPECT_FALSE(find(*hidden, "Show log...")->isChecked());
}

TEST_F(TrayApplication, BackupsAndPrinterPagesOpenOnTheDesktop)
{
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler("file", &catcher, "open");
    QDesktopServices::setUrlHandler("http", &catcher, "open");

    // The backup folder is made when the service starts.
    app->onStartService();
    const QString folder = QString::fromStdString(service->getBackupDirectory());
    ASSERT_FALSE(folder.isEmpty());
    const auto menu = app->buildMenu(false);
    QAction *backups = find(*menu, "Show backups...");
    ASSERT_NE(backups, nullptr);
    backups->trigger();
    ASSERT_EQ(catcher.urls.size(), 1u);
    EXPECT_TRUE(catcher.urls[0].isLocalFile());
    EXPECT_EQ(catcher.urls[0].toLocalFile(), QDir(folder).canonicalPath());

    servicetest::FakePrinter printer(ThirdPrinter, "Side desk");
    service->addPrinter(ThirdPrinter, true, false);
    ASSERT_TRUE(sockettest::eventually([&] {
        std::vector<PrinterDetails> printers;
        service->getPrinters(printers);
        return !printers.empty();
    }, 10000));
    const auto plain = app->buildMenu(false);
    QAction *item = find(*plain, "Side desk - 127.0.9.3");
    ASSERT_NE(item, nullptr);
    item->trigger();
    const auto expert = app->buildMenu(true);
    QAction *submenu = find(*expert, "Side desk - 127.0.9.3");
    ASSERT_NE(submenu, nullptr);
    ASSERT_NE(submenu->menu(), nullptr);
    QAction *open = find(*submenu->menu(), "Open in browser");
    ASSERT_NE(open, nullptr);
    open->trigger();
    app->onStopService();

    QDesktopServices::unsetUrlHandler("file");
    QDesktopServices::unsetUrlHandler("http");
    ASSERT_EQ(catcher.urls.size(), 3u);
    EXPECT_EQ(catcher.urls[1], QUrl("http://127.0.9.3"));
    EXPECT_EQ(catcher.urls[2], QUrl("http://127.0.9.3"));
}

TEST_F(TrayApplication, ExpertViewByOption)
{
    app->setModes(true, false);
    EXPECT_TRUE(app->isExpertView());
    app->setModes(false, false);
    // Offscreen no key is held, so only the option turns it on.
    EXPECT_FALSE(app->isExpertView());
}

// One menu for the program's lifetime: the icon's context menu, brought up
// to date in place; a left or a right click pops it up, other clicks do not.
TEST_F(TrayApplication, ClicksOpenTheIconsOneMenu)
{
    const auto menu = app->currentMenu();
    ASSERT_NE(menu, nullptr);
    ASSERT_NE(app->trayIcon(), nullptr);
    EXPECT_EQ(app->trayIcon()->contextMenu(), menu.get());
    EXPECT_EQ(app->buildMenu(true), menu);
    QAction *about = find(*menu, "About Orvel-Bridge");
    EXPECT_EQ(app->buildMenu(false), menu);
    EXPECT_EQ(find(*menu, "About Orvel-Bridge"), about);

    app->onTrayIconActivated(QSystemTrayIcon::DoubleClick);
    app->onTrayIconActivated(QSystemTrayIcon::MiddleClick);
    EXPECT_FALSE(menu->isVisible());
    app->onTrayIconActivated(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(menu->isVisible());
    menu->hide();
    app->onTrayIconActivated(QSystemTrayIcon::Context);
    EXPECT_TRUE(menu->isVisible());
    EXPECT_EQ(app->currentMenu(), menu);
    menu->hide();
}

TEST_F(TrayApplication, TenMessagesFromAnotherThreadArriveInOrderInOnePass)
{
    processEvents();
    QListWidget *list = app->logWindow().logList();
    const QString prefix = QStringLiteral("queued message ");
    auto ours = [&] {
        std::vector<QString> texts;
        for (int row = 0; row < list->count(); ++row) {
            const QString text = list->item(row)->text();
            const int at = text.indexOf(prefix);
            if (at >= 0)
                texts.push_back(text.mid(at));
        }
        return texts;
    };
    ASSERT_TRUE(ours().empty());

    std::thread logger([] {
        for (int i = 0; i < 10; ++i)
            ORVEL_LOG(Info, "queued message " + std::to_string(i));
    });
    logger.join();

    // One LogEvent hands over everything queued so far.
    QEvent pass(Application::LogEvent);
    QCoreApplication::sendEvent(app, &pass);
    std::vector<QString> expected;
    for (int i = 9; i >= 0; --i)
        expected.push_back(prefix + QString::number(i));
    EXPECT_EQ(ours(), expected);

    // The ten events still posted find the queue empty: nothing twice.
    processEvents();
    EXPECT_EQ(ours(), expected);
}

TEST_F(TrayApplication, NotificationsFromAnotherThreadBecomeBalloonsInOrder)
{
    std::vector<std::pair<QString, bool>> shown;
    const QMetaObject::Connection connection =
        QObject::connect(app, &Application::balloonShown,
                         [&](const QString &text, bool isError) { shown.emplace_back(text, isError); });
    std::thread emitter([] {
        service->informationMessage("Backup done");
        service->errorMessage("Tunnel failed");
        service->informationMessage("Second backup done");
    });
    emitter.join();
    EXPECT_TRUE(shown.empty());
    processEvents();
    QObject::disconnect(connection);
    EXPECT_EQ(shown, (std::vector<std::pair<QString, bool>>{
                         {"Backup done", false}, {"Tunnel failed", true}, {"Second backup done", false}}));
}

TEST_F(TrayApplication, AboutText)
{
    const QStringList about = Application::aboutText().split('\n');
    ASSERT_EQ(about.size(), 3);
    EXPECT_EQ(about[0], "Orvel-Bridge " + version());
    EXPECT_EQ(about[1], "");
    EXPECT_FALSE(about[2].isEmpty());
}

TEST_F(TrayIconImagesTest, LightIconsOnDarkPanels)
{
    QPalette dark;
    dark.setColor(QPalette::Window, QColor(30, 30, 30));
    QPalette light;
    light.setColor(QPalette::Window, QColor(240, 240, 240));
    EXPECT_TRUE(TrayIconImages::prefersLightIcons(dark));
    EXPECT_FALSE(TrayIconImages::prefersLightIcons(light));

    // The pairs differ in their lines, the states in their lamp.
    const QImage lightActive = TrayIconImages::make(true, true).pixmap(64, 64).toImage();
    const QImage darkActive = TrayIconImages::make(true, false).pixmap(64, 64).toImage();
    EXPECT_NE(lightActive, darkActive);
    EXPECT_GT(lightActive.pixelColor(4, 34).lightness(), 128);
    EXPECT_LT(darkActive.pixelColor(4, 34).lightness(), 128);
    EXPECT_EQ(TrayIconImages::make(false, true).pixmap(64, 64).toImage().pixelColor(50, 30),
              TrayIconImages::lampColor(false));
    EXPECT_NE(TrayIconImages::lampColor(true), TrayIconImages::lampColor(false));
}

// The printer's entry in the menu once the service lists it.
void waitForPrinter(uint32_t address)
{
    ASSERT_TRUE(sockettest::eventually([&] {
        std::vector<PrinterDetails> printers;
        service->getPrinters(printers);
        return printers.size() == 1 && printers[0].address == address;
    }, 10000));
}

// Opens the menu as a click does and triggers the entry `path` (a submenu's
// title, then the entry) from it.
void clickMenu(const std::vector<QString> &path)
{
    app->onTrayIconActivated(QSystemTrayIcon::Trigger);
    QMenu *menu = app->currentMenu().get();
    ASSERT_TRUE(menu->isVisible());
    QAction *action = nullptr;
    for (const QString &text : path) {
        action = find(*menu, text);
        ASSERT_NE(action, nullptr) << text.toStdString();
        if (action->menu())
            menu = action->menu();
    }
    app->currentMenu()->hide();
    action->trigger();
}

// Records the texts of the message boxes the menu opens; `whileUp` runs in
// the box's own event loop, then the box is closed.
struct BoxWatcher {
    std::vector<QString> texts;
    std::function<void()> whileUp;
    QMetaObject::Connection connection;
    BoxWatcher()
    {
        connection = QObject::connect(app, &Application::messageBoxOpened, [this](QMessageBox *box) {
            texts.push_back(box->text());
            EXPECT_EQ(box->windowTitle(), "Orvel-Bridge");
            EXPECT_EQ(box->icon(), QMessageBox::Information);
            QPointer<QMessageBox> guard(box);
            QTimer::singleShot(0, box, [this, guard] {
                if (whileUp) {
                    auto run = std::move(whileUp);
                    whileUp = nullptr;
                    run();
                }
                if (guard)
                    guard->accept();
            });
        });
    }
    ~BoxWatcher() { QObject::disconnect(connection); }
};

// Details..., Show status... and About, each through the menu, show their
// texts in a modal information box titled "Orvel-Bridge".
TEST_F(TrayApplication, MenuCommandsShowTheirTexts)
{
    constexpr uint32_t Printer = (127u << 24) | (9u << 8) | 4;  // 127.0.9.4
    servicetest::FakePrinter printer(Printer, "Back office");
    app->setModes(true, false);
    app->onStartService();
    service->addPrinter(Printer, true, false);
    waitForPrinter(Printer);

    BoxWatcher boxes;
    clickMenu({"Back office - 127.0.9.4", "Details..."});
    clickMenu({"Show status..."});
    clickMenu({"About Orvel-Bridge"});
    ASSERT_EQ(boxes.texts.size(), 3u);
    EXPECT_EQ(lines(boxes.texts[0].toStdString())[0], "Name: Back office");
    EXPECT_EQ(lines(boxes.texts[0].toStdString())[1], "Address: 127.0.9.4");
    EXPECT_EQ(boxes.texts[1], app->statusText());
    EXPECT_EQ(lines(boxes.texts[1].toStdString())[2], "Discovered printer(s): 1");
    EXPECT_EQ(boxes.texts[2], Application::aboutText());
    app->onStopService();
}

// While a box from the menu is up, the menu is opened again, another box is
// opened from it and the service is stopped, which takes the printer whose
// "Details..." opened the box out of the menu: nothing that the box's action
// still runs in is deleted until the box has closed.
TEST_F(TrayApplication, ClicksWhileAMessageBoxIsUpDeleteNothingInUse)
{
    constexpr uint32_t Printer = (127u << 24) | (9u << 8) | 5;  // 127.0.9.5
    servicetest::FakePrinter printer(Printer, "Stock room");
    app->setModes(true, false);
    app->onStartService();
    service->addPrinter(Printer, true, false);
    waitForPrinter(Printer);
    const auto menu = app->currentMenu();
    app->buildMenu(true);
    QPointer<QAction> entry = find(*menu, "Stock room - 127.0.9.5");
    ASSERT_FALSE(entry.isNull());
    QPointer<QAction> details = find(*entry->menu(), "Details...");
    ASSERT_FALSE(details.isNull());

    BoxWatcher boxes;
    bool checked = false;
    boxes.whileUp = [&] {
        app->onTrayIconActivated(QSystemTrayIcon::Trigger);
        app->onTrayIconActivated(QSystemTrayIcon::Context);
        clickMenu({"About Orvel-Bridge"});  // a second box, inside the first
        clickMenu({"Stop service"});
        QCoreApplication::sendPostedEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EXPECT_EQ(find(*menu, "Stock room - 127.0.9.5"), nullptr);
        EXPECT_NE(find(*menu, "No printer detected"), nullptr);
        EXPECT_FALSE(entry.isNull());
        EXPECT_FALSE(details.isNull());
        checked = true;
    };
    details->trigger();
    EXPECT_TRUE(checked);
    EXPECT_EQ(boxes.texts.size(), 2u);
    EXPECT_EQ(app->currentMenu(), menu);
    // Closed: the printer's entries go at the next pass of the event loop.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(entry.isNull());
    EXPECT_TRUE(details.isNull());
}

// "Exit" from the menu ends run() with 0 and the service stopped; with
// "notify-run" the starting balloon came first.
TEST_F(TrayApplication, ExitFromTheMenuEndsTheProgramWith0)
{
    app->setModes(true, true);
    std::vector<QString> balloons;
    QObject::connect(app, &Application::balloonShown,
                     [&](const QString &text, bool isError) { balloons.push_back(text + (isError ? "!" : "")); });
    QTimer::singleShot(0, app, [] {
        EXPECT_TRUE(service->IThread::isRunning());
        clickMenu({"Exit"});
    });
    EXPECT_EQ(app->run(), 0);
    EXPECT_FALSE(service->IThread::isRunning());
    EXPECT_EQ(app->state(), 0);
    EXPECT_EQ(app->trayIcon()->toolTip(), "Orvel-Bridge - stopped (" + version() + ")");
    ASSERT_FALSE(balloons.empty());
    EXPECT_EQ(balloons[0], "Orvel-Bridge is starting");
}

// A printer page that cannot be opened (no browser on this platform) gives
// the critical balloon with the URL.
TEST_F(TrayApplication, FailedPrinterPageGivesACriticalBalloon)
{
    constexpr uint32_t Printer = (127u << 24) | (9u << 8) | 6;  // 127.0.9.6
    servicetest::FakePrinter printer(Printer, "Hall");
    app->onStartService();
    service->addPrinter(Printer, true, false);
    waitForPrinter(Printer);
    std::vector<std::pair<QString, bool>> balloons;
    QObject::connect(app, &Application::balloonShown,
                     [&](const QString &text, bool isError) { balloons.emplace_back(text, isError); });
    clickMenu({"Hall - 127.0.9.6"});
    app->onStopService();
    EXPECT_EQ(balloons, (std::vector<std::pair<QString, bool>>{{"Failed to open url 'http://127.0.9.6'", true}}));
}

// Stop service and Start service from the menu: the tooltip, the icon and the
// menu's first entry follow.
TEST_F(TrayApplication, StopAndStartFromTheMenuChangeTheState)
{
    app->setModes(true, false);
    clickMenu({"Start service"});
    EXPECT_EQ(app->state(), 2);
    EXPECT_EQ(app->trayIcon()->toolTip(), "Orvel-Bridge - started (" + version() + ")");
    EXPECT_TRUE(service->IThread::isRunning());
    EXPECT_TRUE(sockettest::eventually([&] {
        service->setServerConnected(true);
        QCoreApplication::sendPostedEvents();
        return lampColour() == TrayIconImages::lampColor(true);
    }, 5000));
    EXPECT_EQ(entries(*app->buildMenu(true))[0], "Stop service");
    clickMenu({"Stop service"});
    EXPECT_EQ(app->state(), 0);
    EXPECT_EQ(app->trayIcon()->toolTip(), "Orvel-Bridge - stopped (" + version() + ")");
    EXPECT_EQ(lampColour(), TrayIconImages::lampColor(false));
    EXPECT_FALSE(service->IThread::isRunning());
    EXPECT_EQ(entries(*app->buildMenu(true))[0], "Start service");
}

// No notification area yet: the program says so once, holds its balloons,
// and shows the icon (and then the balloons) when one appears.
TEST_F(TrayApplication, WaitsForANotificationArea)
{
    int looks = 0;
    replaceApplication([&](qint64) { return ++looks > 3; });
    std::vector<QString> balloons;
    QObject::connect(app, &Application::balloonShown,
                     [&](const QString &text, bool) { balloons.push_back(text); });
    app->setup();
    EXPECT_FALSE(app->isIconShown());
    EXPECT_EQ(app->trayIcon(), nullptr);
    EXPECT_EQ(app->toolTip(), "Orvel-Bridge - stopped (" + version() + ")");
    service->informationMessage("Backup done");
    QCoreApplication::sendPostedEvents();
    EXPECT_TRUE(balloons.empty());

    ASSERT_TRUE(sockettest::eventually([&] {
        QCoreApplication::processEvents();
        return app->isIconShown();
    }, 20000));
    EXPECT_EQ(looks, 4);
    ASSERT_NE(app->trayIcon(), nullptr);
    EXPECT_EQ(app->trayIcon()->toolTip(), "Orvel-Bridge - stopped (" + version() + ")");
    EXPECT_EQ(app->trayIcon()->contextMenu(), app->currentMenu().get());
    EXPECT_EQ(balloons, std::vector<QString>{"Backup done"});

    QCoreApplication::sendPostedEvents();
    QListWidget *list = app->logWindow().logList();
    int waiting = 0;
    for (int row = 0; row < list->count(); ++row)
        waiting += list->item(row)->text().endsWith("Waiting for a notification area") ? 1 : 0;
    EXPECT_EQ(waiting, 1);
}

// The icon's lines are light on a dark palette and dark on a light one, and
// follow a change of the desktop's colours while the program runs.
TEST_F(TrayApplication, IconFollowsThePanelColours)
{
    auto lineLightness = [] { return app->trayIcon()->icon().pixmap(64, 64).toImage().pixelColor(4, 34).lightness(); };
    QPalette dark;
    dark.setColor(QPalette::Window, QColor(30, 30, 30));
    QApplication::setPalette(dark);
    QCoreApplication::sendPostedEvents();
    EXPECT_GT(lineLightness(), 128);
    QPalette light;
    light.setColor(QPalette::Window, QColor(240, 240, 240));
    QApplication::setPalette(light);
    QCoreApplication::sendPostedEvents();
    EXPECT_LT(lineLightness(), 128);
    EXPECT_EQ(app->trayIcon()->toolTip(), "Orvel-Bridge - stopped (" + version() + ")");
}

// SIGTERM reaches onExit on this thread through the pipe.
TEST_F(TrayApplication, TerminateSignalLeadsToExitOnThisThread)
{
    app->onStartService();
    ASSERT_TRUE(service->IThread::isRunning());
    SignalPipe pipe;
    int received = 0;
    QObject::connect(&pipe, &SignalPipe::received, app, [&](int signalNumber) {
        received = signalNumber;
        EXPECT_EQ(QThread::currentThread(), app->thread());
        app->onExit();
    });
    ASSERT_EQ(std::raise(SIGTERM), 0);
    ASSERT_TRUE(sockettest::eventually([&] {
        QCoreApplication::processEvents();
        return received != 0;
    }, 5000));
    EXPECT_EQ(received, SIGTERM);
    EXPECT_FALSE(service->IThread::isRunning());
    EXPECT_EQ(app->state(), 0);
}

} // namespace

#include "application_test.moc"

int main(int argc, char **argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    testing::InitGoogleTest(&argc, argv);
    // Listing the tests (at build time) needs no application or service.
    if (testing::GTEST_FLAG(list_tests))
        return RUN_ALL_TESTS();
    Platform::instance().initialize();
    LogManager::instance().initialize();
    QCoreApplication::setOrganizationName(QStringLiteral("Orvel"));
    QCoreApplication::setApplicationName(QStringLiteral("Orvel-Bridge-test"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(OrvelBridgeVersion));
    const int result = RUN_ALL_TESTS();
    LogManager::instance().finalize();
    Platform::instance().finalize();
    return result;
}
