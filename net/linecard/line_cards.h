// The chassis daemon's line cards in the kernel: keeps the pipeline's tables equal to the
// chassis models, the task's data path, and what the operator reads of them.
//
//   PortTracker ports(LineCards::netdevs(chassis), ops, programs,
//                     [&](size_t i, const PortState& was) { (*cards)->portChanged(i, was); }, log);
//   auto cards = LineCards::start(chassis, tables, ports, log, openTx);  // refused: too big
//   ... after every change to the models (a message, a command, a card):  (*cards)->refresh();
//   ... every few seconds:                                               (*cards)->expireAged();
//   ... while (*cards)->sweeping(), a slice a loop pass:                 (*cards)->sweep();
//   ... eventsFd() readable:                                             (*cards)->readEvents();
//
// What the ACL agents apply reaches the trap table at once, in their order (TrapMirror). IFM's
// VLANs and LAGs, the cards' presence, the TPID and the trace switch reach the tables at the
// next refresh(), which rewrites only what changed. Every failed write is logged with the
// pipeline's text; the tables are left as the writes that succeeded made them.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "chassis/chassis.h"
#include "net/linecard/fdb_sweep.h"
#include "net/linecard/task_path.h"
#include "net/linecard/trap_mirror.h"
#include "net/pipeline/trap_ring.h"
#include "net/port/port_tracker.h"

namespace netp::linecard {

// What l2ptctl shows.
struct PortCounters {
    uint32_t ifIndex;  // 0: interfaces of no port
    l2pt_port_stats stats;
    l2pt_l2cp_stats l2cp;  // the frames to each reserved address (none for no port)
};
struct EntryCounters {
    uint32_t slot;
    chassis::AclEntry entry;
    pipeline::TrapCounters counters;
    bool installed = true;  // false: the kernel refused it, it is retried at each refresh()
};
struct MacEntry {
    uint16_t vid;
    pipeline::Mac mac;
    uint32_t ifIndex;  // the port or LAG it was learned on
    uint64_t ageMs;    // since it was last seen
};

class LineCards {
  public:
    // Writes every port's and LAG's record, the VLANs, the globals and the entries the agents
    // hold now, and follows the agents from here on. A chassis the pipeline cannot hold (more
    // ports, LAGs or slots than it has room for, a port VLAN past 4095) is refused, saying why.
    // The ports' interfaces are read from ports, numbered by dense port index (netdevs()).
    static pipeline::Result<std::unique_ptr<LineCards>> start(chassis::Chassis& chassis,
                                                              pipeline::Tables& tables,
                                                              const port::PortTracker& ports,
                                                              pipeline::LogFn log, TaskTxFn openTx);
    ~LineCards();
    LineCards(const LineCards&) = delete;
    LineCards& operator=(const LineCards&) = delete;

    // Every port of the chassis by dense port index, with the Linux interface it stands for
    // (empty: none): the PortTracker's ports.
    static std::vector<port::PortNetdev> netdevs(chassis::Chassis& chassis);
    // The PortTracker's listener (port: dense index): the port's interface (ifindex, MTU, up)
    // into its record and the ifindex binding, its LAG's live members; the MACs learned on it
    // forgotten when it stops carrying traffic (for a LAG's member: when the LAG has no live
    // member left).
    void portChanged(size_t port, const port::PortState& was);

    // The interfaces as they are now were all reported (the link monitor's first dump): the
    // MACs learned before this start (adopted, or carried over into new tables) that are stale
    // are forgotten: those of an lport that stands for another port or LAG now, of ports not up
    // or made again meanwhile, of VLANs their port or LAG is no member of. Adopted tables
    // (pipeline::Tables::adopted): the ports' records and the VLANs naming them are written
    // from here on (until then they stay as the daemon before left them, and the pipeline
    // switches by them), and what the configuration no longer claims is swept: reserved-address
    // rows, bindings of interfaces that are gone. Once.
    void linksSynced();
    // Adopted tables, once the primary task has installed its entries again (settleTask()
    // after linksSynced()): the trap entries it no longer claims are removed. Until then the
    // adopted entries go on trapping, into the ring the next grant hands over, so that no PDU
    // is switched as data while the task starts. The same for the entries kept while a task
    // registered again with the agents (TrapMirror::tableRenewed). Nothing for new tables.
    //
    // Called once the primary is ready: its entries are in when the agents have installed none
    // for kTaskQuiet, however long its download took on a busy machine, or at the latest
    // kTaskSettleAtMost after the first call (a task that never stops installing). Until then,
    // how much longer to wait before calling again; nothing once settled.
    static constexpr std::chrono::nanoseconds kTaskQuiet = std::chrono::seconds(2);
    static constexpr std::chrono::nanoseconds kTaskSettleAtMost = std::chrono::seconds(30);
    std::optional<std::chrono::nanoseconds> settleTask(uint64_t nowNs);

    // Brings the VLANs, the LAGs, the cards' presence, the TPID and the trace switch in line
    // with the models, and installs the trap entries the kernel refused before; cheap when none
    // of them moved. MACs learned on an lport that left a VLAN
    // are forgotten in it.
    void refresh();
    // Forgets the learned MACs not seen for the ageing time: asks the sweep for it.
    void expireAged();
    // The learned MACs to forget (aged, of a port gone down, of a VLAN's former member) are
    // forgotten in slices: whether some are left, and one slice of them.
    bool sweeping() const { return sweep_.pending(); }
    void sweep();

    // Learning limits (data_plane: in the chassis file): a port's or LAG's by its ifIndex
    // (its limit, and whether frames from new sources past it are dropped), a VLAN's. Refused
    // for what is no port, LAG or VLAN 0-4095.
    pipeline::Status setLearnLimit(uint32_t lportIf, std::optional<uint32_t> limit,
                                   std::optional<bool> drop);
    pipeline::Status setVlanLearnLimit(uint32_t vid, uint32_t limit);
    struct Learning {
        uint32_t count;  // learned MACs held now
        uint32_t limit;
        bool drop;
    };
    pipeline::Result<Learning> learning(uint32_t lportIf) const;
    pipeline::Result<Learning> vlanLearning(uint32_t vid) const;
    // Logs, at most once a minute per port, the ports whose new sources were not learned since
    // the last line, or since this start.
    void reportNotLearned(uint64_t nowNs);

    // The task's data path: a new generation for the task taking the primary role; the old one
    // receives nothing from here on and what it sends is dropped. The caller logs a failure.
    pipeline::Result<TaskGrant> grant();
    // Before the first grant of a start that found the task link of the daemon before still
    // held: its task relays PDUs from the adopted ring until it sees a daemon serve, then starts
    // over. The grant waits for it to let go (its link goes), at most kRelayerGrace, so that no
    // two tasks read one ring and the PDUs queued meanwhile are handed over; how much longer to
    // wait, none to grant now. Past the grace the grant hands over a new ring.
    static constexpr std::chrono::nanoseconds kRelayerGrace = std::chrono::seconds(2);
    static constexpr std::chrono::nanoseconds kRelayerLook = std::chrono::milliseconds(10);
    std::optional<std::chrono::nanoseconds> relayerWait(uint64_t nowNs);
    // No task holds the role: the ring goes, the generation moves on.
    pipeline::Status revoke();
    uint16_t generation() const { return task_.generation(); }

    // The pipeline's per-frame events (readable while the chassis trace is on): readEvents()
    // turns those waiting into chassis trace lines.
    int eventsFd() const { return tables_.eventsFd(); }
    void readEvents();

    // A line for each core port whose MTU cannot take the largest frame of an access port
    // tunnelled through it (one of the same VLAN) with the provider tag added; the ports
    // without an interface yet are not counted.
    std::vector<std::string> mtuShortfalls() const;
    // For tests that fill the trap table with more entries than the MACs allowed make.
    void allowAnyTrapMac() {
        traps_.allowMacs([](const chassis::Mac&) { return true; });
    }

    pipeline::Result<std::vector<PortCounters>> portCounters() const;
    pipeline::Result<std::vector<EntryCounters>> entryCounters() const;
    // The learned MACs a slice at a time (pipeline::Tables::readMacs).
    pipeline::Result<bool> readMacs(pipeline::Tables::Walk& walk, size_t max,
                                    std::vector<MacEntry>& out) const;

  private:
    struct Started {};  // only start() makes one

  public:
    LineCards(Started, chassis::Chassis& chassis, pipeline::Tables& tables,
              const port::PortTracker& ports, pipeline::LogFn log, TaskTxFn openTx);

  private:
    bool cardPresent(uint32_t portIf) const;
    bool live(uint32_t portIf) const;
    void syncLports();
    // Writes the record when the table holds another; whether it did.
    bool writeLport(uint32_t lport, const l2pt_lport& rec);
    // every: compare all VLANs with the table, not only those that had or have members.
    void syncVlans(bool every);
    pipeline::Status syncGlobals();
    // Every port's, LAG's and VLAN's learning limit from cfg and the limits held meanwhile.
    void applyLearning(const chassis::DataPlaneConfig& cfg);
    // The reserved addresses' actions, when the models' table moved.
    void syncL2cp();
    // The ports' policers, when their settings moved.
    void syncPolice();
    void logged(const pipeline::Status& s) const;
    // The sweep of adopted tables (linksSynced), after the interface bindings it let go.
    void sweepAdopted(size_t bindings);
    void forgetFormerMacs();
    void moveFormerCounters();
    // The readouts' view while the records are held: the index the tables hold port or LAG
    // `lport` (numbered as the chassis numbers it now) at, the one the daemon before gave it
    // (L2PT_LPORT_NONE: it had none); and the ifIndex of the port or LAG at a table index.
    uint32_t tableIndex(uint32_t lport) const;
    uint32_t ifAtTableIndex(uint32_t index) const;
    // The ports' counts of sources not learned as they are now: what reportNotLearned() takes
    // as logged already.
    void baseNotLearned();
    template <typename Key>
    size_t sweepUnclaimed(const pipeline::Result<std::vector<Key>>& keys,
                          const std::function<bool(const Key&)>& claimed,
                          const std::function<pipeline::Status(const Key&)>& remove) const;

    chassis::Chassis& chassis_;
    pipeline::Tables& tables_;
    const port::PortTracker& ports_;  // by dense port index
    pipeline::LogFn log_;
    // The tunnel MACs IFM held, the last kTunnelMacsKept: a task that has not yet heard of a
    // change installs the one before, and removes it only after the new one is in.
    static constexpr size_t kTunnelMacsKept = 4;
    std::vector<chassis::Mac> tunnelMacs_;
    bool trapAllowed(const chassis::Mac& mac) const;
    TrapMirror traps_;
    TaskPath task_;
    std::optional<uint64_t> ifmGeneration_;
    uint32_t present_ = 0;  // the cards' bitmap as last written
    std::vector<l2pt_vlan> vlans_ = std::vector<l2pt_vlan>(L2PT_VLANS);
    std::vector<uint16_t> usedVids_;           // VLANs with members, as last written
    std::optional<uint64_t> settlingSinceNs_;  // settleTask()'s first call of this claim
    std::optional<uint64_t> relayerSinceNs_;   // relayerWait()'s first call that waited
    bool holdLports_ = false;                  // adopted: the records wait for the interfaces' dump
    // By lport, the records a daemon before left (Tables::formerLports), until the
    // interfaces are known; and by a port's or LAG's ifIndex, its lport there.
    std::vector<l2pt_lport> former_;
    std::unordered_map<uint32_t, uint32_t> formerAt_;
    // Learning limits the operators set while the records are held: the records' ports are
    // the ones before, so the chassis file's limits wait for them; these follow those.
    struct HeldLimit {
        bool vlan;
        uint32_t id;  // the port's or LAG's ifIndex, or the VLAN
        std::optional<uint32_t> limit;
        std::optional<bool> drop;
    };
    std::vector<HeldLimit> heldLimits_;
    bool lportsSwept_ = false;    // the records of no port or LAG of the chassis cleared
    bool policeWritten_ = false;  // every port's policers written once
    std::optional<uint64_t> policingGeneration_;
    std::vector<pipeline::PoliceRates> police_;  // by dense port index, as last written
    std::optional<pipeline::TrapRing> events_;
    FdbSweep sweep_;
    // Per port: not_learned as last logged, and when.
    struct NotLearned {
        uint64_t count = 0;
        uint64_t loggedNs = 0;
    };
    std::vector<NotLearned> notLearned_;
    mutable std::vector<pipeline::LearnedMac> macs_;  // one slice of readMacs
    std::optional<uint64_t> l2cpGeneration_;
    std::map<std::pair<uint32_t, uint32_t>, uint64_t> l2cp_;  // (lport, vid) -> row, as written
};

}  // namespace netp::linecard
