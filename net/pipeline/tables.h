// The line card's tables, as the chassis daemon writes and reads them: the kernel pipeline's
// maps (BpfTables) or the same in memory for tests without root (MemTables). Every write is
// checked against the tables' ranges here, once, before either implementation sees it; the
// three tables l2ptd maps are kept here too, in the sealed copies it reads (SealedArray).
#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <utility>
#include <vector>

#include "dataplane/abi.h"
#include "net/io/socket.h"
#include "net/pipeline/sealed_array.h"
#include "net/pipeline/status.h"

namespace netp::pipeline {

using Mac = std::array<uint8_t, L2PT_ETH_ALEN>;

// Line cards whose agents install entries: slots 0-11.
inline constexpr uint32_t kMaxSlots = 12;

// An installed entry: a port's own (by its chassis ifIndex) or its card's agent-wide one.
struct TrapKey {
    uint32_t owner;
    Mac mac;

    static TrapKey port(uint32_t chassisIf, const Mac& mac) { return {chassisIf, mac}; }
    static TrapKey slot(uint32_t slot, const Mac& mac) { return {L2PT_TRAP_SLOT_KEY(slot), mac}; }
    bool isSlot() const { return (owner & L2PT_TRAP_SLOT_FLAG) != 0; }
    auto operator<=>(const TrapKey&) const = default;
};

struct TrapCounters {
    uint64_t hits = 0;     // frames that matched, policed ones included
    uint64_t policed = 0;  // of those, dropped by the policer
};

// A port's policers (l2pt_police): storm control per class (L2PT_STORM_*) in frames a second
// and Kbps, and its trapped PDUs a second; 0: that one does not police.
struct PoliceRates {
    std::array<uint32_t, L2PT_STORM_CLASSES> stormFps{};
    std::array<uint32_t, L2PT_STORM_CLASSES> stormKbps{};
    uint32_t pduFps = 0;
    bool operator==(const PoliceRates&) const = default;
};

struct LearnedMac {
    uint16_t vid;
    Mac mac;
    uint32_t lport;
    uint64_t seenNs;  // CLOCK_MONOTONIC
};

// Read-only descriptors of the three tables l2ptd maps (TableView): new descriptors each call,
// the caller's to send and close.
struct ViewFds {
    Fd globals;
    Fd lports;
    Fd vlans;
};

// The task's socket for a trapped frame: the access socket for the protocols' own MACs, the
// tunnel socket for any other (the tunnel MAC).
uint16_t trapSocket(const Mac& dst);

// The settings a pipeline starts with: the default provider TPID and ageing time.
l2pt_globals defaultGlobals();

class Tables {
  public:
    virtual ~Tables() = default;

    Status setGlobals(const l2pt_globals& g);
    l2pt_globals globals() const;

    // lport: a port (0 .. L2PT_MAX_PORTS-1) or a LAG (L2PT_LAG_BASE + n).
    Status setLport(uint32_t lport, const l2pt_lport& rec);
    Result<l2pt_lport> lport(uint32_t lport) const;
    Status setVlan(uint32_t vid, const l2pt_vlan& rec);
    Result<l2pt_vlan> vlan(uint32_t vid) const;

    // The Linux interface a port's programs are attached to.
    Status bindIfindex(uint32_t ifindex, uint32_t port);
    virtual Status unbindIfindex(uint32_t ifindex) = 0;

    // A new entry, its counters and policer at zero (an entry already there is replaced; while
    // claiming adopted tables, one already there keeps them).
    Status installTrap(const TrapKey& key, uint32_t rateKbps);
    virtual Status removeTrap(const TrapKey& key) = 0;
    // The entry's rate only: its counters and tokens stay.
    virtual Status setTrapRate(const TrapKey& key, uint32_t rateKbps) = 0;
    virtual Result<TrapCounters> trapCounters(const TrapKey& key) const = 0;

    // The actions of an lport's reserved addresses, two bits per address index (abi.h): its
    // own row (vid L2PT_L2CP_ANY_VLAN) or its row in VLAN vid. A row of 0 is removed.
    Status setL2cp(uint32_t lport, uint32_t vid, uint64_t row);
    // 0 when there is no such row.
    Result<uint64_t> l2cp(uint32_t lport, uint32_t vid) const;
    // A port's (0 .. L2PT_MAX_PORTS-1) policers' rates; their tokens stay, cut to the new
    // capacities.
    Status setPolice(uint32_t port, const PoliceRates& rates);

    // A port's counters summed over CPUs; slot L2PT_STATS_NO_PORT counts interfaces of no port.
    Result<l2pt_port_stats> portStats(uint32_t slot) const;
    // A port's frames to each reserved address.
    Result<l2pt_l2cp_stats> l2cpStats(uint32_t port) const;
    // A port's counters written whole: they follow their port to another index.
    Status setPortCounters(uint32_t port, const l2pt_port_stats& stats,
                           const l2pt_l2cp_stats& l2cp);

    // Learning limits: slot an lport (0 .. L2PT_MAX_LPORTS-1) or L2PT_LEARN_VLAN + a VLAN id.
    // The count is the pipeline's; only the limit and the flags are written.
    Status setLearning(uint32_t slot, uint32_t limit, uint32_t flags);
    // Every port's, LAG's and VLAN's limit at its default for a table of fdbEntries.
    void defaultLearning(uint32_t fdbEntries);
    Result<l2pt_learn> learning(uint32_t slot) const;

    // The learned MACs in slices: each call appends at most max of them to out, going on from
    // where the walk stood (a new Walk starts at the beginning); true when the walk is done. A
    // MAC learned or forgotten during a walk may be seen or not; none is seen twice.
    struct Walk {
        uint32_t batch = 0;  // where the table's own batch walk stands
        bool started = false;
        bool done = false;
        std::pair<uint16_t, Mac> next{};  // the in-memory tables' next key
    };
    virtual Result<bool> readMacs(Walk& walk, size_t max, std::vector<LearnedMac>& out) const = 0;
    // Forgets these MACs, each as it was read (readMacs): one moved or seen again since stays.
    // Each goes off its lport's and VLAN's counts as the table held it when it went; how many.
    virtual Result<size_t> forgetMacs(std::span<const LearnedMac> macs) = 0;

    // Whole walks, for tests and small tables.
    Result<std::vector<LearnedMac>> learnedMacs() const;
    using Forget = std::function<bool(const LearnedMac&)>;
    Result<size_t> forgetWhere(const Forget& which);
    // Forgets the MACs learned on an lport (it left a VLAN or went away); how many.
    Result<size_t> forgetLport(uint32_t lport);
    // Forgets the MACs not seen for the ageing time before nowNs (CLOCK_MONOTONIC); how many.
    Result<size_t> expireAged(uint64_t nowNs);
    // Whether m was last seen the ageing time or more before nowNs.
    bool aged(const LearnedMac& m, uint64_t nowNs) const;

    // A new ring for the task in the primary role, put in the trap slot in place of the old
    // one; its descriptor is the caller's, to hand to the task (TrapRing). A ring that PDUs
    // queued in while no task read it (adopted, or made at a migration) is handed over without
    // those that waited longer than kStalePduNs: counted, taken by takeStalePdus().
    virtual Result<Fd> newTaskRing() = 0;
    // 4 s, the longest a bridge may hold a frame: a spanning tree's PDU replayed later would
    // tell the far sites what may no longer hold (an old root, as fresh as when it was sent).
    static constexpr uint64_t kStalePduNs = 4'000'000'000;
    size_t takeStalePdus() { return std::exchange(stalePdus_, 0); }
    // A new ring in the trap slot that no task holds: what is trapped meanwhile waits there
    // for the next newTaskRing(), which hands it over. One parked already stays.
    virtual Status parkTaskRing() = 0;
    // The parked ring may still be read by the task before (it relays PDUs while no daemon
    // serves): the next newTaskRing() makes a new one rather than hand that one over.
    virtual void abandonParkedRing() = 0;

    // Tables found in the kernel, pinned by a daemon before, rather than made anew (pins.h):
    // their entries stay, and an entry installed again keeps its counters and policer, until
    // the daemon has claimed what its configuration wants and sweeps the rest (claimed()).
    // New tables that trap entries were carried into, and the entries kept while the task
    // registers again (claimFound()), are claimed the same way.
    bool adopted() const { return adopted_; }
    bool claiming() const { return claiming_; }
    // By lport, the ports' and LAGs' records a daemon before left: the adopted tables', or
    // those of the tables a migration carried the learned MACs from (empty: new tables, or
    // records of another layout).
    const std::vector<l2pt_lport>& formerLports() const { return formerLports_; }
    // Also works out again which MAC buckets no trap entry has (l2pt_globals.trap_none).
    Status claimed();
    // Trap entries carried over from the tables before into new ones, or kept while the task
    // registers again: claimed and swept as adopted ones are.
    Status claimFound();
    // What the hash tables hold now, for the sweep.
    virtual Result<std::vector<TrapKey>> trapKeys() const = 0;
    virtual Result<std::vector<l2pt_l2cp_key>> l2cpKeys() const = 0;
    virtual Result<std::vector<uint32_t>> boundIfindexes() const = 0;

    Result<ViewFds> viewFds() const;
    // The per-frame events ring (l2pt_event records, while L2PT_G_TRACE is set); borrowed.
    virtual int eventsFd() const = 0;

  protected:
    // The copies l2ptd reads, made before the tables they copy.
    struct Copies {
        SealedArray globals, lports, vlans;
    };
    static Result<Copies> makeCopies();
    explicit Tables(Copies copies) : copies_(std::move(copies)) {}

    struct Trap {
        uint32_t socket;
        uint32_t rateKbps;
    };
    // The writes behind the checked ones above. An array element goes to the implementation's
    // table, then, when it took it, to l2ptd's copy.
    enum class Array { Globals, Lports, Vlans };
    virtual Status writeElement(Array array, uint32_t index, std::span<const uint8_t> value) = 0;
    virtual Status writeBinding(uint32_t ifindex, uint32_t port) = 0;
    virtual Status writeTrap(const TrapKey& key, const Trap& trap) = 0;
    virtual Status writePolice(uint32_t port, const PoliceRates& rates) = 0;
    virtual Result<l2pt_port_stats> readPortStats(uint32_t slot) const = 0;
    virtual void writeLearning(uint32_t slot, uint32_t limit, uint32_t flags) = 0;
    virtual l2pt_learn readLearning(uint32_t slot) const = 0;
    virtual Result<l2pt_l2cp_stats> readL2cpStats(uint32_t port) const = 0;
    virtual Status writePortStats(uint32_t port, const l2pt_port_stats& stats) = 0;
    virtual Status writeL2cpStats(uint32_t port, const l2pt_l2cp_stats& stats) = 0;
    virtual Status writeL2cp(const l2pt_l2cp_key& key, uint64_t row) = 0;   // 0: delete
    virtual Result<uint64_t> readL2cp(const l2pt_l2cp_key& key) const = 0;  // 0: none

    // Adopted tables: l2ptd's copies start as the kernel's arrays are (bytes of a whole array,
    // laid out as the kernel's).
    void setAdopted(std::span<const uint8_t> globals, std::span<const uint8_t> lports,
                    std::span<const uint8_t> vlans);
    void setFormerLports(std::vector<l2pt_lport> records) { formerLports_ = std::move(records); }

    size_t stalePdus_ = 0;  // dropped by newTaskRing(), not taken yet

  private:
    template <typename T>
    Status write(Array array, const Mapping& copy, uint32_t index, const T& value);

    Status writeGlobals(l2pt_globals g);

    Copies copies_;
    // The buckets of MACs no trap entry has: all of them in new tables, none known in adopted
    // ones until claimed(). Cleared as entries come, never set again before claimed(): a
    // bucket kept for an entry since removed costs lookups, never a missed trap.
    uint32_t trapNone_ = ~0u;
    bool adopted_ = false;
    bool claiming_ = false;
    std::vector<l2pt_lport> formerLports_;
};

}  // namespace netp::pipeline
