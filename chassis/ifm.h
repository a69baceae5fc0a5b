// The interface manager: registration of the task, the tunnelling configuration it holds and
// sends to the task as sequenced messages, and the task's acknowledgements of them.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "chassis/config.h"
#include "chassis/data_plane.h"
#include "chassis/membership.h"
#include "chassis/model.h"

namespace chassis {

class Ifm : public Membership {
  public:
    struct PortMode {
        uint32_t ifIndex = 0;
        uint32_t mode = 0;  // vlanmsg::kModeCorePort for a core port, 0 for an access port
    };
    struct VlanBlock {
        uint32_t vlanIf = 0;
        uint8_t protocols = 0;
        uint16_t rate = 0;
        std::vector<PortMode> ports;
    };
    struct LagBlock {
        uint32_t lagIf = 0;
        std::vector<uint32_t> members;
    };

    // Takes the tunnelling section of the chassis file as its configured state.
    Ifm(Context& ctx, const ChassisConfig& cfg, DataPlane& cards);

    // From the task.
    std::optional<std::vector<uint8_t>> request(std::span<const uint8_t> msg);
    void receive(std::span<const uint8_t> msg);

    // Changes of the configuration: each updates what IFM holds and tells the task.
    void vlanAdd(const std::vector<VlanBlock>& blocks);
    void vlanDel(const std::vector<VlanBlock>& blocks);
    void vlanDisable(const std::vector<VlanBlock>& blocks);
    void lagAdd(const std::vector<LagBlock>& blocks);
    void lagDel(const std::vector<LagBlock>& blocks);
    void rateSet(uint32_t vlanIf, uint32_t rate);
    void rateRemove(uint32_t vlanIf);
    void tunnelMac(const Mac& mac, bool replaceGlobal);
    void tunnelMacDefault();
    void vmanTpid(uint16_t tpid);

    // Bad input: a sequenced message of any type and body (seq: the next one when empty),
    // and arbitrary bytes for the task's request queue.
    void rawSequenced(uint32_t type, std::optional<uint32_t> seq, std::span<const uint8_t> body);
    void rawBytes(std::span<const uint8_t> bytes);

    uint32_t lastSeq() const { return seq_; }

    // What IFM holds now, in the chassis file's terms (the chassis daemon writes it back).
    TunnellingConfig snapshot() const;
    // Whether portIf (or its LAG) is a core port of the VLAN with id vlanId; empty when it is
    // not a tunnelling member of that VLAN.
    std::optional<bool> isCorePort(uint32_t vlanId, uint32_t portIf) const;
    // The provider tag protocol identifier IFM last configured, or the task's default.
    uint16_t vmanTpid() const override;
    Mac tunnelMac() const override;
    // Moves with every change to the VLANs' members, the LAGs' members or the TPID.
    uint64_t generation() const override { return generation_; }
    void forEachMember(const std::function<void(const Member&)>& visit) const override;
    const std::vector<uint32_t>& acks() const { return acks_; }  // sequence numbers acknowledged
    void forgetAcks() { acks_.clear(); }  // a long-running chassis drops what it kept

  private:
    struct VlanState {
        uint8_t protocols = 0;
        uint16_t rate = 0;
        std::vector<PortMode> ports;
    };

    static bool carries(const VlanState& state, const VlanBlock& b);
    std::vector<uint8_t> sequenced(uint32_t type, size_t len, std::optional<uint32_t> seq = {});
    void sendVlanBlocks(uint32_t type, const char* what, const std::vector<VlanBlock>& blocks);
    void sendLagBlocks(uint32_t type, const char* what, const std::vector<LagBlock>& blocks);
    void sendRate(uint32_t vlanIf, uint32_t rate, bool set);
    void sendMac(const Mac& mac, bool set, bool replaceGlobal);
    void sendVmanTpid(uint16_t tpid);
    void download();
    std::string portsText(const std::vector<PortMode>& ports) const;

    Context& ctx_;
    DataPlane& cards_;
    uint32_t slots_;
    uint32_t seq_ = 0;
    std::map<uint32_t, VlanState> vlans_;  // by VLAN ifIndex
    std::map<uint32_t, uint32_t> rates_;
    std::optional<Mac> mac_;
    bool replaceGlobal_ = false;
    std::optional<uint16_t> tpid_;
    std::vector<uint32_t> acks_;
    uint64_t generation_ = 0;
};

std::string protocolsText(uint8_t flags);  // "stp,lldp", "none"

}  // namespace chassis
