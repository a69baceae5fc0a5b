// The two PDU paths on the simulated chassis: which ports frames leave, in which order and with
// which bytes, and the drops with their debug lines.
#include <array>

#include "base/drop.h"
#include "forwarding/detunnel.h"
#include "forwarding/tunnel.h"
#include "tests/support/task_test.h"

namespace {

using namespace ttest;

// Frames that left ports from the seen-th trace line on, in order, as "<port> <hex>" (drops
// left out); seen moves past them.
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
    return port + " " + frames::hex(frame);
}

TEST(Tunnel, EachProtocolGoesToOtherAccessPortsThenCorePorts) {
    auto& s = tsim::boot();
    // Port list order: ge0/1, ge0/2 (core), te1/0 (core), te1/1.
    tsim::vlanAdd(s, "vl100", L2PT_FLAG_ALL,
                  {access("ge0/1"), core("ge0/2"), core("te1/0"), access("te1/1")});
    size_t seen = s.trace().lines().size();
    const uint32_t blocks = ozm::mem::blocksInUse();
    for (const Bytes& in :
         {frames::stp(10), frames::gvrp(10), frames::lldp(10), frames::pvst(10)}) {
        ASSERT_EQ(s.frameIn("ge0/1", in).socket, chassis::kSocketAccess);
        const Bytes toCore = tunnelled(in);
        const frames::Mac dst = {in[0], in[1], in[2], in[3], in[4], in[5]};
        EXPECT_THAT(sent(s, seen), ElementsAre(out("te1/1", withDst(toCore, dst)),
                                               out("ge0/2", toCore), out("te1/0", toCore)));
    }
    EXPECT_EQ(ozm::mem::blocksInUse(), blocks);
    EXPECT_THAT(s.logRecords(), IsEmpty());

    // A new provider tag protocol identifier and tunnel MAC reach the next PDU.
    s.ifm().vmanTpid(0x88a8);
    s.ifm().tunnelMac({0x02, 0x00, 0x00, 0x00, 0x00, 0x01}, false);
    s.settle();
    ASSERT_EQ(s.trace().grep("kernel tunnel-mac 02:00:00:00:00:01").size(), 1u);
    const Bytes in = frames::stp(10);
    ASSERT_EQ(s.frameIn("ge0/1", in).socket, chassis::kSocketAccess);
    const Bytes toCore = tunnelled(in, 100, 0x88a8, {2, 0, 0, 0, 0, 1});
    EXPECT_THAT(sent(s, seen), ElementsAre(out("te1/1", withDst(toCore, frames::kStpMac)),
                                           out("ge0/2", toCore), out("te1/0", toCore)));
}

TEST(Detunnel, RedirectsThenRestoresProtocolMacsAndSurvivesFailedSends) {
    auto& s = tsim::boot();
    ozm::sym::set("l2pt_debug_cp", 1);
    // Port list order: ge0/1, ge0/2, te1/0 (core), te1/1 (core); te1/2 is a core port of vl200.
    tsim::vlanAdd(s, "vl100", L2PT_FLAG_STP | L2PT_FLAG_PVST,
                  {access("ge0/1"), access("ge0/2"), core("te1/0"), core("te1/1")});
    tsim::vlanAdd(s, "vl200", L2PT_FLAG_GVRP, {access("ge0/3"), core("te1/2")});
    size_t seen = s.trace().lines().size();
    const Bytes stp = tunnelled(frames::stp(10));
    Bytes withPriority = stp;
    withPriority[14] |= 0xE0;  // cleared on the way
    ASSERT_EQ(s.frameIn("te1/0", withPriority).socket, chassis::kSocketTunnel);
    EXPECT_THAT(sent(s, seen), ElementsAre(out("te1/1", stp), out("ge0/1", withDst(stp, kStpMac)),
                                           out("ge0/2", withDst(stp, kStpMac))));
    const Bytes pvst = tunnelled(frames::pvst(10));
    ASSERT_EQ(s.frameIn("te1/1", pvst).socket, chassis::kSocketTunnel);
    EXPECT_THAT(sent(s, seen),
                ElementsAre(out("te1/0", pvst), out("ge0/1", withDst(pvst, kPvstMac)),
                            out("ge0/2", withDst(pvst, kPvstMac))));
    // GVRP shares STP's LLC header, so STP's MAC; a core port of another VLAN serves the tag's.
    const Bytes gvrp = tunnelled(frames::gvrp(10));
    ASSERT_EQ(s.frameIn("te1/2", gvrp).socket, chassis::kSocketTunnel);
    EXPECT_THAT(sent(s, seen), ElementsAre(out("te1/0", gvrp), out("te1/1", gvrp),
                                           out("ge0/1", withDst(gvrp, kStpMac)),
                                           out("ge0/2", withDst(gvrp, kStpMac))));
    // Dropped: LLDP has no LLC header; GVRP in a VLAN without STP.
    ASSERT_EQ(s.frameIn("te1/0", tunnelled(frames::lldp(10))).socket, chassis::kSocketTunnel);
    ASSERT_EQ(s.frameIn("te1/2", tunnelled(frames::gvrp(10), 200)).socket, chassis::kSocketTunnel);
    EXPECT_THAT(sent(s, seen), IsEmpty());
    EXPECT_THAT(s.consoleLines(),
                testing::IsSupersetOf(
                    {"l2ptHalProcessTunneledPacket: NULL protocol node for addr 03:a7:31:00:00:00",
                     "l2ptHalProcessTunneledPacket: proto type 1 is not enabled for tunneling "
                     "(flag 4)                      "}));

    // A failed send is reported once, naming its port, and the other ports are still served.
    s.faults().arm("sendto:te1/0", 1);
    ASSERT_EQ(s.frameIn("ge0/1", frames::stp(10)).socket, chassis::kSocketAccess);
    EXPECT_THAT(sent(s, seen),
                ElementsAre(testing::StartsWith("ge0/2 "), testing::StartsWith("te1/1 ")));
    EXPECT_THAT(records(s), ElementsAre(failure("cannot tunnel pkt on vlan te1/0")));
    s.faults().arm("sendto:te1/1", 1);
    s.faults().arm("sendto:ge0/1", 1);
    ASSERT_EQ(s.frameIn("te1/0", tunnelled(frames::stp(10))).socket, chassis::kSocketTunnel);
    EXPECT_THAT(sent(s, seen), ElementsAre(testing::StartsWith("ge0/2 ")));
    EXPECT_THAT(records(s, 1), ElementsAre(failure("cannot redirect tunneled pkt on vlan te1/1"),
                                           failure("cannot redirect tunneled pkt on vlan ge0/1")));
}

TEST(Forwarding, BadPdusAreDroppedBeforeAnySend) {
    auto& s = tsim::boot();
    ozm::sym::set("l2pt_debug_cp", 1);
    tsim::vlanAdd(s, "vl100", L2PT_FLAG_STP | L2PT_FLAG_PVST, {access("ge0/1"), core("te1/0")});
    size_t seen = s.trace().lines().size();
    std::array<uint8_t, L2PT_PKT_BUF_SIZE> buf{};
    const auto put = [&](const Bytes& f) {
        std::copy(f.begin(), f.end(), buf.begin());
        return static_cast<int32_t>(f.size());
    };
    const uint32_t ge01 = s.ifIndex("ge0/1"), te10 = s.ifIndex("te1/0");
    const Bytes stp = frames::stp(10), toCore = tunnelled(stp);
    l2ptProcessPacket(ge01, buf.data(), -1);
    l2ptProcessPacket(ge01, buf.data(), put(Bytes(stp.begin(), stp.begin() + 15)));
    l2ptProcessPacket(ge01, buf.data(), put(withDst(stp, kTunnelMac)));
    l2ptProcessPacket(ge01, buf.data(), put(frames::lldp(10)));
    l2ptProcessPacket(te10, buf.data(), put(stp));
    l2ptProcessTunneledPacket(te10, buf.data(), -1);
    l2ptProcessTunneledPacket(te10, buf.data(), put(Bytes(toCore.begin(), toCore.begin() + 18)));
    l2ptProcessTunneledPacket(te10, buf.data(), put(tunnelled(stp, 300)));
    l2ptProcessTunneledPacket(ge01, buf.data(), put(toCore));
    // The global agent traps PVST on every port of its card, access port or not.
    ASSERT_EQ(s.frameIn("ge2/1", frames::pvst(20)).socket, chassis::kSocketAccess);
    Bytes pvst = frames::pvst(10);
    pvst.resize(L2PT_PKT_BUF_SIZE - 3);
    l2ptProcessPacket(ge01, buf.data(), put(pvst));  // cannot grow by 4 bytes
    EXPECT_THAT(sent(s, seen), IsEmpty());
    EXPECT_THAT(
        s.consoleLines(),
        testing::IsSupersetOf(
            {"l2ptProcessPacket: PDU of len -1 dropped: not a tagged frame",
             "l2ptProcessPacket: PDU of len 15 dropped: not a tagged frame",
             "l2ptProcessPacket: proto type 0 is not enabled for tunneling (flag 9)",
             "l2ptProcessPacket: proto type 2 is not enabled for tunneling (flag 9)",
             "l2ptProcessTunneledPacket: tunneled PDU of len -1 from core port te1/0 dropped: "
             "shorter than its headers",
             "l2ptProcessTunneledPacket: tunneled PDU of len 18 from core port te1/0 dropped: "
             "shorter than its headers",
             "l2ptProcessTunneledPacket: vman id 300 pointer is null",
             "l2ptProcessTunneledPacket: core port pointer is null",
             "l2ptHalProcessPacket: PVST PDU of len 1593 dropped: no room for the provider tag"}));
    EXPECT_EQ(console(s, "l2ptProcessPacket: port pointer is null"), 2u);
    pvst.resize(L2PT_PKT_BUF_SIZE - 4);  // fits exactly
    l2ptProcessPacket(ge01, buf.data(), put(pvst));
    EXPECT_THAT(sent(s, seen), ElementsAre(out("te1/0", tunnelled(pvst))));

    // Behind the inner tag the SNAP protocol id ends at byte 30: a frame of 29 bytes (the buffer
    // still holds the rest) is cut short of it and dropped as a short frame; one of exactly 30
    // bytes is PVST; one not UI or of another protocol is no PVST and goes out as STP.
    Bytes full = tunnelled(frames::pvst(10)), notUi = full, otherPid = full;
    notUi[24] = 0x13;     // the LLC control behind the inner tag
    otherPid[28] = 0x20;  // the SNAP protocol id
    const auto n = static_cast<int32_t>(full.size());
    const uint64_t shortFrames = l2ptDropCount[static_cast<int>(L2ptDropReason::Untagged)];
    put(full);
    l2ptProcessTunneledPacket(te10, buf.data(), 29);
    EXPECT_THAT(sent(s, seen), IsEmpty());
    EXPECT_EQ(l2ptDropCount[static_cast<int>(L2ptDropReason::Untagged)], shortFrames + 1);
    for (const auto& [frame, len, mac] :
         {std::tuple{full, 30, kPvstMac}, {notUi, n, kStpMac}, {otherPid, n, kStpMac}}) {
        put(frame);
        l2ptProcessTunneledPacket(te10, buf.data(), len);
        const Bytes restored = withDst(Bytes(frame.begin(), frame.begin() + len), mac);
        EXPECT_THAT(sent(s, seen), ElementsAre(out("ge0/1", restored))) << len;
    }
}

// A trapped frame that fills the receive buffer exactly is forwarded whole; one byte more and it
// is dropped on either socket, never sent on cut short.
TEST(Forwarding, FramesLongerThanTheReceiveBufferAreDropped) {
    auto& s = tsim::boot();
    ozm::sym::set("l2pt_debug_cp", 1);
    tsim::vlanAdd(s, "vl100", L2PT_FLAG_STP, {access("ge0/1"), core("te1/0")});
    size_t seen = s.trace().lines().size();
    Bytes fits = frames::stp(10), tooLong = fits;
    fits.resize(L2PT_PKT_BUF_SIZE, 0x5A);
    tooLong.resize(L2PT_PKT_BUF_SIZE + 1, 0x5A);
    ASSERT_EQ(s.frameIn("ge0/1", fits).socket, chassis::kSocketAccess);
    EXPECT_THAT(sent(s, seen), ElementsAre(out("te1/0", tunnelled(fits))));
    Bytes fitsTunnelled = tunnelled(frames::stp(10));
    fitsTunnelled.resize(L2PT_PKT_BUF_SIZE, 0x5A);
    Bytes tooLongTunnelled = fitsTunnelled;
    tooLongTunnelled.push_back(0x5A);
    ASSERT_EQ(s.frameIn("te1/0", fitsTunnelled).socket, chassis::kSocketTunnel);
    EXPECT_THAT(sent(s, seen), ElementsAre(out("ge0/1", withDst(fitsTunnelled, kStpMac))));

    ASSERT_EQ(s.frameIn("ge0/1", tooLong).socket, chassis::kSocketAccess);
    ASSERT_EQ(s.frameIn("te1/0", tooLongTunnelled).socket, chassis::kSocketTunnel);
    EXPECT_THAT(sent(s, seen), IsEmpty());
    EXPECT_EQ(console(s,
                      "l2ptProcessPacket: PDU of len 1597 from ge0/1 dropped: longer than the "
                      "receive buffer"),
              1u);
    EXPECT_EQ(console(s,
                      "l2ptProcessTunneledPacket: PDU of len 1597 from te1/0 dropped: longer "
                      "than the receive buffer"),
              1u);
}

}  // namespace
