// Provider bridging of the frames no trap entry takes: classification into a VLAN by the TPID in
// force and the VLANs' members, learning, and the ways out (known unicast to one member,
// anything else flooded to the others). It decides only; the data plane edits, checks and sends
// the copies.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "chassis/config.h"
#include "chassis/fdb.h"
#include "chassis/ifdb.h"
#include "chassis/membership.h"
#include "dataplane/verdict.h"

namespace chassis {

class Bridge {
  public:
    struct Way {
        uint32_t memberIf;  // the VLAN's member: a port or a LAG
        uint32_t portIf;    // the port the copy leaves by (a LAG's member by the flow hash)
        bool core;          // a core member: the copy carries the provider tag
    };
    struct Decision {
        Verdict verdict = Verdict::Dropped;  // Forwarded, Flooded or Dropped
        DropReason reason = DropReason::NoVlan;
        uint16_t vid = 0;                     // 0 until classified
        bool provider = false;                // the frame's outer tag is the provider's
        uint32_t unicastIf = 0;               // the member a known unicast frame goes to (0: none)
        std::optional<Fdb::Learned> learned;  // what became of its source, when it was learned
        std::span<const Way> ways;            // valid until the next decide()
    };

    // The VLAN a frame is taken into, before anything is learned or decided.
    struct Class {
        bool inVlan = false;    // it was taken into a VLAN (too many tags or not)
        uint16_t vid = 0;       // that VLAN; 0 when none
        bool provider = false;  // provider traffic: the outer tag is the TPID in force and the
                                // port (or its LAG) a core member of that tag's VLAN
        std::optional<DropReason> refused;  // NoVlan or TagStack: it cannot be bridged
    };

    // The learning limits are the file's (data_plane:), with its defaults for the others.
    Bridge(const IfDb& db, const DataPlaneConfig& cfg);

    // The tunnelling state to follow (null: none, so that no frame finds a VLAN).
    void setMembership(const Membership* membership);
    // Rereads the membership when its generation moved; cheap when it did not.
    void refresh();
    // The provider TPID in force (as of the last refresh()).
    uint16_t tpid() const { return tpid_; }
    // Whether a frame whose outer EtherType is type carries a tag the data plane reads.
    bool isTag(uint16_t type) const;

    // A port's or LAG's learning limit, and whether a frame past it is dropped; a VLAN's.
    // False for what is no port or LAG.
    bool setLearnLimit(uint32_t lportIf, uint32_t limit, bool drop);
    void setVlanLearnLimit(uint16_t vid, uint32_t limit) { fdb_.setVlanLimit(vid, limit); }
    // The port's or LAG's learned MACs now, and its limit; empty for anything else.
    struct Learning {
        uint32_t count;
        uint32_t limit;
        bool drop;
    };
    std::optional<Learning> learning(uint32_t lportIf) const;
    // Forgets the learned MACs not seen for the ageing time before nowUs.
    void expireLearned(uint64_t nowUs) { fdb_.expire(nowUs, ageingUs_); }

    // The tunnel MAC in force: IFM's, or the default.
    std::array<uint8_t, 6> tunnelMac() const;
    // The port's LAG, or the port: what VLAN membership and learning speak of.
    uint32_t logicalPort(uint32_t portIf) const;
    // Takes a frame of at least an Ethernet header entering portIf into a VLAN.
    Class classify(uint32_t portIf, std::span<const uint8_t> frame);
    // Whether the task may send frame out of portIf: to the tunnel MAC or a protocol's address
    // under the provider tag of a VLAN the port (or its LAG) is core in, or to a protocol's
    // address while it is access in its own VLAN. A task a customer's PDU took over sends no
    // data to a host, and nothing into a VLAN the port does not carry.
    bool taskMaySend(uint32_t portIf, std::span<const uint8_t> frame);

    // A frame of at least an Ethernet header entering portIf at nowUs; liveSlots has bit
    // (1 << slot) for each line card present. Learns its source.
    Decision decide(uint32_t portIf, std::span<const uint8_t> frame, uint64_t nowUs,
                    uint32_t liveSlots);

  private:
    struct Member {
        uint32_t order;  // ports by dense index, then LAGs: flooding goes in this order
        uint32_t ifIndex;
        bool core;
    };

    uint32_t orderOf(uint32_t ifIndex) const;
    const Member* member(uint16_t vid, uint32_t ifIndex) const;
    // The port a copy for member leaves by; empty, with the reason, when none can carry it.
    std::optional<uint32_t> wayOut(uint32_t memberIf, std::span<const uint8_t> frame,
                                   uint32_t liveSlots, DropReason& why) const;
    bool live(uint32_t portIf, uint32_t liveSlots) const;
    // A way out for every member of vid but the ingress lport that some port can carry.
    void flood(uint16_t vid, uint32_t lport, std::span<const uint8_t> frame, uint32_t liveSlots);

    const IfDb& db_;
    const Membership* membership_ = nullptr;
    uint64_t generation_ = 0;
    bool stale_ = true;
    uint16_t tpid_;
    uint64_t ageingUs_;
    std::vector<std::vector<Member>> vlans_;  // by VLAN id
    std::vector<uint16_t> usedVids_;          // VLANs with members, to clear on a refresh
    Fdb fdb_;
    std::vector<Way> ways_;  // the last decision's, reused
};

}  // namespace chassis
