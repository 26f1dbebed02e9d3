#include "statustext.h"

#include "bridgeservice.h"
#include "remoteprinter.h"
#include "stringutils.h"

#include <boost/date_time/posix_time/posix_time.hpp>

namespace {

std::string yesNo(bool value)
{
    return value ? "yes" : "no";
}

std::string gatewayText(const gateway_info_t &gateway)
{
    return addressToString(gateway.address) + ":" + std::to_string(gateway.port) + " (GUID=" + gateway.guid + ")";
}

// A slave's address runs straight into its GUID, without a blank.
std::string slaveText(const SlaveInfo &slave)
{
    return addressToString(slave.address) + "(GUID=" + slave.guid + ")";
}

} // namespace

StatusText StatusText::from(const BridgeService &service)
{
    StatusText status;
    status.serverConnected = service.isServerConnected();
    const BridgeService::ServerLinkSecurity security = service.serverLinkSecurity();
    status.serverTls = security.encrypted;
    status.serverCertificateSubject = security.certificateSubject;
    status.serverCertificateExpiry = security.certificateExpiry;
    status.instanceGuid = service.getInstanceGuid();
    status.printerCount = service.getRegisteredPrinters().size();
    const PrinterTunnelInfo tunnel = service.getPrinterTunnel();
    status.tunnelOpen = tunnel.present;
    status.tunnelPort = tunnel.port;
    if (tunnel.present && tunnel.printer)
        status.tunnelPrinterName = tunnel.printer->getName();
    status.responderRunning = service.isDiscoveryResponderRunning();
    status.gatewayPort = service.getGatewayPort();
    service.getGateways(status.gateways);
    service.getSlaves(status.slaves);
    return status;
}

std::string StatusText::text() const
{
    std::string lines = "Orvel-Server connected: " + yesNo(serverConnected);
    if (serverTls)
        lines += "\nServer link encrypted (TLS): " +
                 (serverCertificateSubject.empty()
                      ? std::string("no handshake yet")
                      : escapeText(serverCertificateSubject) + ", expires " +
                            boost::posix_time::to_simple_string(
                                boost::posix_time::from_time_t(static_cast<std::time_t>(serverCertificateExpiry))) +
                            " UTC");
    lines += "\nInstance GUID: " + instanceGuid;
    lines += "\nDiscovered printer(s): " + std::to_string(printerCount);
    if (tunnelOpen) {
        lines += "\nPrinter tunnel port";
        if (!tunnelPrinterName.empty())
            lines += " (" + escapeText(tunnelPrinterName) + ")";
        lines += ": " + std::to_string(tunnelPort);
    }
    lines += "\nBroadcast responder: " + yesNo(responderRunning);
    if (gatewayPort)
        lines += "\nGateway port: " + std::to_string(*gatewayPort);
    if (gateways.size() == 1) {
        lines += "\nDiscovered gateway: " + gatewayText(gateways.front());
    } else if (gateways.size() > 1) {
        lines += "\nDiscovered gateways: ";
        for (size_t i = 0; i < gateways.size(); ++i)
            lines += "\n" + std::to_string(i + 1) + ") " + gatewayText(gateways[i]);
    }
    if (slaves.size() == 1) {
        lines += "\nDiscovered slave: " + slaveText(slaves.front());
    } else if (slaves.size() > 1) {
        lines += "\nDiscovered slaves: ";
        for (size_t i = 0; i < slaves.size(); ++i)
            lines += "\n" + std::to_string(i + 1) + ") " + slaveText(slaves[i]);
    }
    return lines;
}
