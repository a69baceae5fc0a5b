#include "net/proto/ctl.h"

#include <algorithm>
#include <array>
#include <cstdint>

#include "net/io/socket.h"
#include "platform/wire/bytes.h"

namespace netp::ctl {

namespace {

constexpr size_t kLenBytes = sizeof(uint16_t);

void putText(std::vector<uint8_t>& out, std::string_view s) {
    const size_t at = out.size();
    out.resize(at + kLenBytes);
    wire::putU16(out.data(), at, static_cast<uint16_t>(s.size()));
    out.insert(out.end(), s.begin(), s.end());
}

bool getText(std::span<const uint8_t> d, size_t& at, std::string& s) {
    if (d.size() - at < kLenBytes)
        return false;
    const size_t len = wire::getU16(d.data(), at);
    at += kLenBytes;
    if (d.size() - at < len)
        return false;
    s.assign(reinterpret_cast<const char*>(d.data() + at), len);
    at += len;
    return true;
}

using O = OptionSpec;
constexpr O kJson{"json", "JSON instead of text", false};
constexpr std::array kJsonOnly{kJson};
constexpr std::array kCaptureOptions{
    O{"count", "stop after this many frames"},
    O{"seconds", "stop after this many seconds (default 60)"},
    O{"force", "replace FILE when it exists", false},
};
constexpr std::array kDebugOptions{
    O{"vlan", "only this VLAN (0: any)"},
    O{"count", "stop after this many PDUs (0: no limit)"},
    O{"direction", "both, in or out"},
};
constexpr std::array kVlanAddOptions{
    O{"proto", "protocols: stp,lldp,gvrp,pvst", true, false, true},
    O{"port", "PORT:access or PORT:core", true, true, true},
    O{"rate", "rate limit in Kbps"},
};
constexpr std::array kVlanDelOptions{
    O{"proto", "protocols: stp,lldp,gvrp,pvst", true, false, true},
    O{"port", "PORT:access or PORT:core", true, true, true},
};
constexpr std::array kVlanDisableOptions{
    O{"proto", "protocols: stp,lldp,gvrp,pvst", true, false, true},
};
constexpr std::array kL2cpSetOptions{
    O{"vlan", "only in this VLAN (id or name): overrides the port's own action"},
};
constexpr std::array kStormOptions{
    O{"kbps", "a limit in Kbps too"},
};
constexpr std::array kTunnelMacOptions{
    O{"replace-global", "also replace the agent-wide tunnel-MAC entries", false},
};

constexpr std::array kLearnPortOptions{
    O{"limit", "learned MACs the port or LAG may hold"},
    O{"action", "past the limit, frames from new sources: forward (unlearned) or drop"},
};
constexpr std::array kLearnVlanOptions{
    O{"limit", "learned MACs the VLAN may hold", true, false, true},
};

using A = Access;
constexpr size_t kAny = SIZE_MAX;
const std::array kCommands{
    CommandSpec{"status",
                "the chassis, its task sessions and ports; exit 0 when a primary task "
                "is ready",
                A::ReadOnly, 0, 0, "", kJsonOnly},
    CommandSpec{"show", "the task's tunnelling table, one VLAN (id or name) or all", A::ReadOnly, 0,
                1, "[VLAN]", kJsonOnly},
    CommandSpec{"agents",
                "each line card's ACL agent: registration, messages applied, entries with their "
                "hits",
                A::ReadOnly, 0, 0, "", kJsonOnly},
    CommandSpec{"counters",
                "frames per port: received, trapped, forwarded, sent, drops by reason; link "
                "events",
                A::ReadOnly, 0, 0, "", kJsonOnly},
    CommandSpec{"macs", "the MACs the line cards learned: VLAN, MAC, port, age", A::ReadOnly, 0, 0,
                "", kJsonOnly},
    CommandSpec{"l2cp",
                "the actions of the reserved addresses 01:80:c2:00:00:00-0f and -20-2f, per "
                "port or LAG and per VLAN, with the defaults",
                A::ReadOnly, 0, 0, "", kJsonOnly},
    CommandSpec{"l2cp set",
                "the action of reserved addresses (0e, 01-0a,20-2f, all) on a port or LAG: "
                "tunnel, discard, forward, or default to take it back",
                A::Change, 3, 3, "PORT ADDRESSES ACTION", kL2cpSetOptions},
    CommandSpec{"metrics",
                "counters, drops and agents in the Prometheus text format",
                A::ReadOnly,
                0,
                0,
                "",
                {}},
    CommandSpec{"trace",
                "stream the chassis trace until interrupted",
                A::ReadOnly,
                0,
                0,
                "",
                {},
                false,
                true},
    CommandSpec{"capture", "write a port's frames to a new pcap file (mode 0600)", A::Frames, 2, 2,
                "PORT FILE", kCaptureOptions, true},
    CommandSpec{"debug", "trace the PDUs of a port to the event log", A::Change, 1, 1, "PORT",
                kDebugOptions},
    CommandSpec{"undebug", "remove a port's debug filter, or all", A::Change, 1, 1, "PORT|all", {}},
    CommandSpec{"vlan add", "add VLAN ports or protocols, as IFM sends them", A::Change, 1, 1,
                "VLAN", kVlanAddOptions},
    CommandSpec{"vlan del", "remove VLAN ports or protocols", A::Change, 1, 1, "VLAN",
                kVlanDelOptions},
    CommandSpec{"vlan disable", "disable protocols of a VLAN", A::Change, 1, 1, "VLAN",
                kVlanDisableOptions},
    CommandSpec{"lag add", "add LAG members", A::Change, 2, kAny, "LAG MEMBER...", {}},
    CommandSpec{"lag del", "remove LAG members", A::Change, 2, kAny, "LAG MEMBER...", {}},
    CommandSpec{"rate set", "limit a VLAN's PDUs to KBPS", A::Change, 2, 2, "VLAN KBPS", {}},
    CommandSpec{"rate remove", "remove a VLAN's rate limit", A::Change, 1, 1, "VLAN", {}},
    CommandSpec{"tunnel-mac", "the tunnel MAC, or 'default'", A::Change, 1, 1, "MAC|default",
                kTunnelMacOptions},
    CommandSpec{"vman-tpid", "the provider tag protocol identifier", A::Change, 1, 1, "TPID", {}},
    CommandSpec{"storm",
                "limit the frames a second (and --kbps) a port floods of a class, or end it",
                A::Change, 3, 3, "PORT broadcast|multicast|unknown_unicast FPS|off", kStormOptions},
    CommandSpec{"pdu-rate",
                "the PDUs a second a port may have trapped (0: any), 'all' every port's "
                "default",
                A::Change,
                2,
                2,
                "PORT|all RATE|default",
                {}},
    CommandSpec{"card", "a line card comes or goes", A::Change, 2, 2, "up|down|removed SLOT", {}},
    CommandSpec{"learning port", "a port's or LAG's learning limit and action", A::Change, 1, 1,
                "PORT", kLearnPortOptions},
    CommandSpec{"learning vlan", "a VLAN's learning limit", A::Change, 1, 1, "VID",
                kLearnVlanOptions},
    CommandSpec{"shell",
                "a debug-shell line for the primary task (set, get, call, vars)",
                A::Change,
                1,
                kAny,
                "WORD...",
                {}},
    CommandSpec{"do",
                "any scenario input (docs/scenario.md); only with --lab",
                A::Lab,
                1,
                kAny,
                "WORD...",
                {}},
};

}  // namespace

AnswerHead::AnswerHead(uint32_t id, Kind kind) {
    wire::putU32(bytes, answer::kId, id);
    bytes[answer::kKind] = static_cast<uint8_t>(kind);
}

bool Request::has(std::string_view name) const {
    return std::any_of(options.begin(), options.end(),
                       [&](const Option& o) { return o.name == name; });
}

std::optional<std::string_view> Request::value(std::string_view name) const {
    for (const auto& o : options) {
        if (o.name == name)
            return o.value;
    }
    return std::nullopt;
}

std::vector<std::string_view> Request::values(std::string_view name) const {
    std::vector<std::string_view> out;
    for (const auto& o : options) {
        if (o.name == name)
            out.push_back(o.value);
    }
    return out;
}

std::vector<uint8_t> encode(const Request& r) {
    if (r.args.size() > UINT16_MAX || r.options.size() > UINT16_MAX)
        return {};
    std::vector<uint8_t> out(request::kBody);
    wire::putU32(out.data(), request::kMagic, kRequestMagic);
    wire::putU16(out.data(), request::kVersion, kVersion);
    wire::putU16(out.data(), request::kArgc, static_cast<uint16_t>(r.args.size()));
    wire::putU32(out.data(), request::kId, r.id);
    wire::putU16(out.data(), request::kOptc, static_cast<uint16_t>(r.options.size()));
    for (const auto& a : r.args) {
        if (a.size() > UINT16_MAX)
            return {};
        putText(out, a);
    }
    for (const auto& o : r.options) {
        if (o.name.size() > UINT16_MAX || o.value.size() > UINT16_MAX)
            return {};
        putText(out, o.name);
        putText(out, o.value);
    }
    if (out.size() > kMaxDatagram)
        return {};
    return out;
}

std::optional<Request> decode(std::span<const uint8_t> d) {
    if (d.size() < request::kBody || wire::getU32(d.data(), request::kMagic) != kRequestMagic ||
        wire::getU16(d.data(), request::kVersion) != kVersion) {
        return std::nullopt;
    }
    Request r;
    r.id = wire::getU32(d.data(), request::kId);
    const size_t argc = wire::getU16(d.data(), request::kArgc);
    const size_t optc = wire::getU16(d.data(), request::kOptc);
    // Each entry takes at least its length: counts beyond what arrived are refused before
    // anything is reserved for them.
    if (argc + 2 * optc > (d.size() - request::kBody) / kLenBytes)
        return std::nullopt;
    size_t at = request::kBody;
    r.args.resize(argc);
    for (auto& a : r.args) {
        if (!getText(d, at, a))
            return std::nullopt;
    }
    r.options.resize(optc);
    for (auto& o : r.options) {
        if (!getText(d, at, o.name) || !getText(d, at, o.value))
            return std::nullopt;
    }
    if (at != d.size())
        return std::nullopt;
    return r;
}

std::span<const CommandSpec> commands() {
    return kCommands;
}

size_t pathWords(const CommandSpec& c) {
    return static_cast<size_t>(std::count(c.path.begin(), c.path.end(), ' ')) + 1;
}

const CommandSpec* findCommand(std::span<const std::string> args) {
    const CommandSpec* best = nullptr;
    for (const auto& c : kCommands) {
        const size_t n = pathWords(c);
        if (args.size() < n)
            continue;
        std::string path;
        for (size_t i = 0; i < n; ++i)
            path += (i ? " " : "") + args[i];
        if (path == c.path && (best == nullptr || n > pathWords(*best)))
            best = &c;
    }
    return best;
}

std::string check(const CommandSpec& c, const Request& r) {
    const size_t given = r.args.size() - std::min(r.args.size(), pathWords(c));
    // The file of a capture stays with the client: its descriptor comes instead.
    const size_t minArgs = c.minArgs - (c.opensFile ? 1 : 0);
    const size_t maxArgs = c.maxArgs - (c.opensFile ? 1 : 0);
    const std::string usage = "usage: " + std::string(c.path) + " " + std::string(c.argsHelp);
    if (given < minArgs || given > maxArgs)
        return usage;
    for (const auto& o : r.options) {
        const auto spec = std::find_if(c.options.begin(), c.options.end(),
                                       [&](const OptionSpec& s) { return s.name == o.name; });
        if (spec == c.options.end())
            return std::string(c.path) + ": no option --" + o.name;
        if (spec->takesValue == o.value.empty())
            return std::string(c.path) + ": --" + o.name +
                   (spec->takesValue ? " needs a value" : " takes no value");
        if (!spec->repeatable && r.values(o.name).size() > 1)
            return std::string(c.path) + ": --" + o.name + " given twice";
    }
    for (const auto& s : c.options) {
        if (s.required && !r.has(s.name))
            return std::string(c.path) + ": --" + std::string(s.name) + " is required";
    }
    return {};
}

std::string_view accessName(Access a) {
    switch (a) {
        case Access::ReadOnly:
            return "read-only";
        case Access::Frames:
            return "a read of the ports' frames";
        case Access::Change:
            return "a change of the configuration";
        case Access::Lab:
            return "a lab input";
    }
    return "";
}

}  // namespace netp::ctl
