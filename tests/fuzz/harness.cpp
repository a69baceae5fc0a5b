#include "tests/fuzz/harness.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "chassis/config.h"
#include "platform/symbols.h"
#include "platform/wire/header.h"
#include "platform/wire/l2pt.h"
#include "platform/wire/swp.h"
#include "task/task_main.h"

namespace fuzz {

const char* const kChassis = R"(
chassis: {name: fuzz, slots: 12}
rpm: {role: primary, master_slot: 0, peer: none}
card_types:
  - {id: 1, name: 8x1G, ten_gig: false}
  - {id: 2, name: 4x10G, ten_gig: true}
line_cards:
  - {slot: 0, type: 1, agent: per-port, ports: [{range: 0-7, name: "ge0/{n}"}]}
  - {slot: 1, type: 2, agent: global, ports: [{range: 0-3, name: "te1/{n}", vlan: 20}]}
lags:
  - {number: 1, name: lag1, members: [ge0/6, te1/3]}
vlans:
  - {id: 10, name: vl10}
  - {id: 100, name: vl100}
  - {id: 200, name: vl200}
  - {id: 4000, name: vl4000}
tunnelling:
  vlans:
    - vlan: vl100
      protocols: [stp, lldp, gvrp, pvst]
      ports: [{port: ge0/1, mode: access}, {port: ge0/2, mode: access},
              {port: te1/1, mode: access}, {port: ge0/5, mode: core}, {port: te1/0, mode: core}]
    - vlan: vl200
      protocols: [stp, pvst]
      ports: [{port: ge0/3, mode: access}, {port: ge0/4, mode: access},
              {port: lag1, mode: core}]
  rates: [{vlan: vl100, rate: 64}]
)";

namespace {

// The chassis models keep what the task sent them (log records, console lines, replies) and
// the task's configuration grows with the inputs; a fresh switch every so many inputs keeps
// both bounded.
constexpr uint64_t kInputsPerBoot = 1000;
constexpr size_t kMaxTraceLines = 400;
constexpr uint32_t kFirstSession = 0x40000000;

struct Harness {
    std::vector<std::string> trace;  // this input's trace lines, for the report of a failure
    std::unique_ptr<chassis::SimSwitch> sim;  // after trace: its end still writes lines there
    uint64_t inputs = 0;
    uint32_t session = kFirstSession;
};

Harness& harness() {
    static Harness h;
    return h;
}

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "fuzz harness: %s\n-- trace of this input --\n", what.c_str());
    for (const auto& line : harness().trace)
        std::fprintf(stderr, "%s\n", line.c_str());
    std::abort();
}

void boot() {
    Harness& h = harness();
    h.sim.reset();
    h.sim = std::make_unique<chassis::SimSwitch>(chassis::loadChassisText(kChassis, "fuzz"));
    auto& tr = h.sim->trace();
    tr.setKeep(false);
    tr.setSink([&h](const std::string& line) {
        if (h.trace.size() < kMaxTraceLines)
            h.trace.push_back(line);
    });
    // The debug lines format what the inputs carry: they are part of what is fuzzed.
    ozm::sym::set("l2pt_debug_cp", 1);
    h.sim->start(l2ptTaskMain);
    h.sim->settle();
    if (!h.sim->taskReady() || h.sim->taskState() != chassis::TaskState::Parked)
        fail("the task did not come up on the fuzz chassis");
    h.trace.clear();
    h.inputs = 0;
}

// Ends the task the way the task manager does, so its teardown runs before the next boot.
void reboot() {
    Harness& h = harness();
    h.sim->mgr().disable();
    h.sim->settle();
    if (h.sim->taskState() != chassis::TaskState::Exited)
        fail("the task did not end on a task disable");
    boot();
}

void begin() {
    Harness& h = harness();
    if (!h.sim)
        boot();
    else if (++h.inputs % kInputsPerBoot == 0)
        reboot();
    h.trace.clear();
}

// After the input: the task must be waiting for more, with nothing left unread; or, when the
// input may end it, have ended, and a fresh switch takes its place.
void check(bool mayEnd) {
    Harness& h = harness();
    auto& s = *h.sim;
    s.settle();
    if (std::getenv("L2PT_FUZZ_TRACE") != nullptr) {
        for (const auto& line : h.trace)
            std::fprintf(stderr, "%s\n", line.c_str());
    }
    if (mayEnd && s.taskState() == chassis::TaskState::Exited) {
        boot();
        return;
    }
    if (s.taskState() != chassis::TaskState::Parked)
        fail(std::string("the task is ") + chassis::taskStateName(s.taskState()) +
             " after the input");
    if (s.backend().queued() != 0)
        fail(std::to_string(s.backend().queued()) + " messages or frames left unread");
    s.chassis().cards().clearFramesOut();
}

}  // namespace

chassis::SimSwitch& sim() {
    if (!harness().sim)
        boot();
    return *harness().sim;
}

void control(std::span<const uint32_t> types, bool sequenced, std::span<const uint8_t> msg) {
    begin();
    std::vector<uint8_t> m(msg.begin(), msg.end());
    bool mayEnd = false;
    if (m.size() >= hdr::kMsgType + sizeof(uint32_t)) {
        uint32_t type = hdr::msgType(m.data());
        if (std::find(types.begin(), types.end(), type) == types.end()) {
            type = types[type % types.size()];
            hdr::setMsgType(m.data(), type);
        }
        mayEnd = type == MT_L2PT_TASK_DISABLE;
    }
    if (sequenced && m.size() >= hdr::kSeqHeaderLen)
        swpw::setSession(m.data(), ++harness().session);
    sim().ifm().rawBytes(m);
    check(mayEnd);
}

void frame(std::span<const std::string_view> ports, std::span<const uint8_t> input) {
    if (input.empty())
        return;
    begin();
    sim().chassis().cards().frameIn(sim().ifIndex(ports[input[0] % ports.size()]),
                                    input.subspan(1));
    check(false);
}

}  // namespace fuzz
