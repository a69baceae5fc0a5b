// PDU trace: which filtered ports a PDU concerns, and the PDU's bytes.
#include "diagnostics/pdu_trace.h"

#include <cstdio>
#include <cstring>

#include "base/debug.h"
#include "base/log_codes.h"
#include "base/tcb.h"
#include "diagnostics/debug_filter.h"
#include "platform/evtlog.h"
#include "state/records.h"

namespace {

constexpr size_t kLineSize = 200;
constexpr size_t kNameWrap = 195;  // a name that would take the line past this starts a new one
constexpr int kBytesPerLine = 20;

// A trace line built in place, written to the event log as a free line.
class TraceLine {
  public:
    TraceLine() { text_[0] = '\0'; }
    size_t length() const { return std::strlen(text_); }
    void append(const char* format, const char* arg) {
        const size_t used = length();
        if (used + 1 < kLineSize) {
            l2ptFormat(text_ + used, kLineSize - used, format, arg);
        }
    }
    void appendByte(uint8_t byte) {
        const size_t used = length();
        if (used + 1 < kLineSize) {
            l2ptFormat(text_ + used, kLineSize - used, "%02x ", byte);
        }
    }
    void flush() {
        ozmSysErr(ozmL2ptTcbNode.logHandle, text_, 0, 0);
        text_[0] = '\0';
    }

  private:
    char text_[kLineSize];
};

void dumpFrame(TraceLine& line, const uint8_t* frame, int32_t len) {
    for (int32_t i = 0; i < len; ++i) {
        line.appendByte(frame[i]);
        if ((i + 1) % kBytesPerLine == 0) {
            line.append("%s", "\r\n");
            line.flush();
        }
    }
    line.append("%s", "\r\n");
    line.flush();
}

// Counts a matched PDU against its filter; true when that made the filter run out.
bool countDown(L2ptDebugNode* filter) {
    if (filter->cur_count == 0) {
        return false;
    }
    if (--filter->cur_count != 0) {
        return false;
    }
    l2ptRemoveDebugNode(filter);
    return true;
}

}  // namespace

void l2ptDebugPdu(uint32_t ifIndex, uint32_t vlanId, const uint8_t* frame, int32_t len,
                  int32_t sending, uint8_t portKind) {
    if (l2ptDebugData.headerInstalled == 0) {
        return;
    }
    L2ptVmanEntry* vman = l2ptGetVman(vlanId);
    if (vman == nullptr) {
        return;
    }
    TraceLine line;
    if (sending != 0) {
        line.append("%s", "Sending translated PDU on ");
    } else {
        line.append("Received PDU on %s is h/w switched : ", L2ptIfName(ifIndex).text);
    }
    bool matched = false;
    bool expired = false;
    for (L2ptIfNode* node = l2ptFirstIfNode(vman); node != nullptr; node = l2ptNextIfNode(node)) {
        const bool examined = sending != 0 ? node->isCore == portKind : node->isCore != portKind;
        if (!examined) {
            continue;
        }
        L2ptDebugNode* filter = l2ptGetDebugNode(node->ifIndex);
        if (filter == nullptr) {
            continue;
        }
        const bool receivingPort = sending == 0 && node->ifIndex == ifIndex;
        // A PDU goes out on every port named but the one it was received on.
        const uint8_t skipped = receivingPort ? L2PT_DEBUG_DIR_OUT : L2PT_DEBUG_DIR_IN;
        if (filter->direction == skipped) {
            continue;
        }
        if (filter->vlan != 0 && filter->vlan != vlanId) {
            continue;
        }
        matched = true;
        expired = countDown(filter) || expired;
        if (receivingPort) {
            continue;
        }
        const L2ptIfName name(node->ifIndex);
        if (line.length() + std::strlen(name.text) > kNameWrap) {
            line.flush();
        }
        line.append("%s ", name.text);
    }
    if (!matched) {
        return;
    }
    line.flush();
    dumpFrame(line, frame, len);
    if (expired) {
        ozmSysErr(ozmL2ptTcbNode.logHandle, nullptr, L2PT_LOG_DEBUG_COUNT, 1);
    }
}

void l2ptDebugXPdu(uint32_t ifIndex, const uint8_t* frame, int32_t len, int32_t sending) {
    if (l2ptDebugData.headerInstalled == 0) {
        return;
    }
    L2ptDebugNode* filter = l2ptGetDebugNode(ifIndex);
    if (filter == nullptr) {
        return;
    }
    TraceLine line;
    if (sending == 1) {
        if (filter->direction == L2PT_DEBUG_DIR_IN) {
            return;
        }
        line.append("\r\nSending translated PDU on %s : \r\n", L2ptIfName(ifIndex).text);
    } else {
        if (filter->direction == L2PT_DEBUG_DIR_OUT) {
            return;
        }
        line.append("\r\nReceived PDU on %s : \r\n", L2ptIfName(ifIndex).text);
    }
    line.flush();
    dumpFrame(line, frame, len);
    if (countDown(filter)) {
        ozmSysErr(ozmL2ptTcbNode.logHandle, nullptr, L2PT_LOG_DEBUG_COUNT, 1);
    }
}
