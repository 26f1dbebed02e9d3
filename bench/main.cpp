#include "benchoptions.h"
#include "logmanager.h"
#include "platformposix.h"
#include "relaybench.h"
#include "socatrelay.h"
#include "watchdog.h"

#include <exception>
#include <iostream>
#include <sys/resource.h>

namespace {

// Raises the open-file limit to the hard limit; the note says what it did.
std::string raiseOpenFileLimit(const BenchOptions &options)
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return "the open-file limit could not be read";
    const rlim_t before = limit.rlim_cur;
    if (limit.rlim_cur != limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0)
            limit.rlim_cur = before;
    }
    auto text = [](rlim_t value) { return value == RLIM_INFINITY ? std::string("unlimited") : std::to_string(value); };
    std::string note = "Open-file limit raised to the hard limit: " + text(before) + " -> " + text(limit.rlim_cur) +
                       " (hard " + text(limit.rlim_max) + ")";
    // The Tunnel and Gateway columns hold eight descriptors per connection in
    // this process: the client's, the sink's, the relay's two sockets and its
    // two pipes.
    const rlim_t needed = static_cast<rlim_t>(options.connections) * 8 + 64;
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < needed)
        note += "; below the " + std::to_string(needed) + " the connections at once need";
    return note + ".";
}

} // namespace

int main(int argc, char **argv)
{
    BenchOptions options;
    std::string error;
    if (!options.parse(argc, argv, error)) {
        std::cerr << "relay-bench: " << error << '\n' << BenchOptions::usage(argv[0]);
        return 2;
    }
    if (options.help) {
        std::cout << BenchOptions::usage(argv[0]);
        return 0;
    }
    // The gateway's column runs a whole bridge service, which expects what
    // a front end sets up first.
    PlatformPosix::instance().initialize();
    LogManager::instance().initialize();
    try {
        std::vector<std::string> notes{raiseOpenFileLimit(options)};
        Watchdog watchdog(options.watchdogSeconds);
        RelayBench bench(options, SocatRelay::findProgram(), std::move(notes));
        return bench.run(std::cout);
    } catch (const std::exception &exception) {
        std::cerr << "relay-bench: " << exception.what() << '\n';
        return 1;
    }
}
