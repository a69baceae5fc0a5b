// Customer control PDUs as a line card traps them (802.1Q-tagged), for tests and benchmarks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace frames {

using Bytes = std::vector<uint8_t>;
using Mac = std::vector<uint8_t>;

inline const Mac kStpMac = {0x01, 0x80, 0xC2, 0x00, 0x00, 0x00};
inline const Mac kLldpMac = {0x01, 0x80, 0xC2, 0x00, 0x00, 0x0E};
inline const Mac kGvrpMac = {0x01, 0x80, 0xC2, 0x00, 0x00, 0x20};
inline const Mac kPvstMac = {0x01, 0x00, 0x0C, 0xCC, 0xCC, 0xCD};
inline const Mac kTunnelMac = {0x03, 0xA7, 0x31, 0x00, 0x00, 0x00};
inline const Mac kCustomerSrc = {0x00, 0x1B, 0x21, 0x3C, 0x4D, 0x5E};

// A configuration BPDU: LLC 42 42 03 behind an 802.3 length.
Bytes stp(uint16_t vlan, const Mac& src = kCustomerSrc);
// A GARP PDU: LLC 42 42 03 like STP, to the GVRP row's MAC.
Bytes gvrp(uint16_t vlan, const Mac& src = kCustomerSrc);
// An LLDPDU: Ethernet II, no LLC header.
Bytes lldp(uint16_t vlan, const Mac& src = kCustomerSrc);
// A PVST BPDU: LLC AA AA 03, SNAP 00 00 0C / 01 0B.
Bytes pvst(uint16_t vlan, const Mac& src = kCustomerSrc);

// The frame as the tunnelling path sends it to core ports: tunnel MAC, provider tag
// (tpid, vlan), and for PVST the customer's tag kept inside.
Bytes tunnelled(const Bytes& customer, uint16_t tpid, uint16_t providerVlan, const Mac& tunnelMac,
                bool keepInnerTag);

std::string hex(const Bytes& bytes);

}  // namespace frames
