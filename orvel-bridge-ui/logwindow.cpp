#include "logwindow.h"

#include "logmessage.h"
#include "objectwrapper.h"
#include "qtawesome.h"

#include <QCoreApplication>
#include <QGridLayout>
#include <QListWidget>
#include <QListWidgetItem>
#include <QVBoxLayout>

LogWindow::LogWindow(QtAwesome *awesome, QWidget *parent) : QDialog(parent), awesome_(awesome)
{
    setupUi();
}

LogWindow::~LogWindow() = default;

// The window as its form describes it: "LogWindowClass", 600 x 400, modal,
// a grid holding a vertical layout holding the list.
void LogWindow::setupUi()
{
    if (objectName().isEmpty())
        setObjectName(QStringLiteral("LogWindowClass"));
    resize(600, 400);
    setModal(true);
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint);

    gridLayout_ = new QGridLayout(this);
    gridLayout_->setObjectName(QStringLiteral("gridLayout"));
    verticalLayout_ = new QVBoxLayout();
    verticalLayout_->setSpacing(6);
    verticalLayout_->setObjectName(QStringLiteral("verticalLayout"));
    logList_ = new QListWidget(this);
    logList_->setObjectName(QStringLiteral("logList"));
    verticalLayout_->addWidget(logList_);
    gridLayout_->addLayout(verticalLayout_, 0, 0, 1, 1);

    retranslateUi();
}

void LogWindow::retranslateUi()
{
    setWindowTitle(QCoreApplication::translate("LogWindowClass", "Logs"));
}

void LogWindow::addMessage(std::shared_ptr<const LogMessage> message)
{
    if (!message)
        return;

    const char *iconName;
    switch (message->level) {
    case Warning:
        iconName = "exclamation";
        break;
    case Error:
    case Critical:
        iconName = "times";
        break;
    default:
        iconName = "info";
        break;
    }

    const QString text = QString::fromStdString(message->timeText() + " - " + message->text);
    logList_->insertItem(0, new ObjectWrapper<QListWidgetItem>(awesome_->icon(QString(iconName)), text));
    while (logList_->count() > maxEntries)
        delete logList_->takeItem(logList_->count() - 1);
}
