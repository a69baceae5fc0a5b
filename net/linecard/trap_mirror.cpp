#include "net/linecard/trap_mirror.h"

namespace netp::linecard {

using pipeline::Status;
using pipeline::TrapKey;

std::optional<TrapKey> TrapMirror::keyOf(uint32_t slot, const chassis::AclEntry& entry) const {
    if (slot >= pipeline::kMaxSlots)
        return std::nullopt;
    if (entry.ifIndex == 0)
        return TrapKey::slot(slot, entry.mac);
    const ozm::IfInfo* info = db_.info(entry.ifIndex);
    if (!db_.isPort(entry.ifIndex) || info == nullptr || info->slot != static_cast<int>(slot))
        return std::nullopt;
    return TrapKey::port(entry.ifIndex, entry.mac);
}

bool TrapMirror::holds(uint32_t slot, const TrapKey& key) const {
    return held_[slot].count(key) != 0;
}

void TrapMirror::logged(const Status& s) const {
    if (!s)
        log_("line cards: " + s.what());
}

void TrapMirror::entryInstalled(uint32_t slot, const chassis::AclEntry& entry) {
    const auto key = keyOf(slot, entry);
    if (!key)
        return;
    const bool matches = entry.ifIndex != 0 || entry.global != 0;
    if (holds(slot, *key)) {
        // Installed again: the agent keeps its counters and policer, and so does the pipeline.
        if (matches) {
            logged(tables_.setTrapRate(*key, entry.rate));
        } else {
            logged(tables_.removeTrap(*key));
            held_[slot].erase(*key);
            trapping_.reset();
        }
        return;
    }
    if (!matches)
        return;
    const Status s = tables_.installTrap(*key, entry.rate);
    logged(s);
    if (s) {
        held_[slot].insert(*key);
        trapping_.reset();
    }
}

void TrapMirror::entryRemoved(uint32_t slot, const chassis::AclEntry& entry) {
    const auto key = keyOf(slot, entry);
    if (!key || !holds(slot, *key))
        return;
    logged(tables_.removeTrap(*key));
    held_[slot].erase(*key);
    trapping_.reset();
}

void TrapMirror::rateChanged(uint32_t slot, const chassis::AclEntry& entry) {
    if (const auto key = keyOf(slot, entry); key && holds(slot, *key))
        logged(tables_.setTrapRate(*key, entry.rate));
}

void TrapMirror::tableCleared(uint32_t slot) {
    if (slot >= pipeline::kMaxSlots)
        return;
    for (const TrapKey& key : held_[slot])
        logged(tables_.removeTrap(key));
    held_[slot].clear();
    trapping_.reset();
}

uint32_t TrapMirror::trappingPorts() const {
    if (trapping_)
        return *trapping_;
    uint32_t n = 0;
    for (size_t p = 0; p < db_.portCount(); ++p) {
        const uint32_t portIf = db_.portAt(p);
        const auto slot = static_cast<uint32_t>(db_.info(portIf)->slot);
        if (slot >= pipeline::kMaxSlots)
            continue;
        const auto& keys = held_[slot];
        // Agent-wide keys sort last (their flag is the top bit of the owner).
        const bool cardWide = !keys.empty() && keys.rbegin()->isSlot();
        const auto own = keys.lower_bound(TrapKey::port(portIf, {}));
        n += cardWide || (own != keys.end() && own->owner == portIf);
    }
    trapping_ = n;
    return n;
}

pipeline::Result<pipeline::TrapCounters> TrapMirror::counters(
    uint32_t slot, const chassis::AclEntry& entry) const {
    const auto key = keyOf(slot, entry);
    if (!key || !holds(slot, *key))
        return pipeline::TrapCounters{};
    return tables_.trapCounters(*key);
}

}  // namespace netp::linecard
