// Per-port debug filters of the PDU trace, and their lines in the running configuration.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "platform/cfg.h"
#include "platform/dll.h"

inline constexpr uint8_t L2PT_DEBUG_DIR_BOTH = 0;
inline constexpr uint8_t L2PT_DEBUG_DIR_IN = 1;
inline constexpr uint8_t L2PT_DEBUG_DIR_OUT = 2;
inline constexpr uint32_t L2PT_CFG_KEY = 371;  // the task's section of the configuration

struct L2ptDebugNode {
    OzmDllNode links;
    uint32_t ifIndex;
    uint32_t vlan;       // 0 = any VLAN
    uint16_t cfg_count;  // 0 = no limit
    uint16_t cur_count;  // PDUs still to trace, 0 = no limit
    uint8_t direction;
};

// Reached from the list's links, which it begins with.
static_assert(std::is_standard_layout_v<L2ptDebugNode> && offsetof(L2ptDebugNode, links) == 0);

struct L2ptDebugData {
    OzmDllList list;          // newest first
    uint8_t headerInstalled;  // the "L2PT:" header line stands; tracing only while it does
};

extern L2ptDebugData l2ptDebugData;

L2ptDebugNode* l2ptGetDebugNode(uint32_t ifIndex);
void l2ptDebugConfigCreate(uint32_t ifIndex, const char* text, OzmCfgEntry* entry);
// Inserts (insert 1) or removes (0) the line of a port (ifIndex 0: the header); 0 when done.
int l2ptDebugConfigAdd(uint32_t ifIndex, const char* text, OzmCfgEntry* entry, int insert);
void l2ptDebugConfigRemoveAll();
// Drops one filter and its configuration line; the header goes with the last filter.
void l2ptRemoveDebugNode(L2ptDebugNode* node);
// Inserts the section's header line unless it stands already.
void l2ptInstallDebugHeader();
// Removes the header line once no filter is left.
void l2ptRemoveDebugHeaderIfEmpty();
