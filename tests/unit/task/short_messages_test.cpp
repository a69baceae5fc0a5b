// Control messages cut short. Every handler reads over the zeroed receive buffer (the fuzz
// corpora hold cuts of every type; the wire view's test the zeros): what must hold at every cut
// is that a CLI request is answered in full and a task disable is acted on and answered.
// Messages are written out byte by byte from their layouts, independently of the task's offset
// constants.
#include <memory>

#include "tests/support/task_test.h"

namespace {

using namespace ttest;
using Bytes = std::vector<uint8_t>;

void put32(Bytes& m, size_t at, uint32_t v) {
    m[at] = static_cast<uint8_t>(v >> 24);
    m[at + 1] = static_cast<uint8_t>(v >> 16);
    m[at + 2] = static_cast<uint8_t>(v >> 8);
    m[at + 3] = static_cast<uint8_t>(v);
}

// len bytes with msgLen (bytes 8-11) and the type (12-15).
Bytes message(uint32_t type, size_t len) {
    Bytes m(len);
    put32(m, 8, static_cast<uint32_t>(len));
    put32(m, 12, type);
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
    put32(cli, 80, 8);
    put32(cli, 92, 0x01000001);
    put32(cli, 100, 5);
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
    const Bytes disable = message(24402, 68);
    for (size_t n : {16, 60, 67, 68}) {
        SCOPED_TRACE(n);
        s.reset();
        s = boot();
        s->ifm().rawBytes(Bytes(disable.begin(), disable.begin() + static_cast<long>(n)));
        s->settle();
        EXPECT_EQ(s->taskState(), chassis::TaskState::Exited);
        ASSERT_EQ(s->mgr().replies().size(), 1u);
        EXPECT_EQ(s->mgr().replies()[0].msg.size(), 68u);
    }
}

}  // namespace
