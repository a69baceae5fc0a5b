// Fixed pools and variable size classes: capacity, accounting, leak reports and bad releases.
#include <cstring>

#include "platform/mem.h"
#include "platform_test.h"

namespace {

constexpr uint32_t kPart = 0x520000;
constexpr uint32_t kPoolA = 0x520000;
constexpr uint32_t kPoolB = 0x520001;

class MemTest : public test::PlatformTest {
  protected:
    void SetUp() override {
        PlatformTest::SetUp();
        ASSERT_EQ(ozm_memPartFixedInit(kPart, kPart + 5, 0), 0);
    }
    static const ozm::mem::PoolStats* find(const std::vector<ozm::mem::PoolStats>& all,
                                           const std::string& name) {
        for (const auto& s : all) {
            if (s.name == name) {
                return &s;
            }
        }
        return nullptr;
    }
    static ozm::mem::PoolStats statsOf(const std::string& name) {
        auto all = ozm::mem::stats();
        const ozm::mem::PoolStats* s = find(all, name);
        EXPECT_NE(s, nullptr) << name;
        return s != nullptr ? *s : ozm::mem::PoolStats{};
    }
    static void* alloc(uint32_t pool, const char* module = "m", int line = 1) {
        return ozmMC_M_memBlockAlloc(module, line, 1, 20, pool, 0, 0);
    }
};

TEST_F(MemTest, FixedPoolHandsOutItsCapacityThenRefuses) {
    fake->capacities["P"] = 3;
    ASSERT_EQ(ozmMC_M_memPoolCreate("P", kPoolA, 0, 20), 0);
    void* a = alloc(kPoolA);
    void* b = alloc(kPoolA);
    void* c = alloc(kPoolA);
    ASSERT_TRUE(a && b && c);
    EXPECT_TRUE(a != b && b != c && a != c);
    EXPECT_EQ(alloc(kPoolA), nullptr);
    EXPECT_EQ(ozmMC_M_memBlockFree("m", 2, b), 0);
    EXPECT_NE(alloc(kPoolA), nullptr);

    auto s = statsOf("P");
    EXPECT_EQ(s.capacity, 3u);
    EXPECT_EQ(s.inUse, 3u);
    EXPECT_EQ(s.peak, 3u);
    EXPECT_EQ(s.allocs, 4u);
    EXPECT_EQ(s.failures, 1u);
    // Larger than the block size, and unknown pools, are refused.
    EXPECT_EQ(ozmMC_M_memBlockAlloc("m", 1, 1, 21, kPoolA, 0, 0), nullptr);
    EXPECT_EQ(alloc(kPoolB), nullptr);
}

TEST_F(MemTest, BlocksAcrossChunksAreDistinctAndWritable) {
    ASSERT_EQ(ozmMC_M_memPoolCreate("P", kPoolA, 0, 20), 0);
    std::vector<uint8_t*> blocks;
    for (int i = 0; i < 300; ++i) {  // several chunks
        auto* p = static_cast<uint8_t*>(alloc(kPoolA));
        ASSERT_NE(p, nullptr);
        std::memset(p, i & 0xFF, 20);
        blocks.push_back(p);
    }
    for (int i = 0; i < 300; ++i) {
        for (int j = 0; j < 20; ++j) {
            ASSERT_EQ(blocks[i][j], i & 0xFF) << "block " << i;
        }
    }
    for (uint8_t* p : blocks) {
        EXPECT_EQ(ozmMC_M_memBlockFree("m", 1, p), 0);
    }
    EXPECT_EQ(ozm::mem::blocksInUse(), 0u);
    EXPECT_EQ(statsOf("P").capacity, ozm::mem::kDefaultPoolCapacity);
    EXPECT_TRUE(fake->reports.empty());
}

TEST_F(MemTest, AccountsLiveBlocksBySite) {
    ASSERT_EQ(ozmMC_M_memPoolCreate("P", kPoolA, 0, 20), 0);
    void* a1 = alloc(kPoolA, "l2pt_BCM", 1793);
    alloc(kPoolA, "l2pt_BCM", 1793);
    alloc(kPoolA, "l2ptTask", 5);
    alloc(kPoolA, "l2pt_BCM", 12);
    ASSERT_EQ(ozmMC_M_memBlockFree("x", 9, a1), 0);

    auto sites = statsOf("P").sites;
    ASSERT_EQ(sites.size(), 3u);  // by module, then line
    EXPECT_EQ(sites[0].module, "l2ptTask");
    EXPECT_EQ(sites[1].module, "l2pt_BCM");
    EXPECT_EQ(sites[1].line, 12);
    EXPECT_EQ(sites[1].blocks, 1u);
    EXPECT_EQ(sites[2].line, 1793);
    EXPECT_EQ(sites[2].blocks, 1u);
    EXPECT_EQ(ozm::mem::blocksInUse(), 3u);
}

TEST_F(MemTest, DeletingAPoolReportsEveryHoldingSite) {
    ASSERT_EQ(ozmMC_M_memPoolCreate("L2PT_IFNODE_POOL", kPoolA, 0, 20), 0);
    alloc(kPoolA, "l2pt_BCM", 1793);
    void* held = alloc(kPoolA, "l2pt_BCM", 1793);
    alloc(kPoolA, "l2ptTask", 5);
    ASSERT_EQ(M_memPoolFree("l2ptUtil", 851, kPoolA, 0), 0);

    EXPECT_EQ(fake->reports,
              (std::vector<std::string>{"pool L2PT_IFNODE_POOL: 2 blocks held by l2pt_BCM:1793",
                                        "pool L2PT_IFNODE_POOL: 1 block held by l2ptTask:5"}));
    EXPECT_TRUE(ozm::mem::stats().empty());
    // The memory is gone: a late free is a foreign pointer, reported, not a crash.
    EXPECT_EQ(ozmMC_M_memBlockFree("l2ptTask", 772, held), -1);
    EXPECT_EQ(M_memPoolFree("l2ptUtil", 851, kPoolA, 0), -1);

    uint32_t sizes[] = {8192, 64};
    ASSERT_EQ(ozmMC_ozm_memPartVarInit(kPart, 0, sizes, 2), 0);
    ozmMC_M_memBlockVarAlloc("l2pt_BCM", 40, 6, 8192, kPart, 0, 0);
    fake->reports.clear();
    ASSERT_EQ(ozm_memPartVarDelete(kPart, 0), 0);
    EXPECT_EQ(fake->reports,
              std::vector<std::string>{"pool var:8192: 1 block held by l2pt_BCM:40"});
    EXPECT_EQ(ozm::mem::blocksInUse(), 0u);
}

TEST_F(MemTest, BadReleasesAreReportedAndChangeNothing) {
    ASSERT_EQ(ozmMC_M_memPoolCreate("P", kPoolA, 0, 20), 0);
    uint32_t sizes[] = {64};
    ASSERT_EQ(ozmMC_ozm_memPartVarInit(kPart, 0, sizes, 1), 0);
    auto* p = static_cast<uint8_t*>(alloc(kPoolA));
    void* v = ozmMC_M_memBlockVarAlloc("m", 1, 6, 10, kPart, 0, 0);
    ASSERT_EQ(ozmMC_M_memBlockFree("m", 1, p), 0);
    int local = 0;

    EXPECT_EQ(ozmMC_M_memBlockFree("m", 2, p), -1);                 // double free
    EXPECT_EQ(ozmMC_M_memBlockFree("m", 3, &local), -1);            // foreign
    EXPECT_EQ(ozmMC_M_memBlockFree("m", 4, nullptr), -1);           // null
    EXPECT_EQ(ozmMC_M_memBlockFree("m", 5, v), -1);                 // variable block, fixed free
    EXPECT_EQ(ozmMC_M_memBlockVarFree("m", 6, alloc(kPoolA)), -1);  // and the other way
    void* q = alloc(kPoolA);
    EXPECT_EQ(ozmMC_M_memBlockFree("m", 7, static_cast<uint8_t*>(q) + 4), -1);  // interior
    ASSERT_EQ(fake->reports.size(), 6u);
    EXPECT_NE(fake->reports[0].find("double free"), std::string::npos);
    EXPECT_NE(fake->reports[0].find("m:2"), std::string::npos);
    EXPECT_NE(fake->reports[1].find("foreign"), std::string::npos);
    EXPECT_NE(fake->reports[3].find("not a fixed block"), std::string::npos);

    EXPECT_EQ(statsOf("P").inUse, 2u);
    EXPECT_EQ(ozmMC_M_memBlockVarFree("m", 8, v), 0);
    EXPECT_EQ(ozmMC_M_memBlockFree("m", 9, q), 0);
}

TEST_F(MemTest, VariableRequestTakesTheSmallestClassThatFits) {
    uint32_t sizes[] = {9300, 8192, 2048, 32};
    ASSERT_EQ(ozmMC_ozm_memPartVarInit(kPart, 0, sizes, 4), 0);
    auto classOf = [](uint32_t size) -> std::string {
        void* p = ozmMC_M_memBlockVarAlloc("m", 1, 6, size, kPart, 0, 0);
        if (p == nullptr) {
            return "none";
        }
        std::string name;
        for (const auto& s : ozm::mem::stats()) {
            if (s.inUse != 0) {
                name = s.name;
            }
        }
        ozmMC_M_memBlockVarFree("m", 1, p);
        return name;
    };
    EXPECT_EQ(classOf(0), "var:32");
    EXPECT_EQ(classOf(32), "var:32");
    EXPECT_EQ(classOf(33), "var:2048");
    EXPECT_EQ(classOf(8192), "var:8192");
    EXPECT_EQ(classOf(8193), "var:9300");
    EXPECT_EQ(classOf(9300), "var:9300");
    EXPECT_EQ(classOf(9301), "none");
    EXPECT_EQ(fake->reports.size(), 1u);

    // Each class has its own capacity.
    ASSERT_EQ(ozm_memPartVarDelete(kPart, 0), 0);
    fake->capacities["var:32"] = 1;
    ASSERT_EQ(ozmMC_ozm_memPartVarInit(kPart, 0, sizes, 4), 0);
    EXPECT_NE(ozmMC_M_memBlockVarAlloc("m", 1, 6, 8, kPart, 0, 0), nullptr);
    EXPECT_EQ(ozmMC_M_memBlockVarAlloc("m", 1, 6, 8, kPart, 0, 0), nullptr);
    EXPECT_NE(ozmMC_M_memBlockVarAlloc("m", 1, 6, 100, kPart, 0, 0), nullptr);
    EXPECT_EQ(statsOf("var:32").failures, 1u);
}

TEST_F(MemTest, NamedFaultsRefuseAllocationAndCreation) {
    ASSERT_EQ(ozmMC_M_memPoolCreate("P", kPoolA, 0, 20), 0);
    uint32_t sizes[] = {2048, 64};
    ASSERT_EQ(ozmMC_ozm_memPartVarInit(kPart, 0, sizes, 2), 0);

    fake->faults = {"pool:P", "var:2048"};
    EXPECT_EQ(alloc(kPoolA), nullptr);
    EXPECT_EQ(ozmMC_M_memBlockVarAlloc("m", 1, 6, 1000, kPart, 0, 0), nullptr);
    EXPECT_NE(ozmMC_M_memBlockVarAlloc("m", 1, 6, 10, kPart, 0, 0), nullptr);
    fake->faults = {"var"};
    EXPECT_EQ(ozmMC_M_memBlockVarAlloc("m", 1, 6, 10, kPart, 0, 0), nullptr);
    EXPECT_EQ(statsOf("P").failures, 1u);

    fake->faults = {"ozm_memPartFixedInit", "ozmMC_ozm_memPartVarInit", "pool-create:Q",
                    "pool-delete:P", "ozm_memPartVarDelete"};
    EXPECT_EQ(ozm_memPartFixedInit(0x600000, 0x600002, 0), -1);
    EXPECT_EQ(ozmMC_ozm_memPartVarInit(0x600000, 0, sizes, 2), -1);
    EXPECT_EQ(ozmMC_M_memPoolCreate("Q", kPoolB, 0, 20), -1);
    EXPECT_EQ(M_memPoolFree("m", 1, kPoolA, 0), -1);
    EXPECT_EQ(ozm_memPartVarDelete(kPart, 0), -1);
    fake->faults.clear();
    EXPECT_NE(alloc(kPoolA), nullptr);  // still there
    EXPECT_EQ(M_memPoolFree("m", 1, kPoolA, 0), 0);
}

TEST_F(MemTest, CreationRules) {
    EXPECT_EQ(ozmMC_M_memPoolCreate("P", kPoolA, 0, 20), 0);
    EXPECT_EQ(ozmMC_M_memPoolCreate("P", kPoolA, 0, 20), -1);      // twice
    EXPECT_EQ(ozmMC_M_memPoolCreate("R", kPoolA, 0, 20), -1);      // id taken
    EXPECT_EQ(ozmMC_M_memPoolCreate("R", kPart + 5, 0, 20), -1);   // outside the partition
    EXPECT_EQ(ozm_memPartFixedInit(kPart + 4, kPart + 9, 0), -1);  // overlaps
    EXPECT_EQ(ozm_memPartFixedInit(kPart + 5, kPart + 9, 0), 0);
    EXPECT_EQ(ozmMC_M_memPoolCreate("R", kPart + 5, 0, 20), 0);
    uint32_t sizes[] = {64};
    EXPECT_EQ(ozmMC_ozm_memPartVarInit(kPart, 0, sizes, 1), 0);
    EXPECT_EQ(ozmMC_ozm_memPartVarInit(kPart, 0, sizes, 1), -1);
    EXPECT_EQ(ozmMC_ozm_memPartVarInit(kPart + 1, 0, sizes, 0), -1);
}

}  // namespace
