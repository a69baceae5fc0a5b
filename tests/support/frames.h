// Customer control PDUs as a line card traps them (802.1Q-tagged), for tests and benchmarks.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace frames {

using Bytes = std::vector<uint8_t>;
using Mac = std::array<uint8_t, 6>;

inline constexpr Mac kStpMac = {0x01, 0x80, 0xC2, 0x00, 0x00, 0x00};
inline constexpr Mac kLldpMac = {0x01, 0x80, 0xC2, 0x00, 0x00, 0x0E};
inline constexpr Mac kGvrpMac = {0x01, 0x80, 0xC2, 0x00, 0x00, 0x20};
inline constexpr Mac kPvstMac = {0x01, 0x00, 0x0C, 0xCC, 0xCC, 0xCD};
inline constexpr Mac kTunnelMac = {0x03, 0xA7, 0x31, 0x00, 0x00, 0x00};
inline constexpr uint16_t kTpid = 0x9100;  // the task's default provider tag

// A configuration BPDU: LLC 42 42 03 behind an 802.3 length.
Bytes stp(uint16_t vlan);
// A GARP PDU: LLC 42 42 03 like STP, to the GVRP row's MAC.
Bytes gvrp(uint16_t vlan);
// An LLDPDU: Ethernet II, no LLC header.
Bytes lldp(uint16_t vlan);
// A PVST BPDU: LLC AA AA 03, SNAP 00 00 0C / 01 0B.
Bytes pvst(uint16_t vlan);

// The frame as the tunnelling path sends it to core ports: tunnel MAC, provider tag
// (tpid, vlan), and for PVST the customer's tag kept inside.
Bytes tunnelled(const Bytes& customer, uint16_t providerVlan = 100, uint16_t tpid = kTpid,
                const Mac& tunnelMac = kTunnelMac);
// The frame with another destination MAC.
Bytes withDst(Bytes frame, const Mac& dst);

}  // namespace frames
