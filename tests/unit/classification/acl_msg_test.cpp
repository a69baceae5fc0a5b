// ACL download messages: their bytes, the core-port counters, full messages, failures.
#include "classification/acl_msg.h"
#include "tests/support/task_test.h"

namespace {

using namespace ttest;

// Per-port agents get an entry per protocol for an access port and one tunnel entry for a core
// port, which counts its VLANs per protocol (on a per-port agent the first protocol only, on a
// global agent every protocol) and loses its entry with its last VLAN. The global agent got its
// PVST entry at registration, alone in its message, and no entry per port.
TEST(AclMessage, EntriesAndCorePortCounters) {
    auto& s = tsim::boot(tsim::kChassis, true);
    EXPECT_EQ(received(s, 2), (Msgs{{kInstall, {entry(0, kPvstMac, 0, 0, 1)}}}));
    const uint32_t ge01 = s.ifIndex("ge0/1"), te10 = s.ifIndex("te1/0"), ge20 = s.ifIndex("ge2/0");
    const std::vector<tsim::PortSpec> ports = {access("ge0/1"), core("te1/0"), core("ge2/0"),
                                               access("ge2/1")};
    const uint8_t flags = L2PT_FLAG_STP | L2PT_FLAG_GVRP;
    const Entries access01 = {entry(ge01, kStpMac, 64, 3), entry(ge01, kGvrpMac, 64, 3)};
    tsim::vlanAdd(s, "vl100", flags, ports, 64);
    tsim::vlanAdd(s, "vl10", flags, {core("te1/0")});
    tsim::vlanAdd(s, "vl20", flags, {core("te1/0")});
    EXPECT_EQ(received(s, 0), (Msgs{{kInstall, access01}}));
    EXPECT_EQ(received(s, 1), Msgs(3, Msg{kInstall, {entry(te10, kTunnelMac, 0, 5)}}));
    EXPECT_EQ(applied(s, 2), 1u);
    EXPECT_EQ(words(corePort(te10)->vlanCount), (Words{3, 0, 0, 0}));
    EXPECT_EQ(words(corePort(ge20)->vlanCount), (Words{1, 0, 1, 0}));

    tsim::vlanDel(s, "vl100", flags, ports);
    tsim::vlanDel(s, "vl10", flags, {core("te1/0")});
    EXPECT_EQ(received(s, 0, 1), (Msgs{{kRemove, access01}}));
    EXPECT_EQ(applied(s, 1), 3u);
    const L2ptCorePort* rec = corePort(te10);
    EXPECT_EQ(words(rec->vlanCount), (Words{1, 0, 0, 0}));
    EXPECT_TRUE(!vlanBit(rec->vlanBitmap, 10) && vlanBit(rec->vlanBitmap, 20));
    tsim::vlanDel(s, "vl20", flags, {core("te1/0")});
    EXPECT_EQ(received(s, 1, 3), (Msgs{{kRemove, {entry(te10, kTunnelMac, 0, 5)}}}));
    EXPECT_EQ(inUse("CORE_PORT") + inUse("ACCESS_PORT"), 0u);
}

// A message holds one operation: appending an entry of the other one sends the pending message
// first, so no removal ever travels as an install.
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
    for (int n = first; n <= last; ++n) {
        list.push_back(access("ge0/" + std::to_string(n)));
    }
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
    // The full message is held by the queue until acknowledged: no buffer for the next one,
    // nor for the 288th entry.
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

}  // namespace
