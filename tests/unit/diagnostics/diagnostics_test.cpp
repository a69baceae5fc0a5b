// CLI debug filters with their configuration lines, the PDU trace in the event log, and the
// show table, seen from the CLI front end, the configuration tree and the event log.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "diagnostics/pdu_trace.h"
#include "platform/mem.h"
#include "platform/wire/bytes.h"
#include "platform/wire/l2pt.h"
#include "state/protocol.h"
#include "tests/support/frames.h"
#include "tests/support/task_sim.h"

namespace {

using frames::Bytes;
using testing::ElementsAre;
using testing::IsEmpty;
using testing::SizeIs;
using tsim::access;
using tsim::core;

constexpr uint8_t kBoth = 0, kIn = 1, kOut = 2;

const std::vector<uint8_t>& reply(chassis::SimSwitch& sim) {
    const auto& m = sim.cli().replies().back().msg;
    EXPECT_EQ(m.size(), climsg::kReplyLen);
    EXPECT_EQ(wire::getU32(m.data(), replymsg::kReplyCode), 0u);
    return m;
}

uint32_t debugFilter(chassis::SimSwitch& sim, std::string_view port, uint32_t vlan, uint32_t count,
                     uint8_t direction, bool remove = false) {
    sim.cli().debugFilter(sim.ifIndex(port), vlan, count, direction, remove);
    sim.settle();
    return wire::getU32(reply(sim).data(), climsg::kResult);
}

// Event-log records since the last call: free lines as they are, coded events as their code.
class LogTail {
  public:
    explicit LogTail(chassis::SimSwitch& sim) : sim_(sim), seen_(sim.logRecords().size()) {}
    std::vector<std::string> next() {
        std::vector<std::string> out;
        for (const auto& records = sim_.logRecords(); seen_ < records.size(); ++seen_) {
            const auto& r = records[seen_];
            out.push_back(r.code == 0 ? r.text : chassis::hex32(r.code));
        }
        return out;
    }

  private:
    chassis::SimSwitch& sim_;
    size_t seen_;
};

TEST(DebugFilter, RequestsKeepTheConfigurationLinesAndUndebugAllDropsThem) {
    auto sim = tsim::boot(std::string(tsim::kChassis) + "pools: {L2PT_DEBUGNODE_POOL: 2}\n");
    tsim::vlanAdd(*sim, "vl100", L2PT_FLAG_STP, {access("ge0/1"), core("te1/0")});
    const uint32_t blocks = ozm::mem::blocksInUse();
    EXPECT_EQ(debugFilter(*sim, "ge0/1", 0, 0, kBoth), 0u);
    EXPECT_THAT(sim->cfgLines(),
                ElementsAre("L2PT: ", "    debug protocol-tunnel GigEthernet 0/1 both "));
    // Set again: the line is replaced; the count is written in full.
    EXPECT_EQ(debugFilter(*sim, "ge0/1", 10, 70000, kIn), 0u);
    EXPECT_EQ(debugFilter(*sim, "te1/0", 0, 5, kOut), 0u);
    EXPECT_THAT(
        sim->cfgLines(),
        ElementsAre("L2PT: ", "    debug protocol-tunnel GigEthernet 0/1 in vlan 10 count 70000 ",
                    "    debug protocol-tunnel TenGigEthernet 1/0 out count 5 "));
    EXPECT_EQ(debugFilter(*sim, "ge0/2", 0, 0, kBoth), 1u);  // the pool holds two filters
    EXPECT_EQ(debugFilter(*sim, "ge0/2", 0, 0, kBoth, true), 2u);
    EXPECT_EQ(debugFilter(*sim, "ge0/3", 0, 0, 3), 3u);  // no such direction
    EXPECT_THAT(sim->cfgLines(), SizeIs(3));
    EXPECT_EQ(debugFilter(*sim, "te1/0", 0, 0, kBoth, true), 0u);
    EXPECT_EQ(debugFilter(*sim, "ge0/1", 0, 0, kBoth, true), 0u);
    EXPECT_THAT(sim->cfgLines(), IsEmpty());
    const std::string ge01 = "cfg remove 371." + std::to_string(sim->ifIndex("ge0/1"));
    const std::string te10 = "cfg remove 371." + std::to_string(sim->ifIndex("te1/0"));
    EXPECT_THAT(sim->trace().grep("cfg remove"), ElementsAre(ge01, te10, ge01, "cfg remove 371.0"));
    EXPECT_EQ(ozm::mem::blocksInUse(), blocks);

    // "undebug all" removes the section whether it holds lines or not.
    sim->cli().undebugAll();
    debugFilter(*sim, "ge0/1", 0, 0, kBoth);
    debugFilter(*sim, "te1/0", 0, 0, kBoth);
    sim->cli().undebugAll();
    sim->settle();
    EXPECT_THAT(sim->trace().grep("cfg remove-node"),
                ElementsAre("cfg remove-node 371 (0 lines)", "cfg remove-node 371 (3 lines)"));
    EXPECT_EQ(ozm::mem::blocksInUse(), blocks);
    LogTail log(*sim);
    sim->frameIn("ge0/1", frames::stp(10));
    EXPECT_THAT(log.next(), IsEmpty());
    // Without its header line a new filter is kept, but traces nothing.
    sim->faults().arm("cfg", 1);
    debugFilter(*sim, "ge0/1", 0, 0, kBoth);
    EXPECT_THAT(sim->cfgLines(), ElementsAre("    debug protocol-tunnel GigEthernet 0/1 both "));
    sim->frameIn("ge0/1", frames::stp(10));
    EXPECT_THAT(log.next(), IsEmpty());
}

TEST(PduTrace, CountedFiltersTraceTheirPdusThenRemoveThemselves) {
    auto sim = tsim::boot();
    tsim::vlanAdd(*sim, "vl100", L2PT_FLAG_STP, {access("ge0/1"), core("te1/0")});
    debugFilter(*sim, "te1/0", 0, 3, kBoth);
    debugFilter(*sim, "ge0/1", 100, 65536, kBoth);  // no limit in 16 bits
    LogTail log(*sim);
    for (int pdu = 1; pdu <= 4; ++pdu) {
        sim->frameIn("ge0/1", frames::stp(10));
        const auto lines = log.next();
        ASSERT_THAT(lines, SizeIs(pdu < 3 ? 10 : pdu == 3 ? 11 : 5)) << pdu;
        EXPECT_EQ(lines[0], "Received PDU on ge0/1 is h/w switched : ");
        EXPECT_EQ(lines[1], "01 80 c2 00 00 00 00 1b 21 3c 4d 5e 81 00 00 0a 00 26 42 42 \r\n");
        EXPECT_EQ(lines[4], "00 00 00 00 \r\n");
        if (pdu <= 3) {
            EXPECT_EQ(lines[5], "Sending translated PDU on te1/0 ");
            EXPECT_EQ(lines[6], "03 a7 31 00 00 00 00 1b 21 3c 4d 5e 91 00 00 64 00 26 42 42 \r\n");
        }
        if (pdu == 3) {
            EXPECT_EQ(lines[10], "0x3a0011");  // after the dump
        }
    }
    EXPECT_THAT(sim->cfgLines(), ElementsAre("L2PT: ",
                                             "    debug protocol-tunnel GigEthernet 0/1 "
                                             "both vlan 100 count 65536 "));
    // The last filter to run out takes the header, and tracing, with it.
    debugFilter(*sim, "ge0/1", 0, 0, kBoth, true);
    debugFilter(*sim, "te1/0", 0, 65537, kBoth);  // one PDU, in 16 bits
    sim->frameIn("ge0/1", frames::stp(10));
    sim->frameIn("ge0/1", frames::stp(10));
    EXPECT_THAT(log.next(), SizeIs(6));
    EXPECT_THAT(sim->cfgLines(), IsEmpty());
}

TEST(PduTrace, DirectionAndVlanFiltersChooseWhatIsTraced) {
    auto sim = tsim::boot();
    tsim::vlanAdd(*sim, "vl100", L2PT_FLAG_STP, {access("ge0/1"), access("ge0/2"), core("te1/0")});
    const Bytes tunnelled =
        frames::tunnelled(frames::stp(10), 0x9100, 100, frames::kTunnelMac, false);
    LogTail log(*sim);
    const auto heads = [&] {
        std::vector<std::string> out;
        for (const auto& line : log.next()) {
            if (line.find("PDU on") != std::string::npos) {
                out.push_back(line);
            }
        }
        return out;
    };
    debugFilter(*sim, "ge0/1", 0, 0, kIn);
    debugFilter(*sim, "ge0/2", 0, 0, kBoth);
    debugFilter(*sim, "te1/0", 0, 0, kIn);
    sim->frameIn("ge0/1", frames::stp(10));
    EXPECT_THAT(heads(), ElementsAre("Received PDU on ge0/1 is h/w switched : ge0/2 "));
    sim->frameIn("te1/0", tunnelled);
    const std::string toGe02 = "Sending translated PDU on ge0/2 ";
    EXPECT_THAT(heads(), ElementsAre("Received PDU on te1/0 is h/w switched : ", toGe02, toGe02));
    debugFilter(*sim, "ge0/1", 0, 0, kOut);
    debugFilter(*sim, "ge0/2", 200, 0, kBoth);  // another VLAN
    debugFilter(*sim, "te1/0", 0, 0, kOut);
    sim->frameIn("ge0/1", frames::stp(10));
    const std::string toTe10 = "Sending translated PDU on te1/0 ";
    EXPECT_THAT(heads(), ElementsAre(toTe10, toTe10));
    sim->frameIn("te1/0", tunnelled);
    const std::string toGe01 = "Sending translated PDU on ge0/1 ";
    EXPECT_THAT(heads(), ElementsAre(toGe01, toGe01));
}

TEST(PduTrace, LongPortListsWrapAndShortFramesEndInABareLine) {
    auto sim = tsim::boot(R"(
card_types: [{id: 1}]
line_cards: [{slot: 0, type: 1, ports: [{range: 10-21, name: "port-long-name{n}"}]}]
vlans: [{id: 100, name: vl100}]
)");
    std::vector<tsim::PortSpec> ports = {access("port-long-name10")};
    std::string names;
    for (int n = 11; n <= 21; ++n) {
        ports.push_back(core("port-long-name" + std::to_string(n)));
        debugFilter(*sim, ports.back().name, 0, 0, kBoth);
        names += n <= 20 ? ports.back().name + " " : "";
    }
    tsim::vlanAdd(*sim, "vl100", L2PT_FLAG_STP, ports);
    LogTail log(*sim);
    sim->frameIn("port-long-name10", frames::stp(10));
    const auto lines = log.next();
    ASSERT_THAT(lines, SizeIs(11 * 6));
    // The tenth name takes the line to exactly 195 characters before its blank: it still fits.
    EXPECT_EQ(lines[0], "Sending translated PDU on " + names);
    EXPECT_EQ(lines[1], "port-long-name21 ");

    // The debug shell's single-port trace; 60 bytes give three rows and a bare line end.
    const Bytes frame(60, 0xab);
    l2ptDebugXPdu(sim->ifIndex("port-long-name11"), frame.data(), 60, 1);
    l2ptDebugXPdu(sim->ifIndex("port-long-name11"), frame.data(), -1, 0);
    std::string row;
    for (int i = 0; i < 20; ++i) {
        row += "ab ";
    }
    EXPECT_THAT(log.next(), ElementsAre("\r\nSending translated PDU on port-long-name11 : \r\n",
                                        row + "\r\n", row + "\r\n", row + "\r\n", "\r\n",
                                        "\r\nReceived PDU on port-long-name11 : \r\n", "\r\n"));
}

// A show request's result, next VLAN, more and found flags, and text.
struct Shown {
    uint32_t result, vlan;
    uint16_t more, found;
    std::string text;
};

Shown show(chassis::SimSwitch& sim, uint32_t subCode, uint32_t vlan) {
    sim.cli().request({subCode, 0, vlan, 1u << 16, 0, 0});  // the more flag comes set
    sim.settle();
    const uint8_t* m = reply(sim).data();
    const char* text = reinterpret_cast<const char*>(m + climsg::kShowText);
    return {wire::getU32(m, climsg::kResult), wire::getU32(m, climsg::kShowVlan),
            wire::getU16(m, climsg::kShowMore), wire::getU16(m, climsg::kShowFound),
            std::string(text, strnlen(text, climsg::kReplyLen - climsg::kShowText))};
}

TEST(Show, RowsArePagedToFitTheReplyAndLongRowsAreCut) {
    std::string yaml = R"(
card_types: [{id: 1}]
line_cards:
  - {slot: 0, type: 1, ports: [{range: 10-21, name: "port-with-long-name-{n}"}, {number: 22, name: x}]}
vlans:
)";
    for (int v = 1; v <= 41; ++v) {
        yaml += "  - {id: " + std::to_string(v) + ", name: v" + std::to_string(v) + "}\n";
    }
    auto sim = tsim::boot(yaml);
    const std::string header = "VLAN  Protocols    Rate-limit(Kbps)    Interface\r\n";
    Shown s = show(*sim, climsg::kSubShowAll, 0);
    EXPECT_EQ(s.text, header);
    EXPECT_EQ(s.more + s.found, 0);

    std::vector<chassis::Ifm::VlanBlock> blocks;
    for (int v = 1; v <= 39; ++v) {
        const std::string port =
            v == 14 ? "x" : "port-with-long-name-" + std::to_string(10 + v % 12);
        blocks.push_back(tsim::block(*sim, "v" + std::to_string(v), v == 39 ? 0 : L2PT_FLAG_STP,
                                     {access(port)}));
    }
    std::vector<tsim::PortSpec> all;
    for (int n = 10; n <= 21; ++n) {
        all.push_back(core("port-with-long-name-" + std::to_string(n)));
    }
    blocks.push_back(tsim::block(*sim, "v40", L2PT_FLAG_STP | L2PT_FLAG_GVRP, all, 64));
    sim->ifm().vlanAdd(blocks);
    sim->settle();

    // Rows of 39 + 23 + 2 characters: 13 fit behind the header, and the row of VLAN 14, 39 + 2
    // characters, would leave no room for its line end.
    s = show(*sim, climsg::kSubShowAll, 1);
    EXPECT_EQ(s.vlan, 14u);
    EXPECT_EQ(s.more + s.found, 2);
    EXPECT_EQ(s.text.size(), header.size() + 13 * 64);
    EXPECT_TRUE(
        s.text.ends_with("13    STP          -                   port-with-long-name-11 \r\n"));
    s = show(*sim, climsg::kSubShowAll, s.vlan);
    EXPECT_TRUE(s.text.starts_with(header + "14    STP          -                   x \r\n"));
    EXPECT_EQ(s.vlan, 27u);
    EXPECT_THAT(sim->logRecords(), IsEmpty());
    // VLAN 39 has no protocols; VLAN 40's row ends with the port that takes it past 245
    // characters, built for the page it does not fit and again for the next.
    s = show(*sim, climsg::kSubShowAll, s.vlan);
    EXPECT_EQ(s.vlan, 40u);
    EXPECT_EQ(s.more, 1);
    s = show(*sim, climsg::kSubShowAll, s.vlan);
    EXPECT_EQ(s.more, 0);
    std::string row40 = "40    STP,GVRP     64                  ";
    for (int n = 10; n <= 18; ++n) {
        row40 += "port-with-long-name-" + std::to_string(n) + " ";
    }
    EXPECT_EQ(s.text, header + row40 + "\r\n");
    ASSERT_THAT(sim->logRecords(), SizeIs(2));
    EXPECT_THAT(sim->logRecords()[1].args, ElementsAre("buffer overrun in l2ptGetVlanShowInfo"));

    s = show(*sim, climsg::kSubShowVlan, 40);
    EXPECT_EQ(s.text, header + row40 + "\r\n");
    EXPECT_EQ(s.result + s.more + s.found, 1u);
    EXPECT_EQ(show(*sim, climsg::kSubShowVlan, 39).result, 6u);
    s = show(*sim, climsg::kSubShowVlan, 41);
    EXPECT_EQ(s.result, 4u);
    EXPECT_EQ(s.text, header);
}

}  // namespace
