#include "optionsmanager.h"

#include "exception.h"
#include "logmanager.h"
#include "stringutils.h"
#include "tlsclient.h"

#include <boost/algorithm/string.hpp>

namespace po = boost::program_options;

namespace {

// Copies an option that was given into its optional member.
template <typename T>
void copyGiven(const po::variables_map &variables, const char *name, std::optional<T> &member)
{
    if (variables.count(name))
        member = variables[name].as<T>();
}

// Reads a decimal number from 0 to 255 made of 1 to 3 digits.
bool parseOctet(const std::string &text, uint32_t &octet)
{
    if (text.empty() || text.size() > 3)
        return false;
    uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    if (value > 255)
        return false;
    octet = value;
    return true;
}

} // namespace

OptionsManager::OptionsManager() : description_(80, 40) {}

OptionsManager::~OptionsManager()
{
    LogManager::instance().disconnect(logSink_);
    std::lock_guard<std::mutex> lock(logFileMutex_);
    logFile_.reset();
}

void OptionsManager::parse(int argc, const char *const argv[])
{
    std::string configFile = DefaultConfigFile;
    unsigned logLevel = Info;
    std::string logFile;
    std::string staticPrinterText;

    description_.add_options()
        ("help", "Display the help")
        ("gateway", po::value<bool>(), "Force the gateway mode (if true no printer will be registered)")
        ("gateway-port", po::value<uint16_t>(),
         "Force the gateway port (if not specified a random available port will be choosed)")
        ("slave", po::value<bool>(), "Force the slave mode")
        ("discovery-responder", po::value<bool>(), "Force the broadcast responder")
        ("printer-tunnel", po::value<bool>(),
         "Force the printer tunnel mode (if true the tunnel will be binded to the first available printer)")
        ("printer-tunnel-port", po::value<uint16_t>(), "Force the printer tunnel port")
        ("quiet", po::value<bool>(&quiet_)->default_value(quiet_), "Silence messages reporting")
        ("server-address", po::value<std::string>(&serverAddress_)->default_value(serverAddress_),
         "WVT server address")
        ("server-port", po::value<uint16_t>(&serverPort_)->default_value(serverPort_), "WVT server port")
        ("server-tls", po::value<bool>(&serverTls_)->default_value(serverTls_),
         "TLS to the server for the sessions, their tunnels and the server test")
        ("server-tls-ca", po::value<std::string>(&serverTlsCa_),
         "PEM certificates the server's must lead to (default: the system's)")
        ("server-tls-name", po::value<std::string>(&serverTlsName_),
         "Name the server's certificate must carry (default: server-address)")
        ("static-printers", po::value<std::string>(&staticPrinterText)->default_value(staticPrinterText),
         "Static printers addresses (separated by ';')")
        ("config-file", po::value<std::string>(&configFile)->default_value(configFile), "Config file path")
        ("log-level", po::value<unsigned>(&logLevel)->default_value(logLevel),
         formatString("LogLevel (%d min - %d max)", Debug, Critical).c_str())
        ("log-file", po::value<std::string>(&logFile)->implicit_value(""),
         formatString("Log file (default '%s')", DefaultLogFile).c_str())
        ("status", "Show the status of the running bridge");

    po::store(po::command_line_parser(argc, argv).options(description_).allow_unregistered().run(), variables_);

    if (variables_.count("config-file") && !variables_["config-file"].defaulted())
        configFile = variables_["config-file"].as<std::string>();
    std::ifstream ini(configFile);
    if (ini)
        po::store(po::parse_config_file(ini, description_, true), variables_);

    po::notify(variables_);

    copyGiven(variables_, "gateway", gateway_);
    copyGiven(variables_, "gateway-port", gatewayPort_);
    copyGiven(variables_, "slave", slave_);
    copyGiven(variables_, "discovery-responder", discoveryResponder_);
    copyGiven(variables_, "printer-tunnel", printerTunnel_);
    copyGiven(variables_, "printer-tunnel-port", printerTunnelPort_);

    if (logFile.empty() && variables_.count("log-file"))
        logFile = DefaultLogFile;

    staticPrinters_ = parseStaticPrinters(staticPrinterText);

    if (!logFile.empty() && !openLogFile(logFile))
        THROW_EXCEPTION(formatString("cannot open log file '%s'", logFile.c_str()));

    LogManager::instance().setLevel(logLevel <= static_cast<unsigned>(Critical) ? static_cast<int>(logLevel) : Info);

    // Made once for every connection to the server; a build without TLS or
    // certificates that cannot be read stop the start like a bad value.
    if (serverTls_ && !variables_.count("help") && !variables_.count("status"))
        tlsClient_ = std::make_shared<const TlsClient>(serverTlsCa_);
}

const std::string &OptionsManager::serverTlsName() const
{
    return serverTlsName_.empty() ? serverAddress_ : serverTlsName_;
}

std::vector<uint32_t> OptionsManager::parseStaticPrinters(const std::string &text)
{
    std::vector<uint32_t> addresses;
    if (text.empty())
        return addresses;
    std::vector<std::string> pieces;
    boost::algorithm::split(pieces, text, boost::algorithm::is_any_of(";"));
    for (const std::string &piece : pieces) {
        std::vector<std::string> octets;
        const std::string trimmed = boost::algorithm::trim_copy(piece);
        boost::algorithm::split(octets, trimmed, boost::algorithm::is_any_of("."));
        uint32_t address = 0;
        bool valid = octets.size() == 4;
        for (size_t i = 0; valid && i < octets.size(); ++i) {
            uint32_t octet = 0;
            valid = parseOctet(octets[i], octet);
            address = (address << 8) | octet;
        }
        if (!valid || address == 0) {
            ORVEL_LOG(Warning, formatString("Invalid static printer address '%s' ignored", piece.c_str()));
            continue;
        }
        addresses.push_back(address);
    }
    return addresses;
}

bool OptionsManager::openLogFile(const std::string &path)
{
    std::lock_guard<std::mutex> lock(logFileMutex_);
    if (logFile_)
        return false;
    auto file = std::make_unique<std::ofstream>(path, std::ios::out | std::ios::app);
    if (!file->is_open())
        return false;
    logFile_ = std::move(file);
    logSink_ = LogManager::instance().onMessage.connect(
        [this](const std::shared_ptr<const LogMessage> &message) { onLogMessage(message); });
    return true;
}

void OptionsManager::onLogMessage(const std::shared_ptr<const LogMessage> &message)
{
    std::lock_guard<std::mutex> lock(logFileMutex_);
    if (!logFile_)
        return;
    *logFile_ << message->fileLine() << '\n';
    logFile_->flush();
}
