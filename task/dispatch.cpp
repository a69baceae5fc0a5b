// Dispatch of control messages by type, with the sequence check of IFM's configuration messages.
#include "task/dispatch.h"

#include <algorithm>
#include <cstdio>

#include "base/debug.h"
#include "base/log_codes.h"
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
#include "platform/wire/bytes.h"
#include "platform/wire/header.h"
#include "platform/wire/l2pt.h"
#include "redundancy/peer_rpm.h"
#include "redundancy/takeover.h"
#include "task/shutdown.h"

namespace {

// Call sites of the sequenced-queue buffers, for the platform's accounting.
constexpr int kSiteAckFree = 378;

using Handler = void (*)(uint8_t* msg, uint32_t len);

struct Route {
    uint32_t type;
    bool sequenced;   // must pass the sequence-and-acknowledge check first
    uint32_t minLen;  // the fixed fields the handler reads
    Handler handler;
};

void onSwpTimeout(uint8_t* msg, uint32_t) {
    ozmSwpTimeout(msg);
}

void onSwpAck(uint8_t* msg, uint32_t) {
    void* block = nullptr;
    if (ozmSwpDequeue(msg, &block) == 0 && block != nullptr) {
        ozmMC_M_memBlockVarFree(L2PT_MOD_TASK, kSiteAckFree, block);
    }
}

void onBlockCfg(uint8_t*, uint32_t) {
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

void onEventNotification(uint8_t* msg, uint32_t) {
    static constexpr const char* kName = "l2ptProcessEvtHdlrNotif";
    const uint32_t event = wire::getU32(msg, evtmsg::kEventId);
    if (!isLineCardEvent(event)) {
        L2PT_DBG("%s: Unknown event: %d\r\n", kName, event);
        return;
    }
    const uint32_t slot = wire::getU32(msg, evtmsg::kSlot);
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

void onAclUpdate(uint8_t* msg, uint32_t len) {
    L2PT_DBG("%s(): Received MT_L2PT_ACL_UPDATE_PRPM \r\n", "l2ptTaskProcMsg");
    l2ptProcessPRpmUpdateAcl(msg, len);
}

void onRegReq(uint8_t* msg, uint32_t len) {
    l2ptProcessPRpmRegReq(msg, len);
    L2PT_DBG("%s(): Received MT_L2PT_REG_REQ \r\n", "l2ptTaskProcMsg");
}

void onLagMemberAdd(uint8_t* msg, uint32_t len) {
    l2ptProcessLagMemberEvent(msg, len, 1);
}
void onLagMemberDel(uint8_t* msg, uint32_t len) {
    l2ptProcessLagMemberEvent(msg, len, 0);
}
void onMac(uint8_t* msg, uint32_t len) {
    l2ptProcessMac(msg, len);
}
void onAddVlanPort(uint8_t* msg, uint32_t len) {
    l2ptProcessAddVlanPort(msg, len);
}
void onDelVlanPort(uint8_t* msg, uint32_t len) {
    l2ptProcessDelVlanPort(msg, len);
}
void onVlanProtoDisable(uint8_t* msg, uint32_t len) {
    l2ptProcessVlanProtocolDisable(msg, len);
}
void onVmanPt(uint8_t* msg, uint32_t len) {
    l2ptSetVmanPt(msg, len);
}
void onCli(uint8_t* msg, uint32_t len) {
    l2ptProcessCli(msg, len);
}
void onUndebugAll(uint8_t*, uint32_t) {
    l2ptResetAllDebug();
}
void onRate(uint8_t* msg, uint32_t len) {
    l2ptProcessRate(msg, len);
}
void onHaControl(uint8_t* msg, uint32_t len) {
    L2PT_DBG("%s(): Received HA_CONTROL \r\n", "l2ptTaskProcMsg");
    l2ptProcessHA(msg, len);
}

constexpr uint32_t kSeqBody = hdr::kSeqHeaderLen;
constexpr uint32_t kPlain = hdr::kPlainHeaderLen;

constexpr Route kRoutes[] = {
    {MT_SWP_TIMEOUT, false, kSeqBody, onSwpTimeout},
    {MT_SWP_ACK, false, kSeqBody, onSwpAck},
    {MT_HA_CONTROL, false, hdr::kHaEvent + sizeof(uint32_t), onHaControl},
    {MT_UNDEBUG_ALL, false, kPlain, onUndebugAll},
    {MT_EVT_NOTIFICATION, false, evtmsg::kLen, onEventNotification},
    {MT_BLOCK_CFG_FIRST, false, kPlain, onBlockCfg},
    {MT_BLOCK_CFG_FIRST + 1, false, kPlain, onBlockCfg},
    {MT_BLOCK_CFG_LAST, false, kPlain, onBlockCfg},
    {MT_CLI_REQ, false, climsg::kDbgDirection + 1, onCli},
    {MT_L2PT_TASK_DISABLE, false, replymsg::kReplyCode + sizeof(uint32_t), l2ptProcessTaskDisable},
    {MT_L2PT_RATE_LIMIT, true, ratemsg::kLen, onRate},
    {MT_L2PT_MAC, true, macmsg::kLen, onMac},
    {MT_L2PT_ADD_VLAN_PORT, true, vlanmsg::kBlocks, onAddVlanPort},
    {MT_L2PT_DEL_VLAN_PORT, true, vlanmsg::kBlocks, onDelVlanPort},
    {MT_L2PT_VLAN_PROTO_DISABLE, true, vlanmsg::kBlocks, onVlanProtoDisable},
    {MT_L2PT_LAG_MEMBER_ADD, true, lagmsg::kBlocks, onLagMemberAdd},
    {MT_L2PT_LAG_MEMBER_DEL, true, lagmsg::kBlocks, onLagMemberDel},
    {MT_L2PT_ACL_UPDATE_PRPM, false, rpmmsg::kMasterSlot, onAclUpdate},
    {MT_L2PT_REG_REQ, false, rpmmsg::kLen, onRegReq},
    {MT_L2PT_VMAN_PT, true, vmanptmsg::kLen, onVmanPt},
};

const Route* routeOf(uint32_t type) {
    for (const Route& route : kRoutes) {
        if (route.type == type) {
            return &route;
        }
    }
    return nullptr;
}

// Every handler's fixed fields lie within the receive buffer, so a short message read over its
// zeroed tail stays inside the buffer.
constexpr bool routesFitTheBuffer() {
    for (const Route& route : kRoutes) {
        if (route.minLen > L2PT_IPC_BUF_SIZE) {
            return false;
        }
    }
    return true;
}
static_assert(routesFitTheBuffer());

}  // namespace

void l2ptTaskProcMsg(uint8_t* msg, uint32_t rxLen) {
    const uint32_t type = hdr::msgType(msg);
    const Route* route = routeOf(type);
    if (route == nullptr) {
        L2PT_DBG("%s: Got an unknown notif %d\r\n", __func__, type);
        return;
    }
    // Variable parts are bounded by what both the header and the receive say arrived; the fixed
    // fields of a message cut short read as zeros.
    const uint32_t len = std::min(hdr::msgLen(msg), rxLen);
    if (len < route->minLen) {
        L2PT_DBG("%s: msg type %d of %u bytes is short of %u\r\n", __func__, type, len,
                 route->minLen);
    }
    if (route->sequenced) {
        const int rc = ozmSwpCkSeqAndAck(msg, ozmL2ptTcbNode.swpSeqState, ozmL2ptTcbNode.reqQueue);
        if (rc == OZM_SWP_DUPLICATE) {
            return;
        }
        if (rc != 0) {
            ozmSysErr(ozmL2ptTcbNode.logHandle, nullptr, L2PT_LOG_SEQ_CHECK, 1, rc,
                      "Check sequence and Ack failure");
            return;
        }
    }
    route->handler(msg, len);
}

void l2ptSetVmanPt(const uint8_t* msg, uint32_t) {
    l2ptVmanPt = wire::getU16(msg, vmanptmsg::kTpid);
    L2PT_DBG("%s: received vman pt msg: value %x\r\n", __func__, l2ptVmanPt);
}
