// The frame table through the kernel pipeline, and what a table cannot say: a flooded ring,
// segmentation-offloaded frames, the task's socket used to harm. Root: a netns, BPF.
#include <net/if.h>
#include <sys/ioctl.h>

#include <cstring>

#include "tests/support/kernel_runner.h"

namespace netp::linecard {
namespace {

using namespace frametable;
using test::KernelRunner;

class KernelPipeline : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(::geteuid(), 0u) << "this test needs root: it loads BPF programs and makes "
                                      "network and user namespaces with veth pairs";
        ASSERT_NO_FATAL_FAILURE(run.setUp());
    }
    const Table table = load(L2PT_FRAME_TABLE);
    KernelRunner run{table};
};

TEST_F(KernelPipeline, GivesEveryRowsOutcome) {
    for (const auto& step : table.steps)
        std::visit(run, step);
    run.expectAllRan(table);
}

// A customer flooding tunnelled BPDUs in from the core (te1/0's PDU rate off) while the task
// reads nothing is held to its VLAN's share of the ring (half: two ports trap); another
// customer's through the same port and a third's on an access port, at a modest rate, all
// reach it.
TEST_F(KernelPipeline, AFloodingCustomerTakesNoMoreThanItsShareOfTheTasksRing) {
    const Mac stp = {0x01, 0x80, 0xc2, 0, 0, 0};
    run(Entry{"te1/0", std::nullopt, {0x03, 0xa7, 0x31, 0, 0, 0}, 0});
    run(Entry{"ge0/2", std::nullopt, stp, 0});
    run(PduRate{"te1/0", 0});
    // From 02:00:00:00:0b:01 in VLAN 100 under the provider tag, its LLC header, padded.
    Bytes flood = {0x03, 0xa7, 0x31, 0,    0,    0,    0x02, 0,    0,    0,   0x0b,
                   0x01, 0x91, 0x00, 0x00, 0x64, 0x00, 0x26, 0x42, 0x42, 0x03};
    flood.resize(60);
    Bytes vlan200 = flood;
    vlan200[11] = 0x02;
    vlan200[15] = 0xc8;
    Bytes access(flood.begin(), flood.begin() + 12);
    std::copy(stp.begin(), stp.end(), access.begin());
    access[11] = 0x03;
    access.insert(access.end(), flood.begin() + 16, flood.end());
    // A record of a 64-byte frame takes 160 bytes of the ring: the flood is more than a ring.
    constexpr size_t kRecordBytes = 160;
    constexpr size_t kFlood = 40000;
    constexpr size_t kEvery = 400;
    size_t modest = 0;
    for (size_t i = 0; i < kFlood; ++i) {
        run.send("te1/0", flood);
        if (i % kEvery == 0 && ++modest) {
            run.send("te1/0", vlan200);
            run.send("ge0/2", access);
        }
    }
    auto got = run.readRing();
    EXPECT_EQ(got["te1/0 02"], modest) << "the other customer through the same core port";
    EXPECT_EQ(got["ge0/2 03"], modest);
    EXPECT_EQ(run.dropsAt("ge0/2", L2PT_DP_DROP_TASK_BEHIND), 0u);
    EXPECT_EQ(run.dropsAt("ge0/2", L2PT_DP_DROP_PDU_SHARE), 0u);
    EXPECT_GT(run.dropsAt("te1/0", L2PT_DP_DROP_PDU_SHARE), 0u);
    EXPECT_LE(got["te1/0 01"] * kRecordBytes, L2PT_RING_BYTES / 2 + kRecordBytes)
        << "the flooder's share: half the ring";
    EXPECT_EQ(run.dropsAt("te1/0", L2PT_DP_DROP_TASK_BEHIND), 0u);
}

// A segmentation-offloaded frame's segments (headers, gso bytes, a pushed tag) must fit a way
// out's MTU (1500 here, the Ethernet header and a tag allowed over it), not the gso bytes alone.
TEST_F(KernelPipeline, ASegmentedFrameIsJudgedByItsSegmentsWithTheirHeadersAndTag) {
    // r1 is learned behind the core port te1/0, a2 behind the access port ge0/2.
    Bytes fromR1 = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x02, 0,    0,
                    0,    0x0b, 0x01, 0x91, 0x00, 0x00, 0x64, 0x08, 0x00};
    Bytes fromA2 = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x02, 0, 0, 0, 0x0a, 0x02, 0x08, 0x00};
    for (auto [port, f] : {std::pair("te1/0", fromR1), std::pair("ge0/2", fromA2)}) {
        f.resize(64);
        run.send(port, f);
        run.arrived(3);
    }
    run.dropEvents();
    // TCP over IPv4 from ge0/1: 54 bytes of headers a segment.
    constexpr size_t kHeaders = L2PT_ETH_HLEN + 20 + 20;
    constexpr size_t kMost = 1500 + L2PT_ETH_HLEN + L2PT_TAG_LEN;  // a segment on the wire
    constexpr uint32_t kToCore = kMost - kHeaders - L2PT_TAG_LEN;  // the provider tag pushed
    constexpr uint32_t kToAccess = kMost - kHeaders;
    const auto tcpTo = [&](uint8_t host) {
        Bytes f = {0x02, 0,    0,    0, host, 0x01, 0x02, 0, 0,    0, 0x0a, 0x01,
                   0x08, 0x00, 0x45, 0, 0,    0,    0,    0, 0x40, 0, 0x40, 0x06};
        f.resize(kHeaders + 2 * kMost);
        f[L2PT_ETH_HLEN + 20 + 12] = 0x50;  // TCP data offset: 5 words
        return f;
    };
    Bytes toR1 = tcpTo(0x0b);
    Bytes toA2 = tcpTo(0x0a);
    toA2[5] = 0x02;
    // TCP over IPv6 after a destination-options header of 8 bytes, to r1: 82 bytes a segment.
    constexpr size_t kV6Headers = L2PT_ETH_HLEN + 40 + 8 + 20;
    constexpr uint32_t kV6ToCore = kMost - kV6Headers - L2PT_TAG_LEN;
    Bytes v6ToR1 = {0x02, 0, 0, 0, 0x0b, 0x01, 0x02, 0, 0, 0, 0x0a, 0x01, 0x86, 0xdd, 0x60};
    v6ToR1.resize(kV6Headers + 2 * kMost);
    v6ToR1[L2PT_ETH_HLEN + 6] = 60;          // next header: destination options
    v6ToR1[L2PT_ETH_HLEN + 40] = 6;          // then TCP; its length 0: 8 bytes
    v6ToR1[L2PT_ETH_HLEN + 48 + 12] = 0x50;  // TCP data offset: 5 words
    for (const auto& [f, gso] :
         {std::pair{toR1, kToCore}, {toA2, kToAccess}, {v6ToR1, kV6ToCore}}) {
        EXPECT_EQ(run.segmented("ge0/1", f, gso), 1u);
        EXPECT_EQ(run.segmented("ge0/1", f, gso + 1), 0u);
    }
    EXPECT_EQ(run.dropsAt("te1/0", L2PT_DP_DROP_OVER_MTU), 2u);
    EXPECT_EQ(run.dropsAt("ge0/2", L2PT_DP_DROP_OVER_MTU), 1u);

    // To storm control it counts as its segments: of two unknown-unicast frames of two segments,
    // 2 frames a second floods only the first (a test run sends clones nowhere: it leaves by lag1).
    run(Storm{"ge0/1", L2PT_STORM_UNKNOWN, 2, 0});
    const Bytes toNobody = tcpTo(0x0c);
    EXPECT_EQ(run.segmented("ge0/1", toNobody, kToCore), 1u);
    EXPECT_EQ(run.segmented("ge0/1", toNobody, kToCore), 0u);
    // So it does uncounted by the kernel (an untrusted sender): a byte past a segment is two.
    run(Advance{1});
    Bytes twoSegments = toNobody;
    twoSegments.resize(kHeaders + kToCore + 1);
    EXPECT_EQ(run.segmented("ge0/1", twoSegments, kToCore, 0), 1u);
    EXPECT_EQ(run.segmented("ge0/1", twoSegments, kToCore, 0), 0u);
    EXPECT_EQ(run.dropsAt("ge0/1", L2PT_DP_DROP_STORM), 2u);
    // And as many bytes as its segments with headers: twenty of 60 are 2280, not the 1254 that
    // came, past a full bucket of 1518 (8 Kbps, 1000 bytes a second): they leave it 0.76 s owing.
    run(Storm{"ge0/1", L2PT_STORM_UNKNOWN, 0, 8});
    Bytes segments = tcpTo(0x0c);
    segments.resize(kHeaders + 20 * 60);
    EXPECT_EQ(run.segmented("ge0/1", segments, 60), 1u);
    segments.resize(kHeaders + 6);
    EXPECT_EQ(run.segmented("ge0/1", segments, 0), 0u);
    EXPECT_EQ(run.dropsAt("ge0/1", L2PT_DP_DROP_STORM), 3u);
}

// The task's socket reaches the ports only through the pipeline, by the trailer: naming a
// switch interface or bypassing the qdisc gets a frame nowhere; once the role passes, nothing.
TEST_F(KernelPipeline, TheTasksSocketReachesThePortsOnlyThroughThePipeline) {
    Bytes pdu = {0x01, 0x80, 0xc2, 0, 0, 0, 0x02, 0, 0, 0, 0, 0x01, 0x00, 0x26, 0x42, 0x42, 0x03};
    pdu.resize(60);
    // The frame with the trailer naming the ports of those dense indexes.
    const auto toPorts = [&](std::initializer_list<size_t> ports) {
        std::vector<uint32_t> to;
        for (size_t p : ports)
            to.push_back(run.portIfindex(p));
        return withTaskTrailer(pdu, to, L2PT_TX_MAGIC);
    };
    const auto send = [](const Fd& s, const Bytes& f, int ifindex = 0) {
        sockaddr_ll to{};
        to.sll_family = AF_PACKET;
        to.sll_ifindex = ifindex;
        return ::sendto(s.get(), f.data(), f.size(), 0,
                        ifindex ? reinterpret_cast<const sockaddr*>(&to) : nullptr,
                        ifindex ? sizeof to : 0) == static_cast<ssize_t>(f.size());
    };
    const std::vector<Copy> both = {{run.portName(0), pdu}, {run.portName(1), pdu}};

    ASSERT_TRUE(send(run.taskSocket(), toPorts({0, 1}))) << std::strerror(errno);
    EXPECT_EQ(copiesText(run.arrived(2)), copiesText(both));
    EXPECT_EQ(run.stats(0).pdu_tx, 1u);
    EXPECT_EQ(run.stats(1).pdu_tx, 1u);

    // Addressed to a port's interface by its index here, and to every index the link's own
    // namespace may have: nothing arrives.
    for (int ifindex : {static_cast<int>(run.portIfindex(0)), 1, 2, 3})
        (void)send(run.taskSocket(), pdu, ifindex);
    EXPECT_TRUE(run.arrived(0).empty());

    constexpr int kOn = 1;
    ASSERT_EQ(
        ::setsockopt(run.taskSocket().get(), SOL_PACKET, PACKET_QDISC_BYPASS, &kOn, sizeof kOn), 0);
    ASSERT_TRUE(send(run.taskSocket(), toPorts({1})));
    EXPECT_EQ(copiesText(run.arrived(1)), copiesText({both[1]}));
    EXPECT_EQ(run.stats(1).pdu_tx, 2u) << "counted by the pipeline";

    // The role moves on: the old link is no longer heard; after the daemon's next pass, gone.
    Fd old = std::move(run.taskSocket());
    ASSERT_NO_FATAL_FAILURE(run.grant());
    ASSERT_TRUE(send(old, toPorts({0})));
    EXPECT_TRUE(run.arrived(0).empty());
    run.refresh();
    EXPECT_FALSE(send(old, toPorts({0}))) << "the old link is gone";
    ASSERT_TRUE(send(run.taskSocket(), toPorts({0}))) << std::strerror(errno);
    EXPECT_EQ(copiesText(run.arrived(1)), copiesText({both[0]}));

    // A port whose line card went away sends nothing, its interface up or not.
    const size_t ge20 = 8;
    ASSERT_EQ(run.portName(ge20), "ge2/0");
    run(Card{2, false});
    ASSERT_TRUE(send(run.taskSocket(), toPorts({0, ge20})));
    EXPECT_EQ(copiesText(run.arrived(1)), copiesText({both[0]}));
    EXPECT_EQ(run.stats(ge20).drops[L2PT_DP_DROP_CARD_ABSENT], 1u);

    // One frame, two forms: a customer-tagged PDU as it is, and tunnelled (an 802.1ad tag pushed
    // outside its own); and back. By the macvlan the socket is bound to (our end's egress), and
    // by the veth end beside it (our end's ingress, whose receive takes outer tags into the
    // metadata: they must leave in their place).
    const Bytes tunnelMac(std::begin(l2pt_default_tunnel_mac), std::end(l2pt_default_tunnel_mac));
    const Bytes cTag = {0x81, 0x00, 0x00, 0x0a};
    const Bytes sTag = {0x91, 0x00, 0x00, 0x64};  // VLAN 100, whose core port te1/0 is
    const size_t te10 = 5;
    ASSERT_EQ(run.portName(te10), "te1/0");
    Bytes pvst = pdu;
    pvst.insert(pvst.begin() + 2 * L2PT_ETH_ALEN, cTag.begin(), cTag.end());
    Bytes tunnelled(tunnelMac);
    tunnelled.insert(tunnelled.end(), pvst.begin() + L2PT_ETH_ALEN,
                     pvst.begin() + 2 * L2PT_ETH_ALEN);
    tunnelled.insert(tunnelled.end(), sTag.begin(), sTag.end());
    tunnelled.insert(tunnelled.end(), pvst.begin() + 2 * L2PT_ETH_ALEN, pvst.end());
    Bytes push(tunnelMac);
    push.insert(push.end(), sTag.begin(), sTag.end());
    Bytes pop(pvst.begin(), pvst.begin() + L2PT_ETH_ALEN);
    pop.resize(pop.size() + L2PT_TAG_LEN);
    ifreq peer{};
    std::strncpy(peer.ifr_name, "peer", IFNAMSIZ - 1);
    ASSERT_EQ(::ioctl(run.taskSocket().get(), SIOCGIFINDEX, &peer), 0) << std::strerror(errno);
    for (int to : {0, peer.ifr_ifindex}) {
        for (const auto& [in, asIs, how, retagged] :
             {std::tuple{pvst, size_t{0}, push, te10}, {tunnelled, te10, pop, size_t{0}}}) {
            ASSERT_TRUE(send(run.taskSocket(),
                             withTaskTrailer(in, {run.portIfindex(asIs)}, L2PT_TX_MAGIC_RETAG,
                                             {run.portIfindex(retagged)}, how),
                             to));
            EXPECT_EQ(copiesText(run.arrived(2)),
                      copiesText({{run.portName(0), pvst}, {run.portName(te10), tunnelled}}))
                << (to ? "by the veth" : "by the macvlan");
        }
    }
}

}  // namespace
}  // namespace netp::linecard
