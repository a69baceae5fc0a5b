// What the data plane reads of IFM's tunnelling state, and no more: the provider TPID, each
// VLAN's member ports and LAGs with their roles, and a generation that moves with every change
// to either or to a LAG's members. The chassis wires IFM in as this view.
#pragma once

#include <array>
#include <cstdint>
#include <functional>

namespace chassis {

class Membership {
  public:
    struct Member {
        uint16_t vid;
        uint32_t ifIndex;  // a port or a LAG
        bool core;         // a provider (core) port; else an access (customer) port
    };

    virtual ~Membership() = default;
    // Changes whenever the TPID, a VLAN's members or a LAG's members change.
    virtual uint64_t generation() const = 0;
    // The provider tag protocol identifier in force.
    virtual uint16_t vmanTpid() const = 0;
    // The tunnel MAC in force: IFM's, or the task's default (03:a7:31:00:00:00).
    virtual std::array<uint8_t, 6> tunnelMac() const = 0;
    // Calls visit for each member of each tunnelling VLAN, in the order IFM holds them.
    virtual void forEachMember(const std::function<void(const Member&)>& visit) const = 0;
};

}  // namespace chassis
