// The line cards' data plane: a frame entering a port is dropped when it carries the tunnel MAC
// and is no provider traffic; a frame to a reserved address (L2CP) goes by the action of its port
// and VLAN (L2cpTable); a frame is trapped to the task when an agent's entry matches it (policed
// at the entry's rate, then at its port's PDU rate), and otherwise bridged in its VLAN, flooded
// data policed by its port's storm control; frames the task sends leave through the port it
// names. Counts what each port passed and dropped.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "chassis/acl_agent.h"
#include "chassis/bridge.h"
#include "chassis/config.h"
#include "chassis/l2cp.h"
#include "chassis/membership.h"
#include "chassis/model.h"
#include "chassis/policer.h"
#include "dataplane/verdict.h"

namespace chassis {

// Where frames leaving a port go besides the record: on the net backend, a Linux interface.
class PortWire {
  public:
    virtual ~PortWire() = default;
    // frame leaves the physical port portIf (a LAG has been resolved to one member).
    virtual void transmit(uint32_t portIf, std::span<const uint8_t> frame) = 0;
};

// Sees every frame that enters or leaves a port (the pcap capture).
class FrameTap {
  public:
    virtual ~FrameTap() = default;
    virtual void frame(uint32_t portIf, bool out, std::span<const uint8_t> frame) = 0;
};

inline constexpr size_t kL2cpCounted = 3;  // tunnelled, discarded, forwarded

struct PortCounters {
    uint64_t rxFrames = 0;    // entered from the wire
    uint64_t trapped = 0;     // handed to the task
    uint64_t forwarded = 0;   // entered and left by at least one other port
    uint64_t txFrames = 0;    // left for the wire: bridged copies and the task's frames
    uint64_t learnMoves = 0;  // sources learned on another port or LAG before, moved here
    uint64_t notLearned = 0;  // new sources not learned: a limit, or the table full
    std::array<uint64_t, kDropReasons> drops{};
    // Frames to each reserved address (by index) trapped by an entry, discarded, forwarded
    // (L2PT_L2CP_COUNTED_*).
    std::array<std::array<uint64_t, kL2cpAddresses>, kL2cpCounted> l2cp{};
    std::array<uint64_t, kStormClasses> storm{};  // of drops[Storm], by class
};

class DataPlane {
  public:
    DataPlane(Context& ctx, const ChassisConfig& cfg);
    // The agents hold a reference to entries_.
    DataPlane(const DataPlane&) = delete;
    DataPlane& operator=(const DataPlane&) = delete;

    AclAgent* agent(uint32_t slot);
    const AclAgent* agent(uint32_t slot) const;
    // Line-card bitmap as IFM reports it: bit (1 << slot) for each present card.
    uint32_t presentBitmap() const;
    // The tunnelling state bridging follows (IFM's, wired by the chassis). Without one no frame
    // finds a VLAN.
    void setMembership(const Membership* membership) { bridge_.setMembership(membership); }
    // Told of every change to any agent's table (null: nobody).
    void setTableObserver(TableObserver* observer);
    // The actions of the reserved addresses, per port or LAG and per port or LAG in a VLAN
    // (the chassis file's l2cp section, then the operators' changes).
    const L2cpTable& l2cp() const { return l2cp_; }
    // False, and nothing changed, when the change would be a row past the table's.
    bool setL2cp(uint32_t ifIndex, uint16_t vid, uint32_t addresses, L2cpAction action) {
        return l2cp_.set(ifIndex, vid, addresses, action);
    }

    // A frame enters port portIf from its wire.
    Outcome frameIn(uint32_t portIf, std::span<const uint8_t> frame);
    // A frame the task sends leaves through egressIf (a port, or a LAG through its lowest
    // member on a present card); false when there is no such way out. One longer than the
    // port's MTU, the header and a tag is dropped at the card as a bridged copy is: the send
    // itself succeeds, as on the kernel's task link. fromLink: the frame comes as the task's
    // link carries it, in its form on the wire (the simulated task's own frames come in the
    // platform's form, which the card tags): one in no form of a PDU the port takes from the
    // task is dropped (Bridge::taskMaySend), as the kernel's task program drops it.
    bool frameOut(uint32_t egressIf, std::span<const uint8_t> frame, bool fromLink = false);
    const std::vector<std::vector<uint8_t>>& framesOut(uint32_t portIf) const;
    void clearFramesOut();
    // When false, frames the task sends are discarded at once: not checked, recorded or traced
    // (benchmarks of the task's PDU path); bridged frames are no longer recorded or traced.
    void setRecordFrames(bool record) { recordFrames_ = record; }
    // Frames sent out also go to wire (null: nowhere but the record).
    void setWire(PortWire* wire) { wire_ = wire; }
    // Frames entering and leaving ports are shown to tap (null: none).
    void setTap(FrameTap* tap) { tap_ = tap; }

    // Learning limits (docs/chassis.md, data_plane: learning:): a port's or LAG's, false for
    // anything else; a VLAN's (0-4095).
    bool setLearnLimit(uint32_t lportIf, uint32_t limit, bool drop) {
        return bridge_.setLearnLimit(lportIf, limit, drop);
    }
    void setVlanLearnLimit(uint16_t vid, uint32_t limit) { bridge_.setVlanLearnLimit(vid, limit); }
    const Bridge& bridging() const { return bridge_; }
    // IFM took members out of VLANs: what they learned there is forgotten now, not when the
    // next frame rereads the membership (by then they may be members again).
    void membersLeft() { bridge_.refresh(); }
    // Forgets the learned MACs not seen for the ageing time, as the daemon's walk does; learning
    // otherwise reclaims them when it wants their room.
    void expireLearned() { bridge_.expireLearned(ctx_.clock.nowUs); }

    // A port's counters (all zero for anything that is not a port); drops by reason over all
    // ports and LAGs.
    const PortCounters& counters(uint32_t portIf) const;
    const std::array<uint64_t, kDropReasons>& dropTotals() const { return dropTotals_; }

    // A port's policing: the chassis file's, as changed since (a default one for anything that
    // is not a port).
    const PortPolicing& policing(uint32_t portIf) const;
    // Changes it, keeping the buckets' tokens; false when portIf is no port.
    bool setPolicing(uint32_t portIf, const PortPolicing& policing);
    // The PDUs a second a port may have trapped: its own setting or the data plane's default.
    uint32_t pduRate(uint32_t portIf) const;
    uint32_t pduDefault() const { return pduDefault_; }
    void setPduDefault(uint32_t rate);
    // Moves on with every change of any port's policing, for those that mirror them.
    uint64_t policingGeneration() const { return policingGeneration_; }

  private:
    // What the trace says of the frame being handled; empty while nobody reads the trace.
    struct InLine {
        std::string actor;  // "port ge0/1"
        std::string head;   // "in len=60"
    };
    Outcome dropIn(int index, const InLine& line, DropReason reason, const std::string& text);
    // cls: the frame's classification, whose provider frames are policed by their VLAN.
    Outcome trap(int index, uint32_t portIf, TrapEntry& entry, std::span<const uint8_t> frame,
                 const InLine& line, const Bridge::Class& cls);
    Outcome bridge(int index, uint32_t portIf, std::span<const uint8_t> frame, const InLine& line);
    // Whether the port's storm control lets the flooded frame pass (and charges it).
    bool stormPasses(int index, std::span<const uint8_t> frame);
    // A bridged copy as it leaves by way: tagged for a core member, untagged for an access one.
    std::span<const uint8_t> egress(std::span<const uint8_t> frame, const Bridge::Decision& d,
                                    const Bridge::Way& way);
    std::string wayName(uint32_t memberIf, uint32_t portIf) const;  // "te1/0", "lag1(te1/2)"
    void transmit(uint32_t portIf, const std::string& name, std::span<const uint8_t> frame);
    void drop(int portIndex, DropReason reason);
    // The member a frame the task sends to a LAG leaves through: the first on a live card.
    std::optional<uint32_t> liveMember(uint32_t lagIf) const;
    bool cardPresent(uint32_t portIf) const;

    Context& ctx_;
    EntryBudget entries_;                                 // the agents' together
    std::vector<std::optional<AclAgent>> agents_;         // by slot
    std::vector<std::vector<std::vector<uint8_t>>> out_;  // by dense port index
    bool recordFrames_ = true;
    PortWire* wire_ = nullptr;
    FrameTap* tap_ = nullptr;
    std::vector<PortCounters> counters_;  // by dense port index
    struct Policers {
        PortPolicing settings;
        std::array<TokenBucket, kStormClasses> fps, kbps;
        TokenBucket pdu;
    };
    std::vector<Policers> policers_;  // by dense port index
    // The PDU buckets of the VLANs provider frames bring, whichever core port: every
    // customer's tunnelled PDUs arrive on a core port, and one must not take the others' share.
    std::array<TokenBucket, Fdb::kVlans> vlanPdu_{};
    uint32_t pduDefault_;
    uint64_t policingGeneration_ = 0;
    std::array<uint64_t, kDropReasons> dropTotals_{};
    Bridge bridge_;
    L2cpTable l2cp_;
    std::vector<uint8_t> tagged_;  // a frame with a tag put in after its MACs
    std::vector<uint8_t> popped_;  // a frame without its outer tag
};

// Destination MACs of the protocols the access-port socket receives.
bool isProtocolMac(std::span<const uint8_t> mac);

}  // namespace chassis
