#include "net/daemon/daemon.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "net/daemon/capabilities.h"
#include "net/daemon/ctl_server.h"
#include "net/daemon/police_change.h"
#include "net/daemon/sessions.h"
#include "net/daemon/state_store.h"
#include "net/proto/protocol.h"

namespace netp {

namespace {

constexpr mode_t kChassisFileMode = 0640;    // the task's group reads it
constexpr mode_t kPrivateSocketMode = 0600;  // root and the daemon's user
constexpr mode_t kGroupSocketMode = 0660;    // and the socket's group
constexpr int kExitFailed = 2;
constexpr int kLoopWaitMs = 1000;
constexpr size_t kHistory = 256;  // records the models may keep before the daemon drops them

// The switch's name among the pins: its run directory's, as the chassis name or the systemd
// unit's instance names it (/run/l2pt/NAME).
std::string pinNameOf(const std::string& runDir) {
    std::filesystem::path p = std::filesystem::path(runDir).lexically_normal();
    if (p.filename().empty())
        p = p.parent_path();
    return p.filename().string();
}

std::string sysError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

}  // namespace

Daemon::Daemon(DaemonOptions options, Logger& logger) : opt_(std::move(options)), log_(logger) {
    rx_.closeWith(&closer_);
    const std::string chassisText = readFile(opt_.chassisFile);
    base_ = chassis::loadChassisText(chassisText, opt_.chassisFile);
    requireCapabilities(capabilityNeeds(base_), log_);
    // The operators reach the directory through its group; the task's user is one of them, or
    // the task's group has the directory when there are no operators.
    const auto& groups = opt_.groups;
    runDir_ =
        std::make_unique<RunDir>(opt_.runDir, groups.operators ? groups.operators : groups.task);
    cfg_ = base_;
    if (!opt_.stateFile.empty()) {
        state_.emplace(opt_.stateFile, log_);
        const auto run = runDir_->dir().status();
        const auto kept = state_->dir().status();
        if (run.st_dev == kept.st_dev && run.st_ino == kept.st_ino)
            throw DirError("the state file " + opt_.stateFile +
                           " must live outside the run directory");
        cfg_ = state_->load(base_);
        // What the state laid over the file's learning limits is the operators'.
        const auto& all = cfg_.dataPlane.learning;
        learning_.assign(all.begin() + static_cast<std::ptrdiff_t>(base_.dataPlane.learning.size()),
                         all.end());
    }
    runDir_->dir().replaceFile(kChassisFile, chassisText, kChassisFileMode, groups.task);

    chassis_ = std::make_unique<chassis::Chassis>(cfg_, static_cast<chassis::TaskLink&>(*this));
    chassis_->trace().setKeep(false);
    // What a task writes to the console, the event log or its peer is logged or passed on as
    // it comes: kept, a task could grow it without end within one pass.
    chassis_->console().setKeep(false);
    chassis_->log().setKeep(false);
    chassis_->peer().setKeep(false);
    if (opt_.traceToLog)
        setTraceSink(nullptr);
    chassis_->cards().setRecordFrames(false);
    openPorts();

    sigset_t mask;
    sigemptyset(&mask);
    for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGPIPE})
        sigaddset(&mask, sig);
    pthread_sigmask(SIG_BLOCK, &mask, nullptr);
    sigdelset(&mask, SIGPIPE);
    // A capture's file past the size limit fails its write with EFBIG, which its client is
    // told, rather than ending the daemon.
    ::signal(SIGXFSZ, SIG_IGN);
    signals_.reset(::signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK));
    loop_.watch(signals_.get(), EPOLLIN, [this](uint32_t) { onSignal(); });
    loop_.onWake([this] { updateClock(); });  // frames are policed and traced at their time

    sessions_ = std::make_unique<TaskSessions>(*this);
    ctl_ = std::make_unique<CtlServer>(*this);
    const auto logLine = [this](const std::string& l) { log(l); };
    const auto listen = [&](const char* name, std::optional<gid_t> group) {
        return runDir_->listen(name, group ? kGroupSocketMode : kPrivateSocketMode, group);
    };
    taskListen_ = std::make_unique<Listener>(
        loop_, listen(kTaskSocket, groups.task), kTaskSocket,
        [this](Fd fd) { sessions_->adopt(std::move(fd)); }, logLine);
    ctlListen_ = std::make_unique<Listener>(
        loop_, listen(kCtlSocket, groups.operators), kCtlSocket,
        [this](Fd fd) { ctl_->adopt(std::move(fd)); }, logLine);
    log("chassis " + cfg_.name + " serving in " + opt_.runDir + (opt_.lab ? " (lab)" : ""));
}

Daemon::~Daemon() {
    ctlListen_.reset();
    taskListen_.reset();
    ctl_.reset();
    sessions_.reset();  // the run directory, going last, removes the sockets
}

void Daemon::openPorts() {
    if (!KernelDataPlane::wanted(cfg_))
        return;
    // Each port is opened when its interface is reported, at the first pass of the loop.
    dataPlane_ = std::make_unique<KernelDataPlane>(
        *chassis_, loop_,
        KernelDataPlane::Hooks{
            [this](const std::string& l) { log(l); },
            [this](const std::string& l) { log_.warning(l); },
            [this](const std::string& l) { log_.debug(l); },
            [this](size_t port, const port::PortState& was) { portChanged(port, was); }},
        KernelDataPlane::Pinning{opt_.bpffs,
                                 opt_.pinName.empty() ? pinNameOf(opt_.runDir) : opt_.pinName,
                                 opt_.pipelineVariant});
}

void Daemon::portChanged(size_t port, const port::PortState& was) {
    const port::PortTracker& ports = dataPlane_->ports();
    const uint32_t now = ports.state(port).ifindex;
    if (was.ifindex == now)
        return;
    if (was.ifindex != 0)
        captures_.interfaceGone(was.ifindex,
                                "interface " + ports.names(port).netdev + " went away");
    if (now != 0)
        adviseHostTraffic(port);
}

// The host's own frames (IPv6 DAD, router and multicast listener messages) never leave a port:
// the pipeline drops them at its egress (host_tx). The daemon leaves the host's configuration
// to the administrator (under its unit /proc/sys is read-only), and says, as an interface with
// IPv6 on appears, how to keep the host quiet there.
void Daemon::adviseHostTraffic(size_t port) {
    const port::PortNetdev& p = dataPlane_->ports().names(port);
    std::ifstream in("/proc/sys/net/ipv6/conf/" + p.netdev + "/disable_ipv6");
    int disabled = 1;
    if (!(in >> disabled) || disabled != 0)
        return;
    log("port " + p.port + ": IPv6 is on for interface " + p.netdev +
        "; the host's frames are dropped at its egress (sent by the host), and "
        "net.ipv6.conf." +
        p.netdev + ".disable_ipv6=1 keeps the host from sending them");
}

void Daemon::log(const std::string& line) {
    log_.info(line);
}

void Daemon::setTraceSink(std::function<void(const std::string&)> sink) {
    traceSink_ = std::move(sink);
    if (traceSink_ || opt_.traceToLog)
        chassis_->trace().setSink([this](const std::string& l) { traceLine(l); });
    else
        chassis_->trace().setSink(nullptr);
}

void Daemon::traceLine(const std::string& line) {
    if (opt_.traceToLog)
        log_.debug("trace " + line);
    if (traceSink_)
        traceSink_(line);
}

void Daemon::onSignal() {
    signalfd_siginfo si{};
    while (::read(signals_.get(), &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
        if (si.ssi_signo == SIGHUP) {
            log_.reopen();  // logrotate moved the file away
            continue;
        }
        log("signal " + std::to_string(si.ssi_signo) + ": stopping");
        stop_ = true;
    }
}

void Daemon::updateClock() {
    chassis_->clock().nowUs = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(loop_.now() - start_).count());
}

int Daemon::run() {
    while (step(kLoopWaitMs)) {
    }
    return stopStatus_;
}

bool Daemon::step(int timeoutMs) {
    if (stop_)
        return false;
    if (!loop_.runOnce(std::chrono::milliseconds(timeoutMs))) {
        log(sysError("epoll_wait failed"));
        stopStatus_ = kExitFailed;
        stop_ = true;
        return false;
    }
    ctl_->afterPass();
    if (dataPlane_)
        dataPlane_->refresh();
    forgetHistory();
    sessions_->reap();
    watchCloser();
    return !stop_;
}

void Daemon::watchCloser() {
    const auto closing = closer_.closing();
    if (closing >= kCloseStuck && !closeStuck_) {
        closeStuck_ = true;
        log("closing a descriptor a client sent has taken " +
            std::to_string(std::chrono::duration_cast<std::chrono::seconds>(closing).count()) +
            " s: its filesystem does not answer (a FUSE server that never does?); past " +
            std::to_string(Closer::kMaxWaiting) +
            " waiting, descriptors from clients are refused until it does");
    } else if (closing < kCloseStuck && closeStuck_) {
        closeStuck_ = false;
        log("the descriptors clients sent are closed again (" + std::to_string(closer_.waiting()) +
            " waiting)");
    }
}

void Daemon::change(const chassis::Change& change) {
    // A card event for a slot without a line card would change nothing: refused, not done.
    if (const auto* card = std::get_if<chassis::CardChange>(&change);
        card != nullptr && chassis_->cards().agent(card->slot) == nullptr)
        throw std::invalid_argument("card: no line card in slot " + std::to_string(card->slot));
    chassis::applyChange(*chassis_, change);
    saveState();
}

namespace {

// The running switch as a lab's scenario inputs see it: its chassis, with time and the debug
// shell left to the switch itself.
class LabInputs final : public chassis::ScenarioTarget {
  public:
    explicit LabInputs(chassis::Chassis& c) : c_(c) {}
    chassis::Chassis& chassis() override { return c_; }
    void settle() override {}
    void advanceUs(uint64_t /*us*/) override {
        throw chassis::ScenarioError(
            "time passes by itself on a running switch: 'advance' is for the simulation");
    }
    ozm::ShellResult shell(std::string_view /*line*/) override {
        return {-1, "the debug shell of a running task is reached with 'l2ptctl shell LINE'"};
    }

  private:
    chassis::Chassis& c_;
};

}  // namespace

void Daemon::runLabInput(std::string_view line) {
    // Frames enter a running switch's ports from their wires, where the pipeline meets them.
    constexpr std::string_view kFrameInput = "frame";
    constexpr std::string_view kBlanks = " \t";
    const size_t from = std::min(line.find_first_not_of(kBlanks), line.size());
    if (line.substr(from, line.find_first_of(kBlanks, from) - from) == kFrameInput)
        throw chassis::ScenarioError(
            "'frame' is for the simulation: on a running switch frames enter a port from the "
            "wire of its interface");
    LabInputs target(*chassis_);
    chassis::Scenario::parse(line, chassis_->ifdb(), "l2ptctl").run(target);
    saveState();
}

bool Daemon::setL2cp(uint32_t ifIndex, uint16_t vid, uint32_t addresses,
                     chassis::L2cpAction action) {
    if (!chassis_->cards().setL2cp(ifIndex, vid, addresses, action))
        return false;
    if (dataPlane_)
        dataPlane_->refresh();  // in the pipeline before l2ptctl hears the answer
    saveState();
    return true;
}

void Daemon::saveState() {
    if (!state_)
        return;
    if (const auto why = state_->save(base_, *chassis_, learning_))
        throw NotSaved("the change runs but is not saved (" + *why +
                       "): it is lost when the daemon restarts, unless a later change is saved");
}

std::optional<std::string> Daemon::setLearning(const chassis::LearnLimitConfig& change) {
    if (!dataPlane_)
        return "no line cards in the kernel: no port stands for a Linux interface";
    auto& cards = dataPlane_->lineCards();
    pipeline::Status s;
    if (change.vlan) {
        if (!change.limit)
            return "a VLAN's learning limit needs a limit";
        s = cards.setVlanLearnLimit(*change.vlan, *change.limit);
    } else if (const auto ifIndex = chassis_->ifdb().find(change.port);
               ifIndex && (chassis_->ifdb().isPort(*ifIndex) || chassis_->ifdb().isLag(*ifIndex))) {
        s = cards.setLearnLimit(*ifIndex, change.limit, change.drop);
    } else {
        return "'" + change.port + "' is no port or LAG";
    }
    if (!s)
        return s.what();
    // A later change of the same port or VLAN stands for the earlier one.
    std::erase_if(learning_, [&](const chassis::LearnLimitConfig& l) {
        return l.port == change.port && l.vlan == change.vlan && (change.limit || !l.limit) &&
               (change.drop || !l.drop);
    });
    learning_.push_back(change);
    saveState();
    return std::nullopt;
}

void Daemon::changePolicing(const PoliceChange& change) {
    apply(change, chassis_->cards(), base_);
    if (dataPlane_)
        dataPlane_->refresh();
    saveState();
}

void Daemon::toTask(std::vector<uint8_t> msg) {
    sessions_->toTask(msg);
}

bool Daemon::toPduSocket(int /*protocol*/, uint32_t /*rxIfIndex*/,
                         std::span<const uint8_t> /*frame*/) {
    return false;  // the task reads its PDUs from the kernel's trap ring, never through here
}

void Daemon::forgetHistory() {
    // The models keep what they saw for tests of the simulation; a daemon lets it go once it
    // has been logged. The CLI's replies are the ctl server's to take.
    auto& c = *chassis_;
    if (c.mgr().replies().size() > kHistory)
        c.mgr().forget();
    if (c.ifm().acks().size() > kHistory)
        c.ifm().forgetAcks();
}

}  // namespace netp
