// Creation and deletion of the task's memory partition and pools.
#include "task/mem_pools.h"

#include "base/tcb.h"
#include "diagnostics/debug_filter.h"
#include "platform/console.h"
#include "platform/mem.h"
#include "state/records.h"

namespace {

// Size classes of the variable-size blocks, largest first.
constexpr uint32_t kVarSizes[] = {9300, 8192, 2048, 1516, 1024, 512, 256, 128, 64, 32};
constexpr int kVarSizeCount = sizeof(kVarSizes) / sizeof(kVarSizes[0]);

struct PoolDef {
    const char* name;
    uint32_t id;
    uint32_t blockSize;
    const char* createError;
    int deleteLine;
};

const PoolDef kPools[] = {
    {"L2PT_IFNODE_POOL", L2PT_IFNODE_POOL_ID, sizeof(L2ptIfNode),
     "ozm_memPoolCreate(L2PT_IFNODE_POOL) error", 851},
    {"L2PT_VMAN_POOL", L2PT_VMAN_POOL_ID, sizeof(L2ptVmanEntry),
     "ozm_memPoolCreate(L2PT_VMAN_POOL) error", 856},
    {"L2PT_CORE_PORT_POOL", L2PT_CORE_PORT_POOL_ID, sizeof(L2ptCorePort),
     "ozm_memPoolCreate(L2PT_CORE_PORT_POOL) error", 861},
    {"L2PT_DEBUGNODE_POOL", L2PT_DEBUGNODE_POOL_ID, sizeof(L2ptDebugNode),
     "ozm_memPoolCreate(L2PT_DEBUGNODE_POOL) error", 866},
    {"L2PT_ACCESS_PORT_POOL", L2PT_ACCESS_PORT_POOL_ID, sizeof(L2ptAccessPort),
     "ozm_memPoolCreate(L2PT_ACCESS_PORT_POOL) error", 871},
};

}  // namespace

int l2ptCreateMemPools() {
    if (ozm_memPartFixedInit(L2PT_MEM_PART_ID, L2PT_POOL_ID_END, ozmL2ptTcbNode.instanceId) == -1) {
        ozmPerror("L2PT ozm_memPartFixedInit error");
        return -1;
    }
    if (ozmMC_ozm_memPartVarInit(L2PT_MEM_PART_ID, ozmL2ptTcbNode.instanceId, kVarSizes,
                                 kVarSizeCount) == -1) {
        ozmPerror("L2PT ozm_memPartVarInit error");
        return -1;
    }
    for (const PoolDef& pool : kPools) {
        if (ozmMC_M_memPoolCreate(pool.name, pool.id, 0, pool.blockSize) == -1) {
            ozmPerror(pool.createError);
            return -1;
        }
    }
    return 0;
}

uint32_t l2ptDeleteMemPools() {
    uint32_t result = ozm_memPartVarDelete(L2PT_MEM_PART_ID, 0) != 0 ? 1 : 0;
    for (const PoolDef& pool : kPools) {
        if (M_memPoolFree(L2PT_MOD_UTIL, pool.deleteLine, pool.id, 0) != 0) {
            result = result << 1 | 1;
        }
    }
    return result;
}
