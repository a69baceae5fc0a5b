// PDU paths at the edges of the receive buffer and headers; drops no golden trace reaches.
#include <array>

#include "base/drop.h"
#include "forwarding/detunnel.h"
#include "forwarding/tunnel.h"
#include "platform/shell.h"
#include "tests/support/task_test.h"

namespace {

using namespace ttest;
using Reason = L2ptDropReason;

// Frames sent from trace line `seen` on, as "<port> <hex>" (drops left out); seen moves on.
Texts sent(chassis::SimSwitch& sim, size_t& seen) {
    Texts out;
    for (const auto& lines = sim.trace().lines(); seen < lines.size(); ++seen) {
        const std::string& l = lines[seen];
        const size_t port = l.find(" port "), len = l.find(" out len=");
        if (port != std::string::npos && len != std::string::npos &&
            l.find(" dropped (", len) == std::string::npos) {
            out.push_back(l.substr(port + 6, len - port - 6) + l.substr(l.find(' ', len + 9)));
        }
    }
    return out;
}

std::string out(const std::string& port, const Bytes& frame) {
    return port + " " + chassis::hexText(frame);
}

// The task's receive buffer, for calling its PDU handlers directly.
std::array<uint8_t, L2PT_PKT_BUF_SIZE> gBuf;
int32_t put(const Bytes& f) {
    std::copy(f.begin(), f.end(), gBuf.begin());
    return static_cast<int32_t>(f.size());
}

// A frame filling the receive buffer (PVST: with the provider tag) is forwarded; a byte more is
// dropped, never sent cut short. The ports' MTU lets such frames through.
TEST(Forwarding, FramesAtTheEdgesOfTheBufferAndTheHeaders) {
    auto& s = tsim::boot(edited(edited(tsim::kChassis, "unit: 0,", "mtu: 1600, unit: 0,"),
                                "unit: 1,", "mtu: 1600, unit: 1,"));
    tsim::vlanAdd(s, "vl100", L2PT_FLAG_STP | L2PT_FLAG_PVST, {access("ge0/1"), core("te1/0")});
    size_t seen = s.trace().lines().size();
    const auto sized = [](Bytes f, size_t n) {
        f.resize(n, 0x5A);
        return f;
    };
    const Bytes stp = sized(frames::stp(10), L2PT_PKT_BUF_SIZE);
    const Bytes fromCore = sized(tunnelled(frames::stp(10)), L2PT_PKT_BUF_SIZE);
    const Bytes pvst = sized(frames::pvst(10), L2PT_PKT_BUF_SIZE - 4);
    const std::tuple<const char*, Bytes, Texts> rows[] = {
        {"ge0/1", stp, {out("te1/0", tunnelled(stp))}},
        {"te1/0", fromCore, {out("ge0/1", withDst(fromCore, kStpMac))}},
        {"te1/0", sized(fromCore, L2PT_PKT_BUF_SIZE + 1), {}},
        {"ge0/1", pvst, {out("te1/0", tunnelled(pvst))}},
        {"ge0/1", sized(pvst, L2PT_PKT_BUF_SIZE - 3), {}},
    };
    for (const auto& [port, frame, leaving] : rows) {
        s.frameIn(port, frame);
        EXPECT_EQ(sent(s, seen), leaving) << port << " " << frame.size();
    }

    // Frames cut at their DSAP (byte 18) or, behind the inner tag, short of the SNAP protocol id
    // (ends at byte 30) are dropped as short, though the buffer holds the rest; one of exactly 30
    // bytes is PVST; one not UI or of another protocol is no PVST and goes out as STP.
    Bytes full = tunnelled(frames::pvst(10)), notUi = full, otherPid = full;
    notUi[24] = 0x13;     // the LLC control behind the inner tag
    otherPid[28] = 0x20;  // the SNAP protocol id
    const auto n = static_cast<int32_t>(full.size());
    const uint32_t te10 = s.ifIndex("te1/0");
    for (const auto& [frame, len] : {std::pair{full, 29}, {tunnelled(frames::stp(10)), 18}}) {
        put(frame);
        l2ptProcessTunneledPacket(te10, gBuf.data(), len);
    }
    EXPECT_THAT(sent(s, seen), IsEmpty());
    EXPECT_EQ(l2ptDropCount[static_cast<int>(Reason::Untagged)], 2u);
    for (const auto& [frame, len, mac] :
         {std::tuple{full, 30, kPvstMac}, {notUi, n, kStpMac}, {otherPid, n, kStpMac}}) {
        put(frame);
        l2ptProcessTunneledPacket(te10, gBuf.data(), len);
        const Bytes restored = withDst(Bytes(frame.begin(), frame.begin() + len), mac);
        EXPECT_THAT(sent(s, seen), ElementsAre(out("ge0/1", restored))) << len;
    }
}

uint64_t counter(const char* name) {
    return ozm::sym::get(name).value_or(UINT64_MAX);
}

// Failed receives, unknown or untunnelled protocols, VLANs without a record; debugging off.
TEST(Drops, EachIsCountedByReasonAndPortWithDebuggingOff) {
    auto& s = tsim::boot();
    tsim::vlanAdd(s, "vl100", L2PT_FLAG_STP, {access("ge0/1"), core("te1/0")});
    l2ptAddAccessPort(s.ifIndex("ge0/2"), 300, L2PT_FLAG_STP);  // VLAN 300 has no record
    const uint32_t ge01 = s.ifIndex("ge0/1"), ge02 = s.ifIndex("ge0/2"), te10 = s.ifIndex("te1/0");
    const Bytes stp = frames::stp(10);

    l2ptProcessPacket(ge01, gBuf.data(), -1);
    l2ptProcessTunneledPacket(te10, gBuf.data(), -1);
    l2ptProcessTunneledPacket(te10, gBuf.data(), -1);
    l2ptProcessPacket(ge01, gBuf.data(), put(withDst(stp, kTunnelMac)));
    l2ptProcessPacket(ge02, gBuf.data(), put(stp));
    l2ptProcessPacket(ge01, gBuf.data(), put(withDst(stp, kGvrpMac)));  // GVRP not tunnelled
    l2ptHalProcessPacket(ge01, 300, gBuf.data(), put(stp), L2PT_FLAG_STP);
    l2ptHalProcessTunneledPacket(te10, 300, gBuf.data(), put(tunnelled(stp, 300)));
    // Forwarded, so counted nowhere.
    l2ptProcessPacket(ge01, gBuf.data(), put(stp));

    EXPECT_EQ(counter("l2ptDropRxFailed"), 3u);
    EXPECT_EQ(counter("l2ptDropUnknownProto"), 1u);
    EXPECT_EQ(counter("l2ptDropNoVman"), 3u);
    EXPECT_EQ(counter("l2ptDropProtoOff"), 1u);
    for (const char* other : {"l2ptDropTooLong", "l2ptDropUntagged", "l2ptDropPortRange",
                              "l2ptDropNoAccessPort", "l2ptDropNoCorePort", "l2ptDropNoTagRoom"})
        EXPECT_EQ(counter(other), 0u) << other;
    const auto& perPort = s.chassis().taskDrops();
    EXPECT_EQ(perPort.count(te10, static_cast<uint32_t>(Reason::RxFailed)), 2u);
    EXPECT_EQ(perPort.count(ge02, static_cast<uint32_t>(Reason::NoVman)), 1u);

    EXPECT_EQ(count(s, "console"), 0u);  // no debug line with debugging off
    EXPECT_EQ(count(s, "port te1/0 out"), 1u);
    // The counters are the operator's to read, never to set.
    EXPECT_EQ(s.shell("set l2ptDropNoVman 0").text, "set l2ptDropNoVman: read-only");
    EXPECT_EQ(counter("l2ptDropNoVman"), 3u);
}

}  // namespace
