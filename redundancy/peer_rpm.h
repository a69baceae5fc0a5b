// The primary/secondary role, registration with the peer RPM and mirroring of the ACL bitmap.
#pragma once

#include <cstdint>

#include "platform/wire/msg.h"

extern uint32_t l2ptIsPrimary;           // this task acts as the primary
extern uint32_t l2ptRegisteredWithPRPM;  // registered with / answered by the peer
extern int32_t l2ptMstrSlotId;           // master line-card slot learned from the primary, -1 none

// 0 when the registration request was sent (three tries), -1 otherwise.
int l2ptRegisterWithPeerRPM();
// 1 when handled, 0 when the reply could not be sent. A primary answers in place over the
// receive buffer.
int l2ptProcessPRpmRegReq(wire::Msg msg, wire::ReplyMsg reply);
// Sends l2ptAclBitmap to the peer; the send's result, -1 when not sent.
int l2ptSendAclUpdateMsgPeerRPM();
int l2ptProcessPRpmUpdateAcl(wire::Msg msg);
void l2ptHalUpdateMstrSlotId(wire::Msg msg);
// Tells a registered peer RPM of the new agent set (caller names the debug line): 0 when sent
// or when no peer is registered, -1 when it could not be sent.
int l2ptMirrorAclBitmap(const char* caller);
