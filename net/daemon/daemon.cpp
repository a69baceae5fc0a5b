#include "net/daemon/daemon.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "chassis/message.h"
#include "chassis/pcap.h"
#include "net/daemon/capabilities.h"
#include "net/daemon/state_store.h"
#include "net/proto/protocol.h"
#include "platform/shell.h"
#include "platform/wire/bytes.h"
#include "platform/wire/header.h"
#include "platform/wire/l2pt.h"
#include "platform/wire/swp.h"

namespace netp {

namespace {

constexpr uint32_t kHaTakeover = 3;  // HA event: the roles are settled anew
constexpr mode_t kChassisFileMode = 0640;
constexpr mode_t kTaskSocketMode = 0600;       // root and the daemon's user
constexpr mode_t kOperatorsSocketMode = 0660;  // and the operators' group
constexpr uint64_t kUsPerSecond = 1'000'000;
constexpr uint64_t kCtlTimeoutUs = 5 * kUsPerSecond;  // a show or shell answer
constexpr uint32_t kShowMoreFlag = 0x00010000;        // "more" (u16 at 96) in the word at 96
constexpr size_t kTagLen = 4;
constexpr size_t kTpidOff = 12;
constexpr size_t kTciOff = 14;
constexpr uint16_t kVidMask = 0x0FFF;
constexpr int kExitOk = 0;
constexpr int kExitUsage = 2;
constexpr int kLoopWaitMs = 20;
constexpr size_t kHistory = 256;  // records the models may keep before the daemon drops them

bool isIfmSequenced(std::span<const uint8_t> msg) {
    return msg.size() >= hdr::kSeqHeaderLen && swpw::magic(msg.data()) == swpw::kSwpMagic &&
           ozm::queueAddressOf(hdr::srcQueueId(msg.data())).service == svc::kIfm;
}

std::vector<std::string> words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> w;
    for (std::string s; in >> s;)
        w.push_back(s);
    return w;
}

std::string jsonText(std::string_view s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\')
            out += '\\';
        if (static_cast<unsigned char>(c) < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
            continue;
        }
        out += c;
    }
    return out + "\"";
}

}  // namespace

// A capture of one port into a pcap file: what reaches the daemon from it and what leaves.
struct Daemon::Capture {
    Capture(uint32_t p, const std::string& path) : port(p), writer(path) {}
    uint32_t port;
    chassis::PcapWriter writer;
    uint64_t remaining = 0;  // frames still to write; 0 = until the deadline
    uint64_t written = 0;
    void write(std::span<const uint8_t> frame, uint64_t nowUs) {
        writer.write(frame, nowUs);
        writer.flush();
        ++written;
        if (remaining > 0)
            --remaining;
    }
};

Daemon::Daemon(DaemonOptions options, Logger& logger) : opt_(std::move(options)), log_(logger) {
    const std::string chassisText = readFile(opt_.chassisFile);
    base_ = chassis::loadChassisText(chassisText, opt_.chassisFile);
    requireCapabilities(capabilityNeeds(base_), log_);
    runDir_ = std::make_unique<RunDir>(opt_.runDir, opt_.operators);
    cfg_ = base_;
    if (!opt_.stateFile.empty()) {
        state_.emplace(opt_.stateFile, log_);
        const auto run = runDir_->dir().status();
        const auto kept = state_->dir().status();
        if (run.st_dev == kept.st_dev && run.st_ino == kept.st_ino)
            throw DirError("the state file " + opt_.stateFile +
                           " must live outside the run directory");
        cfg_ = state_->load(base_);
    }
    runDir_->dir().replaceFile(RunDir::kChassisFile, chassisText, kChassisFileMode);

    chassis_ = std::make_unique<chassis::Chassis>(cfg_, static_cast<chassis::TaskLink&>(*this));
    chassis_->trace().setKeep(false);
    if (opt_.traceToLog)
        chassis_->trace().setSink([this](const std::string& l) { traceLine(l); });
    chassis_->cards().setRecordFrames(false);
    chassis_->cards().setWire(this);

    auto& db = chassis_->ifdb();
    portOfIfIndex_.assign(db.portCount(), -1);
    for (const auto& card : cfg_.lineCards) {
        for (const auto& pc : card.ports) {
            if (pc.netdev.empty())
                continue;
            const auto ifIndex = db.find(pc.name);
            if (!ifIndex)
                continue;
            Port p;
            p.ifIndex = *ifIndex;
            p.io = std::make_unique<PortIo>(pc.netdev);
            p.to = p.io->destination();
            portOfIfIndex_[static_cast<size_t>(db.portIndex(*ifIndex))] =
                static_cast<int>(ports_.size());
            log("port " + pc.name + " is " + pc.netdev);
            ports_.push_back(std::move(p));
        }
    }
    if (!ports_.empty())
        sender_ = openPacketSender();
    agentSignature_.assign(cfg_.slots, UINT64_MAX);

    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGHUP);
    sigaddset(&mask, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &mask, nullptr);
    sigdelset(&mask, SIGPIPE);
    signals_.reset(::signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK));

    taskListen_ = runDir_->listen(kTaskSocket, kTaskSocketMode);
    ctlListen_ =
        runDir_->listen(kCtlSocket, opt_.operators ? kOperatorsSocketMode : kTaskSocketMode);
    epoll_.reset(::epoll_create1(EPOLL_CLOEXEC));
    if (!epoll_.valid())
        throw std::runtime_error("epoll_create1: " + std::string(std::strerror(errno)));
    watch(signals_.get(), Watch::Signals, 0);
    watch(taskListen_.get(), Watch::TaskListen, 0);
    watch(ctlListen_.get(), Watch::CtlListen, 0);
    for (size_t i = 0; i < ports_.size(); ++i)
        watch(ports_[i].io->fd(), Watch::Port, static_cast<uint32_t>(i));
    log("chassis " + cfg_.name + " serving in " + opt_.runDir);
}

Daemon::~Daemon() {
    conns_.clear();
}

void Daemon::log(const std::string& line) {
    log_.info(line);
}

void Daemon::traceLine(const std::string& line) {
    if (opt_.traceToLog)
        log_.debug("trace " + line);
    for (auto& [fd, c] : conns_) {
        if (c.kind == ConnKind::Ctl && c.wait.what == CtlWait::What::Trace)
            ctlSend(fd, CtlKind::Out, line + "\n");
    }
}

void Daemon::updateClock() {
    chassis_->clock().nowUs =
        static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                  std::chrono::steady_clock::now() - start_)
                                  .count());
}

int Daemon::run() {
    while (step(kLoopWaitMs)) {
    }
    return stopStatus_;
}

bool Daemon::step(int timeoutMs) {
    if (stop_)
        return false;
    int n;
    do {
        n = ::epoll_wait(epoll_.get(), events_.data(), static_cast<int>(events_.size()), timeoutMs);
    } while (n < 0 && errno == EINTR);
    updateClock();
    if (n < 0) {
        log(std::string("epoll_wait failed: ") + std::strerror(errno));
        stopStatus_ = kExitUsage;
        stop_ = true;
        return false;
    }
    const auto ready = std::span(events_).first(static_cast<size_t>(n));
    // Ports first: a trapped frame reaches the task before its answers to earlier ones are
    // read, so both directions share each pass.
    for (const epoll_event& e : ready) {
        if (watchKind(e) == Watch::Port)
            readPort(ports_[watchValue(e)]);
    }
    for (const epoll_event& e : ready) {
        const int fd = static_cast<int>(watchValue(e));
        switch (watchKind(e)) {
            case Watch::Signals: {
                signalfd_siginfo si{};
                if (::read(signals_.get(), &si, sizeof si) <= 0)
                    break;
                if (si.ssi_signo == SIGHUP) {
                    log_.reopen();  // logrotate moved the file away
                    break;
                }
                log("signal " + std::to_string(si.ssi_signo) + ": stopping");
                stop_ = true;
                break;
            }
            case Watch::TaskListen:
                accept(taskListen_.get(), ConnKind::TaskHello);
                break;
            case Watch::CtlListen:
                accept(ctlListen_.get(), ConnKind::Ctl);
                break;
            case Watch::Conn:
                // Serving one connection may close others of this pass, and a new one may
                // have taken a closed one's number: serving it then finds nothing queued.
                if (conns_.contains(fd))
                    serve(fd);
                break;
            case Watch::Port:
                break;
        }
    }
    flushTransmits();
    refreshFilters();
    pollWaits();
    forgetHistory();
    return !stop_;
}

void Daemon::watch(int fd, Watch kind, uint32_t value) {
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.u64 = static_cast<uint64_t>(kind) << kWatchKindShift | value;
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &e) != 0)
        throw std::runtime_error("epoll_ctl: " + std::string(std::strerror(errno)));
}

Daemon::Watch Daemon::watchKind(const epoll_event& e) {
    return static_cast<Watch>(e.data.u64 >> kWatchKindShift);
}

uint32_t Daemon::watchValue(const epoll_event& e) {
    return static_cast<uint32_t>(e.data.u64);
}

bool Daemon::credentialsAllowed(int fd, const char* socketName) {
    const auto cred = peerCred(fd);
    if (!cred) {
        log(std::string("refused a connection on ") + socketName + ": no peer credentials");
        return false;
    }
    const uid_t me = ::geteuid();
    if (cred->uid == 0 || cred->uid == me ||
        std::find(opt_.allowUids.begin(), opt_.allowUids.end(), cred->uid) !=
            opt_.allowUids.end()) {
        return true;
    }
    log(std::string("refused a connection on ") + socketName + " from pid " +
        std::to_string(cred->pid) + " uid " + std::to_string(cred->uid) +
        ": not root, the daemon's user or an allowed uid");
    return false;
}

void Daemon::accept(int listenFd, ConnKind kind) {
    for (;;) {
        Fd fd = acceptSeqpacket(listenFd);
        if (!fd.valid())
            return;
        if (!credentialsAllowed(fd.get(), kind == ConnKind::Ctl ? kCtlSocket : kTaskSocket))
            continue;  // closed as fd goes
        const int raw = fd.get();
        try {
            watch(raw, Watch::Conn, static_cast<uint32_t>(raw));
        } catch (const std::runtime_error& e) {
            log(std::string("refused a connection: ") + e.what());
            continue;
        }
        Conn c;
        c.fd = std::move(fd);
        c.kind = kind;
        conns_[raw] = std::move(c);
    }
}

void Daemon::close(int fd) {
    auto it = conns_.find(fd);
    if (it == conns_.end())
        return;
    const Conn& c = it->second;
    if (c.kind == ConnKind::Ctl && c.wait.what == CtlWait::What::Trace) {
        conns_.erase(it);
        const bool listening = std::any_of(conns_.begin(), conns_.end(), [](const auto& kv) {
            return kv.second.wait.what == CtlWait::What::Trace;
        });
        if (!listening && !opt_.traceToLog)
            chassis_->trace().setSink(nullptr);
        return;
    }
    if (c.kind == ConnKind::Control) {
        const uint32_t id = c.session;
        conns_.erase(it);
        endSession(id);
        return;
    }
    if (c.kind != ConnKind::Ctl && c.kind != ConnKind::TaskHello) {
        auto s = sessions_.find(c.session);
        if (s != sessions_.end()) {
            for (int* slot :
                 {&s->second.ipc, &s->second.shell, &s->second.pduStp, &s->second.pduTunnel}) {
                if (*slot == fd)
                    *slot = -1;
            }
        }
    }
    conns_.erase(it);
}

void Daemon::endSession(uint32_t id) {
    auto it = sessions_.find(id);
    if (it == sessions_.end())
        return;
    Session s = std::move(it->second);
    sessions_.erase(it);
    if (current_ != nullptr && current_->id == id)
        current_ = nullptr;
    for (int fd : {s.ipc, s.shell, s.pduStp, s.pduTunnel})
        conns_.erase(fd);
    for (int waiter : s.shellWaiters) {
        if (conns_.contains(waiter)) {
            ctlSend(waiter, CtlKind::Err, "the task ended before answering\n");
            ctlEnd(waiter, kExitUsage);
        }
    }
    log("task session " + std::to_string(id) + " (pid " + std::to_string(s.pid) + ", " +
        (s.primary ? "primary" : "secondary") + ") ended");
    if (!s.primary || sessions_.empty())
        return;
    // The secondary takes over: it becomes primary and hears the HA event that tells it so.
    Session& next = sessions_.begin()->second;
    next.primary = true;
    log("task session " + std::to_string(next.id) + " (pid " + std::to_string(next.pid) +
        ") takes over as primary");
    chassis_->ha().event(kHaTakeover);
}

Daemon::Session* Daemon::primary() {
    for (auto& [id, s] : sessions_) {
        if (s.primary)
            return &s;
    }
    return nullptr;
}

void Daemon::serve(int fd) {
    for (int budget = kServeBatches; budget > 0 && conns_.contains(fd); --budget) {
        const auto batch = rxBatch_.receive(fd);
        for (const auto& [d, status] : batch) {
            if (!conns_.contains(fd))
                break;
            if (status == RecvBatch::Status::Truncated) {
                log("connection " + std::to_string(fd) + ": datagram over " +
                    std::to_string(kMaxDatagram) + " bytes dropped");
                continue;
            }
            if (d.empty()) {
                close(fd);
                break;
            }
            serveDatagram(conns_.at(fd), d);
        }
        flushTransmits();
        if (batch.size() < kRxSlots)
            return;
    }
}

void Daemon::serveDatagram(Conn& c, std::span<const uint8_t> d) {
    switch (c.kind) {
        case ConnKind::TaskHello:
            serveHello(c, d);
            break;
        case ConnKind::Control:
            serveControl(sessions_.at(c.session), d);
            break;
        case ConnKind::Ipc: {
            current_ = &sessions_.at(c.session);
            chassis_->send(d);
            current_ = nullptr;
            break;
        }
        case ConnKind::Pdu: {
            if (d.size() < pdudgram::kFrame) {
                log("session " + std::to_string(c.session) + ": PDU datagram of " +
                    std::to_string(d.size()) + " bytes has no interface index: dropped");
                break;
            }
            const uint32_t egress = wire::getU32(d.data(), pdudgram::kIfIndex);
            chassis_->cards().frameOut(egress, d.subspan(pdudgram::kFrame));
            break;
        }
        case ConnKind::Shell: {
            Session& s = sessions_.at(c.session);
            if (s.shellWaiters.empty()) {
                log("session " + std::to_string(s.id) + ": unasked shell answer dropped");
                break;
            }
            const int waiter = s.shellWaiters.front();
            s.shellWaiters.pop_front();
            if (!conns_.contains(waiter) || d.size() < answer::kBody)
                break;
            const int32_t rc = wire::getI32(d.data(), answer::kStatus);
            ctlSend(waiter, rc == 0 ? CtlKind::Out : CtlKind::Err,
                    std::string(d.begin() + answer::kBody, d.end()));
            ctlEnd(waiter, rc == 0 ? kExitOk : 1);
            break;
        }
        case ConnKind::Ctl:
            serveCtl(c.fd.get(), std::string(d.begin(), d.end()));
            break;
    }
}

void Daemon::serveHello(Conn& c, std::span<const uint8_t> d) {
    std::vector<uint8_t> w(welcome::kLen);
    wire::putU32(w.data(), welcome::kMagic, kMagic);
    const int fd = c.fd.get();
    auto refuse = [&](const std::string& why) {
        log("refused a task connection: " + why);
        wire::putI32(w.data(), welcome::kStatus, -1);
        sendDatagram(fd, w);
        close(fd);
    };
    if (d.size() != hello::kLen || wire::getU32(d.data(), hello::kMagic) != kMagic)
        return refuse("malformed hello of " + std::to_string(d.size()) + " bytes");
    if (wire::getU16(d.data(), hello::kVersion) != kVersion)
        return refuse("protocol version " +
                      std::to_string(wire::getU16(d.data(), hello::kVersion)));
    const auto channel = static_cast<Channel>(wire::getU16(d.data(), hello::kChannel));
    const uint32_t sessionId = wire::getU32(d.data(), hello::kSession);
    if (channel == Channel::Control) {
        Session s;
        s.id = nextSession_++;
        s.pid = peerCred(fd).value_or(PeerCred{0, 0, 0}).pid;
        s.control = fd;
        s.primary = primary() == nullptr;
        c.kind = ConnKind::Control;
        c.session = s.id;
        log("task session " + std::to_string(s.id) + " (pid " + std::to_string(s.pid) +
            ") connected as " + (s.primary ? "primary" : "secondary"));
        wire::putU32(w.data(), welcome::kSession, s.id);
        sessions_.emplace(s.id, std::move(s));
        sendDatagram(fd, w);
        return;
    }
    auto it = sessions_.find(sessionId);
    if (it == sessions_.end())
        return refuse("channel for unknown session " + std::to_string(sessionId));
    Session& s = it->second;
    int* slot = nullptr;
    switch (channel) {
        case Channel::Ipc:
            c.kind = ConnKind::Ipc;
            slot = &s.ipc;
            break;
        case Channel::Shell:
            c.kind = ConnKind::Shell;
            slot = &s.shell;
            break;
        case Channel::Pdu: {
            const uint32_t protocol = wire::getU32(d.data(), hello::kArg);
            if (protocol != OZML2STP && protocol != OZML2L2PT)
                return refuse("PDU channel for protocol " + std::to_string(protocol));
            c.kind = ConnKind::Pdu;
            c.protocol = static_cast<int>(protocol);
            slot = protocol == OZML2STP ? &s.pduStp : &s.pduTunnel;
            break;
        }
        default:
            return refuse("unknown channel " + std::to_string(static_cast<unsigned>(channel)));
    }
    if (*slot >= 0)
        return refuse("session " + std::to_string(s.id) + " has that channel open already");
    *slot = fd;
    c.session = s.id;
    wire::putU32(w.data(), welcome::kSession, s.id);
    sendDatagram(fd, w);
}

void Daemon::serveControl(Session& s, std::span<const uint8_t> d) {
    Writer out;
    int32_t status = 0;
    std::vector<uint8_t> body;
    const int fd = s.control;
    auto bad = [&](const char* what) {
        log("session " + std::to_string(s.id) + ": malformed " + what + " (" +
            std::to_string(d.size()) + " bytes): refused");
        status = -1;
    };
    uint32_t opValue = 0;
    Reader r(d);
    if (!r.u32(opValue)) {
        bad("operation");
    } else {
        current_ = &s;
        switch (static_cast<Op>(opValue)) {
            case Op::Request: {
                const auto msg = r.rest();
                const bool reg = msg.size() >= hdr::kPlainHeaderLen &&
                                 hdr::msgType(msg.data()) == MT_L2PT_IFM_REG;
                if (reg)
                    s.ifmSeq = 0;  // a task that registers starts IFM's queue afresh
                bool delivered = false;
                auto reply = chassis_->request(msg, &delivered);
                if (reply) {
                    // A standby route processor owns no line cards.
                    if (reg && !s.primary && reply->size() >= ifmreg::kLineCardBitmap + 4)
                        wire::putU32(reply->data(), ifmreg::kLineCardBitmap, 0);
                    body = std::move(*reply);
                } else {
                    status = delivered ? answer::kSilent : answer::kNoParty;
                }
                break;
            }
            case Op::Reply:
                status = chassis_->reply(r.rest());
                break;
            case Op::StartTask:
                out.u32(svc::kL2pt).u32(0);
                break;
            case Op::TaskReady:
                s.ready = true;
                log("task session " + std::to_string(s.id) + " ready");
                break;
            case Op::IsPrimary:
                status = s.primary ? 1 : 0;
                break;
            case Op::PeerSend: {
                uint32_t service = 0;
                uint32_t instance = 0;
                if (!r.u32(service) || !r.u32(instance)) {
                    bad("peer send");
                    break;
                }
                Session* peer = nullptr;
                for (auto& [id, other] : sessions_) {
                    if (id != s.id && other.ipc >= 0)
                        peer = &other;
                }
                ++s.peerSent;
                if (peer != nullptr) {
                    status = sendDatagram(peer->ipc, r.rest()) ? 0 : -1;
                } else {
                    status = chassis_->peer().receive(service, instance, r.rest());
                }
                break;
            }
            case Op::Subscribe: {
                uint32_t on = 0;
                uint32_t count = 0;
                std::vector<uint32_t> events;
                bool ok = r.u32(on) && r.u32(count) && count <= r.rest().size() / 4;
                for (uint32_t i = 0; ok && i < count; ++i) {
                    uint32_t e = 0;
                    ok = r.u32(e);
                    events.push_back(e);
                }
                if (!ok) {
                    bad("subscription");
                    break;
                }
                status = chassis_->events().subscribe(events, on != 0);
                break;
            }
            case Op::EventLog: {
                ozm::LogRecord rec;
                uint32_t argc = 0;
                bool ok = r.u32(rec.code) && r.u32(argc) && argc <= r.rest().size() / 4;
                for (uint32_t i = 0; ok && i < argc; ++i)
                    ok = r.text(rec.args.emplace_back());
                if (!ok || !r.text(rec.text)) {
                    bad("event-log record");
                    break;
                }
                chassis_->log().add(rec);
                log("event " + (rec.code ? chassis::hex32(rec.code) + " " : "") + rec.text);
                break;
            }
            case Op::Console:
            case Op::Report: {
                std::string text;
                if (!r.text(text)) {
                    bad("text");
                    break;
                }
                if (static_cast<Op>(opValue) == Op::Console)
                    chassis_->console().add(text);
                else
                    log("platform report: " + text);
                break;
            }
            case Op::CfgInsert:
            case Op::CfgRemoveExact:
            case Op::CfgRemoveNode: {
                uint32_t count = 0;
                std::vector<uint32_t> key;
                bool ok = r.u32(count) && count <= r.rest().size() / 4;
                for (uint32_t i = 0; ok && i < count; ++i)
                    ok = r.u32(key.emplace_back());
                std::string text;
                if (!ok || (static_cast<Op>(opValue) == Op::CfgInsert && !r.text(text))) {
                    bad("configuration key");
                    break;
                }
                auto& cfg = chassis_->cfg();
                status = static_cast<Op>(opValue) == Op::CfgInsert        ? cfg.insert(key, text)
                         : static_cast<Op>(opValue) == Op::CfgRemoveExact ? cfg.removeExact(key)
                                                                          : cfg.removeNode(key);
                break;
            }
            case Op::TunnelMac: {
                const auto mac = r.rest();
                if (mac.size() != chassis::kMacLen) {
                    bad("tunnel MAC");
                    break;
                }
                log("kernel tunnel MAC " + chassis::macText(mac));
                break;
            }
            default:
                bad("operation code");
                break;
        }
        current_ = nullptr;
    }
    Writer answerMsg;
    answerMsg.u32(static_cast<uint32_t>(status)).bytes(out.data()).bytes(body);
    if (conns_.contains(fd))
        sendDatagram(fd, answerMsg.data());
}

void Daemon::deliver(Session& s, std::span<const uint8_t> msg) {
    if (s.ipc < 0)
        return;
    if (isIfmSequenced(msg)) {
        // Each task has its own sequenced queue from IFM: numbered per task.
        std::vector<uint8_t> copy(msg.begin(), msg.end());
        wire::putU32(copy.data(), swpw::kSeq, ++s.ifmSeq);
        sendDatagram(s.ipc, copy);
        return;
    }
    sendDatagram(s.ipc, msg);
}

void Daemon::toTask(std::vector<uint8_t> msg) {
    if (current_ != nullptr) {
        deliver(*current_, msg);
        return;
    }
    if (isIfmSequenced(msg)) {
        for (auto& [id, s] : sessions_)
            deliver(s, msg);
        return;
    }
    if (Session* p = primary())
        deliver(*p, msg);
    else
        log("no task: message type " +
            std::to_string(msg.size() >= hdr::kPlainHeaderLen ? hdr::msgType(msg.data()) : 0) +
            " dropped");
}

bool Daemon::toPduSocket(int protocol, uint32_t rxIfIndex, std::span<const uint8_t> frame) {
    Session* p = primary();
    const int fd = p == nullptr ? -1 : protocol == OZML2STP ? p->pduStp : p->pduTunnel;
    if (fd < 0)
        return false;
    return sendPduDatagram(fd, rxIfIndex, frame, MSG_DONTWAIT);
}

void Daemon::transmit(uint32_t portIf, std::span<const uint8_t> frame) {
    const int dense = chassis_->ifdb().portIndex(portIf);
    if (dense < 0 || portOfIfIndex_[static_cast<size_t>(dense)] < 0)
        return;  // a port with no interface: the frame has nowhere to go
    const auto at = static_cast<size_t>(portOfIfIndex_[static_cast<size_t>(dense)]);
    Port& p = ports_[at];
    // Egress follows membership: an access port sends its customer's frame without the
    // provider tag, a core port keeps it.
    bool strip = false;
    if (frame.size() >= kTciOff + 2 + kTagLen &&
        wire::getU16(frame.data(), kTpidOff) == chassis_->ifm().vmanTpid()) {
        const uint32_t vid = wire::getU16(frame.data(), kTciOff) & kVidMask;
        strip = chassis_->ifm().isCorePort(vid, portIf) == false;
    }
    const size_t len = strip ? frame.size() - kTagLen : frame.size();
    if (txBatch_.full())
        flushTransmits();
    const std::span<uint8_t> out = txBatch_.append(len, &p.to);
    if (out.empty()) {
        ++p.counters.txErrors;  // larger than any datagram that brings a frame
        return;
    }
    txPort_[txBatch_.size() - 1] = at;
    if (strip) {
        std::copy_n(frame.begin(), kTpidOff, out.begin());
        std::copy(frame.begin() + kTpidOff + kTagLen, frame.end(), out.begin() + kTpidOff);
        ++p.counters.tagsRemoved;
    } else {
        std::copy(frame.begin(), frame.end(), out.begin());
    }
    for (auto& [fd, c] : conns_) {
        if (c.wait.what == CtlWait::What::Capture && c.wait.capture->port == portIf)
            c.wait.capture->write(out, chassis_->clock().nowUs);
    }
}

void Daemon::flushTransmits() {
    txBatch_.flush(sender_.get(), MSG_DONTWAIT,
                   [this](size_t slot) { ++ports_[txPort_[slot]].counters.txErrors; });
}

void Daemon::readPort(Port& p) {
    for (int budget = kServeBatches; budget > 0; --budget) {
        const auto frames = p.io->receive();
        for (const auto frame : frames) {
            for (auto& [fd, c] : conns_) {
                if (c.wait.what == CtlWait::What::Capture && c.wait.capture->port == p.ifIndex)
                    c.wait.capture->write(frame, chassis_->clock().nowUs);
            }
            chassis_->cards().frameIn(p.ifIndex, frame);
        }
        if (frames.size() < PortIo::kRxSlots)
            return;  // drained; a frame left behind wakes the next pass
    }
}

void Daemon::refreshFilters() {
    auto& cards = chassis_->cards();
    for (uint32_t slot = 0; slot < agentSignature_.size(); ++slot) {
        const chassis::AclAgent* a = cards.agent(slot);
        if (a == nullptr)
            continue;
        const uint64_t sig = (static_cast<uint64_t>(a->stats().applied) << 2) |
                             (a->present() ? 2u : 0u) | (a->registered() ? 1u : 0u);
        if (sig == agentSignature_[slot])
            continue;
        agentSignature_[slot] = sig;
        const auto entries = a->present() ? a->entries() : std::vector<chassis::AclEntry>{};
        for (auto& p : ports_) {
            const ozm::IfInfo* info = chassis_->ifdb().info(p.ifIndex);
            if (info == nullptr || info->slot != static_cast<int>(slot))
                continue;
            std::vector<chassis::Mac> macs;
            for (const auto& e : entries) {
                if (e.ifIndex == p.ifIndex || (e.ifIndex == 0 && e.global != 0))
                    macs.push_back(e.mac);
            }
            if (!p.io->setFilter(macs))
                log("port " + chassis_->ifdb().name(p.ifIndex) +
                    ": filter not attached: " + std::strerror(errno));
        }
    }
}

void Daemon::forgetHistory() {
    // The models keep what they saw for tests of the simulation; a daemon lets it go once it
    // has been logged, keeping only the CLI replies that a show still waits for.
    auto& c = *chassis_;
    const bool showPending = std::any_of(conns_.begin(), conns_.end(), [](const auto& kv) {
        return kv.second.wait.what == CtlWait::What::Show;
    });
    if (c.log().records().size() > kHistory)
        c.log().forget();
    if (c.console().lines().size() > kHistory)
        c.console().forget();
    if (c.peer().received().size() > kHistory)
        c.peer().forget();
    if (c.mgr().replies().size() > kHistory)
        c.mgr().forget();
    if (!showPending && !c.cli().replies().empty())
        c.cli().forget();
}

void Daemon::ctlSend(int fd, CtlKind kind, std::string_view text) {
    auto it = conns_.find(fd);
    if (it == conns_.end())
        return;
    // Long answers go in pieces that fit a datagram.
    constexpr size_t kPiece = kMaxDatagram - 1;
    size_t at = 0;
    do {
        const auto piece = text.substr(at, kPiece);
        std::vector<uint8_t> d;
        d.push_back(static_cast<uint8_t>(kind));
        d.insert(d.end(), piece.begin(), piece.end());
        sendDatagram(fd, d);
        at += kPiece;
    } while (at < text.size());
}

void Daemon::ctlEnd(int fd, int status) {
    ctlSend(fd, CtlKind::Exit, std::to_string(status));
    auto it = conns_.find(fd);
    if (it != conns_.end())
        it->second.wait = CtlWait{};
}

void Daemon::showRequest(Conn& c, uint32_t vlan) {
    c.wait.repliesBefore = chassis_->cli().replies().size();
    c.wait.deadlineUs = chassis_->clock().nowUs + kCtlTimeoutUs;
    if (c.wait.all)
        chassis_->cli().request({climsg::kSubShowAll, 0, vlan, kShowMoreFlag, 0, 0});
    else
        chassis_->cli().show(vlan);
}

bool Daemon::finishShow(int fd, Conn& c) {
    const auto& replies = chassis_->cli().replies();
    if (replies.size() <= c.wait.repliesBefore)
        return false;
    const auto& m = replies.back().msg;
    if (m.size() < climsg::kShowText) {
        ctlSend(fd, CtlKind::Err, "short reply from the task\n");
        ctlEnd(fd, 1);
        return true;
    }
    const uint32_t result = wire::getU32(m.data(), climsg::kResult);
    const auto textBytes = std::span(m).subspan(climsg::kShowText);
    const auto end = std::find(textBytes.begin(), textBytes.end(), 0);
    std::string line;
    bool first = c.wait.showLines.empty();
    bool header = true;
    for (auto it = textBytes.begin(); it <= end; ++it) {
        if (it == end || *it == '\n') {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (!line.empty() && (first || !header))
                c.wait.showLines.push_back(line);
            header = false;
            line.clear();
            if (it == end)
                break;
        } else {
            line += static_cast<char>(*it);
        }
    }
    const bool more = wire::getU16(m.data(), climsg::kShowMore) != 0;
    if (c.wait.all && more) {
        showRequest(c, wire::getU32(m.data(), climsg::kShowVlan));
        return false;
    }
    std::string out;
    if (c.wait.json) {
        out = "{\"result\":" + std::to_string(result) + ",\"lines\":[";
        for (size_t i = 0; i < c.wait.showLines.size(); ++i)
            out += (i ? "," : "") + jsonText(c.wait.showLines[i]);
        out += "]}\n";
    } else {
        for (const auto& l : c.wait.showLines)
            out += l + "\n";
        if (result != 0)
            out += "result " + std::to_string(result) +
                   (result == 4   ? ": no such tunnelling VLAN"
                    : result == 6 ? ": no protocols"
                                  : "") +
                   "\n";
    }
    ctlSend(fd, CtlKind::Out, out);
    ctlEnd(fd, result == 0 ? kExitOk : 1);
    return true;
}

void Daemon::pollWaits() {
    const uint64_t now = chassis_->clock().nowUs;
    std::vector<int> fds;
    for (const auto& [fd, c] : conns_) {
        if (c.kind == ConnKind::Ctl && c.wait.what != CtlWait::What::None)
            fds.push_back(fd);
    }
    for (int fd : fds) {
        auto it = conns_.find(fd);
        if (it == conns_.end())
            continue;
        Conn& c = it->second;
        switch (c.wait.what) {
            case CtlWait::What::Show:
                if (!finishShow(fd, c) && now >= c.wait.deadlineUs) {
                    ctlSend(fd, CtlKind::Err, "no answer from the task\n");
                    ctlEnd(fd, 1);
                }
                break;
            case CtlWait::What::Capture:
                if ((c.wait.capture->remaining == 0 && c.wait.deadlineUs == 0) ||
                    (c.wait.deadlineUs != 0 && now >= c.wait.deadlineUs)) {
                    ctlSend(fd, CtlKind::Out,
                            std::to_string(c.wait.capture->written) + " frames captured\n");
                    ctlEnd(fd, kExitOk);
                }
                break;
            default:
                break;
        }
    }
}

void Daemon::advanceUs(uint64_t /*us*/) {
    throw chassis::ScenarioError(
        "time passes by itself on a running switch: 'advance' is for "
        "the simulation");
}

ozm::ShellResult Daemon::shell(std::string_view /*line*/) {
    return {-1, "the debug shell of a running task is reached with 'l2ptctl shell LINE'"};
}

void Daemon::saveState() {
    if (state_)
        state_->save(base_, chassis_->ifm().snapshot(), chassis_->ifdb());
}

std::string Daemon::statusText(bool json) {
    std::ostringstream o;
    const Session* p = primary();
    if (json) {
        o << "{\"chassis\":" << jsonText(cfg_.name)
          << ",\"primary_ready\":" << (p != nullptr && p->ready ? "true" : "false")
          << ",\"sessions\":[";
        bool first = true;
        for (const auto& [id, s] : sessions_) {
            o << (first ? "" : ",") << "{\"session\":" << id << ",\"pid\":" << s.pid
              << ",\"role\":\"" << (s.primary ? "primary" : "secondary")
              << "\",\"ready\":" << (s.ready ? "true" : "false") << ",\"peer_sent\":" << s.peerSent
              << "}";
            first = false;
        }
        o << "],\"cards\":" << chassis_->cards().presentBitmap() << "}\n";
        return o.str();
    }
    o << "chassis " << cfg_.name << "\n";
    for (const auto& [id, s] : sessions_) {
        o << "task session " << id << " pid " << s.pid << " "
          << (s.primary ? "primary" : "secondary") << (s.ready ? " ready" : " starting")
          << " peer-messages " << s.peerSent << "\n";
    }
    if (sessions_.empty())
        o << "no task connected\n";
    o << "line cards " << chassis::hex32(chassis_->cards().presentBitmap()) << "\n";
    for (const auto& port : ports_)
        o << "port " << chassis_->ifdb().name(port.ifIndex) << " on " << port.io->name() << "\n";
    return o.str();
}

std::string Daemon::countersText(bool json) {
    std::ostringstream o;
    const auto& dp = chassis_->cards();
    const auto& db = chassis_->ifdb();
    if (json)
        o << "{\"ports\":[";
    bool first = true;
    for (const auto& port : ports_) {
        const auto& k = dp.counters(port.ifIndex);
        const std::string name = db.name(port.ifIndex);
        if (json) {
            o << (first ? "" : ",") << "{\"port\":" << jsonText(name)
              << ",\"netdev\":" << jsonText(port.io->name()) << ",\"rx\":" << k.rxFrames
              << ",\"trapped\":" << k.trapped << ",\"tx\":" << k.txFrames
              << ",\"tx_errors\":" << port.counters.txErrors
              << ",\"tags_removed\":" << port.counters.tagsRemoved << ",\"dropped\":{";
            for (size_t r = 0; r < chassis::kDropReasons; ++r) {
                o << (r ? "," : "")
                  << jsonText(chassis::dropReasonName(static_cast<chassis::DropReason>(r))) << ":"
                  << k.drops[r];
            }
            o << "}}";
        } else {
            o << name << " (" << port.io->name() << "): rx " << k.rxFrames << " trapped "
              << k.trapped << " tx " << k.txFrames << " tx-errors " << port.counters.txErrors
              << " tags-removed " << port.counters.tagsRemoved;
            for (size_t r = 0; r < chassis::kDropReasons; ++r) {
                if (k.drops[r] != 0)
                    o << " " << chassis::dropReasonName(static_cast<chassis::DropReason>(r)) << " "
                      << k.drops[r];
            }
            o << "\n";
        }
        first = false;
    }
    if (json) {
        o << "],\"dropped\":{";
        for (size_t r = 0; r < chassis::kDropReasons; ++r) {
            o << (r ? "," : "")
              << jsonText(chassis::dropReasonName(static_cast<chassis::DropReason>(r))) << ":"
              << dp.dropTotals()[r];
        }
        o << "}}\n";
    } else {
        o << "dropped:";
        for (size_t r = 0; r < chassis::kDropReasons; ++r)
            o << " " << chassis::dropReasonName(static_cast<chassis::DropReason>(r)) << " "
              << dp.dropTotals()[r];
        o << "\n";
    }
    return o.str();
}

std::string Daemon::agentsText(bool json) {
    std::ostringstream o;
    if (json)
        o << "{\"agents\":[";
    bool first = true;
    for (uint32_t slot = 0; slot < cfg_.slots; ++slot) {
        const chassis::AclAgent* a = chassis_->cards().agent(slot);
        if (a == nullptr)
            continue;
        const auto& st = a->stats();
        const size_t entries = a->entries().size();
        if (json) {
            o << (first ? "" : ",") << "{\"slot\":" << slot
              << ",\"present\":" << (a->present() ? "true" : "false")
              << ",\"registered\":" << (a->registered() ? "true" : "false")
              << ",\"entries\":" << entries << ",\"applied\":" << st.applied
              << ",\"duplicates\":" << st.duplicates << ",\"gaps\":" << st.gaps
              << ",\"rejected\":" << st.rejected << ",\"expected_seq\":" << a->expectedSeq()
              << ",\"first_applied_us\":" << st.firstAppliedUs
              << ",\"last_applied_us\":" << st.lastAppliedUs << ",\"max_burst\":" << st.maxBurst
              << "}";
        } else {
            o << "slot " << slot << (a->present() ? " present" : " absent")
              << (a->registered() ? " registered" : " unregistered") << " entries " << entries
              << " applied " << st.applied << " duplicates " << st.duplicates << " gaps " << st.gaps
              << " rejected " << st.rejected << " next-seq " << a->expectedSeq() << "\n";
        }
        first = false;
    }
    if (json)
        o << "]}\n";
    return o.str();
}

void Daemon::serveCtl(int fd, const std::string& line) {
    Conn& c = conns_.at(fd);
    if (c.wait.what != CtlWait::What::None) {
        ctlSend(fd, CtlKind::Err, "one command at a time\n");
        return;
    }
    const auto w = words(line);
    const std::string cmd = w.empty() ? "" : w[0];
    const bool json = std::find(w.begin(), w.end(), "--json") != w.end();
    auto fail = [&](const std::string& why) {
        ctlSend(fd, CtlKind::Err, why + "\n");
        ctlEnd(fd, kExitUsage);
    };
    if (cmd == "status") {
        ctlSend(fd, CtlKind::Out, statusText(json));
        const Session* p = primary();
        ctlEnd(fd, p != nullptr && p->ready ? kExitOk : 1);
    } else if (cmd == "agents") {
        ctlSend(fd, CtlKind::Out, agentsText(json));
        ctlEnd(fd, kExitOk);
    } else if (cmd == "counters") {
        ctlSend(fd, CtlKind::Out, countersText(json));
        ctlEnd(fd, kExitOk);
    } else if (cmd == "show") {
        if (primary() == nullptr)
            return fail("no primary task is connected");
        c.wait.what = CtlWait::What::Show;
        c.wait.json = json;
        std::optional<uint32_t> vlan;
        for (size_t i = 1; i < w.size(); ++i) {
            if (w[i] == "--json")
                continue;
            auto v = ozm::shell::parseNumber(w[i], chassis::kMaxVlanId);
            if (!v) {
                if (auto ifIndex = chassis_->ifdb().find(w[i]);
                    ifIndex && chassis_->ifdb().isVlan(*ifIndex)) {
                    v = static_cast<uint64_t>(chassis_->ifdb().info(*ifIndex)->vlanId);
                }
            }
            if (!v) {
                c.wait = CtlWait{};
                return fail("show: '" + w[i] + "' is no VLAN id or name");
            }
            vlan = static_cast<uint32_t>(*v);
        }
        c.wait.all = !vlan;
        showRequest(c, vlan.value_or(0));
    } else if (cmd == "do") {
        const std::string input = line.size() > 3 ? line.substr(3) : "";
        try {
            auto scenario = chassis::Scenario::parse(input, chassis_->ifdb(), "l2ptctl",
                                                     chassis::Inputs::Operator);
            scenario.run(*this);
        } catch (const std::exception& e) {
            return fail(e.what());
        }
        saveState();
        ctlEnd(fd, kExitOk);
    } else if (cmd == "trace") {
        c.wait.what = CtlWait::What::Trace;
        chassis_->trace().setSink([this](const std::string& l) { traceLine(l); });
    } else if (cmd == "shell") {
        Session* p = primary();
        if (p == nullptr || p->shell < 0)
            return fail("no primary task with a debug shell is connected");
        const std::string input = line.size() > 6 ? line.substr(6) : "";
        if (!sendDatagram(p->shell,
                          std::span(reinterpret_cast<const uint8_t*>(input.data()), input.size())))
            return fail("the task did not take the line");
        c.wait.what = CtlWait::What::Shell;
        p->shellWaiters.push_back(fd);
    } else if (cmd == "capture") {
        if (w.size() < 3)
            return fail("usage: capture PORT FILE [count N] [seconds S]");
        const auto port = chassis_->ifdb().find(w[1]);
        const int dense = port ? chassis_->ifdb().portIndex(*port) : -1;
        if (dense < 0 || portOfIfIndex_[static_cast<size_t>(dense)] < 0)
            return fail("capture: '" + w[1] + "' is no port with a netdev");
        uint64_t seconds = 0;
        uint64_t count = 0;
        for (size_t i = 3; i + 1 < w.size(); i += 2) {
            auto v = ozm::shell::parseNumber(w[i + 1], UINT32_MAX);
            if (!v || (w[i] != "count" && w[i] != "seconds"))
                return fail("capture: expected 'count N' or 'seconds S', got '" + w[i] + "'");
            (w[i] == "count" ? count : seconds) = *v;
        }
        if (count == 0 && seconds == 0)
            return fail("capture: give a frame count or seconds");
        std::shared_ptr<Capture> cap;
        try {
            cap = std::make_shared<Capture>(*port, w[2]);
        } catch (const chassis::PcapError& e) {
            return fail(std::string("capture: ") + e.what());
        }
        cap->remaining = count;
        c.wait.what = CtlWait::What::Capture;
        c.wait.capture = std::move(cap);
        c.wait.deadlineUs = seconds ? chassis_->clock().nowUs + seconds * kUsPerSecond : 0;
    } else {
        fail("unknown command '" + cmd + "'");
    }
}

}  // namespace netp
