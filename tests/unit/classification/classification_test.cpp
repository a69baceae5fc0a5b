// ACL download messages, and the entries sent again to a line card coming up.
#include "classification/acl_msg.h"
#include "tests/support/task_test.h"

namespace {

using namespace ttest;

// An entry of the other operation sends the pending message first: no removal goes as an install.
TEST(AclMessage, OtherOperationSendsThePendingMessageFirst) {
    auto& s = tsim::boot(tsim::kChassis, true);
    const uint32_t ge01 = s.ifIndex("ge0/1"), ge02 = s.ifIndex("ge0/2");
    const size_t n = applied(s, 0);
    l2ptAclAppendEntry(0, ge01, kStpMac.data(), 0, 0, 1, 1);
    l2ptAclAppendEntry(0, ge02, kStpMac.data(), 0, 0, 1, 0);
    l2ptAclAppendEntry(0, ge02, kLldpMac.data(), 0, 0, 1, 0);
    l2ptDownloadAclMsg();
    s.settle();
    EXPECT_EQ(received(s, 0, n),
              (Msgs{{kInstall, {entry(ge01, kStpMac, 0, 1)}},
                    {kRemove, {entry(ge02, kStpMac, 0, 1), entry(ge02, kLldpMac, 0, 1)}}}));
}

// A VLAN block of access ports ge0/first .. ge0/last.
chassis::Ifm::VlanBlock ports(chassis::SimSwitch& s, const char* vlan, uint8_t flags, int first,
                              int last) {
    std::vector<tsim::PortSpec> list;
    for (int n = first; n <= last; ++n)
        list.push_back(access("ge0/" + std::to_string(n)));
    return tsim::block(s, vlan, flags, list);
}

TEST(AclMessage, FullMessageLeavesAtOnce) {
    auto& s = tsim::boot(kBigChassis, true);
    const uint8_t both = L2PT_FLAG_STP | L2PT_FLAG_LLDP;
    // 286 + 1 entries: the 287th sends the message; the flush then sends an empty one.
    s.ifm().vlanAdd({ports(s, "vl10", both, 0, 142), ports(s, "vl20", L2PT_FLAG_STP, 143, 143)});
    s.settle();
    auto msgs = received(s, 0);
    ASSERT_EQ(msgs.size(), 2u);
    ASSERT_EQ(msgs[0].entries.size(), 287u);
    EXPECT_EQ(msgs[0].entries[1], entry(s.ifIndex("ge0/0"), kLldpMac, 0, 1));
    EXPECT_EQ(msgs[0].entries[286], entry(s.ifIndex("ge0/143"), kStpMac, 0, 1));
    EXPECT_EQ(msgs[1], (Msg{kInstall, {}}));

    // 288 entries: the 288th starts the next message.
    s.ifm().vlanAdd({ports(s, "vl30", both, 0, 143)});
    s.settle();
    msgs = received(s, 0, 2);
    ASSERT_EQ(msgs.size(), 2u);
    EXPECT_EQ(msgs[0].entries.size(), 287u);
    EXPECT_EQ(msgs[1].entries, Entries{entry(s.ifIndex("ge0/143"), kLldpMac, 0, 1)});
}

TEST(AclMessage, BufferShortageAndRefusedHandOver) {
    auto& s = tsim::boot(std::string(kBigChassis) + "pools: {\"var:8192\": 1}\n", true);
    // The queue holds the full message until acknowledged: no buffer for the 288th entry.
    s.ifm().vlanAdd({ports(s, "vl10", L2PT_FLAG_STP | L2PT_FLAG_LLDP, 0, 143)});
    s.settle();
    ASSERT_EQ(applied(s, 0), 1u);
    EXPECT_EQ(received(s, 0)[0].entries.size(), 287u);
    EXPECT_EQ(inUse("var:8192"), 0u);

    // A refused hand-over loses the message, logs, and releases the buffer.
    s.faults().arm("ozmSwpEnqueue", 1);
    tsim::vlanAdd(s, "vl20", L2PT_FLAG_STP, {access("ge0/0")});
    EXPECT_EQ(applied(s, 0), 1u);
    EXPECT_EQ(inUse("var:8192"), 0u);

    // No buffer for the first entry: it is lost, the next one starts a message.
    s.faults().arm("var", 1);
    tsim::vlanAdd(s, "vl30", L2PT_FLAG_STP, {access("ge0/1"), access("ge0/2")});
    EXPECT_EQ(received(s, 0, 1), (Msgs{{kInstall, {entry(s.ifIndex("ge0/2"), kStpMac, 0, 1)}}}));
    EXPECT_EQ(records(s), (std::vector<Rec>{{kNoMemory, {"cannot allocate acl msg buffer - 2"}},
                                            {kNoMemory, {"cannot allocate acl msg buffer - 1"}},
                                            {kEnqueueRefused, {"0"}},
                                            {kNoMemory, {"cannot allocate acl msg buffer - 1"}}}));
}

// A LAG member's entry of a rate-limited VLAN comes with the VLAN's rate and mode; the VLAN counts
// of the card's core ports, cleared when it went (no other card's), are counted afresh.
TEST(ConfigDownload, CardComingUpGetsItsWholeConfiguration) {
    auto& s = tsim::boot();
    tsim::vlanAdd(s, "vl20", L2PT_FLAG_STP, {core("ge0/0")});
    tsim::vlanAdd(s, "vl30", L2PT_FLAG_STP, {core("ge0/0"), core("lag2")});
    tsim::vlanAdd(s, "vl100", L2PT_FLAG_GVRP, {access("lag1")}, 8);
    s.ifm().lagAdd({{s.ifIndex("lag1"), {s.ifIndex("ge0/1"), s.ifIndex("te1/1")}},
                    {s.ifIndex("lag2"), {s.ifIndex("te1/2")}}});
    s.settle();
    const L2ptCorePort* ge00 = corePort(s.ifIndex("ge0/0"));
    ASSERT_NE(ge00, nullptr);
    s.cardDown(0);
    EXPECT_EQ(ge00->vlanCount[0], 0u);
    EXPECT_EQ(l2ptLagTable[2].memberVlanCount[0][0], 1u);  // te1/2's card stays
    const size_t n0 = applied(s, 0);
    s.cardUp(0);
    EXPECT_EQ(received(s, 0, n0), (Msgs{{kInstall,
                                         {entry(s.ifIndex("ge0/0"), kTunnelMac, 0, 5),
                                          entry(s.ifIndex("ge0/0"), kTunnelMac, 0, 5),
                                          entry(s.ifIndex("ge0/1"), kGvrpMac, 8, 3)}}}));
    EXPECT_EQ(ge00->vlanCount[0], 2u);
}

}  // namespace
