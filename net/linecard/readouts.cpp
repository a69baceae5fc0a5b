// What l2ptctl shows of the line cards in the kernel: per-port counters, the agents' entries
// with what they matched, the learned MACs.
#include "net/linecard/line_cards.h"
#include "net/linecard/records.h"
#include "net/pipeline/clock.h"

namespace netp::linecard {

using pipeline::monotonicNs;
using pipeline::Result;

Result<std::vector<PortCounters>> LineCards::portCounters() const {
    const chassis::IfDb& db = chassis_.ifdb();
    std::vector<PortCounters> out;
    out.reserve(db.portCount() + 1);
    for (uint32_t p = 0; p <= db.portCount(); ++p) {
        const bool port = p < db.portCount();
        const uint32_t at = port ? tableIndex(p) : L2PT_STATS_NO_PORT;
        PortCounters& c = out.emplace_back(PortCounters{port ? db.portAt(p) : 0, {}, {}});
        if (at == L2PT_LPORT_NONE)
            continue;  // new to this start: nothing counted yet
        Result<l2pt_port_stats> s = tables_.portStats(at);
        if (!s)
            return s.status();
        Result<l2pt_l2cp_stats> l2cp = port ? tables_.l2cpStats(at) : l2pt_l2cp_stats{};
        if (!l2cp)
            return l2cp.status();
        c.stats = *s;
        c.l2cp = *l2cp;
    }
    return out;
}

uint32_t LineCards::tableIndex(uint32_t lport) const {
    if (!holdLports_)
        return lport;
    const auto at = formerAt_.find(chassisIfOf(chassis_.ifdb(), lport));
    return at != formerAt_.end() ? at->second : L2PT_LPORT_NONE;
}

uint32_t LineCards::ifAtTableIndex(uint32_t index) const {
    if (!holdLports_)
        return chassisIfOf(chassis_.ifdb(), index);
    return index < former_.size() ? former_[index].chassis_if : 0;
}

Result<std::vector<EntryCounters>> LineCards::entryCounters() const {
    std::vector<EntryCounters> out;
    for (uint32_t slot = 0; slot < chassis_.config().slots; ++slot) {
        const chassis::AclAgent* a = chassis_.cards().agent(slot);
        if (a == nullptr)
            continue;
        for (const chassis::AclEntry& e : a->entries()) {
            Result<pipeline::TrapCounters> c = traps_.counters(slot, e);
            if (!c)
                return c.status();
            out.push_back({slot, e, *c, !traps_.pending(slot, e)});
        }
    }
    return out;
}

Result<bool> LineCards::readMacs(pipeline::Tables::Walk& walk, size_t max,
                                 std::vector<MacEntry>& out) const {
    constexpr uint64_t kNsPerMs = 1'000'000;
    macs_.clear();
    const Result<bool> done = tables_.readMacs(walk, max, macs_);
    if (!done)
        return done;
    const uint64_t now = monotonicNs();
    for (const pipeline::LearnedMac& m : macs_) {
        if (m.lport >= L2PT_MAX_LPORTS)
            continue;  // being deleted by the pipeline
        const uint64_t age = now > m.seenNs ? now - m.seenNs : 0;
        out.push_back({m.vid, m.mac, ifAtTableIndex(m.lport), age / kNsPerMs});
    }
    return done;
}

}  // namespace netp::linecard
