#include "loopback.h"
#include "sinkresults.h"
#include "transfer.h"
#include "workloads.h"

namespace Workloads {

Measurement oneWay(Relay &relay, uint64_t bytes)
{
    Measurement result;
    const Pattern pattern(0x1001);
    SinkResults sinkResults(1);

    SinkServer sink([&](UniqueFd connection) {
        std::string problem;
        uint32_t index = 0;
        if (!Transfer::acceptSession(connection.get(), index, false, problem) || !sinkResults.claim(index)) {
            sinkResults.recordStray(problem.empty() ? "unexpected connection index" : problem);
            return;
        }
        bool intact = Transfer::receivePattern(connection.get(), pattern, bytes, problem);
        Loopback::sendAll(connection.get(), intact ? &Transfer::IntactByte : &Transfer::DamagedByte, 1);
        if (intact)
            intact = Transfer::receiveEnd(connection.get(), problem);
        sinkResults.record(index, intact, problem);
    });
    if (!startPath(sink, relay, 1, result))
        return result;

    unsigned char verdict = 0;
    bool sent = false;
    {
        std::string problem;
        UniqueFd client = Transfer::openSession(relay.port(), 0, false, problem);
        if (!client.isOpen()) {
            result.setupFailed = true;
            result.problem = problem;
        } else {
            const Clock::time_point begin = Clock::now();
            sent = Transfer::sendPattern(client.get(), pattern, bytes);
            Loopback::receiveExact(client.get(), &verdict, 1);
            result.seconds = secondsBetween(begin, Clock::now());
        }
    }  // the client closes here; the sink then sees the end of its stream
    stopPath(sink, relay);

    if (result.setupFailed)
        return result;
    const bool intact = sent && verdict == Transfer::IntactByte && sinkResults.intact(0) && !sinkResults.anyStray();
    result.intactConnections = intact ? 1 : 0;
    if (!intact) {
        result.damaged = true;
        result.problem = sinkResults.firstProblem();
        if (result.problem.empty())
            result.problem = sent ? "no verdict from the sink" : "the client could not send everything";
    }
    result.bytes = bytes;
    result.megabytesPerSecond = megabytesPerSecond(bytes, result.seconds);
    return result;
}

} // namespace Workloads
