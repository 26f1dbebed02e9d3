#pragma once

#include "object.h"
#include "printerdetails.h"
#include "printerinfo.h"
#include "scheduler.h"
#include "tunnel.h"

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class BridgeService;

// The bridge's link to one network printer. Its "Printer thread" keeps a
// connection to the printer's status port and asks every 10 s for the
// printer's identity and state (TQ_PRINTERINFO_CMD). A static printer
// reconnects 10 s after each failure for as long as the service runs; a
// discovered printer lives for one status connection and then removes itself
// from the service.
//
// Ownership: the BridgeService holds it through a shared pointer in its
// printer registry; the printer thread holds a plain pointer and, when it
// ends, calls BridgeService::removePrinter with its own identity, after which
// it touches nothing of the object. The service keeps a removed printer until
// it has joined its thread, so the object never goes while its thread runs. Locks, never nested within this object: infoMutex_ (identity
// and flags), threadMutex_ (the thread handle). The service may take them
// while holding its own mutex, never the other way round.
class RemotePrinter : public Object, public Tunnel::Listener {
public:
    static constexpr unsigned PollPeriodMs = 10000;
    static constexpr uint32_t StatusReceiveTimeoutMs = 5000;
    static constexpr uint32_t ControlReceiveTimeoutMs = 5000;

    RemotePrinter(uint32_t address, bool isStatic, bool discovered, BridgeService *service);
    ~RemotePrinter() override;

    RemotePrinter(const RemotePrinter &) = delete;
    RemotePrinter &operator=(const RemotePrinter &) = delete;

    // Starts the printer thread unless it runs already (service mutex held).
    void startPrinterThread();
    // Cancels the scheduler (waking the printer thread); with `join` also
    // waits for the thread to end (never called on the printer thread itself).
    void stop(bool join);
    // While the service runs and the scheduler is armed.
    bool isRunning() const;

    // The printer's name once it has answered, else "".
    std::string getName() const;
    // Fills `details` once the printer has answered; false before.
    bool getDetails(PrinterDetails &details) const;

    uint32_t address() const { return address_; }
    BridgeService *service() const { return service_; }
    bool isStaticPrinter() const { return isStatic_; }
    bool isDiscovered() const;
    void setDiscovered();
    Scheduler &scheduler() { return scheduler_; }

    // Control port exchanges, each on a connection of its own; false on any
    // failure (no socket, refused, no answer within 5 s, a failed write).
    // Both succeed when the printer answers that it wants nothing.
    // Delivers the administrators' password file as "admins.dat"; a file of
    // 0 bytes is not delivered (false).
    bool updatePasswordFile(const unsigned char *bytes, unsigned length);
    // Sets the printer's clock to this computer's local time.
    bool setPrinterDate();

    // Finished tunnels are collected elsewhere; nothing to do here.
    void onTunnelClosed(int) override {}

    // `name` with each of \ / < > : " | ? * replaced by '_'.
    static std::string sanitiseFileName(const std::string &name);
    // True when the model text, lower-cased, contains "mozjv": its backups
    // are stored as "zjv" instead of "wvtb".
    static bool isAlternateModel(const std::string &model);

    // Backups (printer thread only, on the open status connection). Fetches
    // one backup and stores it in `folder` as "<prefix>-<UTC time>.<ext>",
    // written first as ".tmp"; false when the content did not arrive or
    // could not be written (the caller then drops the status connection).
    bool createBackup(const std::shared_ptr<Socket> &socket, const std::string &name, const std::string &model,
                      const std::string &folder, const std::string &prefix);
    // Deletes this printer's backups older than `maxAge`, oldest name first,
    // while more than `minCount` remain.
    static void deleteOldBackups(const std::string &name, const std::string &folder, const std::string &prefix,
                                 const boost::posix_time::time_duration &maxAge, unsigned minCount);

private:
    // The control port's common exchange: connects a new registered socket
    // named `socketName`, names `command`, reads the printer's answer and,
    // when it wants the data, lets `sendData` write it.
    bool controlExchange(const char *socketName, const char *command, const std::function<bool(Socket &)> &sendData);

    void runPrinterThread();
    void printerConnect();
    bool pollPrinterInfo(Socket &socket);

    const bool isStatic_;
    const uint32_t address_;
    BridgeService *const service_;  // outlives the printer

    mutable std::mutex infoMutex_;  // guards discovered_, infoValid_, info_
    bool discovered_;
    bool infoValid_ = false;
    PrinterInfo info_;

    std::mutex threadMutex_;                     // guards printerThread_
    std::shared_ptr<std::thread> printerThread_;  // empty until started

    Scheduler scheduler_;  // the printer thread sleeps here; cancel stops it
};
