// l2pt-chassisd: the rest of one switch for the task processes. The chassis models of the
// simulation, on real time, serve l2ptd processes and l2ptctl clients on Unix SOCK_SEQPACKET
// sockets in a private run directory; each port with a netdev is a Linux interface.
#pragma once

#include <sys/epoll.h>
#include <sys/types.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "chassis/chassis.h"
#include "chassis/scenario.h"
#include "net/daemon/port_io.h"
#include "net/daemon/rundir.h"
#include "net/daemon/state_store.h"
#include "net/io/batch.h"
#include "net/io/socket.h"
#include "net/log/logger.h"
#include "net/proto/protocol.h"

namespace netp {

struct DaemonOptions {
    std::string chassisFile;
    std::string runDir;
    std::string stateFile;           // empty: operators' changes are not kept
    bool traceToLog = false;         // the chassis trace goes to the log as well
    std::vector<uid_t> allowUids;    // besides root and the daemon's own user
    std::optional<gid_t> operators;  // --group: the run directory and ctl.sock are theirs too
};

// Per port, beside the data plane's counters: what the interface itself did.
struct PortIoCounters {
    uint64_t txErrors = 0;     // the interface refused the frame
    uint64_t tagsRemoved = 0;  // provider tags taken off on the way out of access ports
};

class Daemon final : private chassis::TaskLink,
                     private chassis::PortWire,
                     private chassis::ScenarioTarget {
  public:
    // std::runtime_error (chassis::ConfigError for the chassis file) when it cannot start.
    Daemon(DaemonOptions options, Logger& log);
    ~Daemon() override;
    // Serves until SIGTERM or SIGINT; the exit status.
    int run();
    // One pass of the loop, waiting up to timeoutMs for something to do; false once stopped.
    bool step(int timeoutMs);

  private:
    static constexpr int kNoProtocol = -1;
    enum class ConnKind { TaskHello, Control, Ipc, Pdu, Shell, Ctl };
    struct Session {
        uint32_t id = 0;
        pid_t pid = 0;
        int control = -1;
        int ipc = -1;
        int shell = -1;
        int pduStp = -1;
        int pduTunnel = -1;
        bool primary = false;
        bool ready = false;
        uint32_t ifmSeq = 0;           // the last sequence number of IFM's queue to this task
        uint64_t peerSent = 0;         // inter-RPM messages it sent
        std::deque<int> shellWaiters;  // ctl clients waiting for a shell answer, in order
    };
    struct Capture;
    struct CtlWait {
        enum class What { None, Show, Shell, Trace, Capture } what = What::None;
        uint64_t deadlineUs = 0;
        size_t repliesBefore = 0;
        bool json = false;
        bool all = false;
        std::vector<std::string> showLines;
        std::shared_ptr<Capture> capture;
    };
    struct Conn {
        Fd fd;
        ConnKind kind = ConnKind::TaskHello;
        uint32_t session = 0;
        int protocol = kNoProtocol;
        CtlWait wait;
    };
    struct Port {
        uint32_t ifIndex = 0;
        std::unique_ptr<PortIo> io;
        sockaddr_ll to{};  // where its frames are sent
        PortIoCounters counters;
    };

    // TaskLink
    void toTask(std::vector<uint8_t> msg) override;
    bool toPduSocket(int protocol, uint32_t rxIfIndex, std::span<const uint8_t> frame) override;
    // PortWire
    void transmit(uint32_t portIf, std::span<const uint8_t> frame) override;
    // ScenarioTarget
    chassis::Chassis& chassis() override { return *chassis_; }
    void settle() override {}
    void advanceUs(uint64_t us) override;
    ozm::ShellResult shell(std::string_view line) override;

    void log(const std::string& line);
    void updateClock();
    void accept(int listenFd, ConnKind kind);
    bool credentialsAllowed(int fd, const char* socketName);
    // What a descriptor the loop waits on is: the kind in the event's high word, the
    // descriptor (a port: its position in ports_) in the low one.
    enum class Watch : uint32_t { Signals, TaskListen, CtlListen, Port, Conn };
    static constexpr unsigned kWatchKindShift = 32;
    void watch(int fd, Watch kind, uint32_t value);
    static Watch watchKind(const epoll_event& e);
    static uint32_t watchValue(const epoll_event& e);
    void serve(int fd);
    void serveDatagram(Conn& c, std::span<const uint8_t> d);
    void flushTransmits();
    void serveHello(Conn& c, std::span<const uint8_t> d);
    void serveControl(Session& s, std::span<const uint8_t> d);
    void serveCtl(int fd, const std::string& line);
    void close(int fd);
    void endSession(uint32_t id);
    Session* primary();
    void deliver(Session& s, std::span<const uint8_t> msg);
    void readPort(Port& p);
    void refreshFilters();
    void pollWaits();
    void forgetHistory();
    void ctlSend(int fd, CtlKind kind, std::string_view text);
    void ctlEnd(int fd, int status);
    void showRequest(Conn& c, uint32_t vlan);
    bool finishShow(int fd, Conn& c);
    void saveState();
    std::string statusText(bool json);
    std::string countersText(bool json);
    std::string agentsText(bool json);
    void traceLine(const std::string& line);

    DaemonOptions opt_;
    Logger& log_;
    std::unique_ptr<RunDir> runDir_;
    chassis::ChassisConfig base_;  // the chassis file, which the state is laid over
    std::optional<StateStore> state_;
    chassis::ChassisConfig cfg_;
    std::unique_ptr<chassis::Chassis> chassis_;
    Fd taskListen_;
    Fd ctlListen_;
    Fd signals_;
    std::map<int, Conn> conns_;
    std::map<uint32_t, Session> sessions_;
    uint32_t nextSession_ = 1;
    Session* current_ = nullptr;      // the session whose operation runs now
    std::vector<Port> ports_;         // ports with a netdev
    std::vector<int> portOfIfIndex_;  // dense port index -> position in ports_, -1 none
    std::vector<uint64_t> agentSignature_;
    // Datagrams are received and frames sent in batches: a PDU's datagrams and the frames it
    // sends cost one system call each way.
    static constexpr size_t kRxSlots = 16;
    static constexpr int kServeBatches = 4;  // per connection and pass: no sender starves others
    static constexpr size_t kTxSlots = 32;
    RecvBatch rxBatch_{kRxSlots, kMaxDatagram};
    SendBatch txBatch_{kTxSlots, kMaxDatagram};
    std::array<size_t, kTxSlots> txPort_{};  // position in ports_ of each batched frame
    Fd sender_;                              // sends every port's frames
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    bool stop_ = false;
    int stopStatus_ = 0;
    Fd epoll_;
    std::array<epoll_event, 64> events_{};
};

}  // namespace netp
