#pragma once

// Test helpers for a printer's backups: the status connection of one backup,
// byte patterns, files, captured messages, the time zone, and the fixture
// whose printer makes the backups.

#include "littleendian.h"
#include "logcapture.h"
#include "remoteprinter.h"
#include "scopedvariable.h"
#include "sockettesttools.h"
#include "tempdirectory.h"
#include "testservice.h"

#include <algorithm>
#include <boost/filesystem.hpp>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace printerbackuptest {

using namespace sockettest;
namespace fs = boost::filesystem;

constexpr uint32_t PrinterAddress = 0x7F000501u;  // 127.0.5.1, never connected to

// The status connection of one backup: the bridge's end and the printer's,
// the two ends of a loopback connection.
struct StatusConnection {
    StatusConnection()
    {
        const Listener listener;
        const SocketPair pair = makePair(listener, "PrinterStatusPort", "Printer");
        bridge = pair.client;
        printer = pair.server;
        printer->receiveTimeout = 10000;
        printer->applyTimeouts();
    }

    // What the printer sends after the command: the size field and `content`.
    static std::string answer(uint32_t size, const std::string &content)
    {
        unsigned char field[4];
        LittleEndian::write32(field, size);
        return std::string(reinterpret_cast<const char *>(field), sizeof field) + content;
    }

    // Sends `bytes` from the printer's end on a thread of its own (the pair's
    // buffer holds less than a large backup), then ends the printer's stream
    // when `thenEnd` is set.
    std::future<int> send(std::string bytes, bool thenEnd)
    {
        return std::async(std::launch::async, [this, bytes = std::move(bytes), thenEnd] {
            const int sent = bytes.empty() ? 0 : printer->write(bytes.data(), static_cast<uint32_t>(bytes.size()));
            if (thenEnd)
                printer->shutdownSend();
            return sent;
        });
    }

    // Everything the bridge sent to the printer, once the bridge's end is closed.
    std::string receivedByPrinter()
    {
        bridge->close();
        std::string bytes;
        char buffer[256];
        int count;
        while ((count = printer->read(buffer, sizeof buffer, false)) > 0)
            bytes.append(buffer, static_cast<size_t>(count));
        return bytes;
    }

    std::shared_ptr<Socket> bridge;
    std::shared_ptr<Socket> printer;
};

// Bytes that do not repeat with any period a chunked copy could hide.
inline std::string pattern(size_t size)
{
    std::mt19937 generator(20240229);
    std::string bytes(size, '\0');
    for (char &byte : bytes)
        byte = static_cast<char>(generator() & 0xFF);
    return bytes;
}

inline std::string readFile(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::string &path, const std::string &content)
{
    std::ofstream(path, std::ios::binary) << content;
}

// The names in `folder`, sorted.
inline std::vector<std::string> filesIn(const std::string &folder)
{
    std::vector<std::string> names;
    for (fs::directory_iterator it{fs::path(folder)}, end; it != end; ++it)
        names.push_back(it->path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// The first captured message that begins with `text`, or null.
inline std::shared_ptr<const LogMessage> messageStartingWith(const LogCapture &capture, const std::string &text)
{
    for (const auto &message : capture.messages()) {
        if (message->text.compare(0, text.size(), text) == 0)
            return message;
    }
    return nullptr;
}

// Sets the process's time zone while it lives (a zone far from UTC shows
// whether a time is taken in UTC), and restores the previous one.
class TimeZone {
public:
    explicit TimeZone(const char *zone)
    {
        const char *previous = std::getenv("TZ");
        hadPrevious_ = previous != nullptr;
        if (hadPrevious_)
            previous_ = previous;
        setEnvironmentVariable("TZ", zone);
        tzset();
    }
    ~TimeZone()
    {
        setEnvironmentVariable("TZ", hadPrevious_ ? previous_.c_str() : nullptr);
        tzset();
    }

private:
    bool hadPrevious_ = false;
    std::string previous_;
};

class PrinterBackup : public ::testing::Test {
protected:
    bool backup(StatusConnection &connection, const std::string &name = "Lab", const std::string &model = "LabJet")
    {
        return printer.createBackup(connection.bridge, name, model, folder,
                                    "Backup-" + RemotePrinter::sanitiseFileName(name));
    }

    LogCapture capture;
    TestService service;
    RemotePrinter printer{PrinterAddress, true, false, &service};
    TempDirectory backups;
    const std::string folder = backups.path();
    std::vector<std::string> errors;
    boost::signals2::scoped_connection errorConnection =
        service.errorMessage.connect([this](const std::string &text) { errors.push_back(text); });
};

} // namespace printerbackuptest
