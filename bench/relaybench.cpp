#include "relaybench.h"

#include "cpuaccount.h"
#include "directroute.h"
#include "reporttable.h"
#include "socatrelay.h"
#include "tunnelrelay.h"
#include "workloads.h"

#include <cstdio>
#include <unistd.h>

namespace {

constexpr size_t GoalLabelWidth = 42;

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

std::string ratioCell(const Measurement &tunnel, const Measurement &other, double tunnelValue, double otherValue)
{
    return comparable(tunnel, other) && otherValue > 0 ? number(ratio(tunnelValue, otherValue), 2) : "-";
}

std::string intactCell(const Measurement &measurement)
{
    if (!measurement.ran)
        return "skipped";
    if (measurement.setupFailed)
        return "set-up failed";
    return std::to_string(measurement.intactConnections) + "/" + std::to_string(measurement.connections) +
           (measurement.damaged ? " DAMAGED" : " intact");
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

} // namespace

RelayBench::RelayBench(const BenchOptions &options, const std::string &socatProgram, std::vector<std::string> notes)
    : options_(options), socatProgram_(socatProgram), notes_(std::move(notes)), names_{"direct", "Tunnel", "socat"}
{
    if (options_.runsRelay("direct"))
        relays_[DirectColumn] = std::make_unique<DirectRoute>();
    if (options_.runsRelay("tunnel"))
        relays_[TunnelColumn] = std::make_unique<TunnelRelay>();
    if (options_.runsRelay("socat") && !socatProgram_.empty())
        relays_[SocatColumn] = std::make_unique<SocatRelay>(socatProgram_);
}

RelayBench::~RelayBench() = default;

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
            const Measurement measurement = workload(*relays_[column]);
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
    out << "relay-bench: direct TCP, the project's Tunnel and socat on 127.0.0.1"
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

    bool failed = false;
    for (const Results *results : {&oneWay_, &bothWays_, &roundTrips_, &concurrent_})
        for (const Measurement &measurement : *results)
            failed = failed || measurement.setupFailed || measurement.damaged;
    out << "\nResult: " << (failed ? "FAILED (data damaged or a set-up failed, see above)" : "all data intact")
        << std::endl;
    return failed ? 1 : 0;
}

void RelayBench::printTable(std::ostream &out) const
{
    ReportTable table({"figure", "direct", "Tunnel", "socat", "Tunnel/socat", "Tunnel/direct"});
    auto addFigure = [&](const std::string &label, const Results &results, const Figure &figure, int decimals) {
        table.addRow({label, cell(results[DirectColumn], figure(results[DirectColumn]), decimals),
                      cell(results[TunnelColumn], figure(results[TunnelColumn]), decimals),
                      cell(results[SocatColumn], figure(results[SocatColumn]), decimals),
                      ratioCell(results[TunnelColumn], results[SocatColumn], figure(results[TunnelColumn]),
                                figure(results[SocatColumn])),
                      ratioCell(results[TunnelColumn], results[DirectColumn], figure(results[TunnelColumn]),
                                figure(results[DirectColumn]))});
    };
    const std::string connections = std::to_string(options_.connections);
    addFigure("one way " + sizeText(options_.oneWayBytes) + ", MB/s", oneWay_, throughputOf, 1);
    addFigure("both ways " + sizeText(options_.bothWaysBytes) + " each, MB/s (sum)", bothWays_, throughputOf, 1);
    addFigure("round trip 1 byte, median us (*)", roundTrips_, medianOf, 1);
    addFigure("round trip 1 byte, p99 us (*)", roundTrips_, p99Of, 1);
    addFigure(connections + " x " + sizeText(options_.bytesPerConnection) + " at once, MB/s (total)", concurrent_,
              throughputOf, 1);
    table.addRow({connections + " at once, connections intact", intactCell(concurrent_[DirectColumn]),
                  intactCell(concurrent_[TunnelColumn]), intactCell(concurrent_[SocatColumn]), "", ""});
    table.print(out);
    out << "Ratios are Tunnel divided by the other column. Throughput: > 1 means the Tunnel is faster.\n"
           "(*) Round trips: > 1 means the Tunnel is slower.\n";
}

void RelayBench::printGoals(std::ostream &out) const
{
    out << "Goals (Tunnel against socat):\n";
    if (socatProgram_.empty()) {
        out << "  throughput and round-trip goals not evaluated: socat not found\n";
    } else {
        auto goal = [&](const std::string &label, const Results &results, const Figure &figure, bool higherIsBetter) {
            const Measurement &tunnel = results[TunnelColumn];
            const Measurement &socat = results[SocatColumn];
            out << "  " << label << ':' << std::string(label.size() < GoalLabelWidth ? GoalLabelWidth - label.size() : 1, ' ');
            if (!comparable(tunnel, socat) || figure(socat) <= 0) {
                out << "not evaluated (" << (tunnel.ran && socat.ran ? "a measurement failed" : "not measured")
                    << ")\n";
                return;
            }
            const double value = ratio(figure(tunnel), figure(socat));
            const bool met = higherIsBetter ? value >= 1.0 : value <= 1.0;
            out << "Tunnel/socat " << number(value, 2) << (met ? "  met" : "  MISSED") << '\n';
        };
        goal("throughput >= socat, one way", oneWay_, throughputOf, true);
        goal("throughput >= socat, both ways", bothWays_, throughputOf, true);
        goal("throughput >= socat, " + std::to_string(options_.connections) + " at once", concurrent_, throughputOf,
             true);
        goal("round trip no slower than socat, median", roundTrips_, medianOf, false);
        goal("round trip no slower than socat, p99", roundTrips_, p99Of, false);
    }
    const Measurement &tunnel = concurrent_[TunnelColumn];
    const std::string label = std::to_string(options_.connections) + " concurrent tunnels intact";
    out << "  " << label << ':' << std::string(GoalLabelWidth - label.size(), ' ') << intactCell(tunnel);
    if (tunnel.ran)
        out << (tunnel.succeeded() ? "  met" : "  MISSED");
    out << '\n';
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
        << "  - Timing starts once each connection stands end to end (the sink has answered a ready\n"
           "    byte); set-up, socat start-up and fork for the connections at once are not timed.\n"
        << "  - Clients and sinks use TCP_NODELAY only for the round trips; the relays' own sockets keep\n"
           "    their defaults. Clients send up to 65521 bytes per call and read up to 64 KiB per call.\n"
        << "  - The Tunnel waits with poll(), so descriptor numbers above 1024 are fine.\n"
        << "  - " << cpuSummary_ << '\n';
    for (const std::string &note : notes_)
        out << "  - " << note << '\n';
}
