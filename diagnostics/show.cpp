// The show table: one row per tunnelling VLAN, paged into the CLI's reply.
#include "diagnostics/show.h"

#include <algorithm>
#include <cstring>

#include "base/debug.h"
#include "base/log_codes.h"
#include "base/tcb.h"
#include "classification/acl_msg.h"
#include "classification/agents.h"
#include "diagnostics/debug_filter.h"
#include "diagnostics/pdu_trace.h"
#include "events/rate_limit.h"
#include "platform/bitmap.h"
#include "platform/console.h"
#include "platform/evtlog.h"
#include "platform/shell.h"
#include "platform/wire/l2pt.h"
#include "state/protocol.h"
#include "state/records.h"

namespace {

constexpr const char* kHeader = "VLAN  Protocols    Rate-limit(Kbps)    Interface\r\n";
constexpr const char* kRowEnd = "\r\n";
constexpr size_t kRowEndLen = 2;
constexpr size_t kRowOverrun = 245;
constexpr size_t kProtoTextLen = 80;
// The reply carries the first 1024 bytes of the message: the text and its NUL must fit there.
constexpr size_t kTextRoom = climsg::kReplyLen - climsg::kShowText - 1;

// The reply text: appended in place, never past its room in the reply.
class ShowText {
  public:
    explicit ShowText(wire::ReplyMsg reply) : text_(reply.sub(climsg::kShowText, kTextRoom + 1)) {
        terminate();
    }
    size_t length() const { return len_; }
    void append(const char* s) {
        const size_t n = std::min(std::strlen(s), room() - len_);
        std::memcpy(text_.data() + len_, s, n);
        len_ += n;
        terminate();
    }

  private:
    size_t room() const { return text_.empty() ? 0 : text_.size() - 1; }
    void terminate() {
        if (!text_.empty()) {
            text_[len_] = '\0';
        }
    }

    std::span<uint8_t> text_;
    size_t len_ = 0;
};

}  // namespace

uint32_t l2ptGetVlanShowInfo(uint32_t vlanId, char* buf, size_t size) {
    buf[0] = '\0';
    const L2ptVmanEntry* vman = l2ptGetVman(vlanId);
    if (vman == nullptr) {
        return L2PT_SHOW_NO_VLAN;
    }
    if (vman->protoFlags == 0) {
        return L2PT_SHOW_NO_PROTOCOLS;
    }
    char protocols[kProtoTextLen] = "";
    l2ptGetProtoString(protocols, sizeof protocols, vman->protoFlags);
    if (vman->rateLimit != 0) {
        l2ptFormat(buf, size, "%-6d%-13s%-20d", static_cast<int>(vlanId), protocols,
                   static_cast<int>(vman->rateLimit));
    } else {
        l2ptFormat(buf, size, "%-6d%-13s-%-19s", static_cast<int>(vlanId), protocols, "");
    }
    for (const OzmDllNode* n = ozmDLLGetFirst(&vman->ifList); n != nullptr; n = ozmDLLGetNext(n)) {
        const size_t used = std::strlen(buf);
        if (used + 1 < size) {
            l2ptFormat(buf + used, size - used, "%s ",
                       L2ptIfName(reinterpret_cast<const L2ptIfNode*>(n)->ifIndex).text);
        }
        if (std::strlen(buf) > kRowOverrun) {
            ozmSysErr(ozmL2ptTcbNode.logHandle, nullptr, L2PT_LOG_FAILURE, 1,
                      "buffer overrun in l2ptGetVlanShowInfo");
            L2PT_DBG("%s: Buffer overrun\r\n", __func__);
            return L2PT_SHOW_OK;
        }
    }
    return L2PT_SHOW_OK;
}

uint32_t l2ptProcessShow(uint32_t first, uint32_t subCode, wire::ReplyMsg reply) {
    ShowText text(reply);
    text.append(kHeader);
    char row[L2PT_SHOW_ROW_LEN];
    if (subCode == climsg::kSubShowVlan) {
        const uint32_t rc = l2ptGetVlanShowInfo(first, row, sizeof row);
        if (rc != L2PT_SHOW_OK) {
            return rc;
        }
        text.append(row);
        text.append(kRowEnd);
        reply.putU16(climsg::kShowFound, 1);
        reply.putU16(climsg::kShowMore, 0);
        return L2PT_SHOW_OK;
    }
    reply.putU16(climsg::kShowFound, 0);
    for (uint32_t vid = first; vid < L2PT_MAX_VLAN; ++vid) {
        if (l2ptGetVlanShowInfo(vid, row, sizeof row) != L2PT_SHOW_OK) {
            continue;
        }
        reply.putU16(climsg::kShowFound, 1);
        if (text.length() + std::strlen(row) + kRowEndLen > kTextRoom) {
            reply.putU32(climsg::kShowVlan, vid);  // the next page begins here
            return L2PT_SHOW_OK;
        }
        text.append(row);
        text.append(kRowEnd);
    }
    reply.putU16(climsg::kShowMore, 0);
    return L2PT_SHOW_OK;
}

namespace {

constexpr size_t kDumpProtoTextLen = 100;
constexpr int32_t kMaxVlanId = L2PT_MAX_VLAN - 1;
constexpr int32_t kMaxLagNum = L2PT_MAX_LAG - 1;
constexpr uint32_t kSlotBit0 = 0x80000000u;  // slot s is kSlotBit0 >> s

// The protocol names of a dump line, in a buffer of the dumps' size.
struct DumpProtoNames {
    char text[kDumpProtoTextLen] = "";
    explicit DumpProtoNames(uint8_t flags) { l2ptGetProtoString(text, sizeof text, flags); }
};

// "puts": the text and a newline.
void dumpPuts(const char* text) {
    ozmPrintf("%s\n", text);
}

void dumpCounters(const uint32_t* counts) {
    for (int p = 0; p < L2PT_NUM_PROTOCOLS; ++p) {
        ozmPrintf("%ld ", static_cast<long>(counts[p]));
    }
}

}  // namespace

void l2ptShowVman(int32_t vlanId) {
    ozmPrintf("Vlan id %d name       : ", static_cast<int>(vlanId));
    L2ptVmanEntry* vman = vlanId >= 0 ? l2ptGetVman(static_cast<uint32_t>(vlanId)) : nullptr;
    if (vman == nullptr) {
        dumpPuts(" NULL\r");
        return;
    }
    ozmPrintf("%s\r\n", L2ptIfName(vman->vlanIfIndex).text);
    ozmPrintf("Rate-Limit            : %ld\r\n", static_cast<long>(vman->rateLimit));
    if (vman->protoFlags != 0) {
        ozmPrintf("Flag                  : %s\r\n", DumpProtoNames(vman->protoFlags).text);
    } else {
        dumpPuts("Flag                  : 0\r");
    }
    ozmPrintf("List of interfaces    : ");
    for (L2ptIfNode* node = l2ptFirstIfNode(vman); node != nullptr; node = l2ptNextIfNode(node)) {
        ozmPrintf("\r\n%s, core_port %d, ", L2ptIfName(node->ifIndex).text,
                  static_cast<int>(node->isCore));
    }
    dumpPuts("\r");
}

void l2ptShowVmanTable() {
    for (int32_t vid = 0; vid <= kMaxVlanId; ++vid) {
        if (pL2ptVlanTable[vid] != nullptr) {
            l2ptShowVman(vid);
        }
    }
    dumpPuts("\r");
}

void l2ptShowAccessPortList() {
    ozmPrintf("Access port list : ");
    for (const L2ptAccessPort* port : pL2ptAccessPortTable) {
        if (port == nullptr) {
            continue;
        }
        ozmPrintf("\r\n%s vlan %ld ", L2ptIfName(port->ifIndex).text,
                  static_cast<long>(port->vlanId));
        ozmPrintf("flag %s", port->protoFlags != 0 ? DumpProtoNames(port->protoFlags).text : "0");
    }
    dumpPuts("\r");
}

void l2ptShowCorePortList() {
    ozmPrintf("Core port list : ");
    for (OzmDllNode* n = ozmDLLGetFirst(&l2ptCorePortList); n != nullptr; n = ozmDLLGetNext(n)) {
        const L2ptCorePort* core = l2ptCorePortOf(n);
        ozmPrintf("\r\n%s, vlan counters: ", L2ptIfName(core->ifIndex).text);
        dumpCounters(core->vlanCount);
    }
    dumpPuts("\r");
}

void l2ptShowLag(int32_t lagNum) {
    if (lagNum < 0 || lagNum > kMaxLagNum) {
        return;
    }
    const L2ptLagEntry& lag = l2ptLagTable[lagNum];
    ozmPrintf("Lag Id        : %d\r\n", static_cast<int>(lagNum));
    ozmPrintf("List of members (%d): ", static_cast<int>(lag.memberCount));
    for (int m = 0; m < L2PT_MAX_LAG_MEMBERS; ++m) {
        if (lag.memberIfIndex[m] != 0) {
            ozmPrintf("%s, vlan counters: ", L2ptIfName(lag.memberIfIndex[m]).text);
            dumpCounters(lag.memberVlanCount[m]);
        }
    }
    ozmPrintf("\r\nList of VLANs : ");
    for (int vid = GET_FIRST_BIT_BITMAP(lag.vlanBitmap, L2PT_VLAN_BITMAP_BITS); vid >= 0;
         vid = GET_NEXT_BIT_BITMAP(lag.vlanBitmap, vid, L2PT_VLAN_BITMAP_BITS)) {
        const L2ptVmanEntry* vman = l2ptGetVman(static_cast<uint32_t>(vid));
        if (vman != nullptr) {
            ozmPrintf("%s ", L2ptIfName(vman->vlanIfIndex).text);
        } else {
            ozmPrintf("Vlan id %ld Vman pointer is null\r\n", static_cast<long>(vid));
        }
    }
    dumpPuts("\r");
}

void l2ptShowLagTable() {
    for (int32_t lag = 0; lag <= kMaxLagNum; ++lag) {
        l2ptShowLag(lag);
    }
}

void l2ptShowAclAgentTable() {
    for (int32_t slot = 0; slot < L2PT_MAX_SLOTS; ++slot) {
        const L2ptAclAgent& agent = l2ptAclAgentTable[slot];
        ozmPrintf("\r\nAgent                 : %d\r\n", static_cast<int>(slot));
        ozmPrintf("  Alive               : %d\r\n", static_cast<int>(agent.alive));
        ozmPrintf("  global_acl          : %d\r\n", static_cast<int>(agent.global_acl));
        if (agent.alive != 0) {
            ozmPrintf(" ptr %p\r\n", static_cast<const void*>(agent.aclMsg));
        }
    }
}

void l2ptShowAclBitmap() {
    ozmPrintf("l2pt is registered with aclAgents on following slots :  ");
    for (int32_t slot = 0; slot < L2PT_MAX_SLOTS; ++slot) {
        if ((l2ptAclBitmap & (kSlotBit0 >> slot)) != 0) {
            ozmPrintf("%d ", static_cast<int>(slot));
        }
    }
    dumpPuts("\r");
}

void l2ptShowDebugList() {
    ozmPrintf("Debug header installed %d\r\n", static_cast<int>(l2ptDebugData.headerInstalled));
    dumpPuts("List of interface debugs :\r");
    for (OzmDllNode* n = ozmDLLGetFirst(&l2ptDebugData.list); n != nullptr; n = ozmDLLGetNext(n)) {
        const auto* filter = reinterpret_cast<const L2ptDebugNode*>(n);
        ozmPrintf("%s, vlan %ld, cfg_count %d, current count %d, direction %d\r\n",
                  L2ptIfName(filter->ifIndex).text, static_cast<long>(filter->vlan),
                  static_cast<int>(filter->cfg_count), static_cast<int>(filter->cur_count),
                  static_cast<int>(filter->direction));
    }
}

void l2ptShowMac() {
    dumpPuts("L2pt Mac\r");
    const uint8_t* mac = l2ptTunnelMac();
    for (int i = 0; i < L2PT_MAC_LEN; ++i) {
        ozmPrintf("%x \t", static_cast<unsigned>(mac[i]));
    }
    dumpPuts("\r");
}

// The debug shell's way in: each dump by name, its arguments checked against their ranges.
namespace {

using ozm::ShellResult;
using ozm::shell::Args;
using ozm::shell::parseNumber;

constexpr int32_t kSendingMax = 1;

template <void (*Dump)()>
ShellResult callNoArgs(Args args) {
    if (!args.empty()) {
        return {-1, {}};
    }
    Dump();
    return {0, {}};
}

template <void (*Dump)(int32_t), int32_t Max>
ShellResult callOneNumber(Args args) {
    const auto n = args.size() == 1 ? parseNumber(args[0], Max) : std::nullopt;
    if (!n) {
        return {-1, {}};
    }
    Dump(static_cast<int32_t>(*n));
    return {0, {}};
}

// l2ptDebugXPdu IFINDEX FRAME-HEX SENDING: the frame's length is that of its bytes.
ShellResult callDebugXPdu(Args args) {
    if (args.size() != 3) {
        return {-1, {}};
    }
    const auto ifIndex = parseNumber(args[0], UINT32_MAX);
    const auto frame = ozm::shell::parseHex(args[1]);
    const auto sending = parseNumber(args[2], kSendingMax);
    if (!ifIndex || !frame || !sending) {
        return {-1, {}};
    }
    l2ptDebugXPdu(static_cast<uint32_t>(*ifIndex), frame->data(),
                  static_cast<int32_t>(frame->size()), static_cast<int32_t>(*sending));
    return {0, {}};
}

}  // namespace

OZM_EXPORT_FUNCTION(l2ptShowVman, "VLAN-ID (0-4095)", (callOneNumber<l2ptShowVman, kMaxVlanId>));
OZM_EXPORT_FUNCTION(l2ptShowVmanTable, "", callNoArgs<l2ptShowVmanTable>);
OZM_EXPORT_FUNCTION(l2ptShowAccessPortList, "", callNoArgs<l2ptShowAccessPortList>);
OZM_EXPORT_FUNCTION(l2ptShowCorePortList, "", callNoArgs<l2ptShowCorePortList>);
OZM_EXPORT_FUNCTION(l2ptShowLag, "LAG-NUMBER (0-128)", (callOneNumber<l2ptShowLag, kMaxLagNum>));
OZM_EXPORT_FUNCTION(l2ptShowLagTable, "", callNoArgs<l2ptShowLagTable>);
OZM_EXPORT_FUNCTION(l2ptShowAclAgentTable, "", callNoArgs<l2ptShowAclAgentTable>);
OZM_EXPORT_FUNCTION(l2ptShowAclBitmap, "", callNoArgs<l2ptShowAclBitmap>);
OZM_EXPORT_FUNCTION(l2ptShowDebugList, "", callNoArgs<l2ptShowDebugList>);
OZM_EXPORT_FUNCTION(l2ptShowMac, "", callNoArgs<l2ptShowMac>);
OZM_EXPORT_FUNCTION(l2ptShowRate, "", callNoArgs<l2ptShowRate>);
OZM_EXPORT_FUNCTION(l2ptDebugXPdu, "IFINDEX FRAME-HEX SENDING (0 or 1)", callDebugXPdu);
