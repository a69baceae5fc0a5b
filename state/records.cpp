// VLAN, port and LAG records: the tables that own them and the six operations on them.
#include "state/records.h"

#include <cstdio>

#include "base/debug.h"
#include "base/log_codes.h"
#include "base/pools.h"
#include "base/tcb.h"
#include "platform/bitmap.h"
#include "platform/evtlog.h"
#include "platform/ifm.h"
#include "platform/wire/l2pt.h"

L2ptVmanEntry* pL2ptVlanTable[L2PT_MAX_VLAN];
L2ptAccessPort* pL2ptAccessPortTable[L2PT_MAX_PORT_SLOT];
OzmDllList l2ptCorePortList;
L2ptLagEntry l2ptLagTable[L2PT_MAX_LAG];

namespace {

// Port slot index layout: LAGs take 1-129, physical ports 64 positions per switch-fabric unit
// from 130 on.
constexpr int32_t kLagIndexBase = 1;
constexpr int32_t kPortIndexBase = 130;
constexpr int32_t kPortsPerUnit = 64;
constexpr int32_t kPortsPerPipe = 64;

bool bitmapEmpty(const uint32_t* bitmap) {
    return GET_FIRST_BIT_BITMAP(bitmap, L2PT_VLAN_BITMAP_BITS) == -1;
}

void reportNoMemory(const char* format, uint32_t ifIndex) {
    char text[L2PT_TEXT_LEN];
    l2ptFormat(text, sizeof text, format, L2ptIfName(ifIndex).text);
    ozmSysErr(ozmL2ptTcbNode.logHandle, nullptr, L2PT_LOG_NO_MEMORY, 1, text);
}

}  // namespace

bool l2ptIsLag(uint32_t ifIndex) {
    return ifmIfIndexToIfType(ifIndex) == OZM_IFTYPE_LAG;
}

int32_t l2ptPortSlotIndex(uint32_t ifIndex) {
    if (l2ptIsLag(ifIndex)) {
        const int32_t lag = ifmIfIndexToIfNum(ifIndex);
        return lag >= 0 && lag < L2PT_MAX_LAG ? lag + kLagIndexBase : -1;
    }
    const int32_t sf = ozmifIndexToSfId(ifIndex);
    const int32_t card = ifmIfIndexToCardType(ifIndex);
    const int32_t port = ifmIfIndexToPortId(ifIndex);
    if (sf < 0 || card < 0 || port < 0) {
        return -1;
    }
    const int32_t pp = ozmSysCardTypePortIdToPP(card, port);
    const int32_t local = ozmSysTenGEther(card) != 0 ? port - pp : port - kPortsPerPipe * pp;
    return kPortsPerUnit * sf + local + kPortIndexBase;
}

L2ptLagEntry* l2ptGetLagEntry(uint32_t lagIfIndex) {
    const int32_t lag = ifmIfIndexToIfNum(lagIfIndex);
    return lag >= 0 && lag < L2PT_MAX_LAG ? &l2ptLagTable[lag] : nullptr;
}

L2ptVmanEntry* l2ptCreateVmanEntry(uint32_t vlanId, int site) {
    auto* vman =
        l2ptAllocRecord<L2ptVmanEntry>(L2PT_MOD_BCM, site, L2PT_TAG_VMAN, L2PT_VMAN_POOL_ID);
    if (vman == nullptr) {
        ozmSysErr(ozmL2ptTcbNode.logHandle, nullptr, L2PT_LOG_NO_MEMORY, 1,
                  "cannot allocate vman entry");
        return nullptr;
    }
    ozmDLLInit(&vman->ifList);
    pL2ptVlanTable[vlanId] = vman;
    return vman;
}

L2ptIfNode* l2ptGetIfNode(L2ptVmanEntry* vman, uint32_t ifIndex) {
    for (L2ptIfNode* node = l2ptFirstIfNode(vman); node != nullptr; node = l2ptNextIfNode(node)) {
        if (node->ifIndex == ifIndex) {
            return node;
        }
    }
    return nullptr;
}

L2ptIfNode* l2ptCheckAndInsertIfNode(L2ptVmanEntry* vman, wire::Msg portEntry, uint32_t vlanId,
                                     uint8_t protoFlags) {
    const uint32_t ifIndex = portEntry.u32(vlanmsg::kPortIfIndex);
    const uint32_t mode = portEntry.u32(vlanmsg::kPortMode);
    if (L2ptIfNode* existing = l2ptGetIfNode(vman, ifIndex)) {
        return existing;
    }
    auto* node =
        l2ptAllocRecord<L2ptIfNode>(L2PT_MOD_UTIL, __LINE__, L2PT_TAG_IFNODE, L2PT_IFNODE_POOL_ID);
    if (node == nullptr) {
        ozmSysErr(ozmL2ptTcbNode.logHandle, nullptr, L2PT_LOG_NO_MEMORY, 1,
                  "cannot allocate port node");
        return nullptr;
    }
    node->ifIndex = ifIndex;
    if ((mode & vlanmsg::kModeCorePort) != 0) {
        node->isCore = 1;
        node->corePort = l2ptGetCorePort(ifIndex, 1);
    } else {
        l2ptAddAccessPort(ifIndex, vlanId, protoFlags);
    }
    L2ptIfNode* next = l2ptFirstIfNode(vman);
    while (next != nullptr && next->ifIndex <= ifIndex) {
        next = l2ptNextIfNode(next);
    }
    if (next != nullptr) {
        ozmDLLInsertBefore(&vman->ifList, &next->links, &node->links);
    } else {
        ozmDLLInsertAtBack(&vman->ifList, &node->links);
    }
    return node;
}

void l2ptAddAccessPort(uint32_t ifIndex, uint32_t vlanId, uint8_t protoFlags) {
    const int32_t index = l2ptPortSlotIndex(ifIndex);
    if (!l2ptPortSlotIndexValid(index)) {
        L2PT_DBG("%s: port id %d is out of range\r\n", __func__, index);
        return;
    }
    L2ptAccessPort*& slot = pL2ptAccessPortTable[index];
    if (slot == nullptr) {
        L2PT_DBG("%s: allocated access port %s \r\n", __func__, L2ptDbgName(ifIndex).text);
        slot = l2ptAllocRecord<L2ptAccessPort>(L2PT_MOD_UTIL, __LINE__, L2PT_TAG_ACCESS_PORT,
                                               L2PT_ACCESS_PORT_POOL_ID);
        if (slot == nullptr) {
            reportNoMemory("cannot allocate access port %s", ifIndex);
            return;
        }
    }
    slot->ifIndex = ifIndex;
    slot->vlanId = vlanId;
    slot->protoFlags |= protoFlags;
}

void l2ptDeleteAccessPort(uint32_t ifIndex, uint8_t protoFlags) {
    const int32_t index = l2ptPortSlotIndex(ifIndex);
    if (!l2ptPortSlotIndexValid(index)) {
        L2PT_DBG("%s: port id %d for port %s is out of range\r\n", __func__, index,
                 L2ptDbgName(ifIndex).text);
        return;
    }
    L2ptAccessPort*& slot = pL2ptAccessPortTable[index];
    if (slot == nullptr) {
        L2PT_DBG("%s: port id %d of %s ptr is null\r\n", __func__, index,
                 L2ptDbgName(ifIndex).text);
        return;
    }
    slot->protoFlags &= static_cast<uint8_t>(~protoFlags);
    if (slot->protoFlags != 0) {
        return;
    }
    L2PT_DBG("%s: deleting access port %s node \r\n", __func__, L2ptDbgName(ifIndex).text);
    ozmMC_M_memBlockFree(L2PT_MOD_UTIL, __LINE__, slot);
    slot = nullptr;
}

L2ptCorePort* l2ptGetCorePort(uint32_t ifIndex, int32_t create) {
    for (OzmDllNode* n = ozmDLLGetFirst(&l2ptCorePortList); n != nullptr; n = ozmDLLGetNext(n)) {
        if (l2ptCorePortOf(n)->ifIndex == ifIndex) {
            return l2ptCorePortOf(n);
        }
    }
    L2PT_DBG("%s: core port %s is not available\r\n", __func__, L2ptDbgName(ifIndex).text);
    if (create != 1) {
        return nullptr;
    }
    auto* core = l2ptAllocRecord<L2ptCorePort>(L2PT_MOD_UTIL, __LINE__, L2PT_TAG_CORE_PORT,
                                               L2PT_CORE_PORT_POOL_ID);
    if (core == nullptr) {
        reportNoMemory("cannot allocate core port %s", ifIndex);
        return nullptr;
    }
    L2PT_DBG("%s: allocated core port %s\r\n", __func__, L2ptDbgName(ifIndex).text);
    core->ifIndex = ifIndex;
    ozmDLLInsertAtFront(&l2ptCorePortList, &core->links);
    return core;
}

void l2ptDeleteCorePort(L2ptCorePort* corePort) {
    if (corePort == nullptr) {
        return;
    }
    bool unused;
    if (l2ptIsLag(corePort->ifIndex)) {
        // A LAG numbered beyond the LAG table has no bitmap that tells which VLANs still use
        // it: its record stays (shutdown frees it) rather than leave other VLANs' nodes dangling.
        const L2ptLagEntry* lag = l2ptGetLagEntry(corePort->ifIndex);
        unused = lag != nullptr && bitmapEmpty(lag->vlanBitmap);
    } else {
        unused = bitmapEmpty(corePort->vlanBitmap);
        for (uint32_t count : corePort->vlanCount) {
            unused = unused && count == 0;
        }
    }
    if (!unused) {
        return;
    }
    L2PT_DBG("%s: Deleting core port %s\r\n", __func__, L2ptDbgName(corePort->ifIndex).text);
    ozmDLLRemove(&l2ptCorePortList, &corePort->links);
    ozmMC_M_memBlockFree(L2PT_MOD_UTIL, __LINE__, corePort);
}
