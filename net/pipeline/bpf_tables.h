// The line card's tables in the kernel: the pipeline built into this program, loaded, and its
// maps read and written through libbpf. It owns the loaded object: the programs and maps live
// as long as it does (and as long as a tc filter or a handed-over descriptor holds them).
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "net/pipeline/bpf_object.h"
#include "net/pipeline/mapping.h"
#include "net/pipeline/pins.h"
#include "net/pipeline/tables.h"

namespace netp::pipeline {

// How the pipeline is loaded: pinned or not, and which build of it.
struct PipelineOptions {
    // The switch's pins: the maps found there are adopted (or migrated), the new ones pinned.
    // None: nothing is pinned, nothing adopted (the maps live as long as the daemon holds them
    // or a filter's program uses them).
    std::optional<PinPlace> pins;
    // A test build of the programs (abi.h: L2PT_TEST_VARIANT); 0: the real one.
    uint32_t variant = 0;
};

// What a load found.
enum class PipelineStart : uint8_t {
    Fresh,     // nothing pinned: new maps
    Adopted,   // the pinned maps, as they were: learned MACs, counters and entries kept
    Migrated,  // pinned maps of another layout: new maps, the learned MACs carried over
};
struct StartReport {
    PipelineStart how = PipelineStart::Fresh;
    std::string differs;       // Migrated: what differed first
    size_t macs = 0;           // Adopted: learned MACs found; Migrated: carried over
    size_t macsLeft = 0;       // Migrated: learned MACs that could not be carried
    bool ringAdopted = false;  // the task's ring in the trap slot, handed at the next grant
    size_t traps = 0;          // Migrated: trap entries carried over
    bool taskCarried = false;  // Migrated: the task's mark and link carried over
    // Migrated: the maps whose records are laid out otherwise than this build's, so that what
    // they held is not carried (counters start from 0, learned MACs or entries go).
    std::vector<std::string> notCarried;
    uint32_t pinnedAbi = 0;  // the ABI version the pins were made for (0: none)
    // The ingress and egress programs pinned before this load (ids): the daemon before
    // attached them to its ports' interfaces.
    std::vector<uint32_t> formerPrograms;
};

// Whether there is a build of the pipeline by that number: 0 the real one, 1 and 2 the test
// builds (PipelineOptions::variant).
bool pipelineVariant(uint32_t variant);
// The ABI version of a build of the pipeline.
uint32_t abiVersion(uint32_t variant);

// A map's shape as the kernel tells it: what decides whether a pinned map is adopted, and
// whether its records are read as this build's.
struct Shape {
    uint32_t type, keySize, valueSize, maxEntries, flags;
};
Result<Shape> pinnedShape(int fd);

class BpfTables final : public Tables {
  public:
    // Loads the pipeline (the kernel's refusal names the program, see BpfObject), its table of
    // learned MACs holding fdbEntries. New tables start with the globals defaultGlobals();
    // adopted ones as they are (start()).
    static Result<std::unique_ptr<BpfTables>> load(LogFn log,
                                                   uint32_t fdbEntries = L2PT_FDB_ENTRIES_DEFAULT,
                                                   const PipelineOptions& options = {});
    const StartReport& start() const { return start_; }
    // Migrated: the learned MACs and counters the old maps gained since the load carried over
    // again, the trap entries' counters once, and the old maps let go. Called just before the
    // programs are attached at the ports (the old ones count and learn until then); nothing
    // otherwise.
    void finishMigration();
    // Pins what this load made (new maps, the programs, the ABI record) over what the daemon
    // before pinned: once the programs are attached at the ports and the tables hold the
    // configuration. Until then the pins stay the set the ports run on, so that a start that
    // fails or is stopped before leaves the next one the tables the switch forwards by.
    Status commitPins();
    uint32_t variant() const { return variant_; }
    // The pin directory, when the maps are pinned.
    const std::string* pinDir() const { return pins_ ? &pins_->path() : nullptr; }

    // The programs to attach at each port's tc ingress and egress (cls_bpf, direct-action).
    int ingressFd() const { return ingress_; }
    int egressFd() const { return egress_; }
    // The program at the ingress of our end of the task's link.
    int taskTxFd() const { return taskTx_; }

    // The kernel memory each map of the pipeline holds (its memlock figure), by name.
    struct MapMemory {
        std::string name;
        uint64_t bytes;
    };
    Result<std::vector<MapMemory>> mapMemory() const;

    Status unbindIfindex(uint32_t ifindex) override;
    Status removeTrap(const TrapKey& key) override;
    Status setTrapRate(const TrapKey& key, uint32_t rateKbps) override;
    Result<TrapCounters> trapCounters(const TrapKey& key) const override;
    Result<bool> readMacs(Walk& walk, size_t max, std::vector<LearnedMac>& out) const override;
    Result<size_t> forgetMacs(std::span<const LearnedMac> macs) override;
    Result<std::vector<TrapKey>> trapKeys() const override;
    Result<std::vector<l2pt_l2cp_key>> l2cpKeys() const override;
    Result<std::vector<uint32_t>> boundIfindexes() const override;
    // The first after an adoption hands over the ring found in the trap slot, with the PDUs
    // that queued while no daemon ran; every later one a new ring.
    Result<Fd> newTaskRing() override;
    Status parkTaskRing() override;
    void abandonParkedRing() override { readyRing_.reset(); }
    int eventsFd() const override { return events_; }

  protected:
    // The three arrays are written through the daemon's own mapping of them: no system call.
    Status writeElement(Array array, uint32_t index, std::span<const uint8_t> value) override;
    Status writeBinding(uint32_t ifindex, uint32_t port) override;
    Status writeTrap(const TrapKey& key, const Trap& trap) override;
    Status writePolice(uint32_t port, const PoliceRates& rates) override;
    Result<l2pt_port_stats> readPortStats(uint32_t slot) const override;
    void writeLearning(uint32_t slot, uint32_t limit, uint32_t flags) override;
    l2pt_learn readLearning(uint32_t slot) const override;
    Result<l2pt_l2cp_stats> readL2cpStats(uint32_t port) const override;
    Status writePortStats(uint32_t port, const l2pt_port_stats& stats) override;
    Status writeL2cpStats(uint32_t port, const l2pt_l2cp_stats& stats) override;
    Status writeL2cp(const l2pt_l2cp_key& key, uint64_t row) override;
    Result<uint64_t> readL2cp(const l2pt_l2cp_key& key) const override;

  private:
    struct Loaded {};  // only load() makes one

    struct Arrays {
        Mapping globals, lports, vlans, learning;
    };
    l2pt_learn* learningAt(uint32_t slot) const;

  public:
    // The descriptors of the programs and maps, taken from the loaded build's skeleton.
    struct Handles {
        int ingress, egress, taskTx, forget, setRates;
        int globals, lports, vlans, learning;  // mapped: Arrays
        int byIfindex, traps, police, vlanPolice, fdb, stats, rings, events, l2cp, l2cpStats;
    };
    BpfTables(Loaded, BpfObject obj, const Handles& fds, Copies copies, Arrays arrays, size_t cpus);

  private:
    // After the load: takes the ring found, notes what the pins held.
    Status settle(std::map<std::string, Fd>& old);
    // Migrated: the learned MACs, the port counters and the ports' buckets of the old maps
    // into the new ones (twice: at the load, and again by finishMigration()).
    enum class MacsCarried : uint8_t { Added, Refreshed };
    void carry(const std::map<std::string, Fd>& old, MacsCarried how);
    // The tokens of each port's buckets and its share of the ring, as the old programs left
    // them, under the rates the new map holds.
    void carryPolice(int oldPolice, uint32_t ports);
    // The learned MACs of the pinned table into the new one, counted; those there already kept
    // (Added), or those moved or gone since forgotten first (Refreshed).
    void carryMacs(int oldFdb, MacsCarried how);
    // The trap entries of the pinned table: at the load, so that PDUs go on being trapped
    // until the task claims its own; their counters once, at the swap.
    enum class TrapsCarried : uint8_t { Entries, Counters };
    void carryTraps(int oldTraps, TrapsCarried what);
    void readFormerLports(const std::map<std::string, Fd>& old);
    // The task's mark and link of the globals migrated from, where they are laid out as this
    // build's.
    void carryTask(const std::map<std::string, Fd>& old);
    void notCarried(const char* map);
    // A trap entry's rate change (l2pt_set_rates), for an entry of any socket.
    static l2pt_rates_req trapRates(const l2pt_trap_key& key, uint32_t rateKbps);
    // Runs l2pt_set_rates: whether the record was there to change.
    Result<bool> setRates(const l2pt_rates_req& r, const std::string& what) const;
    // The pinned ring, when it is the one in slots[0] and laid out as this build's ring.
    Fd slottedRing(int slots) const;
    // The PDUs that waited in the ring longer than kStalePduNs, released unread.
    void dropStalePdus(int ring);

    BpfObject obj_;
    std::optional<PinDir> pins_;
    StartReport start_;
    uint32_t variant_ = 0;
    Fd readyRing_;  // in the trap slot, for the next grant: adopted, carried, or parked
    std::map<std::string, Fd> migratedFrom_;  // the old maps, until finishMigration()
    std::set<std::string> formerMaps_;        // the maps pinned before this load, by name
    bool pinsDue_ = false;                    // commitPins() has not pinned this load yet
    bool taskUnknown_ = false;  // migrated from globals of another layout: a task may hold the ring
    Arrays arrays_;
    int ingress_, egress_, taskTx_, forget_, setRates_;
    int byIfindex_, traps_, police_, vlanPolice_, fdb_, stats_, rings_, events_, l2cp_, l2cpStats_;
    mutable std::vector<l2pt_port_stats> perCpu_;  // one lookup's worth of per-CPU values
    mutable std::vector<l2pt_fdb_key> keys_;       // one batch of the learned MACs
    mutable std::vector<l2pt_fdb_entry> entries_;
    std::vector<uint8_t> forgetRun_;  // l2pt_forget's frame of keys
};

}  // namespace netp::pipeline
