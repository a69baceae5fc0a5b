// Packing of classification entries into ACL download messages, and their hand-over.
#include "classification/acl_msg.h"

#include <cstdio>
#include <cstring>

#include "base/debug.h"
#include "base/log_codes.h"
#include "base/pools.h"
#include "base/tcb.h"
#include "platform/bitmap.h"
#include "platform/evtlog.h"
#include "platform/ifm.h"
#include "platform/mem.h"
#include "platform/process.h"
#include "platform/swp.h"
#include "platform/wire/header.h"
#include "platform/wire/l2pt.h"

L2ptAclAgent l2ptAclAgentTable[L2PT_MAX_SLOTS];

namespace {

constexpr uint8_t kProtocolBits[] = {L2PT_FLAG_STP, L2PT_FLAG_LLDP, L2PT_FLAG_GVRP, L2PT_FLAG_PVST};
constexpr uint8_t kExactMask = 0xFF;

uint8_t* startAclMsg(int32_t add) {
    auto* msg = static_cast<uint8_t*>(ozmMC_M_memBlockVarAlloc(
        L2PT_MOD_BCM, __LINE__, L2PT_TAG_VAR, aclmsg::kMsgSize, L2PT_MEM_PART_ID, 0, 0));
    if (msg == nullptr) {
        return nullptr;
    }
    std::memset(msg, 0, aclmsg::kMsgSize);
    hdr::setMsgLen(msg, aclmsg::kMsgSize);
    hdr::setMsgType(msg, MT_L2PT_ACL_DOWNLOAD);
    hdr::setSrcTaskId(msg, taskIdSelf());
    wire::putU32(msg, aclmsg::kAclOp, add != 0 ? aclmsg::kOpInstall : aclmsg::kOpRemove);
    return msg;
}

// Hands a message to the agent's queue; the engine owns it from here, also when it refuses.
int32_t handOver(L2ptAclAgent& agent, uint8_t* msg) {
    agent.aclMsg = nullptr;
    if (ozmSwpEnqueue(agent.swpQueue, msg, aclmsg::kMsgSize) == OZM_SWP_REFUSED) {
        ozmSysErr(ozmL2ptTcbNode.logHandle, nullptr, L2PT_LOG_ENQUEUE_REFUSED, 1, 0);
        return -1;
    }
    return 0;
}

// The entries of one port (or LAG member) for the protocols of flags, on its agent.
// counters: the port's per-protocol VLAN counters when it is a core port (may be null).
// lagName and memberName name a LAG member in the refusal line; both null for a port.
void packProtocols(uint32_t ifIndex, const char* name, const char* lagName, const char* memberName,
                   bool isCore, uint32_t* counters, const L2ptAclAgent& agent, int32_t add,
                   uint32_t rate, uint8_t protoFlags, uint8_t aclMode, const char* caller) {
    for (uint8_t bit : kProtocolBits) {
        if ((protoFlags & bit) == 0) {
            continue;
        }
        const int32_t index = l2ptGetProtocolIndex(bit);
        if (index < 0) {
            continue;
        }
        // Plain unsigned counting: removing a protocol that never counted up wraps its counter,
        // which then keeps the port's tunnel entry installed.
        if (isCore && counters != nullptr) {
            if (add != 0) {
                ++counters[index];
            } else {
                --counters[index];
            }
        }
        if (agent.global_acl == 1) {
            L2PT_DBG("%s: Global entries already installed for %s\r\n", caller, name);
            continue;
        }
        if (isCore) {
            L2PT_DBG("%s: installing %s entry for %s\r\n", caller,
                     l2ptProtocolDB[L2PT_TUNNEL_ROW].name, name);
            const uint32_t remaining = counters != nullptr ? counters[index] : 0;
            if (add == 0 && remaining != 0) {
                if (lagName != nullptr) {
                    L2PT_DBG(
                        "%s: core port is part of %lu vlans : deletion of ACL entry can't "
                        "be installed %s(%s)\r\n",
                        caller, static_cast<unsigned long>(remaining), lagName, memberName);
                } else {
                    L2PT_DBG(
                        "%s: core port is part of %lu vlans : deletion of ACL entry can't "
                        "be installed %s\r\n",
                        caller, static_cast<unsigned long>(remaining), name);
                }
                return;
            }
            l2ptPackAclEntry(ifIndex, 1, rate, agent.global_acl, bit, add, aclMode);
            return;
        }
        L2PT_DBG("%s: installing %s entry for %s\r\n", caller, l2ptProtocolDB[index].name, name);
        l2ptPackAclEntry(ifIndex, 0, rate, agent.global_acl, bit, add, aclMode);
    }
}

// The alive agent of a port's slot, or null (with the debug line naming why).
const L2ptAclAgent* aliveAgentOf(uint32_t ifIndex, const char* name, int32_t add,
                                 const char* caller) {
    const int32_t slot = ifmIfIndexToSlotId(ifIndex);
    const L2ptAclAgent* agent = l2ptAgentOf(slot);
    if (agent == nullptr) {
        L2PT_DBG("%s: slot %d of %s is out of range\r\n", caller, slot, name);
        return nullptr;
    }
    if (agent->alive == 0) {
        L2PT_DBG("\r\n%s: can't pack entries for %s, add %d as agent %d is not alive\r\n", caller,
                 name, add, slot);
        return nullptr;
    }
    return agent;
}

}  // namespace

void l2ptMarkVlan(uint32_t* bitmap, uint32_t vlanId, int32_t add) {
    if (vlanId >= L2PT_MAX_VLAN) {
        return;
    }
    if (add != 0) {
        SET_BIT_BITMAP(bitmap, static_cast<int>(vlanId));
    } else {
        CLEAR_BIT_BITMAP(bitmap, static_cast<int>(vlanId));
    }
}

int32_t l2ptAclAppendEntry(int32_t slot, uint32_t ifIndex, const uint8_t* mac, uint32_t global,
                           uint32_t rate, uint8_t aclMode, int32_t add) {
    L2ptAclAgent* agent = l2ptAgentOf(slot);
    if (agent == nullptr) {
        L2PT_DBG("%s: slot %d is out of range\r\n", __func__, slot);
        return -1;
    }
    // A message carries one operation: an entry of the other one sends the pending message first.
    const uint32_t op = add != 0 ? aclmsg::kOpInstall : aclmsg::kOpRemove;
    if (agent->aclMsg != nullptr && wire::getU32(agent->aclMsg, aclmsg::kAclOp) != op) {
        l2ptFlushAgentMsg(slot, __func__);
    }
    if (agent->aclMsg == nullptr) {
        agent->aclMsg = startAclMsg(add);
        if (agent->aclMsg == nullptr) {
            ozmSysErr(ozmL2ptTcbNode.logHandle, nullptr, L2PT_LOG_NO_MEMORY, 1,
                      "cannot allocate acl msg buffer - 1");
            return -1;
        }
    }
    uint8_t* msg = agent->aclMsg;
    const uint32_t count = wire::getU32(msg, aclmsg::kEntryCount);
    uint8_t* entry = msg + aclmsg::kEntries + count * aclmsg::kEntryLen;
    wire::putU32(entry, aclmsg::kEntIfIndex, ifIndex);
    std::memcpy(entry + aclmsg::kEntMac, mac, L2PT_MAC_LEN);
    std::memset(entry + aclmsg::kEntMask, kExactMask, L2PT_MAC_LEN);
    wire::putU32(entry, aclmsg::kEntGlobal, global);
    wire::putU32(entry, aclmsg::kEntRateLimit, rate);
    wire::putU8(entry, aclmsg::kEntAclMode, aclMode);
    wire::putU32(msg, aclmsg::kEntryCount, count + 1);
    if (count + 1 < aclmsg::kMaxEntries) {
        return 0;
    }
    if (handOver(*agent, msg) != 0) {
        return -1;
    }
    agent->aclMsg = startAclMsg(add);
    if (agent->aclMsg == nullptr) {
        ozmSysErr(ozmL2ptTcbNode.logHandle, nullptr, L2PT_LOG_NO_MEMORY, 1,
                  "cannot allocate acl msg buffer - 2");
        return -1;
    }
    return 0;
}

void l2ptPackAclEntry(uint32_t ifIndex, int32_t tunnel, uint32_t rate, uint32_t global,
                      uint8_t flag, int32_t add, uint8_t aclMode) {
    uint8_t mac[L2PT_MAC_LEN];
    if (l2ptGetProtocolMac(tunnel, flag, mac) == -1) {
        return;
    }
    l2ptAclAppendEntry(ifmIfIndexToSlotId(ifIndex), ifIndex, mac, global, rate, aclMode, add);
}

void l2ptPackAclPortEntry(L2ptIfNode* node, int32_t add, uint32_t rate, uint32_t vlanId,
                          uint8_t protoFlags, uint8_t aclMode) {
    const uint32_t ifIndex = node->ifIndex;
    const L2ptDbgName name(ifIndex);
    L2PT_DBG("%s: Packing ACL entries for port %s, add %d\r\n", __func__, name.text, add);
    if (l2ptIsLag(ifIndex)) {
        L2ptLagEntry* lag = l2ptGetLagEntry(ifIndex);
        if (lag == nullptr) {
            L2PT_DBG("%s: lag number of %s is out of range\r\n", __func__, name.text);
            return;
        }
        l2ptMarkVlan(lag->vlanBitmap, vlanId, add);
        for (int m = 0; m < L2PT_MAX_LAG_MEMBERS; ++m) {
            if (lag->memberIfIndex[m] != 0) {
                l2ptPackAclLagPortEntry(node, lag->memberIfIndex[m], add, rate, vlanId, protoFlags,
                                        lag->memberVlanCount[m], aclMode);
            }
        }
        return;
    }
    L2ptCorePort* core = node->isCore != 0 ? node->corePort : nullptr;
    if (core != nullptr) {
        l2ptMarkVlan(core->vlanBitmap, vlanId, add);
    }
    const L2ptAclAgent* agent = aliveAgentOf(ifIndex, name.text, add, __func__);
    if (agent == nullptr) {
        return;
    }
    packProtocols(ifIndex, name.text, nullptr, nullptr, node->isCore != 0,
                  core != nullptr ? core->vlanCount : nullptr, *agent, add, rate, protoFlags,
                  aclMode, __func__);
}

void l2ptPackAclLagPortEntry(L2ptIfNode* lagNode, uint32_t memberIfIndex, int32_t add,
                             uint32_t rate, uint32_t vlanId, uint8_t protoFlags, uint32_t* counters,
                             uint8_t aclMode) {
    (void)vlanId;  // members carry no VLAN bookkeeping of their own
    const L2ptDbgName lagName(lagNode->ifIndex);
    const L2ptDbgName memberName(memberIfIndex);
    char name[L2PT_TEXT_LEN] = "";
    if (l2ptDebugOn()) {
        l2ptFormat(name, sizeof name, "%s (%s)", lagName.text, memberName.text);
    }
    L2PT_DBG("%s: Packing ACL entries for %s, add %d\r\n", __func__, name, add);
    const L2ptAclAgent* agent = aliveAgentOf(memberIfIndex, name, add, __func__);
    if (agent == nullptr) {
        return;
    }
    packProtocols(memberIfIndex, name, lagName.text, memberName.text, lagNode->isCore != 0,
                  counters, *agent, add, rate, protoFlags, aclMode, __func__);
}

void l2ptFlushAgentMsg(int32_t slot, const char* caller) {
    L2ptAclAgent* agent = l2ptAgentOf(slot);
    if (agent == nullptr || agent->alive == 0 || agent->aclMsg == nullptr) {
        return;
    }
    L2PT_DBG("%s: downloading msg to agent %d\r\n", caller, slot);
    handOver(*agent, agent->aclMsg);
}

void l2ptDownloadAclMsg() {
    for (int32_t slot = 0; slot < L2PT_MAX_SLOTS; ++slot) {
        l2ptFlushAgentMsg(slot, __func__);
    }
}
