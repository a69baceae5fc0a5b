// Memory partitions: named fixed-block pools and the size classes of variable partitions, with
// per-site accounting. Releases are checked against the live blocks, so a double free or a
// foreign pointer is reported instead of corrupting a pool.
#include "platform/mem.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <string>

#include "platform/backend.h"
#include "platform/src/state.h"

namespace {

using ozm::detail::BlockKind;
using ozm::detail::MemState;
using ozm::detail::Pool;

constexpr uint32_t kFirstChunkBlocks = 32;
constexpr size_t kBlockAlign = alignof(std::max_align_t);

MemState& mem() {
    return ozm::detail::state().mem;
}

void report(const std::string& text) {
    ozm::backend().report(text);
}

std::string siteText(const char* module, int line) {
    return std::string(module != nullptr ? module : "?") + ":" + std::to_string(line);
}

std::string addressText(const void* p) {
    char text[2 + 2 * sizeof(void*) + 1];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

// Chunk k starts at block kFirstChunkBlocks * (2^k - 1).
uint64_t chunkFirst(uint32_t k) {
    return uint64_t{kFirstChunkBlocks} * ((uint64_t{1} << k) - 1);
}
uint32_t chunkOf(uint32_t block) {
    return static_cast<uint32_t>(std::bit_width(uint64_t{block} / kFirstChunkBlocks + 1) - 1);
}
uint64_t chunkBlocks(const Pool& pool, uint32_t k) {
    uint64_t first = chunkFirst(k);
    return std::min<uint64_t>(uint64_t{kFirstChunkBlocks} << k, pool.capacity - first);
}

std::byte* blockAddress(const Pool& pool, uint32_t block) {
    uint32_t k = chunkOf(block);
    return pool.chunks[k].get() + (block - chunkFirst(k)) * pool.stride;
}

std::unique_ptr<Pool> makePool(std::string name, std::string faultPoint, uint32_t id,
                               uint32_t blockSize, BlockKind kind) {
    auto pool = std::make_unique<Pool>();
    uint32_t capacity = ozm::poolCapacity(name);
    pool->name = std::move(name);
    pool->faultPoint = std::move(faultPoint);
    pool->id = id;
    pool->blockSize = blockSize;
    pool->stride = (blockSize + kBlockAlign - 1) / kBlockAlign * kBlockAlign;
    pool->capacity = capacity != 0 ? capacity : ozm::mem::kDefaultPoolCapacity;
    pool->kind = kind;
    return pool;
}

uint32_t siteIndex(Pool& pool, const char* module, int line) {
    const char* label = module != nullptr ? module : "?";
    if (pool.lastSite < pool.sites.size()) {
        const ozm::detail::PoolSite& last = pool.sites[pool.lastSite];
        if (last.line == line && last.module == label) {
            return pool.lastSite;
        }
    }
    auto [it, added] =
        pool.siteIndex.try_emplace(siteText(label, line), static_cast<uint32_t>(pool.sites.size()));
    if (added) {
        pool.sites.push_back({label, line, 0});
    }
    pool.lastSite = it->second;
    return it->second;
}

// A free block of the pool, carving a new chunk when the carved ones are used up; null when the
// pool is at its capacity or the memory cannot be had.
std::byte* takeBlock(Pool& pool, uint32_t& block) {
    if (!pool.freeList.empty()) {
        block = pool.freeList.back();
        pool.freeList.pop_back();
        return blockAddress(pool, block);
    }
    if (pool.carved >= pool.capacity) {
        return nullptr;
    }
    block = pool.carved;
    uint32_t k = chunkOf(block);
    if (k == pool.chunks.size()) {
        size_t bytes = chunkBlocks(pool, k) * pool.stride;
        pool.chunks.push_back(std::make_unique_for_overwrite<std::byte[]>(bytes));
        mem().chunkAt.emplace(reinterpret_cast<uintptr_t>(pool.chunks.back().get()),
                              ozm::detail::ChunkRef{&pool, k});
    }
    ++pool.carved;
    pool.siteOf.push_back(ozm::detail::kFreeBlock);
    return blockAddress(pool, block);
}

void* allocate(Pool& pool, const char* module, int line) {
    uint32_t block = 0;
    std::byte* p = ozm::fault(pool.faultPoint) ? nullptr : takeBlock(pool, block);
    if (p == nullptr) {
        ++pool.failures;
        return nullptr;
    }
    uint32_t site = siteIndex(pool, module, line);
    pool.siteOf[block] = site;
    ++pool.sites[site].blocks;
    ++pool.allocs;
    pool.peak = std::max(pool.peak, ++pool.inUse);
    return p;
}

const char* kindName(BlockKind kind) {
    return kind == BlockKind::Fixed ? "fixed" : "variable";
}

// Returns a live block of the given kind to its pool; anything else is reported and refused.
int release(BlockKind kind, const char* module, int line, void* p) {
    auto by = [&] { return " by " + siteText(module, line); };
    if (p == nullptr) {
        report("free of a null block" + by());
        return -1;
    }
    MemState& m = mem();
    auto addr = reinterpret_cast<uintptr_t>(p);
    auto it = m.chunkAt.upper_bound(addr);
    if (it == m.chunkAt.begin()) {
        report("free of foreign pointer " + addressText(p) + by());
        return -1;
    }
    --it;
    Pool& pool = *it->second.pool;
    uint32_t k = it->second.chunk;
    uintptr_t offset = addr - it->first;
    if (offset >= chunkBlocks(pool, k) * pool.stride || offset % pool.stride != 0) {
        report("free of foreign pointer " + addressText(p) + by());
        return -1;
    }
    if (pool.kind != kind) {
        report("free of " + addressText(p) + by() + ": a block of " + kindName(pool.kind) +
               " pool " + pool.name + ", not a " + kindName(kind) + " block");
        return -1;
    }
    auto block = static_cast<uint32_t>(chunkFirst(k) + offset / pool.stride);
    if (block >= pool.carved || pool.siteOf[block] == ozm::detail::kFreeBlock) {
        report("double free of " + addressText(p) + " in pool " + pool.name + by());
        return -1;
    }
    --pool.sites[pool.siteOf[block]].blocks;
    pool.siteOf[block] = ozm::detail::kFreeBlock;
    pool.freeList.push_back(block);
    --pool.inUse;
    return 0;
}

// Reports every site still holding blocks of a pool about to go, then drops its memory.
void destroyPool(std::unique_ptr<Pool> pool) {
    for (const ozm::detail::PoolSite& site : pool->sites) {
        if (site.blocks != 0) {
            report("pool " + pool->name + ": " + std::to_string(site.blocks) +
                   (site.blocks == 1 ? " block" : " blocks") + " held by " + site.module + ":" +
                   std::to_string(site.line));
        }
    }
    for (const auto& chunk : pool->chunks) {
        mem().chunkAt.erase(reinterpret_cast<uintptr_t>(chunk.get()));
    }
}

Pool* fixedPool(uint32_t poolId) {
    auto& pools = mem().pools;
    auto it = pools.find(poolId);
    return it != pools.end() ? it->second.get() : nullptr;
}

ozm::mem::PoolStats statsOf(const Pool& pool) {
    ozm::mem::PoolStats s{pool.name,     pool.id,       pool.blockSize,
                          pool.capacity, pool.inUse,    pool.peak,
                          pool.allocs,   pool.failures, {}};
    for (const ozm::detail::PoolSite& site : pool.sites) {
        if (site.blocks != 0) {
            s.sites.push_back({site.module, site.line, site.blocks});
        }
    }
    std::sort(s.sites.begin(), s.sites.end(), [](const auto& a, const auto& b) {
        return a.module != b.module ? a.module < b.module : a.line < b.line;
    });
    return s;
}

}  // namespace

int ozm_memPartFixedInit(uint32_t firstPoolId, uint32_t endPoolId, uint32_t owner) {
    if (ozm::fault("ozm_memPartFixedInit") || endPoolId <= firstPoolId) {
        return -1;
    }
    auto& parts = mem().fixedPartitions;
    for (const ozm::detail::FixedPartition& part : parts) {
        if (firstPoolId < part.end && part.first < endPoolId) {
            return -1;
        }
    }
    parts.push_back({firstPoolId, endPoolId, owner});
    return 0;
}

int ozmMC_ozm_memPartVarInit(uint32_t partId, uint32_t owner, const uint32_t* sizes, int count) {
    if (ozm::fault("ozmMC_ozm_memPartVarInit") || sizes == nullptr || count <= 0 ||
        mem().varPartitions.contains(partId)) {
        return -1;
    }
    std::vector<uint32_t> classes(sizes, sizes + count);
    std::sort(classes.begin(), classes.end());
    classes.erase(std::unique(classes.begin(), classes.end()), classes.end());
    if (classes.front() == 0) {
        return -1;
    }
    ozm::detail::VarPartition part{owner, {}};
    for (uint32_t size : classes) {
        std::string name = "var:" + std::to_string(size);
        std::string faultPoint = name;
        part.classes.push_back(
            makePool(std::move(name), std::move(faultPoint), partId, size, BlockKind::Variable));
    }
    mem().varPartitions.emplace(partId, std::move(part));
    return 0;
}

int ozmMC_M_memPoolCreate(const char* name, uint32_t poolId, int /*flags*/, uint32_t blockSize) {
    if (name == nullptr || *name == '\0' || blockSize == 0) {
        return -1;
    }
    std::string poolName = name;
    if (ozm::fault("pool-create:" + poolName)) {
        return -1;
    }
    MemState& m = mem();
    bool inPartition =
        std::any_of(m.fixedPartitions.begin(), m.fixedPartitions.end(),
                    [&](const auto& p) { return poolId >= p.first && poolId < p.end; });
    bool nameTaken = std::any_of(m.pools.begin(), m.pools.end(),
                                 [&](const auto& p) { return p.second->name == poolName; });
    if (!inPartition || nameTaken || m.pools.contains(poolId)) {
        return -1;
    }
    std::string faultPoint = "pool:" + poolName;
    m.pools.emplace(poolId, makePool(std::move(poolName), std::move(faultPoint), poolId, blockSize,
                                     BlockKind::Fixed));
    return 0;
}

int M_memPoolFree(const char* /*module*/, int /*line*/, uint32_t poolId, int /*flags*/) {
    auto& pools = mem().pools;
    auto it = pools.find(poolId);
    if (it == pools.end() || ozm::fault("pool-delete:" + it->second->name)) {
        return -1;
    }
    std::unique_ptr<Pool> pool = std::move(it->second);
    pools.erase(it);
    destroyPool(std::move(pool));
    return 0;
}

int ozm_memPartVarDelete(uint32_t partId, int /*flags*/) {
    auto& parts = mem().varPartitions;
    auto it = parts.find(partId);
    if (it == parts.end() || ozm::fault("ozm_memPartVarDelete")) {
        return -1;
    }
    ozm::detail::VarPartition part = std::move(it->second);
    parts.erase(it);
    for (auto& sizeClass : part.classes) {
        destroyPool(std::move(sizeClass));
    }
    return 0;
}

void* ozmMC_M_memBlockAlloc(const char* module, int line, int /*tag*/, uint32_t size,
                            uint32_t poolId, int, int) {
    Pool* pool = fixedPool(poolId);
    if (pool == nullptr) {
        return nullptr;
    }
    if (size > pool->blockSize) {
        ++pool->failures;
        report("pool " + pool->name + ": " + std::to_string(size) + " bytes asked of blocks of " +
               std::to_string(pool->blockSize) + " by " + siteText(module, line));
        return nullptr;
    }
    return allocate(*pool, module, line);
}

int ozmMC_M_memBlockFree(const char* module, int line, void* block) {
    return release(BlockKind::Fixed, module, line, block);
}

void* ozmMC_M_memBlockVarAlloc(const char* module, int line, int /*tag*/, uint32_t size,
                               uint32_t partId, int, int) {
    auto& parts = mem().varPartitions;
    auto it = parts.find(partId);
    if (it == parts.end()) {
        return nullptr;
    }
    auto& classes = it->second.classes;
    auto fit = std::lower_bound(classes.begin(), classes.end(), size,
                                [](const auto& c, uint32_t s) { return c->blockSize < s; });
    if (fit == classes.end()) {
        report("variable partition " + std::to_string(partId) + ": no size class holds " +
               std::to_string(size) + " bytes, asked by " + siteText(module, line));
        return nullptr;
    }
    Pool& sizeClass = **fit;
    if (ozm::fault("var")) {
        ++sizeClass.failures;
        return nullptr;
    }
    return allocate(sizeClass, module, line);
}

int ozmMC_M_memBlockVarFree(const char* module, int line, void* block) {
    return release(BlockKind::Variable, module, line, block);
}

namespace ozm::mem {

std::vector<PoolStats> stats() {
    std::vector<PoolStats> all;
    MemState& m = ::mem();
    for (const auto& [id, pool] : m.pools) {
        all.push_back(statsOf(*pool));
    }
    for (const auto& [id, part] : m.varPartitions) {
        for (const auto& sizeClass : part.classes) {
            all.push_back(statsOf(*sizeClass));
        }
    }
    return all;
}

uint32_t blocksInUse() {
    uint32_t total = 0;
    MemState& m = ::mem();
    for (const auto& [id, pool] : m.pools) {
        total += pool->inUse;
    }
    for (const auto& [id, part] : m.varPartitions) {
        for (const auto& sizeClass : part.classes) {
            total += sizeClass->inUse;
        }
    }
    return total;
}

}  // namespace ozm::mem
