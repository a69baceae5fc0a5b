// Every control message the task handles, cut short at many lengths: each is handled over zeros
// or dropped without harm, a CLI request and a task disable are always answered (the disable
// acted on), and each handler notes the length it found short. Messages are written out byte by
// byte from their layouts, independently of the task's offset constants.
#include <algorithm>
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

// len bytes with msgLen (bytes 8-11) and the type (12-15). A sequenced message also carries the
// sequenced area from byte 60: "SWP1", the kind (1 data, 2 ack, 4 time-out) and, from byte 72,
// sequence number 1; the session at 68 is given when it is sent.
Bytes message(uint32_t type, size_t len, uint32_t swpKind = 0) {
    Bytes m(len);
    put32(m, 8, static_cast<uint32_t>(len));
    put32(m, 12, type);
    if (swpKind != 0) {
        put32(m, 60, 0x53575031);
        put32(m, 64, swpKind);
        put32(m, 72, 1);
    }
    return m;
}

struct Golden {
    Bytes msg;
    bool sequenced;
    size_t need;                    // the bytes its handler reads
    std::vector<size_t> fieldEnds;  // where each field it reads ends
};

std::vector<Golden> goldens() {
    std::vector<Golden> g;
    auto add = [&](Bytes m, bool seq, size_t need, std::vector<size_t> ends) {
        g.push_back({std::move(m), seq, need, std::move(ends)});
    };
    const std::vector<size_t> swpArea = {64, 68, 72, 76, 80, 84, 88};
    add(message(401, 124, 4), false, 124, swpArea);  // the engine's time-out
    add(message(402, 124, 2), false, 124, swpArea);  // an acknowledgement

    Bytes ha = message(1608, 60);
    put32(ha, 24, 3);  // roles settled
    add(ha, false, 28, {28});
    add(message(2003, 60), false, 60, {});  // undebug all
    add(message(2804, 60), false, 60, {});  // block configuration

    Bytes cardDown = message(2009, 72);
    put32(cardDown, 64, 0x118012);
    put32(cardDown, 68, 3);
    add(cardDown, false, 72, {68, 72});

    Bytes cli = message(6001, 1024);  // debug filter: ge0/1, count 5, direction in
    put32(cli, 80, 8);
    put32(cli, 92, 0x01000001);
    put32(cli, 100, 5);
    cli[104] = 1;
    add(cli, false, 105, {84, 90, 96, 100, 104, 105});
    add(message(24402, 68), false, 68, {68});

    Bytes rate = message(24403, 133, 1);  // vl100: 64 Kbps, set
    put32(rate, 124, 0x03000064);
    put32(rate, 128, 64);
    rate[132] = 1;
    add(rate, true, 133, {128, 132, 133});

    Bytes mac = message(24404, 132, 1);  // 02:11:22:33:44:55, set
    for (size_t i = 0; i < 6; ++i) {
        mac[124 + i] = static_cast<uint8_t>(i == 0 ? 0x02 : 0x11 * i);
    }
    mac[130] = 1;
    add(mac, true, 132, {130, 131, 132});

    // vl100 STP: one block, two ports (ge0/1 access, te1/0 core).
    for (uint32_t type : {24405u, 24406u}) {
        Bytes vlan = message(type, 156, 1);
        put32(vlan, 124, 1);
        put32(vlan, 128, 0x03000064);
        vlan[134] = 2;
        vlan[138] = 1;
        put32(vlan, 140, 0x01000001);
        put32(vlan, 148, 0x01000100);
        put32(vlan, 152, 0x20);
        add(vlan, true, 128, {128, 132, 136, 139, 144, 148, 152, 156});
    }
    Bytes disable = message(24407, 140, 1);
    put32(disable, 124, 1);
    put32(disable, 128, 0x03000064);
    disable[138] = 1;
    add(disable, true, 128, {128, 132, 139});

    // lag1 (number 1): one block, member ge0/2.
    for (uint32_t type : {24408u, 24409u}) {
        Bytes lag = message(type, 204, 1);
        put32(lag, 124, 1);
        put32(lag, 128, 0x02000001);
        put32(lag, 132, 0x01000002);
        lag[200] = 1;
        add(lag, true, 128, {128, 132, 136, 201, 204});
    }

    Bytes update = message(24415, 68);
    put32(update, 20, 0xffffffff);
    put32(update, 60, 0xe0000000);
    add(update, false, 64, {64});
    Bytes reg = message(24416, 68);
    put32(reg, 20, 0xffffffff);
    add(reg, false, 68, {24, 64, 68});

    Bytes tpid = message(24417, 126, 1);
    tpid[124] = 0x88;
    tpid[125] = 0xa8;
    add(tpid, true, 126, {126});
    return g;
}

// Nothing, a header cut inside the type, the type alone, the plain and the sequenced header, one
// byte short of each field, and the whole message.
std::vector<size_t> cuts(const Golden& g) {
    std::vector<size_t> out = {0, 14, 16, 60, 124, g.msg.size()};
    for (size_t end : g.fieldEnds) {
        out.push_back(end - 1);
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    std::erase_if(out, [&](size_t n) { return n > g.msg.size(); });
    return out;
}

std::unique_ptr<chassis::SimSwitch> boot() {
    auto s = std::make_unique<chassis::SimSwitch>(chassis::loadChassisText(tsim::kChassis));
    ozm::sym::set("l2pt_debug_cp", 1);
    s->start(l2ptTaskMain);
    s->settle();
    return s;
}

std::string shortLine(uint32_t type, size_t len, size_t need) {
    return "l2ptTaskProcMsg: msg type " + std::to_string(type) + " of " + std::to_string(len) +
           " bytes is short of " + std::to_string(need);
}

TEST(ShortMessages, EveryTypeCutShortIsHandledOrDroppedAndRequestsAreAnswered) {
    auto s = boot();
    ASSERT_EQ(std::tuple(s->ifIndex("ge0/1"), s->ifIndex("ge0/2"), s->ifIndex("te1/0"),
                         s->ifIndex("lag1"), s->ifIndex("vl100")),
              std::tuple(0x01000001u, 0x01000002u, 0x01000100u, 0x02000001u, 0x03000064u));
    uint32_t session = 0x100;
    for (const Golden& g : goldens()) {
        const uint32_t type = wire::getU32(g.msg.data(), 12);
        for (size_t n : cuts(g)) {
            SCOPED_TRACE("type " + std::to_string(type) + " cut to " + std::to_string(n));
            Bytes m = g.msg;
            if (g.sequenced) {
                put32(m, 68, ++session);  // a session of its own: the check starts afresh
            }
            m.resize(n);
            const bool typed = n >= 16;  // the message type arrived
            const size_t cliReplies = s->cli().replies().size();
            const size_t logged = s->logRecords().size();
            s->ifm().rawBytes(m);
            s->settle();

            EXPECT_EQ(s->backend().queued(), 0u);
            EXPECT_EQ(s->cli().replies().size() - cliReplies, type == 6001 && typed ? 1u : 0u);
            if (type == 6001 && typed) {
                EXPECT_EQ(s->cli().replies().back().msg.size(), 1024u);
            }
            if (type == 24402 && typed) {
                EXPECT_EQ(s->taskState(), chassis::TaskState::Exited);
                ASSERT_EQ(s->mgr().replies().size(), 1u);
                EXPECT_EQ(s->mgr().replies()[0].msg.size(), 68u);
                s.reset();
                s = boot();
                continue;
            }
            EXPECT_EQ(s->taskState(), chassis::TaskState::Parked);
            // A sequenced message without its sequence number fails the check and is dropped.
            const bool dropped = g.sequenced && typed && n < 76;
            const auto fresh = records(*s, logged);
            EXPECT_EQ(std::count_if(fresh.begin(), fresh.end(),
                                    [](const Rec& r) { return r.code == kSeqCheck; }),
                      dropped ? 1 : 0);
            if (typed && !dropped && n < g.need) {
                EXPECT_EQ(console(*s, shortLine(type, n, g.need)), 1u);
            }
        }
    }
    s->mgr().disable();
    s->settle();
}

}  // namespace
