// The chassis daemon's state: what operators changed through l2ptctl (tunnelling VLANs and
// their ports, rates, LAG members, the tunnel MAC, the provider TPID, the reserved addresses'
// actions, learning limits, the ports' policing and the default PDU rate), by the chassis file's
// names, and nothing else. The chassis file stays the source for cards, ports and interfaces
// and for everything no operator changed; the state is laid over it at start, so an edit of
// the chassis file takes effect on the next start.
#pragma once

#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "chassis/chassis.h"
#include "chassis/config.h"
#include "chassis/ifdb.h"
#include "net/daemon/rundir.h"
#include "net/log/logger.h"

namespace netp {

struct StateDelta {
    struct MacChange {
        std::optional<chassis::Mac> mac;  // nothing: back to the task's default
        bool replaceGlobal = false;
    };
    // By VLAN name; nothing: the VLAN tunnels nothing.
    std::map<std::string, std::optional<chassis::TunnelVlanConfig>> vlans;
    // By VLAN name; nothing: no rate limit.
    std::map<std::string, std::optional<uint32_t>> rates;
    std::map<std::string, std::vector<chassis::NameRef>> lagMembers;  // by LAG name
    std::optional<MacChange> tunnelMac;
    std::optional<uint16_t> vmanTpid;
    // The reserved addresses whose action differs from the chassis file's, laid after its own
    // l2cp entries (action default takes one back).
    std::vector<chassis::L2cpConfig> l2cp;
    // Learning limits set at run time, in order, after the chassis file's (data_plane:).
    std::vector<chassis::LearnLimitConfig> learning;
    // By port name: the whole of its policing now.
    std::map<std::string, chassis::PortPolicing> policing;
    std::optional<uint32_t> pduRate;  // every port's default
    // Where the state file gave a rate ("rate NAME"), a LAG's members ("lag NAME") or a port's
    // policing ("port NAME"), so that one that does not fit is named by its line.
    std::map<std::string, int> lines;
    bool empty() const;
};

// What the chassis now (IFM's tunnelling, the LAG members, the line cards' l2cp table and
// policing) and the learning limits set at run time differ in from base.
StateDelta stateDelta(const chassis::ChassisConfig& base, chassis::Chassis& now,
                      std::span<const chassis::LearnLimitConfig> learning = {});
// base with delta laid over it, checked by the chassis' rules (chassis/rules.h); ConfigError
// naming the state's line when it does not fit.
chassis::ChassisConfig overlay(chassis::ChassisConfig base, const StateDelta& delta,
                               const std::string& source);
std::string stateText(const StateDelta& delta);
// ConfigError naming the file and line of what cannot be read.
StateDelta parseState(std::string_view text, const std::string& source);

// The state file of a daemon.
class StateStore {
  public:
    // The largest state a start reads: the daemon's own memory bounds what it parses.
    static constexpr size_t kMaxBytes = 4 << 20;
    // path's directory is a SafeDir, created 0750 when missing; DirError when it cannot be.
    // maxBytes: what it writes and reads at most.
    StateStore(const std::string& path, Logger& log, size_t maxBytes = kMaxBytes);

    // base with the saved state laid over it. A state file that cannot be read is moved aside
    // (NAME.bad-<time>) with a log line, and base is what runs. One whose changes do not all
    // fit base (the chassis file was edited) is moved aside too, each change that does not fit
    // is logged, and base with the others is what runs, saved at once.
    chassis::ChassisConfig load(const chassis::ChassisConfig& base);
    // Writes what differs now from base, when that is not what the file holds already; why
    // not (logged) when it cannot, or when it would be more than a start reads (the file keeps
    // what it held). The next save writes it all again.
    std::optional<std::string> save(const chassis::ChassisConfig& base, chassis::Chassis& now,
                                    std::span<const chassis::LearnLimitConfig> learning = {});
    const SafeDir& dir() const { return dir_; }

  private:
    void setAside(const std::string& why, std::string_view then);

    std::string path_;
    std::string name_;
    SafeDir dir_;
    Logger& log_;
    size_t maxBytes_;
};

std::string readFile(const std::string& path);  // std::runtime_error when unreadable

}  // namespace netp
