// The sequenced-queue service's buffers, from the task's variable-size blocks.
#include "base/pools.h"

namespace {

// Call sites of the sequenced-queue buffers, for the platform's accounting.
constexpr int kSiteSwpMalloc = 694;
constexpr int kSiteSwpMfree = 712;

}  // namespace

void* l2ptSwpMalloc(uint32_t size) {
    return ozmMC_M_memBlockVarAlloc(L2PT_MOD_UTIL, kSiteSwpMalloc, L2PT_TAG_VAR, size,
                                    L2PT_MEM_PART_ID, 0, 0);
}

int l2ptSwpMfree(void* block) {
    return ozmMC_M_memBlockVarFree(L2PT_MOD_UTIL, kSiteSwpMfree, block);
}
