// The harness: a simulated switch installed as the platform's backend, for tests and l2ptd.
//
//   chassis::SimSwitch sim(chassis::loadChassisText(kYaml));
//   sim.start(l2ptTaskMain);
//   sim.ifm().vlanAdd({...});
//   sim.settle();
//   EXPECT_THAT(sim.agent(1).entries(), ...);
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "chassis/scenario.h"
#include "chassis/sim_backend.h"

namespace chassis {

class SimSwitch : public ScenarioTarget {
  public:
    // Builds the chassis and installs it as the backend; ConfigError on a bad chassis.
    explicit SimSwitch(const ChassisConfig& cfg);
    static SimSwitch fromYaml(std::string_view yaml);
    // Ends the task if it still runs, then uninstalls the backend.
    ~SimSwitch() override;
    SimSwitch(const SimSwitch&) = delete;
    SimSwitch& operator=(const SimSwitch&) = delete;

    // Spawns the task as the process entry does and runs it until it first parks;
    // std::logic_error when a task was spawned already.
    void start(OzmTaskEntry entry, std::vector<std::string> args = {"l2ptd"});
    void settle() override { backend_->settle(); }
    void advanceMs(uint64_t ms) { backend_->advance(ms * kUsPerMs); }
    void advanceUs(uint64_t us) override { backend_->advance(us); }
    // The debug shell, run while the task is parked.
    ozm::ShellResult shell(std::string_view line) override;
    uint64_t nowUs() const { return backend_->chassis().clock().nowUs; }

    TaskState taskState() const { return backend_->task().state(); }
    bool taskAlive() const { return backend_->task().alive(); }
    bool taskReady() const { return backend_->taskIsReady(); }
    int taskResult() const { return backend_->taskResult(); }

    // The models.
    SimBackend& backend() { return *backend_; }
    Chassis& chassis() override { return backend_->chassis(); }
    Trace& trace() { return chassis().trace(); }
    FaultSet& faults() { return chassis().faults(); }
    IfDb& ifdb() { return chassis().ifdb(); }
    Ifm& ifm() { return chassis().ifm(); }
    AclAgent& agent(uint32_t slot);
    EventService& events() { return chassis().events(); }
    Ha& ha() { return chassis().ha(); }
    PeerRpm& peer() { return chassis().peer(); }
    Cli& cli() { return chassis().cli(); }
    TaskManager& mgr() { return chassis().mgr(); }

    // Conveniences; each injection is followed by settle().
    uint32_t ifIndex(std::string_view name);  // throws std::invalid_argument when unknown
    void cardUp(uint32_t slot);
    void cardDown(uint32_t slot);
    Outcome frameIn(std::string_view port, std::span<const uint8_t> frame);
    const std::vector<std::vector<uint8_t>>& framesOut(std::string_view port);
    std::vector<AclEntry> entries(uint32_t slot) { return agent(slot).entries(); }
    const std::vector<ozm::LogRecord>& logRecords() { return chassis().log().records(); }
    const std::vector<std::string>& consoleLines() { return chassis().console().lines(); }
    std::vector<std::string> cfgLines() { return chassis().cfg().texts(); }

  private:
    SimBackend* backend_;  // owned by the platform while installed
    std::vector<std::string> args_;
    std::vector<char*> argv_;
};

}  // namespace chassis
