#pragma once

#include "benchoptions.h"
#include "measurement.h"
#include "relay.h"

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

// Runs every workload on the direct route, the Tunnel, the bridge's gateway
// and socat (when present), round after round with the paths taking turns,
// and prints the figures, their ratios (median and spread over the rounds,
// each round's paths against each other), the goals and the notes. After
// each measurement it checks that the path left no thread of its own running.
//
// A path is one entry of paths_ (a key for --relay, a column title, a Relay)
// and the ratios compared are the entries of ratios_: a new kind of relay is
// one more entry in each, made in the constructor.
//
// Used from the main thread only.
class RelayBench {
public:
    // `socatProgram` empty: socat is missing and its column is skipped.
    // `notes` are printed with the benchmark's own notes.
    RelayBench(const BenchOptions &options, const std::string &socatProgram, std::vector<std::string> notes);
    ~RelayBench();

    // The exit status: 0, or 1 when data was damaged or a set-up failed.
    int run(std::ostream &out);

private:
    struct Path {
        std::string key;        // the --relay name
        std::string name;       // the column title
        std::string intactGoal; // "concurrent tunnels": its connections at once must stay intact; empty: no goal
        std::unique_ptr<Relay> relay;  // empty: the path is not measured
    };
    // numerator's figure / denominator's figure, indexes into paths_.
    struct Ratio {
        size_t numerator;
        size_t denominator;
    };
    // One workload's measurements: for each path, every round's, and the
    // rounds combined (each figure the median over the rounds).
    struct Results {
        std::vector<std::vector<Measurement>> rounds;
        std::vector<Measurement> combined;
    };
    // A ratio taken round by round: its median and spread over the rounds in
    // which both paths succeeded (`count` of them).
    struct Spread {
        size_t count = 0;
        double median = 0;
        double min = 0;
        double max = 0;
    };
    using Workload = std::function<Measurement(Relay &)>;
    // A figure of a measurement; `direct` is the direct path's in the same
    // round (or combined), which the relay's own CPU share is taken against.
    using Figure = std::function<double(const Measurement &measurement, const Measurement &direct)>;
    using Brief = std::function<std::string(const Measurement &)>;

    size_t pathIndex(const std::string &key) const;
    void addPath(const std::string &key, const std::string &name, const std::string &intactGoal,
                 std::unique_ptr<Relay> relay);
    // Runs the workload on every path, round after round (the paths take
    // turns within a round, each round starting one path later), and prints
    // each round's figures.
    Results measure(std::ostream &out, const std::string &key, const std::string &title, const Workload &workload,
                    const Brief &brief);
    // One run of the workload on one path, then the check for threads the
    // path left running.
    static Measurement measureOnce(const Workload &workload, Relay &relay);
    Spread spreadOf(const Results &results, const Ratio &ratio, const Figure &figure) const;
    void printTable(std::ostream &out) const;
    // Returns the number of goals whose rounds fall on both sides of the target.
    int printGoals(std::ostream &out) const;
    void printProblems(std::ostream &out) const;
    void printNotes(std::ostream &out) const;

    const BenchOptions options_;
    const std::string socatProgram_;
    const std::vector<std::string> notes_;
    std::vector<Path> paths_;
    std::vector<Ratio> ratios_;
    size_t direct_ = 0;  // paths_ indexes of the paths the goals compare
    size_t tunnel_ = 0;
    size_t socat_ = 0;

    std::string cpuSummary_;  // what other processes took during the measurements
    Results oneWay_;
    Results bothWays_;
    Results roundTrips_;
    Results concurrent_;
};
