// The chassis file loader and the interface database built from it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "chassis/ifdb.h"
#include "chassis/rules.h"
#include "chassis/yaml.h"
#include "test_chassis.h"

namespace chassis {
namespace {

std::string loadError(std::string_view yaml) {
    try {
        checkConfig(loadChassisText(yaml, "bad.yaml"));
    } catch (const ConfigError& e) {
        return e.what();
    }
    return "no error";
}

TEST(ChassisFile, ErrorsNameTheFileAndLine) {
    // One line card of type 1 in slot 0, its ports and agent as a row ends it.
    const std::string cards = "card_types: [{id: 1}]\nline_cards:\n  - {slot: 0, type: 1, ";
    const std::pair<std::string, std::string_view> cases[] = {
        {"chassis: {slots: 40}\n", "bad.yaml:1: slots 40 is out of range 0..32"},
        {"chassis:\n  slots: 12\n  colour: red\n", "bad.yaml:3: unknown key 'colour'"},
        {"line_cards:\n  - {slot: 0, type: 3}\n",
         "bad.yaml:2: line card in slot 0 has unknown card type 3"},
        {"chassis: [unclosed\n", "bad.yaml:"},
        {cards + "ports: [{range: 5-2}]}\n", "bad.yaml:3: range 5-2"},
        {cards + "ports: [{range: 250-256}]}\n", "bad.yaml:3: range 250-256 is out of 0..255"},
        {cards + "ports: [{number: 1, vlan: 4095}]}\n",
         "bad.yaml:3: vlan 4095 is out of range 1..4094"},
        {cards + "ports: [{number: 1, vlan: 0}]}\n", "bad.yaml:3: vlan 0 is out of range 1..4094"},
        {"chassis: {slots: 2}\ncard_types: [{id: 1}]\nline_cards: [{slot: 2, type: 1}]\n",
         "bad.yaml:3: slot 2 is beyond the chassis' 2 slots"},
        {cards + "agent: loud}\n", "bad.yaml:3: agent must be per-port, global or silent"},
        {"tunnelling:\n  vlans:\n    - {vlan: v1, protocols: [stp, ftp]}\n",
         "bad.yaml:3: unknown protocol 'ftp'"},
        {"tunnelling:\n  vlans:\n    - {vlan: v1, protocols: [stp], rate: 65536}\n",
         "bad.yaml:3: rate 65536 is out of range 0..65535"},
        {"tunnelling:\n  tunnel_mac: 03:a7:31\n", "bad.yaml:2: tunnel_mac"},
        {"data_plane:\n  ageing: 0\n", "bad.yaml:2: ageing 0 is out of range 1..1000000"},
        // Learning: the table's size at its edges, limits by port or VLAN, never both.
        {"data_plane: {fdb_entries: 63}\n", "bad.yaml:1: fdb_entries 63 is out of range 64.."},
        {"data_plane: {fdb_entries: 1048577}\n", "bad.yaml:1: fdb_entries 1048577 is out of"},
        {"data_plane: {learn_limit: 1048577}\n", "bad.yaml:1: learn_limit 1048577 is out of"},
        {"data_plane: {learning: [{vlan: 4096, limit: 1}]}\n", "bad.yaml:1: vlan 4096 is out"},
        {"data_plane: {learning: [{limit: 1}]}\n",
         "bad.yaml:1: a learning limit names either a 'port' or a 'vlan'"},
        {"data_plane: {learning: [{port: a, vlan: 1}]}\n",
         "bad.yaml:1: a learning limit names either a 'port' or a 'vlan'"},
        {"data_plane: {learning: [{vlan: 1, action: drop}]}\n",
         "bad.yaml:1: a VLAN's limit has no action"},
        {"data_plane:\n  learning:\n    - {port: nowhere, limit: 1}\n",
         "bad.yaml:3: learning: 'nowhere' is no port or LAG"},
        {cards +
             "ports: [{number: 1, name: a}]}\ndata_plane: {learning: [{port: a, action: flood}]}\n",
         "bad.yaml:4: action must be forward or drop, not 'flood'"},
        {"data_plane:\n  pdu_rate: 4294967296\n",
         "bad.yaml:2: pdu_rate 4294967296 is out of range 0..4294967295"},
        // A port's policing.
        {cards + "ports: [{number: 1, storm: {colour: 5}}]}\n",
         "bad.yaml:3: unknown storm class 'colour'"},
        {cards + "ports: [{number: 1, storm: {broadcast: 0}}]}\n",
         "bad.yaml:3: broadcast 0 is out of range 1..4294967295"},
        {cards + "ports: [{number: 1, storm: {multicast: {kbps: 0}}}]}\n",
         "bad.yaml:3: kbps 0 is out of range 1..4294967295"},
        {cards + "ports: [{number: 1, storm: {multicast: {fps: 0, kbps: 8}}}]}\n",
         "bad.yaml:3: fps 0 is out of range 1..4294967295"},
        {cards + "ports: [{number: 1, storm: {multicast: {burst: 5}}}]}\n",
         "bad.yaml:3: unknown key 'burst'"},
        {cards + "ports: [{number: 1, storm: [broadcast]}]}\n",
         "bad.yaml:3: storm: expected a mapping"},
        // Interfaces that contradict each other.
        {cards + "ports: [{number: 4, pipe: 0}]}\n  - {slot: 1, type: 1, ports: [{number: 4, pipe: "
                 "1}]}\n",
         "bad.yaml:4: card type 1 maps port 4 to pipe 1 here and to pipe 0 elsewhere"},
        {cards + "ports: [{number: 1, name: x}, {number: 2, name: x}]}\n",
         "bad.yaml:3: interface name 'x' is used twice"},
        {"lags:\n  - {number: 1, members: [nowhere]}\n",
         "bad.yaml:2: LAG member 'nowhere' is not a port"},
        {cards + "ports: [{number: 1, name: a}]}\nlags: [{number: 1, members: [a]}, {number: 2, "
                 "members: [a]}]\n",
         "bad.yaml:4: port 'a' is a member of 'lag1' already"},
        // Names that nothing answers to, numbers that are not numbers, more than one document.
        {"pools:\n  L2PT_VMAN_POOL: 3\n  L2PT_SPARE_POOL: 1\n",
         "bad.yaml:3: unknown pool 'L2PT_SPARE_POOL'"},
        {"faults: [ifm-silent, {point: acl-silent:x}]\n",
         "bad.yaml:1: unknown fault point 'acl-silent:x'"},
        {cards + "ports: [{range: 0-3x}]}\n",
         "bad.yaml:3: range must read FIRST-LAST (two numbers), not '0-3x'"},
        {"chassis: {slots: 040}\n", "bad.yaml:1: slots 040 is out of range 0..32"},  // not 32
        {"chassis: {slots: 1e}\n", "bad.yaml:1: slots: expected a decimal or 0x hex number"},
        {"chassis: {slots: [1]}\n", "bad.yaml:1: slots: expected a number, not a list"},
        {"chassis: {[a]: 1}\n", "bad.yaml:1: expected a name as the key"},
        {"chassis: {slots: 4}\n---\nchassis: {slots: 5}\n",
         "bad.yaml:2: a second YAML document: a chassis file holds one"},
        {",", "bad.yaml:1: did not find expected node content"},
        {"chassis: {name: *n}\n", "bad.yaml:1: alias *n names no node before it"},
        // Values the line cards cannot carry, refused as an operator's change is.
        {"tunnelling: {vman_tpid: 1535}\n",
         "bad.yaml:1: vman_tpid 1535 is no EtherType (0x0600 and above; below is a length)"},
        {"tunnelling: {tunnel_mac: 'ff:ff:ff:ff:ff:ff'}\n",
         "bad.yaml:1: tunnel_mac ff:ff:ff:ff:ff:ff cannot be the tunnel MAC"},
        {"tunnelling: {tunnel_mac: '01:80:c2:00:00:2f'}\n", "bad.yaml:1: tunnel_mac 01:80"},
        // An alias inside the node it names would be a cycle.
        {"chassis: &c {name: *c}\n", "bad.yaml:1: alias *c names no node before it"},
    };
    EXPECT_EQ(loadError("data_plane: {fdb_entries: 64, learning: [{vlan: 4095, limit: 0}]}\n"),
              "no error");
    EXPECT_EQ(loadError("data_plane: {fdb_entries: 1048576, learn_limit: 1048576}\n"), "no error");
    EXPECT_EQ(loadError("tunnelling: {vman_tpid: 0x600, tunnel_mac: '01:80:c2:00:00:30'}\n"),
              "no error");
    for (const auto& [yaml, error] : cases)
        EXPECT_THAT(loadError(yaml), ::testing::StartsWith(std::string(error))) << yaml;
}

TEST(ChassisFile, ReadsAliasesAsTheNodesTheyName) {
    const ChassisConfig cfg = loadChassisText(
        "vlans: [{id: 100, name: &n vl100}, {id: 200, name: v200}]\ntunnelling:\n  vlans:\n"
        "    - {vlan: *n, protocols: &p [stp, lldp], ports: []}\n"
        "    - {vlan: v200, protocols: *p, ports: []}\n",
        "ok.yaml");
    ASSERT_EQ(cfg.tunnelling.vlans.size(), 2u);
    EXPECT_EQ(cfg.tunnelling.vlans[0].vlan.name, "vl100");
    EXPECT_EQ(cfg.tunnelling.vlans[1].protocols, kProtoStp | kProtoLldp);
    // Each level names the one before ten times: what they expand to is bounded.
    std::string bomb = "a0: &a0 [x, x, x, x, x, x, x, x, x, x]\n";
    for (int i = 1; i < 9; ++i) {
        const std::string prev = "*a" + std::to_string(i - 1);
        bomb += "a" + std::to_string(i) + ": &a" + std::to_string(i) + " [" + prev;
        for (int k = 1; k < 10; ++k)
            bomb += ", " + prev;
        bomb += "]\n";
    }
    EXPECT_EQ(loadError(bomb), "bad.yaml:8: aliases expand this past 16777216 nodes");
}

// The state file's text reads back as itself, also one plain would read as null or syntax.
TEST(ChassisFile, WritesTextThatReadsBackAsItself) {
    const std::vector<std::string> texts = {
        "",    "~",   "null", "Null", "NULL", "a: b", "#c",   "- d",
        "'e'", "[f]", "{g}",  "*h",   "&i j", "k\nl", "v100", "01:80:c2:00:00:0e"};
    YamlOut list = YamlOut::list(true);
    for (const auto& t : texts)
        list.push(YamlOut::text(t));
    const YamlDoc doc(list.emit(), "rt.yaml");
    const std::vector<YamlNode> items = doc.root().items();
    ASSERT_EQ(items.size(), texts.size()) << list.emit();
    for (size_t i = 0; i < texts.size(); ++i) {
        EXPECT_TRUE(items[i].isScalar()) << texts[i];
        EXPECT_EQ(items[i].scalar(), texts[i]);
    }
}

TEST(ChassisFile, ReadsTheReservedAddressesActions) {
    constexpr std::string_view kBase =
        "card_types: [{id: 1}]\nline_cards: [{slot: 0, type: 1, ports: [{range: 1-2, name: "
        "\"ge0/{n}\"}]}]\nlags: [{number: 1, members: [ge0/2]}]\nvlans: [{id: 100, name: vl100}, "
        "{id: 5000, name: big}]\n";
    const ChassisConfig cfg = loadChassisText(
        std::string(kBase) +
            "l2cp:\n  - {port: ge0/1, addresses: [01-0a, 0e], action: forward}\n"
            "  - {port: lag1, vlan: vl100, addresses: 01:80:C2:00:00:2f, action: tunnel}\n"
            "  - {port: ge0/1, addresses: all, action: default}\n",
        "ok.yaml");
    ASSERT_EQ(cfg.l2cp.size(), 3u);
    EXPECT_EQ(cfg.l2cp[0].addresses, 0x47FEu);
    EXPECT_EQ(cfg.l2cp[0].action, L2cpAction::Forward);
    EXPECT_EQ(cfg.l2cp[1].addresses, 1u << 31);
    EXPECT_EQ(cfg.l2cp[1].vlan->name, "vl100");
    EXPECT_EQ(cfg.l2cp[2].addresses, 0xFFFFFFFFu);
    const IfDb db(cfg);
    const auto rows = resolveL2cp(db, cfg);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[1].ifIndex, *db.find("lag1"));
    EXPECT_EQ(rows[1].vid, 100);
    EXPECT_EQ(rows[0].vid, kL2cpAnyVlan);

    EXPECT_EQ(l2cpAddressesText(0x47FEu), "01-0a,0e");
    EXPECT_EQ(l2cpAddressesText(0xFFFF0001u), "00,20-2f");
    EXPECT_EQ(l2cpAddressesText(0x8000C000u), "0e-0f,2f");
    for (const char* bad : {"10", "0e-21", "2f-20", "01,", "01:80:c2:00:01:00", "", "al"})
        EXPECT_FALSE(parseL2cpAddresses(bad)) << bad;

    // Each row the one entry of the l2cp list from its port on, each error on line 6.
    const std::pair<std::string_view, std::string_view> errors[] = {
        {"ge0/1, addresses: 10, action: discard", "addresses: reserved addresses"},
        {"ge0/1, addresses: 0e, action: drop",
         "action must be tunnel, discard, forward or default, not 'drop'"},
        {"ge0/1, addresses: 0e", "missing 'action'"},
        {"nowhere, addresses: 0e, action: forward", "no interface named 'nowhere'"},
        {"vl100, addresses: 0e, action: forward", "'vl100' is not a port or LAG of the chassis"},
        {"ge0/1, vlan: ge0/2, addresses: 0e, action: forward", "'ge0/2' is not a VLAN of the"},
        {"ge0/1, vlan: big, addresses: 0e, action: forward",
         "'big' has VLAN id 5000: the data plane holds VLANs 0-4095"},
    };
    for (const auto& [row, error] : errors)
        EXPECT_THAT(loadError(std::string(kBase) + "l2cp:\n  - {port: " + std::string(row) + "}\n"),
                    ::testing::StartsWith("bad.yaml:6: " + std::string(error)))
            << row;
}

// The line cards' reserved-address rows are bounded: a change that would add one past them is
// refused and changes nothing, a change of a row held or one that frees a row is taken.
TEST(ChassisFile, ReservedAddressRowsStopAtTheLineCardsTable) {
    L2cpTable t;
    for (uint32_t i = 0; i < L2cpTable::kMaxRows; ++i)
        ASSERT_TRUE(t.set(i / 4096, static_cast<uint16_t>(i % 4096), 1, L2cpAction::Forward)) << i;
    const uint64_t generation = t.generation();
    EXPECT_FALSE(t.set(99, kL2cpAnyVlan, 1, L2cpAction::Discard));
    EXPECT_EQ(t.generation(), generation);
    EXPECT_EQ(t.action(99, std::nullopt, 0), L2cpAction::Default);
    EXPECT_TRUE(t.set(99, kL2cpAnyVlan, 1, L2cpAction::Default));  // no row: nothing to hold
    EXPECT_TRUE(t.set(0, 7, 3, L2cpAction::Tunnel));
    EXPECT_EQ(t.action(0, 7, 1), L2cpAction::Tunnel);
    EXPECT_TRUE(t.set(0, 7, 3, L2cpAction::Default));
    EXPECT_TRUE(t.set(99, kL2cpAnyVlan, 1, L2cpAction::Discard));
    EXPECT_EQ(t.rows().size(), L2cpTable::kMaxRows);

    // The chassis file: the entry that would be a row more is refused, on its line.
    EXPECT_EQ(loadError(test::fullL2cpChassis()), "no error");
    EXPECT_THAT(loadError(test::fullL2cpChassis(1)),
                ::testing::StartsWith("bad.yaml:" + std::to_string(5 + L2cpTable::kMaxRows) + ": " +
                                      L2cpTable::fullText()));
}

// PDU rates as the chassis file gives them, the default elsewhere (storm limits: StateStore).
TEST(ChassisFile, ReadsEachPortsPduRate) {
    const ChassisConfig cfg = loadChassisText(
        "card_types: [{id: 1}]\nline_cards: [{slot: 0, type: 1, ports: [{range: 1-2, pdu_rate: 0}, "
        "{number: 3}]}]\ndata_plane: {pdu_rate: 100}\n");
    const auto& ports = cfg.lineCards.at(0).ports;
    ASSERT_EQ(ports.size(), 3u);
    EXPECT_EQ(ports[1].policing.pduRate, 0u);
    EXPECT_EQ(ports[2].policing.pduRate, std::nullopt);
    EXPECT_EQ(cfg.dataPlane.pduRate, 100u);
    EXPECT_EQ(loadChassisText("chassis: {name: x}\n").dataPlane.pduRate, kDefaultPduRate);
}

TEST(ChassisFile, KnowsItsFaultPointsAndPools) {
    // The points the task's tests arm are known, or they would not load.
    for (auto p : {"sendto:", "socket:inet6", "pool-delete:L2PT_X_POOL"})
        EXPECT_FALSE(knownFaultPoint(p)) << p;
    const std::string dir = ::testing::TempDir();
    try {
        loadChassisFile(dir);
        ADD_FAILURE() << "a directory loaded";
    } catch (const ConfigError& e) {
        EXPECT_THAT(e.what(), ::testing::HasSubstr("is a directory, not a chassis file"));
    }
}

// The interface records the task reads; none for an ifIndex past the tables.
TEST(InterfaceDatabase, AnswersByIfIndex) {
    IfDb db(test::config());
    EXPECT_EQ(*db.find("p0/2"), portIfIndex(0, 2));
    EXPECT_EQ(db.pipeOf(7, 200), -1);
    EXPECT_EQ(db.pipeOf(-1, 0), -1);
    // Right kind, position not configured; unknown kind; positions past every table.
    for (uint32_t ifIndex : {portIfIndex(0, 9), portIfIndex(31, 255), lagIfIndex(6),
                             vlanIfIndex(8191), 0u, 0xFFFFFFFFu, 0x01FFFFFFu, 0x03FFFFFFu}) {
        EXPECT_EQ(db.info(ifIndex), nullptr) << ifIndex;
        EXPECT_EQ(db.name(ifIndex), "ifIndex " + std::to_string(ifIndex));
    }
    EXPECT_FALSE(db.isLag(portIfIndex(0, 5))) << "a port's ifIndex at lag5's position";
}

}  // namespace
}  // namespace chassis
