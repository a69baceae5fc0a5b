// Registration of a secondary RPM's task with the primary, and mirroring of the agent bitmap.
#include "redundancy/peer_rpm.h"

#include <algorithm>

#include "base/debug.h"
#include "base/log_codes.h"
#include "base/msg_check.h"
#include "base/tcb.h"
#include "classification/agents.h"
#include "platform/evtlog.h"
#include "platform/ha.h"
#include "platform/ifm.h"
#include "platform/ipc.h"
#include "platform/process.h"
#include "platform/wire/bytes.h"
#include "platform/wire/header.h"
#include "platform/wire/l2pt.h"

uint32_t l2ptIsPrimary;
uint32_t l2ptRegisteredWithPRPM;
int32_t l2ptMstrSlotId = -1;

namespace {

constexpr int kRegisterSends = 3;

// Sends a message to this task's service and instance on the peer RPM.
int sendToPeer(uint32_t service, uint32_t instance, uint8_t* msg, uint32_t len) {
    int32_t scratch = 0;
    return ozmIrcPeerRpmSend(service, instance, msg, len, 0, &scratch);
}

}  // namespace

int l2ptRegisterWithPeerRPM() {
    L2PT_DBG("%s(): __ENTRY__ \r\n", __func__);
    uint8_t request[rpmmsg::kLen] = {};
    hdr::setMsgLen(request, rpmmsg::kLen);
    hdr::setMsgType(request, MT_L2PT_REG_REQ);
    hdr::setMsgStatus(request, rpmmsg::kStatusRequest);
    hdr::setSrcTaskId(request, taskIdSelf());
    const uint32_t ipcKey = ozmL2ptTcbNode.ipcKey;
    for (int i = 0; i < kRegisterSends; ++i) {
        if (sendToPeer(ozmIpcGetService(ipcKey), ozmIpcGetInstance(ipcKey), request,
                       rpmmsg::kLen) != -1) {
            L2PT_DBG("%s(): __EXIT__ \r\n", __func__);
            return 0;
        }
    }
    return -1;
}

int l2ptProcessPRpmRegReq(wire::Msg msg, wire::ReplyMsg reply) {
    l2ptCheckMsgLen(msg, rpmmsg::kLen);  // fields missing from a short message read as 0
    L2PT_DBG("%s(): __ENTRY__ \r\n", __func__);
    if (l2ptIsPrimary == 0) {
        L2PT_DBG("%s(): Secondary RPM \r\n", __func__);
        if (msg.i32(hdr::kMsgStatus) != rpmmsg::kStatusRequest) {
            l2ptRegisteredWithPRPM = 1;
            l2ptAclBitmap = msg.u32(rpmmsg::kAclBitmap);
            l2ptHalUpdateMstrSlotId(msg);
            L2PT_DBG("%s(): Recvd AclBitmap from PeerRPM \r\n", __func__);
            return 1;
        }
    }
    L2PT_DBG("%s(): Primary RPM \r\n", __func__);
    // The reply is as long as the request says, at least its own fields and at most the receive
    // buffer, and says so in its header.
    const uint32_t replyLen = reply.cap(std::max<uint64_t>(msg.u32(hdr::kMsgLen), rpmmsg::kLen));
    reply.putU32(hdr::kMsgLen, replyLen);
    reply.putI32(hdr::kMsgStatus, 0);
    reply.putU32(rpmmsg::kAclBitmap, l2ptAclBitmap);
    reply.putI32(rpmmsg::kMasterSlot, l2ptHalGetMstrSlotId());
    if (sendToPeer(ozmL2ptTcbNode.serviceId, ozmL2ptTcbNode.instanceId, reply.data(), replyLen) ==
        -1) {
        L2PT_DBG("%s(): Error while sending IRC reply \r\n", __func__);
        ozmSysErr(ozmL2ptTcbNode.logHandle, nullptr, L2PT_LOG_PEER_REPLY, 1,
                  "Couldn't reply to Peer RPM ");
        return 0;
    }
    l2ptRegisteredWithPRPM = 1;
    L2PT_DBG("%s(): __EXIT__ \r\n", __func__);
    return 1;
}

int l2ptSendAclUpdateMsgPeerRPM() {
    L2PT_DBG("%s(): __ENTRY__ \r\n", __func__);
    const uint64_t ticks = ozmTickGet();
    uint8_t update[rpmmsg::kLen] = {};
    hdr::setMsgLen(update, rpmmsg::kLen);
    hdr::setMsgType(update, MT_L2PT_ACL_UPDATE_PRPM);
    hdr::setMsgStatus(update, rpmmsg::kStatusRequest);
    hdr::setSrcTaskId(update, static_cast<uint32_t>(ticks));
    wire::putU32(update, rpmmsg::kAclBitmap, l2ptAclBitmap);
    const uint32_t ipcKey = ozmL2ptTcbNode.ipcKey;
    const int rc =
        sendToPeer(ozmIpcGetService(ipcKey), ozmIpcGetInstance(ipcKey), update, rpmmsg::kLen);
    L2PT_DBG("%s(): __EXIT__ \r\n", __func__);
    return rc;
}

int l2ptProcessPRpmUpdateAcl(wire::Msg msg) {
    l2ptCheckMsgLen(msg, rpmmsg::kMasterSlot);  // a missing bitmap reads as 0
    L2PT_DBG("%s(): __ENTRY__ \r\n", __func__);
    l2ptAclBitmap = msg.u32(rpmmsg::kAclBitmap);
    L2PT_DBG("%s(): __EXIT__ \r\n", __func__);
    return 0;
}

void l2ptHalUpdateMstrSlotId(wire::Msg msg) {
    l2ptMstrSlotId = msg.i32(rpmmsg::kMasterSlot);
}

int l2ptMirrorAclBitmap(const char* caller) {
    if (l2ptRegisteredWithPRPM == 0) {
        return 0;
    }
    if (l2ptSendAclUpdateMsgPeerRPM() == -1) {
        return -1;
    }
    L2PT_DBG("%s(): Send l2ptAclBitmap to Peer RPM successfully \r\n", caller);
    return 0;
}
