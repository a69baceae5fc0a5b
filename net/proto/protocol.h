// The chassis daemon's sockets. Each party connects to a Unix SOCK_SEQPACKET socket in the run
// directory and opens each connection with a hello naming its channel; one message travels per
// datagram, in the wire formats the task already uses where the task's messages are carried.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "net/io/socket.h"

namespace netp {

inline constexpr const char* kTaskSocket = "task.sock";  // l2ptd processes
inline constexpr const char* kCtlSocket = "ctl.sock";    // l2ptctl
inline constexpr uint32_t kMagic = 0x4c325054;           // "L2PT"
inline constexpr uint16_t kVersion = 2;

// What a task connection carries.
enum class Channel : uint16_t {
    Control = 1,    // request/response operations of the platform (below)
    Ipc = 2,        // the task's request queue in, its asynchronous sends out
    Shell = 4,      // debug-shell lines from the daemon, answered on the task's thread
    Heartbeat = 5,  // pings from the daemon, answered by l2ptd's main thread (beat below)
    DataPath = 6,   // the primary's data path granted and revoked (datapath below)
};

// The chassis file as the daemon runs it, in its run directory: l2ptd's interface database.
inline constexpr const char* kChassisFile = "chassis.yaml";
// How long a connection may take to say hello (task channels) or its first request (l2ptctl).
inline constexpr int kHelloTimeoutSeconds = 5;

// Hello: the first datagram of every task connection.
namespace hello {
inline constexpr size_t kMagic = 0;    // u32
inline constexpr size_t kVersion = 4;  // u16
inline constexpr size_t kChannel = 6;  // u16
inline constexpr size_t kSession = 8;  // u32: the session the control channel was given
inline constexpr size_t kArg = 12;     // u32: unused, 0
inline constexpr size_t kLen = 16;
}  // namespace hello

// Welcome: the daemon's answer to a hello; a refusal says why after it.
namespace welcome {
inline constexpr size_t kMagic = 0;    // u32
inline constexpr size_t kStatus = 4;   // i32: 0 accepted, -1 refused
inline constexpr size_t kSession = 8;  // u32
inline constexpr size_t kLen = 12;
inline constexpr size_t kReason = 12;  // text, to the end
}  // namespace welcome

// The shell channel: lines [id u32][line] to the task; answers [id u32][flags u32][rc i32]
// [text], as many pieces as the text takes, the last without kMore.
namespace shellmsg {
inline constexpr size_t kId = 0;
inline constexpr size_t kLine = 4;
inline constexpr size_t kFlags = 4;
inline constexpr size_t kRc = 8;
inline constexpr size_t kText = 12;
inline constexpr uint32_t kMore = 1;
}  // namespace shellmsg

// The heartbeat channel: the daemon pings every kHeartbeatPeriodMs, the task answers each ping
// with a pong of its sequence number. A primary silent for kFenceAfterMs is fenced: it holds
// no role from then on, and the next datagram it gets on this channel says so (kFenced, then
// why). l2ptd ends on it with kExitFenced, so that its service manager starts it again.
namespace beat {
enum class Kind : uint32_t { Ping = 1, Pong = 2, Fenced = 3 };
inline constexpr size_t kKind = 0;  // u32
inline constexpr size_t kSeq = 4;   // u32: Ping and Pong
inline constexpr size_t kText = 4;  // Fenced: why, to the end
inline constexpr size_t kLen = 8;   // Ping and Pong
}  // namespace beat
inline constexpr int kHeartbeatPeriodMs = 100;
inline constexpr int kFenceAfterMs = 400;
inline constexpr int kExitFenced = 4;  // l2ptd's exit status once fenced

// The data-path channel: the daemon grants the task in the primary role the trapped PDUs' ring
// and the packet socket its PDUs leave by (bound to the task's link), and revokes them. A grant
// carries five descriptors (SCM_RIGHTS), in this order: the ring, the packet socket, and the
// read-only views of the globals, the lports and the VLANs (net/pipeline/table_view.h).
namespace datapath {
// Deferred: the link was rebuilt too often of late; the grant comes by itself after a wait.
enum class Kind : uint32_t { Grant = 1, Revoke = 2, Deferred = 3 };
inline constexpr size_t kKind = 0;        // u32
inline constexpr size_t kGeneration = 4;  // u32: the grant's generation
inline constexpr size_t kWaitMs = 4;      // u32: Deferred: the wait, in milliseconds
inline constexpr size_t kRingBytes = 8;   // u32: Grant: the ring's data bytes
inline constexpr size_t kGrantLen = 12;
inline constexpr size_t kRevokeLen = 8;
inline constexpr size_t kDeferredLen = 8;
inline constexpr size_t kGrantFds = 5;
enum Fd : size_t { kRing, kTx, kGlobals, kLports, kVlans };
}  // namespace datapath

// Control operations: [op u32][body]; the answer is [status i32][body].
enum class Op : uint32_t {
    Request = 1,    // body: a message; answer: kReplied + reply, kNoParty or kSilent
    Reply = 2,      // body: the task's reply to a request it received
    StartTask = 3,  // answer body: service u32, instance u32
    TaskReady = 4,
    IsPrimary = 5,        // status: 1 primary, 0 secondary
    PeerSend = 6,         // body: service u32, instance u32, message
    Subscribe = 7,        // body: on u32, count u32, events u32...
    EventLog = 8,         // body: code u32, argc u32, args (text...), text
    Console = 9,          // body: text
    Report = 10,          // body: text
    CfgInsert = 11,       // body: key count u32, keys u32..., text
    CfgRemoveExact = 12,  // body: key count u32, keys u32...
    CfgRemoveNode = 13,   // body: key count u32, keys u32...
    TunnelMac = 14,       // body: 6 bytes
};
namespace op {
inline constexpr size_t kOp = 0;
inline constexpr size_t kBody = 4;
}  // namespace op
namespace answer {
inline constexpr size_t kStatus = 0;
inline constexpr size_t kBody = 4;
inline constexpr int32_t kReplied = 0;
inline constexpr int32_t kNoParty = -1;  // nobody to ask: the request fails at once
inline constexpr int32_t kSilent = -2;   // delivered, no reply: the caller waits its time-out
// Any operation of a fenced session: it speaks for the switch no more (no other operation
// answers so).
inline constexpr int32_t kFenced = -0x4c32;
}  // namespace answer

// A bounded reader and a writer of the operations' bodies.
class Reader {
  public:
    explicit Reader(std::span<const uint8_t> data) : data_(data) {}
    bool u32(uint32_t& v);
    bool text(std::string& s);
    std::span<const uint8_t> rest() const { return data_.subspan(pos_); }
    bool done() const { return pos_ == data_.size(); }

  private:
    std::span<const uint8_t> data_;
    size_t pos_ = 0;
};

class Writer {
  public:
    Writer& u32(uint32_t v);
    Writer& text(std::string_view s);
    Writer& bytes(std::span<const uint8_t> b);
    std::vector<uint8_t>& data() { return data_; }

  private:
    std::vector<uint8_t> data_;
};

}  // namespace netp
