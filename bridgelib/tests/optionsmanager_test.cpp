#include "exception.h"
#include "logcapture.h"
#include "optionsmanager.h"
#include "tempdirectory.h"
#include "tlsclient.h"

#include <boost/filesystem.hpp>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

namespace {

// Runs each test inside a fresh temporary directory, where the default ini
// file and log file would be, and restores the log level afterwards.
class OptionsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        previous_ = boost::filesystem::current_path();
        boost::filesystem::current_path(temp_.path());
    }
    void TearDown() override
    {
        boost::filesystem::current_path(previous_);
        LogManager::instance().setLevel(Info);
    }

    void parse(OptionsManager &options, std::vector<const char *> arguments)
    {
        arguments.insert(arguments.begin(), "orvel-bridge-console");
        options.parse(static_cast<int>(arguments.size()), arguments.data());
    }

    void writeIni(const std::string &name, const std::string &content) { std::ofstream(temp_.file(name)) << content; }

    std::string readFile(const std::string &name)
    {
        std::ifstream in(temp_.file(name));
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    TempDirectory temp_;
    boost::filesystem::path previous_;
};

} // namespace

TEST_F(OptionsTest, DefaultsWithoutCommandLineOrIniFile)
{
    LogManager::instance().setLevel(0);
    OptionsManager options;
    parse(options, {});
    EXPECT_EQ(LogManager::instance().level(), Info);
    EXPECT_TRUE(options.quiet());
    EXPECT_EQ(options.serverPort(), 52666);
    EXPECT_EQ(options.serverAddress(), "wvt-server.orvel-bridge.invalid");
    EXPECT_TRUE(options.staticPrinters().empty());
    EXPECT_FALSE(options.gateway() || options.gatewayPort() || options.slave() || options.discoveryResponder() ||
                 options.printerTunnel() || options.printerTunnelPort());
    EXPECT_FALSE(boost::filesystem::exists(temp_.file("orvel-bridge.log")));
    EXPECT_EQ(options.variables().count("help"), 0u);
}

TEST_F(OptionsTest, GivenOptionsAreCopiedWithTheirValues)
{
    OptionsManager options;
    parse(options, {"--gateway", "false", "--gateway-port=8000", "--slave", "yes", "--discovery-responder", "1",
                    "--printer-tunnel", "true", "--printer-tunnel-port", "8081", "--quiet", "false",
                    "--server-address", "wvt.example.test", "--server-port", "1234", "--help"});
    ASSERT_TRUE(options.gateway());
    EXPECT_FALSE(*options.gateway());
    EXPECT_EQ(options.gatewayPort(), 8000);
    EXPECT_EQ(options.slave(), true);
    EXPECT_EQ(options.discoveryResponder(), true);
    EXPECT_EQ(options.printerTunnel(), true);
    EXPECT_EQ(options.printerTunnelPort(), 8081);
    EXPECT_FALSE(options.quiet());
    EXPECT_EQ(options.serverAddress(), "wvt.example.test");
    EXPECT_EQ(options.serverPort(), 1234);
    EXPECT_EQ(options.variables().count("help"), 1u);
}

TEST_F(OptionsTest, HelpTextListsTheOptionsInOrder)
{
    OptionsManager options;
    parse(options, {});
    std::ostringstream help;
    help << options.description();
    const std::string text = help.str();
    const char *names[] = {"--help", "--gateway ", "--gateway-port", "--slave", "--discovery-responder",
                           "--printer-tunnel ", "--printer-tunnel-port", "--quiet", "--server-address",
                           "--server-port", "--static-printers", "--config-file", "--log-level", "--log-file",
                           "--status"};
    size_t last = 0;
    for (const char *name : names) {
        const size_t at = text.find(name);
        ASSERT_NE(at, std::string::npos) << name;
        EXPECT_GE(at, last) << name << " out of order";
        last = at;
    }
    EXPECT_NE(text.find("LogLevel (0 min - 5 max)"), std::string::npos);
    EXPECT_NE(text.find("Log file (default 'orvel-bridge.log')"), std::string::npos);
}

TEST_F(OptionsTest, IniFileIsReadAndTheCommandLineWins)
{
    writeIni("orvel-bridge.ini", "server-port=4000\nserver-address=from-ini.test\nunknown-name=1\n"
                                 "static-printers=10.0.0.1\n");
    OptionsManager options;
    parse(options, {"--server-port", "5000", "--not-an-option", "7"});
    EXPECT_EQ(options.serverPort(), 5000);
    EXPECT_EQ(options.serverAddress(), "from-ini.test");
    EXPECT_EQ(options.staticPrinters(), std::vector<uint32_t>{0x0A000001u});
}

TEST_F(OptionsTest, ConfigFileOnTheCommandLineReplacesTheDefault)
{
    writeIni("orvel-bridge.ini", "server-port=4000\n");
    writeIni("other.ini", "server-port=4100\n");
    OptionsManager options;
    parse(options, {"--config-file", "other.ini"});
    EXPECT_EQ(options.serverPort(), 4100);

    OptionsManager missing;
    parse(missing, {"--config-file", "absent.ini"});
    EXPECT_EQ(missing.serverPort(), 52666) << "a missing ini file is not an error";
}

TEST_F(OptionsTest, LogFileWithoutValueUsesTheDefaultNameAndAppends)
{
    std::ofstream(temp_.file("orvel-bridge.log")) << "earlier run\n";
    {
        OptionsManager options;
        parse(options, {"--log-file"});
        ORVEL_LOG(Info, "written to the file");
        ORVEL_LOG(Debug, "below the level");
    }
    ORVEL_LOG(Info, "after the options are gone");
    const std::string text = readFile("orvel-bridge.log");
    EXPECT_EQ(text.find("earlier run\n"), 0u);
    EXPECT_NE(text.find(" [info] written to the file ["), std::string::npos);
    EXPECT_EQ(text.find("below the level"), std::string::npos);
    EXPECT_EQ(text.find("after the options are gone"), std::string::npos);
}

TEST_F(OptionsTest, LogFileInTheIniFileAndLogLevelZero)
{
    writeIni("orvel-bridge.ini", "log-file=named.log\nlog-level=0\n");
    OptionsManager options;
    parse(options, {});
    ORVEL_LOG(Debug, "debug reaches the file");
    EXPECT_NE(readFile("named.log").find("[debug] debug reaches the file"), std::string::npos);
}

TEST_F(OptionsTest, UnopenableLogFileRaisesWithItsPath)
{
    OptionsManager options;
    try {
        parse(options, {"--log-file", "no-such-folder/x.log"});
        FAIL() << "nothing was raised";
    } catch (const Exception &error) {
        EXPECT_STREQ(error.what(), "cannot open log file 'no-such-folder/x.log'");
    }
}

TEST_F(OptionsTest, OutOfRangeLogLevelBecomesInfo)
{
    for (const char *level : {"9", "-1"}) {
        LogManager::instance().setLevel(0);
        OptionsManager options;
        parse(options, {"--log-level", level});
        EXPECT_EQ(LogManager::instance().level(), Info) << level;
    }
    OptionsManager debug;
    parse(debug, {"--log-level", "0"});
    EXPECT_EQ(LogManager::instance().level(), Debug);
}

TEST_F(OptionsTest, MalformedValuesRaiseTheLibrarysError)
{
    const std::vector<std::vector<const char *>> cases = {
        {"--server-port", "abc"}, {"--server-port", "70000"}, {"--gateway", "maybe"}, {"--log-level", "x"}};
    for (const auto &arguments : cases) {
        OptionsManager options;
        EXPECT_THROW(parse(options, arguments), boost::program_options::error) << arguments[0] << " " << arguments[1];
    }
    writeIni("orvel-bridge.ini", "gateway-port=port\n");
    OptionsManager fromIni;
    EXPECT_THROW(parse(fromIni, {}), boost::program_options::error);
}

TEST(StaticPrinters, OrderAndDuplicatesAreKept)
{
    EXPECT_EQ(OptionsManager::parseStaticPrinters("192.168.1.20;10.0.0.1;192.168.1.20"),
              (std::vector<uint32_t>{0xC0A80114u, 0x0A000001u, 0xC0A80114u}));
    EXPECT_EQ(OptionsManager::parseStaticPrinters(" 10.0.0.1 ; 10.0.0.2"),
              (std::vector<uint32_t>{0x0A000001u, 0x0A000002u}));
    EXPECT_TRUE(OptionsManager::parseStaticPrinters("").empty());
}

TEST(StaticPrinters, PiecesThatAreNoAddressAreLeftOutWithAWarning)
{
    LogCapture capture;
    // 300.1.1.1 must not wrap to 44.1.1.1, and an empty piece must not become
    // 0.0.0.0, which on Linux reaches the local host.
    EXPECT_EQ(OptionsManager::parseStaticPrinters("300.1.1.1;10.0.0.1;"), std::vector<uint32_t>{0x0A000001u});
    EXPECT_TRUE(capture.contains("'300.1.1.1'"));
    EXPECT_TRUE(capture.contains("''"));
    for (const char *bad : {"10.0.0", "10.0.0.1.5", "a.b.c.d", "10.0.0.-1", "0.0.0.0", "10.0.0.1x", "1..2.3"}) {
        capture.clear();
        EXPECT_TRUE(OptionsManager::parseStaticPrinters(bad).empty()) << bad;
        ASSERT_EQ(capture.messages().size(), 1u) << bad;
        EXPECT_EQ(capture.messages()[0]->level, Warning);
        EXPECT_TRUE(capture.contains(std::string("'") + bad + "'"));
    }
}

TEST_F(OptionsTest, ServerTlsOptions)
{
    {
        OptionsManager options;
        parse(options, {"--server-address", "wvt.example.test"});
        EXPECT_FALSE(options.serverTls());
        EXPECT_FALSE(options.tlsClient()) << "no TLS unless asked for";
        EXPECT_EQ(options.serverTlsName(), "wvt.example.test") << "the name defaults to the server's address";
    }
    {
        // The ini file gives the name; the system's store is used without a CA file.
        writeIni("orvel-bridge.ini", "server-tls-name = tls.example.test\n");
        OptionsManager options;
        parse(options, {"--server-address", "10.0.0.2", "--server-tls", "false"});
        EXPECT_EQ(options.serverTlsName(), "tls.example.test");
        EXPECT_FALSE(options.tlsClient());
    }
    {
        // A CA file that cannot be read, or a build without TLS, stops the start.
        OptionsManager options;
        EXPECT_THROW(parse(options, {"--server-tls", "true", "--server-tls-ca", "missing-ca.pem"}), Exception);
    }
    {
        OptionsManager options;
        if (TlsClient::available()) {
            parse(options, {"--server-tls", "true"});
            EXPECT_TRUE(options.serverTls());
            EXPECT_TRUE(options.tlsClient());
        } else {
            EXPECT_THROW(parse(options, {"--server-tls", "true"}), Exception);
        }
    }
    {
        // "help" does not need TLS to work.
        OptionsManager options;
        parse(options, {"--server-tls", "true", "--server-tls-ca", "missing-ca.pem", "--help"});
        EXPECT_FALSE(options.tlsClient());
    }
}
