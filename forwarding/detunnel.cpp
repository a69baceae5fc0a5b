// De-tunnelling of PDUs received on core ports.
#include "forwarding/detunnel.h"

#include <cstring>

#include "base/debug.h"
#include "base/drop.h"
#include "base/tcb.h"
#include "diagnostics/pdu_trace.h"
#include "forwarding/frame.h"
#include "platform/wire/bytes.h"
#include "state/protocol.h"
#include "state/records.h"

namespace {

constexpr uint8_t kCorePortKind = 0;  // de-tunnelled PDUs go out on access ports

void sendDetunnelled(uint32_t rxIfIndex, uint32_t egressIfIndex, uint32_t vlanId,
                     const uint8_t* frame, int32_t len) {
    l2ptSendPdu(ozmL2ptTcbNode.stpSock, rxIfIndex, egressIfIndex, vlanId, frame, len, kCorePortKind,
                "cannot redirect tunneled pkt on vlan %s",
                "%s: redirected tunneled pkt on vlan %s\r\n", "l2ptHalProcessTunneledPacket");
}

}  // namespace

void l2ptProcessTunneledPacket(uint32_t rxIfIndex, uint8_t* frame, int32_t len) {
    const int32_t index = l2ptPortSlotIndex(rxIfIndex);
    if (l2ptFrameCut(rxIfIndex, len, __func__)) {
        return;
    }
    // Classification reads the tags, the LLC header and a SNAP header's protocol id.
    if (l2ptCheckLlcLen(frame, len) != 0) {
        L2PT_DROP(l2ptShortFrameReason(len), rxIfIndex,
                  "%s: tunneled PDU of len %d from core port %s dropped: shorter than its "
                  "headers\r\n",
                  __func__, len, L2ptDbgName(rxIfIndex).text);
        return;
    }
    const uint32_t vlanId = wire::getU16(frame, L2PT_FRAME_TAG_TCI) & L2PT_VLAN_ID_MASK;
    wire::putU16(frame, L2PT_FRAME_TAG_TCI, static_cast<uint16_t>(vlanId));
    L2PT_DBG("%s: processing tunneled vlan %ld PDU of len %d from core port %s\r\n", __func__,
             static_cast<long>(vlanId), len, L2ptDbgName(rxIfIndex).text);
    l2ptDebugPdu(rxIfIndex, vlanId, frame, len, 0, kCorePortKind);
    if (!l2ptPortSlotIndexValid(index)) {
        L2PT_DROP(L2ptDropReason::PortRange, rxIfIndex, "%s: port id %d is out of range\r\n",
                  __func__, index);
        return;
    }
    if (l2ptGetCorePort(rxIfIndex, 0) == nullptr) {
        L2PT_DROP(L2ptDropReason::NoCorePort, rxIfIndex, "%s: core port pointer is null\r\n",
                  __func__);
        return;
    }
    if (l2ptGetVman(vlanId) == nullptr) {
        L2PT_DROP(L2ptDropReason::NoVman, rxIfIndex, "%s: vman id %ld pointer is null\r\n",
                  __func__, static_cast<long>(vlanId));
        return;
    }
    l2ptHalProcessTunneledPacket(rxIfIndex, vlanId, frame, len);
}

void l2ptHalProcessTunneledPacket(uint32_t rxIfIndex, uint32_t vlanId, uint8_t* frame,
                                  int32_t len) {
    uint8_t copy[L2PT_PKT_BUF_SIZE] = {};
    L2ptVmanEntry* vman = l2ptGetVman(vlanId);
    if (vman == nullptr) {
        L2PT_DROP(L2ptDropReason::NoVman, rxIfIndex, "%s: vman id %ld pointer is null\r\n",
                  __func__, static_cast<long>(vlanId));
        return;
    }
    const L2ptProtocolNode* row = l2ptGetProtocolNode(frame, len);
    if (row == nullptr) {
        L2PT_DROP(L2ptDropReason::UnknownProto, rxIfIndex,
                  "%s: NULL protocol node for addr %02x:%02x:%02x:%02x:%02x:%02x\r\n", __func__,
                  frame[0], frame[1], frame[2], frame[3], frame[4], frame[5]);
        return;
    }
    if ((row->flag & vman->protoFlags) == 0) {
        L2PT_DROP(L2ptDropReason::ProtoOff, rxIfIndex,
                  "%s: proto type %x is not enabled for tunneling (flag %x)                      "
                  "\r\n",
                  __func__, row->flag, vman->protoFlags);
        return;
    }
    for (L2ptIfNode* node = l2ptFirstIfNode(vman); node != nullptr; node = l2ptNextIfNode(node)) {
        if (node->ifIndex != rxIfIndex && node->isCore != 0) {
            sendDetunnelled(rxIfIndex, node->ifIndex, vlanId, frame, len);
        }
    }
    // The de-tunnelled frame: the protocol's MAC, the customer's source MAC, the rest as received.
    std::memcpy(copy + L2PT_FRAME_DST_MAC, row->mac, L2PT_MAC_LEN);
    std::memcpy(copy + L2PT_FRAME_SRC_MAC, frame + L2PT_FRAME_SRC_MAC, L2PT_MAC_LEN);
    std::memcpy(copy + L2PT_FRAME_TAG_TPID, frame + L2PT_FRAME_TAG_TPID,
                static_cast<size_t>(len - L2PT_FRAME_TAG_TPID));
    for (L2ptIfNode* node = l2ptFirstIfNode(vman); node != nullptr; node = l2ptNextIfNode(node)) {
        if (node->ifIndex != rxIfIndex && node->isCore == 0) {
            sendDetunnelled(rxIfIndex, node->ifIndex, vlanId, copy, len);
        }
    }
}
