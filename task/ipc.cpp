// Requests to other services, and the registration with IFM and the line cards' ACL agents.
#include "task/ipc.h"

#include "classification/acl_msg.h"
#include "classification/agents.h"
#include "platform/bitmap.h"
#include "platform/evtlog.h"
#include "platform/ha.h"
#include "platform/ipc.h"
#include "platform/process.h"
#include "platform/wire/bytes.h"
#include "platform/wire/header.h"
#include "platform/wire/l2pt.h"
#include "task/debug.h"
#include "task/dispatch.h"
#include "task/log_codes.h"
#include "task/task_main.h"

namespace {

// Seconds the task waits for the reply to a synchronous request.
constexpr int kSendWaitTimeout = 30;
constexpr int kQueueKindRequest = 1;
constexpr uint32_t kLineCardBitmapBits = 32;

// Header fields both senders fill: length, zero word, source node, destination.
void fillHeader(uint8_t* msg, uint32_t service, uint32_t slot, uint32_t len) {
    int32_t scratch = -1;
    hdr::setMsgLen(msg, len);
    hdr::setReserved36(msg, 0);
    hdr::setSrcNodeAddr(msg, ozm_tmeGetPeerIpAddrByName(svc::kL2pt, 0, &scratch));
    hdr::setDstSlot(msg, slot);
    scratch = -1;
    hdr::setDstNodeAddr(msg, ozm_tmeGetPeerIpAddrByName(service, slot, &scratch));
    hdr::setDstQueueId(msg, ozm_getQueueId(service, slot, kQueueKindRequest));
}

bool agentRegistered(uint32_t slot) {
    return (l2ptAclBitmap & ozmBitMask(slot)) != 0;
}

// Present line cards (IFM's bitmap, slot i = 1 << i) whose slot the agent table holds.
bool lineCardPresent(uint32_t lcBitmap, uint32_t slot) {
    return slot < kLineCardBitmapBits && (lcBitmap & (1u << slot)) != 0;
}

}  // namespace

int l2ptIpcSend(uint32_t msgType, uint32_t service, uint32_t slot, uint8_t* msg, uint32_t len) {
    L2PT_DBG("%s: msg_type %d, svce %d, slot %d, msg_len %d\r\n", __func__, msgType, service, slot,
             len);
    fillHeader(msg, service, slot, len);
    hdr::setMsgType(msg, msgType);
    hdr::setSrcTaskId(msg, taskIdSelf());
    hdr::setSrcQueueId(msg, ozm_getQueueId(svc::kL2pt, 0, kQueueKindRequest));
    if (ozmIpcSend(ozmL2ptTcbNode.reqQueue, msg, hdr::msgLen(msg)) == -1) {
        L2PT_DBG("%s: failed to send msg to svce %d slot %d\r\n", __func__, service, slot);
        return -1;
    }
    return 0;
}

int l2ptIpcSendAndWait(uint32_t msgType, uint32_t service, uint32_t slot, uint8_t* msg,
                       uint32_t len) {
    L2PT_DBG("%s: msg_type %d, svce %d, slot %d, msg_len %d\r\n", __func__, msgType, service, slot,
             len);
    fillHeader(msg, service, slot, len);
    if (ozmIpcSendWait(ozmL2ptTcbNode.ipcKey, msg, len, kSendWaitTimeout, msgType, taskIdSelf()) ==
        -1) {
        L2PT_DBG("%s: failed to send msg to svce %d slot %d\r\n", __func__, service, slot);
        return -1;
    }
    if (hdr::msgType(msg) != msgType) {
        L2PT_DBG(
            "%s: received msg from svce %d slot %d msgtype did not match ipc_mtype %d "
            "msg_type %d\r\n",
            __func__, service, slot, hdr::msgType(msg), msgType);
        return -1;
    }
    if (hdr::msgStatus(msg) != 0) {
        L2PT_DBG("%s: received msg from svce %d slot %d status is not OK\r\n", __func__, service,
                 slot);
        return -1;
    }
    return 0;
}

int l2ptRegistration() {
    uint8_t request[ifmreg::kRequestLen] = {};
    if (l2ptIpcSendAndWait(MT_L2PT_IFM_REG, svc::kIfm, 0, request, sizeof request) == -1) {
        return -1;
    }
    const uint32_t slotCount = wire::getU32(request, ifmreg::kMaxSlots);
    const uint32_t lcBitmap = wire::getU32(request, ifmreg::kLineCardBitmap);
    L2PT_DBG("%s: max chassis linecard %ld, lc bmap %lx\r\n", __func__,
             static_cast<long>(slotCount), static_cast<unsigned long>(lcBitmap));
    L2PT_DBG("%s: Registration with ACL agents\r\n", __func__);
    for (int32_t passes = 0;;) {
        uint32_t tried = 0;
        for (uint32_t slot = 0; slot < slotCount && slot < kLineCardBitmapBits; ++slot) {
            if (!lineCardPresent(lcBitmap, slot)) {
                continue;
            }
            if (!l2ptSlotValid(static_cast<int32_t>(slot))) {
                L2PT_DBG("%s: line card slot %d is beyond the agent table\r\n", __func__, slot);
                continue;
            }
            if (!agentRegistered(slot)) {
                l2ptInitAclAgent(static_cast<int32_t>(slot));
                ++tried;
            }
        }
        ++passes;
        if (tried == 0) {
            break;
        }
        if (passes < gL2PTMaxAclTry) {
            continue;
        }
        for (uint32_t slot = 0; slot < slotCount && slot < static_cast<uint32_t>(L2PT_MAX_SLOTS);
             ++slot) {
            if (lineCardPresent(lcBitmap, slot) && !agentRegistered(slot) &&
                ozmHaIsPrimaryRpm() == 1) {
                ozmSysErr(ozmL2ptTcbNode.logHandle, nullptr, L2PT_LOG_AGENT_NOT_REGISTERED, 1,
                          static_cast<int>(slot));
            }
        }
        break;
    }
    L2PT_DBG("%s: registration complete\r\n", __func__);
    return 0;
}
