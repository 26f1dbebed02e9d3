#include "bridgeservice.h"

#include "bridgegateway.h"
#include "discoveryfinder.h"
#include "discoveryresponder.h"
#include "exception.h"
#include "filesystem.h"
#include "killoldbridge.h"
#include "logmanager.h"
#include "platform.h"
#include "remoteprinter.h"
#include "remoteprintertunnel.h"
#include "statusrecord.h"
#include "stringutils.h"
#include "tlsclient.h"
#include "tlsstream.h"

#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid_io.hpp>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <thread>

namespace {

constexpr const char *BackupFolderName = "Orvel-Bridge";
constexpr uint16_t DiscoveryResponderPort = 9102;
constexpr uint32_t PrinterTunnelReceiveTimeoutMs = 5000;

std::string makeGuid()
{
    return boost::uuids::to_string(boost::uuids::random_generator()());
}

} // namespace

BridgeService::BridgeService()
    : IThread("class BridgeService"), guid_(makeGuid()), options_(std::make_unique<OptionsManager>()),
      scheduler_(std::make_unique<Scheduler>())
{
}

BridgeService::~BridgeService()
{
    shutdown();
}

bool BridgeService::start()
{
    ORVEL_LOG(Info, "Bridge service starting...");
    createBackupDirectory();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        startTime_ = static_cast<int64_t>(std::time(nullptr));
        stopping_ = false;
    }
    // Armed here rather than on the new thread: a stop that comes before the
    // thread gets going must find it armed, so that its cancel is not undone.
    scheduler_->reset();
    if (IThread::start()) {
        ORVEL_LOG(Info, "Bridge service started");
        return true;
    }
    ORVEL_LOG(Error, "Bridge service start failed");
    return false;
}

void BridgeService::stop()
{
    ORVEL_LOG(Info, "Bridge service stopping...");
    shutdown();
    ORVEL_LOG(Info, "Bridge service stopped");
}

void BridgeService::shutdown()
{
    {
        // From here on no listener opens: a thread still on its way into
        // the service cannot bring one back after the last one closed.
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        reportedReachability_.reset();
    }
    scheduler_->cancel();
    closeAll();
    IThread::stop();
    // The thread switched everything off as it ended; this closes what was
    // opened without it (a service that never ran).
    applyModes(std::nullopt, false, false, true);
    joinRemovedPrinters();
    activity_.waitIdle();
}

void BridgeService::joinRemovedPrinters()
{
    std::vector<std::shared_ptr<RemotePrinter>> removed;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        removed.swap(removedPrinters_);
    }
    for (const auto &printer : removed)
        printer->stop(true);
}

bool BridgeService::isRunning() const
{
    return IThread::isRunning() && scheduler_->isActive();
}

std::shared_ptr<Socket> BridgeService::createSocket(const std::string &name, SocketHandle handle)
{
    if (!isRunning())
        return nullptr;
    std::shared_ptr<Socket> socket = SocketsManager::createSocket(name, std::move(handle));
    // A stop that began while the socket was being registered may have closed
    // the registry already: this socket must not outlive it open.
    if (!isRunning()) {
        socket->close();
        return nullptr;
    }
    return socket;
}

std::string BridgeService::getDocumentsFolder()
{
    return Platform::instance().getSpecialFolder(IPlatform::Documents);
}

void BridgeService::createBackupDirectory()
{
    const std::string documents = getDocumentsFolder();
    if (documents.empty())
        THROW_EXCEPTION("cannot find user's documents path");
    const std::string folder = FileSystem::combine(documents, BackupFolderName);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        backupDirectory_ = folder;
    }
    if (!FileSystem::ensureDirectory(folder))
        THROW_EXCEPTION(formatString("cannot create folder '%s'", folder.c_str()));
    if (!FileSystem::setCurrentDirectory(folder))
        THROW_EXCEPTION(formatString("cannot change current directory to '%s'", folder.c_str()));
}

void BridgeService::onRun()
{
    ORVEL_LOG(Debug, "Bridge service run begin");
    try {
        addStaticPrinters();
        while (isRunning()) {
            killOldBridge();
            checkServer();
            reportProgress();
            runDiscovery();
            reportProgress();
            waitForNextCycle();
            cleanup();
            Platform::instance().releaseFreeMemory();
        }
    } catch (const std::exception &error) {
        ORVEL_LOG(Error, formatString("Bridge service run failed: %s", error.what()));
    }
    ORVEL_LOG(Debug, "Bridge service run cleaning...");
    applyModes(std::nullopt, false, false, true);
    ORVEL_LOG(Debug, "Bridge service run end");
}

void BridgeService::addStaticPrinters()
{
    for (const uint32_t address : options_->staticPrinters())
        addPrinter(address, true, false);
}

void BridgeService::cleanup()
{
    removeExpired();
    joinRemovedPrinters();
    std::vector<std::shared_ptr<RemoteService>> expired;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = slaves_.begin(); it != slaves_.end();) {
            if (it->second->timeout->expired()) {
                ORVEL_LOG(Debug, formatString("Slave '%s' timeout (%s)", it->first.c_str(),
                                              addressToString(it->second->address).c_str()));
                expired.push_back(std::move(it->second));
                it = slaves_.erase(it);
            } else {
                ++it;
            }
        }
    }
    if (!expired.empty())
        statusChanged();
}

void BridgeService::addPrinter(uint32_t address, bool isStatic, bool discovered)
{
    if (options_->gateway().value_or(false))
        return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = printers_.find(address);
        if (found != printers_.end()) {
            if (discovered)
                found->second->setDiscovered();
            return;
        }
        auto printer = std::make_shared<RemotePrinter>(address, isStatic, discovered, this);
        printers_.emplace(address, printer);
        ORVEL_LOG(Info, formatString(isStatic ? "Static printer '%s' added" : "Printer '%s' added",
                                     addressToString(address).c_str()));
        printer->scheduler().reset();
        printer->startPrinterThread();
        updatePrinterTunnel();
    }
    statusChanged();
}

void BridgeService::removePrinter(uint32_t address, const RemotePrinter *printer)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = printers_.find(address);
        if (found == printers_.end() || (printer && found->second.get() != printer))
            return;
        ORVEL_LOG(Info, formatString("Printer '%s' removed", addressToString(address).c_str()));
        found->second->stop(false);
        // The caller is usually the printer's own thread: it is joined later,
        // from another thread, and the object lives until then.
        removedPrinters_.push_back(std::move(found->second));
        printers_.erase(found);
        updatePrinterTunnel();
    }
    statusChanged();
}

void BridgeService::addSlave(const std::string &guid, uint32_t address)
{
    if (guid.empty())
        THROW_EXCEPTION("internal error (slave's guid is empty)");
    if (guid == guid_)
        return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!serverReachability_.value_or(false))
            return;
        const auto found = slaves_.find(guid);
        if (found != slaves_.end()) {
            found->second->timeout->reset();
            return;
        }
        slaves_.emplace(guid, std::make_shared<RemoteService>(this, guid, address, clock_));
        ORVEL_LOG(Debug, formatString("Slave '%s' added (%s)", guid.c_str(), addressToString(address).c_str()));
    }
    statusChanged();
}

bool BridgeService::addGateway(const gateway_info_t &info)
{
    if (info.guid.empty())
        THROW_EXCEPTION("internal error (gateway's guid is empty)");
    if (info.guid == guid_)
        return false;
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<gateway_info_t> dropped;
    const GatewayTable::Added added = gateways_.add(info, dropped);
    for (const gateway_info_t &gateway : dropped)
        ORVEL_LOG(Debug, formatString("Gateway '%s:%d' removed", addressToString(gateway.address).c_str(), gateway.port));
    const std::string endpoint = formatString("%s:%d", addressToString(info.address).c_str(), info.port);
    switch (added) {
    case GatewayTable::Added::New:
    case GatewayTable::Added::Moved:
        ORVEL_LOG(Debug, formatString("Gateway '%s' added", endpoint.c_str()));
        return true;
    case GatewayTable::Added::Full:
        ORVEL_LOG(Debug, formatString("Gateway '%s' ignored (%d gateways known)", endpoint.c_str(),
                                      static_cast<int>(gateways_.size())));
        return false;
    case GatewayTable::Added::Known:
        break;
    }
    return false;
}

bool BridgeService::removeGateway(uint32_t address, uint16_t port)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!gateways_.remove(address, port))
        return false;
    ORVEL_LOG(Debug, formatString("Gateway '%s:%d' removed", addressToString(address).c_str(), port));
    return true;
}

void BridgeService::setServerConnected(bool value)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (serverConnected_ == value)
            return;
        serverConnected_ = value;
    }
    statusChanged();
}

void BridgeService::checkServer()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto &entry : printers_) {
            if (entry.second->isDiscovered())
                return;
        }
    }
    switchModes(openServerLink() != nullptr);  // the test connection closes at once
}

std::shared_ptr<Socket> BridgeService::openServerLink()
{
    std::shared_ptr<Socket> socket = testServerConnection();
    return socket && secureServerLink(*socket) ? socket : nullptr;
}

bool BridgeService::secureServerLink(Socket &socket)
{
    const std::shared_ptr<const TlsClient> &client = options_->tlsClient();
    if (!client)
        return true;
    if (!socket.startTls(*client, options_->serverTlsName()))
        return false;
    const std::shared_ptr<TlsStream> stream = socket.tlsStream();
    if (!stream)
        return false;  // closed by a stop as the handshake ended
    bool changed = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        changed = serverLinkSecurity_.certificateSubject != stream->peerSubject() ||
                  serverLinkSecurity_.certificateExpiry != stream->peerExpiry();
        serverLinkSecurity_.certificateSubject = stream->peerSubject();
        serverLinkSecurity_.certificateExpiry = stream->peerExpiry();
    }
    if (changed)
        statusChanged();
    return true;
}

BridgeService::ServerLinkSecurity BridgeService::serverLinkSecurity() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    ServerLinkSecurity security = serverLinkSecurity_;
    security.encrypted = options_->serverTls();
    return security;
}

std::shared_ptr<Socket> BridgeService::testServerConnection()
{
    if (options_->slave().value_or(false))
        return nullptr;
    const std::shared_ptr<Socket> socket = createSocket("Server");
    if (!socket || !socket->connect(options_->serverAddress(), options_->serverPort()))
        return nullptr;
    return socket;
}

std::shared_ptr<Socket> BridgeService::updateServerState(bool forRelay)
{
    std::shared_ptr<Socket> socket = forRelay ? testServerConnection() : openServerLink();
    reportServerTest(socket != nullptr);
    return socket;
}

void BridgeService::reportServerTest(bool reachable)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_)
            return;
        reportedReachability_ = reachable;
    }
    scheduler_->wake();
}

void BridgeService::switchModes(bool reachable)
{
    applyModes(reachable, options_->gateway().value_or(reachable),
               options_->discoveryResponder().value_or(!reachable), false);
}

void BridgeService::applyReportedModes()
{
    std::optional<bool> reported;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        reported.swap(reportedReachability_);
    }
    if (reported)
        switchModes(*reported);
}

void BridgeService::waitForNextCycle()
{
    // On the monotonic clock, in slices that each report progress; a stop
    // ends it at once, a report of another thread's server test wakes it.
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(CyclePauseMs);
    while (isRunning()) {
        applyReportedModes();
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return;
        scheduler_->wait(static_cast<unsigned>(std::min<long long>(progressIntervalMs_.load(), left)));
        reportProgress();
    }
}

void BridgeService::applyModes(std::optional<bool> reachability, bool gateway, bool responder, bool shutdown)
{
    PrinterMap droppedPrinters;
    SlaveMap droppedSlaves;
    bool changed = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (serverReachability_ != reachability) {
            serverReachability_ = reachability;
            changed = true;
        }
        const bool mayOpen = !shutdown && !stopping_;
        if (updateGateway(gateway && mayOpen))
            changed = true;
        if (updateDiscoveryResponder(responder && mayOpen))
            changed = true;
        if (!(reachability.value_or(false) && !shutdown) && !slaves_.empty()) {
            droppedSlaves.swap(slaves_);
            changed = true;
        }
        std::optional<bool> connected;
        if (shutdown) {
            closePrinterTunnel();
            if (!printers_.empty()) {
                droppedPrinters.swap(printers_);
                changed = true;
            }
        } else if (reachability.value_or(false)) {
            connected = true;
        } else if (!printers_.empty()) {
            connected = serverConnected_;
        }
        if (serverConnected_ != connected) {
            serverConnected_ = connected;
            changed = true;
        }
    }
    // Each printer stops and joins its thread here, outside the lock: the
    // thread may itself be on its way into removePrinter.
    for (auto &entry : droppedPrinters)
        entry.second->stop(true);
    droppedPrinters.clear();
    droppedSlaves.clear();
    if (changed)
        statusChanged();
}

std::shared_ptr<Socket> BridgeService::getServerConnection(bool *viaGateway)
{
    if (std::shared_ptr<Socket> direct = updateServerState()) {
        if (viaGateway)
            *viaGateway = false;
        return direct;
    }
    std::vector<gateway_info_t> answered;
    std::vector<gateway_info_t> untried;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        gateways_.candidates(answered, untried);
    }
    std::shared_ptr<Socket> socket;
    for (const gateway_info_t &gateway : answered) {
        if ((socket = connectGateway(gateway)))
            break;
    }
    if (!socket)
        socket = connectFirstGateway(untried);
    // The gateway relays bytes: TLS, when on, runs end to end with the server.
    if (socket && !secureServerLink(*socket))
        socket = nullptr;
    if (socket && viaGateway)
        *viaGateway = true;
    return socket;
}

std::shared_ptr<Socket> BridgeService::connectGateway(const gateway_info_t &gateway)
{
    std::shared_ptr<Socket> socket = createSocket("Gateway");
    if (!socket)
        return nullptr;
    socket->connectTimeout = GatewayConnectTimeoutMs;
    const bool connected = socket->connect(gateway.address, gateway.port);
    recordGatewayOutcome(gateway, connected);
    return connected ? socket : nullptr;
}

std::shared_ptr<Socket> BridgeService::connectFirstGateway(const std::vector<gateway_info_t> &gateways)
{
    if (gateways.size() <= 1)
        return gateways.empty() ? nullptr : connectGateway(gateways.front());

    // One connect per gateway, each on a thread of its own. The first to
    // connect wins; closing the others' sockets ends their connects at once,
    // and such an interrupted connect says nothing about its gateway.
    enum class State { Connecting, Connected, Failed };
    struct Attempt {
        std::shared_ptr<Socket> socket;
        State state = State::Connecting;
        bool interrupted = false;
    };
    std::vector<Attempt> attempts(gateways.size());
    for (Attempt &attempt : attempts) {
        if (!(attempt.socket = createSocket("Gateway")))
            return nullptr;  // the service is stopping
        attempt.socket->connectTimeout = GatewayConnectTimeoutMs;
    }
    std::mutex mutex;  // guards the attempts' states
    std::condition_variable changed;
    std::vector<std::thread> threads;
    const auto join = [&] {
        for (std::thread &thread : threads)
            thread.join();
    };
    try {
        for (size_t i = 0; i < attempts.size(); ++i) {
            threads.emplace_back([&, i] {
                const bool connected = attempts[i].socket->connect(gateways[i].address, gateways[i].port);
                std::lock_guard<std::mutex> lock(mutex);
                attempts[i].state = connected ? State::Connected : State::Failed;
                changed.notify_all();
            });
        }
    } catch (const std::exception &error) {
        ORVEL_LOG(Error, formatString("Failed to start gateway connections: %s", error.what()));
        for (Attempt &attempt : attempts)
            attempt.socket->close();
        join();
        return nullptr;
    }

    size_t winner = attempts.size();
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] {
            bool allFailed = true;
            for (size_t i = 0; i < attempts.size(); ++i) {
                if (attempts[i].state == State::Connected) {
                    winner = i;
                    return true;
                }
                allFailed = allFailed && attempts[i].state == State::Failed;
            }
            return allFailed;
        });
        for (size_t i = 0; i < attempts.size(); ++i) {
            if (i != winner && attempts[i].state == State::Connecting)
                attempts[i].interrupted = true;
        }
    }
    for (size_t i = 0; i < attempts.size(); ++i) {
        if (i != winner)
            attempts[i].socket->close();
    }
    join();
    for (size_t i = 0; i < attempts.size(); ++i) {
        if (i == winner || (!attempts[i].interrupted && attempts[i].state == State::Failed))
            recordGatewayOutcome(gateways[i], i == winner);
    }
    return winner < attempts.size() ? attempts[winner].socket : nullptr;
}

void BridgeService::recordGatewayOutcome(const gateway_info_t &gateway, bool answered)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (answered) {
        gateways_.markAnswered(gateway.address, gateway.port);
    } else if (gateways_.markFailed(gateway.address, gateway.port)) {
        ORVEL_LOG(Debug, formatString("Gateway '%s:%d' failed, not tried again for %d s",
                                      addressToString(gateway.address).c_str(), gateway.port,
                                      static_cast<int>(GatewayTable::RetryPauseSeconds)));
    }
}

bool BridgeService::updateGateway(bool on)
{
    if (!on) {
        if (!gateway_)
            return false;
        gateway_.reset();
        ORVEL_LOG(Info, "Gateway closed");
        return true;
    }
    if (gateway_)
        return false;
    auto gateway = std::make_unique<BridgeGateway>(this);
    const std::optional<uint16_t> forcedPort = options_->gatewayPort();
    if (!gateway->createServer(forcedPort.value_or(0))) {
        if (forcedPort)
            ORVEL_LOG(Error, formatString("Failed to start gateway on port '%d'", *forcedPort));
        else
            ORVEL_LOG(Error, "Failed to start gateway");
        return false;
    }
    ORVEL_LOG(Info, formatString("Gateway started on port %d", gateway->getLocalPort()));
    gateway_ = std::move(gateway);
    return true;
}

bool BridgeService::updateDiscoveryResponder(bool on)
{
    if (!on) {
        if (!responder_)
            return false;
        responder_.reset();
        ORVEL_LOG(Info, "Discovery responder closed");
        return true;
    }
    if (responder_)
        return false;
    auto responder = std::make_unique<DiscoveryResponder>(this);
    if (!responder->createBroadcastServer(DiscoveryResponderPort)) {
        ORVEL_LOG(Error, "Failed to start discovery responder");
        return false;
    }
    ORVEL_LOG(Info, "Discovery responder started");
    responder_ = std::move(responder);
    return true;
}

void BridgeService::updatePrinterTunnel()
{
    if (stopping_) {
        closePrinterTunnel();
        return;
    }
    std::shared_ptr<RemotePrinter> target;
    if (printers_.size() == 1 || (printers_.size() > 1 && options_->printerTunnel().value_or(false)))
        target = printers_.begin()->second;
    if (!target) {
        closePrinterTunnel();
        return;
    }
    if (printerTunnel_) {
        // Compared as objects: a printer registered anew at the same address
        // is another printer, and the old tunnel's reference has gone.
        if (printerTunnel_->printer() == target)
            return;
        closePrinterTunnel();
    }

    auto tunnel = std::make_unique<RemotePrinterTunnel>(target);
    tunnel->receiveTimeout = PrinterTunnelReceiveTimeoutMs;
    if (const std::optional<uint16_t> forcedPort = options_->printerTunnelPort()) {
        if (!tunnel->createServer(*forcedPort)) {
            const std::string text = formatString("Failed to create printer's tunnel on port %d", *forcedPort);
            ORVEL_LOG(Error, text);
            errorMessage(text);
            return;
        }
    } else if (!tunnel->createServer(80)) {
        ORVEL_LOG(Warning, "Failed to open printer's tunnel on port 80, testing port 8080...");
        if (!tunnel->createServer(8080)) {
            ORVEL_LOG(Warning, "Failed to open printer's tunnel on port 8080, testing any available port...");
            if (!tunnel->createServer(0)) {
                const std::string text = "Failed to create printer's tunnel (no listening port available)";
                ORVEL_LOG(Error, text);
                errorMessage(text);
                return;
            }
        }
    }
    printerTunnel_ = std::move(tunnel);
    ORVEL_LOG(Info, formatString("Printer's tunnel opened on port %d", printerTunnel_->getLocalPort()));
}

void BridgeService::closePrinterTunnel()
{
    if (!printerTunnel_)
        return;
    printerTunnel_.reset();
    ORVEL_LOG(Info, "Printer's tunnel closed");
}

void BridgeService::runDiscovery()
{
    std::vector<std::shared_ptr<DiscoveryFinder>> finders;
    for (const IPlatform::Interface &interface : getBroadcastInterfaces()) {
        auto finder = std::make_shared<DiscoveryFinder>(this, interface.address, interface.broadcast, interface.index);
        finder->start();
        finders.push_back(finder);
    }
    for (const auto &finder : finders)
        finder->stop();
}

std::vector<IPlatform::Interface> BridgeService::getBroadcastInterfaces()
{
    std::vector<IPlatform::Interface> interfaces = Platform::instance().getBroadcastInterfaces();
    if (interfaces.empty()) {
        IPlatform::Interface any;
        any.broadcast = 0xffffffffu;
        interfaces.push_back(any);
    }
    return interfaces;
}

bool BridgeService::isServerConnected() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return serverConnected_.value_or(false);
}

void BridgeService::getPrinters(std::vector<PrinterDetails> &printers) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto &entry : printers_) {
        PrinterDetails details;
        if (entry.second->getDetails(details))
            printers.push_back(details);
    }
}

std::vector<std::shared_ptr<RemotePrinter>> BridgeService::getRegisteredPrinters() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::shared_ptr<RemotePrinter>> printers;
    for (const auto &entry : printers_)
        printers.push_back(entry.second);
    return printers;
}

PrinterTunnelInfo BridgeService::getPrinterTunnel() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    PrinterTunnelInfo info;
    if (printerTunnel_) {
        info.printer = printerTunnel_->printer();
        info.port = printerTunnel_->getLocalPort();
        info.present = true;
    }
    return info;
}

std::optional<uint16_t> BridgeService::getGatewayPort() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!gateway_)
        return std::nullopt;
    return gateway_->getLocalPort();
}

bool BridgeService::isDiscoveryResponderRunning() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return responder_ != nullptr;
}

void BridgeService::getGateways(std::deque<gateway_info_t> &gateways) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    gateways = gateways_.list();
}

void BridgeService::getSlaves(std::deque<SlaveInfo> &slaves) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto &entry : slaves_)
        slaves.push_back({entry.second->guid, entry.second->address});
}

std::string BridgeService::getBackupDirectory() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return backupDirectory_;
}

void BridgeService::setProgressInterval(unsigned milliseconds)
{
    progressIntervalMs_ = std::max(1u, std::min(milliseconds, CyclePauseMs));
}

void BridgeService::reportProgress()
{
    if (isRunning())
        progressed();
}

void BridgeService::setClock(Timeout::Clock clock)
{
    std::lock_guard<std::mutex> lock(mutex_);
    gateways_.setClock(clock);
    clock_ = std::move(clock);
}

void BridgeService::getStatus(StatusRecord &record) const
{
    record.guid = guid_;
    record.serverAddress = options_->serverAddress();
    record.serverPort = options_->serverPort();
    std::lock_guard<std::mutex> lock(mutex_);
    record.started = startTime_;
    record.serverReachable = serverReachability_;
    record.serverConnected = serverConnected_.value_or(false);
    record.serverTls = options_->serverTls();
    record.serverCertificateSubject = serverLinkSecurity_.certificateSubject;
    record.serverCertificateExpiry = serverLinkSecurity_.certificateExpiry;
    record.gatewayPort = gateway_ ? std::optional<uint16_t>(gateway_->getLocalPort()) : std::nullopt;
    record.responder = responder_ != nullptr;
    record.printerTunnelPort.reset();
    record.printerTunnelAddress = 0;
    if (printerTunnel_) {
        record.printerTunnelPort = printerTunnel_->getLocalPort();
        if (const std::shared_ptr<RemotePrinter> printer = printerTunnel_->printer())
            record.printerTunnelAddress = printer->address();
    }
    record.slaves.clear();
    for (const auto &entry : slaves_)
        record.slaves.push_back({entry.second->guid, entry.second->address});
    const std::deque<gateway_info_t> gateways = gateways_.list();
    record.gateways.assign(gateways.begin(), gateways.end());
    record.printers.clear();
    for (const auto &entry : printers_) {
        record.printers.emplace_back();
        entry.second->getStatus(record.printers.back());
    }
    std::sort(record.printers.begin(), record.printers.end(),
              [](const PrinterDetails &a, const PrinterDetails &b) { return a.address < b.address; });
}
