#pragma once

#include "logmessage.h"
#include "object.h"

#include <boost/program_options.hpp>
#include <boost/signals2/connection.hpp>
#include <cstdint>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class TlsClient;

// Every setting of the bridge: declares the options, reads them from the
// command line and then the ini file (the command line wins), keeps the
// values, applies the log level and, when a log file is asked for, owns that
// file and writes every log message into it.
//
// Owned by the BridgeService. parse() runs once on the front end's thread
// before any service thread exists; afterwards the settings are read without
// locking. The file sink runs on whatever thread logs, inside the log
// manager's lock, and takes logFileMutex_ (log manager, then log file).
class OptionsManager : public Object {
public:
    static constexpr const char *DefaultConfigFile = "orvel-bridge.ini";
    static constexpr const char *DefaultLogFile = "orvel-bridge.log";
    // A placeholder under the reserved .invalid domain: a default installation
    // never reaches anybody's host until the site configures its server.
    static constexpr const char *DefaultServerAddress = "wvt-server.orvel-bridge.invalid";
    static constexpr uint16_t DefaultServerPort = 52666;

    OptionsManager();
    ~OptionsManager() override;

    OptionsManager(const OptionsManager &) = delete;
    OptionsManager &operator=(const OptionsManager &) = delete;

    // Parses the command line and the ini file; throws the option library's
    // error for a malformed value and Exception when the log file cannot be
    // opened, or when "server-tls" is true and the build has no TLS or the
    // certificates of "server-tls-ca" (or the system's) cannot be read.
    void parse(int argc, const char *const argv[]);

    // The declared options (front ends may add their own before parse and
    // print it as the help text) and the parsed values.
    boost::program_options::options_description &description() { return description_; }
    const boost::program_options::variables_map &variables() const { return variables_; }

    const std::optional<bool> &discoveryResponder() const { return discoveryResponder_; }
    const std::optional<bool> &gateway() const { return gateway_; }
    const std::optional<uint16_t> &gatewayPort() const { return gatewayPort_; }
    const std::optional<bool> &slave() const { return slave_; }
    const std::optional<bool> &printerTunnel() const { return printerTunnel_; }
    const std::optional<uint16_t> &printerTunnelPort() const { return printerTunnelPort_; }
    bool quiet() const { return quiet_; }
    const std::string &serverAddress() const { return serverAddress_; }
    uint16_t serverPort() const { return serverPort_; }
    const std::vector<uint32_t> &staticPrinters() const { return staticPrinters_; }
    bool serverTls() const { return serverTls_; }
    const std::string &serverTlsCa() const { return serverTlsCa_; }
    // "server-tls-name", else "server-address".
    const std::string &serverTlsName() const;
    // The TLS client of every connection to the server when "server-tls" is
    // true, else empty.
    const std::shared_ptr<const TlsClient> &tlsClient() const { return tlsClient_; }

    // Turns the "static-printers" text into addresses, in order, duplicates
    // kept. A piece that is not four dotted numbers from 0 to 255 (or is the
    // unusable 0.0.0.0) is logged as a warning and left out.
    static std::vector<uint32_t> parseStaticPrinters(const std::string &text);

private:
    bool openLogFile(const std::string &path);
    void onLogMessage(const std::shared_ptr<const LogMessage> &message);

    std::optional<bool> discoveryResponder_;
    std::optional<bool> gateway_;
    std::optional<uint16_t> gatewayPort_;
    std::optional<bool> slave_;
    std::optional<bool> printerTunnel_;
    std::optional<uint16_t> printerTunnelPort_;
    bool quiet_ = true;
    std::string serverAddress_ = DefaultServerAddress;
    uint16_t serverPort_ = DefaultServerPort;
    std::vector<uint32_t> staticPrinters_;
    bool serverTls_ = false;
    std::string serverTlsCa_;
    std::string serverTlsName_;
    std::shared_ptr<const TlsClient> tlsClient_;
    boost::program_options::options_description description_;
    boost::program_options::variables_map variables_;

    std::mutex logFileMutex_;                  // guards the two members below
    boost::signals2::connection logSink_;      // connected while the file is open
    std::unique_ptr<std::ofstream> logFile_;
};
