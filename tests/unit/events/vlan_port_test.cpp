// VLAN port events: VLAN records and their ports through add, delete and disable; bad blocks.
#include "tests/support/task_test.h"

namespace {

using namespace ttest;

TEST(VlanPort, RecordsFollowAddDeleteAndDisable) {
    auto& s = tsim::boot(tsim::kChassis, true);
    const uint32_t ge01 = s.ifIndex("ge0/1");
    tsim::vlanAdd(s, "vl10", L2PT_FLAG_STP,
                  {access("ge0/3"), core("te1/0"), access("ge0/1"), access("ge0/2")});
    const L2ptVmanEntry* v10 = pL2ptVlanTable[10];
    ASSERT_NE(v10, nullptr);
    EXPECT_EQ(members(10),
              (Words{ge01, s.ifIndex("ge0/2"), s.ifIndex("ge0/3"), s.ifIndex("te1/0")}));
    EXPECT_EQ(std::tuple(v10->vlanIfIndex, v10->aclMode), std::tuple(s.ifIndex("vl10"), 1));
    tsim::vlanAdd(s, "vl20", L2PT_FLAG_LLDP, {access("ge0/1")}, 64);
    tsim::vlanAdd(s, "vl20", L2PT_FLAG_LLDP, {}, 16);  // the limit in force stays
    EXPECT_EQ(std::tuple(pL2ptVlanTable[20]->rateLimit, pL2ptVlanTable[20]->aclMode),
              std::tuple(64u, 3));

    // A port already in the VLAN: no second node, but another install, with the block's flags
    // and the rate the VLAN takes from this block.
    const size_t n0 = applied(s, 0);
    tsim::vlanAdd(s, "vl10", L2PT_FLAG_GVRP, {access("ge0/1")}, 32);
    EXPECT_EQ(std::tuple(members(10).size(), v10->protoFlags, v10->aclMode),
              std::tuple(4u, L2PT_FLAG_STP | L2PT_FLAG_GVRP, 3));
    EXPECT_EQ(received(s, 0, n0), (Msgs{{kInstall, {entry(ge01, kGvrpMac, 32, 3)}}}));

    // Delete: removals with the block's flags and the VLAN's rate and mode; a port not in the
    // VLAN is skipped; an emptied record stays.
    tsim::vlanDel(s, "vl10", L2PT_FLAG_STP, {access("ge0/7"), access("ge0/1")});
    EXPECT_EQ(received(s, 0, n0 + 1), (Msgs{{kRemove, {entry(ge01, kStpMac, 32, 3)}}}));
    tsim::vlanDel(s, "vl20", L2PT_FLAG_LLDP, {access("ge0/1")});
    EXPECT_TRUE(pL2ptVlanTable[20] != nullptr && members(20).empty());
    EXPECT_EQ(pL2ptAccessPortTable[131], nullptr);

    // Disable: flags that miss the record's skip the block; flags that meet one of them take
    // every port out, the removals carrying those flags only; the record goes. The core port
    // counted STP, not GVRP: its GVRP counter wraps and its tunnel entry stays.
    tsim::vlanDisable(s, "vl10", L2PT_FLAG_LLDP);
    ASSERT_EQ(pL2ptVlanTable[10], v10);
    tsim::vlanDisable(s, "vl10", L2PT_FLAG_GVRP);
    EXPECT_EQ(pL2ptVlanTable[10], nullptr);
    EXPECT_EQ(s.entries(0),
              (Entries{entry(ge01, kGvrpMac, 32, 3), entry(s.ifIndex("ge0/2"), kStpMac, 0, 1),
                       entry(s.ifIndex("ge0/3"), kStpMac, 0, 1)}));
    EXPECT_EQ(s.entries(1), Entries{entry(s.ifIndex("te1/0"), kTunnelMac, 0, 5)});
    EXPECT_EQ(Words({inUse("VMAN"), inUse("IFNODE"), inUse("ACCESS_PORT")}), (Words{1, 0, 2}));
}

// A VLAN port message body as it may arrive: a block count, then blocks whose port counts need
// not match the access ports that follow.
struct RawBlock {
    uint32_t vlanIf;
    uint16_t portCount;
    Words ports;
};
std::vector<uint8_t> body(uint32_t blockCount, const std::vector<RawBlock>& blocks) {
    std::vector<uint8_t> b(vlanmsg::kBlocks - hdr::kSeqHeaderLen);
    wire::putU32(b.data(), 0, blockCount);
    for (const RawBlock& r : blocks) {
        const size_t at = b.size();
        b.resize(at + vlanmsg::kBlkHeaderLen + r.ports.size() * vlanmsg::kPortEntryLen);
        wire::putU32(b.data(), at + vlanmsg::kBlkVlanIfIndex, r.vlanIf);
        wire::putU16(b.data(), at + vlanmsg::kBlkPortCount, r.portCount);
        wire::putU8(b.data(), at + vlanmsg::kBlkFlags, L2PT_FLAG_STP);
        for (size_t i = 0; i < r.ports.size(); ++i) {
            wire::putU32(b.data(), at + vlanmsg::kBlkHeaderLen + i * vlanmsg::kPortEntryLen,
                         r.ports[i]);
        }
    }
    return b;
}

TEST(VlanPort, BadBlocksAreBoundedAndLogged) {
    auto& s = tsim::boot(kBigChassis, true);
    const uint32_t ge01 = s.ifIndex("ge0/1"), lag = s.ifIndex("lag200");
    const auto send = [&](uint32_t type, uint32_t blockCount, const std::vector<RawBlock>& b) {
        s.ifm().rawSequenced(type, {}, body(blockCount, b));
        s.settle();
    };
    // More blocks counted than arrived: the first is handled, the walk stops at the second.
    // A block whose ports run past the message is dropped whole.
    send(MT_L2PT_ADD_VLAN_PORT, 3, {{s.ifIndex("vl10"), 1, {ge01}}});
    send(MT_L2PT_ADD_VLAN_PORT, 1, {{s.ifIndex("vl20"), 2, {ge01}}});
    send(MT_L2PT_ADD_VLAN_PORT, 0xFFFFFFFF, {});
    EXPECT_EQ(s.entries(0), Entries{entry(ge01, kStpMac, 0, 1)});
    EXPECT_EQ(pL2ptVlanTable[20], nullptr);

    // VLAN ids beyond 4095 are skipped; VLANs without a record are logged.
    send(MT_L2PT_ADD_VLAN_PORT, 1, {{s.ifIndex("vl5000"), 1, {ge01}}});
    send(MT_L2PT_DEL_VLAN_PORT, 1, {{s.ifIndex("vl5000"), 1, {ge01}}});
    tsim::vlanDel(s, "vl30", L2PT_FLAG_STP, {access("ge0/1")});
    tsim::vlanDisable(s, "vl30", L2PT_FLAG_STP);
    const std::string add = "l2ptProcessAddVlanPort: vlan block ";
    EXPECT_EQ(records(s),
              (std::vector<Rec>{
                  failure(add + "2 of 3 runs past the message end (148 bytes)"),
                  failure(add + "1 of 1 runs past the message end (148 bytes)"),
                  failure(add + "1 of 4294967295 runs past the message end (128 bytes)"),
                  failure("vman vl30 does not exist"), failure("vman vl30 does not exist")}));

    // A core LAG beyond the LAG table, in two VLANs: leaving one keeps the other's record.
    tsim::vlanAdd(s, "vl30", L2PT_FLAG_STP, {core("lag200")});
    tsim::vlanAdd(s, "vl40", L2PT_FLAG_STP, {core("lag200")});
    tsim::vlanDel(s, "vl30", L2PT_FLAG_STP, {core("lag200")});
    EXPECT_NE(corePort(lag), nullptr);
    EXPECT_EQ(l2ptFirstIfNode(pL2ptVlanTable[40])->corePort, corePort(lag));
    tsim::vlanDel(s, "vl40", L2PT_FLAG_STP, {core("lag200")});
    EXPECT_TRUE(s.backend().reports().empty());
    EXPECT_EQ(Words({inUse("VMAN"), inUse("IFNODE"), inUse("ACCESS_PORT")}), (Words{3, 1, 1}));
}

}  // namespace
