#pragma once

#include "buffer.h"
#include "ithread.h"
#include "object.h"

#include <cstdint>
#include <memory>

class BridgeService;
class Socket;

// One discovery pass on one interface, on a thread of its own: broadcasts the
// printers request (and, while this bridge runs its gateway, the bridges
// request) at once and again after every 3 s without an answer, for 10 s, and
// turns the answers into addPrinter and addSlave calls. Created, started and
// stopped (joined) by the service's discovery sweep; never restarted.
class DiscoveryFinder : public IThread, public Object {
public:
    // `address` 0 sends from no particular interface; `interfaceIndex`, when
    // not 0, makes the datagrams leave through that interface.
    DiscoveryFinder(BridgeService *service, uint32_t address, uint32_t broadcast, unsigned interfaceIndex = 0);
    ~DiscoveryFinder() override;

    std::shared_ptr<Buffer> createPrintersDiscoveryRequest() const;
    // Empty while this bridge runs no gateway listener.
    std::shared_ptr<Buffer> createBridgesDiscoveryRequest() const;

protected:
    void onRun() override;

private:
    void runPass();
    void handleDatagram(const unsigned char *datagram, int length, uint32_t sender);

    BridgeService *const service_;  // not owned; outlives the finder
    const uint32_t address_;
    const uint32_t broadcast_;
    const unsigned interfaceIndex_;
};
