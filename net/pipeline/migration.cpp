// A migration's carrying over: what the tables of another layout held, into the new ones
// where their records are laid out as this build's, at the load and again just before the new
// programs take over the ports.
#include <bpf/bpf.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unordered_map>

#include "net/pipeline/bpf_tables.h"

namespace netp::pipeline {

namespace {

// An array of the tables migrated from, by name: its descriptor and entries where its records
// are laid out as this build's (a u32 key, values of valueSize).
struct OldArray {
    int fd = -1;
    uint32_t entries = 0;
    bool otherLayout = false;
};
OldArray oldArray(const std::map<std::string, Fd>& old, const char* name, uint32_t valueSize) {
    const auto it = old.find(name);
    if (it == old.end())
        return {};
    const Result<Shape> had = pinnedShape(it->second.get());
    if (!had || had->keySize != sizeof(uint32_t) || had->valueSize != valueSize)
        return {.otherLayout = true};
    return {it->second.get(), had->maxEntries};
}

}  // namespace

// The learned MACs of the table pinned before, with the time each was last seen (their ageing
// goes on), into the new table, each counted on its lport and VLAN. A record of another size
// is not carried: its ABI would have to say how.
void BpfTables::carry(const std::map<std::string, Fd>& old, MacsCarried how) {
    const auto oldMap = [&](const char* name, uint32_t valueSize) {
        const OldArray a = oldArray(old, name, valueSize);
        if (a.otherLayout)
            notCarried(name);
        return a;
    };
    if (auto fdb = old.find("l2pt_fdb"); fdb != old.end())
        carryMacs(fdb->second.get(), how);  // checks its shape itself
    // Per CPU as they were: the old and the new map were made on the same boot, with the same
    // possible CPUs.
    if (const OldArray a = oldMap("l2pt_stats", sizeof(l2pt_port_stats)); a.fd >= 0) {
        for (uint32_t slot = 0; slot < std::min<uint32_t>(a.entries, L2PT_STATS_SLOTS); ++slot) {
            if (bpf_map_lookup_elem(a.fd, &slot, perCpu_.data()) == 0)
                (void)bpf_map_update_elem(stats_, &slot, perCpu_.data(), BPF_ANY);
        }
    }
    if (const OldArray a = oldMap("l2pt_l2cp_stats", sizeof(l2pt_l2cp_stats)); a.fd >= 0) {
        l2pt_l2cp_stats value;
        for (uint32_t port = 0; port < std::min<uint32_t>(a.entries, L2PT_MAX_PORTS); ++port) {
            if (bpf_map_lookup_elem(a.fd, &port, &value) == 0)
                (void)bpf_map_update_elem(l2cpStats_, &port, &value, BPF_ANY);
        }
    }
    if (const OldArray a = oldMap("l2pt_police", sizeof(l2pt_police)); a.fd >= 0)
        carryPolice(a.fd, a.entries);
    if (const OldArray a = oldMap("l2pt_vlan_police", sizeof(l2pt_vlan_police)); a.fd >= 0) {
        l2pt_vlan_police was{};
        for (uint32_t vid = 0; vid < std::min<uint32_t>(a.entries, L2PT_VLANS); ++vid) {
            if (bpf_map_lookup_elem_flags(a.fd, &vid, &was, BPF_F_LOCK) == 0)
                (void)bpf_map_update_elem(vlanPolice_, &vid, &was, BPF_F_LOCK);
        }
    }
}

// A customer whose storm or PDUs spent its buckets finds them spent in the new map, not full
// again; and the ring carried over holds its records against its share still. A bucket's rate
// is the new map's: the daemon writes the rates of its configuration.
void BpfTables::carryPolice(int oldPolice, uint32_t ports) {
    const auto carried = [](l2pt_bucket& to, const l2pt_bucket& from) {
        const uint32_t rate = to.rate;
        to = from;
        to.rate = rate;
    };
    for (uint32_t port = 0; port < std::min<uint32_t>(ports, L2PT_MAX_PORTS); ++port) {
        l2pt_police was{};
        l2pt_police now{};
        if (bpf_map_lookup_elem_flags(oldPolice, &port, &was, BPF_F_LOCK) != 0 ||
            bpf_map_lookup_elem_flags(police_, &port, &now, BPF_F_LOCK) != 0)
            continue;
        for (size_t c = 0; c < L2PT_STORM_CLASSES; ++c) {
            carried(now.storm_fps[c], was.storm_fps[c]);
            carried(now.storm_kbps[c], was.storm_kbps[c]);
        }
        carried(now.pdu, was.pdu);
        now.share_mark = was.share_mark;
        now.share_older = was.share_older;
        now.share_newer = was.share_newer;
        (void)bpf_map_update_elem(police_, &port, &now, BPF_EXIST | BPF_F_LOCK);
    }
}

// The ports' and LAGs' records of the tables migrated from, where they are laid out as this
// build's: what the learned MACs carried over were learned on.
void BpfTables::readFormerLports(const std::map<std::string, Fd>& old) {
    const OldArray a = oldArray(old, "l2pt_lports", sizeof(l2pt_lport));
    if (a.fd < 0)
        return;
    std::vector<l2pt_lport> records(std::min<uint32_t>(a.entries, L2PT_MAX_LPORTS));
    for (uint32_t l = 0; l < records.size(); ++l) {
        if (bpf_map_lookup_elem(a.fd, &l, &records[l]) != 0)
            return;
    }
    setFormerLports(std::move(records));
}

// The task before relays PDUs on its link (the old build's task program over the old maps)
// until it hears of this daemon. Carried, its PDUs leave by the new egress programs meanwhile,
// and the line cards go on from its generation and wait for it to let go of the ring, as
// after an adoption; not carried, its PDUs would be dropped as fenced, and a new generation
// could take its mark again.
// Globals of another layout say nothing of a task: one may be relaying from the ring still,
// which then stays its own (settle()).
void BpfTables::carryTask(const std::map<std::string, Fd>& old) {
    const OldArray a = oldArray(old, "l2pt_globals", sizeof(l2pt_globals));
    if (a.otherLayout) {
        taskUnknown_ = true;
        notCarried("l2pt_globals");
        return;
    }
    const uint32_t zero = 0;
    l2pt_globals was{};
    if (a.fd < 0 || bpf_map_lookup_elem(a.fd, &zero, &was) != 0 || was.task_mark == 0)
        return;
    l2pt_globals g = globals();
    g.task_mark = was.task_mark;
    g.task_if = was.task_if;
    start_.taskCarried = setGlobals(g).ok();  // refuses a mark that is no task's
}

// At the load (entries): each entry of the old table into the new one, with its policer and
// without counters. At the swap: the entries there take the hits and policed frames of the
// old ones, where they trap to the same socket.
void BpfTables::carryTraps(int oldTraps, TrapsCarried what) {
    Result<Shape> had = pinnedShape(oldTraps);
    if (!had || had->keySize != sizeof(l2pt_trap_key) || had->valueSize != sizeof(l2pt_trap)) {
        notCarried("l2pt_traps");
        return;
    }
    l2pt_trap_key key{};
    l2pt_trap_key next{};
    const l2pt_trap_key* at = nullptr;
    while (bpf_map_get_next_key(oldTraps, at, &next) == 0) {
        key = next;
        at = &key;
        l2pt_trap was{};
        if (bpf_map_lookup_elem_flags(oldTraps, &key, &was, BPF_F_LOCK) != 0)
            continue;
        if (what == TrapsCarried::Entries) {
            was.hits = was.policed = 0;
            if (bpf_map_update_elem(traps_, &key, &was, BPF_NOEXIST) == 0)
                ++start_.traps;
            continue;
        }
        // Added to what the entry counts meanwhile; its rate, which only the daemon writes, kept.
        l2pt_trap now{};
        if (bpf_map_lookup_elem(traps_, &key, &now) != 0)
            continue;
        l2pt_rates_req r = trapRates(key, now.bucket.rate);
        r.socket = was.socket;
        r.add_hits = was.hits;
        r.add_policed = was.policed;
        (void)setRates(r, "l2pt_traps");
    }
}

void BpfTables::notCarried(const char* map) {
    auto& names = start_.notCarried;
    if (std::find(names.begin(), names.end(), map) == names.end())
        names.emplace_back(map);
}

void BpfTables::finishMigration() {
    if (migratedFrom_.empty())
        return;
    carry(migratedFrom_, MacsCarried::Refreshed);
    // Once: the entries carried at the load started without counters.
    if (auto traps = migratedFrom_.find("l2pt_traps"); traps != migratedFrom_.end())
        carryTraps(traps->second.get(), TrapsCarried::Counters);
    migratedFrom_.clear();
}

// The learned MACs of the table pinned before, with the time each was last seen (their ageing
// goes on), into the new table, each counted on its lport and VLAN. At the swap, what moved to
// another lport in the old table since the load, or went from it (aged, flushed), is forgotten
// in the new one first: else it would be delivered where its host was until it is heard again.
// A newer time alone is left: it ages the MAC that much early at most.
void BpfTables::carryMacs(int oldFdb, MacsCarried how) {
    Result<Shape> had = pinnedShape(oldFdb);
    if (!had || had->keySize != sizeof(l2pt_fdb_key) || had->valueSize != sizeof(l2pt_fdb_entry)) {
        notCarried("l2pt_fdb");
        return;
    }
    constexpr uint32_t kBatch = 4096;
    std::vector<l2pt_fdb_key> keys;
    std::vector<l2pt_fdb_entry> values;
    uint32_t batch = 0;
    bool whole = false;  // read to its end: what it lacks went from it
    for (bool started = false;; started = true) {
        const size_t at = keys.size();
        keys.resize(at + kBatch);
        values.resize(at + kBatch);
        uint32_t count = kBatch;
        uint32_t next = 0;
        const int err = bpf_map_lookup_batch(oldFdb, started ? &batch : nullptr, &next, &keys[at],
                                             &values[at], &count, nullptr);
        keys.resize(at + (err == 0 || err == -ENOENT ? count : 0));
        values.resize(keys.size());
        batch = next;
        whole = err == -ENOENT;
        if (err != 0)
            break;
    }
    const auto packed = [](uint16_t vid, const uint8_t* mac) {
        uint64_t k = vid;
        for (size_t i = 0; i < L2PT_ETH_ALEN; ++i)
            k = k << 8 | mac[i];
        return k;
    };
    if (how == MacsCarried::Refreshed && whole) {
        std::unordered_map<uint64_t, uint32_t> lportOf;
        for (size_t i = 0; i < keys.size(); ++i)
            lportOf.emplace(packed(keys[i].vid, keys[i].mac), values[i].lport);
        (void)forgetWhere([&](const LearnedMac& m) {
            const auto it = lportOf.find(packed(m.vid, m.mac.data()));
            return it == lportOf.end() || it->second != m.lport;
        });
    }
    for (size_t i = 0; i < keys.size(); ++i) {
        if (values[i].lport >= L2PT_MAX_LPORTS || keys[i].vid > L2PT_MAX_VID) {
            ++start_.macsLeft;
            continue;
        }
        std::memset(&values[i].lock, 0, sizeof values[i].lock);
        if (const int e = bpf_map_update_elem(fdb_, &keys[i], &values[i], BPF_NOEXIST); e) {
            if (e != -EEXIST)
                ++start_.macsLeft;  // the new table is smaller: full
            continue;               // else carried already
        }
        __atomic_fetch_add(&learningAt(values[i].lport)->count, 1, __ATOMIC_RELAXED);
        __atomic_fetch_add(&learningAt(L2PT_LEARN_VLAN + keys[i].vid)->count, 1, __ATOMIC_RELAXED);
        ++start_.macs;
    }
}

}  // namespace netp::pipeline
