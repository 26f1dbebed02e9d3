#include "servicenotifier.h"

// The console program is not a Windows service: there is no manager to tell.
void ServiceNotifier::ready() {}

void ServiceNotifier::stopping() {}

void ServiceNotifier::alive() {}

std::chrono::milliseconds ServiceNotifier::watchdogPeriod()
{
    return std::chrono::milliseconds(0);
}
