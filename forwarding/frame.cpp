// The receive check and the send step shared by both PDU paths.
#include "forwarding/frame.h"

#include <cstdio>

#include "base/debug.h"
#include "base/drop.h"
#include "base/log_codes.h"
#include "base/tcb.h"
#include "diagnostics/pdu_trace.h"
#include "platform/evtlog.h"

void l2ptSendPdu(int32_t sock, uint32_t rxIfIndex, uint32_t egressIfIndex, uint32_t vlanId,
                 const uint8_t* frame, int32_t len, uint8_t portKind, const char* failText,
                 const char* sentText, const char* caller) {
    const int sent = ozmSendto(sock, frame, len, OZM_MSG_SEND_FLAGS, L2PT_SEND_ADDR,
                               OZM_SOCKADDR_LEN, egressIfIndex);
    if (sent != len) {
        char text[L2PT_TEXT_LEN] = {};
        l2ptFormat(text, sizeof text, failText, L2ptIfName(egressIfIndex).text);
        ozmSysErr(ozmL2ptTcbNode.logHandle, nullptr, L2PT_LOG_FAILURE, 1, text);
        L2PT_DBG("%s: %s\r\n", caller, text);
    }
    l2ptDebugPdu(rxIfIndex, vlanId, frame, len, 1, portKind);
    L2PT_DBG(sentText, caller, L2ptDbgName(egressIfIndex).text);
}

bool l2ptFrameCut(uint32_t rxIfIndex, int32_t len, const char* caller) {
    if (len <= static_cast<int32_t>(L2PT_PKT_BUF_SIZE)) {
        return false;
    }
    L2PT_DROP(L2ptDropReason::TooLong, rxIfIndex,
              "%s: PDU of len %d from %s dropped: longer than the receive buffer\r\n", caller, len,
              L2ptDbgName(rxIfIndex).text);
    return true;
}

L2ptDropReason l2ptShortFrameReason(int32_t len) {
    return len < 0 ? L2ptDropReason::RxFailed : L2ptDropReason::Untagged;
}
