// The tables' checks on the in-memory tables (no root), and the loader's word on a refusal.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "net/pipeline/bpf_object.h"
#include "net/pipeline/bpf_tables.h"
#include "net/pipeline/mem_tables.h"
#include "net/pipeline/memory_room.h"
#include "net/pipeline/table_view.h"

// refused.bpf.c's skeleton, generated at build time (tests/unit/pipeline/CMakeLists.txt).
#include "l2pt_refused.skel.h"

namespace {

using namespace netp::pipeline;

constexpr Mac kStp = {0x01, 0x80, 0xc2, 0x00, 0x00, 0x00};

std::unique_ptr<MemTables> memTables() {
    auto t = MemTables::create();
    EXPECT_TRUE(t) << t.status().what();
    return std::move(*t);
}

// Each refusal says what it refused.
void refused(const Status& s) {
    EXPECT_FALSE(s);
    EXPECT_FALSE(s.what().empty());
}

TEST(Tables, RefuseWhatIsOutOfRangeAndWriteNothing) {
    auto t = memTables();
    auto port = [](auto edit) {
        l2pt_lport r{};
        r.lag = L2PT_LPORT_NONE;
        edit(r);
        return r;
    };
    refused(t->setLport(L2PT_MAX_LPORTS, port([](auto&) {})));
    refused(t->setLport(1, port([](auto& r) { r.pvid = 4096; })));
    refused(t->setLport(1, port([](auto& r) { r.slot = 12; })));
    refused(t->setLport(1, port([](auto& r) { r.lag = 5; })));  // a port as its LAG
    refused(t->setLport(L2PT_LAG_BASE, port([](auto& r) { r.n_live = 33; })));
    refused(t->setLport(L2PT_LAG_BASE, port([](auto& r) { r.n_live = 1, r.live[0] = 1024; })));
    l2pt_vlan coreOnly{};
    coreOnly.core[0] = 1;
    refused(t->setVlan(4096, l2pt_vlan{}));
    refused(t->setVlan(10, coreOnly));
    refused(t->bindIfindex(0, 1));
    refused(t->bindIfindex(5, L2PT_LAG_BASE));
    refused(t->installTrap(TrapKey::slot(12, kStp), 0));
    refused(t->setTrapRate(TrapKey::port(3, kStp), 5));  // no such entry
    refused(t->removeTrap(TrapKey::port(3, kStp)));
    refused(t->portStats(L2PT_STATS_SLOTS).status());
    refused(t->setPolice(L2PT_MAX_PORTS, PoliceRates{}));
    l2pt_globals g = defaultGlobals();
    g.tpid = 0x05FF;  // no EtherType
    refused(t->setGlobals(g));
    g = defaultGlobals();
    g.task_mark = 7;  // no task's mark
    refused(t->setGlobals(g));
    refused(t->setLearning(L2PT_LEARN_SLOTS, 1, 0));
    refused(t->setLearning(L2PT_LEARN_VLAN, 1, L2PT_L_DROP));  // a VLAN drops nothing itself
    refused(t->setLearning(0, L2PT_FDB_ENTRIES_MAX + 1, 0));
    refused(t->setLearning(0, 1, L2PT_L_DROP << 1));
    refused(t->learning(L2PT_LEARN_SLOTS).status());
    EXPECT_EQ(t->learning(0)->limit, L2PT_FDB_ENTRIES_DEFAULT / L2PT_LEARN_PORT_SHARE);
    EXPECT_EQ(t->learning(L2PT_LEARN_SLOTS - 1)->limit,
              L2PT_FDB_ENTRIES_DEFAULT / L2PT_LEARN_VLAN_SHARE);
    EXPECT_EQ(t->lport(1)->pvid, 0);
    EXPECT_EQ(t->globals().tpid, L2PT_TPID_VMAN);
    // Full tables rewrite what they hold; VLAN 4095 learns; a MAC seen since a read stays.
    t->limitTraps(1);
    ASSERT_TRUE(t->installTrap(TrapKey::port(3, kStp), 0));
    EXPECT_TRUE(t->installTrap(TrapKey::port(3, kStp), 5));
    refused(t->installTrap(TrapKey::port(4, kStp), 0));
    for (uint32_t port = 0; port < L2PT_MAX_PORTS; ++port)
        ASSERT_TRUE(t->bindIfindex(port + 1, port));
    refused(t->bindIfindex(L2PT_MAX_PORTS + 1, 0));
    EXPECT_FALSE(t->learn(L2PT_MAX_VID + 1, kStp, 1, 1));
    ASSERT_TRUE(t->learn(L2PT_MAX_VID, kStp, 1, 1));
    const auto read = t->learnedMacs();
    ASSERT_TRUE(t->learn(L2PT_MAX_VID, kStp, 1, 2));
    EXPECT_EQ(*t->forgetMacs(*read), 0u);
}

TEST(Loader, NamesTheProgramTheKernelRefuses) {
    ASSERT_EQ(::geteuid(), 0u) << "this test needs root: it loads a BPF program";
    std::string logged;
    auto obj = BpfObject::load<l2pt_refused>(
        "l2pt_refused", [&](std::string_view line) { logged.append(line) += '\n'; });
    ASSERT_FALSE(obj);
    EXPECT_THAT(obj.status().what(),
                testing::StartsWith("the kernel refused BPF program l2pt_refused: "));
    EXPECT_THAT(obj.status().what(), testing::HasSubstr("invalid access to packet"));
    EXPECT_EQ(std::ranges::count(obj.status().what(), '|'), 7) << "the log's last 8 lines";
    EXPECT_THAT(logged, testing::HasSubstr("l2pt_refused"));  // libbpf's word, in our log
}

// Frames read a VLAN's record while it is rewritten: between the writes, no member is ever in
// a role it has in neither the old record nor the new.
TEST(Tables, AVlanChangesSoThatEveryReadFindsAMemberInAnOldOrNewRole) {
    auto t = netp::pipeline::MemTables::create();
    ASSERT_TRUE(t);
    auto& tables = **t;
    const auto record = [](std::initializer_list<std::pair<uint32_t, bool>> ports) {
        l2pt_vlan v{};
        for (const auto& [lport, core] : ports) {
            v.members[lport / 32] |= 1u << (lport % 32);
            if (core)
                v.core[lport / 32] |= 1u << (lport % 32);
        }
        return v;
    };
    constexpr uint32_t kVid = 10;
    enum Role { None, Access, Core };
    const auto role = [](const l2pt_vlan& v, uint32_t lport) {
        const uint32_t bit = 1u << (lport % 32);
        return !(v.members[lport / 32] & bit) ? None : v.core[lport / 32] & bit ? Core : Access;
    };
    // 1 leaves (core), 2 goes from core to access, 3 from access to core, 4 joins as core.
    const l2pt_vlan before = record({{1, true}, {2, true}, {3, false}});
    const l2pt_vlan after = record({{2, false}, {3, true}, {4, true}});
    ASSERT_TRUE(tables.setVlan(kVid, before));
    size_t reads = 0;
    tables.vlanReads([&](uint32_t vid) {
        ASSERT_EQ(vid, kVid);
        const l2pt_vlan now = *tables.vlan(kVid);
        for (uint32_t lport = 1; lport <= 4; ++lport) {
            EXPECT_TRUE(role(now, lport) == role(before, lport) ||
                        role(now, lport) == role(after, lport))
                << "lport " << lport << " after " << reads << " writes";
        }
        ++reads;
    });
    ASSERT_TRUE(tables.setVlan(kVid, after));
    EXPECT_EQ(reads, 3u);
    EXPECT_EQ(std::memcmp(&*tables.vlan(kVid), &after, sizeof after), 0);
}

// The daemon's memory cgroup, as cgroup v1's memory controller or v2 shows it; no limit is none.
TEST(CgroupMemory, ReadsTheControllerThatHoldsTheProcess) {
    namespace fs = std::filesystem;
    const fs::path root = fs::temp_directory_path() / ("l2pt-cgroup-" + std::to_string(::getpid()));
    const auto write = [&](const fs::path& path, const std::string& text) {
        fs::create_directories(path.parent_path());
        std::ofstream(path) << text;
    };
    const std::string self = (root / "self").string();
    const auto memory = [&] { return netp::pipeline::cgroupMemory(self, root.string()); };
    // v2 alone: memory.current and memory.max of the unit's group.
    write(root / "self", "0::/system.slice/l2pt.service\n");
    write(root / "system.slice/l2pt.service/memory.current", "50331648\n");
    write(root / "system.slice/l2pt.service/memory.max", "134217728\n");
    write(root / "system.slice/l2pt.service/memory.stat",
          "anon 20971520\nfile 29360128\nactive_file 8388608\ninactive_file 20971520\n");
    auto m = memory();
    ASSERT_TRUE(m);
    EXPECT_EQ(m->current, 50331648u - 20971520u) << "the inactive file cache left out";
    EXPECT_EQ(m->max, 134217728u);
    write(root / "system.slice/l2pt.service/memory.max", "max\n");
    EXPECT_FALSE(memory());
    // Hybrid: v1's memory controller holds the limit, among others on its line.
    write(root / "self", "5:cpuacct,memory:/l2pt\n0::/system.slice/l2pt.service\n");
    write(root / "memory/l2pt/memory.usage_in_bytes", "1048576\n");
    write(root / "memory/l2pt/memory.limit_in_bytes", "67108864\n");
    write(root / "memory/l2pt/memory.stat", "inactive_file 4096\ntotal_inactive_file 8192\n");
    m = memory();
    ASSERT_TRUE(m);
    EXPECT_EQ(m->current, 1048576u - 8192u);
    EXPECT_EQ(m->max, 67108864u);
    write(root / "memory/l2pt/memory.limit_in_bytes", "9223372036854771712\n");
    EXPECT_FALSE(memory()) << "v1's largest value is no limit";
    write(root / "self", "5:memoryx:/l2pt\n");
    EXPECT_FALSE(memory()) << "a controller of another name";
    fs::remove_all(root);
}

}  // namespace
