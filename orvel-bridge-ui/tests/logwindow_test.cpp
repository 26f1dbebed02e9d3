#include "iconimages.h"
#include "logmessage.h"
#include "logwindow.h"
#include "objectwrapper.h"
#include "qtawesome.h"

#include <QGridLayout>
#include <QListWidget>
#include <QVBoxLayout>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

#include <memory>
#include <string>

using iconimages::render;

namespace {

using boost::posix_time::ptime;
using boost::posix_time::time_from_string;

std::shared_ptr<const LogMessage> message(const std::string &text, int level,
                                          const ptime &time = time_from_string("2024-01-05 13:45:12.999999"))
{
    return std::make_shared<const LogMessage>(text, level, time, "void Test::run(void)", "test.cpp", 1);
}

class LogWindowTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(awesome.initFontAwesome()); }

    QImage itemIcon(int row) const { return render(window.logList()->item(row)->icon(), 24); }
    QImage awesomeIcon(const char *name) { return render(awesome.icon(QString(name)), 24); }

    QtAwesome awesome;
    LogWindow window{&awesome};
};

} // namespace

TEST_F(LogWindowTest, FormOfTheWindow)
{
    EXPECT_STREQ(window.metaObject()->className(), "LogWindow");
    EXPECT_EQ(window.objectName(), "LogWindowClass");
    EXPECT_EQ(window.windowTitle(), "Logs");
    EXPECT_EQ(window.size(), QSize(600, 400));
    EXPECT_TRUE(window.isModal());
    EXPECT_FALSE(window.isVisible());
    const Qt::WindowFlags flags = window.windowFlags();
    for (Qt::WindowType hint : {Qt::WindowTitleHint, Qt::WindowSystemMenuHint, Qt::WindowMinimizeButtonHint,
                                Qt::WindowMaximizeButtonHint, Qt::WindowCloseButtonHint})
        EXPECT_TRUE(flags.testFlag(hint)) << hint;

    auto *grid = window.findChild<QGridLayout *>("gridLayout");
    ASSERT_NE(grid, nullptr);
    EXPECT_EQ(window.layout(), grid);
    auto *vertical = window.findChild<QVBoxLayout *>("verticalLayout");
    ASSERT_NE(vertical, nullptr);
    EXPECT_EQ(vertical->spacing(), 6);
    EXPECT_EQ(grid->itemAtPosition(0, 0)->layout(), vertical);
    auto *list = window.findChild<QListWidget *>("logList");
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list, window.logList());
    EXPECT_EQ(vertical->indexOf(list), 0);
}

TEST_F(LogWindowTest, ItemTextIsTheTimeToTheSecondAndTheText)
{
    window.addMessage(message("Printer '10.0.0.5' added", Info));
    window.addMessage(message("midnight", Warning, time_from_string("2023-12-31 00:00:00")));
    ASSERT_EQ(window.logList()->count(), 2);
    EXPECT_EQ(window.logList()->item(0)->text(), "2023-Dec-31 00:00:00 - midnight");
    // Microseconds are cut, never rounded; level, function and file are not shown.
    EXPECT_EQ(window.logList()->item(1)->text(), "2024-Jan-05 13:45:12 - Printer '10.0.0.5' added");
}

TEST_F(LogWindowTest, KeepsThe299NewestMessagesNewestFirst)
{
    const ptime start = time_from_string("2024-01-05 13:00:00");
    for (int i = 0; i < 310; ++i) {
        window.addMessage(message("message " + std::to_string(i), i % 6, start + boost::posix_time::seconds(i)));
        ASSERT_EQ(window.logList()->count(), std::min(i + 1, 299));
    }
    QListWidget *list = window.logList();
    EXPECT_EQ(list->item(0)->text(), "2024-Jan-05 13:05:09 - message 309");
    EXPECT_EQ(list->item(1)->text(), "2024-Jan-05 13:05:08 - message 308");
    EXPECT_EQ(list->item(298)->text(), "2024-Jan-05 13:00:11 - message 11");
    for (int row = 0; row < list->count(); ++row) {
        EXPECT_EQ(list->item(row)->text().section(" - ", 1),
                  QString::fromStdString("message " + std::to_string(309 - row)));
        // Every item is also one of the library's Objects.
        EXPECT_NE(dynamic_cast<Object *>(list->item(row)), nullptr);
    }
}

TEST_F(LogWindowTest, IconByLevel)
{
    const QImage info = awesomeIcon("info");
    const QImage exclamation = awesomeIcon("exclamation");
    const QImage times = awesomeIcon("times");
    // The three icons differ, so a wrong choice shows.
    ASSERT_NE(info, exclamation);
    ASSERT_NE(info, times);
    ASSERT_NE(exclamation, times);

    const std::pair<int, const QImage *> expected[] = {
        {Debug, &info}, {Notice, &info}, {Info, &info},   {Warning, &exclamation}, {Error, &times},
        {Critical, &times}, {9, &info}, {-1, &info}, {6, &info},
    };
    for (const auto &[level, image] : expected)
        window.addMessage(message("level " + std::to_string(level), level));
    const int count = int(std::size(expected));
    ASSERT_EQ(window.logList()->count(), count);
    for (int i = 0; i < count; ++i) {
        const int row = count - 1 - i;
        EXPECT_EQ(itemIcon(row), *expected[i].second) << "level " << expected[i].first;
    }
}

TEST_F(LogWindowTest, MessagesAddedWhileHiddenAreShownLater)
{
    window.addMessage(message("while hidden", Error));
    window.show();
    ASSERT_TRUE(window.isVisible());
    EXPECT_EQ(window.logList()->count(), 1);
    EXPECT_EQ(window.logList()->item(0)->text(), "2024-Jan-05 13:45:12 - while hidden");
    window.close();  // closing only hides it
    EXPECT_FALSE(window.isVisible());
    EXPECT_EQ(window.logList()->count(), 1);
}
