#pragma once

#include "activitycounter.h"
#include "isocketserver.h"

#include <memory>

class RemotePrinter;

// The printer tunnel: a local TCP port that leads to port 80 of one printer,
// so that its web pages open in a browser on this workstation. Each accepted
// connection (a browser opens several) is joined to a new connection to the
// printer by a Tunnel of its own.
//
// Ownership: the service owns the listening object (created and destroyed
// under the service mutex). The tunnel refers to its printer weakly and does
// not keep it registered; a clone serving a connection holds the printer
// while it relays. Clones hold an activity token of the printer's service,
// which waits for them before it goes.
class RemotePrinterTunnel : public ISocketServer {
public:
    static constexpr uint16_t PrinterWebPort = 80;
    static constexpr uint32_t ReceiveTimeoutMs = 20000;
    static constexpr unsigned RelayWaitMs = 3000;
    // Local connections relayed at once: a browser opens six to eight to one
    // host, so this leaves room for a few browsers or windows. Each costs two
    // threads and six descriptors.
    static constexpr unsigned MaxConnections = 32;

    explicit RemotePrinterTunnel(const std::shared_ptr<RemotePrinter> &printer);
    RemotePrinterTunnel(const RemotePrinterTunnel &other);

    std::shared_ptr<IClonable> clone() const override;
    // Serves one local connection until the relay ends; a connection that
    // arrives after the printer has gone is closed at once.
    void onRun() override;

    // The printer served, or empty once it has gone.
    std::shared_ptr<RemotePrinter> printer() const { return printer_.lock(); }

private:
    const std::weak_ptr<RemotePrinter> printer_;
    ActivityCounter::Token activity_;  // held by clones only
};
