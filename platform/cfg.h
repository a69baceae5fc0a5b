// The switch's configuration tree (running configuration).
#pragma once

#include <cstddef>
#include <cstdint>

// One entry handed to the tree: key components, the key's length and the line's text.
struct OzmCfgEntry {
    uint32_t key[64];  // key components
    uint32_t keyTag;   // offset 256
    uint32_t reserved;
    uint32_t keyLen;  // offset 264: key length in bytes
    char text[284];   // offset 268: NUL-terminated line
};
static_assert(sizeof(OzmCfgEntry) == 552);
static_assert(offsetof(OzmCfgEntry, keyTag) == 256);
static_assert(offsetof(OzmCfgEntry, keyLen) == 264);
static_assert(offsetof(OzmCfgEntry, text) == 268);

inline constexpr size_t OZM_CFG_TEXT_MAX = 281;

int ozmCfgInsert(uint32_t taskKey, OzmCfgEntry* entry);       // insert or replace the line
int ozmCfgRemoveExact(uint32_t taskKey, OzmCfgEntry* entry);  // remove the line of the key
int ozmCfgRemoveNode(uint32_t taskKey, OzmCfgEntry* entry);   // remove every line under the key
