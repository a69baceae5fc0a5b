// Task disable, and the teardown that ends the task.
#include "task/shutdown.h"

#include <algorithm>
#include <cstring>

#include "base/debug.h"
#include "base/ipc.h"
#include "base/log_codes.h"
#include "base/msg_check.h"
#include "base/tcb.h"
#include "classification/acl_msg.h"
#include "classification/agents.h"
#include "diagnostics/debug_filter.h"
#include "platform/evtlog.h"
#include "platform/ipc.h"
#include "platform/kernel.h"
#include "platform/mem.h"
#include "platform/process.h"
#include "platform/wire/bytes.h"
#include "platform/wire/header.h"
#include "platform/wire/l2pt.h"
#include "state/records.h"
#include "task/mem_pools.h"

namespace {

// Call sites of the teardown's releases, for the platform's accounting.
constexpr int kSiteIfNodeFree = 772;
constexpr int kSiteVmanFree = 775;
constexpr int kSiteCorePortFree = 786;
constexpr int kSiteAccessPortFree = 798;
constexpr int kSiteDebugNodeFree = 810;
constexpr uint32_t kReplyCodeEnd = replymsg::kReplyCode + sizeof(uint32_t);

void deregisterAgents() {
    uint8_t request[aclreg::kBufferLen] = {};
    for (int32_t slot = 0; slot < L2PT_MAX_SLOTS; ++slot) {
        if (l2ptAclAgentTable[slot].alive == 0) {
            continue;
        }
        wire::putU32(request, aclreg::kAgentSlot, static_cast<uint32_t>(slot));
        l2ptIpcSend(MT_L2PT_ACL_DEREG, svc::kAcl, static_cast<uint32_t>(slot), request,
                    aclreg::kLen);
        l2ptExitAclAgent(slot);
    }
}

void freeRecords() {
    std::memset(l2ptLagTable, 0, sizeof l2ptLagTable);
    for (L2ptVmanEntry*& vman : pL2ptVlanTable) {
        if (vman == nullptr) {
            continue;
        }
        for (L2ptIfNode* node = l2ptFirstIfNode(vman); node != nullptr;) {
            L2ptIfNode* next = l2ptNextIfNode(node);
            ozmDLLRemove(&vman->ifList, &node->links);
            ozmMC_M_memBlockFree(L2PT_MOD_TASK, kSiteIfNodeFree, node);
            node = next;
        }
        ozmMC_M_memBlockFree(L2PT_MOD_TASK, kSiteVmanFree, vman);
        vman = nullptr;
    }
    for (OzmDllNode* n = ozmDLLGetFirst(&l2ptCorePortList); n != nullptr;) {
        OzmDllNode* next = ozmDLLGetNext(n);
        ozmDLLRemove(&l2ptCorePortList, n);
        ozmMC_M_memBlockFree(L2PT_MOD_TASK, kSiteCorePortFree, n);
        n = next;
    }
    for (L2ptAccessPort*& port : pL2ptAccessPortTable) {
        if (port != nullptr) {
            ozmMC_M_memBlockFree(L2PT_MOD_TASK, kSiteAccessPortFree, port);
            port = nullptr;
        }
    }
}

void freeDebugFilters() {
    l2ptDebugConfigRemoveAll();
    for (OzmDllNode* n = ozmDLLGetFirst(&l2ptDebugData.list); n != nullptr;) {
        OzmDllNode* next = ozmDLLGetNext(n);
        ozmDLLRemove(&l2ptDebugData.list, n);
        ozmMC_M_memBlockFree(L2PT_MOD_TASK, kSiteDebugNodeFree, n);
        n = next;
    }
    l2ptDebugData = L2ptDebugData{};
}

void closeSocket(int32_t& sock) {
    if (sock != 0) {
        kern::close(sock);
        sock = 0;
    }
}

}  // namespace

void l2ptProcessTaskDisable(wire::Msg msg, wire::ReplyMsg reply) {
    l2ptCheckMsgLen(msg, kReplyCodeEnd);
    L2PT_DBG("%s: Received task disable message\r\n", __func__);
    reply.putU32(replymsg::kReplyCode, 0);
    // The answer carries at least the reply code, and never more than the receive buffer holds.
    const uint32_t replyLen = reply.cap(std::max<uint64_t>(msg.u32(hdr::kMsgLen), kReplyCodeEnd));
    ozmIpcReply(ozmL2ptTcbNode.ipcKey, reply.data(), replyLen);
    l2ptTaskExit(L2PT_EXIT_DISABLE);
}

int l2ptTaskExit(int reason) {
    (void)reason;  // the teardown is the same for every reason
    OzmL2ptTcb& tcb = ozmL2ptTcbNode;
    l2ptRateLimit = 0;
    if (tcb.logHandle != 0) {
        ozmEvhUnsubscribeEvt(tcb.logHandle, 3, EVT_LINECARD_REMOVED, EVT_LINECARD_UP,
                             EVT_LINECARD_DOWN);
    }
    deregisterAgents();
    freeRecords();
    freeDebugFilters();
    kern::close(tcb.swpPipe);
    closeSocket(tcb.stpSock);
    closeSocket(tcb.l2ptSock);
    ozmIpcClose(tcb.ipcKey);
    // The log closes last, so that a failed pool deletion can still be reported through it.
    if (l2ptDeleteMemPools() != 0) {
        ozmSysErr(tcb.logHandle, nullptr, L2PT_LOG_FAILURE, 1,
                  "deletion of mem pools caused error");
    }
    ozmEvtCloselog(tcb.logHandle);
    OZM_NbsdpExit();
    return 0;
}
