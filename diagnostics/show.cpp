// The show table: one row per tunnelling VLAN, paged into the CLI's reply.
#include "diagnostics/show.h"

#include <algorithm>
#include <cstring>

#include "base/debug.h"
#include "base/log_codes.h"
#include "base/tcb.h"
#include "platform/evtlog.h"
#include "platform/wire/bytes.h"
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

// The reply text: appended in place, never past its room.
class ShowText {
  public:
    explicit ShowText(uint8_t* msg) : text_(reinterpret_cast<char*>(msg + climsg::kShowText)) {
        text_[0] = '\0';
    }
    size_t length() const { return len_; }
    void append(const char* s) {
        const size_t n = std::min(std::strlen(s), kTextRoom - len_);
        std::memcpy(text_ + len_, s, n);
        len_ += n;
        text_[len_] = '\0';
    }

  private:
    char* text_;
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

uint32_t l2ptProcessShow(uint8_t* msg, uint32_t subCode) {
    ShowText text(msg);
    text.append(kHeader);
    char row[L2PT_SHOW_ROW_LEN];
    const uint32_t first = wire::getU32(msg, climsg::kShowVlan);
    if (subCode == climsg::kSubShowVlan) {
        const uint32_t rc = l2ptGetVlanShowInfo(first, row, sizeof row);
        if (rc != L2PT_SHOW_OK) {
            return rc;
        }
        text.append(row);
        text.append(kRowEnd);
        wire::putU16(msg, climsg::kShowFound, 1);
        wire::putU16(msg, climsg::kShowMore, 0);
        return L2PT_SHOW_OK;
    }
    wire::putU16(msg, climsg::kShowFound, 0);
    for (uint32_t vid = first; vid < L2PT_MAX_VLAN; ++vid) {
        if (l2ptGetVlanShowInfo(vid, row, sizeof row) != L2PT_SHOW_OK) {
            continue;
        }
        wire::putU16(msg, climsg::kShowFound, 1);
        if (text.length() + std::strlen(row) + kRowEndLen > kTextRoom) {
            wire::putU32(msg, climsg::kShowVlan, vid);  // the next page begins here
            return L2PT_SHOW_OK;
        }
        text.append(row);
        text.append(kRowEnd);
    }
    wire::putU16(msg, climsg::kShowMore, 0);
    return L2PT_SHOW_OK;
}
