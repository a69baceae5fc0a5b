// The protocol table: classification of PDUs by destination MAC and by LLC header.
#include <gtest/gtest.h>

#include <cstring>

#include "state/protocol.h"
#include "tests/support/frames.h"

namespace {

using frames::Bytes;

TEST(ProtocolTable, IndexAcceptsExactlyOneKnownFlag) {
    EXPECT_EQ(l2ptGetProtocolIndex(L2PT_FLAG_STP), 0);
    EXPECT_EQ(l2ptGetProtocolIndex(L2PT_FLAG_PVST), 3);
    EXPECT_EQ(l2ptGetProtocolIndex(0x03), -1);
    EXPECT_EQ(l2ptGetProtocolIndex(L2PT_FLAG_ALL), -1);  // the tunnel row is never searched
    EXPECT_EQ(l2ptGetProtocolIndex(0x101), -1);         // the whole word is compared
}

TEST(ProtocolTable, MacOfProtocolOrTunnel) {
    uint8_t mac[6] = {};
    EXPECT_EQ(l2ptGetProtocolMac(0, L2PT_FLAG_GVRP, mac), 2);
    EXPECT_EQ(Bytes(mac, mac + 6), frames::kGvrpMac);

    uint8_t untouched[6] = {9, 9, 9, 9, 9, 9};
    EXPECT_EQ(l2ptGetProtocolMac(0, 0x06, untouched), -1);
    EXPECT_EQ(untouched[0], 9);

    const uint8_t configured[6] = {0x02, 0, 0, 0, 0, 0x42};
    l2ptSetTunnelMac(configured);
    EXPECT_EQ(l2ptGetProtocolMac(1, L2PT_FLAG_LLDP, mac), L2PT_FLAG_LLDP);
    EXPECT_EQ(0, std::memcmp(mac, configured, 6));
    l2ptSetTunnelMac(l2ptMacAddr);
}

TEST(ProtocolTable, TypeByDestinationMac) {
    EXPECT_EQ(l2ptGetProtocolType(frames::lldp(10).data()), L2PT_FLAG_LLDP);
    EXPECT_EQ(l2ptGetProtocolType(frames::pvst(10).data()), L2PT_FLAG_PVST);
    EXPECT_EQ(l2ptGetProtocolType(frames::kTunnelMac.data()), 0);
    const Bytes almostStp = {0x01, 0x80, 0xC2, 0x00, 0x00, 0x01};
    EXPECT_EQ(l2ptGetProtocolType(almostStp.data()), 0);
}

TEST(ProtocolTable, NodeOfTunnelledFrameByLlcHeader) {
    const auto node = [](const Bytes& f) {
        return l2ptGetProtocolNode(f.data(), static_cast<int32_t>(f.size()));
    };
    const Bytes stp = frames::tunnelled(frames::stp(10), 0x9100, 100, frames::kTunnelMac, false);
    const Bytes gvrp = frames::tunnelled(frames::gvrp(10), 0x9100, 100, frames::kTunnelMac, false);
    const Bytes pvst = frames::tunnelled(frames::pvst(10), 0x9100, 100, frames::kTunnelMac, true);
    const Bytes lldp = frames::tunnelled(frames::lldp(10), 0x9100, 100, frames::kTunnelMac, false);
    ASSERT_NE(node(stp), nullptr);
    EXPECT_EQ(node(stp)->flag, L2PT_FLAG_STP);
    EXPECT_EQ(node(gvrp)->flag, L2PT_FLAG_STP);  // GARP shares STP's DSAP
    ASSERT_NE(node(pvst), nullptr);
    EXPECT_EQ(node(pvst)->flag, L2PT_FLAG_PVST);  // LLC read behind the inner tag
    EXPECT_EQ(node(lldp), nullptr);

    Bytes otherSnap = pvst;
    otherSnap[28] = 0x20;  // SNAP protocol 0x2000
    otherSnap[29] = 0x00;
    EXPECT_EQ(node(otherSnap)->flag, L2PT_FLAG_STP);
    Bytes notUi = pvst;
    notUi[24] = 0x13;
    EXPECT_EQ(node(notUi)->flag, L2PT_FLAG_STP);
}

TEST(ProtocolTable, NodeNeverReadsPastTheFrame) {
    const Bytes pvst = frames::tunnelled(frames::pvst(10), 0x9100, 100, frames::kTunnelMac, true);
    // Cut just before the DSAP, and inside the SNAP header: nothing past len is read (ASan
    // would catch it in the copies below, which end exactly at len).
    const Bytes cutBeforeDsap(pvst.begin(), pvst.begin() + 22);
    EXPECT_EQ(l2ptGetProtocolNode(cutBeforeDsap.data(), 22), nullptr);
    const Bytes cutInSnap(pvst.begin(), pvst.begin() + 27);
    const L2ptProtocolNode* n = l2ptGetProtocolNode(cutInSnap.data(), 27);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->flag, L2PT_FLAG_STP);  // a SNAP header cut short is not PVST
    EXPECT_EQ(l2ptGetProtocolNode(pvst.data(), 10), nullptr);
}

TEST(ProtocolTable, ProtoStringInRowOrderAndCut) {
    char buf[100];
    buf[0] = '\0';
    l2ptGetProtoString(buf, sizeof buf, 0x0B);
    EXPECT_STREQ(buf, "STP,LLDP,PVST");
    buf[0] = '\0';
    l2ptGetProtoString(buf, sizeof buf, 0x1F);  // bits above 3 ignored
    EXPECT_STREQ(buf, "STP,LLDP,GVRP,PVST");
    std::strcpy(buf, "kept");
    l2ptGetProtoString(buf, sizeof buf, 0x10);
    EXPECT_STREQ(buf, "kept");
    char small[8];
    small[0] = '\0';
    l2ptGetProtoString(small, sizeof small, 0x0F);
    EXPECT_STREQ(small, "STP,LLD");
}

}  // namespace
