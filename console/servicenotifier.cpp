#include "servicenotifier.h"

#include <systemd/sd-daemon.h>

void ServiceNotifier::ready()
{
    sd_notify(0, "READY=1");
}

void ServiceNotifier::stopping()
{
    sd_notify(0, "STOPPING=1");
}
