// The scenario language: what each input does to the switch, and errors that name the line.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "chassis/message.h"
#include "chassis/scenario.h"
#include "chassis/sim_switch.h"
#include "platform/symbols.h"
#include "test_chassis.h"

namespace chassis {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

uint8_t scenario_knob = 0;
OZM_EXPORT_SYMBOL(scenario_knob);

std::string parseError(std::string_view text) {
    IfDb db(test::config());
    try {
        Scenario::parse(text, db, "s.txt");
    } catch (const ScenarioError& e) {
        return e.what();
    }
    return "no error";
}

TEST(ScenarioParse, ErrorsNameTheLine) {
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"# comment\n\nwobble 3\n", "s.txt:3: unknown input 'wobble'"},
        {"advance 1s\nadvance 1 s\n", "s.txt:2: advance: wrong number of arguments"},
        {"advance 10 # fine comment\n",
         "s.txt:1: '10' is not a duration such as 1s, 20ms or 500us"},
        {"vlan-add vlan=v100 proto=stp ports=p9/9:access\n", "s.txt:1: no interface named 'p9/9'"},
        {"vlan-add vlan=v100 ports=p0/1\n", "s.txt:1: port 'p0/1' needs :access or :core"},
        {"vlan-add vlan=p0/1\n", "s.txt:1: 'p0/1' is not a VLAN of the chassis"},
        {"vlan-del proto=stp\n", "s.txt:1: missing vlan="},
        {"lag-add lag=p0/1 members=p0/0\n", "s.txt:1: 'p0/1' is not a LAG"},
        {"frame p0/1 0180c2 0\n", "s.txt:1: odd number of hex digits"},
        {"frame p0/1 01zz\n", "s.txt:1: 'z' is not a hex digit"},
        {"tunnel-mac 03:a7:31:00:00\n", "s.txt:1: '03:a7:31:00:00' is not a MAC address"},
        {"card sideways 1\n", "s.txt:1: card takes up, down or removed"},
        {"card up 32\n", "s.txt:1: slot 32 is above 31"},
        {"rate-set vlan=v100 rate=-1\n", "s.txt:1: rate: '-1' is not a decimal or 0x hex number"},
        {"set scenario_knob 256\n", "s.txt:1: scenario_knob 256 is above 255"},
        {"call noSuchDump\n", "s.txt:1: no exported function named 'noSuchDump'"},
        {"set no_such_variable 1\n", "s.txt:1: no exported variable named 'no_such_variable'"},
        {"cli debug p0/1 colour=red\n", "s.txt:1: unknown key 'colour'"},
        {"fault arm\n", "s.txt:1: fault: wrong number of arguments"},
        {"fault arm ifm-slient\n",
         "s.txt:1: unknown fault point 'ifm-slient' (docs/chassis.md lists them)"},
        {"frame p0/0 stp mac=02:00:00:00:00:01\n",
         "s.txt:1: mac=, tpid=, proto= and cvlan= go with tunnelled frames only"},
        {"frame p0/0 tunnelled proto=ftp\n",
         "s.txt:1: frame kind 'ftp' is none of stp, lldp, gvrp, pvst, tunnelled"},
        {"frame p0/0 stp vlan=4096\n", "s.txt:1: vlan 4096 is above 4095"},
        {"advance 1h\n", "s.txt:1: '1h' is not a duration such as 1s, 20ms or 500us"},
        {"advance 9999999999999s\n",
         "s.txt:1: '9999999999999s' is not a duration such as 1s, 20ms or 500us"},
    };
    for (const auto& [text, error] : cases)
        EXPECT_EQ(parseError(text), error) << text;
}

class ScenarioRun : public ::testing::Test {
  protected:
    SimSwitch sim{test::config()};
    void run(std::string_view text) { Scenario::parse(text, sim.ifdb()).run(sim); }
};

TEST_F(ScenarioRun, ConfigurationInputsBecomeIfmMessages) {
    // No task runs: IFM's messages are dropped, but the trace shows what was sent.
    run(
        R"(vlan-add vlan=v100 proto=stp,lldp rate=5 ports=p0/0:access,lag5:core ; vlan=4095 proto=pvst
lag-del lag=lag5 members=p0/2
rate-set vlan=v100 rate=64
tunnel-mac 02:00:00:00:00:02 replace-global=1
vman-tpid 0x9100
raw type=24405 seq=9 body=00000000
)");
    EXPECT_THAT(
        sim.trace().grep("ifm"),
        ElementsAre("ifm tx vlan-add seq=1 blocks=2",
                    "ifm   block vlan=v100 protocols=stp,lldp rate=5 ports=p0/0:access,lag5:core",
                    "ifm   block vlan=v4095 protocols=pvst rate=0 ports=none",
                    "ifm tx lag-del seq=2 blocks=1", "ifm   block lag=lag5 members=p0/2",
                    "ifm tx rate seq=3 vlan=v100 rate=64 op=set",
                    "ifm tx tunnel-mac seq=4 mac=02:00:00:00:00:02 replace-global=1",
                    "ifm tx vman-tpid seq=5 tpid=0x9100", "ifm tx raw type=24405 seq=9 len=128"));
    EXPECT_EQ(sim.ifdb().lagMembers(sim.ifIndex("lag5")),
              std::vector<uint32_t>{sim.ifIndex("p1/1")});
    EXPECT_THAT(sim.trace().grep("scenario").front(), HasSubstr("scenario vlan-add vlan=v100"));
}

TEST_F(ScenarioRun, EventsFramesFaultsTimeAndSymbols) {
    // Frames by kind, as they enter the port; STP and PVST BPDUs' bytes the golden tool trace
    // holds.
    struct Tap : FrameTap {
        std::vector<std::string> in;
        void frame(uint32_t, bool out, std::span<const uint8_t> f) override {
            if (!out)
                in.push_back(hexText(f));
        }
    } tap;
    sim.chassis().cards().setTap(&tap);
    run(R"(frame p0/0 lldp
frame p0/0 gvrp vlan=0x20
frame p0/0 tunnelled proto=pvst vlan=200 cvlan=10 tpid=0x88a8 mac=02:00:00:00:00:09
)");
    ASSERT_EQ(tap.in.size(), 3u);
    EXPECT_THAT(tap.in[0], ::testing::StartsWith("0180c200000e00000000000188cc020704"));
    EXPECT_THAT(tap.in[1], ::testing::StartsWith("0180c200002000000000000181000020000c424203"));
    EXPECT_THAT(tap.in[2], ::testing::StartsWith("02000000000900000000000188a800c88100000a"));
    for (const auto& f : tap.in)
        EXPECT_GE(f.size(), 120u);  // 60 bytes at least

    run(R"(card up 2
card down 0
event id=0x118099 slot=40
frame p1/0 0180c2000000 000000000001 8100 0064 0026
fault arm ifm-silent uses=2
fault clear ifm-silent
role secondary
peer-role none
advance 250ms
set scenario_knob 010
cli sub=8 remove=1 if=p0/1 w92=7 vlan=3 count=4 dir=2
cli show v4095
)");
    EXPECT_TRUE(sim.agent(2).present());
    EXPECT_FALSE(sim.agent(0).present());
    EXPECT_EQ(sim.nowUs(), 250'000u);
    EXPECT_EQ(scenario_knob, 10);  // decimal, not octal
    EXPECT_FALSE(sim.faults().armed("ifm-silent"));
    EXPECT_FALSE(sim.ha().primary());
    EXPECT_EQ(sim.peer().role(), PeerRole::None);
    EXPECT_THAT(sim.trace().grep("port p1/0"),
                ElementsAre("port p1/0 in len=18 dropped (no VLAN)"));
    // Without a task the request is dropped, but its fields show in the trace.
    EXPECT_THAT(sim.trace().grep("cli tx"),
                ElementsAre("cli tx request sub=8 remove=1 if=ifIndex 7 w96=3 w100=4 dir=2",
                            "cli tx request sub=5 remove=0 w92=4095 w96=0 w100=0 dir=0"));
}

}  // namespace
}  // namespace chassis
