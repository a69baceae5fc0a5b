#include "net/pipeline/bpf_tables.h"

#include <bpf/bpf.h>
#include <bpf/libbpf.h>

#include <fcntl.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <limits>
#include <string>
#include <utility>

// The skeletons bpftool generated at build time (net/pipeline/CMakeLists.txt): the real build
// and the test builds, each a type of its own with the same fields.
#include "l2pt_pipeline.skel.h"
#include "l2pt_pipeline_variant1.skel.h"
#include "l2pt_pipeline_variant2.skel.h"
#include "net/pipeline/clock.h"
#include "net/pipeline/memory_room.h"
#include "net/pipeline/records.h"
#include "net/pipeline/trap_ring.h"

namespace netp::pipeline {

namespace {

constexpr uint32_t kRingSlot = 0;
// A new ring may take the daemon's memory cgroup up to all but 1/kRingRoomShare of its limit:
// the rest is the daemon's own (its queues may grow by tens of MiB under load).
constexpr uint64_t kRingRoomShare = 4;

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

// A change of a record that must be there: one that is not fails as the kernel's lookup would.
Status found(const Result<bool>& changed, const std::string& what) {
    if (!changed)
        return changed.status();
    return *changed ? Status{} : Status::sysFailure(what, -ENOENT);
}

template <typename T>
Result<T> lookup(int fd, const void* key, const std::string& what, uint64_t flags = 0) {
    T value;
    if (const int err = bpf_map_lookup_elem_flags(fd, key, &value, flags); err)
        return Status::sysFailure(what, err);
    return value;
}

}  // namespace

bool pipelineVariant(uint32_t variant) {
    return variant <= 2;
}

uint32_t abiVersion(uint32_t variant) {
    return L2PT_ABI_VERSION + (variant == 2 ? 1 : 0);  // abi.h: variant 2 is a layout of its own
}

Result<Shape> pinnedShape(int fd) {
    bpf_map_info info{};
    uint32_t len = sizeof info;
    if (const int err = bpf_obj_get_info_by_fd(fd, &info, &len); err)
        return Status::sysFailure("reading a pinned map", err);
    return Shape{info.type, info.key_size, info.value_size, info.max_entries, info.map_flags};
}

namespace {

// The maps of the pipeline that are pinned and adopted: its own, not libbpf's internal ones
// (.rodata, .bss), which are made with each load.
bool pinnable(const std::string& name) {
    return name.rfind("l2pt_", 0) == 0;
}

std::string shapeText(const Shape& s) {
    return "type " + std::to_string(s.type) + ", key " + std::to_string(s.keySize) + ", value " +
           std::to_string(s.valueSize) + ", entries " + std::to_string(s.maxEntries) + ", flags " +
           std::to_string(s.flags);
}

Shape wantedShape(const bpf_map* map) {
    return Shape{static_cast<uint32_t>(bpf_map__type(map)), bpf_map__key_size(map),
                 bpf_map__value_size(map), bpf_map__max_entries(map),
                 static_cast<uint32_t>(bpf_map__map_flags(map))};
}

bool operator==(const Shape& a, const Shape& b) {
    return a.type == b.type && a.keySize == b.keySize && a.valueSize == b.valueSize &&
           a.maxEntries == b.maxEntries && a.flags == b.flags;
}

// A build of the pipeline, loaded, and the descriptors of its programs and maps.
struct Opened {
    BpfObject obj;
    BpfTables::Handles fds;
};

// A build loaded from its skeleton: its table of learned MACs sized, prepared (the pinned maps
// to adopt), loaded, and its programs' and maps' descriptors taken from the skeleton's fields.
// Every build's skeleton has the same fields: one that lacked one would not compile.
template <Skeleton S>
Result<Opened> openBuild(const char* name, LogFn log, uint32_t fdbEntries,
                         const std::function<Status(bpf_object*)>& prepare) {
    Result<SkeletonPtr<S>> skel = BpfObject::load<S>(name, std::move(log), [&](S& s) -> Status {
        if (const int err = bpf_map__set_max_entries(s.maps.l2pt_fdb, fdbEntries); err)
            return Status::sysFailure("sizing map l2pt_fdb", err);
        return prepare(s.obj);
    });
    if (!skel)
        return skel.status();
    const S& s = **skel;
    const BpfTables::Handles fds{
        .ingress = bpf_program__fd(s.progs.l2pt_ingress),
        .egress = bpf_program__fd(s.progs.l2pt_egress),
        .taskTx = bpf_program__fd(s.progs.l2pt_task_tx),
        .forget = bpf_program__fd(s.progs.l2pt_forget),
        .setRates = bpf_program__fd(s.progs.l2pt_set_rates),
        .globals = bpf_map__fd(s.maps.l2pt_globals),
        .lports = bpf_map__fd(s.maps.l2pt_lports),
        .vlans = bpf_map__fd(s.maps.l2pt_vlans),
        .learning = bpf_map__fd(s.maps.l2pt_learning),
        .byIfindex = bpf_map__fd(s.maps.l2pt_by_ifindex),
        .traps = bpf_map__fd(s.maps.l2pt_traps),
        .police = bpf_map__fd(s.maps.l2pt_police),
        .vlanPolice = bpf_map__fd(s.maps.l2pt_vlan_police),
        .fdb = bpf_map__fd(s.maps.l2pt_fdb),
        .stats = bpf_map__fd(s.maps.l2pt_stats),
        .rings = bpf_map__fd(s.maps.l2pt_rings),
        .events = bpf_map__fd(s.maps.l2pt_events),
        .l2cp = bpf_map__fd(s.maps.l2pt_l2cp),
        .l2cpStats = bpf_map__fd(s.maps.l2pt_l2cp_stats),
    };
    return Opened{BpfObject(std::move(*skel)), fds};
}

// The real build (0) or a test build (abi.h: L2PT_TEST_VARIANT), each a skeleton of its own.
Result<Opened> openVariant(uint32_t variant, LogFn log, uint32_t fdbEntries,
                           const std::function<Status(bpf_object*)>& prepare) {
    switch (variant) {
        case 0:
            return openBuild<l2pt_pipeline>("l2pt_pipeline", std::move(log), fdbEntries, prepare);
        case 1:
            return openBuild<l2pt_pipeline_variant1>("l2pt_pipeline_variant1", std::move(log),
                                                     fdbEntries, prepare);
        case 2:
            return openBuild<l2pt_pipeline_variant2>("l2pt_pipeline_variant2", std::move(log),
                                                     fdbEntries, prepare);
        default:
            return Status::failure("no pipeline variant " + std::to_string(variant));
    }
}

}  // namespace

Result<std::unique_ptr<BpfTables>> BpfTables::load(LogFn log, uint32_t fdbEntries,
                                                   const PipelineOptions& options) {
    const int cpus = libbpf_num_possible_cpus();
    if (cpus < 1)
        return Status::sysFailure("counting the possible CPUs", cpus);
    if (fdbEntries < L2PT_FDB_ENTRIES_MIN || fdbEntries > L2PT_FDB_ENTRIES_MAX)
        return Status::failure("l2pt_fdb: " + std::to_string(fdbEntries) + " entries is out of " +
                               std::to_string(L2PT_FDB_ENTRIES_MIN) + ".." +
                               std::to_string(L2PT_FDB_ENTRIES_MAX));
    if (!pipelineVariant(options.variant))
        return Status::failure("no pipeline variant " + std::to_string(options.variant));
    std::optional<PinDir> pins;
    if (options.pins) {
        Result<PinDir> dir = PinDir::open(*options.pins, true);
        if (!dir)
            return dir.status();
        pins.emplace(std::move(*dir));
    }
    // The pinned maps, by name, and what this build wants of them: adopted when the ABI and
    // every map's shape are the same, else migrated.
    std::map<std::string, Fd> old;
    StartReport report;
    const std::function<Status(bpf_object*)> prepare = [&](bpf_object* raw) -> Status {
        if (!pins)
            return {};
        Result<AbiRecord> abi = pins->abi();
        report.pinnedAbi = abi ? abi->version : 0;
        std::string differs;
        if (!abi)
            differs = abi.status().what();
        else if (abi->version != abiVersion(options.variant))
            differs = "ABI version " + std::to_string(abi->version) + " pinned, " +
                      std::to_string(abiVersion(options.variant)) + " wanted";
        bpf_map* map;
        bpf_object__for_each_map(map, raw) {
            const std::string name = bpf_map__name(map);
            if (!pinnable(name))
                continue;
            Result<Fd> fd = pins->get(name);
            if (!fd || !fd->valid()) {
                if (differs.empty())
                    differs = name + " is not pinned";
                continue;
            }
            Result<Shape> had = pinnedShape(fd->get());
            const Shape want = wantedShape(map);
            if (differs.empty() && (!had || !(*had == want)))
                differs = name + ": " + (had ? shapeText(*had) : had.status().what()) +
                          " pinned, " + shapeText(want) + " wanted";
            old.emplace(name, std::move(*fd));
        }
        if (old.empty() && report.pinnedAbi == 0)
            return {};  // nothing pinned: a new switch
        if (!differs.empty()) {
            report.how = PipelineStart::Migrated;
            report.differs = differs;
            return {};
        }
        bpf_object__for_each_map(map, raw) {
            const std::string name = bpf_map__name(map);
            if (!pinnable(name))
                continue;
            if (const int err = bpf_map__reuse_fd(map, old.at(name).get()); err)
                return Status::sysFailure("adopting the pinned " + name, err);
        }
        report.how = PipelineStart::Adopted;
        return {};
    };
    Result<Opened> opened = openVariant(options.variant, std::move(log), fdbEntries, prepare);
    if (!opened)
        return opened.status();
    Result<Copies> copies = makeCopies();
    if (!copies)
        return copies.status();
    const Handles& fds = opened->fds;
    auto mapArray = [&](int fd, size_t bytes, const char* name) {
        return Mapping::map(fd, bytes, 0, PROT_READ | PROT_WRITE, name);
    };
    Result<Mapping> g = mapArray(fds.globals, arrayBytes<l2pt_globals>(1), "l2pt_globals");
    if (!g)
        return g.status();
    Result<Mapping> l =
        mapArray(fds.lports, arrayBytes<l2pt_lport>(L2PT_MAX_LPORTS), "l2pt_lports");
    if (!l)
        return l.status();
    Result<Mapping> v = mapArray(fds.vlans, arrayBytes<l2pt_vlan>(L2PT_VLANS), "l2pt_vlans");
    if (!v)
        return v.status();
    Result<Mapping> learning =
        mapArray(fds.learning, arrayBytes<l2pt_learn>(L2PT_LEARN_SLOTS), "l2pt_learning");
    if (!learning)
        return learning.status();
    auto t = std::make_unique<BpfTables>(
        Loaded{}, std::move(opened->obj), fds, std::move(*copies),
        Arrays{std::move(*g), std::move(*l), std::move(*v), std::move(*learning)},
        static_cast<size_t>(cpus));
    t->pins_ = std::move(pins);
    t->start_ = report;
    t->variant_ = options.variant;
    if (report.how == PipelineStart::Adopted) {
        const Arrays& a = t->arrays_;
        t->setAdopted({a.globals.data(), a.globals.size()}, {a.lports.data(), a.lports.size()},
                      {a.vlans.data(), a.vlans.size()});
    } else if (Status s = t->setGlobals(defaultGlobals()); !s) {
        return s;
    }
    // Adopted: the limits the daemon before left, which fit the records it left too until the
    // line cards write their own; the counts of the MACs held kept either way.
    if (report.how != PipelineStart::Adopted)
        t->defaultLearning(fdbEntries);
    if (report.how == PipelineStart::Migrated) {
        if (auto traps = old.find("l2pt_traps"); traps != old.end())
            t->carryTraps(traps->second.get(), TrapsCarried::Entries);
        if (t->start_.traps != 0) {
            if (Status s = t->claimFound(); !s)
                return s;
        }
        t->carry(old, MacsCarried::Added);
        t->readFormerLports(old);
        t->carryTask(old);
    }
    if (Status s = t->settle(old); !s)
        return s;
    if (report.how == PipelineStart::Migrated)
        t->migratedFrom_ = std::move(old);
    if (report.how == PipelineStart::Adopted) {
        Result<std::vector<LearnedMac>> macs = t->learnedMacs();
        t->start_.macs = macs ? macs->size() : 0;
    }
    return t;
}

Status BpfTables::settle(std::map<std::string, Fd>& old) {
    if (!pins_)
        return {};
    // The ring in the trap slot, when it is the one pinned and its records are laid out as this
    // build's: the next grant hands it over with what queued in it. Migrated, it goes into the
    // new slot, where the carried trap entries write.
    if (auto slots = old.find("l2pt_rings"); slots != old.end() && !taskUnknown_) {
        Fd ring = slottedRing(slots->second.get());
        const int fd = ring.get();
        if (ring.valid() && bpf_map_update_elem(rings_, &kRingSlot, &fd, BPF_ANY) == 0) {
            readyRing_ = std::move(ring);
            start_.ringAdopted = true;
        }
    }
    // Any other ring goes with the daemon before: what is trapped from here (by a migration's
    // carried entries too) waits in a new one for the first grant.
    if (!start_.ringAdopted) {
        if (Status s = parkTaskRing(); !s)
            return s;
    }
    for (const char* pin : {kIngressPin, kEgressPin}) {
        if (const uint32_t id = pins_->programId(pin))
            start_.formerPrograms.push_back(id);
    }
    for (const auto& [name, fd] : old)
        formerMaps_.insert(name);
    pinsDue_ = true;
    return {};
}

Status BpfTables::commitPins() {
    if (!pins_ || !std::exchange(pinsDue_, false))
        return {};
    const PipelineStart how = start_.how;
    std::vector<std::string> ours = {kAbiPin, kTaskRingPin, kIngressPin, kEgressPin, kTaskTxPin};
    if (how != PipelineStart::Adopted) {
        // New maps in place of the old ones, which live on while a filter's program uses them.
        // The ABI record goes last: pins without it are no set to adopt.
        if (Status s = pins_->unpin(kAbiPin); !s)
            return s;
        for (const auto& [name, fd] : obj_.maps()) {
            if (!pinnable(name))
                continue;
            if (Status s = pins_->pin(fd, name); !s)
                return s;
        }
    }
    const std::pair<int, const char*> programs[] = {
        {ingress_, kIngressPin}, {egress_, kEgressPin}, {taskTx_, kTaskTxPin}};
    for (const auto& [fd, pin] : programs) {
        if (Status s = pins_->pin(fd, pin); !s)
            return s;
    }
    // What an older build pinned and this one has no map for.
    const std::vector<std::pair<std::string, int>> maps = obj_.maps();
    const auto hasMap = [&](const std::string& name) {
        return std::any_of(maps.begin(), maps.end(),
                           [&](const auto& m) { return m.first == name; });
    };
    for (const std::string& name : pins_->names()) {
        const bool map = formerMaps_.count(name) != 0 || hasMap(name);
        if (!map && std::find(ours.begin(), ours.end(), name) == ours.end())
            (void)pins_->unpin(name);
    }
    if (how != PipelineStart::Adopted)
        return pins_->setAbi({abiVersion(variant()), variant()});
    return {};
}

Fd BpfTables::slottedRing(int slots) const {
    const Result<Shape> table = pinnedShape(slots);
    Result<Fd> ring = pins_->get(kTaskRingPin);
    uint32_t inSlot = 0;
    if (!table || table->keySize != sizeof kRingSlot || table->valueSize != sizeof inSlot ||
        !ring || !ring->valid() || bpf_map_lookup_elem(slots, &kRingSlot, &inSlot) != 0)
        return {};
    bpf_map_info info{};
    uint32_t len = sizeof info;
    if (bpf_obj_get_info_by_fd(ring->get(), &info, &len) != 0 || info.id != inSlot ||
        info.type != BPF_MAP_TYPE_RINGBUF || info.max_entries != L2PT_RING_BYTES ||
        std::strncmp(info.name, L2PT_RING_NAME, sizeof info.name) != 0)
        return {};
    return std::move(*ring);
}

BpfTables::BpfTables(Loaded, BpfObject obj, const Handles& fds, Copies copies, Arrays arrays,
                     size_t cpus)
    : Tables(std::move(copies)),
      obj_(std::move(obj)),
      arrays_(std::move(arrays)),
      ingress_(fds.ingress),
      egress_(fds.egress),
      taskTx_(fds.taskTx),
      forget_(fds.forget),
      setRates_(fds.setRates),
      byIfindex_(fds.byIfindex),
      traps_(fds.traps),
      police_(fds.police),
      vlanPolice_(fds.vlanPolice),
      fdb_(fds.fdb),
      stats_(fds.stats),
      rings_(fds.rings),
      events_(fds.events),
      l2cp_(fds.l2cp),
      l2cpStats_(fds.l2cpStats),
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
    if (claiming()) {
        // Claiming what was found: an entry already there keeps its counters and tokens.
        l2pt_rates_req r = trapRates(k, trap.rateKbps);
        r.socket = trap.socket;
        if (Result<bool> kept = setRates(r, trapName(key)); kept && *kept)
            return {};
    }
    l2pt_trap value{};
    value.socket = trap.socket;
    value.bucket.rate = trap.rateKbps;
    return written(bpf_map_update_elem(traps_, &k, &value, BPF_ANY), trapName(key));
}

// The rates alone, under the port's lock: the buckets' tokens and the ring share stay.
Status BpfTables::writePolice(uint32_t port, const PoliceRates& rates) {
    l2pt_rates_req r{};
    r.kind = L2PT_RATES_PORT;
    r.port = port;
    std::copy(rates.stormFps.begin(), rates.stormFps.end(), r.storm_fps);
    std::copy(rates.stormKbps.begin(), rates.stormKbps.end(), r.storm_kbps);
    r.pdu_fps = rates.pduFps;
    const std::string what = at("l2pt_police", port);
    return found(setRates(r, what), what);
}

Status BpfTables::removeTrap(const TrapKey& key) {
    const l2pt_trap_key k = keyOf(key);
    return written(bpf_map_delete_elem(traps_, &k), trapName(key));
}

Status BpfTables::setTrapRate(const TrapKey& key, uint32_t rateKbps) {
    const l2pt_trap_key k = keyOf(key);
    return found(setRates(trapRates(k, rateKbps), trapName(key)), trapName(key));
}

l2pt_rates_req BpfTables::trapRates(const l2pt_trap_key& key, uint32_t rateKbps) {
    l2pt_rates_req r{};
    r.kind = L2PT_RATES_TRAP;
    r.trap = key;
    r.socket = L2PT_RATES_ANY_SOCKET;
    r.trap_kbps = rateKbps;
    return r;
}

// Whether the record was there to change (l2pt_set_rates).
Result<bool> BpfTables::setRates(const l2pt_rates_req& r, const std::string& what) const {
    std::array<uint8_t, L2PT_RUN_HEAD + sizeof r> run{};
    std::memcpy(&run[L2PT_RUN_HEAD], &r, sizeof r);
    LIBBPF_OPTS(bpf_test_run_opts, opts, .data_in = run.data(), .data_size_in = run.size());
    if (const int err = bpf_prog_test_run_opts(setRates_, &opts); err)
        return Status::sysFailure("l2pt_set_rates: " + what, err);
    return opts.retval == 1;
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

// The sum on the first CPU, nothing on the others: a read sums them.
Status BpfTables::writePortStats(uint32_t port, const l2pt_port_stats& stats) {
    std::fill(perCpu_.begin(), perCpu_.end(), l2pt_port_stats{});
    perCpu_.front() = stats;
    return written(bpf_map_update_elem(stats_, &port, perCpu_.data(), BPF_ANY),
                   at("l2pt_stats", port));
}

Status BpfTables::writeL2cpStats(uint32_t port, const l2pt_l2cp_stats& stats) {
    return written(bpf_map_update_elem(l2cpStats_, &port, &stats, BPF_ANY),
                   at("l2pt_l2cp_stats", port));
}

Result<l2pt_l2cp_stats> BpfTables::readL2cpStats(uint32_t port) const {
    return lookup<l2pt_l2cp_stats>(l2cpStats_, &port, at("l2pt_l2cp_stats", port));
}

Status BpfTables::writeL2cp(const l2pt_l2cp_key& key, uint64_t row) {
    const std::string what =
        "l2pt_l2cp[lport " + std::to_string(key.lport) + ", VLAN " + std::to_string(key.vid) + "]";
    if (row != 0)
        return written(bpf_map_update_elem(l2cp_, &key, &row, BPF_ANY), what);
    const int err = bpf_map_delete_elem(l2cp_, &key);
    return err == -ENOENT ? Status() : written(err, what);
}

Result<uint64_t> BpfTables::readL2cp(const l2pt_l2cp_key& key) const {
    uint64_t row = 0;
    const int err = bpf_map_lookup_elem(l2cp_, &key, &row);
    if (err == -ENOENT)
        return uint64_t{0};
    if (err)
        return Status::sysFailure("l2pt_l2cp", err);
    return row;
}

l2pt_learn* BpfTables::learningAt(uint32_t slot) const {
    return reinterpret_cast<l2pt_learn*>(arrays_.learning.data()) + slot;
}

void BpfTables::writeLearning(uint32_t slot, uint32_t limit, uint32_t flags) {
    l2pt_learn* l = learningAt(slot);
    __atomic_store_n(&l->limit, limit, __ATOMIC_RELAXED);
    __atomic_store_n(&l->flags, flags, __ATOMIC_RELAXED);
}

l2pt_learn BpfTables::readLearning(uint32_t slot) const {
    const l2pt_learn* l = learningAt(slot);
    l2pt_learn out{};
    out.limit = __atomic_load_n(&l->limit, __ATOMIC_RELAXED);
    out.flags = __atomic_load_n(&l->flags, __ATOMIC_RELAXED);
    out.count = __atomic_load_n(&l->count, __ATOMIC_RELAXED);
    return out;
}

// One BPF_MAP_LOOKUP_BATCH: whole hash buckets, at most max entries. A bucket larger than max
// (ENOSPC) is read with room for it.
Result<bool> BpfTables::readMacs(Walk& walk, size_t max, std::vector<LearnedMac>& out) const {
    if (walk.done)
        return true;
    max = std::max<size_t>(max, 1);
    for (;;) {
        keys_.resize(max);
        entries_.resize(max);
        auto count = static_cast<uint32_t>(max);
        uint32_t next = 0;
        const int err = bpf_map_lookup_batch(fdb_, walk.started ? &walk.batch : nullptr, &next,
                                             keys_.data(), entries_.data(), &count, nullptr);
        if (err == -ENOSPC && count == 0) {
            max *= 2;
            continue;
        }
        if (err != 0 && err != -ENOENT)
            return Status::sysFailure("l2pt_fdb: reading the learned MACs", err);
        for (uint32_t i = 0; i < count; ++i) {
            LearnedMac m{keys_[i].vid, {}, entries_[i].lport, entries_[i].seen_ns};
            std::memcpy(m.mac.data(), keys_[i].mac, m.mac.size());
            out.push_back(m);
        }
        walk.started = true;
        walk.batch = next;
        walk.done = err == -ENOENT;
        return walk.done;
    }
}

// Each entry goes by the pipeline's own l2pt_forget, which takes it off its lport under its
// lock before its counts, while it is as it was read: a frame that moves it meanwhile, holding
// it already, then leaves no count behind, and one moved or seen again since it was read stays.
Result<size_t> BpfTables::forgetMacs(std::span<const LearnedMac> macs) {
    size_t n = 0;
    for (size_t at = 0; at < macs.size(); at += L2PT_FORGET_MAX) {
        const auto some = macs.subspan(at, std::min<size_t>(L2PT_FORGET_MAX, macs.size() - at));
        forgetRun_.assign(L2PT_RUN_HEAD + some.size() * sizeof(l2pt_forget_rec), 0);
        for (size_t i = 0; i < some.size(); ++i) {
            l2pt_forget_rec rec{};
            rec.key.vid = some[i].vid;
            std::memcpy(rec.key.mac, some[i].mac.data(), sizeof rec.key.mac);
            rec.lport = some[i].lport;
            rec.seen_ns = some[i].seenNs;
            std::memcpy(&forgetRun_[L2PT_RUN_HEAD + i * sizeof rec], &rec, sizeof rec);
        }
        LIBBPF_OPTS(bpf_test_run_opts, opts, .data_in = forgetRun_.data(),
                    .data_size_in = static_cast<uint32_t>(forgetRun_.size()));
        if (const int err = bpf_prog_test_run_opts(forget_, &opts); err)
            return Status::sysFailure("l2pt_forget: forgetting learned MACs", err);
        n += opts.retval;
    }
    return n;
}

void BpfTables::dropStalePdus(int ring) {
    const uint64_t nowNs = monotonicNs();
    if (nowNs <= kStalePduNs)
        return;
    Result<TrapRing> reader = TrapRing::map(Fd(::fcntl(ring, F_DUPFD_CLOEXEC, 0)), L2PT_RING_BYTES);
    if (reader)
        stalePdus_ += dropTrappedBefore(*reader, nowNs - kStalePduNs);
}

Result<Fd> BpfTables::newTaskRing() {
    if (readyRing_.valid()) {
        Fd fd = std::move(readyRing_);
        dropStalePdus(fd.get());
        const int ring = fd.get();
        if (const int err = bpf_map_update_elem(rings_, &kRingSlot, &ring, BPF_ANY); err)
            return Status::sysFailure("l2pt_rings[0]", err);
        return fd;
    }
    // Whoever asks for a new ring wants the one in the slot gone (its task revoked): when none
    // can be made, the slot is emptied, and what is trapped meanwhile is dropped as no task's.
    const auto none = [this](Status why) {
        (void)bpf_map_delete_elem(rings_, &kRingSlot);
        return why;
    };
    // A ring is the daemon's memory until every holder lets go of it: past a share of the
    // daemon's limit, no ring is made (a task holding the rings of grants before), rather than
    // the daemon killed at its limit.
    if (const auto m = cgroupMemory();
        m && m->current + L2PT_RING_BYTES > m->max - m->max / kRingRoomShare) {
        constexpr uint64_t kMiB = 1 << 20;
        return none(Status::failure(
            "no room for the task's ring: the daemon's memory cgroup holds " +
            std::to_string(m->current / kMiB) + " of its " + std::to_string(m->max / kMiB) +
            " MiB (a task may hold on to the rings of grants before)"));
    }
    const int ring =
        bpf_map_create(BPF_MAP_TYPE_RINGBUF, L2PT_RING_NAME, 0, 0, L2PT_RING_BYTES, nullptr);
    if (ring < 0)
        return none(Status::sysFailure("creating the task's ring", ring));
    Fd fd(ring);
    if (const int err = bpf_map_update_elem(rings_, &kRingSlot, &ring, BPF_ANY); err)
        return Status::sysFailure("l2pt_rings[0]", err);
    if (pins_) {
        // Pinned, so that the next daemon hands it to the task with what queued meanwhile.
        if (Status s = pins_->pin(ring, kTaskRingPin); !s)
            return s;
    }
    return fd;
}

Status BpfTables::parkTaskRing() {
    if (readyRing_.valid())
        return {};  // one parked already: what queued in it stays
    Result<Fd> ring = newTaskRing();
    if (!ring)
        return ring.status();
    readyRing_ = std::move(*ring);
    return {};
}

namespace {

// Every key of a hash map, walked with BPF_MAP_GET_NEXT_KEY.
template <typename K>
Result<std::vector<K>> keysOf(int fd, const char* what) {
    std::vector<K> out;
    K key{};
    K next{};
    const K* at = nullptr;
    for (;;) {
        const int err = bpf_map_get_next_key(fd, at, &next);
        if (err == -ENOENT)
            return out;
        if (err)
            return Status::sysFailure(std::string(what) + ": walking its keys", err);
        out.push_back(next);
        key = next;
        at = &key;
    }
}

}  // namespace

Result<std::vector<TrapKey>> BpfTables::trapKeys() const {
    Result<std::vector<l2pt_trap_key>> keys = keysOf<l2pt_trap_key>(traps_, "l2pt_traps");
    if (!keys)
        return keys.status();
    std::vector<TrapKey> out;
    for (const l2pt_trap_key& k : *keys) {
        TrapKey t{k.owner, {}};
        std::memcpy(t.mac.data(), k.mac, t.mac.size());
        out.push_back(t);
    }
    return out;
}

Result<std::vector<l2pt_l2cp_key>> BpfTables::l2cpKeys() const {
    return keysOf<l2pt_l2cp_key>(l2cp_, "l2pt_l2cp");
}

Result<std::vector<uint32_t>> BpfTables::boundIfindexes() const {
    return keysOf<uint32_t>(byIfindex_, "l2pt_by_ifindex");
}

}  // namespace netp::pipeline
