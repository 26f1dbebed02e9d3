#pragma once

#include "object.h"
#include "printerdetails.h"
#include "printerinfo.h"
#include "scheduler.h"
#include "sessionprotocol.h"
#include "tunnel.h"

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>

class BridgeService;

// The bridge's link to one network printer. Its "Printer thread" keeps a
// connection to the printer's status port and asks every 10 s for the
// printer's identity and state (TQ_PRINTERINFO_CMD); at the first answer of
// every connection and then every 4 hours it sets the printer's clock and
// fetches a backup, unless the printer's newest backup is younger than 4
// hours: by the monotonic clock for the backups this object took, by the
// time stamp in the file's name for those found in the backup folder (taken
// before a restart, or by a printer object of the same name that went). A
// static printer reconnects 10 s after each failure for
// as long as the service runs; a discovered printer lives for one status
// connection and then removes itself from the service.
//
// Its "Gateway thread" holds the printer's session with the WVT server,
// directly or through a gateway bridge: the registration, the keep-alive
// replies with the printer's current status, the password file, and the
// printer tunnels the server asks for. The printer thread starts it at the
// first answer and starts a new one within a poll after a session ended.
//
// Ownership: the BridgeService holds it through a shared pointer in its
// printer registry; the printer thread holds a plain pointer and, when it
// ends, calls BridgeService::removePrinter with its own identity, after which
// it touches nothing of the object. The service keeps a removed printer until
// it has joined its thread, so the object never goes while its thread runs.
// The printer thread owns the gateway thread: it joins an ended one before it
// starts the next, and the running one when it ends itself. The tunnels are
// owned here and stopped before the printer thread ends.
//
// Locks, never nested within this object: infoMutex_ (identity, flags, the
// session's peer and socket), threadMutex_ (the thread handles), tunnelMutex_
// (the tunnels). The service may take the first two while holding its own
// mutex, never the other way round; under tunnelMutex_ the session takes the
// sockets registry's lock and each tunnel's own.
class RemotePrinter : public Object {
public:
    static constexpr unsigned PollPeriodMs = 10000;
    static constexpr uint32_t StatusReceiveTimeoutMs = 5000;
    static constexpr uint32_t ControlReceiveTimeoutMs = 5000;
    // The status connection's receive time-out while a backup arrives.
    static constexpr uint32_t BackupReceiveTimeoutMs = 30000;
    // The largest backup a printer may announce (1 GiB).
    static constexpr uint32_t MaxBackupSize = 1073741824u;
    static constexpr uint32_t SessionReceiveTimeoutMs = 20000;
    static constexpr uint32_t TunnelReceiveTimeoutMs = 20000;
    static constexpr unsigned TunnelSelectTimeoutMs = 3000;
    // Server tunnels relayed at once for one printer: a browser opens six to
    // eight connections to one host; each tunnel costs a thread and two sockets.
    static constexpr size_t MaxTunnels = 16;
    static constexpr int64_t BackupPeriodSeconds = 4 * 3600;
    // The free space a backup must leave on its folder's file system: 5 % of
    // the file system, and never less than 256 MiB.
    static constexpr unsigned BackupReservePercent = 5;
    static constexpr uint64_t MinimumBackupReserve = uint64_t(256) << 20;

    // Where the printer thread reads the time that spaces its backups and
    // date passes; tests pass a clock they control.
    using MonotonicClock = std::function<std::chrono::steady_clock::time_point()>;

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
    // Fills `details` whether or not the printer has answered: the address
    // and the session's and backups' figures always, the identity once known.
    void getStatus(PrinterDetails &details) const;

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

    // Shuts the running session's socket down, which ends its blocked read at
    // once. With `join` (the printer thread) also waits for the gateway
    // thread to end; without (the gateway thread, its session being over)
    // marks the thread ended so that the printer thread collects it.
    void stopGatewayThread(bool join);
    // Drops the tunnels whose relay has ended.
    void purgeTunnels();
    // Stops every tunnel and empties the table.
    void closeTunnels();

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
    // The time stamp (UTC, as its name tells) of the newest completed backup
    // in `folder` whose name is `prefix`, a time stamp and "wvtb" or "zjv";
    // false when there is none (temporary files do not count).
    static bool newestBackupTime(const std::string &folder, const std::string &prefix, boost::posix_time::ptime &time);
    // The bytes a backup must leave free on a file system of `capacity` bytes.
    static uint64_t backupReserve(uint64_t capacity);
    // A backup's time stamp in its file name: the UTC time as
    // "YYYYMMDDhhmmss", then "." and the milliseconds without leading zeros
    // unless they are 0.
    static std::string backupTimeStamp(const boost::posix_time::ptime &time);
    // The receive time-out of the backups to come; set it before the printer
    // thread starts (tests shorten it).
    void setBackupReceiveTimeout(uint32_t milliseconds) { backupReceiveTimeoutMs_ = milliseconds; }
    // The pause between polls and before a reconnect; set it before the
    // printer thread starts (tests shorten it).
    void setPollPeriod(unsigned milliseconds) { pollPeriodMs_ = milliseconds; }
    // The clock of the backup and date schedule; set it before the printer
    // thread starts (tests move it on by hours).
    void setMonotonicClock(MonotonicClock clock) { monotonicClock_ = std::move(clock); }

private:
    // The control port's common exchange: connects a new registered socket
    // named `socketName`, names `command`, reads the printer's answer and,
    // when it wants the data, lets `sendData` write it.
    bool controlExchange(const char *socketName, const char *command, const std::function<bool(Socket &)> &sendData);

    void runPrinterThread();
    void printerConnect();
    // One TQ_PRINTERINFO_CMD exchange; `name` and `model` receive the texts
    // of a payload (empty for a printer that sent none).
    bool pollPrinterInfo(Socket &socket, std::string &name, std::string &model);
    // The backup and date pass of a status connection; false when the backup
    // failed and the connection must be dropped.
    bool backupPass(const std::shared_ptr<Socket> &socket, const std::string &name, const std::string &model);
    // Whether this printer's next backup is due; the first call asks the
    // backup folder when the newest backup of `prefix` was taken.
    bool backupDue(const std::string &name, const std::string &folder, const std::string &prefix);
    // No backup until a period from now (after one was stored or refused).
    void postponeBackups();
    // Starts a gateway thread unless one runs; joins one whose session ended.
    void ensureGatewayThread();
    // The session's and backups' figures: each takes infoMutex_, then tells
    // the service's listeners (so never call them with a lock held).
    void noteSession(bool up);
    void noteBackup(bool stored, const std::string &file);

    // The session, on the gateway thread.
    void runGatewayThread();
    void gatewayConnect();
    // A connected socket to the server or, with viaGateway set, to a gateway
    // bridge; remembered in sessionSocket_. Empty when neither answers or the
    // printer thread is ending.
    std::shared_ptr<Socket> openGatewayConnection(bool &viaGateway);
    // Opens the tunnel a WVT_OPEN_TUNNEL asks for: a new connection to the
    // session's peer, which gets the request first, joined to the printer's port.
    void openPrinterTunnel(uint32_t peerAddress, uint16_t peerPort, const SessionProtocol::GatewayRequest &request);

    const bool isStatic_;
    const uint32_t address_;
    BridgeService *const service_;  // outlives the printer

    // Guards discovered_, infoValid_, info_, gatewayAddress_, gatewayPort_,
    // sessionSocket_ and the figures after it.
    mutable std::mutex infoMutex_;
    bool discovered_;
    bool infoValid_ = false;
    PrinterInfo info_;
    uint32_t gatewayAddress_ = 0;  // the gateway bridge of the session; 0 while direct
    uint16_t gatewayPort_ = 0;
    std::weak_ptr<Socket> sessionSocket_;  // so that another thread can shut it down
    // What the session and the backups did (seconds since 1970 UTC, 0 for
    // never), for the status record: written by the gateway thread (session,
    // keep-alives) and the printer thread (backups).
    bool sessionUp_ = false;
    uint64_t sessionsStarted_ = 0;
    int64_t lastKeepAlive_ = 0;
    int64_t lastBackup_ = 0;
    std::string lastBackupFile_;
    uint64_t failedBackups_ = 0;
    bool lastBackupFailed_ = false;

    // Guards printerThread_, gatewayThread_ and gatewayThreadEnded_.
    std::mutex threadMutex_;
    std::shared_ptr<std::thread> printerThread_;  // empty until started
    std::shared_ptr<std::thread> gatewayThread_;  // empty while no session runs
    bool gatewayThreadEnded_ = false;             // its session is over; to be joined

    mutable std::mutex tunnelMutex_;  // guards nextTunnelId_, tunnels_ and tunnelsAtLimit_
    uint32_t nextTunnelId_ = 0;
    std::unordered_map<uint32_t, std::shared_ptr<Tunnel>> tunnels_;
    bool tunnelsAtLimit_ = false;  // a request met MaxTunnels and was warned of

    Scheduler scheduler_;  // the printer thread sleeps here; cancel stops it

    // Read and written by the printer thread only (the setters before it starts).
    uint32_t backupReceiveTimeoutMs_ = BackupReceiveTimeoutMs;
    unsigned pollPeriodMs_ = PollPeriodMs;
    MonotonicClock monotonicClock_ = std::chrono::steady_clock::now;
    // When the next backup is due, whatever the printer is named by then;
    // empty until the backup folder was asked.
    std::optional<std::chrono::steady_clock::time_point> nextBackup_;
};
