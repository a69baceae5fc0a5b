#include "net/pipeline/bpf_tables.h"

#include <bpf/bpf.h>
#include <bpf/libbpf.h>

#include <sys/mman.h>

#include <cstring>
#include <fstream>
#include <limits>
#include <string>

#include "net/pipeline/embedded.h"

namespace netp::pipeline {

namespace {

constexpr uint32_t kRingSlot = 0;

std::string at(const char* table, uint32_t index) {
    return std::string(table) + "[" + std::to_string(index) + "]";
}

std::string trapName(const TrapKey& k) {
    char mac[18];
    std::snprintf(mac, sizeof mac, "%02x:%02x:%02x:%02x:%02x:%02x", k.mac[0], k.mac[1], k.mac[2],
                  k.mac[3], k.mac[4], k.mac[5]);
    return std::string("l2pt_traps[") +
           (k.isSlot() ? "slot " + std::to_string(k.owner & ~L2PT_TRAP_SLOT_FLAG)
                       : "ifIndex " + std::to_string(k.owner)) +
           ", " + mac + "]";
}

l2pt_trap_key keyOf(const TrapKey& k) {
    l2pt_trap_key key{};
    key.owner = k.owner;
    std::memcpy(key.mac, k.mac.data(), sizeof key.mac);
    return key;
}

Status written(int err, const std::string& what) {
    return err ? Status::sysFailure(what, err) : Status();
}

template <typename T>
Result<T> lookup(int fd, const void* key, const std::string& what, uint64_t flags = 0) {
    T value;
    if (const int err = bpf_map_lookup_elem_flags(fd, key, &value, flags); err)
        return Status::sysFailure(what, err);
    return value;
}

}  // namespace

Result<std::unique_ptr<BpfTables>> BpfTables::load(LogFn log) {
    const int cpus = libbpf_num_possible_cpus();
    if (cpus < 1)
        return Status::sysFailure("counting the possible CPUs", cpus);
    Result<BpfObject> obj = BpfObject::load(pipelineObject(), "l2pt_pipeline", std::move(log));
    if (!obj)
        return obj.status();
    Result<Copies> copies = makeCopies();
    if (!copies)
        return copies.status();
    auto mapArray = [&](const char* name, size_t bytes) {
        return Mapping::map(obj->mapFd(name), bytes, 0, PROT_READ | PROT_WRITE, name);
    };
    Result<Mapping> g = mapArray("l2pt_globals", arrayBytes<l2pt_globals>(1));
    if (!g)
        return g.status();
    Result<Mapping> l = mapArray("l2pt_lports", arrayBytes<l2pt_lport>(L2PT_MAX_LPORTS));
    if (!l)
        return l.status();
    Result<Mapping> v = mapArray("l2pt_vlans", arrayBytes<l2pt_vlan>(L2PT_VLANS));
    if (!v)
        return v.status();
    auto t = std::make_unique<BpfTables>(Loaded{}, std::move(*obj), std::move(*copies),
                                         Arrays{std::move(*g), std::move(*l), std::move(*v)},
                                         static_cast<size_t>(cpus));
    for (const int fd : {t->ingress_, t->egress_, t->taskTx_, t->byIfindex_, t->traps_, t->police_,
                         t->fdb_, t->stats_, t->rings_, t->events_}) {
        if (fd < 0)
            return Status::failure("the pipeline object lacks a program or map");
    }
    if (Status s = t->setGlobals(defaultGlobals()); !s)
        return s;
    return t;
}

BpfTables::BpfTables(Loaded, BpfObject obj, Copies copies, Arrays arrays, size_t cpus)
    : Tables(std::move(copies)),
      obj_(std::move(obj)),
      arrays_(std::move(arrays)),
      ingress_(obj_.programFd("l2pt_ingress")),
      egress_(obj_.programFd("l2pt_egress")),
      taskTx_(obj_.programFd("l2pt_task_tx")),
      byIfindex_(obj_.mapFd("l2pt_by_ifindex")),
      traps_(obj_.mapFd("l2pt_traps")),
      police_(obj_.mapFd("l2pt_police")),
      fdb_(obj_.mapFd("l2pt_fdb")),
      stats_(obj_.mapFd("l2pt_stats")),
      rings_(obj_.mapFd("l2pt_rings")),
      events_(obj_.mapFd("l2pt_events")),
      perCpu_(cpus) {}

Result<std::vector<BpfTables::MapMemory>> BpfTables::mapMemory() const {
    auto memlock = [](const std::string& name, int fd) -> Result<MapMemory> {
        std::ifstream info("/proc/self/fdinfo/" + std::to_string(fd));
        std::string key;
        uint64_t value = 0;
        while (info >> key && key != "memlock:")
            info.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
        if (!(info >> value))
            return Status::failure("no memory figure for map " + name);
        return MapMemory{name, value};
    };
    std::vector<MapMemory> out;
    for (const auto& [name, fd] : obj_.maps()) {
        Result<MapMemory> m = memlock(name, fd);
        if (!m)
            return m.status();
        out.push_back(*m);
    }
    // The task's ring, when the slot holds one: the slot gives its id.
    uint32_t id = 0;
    if (bpf_map_lookup_elem(rings_, &kRingSlot, &id) == 0) {
        Fd ring(bpf_map_get_fd_by_id(id));
        Result<MapMemory> m = memlock("l2pt_rings[0]", ring.get());
        if (!ring.valid() || !m)
            return Status::failure("no memory figure for the task's ring");
        out.push_back(*m);
    }
    return out;
}

Status BpfTables::writeElement(Array array, uint32_t index, std::span<const uint8_t> value) {
    const Mapping& m = array == Array::Globals  ? arrays_.globals
                       : array == Array::Lports ? arrays_.lports
                                                : arrays_.vlans;
    const size_t stride = (value.size() + 7) & ~size_t{7};
    if ((index + 1) * stride > m.size())
        return Status::failure("an element past its array");
    std::memcpy(m.data() + index * stride, value.data(), value.size());
    return {};
}

Status BpfTables::writeBinding(uint32_t ifindex, uint32_t port) {
    return written(bpf_map_update_elem(byIfindex_, &ifindex, &port, BPF_ANY),
                   at("l2pt_by_ifindex", ifindex));
}

Status BpfTables::unbindIfindex(uint32_t ifindex) {
    return written(bpf_map_delete_elem(byIfindex_, &ifindex), at("l2pt_by_ifindex", ifindex));
}

Status BpfTables::writeTrap(const TrapKey& key, const Trap& trap) {
    const l2pt_trap_key k = keyOf(key);
    l2pt_trap value{};
    value.socket = trap.socket;
    value.bucket.rate = trap.rateKbps;
    return written(bpf_map_update_elem(traps_, &k, &value, BPF_ANY), trapName(key));
}

// Read and written back under the port's lock: the buckets' tokens and the ring share stay.
Status BpfTables::writePolice(uint32_t port, const PoliceRates& rates) {
    const std::string what = at("l2pt_police", port);
    Result<l2pt_police> value = lookup<l2pt_police>(police_, &port, what, BPF_F_LOCK);
    if (!value)
        return value.status();
    for (size_t c = 0; c < L2PT_STORM_CLASSES; ++c) {
        value->storm_fps[c].rate = rates.stormFps[c];
        value->storm_kbps[c].rate = rates.stormKbps[c];
    }
    value->pdu.rate = rates.pduFps;
    return written(bpf_map_update_elem(police_, &port, &*value, BPF_EXIST | BPF_F_LOCK), what);
}

Status BpfTables::removeTrap(const TrapKey& key) {
    const l2pt_trap_key k = keyOf(key);
    return written(bpf_map_delete_elem(traps_, &k), trapName(key));
}

// Read and written back under the entry's lock; hits counted between the two are lost.
Status BpfTables::setTrapRate(const TrapKey& key, uint32_t rateKbps) {
    const l2pt_trap_key k = keyOf(key);
    Result<l2pt_trap> value = lookup<l2pt_trap>(traps_, &k, trapName(key), BPF_F_LOCK);
    if (!value)
        return value.status();
    value->bucket.rate = rateKbps;
    return written(bpf_map_update_elem(traps_, &k, &*value, BPF_EXIST | BPF_F_LOCK), trapName(key));
}

Result<TrapCounters> BpfTables::trapCounters(const TrapKey& key) const {
    const l2pt_trap_key k = keyOf(key);
    Result<l2pt_trap> value = lookup<l2pt_trap>(traps_, &k, trapName(key), BPF_F_LOCK);
    if (!value)
        return value.status();
    return TrapCounters{value->hits, value->policed};
}

Result<l2pt_port_stats> BpfTables::readPortStats(uint32_t slot) const {
    if (const int err = bpf_map_lookup_elem(stats_, &slot, perCpu_.data()); err)
        return Status::sysFailure(at("l2pt_stats", slot), err);
    // Every field is a u64 counter: summed word by word.
    constexpr size_t kWords = sizeof(l2pt_port_stats) / sizeof(uint64_t);
    static_assert(kWords * sizeof(uint64_t) == sizeof(l2pt_port_stats));
    uint64_t sum[kWords] = {};
    for (const l2pt_port_stats& cpu : perCpu_) {
        uint64_t words[kWords];
        std::memcpy(words, &cpu, sizeof words);
        for (size_t i = 0; i < kWords; i++)
            sum[i] += words[i];
    }
    l2pt_port_stats total;
    std::memcpy(&total, sum, sizeof total);
    return total;
}

Result<std::vector<LearnedMac>> BpfTables::learnedMacs() const {
    std::vector<LearnedMac> out;
    l2pt_fdb_key key{};
    const void* prev = nullptr;
    while (bpf_map_get_next_key(fdb_, prev, &key) == 0) {
        prev = &key;
        l2pt_fdb_entry e;
        if (bpf_map_lookup_elem(fdb_, &key, &e) != 0)
            continue;  // aged out by the LRU meanwhile
        LearnedMac m{key.vid, {}, e.lport, e.seen_ns};
        std::memcpy(m.mac.data(), key.mac, m.mac.size());
        out.push_back(m);
    }
    return out;
}

Result<size_t> BpfTables::forgetIf(const Forget& forget) {
    Result<std::vector<LearnedMac>> all = learnedMacs();
    if (!all)
        return all.status();
    size_t n = 0;
    for (const LearnedMac& m : *all) {
        if (!forget(m))
            continue;
        l2pt_fdb_key key{};
        key.vid = m.vid;
        std::memcpy(key.mac, m.mac.data(), sizeof key.mac);
        const int err = bpf_map_delete_elem(fdb_, &key);
        if (err && err != -ENOENT)
            return Status::sysFailure("l2pt_fdb: forgetting a MAC", err);
        n += err == 0;
    }
    return n;
}

Result<Fd> BpfTables::newTaskRing() {
    const int ring =
        bpf_map_create(BPF_MAP_TYPE_RINGBUF, "l2pt_task_ring", 0, 0, L2PT_RING_BYTES, nullptr);
    if (ring < 0)
        return Status::sysFailure("creating the task's ring", ring);
    Fd fd(ring);
    if (const int err = bpf_map_update_elem(rings_, &kRingSlot, &ring, BPF_ANY); err)
        return Status::sysFailure("l2pt_rings[0]", err);
    return fd;
}

Status BpfTables::removeTaskRing() {
    const int err = bpf_map_delete_elem(rings_, &kRingSlot);
    return err == -ENOENT ? Status() : written(err, "l2pt_rings[0]");
}

}  // namespace netp::pipeline
