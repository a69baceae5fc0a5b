// What the ACL agents received, decoded from the wire bytes, and the task's tables read back:
// shared by the classification, event and record tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "chassis/sim_backend.h"
#include "platform/mem.h"
#include "platform/symbols.h"
#include "platform/wire/header.h"
#include "platform/wire/l2pt.h"
#include "state/records.h"
#include "task/log_codes.h"
#include "task/task_main.h"
#include "tests/support/task_sim.h"

namespace chassis {
inline void PrintTo(const AclEntry& e, std::ostream* os) {
    *os << "{if " << e.ifIndex << " " << macText(e.mac) << " mask " << macText(e.mask) << " g "
        << e.global << " rate " << e.rate << " mode " << int{e.mode} << "}";
}
}  // namespace chassis

namespace aclwire {

using chassis::AclEntry;
using chassis::Mac;
using Entries = std::vector<AclEntry>;
using Words = std::vector<uint32_t>;
using tsim::access;
using tsim::core;

inline constexpr Mac kStp = {0x01, 0x80, 0xC2, 0x00, 0x00, 0x00};
inline constexpr Mac kLldp = {0x01, 0x80, 0xC2, 0x00, 0x00, 0x0E};
inline constexpr Mac kGvrp = {0x01, 0x80, 0xC2, 0x00, 0x00, 0x20};
inline constexpr Mac kPvst = {0x01, 0x00, 0x0C, 0xCC, 0xCC, 0xCD};
inline constexpr Mac kTunnel = {0x03, 0xA7, 0x31, 0x00, 0x00, 0x00};
inline constexpr uint32_t kRemove = aclmsg::kOpRemove;
inline constexpr uint32_t kInstall = aclmsg::kOpInstall;

// Slot 0: 150 x 1G, per-port. Slot 1: 10G, per-port; te1/3 on pipe 1, te1/4 on unit 12 (beyond
// the port slot indexes). lag200 lies beyond the LAG table, vl5000 beyond VLAN 4095.
inline constexpr const char* kBigChassis = R"(
chassis: {name: big, slots: 12}
card_types: [{id: 1, name: 150x1G, ten_gig: false}, {id: 2, name: 5x10G, ten_gig: true}]
line_cards:
  - {slot: 0, type: 1, agent: per-port, ports: [{range: 0-149, name: "ge0/{n}", unit: 0}]}
  - slot: 1
    type: 2
    ports: [{range: 0-2, name: "te1/{n}", unit: 1}, {number: 3, name: te1/3, unit: 1, pipe: 1},
            {number: 4, name: te1/4, unit: 12}]
lags: [{number: 1, name: lag1}, {number: 200, name: lag200}]
vlans: [{id: 10, name: vl10}, {id: 20, name: vl20}, {id: 30, name: vl30}, {id: 40, name: vl40},
        {id: 5000, name: vl5000}]
)";

inline AclEntry entry(uint32_t ifIndex, const Mac& mac, uint32_t rate, uint8_t mode,
                      uint32_t global = 0) {
    return {ifIndex, mac, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, global, rate, mode};
}

struct Msg {
    uint32_t op = 0;
    Entries entries;  // in message order
    bool operator==(const Msg&) const = default;
};
inline void PrintTo(const Msg& m, std::ostream* os) {
    *os << (m.op == kInstall ? "install " : "remove ") << testing::PrintToString(m.entries);
}
using Msgs = std::vector<Msg>;

inline bool zero(const std::vector<uint8_t>& m, size_t from, size_t to) {
    return std::all_of(m.begin() + static_cast<long>(from), m.begin() + static_cast<long>(to),
                       [](uint8_t b) { return b == 0; });
}

// Decodes one message, checking on the way every byte the task writes: the header fields it
// fills and the zero bytes around them, each entry's padding, the zero tail.
inline Msg decode(const std::vector<uint8_t>& m) {
    EXPECT_EQ(m.size(), aclmsg::kMsgSize);
    if (m.size() != aclmsg::kMsgSize) {
        return {};
    }
    const uint8_t* p = m.data();
    EXPECT_EQ(hdr::msgLen(p), aclmsg::kMsgSize);
    EXPECT_EQ(hdr::msgType(p), MT_L2PT_ACL_DOWNLOAD);
    EXPECT_EQ(hdr::srcTaskId(p), chassis::kSimTaskId);
    EXPECT_TRUE(zero(m, 0, hdr::kMsgLen) && zero(m, hdr::kMsgType + 4, hdr::kSrcTaskId) &&
                zero(m, hdr::kReserved36, hdr::kSrcNodeAddr));
    Msg out{wire::getU32(p, aclmsg::kAclOp), {}};
    const uint32_t count = std::min(wire::getU32(p, aclmsg::kEntryCount), aclmsg::kMaxEntries);
    for (size_t at = aclmsg::kEntries; out.entries.size() < count; at += aclmsg::kEntryLen) {
        AclEntry& e = out.entries.emplace_back();
        e.ifIndex = wire::getU32(p + at, aclmsg::kEntIfIndex);
        std::copy_n(p + at + aclmsg::kEntMac, e.mac.size(), e.mac.begin());
        std::copy_n(p + at + aclmsg::kEntMask, e.mask.size(), e.mask.begin());
        e.global = wire::getU32(p + at, aclmsg::kEntGlobal);
        e.rate = wire::getU32(p + at, aclmsg::kEntRateLimit);
        e.mode = wire::getU8(p + at, aclmsg::kEntAclMode);
        EXPECT_TRUE(zero(m, at + aclmsg::kEntAclMode + 1, at + aclmsg::kEntryLen));
    }
    EXPECT_EQ(wire::getU32(p, aclmsg::kEntryCount), count);
    EXPECT_TRUE(zero(m, aclmsg::kEntries + count * aclmsg::kEntryLen, m.size()));
    return out;
}

// Messages the agent of a slot applied, from the from-th on.
inline Msgs received(chassis::SimSwitch& sim, uint32_t slot, size_t from = 0) {
    const auto& all = sim.agent(slot).downloads();
    Msgs out;
    for (size_t i = from; i < all.size(); ++i) {
        out.push_back(decode(all[i]));
    }
    return out;
}
inline size_t count(chassis::SimSwitch& sim, uint32_t slot) {
    return sim.agent(slot).downloads().size();
}

// tsim::boot with every agent keeping the messages it applies, and debug lines on.
inline std::unique_ptr<chassis::SimSwitch> boot(std::string_view yaml = tsim::kChassis) {
    auto sim = std::make_unique<chassis::SimSwitch>(chassis::loadChassisText(yaml));
    for (const auto& card : sim->chassis().config().lineCards) {
        sim->agent(card.slot).setRecordDownloads(true);
    }
    ozm::sym::set("l2pt_debug_cp", 1);
    sim->start(l2ptTaskMain);
    sim->settle();
    return sim;
}

// The task's records, read while it waits.
inline L2ptCorePort* corePort(uint32_t ifIndex) {
    for (OzmDllNode* n = ozmDLLGetFirst(&l2ptCorePortList); n != nullptr; n = ozmDLLGetNext(n)) {
        if (l2ptCorePortOf(n)->ifIndex == ifIndex) {
            return l2ptCorePortOf(n);
        }
    }
    return nullptr;
}
inline Words members(uint32_t vlanId) {
    Words out;
    for (L2ptIfNode* n = l2ptFirstIfNode(pL2ptVlanTable[vlanId]); n; n = l2ptNextIfNode(n)) {
        out.push_back(n->ifIndex);
    }
    return out;
}
inline Words words(const uint32_t* first, size_t n = L2PT_NUM_PROTOCOLS) {
    return {first, first + n};
}
inline bool vlanBit(const uint32_t* bitmap, uint32_t vlanId) {
    return (bitmap[vlanId / 32] & (0x80000000u >> (vlanId % 32))) != 0;
}
// Blocks held in the record pools (L2PT_<name>_POOL) or a size class ("var:8192").
inline uint32_t inUse(std::string_view pool) {
    for (const auto& s : ozm::mem::stats()) {
        if (s.name == pool || s.name == "L2PT_" + std::string(pool) + "_POOL") {
            return s.inUse;
        }
    }
    return 0;
}

// Event-log records of one code, by their first argument.
inline std::vector<std::string> logged(chassis::SimSwitch& sim, uint32_t code) {
    std::vector<std::string> out;
    for (const auto& r : sim.logRecords()) {
        if (r.code == code) {
            out.push_back(r.args.empty() ? std::string() : r.args.front());
        }
    }
    return out;
}
// Whether a console line (or trace line, from line `from` on) holds text; its position.
inline bool consoleHas(chassis::SimSwitch& sim, std::string_view text) {
    sim.chassis().console().flush();
    const auto& l = sim.consoleLines();
    return std::any_of(l.begin(), l.end(), [&](const auto& s) { return s.find(text) != s.npos; });
}
inline size_t lineOf(chassis::SimSwitch& sim, std::string_view text, size_t from = 0) {
    const auto& l = sim.trace().lines();
    return std::find_if(l.begin() + static_cast<long>(from), l.end(),
                        [&](const auto& s) { return s.find(text) != s.npos; }) -
           l.begin();
}

}  // namespace aclwire
