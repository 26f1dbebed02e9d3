#include "printerdetails.h"

#include "stringutils.h"

#include <boost/date_time/posix_time/posix_time.hpp>

std::string PrinterDetails::text() const
{
    // Every text here came from the printer: shown escaped.
    std::string lines = "Name: " + (name.empty() ? std::string("?") : escapeText(name)) + "\n";
    lines += "Address: " + addressToString(address);
    const std::pair<const char *, const std::string *> texts[] = {
        {"Model: ", &model},     {"Status: ", &status},   {"Serial: ", &serial},
        {"Version: ", &version}, {"Order number: ", &orderNumber}};
    for (const auto &entry : texts) {
        if (!entry.second->empty())
            lines += "\n" + std::string(entry.first) + escapeText(*entry.second);
    }
    if (installationDate != 0)
        lines += "\nInstallation date: " + boost::posix_time::to_simple_string(boost::posix_time::from_time_t(installationDate));
    if (systemId != 0)
        lines += "\nSystem ID: " + std::to_string(systemId);
    if (gatewayAddress != 0 && gatewayPort != 0)
        lines += "\nGateway: " + addressToString(gatewayAddress) + ":" + std::to_string(gatewayPort);
    return lines;
}
