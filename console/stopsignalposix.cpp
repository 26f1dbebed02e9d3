#include "stopsignal.h"

#include <csignal>
#include <pthread.h>

namespace {

sigset_t stopSignals()
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    return signals;
}

} // namespace

StopSignal::StopSignal()
{
    const sigset_t signals = stopSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

StopSignal::~StopSignal() = default;

void StopSignal::wait()
{
    const sigset_t signals = stopSignals();
    int received = 0;
    while (sigwait(&signals, &received) != 0) {
    }
}
