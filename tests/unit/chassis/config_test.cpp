// The chassis file loader and the interface database built from it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "chassis/ifdb.h"
#include "platform/ifm.h"
#include "test_chassis.h"

namespace chassis {
namespace {

using ::testing::HasSubstr;

std::string loadError(std::string_view yaml) {
    try {
        IfDb db(loadChassisText(yaml, "bad.yaml"));
    } catch (const ConfigError& e) {
        return e.what();
    }
    return "no error";
}

TEST(ChassisFile, ReadsEverySection) {
    const auto cfg = test::config();
    EXPECT_EQ(cfg.slots, 12u);
    EXPECT_TRUE(cfg.rpm.primary);
    EXPECT_EQ(cfg.rpm.masterSlot, 1u);
    EXPECT_EQ(cfg.rpm.peer.role, PeerRole::Primary);
    EXPECT_EQ(cfg.rpm.peer.bitmap, 0xc0000000u);
    ASSERT_EQ(cfg.lineCards.size(), 3u);
    EXPECT_EQ(cfg.lineCards[0].ports.size(), 4u);  // the range gives three, one more by number
    EXPECT_EQ(cfg.lineCards[0].ports[2].name, "p0/2");
    EXPECT_EQ(cfg.lineCards[0].ports[2].longName, "Port 0/2");
    EXPECT_EQ(cfg.lineCards[0].ports[3].unit, 0u);  // unit defaults to the slot
    EXPECT_EQ(cfg.lineCards[2].agent, AgentMode::Silent);
    EXPECT_FALSE(cfg.lineCards[2].present);
    EXPECT_EQ(cfg.tunnelling.vmanTpid, 0x88a8);
    EXPECT_EQ(cfg.tunnelling.vlans[0].protocols, kProtoStp | kProtoPvst);
    EXPECT_TRUE(cfg.tunnelling.vlans[0].ports[1].core);
    EXPECT_EQ(cfg.pools.at("L2PT_VMAN_POOL"), 3u);
}

TEST(ChassisFile, ErrorsNameTheFileAndLine) {
    EXPECT_EQ(loadError("chassis: {slots: 40}\n"), "bad.yaml:1: slots 40 is out of range 0..32");
    EXPECT_EQ(loadError("chassis:\n  slots: 12\n  colour: red\n"),
              "bad.yaml:3: unknown key 'colour'");
    EXPECT_THAT(loadError("line_cards:\n  - {slot: 0, type: 3}\n"),
                HasSubstr("bad.yaml:2: line card in slot 0 has unknown card type 3"));
    EXPECT_THAT(loadError("chassis: [unclosed\n"), HasSubstr("bad.yaml:"));
    EXPECT_THAT(
        loadError(
            "card_types: [{id: 1}]\nline_cards:\n  - {slot: 0, type: 1, ports: [{range: 5-2}]}\n"),
        HasSubstr("bad.yaml:3: range 5-2"));
    EXPECT_THAT(
        loadError("card_types: [{id: 1}]\nline_cards:\n  - {slot: 0, type: 1, agent: loud}\n"),
        HasSubstr("bad.yaml:3: agent must be per-port, global or silent"));
    EXPECT_THAT(loadError("tunnelling:\n  vlans:\n    - {vlan: v1, protocols: [stp, ftp]}\n"),
                HasSubstr("bad.yaml:3: unknown protocol 'ftp'"));
    EXPECT_THAT(loadError("tunnelling:\n  tunnel_mac: 03:a7:31\n"),
                HasSubstr("bad.yaml:2: tunnel_mac"));
}

TEST(ChassisFile, RejectsInconsistentInterfaces) {
    // One card type may not map the same port to two pipes.
    EXPECT_EQ(loadError(R"(card_types: [{id: 1}]
line_cards:
  - {slot: 0, type: 1, ports: [{number: 4, pipe: 0}]}
  - {slot: 1, type: 1, ports: [{number: 4, pipe: 1}]}
)"),
              "bad.yaml:4: card type 1 maps port 4 to pipe 1 here and to pipe 0 elsewhere");
    EXPECT_EQ(loadError(R"(card_types: [{id: 1}]
line_cards: [{slot: 0, type: 1, ports: [{number: 1, name: x}, {number: 2, name: x}]}]
)"),
              "bad.yaml:2: interface name 'x' is used twice");
    EXPECT_EQ(loadError("lags:\n  - {number: 1, members: [nowhere]}\n"),
              "bad.yaml:2: LAG member 'nowhere' is not a port");
    EXPECT_EQ(loadError(R"(card_types: [{id: 1}]
line_cards: [{slot: 0, type: 1, ports: [{number: 1, name: a}]}]
lags:
  - {number: 1, members: [a]}
  - {number: 2, members: [a]}
)"),
              "bad.yaml:5: port 'a' is already a member of a LAG");
}

TEST(InterfaceDatabase, AnswersByIfIndex) {
    const auto cfg = test::config();
    IfDb db(cfg);
    const uint32_t p02 = *db.find("p0/2");
    EXPECT_EQ(p02, portIfIndex(0, 2));
    const ozm::IfInfo* i = db.info(p02);
    ASSERT_NE(i, nullptr);
    EXPECT_EQ(i->type, OZM_IFTYPE_ETHERNET);
    EXPECT_EQ(i->slot, 0);
    EXPECT_EQ(i->cardType, 7);
    EXPECT_EQ(i->portId, 2);
    EXPECT_EQ(i->sfUnit, 3);
    EXPECT_EQ(i->longName, "Port 0/2");

    const ozm::IfInfo* lag = db.info(*db.find("lag5"));
    ASSERT_NE(lag, nullptr);
    EXPECT_EQ(lag->type, OZM_IFTYPE_LAG);
    EXPECT_EQ(lag->ifNum, 5);
    const ozm::IfInfo* vlan = db.info(*db.find("v4095"));
    ASSERT_NE(vlan, nullptr);
    EXPECT_EQ(vlan->type, OZM_IFTYPE_VLAN);
    EXPECT_EQ(vlan->vlanId, 4095);

    EXPECT_EQ(db.pipeOf(9, 1), 1);
    EXPECT_EQ(db.pipeOf(7, 200), -1);
    EXPECT_EQ(db.pipeOf(-1, 0), -1);
    EXPECT_EQ(db.tenGig(9), 1);
    EXPECT_EQ(db.tenGig(7), 0);
    EXPECT_EQ(db.portVlan(*db.find("p0/3")), 30);
    EXPECT_EQ(db.portVlan(p02), kDefaultPortVlan);
}

TEST(InterfaceDatabase, UnknownInterfaces) {
    IfDb db(test::config());
    // Right kind, position not configured; unknown kind; positions past every table.
    for (uint32_t ifIndex : {portIfIndex(0, 9), portIfIndex(31, 255), lagIfIndex(6),
                             vlanIfIndex(8191), 0u, 0xFFFFFFFFu, 0x01FFFFFFu, 0x03FFFFFFu}) {
        EXPECT_EQ(db.info(ifIndex), nullptr) << ifIndex;
        EXPECT_EQ(db.name(ifIndex), "ifIndex " + std::to_string(ifIndex));
    }
}

TEST(InterfaceDatabase, LagMembershipStaysOrderedAndExclusive) {
    IfDb db(test::config());
    const uint32_t lag = *db.find("lag5");
    EXPECT_EQ(db.lagMembers(lag), (std::vector<uint32_t>{*db.find("p0/2"), *db.find("p1/1")}));
    EXPECT_FALSE(db.addLagMember(lag, *db.find("p0/2")));  // already a member
    EXPECT_TRUE(db.addLagMember(lag, *db.find("p0/0")));
    EXPECT_EQ(db.lagMembers(lag).front(), *db.find("p0/0"));
    EXPECT_EQ(db.lagOf(*db.find("p0/0")), lag);
    EXPECT_TRUE(db.removeLagMember(lag, *db.find("p0/0")));
    EXPECT_FALSE(db.removeLagMember(lag, *db.find("p0/0")));
    EXPECT_EQ(db.lagOf(*db.find("p0/0")), std::nullopt);
    EXPECT_FALSE(db.addLagMember(*db.find("v100"), *db.find("p0/0")));
}

}  // namespace
}  // namespace chassis
