// Fixed pools and variable size classes: capacity, accounting, leak reports and bad releases.
#include <algorithm>
#include <cstring>
#include <tuple>

#include "fake_backend.h"
#include "platform/mem.h"

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
    static void* alloc(uint32_t pool, const char* module = "m", int line = 1) {
        return ozmMC_M_memBlockAlloc(module, line, 1, 20, pool, 0, 0);
    }
};

TEST_F(MemTest, FixedPoolHandsOutDistinctBlocksUpToItsCapacity) {
    fake->capacities["P"] = 300;  // several chunks
    ASSERT_EQ(ozmMC_M_memPoolCreate("P", kPoolA, 0, 20), 0);
    std::vector<uint8_t*> blocks;
    for (int i = 0; i < 300; ++i) {
        blocks.push_back(static_cast<uint8_t*>(alloc(kPoolA)));
        ASSERT_NE(blocks.back(), nullptr);
        std::memset(blocks.back(), 0xA5, 20);  // the sanitizer build sees a block out of its chunk
    }
    EXPECT_EQ(alloc(kPoolA), nullptr);
    std::vector<uint8_t*> sorted = blocks;
    std::sort(sorted.begin(), sorted.end());
    for (size_t i = 1; i < sorted.size(); ++i)
        ASSERT_GE(sorted[i] - sorted[i - 1], 20) << "blocks overlap";
    EXPECT_EQ(ozmMC_M_memBlockFree("m", 2, blocks[7]), 0);
    EXPECT_NE(alloc(kPoolA), nullptr);
    // Larger than the block size, and unknown pools, are refused.
    EXPECT_EQ(ozmMC_M_memBlockAlloc("m", 1, 1, 21, kPoolA, 0, 0), nullptr);
    EXPECT_EQ(alloc(kPoolB), nullptr);

    auto s = ozm::mem::stats().at(0);
    EXPECT_EQ(std::tuple(s.inUse, s.peak, s.allocs, s.failures), std::tuple(300u, 300u, 301u, 2u));
}

TEST_F(MemTest, BlocksStillHeldAreReportedBySiteWhenTheirPoolGoes) {
    ASSERT_EQ(ozmMC_M_memPoolCreate("L2PT_IFNODE_POOL", kPoolA, 0, 20), 0);
    void* freed = alloc(kPoolA, "l2pt_BCM", 1793);
    alloc(kPoolA, "l2pt_BCM", 1793);
    void* held = alloc(kPoolA, "l2pt_BCM", 1793);
    alloc(kPoolA, "l2ptTask", 5);
    alloc(kPoolA, "l2pt_BCM", 12);
    ASSERT_EQ(ozmMC_M_memBlockFree("x", 9, freed), 0);
    ASSERT_EQ(M_memPoolFree("l2ptUtil", 851, kPoolA, 0), 0);
    EXPECT_EQ(fake->reports,
              (std::vector<std::string>{"pool L2PT_IFNODE_POOL: 2 blocks held by l2pt_BCM:1793",
                                        "pool L2PT_IFNODE_POOL: 1 block held by l2ptTask:5",
                                        "pool L2PT_IFNODE_POOL: 1 block held by l2pt_BCM:12"}));
    EXPECT_TRUE(ozm::mem::stats().empty());
    // The memory is gone: a late free is a foreign pointer, reported, not a crash.
    EXPECT_EQ(ozmMC_M_memBlockFree("l2ptTask", 772, held), -1);
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
    EXPECT_EQ(ozmMC_M_memBlockFree("m", 7, static_cast<uint8_t*>(q) + 4), -1);   // interior
    EXPECT_EQ(ozmMC_M_memBlockFree("m", 8, static_cast<uint8_t*>(q) + 32), -1);  // never handed out
    ASSERT_EQ(fake->reports.size(), 7u);
    EXPECT_NE(fake->reports[0].find("double free"), std::string::npos);

    EXPECT_EQ(ozm::mem::stats().at(0).inUse, 2u);  // fixed pools come first
    EXPECT_EQ(ozmMC_M_memBlockVarFree("m", 8, v), 0);
    EXPECT_EQ(ozmMC_M_memBlockFree("m", 9, q), 0);
}

TEST_F(MemTest, VariableRequestTakesTheSmallestClassThatFits) {
    uint32_t sizes[] = {9300, 8192, 2048, 32, 0};
    fake->capacities["var:32"] = 2;
    ASSERT_EQ(ozmMC_ozm_memPartVarInit(kPart, 0, sizes, 5), -1);  // no class of 0 bytes
    ASSERT_EQ(ozmMC_ozm_memPartVarInit(kPart, 0, sizes, 4), 0);
    auto varAlloc = [](uint32_t size) {
        return ozmMC_M_memBlockVarAlloc("m", 1, 6, size, kPart, 0, 0);
    };
    for (uint32_t size : {0u, 32u, 33u, 8192u, 8193u, 9300u})
        EXPECT_NE(varAlloc(size), nullptr) << size;
    EXPECT_EQ(varAlloc(9301), nullptr);
    EXPECT_EQ(fake->reports.size(), 1u);  // no class holds it
    std::vector<uint32_t> inUse;
    for (const auto& s : ozm::mem::stats())
        inUse.push_back(s.inUse);
    EXPECT_EQ(inUse, (std::vector<uint32_t>{2, 1, 1, 2}));  // 32, 2048, 8192, 9300

    EXPECT_EQ(varAlloc(8), nullptr);  // the class's own capacity
    fake->reports.clear();
    ASSERT_EQ(ozm_memPartVarDelete(kPart, 0), 0);
    EXPECT_EQ(fake->reports.at(2), "pool var:8192: 1 block held by m:1");
    EXPECT_EQ(ozm::mem::blocksInUse(), 0u);
}

}  // namespace
