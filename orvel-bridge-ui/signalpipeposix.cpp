#include "signalpipe.h"

#include "exception.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The write end of the current pipe; -1 while no SignalPipe exists.
std::atomic<int> writeEnd{-1};

const int handledSignals[] = {SIGINT, SIGTERM};

// Async-signal-safe: one write, errno kept for the interrupted code.
void onSignal(int signalNumber)
{
    const int savedErrno = errno;
    const int descriptor = writeEnd.load();
    if (descriptor >= 0) {
        const unsigned char byte = static_cast<unsigned char>(signalNumber);
        [[maybe_unused]] const ssize_t written = ::write(descriptor, &byte, 1);
    }
    errno = savedErrno;
}

} // namespace

SignalPipe::SignalPipe(QObject *parent) : QObject(parent)
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
        THROW_EXCEPTION("cannot create the signal pipe");
    readEnd_.reset(ends[0]);
    writeEnd_.reset(ends[1]);
    writeEnd.store(writeEnd_.get());
    notifier_ = std::make_unique<QSocketNotifier>(readEnd_.get(), QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &SignalPipe::onReadable);

    for (int i = 0; i < 2; ++i) {
        struct sigaction action = {};
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(handledSignals[i], &action, &previous_[i]);
    }
}

SignalPipe::~SignalPipe()
{
    for (int i = 0; i < 2; ++i)
        sigaction(handledSignals[i], &previous_[i], nullptr);
    writeEnd.store(-1);
    notifier_.reset();
}

void SignalPipe::onReadable()
{
    unsigned char byte = 0;
    while (::read(readEnd_.get(), &byte, 1) == 1)
        emit received(byte);
}
