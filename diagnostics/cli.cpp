// CLI requests: the show table and the per-port debug filters with their configuration lines.
#include "diagnostics/cli.h"

#include <cstring>

#include "base/debug.h"
#include "base/msg_check.h"
#include "base/pools.h"
#include "base/tcb.h"
#include "diagnostics/debug_filter.h"
#include "diagnostics/show.h"
#include "platform/evtlog.h"
#include "platform/ifm.h"
#include "platform/ipc.h"
#include "platform/mem.h"
#include "platform/wire/l2pt.h"
#include "state/protocol.h"

namespace {

constexpr size_t kLineSize = 256;
constexpr int kSiteNodeAlloc = 224;
constexpr int kSiteNodeFree = 389;
constexpr int kSiteResetFree = 263;
constexpr int kSeverityAll = 7;
constexpr uint32_t kCountMask = 0xFFFF;
// The fields of the longest request, a debug filter's.
constexpr size_t kRequestLen = climsg::kDbgDirection + 1;

// A configuration line built from parts; a part is added while the length the parts would
// have is at most the line's room, cut when it does not fit.
class CfgLine {
  public:
    explicit CfgLine(const char* start) { add("%s", start); }
    template <class... Args>
    void add(const char* format, Args... args) {
        if (counted_ > kLineSize - 1) {
            return;
        }
        const size_t used = std::strlen(text_);
        const int n = l2ptFormat(text_ + used, kLineSize - used, format, args...);
        counted_ += n > 0 ? static_cast<size_t>(n) : 0;
    }
    const char* text() const { return text_; }

  private:
    char text_[kLineSize] = "";
    size_t counted_ = 0;
};

uint32_t setFilter(wire::Msg msg) {
    const uint32_t ifIndex = msg.u32(climsg::kDbgIfIndex);
    const uint32_t vlan = msg.u32(climsg::kDbgVlan);
    const uint32_t count = msg.u32(climsg::kDbgCount);
    const uint8_t direction = msg.u8(climsg::kDbgDirection);
    if (direction > L2PT_DEBUG_DIR_OUT) {
        L2PT_DBG("%s: direction %d is not one of both, in, out\r\n", "l2ptProcessDebug", direction);
        return L2PT_CLI_BAD_DIRECTION;
    }
    l2ptInstallDebugHeader();
    OzmCfgEntry entry;
    L2ptDebugNode* node = l2ptGetDebugNode(ifIndex);
    if (node == nullptr) {
        node = l2ptAllocRecord<L2ptDebugNode>(L2PT_MOD_CLI, kSiteNodeAlloc, L2PT_TAG_DEBUGNODE,
                                              L2PT_DEBUGNODE_POOL_ID);
        if (node == nullptr) {
            L2PT_DBG("%s: Memory alloc error \r\n", "l2ptAllocAndInsertDebugNode");
            L2PT_DBG("%s: Memory alloc error\r\n", "l2ptProcessDebug");
            return L2PT_CLI_NO_MEMORY;
        }
        node->ifIndex = ifIndex;
        ozmDLLInsertAtFront(&l2ptDebugData.list, &node->links);
    } else {
        l2ptDebugConfigAdd(ifIndex, "", &entry, 0);
    }
    // The filter is what its line says: a request without VLAN or count clears them.
    char longName[OZM_IF_NAME_MAX];
    ifmIfIndexToLName(ifIndex, longName);
    CfgLine line("    debug protocol-tunnel ");
    line.add("%s %s", longName, pL2ptDirStr[direction]);
    node->direction = direction;
    node->vlan = vlan;
    if (vlan != 0) {
        line.add(" vlan %ld", static_cast<long>(vlan));
    }
    node->cfg_count = node->cur_count = static_cast<uint16_t>(count & kCountMask);
    if (count != 0) {
        line.add(" count %ld", static_cast<long>(count));
    }
    l2ptDebugConfigAdd(ifIndex, line.text(), &entry, 1);
    l2ptRemoveDebugHeaderIfEmpty();
    return L2PT_CLI_OK;
}

uint32_t removeFilter(wire::Msg msg) {
    const uint32_t ifIndex = msg.u32(climsg::kDbgIfIndex);
    L2ptDebugNode* node = l2ptGetDebugNode(ifIndex);
    if (node == nullptr) {
        L2PT_DBG("%s: Debug node missing \r\n", "l2ptProcessDebug");
        return L2PT_CLI_NO_FILTER;
    }
    char longName[OZM_IF_NAME_MAX];
    ifmIfIndexToLName(node->ifIndex, longName);
    CfgLine line("debug protocol-tunnel ");
    line.add("%s %s", longName, pL2ptDirStr[node->direction]);
    if (node->vlan != 0) {
        line.add(" vlan %ld", static_cast<long>(node->vlan));
    }
    if (node->cfg_count != 0) {
        line.add(" count %d", node->cfg_count);
    }
    OzmCfgEntry entry;
    l2ptDebugConfigAdd(ifIndex, line.text(), &entry, 0);
    ozmDLLRemove(&l2ptDebugData.list, &node->links);
    ozmMC_M_memBlockFree(L2PT_MOD_CLI, kSiteNodeFree, node);
    l2ptRemoveDebugHeaderIfEmpty();
    return L2PT_CLI_OK;
}

}  // namespace

int l2ptProcessCli(wire::Msg msg, wire::ReplyMsg reply) {
    // A short request is answered all the same: the fields it lacks read as 0.
    l2ptCheckMsgLen(msg, kRequestLen);
    reply.putU32(climsg::kResult, 0);
    const uint32_t subCode = msg.u32(climsg::kSubCode);
    L2PT_DBG("%s: Received CLI msg %d\r\n", __func__, subCode);
    uint32_t result = 0;
    if (subCode == climsg::kSubShowVlan || subCode == climsg::kSubShowAll) {
        result = l2ptProcessShow(msg.u32(climsg::kShowVlan), subCode, reply);
    } else if (subCode == climsg::kSubDebug) {
        result = msg.u16(climsg::kDbgRemove) == 0 ? setFilter(msg) : removeFilter(msg);
    } else {
        L2PT_DBG("%s: Received unknown CLI msg\r\n", __func__);
    }
    reply.putU32(climsg::kResult, result);
    reply.putU32(replymsg::kReplyCode, 0);
    return ozmIpcReply(ozmL2ptTcbNode.ipcKey, reply.data(), reply.cap(climsg::kReplyLen));
}

void l2ptResetAllDebug() {
    L2PT_DBG("%s: processing undebug all msg\r\n", __func__);
    l2ptDebugConfigRemoveAll();
    for (OzmDllNode* n = ozmDLLGetFirst(&l2ptDebugData.list); n != nullptr;) {
        OzmDllNode* next = ozmDLLGetNext(n);
        ozmMC_M_memBlockFree(L2PT_MOD_CLI, kSiteResetFree, n);
        n = next;
    }
    ozmDLLInit(&l2ptDebugData.list);
    l2ptDebugData.headerInstalled = 0;
    ozmEvtTurnOnSeverityLevel(ozmL2ptTcbNode.logHandle, kSeverityAll);
}
