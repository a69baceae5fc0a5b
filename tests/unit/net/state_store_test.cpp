// The daemon's state: what operators changed, laid over the chassis file, set aside if unfit.
#include "net/daemon/state_store.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "chassis/ifm.h"
#include "chassis/scenario.h"
#include "chassis/sim_switch.h"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

// v300 is tunnelled by the chassis file and no operator touches it.
constexpr std::string_view kChassis = R"(
chassis: {name: st}
card_types: [{id: 1}]
line_cards:
  - {slot: 0, type: 1, ports: [{range: 0-2, name: "p{n}"}, {number: 3, name: p3, storm: {broadcast: 50}}]}
lags: [{number: 5, name: lag5, members: [p2]}]
vlans: [{id: 100, name: v100}, {id: 200, name: v200}, {id: 300, name: v300}]
tunnelling:
  vlans:
    - {vlan: v100, protocols: [stp], ports: [{port: p0}, {port: lag5, mode: core}]}
    - {vlan: v200, protocols: [pvst], ports: [{port: p1}]}
    - {vlan: v300, protocols: [stp], ports: [{port: p1}]}
)";

// Broadcast at 100 frames a second, multicast at 5 and 800 Kbps, 20 PDUs a second.
const chassis::PortPolicing kP0Policing{{{{100, 0}, {5, 800}, {0, 0}}}, 20};

// The policing an operator sets with l2ptctl storm and pdu-rate.
void police(chassis::SimSwitch& sim) {
    auto& cards = sim.chassis().cards();
    EXPECT_TRUE(cards.setPolicing(sim.ifIndex("p0"), kP0Policing));
    EXPECT_TRUE(cards.setPolicing(sim.ifIndex("p3"), {}));  // its broadcast limit off
    cards.setPduDefault(3000);
}

// What the switch holds after the operator's inputs, as the state would write it.
std::string changedBy(const chassis::ChassisConfig& cfg, std::string_view inputs,
                      void (*also)(chassis::SimSwitch&) = nullptr) {
    chassis::SimSwitch sim(cfg);
    chassis::Scenario::parse(inputs, sim.ifdb()).run(sim);
    if (also != nullptr)
        also(sim);
    return netp::stateText(netp::stateDelta(cfg, sim.chassis()));
}

TEST(StateStore, HoldsOnlyTheChangesAndTheChassisFileKeepsTheRest) {
    const auto base = chassis::loadChassisText(kChassis, "st.yaml");
    const std::string state = changedBy(base, R"(vlan-add vlan=v100 proto=lldp ports=p3:access
vlan-disable vlan=v200 proto=pvst
lag-add lag=lag5 members=p3
rate-set vlan=v100 rate=64
tunnel-mac 02:00:00:00:00:77
vman-tpid 0x88a8
)",
                                        police);
    EXPECT_THAT(state, Not(HasSubstr("v300")));
    EXPECT_THAT(state, Not(HasSubstr("line_cards")));
    EXPECT_THAT(state, HasSubstr("{vlan: v200, removed: true}"));
    EXPECT_THAT(state, HasSubstr("{port: p3}"));
    EXPECT_THAT(state, Not(HasSubstr("port: p1")));
    // An operator who puts things back leaves nothing to save.
    EXPECT_THAT(changedBy(base,
                          "vlan-del vlan=v300 ports=p1:access\n"
                          "vlan-add vlan=v300 proto=stp ports=p1:access\n"),
                Not(HasSubstr("v300")));
    // What the task ignores or drops changes the saved state alike: a removal naming no
    // protocol the VLAN tunnels, a port added again in the other role, a disabled VLAN's rate.
    EXPECT_EQ(changedBy(base,
                        "vlan-disable vlan=v300 proto=lldp\n"
                        "vlan-del vlan=v300 proto=gvrp ports=p1:access\n"
                        "vlan-add vlan=v300 proto=stp ports=p1:core\n"),
              changedBy(base, ""));
    EXPECT_THAT(changedBy(base, "rate-set vlan=v300 rate=64\nvlan-disable vlan=v300 proto=stp\n"),
                Not(HasSubstr("rate")));
    // A rate removed is gone whoever gave it, the VLAN's own too: a task that starts again
    // (downloaded from the switch, or from the state after a restart) polices nothing.
    {
        const std::string removed =
            changedBy(base,
                      "vlan-add vlan=v300 proto=stp rate=300 ports=p1:access\n"
                      "rate-remove vlan=v300\n");
        chassis::SimSwitch sim(
            netp::overlay(base, netp::parseState(removed, "state.yaml"), "state.yaml"));
        for (const auto& v : sim.ifm().snapshot().vlans)
            EXPECT_EQ(v.rate, 0u) << v.vlan.name;
    }
    // The chassis file's own provider TPID set again is none; its tunnel MAC, now replacing
    // the agent-wide entries too, is.
    const auto fileSets = chassis::loadChassisText(
        std::string(kChassis) + "  tunnel_mac: 02:00:00:00:00:77\n  vman_tpid: 0x88a8\n",
        "st.yaml");
    EXPECT_THAT(changedBy(fileSets, "vman-tpid 0x88a8\n"), Not(HasSubstr("vman_tpid")));
    EXPECT_THAT(changedBy(fileSets, "tunnel-mac 02:00:00:00:00:77 replace-global=1\n"),
                HasSubstr("replace_global: true"));

    // The chassis file is edited (v300 now tunnels GVRP); the state laid over it keeps both.
    std::string edited(kChassis);
    edited.replace(edited.rfind("[stp]"), 5, "[gvrp]");
    const auto editedBase = chassis::loadChassisText(edited, "st.yaml");
    const auto cfg = netp::overlay(editedBase, netp::parseState(state, "state.yaml"), "state.yaml");
    chassis::SimSwitch sim(cfg);
    const auto now = sim.ifm().snapshot();
    ASSERT_EQ(now.vlans.size(), 2u);
    EXPECT_EQ(now.vlans[0].vlan.name, "v100");
    EXPECT_EQ(now.vlans[0].protocols, chassis::kProtoStp | chassis::kProtoLldp);
    EXPECT_EQ(now.vlans[0].ports.size(), 3u);
    EXPECT_EQ(now.vlans[1].vlan.name, "v300");
    EXPECT_EQ(now.vlans[1].protocols, chassis::kProtoGvrp);
    EXPECT_EQ(sim.ifdb().lagMembers(sim.ifIndex("lag5")).size(), 2u);
    EXPECT_EQ(now.vmanTpid, 0x88a8);
    ASSERT_EQ(now.rates.size(), 1u);
    EXPECT_EQ(now.rates[0].rate, 64u);
    const auto& cards = sim.chassis().cards();
    EXPECT_EQ(cards.policing(sim.ifIndex("p0")), kP0Policing);
    EXPECT_EQ(cards.policing(sim.ifIndex("p3")), chassis::PortPolicing{});
    EXPECT_EQ(cards.pduRate(sim.ifIndex("p1")), 3000u);
    // Saved again from there, the state is what it was.
    EXPECT_EQ(netp::stateText(netp::stateDelta(editedBase, sim.chassis())), state);
}

// Learning limits set at run time are kept in their order after the chassis file's, and come
// back from the state as they were written.
TEST(StateStore, KeepsTheOperatorsLearningLimitsAfterTheChassisFiles) {
    std::string text(kChassis);
    text += "data_plane: {learning: [{port: p0, limit: 9}]}\n";
    const auto base = chassis::loadChassisText(text, "st.yaml");
    const std::vector<chassis::LearnLimitConfig> changes{{"lag5", std::nullopt, 0, true, 0},
                                                         {"", 4095, 1048576, std::nullopt, 0}};
    chassis::SimSwitch sim(base);
    const std::string state = netp::stateText(netp::stateDelta(base, sim.chassis(), changes));
    EXPECT_THAT(state, HasSubstr("{port: lag5, limit: 0, action: drop}"));
    EXPECT_THAT(state, HasSubstr("{vlan: 4095, limit: 1048576}"));
    EXPECT_THAT(state, Not(HasSubstr("p0")));
    const auto cfg = netp::overlay(base, netp::parseState(state, "state.yaml"), "state.yaml");
    ASSERT_EQ(cfg.dataPlane.learning.size(), 3u);
    const auto& l = cfg.dataPlane.learning;
    EXPECT_EQ(std::tie(l[0].port, l[1].port, l[1].limit, l[1].drop, l[2].vlan),
              std::tuple("p0", "lag5", 0u, true, 4095));
    const std::span<const chassis::LearnLimitConfig> again(cfg.dataPlane.learning.begin() + 1,
                                                           cfg.dataPlane.learning.end());
    EXPECT_EQ(netp::stateText(netp::stateDelta(base, sim.chassis(), again)), state);
}

// The reserved addresses' actions: only the addresses an operator changed, after the chassis
// file's entries, and a saved state read back gives the same table.
TEST(StateStore, KeepsTheReservedAddressesOperatorsChanged) {
    std::string text(kChassis);
    text +=
        "l2cp:\n  - {port: p0, addresses: 0e, action: forward}\n"
        "  - {port: lag5, vlan: v100, addresses: 01-0a, action: tunnel}\n";
    const auto base = chassis::loadChassisText(text, "st.yaml");
    std::string state;
    std::map<chassis::L2cpTable::Key, uint64_t> rows;
    {
        // One simulated switch at a time.
        chassis::SimSwitch sim(base);
        auto& dp = sim.chassis().cards();
        EXPECT_TRUE(netp::stateDelta(base, sim.chassis()).empty());

        dp.setL2cp(sim.ifIndex("p0"), chassis::kL2cpAnyVlan, 1u << 14,
                   chassis::L2cpAction::Default);
        dp.setL2cp(sim.ifIndex("p1"), 200, (1u << 2) | (1u << 16), chassis::L2cpAction::Discard);
        dp.setL2cp(sim.ifIndex("lag5"), 100, 1u << 3, chassis::L2cpAction::Forward);
        state = netp::stateText(netp::stateDelta(base, sim.chassis()));
        rows = dp.l2cp().rows();
    }
    EXPECT_THAT(state, HasSubstr("{port: p0, addresses: 0e, action: default}"));
    EXPECT_THAT(state, HasSubstr("{port: p1, vlan: v200, addresses: '02,20', action: discard}"));
    EXPECT_THAT(state, HasSubstr("{port: lag5, vlan: v100, addresses: 03, action: forward}"));
    EXPECT_THAT(state, Not(HasSubstr("01-0a")));

    const auto cfg = netp::overlay(base, netp::parseState(state, "state.yaml"), "state.yaml");
    chassis::SimSwitch again(cfg);
    EXPECT_EQ(again.chassis().cards().l2cp().rows(), rows);
    EXPECT_EQ(netp::stateText(netp::stateDelta(base, again.chassis())), state);
}

TEST(StateStore, AStateThatDoesNotFitIsSetAsideAndTheChassisFileRuns) {
    std::string t = (fs::temp_directory_path() / "l2pt-state-XXXXXX").string();
    const std::string dir = ::mkdtemp(t.data());
    const auto base = chassis::loadChassisText(kChassis, "st.yaml");
    netp::Logger log({dir + "/log", false});
    const std::string path = dir + "/var/state.yaml";
    netp::StateStore store(path, log);
    struct stat st {};
    ASSERT_EQ(::stat((dir + "/var").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0750u);
    const char* bad[] = {
        "vlans: [{vlan: v100, protocols: [stp]\n",               // cut short
        "vlans: [{vlan: v999, protocols: [stp], ports: []}]\n",  // no such VLAN
        "vlans: [{vlan: v100, protocols: [stp], ports: [{port: v200, mode: core}]}]\n",
        "lags: [{lag: lag5, members: [p2, p2]}]\n",  // a member twice
        "lags: [{lag: lag9, members: [p1]}]\n",      // no such LAG
        "learning: [{port: v100, limit: 3}]\n",      // a VLAN's name for a port
        "ports: [{port: p9, pdu_rate: 1}]\n",        // no such port
        "ports: [{port: p0, storm: {multicast: {}}}]\n",
        "vman_tpid: 0x5ff\n",  // a length: the line cards would take it for no tag
        "colour: red\n",
    };
    for (const char* text : bad) {
        std::ofstream(path) << text;
        const auto cfg = store.load(base);
        EXPECT_EQ(cfg.tunnelling.vlans.size(), 3u) << text;
        EXPECT_FALSE(fs::exists(path)) << text;
        for (const auto& e : fs::directory_iterator(dir + "/var"))
            fs::remove(e.path());
    }
    std::stringstream lines;
    lines << std::ifstream(dir + "/log").rdbuf();
    EXPECT_THAT(lines.str(), HasSubstr("state file set aside as " + path + ".bad-"));
    // Each reason as the chassis file's readers give it (ChassisFile.ErrorsNameTheFileAndLine).
    EXPECT_THAT(lines.str(), HasSubstr("state.yaml:1: 'v200' is not a port or LAG of the chassis"));
    EXPECT_THAT(lines.str(), HasSubstr("state.yaml:1: the chassis file has no port named 'p9'"));
    EXPECT_THAT(lines.str(), HasSubstr("state.yaml:1: the chassis file has no LAG named 'lag9'"));
    EXPECT_THAT(lines.str(), HasSubstr("; starting from the chassis file\n"));
    EXPECT_EQ(store.load(base).tunnelling.vlans.size(), 3u);  // none at all: the chassis file

    // The chassis file edited while the daemon was down: the changes that still fit run and are
    // saved at once, those naming what it lost are logged; the file as it was is set aside.
    std::ofstream(path) << "rates: [{vlan: v100, rate: 7},\n        {vlan: v999, rate: 9}]\n"
                           "pdu_rate: 40\nports: [{port: p9, pdu_rate: 1}]\n";
    const auto cfg = store.load(base);
    ASSERT_EQ(cfg.tunnelling.rates.size(), 1u);
    EXPECT_EQ(cfg.tunnelling.rates[0].rate, 7u);
    EXPECT_EQ(cfg.dataPlane.pduRate, 40u);
    const std::string kept = netp::readFile(path);
    EXPECT_THAT(kept, HasSubstr("rate: 7"));
    EXPECT_THAT(kept, Not(HasSubstr("v999")));
    EXPECT_THAT(kept, Not(HasSubstr("p9")));
    size_t aside = 0;
    for (const auto& e : fs::directory_iterator(dir + "/var"))
        aside += e.path().filename().string().starts_with("state.yaml.bad-");
    EXPECT_EQ(aside, 1u);
    lines.str("");
    lines << std::ifstream(dir + "/log").rdbuf();
    EXPECT_THAT(lines.str(),
                HasSubstr("2 of its 4 changes do not fit the chassis file; the changes that fit "
                          "run\n"));
    // Each named by its line, whatever the kind of change.
    EXPECT_THAT(lines.str(), HasSubstr("state change left out: " + path + ":2: "));
    EXPECT_THAT(lines.str(), HasSubstr("state change left out: " + path + ":4: "));
    EXPECT_EQ(store.load(base).dataPlane.pduRate, 40u);  // as saved
    // (One simulated switch at a time: the cut files' source is made before the next.)
    const std::string changed =
        changedBy(base, "rate-set vlan=v100 rate=64\nvlan-disable vlan=v200 proto=pvst\n", police);
    chassis::SimSwitch sim(base);
    EXPECT_EQ(store.save(base, sim.chassis()), std::nullopt);
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    // A file cut short behind the daemon's back is written whole by the next save, even of
    // nothing new.
    const std::string whole = netp::readFile(path);
    fs::resize_file(path, whole.size() / 2);
    EXPECT_EQ(store.save(base, sim.chassis()), std::nullopt);
    EXPECT_EQ(netp::readFile(path), whole);
    // A state of more than a start reads is not written, and the client hears why.
    fs::resize_file(path, whole.size() / 2);
    EXPECT_THAT(
        netp::StateStore(path, log, whole.size() - 1).save(base, sim.chassis()).value_or(""),
        HasSubstr("more than a start reads"));
    EXPECT_EQ(netp::readFile(path).size(), whole.size() / 2);
    EXPECT_EQ(netp::StateStore(path, log, whole.size()).save(base, sim.chassis()), std::nullopt);
    EXPECT_EQ(netp::readFile(path), whole);

    // Cut at any line, even where what is left still reads, it is set aside, not half run; with
    // an editor's blank lines after its end, and as builds before the end line wrote it, it runs.
    const std::string header = changed.substr(0, changed.find('\n') + 1);
    std::vector<std::pair<std::string, bool>> files = {
        {"", false}, {changed + "\n\n", true}, {header, true}, {header + "pdu_rate: 40\n", true}};
    // Past the first line: that alone is how builds before the end line wrote no changes.
    for (size_t at = header.size();
         (at = changed.find('\n', at)) != std::string::npos && ++at < changed.size();)
        files.emplace_back(changed.substr(0, at), false);
    ASSERT_GT(files.size(), 7u);
    for (const auto& [text, runs] : files) {
        for (const auto& e : fs::directory_iterator(dir + "/var"))
            fs::remove(e.path());
        std::ofstream(path) << text;
        const auto cfg = store.load(base);
        EXPECT_EQ(fs::exists(path), runs) << text;
        EXPECT_EQ(cfg.tunnelling.vlans.size(), text.starts_with(changed) ? 2u : 3u) << text;
    }
    lines.str("");
    lines << std::ifstream(dir + "/log").rdbuf();
    EXPECT_THAT(lines.str(), HasSubstr(": it does not end with its last line, '# end': cut short; "
                                       "starting from the chassis file\n"));
    fs::remove_all(dir);
}

}  // namespace
