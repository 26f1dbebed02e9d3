#pragma once

#include "benchoptions.h"
#include "measurement.h"
#include "relay.h"

#include <array>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

// Runs every workload on the direct route, the Tunnel, the bridge's gateway
// and socat (when present), one after the other, and prints the figures,
// their ratios, the goals and the notes. After each measurement it checks
// that the path left no thread of its own running.
class RelayBench {
public:
    // `socatProgram` empty: socat is missing and its column is skipped.
    // `notes` are printed with the benchmark's own notes.
    RelayBench(const BenchOptions &options, const std::string &socatProgram, std::vector<std::string> notes);
    ~RelayBench();

    // The exit status: 0, or 1 when data was damaged or a set-up failed.
    int run(std::ostream &out);

private:
    enum Column { DirectColumn, TunnelColumn, GatewayColumn, SocatColumn, TlsTunnelColumn, ColumnCount };
    using Results = std::array<Measurement, ColumnCount>;
    using Workload = std::function<Measurement(Relay &)>;
    using Figure = std::function<double(const Measurement &)>;
    using Brief = std::function<std::string(const Measurement &)>;

    // Runs the workload on every path, round after round (the paths take
    // turns within a round), and prints each round's figures.
    Results measure(std::ostream &out, const std::string &key, const std::string &title, const Workload &workload,
                    const Brief &brief);
    // One run of the workload on one path, then the check for threads the
    // path left running.
    static Measurement measureOnce(const Workload &workload, Relay &relay);
    void printTable(std::ostream &out) const;
    void printGoals(std::ostream &out) const;
    void printTlsFigures(std::ostream &out) const;
    void printProblems(std::ostream &out) const;
    void printNotes(std::ostream &out) const;

    const BenchOptions options_;
    const std::string socatProgram_;
    const std::vector<std::string> notes_;
    std::array<std::unique_ptr<Relay>, ColumnCount> relays_;  // empty: the path is not measured
    std::array<std::string, ColumnCount> names_;

    std::string cpuSummary_;  // what other processes took during the measurements
    Results oneWay_;
    Results bothWays_;
    Results roundTrips_;
    Results concurrent_;
};
