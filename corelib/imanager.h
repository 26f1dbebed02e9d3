#pragma once

// A process-wide manager (logging, platform) that the front ends initialise at
// start-up and finalise at exit, in reverse order.
class IManager {
public:
    virtual ~IManager() = default;
    virtual bool initialize() = 0;
    virtual void finalize() = 0;
};
