// The ACL agent of one line-card slot and the data plane of the line cards: which frames
// entering a port are trapped to the task, and the frames the task sends out of ports.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "chassis/config.h"
#include "chassis/model.h"

namespace chassis {

struct AclEntry {
    uint32_t ifIndex = 0;  // 0 in an agent-wide entry
    Mac mac{};
    Mac mask{};
    uint32_t global = 0;
    uint32_t rate = 0;  // Kbps, 0 = none
    uint8_t mode = 0;
    bool operator==(const AclEntry&) const = default;
};

class AclAgent {
  public:
    AclAgent(Context& ctx, uint32_t slot, AgentMode mode, bool present);

    // Synchronous request (registration); empty when the agent does not answer.
    std::optional<std::vector<uint8_t>> request(std::span<const uint8_t> msg);
    // Asynchronous message: sync, ACL download, deregistration.
    void receive(std::span<const uint8_t> msg);

    uint32_t slot() const { return slot_; }
    bool present() const { return present_; }
    // A card that goes away loses its agent's state; one that comes back starts unregistered.
    void setPresent(bool present);
    AgentMode mode() const { return mode_; }
    void setMode(AgentMode mode) { mode_ = mode; }
    bool registered() const { return registered_; }

    // Installed entries in (ifIndex, MAC) order.
    std::vector<AclEntry> entries() const;
    // The entry that traps a frame with this destination entering port portIf, if any.
    const AclEntry* match(uint32_t portIf, std::span<const uint8_t> mac) const;

    struct Stats {
        uint32_t applied = 0;     // download messages applied
        uint32_t duplicates = 0;  // acknowledged again, not applied
        uint32_t gaps = 0;        // ahead of their turn: dropped
        uint32_t rejected = 0;    // malformed
        // Chassis time of the first and the latest applied message, and the most messages
        // applied at one reading of the clock: how fast a download runs, and whether the
        // sender keeps several in flight rather than waiting for each acknowledgement.
        uint64_t firstAppliedUs = 0;
        uint64_t lastAppliedUs = 0;
        uint32_t maxBurst = 0;
    };
    const Stats& stats() const { return stats_; }
    uint32_t expectedSeq() const { return expected_; }
    // Keeps a copy of every applied ACL download message as it arrived (msgLen bytes), for
    // tests that check the wire bytes; off by default.
    void setRecordDownloads(bool on) { recordDownloads_ = on; }
    const std::vector<std::vector<uint8_t>>& downloads() const { return downloads_; }

  private:
    std::string actor() const;
    void reset();
    void download(std::span<const uint8_t> msg);
    bool apply(std::span<const uint8_t> msg, uint32_t seq);
    void ack(std::span<const uint8_t> msg);

    Context& ctx_;
    uint32_t slot_;
    AgentMode mode_;
    bool present_;
    bool registered_ = false;
    uint32_t session_ = 0;
    uint32_t expected_ = 1;
    std::map<std::pair<uint32_t, Mac>, AclEntry> table_;
    Stats stats_;
    uint32_t burst_ = 0;
    bool recordDownloads_ = false;
    std::vector<std::vector<uint8_t>> downloads_;
};

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

// Why the data plane did not pass a frame on.
enum class DropReason : uint8_t {
    NoPort,        // entered or left through something that is not a port
    Runt,          // shorter than an Ethernet header
    CardAbsent,    // the port's line card is not there
    NoEntry,       // no trap entry: the frame is switched, not seen by the task
    Policed,       // over the rate of its entry
    NoSocket,      // the task has no socket for it
    NoLiveMember,  // sent to a LAG with no member on a live card
    SendFailed,    // the send failed (an armed fault)
};
inline constexpr size_t kDropReasons = static_cast<size_t>(DropReason::SendFailed) + 1;
std::string_view dropReasonName(DropReason reason);

struct PortCounters {
    uint64_t rxFrames = 0;  // entered from the wire
    uint64_t trapped = 0;   // handed to the task
    uint64_t txFrames = 0;  // left for the wire
    std::array<uint64_t, kDropReasons> drops{};
};

// The line cards' forwarding side: trapping frames to the task (policed at the rate of their
// entry), recording frames sent out, counting what each port passed and dropped.
class DataPlane {
  public:
    DataPlane(Context& ctx, const ChassisConfig& cfg);

    AclAgent* agent(uint32_t slot);
    const AclAgent* agent(uint32_t slot) const;
    // Line-card bitmap as IFM reports it: bit (1 << slot) for each present card.
    uint32_t presentBitmap() const;

    enum class Trap { Access, Tunnel, NotTrapped };
    // A frame enters port portIf from its wire.
    Trap frameIn(uint32_t portIf, std::span<const uint8_t> frame);
    // A frame leaves through egressIf (a port, or a LAG through its lowest member);
    // false when there is no such way out.
    bool frameOut(uint32_t egressIf, std::span<const uint8_t> frame);
    const std::vector<std::vector<uint8_t>>& framesOut(uint32_t portIf) const;
    void clearFramesOut();
    // When false, frames sent are discarded at once: not checked, recorded or traced
    // (benchmarks of the task's PDU path).
    void setRecordFrames(bool record) { recordFrames_ = record; }
    // Frames sent out also go to wire (null: nowhere but the record).
    void setWire(PortWire* wire) { wire_ = wire; }
    // Frames entering and leaving ports are shown to tap (null: none).
    void setTap(FrameTap* tap) { tap_ = tap; }

    // A port's counters (all zero for anything that is not a port); drops by reason over all
    // ports and LAGs.
    const PortCounters& counters(uint32_t portIf) const;
    const std::array<uint64_t, kDropReasons>& dropTotals() const { return dropTotals_; }

    // Policing: a token bucket per rate-limited entry, filled at the entry's rate and holding
    // one second of it (at least one full-size frame).
    struct Bucket {
        uint64_t tokens = 0;  // bytes x kTokenScale
        uint64_t lastUs = 0;
        bool started = false;
    };
    static constexpr uint64_t kTokenScale = 1'000'000;  // tokens per byte: one per microsecond

  private:
    void drop(int portIndex, DropReason reason);
    bool police(uint32_t slot, const AclEntry& entry, size_t frameLen);
    // The member a frame for a LAG leaves through: the first on a live card, if any.
    std::optional<uint32_t> liveMember(uint32_t lagIf) const;

    Context& ctx_;
    std::vector<std::optional<AclAgent>> agents_;         // by slot
    std::vector<std::vector<std::vector<uint8_t>>> out_;  // by dense port index
    bool recordFrames_ = true;
    PortWire* wire_ = nullptr;
    FrameTap* tap_ = nullptr;
    std::vector<PortCounters> counters_;  // by dense port index
    std::vector<uint8_t> tagScratch_;     // a trapped frame with the port's VLAN tag put in
    std::array<uint64_t, kDropReasons> dropTotals_{};
    std::map<std::pair<uint32_t, std::pair<uint32_t, Mac>>, Bucket> buckets_;  // slot, entry key
};

// Destination MACs of the protocols the access-port socket receives.
bool isProtocolMac(std::span<const uint8_t> mac);

}  // namespace chassis
