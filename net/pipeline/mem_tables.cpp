#include "net/pipeline/mem_tables.h"

#include <fcntl.h>
#include <sys/eventfd.h>

#include <cerrno>
#include <cstring>

namespace netp::pipeline {

namespace {

Status missing(const std::string& what) {
    return Status::sysFailure(what, ENOENT);
}

}  // namespace

Result<std::unique_ptr<MemTables>> MemTables::create() {
    Result<Copies> copies = makeCopies();
    if (!copies)
        return copies.status();
    Fd events(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!events.valid())
        return Status::sysFailure("creating the events stand-in", errno);
    auto t = std::make_unique<MemTables>(Made{}, std::move(*copies), std::move(events));
    if (Status s = t->setGlobals(defaultGlobals()); !s)
        return s;
    t->defaultLearning(L2PT_FDB_ENTRIES_DEFAULT);
    return t;
}

MemTables::MemTables(Made, Copies copies, Fd events)
    : Tables(std::move(copies)), events_(std::move(events)) {}

bool MemTables::learn(uint16_t vid, const Mac& src, uint32_t lport, uint64_t seenNs) {
    if (vid > L2PT_MAX_VID || lport >= L2PT_MAX_LPORTS)
        return false;
    l2pt_learn& to = learning_[lport];
    l2pt_learn& vlan = learning_[L2PT_LEARN_VLAN + vid];
    const auto room = [](const l2pt_learn& l) { return l.count < static_cast<int64_t>(l.limit); };
    // Counted on the port as the program counts it (a LAG's on its member: none here).
    const auto refused = [&] {
        if (lport < L2PT_MAX_PORTS)
            ++stats_[lport].not_learned;
        return false;
    };
    const auto it = fdb_.find({vid, src});
    if (it != fdb_.end()) {
        it->second.seenNs = seenNs;
        if (it->second.lport == lport)
            return true;
        if (!room(to))
            return refused();
        --learning_[it->second.lport].count;
        ++to.count;
        it->second.lport = lport;
        return true;
    }
    if (fdb_.size() >= L2PT_FDB_ENTRIES_DEFAULT || !room(to) || !room(vlan))
        return refused();
    fdb_[{vid, src}] = LearnedMac{vid, src, lport, seenNs};
    ++to.count;
    ++vlan.count;
    return true;
}

void MemTables::writeLearning(uint32_t slot, uint32_t limit, uint32_t flags) {
    if (meanwhile_)
        meanwhile_();
    learning_[slot].limit = limit;
    learning_[slot].flags = flags;
}

Status MemTables::writeBinding(uint32_t ifindex, uint32_t port) {
    if (byIfindex_.size() >= L2PT_MAX_PORTS && !byIfindex_.count(ifindex))
        return Status::sysFailure("l2pt_by_ifindex", E2BIG);
    byIfindex_[ifindex] = port;
    return {};
}

Status MemTables::unbindIfindex(uint32_t ifindex) {
    return byIfindex_.erase(ifindex) ? Status() : missing("l2pt_by_ifindex");
}

Status MemTables::writeTrap(const TrapKey& key, const Trap& trap) {
    if (traps_.size() >= trapLimit_ && !traps_.count(key))
        return Status::sysFailure("l2pt_traps", E2BIG);
    auto had = traps_.find(key);
    if (claiming() && had != traps_.end() && had->second.trap.socket == trap.socket) {
        had->second.trap.rateKbps = trap.rateKbps;  // adopted: its counters stay
        return {};
    }
    traps_[key] = Entry{trap, {}};
    return {};
}

Result<std::vector<TrapKey>> MemTables::trapKeys() const {
    std::vector<TrapKey> out;
    for (const auto& [key, entry] : traps_)
        out.push_back(key);
    return out;
}

Result<std::vector<l2pt_l2cp_key>> MemTables::l2cpKeys() const {
    std::vector<l2pt_l2cp_key> out;
    for (const auto& [key, row] : l2cp_)
        out.push_back(l2pt_l2cp_key{key.first, key.second});
    return out;
}

Result<std::vector<uint32_t>> MemTables::boundIfindexes() const {
    std::vector<uint32_t> out;
    for (const auto& [ifindex, port] : byIfindex_)
        out.push_back(ifindex);
    return out;
}

void MemTables::adopt() {
    const l2pt_globals g = globals();
    std::vector<uint8_t> lports(arrayBytes<l2pt_lport>(L2PT_MAX_LPORTS));
    std::vector<uint8_t> vlans(arrayBytes<l2pt_vlan>(L2PT_VLANS));
    std::vector<uint8_t> globalsBytes(arrayBytes<l2pt_globals>(1));
    std::memcpy(globalsBytes.data(), &g, sizeof g);
    for (uint32_t l = 0; l < L2PT_MAX_LPORTS; ++l) {
        const l2pt_lport rec = *lport(l);
        std::memcpy(lports.data() + l * arrayStride<l2pt_lport>(), &rec, sizeof rec);
    }
    for (uint32_t v = 0; v < L2PT_VLANS; ++v) {
        const l2pt_vlan rec = *vlan(v);
        std::memcpy(vlans.data() + v * arrayStride<l2pt_vlan>(), &rec, sizeof rec);
    }
    setAdopted(globalsBytes, lports, vlans);
}

Status MemTables::writePolice(uint32_t port, const PoliceRates& rates) {
    police_.at(port) = rates;
    return {};
}

Status MemTables::removeTrap(const TrapKey& key) {
    return traps_.erase(key) ? Status() : missing("l2pt_traps");
}

Status MemTables::setTrapRate(const TrapKey& key, uint32_t rateKbps) {
    auto it = traps_.find(key);
    if (it == traps_.end())
        return missing("l2pt_traps");
    it->second.trap.rateKbps = rateKbps;
    return {};
}

Result<TrapCounters> MemTables::trapCounters(const TrapKey& key) const {
    auto it = traps_.find(key);
    if (it == traps_.end())
        return missing("l2pt_traps");
    return it->second.counters;
}

Result<l2pt_port_stats> MemTables::readPortStats(uint32_t slot) const {
    return stats_[slot];
}

Result<l2pt_l2cp_stats> MemTables::readL2cpStats(uint32_t port) const {
    return l2cpStats_[port];  // no frame runs through these tables: what was written
}

Status MemTables::writePortStats(uint32_t port, const l2pt_port_stats& stats) {
    stats_[port] = stats;
    return {};
}

Status MemTables::writeL2cpStats(uint32_t port, const l2pt_l2cp_stats& stats) {
    l2cpStats_[port] = stats;
    return {};
}

Status MemTables::writeL2cp(const l2pt_l2cp_key& key, uint64_t row) {
    const std::pair<uint16_t, uint16_t> k{key.lport, key.vid};
    if (row == 0) {
        l2cp_.erase(k);
        return {};
    }
    if (l2cp_.size() >= L2PT_L2CP_ROWS && !l2cp_.count(k))
        return Status::sysFailure("l2pt_l2cp", E2BIG);
    l2cp_[k] = row;
    return {};
}

Result<uint64_t> MemTables::readL2cp(const l2pt_l2cp_key& key) const {
    const auto it = l2cp_.find({key.lport, key.vid});
    return it == l2cp_.end() ? 0 : it->second;
}

Result<bool> MemTables::readMacs(Walk& walk, size_t max, std::vector<LearnedMac>& out) const {
    auto it = walk.started ? fdb_.lower_bound(walk.next) : fdb_.begin();
    walk.started = true;
    for (size_t n = 0; n < max && it != fdb_.end(); ++n, ++it)
        out.push_back(it->second);
    if (it != fdb_.end())
        walk.next = it->first;
    walk.done = it == fdb_.end();
    return walk.done;
}

Result<size_t> MemTables::forgetMacs(std::span<const LearnedMac> macs) {
    size_t n = 0;
    for (const LearnedMac& m : macs) {
        const auto it = fdb_.find({m.vid, m.mac});
        if (it == fdb_.end() || it->second.lport != m.lport || it->second.seenNs != m.seenNs)
            continue;
        --learning_[it->second.lport].count;
        --learning_[L2PT_LEARN_VLAN + m.vid].count;
        fdb_.erase(it);
        ++n;
    }
    return n;
}

Result<Fd> MemTables::newTaskRing() {
    Fd ring(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!ring.valid())
        return Status::sysFailure("creating the task's ring", errno);
    Fd slot(::fcntl(ring.get(), F_DUPFD_CLOEXEC, 0));
    if (!slot.valid())
        return Status::sysFailure("creating the task's ring", errno);
    ring_ = std::move(slot);
    return ring;
}

Status MemTables::parkTaskRing() {
    const Result<Fd> ring = newTaskRing();
    return ring ? Status() : ring.status();
}

}  // namespace netp::pipeline
