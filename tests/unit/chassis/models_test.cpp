// The chassis models on their own: a recording TaskLink stands in for the task's descriptors.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "chassis/chassis.h"
#include "chassis/fdb.h"
#include "chassis/message.h"
#include "dataplane/abi.h"
#include "platform/kernel.h"
#include "test_chassis.h"

namespace chassis {
namespace {

using namespace test;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

class Models : public ::testing::Test {
  protected:
    Recorder task;
    Chassis chassis{test::config(), task};
    uint32_t p(std::string_view name) { return *chassis.ifdb().find(name); }
    AclAgent& agent0() { return *chassis.cards().agent(0); }
    // n entries trapping STP at the ifIndexes from + 1 on.
    static std::vector<Entry> entries(uint32_t from, uint32_t n) {
        std::vector<Entry> out;
        for (uint32_t i = from; i < from + n; ++i)
            out.push_back({i + 1, kStpMac, 0, 0, 1});
        return out;
    }
    std::vector<uint32_t> ackSeqs() {
        std::vector<uint32_t> out;
        for (const auto& m : task.msgs) {
            if (hdr::msgType(m.data()) == MT_SWP_ACK)
                out.push_back(swpw::seq(m.data()));
        }
        return out;
    }
};

// Also the pace: first and latest applied, and most at one clock reading; no duplicate or gap.
TEST_F(Models, AgentAppliesInOrderAcksDuplicatesDropsGaps) {
    const uint32_t port = p("p0/0");
    agent0().receive(sync());
    chassis.clock().nowUs = 100;
    agent0().receive(download(1, aclmsg::kOpInstall, {{port, kStpMac, 0, 0, 1}}));
    agent0().receive(download(1, aclmsg::kOpRemove, {{port, kStpMac, 0, 0, 1}}));    // duplicate
    agent0().receive(download(3, aclmsg::kOpInstall, {{port, kPvstMac, 0, 0, 1}}));  // gap
    EXPECT_THAT(ackSeqs(), ElementsAre(1, 1));
    ASSERT_EQ(agent0().entries().size(), 1u);  // neither the duplicate nor the gap applied
    EXPECT_EQ(agent0().entries()[0].mac, kStpMac);
    agent0().receive(download(2, aclmsg::kOpInstall, {{port, kTunnelMac, 0, 0, 5}}));
    chassis.clock().nowUs = 250;
    agent0().receive(download(3, aclmsg::kOpInstall, {{port, kPvstMac, 0, 0, 1}}));  // now in turn
    EXPECT_THAT(ackSeqs(), ElementsAre(1, 1, 2, 3));
    EXPECT_EQ(agent0().entries().size(), 3u);
    const auto& st = agent0().stats();
    EXPECT_EQ(std::tuple(st.applied, st.firstAppliedUs, st.lastAppliedUs, st.maxBurst),
              std::tuple(3u, uint64_t{100}, uint64_t{250}, 2u));
    // The ack names the sender's session, sequence and queue handle, and goes to the task.
    const uint8_t* ack = task.msgs.back().data();
    EXPECT_EQ(std::tuple(swpw::kind(ack), swpw::session(ack), swpw::queue(ack)),
              std::tuple(swpw::Kind::Ack, kSession, kQueue));
    EXPECT_EQ(ozm::queueAddressOf(hdr::dstQueueId(ack)).service, svc::kL2pt);

    // A sync starts the sequence afresh.
    agent0().receive(sync(kSession + 1));
    agent0().receive(download(1, aclmsg::kOpRemove, {{port, kStpMac, 0, 0, 1}}, kSession + 1));
    EXPECT_EQ(agent0().entries().size(), 2u);
}

TEST_F(Models, EntryTableSemantics) {
    const uint32_t port = p("p0/0");
    Downloads downloads(chassis);
    auto send = [&](uint32_t op, std::vector<Entry> e) { downloads.send(0, op, e); };
    send(aclmsg::kOpInstall, {{port, kStpMac, 0, 64, 3}, {port, kTunnelMac, 0, 0, 5}});
    send(aclmsg::kOpInstall, {{port, kTunnelMac, 0, 0, 5}});  // same key again: one entry
    EXPECT_EQ(agent0().entries().size(), 2u);
    send(aclmsg::kOpInstall, {{port, kStpMac, 0, 200, 2}});  // rate change keeps the trap
    EXPECT_EQ(agent0().entries()[0].rate, 200u);
    EXPECT_EQ(agent0().entries()[0].mode, 3);
    send(aclmsg::kOpRemove, {{port, kStpMac, 0, 64, 2}});  // rate removal: rate 0, entry stays
    ASSERT_EQ(agent0().entries().size(), 2u);
    EXPECT_EQ(agent0().entries()[0].rate, 0u);
    send(aclmsg::kOpInstall, {{port, kPvstMac, 0, 10, 2}});  // rate change creates a missing entry
    EXPECT_EQ(agent0().entries().size(), 3u);
    send(aclmsg::kOpRemove, {{port, kStpMac, 0, 0, 1}, {port, kPvstMac, 0, 0, 1}});
    EXPECT_EQ(agent0().entries().size(), 1u);
    send(aclmsg::kOpRemove, {{port, kStpMac, 0, 0, 1}});  // absent: nothing happens
    EXPECT_EQ(agent0().entries().size(), 1u);
    // Deregistration drops the entries; what the task's queue still sends comes in sequence.
    agent0().receive(makeMessage(MT_L2PT_ACL_DEREG, aclreg::kLen, kTaskParty, {svc::kAcl, 0}));
    EXPECT_TRUE(agent0().entries().empty());
    const uint32_t applied = agent0().stats().applied;
    send(aclmsg::kOpRemove, {{port, kTunnelMac, 0, 0, 5}});
    EXPECT_EQ(agent0().stats().applied, applied + 1);
    EXPECT_EQ(agent0().stats().gaps, 0u);
}

TEST_F(Models, AgentRejectsMalformedDownloadsWithoutAck) {
    agent0().receive(sync());
    auto tooMany = download(1, aclmsg::kOpInstall, {});
    wire::putU32(tooMany.data(), aclmsg::kEntryCount, aclmsg::kMaxEntries + 1);
    agent0().receive(tooMany);
    // msgLen covers only two entries while the count claims three.
    auto pastEnd = download(1, aclmsg::kOpInstall,
                            {{p("p0/0"), kStpMac, 0, 0, 1},
                             {p("p0/1"), kStpMac, 0, 0, 1},
                             {p("p0/1"), kPvstMac, 0, 0, 1}});
    hdr::setMsgLen(pastEnd.data(), static_cast<uint32_t>(aclmsg::kEntries + 2 * aclmsg::kEntryLen));
    agent0().receive(pastEnd);
    auto badLen = download(1, aclmsg::kOpInstall, {});
    hdr::setMsgLen(badLen.data(), aclmsg::kMsgSize + 1);  // longer than what arrived
    agent0().receive(badLen);
    agent0().receive(std::vector<uint8_t>(10));  // not even a header
    EXPECT_TRUE(ackSeqs().empty());
    EXPECT_TRUE(agent0().entries().empty());
    EXPECT_EQ(agent0().stats().rejected, 2u);
    // The largest valid message still goes in.
    agent0().receive(download(1, aclmsg::kOpInstall, entries(0, aclmsg::kMaxEntries)));
    EXPECT_EQ(agent0().entries().size(), aclmsg::kMaxEntries);
}

// An install past the trap table is refused whole; a key again adds nothing; removals free room.
TEST_F(Models, AgentsTogetherHoldNoMoreEntriesThanTheTrapTable) {
    Downloads downloads(chassis);
    constexpr uint32_t kHeld = L2PT_TRAP_ENTRIES - 1;
    for (uint32_t from = 0; from < kHeld; from += aclmsg::kMaxEntries)
        downloads.send(0, aclmsg::kOpInstall,
                       entries(from, std::min<uint32_t>(aclmsg::kMaxEntries, kHeld - from)));
    ASSERT_EQ(agent0().entries().size(), kHeld);
    AclAgent& agent1 = *chassis.cards().agent(1);
    const size_t acks = ackSeqs().size();
    downloads.send(1, aclmsg::kOpInstall, {{0, kTunnelMac, 1, 0, 1}, {0, kPvstMac, 1, 0, 1}});
    EXPECT_TRUE(agent1.entries().empty());
    EXPECT_EQ(agent1.stats().rejected, 1u);
    EXPECT_EQ(ackSeqs().size(), acks);
    EXPECT_THAT(chassis.trace().lines().back(),
                HasSubstr("rejected (table full: 16383 of 16384 entries held, 2 more asked)"));
    downloads.forget(1);
    downloads.send(1, aclmsg::kOpInstall, {{0, kTunnelMac, 1, 0, 1}, {0, kTunnelMac, 1, 0, 1}});
    EXPECT_EQ(agent1.entries().size(), 1u) << "one key twice is one entry";
    downloads.send(0, aclmsg::kOpInstall, entries(0, 1));
    EXPECT_EQ(agent0().stats().rejected, 0u) << "an installed key again adds none";
    downloads.send(0, aclmsg::kOpRemove, entries(0, 1));
    downloads.send(1, aclmsg::kOpInstall, {{0, kPvstMac, 1, 0, 1}});
    EXPECT_EQ(agent1.entries().size(), 2u);
    agent0().setPresent(false);
    downloads.send(1, aclmsg::kOpInstall, entries(0, aclmsg::kMaxEntries));
    EXPECT_EQ(agent1.entries().size(), 2u + aclmsg::kMaxEntries);
}

// The replies by mode and fault: the silent and tool golden traces and the takeover tests.
TEST_F(Models, AgentRegistrationStartsTheAgentAfresh) {
    EXPECT_FALSE(agent0().request(std::vector<uint8_t>(hdr::kPlainHeaderLen)));  // bad msgLen
    Downloads(chassis).send(0, aclmsg::kOpInstall, {{p("p0/0"), kStpMac, 0, 0, 1}});
    ASSERT_TRUE(agent0().request(registration(0)));
    EXPECT_TRUE(agent0().entries().empty());
    EXPECT_EQ(agent0().expectedSeq(), 1u);
}

// A 64-byte 802.1Q-tagged frame to dst.
std::vector<uint8_t> frame(const Mac& dst) {
    std::vector<uint8_t> f(64, 0xab);
    std::copy(dst.begin(), dst.end(), f.begin());
    wire::putU16(f.data(), 12, 0x8100);
    return f;
}

// An entry of ifIndex 0 traps only when agent-wide; a trapped frame with no socket is dropped.
TEST_F(Models, DataPlaneTrapsAgentWideEntriesAndNeedsASocket) {
    Downloads(chassis).send(1, aclmsg::kOpInstall, {{0, kPvstMac, 1, 0, 0}, {0, kStpMac, 0, 0, 0}});
    auto& dp = chassis.cards();
    EXPECT_EQ(dp.frameIn(p("p1/0"), frame(kPvstMac)).socket, kSocketAccess);
    EXPECT_EQ(dp.frameIn(p("p1/0"), frame(kStpMac)).reason, DropReason::NoVlan);
    task.socketsOpen = false;
    EXPECT_EQ(dp.frameIn(p("p1/0"), frame(kPvstMac)).reason, DropReason::NoSocket);
    EXPECT_THAT(chassis.trace().lines().back(), HasSubstr("trapped=access dropped (no socket)"));
}

TEST_F(Models, DataPlanePolicesAtTheEntryRateAndCountsByReason) {
    const uint32_t p00 = p("p0/0");
    Downloads(chassis).send(0, aclmsg::kOpInstall, {{p00, kStpMac, 0, 64, 1}});
    auto& dp = chassis.cards();
    // 64 Kbps is 8000 bytes a second; the bucket starts full with one second of it.
    const auto trappedOf130 = [&] {
        int passed = 0;
        for (int i = 0; i < 130; ++i)
            passed += dp.frameIn(p00, frame(kStpMac)).verdict == Verdict::Trapped;
        return passed;
    };
    EXPECT_EQ(trappedOf130(), 125);
    chassis.clock().nowUs += 8'000;  // 64 bytes' worth
    EXPECT_EQ(dp.frameIn(p00, frame(kStpMac)).verdict, Verdict::Trapped);
    EXPECT_EQ(dp.frameIn(p00, frame(kStpMac)).reason, DropReason::Policed);
    chassis.clock().nowUs += 3'600'000'000'000;  // a long quiet time refills, not overflows
    EXPECT_EQ(trappedOf130(), 125);
    EXPECT_EQ(agent0().counters(p00, kStpMac), (TrapCounters{262, 11}));

    dp.frameIn(p00, std::vector<uint8_t>(13));
    dp.frameIn(p00, frame(kPvstMac));
    // The frame table counts each drop by its reason; here they are counted by port.
    const PortCounters& c = dp.counters(p00);
    EXPECT_EQ(std::tuple(c.rxFrames, c.trapped, c.drops[size_t(DropReason::Runt)]),
              std::tuple(264u, 251u, 1u));
    EXPECT_EQ(dp.counters(p("p0/1")).rxFrames, 0u);
    EXPECT_EQ(dp.counters(p("lag5")).rxFrames, 0u);  // not a port: all zero
}

// A LAG's members past one block: the lag_members golden trace.
TEST_F(Models, IfmSplitsLargeChangesAcrossMessages) {
    // 600 VLAN blocks of 3 ports each (36 bytes a block): 224 fill a message of 8192 bytes.
    const std::vector<Ifm::PortMode> ports = {
        {p("p0/0"), 0}, {p("p0/1"), 0}, {p("p1/0"), vlanmsg::kModeCorePort}};
    std::vector<Ifm::VlanBlock> blocks;
    for (uint32_t v = 0; v < 600; ++v)
        blocks.push_back({vlanIfIndex(v), kProtoStp, 0, ports});
    chassis.ifm().vlanAdd(blocks);
    uint32_t total = 0;
    for (const auto& m : task.msgs) {
        EXPECT_LE(m.size(), hdr::kMaxMsgLen);
        total += wire::getU32(m.data(), vlanmsg::kBlockCount);
    }
    EXPECT_EQ(task.msgs.size(), 3u);
    EXPECT_EQ(task.msgs.front().size(), hdr::kMaxMsgLen);
    EXPECT_EQ(total, 600u);
}

// The configuration tree's sections: only the debug filter's entries reach them elsewhere.
TEST_F(Models, ConfigurationTreeRemovesWholeSections) {
    const uint32_t k1[] = {371, 0}, k2[] = {371, 5}, other[] = {372, 0}, section[] = {371};
    EXPECT_EQ(chassis.cfg().insert(k1, "L2PT: "), 0);
    EXPECT_EQ(chassis.cfg().insert(k2, "x "), 0);
    EXPECT_EQ(chassis.cfg().insert(other, "y "), 0);
    EXPECT_EQ(chassis.cfg().removeNode(section), 0);
    EXPECT_THAT(chassis.cfg().texts(), ElementsAre("y "));
}

// Like the kernel's, a full MAC table evicts nothing; an aged entry gives its room and counts back.
TEST(Fdb, AFullTableRefusesWithoutEvictingAndAgedEntriesMakeRoom) {
    constexpr size_t kCapacity = 64;
    constexpr uint64_t kAgeUs = 100;
    constexpr uint16_t kVid = 7;
    Fdb fdb(kCapacity, 1);
    fdb.setPortLimit(0, kCapacity * 4, false);
    fdb.setVlanLimit(kVid, kCapacity * 4);
    const auto mac = [](uint32_t i) {
        return std::array<uint8_t, 6>{
            2, 0, 0, 0, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
    };
    // Entries held: in the table, by the port, by the VLAN.
    const auto held = [&] { return std::tuple(fdb.size(), fdb.portCount(0), fdb.vlanCount(kVid)); };
    for (uint32_t i = 0; i < kCapacity * 4; ++i)
        EXPECT_EQ(fdb.learn(kVid, mac(i), 0, 0x100, false, 0, kAgeUs),
                  i < kCapacity ? Fdb::Learned::New : Fdb::Learned::Full)
            << i;
    EXPECT_EQ(held(), std::tuple(kCapacity, kCapacity, kCapacity));
    for (uint32_t i = 0; i < kCapacity; ++i)
        EXPECT_EQ(fdb.find(kVid, mac(i), 1, kAgeUs), 0x100u) << i;
    // Aged, they make room for what was refused.
    const uint32_t late = kCapacity * 4;
    EXPECT_EQ(fdb.learn(kVid, mac(late), 0, 0x100, false, kAgeUs, kAgeUs), Fdb::Learned::New);
    fdb.expire(kAgeUs, kAgeUs);
    EXPECT_EQ(held(), std::tuple(1u, 1u, 1u));
}

}  // namespace
}  // namespace chassis
