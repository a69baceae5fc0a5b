// Tunnelling of PDUs received on access ports.
#include "forwarding/tunnel.h"

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

constexpr uint8_t kEdgePortKind = 1;  // tunnelled PDUs go out on core ports

void sendTunnelled(uint32_t rxIfIndex, uint32_t egressIfIndex, uint32_t vlanId,
                   const uint8_t* frame, int32_t len) {
    l2ptSendPdu(ozmL2ptTcbNode.l2ptSock, rxIfIndex, egressIfIndex, vlanId, frame, len,
                kEdgePortKind, "cannot tunnel pkt on vlan %s", "%s: tunneled pkt on vlan %s\r\n",
                "l2ptHalProcessPacket");
}

}  // namespace

void l2ptProcessPacket(uint32_t rxIfIndex, uint8_t* frame, int32_t len) {
    const int32_t index = l2ptPortSlotIndex(rxIfIndex);
    L2PT_DBG("%s: processing PDU of len %d from edge port %s\r\n", __func__, len,
             L2ptDbgName(rxIfIndex).text);
    if (l2ptFrameCut(rxIfIndex, len, __func__)) {
        return;
    }
    if (len < L2PT_FRAME_MIN_LEN) {
        L2PT_DROP(l2ptShortFrameReason(len), rxIfIndex,
                  "%s: PDU of len %d dropped: not a tagged frame\r\n", __func__, len);
        return;
    }
    if (!l2ptPortSlotIndexValid(index)) {
        L2PT_DROP(L2ptDropReason::PortRange, rxIfIndex, "%s: port id %d is out of range\r\n",
                  __func__, index);
        return;
    }
    const L2ptAccessPort* port = pL2ptAccessPortTable[index];
    if (port == nullptr) {
        L2PT_DROP(L2ptDropReason::NoAccessPort, rxIfIndex, "%s: port pointer is null\r\n",
                  __func__);
        return;
    }
    l2ptDebugPdu(rxIfIndex, port->vlanId, frame, len, 0, kEdgePortKind);
    const uint8_t flag = l2ptGetProtocolType(frame);
    if (flag == 0 || (flag & port->protoFlags) == 0) {
        L2PT_DROP(flag == 0 ? L2ptDropReason::UnknownProto : L2ptDropReason::ProtoOff, rxIfIndex,
                  "%s: proto type %x is not enabled for tunneling (flag %x)\r\n", __func__, flag,
                  port->protoFlags);
        return;
    }
    if (l2ptGetVman(port->vlanId) == nullptr) {
        L2PT_DROP(L2ptDropReason::NoVman, rxIfIndex, "%s: vman id %ld pointer is null\r\n",
                  __func__, static_cast<long>(port->vlanId));
        return;
    }
    l2ptHalProcessPacket(rxIfIndex, port->vlanId, frame, len, flag);
}

void l2ptHalProcessPacket(uint32_t rxIfIndex, uint32_t vlanId, uint8_t* frame, int32_t len,
                          uint8_t flag) {
    L2ptVmanEntry* vman = l2ptGetVman(vlanId);
    if (vman == nullptr) {
        L2PT_DROP(L2ptDropReason::NoVman, rxIfIndex, "%s: vman id %ld pointer is null\r\n",
                  __func__, static_cast<long>(vlanId));
        return;
    }
    if (flag == L2PT_FLAG_PVST) {
        // The received tag becomes the inner tag behind the provider tag.
        if (len + L2PT_FRAME_TAG_LEN > static_cast<int32_t>(L2PT_PKT_BUF_SIZE)) {
            L2PT_DROP(L2ptDropReason::NoTagRoom, rxIfIndex,
                      "%s: PVST PDU of len %d dropped: no room for the provider tag\r\n", __func__,
                      len);
            return;
        }
        std::memmove(frame + L2PT_FRAME_TAG_TPID + L2PT_FRAME_TAG_LEN, frame + L2PT_FRAME_TAG_TPID,
                     static_cast<size_t>(len - L2PT_FRAME_TAG_TPID));
        len += L2PT_FRAME_TAG_LEN;
    }
    wire::putU16(frame, L2PT_FRAME_TAG_TPID, l2ptVmanPt);
    wire::putU16(frame, L2PT_FRAME_TAG_TCI, static_cast<uint16_t>(vlanId & L2PT_VLAN_ID_MASK));
    for (L2ptIfNode* node = l2ptFirstIfNode(vman); node != nullptr; node = l2ptNextIfNode(node)) {
        if (node->ifIndex != rxIfIndex && node->isCore == 0) {
            sendTunnelled(rxIfIndex, node->ifIndex, vlanId, frame, len);
        }
    }
    for (L2ptIfNode* node = l2ptFirstIfNode(vman); node != nullptr; node = l2ptNextIfNode(node)) {
        if (node->ifIndex != rxIfIndex && node->isCore != 0) {
            std::memcpy(frame + L2PT_FRAME_DST_MAC, l2ptTunnelMac(), L2PT_MAC_LEN);
            wire::putU16(frame, L2PT_FRAME_TAG_TPID, l2ptVmanPt);
            sendTunnelled(rxIfIndex, node->ifIndex, vlanId, frame, len);
        }
    }
}
