// The line cards' learning limits: the chassis file's at start, the operator's at run time, and
// the log of ports whose new sources were not learned.
#include "net/linecard/line_cards.h"

#include <utility>

#include "net/pipeline/clock.h"
#include "net/pipeline/lport.h"

namespace netp::linecard {

using pipeline::Result;
using pipeline::Status;

namespace {

constexpr uint64_t kNotLearnedLogNs = 60 * pipeline::kNsPerSecond;  // once a minute per port

Result<LineCards::Learning> learningOf(const Result<l2pt_learn>& l) {
    if (!l)
        return l.status();
    return LineCards::Learning{l->count > 0 ? static_cast<uint32_t>(l->count) : 0, l->limit,
                               (l->flags & L2PT_L_DROP) != 0};
}

}  // namespace

// Each limit is worked out whole (the defaults, the file's and the state's list, then what
// operators set while the records were held) and written once: a frame meanwhile meets the
// limit before or the one after, never a default on the way to it.
void LineCards::applyLearning(const chassis::DataPlaneConfig& cfg) {
    const chassis::IfDb& db = chassis_.ifdb();
    struct Limit {
        uint32_t limit = 0;
        bool drop = false;
        bool ours = false;  // a port, LAG or VLAN of this chassis
    };
    std::vector<Limit> want(L2PT_LEARN_SLOTS);
    for (size_t p = 0; p < db.portCount(); ++p)
        want[p] = {cfg.defaultPortLimit(), false, true};
    for (size_t l = 0; l < db.lagCount(); ++l)
        want[L2PT_LAG_BASE + l] = {cfg.defaultPortLimit(), false, true};
    for (uint32_t vid = 0; vid <= L2PT_MAX_VID; ++vid)
        want[L2PT_LEARN_VLAN + vid] = {cfg.defaultVlanLimit(), false, true};
    const auto lay = [&](uint32_t slot, std::optional<uint32_t> limit, std::optional<bool> drop) {
        if (slot >= want.size() || !want[slot].ours)
            return;
        want[slot].limit = limit.value_or(want[slot].limit);
        want[slot].drop = drop.value_or(want[slot].drop);
    };
    const auto vlanSlot = [](uint32_t vid) {
        return vid <= L2PT_MAX_VID ? L2PT_LEARN_VLAN + vid : L2PT_LEARN_SLOTS;
    };
    for (const chassis::LearnLimitConfig& l : cfg.learning) {
        if (l.vlan)
            lay(vlanSlot(*l.vlan), l.limit, std::nullopt);
        else if (const auto ifIndex = db.find(l.port))
            lay(pipeline::lportOf(db, *ifIndex), l.limit, l.drop);
    }
    for (const HeldLimit& h : std::exchange(heldLimits_, {}))
        lay(h.vlan ? vlanSlot(h.id) : pipeline::lportOf(db, h.id), h.limit, h.drop);
    for (uint32_t slot = 0; slot < want.size(); ++slot) {
        if (want[slot].ours)
            logged(tables_.setLearning(slot, want[slot].limit, want[slot].drop ? L2PT_L_DROP : 0));
    }
}

Status LineCards::setLearnLimit(uint32_t lportIf, std::optional<uint32_t> limit,
                                std::optional<bool> drop) {
    const uint32_t lport = pipeline::lportOf(chassis_.ifdb(), lportIf);
    if (lport == L2PT_LPORT_NONE)
        return Status::failure("ifIndex " + std::to_string(lportIf) + " is no port or LAG");
    // While the records are held, lport may be another port's there: written with them.
    if (holdLports_) {
        heldLimits_.push_back({false, lportIf, limit, drop});
        return Status();
    }
    const Result<l2pt_learn> now = tables_.learning(lport);
    if (!now)
        return now.status();
    const bool drops = drop.value_or((now->flags & L2PT_L_DROP) != 0);
    return tables_.setLearning(lport, limit.value_or(now->limit), drops ? L2PT_L_DROP : 0);
}

Status LineCards::setVlanLearnLimit(uint32_t vid, uint32_t limit) {
    if (vid > L2PT_MAX_VID)
        return Status::failure("VLAN " + std::to_string(vid) + " is out of 0-4095");
    if (holdLports_)
        heldLimits_.push_back({true, vid, limit, std::nullopt});
    return tables_.setLearning(L2PT_LEARN_VLAN + vid, limit, 0);
}

Result<LineCards::Learning> LineCards::learning(uint32_t lportIf) const {
    const uint32_t lport = pipeline::lportOf(chassis_.ifdb(), lportIf);
    if (lport == L2PT_LPORT_NONE)
        return Status::failure("ifIndex " + std::to_string(lportIf) + " is no port or LAG");
    const uint32_t at = tableIndex(lport);
    if (at == L2PT_LPORT_NONE)  // new to this start: its limits are written with the records
        return Learning{0, chassis_.config().dataPlane.defaultPortLimit(), false};
    return learningOf(tables_.learning(at));
}

Result<LineCards::Learning> LineCards::vlanLearning(uint32_t vid) const {
    if (vid > L2PT_MAX_VID)
        return Status::failure("VLAN " + std::to_string(vid) + " is out of 0-4095");
    return learningOf(tables_.learning(L2PT_LEARN_VLAN + vid));
}

void LineCards::baseNotLearned() {
    for (size_t p = 0; p < notLearned_.size(); ++p) {
        const uint32_t at = tableIndex(static_cast<uint32_t>(p));
        if (at == L2PT_LPORT_NONE)
            continue;  // new to this start: nothing counted yet
        if (const Result<l2pt_port_stats> s = tables_.portStats(at))
            notLearned_[p].count = s->not_learned;
    }
}

void LineCards::reportNotLearned(uint64_t nowNs) {
    const chassis::IfDb& db = chassis_.ifdb();
    for (size_t p = 0; p < notLearned_.size(); ++p) {
        NotLearned& n = notLearned_[p];
        if (n.loggedNs != 0 && nowNs - n.loggedNs < kNotLearnedLogNs)
            continue;
        const uint32_t at = tableIndex(static_cast<uint32_t>(p));
        if (at == L2PT_LPORT_NONE)
            continue;
        const Result<l2pt_port_stats> s = tables_.portStats(at);
        if (!s || s->not_learned == n.count)
            continue;
        const uint64_t dropped = s->drops[L2PT_DP_DROP_LEARN_LIMIT];
        log_("line cards: " + db.name(db.portAt(p)) + ": " +
             std::to_string(s->not_learned - n.count) +
             " new source MACs not learned (a learning limit or a full table); " +
             std::to_string(dropped) + " frames dropped for the limit in all");
        n = {s->not_learned, nowNs};
    }
}

}  // namespace netp::linecard
