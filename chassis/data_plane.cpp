#include "chassis/data_plane.h"

#include <algorithm>

#include "dataplane/abi.h"
#include "dataplane/defs.h"
#include "platform/wire/bytes.h"

namespace chassis {

namespace {

constexpr size_t kTagTci = 2;  // within a tag: priority, drop eligibility and VLAN id
// A copy may be this much longer than its way out's MTU: the Ethernet header and one tag, as
// the kernel's own check allows.
constexpr size_t kMtuAllowance = L2PT_ETH_HLEN + L2PT_TAG_LEN;

// frame with the tag (tpid, vid; priority 0) put in after its MACs, into out.
void putTag(std::span<const uint8_t> frame, uint16_t tpid, uint16_t vid,
            std::vector<uint8_t>& out) {
    out.assign(frame.begin(), frame.begin() + L2PT_OFF_TYPE);
    out.resize(L2PT_OFF_TYPE + L2PT_TAG_LEN);
    wire::putU16(out.data(), L2PT_OFF_TYPE, tpid);
    wire::putU16(out.data(), L2PT_OFF_TYPE + kTagTci, vid);
    out.insert(out.end(), frame.begin() + L2PT_OFF_TYPE, frame.end());
}

// More leading 802.1Q/802.1ad tags than a line card takes off one by one (defs.h): the last of
// them counts with an EtherType's room after it.
bool tooManyLeadingTags(std::span<const uint8_t> frame) {
    constexpr size_t kTypeLen = 2;
    for (size_t n = 0, off = L2PT_OFF_TYPE; n <= L2PT_LEADING_TAGS_MAX; ++n, off += L2PT_TAG_LEN) {
        if (off + L2PT_TAG_LEN + kTypeLen > frame.size())
            return false;
        const uint16_t tpid = wire::getU16(frame.data(), off);
        if (tpid != L2PT_TPID_8021Q && tpid != L2PT_TPID_QINQ)
            return false;
    }
    return true;
}

static_assert(static_cast<int>(L2cpAction::Default) == L2PT_L2CP_DEFAULT &&
                  static_cast<int>(L2cpAction::Tunnel) == L2PT_L2CP_TUNNEL &&
                  static_cast<int>(L2cpAction::Discard) == L2PT_L2CP_DISCARD &&
                  static_cast<int>(L2cpAction::Forward) == L2PT_L2CP_FORWARD &&
                  kL2cpAddresses == L2PT_L2CP_ADDRESSES && kL2cpCounted == L2PT_L2CP_COUNTERS,
              "L2cpAction follows enum l2pt_l2cp_action");

}  // namespace

bool isProtocolMac(std::span<const uint8_t> mac) {
    if (mac.size() < kMacLen)
        return false;
    return l2pt_is_protocol_mac(mac.data()) != 0;
}

DataPlane::DataPlane(Context& ctx, const ChassisConfig& cfg)
    : ctx_(ctx),
      entries_{L2PT_TRAP_ENTRIES},
      agents_(cfg.slots),
      out_(ctx.ifdb.portCount()),
      counters_(ctx.ifdb.portCount()),
      policers_(ctx.ifdb.portCount()),
      pduDefault_(cfg.dataPlane.pduRate),
      bridge_(ctx.ifdb, cfg.dataPlane),
      l2cp_(resolveL2cp(ctx.ifdb, cfg)) {
    for (const auto& card : cfg.lineCards) {
        agents_[card.slot].emplace(ctx, card.slot, card.agent, card.present, entries_);
        for (const auto& pc : card.ports) {
            const int index = ctx.ifdb.portIndex(portIfIndex(card.slot, pc.number));
            if (index >= 0)
                policers_[static_cast<size_t>(index)].settings = pc.policing;
        }
    }
}

const PortPolicing& DataPlane::policing(uint32_t portIf) const {
    static const PortPolicing kNone;
    const int index = ctx_.ifdb.portIndex(portIf);
    return index < 0 ? kNone : policers_[static_cast<size_t>(index)].settings;
}

bool DataPlane::setPolicing(uint32_t portIf, const PortPolicing& policing) {
    const int index = ctx_.ifdb.portIndex(portIf);
    if (index < 0)
        return false;
    policers_[static_cast<size_t>(index)].settings = policing;
    ++policingGeneration_;
    return true;
}

void DataPlane::setPduDefault(uint32_t rate) {
    pduDefault_ = rate;
    ++policingGeneration_;
}

uint32_t DataPlane::pduRate(uint32_t portIf) const {
    return policing(portIf).pduRate.value_or(pduDefault_);
}

bool DataPlane::stormPasses(int index, std::span<const uint8_t> frame) {
    Policers& p = policers_[static_cast<size_t>(index)];
    const auto c = static_cast<size_t>(l2pt_storm_class(frame.data() + L2PT_OFF_DST));
    const StormLimit limit = p.settings.storm[c];
    const uint64_t nowUs = ctx_.clock.nowUs;
    bool pass = true;
    if (limit.fps != 0) {
        p.fps[c].refill(limit.fps, limit.fps, nowUs);
        pass = p.fps[c].holds(1);
    }
    if (limit.kbps != 0) {
        p.kbps[c].refill(uint64_t{limit.kbps} * TokenBucket::kBytesPerKbit,
                         TokenBucket::byteBurst(limit.kbps), nowUs);
        pass = p.kbps[c].holds(frame.size()) && pass;
    }
    if (!pass) {
        ++counters_[static_cast<size_t>(index)].storm[c];
        return false;
    }
    if (limit.fps != 0)
        p.fps[c].charge(1);
    if (limit.kbps != 0)
        p.kbps[c].charge(frame.size());
    return true;
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

void DataPlane::setTableObserver(TableObserver* observer) {
    for (auto& a : agents_) {
        if (a)
            a->setObserver(observer);
    }
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

bool DataPlane::cardPresent(uint32_t portIf) const {
    const ozm::IfInfo* info = ctx_.ifdb.info(portIf);
    const AclAgent* a = info != nullptr ? agent(static_cast<uint32_t>(info->slot)) : nullptr;
    return a != nullptr && a->present();
}

Outcome DataPlane::dropIn(int index, const InLine& line, DropReason reason,
                          const std::string& text) {
    drop(index, reason);
    if (!line.actor.empty())
        ctx_.trace.add(line.actor,
                       line.head + text + " dropped (" + std::string(dropReasonName(reason)) + ")");
    return {Verdict::Dropped, reason};
}

Outcome DataPlane::frameIn(uint32_t portIf, std::span<const uint8_t> frame) {
    // Texts are made only when something reads them: this runs for every frame.
    InLine line;
    if (ctx_.trace.on())
        line = {"port " + ctx_.ifdb.name(portIf), "in len=" + std::to_string(frame.size())};
    const int index = ctx_.ifdb.portIndex(portIf);
    if (index < 0)
        return dropIn(index, line, DropReason::NoPort, "");
    ++counters_[static_cast<size_t>(index)].rxFrames;
    if (tap_ != nullptr)
        tap_->frame(portIf, false, frame);
    if (frame.size() < L2PT_ETH_HLEN)
        return dropIn(index, line, DropReason::Runt, "");
    if (tooManyLeadingTags(frame))
        return dropIn(index, line, DropReason::TagStack, "");
    AclAgent* a = agent(static_cast<uint32_t>(ctx_.ifdb.info(portIf)->slot));
    if (a == nullptr || !a->present())
        return dropIn(index, line, DropReason::CardAbsent, "");
    bridge_.refresh();
    const auto dst = frame.subspan(L2PT_OFF_DST, L2PT_ETH_ALEN);
    // The tunnel MAC is the provider's: before any entry is looked up, a frame that is not
    // provider traffic may carry it neither as its destination nor as its source (the
    // provider's bridges would learn a unicast one behind this edge). A reserved address is
    // classified first too: its action may be the VLAN's.
    const int l2cp = l2pt_l2cp_index(dst.data());
    const Mac tunnelMac = bridge_.tunnelMac();
    const bool toTunnelMac = std::equal(dst.begin(), dst.end(), tunnelMac.begin());
    const auto src = frame.subspan(L2PT_OFF_SRC, L2PT_ETH_ALEN);
    const bool tunnelMacIn = toTunnelMac || std::equal(src.begin(), src.end(), tunnelMac.begin());
    Bridge::Class cls;
    if (tunnelMacIn || l2cp >= 0)
        cls = bridge_.classify(portIf, frame);
    const auto vlanText = [&] {
        return cls.vid != 0 && !line.actor.empty() ? " vlan=" + std::to_string(cls.vid)
                                                   : std::string();
    };
    const auto fromCustomer = [&] {
        Outcome o = dropIn(index, line, DropReason::TunnelMac, vlanText());
        o.vid = cls.vid;
        return o;
    };
    if (tunnelMacIn && !cls.provider)
        return fromCustomer();
    // An entry for any MAC but a protocol's traps to the tunnel socket, whose PDUs the task
    // sends into the VLAN of their outer tag (an old tunnel MAC's entries): provider traffic only.
    const bool tunnelSocket = !isProtocolMac(dst);
    if (l2cp < 0) {
        if (TrapEntry* entry = a->match(portIf, dst)) {
            if (!tunnelMacIn)
                cls = bridge_.classify(portIf, frame);
            if (!cls.provider && tunnelSocket)
                return fromCustomer();
            return trap(index, portIf, *entry, frame, line, cls);
        }
        return bridge(index, portIf, frame, line);
    }
    // A reserved address: the action configured for it, else its default (dataplane/defs.h).
    const auto at = static_cast<size_t>(l2cp);
    auto& counted = counters_[static_cast<size_t>(index)].l2cp;
    const L2cpAction action = l2cp_.action(bridge_.logicalPort(portIf),
                                           cls.inVlan ? std::optional(cls.vid) : std::nullopt, at);
    if (action == L2cpAction::Default || action == L2cpAction::Tunnel) {
        if (TrapEntry* entry = a->match(portIf, dst)) {
            if (tunnelSocket && !cls.provider)
                return fromCustomer();
            ++counted[L2PT_L2CP_COUNTED_TUNNELLED][at];
            return trap(index, portIf, *entry, frame, line, cls);
        }
    }
    if (l2pt_l2cp_untrapped(static_cast<uint32_t>(action), static_cast<uint32_t>(l2cp)) ==
        L2PT_L2CP_DISCARD) {
        ++counted[L2PT_L2CP_COUNTED_DISCARDED][at];
        Outcome o = dropIn(index, line, DropReason::L2cp, vlanText());
        o.vid = cls.vid;
        return o;
    }
    ++counted[L2PT_L2CP_COUNTED_FORWARDED][at];
    return bridge(index, portIf, frame, line);
}

Outcome DataPlane::trap(int index, uint32_t portIf, TrapEntry& entry,
                        std::span<const uint8_t> frame, const InLine& line,
                        const Bridge::Class& cls) {
    // A trapped frame leaves forwarding for good, whatever becomes of it.
    ++entry.counters.hits;
    const uint32_t rate = entry.entry.rate;
    if (rate != 0 && !entry.bucket.take(rate, frame.size(), ctx_.clock.nowUs)) {
        ++entry.counters.policed;
        drop(index, DropReason::Policed);
        if (!line.actor.empty())
            ctx_.trace.add(line.actor,
                           line.head + " dropped (policed at " + std::to_string(rate) + " Kbps)");
        return {Verdict::Dropped, DropReason::Policed};
    }
    TokenBucket& pduBucket =
        cls.provider ? vlanPdu_[cls.vid] : policers_[static_cast<size_t>(index)].pdu;
    if (const uint32_t pdus = pduRate(portIf);
        pdus != 0 && !pduBucket.takeFrame(pdus, ctx_.clock.nowUs))
        return dropIn(index, line, DropReason::PduShare, "");
    std::span<const uint8_t> trapped = frame;
    std::string how;
    const bool tracing = !line.actor.empty();
    const bool access = isProtocolMac(frame.subspan(L2PT_OFF_DST, L2PT_ETH_ALEN));
    if (tracing)
        how = access ? " trapped=access" : " trapped=tunnel";
    if (!bridge_.isTag(wire::getU16(frame.data(), L2PT_OFF_TYPE))) {
        // An untagged frame is taken into the port's VLAN: the tag goes in after the MACs.
        const uint16_t vlan = ctx_.ifdb.portVlan(portIf);
        putTag(frame, L2PT_TPID_8021Q, vlan, tagged_);
        trapped = tagged_;
        if (tracing)
            how += " tagged=" + std::to_string(vlan);
    }
    const auto lag = ctx_.ifdb.lagOf(portIf);
    if (tracing && lag)
        how += " rx=" + ctx_.ifdb.name(*lag);
    if (trapped.size() > L2PT_TRAP_MAX_LEN)
        return dropIn(index, line, DropReason::TrapTooLong, how);
    if (!ctx_.task.toPduSocket(access ? OZML2STP : OZML2L2PT, lag.value_or(portIf), trapped))
        return dropIn(index, line, DropReason::NoSocket, how);
    ++counters_[static_cast<size_t>(index)].trapped;
    if (tracing)
        ctx_.trace.add(line.actor, line.head + how);
    return {Verdict::Trapped, DropReason::NoPort, access ? kSocketAccess : kSocketTunnel};
}

std::string DataPlane::wayName(uint32_t memberIf, uint32_t portIf) const {
    const std::string port = ctx_.ifdb.name(portIf);
    return memberIf == portIf ? port : ctx_.ifdb.name(memberIf) + "(" + port + ")";
}

std::span<const uint8_t> DataPlane::egress(std::span<const uint8_t> frame,
                                           const Bridge::Decision& d, const Bridge::Way& way) {
    if (way.core && !d.provider) {
        if (tagged_.empty())
            putTag(frame, bridge_.tpid(), d.vid, tagged_);
        return tagged_;
    }
    if (!way.core && d.provider) {
        if (popped_.empty()) {
            popped_.assign(frame.begin(), frame.begin() + L2PT_OFF_TYPE);
            popped_.insert(popped_.end(), frame.begin() + L2PT_OFF_TYPE + L2PT_TAG_LEN,
                           frame.end());
        }
        return popped_;
    }
    return frame;
}

Outcome DataPlane::bridge(int index, uint32_t portIf, std::span<const uint8_t> frame,
                          const InLine& line) {
    const Bridge::Decision d = bridge_.decide(portIf, frame, ctx_.clock.nowUs, presentBitmap());
    PortCounters& counted = counters_[static_cast<size_t>(index)];
    if (d.learned == Fdb::Learned::Moved)
        ++counted.learnMoves;
    else if (d.learned == Fdb::Learned::OverLimit || d.learned == Fdb::Learned::Full)
        ++counted.notLearned;
    const bool tracing = !line.actor.empty();
    std::string vlan;
    if (tracing && d.vid != 0)
        vlan = " vlan=" + std::to_string(d.vid);
    if (d.verdict == Verdict::Flooded && !stormPasses(index, frame)) {
        Outcome o = dropIn(index, line, DropReason::Storm, vlan);
        o.vid = d.vid;
        return o;
    }
    if (d.verdict == Verdict::Dropped) {
        const std::string to = tracing && d.unicastIf != 0 && d.reason != DropReason::Filtered
                                   ? " to " + ctx_.ifdb.name(d.unicastIf)
                                   : std::string();
        Outcome o = dropIn(index, line, d.reason, vlan + to);
        o.vid = d.vid;
        return o;
    }
    if (tracing) {
        std::string ways;
        for (const auto& w : d.ways)
            ways += (ways.empty() ? "" : ",") + wayName(w.memberIf, w.portIf);
        ctx_.trace.add(line.actor,
                       line.head + vlan +
                           (d.verdict == Verdict::Forwarded ? " forwarded to " : " flooded to ") +
                           (ways.empty() ? "none" : ways));
    }
    tagged_.clear();
    popped_.clear();
    uint32_t copies = 0;
    for (const auto& way : d.ways) {
        const auto copy = egress(frame, d, way);
        if (copy.size() > ctx_.ifdb.portMtu(way.portIf) + kMtuAllowance) {
            drop(ctx_.ifdb.portIndex(way.portIf), DropReason::OverMtu);
            if (tracing)
                ctx_.trace.add("port " + wayName(way.memberIf, way.portIf),
                               "out len=" + std::to_string(copy.size()) + " dropped (" +
                                   std::string(dropReasonName(DropReason::OverMtu)) + ")");
            continue;
        }
        transmit(way.portIf, tracing ? wayName(way.memberIf, way.portIf) : std::string(), copy);
        ++copies;
    }
    if (copies != 0)
        ++counters_[static_cast<size_t>(index)].forwarded;
    if (d.verdict == Verdict::Forwarded && copies == 0)
        return {Verdict::Dropped, DropReason::OverMtu, 0, d.vid};
    return {d.verdict, DropReason::NoPort, 0, d.vid, copies};
}

void DataPlane::transmit(uint32_t portIf, const std::string& name, std::span<const uint8_t> frame) {
    const auto index = static_cast<size_t>(ctx_.ifdb.portIndex(portIf));
    ++counters_[index].txFrames;
    if (tap_ != nullptr)
        tap_->frame(portIf, true, frame);
    if (wire_ != nullptr)
        wire_->transmit(portIf, frame);
    if (!recordFrames_)
        return;
    out_[index].emplace_back(frame.begin(), frame.end());
    if (ctx_.trace.on())
        ctx_.trace.add("port " + name,
                       "out len=" + std::to_string(frame.size()) + " " + hexText(frame));
}

std::optional<uint32_t> DataPlane::liveMember(uint32_t lagIf) const {
    for (uint32_t member : ctx_.ifdb.lagMembers(lagIf)) {
        if (cardPresent(member))
            return member;
    }
    return std::nullopt;
}

bool DataPlane::frameOut(uint32_t egressIf, std::span<const uint8_t> frame, bool fromLink) {
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
    if (!cardPresent(port)) {
        drop(index, DropReason::CardAbsent);
        ctx_.trace.add("port " + name, head + " dropped (card absent)");
        return false;
    }
    if (frame.size() > ctx_.ifdb.portMtu(port) + kMtuAllowance) {
        drop(index, DropReason::OverMtu);
        ctx_.trace.add("port " + name, head + " dropped (" +
                                           std::string(dropReasonName(DropReason::OverMtu)) + ")");
        return true;
    }
    if (fromLink && !bridge_.taskMaySend(port, frame)) {
        drop(index, DropReason::TaskForm);
        ctx_.trace.add("port " + name, head + " dropped (" +
                                           std::string(dropReasonName(DropReason::TaskForm)) + ")");
        return true;
    }
    if (ctx_.faults.any() &&
        (ctx_.faults.hit("sendto:" + ctx_.ifdb.name(egressIf)) ||
         (port != egressIf && ctx_.faults.hit("sendto:" + ctx_.ifdb.name(port))))) {
        drop(index, DropReason::SendFailed);
        ctx_.trace.add("port " + name, head + " dropped (send failed)");
        return false;
    }
    transmit(port, name, frame);
    return true;
}

const std::vector<std::vector<uint8_t>>& DataPlane::framesOut(uint32_t portIf) const {
    static const std::vector<std::vector<uint8_t>> kNone;
    const int index = ctx_.ifdb.portIndex(portIf);
    return index < 0 ? kNone : out_[static_cast<size_t>(index)];
}

void DataPlane::clearFramesOut() {
    for (auto& frames : out_)
        frames.clear();
}

}  // namespace chassis
