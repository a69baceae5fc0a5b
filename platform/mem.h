// Memory partitions: named fixed-block pools and the variable-size partition.
// Every allocation and release names a module label and a call site for the accounting.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

int ozm_memPartFixedInit(uint32_t firstPoolId, uint32_t endPoolId, uint32_t owner);
int ozmMC_ozm_memPartVarInit(uint32_t partId, uint32_t owner, const uint32_t* sizes, int count);
int ozmMC_M_memPoolCreate(const char* name, uint32_t poolId, int flags, uint32_t blockSize);
// Deletes a pool; blocks still held are reported to the platform's report sink.
int M_memPoolFree(const char* module, int line, uint32_t poolId, int flags);
int ozm_memPartVarDelete(uint32_t partId, int flags);
// NULL when the pool is exhausted, unknown, or the size exceeds its block size.
void* ozmMC_M_memBlockAlloc(const char* module, int line, int tag, uint32_t size, uint32_t poolId,
                            int a6, int a7);
int ozmMC_M_memBlockFree(const char* module, int line, void* block);
// NULL when no size class fits or the class is exhausted.
void* ozmMC_M_memBlockVarAlloc(const char* module, int line, int tag, uint32_t size,
                               uint32_t partId, int a6, int a7);
int ozmMC_M_memBlockVarFree(const char* module, int line, void* block);

namespace ozm::mem {

// Live blocks of one allocation site.
struct SiteCount {
    std::string module;
    int line;
    uint32_t blocks;
};

struct PoolStats {
    std::string name;  // pool name, or "var:<size class>"
    uint32_t id;
    uint32_t blockSize;
    uint32_t capacity;  // blocks the pool may hand out at once
    uint32_t inUse;
    uint32_t peak;
    uint64_t allocs;
    uint64_t failures;  // allocations refused (exhausted or forced)
    std::vector<SiteCount> sites;
};

// Every fixed pool and size class that exists now.
std::vector<PoolStats> stats();
// Total blocks held in all pools and classes.
uint32_t blocksInUse();

// Default capacity of a fixed pool or size class when the backend names none.
inline constexpr uint32_t kDefaultPoolCapacity = 1u << 20;

}  // namespace ozm::mem
