// What task tests observe: trace, console, event log, pools, agents' ACL messages, task records.
#pragma once

#include <gmock/gmock.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "base/log_codes.h"
#include "chassis/sim_backend.h"
#include "classification/agents.h"
#include "platform/mem.h"
#include "platform/symbols.h"
#include "platform/wire/bytes.h"
#include "platform/wire/header.h"
#include "platform/wire/l2pt.h"
#include "state/protocol.h"
#include "state/records.h"
#include "task/task_main.h"
#include "tests/support/frames.h"
#include "tests/support/task_sim.h"

namespace chassis {
inline void PrintTo(const AclEntry& e, std::ostream* os) {
    *os << "{if " << e.ifIndex << " " << macText(e.mac) << " mask " << macText(e.mask) << " g "
        << e.global << " rate " << e.rate << " mode " << int{e.mode} << "}";
}
}  // namespace chassis

namespace ttest {

using namespace frames;
using chassis::AclEntry;
using testing::ElementsAre;
using testing::IsEmpty;
using tsim::access;
using tsim::core;
using Entries = std::vector<AclEntry>;
using Words = std::vector<uint32_t>;
using Texts = std::vector<std::string>;
inline constexpr uint32_t kInstall = aclmsg::kOpInstall;
inline constexpr uint32_t kRemove = aclmsg::kOpRemove;

// Event-log codes, as the log's readers know them.
inline constexpr uint32_t kNoMemory = 0x3a0001, kNotRegistered = 0x3a0004,
                          kEnqueueRefused = 0x3a0009, kFailure = 0x3a000d;

// Slot 0: 150 x 1G, per-port. Slot 1: 10G, per-port; te1/3 on pipe 1, te1/4 on unit 12 (beyond
// the port slot indexes). Slot 11: 1G. lag128 ends the LAG table, lag129 lies beyond it.
inline constexpr const char* kBigChassis = R"(
chassis: {name: big, slots: 12}
card_types: [{id: 1, name: 150x1G, ten_gig: false}, {id: 2, name: 5x10G, ten_gig: true}]
line_cards:
  - {slot: 0, type: 1, agent: per-port, ports: [{range: 0-149, name: "ge0/{n}", unit: 0}]}
  - slot: 1
    type: 2
    ports: [{range: 0-2, name: "te1/{n}", unit: 1}, {number: 3, name: te1/3, unit: 1, pipe: 1},
            {number: 4, name: te1/4, unit: 12}]
  - {slot: 11, type: 1, agent: per-port, ports: [{range: 0-1, name: "ge11/{n}", unit: 11}]}
lags: [{number: 1, name: lag1}, {number: 128, name: lag128, members: [te1/2]},
       {number: 129, name: lag129}]
vlans: [{id: 10, name: vl10}, {id: 20, name: vl20}, {id: 30, name: vl30}, {id: 40, name: vl40}]
)";

// A chassis text with its first `from` replaced by `to`.
inline std::string edited(std::string yaml, std::string_view from, std::string_view to) {
    return yaml.replace(yaml.find(from), from.size(), to);
}

// Trace lines whose actor and event start with prefix.
inline size_t count(chassis::SimSwitch& sim, std::string_view prefix) {
    return sim.trace().grep(prefix).size();
}
// Position of the first trace line from `from` on that holds text (the trace's size if none).
inline size_t lineOf(chassis::SimSwitch& sim, std::string_view text, size_t from = 0) {
    const auto& l = sim.trace().lines();
    return static_cast<size_t>(
        std::find_if(l.begin() + static_cast<long>(from), l.end(),
                     [&](const std::string& s) { return s.find(text) != s.npos; }) -
        l.begin());
}

// An event-log record: its code and arguments (a free line: code 0 and its text).
struct Rec {
    uint32_t code;
    Texts args;
    bool operator==(const Rec&) const = default;
};
inline void PrintTo(const Rec& r, std::ostream* os) {
    *os << std::hex << "0x" << r.code << std::dec << ::testing::PrintToString(r.args);
}
inline Rec failure(std::string text) {
    return {kFailure, {std::move(text)}};
}
// The records from the from-th on.
inline std::vector<Rec> records(chassis::SimSwitch& sim, size_t from = 0) {
    std::vector<Rec> out;
    const auto& all = sim.logRecords();
    for (size_t i = from; i < all.size(); ++i) {
        out.push_back({all[i].code, all[i].code != 0 ? all[i].args : Texts{all[i].text}});
    }
    return out;
}

// Blocks held in a record pool (L2PT_<name>_POOL), a size class ("var:8192") or all ("var:").
inline uint32_t inUse(std::string_view pool) {
    uint32_t n = 0;
    for (const auto& s : ozm::mem::stats()) {
        if (s.name == "L2PT_" + std::string(pool) + "_POOL" || s.name.starts_with(pool))
            n += s.inUse;
    }
    return n;
}
inline uint64_t sym(std::string_view name) {
    return ozm::sym::get(name).value();
}

inline AclEntry entry(uint32_t ifIndex, const frames::Mac& mac, uint32_t rate, uint8_t mode,
                      uint32_t global = 0) {
    return {ifIndex, mac, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, global, rate, mode};
}

// One ACL download message: its operation and entries, in message order.
struct Msg {
    uint32_t op = 0;
    Entries entries;
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

// Decodes one message, checking every byte the task writes: header fields, zeros, padding, tail.
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
// The messages the agent of a slot applied, from the from-th on.
inline Msgs received(chassis::SimSwitch& sim, uint32_t slot, size_t from = 0) {
    const auto& all = sim.agent(slot).downloads();
    Msgs out;
    for (size_t i = from; i < all.size(); ++i)
        out.push_back(decode(all[i]));
    return out;
}
inline size_t applied(chassis::SimSwitch& sim, uint32_t slot) {
    return sim.agent(slot).downloads().size();
}

// The task's records, read while it waits.
inline L2ptCorePort* corePort(uint32_t ifIndex) {
    for (OzmDllNode* n = ozmDLLGetFirst(&l2ptCorePortList); n != nullptr; n = ozmDLLGetNext(n)) {
        if (l2ptCorePortOf(n)->ifIndex == ifIndex)
            return l2ptCorePortOf(n);
    }
    return nullptr;
}

}  // namespace ttest
