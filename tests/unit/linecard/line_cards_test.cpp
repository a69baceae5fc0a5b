// LineCards over the in-memory tables (no root): what the chassis models do reaches the tables.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/eventfd.h>

#include <cerrno>
#include <map>

#include "chassis/chassis.h"
#include "net/linecard/line_cards.h"
#include "net/linecard/records.h"
#include "net/linecard/trace_lines.h"
#include "net/pipeline/clock.h"
#include "net/pipeline/mem_tables.h"
#include "net/port/mem_port_ops.h"
#include "tests/unit/chassis/test_chassis.h"

namespace netp::linecard {
namespace {

using pipeline::MemTables;
using pipeline::TrapKey;
using ::testing::HasSubstr;

constexpr uint8_t kModePort = 1;
constexpr pipeline::Mac kNewTunnel = {0x03, 0xa7, 0x31, 0x00, 0x00, 0x01};
constexpr pipeline::Mac kThirdTunnel = {0x03, 0xa7, 0x31, 0x00, 0x00, 0x02};
constexpr pipeline::Mac kHost = {0x02, 0, 0, 0, 0, 0x0a};
constexpr uint32_t kLag1 = L2PT_LAG_BASE;  // the test chassis's only LAG

pipeline::Mac macOf(uint32_t i) {
    return {0x02, 0, 0, 0, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
}

// The frame table's chassis: VLAN 100 access ge0/1, ge0/2, core te1/0, lag1 (te1/1, te1/2); each
// port on an interface of its name ("ge0_1"); te1/0 forwards LLDP in VLAN 200; lag1 learns two
// MACs at most, dropping new sources past them; a MAC ages in 1 s.
chassis::ChassisConfig netdevChassis() {
    auto cfg =
        chassis::test::withNetdevs(chassis::loadChassisFile(L2PT_DATAPLANE_DIR "/chassis.yaml"));
    cfg.l2cp.push_back(
        {{"te1/0", 0}, chassis::NameRef{"vl200", 0}, 1u << 14, chassis::L2cpAction::Forward, 0});
    cfg.dataPlane.learning.push_back({"lag1", std::nullopt, 2, true});
    cfg.dataPlane.ageingSeconds = 1;
    return cfg;
}

class LineCardsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        auto t = MemTables::create();
        ASSERT_TRUE(t) << t.status().what();
        tables = std::move(*t);
        startCards();
    }
    // The line cards over the tables as they are (a daemon's start), with a new port layer.
    void startCards() { startCards(chassis); }
    void startCards(chassis::Chassis& c) {
        ports.emplace(
            LineCards::netdevs(c), ops, port::TcPrograms{},
            [this](size_t p, const auto& was) { cards->portChanged(p, was); }, [](auto&) {});
        auto started = LineCards::start(
            c, *tables, *ports, [this](std::string_view l) { log += l; },
            [this](uint16_t generation) -> pipeline::Result<TaskTx> {
                links.push_back(generation);
                return TaskTx{Fd(::eventfd(0, EFD_CLOEXEC)), kLinkBase + generation, nullptr};
            });
        ASSERT_TRUE(started) << started.status().what();
        cards = std::move(*started);
    }
    void TearDown() override { EXPECT_EQ(log, "") << "nothing failed"; }

    uint32_t ifIndex(const std::string& name) { return *chassis.ifdb().find(name); }
    uint32_t lport(const std::string& name) {
        return static_cast<uint32_t>(chassis.ifdb().portIndex(ifIndex(name)));
    }
    l2pt_lport record(uint32_t lp) { return *tables->lport(lp); }
    bool member(uint16_t vid, uint32_t lp, bool core = false) {
        const l2pt_vlan v = *tables->vlan(vid);
        const auto bit = [&](const uint32_t* w) { return (w[lp / 32] >> (lp % 32) & 1) != 0; };
        return bit(v.members) && bit(v.core) == core;
    }
    // The port's interface as the link monitor reports it (ifindex 0: removed).
    void link(const std::string& port, uint32_t ifindex, bool up, bool attached = true,
              uint32_t mtu = kMtu) {
        link(chassis, port, ifindex, up, attached, mtu);
    }
    void link(chassis::Chassis& c, const std::string& port, uint32_t ifindex, bool up,
              bool attached = true, uint32_t mtu = kMtu) {
        const auto p = static_cast<size_t>(c.ifdb().portIndex(*c.ifdb().find(port)));
        if (!attached)
            ops.failAttach(EPERM);
        const port::Link l{ifindex != 0 ? ifindex : ports->state(p).ifindex, ports->names(p).netdev,
                           mtu, up, up};
        ports->handle({ifindex != 0 ? port::LinkChange::Added : port::LinkChange::Removed, l, {}});
    }
    void apply(uint32_t slot, uint32_t op, const std::vector<chassis::test::Entry>& entries) {
        downloads.send(slot, op, entries);
    }
    bool trapped(const TrapKey& key) { return tables->trapCounters(key).ok(); }
    // The learned MACs once the sweep has forgotten what it was asked to.
    size_t learned() {
        while (cards->sweeping())
            cards->sweep();
        return tables->learnedMacs()->size();
    }

    chassis::test::NoTask task;
    chassis::Chassis chassis{netdevChassis(), task};
    std::unique_ptr<MemTables> tables;
    port::MemPortOps ops;
    std::optional<port::PortTracker> ports;
    std::unique_ptr<LineCards> cards;
    std::string log;
    static constexpr uint32_t kLinkBase = 100;  // the links' ifindexes: this plus the generation
    static constexpr uint32_t kMtu = 1500;
    std::vector<uint16_t> links;
    chassis::test::Downloads downloads{chassis};
};

// A new tunnel MAC traps before the old one goes (two downloads): no PDU is switched as data.
// An entry for a MAC that is neither a protocol's nor a tunnel MAC IFM held is not installed.
TEST_F(LineCardsTest, TrapTableFollowsTheAgentsInTheirOrder) {
    const TrapKey oldMac = TrapKey::port(ifIndex("te1/0"), chassis::test::kTunnelMac);
    const TrapKey newMac = TrapKey::port(ifIndex("te1/0"), kNewTunnel);
    apply(1, aclmsg::kOpInstall, {{ifIndex("te1/0"), chassis::test::kTunnelMac, 0, 0, kModePort}});
    EXPECT_TRUE(trapped(oldMac));
    const pipeline::Mac broadcast = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
    apply(1, aclmsg::kOpInstall,
          {{ifIndex("te1/0"), broadcast, 0, 0, kModePort},
           {ifIndex("te1/0"), kNewTunnel, 0, 0, kModePort}});
    EXPECT_FALSE(trapped(TrapKey::port(ifIndex("te1/0"), broadcast)));
    EXPECT_FALSE(trapped(newMac)) << "not a tunnel MAC yet";
    EXPECT_EQ(log,
              "line cards: slot 1: a trap entry for ff:ff:ff:ff:ff:ff, neither a protocol's "
              "address nor a tunnel MAC IFM held: not installed (1 so far)"
              "line cards: slot 1: a trap entry for 03:a7:31:00:00:01, neither a protocol's "
              "address nor a tunnel MAC IFM held: not installed (2 so far)");
    log.clear();
    // IFM goes on to a third MAC before the task has heard of the second: it may still install
    // the second.
    chassis.ifm().tunnelMac(kNewTunnel, false);
    cards->refresh();
    chassis.ifm().tunnelMac(kThirdTunnel, false);
    cards->refresh();
    apply(1, aclmsg::kOpInstall, {{ifIndex("te1/0"), kNewTunnel, 0, 0, kModePort}});
    EXPECT_TRUE(trapped(oldMac) && trapped(newMac));
    apply(1, aclmsg::kOpRemove, {{ifIndex("te1/0"), chassis::test::kTunnelMac, 0, 0, kModePort}});
    EXPECT_FALSE(trapped(oldMac));
    EXPECT_TRUE(trapped(newMac));

    apply(2, aclmsg::kOpInstall, {{0, chassis::test::kPvstMac, 1, 0, kModePort}});
    EXPECT_TRUE(trapped(TrapKey::slot(2, chassis::test::kPvstMac))) << "agent-wide: by slot";
    apply(0, aclmsg::kOpInstall, {{ifIndex("te1/1"), chassis::test::kStpMac, 0, 0, kModePort}});
    EXPECT_FALSE(trapped(TrapKey::port(ifIndex("te1/1"), chassis::test::kStpMac)))
        << "card 0's agent traps no frame of card 1's ports";
}

// A task registering again traps until it settled (at the latest kTaskSettleAtMost after the
// first look, however busy its agents are); a deregistration takes its entries at once.
TEST_F(LineCardsTest, ATaskRegisteringAgainKeepsItsEntriesTrappingUntilItHasSettled) {
    const TrapKey stp = TrapKey::port(ifIndex("te1/0"), chassis::test::kStpMac);
    const TrapKey tunnel = TrapKey::port(ifIndex("te1/0"), chassis::test::kTunnelMac);
    apply(1, aclmsg::kOpInstall,
          {{ifIndex("te1/0"), chassis::test::kStpMac, 0, 0, kModePort},
           {ifIndex("te1/0"), chassis::test::kTunnelMac, 0, 0, kModePort}});
    downloads.reregister(1);
    cards->refresh();
    EXPECT_TRUE(trapped(stp) && trapped(tunnel)) << "nothing switched as data meanwhile";
    EXPECT_TRUE(tables->claiming()) << "an entry installed again keeps the one there";
    EXPECT_EQ(tables->globals().pdu_ports, 1u) << "the port shares the ring meanwhile";
    apply(1, aclmsg::kOpInstall, {{ifIndex("te1/0"), chassis::test::kStpMac, 0, 0, kModePort}});
    const uint64_t installed = pipeline::monotonicNs();
    EXPECT_TRUE(cards->settleTask(installed - LineCards::kTaskSettleAtMost.count()))
        << "the task is installing";
    EXPECT_FALSE(cards->settleTask(installed)) << "waited long enough, installing or not";
    EXPECT_THAT(log, HasSubstr("removed 1 adopted ones it no longer claims"));
    log.clear();
    EXPECT_TRUE(trapped(stp));
    EXPECT_FALSE(trapped(tunnel));
    EXPECT_FALSE(tables->claiming());

    auto dereg = chassis::test::registration(1);
    hdr::setMsgType(dereg.data(), MT_L2PT_ACL_DEREG);
    chassis.cards().agent(1)->receive(dereg);
    EXPECT_FALSE(trapped(stp));
}

// One line per core port that cannot take a VLAN's widest access frame plus the provider tag
// (ports without an interface do not count): ge0/1, ge0/2, ge0/3 (VLAN 200), te1/0, lag1.
TEST_F(LineCardsTest, ACorePortTooNarrowForTheAccessPortsFramesAndTheTag) {
    struct Row {
        uint32_t te10, te11, ge03;  // MTUs; ge03 0: no interface
        std::vector<std::string> lines;
    };
    const auto narrow = [](std::string core, int mtu, std::string access, int widest, int needs) {
        return "core port " + core + " (MTU " + std::to_string(mtu) +
               ") cannot take the frames of access port " + access + " (MTU " +
               std::to_string(widest) + ") with the provider tag: it needs MTU " +
               std::to_string(needs) + "; larger frames are dropped";
    };
    const std::vector<Row> rows{
        {1504, 1504, 0, {}},
        {1503, 1504, 0, {narrow("te1/0", 1503, "ge0/1", 1500, 1504)}},
        {1504, 1503, 0, {narrow("te1/1", 1503, "ge0/1", 1500, 1504)}},
        {9002, 1504, 8999, {narrow("te1/0", 9002, "ge0/3", 8999, 9003)}},
        {9003, 1504, 8999, {}},
    };
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row& r = rows[i];
        uint32_t ifindex = 1;
        for (const char* access : {"ge0/1", "ge0/2"})
            link(access, ifindex++, true);
        link("te1/0", ifindex++, true, true, r.te10);
        link("te1/1", ifindex++, true, true, r.te11);
        link("ge0/3", r.ge03 == 0 ? 0 : ifindex++, r.ge03 != 0, true, r.ge03);
        EXPECT_EQ(cards->mtuShortfalls(), r.lines) << "row " << i;
    }
}

// A refused entry shows as not installed and is installed, a slice per refresh, once it fits.
TEST_F(LineCardsTest, ARefusedTrapEntryIsRetriedAndShownAsNotInstalled) {
    const TrapKey first = TrapKey::port(ifIndex("te1/0"), chassis::test::kTunnelMac);
    const TrapKey refused = TrapKey::port(ifIndex("te1/0"), kNewTunnel);
    const TrapKey gone = TrapKey::port(ifIndex("te1/0"), chassis::test::kStpMac);
    const auto entries = [&] {
        const auto all = cards->entryCounters();
        EXPECT_TRUE(all.ok());
        return all.ok() ? *all : std::vector<EntryCounters>{};
    };
    const auto installed = [&](const TrapKey& key) {
        const auto all = entries();
        const auto e = std::ranges::find_if(
            all, [&](const EntryCounters& c) { return c.slot == 1 && c.entry.mac == key.mac; });
        EXPECT_NE(e, all.end()) << "no such entry";
        return e != all.end() && e->installed;
    };
    cards->allowAnyTrapMac();
    tables->limitTraps(1);
    apply(1, aclmsg::kOpInstall,
          {{ifIndex("te1/0"), chassis::test::kTunnelMac, 0, 0, kModePort},
           {ifIndex("te1/0"), kNewTunnel, 0, 0, kModePort},
           {ifIndex("te1/0"), chassis::test::kStpMac, 0, 0, kModePort}});
    EXPECT_TRUE(trapped(first) && installed(first));
    EXPECT_FALSE(trapped(refused) || installed(refused));
    EXPECT_THAT(log, HasSubstr("trap entries are retried; their frames are switched as data"));
    log.clear();
    cards->refresh();
    EXPECT_FALSE(trapped(refused));
    EXPECT_EQ(log, "") << "a refusal is logged once";
    apply(1, aclmsg::kOpRemove, {{ifIndex("te1/0"), chassis::test::kStpMac, 0, 0, kModePort}});
    tables->limitTraps(L2PT_TRAP_ENTRIES);
    cards->refresh();
    EXPECT_TRUE(trapped(refused) && installed(refused));
    EXPECT_FALSE(trapped(gone)) << "removed while it waited";
    EXPECT_THAT(log, HasSubstr("refused before are installed now"));
    log.clear();

    const auto waiting = [&] {
        return static_cast<size_t>(
            std::ranges::count_if(entries(), [](const EntryCounters& e) { return !e.installed; }));
    };
    const auto lines = [&] {
        size_t n = 0;
        for (size_t at = 0; (at = log.find("line cards:", at)) != std::string::npos; ++at)
            ++n;
        return n;
    };
    tables->limitTraps(tables->trapKeys()->size());
    std::vector<chassis::test::Entry> many;
    for (uint32_t i = 0; i <= TrapMirror::kRetrySlice; ++i)
        many.push_back({ifIndex("te1/0"), macOf(i), 0, 0, kModePort});
    apply(1, aclmsg::kOpInstall, many);
    ASSERT_EQ(waiting(), TrapMirror::kRetrySlice + 1);
    EXPECT_EQ(lines(), 1u) << "one line for them all";
    tables->limitTraps(L2PT_TRAP_ENTRIES);
    cards->refresh();
    EXPECT_EQ(waiting(), 1u);
    EXPECT_EQ(lines(), 1u);
    cards->refresh();
    EXPECT_EQ(waiting(), 0u);
    EXPECT_THAT(log, HasSubstr("refused before are installed now"));
    log.clear();
}

// The default PDU rate reaches ports without their own; held entries' ports share the ring.
TEST_F(LineCardsTest, PolicingAndTheRingsSharersReachTheTables) {
    EXPECT_EQ(tables->police(lport("ge0/1")).pduFps, chassis::kDefaultPduRate);
    chassis::test::editPolicing(chassis, "ge0/2", [](auto& p) { p.pduRate = 0; });
    cards->refresh();
    chassis.cards().setPduDefault(7);
    cards->refresh();
    EXPECT_EQ(tables->police(lport("te1/0")).pduFps, 7u);
    EXPECT_EQ(tables->police(lport("ge0/2")).pduFps, 0u) << "its own setting stays";

    EXPECT_EQ(tables->globals().pdu_ports, 0u);
    apply(0, aclmsg::kOpInstall, {{ifIndex("ge0/1"), chassis::test::kStpMac, 0, 0, kModePort}});
    apply(2, aclmsg::kOpInstall, {{0, chassis::test::kPvstMac, 1, 0, kModePort}});
    cards->refresh();
    EXPECT_EQ(tables->globals().pdu_ports, 2u) << "ge0/1, and ge2/0 by its card's entry";
    apply(0, aclmsg::kOpRemove, {{ifIndex("ge0/1"), chassis::test::kStpMac, 0, 0, kModePort}});
    cards->refresh();
    EXPECT_EQ(tables->globals().pdu_ports, 1u);
}

// IFM's LAG changes reach the LAG's record and its former member's (its VLAN changes, and the
// MACs a port that left a VLAN learned there, are the kernel frame table's vlan steps).
TEST_F(LineCardsTest, IfmChangesReachLagsAndVlans) {
    link("te1/1", 21, true);
    link("te1/2", 22, true);
    chassis.ifm().lagDel({chassis::Ifm::LagBlock{chassis::lagIfIndex(1), {ifIndex("te1/1")}}});
    cards->refresh();
    EXPECT_EQ(record(kLag1).n_live, 1);
    EXPECT_EQ(record(kLag1).live[0], lport("te1/2"));
    // A frame that reads past the count while the record is written finds no port there.
    EXPECT_EQ(record(kLag1).live[1], L2PT_LPORT_NONE);
    EXPECT_EQ(record(lport("te1/1")).lag, L2PT_LPORT_NONE);
    const chassis::Ifm::PortMode ge01{ifIndex("ge0/1"), 0};
    chassis.ifm().vlanAdd({{chassis::vlanIfIndex(L2PT_MAX_VID), chassis::kProtoStp, 0, {ge01}}});
    cards->refresh();
    EXPECT_TRUE(member(L2PT_MAX_VID, lport("ge0/1")));
}

// A LAG's record holds so many live members; the others are counted, not written.
TEST(LagRecord, KeepsTheLiveMembersItHoldsAndCountsTheRest) {
    std::string yaml =
        "chassis: {name: t, slots: 12}\ncard_types: [{id: 7, name: c}]\nline_cards: "
        "[{slot: 0, type: 7, ports: [{range: 0-32, name: \"p{n}\"}]}]\nlags: [{number: "
        "1, name: lag1, members: [p0";
    for (int n = 1; n <= L2PT_LAG_MAX_LIVE; ++n)
        yaml += ", p" + std::to_string(n);
    const chassis::IfDb db(chassis::loadChassisText(yaml + "]}]\n"));
    size_t dropped = 0;
    const auto live = [](uint32_t) { return true; };
    EXPECT_EQ(lagRecord(db, 0, live, &dropped).n_live, L2PT_LAG_MAX_LIVE);
    EXPECT_EQ(dropped, 1u);
}

// Interfaces into the port records; what was learned behind one that stops carrying traffic
// goes (a LAG's, once its last live member stops).
TEST_F(LineCardsTest, OnlyAnInterfaceUpWithThePipelineCarriesAndOneGoingDownForgetsItsMacs) {
    link("ge0/1", 11, true);
    const l2pt_lport up = record(lport("ge0/1"));
    EXPECT_EQ(up.ifindex, 11u);
    EXPECT_EQ(up.mtu, 1500);
    EXPECT_EQ(up.flags, L2PT_P_PRESENT | L2PT_P_UP);
    link("ge0/2", 12, true, false, 65536);  // lo's MTU, past what a record holds
    EXPECT_EQ(record(lport("ge0/2")).flags, L2PT_P_PRESENT) << "no pipeline on it: carries nothing";
    EXPECT_EQ(record(lport("ge0/2")).mtu, UINT16_MAX);
    link("te1/1", 21, true);
    link("te1/2", 22, true);
    tables->learn(100, kHost, lport("ge0/1"), 1);
    tables->learn(100, kNewTunnel, kLag1, 1);

    link("ge0/1", 11, false);
    EXPECT_EQ(record(lport("ge0/1")).flags, L2PT_P_PRESENT);
    EXPECT_EQ(learned(), 1u);
    link("te1/1", 0, false);
    EXPECT_EQ(learned(), 1u) << "lag1 goes on by te1/2";
    link("te1/2", 22, false);
    EXPECT_EQ(learned(), 0u);
}

TEST_F(LineCardsTest, GrantAndRevokeMoveTheGenerationAndTheRing) {
    auto first = cards->grant();
    ASSERT_TRUE(first) << first.status().what();
    EXPECT_EQ(first->generation, 1);
    EXPECT_TRUE(first->tx.valid());
    EXPECT_EQ(tables->globals().task_mark, L2PT_TASK_MARK_BASE | 1);
    EXPECT_EQ(tables->globals().task_if, kLinkBase + 1);
    const int ring = tables->taskRingFd();
    EXPECT_GE(ring, 0);

    auto second = cards->grant();
    ASSERT_TRUE(second);
    EXPECT_EQ(links, (std::vector<uint16_t>{1, 2}));
    EXPECT_EQ(tables->globals().task_mark, L2PT_TASK_MARK_BASE | 2);
    EXPECT_EQ(tables->globals().task_if, kLinkBase + 2) << "only the new link is heard";
    EXPECT_NE(tables->taskRingFd(), ring);

    const int granted = tables->taskRingFd();
    ASSERT_TRUE(cards->revoke());
    EXPECT_NE(tables->taskRingFd(), granted) << "a ring the task before does not hold";
    EXPECT_NE(tables->taskRingFd(), -1);
    EXPECT_EQ(cards->generation(), 3);
    EXPECT_EQ(tables->globals().task_mark, L2PT_TASK_MARK_BASE | 3) << "no link has it";
    EXPECT_EQ(tables->globals().task_if, 0u);
}

TEST(LineCards, RefusesAChassisThePipelineCannotHold) {
    chassis::test::NoTask task;
    chassis::Chassis big{chassis::loadChassisText(R"(
chassis: {name: big, slots: 14}
card_types: [{id: 1, name: c}]
line_cards: [{slot: 13, type: 1, ports: [{number: 0, name: x13/0}]}]
)"),
                         task};
    auto tables = MemTables::create();
    ASSERT_TRUE(tables);
    port::MemPortOps ops;
    const port::PortTracker none({}, ops, {}, {}, {});
    const auto start = [&](chassis::Chassis& c) {
        return LineCards::start(
            c, **tables, none, [](std::string_view) {},
            [](uint16_t) -> pipeline::Result<TaskTx> { return pipeline::Status::failure("none"); });
    };
    EXPECT_EQ(start(big).status().what(),
              "<chassis>: the kernel pipeline holds line cards in slots 0-11, port x13/0 is in "
              "slot 13");
    chassis::Chassis fits{netdevChassis(), task};
    EXPECT_THAT(start(fits).status().what(), HasSubstr("the port tracker has 0 ports"));
}

// The events in the simulated data plane's words.
TEST(TraceLines, SayWhatTheSimulationSays) {
    chassis::test::NoTask task;
    chassis::Chassis c{netdevChassis(), task};
    const chassis::IfDb& db = c.ifdb();
    auto at = [&](const char* name) { return *db.find(name); };
    auto event = [&](const char* port, uint16_t verdict, uint16_t reason, uint16_t vid,
                     uint8_t outbound = 0) {
        l2pt_event ev{};
        ev.port_if = at(port);
        ev.verdict = verdict;
        ev.reason = reason;
        ev.len = 60;
        ev.vid = vid;
        ev.outbound = outbound;
        return ev;
    };
    auto text = [&](l2pt_event ev) {
        const TraceLine l = traceLine(db, ev);
        return l.actor + " " + l.text;
    };
    l2pt_event flood = event("ge0/1", L2PT_VERDICT_FLOODED, 0, 100);
    flood.copies = 3;
    flood.ways[0] = at("te1/2");  // sent first: the kernel sends the frame's own form first
    flood.ways[1] = at("ge0/2");
    flood.ways[2] = at("te1/0");
    const std::pair<l2pt_event, std::string_view> cases[] = {
        {flood, "port ge0/1 in len=60 vlan=100 flooded to ge0/2,te1/0,lag1(te1/2)"},
        {event("ge0/1", L2PT_VERDICT_FLOODED, 0, 100),
         "port ge0/1 in len=60 vlan=100 flooded to none"},
        {event("te1/1", L2PT_VERDICT_TRAPPED, L2PT_SOCKET_TUNNEL, 0),
         "port te1/1 in len=60 trapped=tunnel rx=lag1"},
        {event("ge0/1", L2PT_VERDICT_TRAPPED, L2PT_SOCKET_ACCESS, 100),
         "port ge0/1 in len=60 trapped=access tagged=100"},
        {event("ge0/1", L2PT_VERDICT_DROPPED, L2PT_DP_DROP_PORT_DOWN, 100),
         "port ge0/1 in len=60 vlan=100 dropped (port down)"},
        {event("ge0/1", L2PT_VERDICT_DROPPED, L2PT_DP_DROP_FENCED, 0, 1),
         "port ge0/1 out len=60 dropped (fenced sender)"},
    };
    for (const auto& [ev, line] : cases)
        EXPECT_EQ(text(ev), line);
}

// Learning limits by port, LAG and VLAN; the counts stay exact through sweeps, downs, ageing.
TEST_F(LineCardsTest, LearningLimitsAndTheSweepKeepTheCountsExact) {
    EXPECT_TRUE(cards->setLearnLimit(ifIndex("ge0/1"), 2, true));
    EXPECT_TRUE(cards->setLearnLimit(ifIndex("lag1"), L2PT_FDB_ENTRIES_MAX, std::nullopt));
    EXPECT_FALSE(cards->setLearnLimit(ifIndex("lag1"), L2PT_FDB_ENTRIES_MAX + 1, std::nullopt));
    EXPECT_FALSE(cards->setLearnLimit(chassis::vlanIfIndex(100), 1, false)) << "no port or LAG";
    EXPECT_TRUE(cards->setVlanLearnLimit(L2PT_MAX_VID, 0));
    EXPECT_FALSE(cards->setVlanLearnLimit(L2PT_MAX_VID + 1, 0));
    EXPECT_EQ(tables->learning(lport("ge0/1"))->flags, uint32_t{L2PT_L_DROP});
    EXPECT_EQ(tables->learning(kLag1)->limit, L2PT_FDB_ENTRIES_MAX);

    // ge0/1 at its limit exactly, then one past it.
    EXPECT_TRUE(tables->learn(100, macOf(1), lport("ge0/1"), 1));
    EXPECT_TRUE(tables->learn(100, macOf(2), lport("ge0/1"), 1));
    EXPECT_FALSE(tables->learn(100, macOf(3), lport("ge0/1"), 1));
    EXPECT_EQ(cards->learning(ifIndex("ge0/1"))->count, 2u);

    // Three slices' worth on ge0/2, forgotten when it goes down.
    constexpr uint32_t kMany = FdbSweep::kSlice * 2 + 1;
    for (uint32_t i = 0; i < kMany; ++i)
        ASSERT_TRUE(tables->learn(100, macOf(0x1000 + i), lport("ge0/2"), 1));
    EXPECT_EQ(cards->vlanLearning(100)->count, kMany + 2);
    link("ge0/2", 12, true);
    link("ge0/2", 12, false);
    size_t slices = 0;
    for (; cards->sweeping(); ++slices)
        cards->sweep();
    EXPECT_EQ(slices, 3u);
    EXPECT_EQ(cards->learning(ifIndex("ge0/2"))->count, 0u);
    EXPECT_EQ(cards->vlanLearning(100)->count, 2u);
    EXPECT_EQ(learned(), 2u);

    // Ageing at its edge: last seen (at 1) exactly the ageing time ago is old.
    const uint64_t ageing = tables->globals().ageing_ns;
    EXPECT_EQ(*tables->expireAged(ageing), 0u);
    EXPECT_EQ(*tables->expireAged(1 + ageing), 2u);
    EXPECT_EQ(cards->learning(ifIndex("ge0/1"))->count, 0u);

    // A refusal is logged once; a daemon started over these tables logs only later ones.
    cards->reportNotLearned(1);
    EXPECT_THAT(log, HasSubstr("ge0/1: 1 new source MACs not learned"));
    log.clear();
    const uint64_t now = pipeline::monotonicNs();
    ASSERT_TRUE(tables->learn(100, kHost, lport("ge0/1"), now));     // ge0/1 is not up
    ASSERT_TRUE(tables->learn(100, macOf(1), lport("ge0/2"), now));  // kept
    ASSERT_TRUE(tables->learn(200, macOf(2), lport("ge0/2"), now));  // ge0/2 left VLAN 200
    ASSERT_TRUE(tables->learn(100, macOf(3), lport("ge0/2"), 1));    // aged while no daemon ran
    cards.reset();
    startCards();
    cards->reportNotLearned(1);
    EXPECT_EQ(log, "");
    link("ge0/2", 12, true);
    cards->linksSynced();
    EXPECT_EQ(learned(), 1u);
    EXPECT_EQ(cards->learning(ifIndex("ge0/1"))->count, 0u);
    EXPECT_EQ(cards->learning(ifIndex("ge0/2"))->count, 1u);
    EXPECT_EQ(cards->vlanLearning(200)->count, 0u);
}

// Over adopted tables the records stay until every interface is known, then the unclaimed go.
TEST_F(LineCardsTest, AStartOverAdoptedTablesHoldsTheRecordsUntilTheLinksAreKnownThenSweeps) {
    apply(1, aclmsg::kOpInstall, {{ifIndex("te1/0"), chassis::test::kTunnelMac, 0, 0, kModePort}});
    const TrapKey claimed = TrapKey::port(ifIndex("te1/0"), chassis::test::kTunnelMac);
    const TrapKey stale = TrapKey::port(ifIndex("te1/0"), kNewTunnel);
    link("ge0/1", 11, true);
    link("ge0/2", 12, true);
    ASSERT_TRUE(tables->installTrap(stale, 0));
    // ge0/1's, left by the daemon before: the ring is shared with it until the task's are in.
    const TrapKey found = TrapKey::port(ifIndex("ge0/1"), chassis::test::kStpMac);
    ASSERT_TRUE(tables->installTrap(found, 0));
    ASSERT_TRUE(tables->setL2cp(lport("ge0/1"), 100, 0x3));
    ASSERT_TRUE(tables->bindIfindex(99, lport("ge0/2")));
    ASSERT_TRUE(tables->learn(100, kHost, lport("ge0/1"), pipeline::monotonicNs()));
    l2pt_globals g = tables->globals();
    g.task_mark = L2PT_TASK_MARK_BASE | 7;
    ASSERT_TRUE(tables->setGlobals(g));

    cards.reset();  // the daemon stops; the next starts over what it left
    // ... a daemon of a build before the retagging trailer, whose task link (lo: none to delete
    // here) has a program that refuses it.
    g = tables->globals();
    g.task_if = 1;
    g.flags &= ~uint32_t{L2PT_G_TX_RETAG};
    ASSERT_TRUE(tables->setGlobals(g));
    tables->adopt();
    startCards();
    EXPECT_EQ(cards->generation(), 7u);
    EXPECT_EQ(tables->globals().pdu_ports, 2u) << "te1/0 and ge0/1 trap: the ring stays shared";
    EXPECT_FALSE(tables->globals().flags & L2PT_G_TX_RETAG) << "not over the adopted link";
    EXPECT_EQ(record(lport("ge0/1")).ifindex, 11u) << "held until the interfaces are known";
    EXPECT_TRUE(record(lport("ge0/1")).flags & L2PT_P_UP);
    link("ge0/2", 12, true);  // ge0/1's interface went away while no daemon ran
    EXPECT_TRUE(trapped(stale));
    EXPECT_EQ(*tables->l2cp(lport("ge0/1"), 100), 0x3u);

    // New sources on lag1 between the start's writes: it never holds more than its limit.
    uint32_t spoofed = 0;
    tables->meanwhile(
        [&] { tables->learn(100, macOf(spoofed++), kLag1, pipeline::monotonicNs()); });
    cards->linksSynced();
    tables->meanwhile(nullptr);
    EXPECT_EQ(tables->learning(kLag1)->count, 2);
    EXPECT_EQ(tables->learning(kLag1)->flags, uint32_t{L2PT_L_DROP});
    EXPECT_EQ(record(lport("ge0/1")).ifindex, 0u);
    EXPECT_FALSE(record(lport("ge0/1")).flags & L2PT_P_UP);
    EXPECT_EQ(record(lport("ge0/2")).ifindex, 12u);
    EXPECT_EQ(*tables->l2cp(lport("ge0/1"), 100), 0u);
    EXPECT_THAT(*tables->boundIfindexes(), ::testing::ElementsAre(12u));
    EXPECT_EQ(learned(), 0u) << "learned on a port that went down meanwhile";
    EXPECT_THAT(log, HasSubstr("removed 1 reserved-address rows and 2 interface bindings"));
    EXPECT_TRUE(trapped(stale)) << "trapping until the task's own entries are in";
    EXPECT_TRUE(tables->claiming());
    EXPECT_EQ(tables->globals().pdu_ports, 2u);

    // Settled once its agents have installed nothing for kTaskQuiet, however long that took.
    const uint64_t now = pipeline::monotonicNs();
    EXPECT_GT(cards->settleTask(now), LineCards::kTaskQuiet / 2) << "the entry installed first";
    apply(1, aclmsg::kOpInstall, {{ifIndex("te1/0"), chassis::test::kTunnelMac, 0, 0, kModePort}});
    EXPECT_TRUE(cards->settleTask(now + LineCards::kTaskQuiet.count() - 1)) << "installed again";
    EXPECT_FALSE(cards->settleTask(pipeline::monotonicNs() + LineCards::kTaskQuiet.count()));
    cards->refresh();
    EXPECT_TRUE(trapped(claimed));
    EXPECT_FALSE(trapped(stale));
    EXPECT_FALSE(trapped(found));
    EXPECT_FALSE(tables->claiming());
    EXPECT_EQ(tables->globals().pdu_ports, 1u) << "te1/0 alone traps now";
    EXPECT_THAT(log, HasSubstr("removed 2 adopted ones it no longer claims"));
    log.clear();
    auto grant = cards->grant();
    ASSERT_TRUE(grant) << grant.status().what();
    EXPECT_EQ(grant->generation, 8u);
    EXPECT_TRUE(tables->globals().flags & L2PT_G_TX_RETAG) << "a link of ours";
}

// Adopted tables after the chassis file lost ge0/4, gained ge2/1 and lag0 and an interface was
// made again: MACs of an index that names another port or LAG now go once the records are known.
TEST_F(LineCardsTest, AStartOverAdoptedTablesForgetsTheMacsOfPortsThatAreOthersOrMadeAgain) {
    const std::map<std::string, uint32_t> ifindexes = {{"ge0/1", 11}, {"ge0/2", 12}, {"ge0/3", 13},
                                                       {"ge0/5", 15}, {"te1/0", 20}, {"te1/1", 21},
                                                       {"te1/2", 22}, {"ge2/0", 30}};
    for (const auto& [port, ifindex] : ifindexes)
        link(port, ifindex, true);
    const uint64_t now = pipeline::monotonicNs();
    ASSERT_TRUE(tables->learn(100, macOf(1), lport("ge0/1"), now));  // stays
    ASSERT_TRUE(tables->learn(200, macOf(2), lport("ge0/5"), now));  // its index is te1/0's now
    ASSERT_TRUE(tables->learn(100, macOf(3), lport("ge0/2"), now));  // its interface made again
    ASSERT_TRUE(tables->learn(200, macOf(4), lport("ge2/0"), now));  // its index is ge2/1's now
    ASSERT_TRUE(tables->learn(100, macOf(5), kLag1, now));           // its index is lag0's now
    chassis::test::editPolicing(chassis, "ge0/5", [](auto& p) {
        p.storm[L2PT_STORM_BROADCAST] = {100, 0};
    });
    cards->refresh();
    ASSERT_TRUE(cards->setLearnLimit(ifIndex("ge0/5"), 7, std::nullopt));
    const pipeline::PoliceRates ge05 = tables->police(lport("ge0/5"));
    l2pt_port_stats counted{};
    for (const char* port : {"ge0/1", "ge0/5", "te1/0"}) {
        counted.rx = counted.not_learned = ifindexes.at(port);  // each port's own count
        ASSERT_TRUE(tables->setPortCounters(lport(port), counted, {}));
    }
    cards.reset();
    tables->adopt();

    chassis::ChassisConfig cfg = netdevChassis();
    std::erase_if(cfg.lineCards[0].ports, [](const auto& p) { return p.name == "ge0/4"; });
    cfg.lineCards[2].ports.push_back(cfg.lineCards[2].ports.front());  // ge2/1, new
    cfg.lineCards[2].ports.back().number = 1;
    cfg.lineCards[2].ports.back().name = "ge2/1";
    cfg.lineCards[2].ports.back().netdev = chassis::test::netdevOf("ge2/1");
    cfg.lags.insert(cfg.lags.begin(), chassis::LagConfig{0, "lag0", "Lag 0", {}, 0});
    cfg.tunnelling.vlans[0].ports.push_back({{"lag0", 0}, true});
    cfg.dataPlane.learning.push_back({"te1/0", std::nullopt, 9, std::nullopt});
    chassis::test::NoTask otherTask;
    chassis::Chassis moved(cfg, otherTask);
    startCards(moved);
    // Until the interfaces are known the tables stay as they were: te1/0's new index is no
    // member of vl100 while its record is still ge0/5's, a customer of vl200.
    const auto te10 = static_cast<uint32_t>(moved.ifdb().portIndex(*moved.ifdb().find("te1/0")));
    EXPECT_EQ(record(te10).chassis_if, ifIndex("ge0/5"));
    EXPECT_FALSE(member(100, te10, true));
    EXPECT_EQ(*tables->l2cp(te10, 200), 0u) << "te1/0's row would be ge0/5's meanwhile";
    EXPECT_EQ(tables->police(te10), ge05) << "ge0/5's frames policed as ge0/5's meanwhile";
    EXPECT_EQ(tables->learning(te10)->limit, 7u) << "and learned within ge0/5's limit";
    const auto te11 = static_cast<uint32_t>(moved.ifdb().portIndex(*moved.ifdb().find("te1/1")));
    const l2pt_learn atTe11 = *tables->learning(te11);
    ASSERT_TRUE(cards->setLearnLimit(ifIndex("te1/1"), 5, true));  // an operator, meanwhile
    EXPECT_EQ(tables->learning(te11)->limit, atTe11.limit) << "te1/0's record there meanwhile";
    EXPECT_EQ(tables->learning(te11)->flags, atTe11.flags);
    ASSERT_TRUE(cards->setVlanLearnLimit(200, 33));  // a VLAN's does not move: at once
    EXPECT_EQ(tables->learning(L2PT_LEARN_VLAN + 200)->limit, 33u);
    // What operators read meanwhile is each port's own, wherever the tables hold it.
    const auto counters = cards->portCounters();
    ASSERT_TRUE(counters) << counters.status().what();
    std::map<uint32_t, uint64_t> rx;
    for (const PortCounters& c : *counters)
        rx[c.ifIndex] = c.stats.rx;
    EXPECT_EQ(rx[ifIndex("ge0/1")], 11u);
    EXPECT_EQ(rx[ifIndex("te1/0")], 20u);
    EXPECT_EQ(rx[ifIndex("ge0/5")], 15u);
    EXPECT_EQ(rx.at(*moved.ifdb().find("ge2/1")), 0u) << "new to this start";
    EXPECT_EQ(cards->learning(ifIndex("ge0/5"))->limit, 7u);
    EXPECT_EQ(cards->learning(ifIndex("lag1"))->count, 1u);
    const auto lag0 = cards->learning(*moved.ifdb().find("lag0"));
    EXPECT_EQ(lag0->count, 0u) << "new to this start";
    EXPECT_EQ(lag0->limit, cfg.dataPlane.defaultPortLimit());
    pipeline::Tables::Walk walk;
    std::vector<MacEntry> shown;
    ASSERT_TRUE(cards->readMacs(walk, 10, shown));
    std::map<uint8_t, uint32_t> learnedOn;  // by the MAC's last byte
    for (const MacEntry& m : shown)
        learnedOn[m.mac[5]] = m.ifIndex;
    EXPECT_EQ(learnedOn[2], ifIndex("ge0/5"));
    EXPECT_EQ(learnedOn[5], ifIndex("lag1"));
    cards->reportNotLearned(1);
    EXPECT_THAT(log, ::testing::Not(HasSubstr("not learned"))) << "counts read where they are";
    for (auto [port, ifindex] : ifindexes)
        link(moved, port, port == "ge0/2" ? 112 : ifindex, true);
    EXPECT_EQ(tables->binding(ifindexes.at("te1/0")), lport("te1/0"))
        << "te1/0's frames taken in as ge0/5's meanwhile";
    // While the tables are written at the new indexes, te1/0's frames are no port's.
    std::optional<std::optional<uint32_t>> whileWritten;
    tables->meanwhile([&] { whileWritten.emplace(tables->binding(ifindexes.at("te1/0"))); });
    cards->linksSynced();
    tables->meanwhile(nullptr);
    ASSERT_TRUE(whileWritten.has_value());
    EXPECT_EQ(*whileWritten, std::nullopt);
    log.clear();
    cards->reportNotLearned(1);
    EXPECT_EQ(log, "") << "each port's refusals went with it";
    while (cards->sweeping())
        cards->sweep();
    const auto macs = tables->learnedMacs();
    ASSERT_TRUE(macs) << macs.status().what();
    ASSERT_EQ(macs->size(), 1u);
    EXPECT_EQ(macs->front().mac, macOf(1));
    EXPECT_TRUE(member(100, te10, true));
    EXPECT_NE(*tables->l2cp(te10, 200), 0u);
    EXPECT_NE(tables->police(te10), ge05);
    EXPECT_EQ(tables->learning(te10)->limit, 9u);
    EXPECT_EQ(tables->learning(te11)->limit, 5u);
    EXPECT_EQ(tables->learning(te11)->flags, L2PT_L_DROP);
    EXPECT_EQ(tables->binding(ifindexes.at("te1/0")), te10);
    for (const char* port : {"ge0/5", "te1/0"}) {
        const auto at = static_cast<uint32_t>(moved.ifdb().portIndex(*moved.ifdb().find(port)));
        EXPECT_EQ(tables->portStats(at)->rx, ifindexes.at(port)) << port << "'s counters with it";
    }
    EXPECT_EQ(tables->learning(L2PT_LEARN_VLAN + 100)->count, 1u);
    EXPECT_EQ(tables->learning(L2PT_LEARN_VLAN + 200)->count, 0u);
    EXPECT_EQ(tables->learning(L2PT_LEARN_VLAN + 200)->limit, 33u) << "and again after the file's";
    cards.reset();  // before the chassis it serves
}

}  // namespace
}  // namespace netp::linecard
