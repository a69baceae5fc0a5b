#include "chassis/bridge.h"

#include <algorithm>

#include "dataplane/defs.h"
#include "platform/wire/bytes.h"

namespace chassis {

namespace {

constexpr size_t kTagTci = 2;  // within a tag: priority, drop eligibility and VLAN id
constexpr size_t kMaxTagsRead = 4;
constexpr uint8_t kGroupBit = 0x01;  // of a MAC's first byte: multicast or broadcast

bool unicast(std::span<const uint8_t> mac) {
    return (mac[0] & kGroupBit) == 0;
}
bool zero(std::span<const uint8_t> mac) {
    return std::all_of(mac.begin(), mac.end(), [](uint8_t b) { return b == 0; });
}

}  // namespace

Bridge::Bridge(const IfDb& db, const DataPlaneConfig& cfg)
    : db_(db),
      tpid_(L2PT_TPID_VMAN),
      ageingUs_(uint64_t{cfg.ageingSeconds} * kUsPerSecond),
      vlans_(L2PT_MAX_VID + 1),
      fdb_(cfg.fdbEntries, db.portCount() + db.lagCount()) {
    for (uint32_t lport = 0; lport < db.portCount() + db.lagCount(); ++lport)
        fdb_.setPortLimit(lport, cfg.defaultPortLimit(), false);
    for (uint16_t vid = 0; vid <= L2PT_MAX_VID; ++vid)
        fdb_.setVlanLimit(vid, cfg.defaultVlanLimit());
    for (const LearnLimitConfig& l : cfg.learning) {
        if (l.vlan) {
            fdb_.setVlanLimit(*l.vlan, l.limit.value_or(fdb_.vlanLimit(*l.vlan)));
        } else if (const auto ifIndex = db.find(l.port)) {
            const auto now = learning(*ifIndex);
            if (now)
                setLearnLimit(*ifIndex, l.limit.value_or(now->limit), l.drop.value_or(now->drop));
        }
    }
}

bool Bridge::setLearnLimit(uint32_t lportIf, uint32_t limit, bool drop) {
    const uint32_t order = orderOf(lportIf);
    if (order >= db_.portCount() + db_.lagCount())
        return false;
    fdb_.setPortLimit(order, limit, drop);
    return true;
}

std::optional<Bridge::Learning> Bridge::learning(uint32_t lportIf) const {
    const uint32_t order = orderOf(lportIf);
    if (order >= db_.portCount() + db_.lagCount())
        return std::nullopt;
    return Learning{fdb_.portCount(order), fdb_.portLimit(order), fdb_.portDrops(order)};
}

void Bridge::setMembership(const Membership* membership) {
    membership_ = membership;
    stale_ = true;
}

uint32_t Bridge::orderOf(uint32_t ifIndex) const {
    if (const int port = db_.portIndex(ifIndex); port >= 0)
        return static_cast<uint32_t>(port);
    const int lag = db_.lagIndex(ifIndex);
    return lag < 0 ? UINT32_MAX : static_cast<uint32_t>(db_.portCount() + static_cast<size_t>(lag));
}

uint32_t Bridge::logicalPort(uint32_t portIf) const {
    return db_.lagOf(portIf).value_or(portIf);
}

void Bridge::refresh() {
    if (membership_ == nullptr) {
        if (stale_) {
            for (uint16_t vid : usedVids_)
                vlans_[vid].clear();
            usedVids_.clear();
            tpid_ = L2PT_TPID_VMAN;
            stale_ = false;
        }
        return;
    }
    if (!stale_ && membership_->generation() == generation_)
        return;
    stale_ = false;
    generation_ = membership_->generation();
    tpid_ = membership_->vmanTpid();
    for (uint16_t vid : usedVids_)
        vlans_[vid].clear();
    usedVids_.clear();
    membership_->forEachMember([this](const Membership::Member& m) {
        if (m.vid > L2PT_MAX_VID || (!db_.isPort(m.ifIndex) && !db_.isLag(m.ifIndex)))
            return;
        // A port in a LAG speaks as its LAG; the first listing of a member decides its role.
        const uint32_t lport = db_.isPort(m.ifIndex) ? logicalPort(m.ifIndex) : m.ifIndex;
        auto& members = vlans_[m.vid];
        if (members.empty())
            usedVids_.push_back(m.vid);
        if (std::none_of(members.begin(), members.end(),
                         [&](const Member& x) { return x.ifIndex == lport; }))
            members.push_back({orderOf(lport), lport, m.core});
    });
    for (uint16_t vid : usedVids_) {
        std::sort(vlans_[vid].begin(), vlans_[vid].end(),
                  [](const Member& a, const Member& b) { return a.order < b.order; });
    }
    // What a port or LAG learned in a VLAN it left is stale: forgotten, off its counts.
    fdb_.forgetUnless(
        [this](uint16_t vid, uint32_t lportIf) { return member(vid, lportIf) != nullptr; });
}

const Bridge::Member* Bridge::member(uint16_t vid, uint32_t ifIndex) const {
    const auto& members = vlans_[vid];
    const uint32_t order = orderOf(ifIndex);
    const auto it = std::lower_bound(members.begin(), members.end(), order,
                                     [](const Member& m, uint32_t o) { return m.order < o; });
    return it != members.end() && it->order == order ? &*it : nullptr;
}

bool Bridge::isTag(uint16_t type) const {
    return type == L2PT_TPID_8021Q || type == L2PT_TPID_QINQ || type == L2PT_TPID_VMAN ||
           type == tpid_;
}

bool Bridge::live(uint32_t portIf, uint32_t liveSlots) const {
    const ozm::IfInfo* info = db_.info(portIf);
    return info != nullptr && info->slot >= 0 && static_cast<uint32_t>(info->slot) < kMaxSlots &&
           (liveSlots >> info->slot & 1u) != 0;
}

std::optional<uint32_t> Bridge::wayOut(uint32_t memberIf, std::span<const uint8_t> frame,
                                       uint32_t liveSlots, DropReason& why) const {
    if (db_.isPort(memberIf)) {
        why = DropReason::PortDown;
        return live(memberIf, liveSlots) ? std::optional(memberIf) : std::nullopt;
    }
    // A LAG leaves by one live member: live[hash % live count], in ascending ifIndex order.
    const auto& members = db_.lagMembers(memberIf);
    const auto n = static_cast<uint32_t>(std::count_if(
        members.begin(), members.end(), [&](uint32_t m) { return live(m, liveSlots); }));
    why = DropReason::NoLiveMember;
    if (n == 0)
        return std::nullopt;
    uint32_t pick = l2pt_flow_hash(frame.data()) % n;
    for (uint32_t m : members) {
        if (live(m, liveSlots) && pick-- == 0)
            return m;
    }
    return std::nullopt;
}

void Bridge::flood(uint16_t vid, uint32_t lport, std::span<const uint8_t> frame,
                   uint32_t liveSlots) {
    DropReason ignored{};
    for (const Member& m : vlans_[vid]) {
        if (m.ifIndex == lport)
            continue;
        if (const auto port = wayOut(m.ifIndex, frame, liveSlots, ignored))
            ways_.push_back({m.ifIndex, *port, m.core});
    }
}

std::array<uint8_t, 6> Bridge::tunnelMac() const {
    if (membership_ != nullptr)
        return membership_->tunnelMac();
    std::array<uint8_t, 6> mac;
    std::copy(std::begin(l2pt_default_tunnel_mac), std::end(l2pt_default_tunnel_mac), mac.begin());
    return mac;
}

Bridge::Class Bridge::classify(uint32_t portIf, std::span<const uint8_t> frame) {
    refresh();
    Class c;
    // The tags at the front of the frame, whole ones only.
    uint16_t outerVid = 0;
    size_t tags = 0;
    for (size_t off = L2PT_OFF_TYPE; tags < kMaxTagsRead && off + L2PT_TAG_LEN <= frame.size() &&
                                     isTag(wire::getU16(frame.data(), off));
         off += L2PT_TAG_LEN, ++tags) {
        if (tags == 0)
            outerVid = wire::getU16(frame.data(), off + kTagTci) & L2PT_VID_MASK;
    }
    // A port that is access in its own VLAN faces a customer: all it receives is the
    // customer's, so that it cannot send into a VLAN it is also core in as the provider.
    const uint32_t lport = logicalPort(portIf);
    const Member* self = nullptr;
    if (const uint16_t pvid = db_.portVlan(portIf);
        pvid <= L2PT_MAX_VID && (self = member(pvid, lport)) != nullptr && !self->core) {
        c.vid = pvid;
    } else if (tags > 0 && wire::getU16(frame.data(), L2PT_OFF_TYPE) == tpid_ &&
               (self = member(outerVid, lport)) != nullptr && self->core) {
        c.provider = true;
        c.vid = outerVid;
    } else {
        c.refused = DropReason::NoVlan;
        return c;
    }
    c.inVlan = true;
    // A provider frame is no more than a header without its tag: nothing an access port may
    // be sent.
    if (c.provider && frame.size() < L2PT_ETH_HLEN + L2PT_TAG_LEN)
        c.refused = DropReason::Runt;
    else if (tags > (c.provider ? L2PT_MAX_TAGS : L2PT_MAX_CUSTOMER_TAGS))
        c.refused = DropReason::TagStack;
    return c;
}

bool Bridge::taskMaySend(uint32_t portIf, std::span<const uint8_t> frame) {
    refresh();
    if (frame.size() < L2PT_ETH_HLEN)
        return false;
    const uint32_t lport = logicalPort(portIf);
    const Mac tunnel = tunnelMac();
    const bool protocol = l2pt_is_protocol_mac(frame.data());
    if (frame.size() >= L2PT_ETH_HLEN + L2PT_TAG_LEN &&
        (protocol || std::equal(tunnel.begin(), tunnel.end(), frame.begin())) &&
        wire::getU16(frame.data(), L2PT_OFF_TYPE) == tpid_) {
        const Member* m =
            member(wire::getU16(frame.data(), L2PT_OFF_TYPE + kTagTci) & L2PT_VID_MASK, lport);
        if (m != nullptr && m->core)
            return true;
    }
    if (!protocol)
        return false;
    const uint16_t pvid = db_.portVlan(portIf);
    const Member* m = pvid <= L2PT_MAX_VID ? member(pvid, lport) : nullptr;
    return m != nullptr && !m->core;
}

Bridge::Decision Bridge::decide(uint32_t portIf, std::span<const uint8_t> frame, uint64_t nowUs,
                                uint32_t liveSlots) {
    ways_.clear();
    Decision d;
    const Class c = classify(portIf, frame);
    d.vid = c.vid;
    d.provider = c.provider;
    if (c.refused) {
        d.reason = *c.refused;
        return d;
    }
    const uint32_t lport = logicalPort(portIf);
    const auto dst = frame.subspan(L2PT_OFF_DST, L2PT_ETH_ALEN);
    const auto src = frame.subspan(L2PT_OFF_SRC, L2PT_ETH_ALEN);
    if (unicast(src) && !zero(src)) {
        d.learned = fdb_.learn(d.vid, src, orderOf(lport), lport, d.provider, nowUs, ageingUs_);
        if (d.learned == Fdb::Learned::OverLimit && fdb_.portDrops(orderOf(lport))) {
            d.reason = DropReason::LearnLimit;
            return d;
        }
    }
    std::optional<uint32_t> known;
    if (unicast(dst))
        known = fdb_.find(d.vid, dst, nowUs, ageingUs_);
    const Member* to = known ? member(d.vid, *known) : nullptr;
    if (to != nullptr) {
        d.unicastIf = to->ifIndex;
        if (to->ifIndex == lport) {
            d.reason = DropReason::Filtered;
            return d;
        }
        const auto port = wayOut(to->ifIndex, frame, liveSlots, d.reason);
        if (!port)
            return d;
        ways_.push_back({to->ifIndex, *port, to->core});
        d.verdict = Verdict::Forwarded;
    } else {
        flood(d.vid, lport, frame, liveSlots);
        d.verdict = Verdict::Flooded;
    }
    d.ways = ways_;
    return d;
}

}  // namespace chassis
