// The ctl commands: what each request does, once the server has checked its grammar and who
// asks.
#include <algorithm>
#include <array>

#include "chassis/config.h"
#include "chassis/l2cp.h"
#include "chassis/rules.h"
#include "dataplane/defs.h"
#include "net/daemon/ctl_server.h"
#include "net/daemon/daemon.h"
#include "net/daemon/kernel_dataplane.h"
#include "net/daemon/metrics.h"
#include "net/daemon/operator_change.h"
#include "net/daemon/police_change.h"
#include "net/daemon/render.h"
#include "net/log/escape.h"
#include "platform/shell.h"
#include "platform/wire/bytes.h"
#include "platform/wire/l2pt.h"

namespace netp {

namespace {

constexpr uint32_t kShowMoreFlag = 0x00010000;   // "more" (u16 at 96) in the word at 96
constexpr std::string_view kLineBytes = "\n\t";  // what the task's shell text keeps
// What a readout's text keeps: its lines. The names in it come from the chassis file.
constexpr std::string_view kReadoutBytes = "\n";
// The task's counters for metrics: a few hundred bytes; an answer past this is no answer.
constexpr size_t kMetricsVarsMax = 64 << 10;

std::string joined(std::span<const std::string> words, std::string_view sep) {
    std::string out;
    for (const auto& w : words)
        out += (out.empty() ? "" : std::string(sep)) + w;
    return out;
}

}  // namespace

void CtlServer::dispatch(Client& c, const ctl::Request& r, const ctl::CommandSpec& spec, Fd file) {
    const std::string_view cmd = spec.path;
    if (cmd == "status") {
        const auto j = render::status(d_);
        out(c, c.json ? render::dump(j) : escapeControls(render::statusText(j), kReadoutBytes));
        const Session* p = d_.sessions().primary();
        finish(c, p != nullptr && p->ready ? ctl::Exit::Ok : ctl::Exit::Failed);
    } else if (cmd == "agents" || cmd == "counters" || cmd == "l2cp") {
        readout(c, cmd);
    } else if (cmd == "macs") {
        macs(c);
    } else if (cmd == "l2cp set") {
        l2cpSet(c, r);
    } else if (cmd == "show") {
        show(c, r);
    } else if (cmd == "shell") {
        shell(c, r);
    } else if (cmd == "metrics") {
        metrics(c);
    } else if (cmd == "trace") {
        trace(c);
    } else if (cmd == "capture") {
        capture(c, r, std::move(file));
    } else if (cmd == "learning port" || cmd == "learning vlan") {
        learning(c, r);
    } else if (cmd == "storm" || cmd == "pdu-rate") {
        police(c, r);
    } else {
        change(c, r);
    }
}

void CtlServer::readout(Client& c, std::string_view cmd) {
    struct Readout {
        std::string_view cmd;
        render::Json (*make)(Daemon&);
        std::string (*text)(const render::Json&);
    };
    static constexpr std::array kReadouts{
        Readout{"agents", render::agents, render::agentsText},
        Readout{"counters", render::counters, render::countersText},
        Readout{"l2cp", render::l2cp, render::l2cpText},
    };
    const auto r = std::find_if(kReadouts.begin(), kReadouts.end(),
                                [&](const Readout& x) { return x.cmd == cmd; });
    render::Json j;
    try {
        j = r->make(d_);
    } catch (const std::exception& e) {
        return finish(c, ctl::Exit::Failed, std::string(cmd) + ": " + e.what());
    }
    out(c, c.json ? render::dump(j) : escapeControls(r->text(j), kReadoutBytes));
    finish(c, ctl::Exit::Ok);
}

// The learned MACs, streamed: a slice at a time, and only while the client reads what it was
// sent, so that the daemon holds no more than a slice and the client's backlog of them.
void CtlServer::macs(Client& c) {
    c.macs.emplace();
    out(c, render::macsHead(c.json));
    waitFor(c, Wait::Macs, std::nullopt);
    pumpMacs();
}

void CtlServer::pumpMacs() {
    // A slice's text is some tens of KiB at most: the backlog stays far below the queue that
    // would cost the client its connection.
    constexpr size_t kSlice = 256;
    constexpr size_t kBacklog = 64 << 10;
    std::vector<linecard::MacEntry> slice;
    bool more = false;
    for (auto& [id, client] : clients_) {
        Client& c = *client;
        if (c.wait != Wait::Macs || !c.macs || !c.conn->open())
            continue;
        if (c.conn->queued() > kBacklog)
            continue;  // its EPOLLOUT wakes the loop, and the pass ends here again
        slice.clear();
        bool done = true;
        if (KernelDataPlane* dp = d_.dataPlane()) {
            const pipeline::Result<bool> r = dp->lineCards().readMacs(c.macs->walk, kSlice, slice);
            if (!r) {
                c.macs.reset();
                finish(c, ctl::Exit::Failed, "macs: " + r.status().what());
                continue;
            }
            done = *r;
        }
        const auto shown = [&c](const std::string& text) {
            return c.json ? text : escapeControls(text, kReadoutBytes);
        };
        std::string text = render::macsLines(d_, slice, c.json, c.macs->first);
        if (done) {
            try {
                text += render::macsTail(d_, c.json);
            } catch (const std::exception& e) {
                out(c, shown(text));
                c.macs.reset();
                finish(c, ctl::Exit::Failed, std::string("macs: ") + e.what());
                continue;
            }
        }
        out(c, shown(text));
        if (done) {
            c.macs.reset();
            finish(c, ctl::Exit::Ok);
        } else {
            more = true;
        }
    }
    if (more && !macsTimer_.armed())
        macsTimer_.armNextPass();
}

void CtlServer::show(Client& c, const ctl::Request& r) {
    CliShow s;
    s.client = c.id;
    s.all = r.args.size() == 1;
    if (!s.all) {
        const std::string& arg = r.args[1];
        auto& db = d_.chassis().ifdb();
        auto v = ozm::shell::parseNumber(arg, L2PT_MAX_VID);
        if (const auto ifIndex = db.find(arg); !v && ifIndex && db.isVlan(*ifIndex))
            v = static_cast<uint64_t>(db.info(*ifIndex)->vlanId);
        if (!v)
            return finish(c, ctl::Exit::Usage,
                          "show: '" + arg + "' is no VLAN id 0-4095 or VLAN name");
        s.vlan = static_cast<uint32_t>(*v);
    }
    if (d_.sessions().primary() == nullptr)
        return finish(c, ctl::Exit::Failed, "no primary task is connected");
    cliQueue_.push_back(std::move(s));
    waitFor(c, Wait::Cli, std::nullopt);  // the request in flight has the deadline
    pumpCli();
}

void CtlServer::pumpCli() {
    while (!cliInFlight_ && !cliQueue_.empty()) {
        CliShow next = std::move(cliQueue_.front());
        cliQueue_.pop_front();
        Client* c = find(next.client);
        if (c == nullptr)
            continue;
        if (d_.sessions().primary() == nullptr) {
            finish(*c, ctl::Exit::Failed, "no primary task is connected");
            continue;
        }
        cliInFlight_ = std::move(next);
        sendCliPage();
    }
}

void CtlServer::sendCliPage() {
    auto& cli = d_.chassis().cli();
    cli.forget();
    if (cliInFlight_->all)
        cli.request({climsg::kSubShowAll, 0, cliInFlight_->vlan, kShowMoreFlag, 0, 0});
    else
        cli.show(cliInFlight_->vlan);
    cliTimer_.armIn(kTaskTimeout);
}

void CtlServer::cliReplies() {
    auto& cli = d_.chassis().cli();
    std::vector<uint8_t> page;
    for (const auto& reply : cli.replies()) {
        const auto& m = reply.msg;
        if (m.size() < climsg::kShowText)
            continue;
        const uint32_t sub = wire::getU32(m.data(), climsg::kSubCode);
        if (sub != climsg::kSubShowVlan && sub != climsg::kSubShowAll)
            continue;  // a debug filter's answer
        if (staleCliReplies_ > 0) {
            --staleCliReplies_;
            continue;
        }
        page = m;
    }
    cli.forget();
    if (page.empty() || !cliInFlight_)
        return pumpCli();
    CliShow& s = *cliInFlight_;
    s.result = wire::getU32(page.data(), climsg::kResult);
    const auto lines = render::showLines(std::span(page).subspan(climsg::kShowText));
    // Every page begins with the table's header: the first page's is kept.
    const auto kept = lines.begin() + (s.lines.empty() || lines.empty() ? 0 : 1);
    for (auto l = kept; l != lines.end(); ++l)
        s.bytes += l->size() + 1;
    s.lines.insert(s.lines.end(), kept, lines.end());
    cliTimer_.cancel();
    // A task's pages can go on for every VLAN id, each full: an answer longer than a client
    // may leave unread could never reach it, and is not gathered.
    if (s.bytes > d_.options().clientQueueBytes) {
        if (Client* c = find(s.client))
            finish(*c, ctl::Exit::Failed,
                   "show: the task's answer is longer than " +
                       std::to_string(d_.options().clientQueueBytes) + " bytes");
        cliInFlight_.reset();
        return pumpCli();
    }
    if (s.all && wire::getU16(page.data(), climsg::kShowMore) != 0) {
        // Each page goes on from a VLAN above the last: at most one page per VLAN id.
        const uint32_t next = wire::getU32(page.data(), climsg::kShowVlan);
        if (next > s.vlan && next <= L2PT_MAX_VID) {
            s.vlan = next;
            return sendCliPage();
        }
        if (Client* c = find(s.client))
            finish(*c, ctl::Exit::Failed,
                   "show: the task's page after VLAN " + std::to_string(s.vlan) +
                       " goes on from VLAN " + std::to_string(next));
        cliInFlight_.reset();
        return pumpCli();
    }
    if (Client* c = find(s.client)) {
        out(*c, c->json ? render::dump(render::show(s.lines, s.result))
                        : render::showText(s.lines, s.result));
        finish(*c, s.result == 0 ? ctl::Exit::Ok : ctl::Exit::Failed);
    }
    cliInFlight_.reset();
    pumpCli();
}

void CtlServer::shell(Client& c, const ctl::Request& r) {
    const uint32_t id = nextShell_++;
    const Session* p = d_.sessions().primary();
    if (p == nullptr || !d_.sessions().sendShell(id, joined(std::span(r.args).subspan(1), " ")))
        return finish(c, ctl::Exit::Failed, "no primary task with a debug shell is connected");
    shells_[id] = {c.id, p->id};
    waitFor(c, Wait::Shell, kTaskTimeout);
}

void CtlServer::shellAnswer(uint32_t session, uint32_t id, int32_t rc, bool last,
                            std::string_view text) {
    const auto it = shells_.find(id);
    // Its client left, or its deadline passed; or another task's session answers for the one
    // that was asked, which the answer is not.
    if (it == shells_.end() || it->second.session != session)
        return;
    Client* c = find(it->second.client);
    if (last)
        shells_.erase(it);
    if (c == nullptr)
        return;
    if (c->wait == Wait::Metrics) {
        if (c->collected.size() + text.size() > kMetricsVarsMax) {
            shells_.erase(id);  // the rest of it is dropped as it comes
            return finishMetrics(*c, -1);
        }
        c->collected += text;
        if (last)
            finishMetrics(*c, rc);
        return;
    }
    out(*c, escapeControls(text, kLineBytes), rc == 0 ? ctl::Kind::Out : ctl::Kind::Err);
    if (last)
        finish(*c, rc == 0 ? ctl::Exit::Ok : ctl::Exit::Failed);
}

void CtlServer::metrics(Client& c) {
    // The task's counters are its read-only shell variables: asked for first, when it is there.
    const uint32_t id = nextShell_++;
    const Session* p = d_.sessions().primary();
    c.collected.clear();
    if (p == nullptr || !d_.sessions().sendShell(id, "vars"))
        return finishMetrics(c, -1);
    shells_[id] = {c.id, p->id};
    waitFor(c, Wait::Metrics, kTaskTimeout);
}

void CtlServer::finishMetrics(Client& c, int32_t rc) {
    std::string text;
    try {
        text = renderMetrics(d_,
                             rc == 0 ? std::optional<std::string_view>(c.collected) : std::nullopt);
    } catch (const std::exception& e) {
        return finish(c, ctl::Exit::Failed, std::string("metrics: ") + e.what());
    }
    out(c, text);
    finish(c, ctl::Exit::Ok);
}

void CtlServer::trace(Client& c) {
    if (tracing_++ == 0)
        d_.setTraceSink([this](const std::string& line) { traceLine(line); });
    waitFor(c, Wait::Trace, std::nullopt);
}

void CtlServer::traceLine(const std::string& line) {
    for (auto& [id, c] : clients_) {
        if (c->wait == Wait::Trace && c->conn->open()) {
            c->conn->send(
                {ctl::AnswerHead(c->request, ctl::Kind::Out).bytes,
                 ctl::asBytes(std::string_view(escapeControls(line)).substr(0, kPiece - 1)),
                 ctl::asBytes("\n")});
        }
    }
}

void CtlServer::capture(Client& c, const ctl::Request& r, Fd file) {
    const auto& db = d_.chassis().ifdb();
    const auto portIf = db.find(r.args[1]);
    const KernelDataPlane* dp = d_.dataPlane();
    const int dense = portIf && dp != nullptr ? db.portIndex(*portIf) : -1;
    const auto at = static_cast<size_t>(dense);
    if (dense < 0 || dp->ports().names(at).netdev.empty())
        return finish(c, ctl::Exit::Usage, "capture: '" + r.args[1] + "' is no port with a netdev");
    const std::string& netdev = dp->ports().names(at).netdev;
    const uint32_t ifindex = dp->ports().state(at).ifindex;
    if (ifindex == 0)
        return finish(c, ctl::Exit::Failed,
                      "capture: " + r.args[1] + " has no interface now (" + netdev + ")");
    std::optional<uint64_t> count;
    std::optional<uint64_t> seconds;
    if (const auto v = r.value("count"); v && !(count = ozm::shell::parseNumber(*v, UINT32_MAX)))
        return finish(c, ctl::Exit::Usage, "capture: --count takes a number");
    // A count of 0 is no count; a capture of 0 seconds would end before it began.
    if (const auto v = r.value("seconds");
        v && (!(seconds = ozm::shell::parseNumber(*v, UINT32_MAX)) || *seconds == 0))
        return finish(c, ctl::Exit::Usage, "capture: --seconds takes a number of 1 or more");
    if (count.value_or(0) == 0 && !seconds)
        return finish(c, ctl::Exit::Usage, "capture: give --count or --seconds");
    try {
        d_.captures().start(c.id, ifindex, netdev, std::move(file), count.value_or(0));
    } catch (const std::exception& e) {
        return finish(c, ctl::Exit::Failed, std::string("capture: ") + e.what());
    }
    waitFor(c, Wait::Capture, seconds ? std::chrono::seconds(*seconds) : ctl::kCaptureDefault);
}

// A typed request to the line cards, kept in the state.
void CtlServer::learning(Client& c, const ctl::Request& r) {
    const std::string what = r.args[0] + " " + r.args[1] + " " + r.args[2];
    chassis::LearnLimitConfig change;
    if (r.args[1] == "vlan") {
        const auto vid = ozm::shell::parseNumber(r.args[2], L2PT_MAX_VID);
        if (!vid)
            return finish(c, ctl::Exit::Usage, what + ": no VLAN id 0-4095");
        change.vlan = static_cast<uint16_t>(*vid);
    } else {
        const auto& db = d_.chassis().ifdb();
        const auto ifIndex = db.find(r.args[2]);
        if (!ifIndex || !(db.isPort(*ifIndex) || db.isLag(*ifIndex)))
            return finish(c, ctl::Exit::Usage, what + ": '" + r.args[2] + "' is no port or LAG");
        change.port = r.args[2];
    }
    if (const auto v = r.value("limit")) {
        const auto limit = ozm::shell::parseNumber(*v, L2PT_FDB_ENTRIES_MAX);
        if (!limit)
            return finish(c, ctl::Exit::Usage,
                          what + ": --limit takes 0-" + std::to_string(L2PT_FDB_ENTRIES_MAX));
        change.limit = static_cast<uint32_t>(*limit);
    }
    if (const auto v = r.value("action")) {
        if (*v != "forward" && *v != "drop")
            return finish(c, ctl::Exit::Usage, what + ": --action is forward or drop");
        change.drop = *v == "drop";
    }
    if (!change.limit && !change.drop)
        return finish(c, ctl::Exit::Usage, what + ": give --limit or --action");
    try {
        if (const auto failed = d_.setLearning(change))
            return finish(c, ctl::Exit::Failed, what + ": " + *failed);
    } catch (const NotSaved& e) {
        d_.log(c.peer.name() + ": " + what + ": " + e.what());
        return finish(c, ctl::Exit::Failed, e.what());
    }
    d_.log(c.peer.name() + ": " + what +
           (change.limit ? " limit " + std::to_string(*change.limit) : "") +
           (change.drop ? (*change.drop ? " action drop" : " action forward") : ""));
    finish(c, ctl::Exit::Ok);
}

// A typed request to the line cards: the chassis models' table, the pipeline's and the state
// file.
void CtlServer::l2cpSet(Client& c, const ctl::Request& r) {
    auto& db = d_.chassis().ifdb();
    const std::string& port = r.args[2];
    const auto ifIndex = db.find(port);
    if (!ifIndex)
        return finish(c, ctl::Exit::Usage, "l2cp set: no interface named '" + port + "'");
    if (const chassis::Refusal why = chassis::vlanPortRefusal(db, *ifIndex))
        return finish(c, ctl::Exit::Usage, "l2cp set: " + *why);
    const auto addresses = chassis::parseL2cpAddresses(r.args[3]);
    if (!addresses)
        return finish(c, ctl::Exit::Usage,
                      "l2cp set: '" + r.args[3] +
                          "' names no reserved addresses (0e, 01-0a,20-2f, 01:80:c2:00:00:0e, "
                          "all)");
    const auto action = chassis::l2cpActionNamed(r.args[4]);
    if (!action)
        return finish(
            c, ctl::Exit::Usage,
            "l2cp set: the action is tunnel, discard, forward or default, not '" + r.args[4] + "'");
    uint16_t vid = chassis::kL2cpAnyVlan;
    std::string where;
    if (const auto v = r.value("vlan")) {
        std::optional<uint32_t> vlanIf = db.find(std::string(*v));
        if (const auto id = ozm::shell::parseNumber(*v, chassis::kMaxVlanId))
            vlanIf = chassis::vlanIfIndex(static_cast<uint32_t>(*id));
        const chassis::Refusal why =
            vlanIf ? chassis::l2cpVlanRefusal(db, *vlanIf)
                   : chassis::Refusal("no VLAN named '" + std::string(*v) + "'");
        if (why)
            return finish(c, ctl::Exit::Usage, "l2cp set: " + *why);
        vid = static_cast<uint16_t>(db.info(*vlanIf)->vlanId);
        where = " in " + db.name(*vlanIf);
    }
    const std::string said = "l2cp " + db.name(*ifIndex) + where + " " +
                             chassis::l2cpAddressesText(*addresses) + " " +
                             std::string(chassis::l2cpActionName(*action));
    try {
        if (!d_.setL2cp(*ifIndex, vid, *addresses, *action))
            return finish(c, ctl::Exit::Failed,
                          "l2cp set: " + chassis::L2cpTable::fullText() + ", all in use");
    } catch (const NotSaved& e) {
        d_.log(c.peer.name() + ": " + said + ": " + e.what());
        return finish(c, ctl::Exit::Failed, e.what());
    }
    d_.log(c.peer.name() + ": " + said);
    finish(c, ctl::Exit::Ok);
}

void CtlServer::change(Client& c, const ctl::Request& r) {
    std::string said = joined(r.args, " ");
    for (const auto& o : r.options)
        said += " --" + o.name + (o.value.empty() ? "" : " " + o.value);
    try {
        if (r.args[0] == "do")
            d_.runLabInput(joined(std::span(r.args).subspan(1), " "));
        else
            d_.change(operatorChange(r, d_.chassis().ifdb()));
    } catch (const NotSaved& e) {
        d_.log(c.peer.name() + ": " + said + ": " + e.what());
        return finish(c, ctl::Exit::Failed, e.what());
    } catch (const std::exception& e) {
        return finish(c, ctl::Exit::Usage, e.what());
    }
    d_.log(c.peer.name() + ": " + said);
    finish(c, ctl::Exit::Ok);
}

void CtlServer::police(Client& c, const ctl::Request& r) {
    PoliceChange change;
    try {
        change = policeChange(r, d_.chassis().ifdb());
    } catch (const std::invalid_argument& e) {
        return finish(c, ctl::Exit::Usage, e.what());
    }
    const std::string said = c.peer.name() + ": " + joined(r.args, " ") +
                             (r.value("kbps") ? " --kbps " + std::string(*r.value("kbps")) : "");
    try {
        d_.changePolicing(change);
    } catch (const NotSaved& e) {
        d_.log(said + ": " + e.what());
        return finish(c, ctl::Exit::Failed, e.what());
    }
    d_.log(said);
    finish(c, ctl::Exit::Ok);
}

}  // namespace netp
