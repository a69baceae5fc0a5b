// A small chassis shared by the chassis unit tests.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "chassis/config.h"

namespace chassis::test {

// Slot 0: per-port agent, ports p0/0..p0/3 (p0/3 untagged frames get VLAN 30).
// Slot 1: global agent, ports p1/0..p1/1. Slot 2: silent agent, absent at start.
// LAG 5 (lag5) with members p0/2 and p1/1. VLANs 100 and 4095.
inline constexpr std::string_view kYaml = R"(
chassis: {name: test, slots: 12}
rpm: {role: primary, master_slot: 1, peer: {role: primary, bitmap: 0xc0000000, master_slot: 0}}
card_types:
  - {id: 7, name: small}
  - {id: 9, name: tengig, ten_gig: true}
line_cards:
  - slot: 0
    type: 7
    ports:
      - {range: 0-2, name: "p0/{n}", long_name: "Port 0/{n}", unit: 3, pipe: 0}
      - {number: 3, name: p0/3, vlan: 30}
  - {slot: 1, type: 9, agent: global, ports: [{range: 0-1, name: "p1/{n}", pipe: 1}]}
  - {slot: 2, type: 7, agent: silent, present: false, ports: [{number: 0, name: p2/0}]}
lags:
  - {number: 5, name: lag5, members: [p0/2, p1/1]}
vlans:
  - {id: 100, name: v100}
  - {id: 4095, name: v4095}
tunnelling:
  vman_tpid: 0x88a8
  tunnel_mac: 02:00:00:00:00:01
  vlans:
    - vlan: v100
      protocols: [stp, pvst]
      rate: 64
      ports: [{port: p0/0}, {port: lag5, mode: core}]
  rates:
    - {vlan: v100, rate: 128}
pools:
  L2PT_VMAN_POOL: 3
)";

inline ChassisConfig config() {
    return loadChassisText(kYaml, "test.yaml");
}

}  // namespace chassis::test
