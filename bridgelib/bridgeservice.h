#pragma once

#include "activitycounter.h"
#include "gatewayinfo.h"
#include "iplatform.h"
#include "ithread.h"
#include "object.h"
#include "optionsmanager.h"
#include "printerdetails.h"
#include "remoteservice.h"
#include "scheduler.h"
#include "socketsmanager.h"
#include "timeout.h"

#include <boost/signals2/signal.hpp>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

class RemotePrinter;

// The centre of the bridge: owns the options, the printers this bridge
// serves, the slave bridges (while it is a gateway) and the known gateways
// (while it needs one). Its thread registers the static printers and then
// runs cycles: discover printers and bridges on every local network, sleep
// 60 s, expire slaves.
//
// Every socket of the service is created through createSocket, which refuses
// once the service is stopping, so that stop() can close them all and wake
// every thread blocked on one.
//
// Threads: the front end's (construction, start, stop, queries), the service
// thread, the discovery threads, the printer threads. mutex_ guards the states,
// the registries and the gateways queue; it is taken before a printer's own
// mutexes, never after. Printers and slaves that leave the registries are
// destroyed after mutex_ is released (destroying a printer joins its thread).
// statusChanged is emitted without mutex_ held.
class BridgeService : public IThread, public SocketsManager, public Object {
public:
    static constexpr unsigned CyclePauseMs = 60000;

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
    void removePrinter(uint32_t address);
    void addSlave(const std::string &guid, uint32_t address);
    bool addGateway(const gateway_info_t &info);
    bool removeGateway(uint32_t address, uint16_t port);
    void setServerConnected(bool value);

    // Stores the server reachability and drops what the new state does not
    // keep: the slaves unless the server is reachable, and at shutdown every
    // printer. Emits statusChanged when anything changed.
    void applyModes(std::optional<bool> reachability, bool gateway, bool responder, bool shutdown);

    // One discovery sweep: one finder per broadcast interface, all at once;
    // returns when every finder has ended.
    virtual void runDiscovery();
    // (interface address, broadcast address) pairs; never empty.
    virtual std::vector<IPlatform::Interface> getBroadcastInterfaces();
    // End of every cycle: drops unused sockets and expired slaves.
    void cleanup();

    // Queries for the front ends; each returns copies.
    bool isServerConnected() const;
    void getPrinters(std::vector<PrinterDetails> &printers) const;
    // Every registered printer, answered or not, in registry order.
    std::vector<std::shared_ptr<RemotePrinter>> getRegisteredPrinters() const;
    std::optional<uint16_t> getGatewayPort() const;
    bool isDiscoveryResponderRunning() const;
    void getGateways(std::deque<gateway_info_t> &gateways) const;
    void getSlaves(std::deque<SlaveInfo> &slaves) const;
    const std::string &getInstanceGuid() const { return guid_; }
    std::string getBackupDirectory() const;

    // Written by parse() before start; read without locking afterwards.
    OptionsManager &options() { return *options_; }
    const OptionsManager &options() const { return *options_; }

    // Held by threads that may still touch the service after it dropped them.
    ActivityCounter::Token acquireActivity() { return activity_.acquire(); }
    // The clock of the slaves' time-outs (tests set one they control).
    void setClock(Timeout::Clock clock);

    // Notifications to the front ends, delivered on the emitting thread.
    boost::signals2::signal<void()> statusChanged;
    boost::signals2::signal<void(const std::string &)> informationMessage;
    boost::signals2::signal<void(const std::string &)> errorMessage;

protected:
    void onRun() override;

private:
    using PrinterMap = std::unordered_map<uint32_t, std::shared_ptr<RemotePrinter>>;
    using SlaveMap = std::unordered_map<std::string, std::shared_ptr<RemoteService>>;

    void createBackupDirectory();
    void addStaticPrinters();
    // Cancels, closes every socket, joins the thread, waits for the printers.
    void shutdown();

    const std::string guid_;
    mutable std::mutex mutex_;  // guards every member from here to gateways_
    std::optional<bool> serverConnected_;
    std::optional<bool> serverReachability_;
    std::string backupDirectory_;
    PrinterMap printers_;
    SlaveMap slaves_;
    std::deque<gateway_info_t> gateways_;
    Timeout::Clock clock_ = Timeout::localClock;

    const std::unique_ptr<OptionsManager> options_;
    const std::unique_ptr<Scheduler> scheduler_;
    ActivityCounter activity_;
};
