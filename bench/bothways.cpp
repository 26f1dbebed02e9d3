#include "loopback.h"
#include "sinkresults.h"
#include "transfer.h"
#include "workloads.h"

#include <atomic>
#include <thread>

namespace Workloads {

namespace {

// Runs `send` on a thread of its own while the calling thread runs `receive`;
// a failed receive shuts the socket down so that the sender cannot wait on.
template <typename Send, typename Receive>
bool sendWhileReceiving(int descriptor, Send send, Receive receive, bool &sent)
{
    std::atomic<bool> sendResult{false};
    std::thread sender([&] { sendResult = send(); });
    const bool received = receive();
    if (!received)
        Loopback::wake(descriptor);
    sender.join();
    sent = sendResult;
    return received;
}

} // namespace

Measurement bothWays(Relay &relay, uint64_t bytesEachWay)
{
    Measurement result;
    const Pattern up(0x2001);    // client to sink
    const Pattern down(0x2002);  // sink to client
    SinkResults sinkResults(1);

    SinkServer sink([&](UniqueFd connection) {
        const int descriptor = connection.get();
        std::string problem;
        uint32_t index = 0;
        if (!Transfer::acceptSession(descriptor, index, false, problem) || !sinkResults.claim(index)) {
            sinkResults.recordStray(problem.empty() ? "unexpected connection index" : problem);
            return;
        }
        bool sent = false;
        bool intact = sendWhileReceiving(
            descriptor, [&] { return Transfer::sendPattern(descriptor, down, bytesEachWay); },
            [&] { return Transfer::receivePattern(descriptor, up, bytesEachWay, problem); }, sent);
        if (intact && !sent) {
            intact = false;
            problem = "the sink could not send everything";
        }
        // The verdict follows the sink's own stream.
        Loopback::sendAll(descriptor, intact ? &Transfer::IntactByte : &Transfer::DamagedByte, 1);
        if (intact)
            intact = Transfer::receiveEnd(descriptor, problem);
        sinkResults.record(index, intact, problem);
    });
    if (!startPath(sink, relay, 1, result))
        return result;

    bool sent = false;
    bool received = false;
    unsigned char verdict = 0;
    std::string clientProblem;
    {
        UniqueFd client = Transfer::openSession(relay.port(), 0, false, clientProblem);
        if (!client.isOpen()) {
            result.setupFailed = true;
            result.problem = clientProblem;
        } else {
            const int descriptor = client.get();
            const Clock::time_point begin = Clock::now();
            received = sendWhileReceiving(
                descriptor, [&] { return Transfer::sendPattern(descriptor, up, bytesEachWay); },
                [&] {
                    return Transfer::receivePattern(descriptor, down, bytesEachWay, clientProblem) &&
                           Loopback::receiveExact(descriptor, &verdict, 1);
                },
                sent);
            result.seconds = secondsBetween(begin, Clock::now());
        }
    }
    stopPath(sink, relay);

    if (result.setupFailed)
        return result;
    const bool intact =
        sent && received && verdict == Transfer::IntactByte && sinkResults.intact(0) && !sinkResults.anyStray();
    result.intactConnections = intact ? 1 : 0;
    if (!intact) {
        result.damaged = true;
        if (!clientProblem.empty())
            result.problem = "towards the client: " + clientProblem;
        else if (!sinkResults.firstProblem().empty())
            result.problem = "towards the sink: " + sinkResults.firstProblem();
        else
            result.problem = sent ? "no verdict from the sink" : "the client could not send everything";
    }
    result.bytes = 2 * bytesEachWay;
    result.megabytesPerSecond = megabytesPerSecond(result.bytes, result.seconds);
    return result;
}

} // namespace Workloads
