// The pipeline pinned: a load adopts the maps a load before pinned, a build of another layout
// migrates them. Each test in a mount namespace with a bpffs of its own; root.
#include <bpf/bpf.h>
#include <linux/pkt_cls.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "net/pipeline/pins.h"
#include "net/pipeline/records.h"
#include "switch.h"

namespace l2pt_test {
namespace {

using namespace netp::pipeline;

constexpr uint16_t kLlcLength = 0x0026;  // an 802.3 length: STP's LLC frame

class Pinned : public Switch {
  public:
    void SetUp() override {
        ASSERT_EQ(::geteuid(), 0u) << "this test needs root: it mounts a bpffs and loads BPF";
        ASSERT_EQ(::unshare(CLONE_NEWNS), 0) << std::strerror(errno);
        ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
        char dir[] = "/tmp/l2pt-pins-XXXXXX";
        ASSERT_NE(::mkdtemp(dir), nullptr);
        root_ = dir;
        ASSERT_EQ(::mount("bpf", dir, "bpf", 0, nullptr), 0) << std::strerror(errno);
        options_.pins = PinPlace{root_, "sw"};
        Switch::SetUp();
    }
    void TearDown() override {
        tables.reset();
        if (!root_.empty()) {
            ::umount2(root_.c_str(), MNT_DETACH);
            ::rmdir(root_.c_str());
        }
    }

    // A pinned map's shape and the ABI record, read from the pins as another process would.
    netp::Fd pin(const std::string& name) {
        netp::Fd fd(bpf_obj_get((root_ + "/l2pt/sw/" + name).c_str()));
        EXPECT_TRUE(fd.valid()) << name;
        return fd;
    }
    bpf_map_info pinned(const std::string& name) {
        bpf_map_info info{};
        uint32_t len = sizeof info;
        EXPECT_EQ(bpf_obj_get_info_by_fd(pin(name).get(), &info, &len), 0);
        return info;
    }
    AbiRecord abi() {
        AbiRecord rec{};
        const uint32_t key = 0;
        EXPECT_EQ(bpf_map_lookup_elem(pin(kAbiPin).get(), &key, &rec), 0);
        return rec;
    }
    // fd pinned by name in place of what the switch pinned so, as another build would have.
    void repin(int fd, const std::string& name) {
        const std::string at = root_ + "/l2pt/sw/" + name;
        ASSERT_EQ(::unlink(at.c_str()), 0) << name;
        ASSERT_EQ(bpf_obj_pin(fd, at.c_str()), 0) << name;
    }
    PipelineOptions variant(uint32_t v) {
        PipelineOptions o = options_;
        o.variant = v;
        return o;
    }

    std::string root_;
};

TEST_F(Pinned, AStartAdoptsTheMapsLearnedMacsCountersEntriesAndTheRingWithItsPdus) {
    EXPECT_EQ(tables->start().how, PipelineStart::Fresh);
    const Bytes data = frame(host(2), host(1), {}, 0x0800);
    EXPECT_EQ(run(0, data).ev.verdict, L2PT_VERDICT_FLOODED);
    const TrapKey stp = TrapKey::port(chassisIf(0), kStp);
    ASSERT_TRUE(tables->installTrap(stp, 0));
    ASSERT_TRUE(tables->setL2cp(1, L2PT_L2CP_ANY_VLAN, 0x3));
    ASSERT_TRUE(tables->setLearning(1, 7, L2PT_L_DROP));
    auto ring = tables->newTaskRing();
    ASSERT_TRUE(ring);
    const Bytes pdu = frame(kStp, host(1), {}, kLlcLength, 100);
    EXPECT_EQ(run(0, pdu).ev.verdict, L2PT_VERDICT_TRAPPED);
    const l2pt_port_stats before = stats(0);
    ASSERT_EQ(tables->trapCounters(stp)->hits, 1u);
    ring->reset();  // the task is gone too

    // The daemon stops; the next loads over the pins, after one that ended before its ports
    // ran its programs: the ports' programs are the ones pinned still.
    bpf_prog_info attached{};
    uint32_t infoLen = sizeof attached;
    ASSERT_EQ(bpf_obj_get_info_by_fd(tables->ingressFd(), &attached, &infoLen), 0);
    reload(options_, true);
    reload(options_);
    const StartReport& start = tables->start();
    ASSERT_EQ(start.how, PipelineStart::Adopted) << start.differs;
    EXPECT_EQ(start.formerPrograms.at(0), attached.id);
    EXPECT_EQ(start.macs, 1u);
    EXPECT_TRUE(start.ringAdopted);
    EXPECT_TRUE(tables->adopted());
    ASSERT_EQ(tables->learnedMacs()->size(), 1u);
    EXPECT_EQ(tables->learnedMacs()->at(0).mac, host(1));
    EXPECT_EQ(tables->learning(0)->count, 1) << "counts stay with the MACs they count";
    EXPECT_EQ(tables->learning(L2PT_LEARN_VLAN + 100)->count, 1);
    EXPECT_EQ(tables->learning(1)->limit, 7u) << "limits stay with the records they fit";
    EXPECT_EQ(tables->learning(1)->flags, L2PT_L_DROP);
    EXPECT_EQ(stats(0).rx, before.rx);
    EXPECT_EQ(tables->lport(0)->ifindex, ifindex[0]) << "l2ptd's copies start as the kernel's";
    EXPECT_EQ(tables->vlan(100)->members[0], 0x7u) << "ports 0-2";
    EXPECT_EQ(*tables->l2cp(1, L2PT_L2CP_ANY_VLAN), 0x3u);
    // Installed again while claiming: the entry keeps its counters.
    ASSERT_TRUE(tables->installTrap(stp, 0));
    EXPECT_EQ(tables->trapCounters(stp)->hits, 1u);
    EXPECT_EQ(*tables->trapKeys(), std::vector<TrapKey>{stp});
    // Learned MACs and counters go on.
    EXPECT_EQ(run(0, data).ev.verdict, L2PT_VERDICT_FLOODED);
    EXPECT_EQ(stats(0).rx, before.rx + 1);
    // The first grant hands the ring over with the PDU queued in it; the next a new ring.
    auto reader = TrapRing::map(std::move(*tables->newTaskRing()), L2PT_RING_BYTES);
    ASSERT_TRUE(reader);
    EXPECT_FALSE(reader->peek().empty());
    EXPECT_EQ(tables->takeStalePdus(), 0u);
    auto fresh = TrapRing::map(std::move(*tables->newTaskRing()), L2PT_RING_BYTES);
    EXPECT_TRUE(fresh->peek().empty());
    // A PDU is stale from the nanosecond after it was trapped.
    const uint64_t trapped = parseTrapRecord(reader->peek())->tstampNs;
    EXPECT_EQ(dropTrappedBefore(*reader, trapped), 0u);
    EXPECT_EQ(dropTrappedBefore(*reader, trapped + 1), 1u);
    EXPECT_TRUE(reader->peek().empty());

    ASSERT_TRUE(tables->claimed());
    const uint64_t hits = tables->trapCounters(stp)->hits;
    // The task gone: a ring it never held is parked; what is trapped waits for the next grant.
    ASSERT_TRUE(tables->parkTaskRing());
    EXPECT_EQ(run(0, pdu).retval, TC_ACT_SHOT);
    EXPECT_EQ(tables->trapCounters(stp)->hits, hits + 1) << "the filter counts the entries kept";
    EXPECT_TRUE(fresh->peek().empty());
    auto next = TrapRing::map(std::move(*tables->newTaskRing()), L2PT_RING_BYTES);
    EXPECT_FALSE(next->peek().empty());
    ASSERT_TRUE(tables->installTrap(stp, 0));  // a new entry starts again
    EXPECT_EQ(tables->trapCounters(stp)->hits, 0u);
}

TEST_F(Pinned, ALayoutOfAnotherBuildIsMigratedWithTheLearnedMacsAndItsPinsReplaced) {
    // Port 0 floods one unknown unicast a second: its bucket is spent by the first.
    const Bytes flood = frame(host(2), host(1), {}, 0x0800);
    PoliceRates oneFlood;
    oneFlood.stormFps[L2PT_STORM_UNKNOWN] = 1;
    ASSERT_TRUE(tables->setPolice(0, oneFlood));
    EXPECT_EQ(run(0, flood).ev.verdict, L2PT_VERDICT_FLOODED);
    EXPECT_EQ(run(3, frame(host(4), host(3), {}, 0x0800)).ev.verdict, L2PT_VERDICT_FLOODED);
    EXPECT_EQ(abi().version, static_cast<uint32_t>(L2PT_ABI_VERSION));
    EXPECT_EQ(pinned("l2pt_traps").max_entries, 16384u);
    const TrapKey stp = TrapKey::port(chassisIf(3), kStp);
    ASSERT_TRUE(tables->installTrap(stp, 0));
    ASSERT_TRUE(tables->newTaskRing());
    const Bytes pdu = frame(kStp, host(3), {}, kLlcLength, 100);
    EXPECT_EQ(run(3, pdu).ev.verdict, L2PT_VERDICT_TRAPPED);
    // The task granted generation 5, over its link.
    l2pt_globals g = tables->globals();
    g.task_mark = L2PT_TASK_MARK_BASE | 5;
    g.task_if = 77;
    ASSERT_TRUE(tables->setGlobals(g));

    // A start that ends before its ports run its programs leaves the pins as they were: the
    // next migrates again from the tables the switch forwarded by.
    reload(variant(2), true);
    EXPECT_EQ(abi().version, static_cast<uint32_t>(L2PT_ABI_VERSION));
    const netp::Fd oldFdb = pin("l2pt_fdb");
    reload(variant(2));
    ASSERT_EQ(tables->start().how, PipelineStart::Migrated);
    EXPECT_TRUE(tables->start().taskCarried) << "it relays on its link until it lets go";
    EXPECT_EQ(tables->globals().task_mark, L2PT_TASK_MARK_BASE | 5);
    EXPECT_EQ(tables->globals().task_if, 77u);
    EXPECT_NE(tables->start().differs.find("ABI version 1"), std::string::npos)
        << tables->start().differs;
    EXPECT_EQ(tables->start().macs, 2u);
    EXPECT_FALSE(tables->adopted()) << "new maps: the daemon writes them whole";
    EXPECT_EQ(tables->learnedMacs()->size(), 2u);
    EXPECT_EQ(tables->learning(0)->count, 1);
    EXPECT_EQ(tables->learning(3)->count, 1);
    EXPECT_EQ(tables->learning(L2PT_LEARN_VLAN + 200)->count, 1);
    EXPECT_EQ(stats(0).rx, 1u) << "the counters carried over";
    // The daemon writes the port's rates again: its bucket is as the old programs left it.
    ASSERT_TRUE(tables->setPolice(0, oneFlood));
    configure();
    EXPECT_EQ(run(0, flood).ev.reason, L2PT_DP_DROP_STORM) << "no new second's worth";
    // The new maps in place of the old ones, and the ABI they are of.
    EXPECT_EQ(pinned("l2pt_traps").max_entries, 16383u);
    EXPECT_EQ(abi().version, static_cast<uint32_t>(L2PT_ABI_VERSION + 1));
    EXPECT_EQ(abi().variant, 2u);
    // Carried entries trap into the next grant's ring, behind what queued; a hit counts once.
    EXPECT_EQ(tables->start().traps, 1u);
    EXPECT_TRUE(tables->start().ringAdopted);
    EXPECT_TRUE(tables->claiming());
    EXPECT_EQ(run(3, pdu).ev.verdict, L2PT_VERDICT_TRAPPED);
    auto reader = TrapRing::map(std::move(*tables->newTaskRing()), L2PT_RING_BYTES);
    ASSERT_TRUE(reader);
    EXPECT_EQ(dropTrappedBefore(*reader, UINT64_MAX), 2u) << "one PDU from before, one since";
    // Until the swap the old programs forward: they saw host 1 move to port 1, and host 3 age.
    const auto fdbKey = [](uint16_t vid, const Mac& mac) {
        l2pt_fdb_key k{vid, {}};
        std::memcpy(k.mac, mac.data(), mac.size());
        return k;
    };
    const l2pt_fdb_key host1 = fdbKey(100, host(1)), host3 = fdbKey(200, host(3));
    l2pt_fdb_entry moved{};
    ASSERT_EQ(bpf_map_lookup_elem(oldFdb.get(), &host1, &moved), 0);
    moved.lport = 1;
    ASSERT_EQ(bpf_map_update_elem(oldFdb.get(), &host1, &moved, BPF_EXIST), 0);
    ASSERT_EQ(bpf_map_delete_elem(oldFdb.get(), &host3), 0);
    tables->finishMigration();
    tables->finishMigration();
    EXPECT_EQ(tables->trapCounters(stp)->hits, 2u);
    ASSERT_EQ(tables->learnedMacs()->size(), 1u) << "host 3 went";
    EXPECT_EQ(tables->learnedMacs()->at(0).lport, 1u) << "host 1 is where it went";
    EXPECT_EQ(tables->learning(0)->count, 0);
    EXPECT_EQ(tables->learning(1)->count, 1);
    EXPECT_EQ(tables->learning(L2PT_LEARN_VLAN + 200)->count, 0);

    // Port 2 may have one PDU a second trapped of each VLAN it is core in: VLAN 100's is spent.
    PoliceRates onePdu;
    onePdu.pduFps = 1;
    ASSERT_TRUE(tables->setPolice(2, onePdu));
    ASSERT_TRUE(tables->installTrap(TrapKey::port(chassisIf(2), kStp), 0));
    const auto provider = [](uint16_t vid) {
        return frame(kStp, host(9), {{L2PT_TPID_VMAN, vid}}, kLlcLength);
    };
    EXPECT_EQ(run(2, provider(100)).ev.verdict, L2PT_VERDICT_TRAPPED);

    // Back to the release's layout: migrated again, the MACs but not the ring; then adopted.
    const uint32_t key = 0;
    netp::Fd other(
        bpf_map_create(BPF_MAP_TYPE_RINGBUF, "l2pt_ring_v0", 0, 0, L2PT_RING_BYTES, nullptr));
    const int otherFd = other.get();
    ASSERT_EQ(bpf_map_update_elem(pin("l2pt_rings").get(), &key, &otherFd, BPF_ANY), 0);
    repin(otherFd, kTaskRingPin);
    reload(options_);
    ASSERT_EQ(tables->start().how, PipelineStart::Migrated);
    EXPECT_FALSE(tables->start().ringAdopted);
    configure();
    EXPECT_EQ(run(3, pdu).ev.verdict, L2PT_VERDICT_TRAPPED) << "into a ring parked for the task";
    ASSERT_TRUE(tables->setPolice(2, onePdu));
    EXPECT_EQ(run(2, provider(100)).ev.reason, L2PT_DP_DROP_PDU_SHARE) << "spent, carried so";
    EXPECT_EQ(run(2, provider(200)).ev.verdict, L2PT_VERDICT_TRAPPED);
    EXPECT_FALSE(TrapRing::map(std::move(*tables->newTaskRing()), L2PT_RING_BYTES)->peek().empty());
    EXPECT_EQ(tables->learnedMacs()->size(), 1u);
    EXPECT_EQ(pinned("l2pt_traps").max_entries, 16384u);
    reload(options_);
    EXPECT_EQ(tables->start().how, PipelineStart::Adopted);
    EXPECT_EQ(tables->learnedMacs()->size(), 1u);
    EXPECT_EQ(tables->start().notCarried, std::vector<std::string>{});
    // Port counters of another layout start from 0, and the start says which.
    netp::Fd longerStats(bpf_map_create(BPF_MAP_TYPE_PERCPU_ARRAY, "l2pt_stats", sizeof key,
                                        sizeof(l2pt_port_stats) + sizeof key, L2PT_STATS_SLOTS,
                                        nullptr));
    repin(longerStats.get(), "l2pt_stats");
    // Globals of another layout too: whether a task relays from the ring is not known, so the
    // ring stays its own.
    netp::Fd longerGlobals(bpf_map_create(BPF_MAP_TYPE_ARRAY, "l2pt_globals", sizeof key,
                                          sizeof(l2pt_globals) + sizeof key, 1, nullptr));
    repin(longerGlobals.get(), "l2pt_globals");
    reload(options_);
    EXPECT_EQ(tables->start().how, PipelineStart::Migrated);
    EXPECT_EQ(tables->start().notCarried, (std::vector<std::string>{"l2pt_stats", "l2pt_globals"}));
    EXPECT_FALSE(tables->start().ringAdopted);
    EXPECT_EQ(stats(0).rx, 0u);
    EXPECT_EQ(tables->learnedMacs()->size(), 1u);
    // A table of learned MACs of another size is a layout of its own too.
    tables.reset();
    auto bigger = BpfTables::load([](std::string_view) {}, L2PT_FDB_ENTRIES_DEFAULT * 2, options_);
    ASSERT_TRUE(bigger) << bigger.status().what();
    EXPECT_EQ((*bigger)->start().how, PipelineStart::Migrated);
    EXPECT_NE((*bigger)->start().differs.find("l2pt_fdb"), std::string::npos);
    EXPECT_EQ((*bigger)->learnedMacs()->size(), 1u);
    // A longer ABI record of this version: another layout, read without writing past ours.
    bigger->reset();
    const struct {
        AbiRecord rec;
        uint32_t more;
    } longer{{L2PT_ABI_VERSION, 0}, 1};
    netp::Fd rec(
        bpf_map_create(BPF_MAP_TYPE_ARRAY, kAbiPin, sizeof key, sizeof longer, 1, nullptr));
    ASSERT_EQ(bpf_map_update_elem(rec.get(), &key, &longer, BPF_ANY), 0);
    repin(rec.get(), kAbiPin);
    auto later = BpfTables::load([](std::string_view) {}, L2PT_FDB_ENTRIES_DEFAULT * 2, options_);
    ASSERT_TRUE(later) << later.status().what();
    EXPECT_EQ((*later)->start().how, PipelineStart::Migrated);
    EXPECT_NE((*later)->start().differs.find(kAbiPin), std::string::npos)
        << (*later)->start().differs;
    EXPECT_EQ((*later)->learnedMacs()->size(), 1u);
}

// One daemon at a time, and only in directories of its user alone, reached through no symlink.
TEST_F(Pinned, APinDirectoryServesOneDaemonAtATimeAndOnlyItsOwnUser) {
    auto second = BpfTables::load([](std::string_view) {}, L2PT_FDB_ENTRIES_DEFAULT, options_);
    ASSERT_FALSE(second);
    EXPECT_NE(second.status().what().find("in use by another l2pt-chassisd"), std::string::npos)
        << second.status().what();

    const std::string top = root_ + "/" + kPinSubdir;
    const auto refused = [&](const std::string& name, const char* why) {
        const auto dir = PinDir::open(PinPlace{root_, name}, true);
        ASSERT_FALSE(dir) << name;
        EXPECT_NE(dir.status().what().find(why), std::string::npos) << dir.status().what();
    };
    ASSERT_EQ(::mkdir((top + "/theirs").c_str(), 0700), 0);
    ASSERT_EQ(::chown((top + "/theirs").c_str(), 65534, 65534), 0);
    refused("theirs", "is not this user's alone (owner 65534, mode 700)");
    ASSERT_EQ(::mkdir((top + "/open").c_str(), 0700), 0);
    ASSERT_EQ(::chmod((top + "/open").c_str(), 0720), 0);
    refused("open", "mode 720");
    ASSERT_EQ(::mkdir((root_ + "/elsewhere").c_str(), 0700), 0);
    ASSERT_EQ(::symlink((root_ + "/elsewhere").c_str(), (top + "/linked").c_str()), 0);
    refused("linked", "Not a directory");
    EXPECT_TRUE(PinDir::open(PinPlace{root_, "theirs"}, false)) << "--remove may clear it";
}

}  // namespace
}  // namespace l2pt_test
