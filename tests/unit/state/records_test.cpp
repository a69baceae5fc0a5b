// Access-port and core-port records: the port slot index, their lifetimes, allocation failures.
#include "tests/unit/classification/acl_wire.h"

namespace {

using namespace aclwire;

TEST(Records, AccessPortsBySlotIndex) {
    auto sim = aclwire::boot(kBigChassis);
    auto& s = *sim;
    const uint32_t ge01 = s.ifIndex("ge0/1"), te13 = s.ifIndex("te1/3"), lag1 = s.ifIndex("lag1");
    tsim::vlanAdd(s, "vl10", L2PT_FLAG_STP, {access("ge0/1"), access("te1/3"), access("lag1")});
    tsim::vlanAdd(s, "vl20", L2PT_FLAG_LLDP | L2PT_FLAG_PVST, {access("ge0/1"), access("te1/4")});
    // ge0/1: unit 0, port 1; te1/3: unit 1, 10G port 3 on pipe 1; lag1: LAG number 1.
    for (const auto& [index, ifIndex] : {std::pair{131, ge01}, {196, te13}, {2, lag1}}) {
        ASSERT_NE(pL2ptAccessPortTable[index], nullptr) << index;
        EXPECT_EQ(pL2ptAccessPortTable[index]->ifIndex, ifIndex);
    }
    EXPECT_EQ(pL2ptAccessPortTable[131]->vlanId, 20u);
    EXPECT_EQ(pL2ptAccessPortTable[131]->protoFlags, 0x0B);
    // te1/4 (unit 12, index 902) is a member without a record; its entries are installed.
    EXPECT_EQ(inUse("ACCESS_PORT"), 3u);
    EXPECT_EQ(members(20), (Words{ge01, s.ifIndex("te1/4")}));
    EXPECT_TRUE(consoleHas(s, "l2ptAddAccessPort: port id 902 is out of range"));
    EXPECT_EQ(s.entries(1).size(), 3u);

    // Withdrawing some flags keeps the record; the last ones free it.
    tsim::vlanDel(s, "vl20", L2PT_FLAG_LLDP, {access("ge0/1"), access("te1/4")});
    EXPECT_TRUE(consoleHas(s, "l2ptDeleteAccessPort: port id 902 for port te1/4 is out of range"));
    EXPECT_EQ(pL2ptAccessPortTable[131]->protoFlags, L2PT_FLAG_STP | L2PT_FLAG_PVST);
    tsim::vlanDel(s, "vl10", L2PT_FLAG_STP | L2PT_FLAG_PVST, {access("ge0/1")});
    EXPECT_EQ(pL2ptAccessPortTable[131], nullptr);
}

TEST(Records, AllocationFailuresLeaveConsistentRecords) {
    auto sim = aclwire::boot();
    auto& s = *sim;
    s.faults().arm("pool:L2PT_VMAN_POOL", 1);
    s.ifm().vlanAdd({tsim::block(s, "vl10", L2PT_FLAG_STP, {access("ge0/1")}),
                     tsim::block(s, "vl20", L2PT_FLAG_STP, {access("ge0/2")})});
    s.settle();
    EXPECT_EQ(pL2ptVlanTable[10], nullptr);
    EXPECT_EQ(s.entries(0), Entries{entry(s.ifIndex("ge0/2"), kStp, 0, 1)});
    s.faults().arm("pool:L2PT_IFNODE_POOL", 1);
    tsim::vlanAdd(s, "vl30", L2PT_FLAG_STP, {access("ge0/3"), access("ge0/4")});
    EXPECT_EQ(members(30), Words{s.ifIndex("ge0/4")});
    EXPECT_TRUE(consoleHas(s, "l2ptProcessAddVlanPort: failure to allocate port node ge0/3"));

    // Without its port record a port still joins the VLAN and gets its entries.
    s.faults().arm("pool:L2PT_ACCESS_PORT_POOL", 1);
    tsim::vlanAdd(s, "vl100", L2PT_FLAG_STP, {access("ge0/5")});
    EXPECT_EQ(pL2ptAccessPortTable[135], nullptr);
    s.faults().arm("pool:L2PT_CORE_PORT_POOL", 1);
    tsim::vlanAdd(s, "vl200", L2PT_FLAG_STP, {core("te1/0")});
    EXPECT_EQ(l2ptFirstIfNode(pL2ptVlanTable[200])->corePort, nullptr);
    EXPECT_EQ(s.entries(1), Entries{entry(s.ifIndex("te1/0"), kTunnel, 0, 5)});
    EXPECT_EQ(s.entries(0).size(), 3u);
    EXPECT_EQ(logged(s, L2PT_LOG_NO_MEMORY),
              (std::vector<std::string>{"cannot allocate vman entry", "cannot allocate port node",
                                        "cannot allocate access port ge0/5",
                                        "cannot allocate core port te1/0"}));

    // Everything can still be taken down, and nothing is left behind.
    for (const char* vlan : {"vl20", "vl30", "vl100", "vl200"}) {
        tsim::vlanDisable(s, vlan, L2PT_FLAG_STP);
    }
    EXPECT_TRUE(s.entries(0).empty() && s.entries(1).empty());
    EXPECT_TRUE(s.backend().reports().empty());
    EXPECT_EQ(inUse("VMAN") + inUse("IFNODE") + inUse("ACCESS_PORT") + inUse("CORE_PORT"), 0u);
}

}  // namespace
