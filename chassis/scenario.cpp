#include "chassis/scenario.h"

#include <fstream>
#include <map>
#include <sstream>

#include "chassis/sim_switch.h"
#include "platform/symbols.h"
#include "platform/wire/header.h"
#include "platform/wire/l2pt.h"

namespace chassis {

namespace {

constexpr uint32_t kHaEventMax = UINT32_MAX;
constexpr std::string_view kIfPrefix = "if:";   // any interface index: if:<number>
constexpr std::string_view kBodyKey = "body=";  // the rest of a raw line is the body

std::vector<std::string> splitOn(std::string_view text, char sep) {
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find(sep, start);
        out.emplace_back(text.substr(
            start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos)
            return out;
        start = end + 1;
    }
}

std::vector<std::string> words(std::string_view text) {
    std::vector<std::string> out;
    std::istringstream in{std::string(text)};
    std::string w;
    while (in >> w)
        out.push_back(w);
    return out;
}

// Strips what words() splits on, so a line that trims to text has a first word.
std::string trim(std::string_view s) {
    constexpr std::string_view kSpace = " \t\n\v\f\r";
    const size_t b = s.find_first_not_of(kSpace);
    if (b == std::string_view::npos)
        return {};
    const size_t e = s.find_last_not_of(kSpace);
    return std::string(s.substr(b, e - b + 1));
}

// Parsing of one line; fail() throws with the line's number.
class LineParser {
  public:
    LineParser(const IfDb& db, std::string source, int line)
        : db_(db), source_(std::move(source)), line_(line) {}

    [[noreturn]] void fail(const std::string& what) const {
        throw ScenarioError(source_ + ":" + std::to_string(line_) + ": " + what);
    }

    uint64_t number(std::string_view text, uint64_t max, std::string_view what) const {
        const std::string s(text);
        size_t used = 0;
        unsigned long long v = 0;
        try {
            if (!s.empty() && s[0] == '-')
                throw std::invalid_argument("negative");
            v = std::stoull(s, &used, 0);
        } catch (const std::exception&) {
            fail(std::string(what) + ": '" + s + "' is not a number");
        }
        if (used != s.size())
            fail(std::string(what) + ": '" + s + "' is not a number");
        if (v > max)
            fail(std::string(what) + " " + s + " is above " + std::to_string(max));
        return v;
    }
    int64_t signedNumber(std::string_view text, std::string_view what) const {
        if (!text.empty() && text[0] == '-')
            return -static_cast<int64_t>(number(text.substr(1), INT32_MAX, what));
        return static_cast<int64_t>(number(text, INT32_MAX, what));
    }

    // A port or LAG by name, or any interface index as "if:<number>".
    uint32_t interface(std::string_view text) const {
        if (text.starts_with(kIfPrefix))
            return static_cast<uint32_t>(number(text.substr(kIfPrefix.size()), UINT32_MAX, "if"));
        auto i = db_.find(text);
        if (!i)
            fail("no interface named '" + std::string(text) + "'");
        return *i;
    }
    uint32_t port(std::string_view text) const {
        const uint32_t i = interface(text);
        if (!text.starts_with(kIfPrefix) && !db_.isPort(i))
            fail("'" + std::string(text) + "' is not a port");
        return i;
    }
    uint32_t lag(std::string_view text) const {
        const uint32_t i = interface(text);
        if (!text.starts_with(kIfPrefix) && !db_.isLag(i))
            fail("'" + std::string(text) + "' is not a LAG");
        return i;
    }
    // A VLAN interface by name, by VLAN id (a number), or "if:<number>".
    uint32_t vlan(std::string_view text) const {
        if (text.starts_with(kIfPrefix))
            return interface(text);
        if (!text.empty() && std::isdigit(static_cast<unsigned char>(text[0]))) {
            return vlanIfIndex(static_cast<uint32_t>(number(text, kIfPosMask, "vlan")));
        }
        const uint32_t i = interface(text);
        if (!db_.isVlan(i))
            fail("'" + std::string(text) + "' is not a VLAN");
        return i;
    }
    uint8_t protocols(std::string_view text) const {
        uint8_t flags = 0;
        for (const auto& p : splitOn(text, ',')) {
            if (auto f = protocolFlag(p))
                flags |= *f;
            else
                flags |= static_cast<uint8_t>(number(p, UINT8_MAX, "protocol"));
        }
        return flags;
    }
    std::vector<uint8_t> hexBytes(std::string_view text) const {
        std::string digits;
        for (char c : text) {
            if (c == ' ' || c == '\t')
                continue;
            if (!std::isxdigit(static_cast<unsigned char>(c)))
                fail(std::string("'") + c + "' is not a hex digit");
            digits += c;
        }
        if (digits.size() % 2)
            fail("odd number of hex digits");
        std::vector<uint8_t> out;
        for (size_t i = 0; i < digits.size(); i += 2) {
            out.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
        }
        return out;
    }
    // key=value words; a key not in allowed is an error.
    std::map<std::string, std::string> keys(const std::vector<std::string>& ws, size_t from,
                                            std::initializer_list<std::string_view> allowed) const {
        std::map<std::string, std::string> out;
        for (size_t i = from; i < ws.size(); ++i) {
            const auto eq = ws[i].find('=');
            if (eq == std::string::npos)
                fail("expected key=value, not '" + ws[i] + "'");
            const auto key = ws[i].substr(0, eq);
            bool ok = false;
            for (auto a : allowed)
                ok = ok || a == key;
            if (!ok)
                fail("unknown key '" + key + "'");
            out[key] = ws[i].substr(eq + 1);
        }
        return out;
    }
    std::string need(const std::map<std::string, std::string>& kv, const char* key) const {
        auto it = kv.find(key);
        if (it == kv.end())
            fail(std::string("missing ") + key + "=");
        return it->second;
    }
    uint32_t slot(std::string_view text) const {
        return static_cast<uint32_t>(number(text, kMaxSlots - 1, "slot"));
    }

  private:
    const IfDb& db_;
    std::string source_;
    int line_;
};

using Action = std::function<void(SimSwitch&)>;

std::vector<Ifm::VlanBlock> vlanBlocks(const LineParser& p, std::string_view rest) {
    std::vector<Ifm::VlanBlock> blocks;
    for (const auto& part : splitOn(rest, ';')) {
        const auto ws = words(part);
        if (ws.empty())
            continue;
        const auto kv = p.keys(ws, 0, {"vlan", "proto", "rate", "ports"});
        Ifm::VlanBlock b{p.vlan(p.need(kv, "vlan")), 0, 0, {}};
        if (kv.count("proto"))
            b.protocols = p.protocols(kv.at("proto"));
        if (kv.count("rate"))
            b.rate = static_cast<uint16_t>(p.number(kv.at("rate"), UINT16_MAX, "rate"));
        if (kv.count("ports") && !kv.at("ports").empty()) {
            for (const auto& entry : splitOn(kv.at("ports"), ',')) {
                const auto colon = entry.rfind(':');
                if (colon == std::string::npos || colon == 0)
                    p.fail("port '" + entry + "' needs :access or :core");
                const auto mode = entry.substr(colon + 1);
                const uint32_t m = mode == "access" ? 0
                                   : mode == "core"
                                       ? vlanmsg::kModeCorePort
                                       : static_cast<uint32_t>(p.number(mode, UINT32_MAX, "mode"));
                b.ports.push_back({p.interface(entry.substr(0, colon)), m});
            }
        }
        blocks.push_back(std::move(b));
    }
    return blocks;
}

std::vector<Ifm::LagBlock> lagBlocks(const LineParser& p, std::string_view rest) {
    std::vector<Ifm::LagBlock> blocks;
    for (const auto& part : splitOn(rest, ';')) {
        const auto ws = words(part);
        if (ws.empty())
            continue;
        const auto kv = p.keys(ws, 0, {"lag", "members"});
        Ifm::LagBlock b{p.lag(p.need(kv, "lag")), {}};
        if (kv.count("members") && !kv.at("members").empty()) {
            for (const auto& m : splitOn(kv.at("members"), ','))
                b.members.push_back(p.port(m));
        }
        blocks.push_back(std::move(b));
    }
    return blocks;
}

// The text after the first n words of a line.
std::string after(std::string_view line, size_t n) {
    size_t pos = 0;
    for (size_t i = 0; i < n; ++i) {
        pos = line.find_first_not_of(" \t", pos);
        pos = line.find_first_of(" \t", pos);
        if (pos == std::string_view::npos)
            return {};
    }
    return std::string(line.substr(pos));
}

Action parseLine(const LineParser& p, const std::string& line) {
    const auto ws = words(line);
    const std::string& cmd = ws[0];
    auto arity = [&](size_t min, size_t max) {
        if (ws.size() < min + 1 || ws.size() > max + 1)
            p.fail(cmd + ": wrong number of arguments");
    };

    if (cmd == "vlan-add" || cmd == "vlan-del" || cmd == "vlan-disable") {
        auto blocks = vlanBlocks(p, after(line, 1));
        if (cmd == "vlan-add")
            return [blocks](SimSwitch& s) { s.ifm().vlanAdd(blocks); };
        if (cmd == "vlan-del")
            return [blocks](SimSwitch& s) { s.ifm().vlanDel(blocks); };
        return [blocks](SimSwitch& s) { s.ifm().vlanDisable(blocks); };
    }
    if (cmd == "lag-add" || cmd == "lag-del") {
        auto blocks = lagBlocks(p, after(line, 1));
        if (cmd == "lag-add")
            return [blocks](SimSwitch& s) { s.ifm().lagAdd(blocks); };
        return [blocks](SimSwitch& s) { s.ifm().lagDel(blocks); };
    }
    if (cmd == "rate-set") {
        const auto kv = p.keys(ws, 1, {"vlan", "rate"});
        const uint32_t vlan = p.vlan(p.need(kv, "vlan"));
        const auto rate = static_cast<uint32_t>(p.number(p.need(kv, "rate"), UINT32_MAX, "rate"));
        return [vlan, rate](SimSwitch& s) { s.ifm().rateSet(vlan, rate); };
    }
    if (cmd == "rate-remove") {
        const auto kv = p.keys(ws, 1, {"vlan"});
        const uint32_t vlan = p.vlan(p.need(kv, "vlan"));
        return [vlan](SimSwitch& s) { s.ifm().rateRemove(vlan); };
    }
    if (cmd == "tunnel-mac") {
        arity(1, 2);
        if (ws[1] == "default") {
            if (ws.size() > 2)
                p.fail("tunnel-mac default takes nothing more");
            return [](SimSwitch& s) { s.ifm().tunnelMacDefault(); };
        }
        const auto mac = parseMac(ws[1]);
        if (!mac)
            p.fail("'" + ws[1] + "' is not a MAC address");
        const auto kv = p.keys(ws, 2, {"replace-global"});
        const bool replace =
            kv.count("replace-global") && p.number(kv.at("replace-global"), 1, "replace-global");
        return [m = *mac, replace](SimSwitch& s) { s.ifm().tunnelMac(m, replace); };
    }
    if (cmd == "vman-tpid") {
        arity(1, 1);
        const auto tpid = static_cast<uint16_t>(p.number(ws[1], UINT16_MAX, "tpid"));
        return [tpid](SimSwitch& s) { s.ifm().vmanTpid(tpid); };
    }
    if (cmd == "raw") {
        // raw type=N [seq=N] [body=HEX ...]: body runs to the end of the line.
        const auto bodyAt = line.find(kBodyKey);
        const std::string head = bodyAt == std::string::npos ? line : line.substr(0, bodyAt);
        const auto body = bodyAt == std::string::npos
                              ? std::vector<uint8_t>{}
                              : p.hexBytes(line.substr(bodyAt + kBodyKey.size()));
        const auto kv = p.keys(words(head), 1, {"type", "seq"});
        const auto type = static_cast<uint32_t>(p.number(p.need(kv, "type"), UINT32_MAX, "type"));
        std::optional<uint32_t> seq;
        if (kv.count("seq"))
            seq = static_cast<uint32_t>(p.number(kv.at("seq"), UINT32_MAX, "seq"));
        if (hdr::kSeqHeaderLen + body.size() > hdr::kMaxMsgLen)
            p.fail("body longer than a message");
        return [type, seq, body](SimSwitch& s) { s.ifm().rawSequenced(type, seq, body); };
    }
    if (cmd == "raw-bytes") {
        const auto bytes = p.hexBytes(after(line, 1));
        if (bytes.empty() || bytes.size() > hdr::kMaxMsgLen)
            p.fail("raw-bytes takes 1 to 8192 bytes");
        return [bytes](SimSwitch& s) { s.ifm().rawBytes(bytes); };
    }
    if (cmd == "card") {
        arity(2, 2);
        const uint32_t slot = p.slot(ws[2]);
        if (ws[1] == "up")
            return [slot](SimSwitch& s) { s.events().cardUp(slot); };
        if (ws[1] == "down")
            return [slot](SimSwitch& s) { s.events().cardDown(slot); };
        if (ws[1] == "removed")
            return [slot](SimSwitch& s) { s.events().cardRemoved(slot); };
        p.fail("card takes up, down or removed");
    }
    if (cmd == "event") {
        const auto kv = p.keys(ws, 1, {"id", "slot"});
        const auto id = static_cast<uint32_t>(p.number(p.need(kv, "id"), UINT32_MAX, "id"));
        const auto slot = static_cast<uint32_t>(p.number(p.need(kv, "slot"), UINT32_MAX, "slot"));
        return [id, slot](SimSwitch& s) { s.events().raw(id, slot); };
    }
    if (cmd == "frame") {
        arity(2, SIZE_MAX - 1);
        const uint32_t port = p.port(ws[1]);
        const auto bytes = p.hexBytes(after(line, 2));
        return [port, bytes](SimSwitch& s) { s.chassis().cards().frameIn(port, bytes); };
    }
    if (cmd == "cli") {
        arity(1, 8);
        Cli::Request r;
        if (ws[1] == "show") {
            arity(2, 2);
            r = {climsg::kSubShowVlan,
                 0,
                 static_cast<uint32_t>(p.number(ws[2], UINT32_MAX, "vlan")),
                 0,
                 0,
                 0};
        } else if (ws[1] == "show-all") {
            arity(1, 1);
            r = {climsg::kSubShowAll, 0, 0, 0, 0, 0};
        } else if (ws[1] == "debug" || ws[1] == "undebug") {
            arity(2, 5);
            const auto kv = p.keys(ws, 3, {"vlan", "count", "dir"});
            r.subCode = climsg::kSubDebug;
            r.remove = ws[1] == "undebug" ? 1 : 0;
            r.word92 = p.interface(ws[2]);
            if (kv.count("vlan"))
                r.word96 = static_cast<uint32_t>(p.number(kv.at("vlan"), UINT32_MAX, "vlan"));
            if (kv.count("count"))
                r.word100 = static_cast<uint32_t>(p.number(kv.at("count"), UINT32_MAX, "count"));
            if (kv.count("dir")) {
                const auto& d = kv.at("dir");
                r.direction = d == "both"  ? 0
                              : d == "in"  ? 1
                              : d == "out" ? 2
                                           : static_cast<uint8_t>(p.number(d, UINT8_MAX, "dir"));
            }
        } else {
            const auto kv = p.keys(ws, 1, {"sub", "remove", "if", "w92", "vlan", "count", "dir"});
            r.subCode = static_cast<uint32_t>(p.number(p.need(kv, "sub"), UINT32_MAX, "sub"));
            if (kv.count("remove"))
                r.remove = static_cast<uint16_t>(p.number(kv.at("remove"), UINT16_MAX, "remove"));
            if (kv.count("if"))
                r.word92 = p.interface(kv.at("if"));
            if (kv.count("w92"))
                r.word92 = static_cast<uint32_t>(p.number(kv.at("w92"), UINT32_MAX, "w92"));
            if (kv.count("vlan"))
                r.word96 = static_cast<uint32_t>(p.number(kv.at("vlan"), UINT32_MAX, "vlan"));
            if (kv.count("count"))
                r.word100 = static_cast<uint32_t>(p.number(kv.at("count"), UINT32_MAX, "count"));
            if (kv.count("dir"))
                r.direction = static_cast<uint8_t>(p.number(kv.at("dir"), UINT8_MAX, "dir"));
        }
        return [r](SimSwitch& s) { s.cli().request(r); };
    }
    if (cmd == "undebug-all") {
        arity(0, 0);
        return [](SimSwitch& s) { s.cli().undebugAll(); };
    }
    if (cmd == "ha-event") {
        arity(1, 1);
        const auto code = static_cast<uint32_t>(p.number(ws[1], kHaEventMax, "event"));
        return [code](SimSwitch& s) { s.ha().event(code); };
    }
    if (cmd == "role") {
        arity(1, 1);
        if (ws[1] != "primary" && ws[1] != "secondary")
            p.fail("role is primary or secondary");
        const bool primary = ws[1] == "primary";
        return [primary](SimSwitch& s) { s.ha().setPrimary(primary); };
    }
    if (cmd == "peer") {
        arity(1, 5);
        if (ws[1] == "reg-request") {
            arity(1, 1);
            return [](SimSwitch& s) { s.peer().regRequest(); };
        }
        const auto kv = p.keys(ws, 2, {"type", "status", "bitmap", "master"});
        const auto bitmap =
            kv.count("bitmap")
                ? static_cast<uint32_t>(p.number(kv.at("bitmap"), UINT32_MAX, "bitmap"))
                : 0u;
        const auto master = kv.count("master")
                                ? static_cast<int32_t>(p.signedNumber(kv.at("master"), "master"))
                                : 0;
        if (ws[1] == "reg-reply")
            return [bitmap, master](SimSwitch& s) { s.peer().regReply(bitmap, master); };
        if (ws[1] == "acl-update")
            return [bitmap](SimSwitch& s) { s.peer().aclUpdate(bitmap); };
        if (ws[1] == "raw") {
            const auto type =
                static_cast<uint32_t>(p.number(p.need(kv, "type"), UINT32_MAX, "type"));
            const auto status =
                kv.count("status") ? static_cast<int32_t>(p.signedNumber(kv.at("status"), "status"))
                                   : 0;
            return [type, status, bitmap, master](SimSwitch& s) {
                s.peer().send(type, status, bitmap, master);
            };
        }
        p.fail("peer takes reg-request, reg-reply, acl-update or raw");
    }
    if (cmd == "peer-role") {
        const auto kv = p.keys(ws, 2, {"bitmap", "master"});
        if (ws.size() < 2)
            p.fail("peer-role takes none, primary or secondary");
        const PeerRole role =
            ws[1] == "none"      ? PeerRole::None
            : ws[1] == "primary" ? PeerRole::Primary
            : ws[1] == "secondary"
                ? PeerRole::Secondary
                : (p.fail("peer-role takes none, primary or secondary"), PeerRole::None);
        std::optional<uint32_t> bitmap;
        std::optional<int32_t> master;
        if (kv.count("bitmap"))
            bitmap = static_cast<uint32_t>(p.number(kv.at("bitmap"), UINT32_MAX, "bitmap"));
        if (kv.count("master"))
            master = static_cast<int32_t>(p.signedNumber(kv.at("master"), "master"));
        return [role, bitmap, master](SimSwitch& s) {
            s.peer().setRole(role);
            if (bitmap)
                s.peer().setBitmap(*bitmap);
            if (master)
                s.peer().setMasterSlot(*master);
        };
    }
    if (cmd == "fault") {
        arity(2, 3);
        const std::string point = ws[2];
        if (ws[1] == "arm") {
            const auto kv = p.keys(ws, 3, {"uses"});
            std::optional<uint32_t> uses;
            if (kv.count("uses"))
                uses = static_cast<uint32_t>(p.number(kv.at("uses"), UINT32_MAX, "uses"));
            return [point, uses](SimSwitch& s) { s.faults().arm(point, uses); };
        }
        if (ws[1] == "clear" && ws.size() == 3)
            return [point](SimSwitch& s) { s.faults().clear(point); };
        p.fail("fault takes arm NAME [uses=N] or clear NAME");
    }
    if (cmd == "advance") {
        arity(1, 1);
        const auto us = parseDuration(ws[1]);
        if (!us)
            p.fail("'" + ws[1] + "' is not a duration such as 1s, 20ms or 500us");
        return [us = *us](SimSwitch& s) { s.advanceUs(us); };
    }
    if (cmd == "set") {
        arity(2, 2);
        if (!ozm::sym::get(ws[1]))
            p.fail("no exported variable named '" + ws[1] + "'");
        const uint64_t value = p.number(ws[2], UINT64_MAX, "value");
        return [name = ws[1], value](SimSwitch& s) {
            if (!ozm::sym::set(name, value))
                s.trace().add("scenario", "set " + name + " failed");
        };
    }
    if (cmd == "task-disable") {
        arity(0, 0);
        return [](SimSwitch& s) { s.mgr().disable(); };
    }
    if (cmd == "settle") {
        arity(0, 0);
        return [](SimSwitch&) {};
    }
    p.fail("unknown input '" + cmd + "'");
}

}  // namespace

std::optional<uint64_t> parseDuration(std::string_view text) {
    size_t digits = 0;
    while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits])))
        ++digits;
    if (digits == 0 || digits > 12)
        return std::nullopt;
    const uint64_t n = std::stoull(std::string(text.substr(0, digits)));
    const auto unit = text.substr(digits);
    if (unit == "s")
        return n * kUsPerSecond;
    if (unit == "ms")
        return n * kUsPerMs;
    if (unit == "us")
        return n;
    return std::nullopt;
}

Scenario Scenario::parse(std::string_view text, const IfDb& db, std::string_view source) {
    Scenario s;
    int lineNo = 0;
    for (const auto& raw : splitOn(text, '\n')) {
        ++lineNo;
        const auto hash = raw.find('#');
        const std::string line = trim(hash == std::string::npos ? raw : raw.substr(0, hash));
        if (line.empty())
            continue;
        LineParser p(db, std::string(source), lineNo);
        s.steps_.push_back({lineNo, line, parseLine(p, line)});
    }
    return s;
}

Scenario Scenario::load(const std::string& path, const IfDb& db) {
    std::ifstream in(path);
    if (!in)
        throw ScenarioError(path + ": cannot open the scenario");
    std::stringstream text;
    text << in.rdbuf();
    return parse(text.str(), db, path);
}

void Scenario::run(SimSwitch& sim) const {
    for (const auto& step : steps_) {
        sim.trace().add("scenario", step.text);
        step.act(sim);
        sim.settle();
    }
}

}  // namespace chassis
