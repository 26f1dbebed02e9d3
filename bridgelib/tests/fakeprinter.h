#pragma once

// Test helper: a printer on a loopback address of its own that answers the
// status port (identity record, backups) and the control port (records the
// files it is given), each on a thread owned by the object. A flapping one
// ends each status connection after the backup it sent, or after its second
// identity record when no backup was asked for.

#include "controlprotocol.h"
#include "littleendian.h"
#include "printerprotocol.h"
#include "servicetesttools.h"

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace servicetest {

class FakePrinter {
public:
    FakePrinter(uint32_t address, std::string name, std::string backup = "backup bytes")
        : name_(std::move(name)), backup_(std::move(backup)), statusPort_(address, PrinterProtocol::StatusPort),
          controlPort_(address, ControlProtocol::Port)
    {
        statusThread_ = std::thread([this] { serveStatus(); });
        controlThread_ = std::thread([this] { serveControl(); });
    }
    ~FakePrinter()
    {
        stopping_ = true;
        statusThread_.join();
        controlThread_.join();
    }
    FakePrinter(const FakePrinter &) = delete;
    FakePrinter &operator=(const FakePrinter &) = delete;

    bool listening() const { return statusPort_.listening() && controlPort_.listening(); }

    void setStatus(const std::string &status)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        status_ = status;
    }
    // Files received with "copyfile": the name and the content, in order.
    std::vector<std::pair<std::string, std::string>> files() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return files_;
    }
    int statusConnections() const { return statusConnections_; }
    // TQ_BACKUP_CMD requests answered, over all connections.
    int backupRequests() const { return backupRequests_; }
    void setFlapping(bool flapping) { flapping_ = flapping; }

private:
    std::vector<unsigned char> record() const
    {
        std::vector<unsigned char> payload(PrinterProtocol::PrinterInfoSize, 0);
        std::lock_guard<std::mutex> lock(mutex_);
        std::memcpy(payload.data(), name_.data(), std::min<size_t>(name_.size(), 32));
        std::memcpy(payload.data() + 32, "FakeJet", 7);
        std::memcpy(payload.data() + 64, status_.data(), std::min<size_t>(status_.size(), 32));
        std::memcpy(payload.data() + 96, "SERIAL-1", 8);
        std::memcpy(payload.data() + 112, "2.1", 3);
        std::memcpy(payload.data() + 128, "ORDER-7", 7);
        LittleEndian::write32(payload.data() + 144, 1700000000u);
        LittleEndian::write32(payload.data() + 148, 4242u);
        return payload;
    }

    void serveStatus()
    {
        while (!stopping_) {
            const std::shared_ptr<Socket> connection = statusPort_.accept(100);
            if (!connection)
                continue;
            ++statusConnections_;
            connection->receiveTimeout = 100;  // so that a stop is seen soon
            connection->applyTimeouts();
            unsigned char command = 0;
            int records = 0;
            while (!stopping_) {
                const int received = connection->read(&command, 1, true);
                if (received < 0)
                    break;
                if (received == 0)
                    continue;
                if (command == PrinterProtocol::TQ_PRINTERINFO_CMD) {
                    const std::vector<unsigned char> payload = record();
                    unsigned char length[2];
                    LittleEndian::write16(length, static_cast<uint16_t>(payload.size()));
                    connection->write(length, 2);
                    connection->write(payload.data(), static_cast<uint32_t>(payload.size()));
                    if (flapping_ && ++records == 2)
                        break;
                } else if (command == PrinterProtocol::TQ_BACKUP_CMD) {
                    ++backupRequests_;
                    unsigned char size[4];
                    LittleEndian::write32(size, static_cast<uint32_t>(backup_.size()));
                    connection->write(size, 4);
                    connection->write(backup_.data(), static_cast<uint32_t>(backup_.size()));
                    if (flapping_)
                        break;
                }
            }
            connection->close();
        }
    }

    void serveControl()
    {
        while (!stopping_) {
            const std::shared_ptr<Socket> connection = controlPort_.accept(100);
            if (!connection)
                continue;
            std::string command = readExactly(*connection, ControlProtocol::CommandSize);
            command.resize(std::strlen(command.c_str()));
            const unsigned char wants = 1;
            connection->write(&wants, 1);
            if (command != ControlProtocol::CopyFile)
                continue;
            std::string fileName = readExactly(*connection, ControlProtocol::FileNameSize);
            fileName.resize(std::strlen(fileName.c_str()));
            const std::string length = readExactly(*connection, ControlProtocol::LengthSize);
            if (length.size() != ControlProtocol::LengthSize)
                continue;
            const uint32_t size = LittleEndian::read32(reinterpret_cast<const unsigned char *>(length.data()));
            const std::string content = readExactly(*connection, size);
            std::lock_guard<std::mutex> lock(mutex_);
            files_.emplace_back(fileName, content);
        }
    }

    const std::string name_;
    const std::string backup_;
    FixedListener statusPort_;
    FixedListener controlPort_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> statusConnections_{0};
    std::atomic<int> backupRequests_{0};
    std::atomic<bool> flapping_{false};
    mutable std::mutex mutex_;  // guards status_ and files_
    std::string status_ = "Ready";
    std::vector<std::pair<std::string, std::string>> files_;
    std::thread statusThread_;  // both threads end within 100 ms of stopping_
    std::thread controlThread_;
};

} // namespace servicetest
