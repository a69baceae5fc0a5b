#include "chassis/sim_switch.h"

#include <memory>
#include <stdexcept>

namespace chassis {

namespace {
// The task as the process entry spawns it.
constexpr const char* kTaskName = "t_l2ptTask";
constexpr int kTaskPriority = 200;
constexpr int kTaskOptions = 12;
constexpr int kTaskStackSize = 16000;
}  // namespace

SimSwitch::SimSwitch(const ChassisConfig& cfg) {
    auto backend = std::make_unique<SimBackend>(cfg);
    backend_ = backend.get();
    ozm::installBackend(std::move(backend));
}

SimSwitch SimSwitch::fromYaml(std::string_view yaml) {
    return SimSwitch(loadChassisText(yaml));
}

SimSwitch::~SimSwitch() {
    if (backend_->task().state() == TaskState::Parked)
        backend_->task().kill();
    ozm::uninstallBackend();
}

void SimSwitch::start(OzmTaskEntry entry, std::vector<std::string> args) {
    args_ = std::move(args);
    argv_.clear();
    for (auto& a : args_)
        argv_.push_back(a.data());
    argv_.push_back(nullptr);
    if (taskSpawn(kTaskName, kTaskPriority, kTaskOptions, kTaskStackSize, entry,
                  static_cast<int>(args_.size()), argv_.data(), 0, 0, 0, 0, 0, 0, 0, 0) < 0) {
        throw std::logic_error("the task could not be spawned (one task per switch)");
    }
    backend_->waitParked();
}

ozm::ShellResult SimSwitch::shell(std::string_view line) {
    auto r = ozm::shellRun(line);
    chassis().console().flush();
    return r;
}

AclAgent& SimSwitch::agent(uint32_t slot) {
    AclAgent* a = chassis().cards().agent(slot);
    if (a == nullptr)
        throw std::invalid_argument("no line card in slot " + std::to_string(slot));
    return *a;
}

uint32_t SimSwitch::ifIndex(std::string_view name) {
    auto i = ifdb().find(name);
    if (!i)
        throw std::invalid_argument("no interface named " + std::string(name));
    return *i;
}

void SimSwitch::cardUp(uint32_t slot) {
    events().cardUp(slot);
    settle();
}

void SimSwitch::cardDown(uint32_t slot) {
    events().cardDown(slot);
    settle();
}

Outcome SimSwitch::frameIn(std::string_view port, std::span<const uint8_t> frame) {
    const Outcome outcome = chassis().cards().frameIn(ifIndex(port), frame);
    settle();
    return outcome;
}

const std::vector<std::vector<uint8_t>>& SimSwitch::framesOut(std::string_view port) {
    return chassis().cards().framesOut(ifIndex(port));
}

}  // namespace chassis
