// The task's memory as every subsystem takes it: the partition and pool ids, allocation tags and
// module labels, and the sequenced-queue service's buffer callbacks.
#pragma once

#include <cstdint>
#include <new>

#include "platform/mem.h"

inline constexpr uint32_t L2PT_MEM_PART_ID = 0x520000;
inline constexpr uint32_t L2PT_IFNODE_POOL_ID = 0x520000;
inline constexpr uint32_t L2PT_VMAN_POOL_ID = 0x520001;
inline constexpr uint32_t L2PT_CORE_PORT_POOL_ID = 0x520002;
inline constexpr uint32_t L2PT_DEBUGNODE_POOL_ID = 0x520003;
inline constexpr uint32_t L2PT_ACCESS_PORT_POOL_ID = 0x520004;
inline constexpr uint32_t L2PT_POOL_ID_END = 0x520005;

// Allocation tags of the pools, and of the variable-size blocks.
inline constexpr int L2PT_TAG_IFNODE = 1;
inline constexpr int L2PT_TAG_VMAN = 2;
inline constexpr int L2PT_TAG_CORE_PORT = 3;
inline constexpr int L2PT_TAG_DEBUGNODE = 4;
inline constexpr int L2PT_TAG_ACCESS_PORT = 5;
inline constexpr int L2PT_TAG_VAR = 6;

// Module labels of the allocations, for the platform's accounting.
inline constexpr const char* L2PT_MOD_TASK = "l2ptTask";
inline constexpr const char* L2PT_MOD_UTIL = "l2ptUtil";
inline constexpr const char* L2PT_MOD_CLI = "l2ptCli";
inline constexpr const char* L2PT_MOD_BCM = "l2pt_BCM";

// The sequenced-queue service's buffers, from the variable-size blocks.
void* l2ptSwpMalloc(uint32_t size);
int l2ptSwpMfree(void* block);

// A zeroed record of type T from one of the pools, or null when the pool is exhausted.
template <class T>
T* l2ptAllocRecord(const char* module, int line, int tag, uint32_t poolId) {
    void* block = ozmMC_M_memBlockAlloc(module, line, tag, sizeof(T), poolId, 0, 0);
    return block != nullptr ? new (block) T{} : nullptr;
}
