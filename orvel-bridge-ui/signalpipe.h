#pragma once

#include "uniquefd.h"

#include <QObject>
#include <QSocketNotifier>
#include <memory>
#include <signal.h>

// Brings SIGINT and SIGTERM to the user-interface thread: the handler only
// writes the signal's number, as one byte, into a pipe; a QSocketNotifier on
// the pipe's read end emits `received` on the thread that owns this object.
//
// One instance at a time per process (the handler reaches it through a
// process-wide descriptor). Construct and destroy it on the user-interface
// thread; the destructor restores the previous handlers before the pipe's
// ends (UniqueFd) close, so no handler writes into a closed descriptor.
//
// POSIX only (signalpipeposix.cpp), like the rest of the tray program for
// now; on Windows the same signal would come from a console control handler.
class SignalPipe : public QObject {
    Q_OBJECT
public:
    explicit SignalPipe(QObject *parent = nullptr);
    ~SignalPipe() override;

    SignalPipe(const SignalPipe &) = delete;
    SignalPipe &operator=(const SignalPipe &) = delete;

signals:
    void received(int signalNumber);

private slots:
    void onReadable();

private:
    UniqueFd readEnd_;   // non-blocking; read by onReadable
    UniqueFd writeEnd_;  // written by the signal handler only
    std::unique_ptr<QSocketNotifier> notifier_;
    struct sigaction previous_[2] = {};  // SIGINT's and SIGTERM's handlers before ours
};
