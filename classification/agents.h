// The line cards' ACL agents: registration, tear-down, card down, and agent-wide entries.
#pragma once

#include <cstdint>

// Registered agents, one bit per slot: slot s is 0x80000000 >> s.
extern uint32_t l2ptAclBitmap;

// 1 when the slot's agent is alive (already or now), 0 when registration failed.
int32_t l2ptInitAclAgent(int32_t slot);
void l2ptExitAclAgent(int32_t slot);
void l2ptProcessCardDown(int32_t slot);
// The slot of the master line card, given to each agent at registration.
int32_t l2ptHalGetMstrSlotId();
// Passes a change of the agent set on (to the peer RPM, which start-up sets it to): -1 when the
// change could not be passed on. While null, changes go nowhere.
extern int (*l2ptAgentSetMirror)(const char* caller);
// The sequenced-queue service's report of a time-out on an agent's queue.
void l2ptSwpErrCB(uint32_t queue);

// Agent-wide entries of a global agent: 0 when packed, -1 on failure.
int32_t l2ptHalInstallPVSTAcl(int32_t slot);
int32_t l2ptHalRemovePVSTAcl(int32_t slot);
int32_t l2ptHalInstallOzmAcl(int32_t slot);
int32_t l2ptHalRemoveOzmAcl(int32_t slot);
