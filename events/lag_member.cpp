// LAG member events: member slots of the LAG record, and the members' entries for every
// tunnelling VLAN of the LAG.
#include "events/lag_member.h"

#include <cstdio>

#include "base/debug.h"
#include "base/log_codes.h"
#include "base/msg_check.h"
#include "base/tcb.h"
#include "classification/acl_msg.h"
#include "classification/lag_walk.h"
#include "platform/evtlog.h"
#include "platform/wire/l2pt.h"
#include "state/records.h"

namespace {

constexpr const char* kName = "l2ptProcessLagMemberEvent";

void logBadBlock(const char* format, int32_t block, int32_t count, uint32_t value) {
    char text[L2PT_VLAN_TEXT_LEN];
    l2ptFormat(text, sizeof text, format, kName, block + 1, count, value);
    ozmSysErr(ozmL2ptTcbNode.logHandle, nullptr, L2PT_LOG_FAILURE, 1, text);
}

// The member slot an event takes: the first free one (add), or the first holding the member.
// A member word of 0 is no exception: it takes (or frees) a free slot and moves the count.
int memberSlotFor(const L2ptLagEntry& lag, uint32_t member, int32_t add) {
    const uint32_t wanted = add != 0 ? 0 : member;
    for (int m = 0; m < L2PT_MAX_LAG_MEMBERS; ++m) {
        if (lag.memberIfIndex[m] == wanted) {
            return m;
        }
    }
    return -1;
}

void handleMember(L2ptLagEntry& lag, uint32_t member, int32_t add) {
    L2PT_DBG("%s ", L2ptDbgName(member).text);
    const int m = memberSlotFor(lag, member, add);
    if (m < 0) {
        L2PT_DBG("\r\n%s: member %s cannot be handled\r\n", kName, L2ptDbgName(member).text);
        return;
    }
    if (add != 0) {
        lag.memberIfIndex[m] = member;
        ++lag.memberCount;
    } else {
        lag.memberIfIndex[m] = 0;
        --lag.memberCount;
    }
    l2ptForEachLagVlan(
        lag, L2PT_LAG_WALK_TEXTS, kName, [&](uint32_t vid, L2ptVmanEntry* vman, L2ptIfNode* node) {
            l2ptNormaliseAclMode(vman);
            if (node->isCore != 0) {
                l2ptPackAclLagPortEntry(node, member, add, 0, vid, vman->protoFlags,
                                        lag.memberVlanCount[m], L2PT_ACL_MODE_CORE);
            } else {
                l2ptPackAclLagPortEntry(node, member, add, vman->rateLimit, vid, vman->protoFlags,
                                        lag.memberVlanCount[m], vman->aclMode);
            }
        });
    L2PT_DBG("\r");
}

}  // namespace

void l2ptProcessLagMemberEvent(wire::Msg msg, int32_t add) {
    l2ptCheckMsgLen(msg, lagmsg::kBlocks);
    const int32_t count = msg.i32(lagmsg::kBlockCount);
    L2PT_DBG("%s: received lag event (add %d) msg for %d lags\r\n", kName, add, count);
    for (int32_t b = 0; b < count; ++b) {
        const size_t pos = lagmsg::kBlocks + size_t{static_cast<uint32_t>(b)} * lagmsg::kBlockLen;
        if (!msg.has(pos, lagmsg::kBlockLen)) {
            logBadBlock("%s: lag block %d of %d runs past the message end (%u bytes)", b, count,
                        static_cast<uint32_t>(msg.size()));
            break;
        }
        const wire::Msg block = msg.sub(pos, lagmsg::kBlockLen);
        const uint32_t lagIfIndex = block.u32(lagmsg::kBlkLagIfIndex);
        L2ptLagEntry* lag = l2ptGetLagEntry(lagIfIndex);
        if (lag == nullptr) {
            logBadBlock("%s: lag block %d of %d names LAG ifIndex %u outside LAG numbers 0-128", b,
                        count, lagIfIndex);
            continue;
        }
        lag->lagIfIndex = lagIfIndex;
        const uint8_t members = block.u8(lagmsg::kBlkMemberCount);
        if (members > lagmsg::kMaxMembersPerBlock) {
            logBadBlock("%s: lag block %d of %d has %u members, more than its 17 entries", b, count,
                        members);
            continue;
        }
        L2PT_DBG("%s: received lag (%s) event (add %d) msg for %d ports\r\n", kName,
                 L2ptDbgName(lagIfIndex).text, add, members);
        L2PT_DBG("List of ports: ");
        for (uint32_t i = 0; i < members; ++i) {
            handleMember(*lag, block.u32(lagmsg::kBlkMembers + lagmsg::kMemberLen * i), add);
        }
    }
    l2ptDownloadAclMsg();
}
