#pragma once

#include "singleapplication.h"

#include <QObject>
#include <QSharedMemory>
#include <QString>

#include <array>
#include <cstdint>

// The work behind SingleApplication: the key of the block, the block's byte
// layout and the decision of initInstance. Kept apart so that tests can run
// several guards in one process (each its own attachment to the block).
//
// The block (24 bytes, little-endian): offset 0 primary flag (1 byte, 1 when a
// primary runs), 4 the count of secondaries (uint32), 8 the primary's process
// identifier (int64, -1 when none), 16 a qChecksum over bytes 0 to 15
// (uint16); the rest is padding.
//
// Ownership: owns the QSharedMemory attachment; the destructor releases the
// primary role (when held) and detaches. Threading: one thread at a time; the
// block's bytes are only read or written while the shared memory's
// cross-process lock is held, and that lock is never held during a sleep.
class SingleApplicationPrivate : public QObject {
    Q_OBJECT
public:
    static constexpr int BlockSize = 24;
    using Block = std::array<unsigned char, BlockSize>;

    // The decoded fields of a block.
    struct Fields {
        bool primary = false;
        quint32 secondary = 0;
        qint64 primaryPid = -1;
    };

    explicit SingleApplicationPrivate(QObject *parent = nullptr);
    ~SingleApplicationPrivate() override;

    SingleApplicationPrivate(const SingleApplicationPrivate &) = delete;
    SingleApplicationPrivate &operator=(const SingleApplicationPrivate &) = delete;

    // See SingleApplication::initInstance. The key is made from the
    // application's names, version and path as QCoreApplication reports them.
    bool initInstance(bool allowSecondary, SingleApplication::Options mode);

    virtual void startPrimary();
    virtual void startSecondary();  // does nothing

    // The shared-memory key: a SHA-256 over the names, the version unless
    // ExcludeAppVersion, the lower-cased path unless ExcludeAppPath and, with
    // User, the user's name; in base64 with every "/" replaced by "_".
    static QString blockServerName(SingleApplication::Options options, const QString &appName,
                                   const QString &orgName, const QString &orgDomain,
                                   const QString &version, const QString &filePath,
                                   const QString &userName);

    // The login name of the effective user from the user database, or, when
    // it has none, the user's home locations joined without a separator.
    static QString currentUserName();

    // Block layout: reading, writing with a fresh checksum, and the check.
    static Fields readBlock(const unsigned char *block);
    static void writeBlock(unsigned char *block, const Fields &fields);
    static quint16 storedChecksum(const unsigned char *block);
    static quint16 computeChecksum(const unsigned char *block);
    static bool checksumValid(const unsigned char *block);

    // Seconds to wait for the pseudo-random number r (0 to 32767): 8 to 18.
    static int waitSeconds(int r);

    // True when a process with this identifier exists (it may be another
    // user's: only "no such process" counts as gone).
    static bool processExists(qint64 pid);

    SingleApplication::Options options = SingleApplication::User;
    QString blockServerNameValue;
    QSharedMemory *memory = nullptr;  // owned; null until initInstance
    quint32 instanceNumber = 0;
    bool isPrimary = false;
    SingleApplication::ClockFunction clock;  // defaults to a steady clock
    SingleApplication::SleepFunction sleep;  // defaults to a real sleep

private:
    // Attaches to the block, or creates and initialises it when there is
    // none; false with lastError set when neither works.
    bool attachOrCreate();
    void replaceMemory(QSharedMemory *fresh);
    // Takes the block's lock, attaching anew once when the lock fails.
    bool lockBlock();
    // Both run with the block locked.
    void initializeBlock();
    void releasePrimary();

    QString lastError;
};
