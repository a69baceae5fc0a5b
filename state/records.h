// The tunnelling configuration in memory: VLAN (vman) records with their member ports,
// access-port and core-port records, LAG records, and the operations that keep them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "platform/dll.h"
#include "platform/wire/msg.h"
#include "state/protocol.h"

inline constexpr uint32_t L2PT_MAX_VLAN = 4096;  // VLAN ids 0-4095
inline constexpr int L2PT_VLAN_BITMAP_BITS = 4096;
inline constexpr int L2PT_VLAN_BITMAP_WORDS = L2PT_VLAN_BITMAP_BITS / 32;
inline constexpr int32_t L2PT_MAX_PORT_SLOT = 898;  // port slot indexes 0-897
inline constexpr int32_t L2PT_MAX_LAG = 129;        // LAG numbers 0-128
inline constexpr int L2PT_MAX_LAG_MEMBERS = 32;

// aclMode bits of a VLAN record; core-port entries always carry L2PT_ACL_MODE_CORE.
inline constexpr uint8_t L2PT_ACL_MODE_TUNNEL = 0x01;  // tunnelling ports configured
inline constexpr uint8_t L2PT_ACL_MODE_RATE = 0x02;    // a rate limit configured
inline constexpr uint8_t L2PT_ACL_MODE_BOTH = 0x03;
inline constexpr uint8_t L2PT_ACL_MODE_CORE = 5;

struct L2ptCorePort;

// One tunnelling VLAN. The record is handed to the list operations as its port list.
struct L2ptVmanEntry {
    OzmDllList ifList;  // L2ptIfNode, ascending ifIndex
    uint32_t vlanIfIndex;
    uint32_t rateLimit;  // Kbps, 0 = none
    uint8_t aclMode;
    uint8_t protoFlags;
};

// One member port of a VLAN.
struct L2ptIfNode {
    OzmDllNode links;
    uint32_t ifIndex;
    uint8_t isCore;
    L2ptCorePort* corePort;  // the shared core-port record of a core port
};

// One core port or core LAG, shared by every VLAN in which it is a core port.
struct L2ptCorePort {
    OzmDllNode links;
    uint32_t ifIndex;
    uint32_t vlanCount[L2PT_NUM_PROTOCOLS];
    uint32_t vlanBitmap[L2PT_VLAN_BITMAP_WORDS];
};

// One access port, whatever the number of its VLANs; exists while protoFlags is non-zero.
struct L2ptAccessPort {
    uint32_t ifIndex;
    uint32_t vlanId;
    uint8_t protoFlags;
};

struct L2ptLagEntry {
    uint32_t lagIfIndex;
    uint32_t memberIfIndex[L2PT_MAX_LAG_MEMBERS];  // 0 = free slot
    uint32_t memberVlanCount[L2PT_MAX_LAG_MEMBERS][L2PT_NUM_PROTOCOLS];
    uint32_t vlanBitmap[L2PT_VLAN_BITMAP_WORDS];
    uint8_t memberCount;
};

// The list operations hand back the links, which the records are reached through: each record
// begins with them.
static_assert(std::is_standard_layout_v<L2ptVmanEntry> && offsetof(L2ptVmanEntry, ifList) == 0);
static_assert(std::is_standard_layout_v<L2ptIfNode> && offsetof(L2ptIfNode, links) == 0);
static_assert(std::is_standard_layout_v<L2ptCorePort> && offsetof(L2ptCorePort, links) == 0);

extern L2ptVmanEntry* pL2ptVlanTable[L2PT_MAX_VLAN];
extern L2ptAccessPort* pL2ptAccessPortTable[L2PT_MAX_PORT_SLOT];
extern OzmDllList l2ptCorePortList;
extern L2ptLagEntry l2ptLagTable[L2PT_MAX_LAG];

inline L2ptVmanEntry* l2ptVmanOf(OzmDllList* list) {
    return reinterpret_cast<L2ptVmanEntry*>(list);
}
inline L2ptIfNode* l2ptIfNodeOf(OzmDllNode* node) {
    return reinterpret_cast<L2ptIfNode*>(node);
}
inline L2ptCorePort* l2ptCorePortOf(OzmDllNode* node) {
    return reinterpret_cast<L2ptCorePort*>(node);
}
inline L2ptIfNode* l2ptFirstIfNode(L2ptVmanEntry* vman) {
    return l2ptIfNodeOf(ozmDLLGetFirst(&vman->ifList));
}
inline L2ptIfNode* l2ptNextIfNode(L2ptIfNode* node) {
    return l2ptIfNodeOf(ozmDLLGetNext(&node->links));
}

// The VLAN's record, or null for an id without one or outside 0-4095.
inline L2ptVmanEntry* l2ptGetVman(uint32_t vlanId) {
    return vlanId < L2PT_MAX_VLAN ? pL2ptVlanTable[vlanId] : nullptr;
}

// A new, empty VLAN record stored in the table for vlanId (0-4095); null, logged, when the
// pool is exhausted. site names the caller for the platform's accounting.
L2ptVmanEntry* l2ptCreateVmanEntry(uint32_t vlanId, int site);

// A VLAN's aclMode once it has tunnelling ports: the rate-limit bit kept, tunnelling on.
inline void l2ptNormaliseAclMode(L2ptVmanEntry* vman) {
    vman->aclMode = (vman->aclMode == L2PT_ACL_MODE_RATE || vman->aclMode == L2PT_ACL_MODE_BOTH)
                        ? L2PT_ACL_MODE_BOTH
                        : L2PT_ACL_MODE_TUNNEL;
}

// Dense index of a port (130-897) or LAG (1-129); out of range values are returned as they are.
int32_t l2ptPortSlotIndex(uint32_t ifIndex);
inline bool l2ptPortSlotIndexValid(int32_t index) {
    return index >= 0 && index < L2PT_MAX_PORT_SLOT;
}
// The LAG record of a LAG interface, or null when its LAG number is outside 0-128.
L2ptLagEntry* l2ptGetLagEntry(uint32_t lagIfIndex);
bool l2ptIsLag(uint32_t ifIndex);

L2ptIfNode* l2ptGetIfNode(L2ptVmanEntry* vman, uint32_t ifIndex);
// portEntry: a port entry of a VLAN port message (ifIndex word, then mode word).
L2ptIfNode* l2ptCheckAndInsertIfNode(L2ptVmanEntry* vman, wire::Msg portEntry, uint32_t vlanId,
                                     uint8_t protoFlags);
void l2ptAddAccessPort(uint32_t ifIndex, uint32_t vlanId, uint8_t protoFlags);
void l2ptDeleteAccessPort(uint32_t ifIndex, uint8_t protoFlags);
L2ptCorePort* l2ptGetCorePort(uint32_t ifIndex, int32_t create);
void l2ptDeleteCorePort(L2ptCorePort* corePort);
