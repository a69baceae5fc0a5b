// The tables' checks on the in-memory tables (no root), and the loader's word on a refusal.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
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

// Frames read a VLAN's record while it is rewritten, each write of it in place and in order (its
// members' words before its roles'): no member is ever read in a role it has in neither the
// old record nor the new.
TEST(Tables, AVlanChangesSoThatEveryReadFindsAMemberInAnOldOrNewRole) {
    auto t = netp::pipeline::MemTables::create();
    ASSERT_TRUE(t);
    auto& tables = **t;
    enum Role { None, Access, Core };
    // Roles of lports 1-4, each in the first word.
    const auto record = [](std::array<Role, 4> roles) {
        l2pt_vlan v{};
        for (uint32_t i = 0; i < roles.size(); ++i) {
            v.members[0] |= roles[i] != None ? 2u << i : 0;
            v.core[0] |= roles[i] == Core ? 2u << i : 0;
        }
        return v;
    };
    const auto role = [](const l2pt_vlan& v, uint32_t i) {
        return !(v.members[0] & 2u << i) ? None : v.core[0] & 2u << i ? Core : Access;
    };
    // 1 leaves (core), 2 goes from core to access, 3 from access to core, 4 joins as core.
    const l2pt_vlan before = record({Core, Core, Access, None});
    const l2pt_vlan after = record({None, Access, Core, Core});
    ASSERT_TRUE(tables.setVlan(10, before));
    tables.vlanReads([&](uint32_t vid, std::span<const uint8_t> bytes) {
        ASSERT_EQ(bytes.size(), sizeof(l2pt_vlan));
        l2pt_vlan next{};
        std::memcpy(&next, bytes.data(), sizeof next);
        l2pt_vlan half = *tables.vlan(vid);  // the members written, not yet the roles
        std::copy(std::begin(next.members), std::end(next.members), std::begin(half.members));
        for (const l2pt_vlan& read : {*tables.vlan(vid), half, next}) {
            for (uint32_t i = 0; i < 4; ++i)
                EXPECT_TRUE(role(read, i) == role(before, i) || role(read, i) == role(after, i))
                    << "lport " << i + 1;
        }
    });
    ASSERT_TRUE(tables.setVlan(10, after));
    EXPECT_EQ(std::memcmp(&*tables.vlan(10), &after, sizeof after), 0);
}

// The daemon's memory cgroup, as cgroup v1's memory controller or v2 shows it, less the inactive
// file cache; no limit is none.
TEST(CgroupMemory, ReadsTheControllerThatHoldsTheProcess) {
    namespace fs = std::filesystem;
    const fs::path root = fs::temp_directory_path() / ("l2pt-cgroup-" + std::to_string(::getpid()));
    const auto write = [&](const fs::path& path, const std::string& text) {
        fs::create_directories(path.parent_path());
        std::ofstream(path) << text;
    };
    const auto memory = [&] {
        const auto m = netp::pipeline::cgroupMemory((root / "self").string(), root.string());
        return m ? std::pair(m->current, m->max) : std::pair(uint64_t{0}, uint64_t{0});
    };
    const fs::path v2 = root / "system.slice/l2pt.service";
    write(root / "self", "0::/system.slice/l2pt.service\n");
    write(v2 / "memory.current", "50000\n");
    write(v2 / "memory.max", "90000\n");
    write(v2 / "memory.stat", "file 30000\nactive_file 10000\ninactive_file 20000\n");
    EXPECT_EQ(memory(), std::pair(uint64_t{30000}, uint64_t{90000}));
    write(v2 / "memory.max", "max\n");
    EXPECT_EQ(memory().second, 0u);
    // Hybrid: v1's memory controller holds the limit, among others on its line.
    const fs::path v1 = root / "memory/l2pt";
    write(root / "self", "5:cpuacct,memory:/l2pt\n0::/system.slice/l2pt.service\n");
    write(v1 / "memory.usage_in_bytes", "10000\n");
    write(v1 / "memory.limit_in_bytes", "60000\n");
    write(v1 / "memory.stat", "inactive_file 1000\ntotal_inactive_file 2000\n");
    EXPECT_EQ(memory(), std::pair(uint64_t{8000}, uint64_t{60000}));
    write(v1 / "memory.limit_in_bytes", "9223372036854771712\n");
    EXPECT_EQ(memory().second, 0u) << "v1's largest value is no limit";
    write(root / "self", "5:memoryx:/l2pt\n");
    EXPECT_EQ(memory().second, 0u) << "a controller of another name";
    fs::remove_all(root);
}

}  // namespace
