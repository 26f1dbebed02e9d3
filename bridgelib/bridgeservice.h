#pragma once

#include "activitycounter.h"
#include "gatewayinfo.h"
#include "gatewaytable.h"
#include "iplatform.h"
#include "ithread.h"
#include "object.h"
#include "optionsmanager.h"
#include "printerdetails.h"
#include "printertunnelinfo.h"
#include "remoteservice.h"
#include "scheduler.h"
#include "socketsmanager.h"
#include "timeout.h"

#include <atomic>
#include <boost/signals2/signal.hpp>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

class BridgeGateway;
class DiscoveryResponder;
class RemotePrinter;
class RemotePrinterTunnel;
struct StatusRecord;

// The centre of the bridge: owns the options, the printers this bridge
// serves, the slave bridges (while it is a gateway), the known gateways
// (while it needs one) and the three optional listeners: the gateway
// listener, the discovery responder and the printer tunnel. Its thread
// registers the static printers and then runs cycles: test the server and
// switch the modes, discover printers and bridges on every local network,
// sleep 60 s, expire slaves.
//
// Modes: a bridge that reaches the server is a gateway (gateway listener on,
// responder off); one that does not is a slave (responder on, gateway off,
// slaves dropped) and sends its printers' sessions through a gateway. The
// options "gateway" and "discovery-responder" override the derived values,
// and "slave" true skips the server test altogether. The modes are switched
// by the service thread alone: the printers' routes and the gateway relays
// test the server too, and report what they saw, which wakes the service
// thread to switch. Once a stop has begun, nothing opens a listener again.
//
// Every socket of the service is created through createSocket, which refuses
// once the service is stopping, so that stop() can close them all and wake
// every thread blocked on one.
//
// Threads: the front end's (construction, start, stop, queries), the service
// thread, the discovery threads, the printer threads, the listeners'
// connection threads. mutex_ guards the states, the registries, the gateways
// queue and the three listeners, which are opened and closed with it held;
// it is taken before a printer's own mutexes, never after. Printers and
// slaves that leave the registries are destroyed after mutex_ is released
// (destroying a printer joins its thread). statusChanged is emitted without
// mutex_ held; errorMessage of a printer tunnel failure with it held, so its
// handlers must not call back into the service.
class BridgeService : public IThread, public SocketsManager, public Object {
public:
    static constexpr unsigned CyclePauseMs = 60000;
    // The longest the loop goes without a progress report while it pauses.
    static constexpr unsigned ProgressIntervalMs = 10000;

    BridgeService();
    ~BridgeService() override;

    // Makes the backup folder the current directory (throws Exception when it
    // cannot) and starts the service thread.
    bool start() override;
    // Wakes the loop, closes every socket, joins the service thread and waits
    // for every printer thread to end.
    void stop() override;
    // While the service thread's flag is set and the scheduler is armed.
    bool isRunning() const;

    // Creates and registers a socket only while the service is running.
    std::shared_ptr<Socket> createSocket(const std::string &name, SocketHandle handle = SocketHandle()) override;

    // Registry operations, called by discovery and the printer links.
    void addPrinter(uint32_t address, bool isStatic, bool discovered);
    // Drops the printer at `address`; with `printer` given, only when that is
    // the one registered there (a printer's ending thread must not drop a
    // newer printer at its address). The removed printer's thread is joined
    // later, by the service, never on that thread itself.
    void removePrinter(uint32_t address, const RemotePrinter *printer = nullptr);
    void addSlave(const std::string &guid, uint32_t address);
    bool addGateway(const gateway_info_t &info);
    bool removeGateway(uint32_t address, uint16_t port);
    void setServerConnected(bool value);

    // Gateway connects are on the LAN: a gateway that has not answered
    // within this time is taken for one that never will.
    static constexpr uint32_t GatewayConnectTimeoutMs = 3000;

    // The loop's server step, on the service thread: tests the server and
    // switches the modes, unless a discovered printer is registered (its
    // link's route requests report the server's state then).
    void checkServer();
    // Any thread: tests the server and reports the outcome to the service
    // thread, which switches the modes that follow; returns the connected
    // "Server" socket, or empty when the server is not reachable.
    // `forRelay` (the gateway's relay): the connection stays plain TCP,
    // since the slave's TLS, if any, runs end to end through it.
    std::shared_ptr<Socket> updateServerState(bool forRelay = false);
    // Connects a "Server" socket to the server; empty with option "slave"
    // true (no attempt at all), while stopping, or on failure. Virtual for
    // tests that hold a server test in progress.
    virtual std::shared_ptr<Socket> testServerConnection();
    // The mode step, on the service thread (or on a service whose thread
    // does not run): stores the server reachability, switches the gateway
    // listener and the discovery responder, and drops what the new state
    // does not keep: the slaves unless the server is reachable, and at
    // shutdown every printer and the printer tunnel. Once a stop has begun
    // it opens no listener. Emits statusChanged when anything changed.
    void applyModes(std::optional<bool> reachability, bool gateway, bool responder, bool shutdown);
    // A connected socket that leads to the server: directly (*viaGateway
    // false) or through a known gateway (true): those that answered before
    // one after the other, then all the others at once, the first to accept
    // winning. A gateway that fails is tried again only after a pause.
    // Empty when there is no route.
    std::shared_ptr<Socket> getServerConnection(bool *viaGateway);

    // One discovery sweep: one finder per broadcast interface, all at once;
    // returns when every finder has ended.
    virtual void runDiscovery();
    // (interface address, broadcast address) pairs; never empty.
    virtual std::vector<IPlatform::Interface> getBroadcastInterfaces();
    // The user's documents folder, where start() makes the backup folder;
    // empty when the system knows none.
    virtual std::string getDocumentsFolder();
    // End of every cycle: drops unused sockets and expired slaves.
    void cleanup();

    // Queries for the front ends; each returns copies.
    bool isServerConnected() const;
    // The server link's encryption: whether "server-tls" is on, and the
    // certificate the server showed at the latest handshake (subject empty
    // and expiry 0 until one succeeded).
    struct ServerLinkSecurity {
        bool encrypted = false;
        std::string certificateSubject;
        int64_t certificateExpiry = 0;  // seconds since 1970 UTC
    };
    ServerLinkSecurity serverLinkSecurity() const;
    // Any thread: runs the TLS handshake on a new connection that leads to
    // the server (a session's, directly or through a gateway, or a tunnel's)
    // when "server-tls" is true, and keeps the certificate shown; false when
    // it failed (the socket is closed then). True at once without TLS.
    bool secureServerLink(Socket &socket);
    void getPrinters(std::vector<PrinterDetails> &printers) const;
    // Every registered printer, answered or not, in registry order.
    std::vector<std::shared_ptr<RemotePrinter>> getRegisteredPrinters() const;
    PrinterTunnelInfo getPrinterTunnel() const;
    std::optional<uint16_t> getGatewayPort() const;
    bool isDiscoveryResponderRunning() const;
    void getGateways(std::deque<gateway_info_t> &gateways) const;
    void getSlaves(std::deque<SlaveInfo> &slaves) const;
    const std::string &getInstanceGuid() const { return guid_; }
    std::string getBackupDirectory() const;
    // Everything the status record shows but the process and the time of
    // writing, taken at one moment; the printers by address.
    void getStatus(StatusRecord &record) const;

    // Written by parse() before start; read without locking afterwards.
    OptionsManager &options() { return *options_; }
    const OptionsManager &options() const { return *options_; }

    // Held by threads that may still touch the service after it dropped them.
    ActivityCounter::Token acquireActivity() { return activity_.acquire(); }
    // The monotonic clock of the slaves' time-outs (tests set one they control).
    void setClock(Timeout::Clock clock);

    // How often the pause between cycles reports progress (at most
    // CyclePauseMs, at least 1 ms); any thread, any time.
    void setProgressInterval(unsigned milliseconds);

    // Notifications to the front ends, delivered on the emitting thread.
    boost::signals2::signal<void()> statusChanged;
    boost::signals2::signal<void(const std::string &)> informationMessage;
    boost::signals2::signal<void(const std::string &)> errorMessage;
    // Emitted by the service thread while it runs, each time its loop has
    // moved on: after the server step, after the discovery sweep and after
    // every progress interval of the pause. A step that hangs stops it; the
    // console program feeds a service manager's watchdog with it.
    boost::signals2::signal<void()> progressed;

protected:
    void onRun() override;

private:
    using PrinterMap = std::unordered_map<uint32_t, std::shared_ptr<RemotePrinter>>;
    using SlaveMap = std::unordered_map<std::string, std::shared_ptr<RemoteService>>;

    void createBackupDirectory();
    // Emits progressed unless the service is stopping.
    void reportProgress();
    void addStaticPrinters();
    // Cancels, closes every socket, joins the thread, closes what is left
    // open and waits for every thread that still uses the service.
    void shutdown();
    // The service thread's part of the modes: switches them for a server
    // test's outcome; applies the last outcome that other threads reported;
    // sleeps until the next cycle, switching modes as reports come.
    void switchModes(bool reachable);
    void applyReportedModes();
    void waitForNextCycle();
    // Hands a server test's outcome to the service thread.
    void reportServerTest(bool reachable);
    // testServerConnection, then the TLS handshake when "server-tls" is true.
    std::shared_ptr<Socket> openServerLink();

    // Connects to the first of `gateways` that accepts, all tried at once;
    // records in the table which answered and which failed.
    std::shared_ptr<Socket> connectFirstGateway(const std::vector<gateway_info_t> &gateways);
    // One gateway connect; records the outcome in the table.
    std::shared_ptr<Socket> connectGateway(const gateway_info_t &gateway);
    void recordGatewayOutcome(const gateway_info_t &gateway, bool answered);
    // Joins the threads of the printers removed since the last call.
    void joinRemovedPrinters();

    // Switch one listener on or off; true when that changed something.
    // REQUIRES: mutex_ held.
    bool updateGateway(bool on);
    bool updateDiscoveryResponder(bool on);
    // Opens, moves or closes the printer tunnel after the printers changed.
    // REQUIRES: mutex_ held.
    void updatePrinterTunnel();
    void closePrinterTunnel();

    const std::string guid_;
    mutable std::mutex mutex_;  // guards every member from here to clock_
    std::optional<bool> serverConnected_;
    std::optional<bool> serverReachability_;
    // The last server test outcome reported by another thread, not yet applied.
    std::optional<bool> reportedReachability_;
    ServerLinkSecurity serverLinkSecurity_;
    bool stopping_ = false;  // from the start of a stop to the next start
    std::string backupDirectory_;
    int64_t startTime_ = 0;  // the last start, seconds since 1970 UTC
    PrinterMap printers_;
    // Removed printers whose threads are still to be joined.
    std::vector<std::shared_ptr<RemotePrinter>> removedPrinters_;
    std::unique_ptr<RemotePrinterTunnel> printerTunnel_;
    SlaveMap slaves_;
    std::unique_ptr<BridgeGateway> gateway_;
    std::unique_ptr<DiscoveryResponder> responder_;
    GatewayTable gateways_;
    Timeout::Clock clock_ = Timeout::monotonicClock;

    const std::unique_ptr<OptionsManager> options_;
    const std::unique_ptr<Scheduler> scheduler_;
    std::atomic<unsigned> progressIntervalMs_{ProgressIntervalMs};
    ActivityCounter activity_;
};
