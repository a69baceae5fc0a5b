#include "net/linecard/trap_mirror.h"

#include <algorithm>
#include <string>

#include "net/pipeline/clock.h"

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

size_t TrapMirror::pendingCount() const {
    size_t n = 0;
    for (const auto& pending : pending_)
        n += pending.size();
    return n;
}

void TrapMirror::install(uint32_t slot, const TrapKey& key, uint32_t rateKbps) {
    const Status s = tables_.installTrap(key, rateKbps);
    auto& pending = pending_[slot];
    if (s) {
        held_[slot].insert(key);
        trapping_.reset();
        if (pending.erase(key) != 0 && pendingCount() == 0)
            log_("line cards: the trap entries refused before are installed now");
        return;
    }
    const bool first = pendingCount() == 0;
    if (pending.insert_or_assign(key, rateKbps).second && first)
        log_("line cards: " + s.what() + ": trap entries are retried; their frames are " +
             "switched as data until then");
}

bool TrapMirror::claims(const TrapKey& key) const {
    for (uint32_t slot = 0; slot < pipeline::kMaxSlots; ++slot) {
        if (held_[slot].count(key) != 0 || pending_[slot].count(key) != 0)
            return true;
    }
    return false;
}

void TrapMirror::retry() {
    // Each waiting entry is tried at most once a call, round the slots from where the last
    // call stopped.
    size_t left = std::min(kRetrySlice, pendingCount());
    while (left > 0 && pendingCount() > 0) {
        const auto& pending = pending_[retrySlot_];
        const auto next = retried_ ? pending.upper_bound(*retried_) : pending.begin();
        if (next == pending.end()) {
            retrySlot_ = (retrySlot_ + 1) % pipeline::kMaxSlots;
            retried_.reset();
            continue;
        }
        const auto [key, rate] = *next;  // install() changes the map
        retried_ = key;
        install(retrySlot_, key, rate);
        --left;
    }
}

bool TrapMirror::pending(uint32_t slot, const chassis::AclEntry& entry) const {
    const auto key = keyOf(slot, entry);
    return key && pending_[slot].count(*key) != 0;
}

void TrapMirror::entryInstalled(uint32_t slot, const chassis::AclEntry& entry) {
    lastInstallNs_ = pipeline::monotonicNs();
    const auto key = keyOf(slot, entry);
    if (!key)
        return;
    const bool matches = entry.ifIndex != 0 || entry.global != 0;
    if (pending_[slot].count(*key) != 0) {
        if (matches)
            pending_[slot][*key] = entry.rate;
        else
            pending_[slot].erase(*key);
        return;
    }
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
    if (!allowed_(entry.mac)) {
        // Logged at the first and then at every doubling: a task sending them in a loop
        // does not flood the log.
        if (const uint64_t n = ++refused_; (n & (n - 1)) == 0)
            log_("line cards: slot " + std::to_string(slot) + ": a trap entry for " +
                 chassis::macText(entry.mac) +
                 ", neither a protocol's address nor a tunnel MAC IFM held: not installed (" +
                 std::to_string(n) + " so far)");
        return;
    }
    install(slot, *key, entry.rate);
}

void TrapMirror::entryRemoved(uint32_t slot, const chassis::AclEntry& entry) {
    const auto key = keyOf(slot, entry);
    if (key)
        pending_[slot].erase(*key);
    if (!key || !holds(slot, *key))
        return;
    logged(tables_.removeTrap(*key));
    held_[slot].erase(*key);
    trapping_.reset();
}

void TrapMirror::rateChanged(uint32_t slot, const chassis::AclEntry& entry) {
    const auto key = keyOf(slot, entry);
    if (key && holds(slot, *key))
        logged(tables_.setTrapRate(*key, entry.rate));
    else if (key && pending_[slot].count(*key) != 0)
        pending_[slot][*key] = entry.rate;
}

void TrapMirror::tableCleared(uint32_t slot) {
    if (slot >= pipeline::kMaxSlots)
        return;
    for (const TrapKey& key : held_[slot])
        logged(tables_.removeTrap(key));
    held_[slot].clear();
    pending_[slot].clear();
    trapping_.reset();
}

void TrapMirror::tableRenewed(uint32_t slot) {
    if (slot >= pipeline::kMaxSlots || held_[slot].empty()) {
        tableCleared(slot);
        return;
    }
    found_[slot].insert(held_[slot].begin(), held_[slot].end());
    held_[slot].clear();
    pending_[slot].clear();
    trapping_.reset();
    // An entry installed again keeps the one there, its counters and policer.
    logged(tables_.claimFound());
}

void TrapMirror::found(const std::vector<TrapKey>& keys) {
    for (auto& slot : found_)
        slot.clear();
    for (const TrapKey& key : keys) {
        uint32_t slot = key.owner & ~L2PT_TRAP_SLOT_FLAG;
        if (!key.isSlot()) {
            const ozm::IfInfo* info = db_.isPort(key.owner) ? db_.info(key.owner) : nullptr;
            slot = info != nullptr ? static_cast<uint32_t>(info->slot) : pipeline::kMaxSlots;
        }
        if (slot < pipeline::kMaxSlots)
            found_[slot].insert(key);
    }
    trapping_.reset();
}

uint32_t TrapMirror::trappingPorts() const {
    if (trapping_)
        return *trapping_;
    const auto trapsFor = [](const std::set<TrapKey>& keys, uint32_t portIf) {
        // Agent-wide keys sort last (their flag is the top bit of the owner).
        const bool cardWide = !keys.empty() && keys.rbegin()->isSlot();
        const auto own = keys.lower_bound(TrapKey::port(portIf, {}));
        return cardWide || (own != keys.end() && own->owner == portIf);
    };
    uint32_t n = 0;
    for (size_t p = 0; p < db_.portCount(); ++p) {
        const uint32_t portIf = db_.portAt(p);
        const auto slot = static_cast<uint32_t>(db_.info(portIf)->slot);
        if (slot >= pipeline::kMaxSlots)
            continue;
        n += trapsFor(held_[slot], portIf) || trapsFor(found_[slot], portIf);
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
