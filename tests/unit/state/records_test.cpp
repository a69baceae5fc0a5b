// Access-port records by the port slot index (the rest: the vlan_ports golden trace).
#include "tests/support/task_test.h"

namespace {

using namespace ttest;

// Slot indexes: ge0/1 131, te1/3 (10G, pipe 1) 196, lag1 2, lag128 129; none for lag129 and
// te1/4 (unit 12), which gets entries still, as slot 11's port does. Flags of VLANs left stay.
TEST(Records, AccessPortsBySlotIndex) {
    auto& s = tsim::boot(kBigChassis, true);
    tsim::vlanAdd(s, "vl10", L2PT_FLAG_STP,
                  {access("ge0/1"), access("te1/3"), access("lag1"), access("lag128"),
                   access("lag129"), access("ge11/0")});
    tsim::vlanAdd(s, "vl20", L2PT_FLAG_LLDP | L2PT_FLAG_PVST, {access("ge0/1"), access("te1/4")});
    for (const auto& [index, port] :
         {std::pair{131, "ge0/1"}, {196, "te1/3"}, {2, "lag1"}, {129, "lag128"}}) {
        ASSERT_NE(pL2ptAccessPortTable[index], nullptr) << index;
        EXPECT_EQ(pL2ptAccessPortTable[index]->ifIndex, s.ifIndex(port));
    }
    const L2ptAccessPort* ge01 = pL2ptAccessPortTable[131];
    EXPECT_EQ(std::tuple(inUse("ACCESS_PORT"), ge01->vlanId, ge01->protoFlags),
              std::tuple(5u, 20u, 0x0B));
    EXPECT_EQ(std::pair(s.entries(1).size(), s.entries(11).size()),
              std::pair(size_t{4}, size_t{1}));
    tsim::vlanDel(s, "vl20", L2PT_FLAG_LLDP, {access("ge0/1"), access("te1/4")});
    EXPECT_EQ(ge01->protoFlags, L2PT_FLAG_STP | L2PT_FLAG_PVST);
}

}  // namespace
