#include "net/linecard/records.h"

#include <algorithm>

namespace netp::linecard {

namespace {

constexpr uint32_t kWordBits = 32;
constexpr uint32_t kMaxMtu = UINT16_MAX;  // what an lport record holds

void setBit(uint32_t* words, uint32_t lport) {
    words[lport / kWordBits] |= 1u << (lport % kWordBits);
}

}  // namespace

bool hasBit(const uint32_t* words, uint32_t lport) {
    return (words[lport / kWordBits] >> (lport % kWordBits) & 1u) != 0;
}

uint32_t speaksAs(const chassis::IfDb& db, size_t port) {
    const auto lag = db.lagOf(db.portAt(port));
    return lag ? lportOf(db, *lag) : static_cast<uint32_t>(port);
}

l2pt_lport portRecord(const chassis::IfDb& db, size_t port, bool present,
                      const port::PortState& link) {
    const uint32_t portIf = db.portAt(port);
    const auto lag = db.lagOf(portIf);
    l2pt_lport r{};
    r.ifindex = link.ifindex;
    r.chassis_if = portIf;
    r.pvid = db.portVlan(portIf);
    r.mtu = static_cast<uint16_t>(std::min(link.mtu, kMaxMtu));
    r.lag = static_cast<uint16_t>(lag ? lportOf(db, *lag) : L2PT_LPORT_NONE);
    r.slot = static_cast<uint8_t>(db.info(portIf)->slot);
    // A port carries frames only with the pipeline on its interface: nothing else switches its
    // traffic, counts what the task sends by it or fences a stale task's frames there.
    const bool carries = link.up() && link.attached;
    r.flags = static_cast<uint8_t>((present ? L2PT_P_PRESENT : 0) | (carries ? L2PT_P_UP : 0));
    return r;
}

l2pt_lport lagRecord(const chassis::IfDb& db, size_t lag,
                     const std::function<bool(uint32_t portIf)>& live, size_t* dropped) {
    const uint32_t lagIf = db.lagAt(lag);
    l2pt_lport r{};
    r.chassis_if = lagIf;
    r.lag = L2PT_LPORT_NONE;
    r.flags = L2PT_P_PRESENT | L2PT_P_IS_LAG;
    // A frame that reads the record while it is written (more live members counted than
    // written yet) finds no port in an unused slot, rather than lport 0, another's port.
    std::fill(std::begin(r.live), std::end(r.live), L2PT_LPORT_NONE);
    size_t over = 0;
    // IfDb keeps the members in ascending ifIndex order, the order the flow hash picks from.
    for (uint32_t member : db.lagMembers(lagIf)) {
        if (!live(member))
            continue;
        if (r.n_live == L2PT_LAG_MAX_LIVE) {
            ++over;
            continue;
        }
        r.live[r.n_live++] = static_cast<uint16_t>(db.portIndex(member));
    }
    if (dropped != nullptr)
        *dropped = over;
    return r;
}

void vlanRecords(const chassis::IfDb& db, const chassis::Membership& membership,
                 std::vector<l2pt_vlan>& records, std::vector<uint16_t>& used) {
    for (uint16_t vid : used)
        records[vid] = {};
    used.clear();
    membership.forEachMember([&](const chassis::Membership::Member& m) {
        if (m.vid > L2PT_MAX_VID)
            return;
        uint32_t lport = lportOf(db, m.ifIndex);
        if (lport == L2PT_LPORT_NONE)
            return;
        if (lport < L2PT_LAG_BASE)
            lport = speaksAs(db, lport);
        l2pt_vlan& v = records[m.vid];
        if (std::none_of(std::begin(v.members), std::end(v.members),
                         [](uint32_t w) { return w != 0; }))
            used.push_back(m.vid);
        if (hasBit(v.members, lport))
            return;
        setBit(v.members, lport);
        if (m.core)
            setBit(v.core, lport);
    });
}

pipeline::PoliceRates policeRates(const chassis::PortPolicing& p, uint32_t pduRate) {
    pipeline::PoliceRates r;
    for (size_t c = 0; c < L2PT_STORM_CLASSES; ++c) {
        r.stormFps[c] = p.storm[c].fps;
        r.stormKbps[c] = p.storm[c].kbps;
    }
    r.pduFps = pduRate;
    return r;
}

}  // namespace netp::linecard
