#include "singleapplication.h"

#include "singleapplicationprivate.h"

#include <utility>

SingleApplication::SingleApplication(int &argc, char **argv)
    : QApplication(argc, argv), d(new SingleApplicationPrivate)
{
}

SingleApplication::~SingleApplication()
{
    delete d;
}

bool SingleApplication::initInstance(bool allowSecondary, Options mode)
{
    return d->initInstance(allowSecondary, mode);
}

bool SingleApplication::isPrimary() const
{
    return d->isPrimary;
}

quint32 SingleApplication::instanceNumber() const
{
    return d->instanceNumber;
}

void SingleApplication::setWaitFunctions(ClockFunction clock, SleepFunction sleep)
{
    d->clock = std::move(clock);
    d->sleep = std::move(sleep);
}
