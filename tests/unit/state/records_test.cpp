// Access-port and core-port records: the port slot index, their lifetimes, allocation failures.
#include "tests/support/task_test.h"

namespace {

using namespace ttest;

// Port slot indexes: ge0/1 (unit 0, port 1) 131, te1/3 (unit 1, 10G port 3 on pipe 1) 196, lag1
// (LAG number 1) 2. te1/4 (unit 12) lies beyond them: a member without a record, with its entries.
// A record keeps the flags of the port's VLANs until the last ones go.
TEST(Records, AccessPortsBySlotIndex) {
    auto& s = tsim::boot(kBigChassis, true);
    tsim::vlanAdd(s, "vl10", L2PT_FLAG_STP, {access("ge0/1"), access("te1/3"), access("lag1")});
    tsim::vlanAdd(s, "vl20", L2PT_FLAG_LLDP | L2PT_FLAG_PVST, {access("ge0/1"), access("te1/4")});
    for (const auto& [index, port] : {std::pair{131, "ge0/1"}, {196, "te1/3"}, {2, "lag1"}}) {
        ASSERT_NE(pL2ptAccessPortTable[index], nullptr) << index;
        EXPECT_EQ(pL2ptAccessPortTable[index]->ifIndex, s.ifIndex(port));
    }
    const L2ptAccessPort* ge01 = pL2ptAccessPortTable[131];
    EXPECT_EQ(std::tuple(inUse("ACCESS_PORT"), ge01->vlanId, ge01->protoFlags),
              std::tuple(3u, 20u, 0x0B));
    EXPECT_EQ(s.entries(1).size(), 3u);
    tsim::vlanDel(s, "vl20", L2PT_FLAG_LLDP, {access("ge0/1"), access("te1/4")});
    EXPECT_EQ(ge01->protoFlags, L2PT_FLAG_STP | L2PT_FLAG_PVST);
    tsim::vlanDel(s, "vl10", L2PT_FLAG_STP | L2PT_FLAG_PVST, {access("ge0/1")});
    EXPECT_EQ(pL2ptAccessPortTable[131], nullptr);
}

TEST(Records, AllocationFailuresLeaveConsistentRecords) {
    auto& s = tsim::boot(tsim::kChassis, true);
    s.faults().arm("pool:L2PT_VMAN_POOL", 1);
    s.ifm().vlanAdd({tsim::block(s, "vl10", L2PT_FLAG_STP, {access("ge0/1")}),
                     tsim::block(s, "vl20", L2PT_FLAG_STP, {access("ge0/2")})});
    s.settle();
    EXPECT_EQ(pL2ptVlanTable[10], nullptr);
    EXPECT_EQ(s.entries(0), Entries{entry(s.ifIndex("ge0/2"), kStpMac, 0, 1)});
    s.faults().arm("pool:L2PT_IFNODE_POOL", 1);
    tsim::vlanAdd(s, "vl30", L2PT_FLAG_STP, {access("ge0/3"), access("ge0/4")});
    EXPECT_EQ(members(30), Words{s.ifIndex("ge0/4")});
    EXPECT_EQ(console(s, "l2ptProcessAddVlanPort: failure to allocate port node ge0/3"), 1u);

    // Without its port record a port still joins the VLAN and gets its entries.
    s.faults().arm("pool:L2PT_ACCESS_PORT_POOL", 1);
    tsim::vlanAdd(s, "vl100", L2PT_FLAG_STP, {access("ge0/5")});
    EXPECT_EQ(pL2ptAccessPortTable[135], nullptr);
    s.faults().arm("pool:L2PT_CORE_PORT_POOL", 1);
    tsim::vlanAdd(s, "vl200", L2PT_FLAG_STP, {core("te1/0")});
    EXPECT_EQ(l2ptFirstIfNode(pL2ptVlanTable[200])->corePort, nullptr);
    EXPECT_EQ(s.entries(1), Entries{entry(s.ifIndex("te1/0"), kTunnelMac, 0, 5)});
    EXPECT_EQ(s.entries(0).size(), 3u);
    std::vector<Rec> logged;
    for (const char* what : {"vman entry", "port node", "access port ge0/5", "core port te1/0"}) {
        logged.push_back({kNoMemory, {"cannot allocate " + std::string(what)}});
    }
    EXPECT_EQ(records(s), logged);

    // Everything can still be taken down, and nothing is left behind.
    for (const char* vlan : {"vl20", "vl30", "vl100", "vl200"})
        tsim::vlanDisable(s, vlan, L2PT_FLAG_STP);
    EXPECT_TRUE(s.entries(0).empty() && s.entries(1).empty());
    EXPECT_TRUE(s.backend().reports().empty());
    EXPECT_EQ(inUse("VMAN") + inUse("IFNODE") + inUse("ACCESS_PORT") + inUse("CORE_PORT"), 0u);
}

}  // namespace
