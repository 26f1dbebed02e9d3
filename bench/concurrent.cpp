#include "loopback.h"
#include "sinkresults.h"
#include "transfer.h"
#include "workloads.h"

#include <future>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

namespace Workloads {

namespace {

uint64_t seedOf(uint32_t index)
{
    return 0x3000 + index;
}

} // namespace

Measurement concurrent(Relay &relay, int connections, uint64_t bytesEach)
{
    Measurement result;
    const auto count = static_cast<size_t>(connections);
    std::vector<std::unique_ptr<Pattern>> patterns;
    for (size_t index = 0; index < count; ++index)
        patterns.push_back(std::make_unique<Pattern>(seedOf(static_cast<uint32_t>(index))));
    SinkResults sinkResults(connections);

    SinkServer sink([&](UniqueFd connection) {
        std::string problem;
        uint32_t index = 0;
        if (!Transfer::acceptSession(connection.get(), index, false, problem) || !sinkResults.claim(index)) {
            sinkResults.recordStray(problem.empty() ? "a connection index arrived twice or out of range" : problem);
            return;
        }
        bool intact = Transfer::receivePattern(connection.get(), *patterns[index], bytesEach, problem);
        Loopback::sendAll(connection.get(), intact ? &Transfer::IntactByte : &Transfer::DamagedByte, 1);
        if (intact)
            intact = Transfer::receiveEnd(connection.get(), problem);
        sinkResults.record(index, intact, problem);
    });
    if (!startPath(sink, relay, connections, result))
        return result;

    // Every connection is set up end to end, one after the other, before the
    // clock starts (that part is timed on its own); then all send at once.
    std::vector<UniqueFd> clients(count);
    std::vector<char> clientIntact(count, 0);
    std::vector<std::string> clientProblems(count);
    const Clock::time_point setupBegin = Clock::now();
    for (size_t index = 0; index < count && !result.setupFailed; ++index) {
        clients[index] = Transfer::openSession(relay.port(), static_cast<uint32_t>(index), false, result.problem);
        result.setupFailed = !clients[index].isOpen();
    }
    if (count > 0)
        result.setupMicroseconds = secondsBetween(setupBegin, Clock::now()) * 1e6 / static_cast<double>(count);

    if (!result.setupFailed) {
        std::promise<void> gate;
        std::shared_future<void> opened = gate.get_future().share();
        std::vector<std::thread> senders;
        try {
            for (size_t index = 0; index < count; ++index) {
                senders.emplace_back([&, index, opened] {
                    opened.wait();
                    const int descriptor = clients[index].get();
                    unsigned char verdict = 0;
                    if (!Transfer::sendPattern(descriptor, *patterns[index], bytesEach))
                        clientProblems[index] = "the client could not send everything";
                    else if (!Loopback::receiveExact(descriptor, &verdict, 1))
                        clientProblems[index] = "no verdict from the sink";
                    else
                        clientIntact[index] = verdict == Transfer::IntactByte;
                });
            }
        } catch (const std::system_error &error) {
            result.setupFailed = true;
            result.problem = std::string("cannot start the client threads: ") + error.what();
            for (UniqueFd &client : clients)
                Loopback::wake(client.get());  // the started threads fail at once
        }
        const Clock::time_point begin = Clock::now();
        gate.set_value();
        for (std::thread &sender : senders)
            sender.join();
        result.seconds = secondsBetween(begin, Clock::now());
    }
    clients.clear();  // the clients close; the sink's streams end
    stopPath(sink, relay);

    if (result.setupFailed)
        return result;
    for (size_t index = 0; index < count; ++index) {
        if (clientIntact[index] && sinkResults.intact(static_cast<uint32_t>(index)))
            ++result.intactConnections;
        else if (result.problem.empty())
            result.problem = !sinkResults.firstProblem().empty()
                                 ? sinkResults.firstProblem()
                                 : "connection " + std::to_string(index) + ": " + clientProblems[index];
    }
    result.damaged = result.intactConnections != connections || sinkResults.anyStray();
    if (result.damaged && result.problem.empty())
        result.problem = sinkResults.firstProblem();
    result.bytes = bytesEach * count;
    result.megabytesPerSecond = megabytesPerSecond(result.bytes, result.seconds);
    return result;
}

} // namespace Workloads
