// l2ptd's side of the data path over tables written by hand: where and in what form a PDU the
// task sends leaves, and the bounded queues trapped PDUs wait in.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <map>
#include <numeric>
#include <vector>

#include "chassis/config.h"
#include "net/backend/data_path.h"
#include "net/backend/egress.h"
#include "net/backend/task_batch.h"
#include "net/pipeline/lport.h"
#include "net/pipeline/mem_tables.h"
#include "platform/kernel.h"
#include "platform/wire/bytes.h"
#include "tests/support/veth.h"

namespace {

using netp::EgressFault;
using netp::PduQueue;

constexpr const char* kChassis = R"(
chassis: {name: egress, slots: 12}
card_types:
  - {id: 1, name: 8x1G}
line_cards:
  - {slot: 0, type: 1, ports: [{range: 1-2, name: "ge0/{n}", vlan: 100}]}
  - {slot: 1, type: 1, ports: [{range: 0-2, name: "te1/{n}"}]}
lags:
  - {number: 1, name: lag1, members: [te1/1, te1/2]}
vlans:
  - {id: 100, name: vl100}
)";
constexpr uint16_t kVid = 100;
constexpr uint16_t kTpid = 0x9100;

// A customer's frame in the provider tag (kTpid, vid).
std::vector<uint8_t> provider(uint16_t vid, uint16_t tpid = kTpid) {
    std::vector<uint8_t> f(64);
    std::iota(f.begin(), f.end(), uint8_t{1});
    wire::putU16(f.data(), L2PT_OFF_TYPE, tpid);
    wire::putU16(f.data(), L2PT_OFF_TYPE + 2, vid);
    return f;
}

class EgressTest : public ::testing::Test {
  protected:
    // ge0/1 and lag1 access and te1/0 core in VLAN 100; lag1's only live member is te1/2;
    // ge0/2 (access) has no interface up.
    void SetUp() override {
        tables = std::move(*netp::pipeline::MemTables::create());
        l2pt_globals g = tables->globals();
        g.tpid = kTpid;
        ASSERT_TRUE(tables->setGlobals(g));
        port("ge0/1", 11, L2PT_P_PRESENT | L2PT_P_UP);
        port("ge0/2", 0, L2PT_P_PRESENT);
        port("te1/0", 12, L2PT_P_PRESENT | L2PT_P_UP);
        port("te1/1", 13, L2PT_P_PRESENT, lport("lag1"));
        port("te1/2", 14, L2PT_P_PRESENT | L2PT_P_UP, lport("lag1"));
        setLag(1);
        l2pt_vlan v{};
        for (const char* name : {"ge0/1", "ge0/2", "te1/0", "lag1"}) {
            const uint32_t lp = lport(name);
            v.members[lp / 32] |= 1u << (lp % 32);
        }
        v.core[lport("te1/0") / 32] |= 1u << (lport("te1/0") % 32);
        ASSERT_TRUE(tables->setVlan(kVid, v));
        view.emplace(std::move(*netp::pipeline::TableView::map(*tables->viewFds())));
    }
    uint32_t lport(const std::string& name) { return netp::pipeline::lportOf(db, *db.find(name)); }
    void port(const std::string& name, uint32_t linux, uint8_t flags,
              uint32_t lag = L2PT_LPORT_NONE) {
        l2pt_lport r{};
        r.ifindex = linux;
        r.flags = flags;
        r.lag = static_cast<uint16_t>(lag);
        ASSERT_TRUE(tables->setLport(lport(name), r));
    }
    void setLag(uint16_t live) {  // te1/2 live or not
        l2pt_lport r{};
        r.flags = L2PT_P_PRESENT | L2PT_P_IS_LAG;
        r.n_live = live;
        r.live[0] = static_cast<uint16_t>(lport("te1/2"));
        ASSERT_TRUE(tables->setLport(lport("lag1"), r));
    }
    netp::Egress resolve(const std::string& name, const std::vector<uint8_t>& frame) {
        return netp::resolveEgress(*view, db, *db.find(name), frame);
    }

    chassis::ChassisConfig cfg = chassis::loadChassisText(kChassis);
    chassis::IfDb db{cfg};
    std::unique_ptr<netp::pipeline::MemTables> tables;
    std::optional<netp::pipeline::TableView> view;
};

TEST_F(EgressTest, APortOrLagLeavesByItsInterfaceTaggedAsItsRoleInTheVlanSays) {
    const auto f = provider(kVid);
    // An access port or LAG drops the provider tag, and so does a LAG's member (which speaks
    // as its LAG); a core port keeps it. A LAG leaves by its first live member.
    for (const auto& [name, linux, untag] : {std::tuple{"ge0/1", 11u, true},
                                             {"te1/0", 12u, false},
                                             {"lag1", 14u, true},
                                             {"te1/2", 14u, true}}) {
        const netp::Egress e = resolve(name, f);
        EXPECT_EQ(e.fault, EgressFault::None) << name;
        EXPECT_EQ(e.ifindex, linux) << name;
        EXPECT_EQ(e.untag, untag) << name;
    }
    std::vector<uint8_t> out(f.size());
    out.resize(netp::egressFrame(resolve("ge0/1", f), f, out));
    std::vector<uint8_t> want(f.begin(), f.begin() + L2PT_OFF_TYPE);
    want.insert(want.end(), f.begin() + L2PT_OFF_TYPE + L2PT_TAG_LEN, f.end());
    EXPECT_EQ(out, want);
    // Only the TPID in force in the VLAN's tag is the provider's: anything else, another VLAN,
    // or a frame too short to carry the tag whole leaves as the task made it.
    EXPECT_FALSE(resolve("ge0/1", provider(kVid, 0x8100)).untag);
    EXPECT_FALSE(resolve("ge0/1", provider(kVid + 1)).untag);
    EXPECT_FALSE(resolve("ge0/1", std::vector<uint8_t>(f.begin(), f.begin() + 17)).untag);
}

TEST_F(EgressTest, WhatCannotLeaveSaysWhy) {
    const auto f = provider(kVid);
    EXPECT_EQ(netp::resolveEgress(*view, db, 0xdead, f).fault, EgressFault::NoSuchPort);
    EXPECT_EQ(resolve("ge0/2", f).fault, EgressFault::NoInterface);
    EXPECT_EQ(resolve("te1/1", f).fault, EgressFault::NoInterface);  // present, link down
    port("te1/0", 12, L2PT_P_UP);
    EXPECT_EQ(resolve("te1/0", f).fault, EgressFault::CardAbsent);
    setLag(0);
    EXPECT_EQ(resolve("lag1", f).fault, EgressFault::NoLiveMember);
}

TEST(PduQueue, HoldsItsSlotsInOrderBoundedAndCutToTheReadersBuffer) {
    PduQueue q;
    std::vector<uint8_t> frame(L2PT_TRAP_MAX_LEN + 100, 0xab);  // longer than a record holds
    // Around the ring twice: each slot is written over after it was read.
    for (uint32_t round = 0; round < 2; ++round) {
        for (uint32_t i = 0; i < PduQueue::kSlots; ++i) {
            ASSERT_FALSE(q.full());
            frame[0] = static_cast<uint8_t>(i);
            q.push(1000 + i, std::span(frame).first(i == 0 ? frame.size() : 60 + i));
        }
        EXPECT_TRUE(q.full());
        for (uint32_t i = 0; i < PduQueue::kSlots; ++i) {
            std::array<uint8_t, pdudgram::kFrame> index{};
            std::vector<uint8_t> buf(90);  // the last frame a byte longer
            const std::span<uint8_t> parts[] = {index, buf};
            bool truncated = false;
            const size_t n = q.pop(parts, &truncated);
            const size_t len = i == 0 ? size_t{L2PT_TRAP_MAX_LEN} : 60 + i;
            EXPECT_EQ(n, pdudgram::kFrame + len) << i;
            EXPECT_EQ(truncated, len > buf.size()) << i;
            EXPECT_EQ(wire::getU32(index.data(), pdudgram::kIfIndex), 1000 + i);
            EXPECT_EQ(buf[0], i);
        }
        EXPECT_TRUE(q.empty());
    }
}

// PDUs to several ports batched: the same bytes join the datagram before, the other form joins
// as a retagged port where the pipeline takes that, anything else is a datagram of its own.
TEST(TaskBatch, JoinsTheSameFrameAndItsOtherFormAndNothingElse) {
    using Bytes = std::vector<uint8_t>;
    // N: untagged (an 802.3 length); T: tunnelled (other destination MAC, a tag pushed); R: T,
    // the tag popped; Z: a pushed tag of TPID 0; S: T from another source; Q: ends short of an
    // EtherType after its 802.1ad tag (the link would read the trailer as one); P: Q tunnelled.
    std::map<char, Bytes> f = {{'N', provider(kVid, 0x0026)}};
    f['T'] = f['N'];
    f['T'][0] ^= 0x40;
    f['T'].insert(f['T'].begin() + 2 * L2PT_ETH_ALEN, {0x91, 0x00, 0x00, kVid});
    f['R'] = f['N'];
    f['R'][0] ^= 0x02;
    f['Z'] = f['T'];
    f['Z'][2 * L2PT_ETH_ALEN] = 0;
    f['S'] = f['T'];
    f['S'][L2PT_ETH_ALEN] ^= 1;
    f['Q'].assign(f['N'].begin(), f['N'].begin() + 2 * L2PT_ETH_ALEN);
    f['Q'].insert(f['Q'].end(), {0x88, 0xa8, 0x00, kVid, 0x26});
    f['P'] = f['Q'];
    f['P'][0] ^= 0x40;
    f['P'].insert(f['P'].begin() + 2 * L2PT_ETH_ALEN, {0x91, 0x00, 0x00, kVid});
    // The datagram of frame x to the ports to, and to retagged as frame y.
    const auto datagram = [&](char x, std::vector<uint32_t> to, std::vector<uint32_t> retagged = {},
                              char y = 0) {
        Bytes how;
        if (y != 0) {
            how.assign(f[y].begin(), f[y].begin() + L2PT_ETH_ALEN);
            for (size_t i = 0; i < L2PT_TAG_LEN; ++i)
                how.push_back(f[y].size() > f[x].size() ? f[y][2 * L2PT_ETH_ALEN + i] : 0);
        }
        return withTaskTrailer(f[x], to, y ? L2PT_TX_MAGIC_RETAG : L2PT_TX_MAGIC, retagged, how);
    };
    struct Case {
        const char* sent;  // the frames, in turn, to interfaces 1, 2, ...
        bool retag;
        std::vector<Bytes> datagrams;
    };
    const Case cases[] = {
        {"NNTT", true, {datagram('N', {1, 2}, {3, 4}, 'T')}},
        {"NTT", false, {datagram('N', {1}), datagram('T', {2, 3})}},
        {"TR", true, {datagram('T', {1}, {2}, 'R')}},
        {"NTN", true, {datagram('N', {1}, {2}, 'T'), datagram('N', {3})}},
        {"NTR", true, {datagram('N', {1}, {2}, 'T'), datagram('R', {3})}},
        {"NZS", true, {datagram('N', {1}), datagram('Z', {2}), datagram('S', {3})}},
        {"QP", true, {datagram('Q', {1}), datagram('P', {2})}},
        {"NNNNNNTTT", true, {datagram('N', {1, 2, 3, 4, 5, 6}, {7, 8}, 'T'), datagram('T', {9})}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sent);
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, fds), 0);
        const netp::Fd tx(fds[0]), rx(fds[1]);
        netp::TaskBatch batch;
        for (uint32_t i = 0; c.sent[i] != 0; ++i) {
            if (!batch.join(i + 1, f[c.sent[i]], c.retag)) {
                ASSERT_TRUE(batch.append(i + 1, f[c.sent[i]]));
            }
        }
        batch.flush(tx.get(), MSG_DONTWAIT, [](size_t) { FAIL() << std::strerror(errno); });
        std::vector<Bytes> got;
        for (Bytes buf(4096);;) {
            const ssize_t n = ::recv(rx.get(), buf.data(), buf.size(), MSG_DONTWAIT);
            if (n < 0)
                break;
            got.emplace_back(buf.begin(), buf.begin() + n);
        }
        EXPECT_EQ(got, c.datagrams);
    }
    netp::TaskBatch batch;
    EXPECT_TRUE(batch.append(1, Bytes(netp::TaskBatch::kMaxFrame)));
    EXPECT_FALSE(batch.append(1, Bytes(netp::TaskBatch::kMaxFrame + 1)));
}

}  // namespace
