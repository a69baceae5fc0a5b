// The protocol table: the tunnelled protocols' MACs, names and flag bits, and the tunnel MAC.
#pragma once

#include <cstdint>

inline constexpr uint8_t L2PT_FLAG_STP = 0x01;
inline constexpr uint8_t L2PT_FLAG_LLDP = 0x02;
inline constexpr uint8_t L2PT_FLAG_GVRP = 0x04;
inline constexpr uint8_t L2PT_FLAG_PVST = 0x08;
inline constexpr uint8_t L2PT_FLAG_ALL = 0x0F;
inline constexpr int L2PT_NUM_PROTOCOLS = 4;
inline constexpr int L2PT_TUNNEL_ROW = 4;
inline constexpr int L2PT_MAC_LEN = 6;

struct L2ptProtocolNode {
    uint8_t mac[L2PT_MAC_LEN];
    char name[10];
    uint8_t flag;
    uint8_t isTunnelRow;
};

// Rows 0-3: STP, LLDP, GVRP, PVST; row 4: the tunnel, whose MAC is the tunnel MAC in force.
extern L2ptProtocolNode l2ptProtocolDB[L2PT_NUM_PROTOCOLS + 1];
extern const uint8_t l2ptMacAddr[L2PT_MAC_LEN];  // the default tunnel MAC
extern const uint8_t pvstMacAddr[L2PT_MAC_LEN];
extern const char* const pL2ptProtoString[L2PT_NUM_PROTOCOLS];
extern const char* const pL2ptDirStr[3];

// The tunnel MAC in force.
inline const uint8_t* l2ptTunnelMac() {
    return l2ptProtocolDB[L2PT_TUNNEL_ROW].mac;
}
void l2ptSetTunnelMac(const uint8_t* mac);

// Row index (0-3) of exactly this flag, or -1.
int32_t l2ptGetProtocolIndex(uint32_t flag);
// The tunnel MAC (returns flag) or the protocol's MAC (returns its index); -1 for an unknown flag.
int32_t l2ptGetProtocolMac(int32_t useTunnelMac, uint32_t flag, uint8_t* out);
// Flag of the protocol row whose MAC is the frame's destination (6 bytes read), or 0.
uint8_t l2ptGetProtocolType(const uint8_t* frame);
// 0 when a tunnelled frame of len bytes holds every header its LLC classification reads (the
// tags, the LLC header, behind a SNAP DSAP the protocol id), -1 when it is cut short of one.
int32_t l2ptCheckLlcLen(const uint8_t* frame, int32_t len);
// Row of a tunnelled frame by its LLC header, or null. len bounds what is read.
L2ptProtocolNode* l2ptGetProtocolNode(const uint8_t* frame, int32_t len);
// "STP,LLDP,..." for the flags' bits 0-3, cut to size; writes nothing when no bit is set.
void l2ptGetProtoString(char* buf, int32_t size, uint32_t flags);
