// l2ptctl's clients on ctl.sock: their requests (net/proto/ctl.h), checked against the grammar
// and the client's role, served one at a time per connection, each answer under the request's
// id. Requests that wait for the task have deadlines; the task's CLI gets one request at a
// time, the others queue; shell lines carry ids to the task and back.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/daemon/access.h"
#include "net/daemon/sessions.h"
#include "net/io/conn.h"
#include "net/log/line_budget.h"
#include "net/pipeline/tables.h"
#include "net/proto/ctl.h"

namespace netp {

class Daemon;

class CtlServer final : public SessionObserver {
  public:
    static constexpr std::chrono::seconds kIdleTimeout{60};
    static constexpr std::chrono::seconds kTaskTimeout{5};  // for the task's answer
    // Connections beyond --max-clients for root and the daemon's user: operators and the task
    // holding every other one (a trace has no end) cannot keep an administrator out.
    static constexpr size_t kAdminReserve = 8;
    // The task's group reads as an operator does, but a task taken over by a customer's PDU
    // holds no more than these of the operators' connections.
    static constexpr size_t kTaskClients = 4;
    static constexpr size_t kPiece = kMaxDatagram - ctl::answer::kText;  // text per datagram
    // What every client's queue may hold, and what they hold beyond that together: the
    // default 264 clients reading nothing cost the daemon at most 16.5 + 16 MiB.
    static constexpr size_t kQueueFloor = 64u << 10;
    static constexpr size_t kQueuePool = 16u << 20;

    explicit CtlServer(Daemon& daemon);
    ~CtlServer() override;

    void adopt(Fd fd);
    // After each pass: the task's CLI replies, full captures, closed clients.
    void afterPass();

    void shellAnswer(uint32_t session, uint32_t id, int32_t rc, bool last,
                     std::string_view text) override;
    void sessionEnded(const Session& s) override;
    void primaryLost() override;

  private:
    enum class Wait { None, Cli, Shell, Metrics, Trace, Capture, Macs };
    // A macs answer under way: where its walk of the learned MACs stands.
    struct MacsWalk {
        // Not defaulted: a default member initializer here is not yet parsed where clang
        // checks the optional below for a default constructor.
        MacsWalk() : first(true) {}
        pipeline::Tables::Walk walk;
        bool first;  // no MAC written yet
    };
    struct Client {
        uint64_t id = 0;
        Peer peer;
        std::unique_ptr<Conn> conn;
        uint32_t request = 0;  // the id of the request in progress
        Wait wait = Wait::None;
        bool json = false;
        std::string collected;  // a metrics request's answer from the task
        std::unique_ptr<Loop::Timer> deadline;
        std::optional<MacsWalk> macs;
    };
    // The task's CLI request in flight: a show, page by page.
    struct CliShow {
        uint64_t client = 0;
        bool all = false;
        uint32_t vlan = 0;
        std::vector<std::string> lines;
        size_t bytes = 0;  // of the lines, as they are sent
        uint32_t result = 0;
    };
    struct PendingShell {
        uint64_t client;
        uint32_t session;
    };

    void serve(Client& c, std::span<const uint8_t> d, std::span<Fd> fds);
    void dispatch(Client& c, const ctl::Request& r, const ctl::CommandSpec& spec, Fd file);
    void closed(Client& c, const std::string& why);
    // A line about what a client did wrong (refused, malformed, let go), within clientLines_.
    void logClient(const std::string& line);

    // Answers to the request in progress.
    void out(Client& c, std::string_view text, ctl::Kind kind = ctl::Kind::Out);
    void finish(Client& c, ctl::Exit status, std::string_view error = {});
    void refuse(Client& c, const std::string& why);
    void waitFor(Client& c, Wait w, std::optional<std::chrono::seconds> limit);
    void expired(uint64_t client);
    Client* find(uint64_t id);

    // The commands (ctl_commands.cpp).
    void readout(Client& c, std::string_view cmd);  // agents, counters, l2cp
    void macs(Client& c);
    // A slice of every macs answer whose client has read what it was sent; due again at once
    // while one of them can take more.
    void pumpMacs();
    void show(Client& c, const ctl::Request& r);
    void shell(Client& c, const ctl::Request& r);
    void metrics(Client& c);
    void trace(Client& c);
    void capture(Client& c, const ctl::Request& r, Fd file);
    void change(Client& c, const ctl::Request& r);
    void learning(Client& c, const ctl::Request& r);
    void l2cpSet(Client& c, const ctl::Request& r);
    void police(Client& c, const ctl::Request& r);  // storm, pdu-rate

    void pumpCli();
    void sendCliPage();
    void cliReplies();
    void finishShow();
    void finishMetrics(Client& c, int32_t rc);
    void traceLine(const std::string& line);

    Daemon& d_;
    QueueBudget queues_{kQueueFloor, kQueuePool};  // before the clients: it outlives them
    std::map<uint64_t, std::unique_ptr<Client>> clients_;
    uint64_t nextClient_ = 1;
    std::deque<CliShow> cliQueue_;
    std::optional<CliShow> cliInFlight_;
    Loop::Timer cliTimer_;
    size_t staleCliReplies_ = 0;  // replies of timed-out requests, still to come
    std::map<uint32_t, PendingShell> shells_;
    uint32_t nextShell_ = 1;
    size_t tracing_ = 0;
    Loop::Timer macsTimer_;
    LineBudget clientLines_;
};

}  // namespace netp
