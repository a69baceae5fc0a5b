// One chassis: every model built from a chassis file, and the routing of the task's messages
// to them. Transport-neutral: the sim backend drives it in process.
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "chassis/config.h"
#include "chassis/data_plane.h"
#include "chassis/ifm.h"
#include "chassis/model.h"
#include "chassis/services.h"
#include "chassis/task_drops.h"

namespace chassis {

class Chassis {
  public:
    // ConfigError when the file's references do not resolve.
    Chassis(const ChassisConfig& cfg, TaskLink& task);

    const ChassisConfig& config() const { return cfg_; }
    Clock& clock() { return clock_; }
    Trace& trace() { return trace_; }
    FaultSet& faults() { return faults_; }
    IfDb& ifdb() { return ifdb_; }
    DataPlane& cards() { return cards_; }
    TaskDrops& taskDrops() { return taskDrops_; }
    Ifm& ifm() { return ifm_; }
    EventService& events() { return events_; }
    Ha& ha() { return ha_; }
    PeerRpm& peer() { return peer_; }
    Cli& cli() { return cli_; }
    TaskManager& mgr() { return mgr_; }
    EventLogSink& log() { return log_; }
    ConsoleSink& console() { return console_; }
    CfgTree& cfg() { return cfgTree_; }

    // The task's messages, routed by their destination fields.
    int send(std::span<const uint8_t> msg);
    // A synchronous request: the reply, or none. delivered (if given) tells whether some party
    // got the request at all (a silent one did; a malformed or unaddressable request did not).
    std::optional<std::vector<uint8_t>> request(std::span<const uint8_t> msg,
                                                bool* delivered = nullptr);
    int reply(std::span<const uint8_t> msg);

  private:
    ChassisConfig cfg_;
    Clock clock_;
    Trace trace_{clock_};
    FaultSet faults_{trace_};
    IfDb ifdb_;
    Context ctx_;
    DataPlane cards_;
    TaskDrops taskDrops_{trace_, ifdb_};
    Ifm ifm_;
    EventService events_;
    Ha ha_;
    PeerRpm peer_;
    Cli cli_;
    TaskManager mgr_;
    EventLogSink log_;
    ConsoleSink console_;
    CfgTree cfgTree_;
};

}  // namespace chassis
