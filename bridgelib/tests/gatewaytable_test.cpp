// The table of known gateways: one entry per address, a bound that a flood
// of announcements cannot push proven gateways out of, and the order in
// which routes try them, with a pause after a failure on an injected clock.

#include "gatewaytable.h"

#include <chrono>
#include <gtest/gtest.h>

using std::chrono::seconds;

namespace {

constexpr uint32_t Lan = 0x0A000000u;  // 10.0.0.0

gateway_info_t gateway(uint32_t host, uint16_t port = 9000)
{
    return {"guid-" + std::to_string(host), Lan + host, port};
}

std::vector<uint32_t> hosts(const std::vector<gateway_info_t> &gateways)
{
    std::vector<uint32_t> result;
    for (const gateway_info_t &info : gateways)
        result.push_back(info.address - Lan);
    return result;
}

struct ClockedTable {
    Timeout::TimePoint now = Timeout::TimePoint() + std::chrono::hours(1000);
    GatewayTable table{[this] { return now; }};

    GatewayTable::Added add(uint32_t host, uint16_t port = 9000)
    {
        std::vector<gateway_info_t> dropped;
        return table.add(gateway(host, port), dropped);
    }
    void candidates(std::vector<uint32_t> &answered, std::vector<uint32_t> &untried)
    {
        std::vector<gateway_info_t> first;
        std::vector<gateway_info_t> others;
        table.candidates(first, others);
        answered = hosts(first);
        untried = hosts(others);
    }
};

} // namespace

TEST(GatewayTable, OneEntryPerAddressWhoseNewestAnnouncementGivesThePort)
{
    ClockedTable bed;
    EXPECT_EQ(bed.add(1, 9000), GatewayTable::Added::New);
    EXPECT_EQ(bed.add(1, 9000), GatewayTable::Added::Known);
    EXPECT_EQ(bed.add(2, 9000), GatewayTable::Added::New);
    EXPECT_EQ(bed.add(1, 9100), GatewayTable::Added::Moved);
    const std::deque<gateway_info_t> list = bed.table.list();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].address, Lan + 1);
    EXPECT_EQ(list[0].port, 9100);
    EXPECT_EQ(list[1].address, Lan + 2);
    EXPECT_FALSE(bed.table.remove(Lan + 1, 9000)) << "the old port is gone";
    EXPECT_TRUE(bed.table.remove(Lan + 1, 9100));
    EXPECT_EQ(bed.table.size(), 1u);
}

TEST(GatewayTable, AnsweredGatewaysComeFirstAndAFailedOneWaitsOutItsPause)
{
    ClockedTable bed;
    for (uint32_t host = 1; host <= 4; ++host)
        bed.add(host);
    bed.table.markAnswered(Lan + 3, 9000);
    std::vector<uint32_t> answered;
    std::vector<uint32_t> untried;
    bed.candidates(answered, untried);
    EXPECT_EQ(answered, std::vector<uint32_t>{3});
    EXPECT_EQ(untried, (std::vector<uint32_t>{1, 2, 4}));

    ASSERT_TRUE(bed.table.markFailed(Lan + 1, 9000));
    EXPECT_FALSE(bed.table.markFailed(Lan + 9, 9000));
    bed.candidates(answered, untried);
    EXPECT_EQ(untried, (std::vector<uint32_t>{2, 4})) << "not tried during its pause";
    const std::deque<gateway_info_t> list = bed.table.list();
    EXPECT_EQ(hosts({list.begin(), list.end()}), (std::vector<uint32_t>{2, 3, 4, 1})) << "moved behind the others";

    // Announcing itself again, on its port or another, does not end the pause.
    EXPECT_EQ(bed.add(1, 9000), GatewayTable::Added::Known);
    EXPECT_EQ(bed.add(1, 9001), GatewayTable::Added::Moved);
    bed.now += seconds(GatewayTable::RetryPauseSeconds);
    bed.candidates(answered, untried);
    EXPECT_EQ(untried, (std::vector<uint32_t>{2, 4})) << "the pause has just run out, not yet over";

    bed.now += seconds(1);
    bed.candidates(answered, untried);
    EXPECT_EQ(untried, (std::vector<uint32_t>{2, 4, 1})) << "tried again after its pause, behind the others";

    // A gateway that answered and then failed waits too, and answering again
    // brings it back at once.
    ASSERT_TRUE(bed.table.markFailed(Lan + 3, 9000));
    bed.candidates(answered, untried);
    EXPECT_TRUE(answered.empty());
    bed.table.markAnswered(Lan + 3, 9000);
    bed.candidates(answered, untried);
    EXPECT_EQ(answered, std::vector<uint32_t>{3});
}

TEST(GatewayTable, AFullTableForgetsFailedThenUnprovenEntriesButNeverAnsweredOnes)
{
    ClockedTable bed;
    for (uint32_t host = 1; host <= GatewayTable::Capacity; ++host)
        ASSERT_EQ(bed.add(host), GatewayTable::Added::New);
    bed.table.markAnswered(Lan + 1, 9000);
    bed.table.markAnswered(Lan + 2, 9000);
    bed.table.markFailed(Lan + 5, 9000);

    std::vector<gateway_info_t> dropped;
    EXPECT_EQ(bed.table.add(gateway(100), dropped), GatewayTable::Added::New);
    ASSERT_EQ(dropped.size(), 1u);
    EXPECT_EQ(dropped[0].address, Lan + 5) << "a failed entry goes first";

    dropped.clear();
    EXPECT_EQ(bed.table.add(gateway(101), dropped), GatewayTable::Added::New);
    ASSERT_EQ(dropped.size(), 1u);
    EXPECT_EQ(dropped[0].address, Lan + 3) << "then the oldest that never answered";
    EXPECT_EQ(bed.table.size(), GatewayTable::Capacity);

    // A flood pushes out only unproven entries, however long it lasts.
    for (uint32_t host = 200; host < 260; ++host)
        bed.add(host);
    EXPECT_EQ(bed.table.size(), GatewayTable::Capacity);
    std::vector<uint32_t> answered;
    std::vector<uint32_t> untried;
    bed.candidates(answered, untried);
    EXPECT_EQ(answered, (std::vector<uint32_t>{1, 2}));

    // With every entry proven, a newcomer finds no room.
    ClockedTable proven;
    for (uint32_t host = 1; host <= GatewayTable::Capacity; ++host) {
        proven.add(host);
        proven.table.markAnswered(Lan + host, 9000);
    }
    dropped.clear();
    EXPECT_EQ(proven.table.add(gateway(100), dropped), GatewayTable::Added::Full);
    EXPECT_TRUE(dropped.empty());
    EXPECT_EQ(proven.table.size(), GatewayTable::Capacity);
}
