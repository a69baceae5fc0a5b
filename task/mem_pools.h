// Creation and deletion of the task's memory partition and pools, at start-up and shutdown.
#pragma once

#include <cstdint>

#include "base/pools.h"

// 0 when all pools exist, -1 after the first failure (nothing created before it is undone).
int l2ptCreateMemPools();
// 0 when the partition and all five pools were deleted; otherwise one bit per failure.
uint32_t l2ptDeleteMemPools();
