#include "chassis/acl_agent.h"

#include <algorithm>

#include "chassis/message.h"
#include "platform/kernel.h"

namespace chassis {

namespace {

constexpr Mac kProtocolMacs[] = {
    {0x01, 0x80, 0xc2, 0x00, 0x00, 0x00},  // STP
    {0x01, 0x80, 0xc2, 0x00, 0x00, 0x0e},  // LLDP
    {0x01, 0x80, 0xc2, 0x00, 0x00, 0x20},  // GVRP
    {0x01, 0x00, 0x0c, 0xcc, 0xcc, 0xcd},  // PVST
};

// Frame layout the data plane looks at.
constexpr size_t kDstMac = 0;
constexpr size_t kTpidOff = 12;
constexpr size_t kEthHeaderLen = 14;
constexpr size_t kTagLen = 4;
constexpr size_t kTagTci = 2;  // within the tag: priority, drop eligibility and VLAN id
constexpr uint16_t kTpid8021Q = 0x8100;
constexpr uint16_t kTpidQinQ = 0x88a8;
constexpr uint16_t kTpidVman = 0x9100;
constexpr uint32_t kWrongReplyTypeOffset = 1;  // a wrong reply type: the request's plus this
constexpr int32_t kBadStatus = 1;
constexpr uint8_t kAclModeRateChange = 2;

Mac macAt(const uint8_t* p) {
    Mac m;
    std::copy(p, p + kMacLen, m.begin());
    return m;
}

}  // namespace

bool isProtocolMac(std::span<const uint8_t> mac) {
    if (mac.size() < kMacLen)
        return false;
    return std::any_of(std::begin(kProtocolMacs), std::end(kProtocolMacs),
                       [&](const Mac& m) { return std::equal(m.begin(), m.end(), mac.begin()); });
}

AclAgent::AclAgent(Context& ctx, uint32_t slot, AgentMode mode, bool present)
    : ctx_(ctx), slot_(slot), mode_(mode), present_(present) {}

std::string AclAgent::actor() const {
    return "acl[" + std::to_string(slot_) + "]";
}

void AclAgent::reset() {
    table_.clear();
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
    reset();
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
            table_.clear();
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
    ctx_.trace.add(actor(), head + (install ? " op=install" : " op=remove") +
                                " entries=" + std::to_string(count));
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* e = m + aclmsg::kEntries + i * aclmsg::kEntryLen;
        AclEntry entry;
        entry.ifIndex = wire::getU32(e, aclmsg::kEntIfIndex);
        entry.mac = macAt(e + aclmsg::kEntMac);
        entry.mask = macAt(e + aclmsg::kEntMask);
        entry.global = wire::getU32(e, aclmsg::kEntGlobal);
        entry.rate = wire::getU32(e, aclmsg::kEntRateLimit);
        entry.mode = wire::getU8(e, aclmsg::kEntAclMode);
        if (ctx_.trace.on()) {
            ctx_.trace.add(
                actor(), "  entry if=" +
                             (entry.ifIndex ? ctx_.ifdb.name(entry.ifIndex) : std::string("any")) +
                             " mac=" + macText(entry.mac) + " mask=" + macText(entry.mask) +
                             " global=" + std::to_string(entry.global) + " rate=" +
                             std::to_string(entry.rate) + " mode=" + std::to_string(entry.mode));
        }
        const auto key = std::make_pair(entry.ifIndex, entry.mac);
        auto it = table_.find(key);
        if (entry.mode == kAclModeRateChange) {
            // A rate change touches the rate of what is installed; the trap itself stays.
            if (it != table_.end()) {
                it->second.rate = install ? entry.rate : 0;
            } else if (install) {
                table_.emplace(key, entry);
            }
        } else if (install) {
            table_.insert_or_assign(key, entry);
        } else if (it != table_.end()) {
            table_.erase(it);
        }
    }
    return true;
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
        out.push_back(kv.second);
    return out;
}

const AclEntry* AclAgent::match(uint32_t portIf, std::span<const uint8_t> mac) const {
    if (mac.size() < kMacLen)
        return nullptr;
    const Mac dst = macAt(mac.data());
    auto it = table_.find({portIf, dst});
    if (it != table_.end())
        return &it->second;
    it = table_.find({0, dst});
    if (it != table_.end() && it->second.global != 0)
        return &it->second;
    return nullptr;
}

DataPlane::DataPlane(Context& ctx, const ChassisConfig& cfg)
    : ctx_(ctx), agents_(cfg.slots), out_(ctx.ifdb.portCount()), counters_(ctx.ifdb.portCount()) {
    for (const auto& card : cfg.lineCards) {
        agents_[card.slot].emplace(ctx, card.slot, card.agent, card.present);
    }
}

AclAgent* DataPlane::agent(uint32_t slot) {
    return slot < agents_.size() && agents_[slot] ? &*agents_[slot] : nullptr;
}
const AclAgent* DataPlane::agent(uint32_t slot) const {
    return slot < agents_.size() && agents_[slot] ? &*agents_[slot] : nullptr;
}

uint32_t DataPlane::presentBitmap() const {
    uint32_t bitmap = 0;
    for (const auto& a : agents_) {
        if (a && a->present())
            bitmap |= 1u << a->slot();
    }
    return bitmap;
}

std::string_view dropReasonName(DropReason reason) {
    switch (reason) {
        case DropReason::NoPort:
            return "no such port";
        case DropReason::Runt:
            return "runt frame";
        case DropReason::CardAbsent:
            return "card absent";
        case DropReason::NoEntry:
            return "no entry";
        case DropReason::Policed:
            return "policed";
        case DropReason::NoSocket:
            return "no socket";
        case DropReason::NoLiveMember:
            return "LAG without live member";
        case DropReason::SendFailed:
            return "send failed";
    }
    return "unknown";
}

const PortCounters& DataPlane::counters(uint32_t portIf) const {
    static const PortCounters kNone;
    const int index = ctx_.ifdb.portIndex(portIf);
    return index < 0 ? kNone : counters_[static_cast<size_t>(index)];
}

void DataPlane::drop(int portIndex, DropReason reason) {
    const auto r = static_cast<size_t>(reason);
    ++dropTotals_[r];
    if (portIndex >= 0)
        ++counters_[static_cast<size_t>(portIndex)].drops[r];
}

bool DataPlane::police(uint32_t slot, const AclEntry& entry, size_t frameLen) {
    if (entry.rate == 0)
        return true;
    constexpr uint64_t kBytesPerKbit = 125;  // 1000 bits / 8
    constexpr uint64_t kMinBurstBytes = 1518;
    const uint64_t bytesPerSecond = uint64_t{entry.rate} * kBytesPerKbit;
    const uint64_t cap = std::max(bytesPerSecond, kMinBurstBytes) * kTokenScale;
    Bucket& b = buckets_[{slot, {entry.ifIndex, entry.mac}}];
    const uint64_t now = ctx_.clock.nowUs;
    if (!b.started) {
        b = {cap, now, true};
    } else if (now > b.lastUs) {
        // tokens gained: elapsed microseconds x bytes per second (bytes x 10^6 per second)
        const uint64_t elapsed = now - b.lastUs;
        const uint64_t room = cap - b.tokens;
        b.tokens = elapsed >= room / bytesPerSecond + 1 ? cap : b.tokens + elapsed * bytesPerSecond;
        b.lastUs = now;
    }
    const uint64_t cost = uint64_t{frameLen} * kTokenScale;
    if (b.tokens < cost)
        return false;
    b.tokens -= cost;
    return true;
}

DataPlane::Trap DataPlane::frameIn(uint32_t portIf, std::span<const uint8_t> frame) {
    // Texts are made only when something reads them: this runs for every frame trapped.
    const bool tracing = ctx_.trace.on();
    const std::string actor = tracing ? "port " + ctx_.ifdb.name(portIf) : std::string();
    const std::string head = tracing ? "in len=" + std::to_string(frame.size()) : std::string();
    const ozm::IfInfo* info = ctx_.ifdb.info(portIf);
    const int index = ctx_.ifdb.portIndex(portIf);
    auto notTrapped = [&](DropReason reason, const std::string& why) {
        drop(index, reason);
        ctx_.trace.add(actor, head + " not-trapped (" + why + ")");
        return Trap::NotTrapped;
    };
    if (index < 0 || info == nullptr)
        return notTrapped(DropReason::NoPort, "no such port");
    ++counters_[static_cast<size_t>(index)].rxFrames;
    if (tap_ != nullptr)
        tap_->frame(portIf, false, frame);
    if (frame.size() < kEthHeaderLen)
        return notTrapped(DropReason::Runt, "runt frame");
    const AclAgent* a = agent(static_cast<uint32_t>(info->slot));
    if (a == nullptr || !a->present())
        return notTrapped(DropReason::CardAbsent, "card absent");
    const auto dst = frame.subspan(kDstMac, kMacLen);
    const AclEntry* entry = a->match(portIf, dst);
    if (entry == nullptr)
        return notTrapped(DropReason::NoEntry, "no entry for " + macText(dst));
    if (!police(a->slot(), *entry, frame.size())) {
        drop(index, DropReason::Policed);
        ctx_.trace.add(actor,
                       head + " dropped (policed at " + std::to_string(entry->rate) + " Kbps)");
        return Trap::NotTrapped;
    }
    std::span<const uint8_t> trapped = frame;
    const uint16_t tpid = wire::getU16(frame.data(), kTpidOff);
    std::string tagged;
    if (tpid != kTpid8021Q && tpid != kTpidQinQ && tpid != kTpidVman) {
        // An untagged frame is taken into the port's VLAN: the tag goes in after the MACs.
        const uint16_t vlan = ctx_.ifdb.portVlan(portIf);
        tagScratch_.assign(frame.begin(), frame.begin() + kTpidOff);
        tagScratch_.resize(kTpidOff + kTagLen);
        wire::putU16(tagScratch_.data(), kTpidOff, kTpid8021Q);
        wire::putU16(tagScratch_.data(), kTpidOff + kTagTci, vlan);
        tagScratch_.insert(tagScratch_.end(), frame.begin() + kTpidOff, frame.end());
        trapped = tagScratch_;
        if (tracing)
            tagged = " tagged=" + std::to_string(vlan);
    }
    const auto lag = ctx_.ifdb.lagOf(portIf);
    const uint32_t rxIf = lag.value_or(portIf);
    const bool access = isProtocolMac(dst);
    const std::string how = tracing
                                ? std::string(access ? " trapped=access" : " trapped=tunnel") +
                                      tagged + (lag ? " rx=" + ctx_.ifdb.name(*lag) : std::string())
                                : std::string();
    if (!ctx_.task.toPduSocket(access ? OZML2STP : OZML2L2PT, rxIf, trapped)) {
        drop(index, DropReason::NoSocket);
        ctx_.trace.add(actor, head + how + " dropped (no socket)");
        return Trap::NotTrapped;
    }
    ++counters_[static_cast<size_t>(index)].trapped;
    ctx_.trace.add(actor, head + how);
    return access ? Trap::Access : Trap::Tunnel;
}

std::optional<uint32_t> DataPlane::liveMember(uint32_t lagIf) const {
    for (uint32_t member : ctx_.ifdb.lagMembers(lagIf)) {
        const ozm::IfInfo* info = ctx_.ifdb.info(member);
        const AclAgent* a = info != nullptr ? agent(static_cast<uint32_t>(info->slot)) : nullptr;
        if (a != nullptr && a->present())
            return member;
    }
    return std::nullopt;
}

bool DataPlane::frameOut(uint32_t egressIf, std::span<const uint8_t> frame) {
    if (!recordFrames_ && wire_ == nullptr)
        return true;
    uint32_t port = egressIf;
    // Texts are made only when something reads them: this runs for every frame sent.
    const bool tracing = ctx_.trace.on();
    std::string name = tracing ? ctx_.ifdb.name(egressIf) : std::string();
    const std::string head = tracing ? "out len=" + std::to_string(frame.size()) : std::string();
    if (ctx_.ifdb.isLag(egressIf)) {
        const auto member = liveMember(egressIf);
        if (!member) {
            drop(-1, DropReason::NoLiveMember);
            ctx_.trace.add("port " + name, head + " dropped (LAG without live member)");
            return false;
        }
        port = *member;
        if (tracing)
            name += "(" + ctx_.ifdb.name(port) + ")";
    }
    const int index = ctx_.ifdb.portIndex(port);
    if (index < 0) {
        drop(-1, DropReason::NoPort);
        ctx_.trace.add("kernel", "sendto " + name + " failed (not a port or LAG)");
        return false;
    }
    const ozm::IfInfo* info = ctx_.ifdb.info(port);
    const AclAgent* card = info != nullptr ? agent(static_cast<uint32_t>(info->slot)) : nullptr;
    if (card == nullptr || !card->present()) {
        drop(index, DropReason::CardAbsent);
        ctx_.trace.add("port " + name, head + " dropped (card absent)");
        return false;
    }
    if (ctx_.faults.any() &&
        (ctx_.faults.hit("sendto:" + ctx_.ifdb.name(egressIf)) ||
         (port != egressIf && ctx_.faults.hit("sendto:" + ctx_.ifdb.name(port))))) {
        drop(index, DropReason::SendFailed);
        ctx_.trace.add("port " + name, head + " dropped (send failed)");
        return false;
    }
    ++counters_[static_cast<size_t>(index)].txFrames;
    if (tap_ != nullptr)
        tap_->frame(port, true, frame);
    if (wire_ != nullptr)
        wire_->transmit(port, frame);
    if (!recordFrames_)
        return true;
    out_[index].emplace_back(frame.begin(), frame.end());
    if (ctx_.trace.on())
        ctx_.trace.add("port " + name, head + " " + hexText(frame));
    return true;
}

const std::vector<std::vector<uint8_t>>& DataPlane::framesOut(uint32_t portIf) const {
    static const std::vector<std::vector<uint8_t>> kNone;
    const int index = ctx_.ifdb.portIndex(portIf);
    return index < 0 ? kNone : out_[index];
}

void DataPlane::clearFramesOut() {
    for (auto& frames : out_)
        frames.clear();
}

}  // namespace chassis
