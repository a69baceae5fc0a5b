// Message types, service numbers and body layouts of the messages the tunnelling task
// exchanges with IFM, the ACL agents, the peer RPM, the CLI and the event service.
// Offsets count from the start of the message.
#pragma once

#include <cstddef>
#include <cstdint>

namespace svc {
inline constexpr uint32_t kL2pt = 225;  // the tunnelling task
inline constexpr uint32_t kIfm = 138;   // interface manager
inline constexpr uint32_t kAcl = 58;    // ACL agent, one per line-card slot
}  // namespace svc

// Message types.
inline constexpr uint32_t MT_SWP_TIMEOUT = 401;
inline constexpr uint32_t MT_SWP_ACK = 402;
inline constexpr uint32_t MT_HA_CONTROL = 1608;
inline constexpr uint32_t MT_UNDEBUG_ALL = 2003;
inline constexpr uint32_t MT_EVT_NOTIFICATION = 2009;
inline constexpr uint32_t MT_BLOCK_CFG_FIRST = 2804;
inline constexpr uint32_t MT_BLOCK_CFG_LAST = 2806;
inline constexpr uint32_t MT_CLI_REQ = 6001;
inline constexpr uint32_t MT_L2PT_TASK_DISABLE = 24402;
inline constexpr uint32_t MT_L2PT_RATE_LIMIT = 24403;
inline constexpr uint32_t MT_L2PT_MAC = 24404;
inline constexpr uint32_t MT_L2PT_ADD_VLAN_PORT = 24405;
inline constexpr uint32_t MT_L2PT_DEL_VLAN_PORT = 24406;
inline constexpr uint32_t MT_L2PT_VLAN_PROTO_DISABLE = 24407;
inline constexpr uint32_t MT_L2PT_LAG_MEMBER_ADD = 24408;
inline constexpr uint32_t MT_L2PT_LAG_MEMBER_DEL = 24409;
inline constexpr uint32_t MT_L2PT_IFM_REG = 24410;
inline constexpr uint32_t MT_L2PT_IFM_DOWNLOAD_DATA = 24411;
inline constexpr uint32_t MT_L2PT_ACL_REG = 24412;
inline constexpr uint32_t MT_L2PT_ACL_DEREG = 24413;
inline constexpr uint32_t MT_L2PT_ACL_DOWNLOAD = 24414;
inline constexpr uint32_t MT_L2PT_ACL_UPDATE_PRPM = 24415;
inline constexpr uint32_t MT_L2PT_REG_REQ = 24416;
inline constexpr uint32_t MT_L2PT_VMAN_PT = 24417;

// Line-card events of the event service (message MT_EVT_NOTIFICATION).
inline constexpr uint32_t EVT_LINECARD_UP = 0x118011;
inline constexpr uint32_t EVT_LINECARD_DOWN = 0x118012;
inline constexpr uint32_t EVT_LINECARD_REMOVED = 0x118013;

namespace evtmsg {
inline constexpr size_t kEventId = 64;  // u32
inline constexpr size_t kSlot = 68;     // u32
inline constexpr size_t kLen = 72;
}  // namespace evtmsg

// Plain requests answered in place (CLI, task disable).
namespace replymsg {
inline constexpr size_t kReplyCode = 64;  // u32
}

// IFM registration reply (24410).
namespace ifmreg {
inline constexpr size_t kMaxSlots = 60;        // u32 slot count of the chassis
inline constexpr size_t kLineCardBitmap = 64;  // u32, slot i present when bit (1 << i) is set
inline constexpr size_t kRequestLen = 1024;
}  // namespace ifmreg

// VLAN port messages (24405, 24406, 24407).
namespace vlanmsg {
inline constexpr size_t kBlockCount = 124;  // u32
inline constexpr size_t kBlocks = 128;
// VLAN block, offsets from the block start.
inline constexpr size_t kBlkVlanIfIndex = 0;  // u32
inline constexpr size_t kBlkPortCount = 6;    // u16
inline constexpr size_t kBlkRate = 8;         // u16 Kbps
inline constexpr size_t kBlkFlags = 10;       // u8 protocol flags
inline constexpr size_t kBlkHeaderLen = 12;
// Port entry, offsets from the entry start.
inline constexpr size_t kPortIfIndex = 0;  // u32
inline constexpr size_t kPortMode = 4;     // u32
inline constexpr size_t kPortEntryLen = 8;
inline constexpr uint32_t kModeCorePort = 0x20;
}  // namespace vlanmsg

// LAG member messages (24408, 24409).
namespace lagmsg {
inline constexpr size_t kBlockCount = 124;  // i32
inline constexpr size_t kBlocks = 128;
inline constexpr size_t kBlkLagIfIndex = 0;  // u32
inline constexpr size_t kBlkMembers = 4;     // 17 x u32
inline constexpr size_t kMemberLen = 4;
inline constexpr size_t kBlkMemberCount = 72;  // u8
inline constexpr size_t kBlockLen = 76;
inline constexpr uint32_t kMaxMembersPerBlock = 17;
}  // namespace lagmsg

// Rate-limit message (24403).
namespace ratemsg {
inline constexpr size_t kVlanIfIndex = 124;  // u32
inline constexpr size_t kRateValue = 128;    // u32 Kbps
inline constexpr size_t kRateOp = 132;       // u8, 1 = set
inline constexpr size_t kLen = 133;
}  // namespace ratemsg

// Tunnel MAC message (24404).
namespace macmsg {
inline constexpr size_t kNewMac = 124;         // 6 bytes
inline constexpr size_t kSetMac = 130;         // u8, 1 = set newMac
inline constexpr size_t kReplaceGlobal = 131;  // u8
inline constexpr size_t kLen = 132;
}  // namespace macmsg

// VMAN tag protocol identifier message (24417).
namespace vmanptmsg {
inline constexpr size_t kTpid = 124;  // u16
inline constexpr size_t kLen = 126;
}  // namespace vmanptmsg

// ACL download message (24414) and its entries.
namespace aclmsg {
inline constexpr size_t kMsgSize = 8192;
inline constexpr size_t kAclOp = 124;       // u32, 1 install, 0 remove
inline constexpr size_t kEntryCount = 128;  // u32
inline constexpr size_t kEntries = 132;
inline constexpr size_t kEntryLen = 28;
inline constexpr uint32_t kMaxEntries = 287;
// Entry, offsets from the entry start.
inline constexpr size_t kEntIfIndex = 0;     // u32
inline constexpr size_t kEntMac = 4;         // 6 bytes
inline constexpr size_t kEntMask = 10;       // 6 bytes
inline constexpr size_t kEntGlobal = 16;     // u32
inline constexpr size_t kEntRateLimit = 20;  // u32 Kbps
inline constexpr size_t kEntAclMode = 24;    // u8
inline constexpr uint32_t kOpRemove = 0;
inline constexpr uint32_t kOpInstall = 1;
static_assert(kEntries + kMaxEntries * kEntryLen <= kMsgSize);
static_assert(kEntries + (kMaxEntries + 1) * kEntryLen > kMsgSize);
}  // namespace aclmsg

// ACL agent registration and deregistration (24412, 24413).
namespace aclreg {
inline constexpr size_t kAgentSlot = 60;   // u32
inline constexpr size_t kPortAcl = 64;     // u32, reply: non-zero = per-port entries
inline constexpr size_t kMasterSlot = 72;  // u32
inline constexpr size_t kLen = 76;
inline constexpr size_t kBufferLen = 1024;
}  // namespace aclreg

// Inter-RPM messages (24415, 24416).
namespace rpmmsg {
inline constexpr size_t kAclBitmap = 60;   // u32
inline constexpr size_t kMasterSlot = 64;  // i32
inline constexpr size_t kLen = 68;
inline constexpr int32_t kStatusRequest = -1;
}  // namespace rpmmsg

// CLI request (6001).
namespace climsg {
inline constexpr size_t kSubCode = 80;  // u32
inline constexpr size_t kResult = 84;   // u32
// debug filter (sub-code 8)
inline constexpr size_t kDbgRemove = 88;      // u16
inline constexpr size_t kDbgIfIndex = 92;     // u32
inline constexpr size_t kDbgVlan = 96;        // u32
inline constexpr size_t kDbgCount = 100;      // u32
inline constexpr size_t kDbgDirection = 104;  // u8
// show (sub-codes 5 and 6)
inline constexpr size_t kShowVlan = 92;   // u32
inline constexpr size_t kShowMore = 96;   // u16
inline constexpr size_t kShowFound = 98;  // u16
inline constexpr size_t kShowText = 100;
inline constexpr size_t kReplyLen = 1024;
inline constexpr uint32_t kSubShowVlan = 5;
inline constexpr uint32_t kSubShowAll = 6;
inline constexpr uint32_t kSubDebug = 8;
}  // namespace climsg

// Kernel request that hands the tunnel MAC to the kernel.
namespace macreq {
inline constexpr size_t kLen = 1440;
inline constexpr size_t kCmd = 24;       // u32 = 4
inline constexpr size_t kAddrLen = 42;   // u8 = 6
inline constexpr size_t kAddrType = 43;  // u8 = 18
inline constexpr size_t kMac = 44;       // 6 bytes
inline constexpr uint32_t kCmdValue = 4;
inline constexpr uint8_t kAddrLenValue = 6;
inline constexpr uint8_t kAddrTypeValue = 18;
inline constexpr unsigned long kIoctl = 0xc5a0696fUL;
}  // namespace macreq
