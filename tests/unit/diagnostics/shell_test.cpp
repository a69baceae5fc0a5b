// The debug shell over the task: its variables with their ranges, and the console dumps called
// by name, whose texts are compared whole.
#include "platform/shell.h"
#include "classification/acl_msg.h"
#include "diagnostics/show.h"
#include "tests/support/task_test.h"

namespace {

using namespace ttest;

// The console lines a shell line prints.
Texts dump(chassis::SimSwitch& s, std::string_view line) {
    s.chassis().console().flush();
    const size_t from = s.consoleLines().size();
    const auto r = s.shell(line);
    EXPECT_EQ(r.rc, 0) << r.text;
    const auto& all = s.consoleLines();
    return Texts(all.begin() + static_cast<long>(from), all.end());
}

TEST(Shell, VariablesKeepToTheirRangesAndNumbersAreDecimalOrHex) {
    auto& s = tsim::boot();
    EXPECT_EQ(s.shell("set l2ptVmanPt 65537").rc, -1);
    EXPECT_EQ(s.shell("set l2ptVmanPt 0x10000").text,
              "set l2ptVmanPt: 0x10000 is outside 1536..65535");
    EXPECT_EQ(sym("l2ptVmanPt"), 0x9100u);
    EXPECT_EQ(s.shell("set l2ptVmanPt 0x88a8").rc, 0);
    EXPECT_EQ(s.shell("get l2ptVmanPt").text, "l2ptVmanPt = 34984");
    EXPECT_EQ(s.shell("set gL2PTMaxAclTry 010").rc, 0);  // ten, not eight
    EXPECT_EQ(sym("gL2PTMaxAclTry"), 10u);
    EXPECT_EQ(s.shell("set l2pt_debug_cp 1e").text,
              "set l2pt_debug_cp: '1e' is not a decimal or 0x hex number");
    EXPECT_EQ(s.shell("set l2pt_debug_cp 99999999999999999999999").rc, -1);
    EXPECT_EQ(s.shell("get nothing").text, "no exported variable named 'nothing'");
    EXPECT_EQ(s.shell("wobble").rc, -1);
    EXPECT_EQ(s.shell("").rc, -1);
    EXPECT_THAT(s.shell("vars").text,
                testing::HasSubstr("l2ptVmanPt = 34984 range 1536..65535\nl2pt_debug_cp = 0 "
                                   "range 0..1\n"));
    EXPECT_EQ(s.shell("set gL2PTMaxAclTry 2147483647").text,
              "set gL2PTMaxAclTry: 2147483647 is outside 1..50");
}

TEST(Shell, CallsCheckTheirArguments) {
    auto& s = tsim::boot();
    EXPECT_EQ(s.shell("call l2ptShowLag 129").text, "usage: call l2ptShowLag LAG-NUMBER (0-128)");
    EXPECT_EQ(s.shell("call l2ptShowVman -1").rc, -1);
    EXPECT_EQ(s.shell("call l2ptDebugXPdu 1 0180c 0").rc, -1);  // odd hex
    EXPECT_EQ(s.shell("call l2ptDebugXPdu 1 0180c2 2").rc, -1);
    EXPECT_EQ(s.shell("call nothing").text, "no exported function named 'nothing'");
    EXPECT_THAT(s.shell("calls").text, testing::HasSubstr("l2ptShowVman VLAN-ID (0-4095)\n"));
}

TEST(Dumps, PrintTheTablesWithTheirTexts) {
    auto& s = tsim::boot();
    s.ifm().lagAdd({{s.ifIndex("lag1"), {s.ifIndex("ge0/4"), s.ifIndex("ge0/6")}}});
    tsim::vlanAdd(s, "vl100", L2PT_FLAG_STP, {access("ge0/1"), core("te1/0"), core("lag1")});
    EXPECT_THAT(dump(s, "call l2ptShowVman 4095"), ElementsAre("Vlan id 4095 name       :  NULL"));
    EXPECT_THAT(dump(s, "call l2ptShowCorePortList"),
                ElementsAre("Core port list : ", "lag1, vlan counters: 0 0 0 0 ",
                            "te1/0, vlan counters: 1 0 0 0 "));
    // The whole tables: every agent slot (a pointer line for each of the three live agents)
    // and every LAG number, 0-128.
    EXPECT_EQ(dump(s, "call l2ptShowAclAgentTable").size(), 12u * 4 + 3);
    EXPECT_EQ(dump(s, "call l2ptShowLagTable").size(), 129u * 3);
    // A LAG's VLAN without a record is named as such.
    l2ptMarkVlan(l2ptLagTable[2].vlanBitmap, 77, 1);
    EXPECT_THAT(dump(s, "call l2ptShowLag 2"),
                ElementsAre("Lag Id        : 2", "List of members (0): ",
                            "List of VLANs : Vlan id 77 Vman pointer is null", ""));
}

}  // namespace
