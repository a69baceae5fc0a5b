// The protocol table and the classification of frames by MAC and by LLC header.
#include "state/protocol.h"

#include <cstdio>
#include <cstring>

#include "base/debug.h"
#include "platform/wire/bytes.h"

L2ptProtocolNode l2ptProtocolDB[L2PT_NUM_PROTOCOLS + 1] = {
    {{0x01, 0x80, 0xC2, 0x00, 0x00, 0x00}, "STP", L2PT_FLAG_STP, 0},
    {{0x01, 0x80, 0xC2, 0x00, 0x00, 0x0E}, "LLDP", L2PT_FLAG_LLDP, 0},
    {{0x01, 0x80, 0xC2, 0x00, 0x00, 0x20}, "GVRP", L2PT_FLAG_GVRP, 0},
    {{0x01, 0x00, 0x0C, 0xCC, 0xCC, 0xCD}, "PVST", L2PT_FLAG_PVST, 0},
    {{0x03, 0xA7, 0x31, 0x00, 0x00, 0x00}, "OZML2PT", L2PT_FLAG_ALL, 1},
};

const uint8_t l2ptMacAddr[L2PT_MAC_LEN] = {0x03, 0xA7, 0x31, 0x00, 0x00, 0x00};
const uint8_t pvstMacAddr[L2PT_MAC_LEN] = {0x01, 0x00, 0x0C, 0xCC, 0xCC, 0xCD};
const char* const pL2ptProtoString[L2PT_NUM_PROTOCOLS] = {"STP", "LLDP", "GVRP", "PVST"};
const char* const pL2ptDirStr[3] = {"both", "in", "out"};

namespace {

// Frame layout read by the LLC classification.
constexpr int kInnerTagProbe = 16;  // first byte of a second 802.1Q tag, if any
constexpr uint8_t kDot1qTpidHigh = 0x81;
constexpr int kLengthField = 16;       // 802.3 length after the outer tag
constexpr int kLengthFieldInner = 20;  // ... after a second tag
constexpr int kDsapOffset = 2;
constexpr int kControlOffset = 4;
constexpr int kSnapPidOffset = 8;
constexpr int kSnapPidEnd = 10;  // bytes needed after the length field to read the SNAP PID
constexpr uint8_t kDsapStp = 0x42;
constexpr uint8_t kDsapSnap = 0xAA;
constexpr uint8_t kLlcUi = 0x03;
constexpr uint16_t kSnapPidPvst = 0x010B;

L2ptProtocolNode* rowOfFlag(uint8_t flag) {
    const int32_t index = l2ptGetProtocolIndex(flag);
    return index < 0 ? nullptr : &l2ptProtocolDB[index];
}

}  // namespace

void l2ptSetTunnelMac(const uint8_t* mac) {
    std::memcpy(l2ptProtocolDB[L2PT_TUNNEL_ROW].mac, mac, L2PT_MAC_LEN);
}

int32_t l2ptGetProtocolIndex(uint32_t flag) {
    for (int32_t i = 0; i < L2PT_NUM_PROTOCOLS; ++i) {
        if (l2ptProtocolDB[i].flag == flag) {
            return i;
        }
    }
    L2PT_DBG("%s: unknown protocol flag %x\r\n", __func__, flag);
    return -1;
}

int32_t l2ptGetProtocolMac(int32_t useTunnelMac, uint32_t flag, uint8_t* out) {
    if (useTunnelMac != 0) {
        std::memcpy(out, l2ptTunnelMac(), L2PT_MAC_LEN);
        return static_cast<int32_t>(flag);
    }
    const int32_t index = l2ptGetProtocolIndex(flag);
    if (index < 0) {
        return -1;
    }
    std::memcpy(out, l2ptProtocolDB[index].mac, L2PT_MAC_LEN);
    return index;
}

uint8_t l2ptGetProtocolType(const uint8_t* frame) {
    for (int i = 0; i < L2PT_NUM_PROTOCOLS; ++i) {
        if (std::memcmp(frame, l2ptProtocolDB[i].mac, L2PT_MAC_LEN) == 0) {
            return l2ptProtocolDB[i].flag;
        }
    }
    return 0;
}

int32_t l2ptCheckLlcLen(const uint8_t* frame, int32_t len) {
    if (len <= kInnerTagProbe) {
        return -1;
    }
    const int t = frame[kInnerTagProbe] == kDot1qTpidHigh ? kLengthFieldInner : kLengthField;
    if (len <= t + kDsapOffset) {
        return -1;
    }
    if (frame[t + kDsapOffset] == kDsapSnap && len < t + kSnapPidEnd) {
        return -1;
    }
    return 0;
}

L2ptProtocolNode* l2ptGetProtocolNode(const uint8_t* frame, int32_t len) {
    if (l2ptCheckLlcLen(frame, len) != 0) {
        L2PT_DBG("%s: frame of len %d too short for an LLC header\r\n", __func__, len);
        return nullptr;
    }
    const int t = frame[kInnerTagProbe] == kDot1qTpidHigh ? kLengthFieldInner : kLengthField;
    const uint8_t dsap = frame[t + kDsapOffset];
    if (dsap == kDsapStp) {
        L2PT_DBG("%s: returning STP db node\r\n", __func__);
        return rowOfFlag(L2PT_FLAG_STP);
    }
    if (dsap == kDsapSnap) {
        if (frame[t + kControlOffset] != kLlcUi ||
            wire::getU16(frame, t + kSnapPidOffset) != kSnapPidPvst) {
            return rowOfFlag(L2PT_FLAG_STP);
        }
        L2PT_DBG("%s: returning PVST db node\r\n", __func__);
        return rowOfFlag(L2PT_FLAG_PVST);
    }
    L2PT_DBG("%s: UNKNOWN protocol \r\n", __func__);
    return nullptr;
}

void l2ptGetProtoString(char* buf, int32_t size, uint32_t flags) {
    int32_t used = 0;
    bool first = true;
    for (int i = 0; i < L2PT_NUM_PROTOCOLS; ++i) {
        if ((flags & (1u << i)) == 0) {
            continue;
        }
        if (!first && used < size) {
            used += l2ptFormat(buf + used, static_cast<size_t>(size - used), ",");
        }
        if (used < size) {
            used += l2ptFormat(buf + used, static_cast<size_t>(size - used), "%s",
                               l2ptProtocolDB[i].name);
        }
        first = false;
    }
}
