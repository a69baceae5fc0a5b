// The show table and the debug shell (the CLI's debug filters: the tool golden trace).
#include <cstring>

#include "classification/acl_msg.h"
#include "diagnostics/debug_filter.h"
#include "diagnostics/show.h"
#include "platform/shell.h"
#include "tests/support/task_test.h"

namespace {

using namespace ttest;
using testing::Contains;

// The reply to the last CLI request, checked for its length and code.
const uint8_t* reply(chassis::SimSwitch& sim) {
    const auto& m = sim.cli().replies().back().msg;
    EXPECT_EQ(m.size(), climsg::kReplyLen);
    EXPECT_EQ(wire::getU32(m.data(), replymsg::kReplyCode), 0u);
    return m.data();
}
// A show request's text, and its result, next VLAN, more and found flags.
using ShowFields = std::tuple<uint32_t, uint32_t, int, int>;
std::pair<std::string, ShowFields> show(chassis::SimSwitch& sim, uint32_t subCode, uint32_t vlan) {
    sim.cli().request({subCode, 0, vlan, 1u << 16, 0, 0});  // the more flag comes set
    sim.settle();
    const uint8_t* m = reply(sim);
    const char* text = reinterpret_cast<const char*>(m + climsg::kShowText);
    return {std::string(text, strnlen(text, climsg::kReplyLen - climsg::kShowText)),
            {wire::getU32(m, climsg::kResult), wire::getU32(m, climsg::kShowVlan),
             wire::getU16(m, climsg::kShowMore), wire::getU16(m, climsg::kShowFound)}};
}

// A switch of one card with these ports and VLANs v1 .. vN.
chassis::SimSwitch& bootWith(const std::string& ports, int vlans) {
    std::string yaml =
        "card_types: [{id: 1}]\nline_cards: [{slot: 0, type: 1, ports: " + ports + "}]\nvlans:\n";
    for (int v = 1; v <= vlans; ++v)
        yaml += "  - {id: " + std::to_string(v) + ", name: v" + std::to_string(v) + "}\n";
    return tsim::boot(yaml);
}

TEST(Show, RowsArePagedToFitTheReplyAndLongRowsAreCut) {
    auto& s =
        bootWith(R"([{range: 9-21, name: "port-with-long-name-{n}"}, {number: 22, name: x}])", 41);
    const std::string header = "VLAN  Protocols    Rate-limit(Kbps)    Interface\r\n";
    EXPECT_EQ(show(s, climsg::kSubShowAll, 0), std::pair(header, std::tuple(0u, 0u, 0, 0)));

    std::vector<chassis::Ifm::VlanBlock> blocks;
    std::vector<tsim::PortSpec> all;
    std::string row40 = "40    STP,GVRP     64                  ";
    for (int v = 1; v <= 39; ++v) {
        const std::string port =
            v == 14 ? "x" : "port-with-long-name-" + std::to_string(10 + v % 12);
        blocks.push_back(
            tsim::block(s, "v" + std::to_string(v), v == 39 ? 0 : L2PT_FLAG_STP, {access(port)}));
    }
    for (int n = 9; n <= 21; ++n) {
        all.push_back(core("port-with-long-name-" + std::to_string(n)));
        row40 += all.back().name + " ";
    }
    blocks.push_back(tsim::block(s, "v40", L2PT_FLAG_STP | L2PT_FLAG_GVRP, all, 64));
    s.ifm().vlanAdd(blocks);
    s.settle();

    // Rows of 64 characters: 13 fit behind the header, VLAN 14's of 41 leaves no room for "\r\n".
    auto [text, fields] = show(s, climsg::kSubShowAll, 1);
    EXPECT_EQ(fields, std::tuple(0u, 14u, 1, 1));
    EXPECT_EQ(text.size(), header.size() + 13 * 64);
    EXPECT_TRUE(
        text.ends_with("13    STP          -                   port-with-long-name-11 \r\n"));
    std::tie(text, fields) = show(s, climsg::kSubShowAll, 14);
    EXPECT_TRUE(text.starts_with(header + "14    STP          -                   x \r\n"));
    EXPECT_EQ(fields, std::tuple(0u, 27u, 1, 1));
    // VLAN 39 has no protocols; VLAN 40's row reaches 245 at port 17, the next port ends it cut.
    EXPECT_EQ(std::get<1>(show(s, climsg::kSubShowAll, 27)), std::tuple(0u, 40u, 1, 1));
    EXPECT_EQ(show(s, climsg::kSubShowAll, 40),
              std::pair(header + row40.substr(0, 255) + "\r\n", std::tuple(0u, 40u, 0, 1)));
    EXPECT_EQ(records(s), std::vector<Rec>(2, failure("buffer overrun in l2ptGetVlanShowInfo")));

    EXPECT_EQ(std::get<0>(show(s, climsg::kSubShowVlan, 39).second), 6u);
    EXPECT_EQ(show(s, climsg::kSubShowVlan, 41), std::pair(header, std::tuple(4u, 41u, 1, 0)));
}

// The text's 923 characters: rows ending exactly there all fit; one more opens the next page.
TEST(Show, APageThatFitsExactly) {
    auto& s = bootWith(R"([{range: 10-18, name: "pppppppppppppppppp{n}"},
        {range: 20-24, name: "qqqqqqqqqqqqqqqqqqq{n}"}, {number: 25, name: "rrrrrrrrrrrrrrrrrrrr25"},
        {number: 26, name: x}])",
                       15);
    // Header 50, rows of 42 + the port name: 9 of 62 and 5 of 63 fill the 923 characters.
    std::vector<chassis::Ifm::VlanBlock> blocks;
    for (int v = 1; v <= 15; ++v) {
        const std::string port = v <= 9    ? "pppppppppppppppppp" + std::to_string(9 + v)
                                 : v <= 14 ? "qqqqqqqqqqqqqqqqqqq" + std::to_string(10 + v)
                                           : "x";
        blocks.push_back(tsim::block(s, "v" + std::to_string(v), L2PT_FLAG_STP, {access(port)}));
    }
    s.ifm().vlanAdd(blocks);
    s.settle();
    constexpr size_t kRoom = climsg::kReplyLen - climsg::kShowText - 1;
    auto [text, fields] = show(s, climsg::kSubShowAll, 1);
    EXPECT_EQ(text.size(), kRoom);
    EXPECT_TRUE(
        text.ends_with("14    STP          -                   qqqqqqqqqqqqqqqqqqq24 \r\n"));
    EXPECT_EQ(fields, std::tuple(0u, 15u, 1, 1));

    tsim::vlanDel(s, "v14", L2PT_FLAG_STP, {access("qqqqqqqqqqqqqqqqqqq24")});
    tsim::vlanAdd(s, "v14", L2PT_FLAG_STP, {access("rrrrrrrrrrrrrrrrrrrr25")});
    std::tie(text, fields) = show(s, climsg::kSubShowAll, 1);
    EXPECT_EQ(text.size(), kRoom - 63);
    EXPECT_EQ(fields, std::tuple(0u, 14u, 1, 1));
}

// The console lines a shell line prints.
Texts dump(chassis::SimSwitch& s, std::string_view line) {
    s.chassis().console().flush();
    const size_t from = s.consoleLines().size();
    const auto r = s.shell(line);
    EXPECT_EQ(r.rc, 0) << r.text;
    const auto& all = s.consoleLines();
    return Texts(all.begin() + static_cast<long>(from), all.end());
}

// Setting l2ptVmanPt to 0x88a8 and reading it back the tool's golden trace holds.
TEST(Shell, VariablesKeepToTheirRangesCallsCheckTheirArgumentsAndDumpsPrintTheTables) {
    auto& s =
        tsim::boot(edited(tsim::kChassis, "id: 4000, name: vl4000", "id: 4095, name: vl4095"));
    EXPECT_EQ(s.shell("set l2ptVmanPt 0x10000").text,
              "set l2ptVmanPt: 0x10000 is outside 1536..65535");
    EXPECT_EQ(sym("l2ptVmanPt"), 0x9100u);
    EXPECT_EQ(s.shell("set gL2PTMaxAclTry 010").rc, 0);  // ten, not eight
    EXPECT_EQ(sym("gL2PTMaxAclTry"), 10u);
    EXPECT_EQ(s.shell("set l2pt_debug_cp 1e").text,
              "set l2pt_debug_cp: '1e' is not a decimal or 0x hex number");
    EXPECT_EQ(s.shell("set l2pt_debug_cp 99999999999999999999999").rc, -1);
    EXPECT_EQ(s.shell("get nothing").text, "no exported variable named 'nothing'");
    EXPECT_EQ(s.shell("").rc, -1);
    EXPECT_THAT(s.shell("vars").text,
                testing::HasSubstr("l2ptVmanPt = 37120 range 1536..65535\nl2pt_debug_cp = 0 "
                                   "range 0..1\n"));
    EXPECT_EQ(s.shell("set gL2PTMaxAclTry 51").text, "set gL2PTMaxAclTry: 51 is outside 1..50");
    EXPECT_EQ(s.shell("set gL2PTMaxAclTry 0").rc, -1);

    // Calls refused for their arguments, and the dumps: the tool golden trace.
    EXPECT_EQ(s.shell("call nothing").text, "no exported function named 'nothing'");
    EXPECT_THAT(s.shell("calls").text, testing::HasSubstr("l2ptShowVman VLAN-ID (0-4095)\n"));
    EXPECT_EQ(dump(s, "call l2ptShowLagTable").size(), 129u * 3);  // every LAG number, 0-128
    // A LAG's VLAN without a record is named as such.
    l2ptMarkVlan(l2ptLagTable[2].vlanBitmap, 77, 1);
    EXPECT_THAT(dump(s, "call l2ptShowLag 2"),
                ElementsAre("Lag Id        : 2", "List of members (0): ",
                            "List of VLANs : Vlan id 77 Vman pointer is null", ""));
    tsim::vlanAdd(s, "vl4095", L2PT_FLAG_STP, {access("ge0/1")});  // the last VLAN of the dump
    EXPECT_THAT(dump(s, "call l2ptShowVmanTable"), Contains("Vlan id 4095 name       : vl4095"));
}

// A PDU counts down every filter it concerns, those after one it ran out too.
TEST(Trace, APduCountsDownEveryFilterItConcerns) {
    auto& s = tsim::boot();
    tsim::vlanAdd(s, "vl100", L2PT_FLAG_STP, {access("ge0/1"), core("ge0/5"), core("te1/0")});
    s.cli().debugFilter(s.ifIndex("ge0/5"), 0, 1, 0, false);
    s.cli().debugFilter(s.ifIndex("te1/0"), 0, 3, 0, false);
    s.settle();
    s.frameIn("ge0/1", stp(10));
    EXPECT_EQ(l2ptGetDebugNode(s.ifIndex("te1/0"))->cur_count, 1);  // traced received and sent
}

}  // namespace
