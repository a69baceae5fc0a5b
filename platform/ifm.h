// Interface, card and system queries by interface index. All O(1).
#pragma once

#include <cstdint>

inline constexpr int OZM_IFTYPE_ETHERNET = 6;
inline constexpr int OZM_IFTYPE_LAG = 22;
inline constexpr int OZM_IFTYPE_VLAN = 135;
inline constexpr int OZM_IF_NAME_MAX = 100;  // callers give buffers of at least this size

// Unknown interfaces: names read "ifIndex <n>", numeric queries return -1.
int ifmIfIndexToName(uint32_t ifIndex, char* buf);
int ifmIfIndexToLName(uint32_t ifIndex, char* buf);
int ifmIfIndexToIfType(uint32_t ifIndex);
int ifmIfIndexToIfNum(uint32_t ifIndex);
int ifmIfIndexToSlotId(uint32_t ifIndex);
int ifmIfIndexToCardType(uint32_t ifIndex);
int ifmIfIndexToPortId(uint32_t ifIndex);
int ifmIfIndexToVlanId(uint32_t ifIndex);
int ozmifIndexToSfId(uint32_t ifIndex);
int ozmSysCardTypePortIdToPP(int cardType, int portId);
int ozmSysTenGEther(int cardType);
uint32_t ozmSysGetStkLineCardSlotId();
