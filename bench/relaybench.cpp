#include "relaybench.h"

#include "cpuaccount.h"
#include "directroute.h"
#include "gatewayrelay.h"
#include "reporttable.h"
#include "socatrelay.h"
#include "threadcensus.h"
#include "tlsrelay.h"
#include "tunnelrelay.h"
#include "workloads.h"

#include <cstdio>
#include <unistd.h>

namespace {

constexpr size_t GoalLabelWidth = 42;
// How long a stopped path's threads may take to end before they count as left behind.
constexpr unsigned ThreadGraceMs = 2000;

std::string sizeText(uint64_t bytes)
{
    if (bytes >= (1ULL << 30) && bytes % (1ULL << 30) == 0)
        return std::to_string(bytes >> 30) + " GiB";
    if (bytes >= (1ULL << 20) && bytes % (1ULL << 20) == 0)
        return std::to_string(bytes >> 20) + " MiB";
    return std::to_string(bytes) + " bytes";
}

std::string number(double value, int decimals)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// A figure's cell: its value, or why there is none.
std::string cell(const Measurement &measurement, double value, int decimals)
{
    if (!measurement.ran)
        return "skipped";
    if (measurement.setupFailed)
        return "set-up failed";
    if (measurement.damaged)
        return "DAMAGED";
    if (measurement.stopFailed)
        return "threads left";
    return number(value, decimals);
}

bool comparable(const Measurement &a, const Measurement &b)
{
    return a.succeeded() && b.succeeded();
}

double ratio(double numerator, double denominator)
{
    return denominator > 0 ? numerator / denominator : 0;
}

std::string ratioCell(const Measurement &numerator, const Measurement &denominator, double numeratorValue,
                      double denominatorValue)
{
    return comparable(numerator, denominator) && denominatorValue > 0
               ? number(ratio(numeratorValue, denominatorValue), 2)
               : "-";
}

std::string intactCell(const Measurement &measurement)
{
    if (!measurement.ran)
        return "skipped";
    if (measurement.setupFailed)
        return "set-up failed";
    return std::to_string(measurement.intactConnections) + "/" + std::to_string(measurement.connections) +
           (measurement.damaged ? " DAMAGED" : " intact") + (measurement.stopFailed ? ", threads left" : "");
}

double throughputOf(const Measurement &measurement)
{
    return measurement.megabytesPerSecond;
}

double medianOf(const Measurement &measurement)
{
    return measurement.medianMicroseconds;
}

double p99Of(const Measurement &measurement)
{
    return measurement.p99Microseconds;
}

double setupOf(const Measurement &measurement)
{
    return measurement.setupMicroseconds;
}

double cpuPerGiBOf(const Measurement &measurement)
{
    return measurement.cpuSecondsPerGiB();
}

} // namespace

RelayBench::RelayBench(const BenchOptions &options, const std::string &socatProgram, std::vector<std::string> notes)
    : options_(options), socatProgram_(socatProgram), notes_(std::move(notes)),
      names_{"direct", "Tunnel", "Gateway", "socat", "TLS Tunnel"}
{
    if (options_.runsRelay("direct"))
        relays_[DirectColumn] = std::make_unique<DirectRoute>();
    if (options_.runsRelay("tunnel"))
        relays_[TunnelColumn] = std::make_unique<TunnelRelay>();
    if (options_.runsRelay("gateway"))
        relays_[GatewayColumn] = std::make_unique<GatewayRelay>();
    if (options_.runsRelay("socat") && !socatProgram_.empty())
        relays_[SocatColumn] = std::make_unique<SocatRelay>(socatProgram_);
    if (options_.runsRelay("tls-tunnel"))
        relays_[TlsTunnelColumn] = std::make_unique<TlsTunnelRelay>();
}

RelayBench::~RelayBench() = default;

Measurement RelayBench::measureOnce(const Workload &workload, Relay &relay)
{
    const std::set<pid_t> before = ThreadCensus::current();
    const double cpuBefore = CpuAccount::ownSeconds();
    Measurement measurement = workload(relay);
    const size_t left = ThreadCensus::leftSince(before, ThreadGraceMs);
    measurement.cpuSeconds = CpuAccount::ownSeconds() - cpuBefore;
    if (left > 0) {
        measurement.stopFailed = true;
        const std::string problem = std::to_string(left) + " thread(s) of the path still running " +
                                    std::to_string(ThreadGraceMs) + " ms after it stopped";
        measurement.problem = measurement.problem.empty() ? problem : measurement.problem + "; " + problem;
    }
    return measurement;
}

RelayBench::Results RelayBench::measure(std::ostream &out, const std::string &key, const std::string &title,
                                        const Workload &workload, const Brief &brief)
{
    Results results;
    if (!options_.runsWorkload(key))
        return results;
    std::array<std::vector<Measurement>, ColumnCount> rounds;
    for (int round = 1; round <= options_.rounds; ++round) {
        out << "  " << title;
        if (options_.rounds > 1)
            out << ", round " << round << '/' << options_.rounds;
        out << ':' << std::flush;
        const char *separator = " ";
        for (int column = 0; column < ColumnCount; ++column) {
            if (!relays_[column])
                continue;
            const Measurement measurement = measureOnce(workload, *relays_[column]);
            out << separator << names_[column] << ' '
                << (measurement.succeeded() ? brief(measurement) : cell(measurement, 0, 0)) << std::flush;
            separator = ", ";
            rounds[column].push_back(measurement);
        }
        out << '\n';
    }
    for (int column = 0; column < ColumnCount; ++column)
        results[column] = combineRounds(rounds[column]);
    return results;
}

int RelayBench::run(std::ostream &out)
{
    out << "relay-bench: direct TCP, the project's Tunnel, the bridge's gateway and socat on 127.0.0.1"
        << (options_.quick ? " (quick run)" : "") << "\n";
    if (socatProgram_.empty())
        out << "socat not found: its column is skipped\n";
    else
        out << "socat: " << socatProgram_ << "\n";
    const CpuAccount cpu;
    out << "Each figure is the median of " << options_.rounds << (options_.rounds == 1 ? " round" : " rounds")
        << "; the paths take turns within a round.\n\nMeasuring:\n";

    const uint64_t oneWayBytes = options_.oneWayBytes;
    const uint64_t bothWaysBytes = options_.bothWaysBytes;
    const int warmUps = options_.warmUps;
    const int roundTrips = options_.roundTrips;
    const int connections = options_.connections;
    const uint64_t bytesEach = options_.bytesPerConnection;
    const Brief throughput = [](const Measurement &m) { return number(m.megabytesPerSecond, 1) + " MB/s"; };
    const Brief latency = [](const Measurement &m) {
        return number(m.medianMicroseconds, 1) + "/" + number(m.p99Microseconds, 1) + " us";
    };

    oneWay_ = measure(
        out, "one-way", "one way, " + sizeText(oneWayBytes),
        [=](Relay &relay) { return Workloads::oneWay(relay, oneWayBytes); }, throughput);
    bothWays_ = measure(
        out, "both-ways", "both ways, " + sizeText(bothWaysBytes) + " each way",
        [=](Relay &relay) { return Workloads::bothWays(relay, bothWaysBytes); }, throughput);
    roundTrips_ = measure(
        out, "round-trips", std::to_string(roundTrips) + " round trips, median/p99",
        [=](Relay &relay) { return Workloads::roundTrips(relay, warmUps, roundTrips); }, latency);
    concurrent_ = measure(
        out, "at-once", std::to_string(connections) + " connections at once, " + sizeText(bytesEach) + " each",
        [=](Relay &relay) { return Workloads::concurrent(relay, connections, bytesEach); }, throughput);

    cpuSummary_ = cpu.summary();
    out << '\n';
    printTable(out);
    out << '\n';
    printGoals(out);
    printProblems(out);
    out << '\n';
    printNotes(out);
    printTlsFigures(out);

    bool failed = false;
    for (const Results *results : {&oneWay_, &bothWays_, &roundTrips_, &concurrent_})
        for (const Measurement &measurement : *results)
            failed = failed || measurement.setupFailed || measurement.damaged || measurement.stopFailed;
    out << "\nResult: "
        << (failed ? "FAILED (data damaged, a set-up failed or a path left threads running, see above)"
                   : "all data intact")
        << std::endl;
    return failed ? 1 : 0;
}

void RelayBench::printTable(std::ostream &out) const
{
    ReportTable table({"figure", "direct", "Tunnel", "Gateway", "socat", "Tunnel/socat", "Tunnel/direct",
                       "Gateway/Tunnel", "Gateway/socat"});
    auto addFigure = [&](const std::string &label, const Results &results, const Figure &figure, int decimals) {
        auto ratioOf = [&](Column numerator, Column denominator) {
            return ratioCell(results[numerator], results[denominator], figure(results[numerator]),
                             figure(results[denominator]));
        };
        table.addRow({label, cell(results[DirectColumn], figure(results[DirectColumn]), decimals),
                      cell(results[TunnelColumn], figure(results[TunnelColumn]), decimals),
                      cell(results[GatewayColumn], figure(results[GatewayColumn]), decimals),
                      cell(results[SocatColumn], figure(results[SocatColumn]), decimals),
                      ratioOf(TunnelColumn, SocatColumn), ratioOf(TunnelColumn, DirectColumn),
                      ratioOf(GatewayColumn, TunnelColumn), ratioOf(GatewayColumn, SocatColumn)});
    };
    const std::string connections = std::to_string(options_.connections);
    addFigure("one way " + sizeText(options_.oneWayBytes) + ", MB/s", oneWay_, throughputOf, 1);
    addFigure("both ways " + sizeText(options_.bothWaysBytes) + " each, MB/s (sum)", bothWays_, throughputOf, 1);
    addFigure("round trip 1 byte, median us (*)", roundTrips_, medianOf, 1);
    addFigure("round trip 1 byte, p99 us (*)", roundTrips_, p99Of, 1);
    addFigure(connections + " x " + sizeText(options_.bytesPerConnection) + " at once, MB/s (total)", concurrent_,
              throughputOf, 1);
    addFigure("set-up of one connection, mean us (*)", concurrent_, setupOf, 1);
    // The direct path's CPU is the clients' and sinks' own; what a relay
    // path takes beyond it is the relay's.
    auto relayCpu = [](const Results &results) -> Figure {
        const double own = results[DirectColumn].cpuSecondsPerGiB();
        return [own](const Measurement &measurement) { return measurement.cpuSecondsPerGiB() - own; };
    };
    addFigure("one way, CPU-s per GiB, whole path (*)", oneWay_, cpuPerGiBOf, 2);
    addFigure("one way, relay CPU-s per GiB (*)(**)", oneWay_, relayCpu(oneWay_), 2);
    addFigure("both ways, CPU-s per GiB, whole path (*)", bothWays_, cpuPerGiBOf, 2);
    addFigure("both ways, relay CPU-s per GiB (*)(**)", bothWays_, relayCpu(bothWays_), 2);
    table.addRow({connections + " at once, connections intact", intactCell(concurrent_[DirectColumn]),
                  intactCell(concurrent_[TunnelColumn]), intactCell(concurrent_[GatewayColumn]),
                  intactCell(concurrent_[SocatColumn]), "", "", "", ""});
    table.print(out);
    out << "A ratio A/B is A's figure divided by B's. Throughput: > 1 means A is faster.\n"
           "(*) Times: > 1 means A is slower.\n"
           "(**) The path's CPU time (this process and socat) less the direct path's, which is the\n"
           "     clients' and sinks' own: what the relay itself spends per GiB it moves.\n";
}

void RelayBench::printTlsFigures(std::ostream &out) const
{
    out << "\nTLS Tunnel (one side TLS, the TLS endpoint in this process: both ends of TLS counted) beside "
           "the plain Tunnel:\n";
    ReportTable table({"figure", "Tunnel", "TLS Tunnel", "TLS/Tunnel"});
    auto addFigure = [&](const std::string &label, const Results &results, const Figure &figure, int decimals) {
        table.addRow({label, cell(results[TunnelColumn], figure(results[TunnelColumn]), decimals),
                      cell(results[TlsTunnelColumn], figure(results[TlsTunnelColumn]), decimals),
                      ratioCell(results[TlsTunnelColumn], results[TunnelColumn], figure(results[TlsTunnelColumn]),
                                figure(results[TunnelColumn]))});
    };
    auto relayCpu = [](const Results &results) -> Figure {
        const double own = results[DirectColumn].cpuSecondsPerGiB();
        return [own](const Measurement &measurement) { return measurement.cpuSecondsPerGiB() - own; };
    };
    addFigure("one way, MB/s", oneWay_, throughputOf, 1);
    addFigure("both ways, MB/s (sum)", bothWays_, throughputOf, 1);
    addFigure("round trip 1 byte, median us", roundTrips_, medianOf, 1);
    addFigure("set-up of one connection, mean us", concurrent_, setupOf, 1);
    addFigure("one way, CPU-s per GiB, whole path", oneWay_, cpuPerGiBOf, 2);
    addFigure("one way, relay CPU-s per GiB", oneWay_, relayCpu(oneWay_), 2);
    addFigure("both ways, relay CPU-s per GiB", bothWays_, relayCpu(bothWays_), 2);
    table.print(out);
}

void RelayBench::printGoals(std::ostream &out) const
{
    out << "Goals (Tunnel against socat):\n";
    if (socatProgram_.empty()) {
        out << "  throughput and round-trip goals not evaluated: socat not found\n";
    } else {
        // `target`: the ratio Tunnel/socat must reach (throughput) or stay
        // within (times).
        auto goal = [&](const std::string &label, const Results &results, const Figure &figure, bool higherIsBetter,
                        double target) {
            const Measurement &tunnel = results[TunnelColumn];
            const Measurement &socat = results[SocatColumn];
            out << "  " << label << ':' << std::string(label.size() < GoalLabelWidth ? GoalLabelWidth - label.size() : 1, ' ');
            if (!comparable(tunnel, socat) || figure(socat) <= 0) {
                out << "not evaluated (" << (tunnel.ran && socat.ran ? "a measurement failed" : "not measured")
                    << ")\n";
                return;
            }
            const double value = ratio(figure(tunnel), figure(socat));
            const bool met = higherIsBetter ? value >= target : value <= target;
            out << "Tunnel/socat " << number(value, 2) << (met ? "  met" : "  MISSED") << '\n';
        };
        goal("throughput >= 1.4 x socat, one way", oneWay_, throughputOf, true, 1.4);
        goal("throughput >= 1.6 x socat, both ways", bothWays_, throughputOf, true, 1.6);
        goal("throughput >= 1.2 x socat, " + std::to_string(options_.connections) + " at once", concurrent_,
             throughputOf, true, 1.2);
        goal("round trip no slower than socat, median", roundTrips_, medianOf, false, 1.0);
        goal("round trip no slower than socat, p99", roundTrips_, p99Of, false, 1.0);
    }
    auto intactGoal = [&](const std::string &what, const Measurement &measurement) {
        const std::string label = std::to_string(options_.connections) + " " + what + " intact";
        out << "  " << label << ':'
            << std::string(label.size() < GoalLabelWidth ? GoalLabelWidth - label.size() : 1, ' ')
            << intactCell(measurement);
        if (measurement.ran)
            out << (measurement.succeeded() ? "  met" : "  MISSED");
        out << '\n';
    };
    intactGoal("concurrent tunnels", concurrent_[TunnelColumn]);
    intactGoal("concurrent gateway relays", concurrent_[GatewayColumn]);
}

void RelayBench::printProblems(std::ostream &out) const
{
    bool any = false;
    auto report = [&](const std::string &workload, const Results &results) {
        for (int column = 0; column < ColumnCount; ++column) {
            const Measurement &measurement = results[column];
            if (!measurement.ran || measurement.succeeded())
                continue;
            if (!any)
                out << "\nProblems:\n";
            any = true;
            out << "  " << names_[column] << ", " << workload << ": "
                << (measurement.problem.empty() ? "no detail" : measurement.problem) << '\n';
        }
    };
    report("one way", oneWay_);
    report("both ways", bothWays_);
    report("round trips", roundTrips_);
    report("connections at once", concurrent_);
}

void RelayBench::printNotes(std::ostream &out) const
{
    const long cores = ::sysconf(_SC_NPROCESSORS_ONLN);
    out << "Notes:\n"
        << "  - Loopback only (127.0.0.1). 1 MB = 10^6 bytes; 1 MiB = 2^20 bytes. Every byte of every figure is\n"
           "    checked against a per-connection pattern at the receiver.\n"
        << "  - This machine has " << cores
        << " core(s) online. The sender, the relay and the receiver (for socat, its\n"
           "    processes too) compete for them, so the relay columns measure the relay's cost plus that\n"
           "    contention; the direct column has no relay in the path and is the limit.\n"
        << "  - Paths: direct = client -> sink; Tunnel = client -> [accepted socket | Tunnel | connected\n"
           "    socket] -> sink, one Tunnel thread per connection (selectTimeout 3000); socat = a child\n"
           "    'socat TCP-LISTEN:<port>,reuseaddr,bind=127.0.0.1 TCP:127.0.0.1:<sink port>', a new one\n"
           "    for each single-connection figure and one with ',fork' for the connections at once.\n"
           "  - Gateway = client -> [BridgeGateway's listener (backlog 5) | accepted socket | Tunnel |\n"
           "    \"Server\" socket] -> sink, inside a running BridgeService (discovery off) whose server is\n"
           "    the sink; per connection the gateway tests the server, and that test connection is the\n"
           "    one relayed; two threads per connection (the connection's own, waiting, and the Tunnel's).\n"
           "    A new service for each figure; its start (first cycle, server test) is not timed.\n"
           "    The gateway listens on every interface; the benchmark only connects on 127.0.0.1.\n"
        << "  - Timing starts once each connection stands end to end (the sink has answered a ready\n"
           "    byte); set-up, socat start-up and fork for the connections at once are not timed. The\n"
           "    set-up figure is the connections at once being opened one after the other, each until\n"
           "    its ready byte, divided by their number (socat's includes its fork).\n"
           "    After each figure the path must have ended every thread it started (within "
        << ThreadGraceMs << " ms).\n"
        << "  - Clients and sinks use TCP_NODELAY only for the round trips. socat's sockets keep their\n"
           "    defaults; the Tunnel caps its endpoints' kernel send and receive buffers at "
        << Tunnel::SocketBufferBytes / 1024
        << " KiB each\n"
           "    (a stalled relay holds under 1 MiB). Clients send up to 65521 bytes per call and read up\n"
           "    to 64 KiB per call.\n"
        << "  - The Tunnel waits with poll(), so descriptor numbers above 1024 are fine. On Linux it moves\n"
           "    bytes with splice() through one 64-KiB pipe per direction (four descriptors per tunnel).\n"
        << "  - " << cpuSummary_ << '\n';
    for (const std::string &note : notes_)
        out << "  - " << note << '\n';
}
