#include "singleapplicationprivate.h"

#include "exception.h"
#include "littleendian.h"
#include "logmanager.h"
#include "platform.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QStandardPaths>
#include <QStringList>

#include <algorithm>
#include <chrono>
#include <limits>
#include <memory>
#include <random>
#include <thread>
#include <vector>

namespace {

constexpr int PrimaryOffset = 0;
constexpr int SecondaryOffset = 4;
constexpr int PidOffset = 8;
constexpr int ChecksumOffset = 16;
constexpr int ChecksummedBytes = 16;
constexpr qint64 InconsistentLimitMs = 5000;

qint64 steadyMilliseconds()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void sleepSeconds(int seconds)
{
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
}

} // namespace

SingleApplicationPrivate::SingleApplicationPrivate(QObject *parent)
    : QObject(parent), clock(steadyMilliseconds), sleep(sleepSeconds)
{
}

SingleApplicationPrivate::~SingleApplicationPrivate()
{
    if (memory) {
        if (isPrimary && lockBlock()) {
            releasePrimary();
            memory->unlock();
        }
        // Detaching removes the block once no process is attached any more.
        delete memory;
    }
}

// Qt's shared memory on Unix pairs the block with a System V semaphore keyed
// by a file. create() takes that semaphore over even when the block already
// exists: it resets the semaphore (taking a lock another process holds) and
// deletes it and its file when the object goes. So an existing block is
// attached first and create() is used only when there is none. The process
// that made the block deletes its semaphore when it ends; Qt then makes a new
// one at the next lock, and should a lock still fail it is retried once on a
// new attachment (see lockBlock). A killed process's lock is given back by
// the system (the semaphore is taken with SEM_UNDO).
bool SingleApplicationPrivate::attachOrCreate()
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        auto fresh = std::make_unique<QSharedMemory>(blockServerNameValue);
        if (fresh->attach(QSharedMemory::ReadWrite)) {
            replaceMemory(fresh.release());
            return true;
        }
        if (fresh->error() == QSharedMemory::NotFound) {
            if (fresh->create(BlockSize, QSharedMemory::ReadWrite)) {
                if (!fresh->lock()) {
                    lastError = fresh->errorString();
                    return false;
                }
                writeBlock(static_cast<unsigned char *>(fresh->data()), Fields{});
                fresh->unlock();
                replaceMemory(fresh.release());
                return true;
            }
            // Made by another process in between: attach to it.
            if (fresh->error() == QSharedMemory::AlreadyExists)
                continue;
        }
        lastError = fresh->errorString();
        return false;
    }
    return false;
}

void SingleApplicationPrivate::replaceMemory(QSharedMemory *fresh)
{
    // The new attachment is made before the old one goes, so that the block
    // never loses its last attachment in between.
    delete memory;
    memory = fresh;
}

bool SingleApplicationPrivate::lockBlock()
{
    if (memory->lock())
        return true;
    lastError = memory->errorString();
    return attachOrCreate() && memory->lock();
}

void SingleApplicationPrivate::startPrimary() {}

void SingleApplicationPrivate::startSecondary() {}

QString SingleApplicationPrivate::blockServerName(SingleApplication::Options options,
                                                  const QString &appName, const QString &orgName,
                                                  const QString &orgDomain, const QString &version,
                                                  const QString &filePath, const QString &userName)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(appName.toUtf8());
    hash.addData(orgName.toUtf8());
    hash.addData(orgDomain.toUtf8());
    if (!options.testFlag(SingleApplication::ExcludeAppVersion))
        hash.addData(version.toUtf8());
    if (!options.testFlag(SingleApplication::ExcludeAppPath))
        hash.addData(filePath.toLower().toUtf8());
    if (options.testFlag(SingleApplication::User))
        hash.addData(userName.toUtf8());
    return QString::fromLatin1(hash.result().toBase64()).replace(QLatin1Char('/'), QLatin1Char('_'));
}

QString SingleApplicationPrivate::currentUserName()
{
    const std::string name = Platform::instance().getUserName();
    if (!name.empty())
        return QString::fromStdString(name);
    return QStandardPaths::standardLocations(QStandardPaths::HomeLocation).join(QString());
}

SingleApplicationPrivate::Fields SingleApplicationPrivate::readBlock(const unsigned char *block)
{
    Fields fields;
    fields.primary = block[PrimaryOffset] != 0;
    fields.secondary = LittleEndian::read32(block + SecondaryOffset);
    fields.primaryPid = static_cast<qint64>(LittleEndian::read64(block + PidOffset));
    return fields;
}

void SingleApplicationPrivate::writeBlock(unsigned char *block, const Fields &fields)
{
    std::fill(block, block + BlockSize, 0);
    block[PrimaryOffset] = fields.primary ? 1 : 0;
    LittleEndian::write32(block + SecondaryOffset, fields.secondary);
    LittleEndian::write64(block + PidOffset, static_cast<uint64_t>(fields.primaryPid));
    LittleEndian::write16(block + ChecksumOffset, computeChecksum(block));
}

quint16 SingleApplicationPrivate::storedChecksum(const unsigned char *block)
{
    return LittleEndian::read16(block + ChecksumOffset);
}

quint16 SingleApplicationPrivate::computeChecksum(const unsigned char *block)
{
    return qChecksum(reinterpret_cast<const char *>(block), ChecksummedBytes);
}

bool SingleApplicationPrivate::checksumValid(const unsigned char *block)
{
    return storedChecksum(block) == computeChecksum(block);
}

int SingleApplicationPrivate::waitSeconds(int r)
{
    return 8 + static_cast<int>(static_cast<double>(r) / 32767.0 * 10.0);
}

bool SingleApplicationPrivate::processExists(qint64 pid)
{
    return pid > 0 && pid <= std::numeric_limits<int>::max() && Platform::instance().processExists(static_cast<int>(pid));
}

void SingleApplicationPrivate::initializeBlock()
{
    writeBlock(static_cast<unsigned char *>(memory->data()), Fields{});
}

void SingleApplicationPrivate::releasePrimary()
{
    auto *block = static_cast<unsigned char *>(memory->data());
    Fields fields = readBlock(block);
    // A block repaired by a later instance that took the primary role over
    // belongs to that instance now: leave it alone.
    if (checksumValid(block) && fields.primary && fields.primaryPid != QCoreApplication::applicationPid())
        return;
    fields.primary = false;
    fields.primaryPid = -1;
    writeBlock(block, fields);
    isPrimary = false;
}

bool SingleApplicationPrivate::initInstance(bool allowSecondary, SingleApplication::Options mode)
{
    options = mode;
    blockServerNameValue = blockServerName(
        options, QCoreApplication::applicationName(), QCoreApplication::organizationName(),
        QCoreApplication::organizationDomain(), QCoreApplication::applicationVersion(),
        QCoreApplication::applicationFilePath(),
        options.testFlag(SingleApplication::User) ? currentUserName() : QString());

    if (memory) {
        if (isPrimary && lockBlock()) {
            releasePrimary();
            memory->unlock();
        }
        delete memory;
        memory = nullptr;
    }
    isPrimary = false;
    instanceNumber = 0;
    if (!attachOrCreate())
        THROW_EXCEPTION("unable to attach to shared memory block (" + lastError.toStdString() + ")");

    const qint64 start = clock();
    for (;;) {
        if (!lockBlock())
            THROW_EXCEPTION("unable to lock shared memory block (" + lastError.toStdString() + ")");
        auto *block = static_cast<unsigned char *>(memory->data());
        if (checksumValid(block)) {
            Fields fields = readBlock(block);
            // On Linux the block outlives a process that was killed or
            // crashed, so its primary flag may still be set with nobody
            // behind it. A primary whose process no longer exists counts as
            // no primary; otherwise a crash would lock the user out for good.
            const bool primaryRuns =
                fields.primary && (fields.primaryPid <= 0 || processExists(fields.primaryPid));
            bool result = false;
            if (!primaryRuns) {
                fields.primary = true;
                fields.primaryPid = QCoreApplication::applicationPid();
                writeBlock(block, fields);
                instanceNumber = 0;
                isPrimary = true;
                startPrimary();
                result = true;
            } else if (allowSecondary) {
                fields.secondary += 1;
                writeBlock(block, fields);
                instanceNumber = fields.secondary;
                startSecondary();
                result = true;
            }
            memory->unlock();
            return result;
        }
        if (clock() - start > InconsistentLimitMs) {
            ORVEL_LOG(Warning, "SingleApplication: Shared memory block has been in an inconsistent "
                               "state from more than 5s. Assuming primary instance failure");
            initializeBlock();
        }
        memory->unlock();
        const auto seed = static_cast<std::minstd_rand::result_type>(
            static_cast<quint64>(QDateTime::currentMSecsSinceEpoch()) % 4294967295ULL);
        std::minstd_rand generator(seed);
        std::uniform_int_distribution<int> distribution(0, 32767);
        sleep(waitSeconds(distribution(generator)));
    }
}
