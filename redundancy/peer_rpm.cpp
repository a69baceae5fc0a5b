// Registration of a secondary RPM's task with the primary, and mirroring of the agent bitmap.
#include "redundancy/peer_rpm.h"

#include "base/debug.h"
#include "base/log_codes.h"
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

int l2ptProcessPRpmRegReq(uint8_t* msg, uint32_t len) {
    (void)len;  // fixed fields only: a short message reads zeros (the receive buffer)
    L2PT_DBG("%s(): __ENTRY__ \r\n", __func__);
    if (l2ptIsPrimary == 0) {
        L2PT_DBG("%s(): Secondary RPM \r\n", __func__);
        if (hdr::msgStatus(msg) != rpmmsg::kStatusRequest) {
            l2ptRegisteredWithPRPM = 1;
            l2ptAclBitmap = wire::getU32(msg, rpmmsg::kAclBitmap);
            l2ptHalUpdateMstrSlotId(msg);
            L2PT_DBG("%s(): Recvd AclBitmap from PeerRPM \r\n", __func__);
            return 1;
        }
    }
    L2PT_DBG("%s(): Primary RPM \r\n", __func__);
    hdr::setMsgStatus(msg, 0);
    wire::putU32(msg, rpmmsg::kAclBitmap, l2ptAclBitmap);
    wire::putI32(msg, rpmmsg::kMasterSlot, l2ptHalGetMstrSlotId());
    if (sendToPeer(ozmL2ptTcbNode.serviceId, ozmL2ptTcbNode.instanceId, msg, hdr::msgLen(msg)) ==
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

int l2ptProcessPRpmUpdateAcl(const uint8_t* msg, uint32_t len) {
    (void)len;
    L2PT_DBG("%s(): __ENTRY__ \r\n", __func__);
    l2ptAclBitmap = wire::getU32(msg, rpmmsg::kAclBitmap);
    L2PT_DBG("%s(): __EXIT__ \r\n", __func__);
    return 0;
}

void l2ptHalUpdateMstrSlotId(const uint8_t* msg) {
    l2ptMstrSlotId = wire::getI32(msg, rpmmsg::kMasterSlot);
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
