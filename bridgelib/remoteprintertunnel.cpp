#include "remoteprintertunnel.h"

#include "bridgeservice.h"
#include "exception.h"
#include "logmanager.h"
#include "remoteprinter.h"
#include "tunnel.h"

namespace {

// The activity token of the printer's service, or none when the printer has gone.
ActivityCounter::Token serviceActivity(const std::weak_ptr<RemotePrinter> &printer)
{
    const std::shared_ptr<RemotePrinter> alive = printer.lock();
    if (!alive || !alive->service())
        return ActivityCounter::Token();
    return alive->service()->acquireActivity();
}

} // namespace

RemotePrinterTunnel::RemotePrinterTunnel(const std::shared_ptr<RemotePrinter> &printer)
    : ISocketServer(std::string()), printer_(printer)
{
    maxConnections = MaxConnections;
    listenerName = "Printer's tunnel";
}

RemotePrinterTunnel::RemotePrinterTunnel(const RemotePrinterTunnel &other)
    : ISocketServer(other), printer_(other.printer_), activity_(serviceActivity(other.printer_))
{
}

std::shared_ptr<IClonable> RemotePrinterTunnel::clone() const
{
    return std::make_shared<RemotePrinterTunnel>(*this);
}

void RemotePrinterTunnel::onRun()
{
    const std::shared_ptr<RemotePrinter> printer = printer_.lock();
    if (!printer || !printer->service())
        return;
    BridgeService &service = *printer->service();

    const std::shared_ptr<Socket> client = service.createSocket("RemotePrinterTunnel - client", sharedHandle());
    if (!client)
        THROW_EXCEPTION("internal error (clientSocket is null)");
    takeHandle();
    const std::shared_ptr<Socket> printerSocket = service.createSocket("RemotePrinterTunnel - printer");
    if (!printerSocket)
        THROW_EXCEPTION("internal error (printerSocket is null)");

    if (!printerSocket->connect(printer->address(), PrinterWebPort)) {
        ORVEL_LOG(Error, "Failed to create printer's tunnel (status port connection failed)");
        return;
    }
    client->receiveTimeout = printerSocket->receiveTimeout = ReceiveTimeoutMs;
    client->applyTimeouts();
    printerSocket->applyTimeouts();

    const auto tunnel = std::make_shared<Tunnel>(nullptr, 0, client, printerSocket);
    tunnel->selectTimeout = RelayWaitMs;
    if (tunnel->start())
        tunnel->join();
}
