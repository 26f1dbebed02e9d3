#pragma once

#include "bridgeservice.h"
#include "logmanager.h"
#include "tempdirectory.h"

#include <algorithm>
#include <boost/filesystem.hpp>
#include <cstdlib>
#include <string>
#include <vector>

// Test helper: a bridge service whose discovery sweep does nothing (tests
// must not broadcast on the machine's networks) and whose documents folder
// is a temporary directory of its own. Parses the given options before it is used.
// Unless a test gives them, the server is 127.0.0.1 port 1 (refused at once,
// no name lookup) and the discovery responder is off: it would take UDP
// port 9102. A test of the responder lets it follow the server test instead
// (on Linux every case runs in a private network namespace, where 9102 is
// free; elsewhere such a test checks first that it is).
class TestService : public BridgeService {
public:
    enum class Responder { Off, FollowsServer };

    explicit TestService(std::vector<const char *> arguments = {}, Responder responder = Responder::Off)
    {
        std::vector<std::pair<const char *, const char *>> defaults = {{"--server-address", "127.0.0.1"},
                                                                       {"--server-port", "1"}};
        if (responder == Responder::Off)
            defaults.emplace_back("--discovery-responder", "false");
        for (const auto &option : defaults) {
            if (std::find_if(arguments.begin(), arguments.end(),
                             [&](const char *given) { return std::string(given) == option.first; }) == arguments.end())
                arguments.insert(arguments.end(), {option.first, option.second});
        }
        arguments.insert(arguments.begin(), "test");
        // Parsing sets the log level; keep the one the test chose.
        const int level = LogManager::instance().level();
        options().parse(static_cast<int>(arguments.size()), arguments.data());
        LogManager::instance().setLevel(level);
    }
    ~TestService() override
    {
        stop();
        boost::filesystem::current_path(startDirectory_);
    }

    void runDiscovery() override {}
    std::string getDocumentsFolder() override { return documents_.path(); }

    std::string documents() const { return documents_.path(); }

private:
    boost::filesystem::path startDirectory_ = boost::filesystem::current_path();
    TempDirectory documents_;
};
