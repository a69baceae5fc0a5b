// The ACL agent of one line-card slot: registration, the sequenced ACL downloads and the table
// of trap entries they install, with what the card's data plane counts of each entry.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "chassis/config.h"
#include "chassis/model.h"
#include "chassis/policer.h"

namespace chassis {

struct AclEntry {
    uint32_t ifIndex = 0;  // 0 in an agent-wide entry
    Mac mac{};
    Mac mask{};
    uint32_t global = 0;
    uint32_t rate = 0;  // Kbps, 0 = none
    uint8_t mode = 0;
    bool operator==(const AclEntry&) const = default;
};

// What the data plane counts of an entry: frames that matched it, and of those the ones its
// policer dropped.
struct TrapCounters {
    uint64_t hits = 0;
    uint64_t policed = 0;
    bool operator==(const TrapCounters&) const = default;
};

// An installed entry as the card's data plane holds it.
struct TrapEntry {
    AclEntry entry;
    TrapCounters counters;
    TokenBucket bucket;
};

// Told of every change to an agent's table, in the order the agent applies them (a download
// that installs a new MAC and removes the old one reports the install first), so that another
// copy of the table (the kernel's) can follow it.
class TableObserver {
  public:
    virtual ~TableObserver() = default;
    // entry is new, or replaces the entry of its key (ifIndex, MAC), whose counters it keeps.
    virtual void entryInstalled(uint32_t slot, const AclEntry& entry) = 0;
    virtual void entryRemoved(uint32_t slot, const AclEntry& entry) = 0;
    // Only the rate of an installed entry changed; entry is as it is now.
    virtual void rateChanged(uint32_t slot, const AclEntry& entry) = 0;
    // Every entry of the slot went at once: its card went away or came back, or the agent was
    // deregistered. Not reported for a table already empty.
    virtual void tableCleared(uint32_t slot) = 0;
    // The same, because the task registered afresh: the downloads that follow install again
    // what it still wants.
    virtual void tableRenewed(uint32_t slot) { tableCleared(slot); }
};

// The entries all agents of a chassis hold together, bounded by what the kernel's trap table
// takes: a task that installs more has its download refused.
struct EntryBudget {
    size_t capacity = 0;
    size_t used = 0;
};

class AclAgent {
  public:
    AclAgent(Context& ctx, uint32_t slot, AgentMode mode, bool present, EntryBudget& budget);

    // Synchronous request (registration); empty when the agent does not answer.
    std::optional<std::vector<uint8_t>> request(std::span<const uint8_t> msg);
    // Asynchronous message: sync, ACL download, deregistration.
    void receive(std::span<const uint8_t> msg);

    uint32_t slot() const { return slot_; }
    bool present() const { return present_; }
    // A card that goes away loses its agent's state; one that comes back starts unregistered.
    void setPresent(bool present);
    AgentMode mode() const { return mode_; }
    void setMode(AgentMode mode) { mode_ = mode; }
    bool registered() const { return registered_; }

    // Installed entries in (ifIndex, MAC) order.
    std::vector<AclEntry> entries() const;
    // The entry that traps a frame with this destination entering port portIf: the port's own
    // entry, else an agent-wide one; null when none does.
    TrapEntry* match(uint32_t portIf, std::span<const uint8_t> dst);
    // The counters of the entry with this key; empty when none is installed.
    std::optional<TrapCounters> counters(uint32_t ifIndex, const Mac& mac) const;
    // Told of every change to the table from now on (null: nobody).
    void setObserver(TableObserver* observer) { observer_ = observer; }

    struct Stats {
        uint32_t applied = 0;     // download messages applied
        uint32_t duplicates = 0;  // acknowledged again, not applied
        uint32_t gaps = 0;        // ahead of their turn: dropped
        uint32_t rejected = 0;    // malformed
        // Chassis time of the first and the latest applied message, and the most messages
        // applied at one reading of the clock: how fast a download runs, and whether the
        // sender keeps several in flight rather than waiting for each acknowledgement.
        uint64_t firstAppliedUs = 0;
        uint64_t lastAppliedUs = 0;
        uint32_t maxBurst = 0;
    };
    const Stats& stats() const { return stats_; }
    uint32_t expectedSeq() const { return expected_; }
    // Keeps a copy of every applied ACL download message as it arrived (msgLen bytes), for
    // tests that check the wire bytes; off by default.
    void setRecordDownloads(bool on) { recordDownloads_ = on; }
    const std::vector<std::vector<uint8_t>>& downloads() const { return downloads_; }

  private:
    std::string actor() const;
    // renewed: by the task's registration (TableObserver::tableRenewed).
    void clearTable(bool renewed = false);
    void reset(bool renewed = false);
    void download(std::span<const uint8_t> msg);
    bool apply(std::span<const uint8_t> msg, uint32_t seq);
    // Installs, removes or re-rates one entry of a download in the trap table.
    void applyEntry(const AclEntry& entry, bool install);
    // The entries an install of these count entries at e adds to the table.
    size_t newEntries(const uint8_t* e, uint32_t count) const;
    void ack(std::span<const uint8_t> msg);

    Context& ctx_;
    uint32_t slot_;
    AgentMode mode_;
    bool present_;
    bool registered_ = false;
    uint32_t session_ = 0;
    uint32_t expected_ = 1;
    std::map<std::pair<uint32_t, Mac>, TrapEntry> table_;
    EntryBudget& budget_;
    TableObserver* observer_ = nullptr;
    Stats stats_;
    uint32_t burst_ = 0;
    bool recordDownloads_ = false;
    std::vector<std::vector<uint8_t>> downloads_;
};

}  // namespace chassis
