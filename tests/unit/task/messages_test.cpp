// Messages written by hand from their layouts, not the shared offsets: whole, and cut short.
#include <memory>

#include "tests/support/task_test.h"

namespace {

using namespace ttest;
using Bytes = std::vector<uint8_t>;

// The interface indexes the test chassis gives these ports and VLAN.
constexpr uint32_t kGe01 = 0x01000001, kTe10 = 0x01000100, kVl100 = 0x03000064;

Bytes slice(const Bytes& m, size_t from, size_t to) {
    return {m.begin() + static_cast<long>(from), m.begin() + static_cast<long>(to)};
}

// IFM's VLAN port add for vl100 (STP, 64 Kbps), access port ge0/1, core port te1/0: the body.
const Bytes kVlanAddBody = {
    0x00, 0x00, 0x00, 0x01,                          // 124: one block
    0x03, 0x00, 0x00, 0x64, 0x00, 0x00, 0x00, 0x02,  // vl100, -, 2 ports
    0x00, 0x40, 0x01, 0x00,                          // 64 Kbps, STP, -
    0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00,  // ge0/1, access
    0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x20,  // te1/0, core
};

// ge0/1's agent gets a download (8192 bytes, type 24414, install) of one mode-3 entry; the show
// reply has its result at 84, VLAN at 92, more flag at 96, found flag at 98, text from 100.
TEST(GoldenBytes, VlanPortAddGivesTheAclDownloadMessageAndTheShowReply) {
    auto& s = tsim::boot();
    ASSERT_EQ(std::tuple(s.ifIndex("ge0/1"), s.ifIndex("te1/0"), s.ifIndex("vl100")),
              std::tuple(kGe01, kTe10, kVl100));
    s.ifm().rawSequenced(24405, {}, kVlanAddBody);
    s.settle();
    ASSERT_EQ(s.agent(0).downloads().size(), 1u);
    const Bytes& m = s.agent(0).downloads()[0];
    ASSERT_EQ(m.size(), 8192u);
    EXPECT_EQ(slice(m, 8, 16), (Bytes{0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x5F, 0x5E}));
    EXPECT_EQ(slice(m, 32, 36), (Bytes{0x00, 0x00, 0x10, 0x01}));
    EXPECT_EQ(slice(m, 124, 132), (Bytes{0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01}));
    const Bytes entry = {0x01, 0x00, 0x00, 0x01,                          // ge0/1
                         0x01, 0x80, 0xC2, 0x00, 0x00, 0x00,              // STP MAC
                         0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,              // mask
                         0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40,  // global, rate
                         0x03, 0x00, 0x00, 0x00};                         // mode, padding
    EXPECT_EQ(slice(m, 132, 160), entry);
    EXPECT_TRUE(zero(m, 160, m.size()));

    s.cli().show(100);
    s.settle();
    ASSERT_EQ(s.cli().replies().size(), 1u);
    const Bytes& r = s.cli().replies()[0].msg;
    ASSERT_EQ(r.size(), 1024u);
    EXPECT_EQ(slice(r, 64, 68), (Bytes{0, 0, 0, 0}));
    EXPECT_EQ(slice(r, 84, 100), (Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x64, 0, 0, 0, 1}));
    const std::string text =
        "VLAN  Protocols    Rate-limit(Kbps)    Interface\r\n"
        "100   STP          64                  ge0/1 te1/0 \r\n";
    EXPECT_EQ(std::string(r.begin() + 100, r.begin() + 100 + static_cast<long>(text.size())), text);
    EXPECT_EQ(r[100 + text.size()], 0);
}

Bytes message(uint32_t type, size_t len) {
    Bytes m(len);
    wire::putU32(m.data(), 8, static_cast<uint32_t>(len));
    wire::putU32(m.data(), 12, type);
    return m;
}

std::unique_ptr<chassis::SimSwitch> boot() {
    auto s = std::make_unique<chassis::SimSwitch>(chassis::loadChassisText(tsim::kChassis));
    s->start(l2ptTaskMain);
    s->settle();
    return s;
}

// Nothing, the type cut, the type alone, the plain header, one byte short of each field, whole.
TEST(ShortMessages, CliRequestsAndTaskDisableAreAnsweredAtEveryCut) {
    Bytes cli = message(6001, 1024);  // debug filter: ge0/1, count 5, direction in
    wire::putU32(cli.data(), 80, 8);
    wire::putU32(cli.data(), 92, 0x01000001);
    wire::putU32(cli.data(), 100, 5);
    cli[104] = 1;
    auto s = boot();
    for (size_t n : {0, 14, 16, 60, 83, 89, 95, 99, 103, 104, 1024}) {
        SCOPED_TRACE(n);
        const size_t replies = s->cli().replies().size();
        s->ifm().rawBytes(Bytes(cli.begin(), cli.begin() + static_cast<long>(n)));
        s->settle();
        ASSERT_EQ(s->cli().replies().size() - replies, n >= 16 ? 1u : 0u);
        EXPECT_EQ(n >= 16 ? s->cli().replies().back().msg.size() : 1024u, 1024u);
        EXPECT_EQ(s->taskState(), chassis::TaskState::Parked);
        EXPECT_EQ(s->backend().queued(), 0u);
    }
    for (size_t n : {16, 60, 67, 68}) {  // the reply is 68 bytes whatever msgLen says
        SCOPED_TRACE(n);
        s.reset();
        s = boot();
        s->ifm().rawBytes(message(24402, n));
        s->settle();
        EXPECT_EQ(s->taskState(), chassis::TaskState::Exited);
        ASSERT_EQ(s->mgr().replies().size(), 1u);
        EXPECT_EQ(s->mgr().replies()[0].msg.size(), 68u);
    }
}

}  // namespace
