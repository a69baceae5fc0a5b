// The task processes' sessions: each l2ptd opens a control connection (its session) and then
// its IPC, shell, heartbeat and data-path channels, checked against the control connection's
// credentials. The first session is the primary route processor's task, the next the
// secondary's. The primary alone is granted the data path (the kernel's trap ring and a packet
// socket). Every session is pinged every kHeartbeatPeriodMs; a primary silent for kFenceAfterMs
// is fenced: its data path revoked, its operations refused, and the secondary takes over, as it
// does when the primary ends.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "net/io/allowance.h"
#include "net/io/conn.h"
#include "net/io/loop.h"
#include "net/log/line_budget.h"
#include "net/proto/protocol.h"

namespace netp {

class Daemon;
namespace linecard {
class LineCards;
}

struct Session {
    uint32_t id = 0;
    pid_t pid = 0;
    uid_t uid = 0;
    Conn* control = nullptr;
    Conn* ipc = nullptr;
    Conn* shell = nullptr;
    Conn* heartbeat = nullptr;
    Conn* dataPath = nullptr;
    bool primary = false;
    bool ready = false;
    bool granted = false;        // holds the data path
    unsigned grantFailures = 0;  // attempts at its data path that failed since the last grant
    bool fenced = false;         // silent too long as primary: speaks for the switch no more
    bool silent = false;         // has not answered for kFenceAfterMs (logged once)
    uint32_t pingSeq = 0;
    Clock::time_point lastAnswer{};  // its last pong, or its heartbeat's hello
    uint32_t ifmSeq = 0;             // the last sequence number of IFM's queue to this task
    uint64_t peerSent = 0;           // inter-RPM messages it sent
};

// Hears what the sessions bring for the ctl clients.
class SessionObserver {
  public:
    virtual ~SessionObserver() = default;
    // A piece of the shell answer of request id from the task of session.
    virtual void shellAnswer(uint32_t session, uint32_t id, int32_t rc, bool last,
                             std::string_view text) = 0;
    virtual void sessionEnded(const Session& s) = 0;
    // The primary lost its role (ended or fenced): what it was asked, it will not answer.
    virtual void primaryLost() = 0;
};

class TaskSessions {
  public:
    static constexpr size_t kMaxConnections = 32;    // two tasks' channels and then some
    static constexpr size_t kQueueBytes = 4u << 20;  // a full card's download, unread
    // What every connection's queue may hold, and what they hold beyond that together: all 32
    // reading nothing cost the daemon at most 8 + 24 MiB, and six may hold a download each.
    static constexpr size_t kQueueFloor = 256u << 10;
    static constexpr size_t kQueuePool = 24u << 20;

    explicit TaskSessions(Daemon& daemon);
    ~TaskSessions();
    void setObserver(SessionObserver* o) { observer_ = o; }

    // A connection on task.sock: root and the daemon's user only.
    void adopt(Fd fd);
    // Frees the connections that closed during the pass.
    void reap();

    Session* primary();
    const std::map<uint32_t, Session>& all() const { return sessions_; }
    // A debug-shell line for the primary task; false when there is none to take it.
    bool sendShell(uint32_t id, std::string_view line);

    // The chassis's messages for the tasks.
    void toTask(std::span<const uint8_t> msg);

  private:
    enum class Kind { Hello, Control, Ipc, Shell, Heartbeat, DataPath };
    struct Link {
        std::unique_ptr<Conn> conn;
        Kind kind = Kind::Hello;
        uint32_t session = 0;
        pid_t pid = 0;
        uid_t uid = 0;
    };

    void serve(Link& l, std::span<const uint8_t> d);
    void hello(Link& l, std::span<const uint8_t> d);
    void attach(Link& l, std::span<const uint8_t> d, Session& s);
    void refuse(Link& l, const std::string& why);
    void control(Session& s, std::span<const uint8_t> d);
    int32_t request(Session& s, std::span<const uint8_t> msg, std::vector<uint8_t>& body);
    bool refusedToLineCard(const Session& s, std::span<const uint8_t> msg);
    int32_t peerSend(Session& s, std::span<const uint8_t> body);
    // The operations that carry a record: subscriptions, log, console, configuration tree.
    int32_t record(Op op, Reader& r, const char*& malformed);
    int32_t configTree(Op op, Reader& r, const char*& malformed);
    void shellAnswer(const Session& s, std::span<const uint8_t> d);
    void closed(Link& l, const std::string& why);
    void endSession(uint32_t id);
    // Pings every session and fences a primary silent too long; runs every heartbeat period.
    void heartbeat();
    void pong(Session& s, std::span<const uint8_t> d);
    void fence(Session& s, Clock::duration silentFor);
    // Tells s on its heartbeat that it was fenced, and why.
    void tellFenced(Session& s);
    // The first session fit for it (a heartbeat open and answered, not fenced) becomes primary
    // (the HA takeover) and gets the data path.
    void promote();
    // The data path goes with the primary role; none without the kernel's line cards.
    linecard::LineCards* lineCards();
    void grant(Session& s);
    // The data path could not be built for s (out of descriptors, a netlink request refused):
    // logged once, and tried again by regrant_ after a backoff.
    void grantFailed(Session& s, const std::string& why);
    // The primary task is ready: the line cards may soon sweep adopted entries it no longer
    // claims.
    void settling();
    void revoke(Session& s);
    void deliver(Session& s, std::span<const uint8_t> msg);
    // A line that a task process can have written as often as it likes (its connections,
    // faults, event log and reports), within taskLines_.
    void logTask(const std::string& line);
    // An event-log record's line, within the budget of its code: a flood of one code (each of
    // a customer's PDUs failing to leave by a port that is down) crowds out neither the other
    // codes' records nor the task's other lines. Codes past kEventCodes share one budget.
    void logEvent(uint32_t code, const std::string& line);
    static constexpr size_t kEventCodes = 32;

    Daemon& d_;
    SessionObserver* observer_ = nullptr;
    QueueBudget queues_{kQueueFloor, kQueuePool};  // before the links: it outlives them
    std::vector<std::unique_ptr<Link>> links_;
    std::map<uint32_t, Session> sessions_;
    uint32_t nextSession_ = 1;
    Session* current_ = nullptr;  // the session whose operation runs now
    Loop::Timer beat_;
    Clock::time_point lastBeat_ = Clock::now();  // the last heartbeat's pass
    std::vector<uint8_t> scratch_;               // IFM's sequenced messages, renumbered per task
    bool stopping_ = false;  // the daemon stops: the kernel's data path is left as it is
    LineBudget taskLines_;
    std::map<uint32_t, LineBudget> eventLines_;  // by code
    // Each grant builds a task link on the loop (a user and network namespace and a veth: up
    // to seconds in the kernel). A task that re-opens its data path, or its sessions, for ever
    // gets kRebuildBurst at once (a restart and a failover take one each), then one per
    // kRebuildEvery; a grant beyond them is deferred, the task told, and made by regrant_.
    // A grant that fails costs the task none of them: regrant_ tries again kFirstRetry later,
    // twice as long after each failure, up to kRebuildEvery, until the path is built.
    static constexpr size_t kRebuildBurst = 3;
    static constexpr std::chrono::seconds kRebuildEvery{5};
    static constexpr std::chrono::milliseconds kFirstRetry{100};
    Allowance rebuilds_{kRebuildBurst, kRebuildEvery};
    Loop::Timer regrant_;
};

}  // namespace netp
