#include "net/daemon/sessions.h"

#include <algorithm>

#include "chassis/message.h"
#include "chassis/trace.h"
#include "net/daemon/access.h"
#include "net/daemon/daemon.h"
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

TaskSessions::~TaskSessions() {
    observer_ = nullptr;
    for (auto& l : links_)
        l->conn->close("the daemon stops");
}

void TaskSessions::adopt(Fd fd) {
    const auto peer = identify(fd.get(), std::nullopt);
    std::string why;
    if (!peer || peer->role != Role::Admin)
        why = "not root or the daemon's user";
    else if (links_.size() >= kMaxConnections)
        why = std::to_string(kMaxConnections) + " connections already";
    if (!why.empty()) {
        d_.log("refused a connection on " + std::string(kTaskSocket) + " from " +
               (peer ? peer->name() : "an unknown peer") + ": " + why);
        sendDatagram(fd.get(), refusal(why));  // a fresh socket has room for why, then the end
        return;
    }
    auto l = std::make_unique<Link>();
    l->pid = peer->pid;
    l->uid = peer->uid;
    l->conn = std::make_unique<Conn>(d_.loop(), std::move(fd), "task " + peer->name(), kQueueBytes,
                                     d_.rx());
    Link* link = l.get();
    links_.push_back(std::move(l));
    link->conn->start([this, link](Conn&, Conn::Bytes d, std::span<Fd>) { serve(*link, d); },
                      [this, link](Conn&, const std::string& why) { closed(*link, why); });
    link->conn->expireIn(std::chrono::seconds(kHelloTimeoutSeconds), "no hello in time");
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
    } else if (l.kind == Kind::Ipc) {
        current_ = &s->second;
        d_.chassis().send(d);
        current_ = nullptr;
    } else if (l.kind == Kind::Shell) {
        shellAnswer(d);
    } else if (d.size() < pdudgram::kFrame) {
        d_.log("session " + std::to_string(l.session) + ": PDU datagram of " +
               std::to_string(d.size()) + " bytes has no interface index: dropped");
    } else {
        const uint32_t egress = wire::getU32(d.data(), pdudgram::kIfIndex);
        d_.chassis().cards().frameOut(egress, d.subspan(pdudgram::kFrame));
    }
}

void TaskSessions::refuse(Link& l, const std::string& why) {
    d_.log("refused a task connection (" + l.conn->peer() + "): " + why);
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
    d_.log("task session " + std::to_string(s.id) + " (pid " + std::to_string(s.pid) +
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
    } else if (channel == Channel::Pdu) {
        const uint32_t protocol = wire::getU32(d.data(), hello::kArg);
        if (protocol != OZML2STP && protocol != OZML2L2PT)
            return refuse(l, "PDU channel for protocol " + std::to_string(protocol));
        l.kind = Kind::Pdu;
        slot = protocol == OZML2STP ? &s.pduStp : &s.pduTunnel;
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
}

int32_t TaskSessions::request(Session& s, std::span<const uint8_t> msg,
                              std::vector<uint8_t>& body) {
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
    if (!r.u32(opValue)) {
        malformed = "operation";
    } else if (const auto op = static_cast<Op>(opValue); op == Op::Request) {
        status = request(s, r.rest(), body);
    } else if (op == Op::Reply) {
        status = d_.chassis().reply(r.rest());
    } else if (op == Op::StartTask) {
        Writer w;
        w.u32(svc::kL2pt).u32(0);
        body = std::move(w.data());
    } else if (op == Op::TaskReady) {
        s.ready = true;
        d_.log("task session " + std::to_string(s.id) + " ready");
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
        d_.log("session " + std::to_string(s.id) + ": malformed " + malformed + " (" +
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
            d_.log("event " + (rec.code ? chassis::hex32(rec.code) + " " : "") + rec.text);
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
                d_.log("platform report: " + text);
            return 0;
        }
        case Op::CfgInsert:
        case Op::CfgRemoveExact:
        case Op::CfgRemoveNode:
            return configTree(op, r, malformed);
        case Op::TunnelMac:
            if (r.rest().size() != chassis::kMacLen)
                break;
            d_.log("kernel tunnel MAC " + chassis::macText(r.rest()));
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

void TaskSessions::shellAnswer(std::span<const uint8_t> d) {
    if (d.size() < shellmsg::kText) {
        d_.log("a shell answer of " + std::to_string(d.size()) + " bytes: dropped");
        return;
    }
    const bool last = (wire::getU32(d.data(), shellmsg::kFlags) & shellmsg::kMore) == 0;
    const auto text = d.subspan(shellmsg::kText);
    if (observer_ != nullptr)
        observer_->shellAnswer(
            wire::getU32(d.data(), shellmsg::kId), wire::getI32(d.data(), shellmsg::kRc), last,
            std::string_view(reinterpret_cast<const char*>(text.data()), text.size()));
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
        d_.log("task connection (" + l.conn->peer() + ") closed before its hello: " + why);
    auto it = sessions_.find(l.session);
    if (it == sessions_.end() || l.kind == Kind::Hello)
        return;
    Session& s = it->second;
    if (l.kind == Kind::Control) {
        if (why != "closed by the peer")
            d_.log("task session " + std::to_string(s.id) + ": " + why);
        endSession(s.id);
        return;
    }
    for (Conn** slot : {&s.ipc, &s.shell, &s.pduStp, &s.pduTunnel}) {
        if (*slot == l.conn.get())
            *slot = nullptr;
    }
    if (why != "closed by the peer")
        d_.log("task session " + std::to_string(s.id) + " channel closed: " + why);
}

void TaskSessions::endSession(uint32_t id) {
    auto it = sessions_.find(id);
    if (it == sessions_.end())
        return;
    const Session s = it->second;
    sessions_.erase(it);
    if (current_ != nullptr && current_->id == id)
        current_ = nullptr;
    for (Conn* c : {s.ipc, s.shell, s.pduStp, s.pduTunnel, s.control}) {
        if (c != nullptr)
            c->close("its session ended");
    }
    d_.log("task session " + std::to_string(id) + " (pid " + std::to_string(s.pid) + ", " +
           (s.primary ? "primary" : "secondary") + ") ended");
    if (observer_ != nullptr)
        observer_->sessionEnded(s);
    if (!s.primary || sessions_.empty())
        return;
    // The secondary takes over: it becomes primary and hears the HA event that tells it so.
    Session& next = sessions_.begin()->second;
    next.primary = true;
    d_.log("task session " + std::to_string(next.id) + " (pid " + std::to_string(next.pid) +
           ") takes over as primary");
    d_.chassis().ha().event(kHaTakeover);
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
        for (auto& [id, s] : sessions_)
            deliver(s, msg);
        return;
    }
    if (Session* p = primary())
        deliver(*p, msg);
    else
        d_.log("no task: message type " +
               std::to_string(msg.size() >= hdr::kPlainHeaderLen ? hdr::msgType(msg.data()) : 0) +
               " dropped");
}

bool TaskSessions::toPduSocket(int protocol, uint32_t rxIfIndex, std::span<const uint8_t> frame) {
    Session* p = primary();
    Conn* c = p == nullptr ? nullptr : protocol == OZML2STP ? p->pduStp : p->pduTunnel;
    // A PDU the socket cannot take now is dropped, as a full socket buffer drops it.
    return c != nullptr && c->open() && sendPduDatagram(c->fd(), rxIfIndex, frame, MSG_DONTWAIT);
}

}  // namespace netp
