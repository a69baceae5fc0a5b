// Dispatch of control messages by type, with the sequence check of IFM's configuration messages.
#include "task/dispatch.h"

#include <array>
#include <cstdio>

#include "base/debug.h"
#include "base/log_codes.h"
#include "base/msg_check.h"
#include "base/pools.h"
#include "base/tcb.h"
#include "classification/acl_msg.h"
#include "classification/agents.h"
#include "classification/config_download.h"
#include "classification/tunnel_mac.h"
#include "diagnostics/cli.h"
#include "events/lag_member.h"
#include "events/rate_limit.h"
#include "events/vlan_port.h"
#include "platform/bitmap.h"
#include "platform/evtlog.h"
#include "platform/ha.h"
#include "platform/mem.h"
#include "platform/swp.h"
#include "platform/symbols.h"
#include "platform/wire/header.h"
#include "platform/wire/l2pt.h"
#include "platform/wire/msg.h"
#include "redundancy/peer_rpm.h"
#include "redundancy/takeover.h"
#include "task/shutdown.h"

namespace {

// Call sites of the sequenced-queue buffers, for the platform's accounting.
constexpr int kSiteAckFree = 378;

// Every handler reads the message through the bounded view and decides itself what a message
// shorter than its fields means; those that answer in place write into the reply buffer.
using Handler = void (*)(wire::Msg msg, wire::ReplyMsg reply);

struct Route {
    uint32_t type;
    bool sequenced;  // must pass the sequence-and-acknowledge check first
    Handler handler;
};

// The sequenced-queue service reads the whole sequenced header by pointer: it gets a copy, zero
// past what arrived.
using SeqHeader = std::array<uint8_t, hdr::kSeqHeaderLen>;

void onSwpTimeout(wire::Msg msg, wire::ReplyMsg) {
    l2ptCheckMsgLen(msg, hdr::kSeqHeaderLen);
    SeqHeader header = msg.head<hdr::kSeqHeaderLen>();
    ozmSwpTimeout(header.data());
}

void onSwpAck(wire::Msg msg, wire::ReplyMsg) {
    l2ptCheckMsgLen(msg, hdr::kSeqHeaderLen);
    SeqHeader header = msg.head<hdr::kSeqHeaderLen>();
    void* block = nullptr;
    if (ozmSwpDequeue(header.data(), &block) == 0 && block != nullptr) {
        ozmMC_M_memBlockVarFree(L2PT_MOD_TASK, kSiteAckFree, block);
    }
}

void onBlockCfg(wire::Msg msg, wire::ReplyMsg) {
    l2ptCheckMsgLen(msg, hdr::kPlainHeaderLen);
    L2PT_DBG("%s: Got block cfg notif\r\n", "l2ptTaskProcMsg");
}

bool isLineCardEvent(uint32_t event) {
    return event == EVT_LINECARD_UP || event == EVT_LINECARD_DOWN || event == EVT_LINECARD_REMOVED;
}

// Line card came up: register its agent and download its configuration, a bounded number of
// times, until its bit in the agent bitmap is set.
void lineCardUp(int32_t slot) {
    const uint32_t bit = ozmBitMask(slot);
    for (int32_t attempts = 0;;) {
        if ((l2ptAclBitmap & bit) != 0) {
            return;
        }
        if (l2ptInitAclAgent(slot) == 1) {
            l2ptDownloadConfig(slot);
        }
        if (++attempts >= gL2PTMaxAclTry) {
            break;
        }
    }
    if ((l2ptAclBitmap & bit) == 0 && ozmHaIsPrimaryRpm() == 1) {
        ozmSysErr(ozmL2ptTcbNode.logHandle, nullptr, L2PT_LOG_AGENT_NOT_REGISTERED, 1, slot);
    }
}

void onEventNotification(wire::Msg msg, wire::ReplyMsg) {
    static constexpr const char* kName = "l2ptProcessEvtHdlrNotif";
    l2ptCheckMsgLen(msg, evtmsg::kLen);
    const uint32_t event = msg.u32(evtmsg::kEventId);
    if (!isLineCardEvent(event)) {
        L2PT_DBG("%s: Unknown event: %d\r\n", kName, event);
        return;
    }
    const uint32_t slot = msg.u32(evtmsg::kSlot);
    if (slot >= static_cast<uint32_t>(L2PT_MAX_SLOTS)) {
        L2PT_DBG("%s: Unknown slot: %d\r\n", kName, slot);
        return;
    }
    L2PT_DBG("%s: processing event notification\r\n", kName);
    if (event == EVT_LINECARD_UP) {
        lineCardUp(static_cast<int32_t>(slot));
    } else {
        l2ptProcessCardDown(static_cast<int32_t>(slot));
        l2ptExitAclAgent(static_cast<int32_t>(slot));
    }
}

void onAclUpdate(wire::Msg msg, wire::ReplyMsg) {
    L2PT_DBG("%s(): Received MT_L2PT_ACL_UPDATE_PRPM \r\n", "l2ptTaskProcMsg");
    l2ptProcessPRpmUpdateAcl(msg);
}

void onRegReq(wire::Msg msg, wire::ReplyMsg reply) {
    l2ptProcessPRpmRegReq(msg, reply);
    L2PT_DBG("%s(): Received MT_L2PT_REG_REQ \r\n", "l2ptTaskProcMsg");
}

void onLagMemberAdd(wire::Msg msg, wire::ReplyMsg) {
    l2ptProcessLagMemberEvent(msg, 1);
}
void onLagMemberDel(wire::Msg msg, wire::ReplyMsg) {
    l2ptProcessLagMemberEvent(msg, 0);
}
void onMac(wire::Msg msg, wire::ReplyMsg) {
    l2ptProcessMac(msg);
}
void onAddVlanPort(wire::Msg msg, wire::ReplyMsg) {
    l2ptProcessAddVlanPort(msg);
}
void onDelVlanPort(wire::Msg msg, wire::ReplyMsg) {
    l2ptProcessDelVlanPort(msg);
}
void onVlanProtoDisable(wire::Msg msg, wire::ReplyMsg) {
    l2ptProcessVlanProtocolDisable(msg);
}
void onVmanPt(wire::Msg msg, wire::ReplyMsg) {
    l2ptSetVmanPt(msg);
}
void onCli(wire::Msg msg, wire::ReplyMsg reply) {
    l2ptProcessCli(msg, reply);
}
void onUndebugAll(wire::Msg msg, wire::ReplyMsg) {
    l2ptCheckMsgLen(msg, hdr::kPlainHeaderLen);
    l2ptResetAllDebug();
}
void onRate(wire::Msg msg, wire::ReplyMsg) {
    l2ptProcessRate(msg);
}
void onHaControl(wire::Msg msg, wire::ReplyMsg) {
    L2PT_DBG("%s(): Received HA_CONTROL \r\n", "l2ptTaskProcMsg");
    l2ptProcessHA(msg);
}

constexpr Route kRoutes[] = {
    {MT_SWP_TIMEOUT, false, onSwpTimeout},
    {MT_SWP_ACK, false, onSwpAck},
    {MT_HA_CONTROL, false, onHaControl},
    {MT_UNDEBUG_ALL, false, onUndebugAll},
    {MT_EVT_NOTIFICATION, false, onEventNotification},
    {MT_BLOCK_CFG_FIRST, false, onBlockCfg},
    {MT_BLOCK_CFG_FIRST + 1, false, onBlockCfg},
    {MT_BLOCK_CFG_LAST, false, onBlockCfg},
    {MT_CLI_REQ, false, onCli},
    {MT_L2PT_TASK_DISABLE, false, l2ptProcessTaskDisable},
    {MT_L2PT_RATE_LIMIT, true, onRate},
    {MT_L2PT_MAC, true, onMac},
    {MT_L2PT_ADD_VLAN_PORT, true, onAddVlanPort},
    {MT_L2PT_DEL_VLAN_PORT, true, onDelVlanPort},
    {MT_L2PT_VLAN_PROTO_DISABLE, true, onVlanProtoDisable},
    {MT_L2PT_LAG_MEMBER_ADD, true, onLagMemberAdd},
    {MT_L2PT_LAG_MEMBER_DEL, true, onLagMemberDel},
    {MT_L2PT_ACL_UPDATE_PRPM, false, onAclUpdate},
    {MT_L2PT_REG_REQ, false, onRegReq},
    {MT_L2PT_VMAN_PT, true, onVmanPt},
};

const Route* routeOf(uint32_t type) {
    for (const Route& route : kRoutes) {
        if (route.type == type) {
            return &route;
        }
    }
    return nullptr;
}

}  // namespace

void l2ptTaskProcMsg(std::span<uint8_t> buf, uint32_t rxLen) {
    // Everything is read within what both the header and the receive say arrived.
    const wire::Msg msg = wire::Msg::received(buf, rxLen);
    const uint32_t type = msg.u32(hdr::kMsgType);
    const Route* route = routeOf(type);
    if (route == nullptr) {
        L2PT_DBG("%s: Got an unknown notif %d\r\n", __func__, type);
        return;
    }
    if (route->sequenced) {
        SeqHeader header = msg.head<hdr::kSeqHeaderLen>();
        const int rc =
            ozmSwpCkSeqAndAck(header.data(), ozmL2ptTcbNode.swpSeqState, ozmL2ptTcbNode.reqQueue);
        if (rc == OZM_SWP_DUPLICATE) {
            return;
        }
        if (rc != 0) {
            ozmSysErr(ozmL2ptTcbNode.logHandle, nullptr, L2PT_LOG_SEQ_CHECK, 1, rc,
                      "Check sequence and Ack failure");
            return;
        }
    }
    route->handler(msg, wire::ReplyMsg(buf));
}

void l2ptSetVmanPt(wire::Msg msg) {
    l2ptCheckMsgLen(msg, vmanptmsg::kLen);
    l2ptVmanPt = msg.u16(vmanptmsg::kTpid);
    L2PT_DBG("%s: received vman pt msg: value %x\r\n", __func__, l2ptVmanPt);
}
