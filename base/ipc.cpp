// Requests to other services: sent at once, or sent and waited for.
#include "base/ipc.h"

#include "base/debug.h"
#include "base/tcb.h"
#include "platform/ipc.h"
#include "platform/process.h"
#include "platform/wire/header.h"
#include "platform/wire/l2pt.h"

namespace {

// Seconds the task waits for the reply to a synchronous request.
constexpr int kSendWaitTimeout = 30;
constexpr int kQueueKindRequest = 1;

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
