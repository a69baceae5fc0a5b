// The fuzz targets' switch: one simulated switch running the task, booted once per process and
// fed one input at a time. Each input is followed by a settle and a health check; a task that
// died, stopped reading or went busy is reported at once (abort with the input's trace), so
// one input cannot silently turn the rest of a run into no-ops. L2PT_FUZZ_TRACE=1 in the
// environment prints every input's trace.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "chassis/sim_switch.h"

namespace fuzz {

// VLANs vl10, vl100, vl200, vl4000. Slot 0: per-port agent, ge0/0-7. Slot 1: agent-wide entries
// only, te1/0-3. lag1 = ge0/6 + te1/3. Tunnelling: vl100 all four protocols, access ge0/1, ge0/2,
// te1/1, core ge0/5, te1/0; vl200 STP and PVST, access ge0/3, ge0/4, core lag1; a rate on vl100.
extern const char* const kChassis;

// Ports the PDU targets let the input choose from (its first byte picks one).
inline constexpr std::string_view kAccessPorts[] = {"ge0/1", "ge0/2", "ge0/3", "ge0/4",
                                                    "te1/1", "ge0/0", "ge0/6"};
inline constexpr std::string_view kCorePorts[] = {"ge0/5", "te1/0", "ge0/6", "te1/3", "ge0/1"};

// The booted switch (boots it on first use).
chassis::SimSwitch& sim();

// One control message on the task's request queue, its type forced into `types` (an input of
// another type gets types[type % size]). A sequenced message gets a session of its own, so the
// sequence check starts afresh for every input and its outcome depends on the input alone.
void control(std::span<const uint32_t> types, bool sequenced, std::span<const uint8_t> msg);

// The first byte picks one of ports, the rest enters that port from its wire.
void frame(std::span<const std::string_view> ports, std::span<const uint8_t> input);

}  // namespace fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
