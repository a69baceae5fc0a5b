// The scenario language: errors that name the line, and what no golden trace shows.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "chassis/scenario.h"
#include "platform/symbols.h"
#include "platform/wire/header.h"
#include "test_chassis.h"

namespace chassis {
namespace {

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
        {"frame p0/0 tunnelled vlan=4096\n", "s.txt:1: vlan 4096 is above 4095"},
        {"advance 999999999999us\n", "no error"},
        {"advance 9999999999999s\n",
         "s.txt:1: '9999999999999s' is not a duration such as 1s, 20ms or 500us"},
    };
    for (const auto& [text, error] : cases)
        EXPECT_EQ(parseError(text), error) << text;
    const std::string full =
        "raw type=1 body=" + std::string(2 * (hdr::kMaxMsgLen - hdr::kSeqHeaderLen), '0');
    EXPECT_EQ(parseError(full), "no error");
    EXPECT_EQ(parseError(full + "00"), "s.txt:1: body longer than a message");
}

}  // namespace
}  // namespace chassis
