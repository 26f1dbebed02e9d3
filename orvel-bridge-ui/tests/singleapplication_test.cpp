// In-process tests of the single-instance guard: the key, the block layout
// and initInstance with several guards attached to one block. Each test uses
// an application name of its own, so that tests never share a block.
#include "exception.h"
#include "logmanager.h"
#include "singleapplicationprivate.h"

#include <QCoreApplication>
#include <QSharedMemory>

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Private = SingleApplicationPrivate;

// CRC-16 of ISO 3309 (the X.25 CRC), written out here to check the block's
// checksum independently of Qt.
quint16 iso3309(const unsigned char *data, int length)
{
    quint16 crc = 0xffff;
    for (int i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<quint16>((crc >> 1) ^ 0x8408) : static_cast<quint16>(crc >> 1);
    }
    return static_cast<quint16>(~crc);
}

// The identifier of a process that has ended and been reaped.
pid_t deadPid()
{
    pid_t child = fork();
    if (child == 0)
        _exit(0);
    waitpid(child, nullptr, 0);
    return child;
}

// Sets an application name that no other test uses.
void useUniqueName()
{
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    QCoreApplication::setApplicationName(QStringLiteral("sa-%1-%2-%3")
                                             .arg(QCoreApplication::applicationPid())
                                             .arg(info->test_suite_name())
                                             .arg(info->name()));
}

QString currentKey()
{
    return Private::blockServerName(SingleApplication::User, QCoreApplication::applicationName(),
                                    QCoreApplication::organizationName(),
                                    QCoreApplication::organizationDomain(),
                                    QCoreApplication::applicationVersion(),
                                    QCoreApplication::applicationFilePath(), Private::currentUserName());
}

// A plain attachment to the test's block, to look at and spoil its bytes.
class BlockObserver {
public:
    BlockObserver() : memory_(currentKey())
    {
        if (!memory_.attach(QSharedMemory::ReadWrite))
            throw std::runtime_error("cannot attach: " + memory_.errorString().toStdString());
    }
    std::vector<unsigned char> bytes()
    {
        lock();
        const auto *data = static_cast<const unsigned char *>(memory_.data());
        std::vector<unsigned char> copy(data, data + Private::BlockSize);
        memory_.unlock();
        return copy;
    }
    template <typename Change> void change(Change change)
    {
        lock();
        change(static_cast<unsigned char *>(memory_.data()));
        memory_.unlock();
    }

private:
    void lock()
    {
        if (!memory_.lock())
            throw std::runtime_error("cannot lock: " + memory_.errorString().toStdString());
    }
    QSharedMemory memory_;
};

// Records the level-3 messages while it exists.
class WarningRecorder {
public:
    WarningRecorder()
    {
        connection_ = LogManager::instance().onMessage.connect(
            [this](std::shared_ptr<const LogMessage> message) {
                if (message->level == Warning)
                    texts.push_back(message->text);
            });
    }
    ~WarningRecorder() { LogManager::instance().disconnect(connection_); }
    std::vector<std::string> texts;

private:
    boost::signals2::connection connection_;
};

} // namespace

TEST(SingleApplicationKey, HashesTheInputsInOrderAndReplacesSlashes)
{
    // SHA-256("abc") in base64 is ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0=.
    const QString abc = QStringLiteral("ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD_YfIAFa0=");
    EXPECT_EQ(Private::blockServerName(SingleApplication::User, "a", "b", "c", "", "", ""), abc);
    // The version, the lower-cased path and the user follow the names.
    EXPECT_EQ(Private::blockServerName({}, "a", "", "", "b", "C", "ignored"), abc);
    EXPECT_EQ(Private::blockServerName(SingleApplication::User, "", "", "", "", "A", "bc"), abc);
    EXPECT_EQ(Private::blockServerName(SingleApplication::ExcludeAppVersion |
                                           SingleApplication::ExcludeAppPath | SingleApplication::User,
                                       "a", "", "", "version", "/path", "bc"),
              abc);
}

TEST(SingleApplicationKey, DependsOnEveryInputItsModeIncludes)
{
    const auto user = SingleApplication::Options(SingleApplication::User);
    const QString base = Private::blockServerName(user, "App", "Org", "org.example", "6.04", "/opt/app", "alice");
    EXPECT_EQ(base, Private::blockServerName(user, "App", "Org", "org.example", "6.04", "/opt/app", "alice"));
    EXPECT_EQ(base.size(), 44);
    EXPECT_FALSE(base.contains('/'));
    EXPECT_NE(base, Private::blockServerName(user, "App2", "Org", "org.example", "6.04", "/opt/app", "alice"));
    EXPECT_NE(base, Private::blockServerName(user, "App", "Org2", "org.example", "6.04", "/opt/app", "alice"));
    EXPECT_NE(base, Private::blockServerName(user, "App", "Org", "example.org", "6.04", "/opt/app", "alice"));
    EXPECT_NE(base, Private::blockServerName(user, "App", "Org", "org.example", "6.05", "/opt/app", "alice"));
    EXPECT_NE(base, Private::blockServerName(user, "App", "Org", "org.example", "6.04", "/opt/other", "alice"));
    EXPECT_NE(base, Private::blockServerName(user, "App", "Org", "org.example", "6.04", "/opt/app", "bob"));
    // The path is compared without regard to case.
    EXPECT_EQ(base, Private::blockServerName(user, "App", "Org", "org.example", "6.04", "/OPT/App", "alice"));

    const auto noVersion = user | SingleApplication::ExcludeAppVersion;
    EXPECT_EQ(Private::blockServerName(noVersion, "App", "Org", "d", "1", "/p", "alice"),
              Private::blockServerName(noVersion, "App", "Org", "d", "2", "/p", "alice"));
    const auto noPath = user | SingleApplication::ExcludeAppPath;
    EXPECT_EQ(Private::blockServerName(noPath, "App", "Org", "d", "1", "/p", "alice"),
              Private::blockServerName(noPath, "App", "Org", "d", "1", "/q", "alice"));
    // Without User the key is the same for every user.
    const auto system = SingleApplication::Options(SingleApplication::System);
    EXPECT_EQ(Private::blockServerName(system, "App", "Org", "d", "1", "/p", "alice"),
              Private::blockServerName(system, "App", "Org", "d", "1", "/p", "bob"));
}

TEST(SingleApplicationKey, UserIsTheLoginNameOfTheEffectiveUser)
{
    std::string expected;
    if (FILE *pipe = popen("id -un", "r")) {
        char line[256] = {};
        if (fgets(line, sizeof line, pipe))
            expected = line;
        pclose(pipe);
    }
    while (!expected.empty() && (expected.back() == '\n' || expected.back() == '\r'))
        expected.pop_back();
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(Private::currentUserName().toStdString(), expected);
}

TEST(SingleApplicationBlock, FreshAndFilledLayouts)
{
    Private::Block block;
    block.fill(0xcc);
    Private::writeBlock(block.data(), Private::Fields{});
    const unsigned char fresh[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
    EXPECT_TRUE(std::equal(fresh, fresh + 16, block.begin()));
    const quint16 crc = iso3309(block.data(), 16);
    EXPECT_EQ(block[16], crc & 0xff);
    EXPECT_EQ(block[17], crc >> 8);
    for (int i = 18; i < 24; ++i)
        EXPECT_EQ(block[i], 0) << "padding byte " << i;

    Private::Fields fields;
    fields.primary = true;
    fields.secondary = 0x01020304;
    fields.primaryPid = 0x1122334455667788;
    Private::writeBlock(block.data(), fields);
    const unsigned char filled[16] = {1, 0, 0, 0, 4, 3, 2, 1, 0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11};
    EXPECT_TRUE(std::equal(filled, filled + 16, block.begin()));
    EXPECT_EQ(Private::storedChecksum(block.data()), iso3309(block.data(), 16));
    EXPECT_TRUE(Private::checksumValid(block.data()));

    const Private::Fields back = Private::readBlock(block.data());
    EXPECT_TRUE(back.primary);
    EXPECT_EQ(back.secondary, 0x01020304u);
    EXPECT_EQ(back.primaryPid, 0x1122334455667788);
}

TEST(SingleApplicationBlock, ChecksumCoversBytesZeroToFifteenOnly)
{
    Private::Block block;
    Private::Fields fields;
    fields.primaryPid = 4242;
    for (int i = 0; i < Private::BlockSize; ++i) {
        Private::writeBlock(block.data(), fields);
        block[i] ^= 0x01;
        const bool covered = i < 18;  // the 16 bytes and the checksum itself
        EXPECT_EQ(Private::checksumValid(block.data()), !covered) << "byte " << i;
    }
}

TEST(SingleApplicationWait, EightToEighteenSeconds)
{
    EXPECT_EQ(Private::waitSeconds(0), 8);
    EXPECT_EQ(Private::waitSeconds(3276), 8);
    EXPECT_EQ(Private::waitSeconds(3277), 9);
    EXPECT_EQ(Private::waitSeconds(16383), 12);
    EXPECT_EQ(Private::waitSeconds(32766), 17);
    EXPECT_EQ(Private::waitSeconds(32767), 18);
}

TEST(SingleApplicationProcess, ExistenceCheck)
{
    EXPECT_TRUE(Private::processExists(getpid()));
    EXPECT_TRUE(Private::processExists(1));  // another user's process counts
    EXPECT_FALSE(Private::processExists(deadPid()));
    EXPECT_FALSE(Private::processExists(-1));
    EXPECT_FALSE(Private::processExists(0));
}

TEST(SingleApplicationInstance, PrimarySecondariesAndRelease)
{
    useUniqueName();
    auto first = std::make_unique<Private>();
    ASSERT_TRUE(first->initInstance(false, SingleApplication::User));
    EXPECT_TRUE(first->isPrimary);
    EXPECT_EQ(first->instanceNumber, 0u);

    BlockObserver observer;
    auto bytes = observer.bytes();
    Private::Fields fields = Private::readBlock(bytes.data());
    EXPECT_TRUE(Private::checksumValid(bytes.data()));
    EXPECT_TRUE(fields.primary);
    EXPECT_EQ(fields.primaryPid, getpid());

    Private refused;
    EXPECT_FALSE(refused.initInstance(false, SingleApplication::User));
    EXPECT_FALSE(refused.isPrimary);

    Private secondA, secondB;
    EXPECT_TRUE(secondA.initInstance(true, SingleApplication::User));
    EXPECT_TRUE(secondB.initInstance(true, SingleApplication::User));
    EXPECT_FALSE(secondA.isPrimary);
    EXPECT_EQ(secondA.instanceNumber, 1u);
    EXPECT_EQ(secondB.instanceNumber, 2u);
    EXPECT_EQ(Private::readBlock(observer.bytes().data()).secondary, 2u);

    first.reset();
    bytes = observer.bytes();
    fields = Private::readBlock(bytes.data());
    EXPECT_TRUE(Private::checksumValid(bytes.data()));
    EXPECT_FALSE(fields.primary);
    EXPECT_EQ(fields.primaryPid, -1);

    Private next;
    EXPECT_TRUE(next.initInstance(false, SingleApplication::User));
    EXPECT_TRUE(next.isPrimary);
}

TEST(SingleApplicationInstance, ModeAndNamesSeparateBlocks)
{
    useUniqueName();
    QCoreApplication::setApplicationVersion("1");
    Private first;
    ASSERT_TRUE(first.initInstance(false, SingleApplication::User));
    // Another version, or the same with the version left out, is another key.
    const QString name = QCoreApplication::applicationName();
    QCoreApplication::setApplicationVersion("other");
    Private otherVersion;
    EXPECT_TRUE(otherVersion.initInstance(false, SingleApplication::User));
    Private noVersion;
    EXPECT_TRUE(noVersion.initInstance(false, SingleApplication::User | SingleApplication::ExcludeAppVersion));
    Private noVersionAgain;
    EXPECT_FALSE(
        noVersionAgain.initInstance(false, SingleApplication::User | SingleApplication::ExcludeAppVersion));
    QCoreApplication::setApplicationVersion(QString());
    QCoreApplication::setApplicationName(name + "-other");
    Private otherName;
    EXPECT_TRUE(otherName.initInstance(false, SingleApplication::User));
}

TEST(SingleApplicationInstance, PrimaryWhoseProcessIsGoneCountsAsNone)
{
    useUniqueName();
    Private first;
    ASSERT_TRUE(first.initInstance(false, SingleApplication::User));
    BlockObserver observer;
    // As a killed primary leaves it: primary set, its process gone.
    const pid_t gone = deadPid();
    observer.change([gone](unsigned char *block) {
        Private::Fields fields = Private::readBlock(block);
        fields.primaryPid = gone;
        Private::writeBlock(block, fields);
    });
    Private next;
    EXPECT_TRUE(next.initInstance(false, SingleApplication::User));
    EXPECT_TRUE(next.isPrimary);
    EXPECT_EQ(Private::readBlock(observer.bytes().data()).primaryPid, getpid());
}

TEST(SingleApplicationInstance, InconsistentBlockIsRepairedAfterMoreThanFiveSeconds)
{
    useUniqueName();
    Private first;
    ASSERT_TRUE(first.initInstance(false, SingleApplication::User));
    BlockObserver observer;
    observer.change([](unsigned char *block) { block[16] ^= 0xff; });

    WarningRecorder warnings;
    Private next;
    qint64 now = 0;
    std::vector<int> waits;
    std::vector<size_t> warningsAtWait;
    next.clock = [&now] { return now; };
    next.sleep = [&](int seconds) {
        waits.push_back(seconds);
        warningsAtWait.push_back(warnings.texts.size());
        // The block is still spoiled at every wait that starts before the
        // repair, and repaired at the wait that follows it.
        EXPECT_EQ(Private::checksumValid(observer.bytes().data()), warnings.texts.size() == 1);
        now += 2500;  // checks at 0, 2500, 5000 (not yet) and 7500 ms
    };
    EXPECT_TRUE(next.initInstance(false, SingleApplication::User));
    EXPECT_TRUE(next.isPrimary);
    ASSERT_EQ(waits.size(), 4u);
    for (int seconds : waits) {
        EXPECT_GE(seconds, 8);
        EXPECT_LE(seconds, 18);
    }
    EXPECT_EQ(warningsAtWait, (std::vector<size_t>{0, 0, 0, 1}));
    ASSERT_EQ(warnings.texts.size(), 1u);
    EXPECT_EQ(warnings.texts[0], "SingleApplication: Shared memory block has been in an inconsistent state "
                                 "from more than 5s. Assuming primary instance failure");
    const auto bytes = observer.bytes();
    EXPECT_TRUE(Private::checksumValid(bytes.data()));
    EXPECT_EQ(Private::readBlock(bytes.data()).primaryPid, getpid());
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName("Orvel");
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
