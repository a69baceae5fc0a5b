// The ACL agents' trap entries in the pipeline's trap table, one change at a time, in the order
// the agents apply them: a tunnel-MAC change that installs the new entries before it removes
// the old ones leaves no moment in which PDUs are switched as data.
//
// An entry is held under the key it matches frames by: a port's own entry by the port's chassis
// ifIndex, an agent-wide one (ifIndex 0, global set) by its card's slot. An entry that can match
// no frame (a port of another card, ifIndex 0 without global) is not held: the simulated card
// never traps by it either.
//
// An entry the kernel refuses (the table full, say) is pending: shown as not installed and
// installed again by retry() until it is taken, kRetrySlice entries a call, so that a long list
// holds up no loop pass. Its frames are switched as data meanwhile, which the operator sees: the
// log says when entries start to wait and when none waits any more.
#pragma once

#include <array>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "chassis/acl_agent.h"
#include "chassis/ifdb.h"
#include "net/pipeline/bpf_object.h"
#include "net/pipeline/tables.h"

namespace netp::linecard {

class TrapMirror final : public chassis::TableObserver {
  public:
    // Pending entries installed again by one retry(): a system call each.
    static constexpr size_t kRetrySlice = 256;
    // Whether the task may trap frames to this MAC: a protocol's, or a tunnel MAC. An entry for
    // any other is not installed: the task would take frames it has no business with (the
    // provider's traffic to a customer's host, every broadcast) off the wire.
    using MacAllowed = std::function<bool(const chassis::Mac&)>;

    TrapMirror(const chassis::IfDb& db, pipeline::Tables& tables, pipeline::LogFn log,
               MacAllowed allowed)
        : db_(db), tables_(tables), log_(std::move(log)), allowed_(std::move(allowed)) {}

    // For tests that fill the table with more entries than the MACs allowed make.
    void allowMacs(MacAllowed allowed) { allowed_ = std::move(allowed); }

    void entryInstalled(uint32_t slot, const chassis::AclEntry& entry) override;
    void entryRemoved(uint32_t slot, const chassis::AclEntry& entry) override;
    void rateChanged(uint32_t slot, const chassis::AclEntry& entry) override;
    void tableCleared(uint32_t slot) override;
    // The task registered again (a new task, or one taking over): the slot's entries stay in
    // the kernel, found as a start's are, so that no PDU is switched as data before the task
    // has installed them again; those it does not claim go when it has settled.
    void tableRenewed(uint32_t slot) override;

    // The ports an entry it holds traps for, or one the tables held at the start (found()):
    // the ports the task's ring is shared among.
    uint32_t trappingPorts() const;
    // The entries a start found in the tables (adopted, or carried over into new ones), which
    // trap until the task's own are in: their ports share the ring meanwhile. Forgotten by
    // found({}) once those the task does not claim are removed.
    void found(const std::vector<pipeline::TrapKey>& keys);

    // What the pipeline counted of an agent's entry; zero for one it does not hold.
    pipeline::Result<pipeline::TrapCounters> counters(uint32_t slot,
                                                      const chassis::AclEntry& entry) const;
    // Whether the entry is in the kernel's table, or one it refused and retries.
    bool pending(uint32_t slot, const chassis::AclEntry& entry) const;
    // Installs up to kRetrySlice pending entries again, going on where the last call stopped;
    // those the kernel takes now are held from here on.
    void retry();
    // Whether an agent's entry is held, or pending, under that key (the sweep of adopted
    // tables removes the others).
    bool claims(const pipeline::TrapKey& key) const;
    // When an agent last installed an entry (CLOCK_MONOTONIC, ns; 0: never): a task
    // downloading its configuration installs one after another.
    uint64_t lastInstallNs() const { return lastInstallNs_; }

  private:
    // The key the entry of agent `slot` would be held under, matching or not.
    std::optional<pipeline::TrapKey> keyOf(uint32_t slot, const chassis::AclEntry& entry) const;
    bool holds(uint32_t slot, const pipeline::TrapKey& key) const;
    void logged(const pipeline::Status& s) const;
    // Installs the entry, or keeps it pending (logged when it was not already).
    void install(uint32_t slot, const pipeline::TrapKey& key, uint32_t rateKbps);
    size_t pendingCount() const;

    const chassis::IfDb& db_;
    pipeline::Tables& tables_;
    pipeline::LogFn log_;
    MacAllowed allowed_;
    uint64_t refused_ = 0;  // entries for a MAC not allowed, since the start
    std::array<std::set<pipeline::TrapKey>, pipeline::kMaxSlots> held_;
    std::array<std::set<pipeline::TrapKey>, pipeline::kMaxSlots> found_;  // by the card's slot
    std::array<std::map<pipeline::TrapKey, uint32_t>, pipeline::kMaxSlots> pending_;  // rates
    uint64_t lastInstallNs_ = 0;
    // Where the next retry() goes on: the slot, and the key it last tried there.
    uint32_t retrySlot_ = 0;
    std::optional<pipeline::TrapKey> retried_;
    mutable std::optional<uint32_t> trapping_;  // trappingPorts(), until held_ changes
};

}  // namespace netp::linecard
