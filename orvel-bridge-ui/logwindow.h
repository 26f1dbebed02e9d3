#pragma once

#include "object.h"

#include <QDialog>

#include <memory>

class LogMessage;
class QGridLayout;
class QListWidget;
class QVBoxLayout;
class QtAwesome;

// The window "Logs" of the tray program: the log messages, newest on top, each
// with an icon for its level and the text "<time to the second> - <text>";
// at most 299 of them (the oldest go). Closing it only hides it; messages
// added while it is hidden are there when it is shown again.
//
// Ownership: the window owns its layouts, its list and the list's items (Qt
// parent-child). It does not own the QtAwesome that paints the icons, which
// must outlive the window. Threading: user-interface thread only; log sinks on
// other threads hand their messages over (the tray queues them and posts an
// event) instead of calling addMessage.
class LogWindow : public QDialog, public Object {
    Q_OBJECT
public:
    // The most messages the list holds.
    static constexpr int maxEntries = 299;

    explicit LogWindow(QtAwesome *awesome, QWidget *parent = nullptr);
    ~LogWindow() override;

    LogWindow(const LogWindow &) = delete;
    LogWindow &operator=(const LogWindow &) = delete;

    // Adds one message at the top, removing the oldest beyond maxEntries.
    void addMessage(std::shared_ptr<const LogMessage> message);

    // The list of messages (for the tray and for tests to read).
    QListWidget *logList() const { return logList_; }

private:
    void setupUi();
    void retranslateUi();

    QtAwesome *awesome_;  // not owned
    QGridLayout *gridLayout_ = nullptr;
    QVBoxLayout *verticalLayout_ = nullptr;
    QListWidget *logList_ = nullptr;
};
