// LAG member events: member slots and counters, the members' entries on their own cards.
#include "tests/support/task_test.h"

namespace {

using namespace ttest;

TEST(LagMember, MembersJoinAndLeaveOnTheirCards) {
    auto& s = tsim::boot(tsim::kChassis, true);
    const uint32_t ge06 = s.ifIndex("ge0/6"), te13 = s.ifIndex("te1/3"), ge30 = s.ifIndex("ge3/0");
    tsim::vlanAdd(s, "vl10", L2PT_FLAG_STP | L2PT_FLAG_GVRP, {access("lag1")}, 64);
    tsim::vlanAdd(s, "vl100", L2PT_FLAG_STP | L2PT_FLAG_LLDP, {core("lag1")});
    const L2ptLagEntry& lag = l2ptLagTable[1];
    const size_t n0 = applied(s, 0), n1 = applied(s, 1);

    // ge3/0's card is absent: it takes a slot, nothing is packed or counted for it.
    s.ifm().lagAdd({{s.ifIndex("lag1"), {ge06, te13, ge30}}});
    s.settle();
    EXPECT_EQ(words(lag.memberIfIndex), (Words{ge06, te13, ge30, 0}));
    const auto entries = [](uint32_t port) {
        return Entries{entry(port, kStpMac, 64, 3), entry(port, kGvrpMac, 64, 3),
                       entry(port, kTunnelMac, 0, 5)};
    };
    EXPECT_EQ(received(s, 0, n0), (Msgs{{kInstall, entries(ge06)}}));
    EXPECT_EQ(received(s, 1, n1), (Msgs{{kInstall, entries(te13)}}));
    EXPECT_EQ(words(lag.memberVlanCount[1]), (Words{1, 0, 0, 0}));
    EXPECT_EQ(words(lag.memberVlanCount[2]), (Words{0, 0, 0, 0}));

    // Leaving: removals with the slot's counters; the slot is free for the next member.
    s.ifm().lagDel({{s.ifIndex("lag1"), {te13}}});
    s.settle();
    EXPECT_EQ(received(s, 1, n1 + 1), (Msgs{{kRemove, entries(te13)}}));
    EXPECT_EQ(words(lag.memberVlanCount[1]), (Words{0, 0, 0, 0}));
    EXPECT_EQ(lag.memberCount, 2);
    s.ifm().lagAdd({{s.ifIndex("lag1"), {s.ifIndex("ge0/7")}}});
    s.settle();
    EXPECT_EQ(lag.memberIfIndex[1], s.ifIndex("ge0/7"));
}

// A LAG member message body with one block, as it may arrive.
std::vector<uint8_t> lagBody(int32_t blockCount, uint32_t lagIf, Words members, uint8_t count) {
    std::vector<uint8_t> b(lagmsg::kBlocks + lagmsg::kBlockLen - hdr::kSeqHeaderLen);
    const size_t at = lagmsg::kBlocks - hdr::kSeqHeaderLen;
    wire::putI32(b.data(), 0, blockCount);
    wire::putU32(b.data(), at + lagmsg::kBlkLagIfIndex, lagIf);
    for (size_t i = 0; i < members.size(); ++i) {
        wire::putU32(b.data(), at + lagmsg::kBlkMembers + i * lagmsg::kMemberLen, members[i]);
    }
    wire::putU8(b.data(), at + lagmsg::kBlkMemberCount, count);
    return b;
}

TEST(LagMember, LimitsAndBadBlocks) {
    auto& s = tsim::boot(kBigChassis, true);
    const uint32_t lag1 = s.ifIndex("lag1"), ge05 = s.ifIndex("ge0/5");
    tsim::vlanAdd(s, "vl10", L2PT_FLAG_STP, {access("lag1")});
    const L2ptLagEntry& lag = l2ptLagTable[1];

    // The same member may take several slots; the 33rd member finds none.
    s.ifm().lagAdd({{lag1, Words(33, ge05)}});
    s.settle();
    EXPECT_EQ(lag.memberCount, 32);
    EXPECT_EQ(std::count(lag.memberIfIndex, lag.memberIfIndex + 32, ge05), 32);
    s.ifm().lagDel({{lag1, Words(32, ge05)}});
    s.settle();
    EXPECT_EQ(lag.memberCount, 0);
    EXPECT_TRUE(s.entries(0).empty());

    // Too many members, a LAG beyond 128, more blocks counted than arrived, a negative count:
    // only the block that arrived whole in the third message is handled.
    for (auto body :
         {lagBody(1, lag1, Words(17, ge05), 18), lagBody(1, s.ifIndex("lag200"), {ge05}, 1),
          lagBody(2, lag1, {ge05}, 1), lagBody(-1, lag1, {s.ifIndex("ge0/6")}, 1)}) {
        s.ifm().rawSequenced(MT_L2PT_LAG_MEMBER_ADD, {}, body);
        s.settle();
    }
    const std::string block = "l2ptProcessLagMemberEvent: lag block ";
    EXPECT_EQ(records(s),
              (std::vector<Rec>{
                  failure(block + "1 of 1 has 18 members, more than its 17 entries"),
                  failure(block + "1 of 1 names LAG ifIndex " +
                          std::to_string(s.ifIndex("lag200")) + " outside LAG numbers 0-128"),
                  failure(block + "2 of 2 runs past the message end (204 bytes)")}));
    EXPECT_EQ(lag.memberCount, 1);
    EXPECT_EQ(lag.memberIfIndex[0], ge05);
    EXPECT_EQ(s.entries(0), Entries{entry(ge05, kStpMac, 0, 1)});
}

}  // namespace
