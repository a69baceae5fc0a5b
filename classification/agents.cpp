// ACL agent lifecycle: registration and queue pair, tear-down, card down, agent-wide entries.
#include "classification/agents.h"

#include <cstring>

#include "base/debug.h"
#include "base/ipc.h"
#include "base/log_codes.h"
#include "base/pools.h"
#include "base/tcb.h"
#include "classification/acl_msg.h"
#include "platform/bitmap.h"
#include "platform/evtlog.h"
#include "platform/ifm.h"
#include "platform/ipc.h"
#include "platform/mem.h"
#include "platform/swp.h"
#include "platform/wire/bytes.h"
#include "platform/wire/l2pt.h"
#include "state/protocol.h"
#include "state/records.h"

uint32_t l2ptAclBitmap;

int (*l2ptAgentSetMirror)(const char* caller) = nullptr;

namespace {

// Parameters of an agent's queue pair: messages in flight at most, ticks before a retransmission.
constexpr int kSwpWindow = 10;
constexpr int kSwpRetransmitTicks = 25;
constexpr int kOwnQueueKind = 3;

constexpr const char* kPeerUpdateFailed = "Couldn't update RPM about AclUpdate";

int32_t packGlobalEntry(int32_t slot, const uint8_t* mac, int32_t add) {
    const L2ptAclAgent* agent = l2ptAgentOf(slot);
    if (agent == nullptr) {
        return -1;
    }
    return l2ptAclAppendEntry(slot, 0, mac, agent->global_acl, 0, 0, add);
}

}  // namespace

int32_t l2ptInitAclAgent(int32_t slot) {
    L2PT_DBG("%s: start, agent id %d\r\n", __func__, slot);
    L2ptAclAgent* agent = l2ptAgentOf(slot);
    if (agent == nullptr) {
        L2PT_DBG("%s: agent id %d is out of range\r\n", __func__, slot);
        return 0;
    }
    if (agent->alive != 0) {
        L2PT_DBG("%s: agent id %d is ALIVE\r\n", __func__, slot);
        return 1;
    }
    uint8_t request[aclreg::kBufferLen] = {};
    *agent = L2ptAclAgent{};
    wire::putU32(request, aclreg::kAgentSlot, static_cast<uint32_t>(slot));
    wire::putU32(request, aclreg::kMasterSlot, static_cast<uint32_t>(l2ptHalGetMstrSlotId()));
    if (l2ptIpcSendAndWait(MT_L2PT_ACL_REG, svc::kAcl, static_cast<uint32_t>(slot), request,
                           aclreg::kLen) == -1) {
        return 0;
    }
    const OzmL2ptTcb& tcb = ozmL2ptTcbNode;
    if (ozmSwpQueueCreateQs(tcb.logHandle, 0, kSwpWindow, kSwpRetransmitTicks, svc::kL2pt, 0,
                            tcb.ipcKey, svc::kAcl, static_cast<uint32_t>(slot),
                            ozm_getQueueId(svc::kL2pt, 0, kOwnQueueKind), 0, 0, l2ptSwpMalloc, 0,
                            l2ptSwpMfree, l2ptSwpErrCB, &agent->swpQueue, tcb.swpPipe) != 0) {
        ozmSysErr(tcb.logHandle, nullptr, L2PT_LOG_AGENT_QUEUE, 1, slot);
        l2ptIpcSend(MT_L2PT_ACL_DEREG, svc::kAcl, static_cast<uint32_t>(slot), request,
                    aclreg::kLen);
        *agent = L2ptAclAgent{};
        return 0;
    }
    SET_BIT_BITMAP(&l2ptAclBitmap, slot);
    if (l2ptAgentSetMirror != nullptr && l2ptAgentSetMirror(__func__) == -1) {
        ozmSysErr(tcb.logHandle, nullptr, L2PT_LOG_PEER_UPDATE, 1, kPeerUpdateFailed);
    }
    agent->alive = 1;
    if (wire::getU32(request, aclreg::kPortAcl) != 0) {
        agent->global_acl = 0;
        return 1;
    }
    agent->global_acl = 1;
    l2ptHalInstallPVSTAcl(slot);
    l2ptDownloadAclMsg();
    return 1;
}

void l2ptExitAclAgent(int32_t slot) {
    L2ptAclAgent* agent = l2ptAgentOf(slot);
    if (agent == nullptr || agent->alive == 0) {
        return;
    }
    if (agent->global_acl == 1) {
        l2ptHalRemovePVSTAcl(slot);
        l2ptHalRemoveOzmAcl(slot);
        l2ptDownloadAclMsg();
    }
    if (ozmSwpQueueRemove(agent->swpQueue) != 0) {
        L2PT_DBG("%s: swp q cleanup for agent %d failed\r\n", __func__, slot);
    }
    if (agent->aclMsg != nullptr) {
        ozmMC_M_memBlockVarFree(L2PT_MOD_BCM, __LINE__, agent->aclMsg);
        agent->aclMsg = nullptr;
    }
    CLEAR_BIT_BITMAP(&l2ptAclBitmap, slot);
    if (l2ptAgentSetMirror != nullptr && l2ptAgentSetMirror(__func__) == -1) {
        ozmSysErr(ozmL2ptTcbNode.logHandle, nullptr, L2PT_LOG_PEER_UPDATE, 1, kPeerUpdateFailed,
                  slot);
    }
    *agent = L2ptAclAgent{};
    L2PT_DBG("%s: Agent %d went down \r\n", __func__, slot);
}

void l2ptProcessCardDown(int32_t slot) {
    L2PT_DBG("%s: BEGIN for slot %d\r\n", __func__, slot);
    const L2ptAclAgent* agent = l2ptAgentOf(slot);
    if (agent == nullptr || agent->alive == 0) {
        L2PT_DBG("Agent %d not alive\r\n", slot);
        return;
    }
    L2PT_DBG("List of physical & lag member core ports: \r");
    for (OzmDllNode* n = ozmDLLGetFirst(&l2ptCorePortList); n != nullptr; n = ozmDLLGetNext(n)) {
        L2ptCorePort* core = l2ptCorePortOf(n);
        if (l2ptIsLag(core->ifIndex)) {
            L2ptLagEntry* lag = l2ptGetLagEntry(core->ifIndex);
            if (lag == nullptr) {
                continue;
            }
            for (int m = 0; m < L2PT_MAX_LAG_MEMBERS; ++m) {
                const uint32_t member = lag->memberIfIndex[m];
                if (member != 0 && ifmIfIndexToSlotId(member) == slot) {
                    L2PT_DBG("[%s %s] ", L2ptDbgName(core->ifIndex).text, L2ptDbgName(member).text);
                    std::memset(lag->memberVlanCount[m], 0, sizeof lag->memberVlanCount[m]);
                }
            }
        } else if (ifmIfIndexToSlotId(core->ifIndex) == slot) {
            L2PT_DBG("%s ", L2ptDbgName(core->ifIndex).text);
            std::memset(core->vlanCount, 0, sizeof core->vlanCount);
        }
    }
    L2PT_DBG("\r\n%s: END \r\n", __func__);
}

int32_t l2ptHalInstallPVSTAcl(int32_t slot) {
    L2PT_DBG("%s: received PVSTMAC install message\r\n", __func__);
    return packGlobalEntry(slot, pvstMacAddr, 1);
}

int32_t l2ptHalRemovePVSTAcl(int32_t slot) {
    L2PT_DBG("%s: received PVSTMAC remove message\r\n", __func__);
    return packGlobalEntry(slot, pvstMacAddr, 0);
}

int32_t l2ptHalInstallOzmAcl(int32_t slot) {
    L2PT_DBG("%s: received OZMMAC install message\r\n", __func__);
    return packGlobalEntry(slot, l2ptTunnelMac(), 1);
}

int32_t l2ptHalRemoveOzmAcl(int32_t slot) {
    L2PT_DBG("%s: received OZMMAC remove message\r\n", __func__);
    return packGlobalEntry(slot, l2ptTunnelMac(), 0);
}

void l2ptSwpErrCB(uint32_t queue) {
    L2PT_DBG("%s: got a swp timeout ", __func__);
    const OzmSwpQueueCtrl* ctrl = ozmSwpGetQueueCtrlBlock(queue);
    if (ctrl == nullptr) {
        return;
    }
    const uint32_t handle = ctrl->queueHandle;
    L2PT_DBG(" for q Hdl %ld \r\n", static_cast<long>(handle));
    for (int32_t slot = 0; slot < L2PT_MAX_SLOTS; ++slot) {
        const L2ptAclAgent& agent = l2ptAclAgentTable[slot];
        if (agent.alive != 0 && agent.swpQueue == handle) {
            L2PT_DBG("Agent %d \r\n", slot);
            break;
        }
    }
    L2PT_DBG("\r");
}

int32_t l2ptHalGetMstrSlotId() {
    return static_cast<int32_t>(ozmSysGetStkLineCardSlotId());
}
