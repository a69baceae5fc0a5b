// The two PDU paths on the simulated chassis: which ports frames leave, in which order and with
// which bytes, and the drops with their debug lines.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "forwarding/detunnel.h"
#include "forwarding/tunnel.h"
#include "platform/mem.h"
#include "platform/symbols.h"
#include "state/protocol.h"
#include "task/task_main.h"
#include "tests/support/frames.h"
#include "tests/support/task_sim.h"

namespace {

using chassis::DataPlane;
using frames::Bytes;
using testing::Contains;
using testing::ElementsAre;
using testing::IsEmpty;
using tsim::access;
using tsim::core;

constexpr uint16_t kTpid = 0x9100;

// Frames that left ports since the last call, in order, as "<port> <hex>" (from the trace).
class Wire {
  public:
    explicit Wire(chassis::SimSwitch& sim) : sim_(sim), seen_(sim.trace().lines().size()) {}
    std::vector<std::string> sent() {
        std::vector<std::string> out;
        const auto& lines = sim_.trace().lines();
        for (; seen_ < lines.size(); ++seen_) {
            const std::string& l = lines[seen_];
            const size_t port = l.find(" port "), len = l.find(" out len=");
            if (port != std::string::npos && len != std::string::npos) {
                out.push_back(l.substr(port + 6, len - port - 6) + l.substr(l.find(' ', len + 9)));
            }
        }
        return out;
    }

  private:
    chassis::SimSwitch& sim_;
    size_t seen_;
};

std::string out(const std::string& port, const Bytes& frame) {
    return port + " " + frames::hex(frame);
}
Bytes withDst(Bytes frame, const frames::Mac& mac) {
    std::copy(mac.begin(), mac.end(), frame.begin());
    return frame;
}
Bytes tunnelled(const Bytes& customer, uint16_t vlan = 100, uint16_t tpid = kTpid) {
    // PVST keeps the customer's tag.
    const bool pvst =
        std::equal(frames::kPvstMac.begin(), frames::kPvstMac.end(), customer.begin());
    return frames::tunnelled(customer, tpid, vlan, frames::kTunnelMac, pvst);
}
std::vector<std::string> failures(chassis::SimSwitch& sim) {
    std::vector<std::string> texts;
    for (const auto& r : sim.logRecords()) {
        texts.push_back(r.code == 0x3a000d ? r.args.at(0) : r.text);
    }
    return texts;
}

TEST(Tunnel, EachProtocolGoesToOtherAccessPortsThenCorePorts) {
    auto sim = tsim::boot();
    // Port list order: ge0/1, ge0/2 (core), te1/0 (core), te1/1.
    tsim::vlanAdd(*sim, "vl100", L2PT_FLAG_ALL,
                  {access("ge0/1"), core("ge0/2"), core("te1/0"), access("te1/1")});
    tsim::vlanAdd(*sim, "vl200", L2PT_FLAG_STP, {access("ge0/5")});
    Wire wire(*sim);
    const uint32_t blocks = ozm::mem::blocksInUse();
    for (const Bytes& in :
         {frames::stp(10), frames::gvrp(10), frames::lldp(10), frames::pvst(10)}) {
        ASSERT_EQ(sim->frameIn("ge0/1", in), DataPlane::Trap::Access);
        const Bytes toCore = tunnelled(in);
        EXPECT_THAT(wire.sent(),
                    ElementsAre(out("te1/1", withDst(toCore, {in.begin(), in.begin() + 6})),
                                out("ge0/2", toCore), out("te1/0", toCore)));
    }
    EXPECT_EQ(tunnelled(frames::pvst(10)).size(), frames::pvst(10).size() + 4);
    // A VLAN whose only member is the ingress port sends nothing.
    ASSERT_EQ(sim->frameIn("ge0/5", frames::stp(20)), DataPlane::Trap::Access);
    EXPECT_THAT(wire.sent(), IsEmpty());
    EXPECT_EQ(ozm::mem::blocksInUse(), blocks);
    EXPECT_THAT(sim->logRecords(), IsEmpty());

    // A new provider tag protocol identifier and tunnel MAC reach the next PDU.
    sim->ifm().vmanTpid(0x88a8);
    sim->ifm().tunnelMac({0x02, 0x00, 0x00, 0x00, 0x00, 0x01}, false);
    sim->settle();
    ASSERT_EQ(sim->trace().grep("kernel tunnel-mac 02:00:00:00:00:01").size(), 1u);
    const Bytes in = frames::stp(10);
    ASSERT_EQ(sim->frameIn("ge0/1", in), DataPlane::Trap::Access);
    const Bytes toCore = frames::tunnelled(in, 0x88a8, 100, {2, 0, 0, 0, 0, 1}, false);
    EXPECT_THAT(wire.sent(), ElementsAre(out("te1/1", withDst(toCore, frames::kStpMac)),
                                         out("ge0/2", toCore), out("te1/0", toCore)));
}

TEST(Detunnel, RedirectsThenRestoresProtocolMacsAndSurvivesFailedSends) {
    auto sim = tsim::boot();
    ozm::sym::set("l2pt_debug_cp", 1);
    // Port list order: ge0/1, ge0/2, te1/0 (core), te1/1 (core); te1/2 is a core port of vl200.
    tsim::vlanAdd(*sim, "vl100", L2PT_FLAG_STP | L2PT_FLAG_PVST,
                  {access("ge0/1"), access("ge0/2"), core("te1/0"), core("te1/1")});
    tsim::vlanAdd(*sim, "vl200", L2PT_FLAG_GVRP, {access("ge0/3"), core("te1/2")});
    Wire wire(*sim);
    const Bytes stp = tunnelled(frames::stp(10));
    Bytes withPriority = stp;
    withPriority[14] |= 0xE0;  // cleared on the way
    ASSERT_EQ(sim->frameIn("te1/0", withPriority), DataPlane::Trap::Tunnel);
    EXPECT_THAT(wire.sent(),
                ElementsAre(out("te1/1", stp), out("ge0/1", withDst(stp, frames::kStpMac)),
                            out("ge0/2", withDst(stp, frames::kStpMac))));
    const Bytes pvst = tunnelled(frames::pvst(10));
    ASSERT_EQ(sim->frameIn("te1/1", pvst), DataPlane::Trap::Tunnel);
    EXPECT_THAT(wire.sent(),
                ElementsAre(out("te1/0", pvst), out("ge0/1", withDst(pvst, frames::kPvstMac)),
                            out("ge0/2", withDst(pvst, frames::kPvstMac))));
    // GVRP shares STP's LLC header, so STP's MAC; a core port of another VLAN serves the tag's.
    const Bytes gvrp = tunnelled(frames::gvrp(10));
    ASSERT_EQ(sim->frameIn("te1/2", gvrp), DataPlane::Trap::Tunnel);
    EXPECT_THAT(wire.sent(), ElementsAre(out("te1/0", gvrp), out("te1/1", gvrp),
                                         out("ge0/1", withDst(gvrp, frames::kStpMac)),
                                         out("ge0/2", withDst(gvrp, frames::kStpMac))));
    // Dropped: LLDP has no LLC header; GVRP in a VLAN without STP.
    ASSERT_EQ(sim->frameIn("te1/0", tunnelled(frames::lldp(10))), DataPlane::Trap::Tunnel);
    ASSERT_EQ(sim->frameIn("te1/2", tunnelled(frames::gvrp(10), 200)), DataPlane::Trap::Tunnel);
    EXPECT_THAT(wire.sent(), IsEmpty());
    for (const char* line :
         {"l2ptHalProcessTunneledPacket: NULL protocol node for addr 03:a7:31:00:00:00",
          "l2ptProcessTunneledPacket: processing tunneled vlan 200 PDU of len 64 from core port "
          "te1/2",
          "l2ptHalProcessTunneledPacket: proto type 1 is not enabled for tunneling (flag 4)     "
          "                 "}) {
        EXPECT_THAT(sim->consoleLines(), Contains(line));
    }

    // A failed send is reported once, naming its port, and the other ports are still served.
    sim->faults().arm("sendto:te1/0", 1);
    ASSERT_EQ(sim->frameIn("ge0/1", frames::stp(10)), DataPlane::Trap::Access);
    EXPECT_THAT(wire.sent(),
                ElementsAre(testing::StartsWith("ge0/2 "), testing::StartsWith("te1/1 ")));
    EXPECT_THAT(failures(*sim), ElementsAre("cannot tunnel pkt on vlan te1/0"));
    EXPECT_THAT(sim->consoleLines(),
                testing::IsSupersetOf({"l2ptHalProcessPacket: cannot tunnel pkt on vlan te1/0",
                                       "l2ptHalProcessPacket: tunneled pkt on vlan te1/1"}));
    sim->faults().arm("sendto:te1/1", 1);
    sim->faults().arm("sendto:ge0/1", 1);
    ASSERT_EQ(sim->frameIn("te1/0", tunnelled(frames::stp(10))), DataPlane::Trap::Tunnel);
    EXPECT_THAT(wire.sent(), ElementsAre(testing::StartsWith("ge0/2 ")));
    EXPECT_THAT(failures(*sim), ElementsAre("cannot tunnel pkt on vlan te1/0",
                                            "cannot redirect tunneled pkt on vlan te1/1",
                                            "cannot redirect tunneled pkt on vlan ge0/1"));
    EXPECT_THAT(sim->consoleLines(),
                Contains("l2ptHalProcessTunneledPacket: redirected tunneled pkt on vlan ge0/2"));
}

TEST(Forwarding, BadPdusAreDroppedBeforeAnySend) {
    auto sim = tsim::boot();
    ozm::sym::set("l2pt_debug_cp", 1);
    tsim::vlanAdd(*sim, "vl100", L2PT_FLAG_STP | L2PT_FLAG_PVST, {access("ge0/1"), core("te1/0")});
    Wire wire(*sim);
    std::array<uint8_t, L2PT_PKT_BUF_SIZE> buf{};
    const auto put = [&](const Bytes& f) {
        std::copy(f.begin(), f.end(), buf.begin());
        return static_cast<int32_t>(f.size());
    };
    const uint32_t ge01 = sim->ifIndex("ge0/1"), te10 = sim->ifIndex("te1/0");
    const Bytes stp = frames::stp(10), toCore = tunnelled(stp);
    l2ptProcessPacket(ge01, buf.data(), -1);
    l2ptProcessPacket(ge01, buf.data(), put(Bytes(stp.begin(), stp.begin() + 15)));
    l2ptProcessPacket(ge01, buf.data(), put(withDst(stp, frames::kTunnelMac)));
    l2ptProcessPacket(ge01, buf.data(), put(frames::lldp(10)));
    l2ptProcessPacket(te10, buf.data(), put(stp));
    l2ptProcessTunneledPacket(te10, buf.data(), -1);
    l2ptProcessTunneledPacket(te10, buf.data(), put(Bytes(toCore.begin(), toCore.begin() + 18)));
    l2ptProcessTunneledPacket(te10, buf.data(), put(tunnelled(stp, 300)));
    l2ptProcessTunneledPacket(ge01, buf.data(), put(toCore));
    // The global agent traps PVST on every port of its card, access port or not.
    ASSERT_EQ(sim->frameIn("ge2/1", frames::pvst(20)), DataPlane::Trap::Access);
    Bytes pvst = frames::pvst(10);
    pvst.resize(L2PT_PKT_BUF_SIZE - 3);
    l2ptProcessPacket(ge01, buf.data(), put(pvst));  // cannot grow by 4 bytes
    EXPECT_THAT(wire.sent(), IsEmpty());
    EXPECT_THAT(
        sim->consoleLines(),
        testing::IsSupersetOf(
            {"l2ptProcessPacket: PDU of len -1 dropped: not a tagged frame",
             "l2ptProcessPacket: PDU of len 15 dropped: not a tagged frame",
             "l2ptProcessPacket: proto type 0 is not enabled for tunneling (flag 9)",
             "l2ptProcessPacket: proto type 2 is not enabled for tunneling (flag 9)",
             "l2ptProcessTunneledPacket: tunneled PDU of len -1 from core port te1/0 dropped: not "
             "a tagged frame",
             "l2ptGetProtocolNode: frame of len 18 too short for an LLC header",
             "l2ptProcessTunneledPacket: vman id 300 pointer is null",
             "l2ptProcessTunneledPacket: core port pointer is null",
             "l2ptHalProcessPacket: PVST PDU of len 1593 dropped: no room for the provider tag"}));
    EXPECT_EQ(std::count(sim->consoleLines().begin(), sim->consoleLines().end(),
                         "l2ptProcessPacket: port pointer is null"),
              2);
    pvst.resize(L2PT_PKT_BUF_SIZE - 4);  // fits exactly
    l2ptProcessPacket(ge01, buf.data(), put(pvst));
    EXPECT_THAT(wire.sent(), ElementsAre(out("te1/0", tunnelled(pvst))));
}

}  // namespace
