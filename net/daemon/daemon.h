// l2pt-chassisd: the rest of one switch for the task processes. The chassis models of the
// simulation, on real time, serve l2ptd processes (sessions.h) and l2ptctl clients
// (ctl_server.h) on Unix SOCK_SEQPACKET sockets in a run directory; each port with a netdev is
// a Linux interface. This is the core: the loop, the ports and what ties the parts together.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "chassis/change.h"
#include "chassis/chassis.h"
#include "chassis/scenario.h"
#include "net/daemon/access.h"
#include "net/daemon/capture.h"
#include "net/daemon/kernel_dataplane.h"
#include "net/daemon/rundir.h"
#include "net/daemon/state_store.h"
#include "net/io/batch.h"
#include "net/io/listener.h"
#include "net/io/loop.h"
#include "net/io/socket.h"
#include "net/log/logger.h"
#include "net/proto/protocol.h"

namespace netp {

class TaskSessions;
struct PoliceChange;
class CtlServer;

struct DaemonOptions {
    std::string chassisFile;
    std::string runDir;
    std::string stateFile;    // empty: operators' changes are not kept
    bool traceToLog = false;  // the chassis trace goes to the log as well
    // --group: may run read-only commands; the run directory and ctl.sock are theirs too.
    // --task-group: task.sock and chassis.yaml are theirs.
    Groups groups;
    bool lab = false;                    // scenario inputs (do) are served
    size_t maxClients = 256;             // l2ptctl connections at once
    size_t clientQueueBytes = 1u << 20;  // answers a client may leave unread before it goes
    // Where the pipeline's maps are pinned (pipeline/pins.h): a bpffs (empty: none) and the
    // switch's name there (empty: the run directory's name).
    std::string bpffs = "/sys/fs/bpf";
    std::string pinName;
    uint32_t pipelineVariant = 0;  // a test build of the pipeline (abi.h)
};

// A change that runs but is not in the state file: it lasts until the daemon ends, unless a
// later change is saved (every save writes all that differs from the chassis file).
struct NotSaved : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class Daemon final : private chassis::TaskLink {
  public:
    // std::runtime_error (chassis::ConfigError for the chassis file) when it cannot start.
    Daemon(DaemonOptions options, Logger& log);
    ~Daemon() override;
    // Serves until SIGTERM or SIGINT; the exit status.
    int run();
    // One pass of the loop, waiting up to timeoutMs for something to do; false once stopped.
    bool step(int timeoutMs);

    // For the parts.
    void log(const std::string& line);
    chassis::Chassis& chassis() { return *chassis_; }
    const DaemonOptions& options() const { return opt_; }
    Loop& loop() { return loop_; }
    RecvBatch& rx() { return rx_; }
    TaskSessions& sessions() { return *sessions_; }
    Captures& captures() { return captures_; }
    // The line cards in the kernel; none when no port stands for a Linux interface.
    KernelDataPlane* dataPlane() { return dataPlane_.get(); }
    // Puts an operator's change to the chassis and saves what operators changed;
    // std::invalid_argument when the chassis cannot take it (nothing changes), NotSaved when it
    // ran but cannot be saved.
    void change(const chassis::Change& change);
    // Runs one of the lab's scenario inputs (docs/scenario.md), which may name what the
    // chassis lacks to see the task refuse it, and saves what changed; chassis::ScenarioError
    // when the input is wrong, NotSaved when it ran but cannot be saved.
    void runLabInput(std::string_view line);
    // A learning limit an operator sets (a port's or LAG's, or a VLAN's): to the line cards in
    // the kernel, then kept in the state. The refusal (no such port or VLAN, no line cards in
    // the kernel) in its text; NotSaved when it runs but cannot be saved.
    std::optional<std::string> setLearning(const chassis::LearnLimitConfig& change);
    // The line cards' action for reserved addresses of a port or LAG (vid: in that VLAN, or
    // chassis::kL2cpAnyVlan), written into the pipeline at once and saved; NotSaved when it
    // runs but cannot be saved. False, and nothing changed, when the line cards' table of
    // them has no room for its row.
    bool setL2cp(uint32_t ifIndex, uint16_t vid, uint32_t addresses, chassis::L2cpAction action);
    // Puts an operator's change of the line cards' policers in force and saves the state;
    // NotSaved when it runs but cannot be saved.
    void changePolicing(const PoliceChange& change);
    // Every trace line goes to sink as well as it is made (nullptr: no longer).
    void setTraceSink(std::function<void(const std::string&)> sink);

  private:
    // TaskLink
    void toTask(std::vector<uint8_t> msg) override;
    bool toPduSocket(int protocol, uint32_t rxIfIndex, std::span<const uint8_t> frame) override;
    void openPorts();
    // The port's interface came, went or changed (port: its dense index).
    void portChanged(size_t port, const port::PortState& was);
    void adviseHostTraffic(size_t port);
    void onSignal();
    void updateClock();
    void forgetHistory();
    // Logs a close of a client's descriptor that has waited past kCloseStuck, and its end.
    void watchCloser();
    static constexpr std::chrono::seconds kCloseStuck{5};
    void saveState();
    void traceLine(const std::string& line);

    DaemonOptions opt_;
    Logger& log_;
    std::unique_ptr<RunDir> runDir_;
    chassis::ChassisConfig base_;  // the chassis file, which the state is laid over
    std::optional<StateStore> state_;
    chassis::ChassisConfig cfg_;
    std::unique_ptr<chassis::Chassis> chassis_;
    Loop loop_;
    std::unique_ptr<KernelDataPlane> dataPlane_;
    Fd signals_;
    Closer closer_;            // what clients send and nobody keeps
    bool closeStuck_ = false;  // logged: a close has waited past kCloseStuck
    static constexpr size_t kRxSlots = 16;
    RecvBatch rx_{kRxSlots, kMaxDatagram};
    Captures captures_{loop_, closer_};
    std::unique_ptr<TaskSessions> sessions_;
    std::unique_ptr<CtlServer> ctl_;
    std::unique_ptr<Listener> taskListen_;
    std::unique_ptr<Listener> ctlListen_;
    std::vector<chassis::LearnLimitConfig> learning_;  // operators' limits, as the state keeps
    std::function<void(const std::string&)> traceSink_;
    Clock::time_point start_ = Clock::now();
    bool stop_ = false;
    int stopStatus_ = 0;
};

}  // namespace netp
