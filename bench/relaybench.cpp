#include "relaybench.h"

#include "bridgegateway.h"
#include "cpuaccount.h"
#include "directroute.h"
#include "gatewayrelay.h"
#include "reporttable.h"
#include "socatrelay.h"
#include "threadcensus.h"
#include "tlsrelay.h"
#include "tunnelrelay.h"
#include "workloads.h"

#include <algorithm>
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

std::string intactCell(const Measurement &measurement)
{
    if (!measurement.ran)
        return "skipped";
    if (measurement.setupFailed)
        return "set-up failed";
    return std::to_string(measurement.intactConnections) + "/" + std::to_string(measurement.connections) +
           (measurement.damaged ? " DAMAGED" : " intact") + (measurement.stopFailed ? ", threads left" : "");
}

double throughputOf(const Measurement &measurement, const Measurement &)
{
    return measurement.megabytesPerSecond;
}

double medianOf(const Measurement &measurement, const Measurement &)
{
    return measurement.medianMicroseconds;
}

double p99Of(const Measurement &measurement, const Measurement &)
{
    return measurement.p99Microseconds;
}

double setupOf(const Measurement &measurement, const Measurement &)
{
    return measurement.setupMicroseconds;
}

double cpuPerGiBOf(const Measurement &measurement, const Measurement &)
{
    return measurement.cpuSecondsPerGiB();
}

// The direct path's CPU is the clients' and sinks' own; what a relay path
// takes beyond it is the relay's.
double relayCpuPerGiBOf(const Measurement &measurement, const Measurement &direct)
{
    return measurement.cpuSecondsPerGiB() - direct.cpuSecondsPerGiB();
}

} // namespace


RelayBench::RelayBench(const BenchOptions &options, const std::string &socatProgram, std::vector<std::string> notes)
    : options_(options), socatProgram_(socatProgram), notes_(std::move(notes))
{
    addPath("direct", "direct", "", std::make_unique<DirectRoute>());
    addPath("tunnel", "Tunnel", "concurrent tunnels", std::make_unique<TunnelRelay>());
    addPath("gateway", "Gateway", "concurrent gateway relays", std::make_unique<GatewayRelay>());
    addPath("socat", "socat", "",
            socatProgram_.empty() ? nullptr : std::make_unique<SocatRelay>(socatProgram_));
    // One side TLS to an endpoint in this process: both ends of TLS are counted.
    addPath("tls-tunnel", "TLS Tunnel", "", std::make_unique<TlsTunnelRelay>());
    direct_ = pathIndex("direct");
    tunnel_ = pathIndex("tunnel");
    socat_ = pathIndex("socat");
    const size_t gateway = pathIndex("gateway");
    const size_t tlsTunnel = pathIndex("tls-tunnel");
    ratios_ = {{tunnel_, socat_}, {tunnel_, direct_}, {gateway, tunnel_}, {gateway, socat_}, {tlsTunnel, tunnel_}};
}

RelayBench::~RelayBench() = default;

size_t RelayBench::pathIndex(const std::string &key) const
{
    for (size_t index = 0; index < paths_.size(); ++index)
        if (paths_[index].key == key)
            return index;
    return paths_.size();
}

void RelayBench::addPath(const std::string &key, const std::string &name, const std::string &intactGoal,
                         std::unique_ptr<Relay> relay)
{
    paths_.push_back({key, name, intactGoal, options_.runsRelay(key) ? std::move(relay) : nullptr});
}

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
    results.rounds.resize(paths_.size());
    results.combined.resize(paths_.size());
    if (!options_.runsWorkload(key))
        return results;
    std::vector<size_t> measured;
    for (size_t path = 0; path < paths_.size(); ++path)
        if (paths_[path].relay)
            measured.push_back(path);
    for (int round = 1; round <= options_.rounds; ++round) {
        out << "  " << title;
        if (options_.rounds > 1)
            out << ", round " << round << '/' << options_.rounds;
        out << ':' << std::flush;
        const char *separator = " ";
        // Each round starts one path later, so that no path is always the
        // first (or the last) after a change of load.
        for (size_t turn = 0; turn < measured.size(); ++turn) {
            const size_t path = measured[(turn + static_cast<size_t>(round - 1)) % measured.size()];
            const Measurement measurement = measureOnce(workload, *paths_[path].relay);
            out << separator << paths_[path].name << ' '
                << (measurement.succeeded() ? brief(measurement) : cell(measurement, 0, 0)) << std::flush;
            separator = ", ";
            results.rounds[path].push_back(measurement);
        }
        out << '\n';
    }
    for (size_t path = 0; path < paths_.size(); ++path)
        results.combined[path] = combineRounds(results.rounds[path]);
    return results;
}

RelayBench::Spread RelayBench::spreadOf(const Results &results, const Ratio &ratio, const Figure &figure) const
{
    Spread spread;
    if (ratio.numerator >= paths_.size() || ratio.denominator >= paths_.size())
        return spread;
    const std::vector<Measurement> &numerators = results.rounds[ratio.numerator];
    const std::vector<Measurement> &denominators = results.rounds[ratio.denominator];
    const std::vector<Measurement> &directs = results.rounds[direct_];
    std::vector<double> values;
    for (size_t round = 0; round < numerators.size() && round < denominators.size(); ++round) {
        const Measurement &numerator = numerators[round];
        const Measurement &denominator = denominators[round];
        const Measurement direct = round < directs.size() ? directs[round] : Measurement();
        const double below = figure(denominator, direct);
        if (comparable(numerator, denominator) && below > 0)
            values.push_back(figure(numerator, direct) / below);
    }
    if (values.empty())
        return spread;
    spread.count = values.size();
    spread.min = *std::min_element(values.begin(), values.end());
    spread.max = *std::max_element(values.begin(), values.end());
    spread.median = medianOfValues(std::move(values));
    return spread;
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
        << "; the paths take turns within a round, each round starting one path later.\n"
           "Each ratio is taken round by round (a round's path against the same round's other path):\n"
           "its median, and its spread (min-max) over the rounds.\n\nMeasuring:\n";

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
        [=](Relay &relay) {
            const int limit = relay.connectionLimit();
            return Workloads::concurrent(relay, limit > 0 ? std::min(connections, limit) : connections, bytesEach);
        },
        throughput);

    cpuSummary_ = cpu.summary();
    out << '\n';
    printTable(out);
    out << '\n';
    const int unsettled = printGoals(out);
    printProblems(out);
    out << '\n';
    printNotes(out);

    bool failed = false;
    for (const Results *results : {&oneWay_, &bothWays_, &roundTrips_, &concurrent_})
        for (const Measurement &measurement : results->combined)
            failed = failed || measurement.setupFailed || measurement.damaged || measurement.stopFailed;
    out << "\nResult: "
        << (failed ? "FAILED (data damaged, a set-up failed or a path left threads running, see above)"
                   : "all data intact");
    if (unsettled > 0)
        out << "; " << unsettled << " goal(s) without a verdict: the spread over the rounds is too wide";
    out << std::endl;
    return failed ? 1 : 0;
}

void RelayBench::printTable(std::ostream &out) const
{
    std::vector<std::string> header{"figure"};
    for (const Path &path : paths_)
        header.push_back(path.name);
    for (const Ratio &ratio : ratios_)
        header.push_back(paths_[ratio.numerator].name + "/" + paths_[ratio.denominator].name);
    ReportTable table(header);
    auto addFigure = [&](const std::string &label, const Results &results, const Figure &figure, int decimals) {
        std::vector<std::string> row{label};
        const Measurement &direct = results.combined[direct_];
        for (const Measurement &measurement : results.combined)
            row.push_back(cell(measurement, figure(measurement, direct), decimals));
        for (const Ratio &ratio : ratios_) {
            const Spread spread = spreadOf(results, ratio, figure);
            if (!comparable(results.combined[ratio.numerator], results.combined[ratio.denominator]) ||
                spread.count == 0)
                row.push_back("-");
            else if (spread.count == 1)
                row.push_back(number(spread.median, 2));
            else
                row.push_back(number(spread.median, 2) + " (" + number(spread.min, 2) + "-" + number(spread.max, 2) +
                              ")");
        }
        table.addRow(row);
    };
    const std::string connections = std::to_string(options_.connections);
    addFigure("one way " + sizeText(options_.oneWayBytes) + ", MB/s", oneWay_, throughputOf, 1);
    addFigure("both ways " + sizeText(options_.bothWaysBytes) + " each, MB/s (sum)", bothWays_, throughputOf, 1);
    addFigure("round trip 1 byte, median us (*)", roundTrips_, medianOf, 1);
    addFigure("round trip 1 byte, p99 us (*)", roundTrips_, p99Of, 1);
    addFigure(connections + " x " + sizeText(options_.bytesPerConnection) + " at once, MB/s (total)", concurrent_,
              throughputOf, 1);
    addFigure("set-up of one connection, mean us (*)", concurrent_, setupOf, 1);
    addFigure("one way, CPU-s per GiB, whole path (*)", oneWay_, cpuPerGiBOf, 2);
    addFigure("one way, relay CPU-s per GiB (*)(**)", oneWay_, relayCpuPerGiBOf, 2);
    addFigure("both ways, CPU-s per GiB, whole path (*)", bothWays_, cpuPerGiBOf, 2);
    addFigure("both ways, relay CPU-s per GiB (*)(**)", bothWays_, relayCpuPerGiBOf, 2);
    std::vector<std::string> intact{connections + " at once, connections intact"};
    for (const Measurement &measurement : concurrent_.combined)
        intact.push_back(intactCell(measurement));
    intact.resize(header.size());
    table.addRow(intact);
    table.print(out);
    out << "A ratio A/B is A's figure divided by B's, round by round: the median over the rounds, and\n"
           "in brackets the lowest and the highest round. Throughput: > 1 means A is faster.\n"
           "(*) Times: > 1 means A is slower.\n"
           "(**) The path's CPU time (this process and socat) less the direct path's, which is the\n"
           "     clients' and sinks' own: what the relay itself spends per GiB it moves.\n";
}

int RelayBench::printGoals(std::ostream &out) const
{
    int unsettled = 0;
    out << "Goals (Tunnel against socat, the median of the rounds' ratios; spread min-max):\n";
    if (socatProgram_.empty()) {
        out << "  throughput and round-trip goals not evaluated: socat not found\n";
    } else {
        // `target`: the ratio Tunnel/socat must reach (throughput) or stay
        // within (times). The verdict means something only when the rounds
        // agree: when some rounds meet the target and others miss it, the
        // machine's noise is larger than the difference measured.
        auto goal = [&](const std::string &label, const Results &results, const Figure &figure, bool higherIsBetter,
                        double target) {
            const Measurement &tunnel = results.combined[tunnel_];
            const Measurement &socat = results.combined[socat_];
            out << "  " << label << ':' << std::string(label.size() < GoalLabelWidth ? GoalLabelWidth - label.size() : 1, ' ');
            const Spread spread = spreadOf(results, {tunnel_, socat_}, figure);
            if (!comparable(tunnel, socat) || spread.count == 0) {
                out << "not evaluated (" << (tunnel.ran && socat.ran ? "a measurement failed" : "not measured")
                    << ")\n";
                return;
            }
            auto meets = [&](double value) { return higherIsBetter ? value >= target : value <= target; };
            out << "Tunnel/socat " << number(spread.median, 2);
            if (spread.count > 1)
                out << " (" << number(spread.min, 2) << "-" << number(spread.max, 2) << ")";
            out << (meets(spread.median) ? "  met" : "  MISSED");
            if (meets(spread.min) != meets(spread.max)) {
                ++unsettled;
                out << ", NO VERDICT: the rounds fall on both sides of " << number(target, 1)
                    << " (too noisy; run again on a quieter machine)";
            }
            out << '\n';
        };
        goal("throughput >= 1.4 x socat, one way", oneWay_, throughputOf, true, 1.4);
        goal("throughput >= 1.6 x socat, both ways", bothWays_, throughputOf, true, 1.6);
        goal("throughput >= 1.2 x socat, " + std::to_string(options_.connections) + " at once", concurrent_,
             throughputOf, true, 1.2);
        goal("round trip no slower than socat, median", roundTrips_, medianOf, false, 1.0);
        goal("round trip no slower than socat, p99", roundTrips_, p99Of, false, 1.0);
    }
    for (size_t path = 0; path < paths_.size(); ++path) {
        if (paths_[path].intactGoal.empty())
            continue;
        const Measurement &measurement = concurrent_.combined[path];
        const int connections = measurement.ran ? measurement.connections : options_.connections;
        const std::string label = std::to_string(connections) + " " + paths_[path].intactGoal + " intact";
        out << "  " << label << ':'
            << std::string(label.size() < GoalLabelWidth ? GoalLabelWidth - label.size() : 1, ' ')
            << intactCell(measurement);
        if (measurement.ran)
            out << (measurement.succeeded() ? "  met" : "  MISSED");
        out << '\n';
    }
    return unsettled;
}

void RelayBench::printProblems(std::ostream &out) const
{
    bool any = false;
    auto report = [&](const std::string &workload, const Results &results) {
        for (size_t path = 0; path < paths_.size(); ++path) {
            const Measurement &measurement = results.combined[path];
            if (!measurement.ran || measurement.succeeded())
                continue;
            if (!any)
                out << "\nProblems:\n";
            any = true;
            out << "  " << paths_[path].name << ", " << workload << ": "
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
           "    It serves at most "
        << BridgeGateway::MaxConnections
        << " connections at once (it closes more at once): its connections at once are\n"
           "    that many when more are asked for, and its intact count says how many.\n"
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
