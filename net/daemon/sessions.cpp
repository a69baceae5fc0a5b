#include "net/daemon/sessions.h"

#include <algorithm>

#include "chassis/message.h"
#include "chassis/trace.h"
#include "net/daemon/access.h"
#include "net/daemon/daemon.h"
#include "net/daemon/kernel_dataplane.h"
#include "net/linecard/line_cards.h"
#include "net/pipeline/clock.h"
#include "platform/wire/bytes.h"
#include "platform/wire/header.h"
#include "platform/wire/l2pt.h"
#include "platform/wire/swp.h"

namespace netp {

namespace {

constexpr uint32_t kHaTakeover = 3;  // HA event: the roles are settled anew
constexpr int32_t kRefused = -1;
constexpr int32_t kMalformed = -1;

bool isIfmSequenced(std::span<const uint8_t> msg) {
    return msg.size() >= hdr::kSeqHeaderLen && swpw::magic(msg.data()) == swpw::kSwpMagic &&
           ozm::queueAddressOf(hdr::srcQueueId(msg.data())).service == svc::kIfm;
}

// A welcome that refuses, saying why.
std::vector<uint8_t> refusal(std::string_view why) {
    std::vector<uint8_t> w(welcome::kReason + why.size());
    wire::putU32(w.data(), welcome::kMagic, kMagic);
    wire::putI32(w.data(), welcome::kStatus, kRefused);
    std::copy(why.begin(), why.end(), w.begin() + welcome::kReason);
    return w;
}

// The key of a configuration-tree operation: [count u32][keys u32...].
bool readKey(Reader& r, std::vector<uint32_t>& key) {
    uint32_t count = 0;
    if (!r.u32(count) || count > r.rest().size() / sizeof(uint32_t))
        return false;
    key.resize(count);
    for (auto& k : key) {
        if (!r.u32(k))
            return false;
    }
    return true;
}

}  // namespace

TaskSessions::TaskSessions(Daemon& daemon)
    : d_(daemon), beat_(daemon.loop(), [this] { heartbeat(); }), regrant_(daemon.loop(), [this] {
          if (Session* p = primary(); p != nullptr && !p->granted)
              grant(*p);
      }) {
    beat_.armIn(std::chrono::milliseconds(kHeartbeatPeriodMs));
}

TaskSessions::~TaskSessions() {
    observer_ = nullptr;
    // The task's data path outlives the daemon with the pipeline: its ring stays in the trap
    // slot (PDUs queue there for the next daemon's first grant), its link and mark in force.
    stopping_ = true;
    for (auto& l : links_)
        l->conn->close("the daemon stops");
}

void TaskSessions::adopt(Fd fd) {
    const auto peer = identify(fd.get(), d_.options().groups);
    std::string why;
    if (!peer || !peer->mayTask)
        why = "not root, the daemon's user or in the task's group";
    else if (links_.size() >= kMaxConnections)
        why = std::to_string(kMaxConnections) + " connections already";
    if (!why.empty()) {
        logTask("refused a connection on " + std::string(kTaskSocket) + " from " +
                (peer ? peer->name() : "an unknown peer") + ": " + why);
        sendDatagram(fd.get(), refusal(why));  // a fresh socket has room for why, then the end
        return;
    }
    auto l = std::make_unique<Link>();
    l->pid = peer->pid;
    l->uid = peer->uid;
    l->conn = std::make_unique<Conn>(d_.loop(), std::move(fd), "task " + peer->name(), kQueueBytes,
                                     d_.rx(), &queues_);
    Link* link = l.get();
    links_.push_back(std::move(l));
    link->conn->start([this, link](Conn&, Conn::Bytes d, std::span<Fd>) { serve(*link, d); },
                      [this, link](Conn&, const std::string& why) { closed(*link, why); });
    link->conn->expireIn(std::chrono::seconds(kHelloTimeoutSeconds), "no hello in time");
}

void TaskSessions::logTask(const std::string& line) {
    if (const auto l = taskLines_.take(line, d_.loop().now()))
        d_.log(*l);
}

void TaskSessions::logEvent(uint32_t code, const std::string& line) {
    constexpr uint32_t kOtherCodes = UINT32_MAX;
    auto it = eventLines_.find(code);
    if (it == eventLines_.end())
        it = eventLines_.try_emplace(eventLines_.size() < kEventCodes ? code : kOtherCodes).first;
    if (const auto l = it->second.take(line, d_.loop().now()))
        d_.log(*l);
}

void TaskSessions::reap() {
    std::erase_if(links_, [](const auto& l) { return !l->conn->open(); });
}

Session* TaskSessions::primary() {
    for (auto& [id, s] : sessions_) {
        if (s.primary)
            return &s;
    }
    return nullptr;
}

void TaskSessions::serve(Link& l, std::span<const uint8_t> d) {
    auto s = sessions_.find(l.session);
    if (l.kind == Kind::Hello) {
        hello(l, d);
    } else if (s == sessions_.end()) {
        return;  // its session ended in this pass
    } else if (l.kind == Kind::Control) {
        control(s->second, d);
    } else if (l.kind == Kind::Heartbeat) {
        pong(s->second, d);
    } else if (s->second.fenced) {
        return;  // what a fenced task sends speaks for the switch no more
    } else if (l.kind == Kind::Ipc) {
        if (refusedToLineCard(s->second, d))
            return;
        current_ = &s->second;
        d_.chassis().send(d);
        current_ = nullptr;
    } else if (l.kind == Kind::Shell) {
        shellAnswer(s->second, d);
    } else {
        logTask("session " + std::to_string(l.session) + ": a datagram of " +
                std::to_string(d.size()) + " bytes on its data-path channel: dropped");
    }
}

void TaskSessions::refuse(Link& l, const std::string& why) {
    logTask("refused a task connection (" + l.conn->peer() + "): " + why);
    l.conn->send(refusal(why));
    l.conn->close("refused");
}

void TaskSessions::hello(Link& l, std::span<const uint8_t> d) {
    if (d.size() != hello::kLen || wire::getU32(d.data(), hello::kMagic) != kMagic)
        return refuse(l, "malformed hello of " + std::to_string(d.size()) + " bytes");
    if (wire::getU16(d.data(), hello::kVersion) != kVersion)
        return refuse(
            l, "protocol version " + std::to_string(wire::getU16(d.data(), hello::kVersion)));
    l.conn->noExpiry();
    const auto channel = static_cast<Channel>(wire::getU16(d.data(), hello::kChannel));
    if (channel != Channel::Control) {
        const uint32_t id = wire::getU32(d.data(), hello::kSession);
        auto it = sessions_.find(id);
        if (it == sessions_.end())
            return refuse(l, "channel for unknown session " + std::to_string(id));
        if (it->second.pid != l.pid || it->second.uid != l.uid)
            return refuse(l, "session " + std::to_string(id) + " belongs to pid " +
                                 std::to_string(it->second.pid) + " uid " +
                                 std::to_string(it->second.uid));
        return attach(l, d, it->second);
    }
    Session s;
    s.id = nextSession_++;
    s.pid = l.pid;
    s.uid = l.uid;
    s.control = l.conn.get();
    s.primary = primary() == nullptr;
    l.kind = Kind::Control;
    l.session = s.id;
    logTask("task session " + std::to_string(s.id) + " (pid " + std::to_string(s.pid) +
            ") connected as " + (s.primary ? "primary" : "secondary"));
    sessions_.emplace(s.id, s);
    std::vector<uint8_t> w(welcome::kLen);
    wire::putU32(w.data(), welcome::kMagic, kMagic);
    wire::putU32(w.data(), welcome::kSession, s.id);
    l.conn->send(w);
}

void TaskSessions::attach(Link& l, std::span<const uint8_t> d, Session& s) {
    const auto channel = static_cast<Channel>(wire::getU16(d.data(), hello::kChannel));
    Conn** slot = nullptr;
    if (channel == Channel::Ipc) {
        l.kind = Kind::Ipc;
        slot = &s.ipc;
    } else if (channel == Channel::Shell) {
        l.kind = Kind::Shell;
        slot = &s.shell;
    } else if (channel == Channel::Heartbeat) {
        l.kind = Kind::Heartbeat;
        slot = &s.heartbeat;
    } else if (channel == Channel::DataPath) {
        l.kind = Kind::DataPath;
        slot = &s.dataPath;
    } else {
        return refuse(l, "unknown channel " + std::to_string(static_cast<unsigned>(channel)));
    }
    if (*slot != nullptr) {
        l.kind = Kind::Hello;
        return refuse(l, "session " + std::to_string(s.id) + " has that channel open already");
    }
    *slot = l.conn.get();
    l.session = s.id;
    std::vector<uint8_t> w(welcome::kLen);
    wire::putU32(w.data(), welcome::kMagic, kMagic);
    wire::putU32(w.data(), welcome::kSession, s.id);
    l.conn->send(w);
    if (channel == Channel::Heartbeat) {
        s.lastAnswer = d_.loop().now();  // its silence is counted from here
        if (primary() == nullptr)
            promote();  // the switch waited for a session fit for it
    }
    if (channel == Channel::DataPath)
        grant(s);
}

// The line cards' agents hear the primary alone: another session (the secondary, or one
// that only says it is a task) would clear or reorder the primary's entries.
bool TaskSessions::refusedToLineCard(const Session& s, std::span<const uint8_t> msg) {
    if (s.primary || msg.size() < hdr::kPlainHeaderLen ||
        ozm::queueAddressOf(hdr::dstQueueId(msg.data())).service != svc::kAcl)
        return false;
    logTask("task session " + std::to_string(s.id) + ": message type " +
            std::to_string(hdr::msgType(msg.data())) +
            " to a line card, which hears the primary alone: refused");
    return true;
}

int32_t TaskSessions::request(Session& s, std::span<const uint8_t> msg,
                              std::vector<uint8_t>& body) {
    if (refusedToLineCard(s, msg))
        return answer::kNoParty;
    const bool reg =
        msg.size() >= hdr::kPlainHeaderLen && hdr::msgType(msg.data()) == MT_L2PT_IFM_REG;
    if (reg)
        s.ifmSeq = 0;  // a task that registers starts IFM's queue afresh
    bool delivered = false;
    auto reply = d_.chassis().request(msg, &delivered);
    if (!reply)
        return delivered ? answer::kSilent : answer::kNoParty;
    // A standby route processor owns no line cards.
    if (reg && !s.primary && reply->size() >= ifmreg::kLineCardBitmap + sizeof(uint32_t))
        wire::putU32(reply->data(), ifmreg::kLineCardBitmap, 0);
    body = std::move(*reply);
    return answer::kReplied;
}

int32_t TaskSessions::peerSend(Session& s, std::span<const uint8_t> body) {
    Reader r(body);
    uint32_t service = 0;
    uint32_t instance = 0;
    if (!r.u32(service) || !r.u32(instance))
        return kMalformed;
    // Only what one route processor's task tells the other's: anything else would reach the
    // other task's queue as if IFM, the CLI or an agent had sent it.
    const std::span<const uint8_t> msg = r.rest();
    if (!chassis::wellFormed(msg) || msg.size() < rpmmsg::kLen ||
        (hdr::msgType(msg.data()) != MT_L2PT_REG_REQ &&
         hdr::msgType(msg.data()) != MT_L2PT_ACL_UPDATE_PRPM)) {
        logTask("task session " + std::to_string(s.id) + ": a message of type " +
                std::to_string(msg.size() >= hdr::kPlainHeaderLen ? hdr::msgType(msg.data()) : 0) +
                " for its peer, which hears none but the route processors': refused");
        return -1;
    }
    ++s.peerSent;
    for (auto& [id, other] : sessions_) {
        if (id != s.id && other.ipc != nullptr)
            return other.ipc->send(r.rest()) ? 0 : -1;
    }
    return d_.chassis().peer().receive(service, instance, r.rest());
}

void TaskSessions::control(Session& s, std::span<const uint8_t> d) {
    Reader r(d);
    uint32_t opValue = 0;
    std::vector<uint8_t> body;  // after the status
    const char* malformed = nullptr;
    int32_t status = 0;
    current_ = &s;
    if (s.fenced) {
        status = answer::kFenced;
    } else if (!r.u32(opValue)) {
        malformed = "operation";
    } else if (const auto op = static_cast<Op>(opValue); op == Op::Request) {
        status = request(s, r.rest(), body);
    } else if (op == Op::Reply) {
        // Only the primary is asked what a task answers in place (the CLI's show pages, the
        // task manager's disable): another session's reply answers nothing.
        status = s.primary ? d_.chassis().reply(r.rest()) : -1;
        if (!s.primary)
            logTask("task session " + std::to_string(s.id) +
                    ": a reply, but only the primary is asked: refused");
    } else if (op == Op::StartTask) {
        Writer w;
        w.u32(svc::kL2pt).u32(0);
        body = std::move(w.data());
    } else if (op == Op::TaskReady) {
        s.ready = true;
        logTask("task session " + std::to_string(s.id) + " ready");
        if (s.primary)
            settling();
    } else if (op == Op::IsPrimary) {
        status = s.primary ? 1 : 0;
    } else if (op == Op::PeerSend) {
        status = peerSend(s, r.rest());
        malformed = status == kMalformed ? "peer send" : nullptr;
    } else {
        status = record(op, r, malformed);
    }
    current_ = nullptr;
    if (malformed != nullptr) {
        logTask("session " + std::to_string(s.id) + ": malformed " + malformed + " (" +
                std::to_string(d.size()) + " bytes): refused");
        status = kMalformed;
        body.clear();
    }
    uint8_t head[answer::kBody];
    wire::putI32(head, answer::kStatus, status);
    if (s.control != nullptr)
        s.control->send({head, body});
}

int32_t TaskSessions::record(Op op, Reader& r, const char*& malformed) {
    auto& c = d_.chassis();
    switch (op) {
        case Op::Subscribe: {
            uint32_t on = 0;
            std::vector<uint32_t> events;
            if (!r.u32(on) || !readKey(r, events))
                break;
            return c.events().subscribe(events, on != 0);
        }
        case Op::EventLog: {
            ozm::LogRecord rec;
            uint32_t argc = 0;
            bool ok = r.u32(rec.code) && r.u32(argc) && argc <= r.rest().size() / 4;
            for (uint32_t i = 0; ok && i < argc; ++i)
                ok = r.text(rec.args.emplace_back());
            if (!ok || !r.text(rec.text)) {
                malformed = "event-log record";
                return kMalformed;
            }
            c.log().add(rec);
            logEvent(rec.code,
                     "event " + (rec.code ? chassis::hex32(rec.code) + " " : "") + rec.text);
            return 0;
        }
        case Op::Console:
        case Op::Report: {
            std::string text;
            if (!r.text(text)) {
                malformed = "text";
                return kMalformed;
            }
            if (op == Op::Console)
                c.console().add(text);
            else
                logTask("platform report: " + text);
            return 0;
        }
        case Op::CfgInsert:
        case Op::CfgRemoveExact:
        case Op::CfgRemoveNode:
            return configTree(op, r, malformed);
        case Op::TunnelMac:
            if (r.rest().size() != chassis::kMacLen)
                break;
            logTask("kernel tunnel MAC " + chassis::macText(r.rest()));
            return 0;
        default:
            malformed = "operation code";
            return kMalformed;
    }
    malformed = op == Op::Subscribe ? "subscription" : "tunnel MAC";
    return kMalformed;
}

int32_t TaskSessions::configTree(Op op, Reader& r, const char*& malformed) {
    std::vector<uint32_t> key;
    std::string text;
    if (!readKey(r, key) || (op == Op::CfgInsert && !r.text(text))) {
        malformed = "configuration key";
        return kMalformed;
    }
    auto& tree = d_.chassis().cfg();
    return op == Op::CfgInsert        ? tree.insert(key, text)
           : op == Op::CfgRemoveExact ? tree.removeExact(key)
                                      : tree.removeNode(key);
}

void TaskSessions::shellAnswer(const Session& s, std::span<const uint8_t> d) {
    if (d.size() < shellmsg::kText) {
        logTask("a shell answer of " + std::to_string(d.size()) + " bytes: dropped");
        return;
    }
    const bool last = (wire::getU32(d.data(), shellmsg::kFlags) & shellmsg::kMore) == 0;
    const auto text = d.subspan(shellmsg::kText);
    if (observer_ != nullptr)
        observer_->shellAnswer(
            s.id, wire::getU32(d.data(), shellmsg::kId), wire::getI32(d.data(), shellmsg::kRc),
            last, std::string_view(reinterpret_cast<const char*>(text.data()), text.size()));
}

bool TaskSessions::sendShell(uint32_t id, std::string_view line) {
    Session* p = primary();
    if (p == nullptr || p->shell == nullptr)
        return false;
    uint8_t head[shellmsg::kLine];
    wire::putU32(head, shellmsg::kId, id);
    return p->shell->send(
        {head, std::span(reinterpret_cast<const uint8_t*>(line.data()), line.size())});
}

void TaskSessions::closed(Link& l, const std::string& why) {
    if (l.kind == Kind::Hello && why != "refused")
        logTask("task connection (" + l.conn->peer() + ") closed before its hello: " + why);
    auto it = sessions_.find(l.session);
    if (it == sessions_.end() || l.kind == Kind::Hello)
        return;
    Session& s = it->second;
    if (l.kind == Kind::Control) {
        if (why != "closed by the peer")
            logTask("task session " + std::to_string(s.id) + ": " + why);
        endSession(s.id);
        return;
    }
    if (l.conn.get() == s.dataPath && s.granted)
        revoke(s);
    for (Conn** slot : {&s.ipc, &s.shell, &s.heartbeat, &s.dataPath}) {
        if (*slot == l.conn.get())
            *slot = nullptr;
    }
    if (why != "closed by the peer")
        logTask("task session " + std::to_string(s.id) + " channel closed: " + why);
}

void TaskSessions::endSession(uint32_t id) {
    auto it = sessions_.find(id);
    if (it == sessions_.end())
        return;
    if (it->second.granted)
        revoke(it->second);
    const Session s = it->second;
    sessions_.erase(it);
    if (current_ != nullptr && current_->id == id)
        current_ = nullptr;
    for (Conn* c : {s.ipc, s.shell, s.heartbeat, s.dataPath, s.control}) {
        if (c != nullptr)
            c->close("its session ended");
    }
    logTask("task session " + std::to_string(id) + " (pid " + std::to_string(s.pid) + ", " +
            (s.fenced    ? "fenced"
             : s.primary ? "primary"
                         : "secondary") +
            ") ended");
    if (observer_ != nullptr && s.primary)
        observer_->primaryLost();
    if (observer_ != nullptr)
        observer_->sessionEnded(s);
    if (s.primary && !stopping_)
        promote();
}

void TaskSessions::promote() {
    // The secondary takes over: it becomes primary and hears the HA event that tells it so. A
    // hung one is no fit, nor one without a heartbeat, which could never be fenced (a session
    // that only says it is a task): the switch waits without a primary until one answers.
    auto next = std::ranges::find_if(sessions_, [](const auto& e) {
        return !e.second.fenced && !e.second.silent && e.second.heartbeat != nullptr;
    });
    // The task makes these as often as it ends sessions: its budget bounds them.
    if (next == sessions_.end()) {
        if (!sessions_.empty())
            logTask("no task session fit to take over as primary");
        return;
    }
    Session& s = next->second;
    s.primary = true;
    const std::string takeover = "task session " + std::to_string(s.id) + " (pid " +
                                 std::to_string(s.pid) + ") takes over as primary";
    logTask(takeover);
    d_.chassis().ha().event(kHaTakeover);
    grant(s);
    if (s.ready)
        settling();
}

void TaskSessions::settling() {
    if (KernelDataPlane* dp = d_.dataPlane(); dp != nullptr)
        dp->taskReady();
}

linecard::LineCards* TaskSessions::lineCards() {
    return d_.dataPlane() != nullptr ? &d_.dataPlane()->lineCards() : nullptr;
}

void TaskSessions::grant(Session& s) {
    linecard::LineCards* cards = lineCards();
    if (!s.primary || s.fenced || s.dataPath == nullptr || cards == nullptr)
        return;
    if (const auto wait = cards->relayerWait(pipeline::monotonicNs())) {
        regrant_.armIn(std::chrono::ceil<Clock::duration>(*wait));
        return;
    }
    const Clock::time_point now = d_.loop().now();
    if (!rebuilds_.take(now)) {
        const Clock::time_point at = rebuilds_.nextAt();
        const auto waitMs = std::chrono::ceil<std::chrono::milliseconds>(at - now).count();
        logTask("task session " + std::to_string(s.id) + ": its data path deferred " +
                std::to_string(waitMs) + " ms: the task link was rebuilt " +
                std::to_string(kRebuildBurst) + " times of late");
        std::array<uint8_t, datapath::kDeferredLen> m{};
        wire::putU32(m.data(), datapath::kKind, static_cast<uint32_t>(datapath::Kind::Deferred));
        wire::putU32(m.data(), datapath::kWaitMs, static_cast<uint32_t>(waitMs));
        s.dataPath->send(m);
        regrant_.arm(at);
        return;
    }
    auto g = cards->grant();
    if (!g)
        return grantFailed(s, g.status().what());
    std::array<uint8_t, datapath::kGrantLen> m{};
    wire::putU32(m.data(), datapath::kKind, static_cast<uint32_t>(datapath::Kind::Grant));
    wire::putU32(m.data(), datapath::kGeneration, g->generation);
    wire::putU32(m.data(), datapath::kRingBytes, L2PT_RING_BYTES);
    const std::array<int, datapath::kGrantFds> fds = {g->ring.get(), g->tx.get(),
                                                      g->views.globals.get(), g->views.lports.get(),
                                                      g->views.vlans.get()};
    if (!s.dataPath->send({m}, fds)) {
        (void)cards->revoke();
        return grantFailed(s, "its data-path channel took no grant");
    }
    s.granted = true;
    d_.log("task session " + std::to_string(s.id) + " granted the data path (generation " +
           std::to_string(g->generation) + ")" +
           (s.grantFailures != 0
                ? " after " + std::to_string(s.grantFailures) + " failed attempt(s)"
                : ""));
    s.grantFailures = 0;
}

void TaskSessions::grantFailed(Session& s, const std::string& why) {
    rebuilds_.giveBack();
    constexpr unsigned kDoublings = 6;  // past kRebuildEvery
    const Clock::duration wait = std::min<Clock::duration>(
        kFirstRetry * (1u << std::min(s.grantFailures, kDoublings)), kRebuildEvery);
    if (s.grantFailures++ == 0)
        d_.log("task session " + std::to_string(s.id) + ": no data path (" + why +
               "): trying again, " + std::to_string(kFirstRetry.count()) + " ms to " +
               std::to_string(kRebuildEvery.count()) + " s apart");
    regrant_.armIn(wait);
}

void TaskSessions::revoke(Session& s) {
    s.granted = false;
    linecard::LineCards* cards = lineCards();
    if (cards == nullptr || stopping_)
        return;
    if (const pipeline::Status st = cards->revoke(); !st)
        d_.log("task session " + std::to_string(s.id) + ": revoking its data path: " + st.what());
    if (s.dataPath == nullptr)
        return;
    std::array<uint8_t, datapath::kRevokeLen> m{};
    wire::putU32(m.data(), datapath::kKind, static_cast<uint32_t>(datapath::Kind::Revoke));
    wire::putU32(m.data(), datapath::kGeneration, cards->generation());
    s.dataPath->send(m);
}

void TaskSessions::heartbeat() {
    const auto period = std::chrono::milliseconds(kHeartbeatPeriodMs);
    beat_.armIn(period);
    const Clock::time_point now = d_.loop().now();
    const auto fenceAfter = std::chrono::milliseconds(kFenceAfterMs);
    // Silence is the task's, not the loop's: while a long pass kept the pings from going (a
    // beat missed), no task could answer them. A timer's usual lateness counts as silence.
    const Clock::duration late = now - std::exchange(lastBeat_, now) - period;
    std::array<uint8_t, beat::kLen> ping{};
    wire::putU32(ping.data(), beat::kKind, static_cast<uint32_t>(beat::Kind::Ping));
    std::vector<uint32_t> quiet;
    for (auto& [id, s] : sessions_) {
        if (s.heartbeat == nullptr || s.fenced)
            continue;
        wire::putU32(ping.data(), beat::kSeq, ++s.pingSeq);
        s.heartbeat->send(ping);
        if (late > period)
            s.lastAnswer = std::min(s.lastAnswer + late, now);
        if (now - s.lastAnswer >= fenceAfter)
            quiet.push_back(id);
    }
    // Nor while its answers waited their turn behind more ready connections than a pass reads
    // (operators' requests on many): read, they end the silence.
    for (const uint32_t id : quiet) {
        if (const auto it = sessions_.find(id); it != sessions_.end() && it->second.heartbeat)
            it->second.heartbeat->readNow();
    }
    std::optional<uint32_t> hung;  // the primary, when it is: fenced after the pings go
    for (const uint32_t id : quiet) {
        const auto it = sessions_.find(id);
        if (it == sessions_.end() || it->second.heartbeat == nullptr || it->second.fenced ||
            now - it->second.lastAnswer < fenceAfter)
            continue;
        Session& s = it->second;
        if (s.primary) {
            hung = id;
        } else if (!s.silent) {
            s.silent = true;
            d_.log("task session " + std::to_string(s.id) + " (pid " + std::to_string(s.pid) +
                   ", secondary) does not answer: it will not take over while it is silent");
        }
    }
    if (const auto it = hung ? sessions_.find(*hung) : sessions_.end(); it != sessions_.end())
        fence(it->second, now - it->second.lastAnswer);
}

void TaskSessions::tellFenced(Session& s) {
    if (s.heartbeat == nullptr)
        return;
    constexpr std::string_view kWhy = "silent too long as primary: another task took over";
    std::array<uint8_t, beat::kText + kWhy.size()> m{};
    wire::putU32(m.data(), beat::kKind, static_cast<uint32_t>(beat::Kind::Fenced));
    std::copy(kWhy.begin(), kWhy.end(), m.begin() + beat::kText);
    s.heartbeat->send(m);
}

void TaskSessions::pong(Session& s, std::span<const uint8_t> d) {
    if (d.size() != beat::kLen ||
        static_cast<beat::Kind>(wire::getU32(d.data(), beat::kKind)) != beat::Kind::Pong) {
        logTask("session " + std::to_string(s.id) + ": a malformed heartbeat answer (" +
                std::to_string(d.size()) + " bytes): dropped");
        return;
    }
    if (s.fenced)
        return tellFenced(s);
    s.lastAnswer = d_.loop().now();
    if (s.silent) {
        s.silent = false;
        d_.log("task session " + std::to_string(s.id) + " answers again");
        if (primary() == nullptr)
            promote();  // the switch waited for it
    }
}

void TaskSessions::fence(Session& s, Clock::duration silentFor) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(silentFor).count();
    d_.log("task session " + std::to_string(s.id) + " (pid " + std::to_string(s.pid) +
           ", primary) silent for " + std::to_string(ms) + " ms: fenced");
    s.fenced = true;
    s.primary = false;
    if (s.granted)
        revoke(s);
    // A task whose own thread hung answers no ping, though its heartbeat's thread would hear
    // this and end it.
    tellFenced(s);  // now, not at its next answer
    if (observer_ != nullptr)
        observer_->primaryLost();  // what it was asked goes unanswered
    promote();
}

void TaskSessions::deliver(Session& s, std::span<const uint8_t> msg) {
    if (s.ipc == nullptr)
        return;
    if (!isIfmSequenced(msg)) {
        s.ipc->send(msg);
        return;
    }
    // Each task has its own sequenced queue from IFM: numbered per task.
    scratch_.assign(msg.begin(), msg.end());
    wire::putU32(scratch_.data(), swpw::kSeq, ++s.ifmSeq);
    s.ipc->send(scratch_);
}

void TaskSessions::toTask(std::span<const uint8_t> msg) {
    if (current_ != nullptr) {
        deliver(*current_, msg);
        return;
    }
    if (isIfmSequenced(msg)) {
        for (auto& [id, s] : sessions_) {
            if (!s.fenced)
                deliver(s, msg);
        }
        return;
    }
    if (Session* p = primary())
        deliver(*p, msg);
    else
        d_.log("no task: message type " +
               std::to_string(msg.size() >= hdr::kPlainHeaderLen ? hdr::msgType(msg.data()) : 0) +
               " dropped");
}

}  // namespace netp
