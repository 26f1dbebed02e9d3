#pragma once

// Something that can be started and stopped: the protocol of the library's
// long-running activities.
class ITask {
public:
    virtual ~ITask() = default;
    virtual bool start() = 0;
    virtual void stop() = 0;
};
