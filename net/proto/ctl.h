// The ctl protocol between l2ptctl and the chassis daemon, one grammar for both sides.
//
// A request is one datagram: the command's words and its arguments as an argument vector,
// options as (name, value) pairs, and an id; a capture's file travels as a descriptor beside
// it (SCM_RIGHTS), never as a name. Every answer datagram carries the request's id and a kind;
// text of any length comes in as many Out or Err datagrams as it takes, and the answer ends
// with Exit (the exit status, in decimal) or Refused (why).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace netp::ctl {

inline constexpr uint32_t kRequestMagic = 0x4c325043;  // "L2PC"
inline constexpr uint16_t kVersion = 1;
// Where a daemon runs by default: /run/l2pt/NAME, NAME its chassis name.
inline constexpr const char* kDefaultRunRoot = "/run/l2pt";
// How long a capture given no --seconds lasts at most.
inline constexpr std::chrono::seconds kCaptureDefault{60};

namespace request {
inline constexpr size_t kMagic = 0;    // u32
inline constexpr size_t kVersion = 4;  // u16
inline constexpr size_t kArgc = 6;     // u16
inline constexpr size_t kId = 8;       // u32
inline constexpr size_t kOptc = 12;    // u16
inline constexpr size_t kBody = 14;    // argc x [len u16][bytes], optc x ([name], [value])
}  // namespace request

namespace answer {
inline constexpr size_t kId = 0;    // u32
inline constexpr size_t kKind = 4;  // u8
inline constexpr size_t kText = 5;
}  // namespace answer

enum class Kind : uint8_t { Out = 'o', Err = 'e', Exit = 'x', Refused = 'r' };

// An answer's header, built in place; its text follows it in the same datagram.
struct AnswerHead {
    uint8_t bytes[answer::kText];
    AnswerHead(uint32_t id, Kind kind);
};

inline std::span<const uint8_t> asBytes(std::string_view s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

// l2ptctl's exit statuses; the daemon's Exit answers use the first three.
enum class Exit : int {
    Ok = 0,
    Failed = 1,    // the command ran and failed
    Usage = 2,     // a wrong command line or argument
    NoDaemon = 3,  // nobody listens at the run directory
    Denied = 4,    // the socket may not be opened by this user
    Refused = 5,   // the daemon refused the connection or the command
    Timeout = 6,   // no answer within the deadline
};

struct Option {
    std::string name;   // without dashes
    std::string value;  // empty for a flag
    bool operator==(const Option&) const = default;
};

struct Request {
    uint32_t id = 0;
    std::vector<std::string> args;  // the command's words, then its arguments
    std::vector<Option> options;
    bool has(std::string_view name) const;
    std::optional<std::string_view> value(std::string_view name) const;  // the first given
    std::vector<std::string_view> values(std::string_view name) const;
    bool operator==(const Request&) const = default;
};

// Empty when the request does not fit in one datagram.
std::vector<uint8_t> encode(const Request& r);
// Empty when malformed: every length is checked against what arrived.
std::optional<Request> decode(std::span<const uint8_t> datagram);

// Who may run a command.
enum class Access {
    ReadOnly,  // the operators' group too
    Frames,    // what customers send, read: the operators' group too, not the task's
    Change,    // root or the daemon's user
    Lab,       // root or the daemon's user, and only on a daemon started with --lab
};

struct OptionSpec {
    std::string_view name;
    std::string_view help;
    bool takesValue = true;
    bool repeatable = false;
    bool required = false;
};

struct CommandSpec {
    std::string_view path;  // its words, "vlan add"
    std::string_view help;
    Access access;
    size_t minArgs;
    size_t maxArgs;  // SIZE_MAX: any number
    std::string_view argsHelp;
    std::span<const OptionSpec> options;
    // The last argument is a file l2ptctl creates itself; the daemon gets its descriptor.
    bool opensFile = false;
    // The answer streams until the client goes: no deadline on it.
    bool streams = false;
};

std::span<const CommandSpec> commands();
// The command whose words begin args (the longest that does), or none.
const CommandSpec* findCommand(std::span<const std::string> args);
size_t pathWords(const CommandSpec& c);
// Whether r keeps to c's grammar as the daemon receives it: empty, or why not.
std::string check(const CommandSpec& c, const Request& r);
std::string_view accessName(Access a);

}  // namespace netp::ctl
