#include "net/daemon/ctl_server.h"

#include <algorithm>

#include "net/daemon/daemon.h"
#include "net/log/escape.h"
#include "platform/wire/bytes.h"

namespace netp {

CtlServer::CtlServer(Daemon& daemon)
    : d_(daemon),
      cliTimer_(daemon.loop(),
                [this] {
                    ++staleCliReplies_;
                    if (Client* c = cliInFlight_ ? find(cliInFlight_->client) : nullptr)
                        finish(*c, ctl::Exit::Timeout, "no answer from the task in time");
                    cliInFlight_.reset();
                    // A task that does not answer one request answers none of those queued behind
                    // it.
                    for (const auto& q : cliQueue_) {
                        if (Client* c = find(q.client))
                            finish(*c, ctl::Exit::Timeout, "no answer from the task in time");
                    }
                    cliQueue_.clear();
                }),
      macsTimer_(daemon.loop(), [this] { pumpMacs(); }) {
    d_.sessions().setObserver(this);
}

CtlServer::~CtlServer() {
    d_.sessions().setObserver(nullptr);
    if (tracing_ > 0)
        d_.setTraceSink(nullptr);
    for (auto& [id, c] : clients_)
        c->conn->close("the daemon stops");
}

CtlServer::Client* CtlServer::find(uint64_t id) {
    auto it = clients_.find(id);
    return it == clients_.end() || !it->second->conn->open() ? nullptr : it->second.get();
}

void CtlServer::adopt(Fd fd) {
    const auto peer = identify(fd.get(), d_.options().groups);
    auto c = std::make_unique<Client>();
    c->id = nextClient_++;
    c->peer = peer.value_or(Peer{});
    c->conn = std::make_unique<Conn>(d_.loop(), std::move(fd), "ctl client " + c->peer.name(),
                                     d_.options().clientQueueBytes, d_.rx(), &queues_);
    std::string why;
    if (!peer || peer->role == Role::None)
        why = refusal(Role::None, ctl::Access::ReadOnly, false);
    else if (clients_.size() >=
             d_.options().maxClients + (peer->role == Role::Admin ? kAdminReserve : 0))
        why = std::to_string(clients_.size()) + " clients connected already";
    else if (peer->role == Role::Task && std::ranges::count_if(clients_, [](const auto& kv) {
                                             return kv.second->peer.role == Role::Task &&
                                                    kv.second->conn->open();
                                         }) >= static_cast<std::ptrdiff_t>(kTaskClients))
        why = std::to_string(kTaskClients) + " clients of the task's group connected already";
    if (!why.empty()) {
        logClient("refused a connection on " + std::string(kCtlSocket) + " from " + c->peer.name() +
                  ": " + why);
        c->conn->send({ctl::AnswerHead(0, ctl::Kind::Refused).bytes, ctl::asBytes(why)});
        return;  // closed as it goes
    }
    Client* client = c.get();
    client->deadline =
        std::make_unique<Loop::Timer>(d_.loop(), [this, id = c->id] { expired(id); });
    clients_.emplace(c->id, std::move(c));
    client->conn->start(
        [this, client](Conn&, Conn::Bytes d, std::span<Fd> fds) { serve(*client, d, fds); },
        [this, client](Conn&, const std::string& why) { closed(*client, why); });
    client->conn->expireIn(std::chrono::seconds(kHelloTimeoutSeconds), "no request in time");
}

void CtlServer::serve(Client& c, std::span<const uint8_t> d, std::span<Fd> fds) {
    const auto r = ctl::decode(d);
    if (!r) {
        logClient(c.conn->peer() + ": malformed request of " + std::to_string(d.size()) +
                  " bytes: disconnected");
        c.conn->send(
            {ctl::AnswerHead(0, ctl::Kind::Refused).bytes, ctl::asBytes("malformed request")});
        c.conn->close("malformed request");
        return;
    }
    if (c.wait != Wait::None) {
        c.conn->send({ctl::AnswerHead(r->id, ctl::Kind::Refused).bytes,
                      ctl::asBytes("one request at a time on a connection")});
        return;
    }
    c.conn->noExpiry();
    c.request = r->id;
    c.json = r->has("json");
    const ctl::CommandSpec* spec = ctl::findCommand(r->args);
    if (spec == nullptr)
        return finish(c, ctl::Exit::Usage,
                      "unknown command '" + (r->args.empty() ? "" : r->args[0]) + "'");
    if (const auto why = ctl::check(*spec, *r); !why.empty())
        return finish(c, ctl::Exit::Usage, why);
    if (const auto why = refusal(c.peer.role, spec->access, d_.options().lab); !why.empty()) {
        logClient("refused '" + std::string(spec->path) + "' from " + c.peer.name() + ": " + why);
        return refuse(c, why);
    }
    if (fds.size() != (spec->opensFile ? 1u : 0u))
        return finish(c, ctl::Exit::Usage,
                      std::string(spec->path) + ": " +
                          (spec->opensFile ? "no file came with it" : "no file expected"));
    dispatch(c, *r, *spec, spec->opensFile ? std::move(fds[0]) : Fd());
}

void CtlServer::out(Client& c, std::string_view text, ctl::Kind kind) {
    // Long answers go in as many datagrams as they take, each whole or the client goes.
    for (size_t at = 0; at < text.size() && c.conn->open(); at += kPiece)
        c.conn->send(
            {ctl::AnswerHead(c.request, kind).bytes, ctl::asBytes(text.substr(at, kPiece))});
}

void CtlServer::finish(Client& c, ctl::Exit status, std::string_view error) {
    // An error may quote the chassis file's names and the client's words: no control byte
    // of them reaches the terminal.
    if (!error.empty())
        out(c, escapeControls(error, "\n") + (error.back() == '\n' ? "" : "\n"), ctl::Kind::Err);
    const std::string code = std::to_string(static_cast<int>(status));
    c.conn->send({ctl::AnswerHead(c.request, ctl::Kind::Exit).bytes, ctl::asBytes(code)});
    if (c.wait == Wait::Trace && --tracing_ == 0)
        d_.setTraceSink(nullptr);
    c.wait = Wait::None;
    c.deadline->cancel();
    c.conn->expireIn(kIdleTimeout, "idle");
}

void CtlServer::refuse(Client& c, const std::string& why) {
    c.conn->send({ctl::AnswerHead(c.request, ctl::Kind::Refused).bytes, ctl::asBytes(why)});
    c.wait = Wait::None;
    c.conn->expireIn(kIdleTimeout, "idle");
}

void CtlServer::waitFor(Client& c, Wait w, std::optional<std::chrono::seconds> limit) {
    c.wait = w;
    if (limit)
        c.deadline->armIn(*limit);
}

void CtlServer::expired(uint64_t id) {
    Client* c = find(id);
    if (c == nullptr)
        return;
    if (c->wait == Wait::Capture) {
        out(*c, std::to_string(d_.captures().stop(id)) + " frames captured\n");
        return finish(*c, ctl::Exit::Ok);
    }
    std::erase_if(shells_, [&](const auto& kv) { return kv.second.client == id; });
    // The daemon's own metrics go on without the task's counters.
    if (c->wait == Wait::Metrics)
        return finishMetrics(*c, -1);
    finish(*c, ctl::Exit::Timeout, "no answer from the task in time");
}

void CtlServer::closed(Client& c, const std::string& why) {
    if (why != "closed by the peer" && why != "idle")
        logClient(c.conn->peer() + ": " + why + ": disconnected");
    if (c.wait == Wait::Trace && --tracing_ == 0)
        d_.setTraceSink(nullptr);
    if (c.wait == Wait::Capture)
        d_.captures().stop(c.id);
    c.macs.reset();
    std::erase_if(shells_, [&](const auto& kv) { return kv.second.client == c.id; });
    c.wait = Wait::None;
    c.deadline->cancel();
}

void CtlServer::logClient(const std::string& line) {
    if (const auto l = clientLines_.take(line, d_.loop().now()))
        d_.log(*l);
}

void CtlServer::afterPass() {
    cliReplies();  // and the next queued request, when the task's CLI is free
    pumpMacs();
    for (const Captures::Done& done : d_.captures().takeDone()) {
        Client* c = find(done.client);
        if (c == nullptr || c->wait != Wait::Capture)
            continue;
        if (done.why.empty()) {
            expired(done.client);
            continue;
        }
        out(*c, std::to_string(d_.captures().stop(done.client)) + " frames captured\n");
        finish(*c, ctl::Exit::Failed, "capture ended: " + done.why);
    }
    std::erase_if(clients_, [](const auto& kv) { return !kv.second->conn->open(); });
}

void CtlServer::primaryLost() {
    // The next primary never saw the request in flight, nor those timed out before: none of
    // its replies is stale, and the queued requests go to it.
    staleCliReplies_ = 0;
    if (Client* c = cliInFlight_ ? find(cliInFlight_->client) : nullptr)
        finish(*c, ctl::Exit::Failed, "the primary task ended or was fenced before answering");
    cliInFlight_.reset();
    cliTimer_.cancel();
}

void CtlServer::sessionEnded(const Session& s) {
    for (auto it = shells_.begin(); it != shells_.end();) {
        if (it->second.session != s.id) {
            ++it;
            continue;
        }
        Client* c = find(it->second.client);
        it = shells_.erase(it);
        if (c != nullptr && c->wait == Wait::Metrics)
            finishMetrics(*c, -1);
        else if (c != nullptr)
            finish(*c, ctl::Exit::Failed, "the task ended before answering");
    }
}

}  // namespace netp
