// Building and reading the control messages the chassis parties exchange with the task.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "platform/ipc.h"
#include "platform/wire/header.h"
#include "platform/wire/swp.h"

namespace chassis {

// Service numbers of the parties that have no number of their own in the task's wire formats.
namespace party {
inline constexpr uint32_t kEvt = 40;  // event service
inline constexpr uint32_t kHa = 41;   // HA control
inline constexpr uint32_t kCli = 42;  // CLI front end
inline constexpr uint32_t kMgr = 43;  // the platform's task manager
}  // namespace party

struct Party {
    uint32_t service;
    uint32_t slot;
};
inline constexpr Party kTaskParty{svc::kL2pt, 0};

// A zeroed message of len bytes (at least the plain header) with msgLen, msgType and the
// source and destination fields filled.
std::vector<uint8_t> makeMessage(uint32_t type, size_t len, Party from, Party to = kTaskParty);
// The sequenced-queue area of a message: magic, kind, session, sequence, queue, sender.
void stampSequenced(std::span<uint8_t> msg, swpw::Kind kind, uint32_t session, uint32_t seq,
                    uint32_t queue, Party from);
// True when msg holds at least a plain header and a msgLen that fits in it.
bool wellFormed(std::span<const uint8_t> msg);
// The part of msg that msgLen covers (msg must be wellFormed).
std::span<const uint8_t> covered(std::span<const uint8_t> msg);

}  // namespace chassis
