// Access-port records by the port slot index (the rest: the vlan_ports golden trace).
#include "tests/support/task_test.h"

namespace {

using namespace ttest;

// Port slot indexes: ge0/1 (unit 0, port 1) 131, te1/3 (unit 1, 10G port 3 on pipe 1) 196, lag1
// (LAG number 1) 2. te1/4 (unit 12) lies beyond them: a member without a record, with its entries.
// A record keeps the flags of the port's VLANs that are left.
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
}

}  // namespace
