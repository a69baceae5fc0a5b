#include "net/pipeline/tables.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace netp::pipeline {

namespace {

constexpr uint32_t kMinEtherType = 0x0600;
constexpr uint32_t kMaxEtherType = 0xFFFF;
constexpr uint32_t kKnownGlobalFlags = L2PT_G_TRACE | L2PT_G_TX_RETAG;
constexpr uint8_t kKnownPortFlags = L2PT_P_PRESENT | L2PT_P_UP | L2PT_P_IS_LAG;
constexpr uint32_t kKnownLearnFlags = L2PT_L_DROP;

bool isLag(uint32_t lport) {
    return lport >= L2PT_LAG_BASE && lport < L2PT_MAX_LPORTS;
}

Status refuse(const std::string& table, uint32_t index, const char* why) {
    return Status::failure(table + "[" + std::to_string(index) + "]: " + why);
}

Status checkLport(uint32_t lport, const l2pt_lport& r) {
    const std::string t = "l2pt_lports";
    if (lport >= L2PT_MAX_LPORTS)
        return refuse(t, lport, "no such port or LAG");
    if (r.flags & ~kKnownPortFlags)
        return refuse(t, lport, "unknown flags");
    if (isLag(lport)) {
        if (r.n_live > L2PT_LAG_MAX_LIVE)
            return refuse(t, lport, "more live members than a LAG carries");
        for (uint32_t i = 0; i < r.n_live; i++) {
            if (r.live[i] >= L2PT_MAX_PORTS)
                return refuse(t, lport, "a live member that is no port");
        }
        return {};
    }
    if (r.pvid > L2PT_MAX_VID)
        return refuse(t, lport, "VLAN out of range");
    if (r.lag != L2PT_LPORT_NONE && !isLag(r.lag))
        return refuse(t, lport, "LAG out of range");
    if (r.slot >= kMaxSlots)
        return refuse(t, lport, "slot out of range");
    if (r.n_live != 0)
        return refuse(t, lport, "live members on a port");
    return {};
}

}  // namespace

uint16_t trapSocket(const Mac& dst) {
    return l2pt_is_protocol_mac(dst.data()) ? L2PT_SOCKET_ACCESS : L2PT_SOCKET_TUNNEL;
}

l2pt_globals defaultGlobals() {
    l2pt_globals g{};
    g.tpid = L2PT_TPID_VMAN;
    g.ageing_ns = L2PT_AGEING_NS_DEFAULT;
    std::copy(std::begin(l2pt_default_tunnel_mac), std::end(l2pt_default_tunnel_mac), g.tunnel_mac);
    return g;
}

Result<Tables::Copies> Tables::makeCopies() {
    Result<SealedArray> g = SealedArray::create("l2pt_globals", arrayBytes<l2pt_globals>(1));
    if (!g)
        return g.status();
    Result<SealedArray> l =
        SealedArray::create("l2pt_lports", arrayBytes<l2pt_lport>(L2PT_MAX_LPORTS));
    if (!l)
        return l.status();
    Result<SealedArray> v = SealedArray::create("l2pt_vlans", arrayBytes<l2pt_vlan>(L2PT_VLANS));
    if (!v)
        return v.status();
    return Copies{std::move(*g), std::move(*l), std::move(*v)};
}

template <typename T>
Status Tables::write(Array array, const Mapping& copy, uint32_t index, const T& value) {
    Status s = writeElement(array, index, {reinterpret_cast<const uint8_t*>(&value), sizeof value});
    if (s)
        storeElement(copy, index, value);
    return s;
}

Status Tables::setGlobals(const l2pt_globals& g) {
    if (g.tpid < kMinEtherType || g.tpid > kMaxEtherType)
        return Status::failure("l2pt_globals: TPID " + std::to_string(g.tpid) + " is no EtherType");
    if (g.flags & ~kKnownGlobalFlags)
        return Status::failure("l2pt_globals: unknown flags");
    if (g.task_mark != 0 && (g.task_mark & L2PT_TASK_MARK_MASK) != L2PT_TASK_MARK_BASE)
        return Status::failure("l2pt_globals: the task mark is no task mark");
    return writeGlobals(g);
}

// The trap filter is the tables' own, whatever the caller's copy says.
Status Tables::writeGlobals(l2pt_globals g) {
    g.trap_none = trapNone_;
    return write(Array::Globals, copies_.globals.map(), 0, g);
}

l2pt_globals Tables::globals() const {
    return loadElement<l2pt_globals>(copies_.globals.map(), 0);
}

Status Tables::setLport(uint32_t lport, const l2pt_lport& rec) {
    if (Status s = checkLport(lport, rec); !s)
        return s;
    return write(Array::Lports, copies_.lports.map(), lport, rec);
}

Result<l2pt_lport> Tables::lport(uint32_t lport) const {
    if (lport >= L2PT_MAX_LPORTS)
        return refuse("l2pt_lports", lport, "no such port or LAG");
    return loadElement<l2pt_lport>(copies_.lports.map(), lport);
}

Status Tables::setVlan(uint32_t vid, const l2pt_vlan& rec) {
    if (vid > L2PT_MAX_VID)
        return refuse("l2pt_vlans", vid, "VLAN out of range");
    for (uint32_t i = 0; i < L2PT_LPORT_WORDS; i++) {
        if (rec.core[i] & ~rec.members[i])
            return refuse("l2pt_vlans", vid, "a core port that is no member");
    }
    // The programs and the task's view read the record as it is written, word by word, with
    // frames in flight: members that go leave first, then the roles change, then members that
    // come join. No port is ever read in a role it has in neither record (one joining as core,
    // read as access, would be flooded customers' frames untagged).
    const l2pt_vlan before = loadElement<l2pt_vlan>(copies_.vlans.map(), vid);
    l2pt_vlan step = before;
    for (uint32_t i = 0; i < L2PT_LPORT_WORDS; i++) {
        step.members[i] &= rec.members[i];
        step.core[i] &= rec.members[i];
    }
    for (bool roles : {false, true}) {
        if (roles)
            std::copy(std::begin(rec.core), std::end(rec.core), std::begin(step.core));
        if (std::memcmp(&step, &before, sizeof step) == 0)
            continue;
        if (Status s = write(Array::Vlans, copies_.vlans.map(), vid, step); !s)
            return s;
    }
    return write(Array::Vlans, copies_.vlans.map(), vid, rec);
}

Result<l2pt_vlan> Tables::vlan(uint32_t vid) const {
    if (vid > L2PT_MAX_VID)
        return refuse("l2pt_vlans", vid, "VLAN out of range");
    return loadElement<l2pt_vlan>(copies_.vlans.map(), vid);
}

Status Tables::bindIfindex(uint32_t ifindex, uint32_t port) {
    if (ifindex == 0 || port >= L2PT_MAX_PORTS)
        return refuse("l2pt_by_ifindex", ifindex, "no interface or no port");
    return writeBinding(ifindex, port);
}

Status Tables::installTrap(const TrapKey& key, uint32_t rateKbps) {
    if (key.isSlot() && (key.owner & ~L2PT_TRAP_SLOT_FLAG) >= kMaxSlots)
        return refuse("l2pt_traps", key.owner & ~L2PT_TRAP_SLOT_FLAG, "slot out of range");
    // The programs look the bucket up before the entry is there.
    const uint32_t bucket = 1u << l2pt_trap_bucket(key.mac.data());
    if (trapNone_ & bucket) {
        trapNone_ &= ~bucket;
        if (Status s = writeGlobals(globals()); !s)
            return s;
    }
    return writeTrap(key, Trap{trapSocket(key.mac), rateKbps});
}

Status Tables::claimed() {
    claiming_ = false;
    const Result<std::vector<TrapKey>> keys = trapKeys();
    if (!keys)
        return keys.status();
    uint32_t none = ~0u;
    for (const TrapKey& k : *keys)
        none &= ~(1u << l2pt_trap_bucket(k.mac.data()));
    trapNone_ = none;
    return writeGlobals(globals());
}

Status Tables::setLearning(uint32_t slot, uint32_t limit, uint32_t flags) {
    if (slot >= L2PT_LEARN_SLOTS)
        return refuse("l2pt_learning", slot, "no such port, LAG or VLAN");
    if (flags & ~kKnownLearnFlags || (slot >= L2PT_LEARN_VLAN && flags != 0))
        return refuse("l2pt_learning", slot, "unknown flags");
    if (limit > L2PT_FDB_ENTRIES_MAX)
        return refuse("l2pt_learning", slot, "a limit past the largest table");
    writeLearning(slot, limit, flags);
    return {};
}

void Tables::defaultLearning(uint32_t fdbEntries) {
    for (uint32_t slot = 0; slot < L2PT_LEARN_SLOTS; ++slot)
        writeLearning(
            slot,
            fdbEntries / (slot < L2PT_LEARN_VLAN ? L2PT_LEARN_PORT_SHARE : L2PT_LEARN_VLAN_SHARE),
            0);
}

Result<l2pt_learn> Tables::learning(uint32_t slot) const {
    if (slot >= L2PT_LEARN_SLOTS)
        return refuse("l2pt_learning", slot, "no such port, LAG or VLAN");
    return readLearning(slot);
}

Result<std::vector<LearnedMac>> Tables::learnedMacs() const {
    constexpr size_t kSlice = 1024;
    std::vector<LearnedMac> out;
    Walk walk;
    for (;;) {
        Result<bool> done = readMacs(walk, kSlice, out);
        if (!done)
            return done.status();
        if (*done)
            return out;
    }
}

Result<size_t> Tables::forgetWhere(const Forget& which) {
    Result<std::vector<LearnedMac>> all = learnedMacs();
    if (!all)
        return all.status();
    std::erase_if(*all, [&](const LearnedMac& m) { return !which(m); });
    return forgetMacs(*all);
}

Status Tables::setPolice(uint32_t port, const PoliceRates& rates) {
    if (port >= L2PT_MAX_PORTS)
        return refuse("l2pt_police", port, "no such port");
    return writePolice(port, rates);
}

Result<size_t> Tables::forgetLport(uint32_t lport) {
    return forgetWhere([lport](const LearnedMac& m) { return m.lport == lport; });
}

bool Tables::aged(const LearnedMac& m, uint64_t nowNs) const {
    return static_cast<int64_t>(nowNs - m.seenNs) >= static_cast<int64_t>(globals().ageing_ns);
}

Result<size_t> Tables::expireAged(uint64_t nowNs) {
    return forgetWhere([&](const LearnedMac& m) { return aged(m, nowNs); });
}

void Tables::setAdopted(std::span<const uint8_t> globals, std::span<const uint8_t> lports,
                        std::span<const uint8_t> vlans) {
    const auto seed = [](const SealedArray& copy, std::span<const uint8_t> bytes) {
        std::memcpy(copy.map().data(), bytes.data(), std::min(bytes.size(), copy.map().size()));
    };
    seed(copies_.globals, globals);
    seed(copies_.lports, lports);
    seed(copies_.vlans, vlans);
    formerLports_.resize(L2PT_MAX_LPORTS);
    for (uint32_t l = 0; l < L2PT_MAX_LPORTS; ++l)
        formerLports_[l] = loadElement<l2pt_lport>(copies_.lports.map(), l);
    adopted_ = claiming_ = true;
    trapNone_ = 0;
}

Status Tables::claimFound() {
    claiming_ = true;
    trapNone_ = 0;
    return writeGlobals(globals());
}

Result<ViewFds> Tables::viewFds() const {
    Result<Fd> g = copies_.globals.readOnlyFd();
    if (!g)
        return g.status();
    Result<Fd> l = copies_.lports.readOnlyFd();
    if (!l)
        return l.status();
    Result<Fd> v = copies_.vlans.readOnlyFd();
    if (!v)
        return v.status();
    return ViewFds{std::move(*g), std::move(*l), std::move(*v)};
}

namespace {

Result<l2pt_l2cp_key> l2cpKey(uint32_t lport, uint32_t vid) {
    if (lport >= L2PT_MAX_LPORTS)
        return refuse("l2pt_l2cp", lport, "no such port or LAG");
    if (vid > L2PT_MAX_VID && vid != L2PT_L2CP_ANY_VLAN)
        return refuse("l2pt_l2cp", lport, "VLAN out of range");
    return l2pt_l2cp_key{static_cast<uint16_t>(lport), static_cast<uint16_t>(vid)};
}

}  // namespace

Status Tables::setL2cp(uint32_t lport, uint32_t vid, uint64_t row) {
    Result<l2pt_l2cp_key> key = l2cpKey(lport, vid);
    if (!key)
        return key.status();
    return writeL2cp(*key, row);
}

Result<uint64_t> Tables::l2cp(uint32_t lport, uint32_t vid) const {
    Result<l2pt_l2cp_key> key = l2cpKey(lport, vid);
    if (!key)
        return key.status();
    return readL2cp(*key);
}

Result<l2pt_l2cp_stats> Tables::l2cpStats(uint32_t port) const {
    if (port >= L2PT_MAX_PORTS)
        return refuse("l2pt_l2cp_stats", port, "no such port");
    return readL2cpStats(port);
}

Status Tables::setPortCounters(uint32_t port, const l2pt_port_stats& stats,
                               const l2pt_l2cp_stats& l2cp) {
    if (port >= L2PT_MAX_PORTS)
        return refuse("l2pt_stats", port, "no such port");
    if (Status s = writePortStats(port, stats); !s)
        return s;
    return writeL2cpStats(port, l2cp);
}

Result<l2pt_port_stats> Tables::portStats(uint32_t slot) const {
    if (slot >= L2PT_STATS_SLOTS)
        return refuse("l2pt_stats", slot, "no such port");
    return readPortStats(slot);
}

}  // namespace netp::pipeline
