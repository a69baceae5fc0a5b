// Walk of the tunnelling VLANs of a LAG, shared by every handler that re-packs LAG members.
#pragma once

#include <cstdint>

#include "state/records.h"

// Debug lines for the VLANs a walk skips: no record, no protocol flags, no if-node of the LAG.
struct L2ptLagWalkTexts {
    const char* noVman;    // "%s" caller, "%ld" VLAN id
    const char* noFlags;   // "%s" caller, "%ld" VLAN id
    const char* noIfNode;  // "%s" caller, "%s" LAG name
};

inline constexpr L2ptLagWalkTexts L2PT_LAG_WALK_TEXTS = {
    "\r\n%s: vlan %ld pointer is null\r\n",
    "\r\n%s: vlan %ld flag is zero\r\n",
    "\r\n%s: could not get lag %s ifnode\r\n",
};

// Calls fn(vlanId, vman, lagNode) for each VLAN set in the LAG's bitmap, lowest first, that has a
// record with protocol flags and an if-node of the LAG; the others get their debug line.
template <class Fn>
void l2ptForEachLagVlan(const L2ptLagEntry& lag, const L2ptLagWalkTexts& texts, const char* caller,
                        Fn&& fn);

// Calls fn(lag, memberSlot) for every member slot of every LAG record holding a member, and,
// when slot is 0 or more, only for members on that line-card slot.
template <class Fn>
void l2ptForEachLagMember(int32_t slot, Fn&& fn);

#include "classification/lag_walk_impl.h"
