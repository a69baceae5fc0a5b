// The task's drops of received PDUs with debugging off: each one counted by reason in the task's
// exported counters and, through the platform, per port by the chassis.
#include <array>

#include "base/drop.h"
#include "forwarding/detunnel.h"
#include "forwarding/tunnel.h"
#include "platform/shell.h"
#include "tests/support/task_test.h"

namespace {

using namespace ttest;
using Reason = L2ptDropReason;

uint64_t counter(const char* name) {
    return ozm::sym::get(name).value_or(UINT64_MAX);
}

uint64_t perPort(chassis::SimSwitch& s, std::string_view port, Reason r) {
    return s.chassis().taskDrops().count(s.ifIndex(port), static_cast<uint32_t>(r));
}

// The drops no scenario reaches: a failed receive, a frame to no protocol's MAC on the
// access-port socket, and an access-port record or a call whose VLAN has no record.
TEST(Drops, EachIsCountedByReasonAndPortWithDebuggingOff) {
    auto& s = tsim::boot();
    tsim::vlanAdd(s, "vl100", L2PT_FLAG_STP, {access("ge0/1"), core("te1/0")});
    l2ptAddAccessPort(s.ifIndex("ge0/2"), 300, L2PT_FLAG_STP);  // VLAN 300 has no record
    std::array<uint8_t, L2PT_PKT_BUF_SIZE> buf{};
    const auto put = [&](const Bytes& f) {
        std::copy(f.begin(), f.end(), buf.begin());
        return static_cast<int32_t>(f.size());
    };
    const uint32_t ge01 = s.ifIndex("ge0/1"), ge02 = s.ifIndex("ge0/2"), te10 = s.ifIndex("te1/0");
    const Bytes stp = frames::stp(10);

    l2ptProcessPacket(ge01, buf.data(), -1);
    l2ptProcessTunneledPacket(te10, buf.data(), -1);
    l2ptProcessTunneledPacket(te10, buf.data(), -1);
    l2ptProcessPacket(ge01, buf.data(), put(withDst(stp, kTunnelMac)));
    l2ptProcessPacket(ge02, buf.data(), put(stp));
    l2ptHalProcessPacket(ge01, 300, buf.data(), put(stp), L2PT_FLAG_STP);
    l2ptHalProcessTunneledPacket(te10, 300, buf.data(), put(tunnelled(stp, 300)));
    // Forwarded, so counted nowhere.
    l2ptProcessPacket(ge01, buf.data(), put(stp));

    EXPECT_EQ(counter("l2ptDropRxFailed"), 3u);
    EXPECT_EQ(counter("l2ptDropUnknownProto"), 1u);
    EXPECT_EQ(counter("l2ptDropNoVman"), 3u);
    for (const char* other :
         {"l2ptDropTooLong", "l2ptDropUntagged", "l2ptDropPortRange", "l2ptDropNoAccessPort",
          "l2ptDropNoCorePort", "l2ptDropProtoOff", "l2ptDropNoTagRoom"}) {
        EXPECT_EQ(counter(other), 0u) << other;
    }
    EXPECT_EQ(perPort(s, "ge0/1", Reason::RxFailed), 1u);
    EXPECT_EQ(perPort(s, "te1/0", Reason::RxFailed), 2u);
    EXPECT_EQ(perPort(s, "ge0/1", Reason::UnknownProto), 1u);
    EXPECT_EQ(perPort(s, "ge0/1", Reason::NoVman), 1u);
    EXPECT_EQ(perPort(s, "ge0/2", Reason::NoVman), 1u);
    EXPECT_EQ(perPort(s, "te1/0", Reason::NoVman), 1u);
    EXPECT_EQ(s.chassis().taskDrops().total(static_cast<uint32_t>(Reason::NoVman)), 3u);

    EXPECT_EQ(count(s, "console"), 0u);  // no debug line with debugging off
    EXPECT_EQ(count(s, "port te1/0 out"), 1u);
}

// The counters are the operator's to read, never to set.
TEST(Drops, CountersAreReadOnlyInTheDebugShell) {
    auto& s = tsim::boot();
    tsim::vlanAdd(s, "vl100", L2PT_FLAG_STP, {access("ge0/1"), core("te1/0")});
    ASSERT_EQ(s.frameIn("te1/0", tunnelled(frames::stp(10), 300)).socket, chassis::kSocketTunnel);
    EXPECT_EQ(s.shell("get l2ptDropNoVman").text, "l2ptDropNoVman = 1");
    const ozm::ShellResult set = s.shell("set l2ptDropNoVman 0");
    EXPECT_EQ(set.rc, -1);
    EXPECT_EQ(set.text, "set l2ptDropNoVman: read-only");
    EXPECT_FALSE(ozm::sym::set("l2ptDropNoVman", 0));
    EXPECT_EQ(counter("l2ptDropNoVman"), 1u);
    EXPECT_THAT(s.shell("vars").text, testing::HasSubstr("l2ptDropNoVman = 1 read-only\n"));
}

}  // namespace
