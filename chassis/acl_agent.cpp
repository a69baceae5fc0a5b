#include "chassis/acl_agent.h"

#include <algorithm>
#include <set>

#include "chassis/message.h"

namespace chassis {

namespace {

constexpr uint32_t kWrongReplyTypeOffset = 1;  // a wrong reply type: the request's plus this
constexpr int32_t kBadStatus = 1;
constexpr uint8_t kAclModeRateChange = 2;

Mac macAt(const uint8_t* p) {
    Mac m;
    std::copy(p, p + kMacLen, m.begin());
    return m;
}

// One entry of a download, as its wire bytes at e give it.
AclEntry entryAt(const uint8_t* e) {
    AclEntry entry;
    entry.ifIndex = wire::getU32(e, aclmsg::kEntIfIndex);
    entry.mac = macAt(e + aclmsg::kEntMac);
    entry.mask = macAt(e + aclmsg::kEntMask);
    entry.global = wire::getU32(e, aclmsg::kEntGlobal);
    entry.rate = wire::getU32(e, aclmsg::kEntRateLimit);
    entry.mode = wire::getU8(e, aclmsg::kEntAclMode);
    return entry;
}

}  // namespace

AclAgent::AclAgent(Context& ctx, uint32_t slot, AgentMode mode, bool present, EntryBudget& budget)
    : ctx_(ctx), slot_(slot), mode_(mode), present_(present), budget_(budget) {}

std::string AclAgent::actor() const {
    return "acl[" + std::to_string(slot_) + "]";
}

void AclAgent::clearTable(bool renewed) {
    if (table_.empty())
        return;
    budget_.used -= table_.size();
    table_.clear();
    if (observer_ != nullptr && renewed)
        observer_->tableRenewed(slot_);
    else if (observer_ != nullptr)
        observer_->tableCleared(slot_);
}

void AclAgent::reset(bool renewed) {
    clearTable(renewed);
    registered_ = false;
    session_ = 0;
    expected_ = 1;
}

void AclAgent::setPresent(bool present) {
    if (present_ == present)
        return;
    present_ = present;
    reset();
}

std::optional<std::vector<uint8_t>> AclAgent::request(std::span<const uint8_t> msg) {
    if (!wellFormed(msg) || hdr::msgLen(msg.data()) < aclreg::kLen) {
        ctx_.trace.add(actor(), "rx request rejected (shorter than a registration)");
        return std::nullopt;
    }
    const uint8_t* m = msg.data();
    const uint32_t type = hdr::msgType(m);
    if (type != MT_L2PT_ACL_REG) {
        ctx_.trace.add(actor(), "rx request type=" + std::to_string(type) + " (not answered)");
        return std::nullopt;
    }
    const std::string head =
        "rx register slot=" + std::to_string(wire::getU32(m, aclreg::kAgentSlot)) +
        " master=" + std::to_string(wire::getU32(m, aclreg::kMasterSlot));
    const std::string slotName = std::to_string(slot_);
    if (!present_) {
        ctx_.trace.add(actor(), head + " (card absent, no answer)");
        return std::nullopt;
    }
    if (mode_ == AgentMode::Silent || ctx_.faults.hit("acl-silent:" + slotName)) {
        ctx_.trace.add(actor(), head + " (silent)");
        return std::nullopt;
    }
    ctx_.trace.add(actor(), head);
    reset(true);
    registered_ = true;
    auto reply = makeMessage(type, aclreg::kLen, {svc::kAcl, slot_});
    uint8_t* r = reply.data();
    std::copy(m + hdr::kPlainHeaderLen, m + aclreg::kLen, r + hdr::kPlainHeaderLen);
    const bool perPort = mode_ == AgentMode::PerPort;
    wire::putU32(r, aclreg::kPortAcl, perPort ? 1 : 0);
    if (ctx_.faults.hit("acl-status:" + slotName))
        hdr::setMsgStatus(r, kBadStatus);
    if (ctx_.faults.hit("acl-type:" + slotName))
        hdr::setMsgType(r, type + kWrongReplyTypeOffset);
    ctx_.trace.add(actor(), "tx reply type=" + std::to_string(hdr::msgType(r)) +
                                " status=" + std::to_string(hdr::msgStatus(r)) +
                                (perPort ? " port-acl=1" : " port-acl=0"));
    return reply;
}

void AclAgent::receive(std::span<const uint8_t> msg) {
    if (!wellFormed(msg)) {
        ctx_.trace.add(actor(), "rx rejected (len=" + std::to_string(msg.size()) + ", bad msgLen)");
        return;
    }
    msg = covered(msg);
    const uint8_t* m = msg.data();
    const uint32_t type = hdr::msgType(m);
    if (!present_) {
        ctx_.trace.add(actor(), "rx type=" + std::to_string(type) + " dropped (card absent)");
        return;
    }
    switch (type) {
        case MT_SWP_SYNC:
            if (msg.size() < hdr::kSeqHeaderLen || swpw::magic(m) != swpw::kSwpMagic) {
                ctx_.trace.add(actor(), "rx sync rejected (no sequenced area)");
                return;
            }
            session_ = swpw::session(m);
            expected_ = 1;
            ctx_.trace.add(actor(), "rx sync session=" + hex32(session_));
            return;
        case MT_L2PT_ACL_DOWNLOAD:
            download(msg);
            return;
        case MT_L2PT_ACL_DEREG:
            // The entries go; the sequenced queue is the task's and lives on until the task
            // removes it, so what it still sends is taken in order.
            ctx_.trace.add(actor(),
                           "rx deregister (" + std::to_string(table_.size()) + " entries dropped)");
            clearTable();
            registered_ = false;
            return;
        default:
            ctx_.trace.add(actor(), "rx type=" + std::to_string(type) +
                                        " len=" + std::to_string(msg.size()) + " (ignored)");
    }
}

void AclAgent::download(std::span<const uint8_t> msg) {
    const uint8_t* m = msg.data();
    if (msg.size() < aclmsg::kEntries || swpw::magic(m) != swpw::kSwpMagic ||
        swpw::kind(m) != swpw::Kind::Data) {
        ++stats_.rejected;
        ctx_.trace.add(actor(), "rx download rejected (no sequenced data area)");
        return;
    }
    const uint32_t seq = swpw::seq(m);
    if (swpw::session(m) != session_) {
        ctx_.trace.add(actor(), "rx download session=" + hex32(swpw::session(m)) +
                                    " starts a new sequence (no sync)");
        session_ = swpw::session(m);
        expected_ = 1;
    }
    if (seq < expected_) {
        ++stats_.duplicates;
        ctx_.trace.add(actor(),
                       "rx download seq=" + std::to_string(seq) + " duplicate (acked again)");
        ack(msg);
        return;
    }
    if (seq > expected_) {
        ++stats_.gaps;
        ctx_.trace.add(actor(), "rx download seq=" + std::to_string(seq) + " ahead of " +
                                    std::to_string(expected_) + " (dropped)");
        return;
    }
    if (!apply(msg, seq)) {
        ++stats_.rejected;
        return;
    }
    const uint64_t now = ctx_.clock.nowUs;
    if (stats_.applied == 0)
        stats_.firstAppliedUs = now;
    burst_ = stats_.applied != 0 && stats_.lastAppliedUs == now ? burst_ + 1 : 1;
    stats_.maxBurst = std::max(stats_.maxBurst, burst_);
    stats_.lastAppliedUs = now;
    ++stats_.applied;
    if (recordDownloads_)
        downloads_.emplace_back(msg.begin(), msg.end());
    ++expected_;
    ack(msg);
}

bool AclAgent::apply(std::span<const uint8_t> msg, uint32_t seq) {
    const uint8_t* m = msg.data();
    const uint32_t op = wire::getU32(m, aclmsg::kAclOp);
    const uint32_t count = wire::getU32(m, aclmsg::kEntryCount);
    const std::string head = "rx download seq=" + std::to_string(seq);
    if (count > aclmsg::kMaxEntries) {
        ctx_.trace.add(actor(), head + " rejected (entryCount " + std::to_string(count) +
                                    " above " + std::to_string(aclmsg::kMaxEntries) + ")");
        return false;
    }
    if (aclmsg::kEntries + static_cast<size_t>(count) * aclmsg::kEntryLen > msg.size()) {
        ctx_.trace.add(actor(), head + " rejected (" + std::to_string(count) +
                                    " entries run past msgLen " + std::to_string(msg.size()) + ")");
        return false;
    }
    if (op != aclmsg::kOpInstall && op != aclmsg::kOpRemove) {
        ctx_.trace.add(actor(), head + " rejected (aclOp " + std::to_string(op) + ")");
        return false;
    }
    const bool install = op == aclmsg::kOpInstall;
    if (install) {
        const size_t added = newEntries(m + aclmsg::kEntries, count);
        if (added > budget_.capacity - budget_.used) {
            ctx_.trace.add(actor(), head +
                                        " rejected (table full: " + std::to_string(budget_.used) +
                                        " of " + std::to_string(budget_.capacity) +
                                        " entries held, " + std::to_string(added) + " more asked)");
            return false;
        }
    }
    ctx_.trace.add(actor(), head + (install ? " op=install" : " op=remove") +
                                " entries=" + std::to_string(count));
    for (uint32_t i = 0; i < count; ++i) {
        const AclEntry entry = entryAt(m + aclmsg::kEntries + i * aclmsg::kEntryLen);
        if (ctx_.trace.on()) {
            ctx_.trace.add(
                actor(), "  entry if=" +
                             (entry.ifIndex ? ctx_.ifdb.name(entry.ifIndex) : std::string("any")) +
                             " mac=" + macText(entry.mac) + " mask=" + macText(entry.mask) +
                             " global=" + std::to_string(entry.global) + " rate=" +
                             std::to_string(entry.rate) + " mode=" + std::to_string(entry.mode));
        }
        applyEntry(entry, install);
    }
    return true;
}

size_t AclAgent::newEntries(const uint8_t* e, uint32_t count) const {
    std::set<std::pair<uint32_t, Mac>> added;
    for (uint32_t i = 0; i < count; ++i) {
        const AclEntry entry = entryAt(e + i * aclmsg::kEntryLen);
        const auto key = std::make_pair(entry.ifIndex, entry.mac);
        if (table_.count(key) == 0)
            added.insert(key);
    }
    return added.size();
}

void AclAgent::applyEntry(const AclEntry& entry, bool install) {
    const auto key = std::make_pair(entry.ifIndex, entry.mac);
    auto it = table_.find(key);
    if (entry.mode == kAclModeRateChange && it != table_.end()) {
        // A rate change touches the rate of what is installed; the trap itself stays.
        it->second.entry.rate = install ? entry.rate : 0;
        if (observer_ != nullptr)
            observer_->rateChanged(slot_, it->second.entry);
    } else if (install) {
        // An entry installed again keeps its counters and policer.
        if (it != table_.end()) {
            it->second.entry = entry;
        } else {
            it = table_.emplace(key, TrapEntry{entry, {}, {}}).first;
            ++budget_.used;
        }
        if (observer_ != nullptr)
            observer_->entryInstalled(slot_, entry);
    } else if (it != table_.end()) {
        const AclEntry gone = it->second.entry;
        table_.erase(it);
        --budget_.used;
        if (observer_ != nullptr)
            observer_->entryRemoved(slot_, gone);
    }
}

void AclAgent::ack(std::span<const uint8_t> msg) {
    const uint8_t* m = msg.data();
    const Party self{svc::kAcl, slot_};
    auto a = makeMessage(MT_SWP_ACK, hdr::kSeqHeaderLen, self);
    stampSequenced(a, swpw::Kind::Ack, swpw::session(m), swpw::seq(m), swpw::queue(m), self);
    ctx_.task.toTask(std::move(a));
}

std::vector<AclEntry> AclAgent::entries() const {
    std::vector<AclEntry> out;
    out.reserve(table_.size());
    for (const auto& kv : table_)
        out.push_back(kv.second.entry);
    return out;
}

TrapEntry* AclAgent::match(uint32_t portIf, std::span<const uint8_t> dst) {
    if (dst.size() < kMacLen)
        return nullptr;
    const Mac mac = macAt(dst.data());
    auto it = table_.find({portIf, mac});
    if (it != table_.end())
        return &it->second;
    it = table_.find({0, mac});
    if (it != table_.end() && it->second.entry.global != 0)
        return &it->second;
    return nullptr;
}

std::optional<TrapCounters> AclAgent::counters(uint32_t ifIndex, const Mac& mac) const {
    const auto it = table_.find({ifIndex, mac});
    if (it == table_.end())
        return std::nullopt;
    return it->second.counters;
}

}  // namespace chassis
