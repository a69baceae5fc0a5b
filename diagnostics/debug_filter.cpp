// Debug filters: the list, and the lines the task keeps in the running configuration.
#include "diagnostics/debug_filter.h"

#include <cstdio>
#include <cstring>

#include "base/debug.h"
#include "base/pools.h"
#include "base/tcb.h"
#include "platform/mem.h"

L2ptDebugData l2ptDebugData;

namespace {

constexpr uint32_t kKeyLenLine = 8;     // (371, ifIndex)
constexpr uint32_t kKeyLenSection = 4;  // (371)
constexpr int kSiteExpiredFree = 906;
constexpr const char* kHeaderLine = "L2PT:";

}  // namespace

L2ptDebugNode* l2ptGetDebugNode(uint32_t ifIndex) {
    for (OzmDllNode* n = ozmDLLGetFirst(&l2ptDebugData.list); n != nullptr; n = ozmDLLGetNext(n)) {
        auto* node = reinterpret_cast<L2ptDebugNode*>(n);
        if (node->ifIndex == ifIndex) {
            return node;
        }
    }
    return nullptr;
}

void l2ptDebugConfigCreate(uint32_t ifIndex, const char* text, OzmCfgEntry* entry) {
    std::memset(entry, 0, sizeof *entry);
    entry->key[0] = L2PT_CFG_KEY;
    entry->key[1] = ifIndex;
    entry->keyTag = L2PT_CFG_KEY;
    entry->keyLen = kKeyLenLine;
    l2ptFormat(entry->text, OZM_CFG_TEXT_MAX, "%s ", text);
}

int l2ptDebugConfigAdd(uint32_t ifIndex, const char* text, OzmCfgEntry* entry, int insert) {
    l2ptDebugConfigCreate(ifIndex, text, entry);
    const int rc = insert == 1 ? ozmCfgInsert(ozmL2ptTcbNode.taskKey, entry)
                               : ozmCfgRemoveExact(ozmL2ptTcbNode.taskKey, entry);
    if (rc != 0) {
        L2PT_DBG("%s: ozmCfgInsert error\r\n", __func__);
    }
    return rc;
}

void l2ptDebugConfigRemoveAll() {
    OzmCfgEntry entry;
    l2ptDebugConfigCreate(0, "", &entry);
    entry.keyLen = kKeyLenSection;
    ozmCfgRemoveNode(ozmL2ptTcbNode.taskKey, &entry);
}

void l2ptRemoveDebugNode(L2ptDebugNode* node) {
    OzmCfgEntry entry;
    l2ptDebugConfigAdd(node->ifIndex, "", &entry, 0);
    ozmDLLRemove(&l2ptDebugData.list, &node->links);
    ozmMC_M_memBlockFree(L2PT_MOD_UTIL, kSiteExpiredFree, node);
    l2ptRemoveDebugHeaderIfEmpty();
}

void l2ptInstallDebugHeader() {
    OzmCfgEntry entry;
    if (l2ptDebugData.headerInstalled == 0 && l2ptDebugConfigAdd(0, kHeaderLine, &entry, 1) == 0) {
        l2ptDebugData.headerInstalled = 1;
    }
}

void l2ptRemoveDebugHeaderIfEmpty() {
    OzmCfgEntry entry;
    if (ozmDLLGetFirst(&l2ptDebugData.list) == nullptr && l2ptDebugData.headerInstalled == 1 &&
        l2ptDebugConfigAdd(0, kHeaderLine, &entry, 0) == 0) {
        l2ptDebugData.headerInstalled = 0;
    }
}
