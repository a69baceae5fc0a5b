// ACL download messages: the pending message of each line card's agent, the packers that
// append classification entries to it, and the flush that hands it to the agent's queue.
#pragma once

#include <cstdint>

#include "state/records.h"

inline constexpr int32_t L2PT_MAX_SLOTS = 12;  // line-card slots 0-11

struct L2ptAclAgent {
    uint8_t alive;       // registered, queue pair exists
    uint8_t global_acl;  // works with agent-wide entries only
    uint8_t reserved[2];
    uint32_t swpQueue;  // sequenced queue to the agent
    uint8_t* aclMsg;    // pending ACL download message, null when none
};

extern L2ptAclAgent l2ptAclAgentTable[L2PT_MAX_SLOTS];

inline bool l2ptSlotValid(int32_t slot) {
    return slot >= 0 && slot < L2PT_MAX_SLOTS;
}
// The agent row of a slot, or null for a slot outside 0-11.
inline L2ptAclAgent* l2ptAgentOf(int32_t slot) {
    return l2ptSlotValid(slot) ? &l2ptAclAgentTable[slot] : nullptr;
}

// Appends one entry to the slot's pending message, starting one when needed and handing it
// over when it is full. 0 when packed, -1 when no buffer was to be had or the hand-over failed.
int32_t l2ptAclAppendEntry(int32_t slot, uint32_t ifIndex, const uint8_t* mac, uint32_t global,
                           uint32_t rate, uint8_t aclMode, int32_t add);
void l2ptPackAclEntry(uint32_t ifIndex, int32_t tunnel, uint32_t rate, uint32_t global,
                      uint8_t flag, int32_t add, uint8_t aclMode);
void l2ptPackAclPortEntry(L2ptIfNode* node, int32_t add, uint32_t rate, uint32_t vlanId,
                          uint8_t protoFlags, uint8_t aclMode);
void l2ptPackAclLagPortEntry(L2ptIfNode* lagNode, uint32_t memberIfIndex, int32_t add,
                             uint32_t rate, uint32_t vlanId, uint8_t protoFlags, uint32_t* counters,
                             uint8_t aclMode);
// Hands every alive agent's pending message to its queue.
void l2ptDownloadAclMsg();
// Hands one agent's pending message to its queue; caller names the debug line.
void l2ptFlushAgentMsg(int32_t slot, const char* caller);
// Sets (add) or clears the VLAN's bit of a VLAN bitmap.
void l2ptMarkVlan(uint32_t* bitmap, uint32_t vlanId, int32_t add);
