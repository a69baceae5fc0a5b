#include "chassis/ifm.h"

#include <algorithm>

#include "chassis/message.h"
#include "chassis/rules.h"
#include "dataplane/defs.h"

namespace chassis {

namespace {

constexpr Party kIfmParty{svc::kIfm, 0};
constexpr uint32_t kIfmSession = 0x00138001;  // session of IFM's sequenced queue to the task
constexpr uint32_t kIfmQueueHandle = 1;
constexpr uint16_t kDefaultVmanTpid = 0x9100;  // the task's provider tag until IFM says otherwise
constexpr uint32_t kWrongReplyTypeOffset = 1;
constexpr int32_t kBadStatus = 1;
constexpr uint8_t kRateOpSet = 1;
constexpr uint8_t kMacSet = 1;
constexpr size_t kMaxPortsPerVlanBlock =
    (hdr::kMaxMsgLen - vlanmsg::kBlocks - vlanmsg::kBlkHeaderLen) / vlanmsg::kPortEntryLen;
constexpr size_t kMaxLagBlocks = (hdr::kMaxMsgLen - lagmsg::kBlocks) / lagmsg::kBlockLen;

}  // namespace

std::string protocolsText(uint8_t flags) {
    static constexpr std::pair<uint8_t, const char*> kNames[] = {
        {kProtoStp, "stp"}, {kProtoLldp, "lldp"}, {kProtoGvrp, "gvrp"}, {kProtoPvst, "pvst"}};
    std::string out;
    for (auto [flag, name] : kNames) {
        if (flags & flag)
            out += out.empty() ? name : std::string(",") + name;
    }
    const uint8_t unknown = flags & ~(kProtoStp | kProtoLldp | kProtoGvrp | kProtoPvst);
    if (unknown)
        out += (out.empty() ? "" : ",") + hex32(unknown);
    return out.empty() ? "none" : out;
}

Ifm::Ifm(Context& ctx, const ChassisConfig& cfg, DataPlane& cards)
    : ctx_(ctx), cards_(cards), slots_(cfg.slots) {
    const auto& t = cfg.tunnelling;
    const ResolvedTunnelling resolved = resolveTunnelling(ctx.ifdb, cfg);
    for (const auto& v : resolved.vlans) {
        auto& state = vlans_[v.vlanIf];
        state.protocols |= v.protocols;
        if (state.rate == 0)
            state.rate = v.rate;
        for (const auto& [port, core] : v.ports)
            state.ports.push_back({port, core ? vlanmsg::kModeCorePort : 0});
    }
    for (const auto& [vlanIf, rate] : resolved.rates)
        rates_[vlanIf] = rate;
    mac_ = t.tunnelMac;
    replaceGlobal_ = t.replaceGlobal;
    tpid_ = t.vmanTpid;
}

TunnellingConfig Ifm::snapshot() const {
    TunnellingConfig t;
    for (const auto& [vlanIf, state] : vlans_) {
        TunnelVlanConfig v;
        v.vlan.name = ctx_.ifdb.name(vlanIf);
        v.protocols = state.protocols;
        v.rate = state.rate;
        for (const auto& p : state.ports)
            v.ports.push_back({{ctx_.ifdb.name(p.ifIndex), 0}, p.mode == vlanmsg::kModeCorePort});
        t.vlans.push_back(std::move(v));
    }
    for (const auto& [vlanIf, rate] : rates_)
        t.rates.push_back({{ctx_.ifdb.name(vlanIf), 0}, rate});
    t.tunnelMac = mac_;
    t.replaceGlobal = replaceGlobal_;
    t.vmanTpid = tpid_;
    return t;
}

std::optional<bool> Ifm::isCorePort(uint32_t vlanId, uint32_t portIf) const {
    // Runs for every frame leaving a port on the net backend: one lookup, not a walk.
    const auto vlan = vlans_.find(vlanIfIndex(vlanId));
    if (vlan == vlans_.end())
        return std::nullopt;
    const auto lag = ctx_.ifdb.lagOf(portIf);
    for (const auto& p : vlan->second.ports) {
        if (p.ifIndex == portIf || (lag && p.ifIndex == *lag))
            return p.mode == vlanmsg::kModeCorePort;
    }
    return std::nullopt;
}

Mac Ifm::tunnelMac() const {
    if (mac_)
        return *mac_;
    Mac m;
    std::copy(std::begin(l2pt_default_tunnel_mac), std::end(l2pt_default_tunnel_mac), m.begin());
    return m;
}

uint16_t Ifm::vmanTpid() const {
    return tpid_.value_or(kDefaultVmanTpid);
}

void Ifm::forEachMember(const std::function<void(const Member&)>& visit) const {
    for (const auto& [vlanIf, state] : vlans_) {
        const auto vid = static_cast<uint16_t>(vlanIf & kIfPosMask);
        for (const auto& p : state.ports)
            visit({vid, p.ifIndex, p.mode == vlanmsg::kModeCorePort});
    }
}

std::optional<std::vector<uint8_t>> Ifm::request(std::span<const uint8_t> msg) {
    if (!wellFormed(msg)) {
        ctx_.trace.add("ifm", "rx request rejected (bad msgLen)");
        return std::nullopt;
    }
    const uint32_t type = hdr::msgType(msg.data());
    const char* what = type == MT_L2PT_IFM_REG             ? "register"
                       : type == MT_L2PT_IFM_DOWNLOAD_DATA ? "download-data"
                                                           : nullptr;
    if (what == nullptr) {
        ctx_.trace.add("ifm", "rx request type=" + std::to_string(type) + " (not answered)");
        return std::nullopt;
    }
    if (ctx_.faults.hit("ifm-silent")) {
        ctx_.trace.add("ifm", std::string("rx ") + what + " (silent)");
        return std::nullopt;
    }
    ctx_.trace.add("ifm", std::string("rx ") + what);
    const size_t len =
        std::max<size_t>(hdr::msgLen(msg.data()), ifmreg::kLineCardBitmap + sizeof(uint32_t));
    auto reply = makeMessage(type, len, kIfmParty);
    uint8_t* r = reply.data();
    std::string fields;
    if (type == MT_L2PT_IFM_REG) {
        wire::putU32(r, ifmreg::kMaxSlots, slots_);
        wire::putU32(r, ifmreg::kLineCardBitmap, cards_.presentBitmap());
        fields = " slots=" + std::to_string(slots_) + " cards=" + hex32(cards_.presentBitmap());
    }
    if (ctx_.faults.hit("ifm-status"))
        hdr::setMsgStatus(r, kBadStatus);
    if (ctx_.faults.hit("ifm-type"))
        hdr::setMsgType(r, type + kWrongReplyTypeOffset);
    ctx_.trace.add("ifm", "tx reply type=" + std::to_string(hdr::msgType(r)) +
                              " status=" + std::to_string(hdr::msgStatus(r)) + fields);
    if (type == MT_L2PT_IFM_DOWNLOAD_DATA && hdr::msgStatus(r) == 0) {
        // The reply goes first: the task reads the configuration after its request returned.
        std::vector<uint8_t> first = std::move(reply);
        download();
        return first;
    }
    return reply;
}

void Ifm::receive(std::span<const uint8_t> msg) {
    if (!wellFormed(msg)) {
        ctx_.trace.add("ifm", "rx rejected (len=" + std::to_string(msg.size()) + ", bad msgLen)");
        return;
    }
    msg = covered(msg);
    const uint8_t* m = msg.data();
    const uint32_t type = hdr::msgType(m);
    if (type == MT_SWP_ACK && msg.size() >= hdr::kSeqHeaderLen &&
        swpw::magic(m) == swpw::kSwpMagic) {
        acks_.push_back(swpw::seq(m));
        ctx_.trace.add("ifm", "rx ack seq=" + std::to_string(swpw::seq(m)));
        return;
    }
    ctx_.trace.add("ifm", "rx type=" + std::to_string(type) + " len=" + std::to_string(msg.size()) +
                              " (ignored)");
}

std::vector<uint8_t> Ifm::sequenced(uint32_t type, size_t len, std::optional<uint32_t> seq) {
    auto m = makeMessage(type, len, kIfmParty);
    const uint32_t s = seq.value_or(seq_ + 1);
    seq_ = std::max(seq_, s);
    stampSequenced(m, swpw::Kind::Data, kIfmSession, s, kIfmQueueHandle, kIfmParty);
    return m;
}

std::string Ifm::portsText(const std::vector<PortMode>& ports) const {
    std::string out;
    for (const auto& p : ports) {
        if (!out.empty())
            out += ',';
        out += ctx_.ifdb.name(p.ifIndex);
        out += p.mode & vlanmsg::kModeCorePort ? ":core" : ":access";
    }
    return out.empty() ? "none" : out;
}

void Ifm::sendVlanBlocks(uint32_t type, const char* what, const std::vector<VlanBlock>& blocks) {
    // Split blocks whose ports do not fit one message, then fill messages up to 8192 bytes.
    std::vector<VlanBlock> parts;
    for (const auto& b : blocks) {
        size_t start = 0;
        do {
            VlanBlock part{b.vlanIf, b.protocols, b.rate, {}};
            const size_t n = std::min(kMaxPortsPerVlanBlock, b.ports.size() - start);
            part.ports.assign(b.ports.begin() + static_cast<long>(start),
                              b.ports.begin() + static_cast<long>(start + n));
            parts.push_back(std::move(part));
            start += n;
        } while (start < b.ports.size());
    }
    size_t next = 0;
    do {
        size_t len = vlanmsg::kBlocks;
        size_t end = next;
        while (end < parts.size()) {
            const size_t blockLen =
                vlanmsg::kBlkHeaderLen + parts[end].ports.size() * vlanmsg::kPortEntryLen;
            if (len + blockLen > hdr::kMaxMsgLen)
                break;
            len += blockLen;
            ++end;
        }
        auto m = sequenced(type, len);
        uint8_t* p = m.data();
        wire::putU32(p, vlanmsg::kBlockCount, static_cast<uint32_t>(end - next));
        ctx_.trace.add("ifm", std::string("tx ") + what + " seq=" + std::to_string(seq_) +
                                  " blocks=" + std::to_string(end - next));
        size_t off = vlanmsg::kBlocks;
        for (size_t i = next; i < end; ++i) {
            const auto& b = parts[i];
            wire::putU32(p, off + vlanmsg::kBlkVlanIfIndex, b.vlanIf);
            wire::putU16(p, off + vlanmsg::kBlkPortCount, static_cast<uint16_t>(b.ports.size()));
            wire::putU16(p, off + vlanmsg::kBlkRate, b.rate);
            wire::putU8(p, off + vlanmsg::kBlkFlags, b.protocols);
            off += vlanmsg::kBlkHeaderLen;
            for (const auto& port : b.ports) {
                wire::putU32(p, off + vlanmsg::kPortIfIndex, port.ifIndex);
                wire::putU32(p, off + vlanmsg::kPortMode, port.mode);
                off += vlanmsg::kPortEntryLen;
            }
            ctx_.trace.add("ifm", "  block vlan=" + ctx_.ifdb.name(b.vlanIf) +
                                      " protocols=" + protocolsText(b.protocols) + " rate=" +
                                      std::to_string(b.rate) + " ports=" + portsText(b.ports));
        }
        ctx_.task.toTask(std::move(m));
        next = end;
    } while (next < parts.size());
}

void Ifm::sendLagBlocks(uint32_t type, const char* what, const std::vector<LagBlock>& blocks) {
    std::vector<LagBlock> parts;
    for (const auto& b : blocks) {
        size_t start = 0;
        do {
            const size_t n =
                std::min<size_t>(lagmsg::kMaxMembersPerBlock, b.members.size() - start);
            parts.push_back({b.lagIf,
                             {b.members.begin() + static_cast<long>(start),
                              b.members.begin() + static_cast<long>(start + n)}});
            start += n;
        } while (start < b.members.size());
    }
    size_t next = 0;
    do {
        const size_t end = std::min(parts.size(), next + kMaxLagBlocks);
        auto m = sequenced(type, lagmsg::kBlocks + (end - next) * lagmsg::kBlockLen);
        uint8_t* p = m.data();
        wire::putI32(p, lagmsg::kBlockCount, static_cast<int32_t>(end - next));
        ctx_.trace.add("ifm", std::string("tx ") + what + " seq=" + std::to_string(seq_) +
                                  " blocks=" + std::to_string(end - next));
        for (size_t i = next; i < end; ++i) {
            const size_t off = lagmsg::kBlocks + (i - next) * lagmsg::kBlockLen;
            wire::putU32(p, off + lagmsg::kBlkLagIfIndex, parts[i].lagIf);
            std::string names;
            for (size_t k = 0; k < parts[i].members.size(); ++k) {
                wire::putU32(p, off + lagmsg::kBlkMembers + k * sizeof(uint32_t),
                             parts[i].members[k]);
                names += (k ? "," : "") + ctx_.ifdb.name(parts[i].members[k]);
            }
            wire::putU8(p, off + lagmsg::kBlkMemberCount,
                        static_cast<uint8_t>(parts[i].members.size()));
            ctx_.trace.add("ifm", "  block lag=" + ctx_.ifdb.name(parts[i].lagIf) +
                                      " members=" + (names.empty() ? "none" : names));
        }
        ctx_.task.toTask(std::move(m));
        next = end;
    } while (next < parts.size());
}

void Ifm::sendRate(uint32_t vlanIf, uint32_t rate, bool set) {
    auto m = sequenced(MT_L2PT_RATE_LIMIT, ratemsg::kLen);
    wire::putU32(m.data(), ratemsg::kVlanIfIndex, vlanIf);
    wire::putU32(m.data(), ratemsg::kRateValue, rate);
    wire::putU8(m.data(), ratemsg::kRateOp, set ? kRateOpSet : 0);
    ctx_.trace.add("ifm", "tx rate seq=" + std::to_string(seq_) +
                              " vlan=" + ctx_.ifdb.name(vlanIf) + " rate=" + std::to_string(rate) +
                              (set ? " op=set" : " op=remove"));
    ctx_.task.toTask(std::move(m));
}

void Ifm::sendMac(const Mac& mac, bool set, bool replaceGlobal) {
    auto m = sequenced(MT_L2PT_MAC, macmsg::kLen);
    std::copy(mac.begin(), mac.end(), m.begin() + macmsg::kNewMac);
    wire::putU8(m.data(), macmsg::kSetMac, set ? kMacSet : 0);
    wire::putU8(m.data(), macmsg::kReplaceGlobal, replaceGlobal ? 1 : 0);
    ctx_.trace.add("ifm", "tx tunnel-mac seq=" + std::to_string(seq_) +
                              (set ? " mac=" + macText(mac) : std::string(" default")) +
                              " replace-global=" + (replaceGlobal ? "1" : "0"));
    ctx_.task.toTask(std::move(m));
}

void Ifm::sendVmanTpid(uint16_t tpid) {
    auto m = sequenced(MT_L2PT_VMAN_PT, vmanptmsg::kLen);
    wire::putU16(m.data(), vmanptmsg::kTpid, tpid);
    ctx_.trace.add("ifm", "tx vman-tpid seq=" + std::to_string(seq_) + " tpid=" + hex32(tpid));
    ctx_.task.toTask(std::move(m));
}

void Ifm::download() {
    if (tpid_)
        sendVmanTpid(*tpid_);
    if (mac_)
        sendMac(*mac_, true, replaceGlobal_);
    std::vector<LagBlock> lags;
    for (size_t i = 0; i < ctx_.ifdb.lagCount(); ++i) {
        const uint32_t lag = ctx_.ifdb.lagAt(i);
        if (!ctx_.ifdb.lagMembers(lag).empty())
            lags.push_back({lag, ctx_.ifdb.lagMembers(lag)});
    }
    if (!lags.empty())
        sendLagBlocks(MT_L2PT_LAG_MEMBER_ADD, "lag-add", lags);
    std::vector<VlanBlock> vlans;
    for (const auto& [vlanIf, state] : vlans_)
        vlans.push_back({vlanIf, state.protocols, state.rate, state.ports});
    if (!vlans.empty())
        sendVlanBlocks(MT_L2PT_ADD_VLAN_PORT, "vlan-add", vlans);
    for (const auto& [vlanIf, rate] : rates_)
        sendRate(vlanIf, rate, true);
}

void Ifm::vlanAdd(const std::vector<VlanBlock>& blocks) {
    ++generation_;
    for (const auto& b : blocks) {
        auto& state = vlans_[b.vlanIf];
        state.protocols |= b.protocols;
        if (state.rate == 0)
            state.rate = b.rate;
        for (const auto& p : b.ports) {
            auto it = std::find_if(state.ports.begin(), state.ports.end(),
                                   [&](const PortMode& q) { return q.ifIndex == p.ifIndex; });
            // A port added again keeps its role, as the task keeps its node.
            if (it == state.ports.end())
                state.ports.push_back(p);
        }
    }
    sendVlanBlocks(MT_L2PT_ADD_VLAN_PORT, "vlan-add", blocks);
}

// Whether a removal of block's protocols concerns the VLAN: the task ignores one naming none
// of the protocols the VLAN tunnels.
bool Ifm::carries(const VlanState& state, const VlanBlock& b) {
    return (state.protocols & b.protocols) != 0;
}

void Ifm::vlanDel(const std::vector<VlanBlock>& blocks) {
    ++generation_;
    for (const auto& b : blocks) {
        auto it = vlans_.find(b.vlanIf);
        if (it == vlans_.end() || !carries(it->second, b))
            continue;
        std::erase_if(it->second.ports, [&](const PortMode& q) {
            return std::any_of(b.ports.begin(), b.ports.end(),
                               [&](const PortMode& p) { return p.ifIndex == q.ifIndex; });
        });
    }
    cards_.membersLeft();
    sendVlanBlocks(MT_L2PT_DEL_VLAN_PORT, "vlan-del", blocks);
}

void Ifm::vlanDisable(const std::vector<VlanBlock>& blocks) {
    ++generation_;
    for (const auto& b : blocks) {
        auto it = vlans_.find(b.vlanIf);
        if (it == vlans_.end() || !carries(it->second, b))
            continue;
        // The task's VLAN record goes whole, with its rate.
        vlans_.erase(it);
        rates_.erase(b.vlanIf);
    }
    cards_.membersLeft();
    sendVlanBlocks(MT_L2PT_VLAN_PROTO_DISABLE, "vlan-disable", blocks);
}

void Ifm::lagAdd(const std::vector<LagBlock>& blocks) {
    ++generation_;
    for (const auto& b : blocks) {
        for (uint32_t m : b.members) {
            if (!ctx_.ifdb.addLagMember(b.lagIf, m)) {
                ctx_.trace.add("ifm", "lag " + ctx_.ifdb.name(b.lagIf) + " cannot take " +
                                          ctx_.ifdb.name(m) + " (data plane unchanged)");
            }
        }
    }
    sendLagBlocks(MT_L2PT_LAG_MEMBER_ADD, "lag-add", blocks);
}

void Ifm::lagDel(const std::vector<LagBlock>& blocks) {
    ++generation_;
    for (const auto& b : blocks) {
        for (uint32_t m : b.members) {
            if (!ctx_.ifdb.removeLagMember(b.lagIf, m)) {
                ctx_.trace.add("ifm", "lag " + ctx_.ifdb.name(b.lagIf) + " has no member " +
                                          ctx_.ifdb.name(m) + " (data plane unchanged)");
            }
        }
    }
    sendLagBlocks(MT_L2PT_LAG_MEMBER_DEL, "lag-del", blocks);
}

void Ifm::rateSet(uint32_t vlanIf, uint32_t rate) {
    rates_[vlanIf] = rate;
    sendRate(vlanIf, rate, true);
}

void Ifm::rateRemove(uint32_t vlanIf) {
    rates_.erase(vlanIf);
    // The task drops the VLAN's limit whoever gave it: the VLAN's own, from its adding, too.
    if (const auto it = vlans_.find(vlanIf); it != vlans_.end())
        it->second.rate = 0;
    sendRate(vlanIf, 0, false);
}

void Ifm::tunnelMac(const Mac& mac, bool replaceGlobal) {
    mac_ = mac;
    replaceGlobal_ = replaceGlobal;
    sendMac(mac, true, replaceGlobal);
}

void Ifm::tunnelMacDefault() {
    mac_.reset();
    sendMac(Mac{}, false, false);
}

void Ifm::vmanTpid(uint16_t tpid) {
    tpid_ = tpid;
    ++generation_;
    sendVmanTpid(tpid);
}

void Ifm::rawSequenced(uint32_t type, std::optional<uint32_t> seq, std::span<const uint8_t> body) {
    auto m = sequenced(type, hdr::kSeqHeaderLen + body.size(), seq);
    std::copy(body.begin(), body.end(), m.begin() + hdr::kSeqHeaderLen);
    ctx_.trace.add("ifm", "tx raw type=" + std::to_string(type) +
                              " seq=" + std::to_string(swpw::seq(m.data())) +
                              " len=" + std::to_string(m.size()));
    ctx_.task.toTask(std::move(m));
}

void Ifm::rawBytes(std::span<const uint8_t> bytes) {
    ctx_.trace.add("ifm", "tx raw-bytes len=" + std::to_string(bytes.size()));
    ctx_.task.toTask({bytes.begin(), bytes.end()});
}

}  // namespace chassis
