#pragma once

#include <QApplication>
#include <QFlags>

#include <functional>

class SingleApplicationPrivate;

// The Qt application base of the tray program. At start-up initInstance
// decides, through a named shared-memory block, whether this process is the
// first instance (the primary) for the chosen scope; a later instance only
// learns that a primary exists, there is no messaging between instances.
//
// Ownership: owns its SingleApplicationPrivate (deleted with it), which owns
// the attachment to the shared-memory block. The destructor gives the primary
// role back, so that a new instance may start once this one has ended.
// Threading: constructed, used and destroyed on the user-interface (main)
// thread only. The block itself is shared between processes and guarded by
// the shared memory's own cross-process lock.
class SingleApplication : public QApplication {
    Q_OBJECT
public:
    enum Mode {
        User = 1,                   // one instance per user
        System = 2,                 // one instance per machine
        SecondaryNotification = 4,  // kept for the flag values; no messaging
        ExcludeAppVersion = 8,      // the version does not enter the key
        ExcludeAppPath = 16,        // the program's path does not enter the key
    };
    Q_DECLARE_FLAGS(Options, Mode)

    // Milliseconds on a steady clock, and a pause of whole seconds: how
    // initInstance waits while the block is inconsistent.
    using ClockFunction = std::function<qint64()>;
    using SleepFunction = std::function<void(int seconds)>;

    SingleApplication(int &argc, char **argv);
    ~SingleApplication() override;

    SingleApplication(const SingleApplication &) = delete;
    SingleApplication &operator=(const SingleApplication &) = delete;

    // True when this process may run: it became the primary, or it became a
    // secondary and allowSecondary is true. False when a primary runs and
    // secondaries are not allowed. Waits 8 to 18 s at a time while the block
    // is inconsistent and repairs it once it has been so for more than 5 s.
    // Raises Exception when the block can neither be created nor attached.
    bool initInstance(bool allowSecondary, Options mode);

    bool isPrimary() const;
    // 0 for the primary, the count of secondaries started for a secondary.
    quint32 instanceNumber() const;

    // Replaces the real clock and sleep used while waiting (tests pass a
    // virtual clock that the sleep advances). Call before initInstance.
    void setWaitFunctions(ClockFunction clock, SleepFunction sleep);

private:
    SingleApplicationPrivate *d;  // owned
};

Q_DECLARE_OPERATORS_FOR_FLAGS(SingleApplication::Options)
