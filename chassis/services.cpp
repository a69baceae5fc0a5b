#include "chassis/services.h"

#include <algorithm>
#include <cstring>

#include "chassis/message.h"

namespace chassis {

namespace {
constexpr Party kEvtParty{party::kEvt, 0};
constexpr Party kHaParty{party::kHa, 0};
constexpr Party kCliParty{party::kCli, 0};
constexpr Party kMgrParty{party::kMgr, 0};
constexpr Party kPeerParty{svc::kL2pt, 0};
constexpr int kCfgFailure = -1;
constexpr size_t kTaskDisableLen = replymsg::kReplyCode + sizeof(uint32_t);

std::string peerMessageText(std::span<const uint8_t> msg) {
    const uint8_t* m = msg.data();
    const uint32_t type = hdr::msgType(m);
    const char* name = type == MT_L2PT_REG_REQ           ? "reg-req"
                       : type == MT_L2PT_ACL_UPDATE_PRPM ? "acl-update"
                                                         : nullptr;
    std::string out = name ? name : "type=" + std::to_string(type);
    out += " status=" + std::to_string(hdr::msgStatus(m));
    if (msg.size() >= rpmmsg::kLen) {
        out += " bitmap=" + hex32(wire::getU32(m, rpmmsg::kAclBitmap)) +
               " master=" + std::to_string(wire::getI32(m, rpmmsg::kMasterSlot));
    }
    return out + " len=" + std::to_string(msg.size());
}
}  // namespace

int EventService::subscribe(std::span<const uint32_t> events, bool on) {
    if (on) {
        std::set<uint32_t> after(subscribed_);
        after.insert(events.begin(), events.end());
        if (after.size() > kMaxSubscribed) {
            ctx_.trace.add("evt", "subscribe refused: more than " + std::to_string(kMaxSubscribed) +
                                      " events");
            return -1;
        }
    }
    std::string list;
    for (uint32_t e : events) {
        if (on)
            subscribed_.insert(e);
        else
            subscribed_.erase(e);
        list += " " + hex32(e);
    }
    ctx_.trace.add("evt", std::string(on ? "subscribe" : "unsubscribe") + list);
    return 0;
}

bool EventService::cardEvent(uint32_t slot, uint32_t event, bool present, const char* what) {
    AclAgent* a = cards_.agent(slot);
    if (a == nullptr) {
        ctx_.trace.add(
            "evt", std::string(what) + " slot=" + std::to_string(slot) + " (no line card there)");
        return false;
    }
    a->setPresent(present);
    ctx_.trace.add("evt", std::string(what) + " slot=" + std::to_string(slot));
    if (subscribed(event))
        deliver(event, slot);
    return true;
}

bool EventService::cardUp(uint32_t slot) {
    return cardEvent(slot, EVT_LINECARD_UP, true, "card-up");
}
bool EventService::cardDown(uint32_t slot) {
    return cardEvent(slot, EVT_LINECARD_DOWN, false, "card-down");
}
bool EventService::cardRemoved(uint32_t slot) {
    return cardEvent(slot, EVT_LINECARD_REMOVED, false, "card-removed");
}

void EventService::raw(uint32_t event, uint32_t slot) {
    deliver(event, slot);
}

void EventService::deliver(uint32_t event, uint32_t slot) {
    auto m = makeMessage(MT_EVT_NOTIFICATION, evtmsg::kLen, kEvtParty);
    wire::putU32(m.data(), evtmsg::kEventId, event);
    wire::putU32(m.data(), evtmsg::kSlot, slot);
    ctx_.trace.add("evt",
                   "tx notification event=" + hex32(event) + " slot=" + std::to_string(slot));
    ctx_.task.toTask(std::move(m));
}

void Ha::setPrimary(bool primary) {
    primary_ = primary;
    ctx_.trace.add("ha", primary ? "role primary" : "role secondary");
}

void Ha::event(uint32_t code) {
    auto m = makeMessage(MT_HA_CONTROL, hdr::kPlainHeaderLen, kHaParty);
    wire::putU32(m.data(), hdr::kHaEvent, code);
    ctx_.trace.add("ha", "tx ha-control event=" + std::to_string(code));
    ctx_.task.toTask(std::move(m));
}

int PeerRpm::receive(uint32_t service, uint32_t instance, std::span<const uint8_t> msg) {
    if (ctx_.faults.hit("peer-send"))
        return -1;
    if (cfg_.role == PeerRole::None) {
        ctx_.trace.add("peer", "none: message of service " + std::to_string(service) + " not sent");
        return -1;
    }
    if (!wellFormed(msg)) {
        ctx_.trace.add("peer", "rx rejected (len=" + std::to_string(msg.size()) + ", bad msgLen)");
        return -1;
    }
    msg = covered(msg);
    if (keep_)
        received_.emplace_back(msg.begin(), msg.end());
    ctx_.trace.add("peer", "rx " + peerMessageText(msg) + " service=" + std::to_string(service) +
                               " instance=" + std::to_string(instance));
    const uint8_t* m = msg.data();
    if (cfg_.role == PeerRole::Primary && hdr::msgType(m) == MT_L2PT_REG_REQ &&
        hdr::msgStatus(m) == rpmmsg::kStatusRequest && msg.size() >= rpmmsg::kLen) {
        std::vector<uint8_t> reply(msg.begin(), msg.end());
        hdr::setMsgStatus(reply.data(), 0);
        wire::putU32(reply.data(), rpmmsg::kAclBitmap, cfg_.bitmap);
        wire::putI32(reply.data(), rpmmsg::kMasterSlot, cfg_.masterSlot);
        ctx_.trace.add("peer", "tx " + peerMessageText(reply));
        ctx_.task.toTask(std::move(reply));
    }
    return 0;
}

void PeerRpm::send(uint32_t type, int32_t status, uint32_t bitmap, int32_t masterSlot) {
    auto m = makeMessage(type, rpmmsg::kLen, kPeerParty);
    hdr::setMsgStatus(m.data(), status);
    wire::putU32(m.data(), rpmmsg::kAclBitmap, bitmap);
    wire::putI32(m.data(), rpmmsg::kMasterSlot, masterSlot);
    ctx_.trace.add("peer", "tx " + peerMessageText(m));
    ctx_.task.toTask(std::move(m));
}

void Cli::request(const Request& r) {
    auto m = makeMessage(MT_CLI_REQ, climsg::kReplyLen, kCliParty);
    uint8_t* p = m.data();
    wire::putU32(p, climsg::kSubCode, r.subCode);
    wire::putU16(p, climsg::kDbgRemove, r.remove);
    wire::putU32(p, climsg::kDbgIfIndex, r.word92);
    wire::putU32(p, climsg::kDbgVlan, r.word96);
    wire::putU32(p, climsg::kDbgCount, r.word100);
    wire::putU8(p, climsg::kDbgDirection, r.direction);
    const bool debug = r.subCode == climsg::kSubDebug;
    ctx_.trace.add(
        "cli",
        "tx request sub=" + std::to_string(r.subCode) + " remove=" + std::to_string(r.remove) +
            (debug ? " if=" + ctx_.ifdb.name(r.word92) : " w92=" + std::to_string(r.word92)) +
            " w96=" + std::to_string(r.word96) + " w100=" + std::to_string(r.word100) +
            " dir=" + std::to_string(r.direction));
    ctx_.task.toTask(std::move(m));
}

void Cli::debugFilter(uint32_t portIf, uint32_t vlan, uint32_t count, uint8_t direction,
                      bool remove) {
    request(
        {climsg::kSubDebug, static_cast<uint16_t>(remove ? 1 : 0), portIf, vlan, count, direction});
}

void Cli::undebugAll() {
    ctx_.trace.add("cli", "tx undebug-all");
    ctx_.task.toTask(makeMessage(MT_UNDEBUG_ALL, hdr::kPlainHeaderLen, kCliParty));
}

void Cli::onReply(std::span<const uint8_t> msg) {
    replies_.push_back({hdr::msgType(msg.data()), {msg.begin(), msg.end()}});
    const uint8_t* m = msg.data();
    if (msg.size() < climsg::kShowText) {
        ctx_.trace.add("cli", "rx reply len=" + std::to_string(msg.size()) + " (short)");
        return;
    }
    const uint32_t sub = wire::getU32(m, climsg::kSubCode);
    ctx_.trace.add("cli", "rx reply sub=" + std::to_string(sub) +
                              " result=" + std::to_string(wire::getU32(m, climsg::kResult)) +
                              " code=" + std::to_string(wire::getU32(m, replymsg::kReplyCode)));
    if (sub != climsg::kSubShowVlan && sub != climsg::kSubShowAll)
        return;
    ctx_.trace.add("cli", "  more=" + std::to_string(wire::getU16(m, climsg::kShowMore)) +
                              " found=" + std::to_string(wire::getU16(m, climsg::kShowFound)));
    // The show text runs to its NUL, never past the reply.
    const auto text = msg.subspan(climsg::kShowText);
    const auto end = std::find(text.begin(), text.end(), 0);
    std::string line;
    for (auto it = text.begin(); it != end; ++it) {
        if (*it == '\r')
            continue;
        if (*it == '\n') {
            ctx_.trace.add("cli", "  | " + line);
            line.clear();
        } else {
            line += static_cast<char>(*it);
        }
    }
    if (!line.empty())
        ctx_.trace.add("cli", "  | " + line);
}

void TaskManager::disable() {
    ctx_.trace.add("mgr", "tx task-disable");
    ctx_.task.toTask(makeMessage(MT_L2PT_TASK_DISABLE, kTaskDisableLen, kMgrParty));
}

void TaskManager::onReply(std::span<const uint8_t> msg) {
    replies_.push_back({hdr::msgType(msg.data()), {msg.begin(), msg.end()}});
    std::string code =
        msg.size() >= kTaskDisableLen
            ? " code=" + std::to_string(wire::getU32(msg.data(), replymsg::kReplyCode))
            : std::string(" (short)");
    ctx_.trace.add("mgr", "rx reply type=" + std::to_string(hdr::msgType(msg.data())) + code);
}

void EventLogSink::add(const ozm::LogRecord& record) {
    if (keep_)
        records_.push_back(record);
    ctx_.trace.add("log", record.code ? hex32(record.code) + " " + record.text : record.text);
}

void ConsoleSink::add(std::string_view text) {
    for (char c : text) {
        if (c == '\r')
            continue;
        if (c == '\n') {
            endLine();
        } else {
            pending_ += c;
            if (pending_.size() == kMaxLine)
                endLine();
        }
    }
}

void ConsoleSink::flush() {
    if (!pending_.empty())
        endLine();
}

void ConsoleSink::endLine() {
    ctx_.trace.add("console", pending_);
    if (keep_)
        lines_.push_back(std::move(pending_));
    pending_.clear();
}

std::string CfgTree::keyText(std::span<const uint32_t> key) {
    std::string out;
    for (uint32_t k : key)
        out += (out.empty() ? "" : ".") + std::to_string(k);
    return out;
}

int CfgTree::insert(std::span<const uint32_t> key, std::string_view text) {
    if (ctx_.faults.hit("cfg"))
        return kCfgFailure;
    if (key.size() > kMaxKey || text.size() > kMaxText ||
        (lines_.size() >= kMaxLines && !lines_.contains(Key(key.begin(), key.end())))) {
        ctx_.trace.add("cfg", "insert refused: beyond what the tree holds");
        return kCfgFailure;
    }
    lines_.insert_or_assign(Key(key.begin(), key.end()), std::string(text));
    ctx_.trace.add("cfg", "insert " + keyText(key) + " \"" + std::string(text) + "\"");
    return 0;
}

int CfgTree::removeExact(std::span<const uint32_t> key) {
    if (ctx_.faults.hit("cfg"))
        return kCfgFailure;
    const bool had = lines_.erase(Key(key.begin(), key.end())) != 0;
    ctx_.trace.add("cfg", "remove " + keyText(key) + (had ? "" : " (absent)"));
    return 0;
}

int CfgTree::removeNode(std::span<const uint32_t> prefix) {
    if (ctx_.faults.hit("cfg"))
        return kCfgFailure;
    const size_t n = std::erase_if(lines_, [&](const auto& kv) {
        return kv.first.size() >= prefix.size() &&
               std::equal(prefix.begin(), prefix.end(), kv.first.begin());
    });
    ctx_.trace.add("cfg", "remove-node " + keyText(prefix) + " (" + std::to_string(n) + " lines)");
    return 0;
}

std::vector<std::string> CfgTree::texts() const {
    std::vector<std::string> out;
    for (const auto& kv : lines_)
        out.push_back(kv.second);
    return out;
}

}  // namespace chassis
