#include "net/pipeline/mem_tables.h"

#include <fcntl.h>
#include <sys/eventfd.h>

#include <cerrno>

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
    return t;
}

MemTables::MemTables(Made, Copies copies, Fd events)
    : Tables(std::move(copies)), events_(std::move(events)) {}

void MemTables::learn(uint16_t vid, const Mac& src, uint32_t lport, uint64_t seenNs) {
    if (fdb_.size() < L2PT_FDB_ENTRIES || fdb_.count({vid, src}))
        fdb_[{vid, src}] = LearnedMac{vid, src, lport, seenNs};
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
    if (traps_.size() >= L2PT_TRAP_ENTRIES && !traps_.count(key))
        return Status::sysFailure("l2pt_traps", E2BIG);
    traps_[key] = Entry{trap, {}};
    return {};
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

Result<std::vector<LearnedMac>> MemTables::learnedMacs() const {
    std::vector<LearnedMac> out;
    for (const auto& [key, m] : fdb_)
        out.push_back(m);
    return out;
}

Result<size_t> MemTables::forgetIf(const Forget& forget) {
    return std::erase_if(fdb_, [&](const auto& kv) { return forget(kv.second); });
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

Status MemTables::removeTaskRing() {
    ring_.reset();
    return {};
}

}  // namespace netp::pipeline
