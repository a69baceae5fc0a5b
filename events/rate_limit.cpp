// Rate limiting: a VLAN's limit is stored and re-sent with its access ports' entries.
#include "events/rate_limit.h"

#include "base/debug.h"
#include "base/log_codes.h"
#include "base/msg_check.h"
#include "base/pools.h"
#include "base/tcb.h"
#include "classification/acl_msg.h"
#include "classification/lag_walk.h"
#include "platform/evtlog.h"
#include "platform/ifm.h"
#include "platform/wire/l2pt.h"
#include "state/records.h"

namespace {

constexpr const char* kName = "l2ptProcessRate";
constexpr uint8_t kRateSet = 1;
// Entries re-sent for a rate change carry this mode, whatever the VLAN record's own.
constexpr uint8_t kAclModeRateChange = L2PT_ACL_MODE_RATE;

bool anyGlobalAgent() {
    for (const L2ptAclAgent& agent : l2ptAclAgentTable) {
        if (agent.alive != 0 && agent.global_acl == 1) {
            return true;
        }
    }
    return false;
}

bool onPerPortAgent(uint32_t ifIndex) {
    const L2ptAclAgent* agent = l2ptAgentOf(ifmIfIndexToSlotId(ifIndex));
    return agent != nullptr && agent->global_acl == 0;
}

// The VLAN's physical access ports (when perPortOnly, those whose agent takes per-port entries):
// each packed with the given add and rate; one flush when there was one.
template <class Debug>
void packAccessPorts(L2ptVmanEntry* vman, uint32_t vlanId, int32_t add, bool perPortOnly,
                     Debug&& debug) {
    bool met = false;
    for (L2ptIfNode* node = l2ptFirstIfNode(vman); node != nullptr; node = l2ptNextIfNode(node)) {
        if (l2ptIsLag(node->ifIndex) || node->isCore != 0 ||
            (perPortOnly && !onPerPortAgent(node->ifIndex))) {
            continue;
        }
        debug();
        l2ptPackAclPortEntry(node, add, vman->rateLimit, vlanId, vman->protoFlags,
                             kAclModeRateChange);
        met = true;
    }
    if (met) {
        l2ptDownloadAclMsg();
    }
}

// The members of LAGs that are access ports of the VLAN, likewise.
template <class Debug>
void packAccessLagMembers(L2ptVmanEntry* vman, uint32_t vlanId, int32_t add, bool perPortOnly,
                          Debug&& debug) {
    bool met = false;
    l2ptForEachLagMember(-1, [&](L2ptLagEntry& lag, int m) {
        L2ptIfNode* node = l2ptGetIfNode(vman, lag.lagIfIndex);
        if (node == nullptr) {
            L2PT_DBG("\r\n%s: could not get lag %s ifnode\r\n", kName,
                     L2ptDbgName(lag.lagIfIndex).text);
            return;
        }
        const uint32_t member = lag.memberIfIndex[m];
        if (node->isCore != 0 || (perPortOnly && !onPerPortAgent(member))) {
            return;
        }
        debug();
        l2ptPackAclLagPortEntry(node, member, add, vman->rateLimit, vlanId, vman->protoFlags,
                                lag.memberVlanCount[m], kAclModeRateChange);
        met = true;
    });
    if (met) {
        l2ptDownloadAclMsg();
    }
}

void setRate(uint32_t vlanIfIndex, uint32_t vlanId, uint32_t rate) {
    if (anyGlobalAgent()) {
        L2PT_DBG("\r\n%s: can't add rate value for %s, since ACL entry is Global\r\n", kName,
                 L2ptDbgName(vlanIfIndex).text);
        ozmSysErr(ozmL2ptTcbNode.logHandle, nullptr, L2PT_LOG_RATE_GLOBAL, 1);
        return;
    }
    L2ptVmanEntry* vman = pL2ptVlanTable[vlanId];
    if (vman == nullptr) {
        vman = l2ptCreateVmanEntry(vlanId, __LINE__);
        if (vman != nullptr) {
            vman->rateLimit = rate;
            vman->aclMode = L2PT_ACL_MODE_RATE;
        }
        return;  // no ports yet: the limit waits for them
    }
    vman->rateLimit = rate;
    vman->aclMode |= L2PT_ACL_MODE_RATE;
    const L2ptDbgName name(vlanIfIndex);
    packAccessPorts(vman, vlanId, 1, false, [&] {
        L2PT_DBG("\r\n%s: rate value %ld sent for access ports in %s                         \r\n",
                 kName, static_cast<long>(rate), name.text);
    });
    packAccessLagMembers(vman, vlanId, 1, false, [&] {
        L2PT_DBG("\r\n%s: rate value %ld sent for access ports in %s \r\n", kName,
                 static_cast<long>(rate), name.text);
    });
}

void removeRate(uint32_t vlanIfIndex, uint32_t vlanId) {
    L2ptVmanEntry* vman = pL2ptVlanTable[vlanId];
    if (vman == nullptr) {
        char text[L2PT_VLAN_TEXT_LEN];
        l2ptFormat(text, sizeof text, "vman %s does not exist", L2ptIfName(vlanIfIndex).text);
        ozmSysErr(ozmL2ptTcbNode.logHandle, nullptr, L2PT_LOG_FAILURE, 1, text);
        return;
    }
    if (vman->aclMode != L2PT_ACL_MODE_BOTH) {
        return;
    }
    vman->rateLimit = 0;
    vman->aclMode &= static_cast<uint8_t>(~L2PT_ACL_MODE_RATE);
    const L2ptDbgName name(vlanIfIndex);
    packAccessPorts(vman, vlanId, 0, true, [&] {
        L2PT_DBG("\r\n%s: rate value removed for access ports in %s                          \r\n",
                 kName, name.text);
    });
    packAccessLagMembers(vman, vlanId, 0, true, [&] {
        L2PT_DBG(
            "\r\n%s: rate value %ld removed for access ports in %s                                 "
            "  \r\n",
            kName, 0L, name.text);
    });
}

}  // namespace

void l2ptProcessRate(wire::Msg msg) {
    l2ptCheckMsgLen(msg, ratemsg::kLen);  // fields missing from a short message read as 0
    L2PT_DBG("%s: received rate limit msg\r\n", kName);
    const uint32_t vlanIfIndex = msg.u32(ratemsg::kVlanIfIndex);
    const uint32_t vlanId = static_cast<uint32_t>(ifmIfIndexToVlanId(vlanIfIndex));
    if (vlanId >= L2PT_MAX_VLAN) {
        L2PT_DBG("%s: invalid vlan %s \r\n", kName, L2ptDbgName(vlanIfIndex).text);
        return;
    }
    if (msg.u8(ratemsg::kRateOp) == kRateSet) {
        setRate(vlanIfIndex, vlanId, msg.u32(ratemsg::kRateValue));
    } else {
        removeRate(vlanIfIndex, vlanId);
    }
}

void l2ptShowRate() {
    for (const L2ptVmanEntry* vman : pL2ptVlanTable) {
        if (vman != nullptr) {
            ozmPrintf("L2PT rate limit value is %ld\r\n", static_cast<long>(vman->rateLimit));
        }
    }
    ozmPrintf("\r\n");
}
