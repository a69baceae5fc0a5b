#include "chassis/scenario.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "chassis/change.h"
#include "chassis/chassis.h"
#include "chassis/rules.h"
#include "platform/symbols.h"
#include "platform/wire/header.h"
#include "platform/wire/l2pt.h"

namespace chassis {

namespace {

constexpr uint32_t kHaEventMax = UINT32_MAX;
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

// Parsing of one line; fail() throws with the line's number. Names resolve as the simulation's
// (chassis::Names): anything, to see the task refuse it.
class LineParser {
  public:
    LineParser(const IfDb& db, std::string source, int line)
        : names_(db, Inputs::Simulation), source_(std::move(source)), line_(line) {}

    [[noreturn]] void fail(const std::string& what) const {
        throw ScenarioError(source_ + ":" + std::to_string(line_) + ": " + what);
    }

    // What names answers, its refusal as this line's.
    template <typename Fn>
    auto named(Fn fn) const {
        try {
            return fn(names_);
        } catch (const std::invalid_argument& e) {
            fail(e.what());
        }
    }
    uint64_t number(std::string_view text, uint64_t max, std::string_view what) const {
        return named([&](const Names& n) { return n.number(text, max, what); });
    }
    int64_t signedNumber(std::string_view text, std::string_view what) const {
        if (!text.empty() && text[0] == '-')
            return -static_cast<int64_t>(number(text.substr(1), INT32_MAX, what));
        return static_cast<int64_t>(number(text, INT32_MAX, what));
    }
    uint32_t interface(std::string_view t) const {
        return named([&](const Names& n) { return n.interface(t); });
    }
    uint32_t port(std::string_view t) const {
        return named([&](const Names& n) { return n.port(t); });
    }
    uint32_t lag(std::string_view t) const {
        return named([&](const Names& n) { return n.lag(t); });
    }
    uint32_t vlan(std::string_view t) const {
        return named([&](const Names& n) { return n.vlan(t); });
    }
    uint32_t vlanId(std::string_view t) const {
        return named([&](const Names& n) { return n.vlanId(t); });
    }
    uint8_t protocols(std::string_view t) const {
        return named([&](const Names& n) { return n.protocols(t); });
    }
    Ifm::PortMode vlanPort(std::string_view t) const {
        return named([&](const Names& n) { return n.vlanPort(t); });
    }
    uint32_t slot(std::string_view t) const {
        return named([&](const Names& n) { return n.slot(t); });
    }
    std::vector<uint8_t> hexBytes(std::string_view text) const {
        std::string digits;
        for (char c : text) {
            if (c != ' ' && c != '\t')
                digits += c;
        }
        auto bytes = ozm::shell::parseHex(digits);
        if (bytes)
            return std::move(*bytes);
        const auto bad = std::find_if(digits.begin(), digits.end(), [](char c) {
            return !std::isxdigit(static_cast<unsigned char>(c));
        });
        if (bad != digits.end())
            fail(std::string("'") + *bad + "' is not a hex digit");
        fail("odd number of hex digits");
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

  private:
    Names names_;
    std::string source_;
    int line_;
};

using Action = std::function<void(ScenarioTarget&)>;

// An input that is one of the changes an operator makes, run as the operator's is.
Action act(Change change) {
    return [c = std::move(change)](ScenarioTarget& t) { applyChange(t.chassis(), c); };
}

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
            for (const auto& entry : splitOn(kv.at("ports"), ','))
                b.ports.push_back(p.vlanPort(entry));
        }
        blocks.push_back(std::move(b));
    }
    return blocks;
}

// Members to join (or leave) their LAGs; an operator's are checked against the LAGs as they are,
// and each port may appear once.
std::vector<Ifm::LagBlock> lagBlocks(const LineParser& p, std::string_view rest) {
    std::vector<Ifm::LagBlock> blocks;
    for (const auto& part : splitOn(rest, ';')) {
        const auto ws = words(part);
        if (ws.empty())
            continue;
        const auto kv = p.keys(ws, 0, {"lag", "members"});
        Ifm::LagBlock b{p.lag(p.need(kv, "lag")), {}};
        if (kv.count("members") && !kv.at("members").empty()) {
            for (const auto& m : splitOn(kv.at("members"), ',')) {
                b.members.push_back(p.port(m));
            }
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

// Frames written by kind: the control PDUs a customer sends, and their tunnelled form.
namespace frame {

constexpr Mac kStpMac{0x01, 0x80, 0xc2, 0x00, 0x00, 0x00};
constexpr Mac kLldpMac{0x01, 0x80, 0xc2, 0x00, 0x00, 0x0e};
constexpr Mac kGvrpMac{0x01, 0x80, 0xc2, 0x00, 0x00, 0x20};
constexpr Mac kPvstMac{0x01, 0x00, 0x0c, 0xcc, 0xcc, 0xcd};
constexpr Mac kTunnelMac{0x03, 0xa7, 0x31, 0x00, 0x00, 0x00};  // the default tunnel MAC
constexpr Mac kDefaultSrc{0x00, 0x00, 0x00, 0x00, 0x00, 0x01};
constexpr uint16_t kDot1q = 0x8100;
constexpr uint16_t kProviderTpid = 0x9100;  // the default provider TPID
constexpr uint16_t kLldpType = 0x88cc;
constexpr size_t kMinFrame = 60;  // without the FCS
constexpr uint16_t kVlanMax = 4095;
const std::vector<uint8_t> kLlcStp{0x42, 0x42, 0x03};
const std::vector<uint8_t> kLlcSnapPvst{0xaa, 0xaa, 0x03, 0x00, 0x00, 0x0c, 0x01, 0x0b};
// A configuration BPDU: protocol, version, type, flags, root, cost, bridge, port, timers.
const std::vector<uint8_t> kConfigBpdu{0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00,
                                       0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x80,
                                       0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x80, 0x01,
                                       0x00, 0x00, 0x14, 0x00, 0x02, 0x00, 0x0f, 0x00};
// GARP: protocol id 1, a VLAN join attribute for VLAN 100, end marks.
const std::vector<uint8_t> kGarpJoin{0x00, 0x01, 0x01, 0x04, 0x02, 0x00, 0x64, 0x00, 0x00};
// LLDP TLVs: chassis id (MAC), port id, TTL 120, end.
const std::vector<uint8_t> kLldpTlvs{0x02, 0x07, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x04,
                                     0x03, 0x05, 0x31, 0x30, 0x06, 0x02, 0x00, 0x78, 0x00, 0x00};
constexpr uint8_t kPvstTlvType = 0x00;
constexpr uint8_t kPvstTlvLen = 0x02;

void put16(std::vector<uint8_t>& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}
void append(std::vector<uint8_t>& b, const std::vector<uint8_t>& more) {
    b.insert(b.end(), more.begin(), more.end());
}

// dst, src, an optional tag, then an 802.3 length and the LLC payload (or an Ethernet type).
std::vector<uint8_t> build(const Mac& dst, const Mac& src, std::optional<uint16_t> tpid,
                           uint16_t vlan, std::optional<uint16_t> ethType,
                           const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> b(dst.begin(), dst.end());
    b.insert(b.end(), src.begin(), src.end());
    if (tpid) {
        put16(b, *tpid);
        put16(b, vlan);
    }
    put16(b, ethType.value_or(static_cast<uint16_t>(payload.size())));
    append(b, payload);
    if (b.size() < kMinFrame)
        b.resize(kMinFrame, 0);
    return b;
}

// A customer PDU of kind from src, with an 802.1Q tag for vlan when given (PVST always has
// one, VLAN 1 by default).
std::vector<uint8_t> customerPdu(const LineParser& p, const std::string& kind, const Mac& src,
                                 std::optional<uint16_t> vlan) {
    std::vector<uint8_t> f;
    std::vector<uint8_t> payload;
    if (kind == "stp" || kind == "gvrp") {
        payload = kLlcStp;
        append(payload, kind == "stp" ? kConfigBpdu : kGarpJoin);
        f = build(kind == "stp" ? kStpMac : kGvrpMac, src,
                  vlan ? std::optional(kDot1q) : std::nullopt, vlan.value_or(0), std::nullopt,
                  payload);
    } else if (kind == "lldp") {
        f = build(kLldpMac, src, vlan ? std::optional(kDot1q) : std::nullopt, vlan.value_or(0),
                  kLldpType, kLldpTlvs);
    } else if (kind == "pvst") {
        const uint16_t v = vlan.value_or(1);
        payload = kLlcSnapPvst;
        append(payload, kConfigBpdu);
        append(payload, {kPvstTlvType, 0x00, 0x00, kPvstTlvLen, 0x00, static_cast<uint8_t>(v >> 8),
                         static_cast<uint8_t>(v)});
        f = build(kPvstMac, src, kDot1q, v, std::nullopt, payload);
    } else {
        p.fail("frame kind '" + kind + "' is none of stp, lldp, gvrp, pvst, tunnelled");
    }
    return f;
}

// KIND [src=MAC] [vlan=N]: a customer PDU, tagged with vlan when given (PVST always is, VLAN 1
// by default). tunnelled [proto=KIND] [vlan=N] [cvlan=N] [mac=MAC] [tpid=N]: one as the far edge
// sends it across the provider network, with the tunnel MAC and the provider tag (tpid, default
// 0x9100; provider VLAN vlan, default 1) in place of the customer's tag (cvlan).
std::vector<uint8_t> ofKind(const LineParser& p, const std::vector<std::string>& ws) {
    const auto kv = p.keys(ws, 3, {"src", "vlan", "cvlan", "mac", "tpid", "proto"});
    auto macKey = [&](const char* key, const Mac& def) {
        if (!kv.count(key))
            return def;
        const auto m = parseMac(kv.at(key));
        if (!m)
            p.fail(std::string(key) + "=" + kv.at(key) + " is not a MAC address");
        return *m;
    };
    const Mac src = macKey("src", kDefaultSrc);
    const bool tunnelled = ws[2] == "tunnelled";
    const std::string kind = tunnelled ? (kv.count("proto") ? kv.at("proto") : "stp") : ws[2];
    if (!tunnelled &&
        (kv.count("mac") || kv.count("tpid") || kv.count("proto") || kv.count("cvlan")))
        p.fail("mac=, tpid=, proto= and cvlan= go with tunnelled frames only");
    // The customer's VLAN: vlan= on a customer PDU, cvlan= inside a tunnelled one.
    const char* customerKey = tunnelled ? "cvlan" : "vlan";
    std::optional<uint16_t> vlan;
    if (kv.count(customerKey))
        vlan = static_cast<uint16_t>(p.number(kv.at(customerKey), kVlanMax, customerKey));
    const std::vector<uint8_t> f = customerPdu(p, kind, src, vlan);
    if (!tunnelled)
        return f;
    // The provider tag replaces a customer 802.1Q tag, except PVST's, which stays inside.
    const Mac tunnelMac = macKey("mac", kTunnelMac);
    const auto tpid = kv.count("tpid")
                          ? static_cast<uint16_t>(p.number(kv.at("tpid"), UINT16_MAX, "tpid"))
                          : kProviderTpid;
    constexpr size_t kTagAt = 2 * kMacLen;
    constexpr size_t kTagLen = 4;
    const bool keepInner = kind == "pvst";
    std::vector<uint8_t> t(tunnelMac.begin(), tunnelMac.end());
    t.insert(t.end(), src.begin(), src.end());
    put16(t, tpid);
    put16(t,
          kv.count("vlan") ? static_cast<uint16_t>(p.number(kv.at("vlan"), kVlanMax, "vlan")) : 1);
    const size_t from = kTagAt + (!keepInner && vlan ? kTagLen : 0);
    t.insert(t.end(), f.begin() + static_cast<long>(from), f.end());
    return t;
}

bool isKind(std::string_view w) {
    return w == "stp" || w == "lldp" || w == "gvrp" || w == "pvst" || w == "tunnelled";
}

}  // namespace frame

// One input line being parsed: its words and the parser that reports errors with its line.
struct Line {
    const LineParser& p;
    const std::string& text;
    std::vector<std::string> ws;

    void arity(size_t min, size_t max) const {
        if (ws.size() < min + 1 || ws.size() > max + 1)
            p.fail(ws[0] + ": wrong number of arguments");
    }
};

Action parseVlanInput(const Line& l) {
    const auto op = l.ws[0] == "vlan-add"   ? VlanChange::Op::Add
                    : l.ws[0] == "vlan-del" ? VlanChange::Op::Del
                                            : VlanChange::Op::Disable;
    return act(VlanChange{op, vlanBlocks(l.p, after(l.text, 1))});
}

Action parseLagInput(const Line& l) {
    const bool join = l.ws[0] == "lag-add";
    return act(LagChange{join, lagBlocks(l.p, after(l.text, 1))});
}

Action parseRateSet(const Line& l) {
    const auto kv = l.p.keys(l.ws, 1, {"vlan", "rate"});
    const uint32_t vlan = l.p.vlan(l.p.need(kv, "vlan"));
    const auto rate = static_cast<uint32_t>(l.p.number(l.p.need(kv, "rate"), UINT32_MAX, "rate"));
    return act(RateChange{vlan, rate});
}

Action parseRateRemove(const Line& l) {
    const auto kv = l.p.keys(l.ws, 1, {"vlan"});
    const uint32_t vlan = l.p.vlan(l.p.need(kv, "vlan"));
    return act(RateChange{vlan, std::nullopt});
}

Action parseTunnelMac(const Line& l) {
    l.arity(1, 2);
    if (l.ws[1] == "default") {
        if (l.ws.size() > 2)
            l.p.fail("tunnel-mac default takes nothing more");
        return act(TunnelMacChange{});
    }
    const auto mac = parseMac(l.ws[1]);
    if (!mac)
        l.p.fail("'" + l.ws[1] + "' is not a MAC address");
    const auto kv = l.p.keys(l.ws, 2, {"replace-global"});
    const bool replace =
        kv.count("replace-global") && l.p.number(kv.at("replace-global"), 1, "replace-global");
    return act(TunnelMacChange{*mac, replace});
}

Action parseVmanTpid(const Line& l) {
    l.arity(1, 1);
    const auto tpid = static_cast<uint16_t>(l.p.number(l.ws[1], UINT16_MAX, "tpid"));
    return act(TpidChange{tpid});
}

// raw type=N [seq=N] [body=HEX ...]: the body runs to the end of the line.
Action parseRaw(const Line& l) {
    const auto bodyAt = l.text.find(kBodyKey);
    const std::string head = bodyAt == std::string::npos ? l.text : l.text.substr(0, bodyAt);
    const auto body = bodyAt == std::string::npos
                          ? std::vector<uint8_t>{}
                          : l.p.hexBytes(l.text.substr(bodyAt + kBodyKey.size()));
    const auto kv = l.p.keys(words(head), 1, {"type", "seq"});
    const auto type = static_cast<uint32_t>(l.p.number(l.p.need(kv, "type"), UINT32_MAX, "type"));
    std::optional<uint32_t> seq;
    if (kv.count("seq"))
        seq = static_cast<uint32_t>(l.p.number(kv.at("seq"), UINT32_MAX, "seq"));
    if (hdr::kSeqHeaderLen + body.size() > hdr::kMaxMsgLen)
        l.p.fail("body longer than a message");
    return
        [type, seq, body](ScenarioTarget& t) { t.chassis().ifm().rawSequenced(type, seq, body); };
}

Action parseRawBytes(const Line& l) {
    const auto bytes = l.p.hexBytes(after(l.text, 1));
    if (bytes.empty() || bytes.size() > hdr::kMaxMsgLen)
        l.p.fail("raw-bytes takes 1 to " + std::to_string(hdr::kMaxMsgLen) + " bytes");
    return [bytes](ScenarioTarget& t) { t.chassis().ifm().rawBytes(bytes); };
}

Action parseCard(const Line& l) {
    l.arity(2, 2);
    const uint32_t slot = l.p.slot(l.ws[2]);
    if (l.ws[1] == "up")
        return act(CardChange{CardChange::Event::Up, slot});
    if (l.ws[1] == "down")
        return act(CardChange{CardChange::Event::Down, slot});
    if (l.ws[1] == "removed")
        return act(CardChange{CardChange::Event::Removed, slot});
    l.p.fail("card takes up, down or removed");
}

Action parseEvent(const Line& l) {
    const auto kv = l.p.keys(l.ws, 1, {"id", "slot"});
    const auto id = static_cast<uint32_t>(l.p.number(l.p.need(kv, "id"), UINT32_MAX, "id"));
    const auto slot = static_cast<uint32_t>(l.p.number(l.p.need(kv, "slot"), UINT32_MAX, "slot"));
    return [id, slot](ScenarioTarget& t) { t.chassis().events().raw(id, slot); };
}

Action parseFrame(const Line& l) {
    l.arity(2, SIZE_MAX - 1);
    const uint32_t port = l.p.port(l.ws[1]);
    auto bytes = frame::isKind(l.ws[2]) ? frame::ofKind(l.p, l.ws) : l.p.hexBytes(after(l.text, 2));
    return [port, bytes](ScenarioTarget& t) { t.chassis().cards().frameIn(port, bytes); };
}

uint32_t keyNumber(const LineParser& p, const std::map<std::string, std::string>& kv,
                   const char* key) {
    const auto it = kv.find(key);
    if (it == kv.end())
        p.fail(std::string(key) + "= is required");
    return static_cast<uint32_t>(p.number(it->second, UINT32_MAX, key));
}

Action parseCli(const Line& l) {
    const auto& p = l.p;
    const auto& ws = l.ws;
    l.arity(1, 8);
    Cli::Request r;
    if (ws[1] == "show") {
        l.arity(2, 2);
        r = {climsg::kSubShowVlan, 0, p.vlanId(ws[2]), 0, 0, 0};
    } else if (ws[1] == "show-all") {
        l.arity(1, 2);
        r = {climsg::kSubShowAll, 0, ws.size() > 2 ? p.vlanId(ws[2]) : 0, 0, 0, 0};
    } else if (ws[1] == "debug" || ws[1] == "undebug") {
        l.arity(2, 5);
        const auto kv = p.keys(ws, 3, {"vlan", "count", "dir"});
        r.subCode = climsg::kSubDebug;
        r.remove = ws[1] == "undebug" ? 1 : 0;
        r.word92 = p.interface(ws[2]);
        if (kv.count("vlan"))
            r.word96 = p.vlanId(kv.at("vlan"));
        if (kv.count("count"))
            r.word100 = keyNumber(p, kv, "count");
        if (kv.count("dir")) {
            const auto& d = kv.at("dir");
            r.direction = d == "both"  ? 0
                          : d == "in"  ? 1
                          : d == "out" ? 2
                                       : static_cast<uint8_t>(p.number(d, UINT8_MAX, "dir"));
        }
    } else {
        const auto kv = p.keys(ws, 1, {"sub", "remove", "if", "w92", "vlan", "count", "dir"});
        r.subCode = keyNumber(p, kv, "sub");
        if (kv.count("remove"))
            r.remove = static_cast<uint16_t>(p.number(kv.at("remove"), UINT16_MAX, "remove"));
        if (kv.count("if"))
            r.word92 = p.interface(kv.at("if"));
        if (kv.count("w92"))
            r.word92 = keyNumber(p, kv, "w92");
        if (kv.count("vlan"))
            r.word96 = keyNumber(p, kv, "vlan");
        if (kv.count("count"))
            r.word100 = keyNumber(p, kv, "count");
        if (kv.count("dir"))
            r.direction = static_cast<uint8_t>(p.number(kv.at("dir"), UINT8_MAX, "dir"));
    }
    return act(CliChange{r});
}

Action parseUndebugAll(const Line& l) {
    l.arity(0, 0);
    return act(CliChange{});
}

Action parseHaEvent(const Line& l) {
    l.arity(1, 1);
    const auto code = static_cast<uint32_t>(l.p.number(l.ws[1], kHaEventMax, "event"));
    return [code](ScenarioTarget& t) { t.chassis().ha().event(code); };
}

Action parseRole(const Line& l) {
    l.arity(1, 1);
    if (l.ws[1] != "primary" && l.ws[1] != "secondary")
        l.p.fail("role is primary or secondary");
    const bool primary = l.ws[1] == "primary";
    return [primary](ScenarioTarget& t) { t.chassis().ha().setPrimary(primary); };
}

Action parsePeer(const Line& l) {
    const auto& p = l.p;
    l.arity(1, 5);
    if (l.ws[1] == "reg-request") {
        l.arity(1, 1);
        return [](ScenarioTarget& t) { t.chassis().peer().regRequest(); };
    }
    const auto kv = p.keys(l.ws, 2, {"type", "status", "bitmap", "master"});
    const uint32_t bitmap = kv.count("bitmap") ? keyNumber(p, kv, "bitmap") : 0u;
    const auto master =
        kv.count("master") ? static_cast<int32_t>(p.signedNumber(kv.at("master"), "master")) : 0;
    if (l.ws[1] == "reg-reply")
        return [bitmap, master](ScenarioTarget& t) { t.chassis().peer().regReply(bitmap, master); };
    if (l.ws[1] == "acl-update")
        return [bitmap](ScenarioTarget& t) { t.chassis().peer().aclUpdate(bitmap); };
    if (l.ws[1] == "raw") {
        const uint32_t type = keyNumber(p, kv, "type");
        const auto status = kv.count("status")
                                ? static_cast<int32_t>(p.signedNumber(kv.at("status"), "status"))
                                : 0;
        return [type, status, bitmap, master](ScenarioTarget& t) {
            t.chassis().peer().send(type, status, bitmap, master);
        };
    }
    p.fail("peer takes reg-request, reg-reply, acl-update or raw");
}

Action parsePeerRole(const Line& l) {
    const auto& p = l.p;
    if (l.ws.size() < 2)
        p.fail("peer-role takes none, primary or secondary");
    const auto kv = p.keys(l.ws, 2, {"bitmap", "master"});
    const std::string& w = l.ws[1];
    const PeerRole role =
        w == "none"        ? PeerRole::None
        : w == "primary"   ? PeerRole::Primary
        : w == "secondary" ? PeerRole::Secondary
                           : (p.fail("peer-role takes none, primary or secondary"), PeerRole::None);
    std::optional<uint32_t> bitmap;
    std::optional<int32_t> master;
    if (kv.count("bitmap"))
        bitmap = keyNumber(p, kv, "bitmap");
    if (kv.count("master"))
        master = static_cast<int32_t>(p.signedNumber(kv.at("master"), "master"));
    return [role, bitmap, master](ScenarioTarget& t) {
        auto& peer = t.chassis().peer();
        peer.setRole(role);
        if (bitmap)
            peer.setBitmap(*bitmap);
        if (master)
            peer.setMasterSlot(*master);
    };
}

Action parseFault(const Line& l) {
    l.arity(2, 3);
    const std::string point = l.ws[2];
    if (!knownFaultPoint(point))
        l.p.fail("unknown fault point '" + point + "' (docs/chassis.md lists them)");
    if (l.ws[1] == "arm") {
        const auto kv = l.p.keys(l.ws, 3, {"uses"});
        std::optional<uint32_t> uses;
        if (kv.count("uses"))
            uses = keyNumber(l.p, kv, "uses");
        return [point, uses](ScenarioTarget& t) { t.chassis().faults().arm(point, uses); };
    }
    if (l.ws[1] == "clear" && l.ws.size() == 3)
        return [point](ScenarioTarget& t) { t.chassis().faults().clear(point); };
    l.p.fail("fault takes arm NAME [uses=N] or clear NAME");
}

Action parseAdvance(const Line& l) {
    l.arity(1, 1);
    const auto us = parseDuration(l.ws[1]);
    if (!us)
        l.p.fail("'" + l.ws[1] + "' is not a duration such as 1s, 20ms or 500us");
    return [us = *us](ScenarioTarget& t) { t.advanceUs(us); };
}

// set, get, vars and call go to the debug shell; what can be checked before the run is.
Action parseShell(const Line& l) {
    const auto& ws = l.ws;
    if (ws[0] == "set") {
        l.arity(2, 2);
        const auto range = ozm::sym::range(ws[1]);
        if (!range)
            l.p.fail("no exported variable named '" + ws[1] + "'");
        const uint64_t value = l.p.number(ws[2], static_cast<uint64_t>(range->max), ws[1]);
        if (static_cast<int64_t>(value) < range->min)
            l.p.fail(ws[1] + " " + ws[2] + " is below " + std::to_string(range->min));
    } else if (ws[0] == "get") {
        l.arity(1, 1);
        if (!ozm::sym::range(ws[1]))
            l.p.fail("no exported variable named '" + ws[1] + "'");
    } else if (ws[0] == "vars") {
        l.arity(0, 0);
    } else {
        l.arity(1, SIZE_MAX - 1);
        if (!ozm::shell::isFunction(ws[1]))
            l.p.fail("no exported function named '" + ws[1] + "'");
    }
    return [line = l.text](ScenarioTarget& t) {
        const auto r = t.shell(line);
        auto& trace = t.chassis().trace();
        if (r.rc != 0)
            trace.add("shell", "failed: " + r.text);
        else if (!r.text.empty())
            trace.add("shell", r.text);
    };
}

Action parseTaskDisable(const Line& l) {
    l.arity(0, 0);
    return [](ScenarioTarget& t) { t.chassis().mgr().disable(); };
}

Action parseSettle(const Line& l) {
    l.arity(0, 0);
    return [](ScenarioTarget&) {};
}

struct Command {
    std::string_view name;
    Action (*parse)(const Line&);
};

constexpr Command kCommands[] = {
    {"vlan-add", parseVlanInput},
    {"vlan-del", parseVlanInput},
    {"vlan-disable", parseVlanInput},
    {"lag-add", parseLagInput},
    {"lag-del", parseLagInput},
    {"rate-set", parseRateSet},
    {"rate-remove", parseRateRemove},
    {"tunnel-mac", parseTunnelMac},
    {"vman-tpid", parseVmanTpid},
    {"raw", parseRaw},
    {"raw-bytes", parseRawBytes},
    {"card", parseCard},
    {"event", parseEvent},
    {"frame", parseFrame},
    {"cli", parseCli},
    {"undebug-all", parseUndebugAll},
    {"ha-event", parseHaEvent},
    {"role", parseRole},
    {"peer", parsePeer},
    {"peer-role", parsePeerRole},
    {"fault", parseFault},
    {"advance", parseAdvance},
    {"set", parseShell},
    {"get", parseShell},
    {"vars", parseShell},
    {"call", parseShell},
    {"task-disable", parseTaskDisable},
    {"settle", parseSettle},
};

Action parseLine(const LineParser& p, const std::string& text) {
    Line l{p, text, words(text)};
    for (const auto& c : kCommands) {
        if (c.name == l.ws[0])
            return c.parse(l);
    }
    p.fail("unknown input '" + l.ws[0] + "'");
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
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec))
        throw ScenarioError(path + ": is a directory, not a scenario");
    std::ifstream in(path);
    if (!in)
        throw ScenarioError(path + ": cannot open the scenario");
    std::stringstream text;
    text << in.rdbuf();
    return parse(text.str(), db, path);
}

void Scenario::run(ScenarioTarget& target) const {
    for (const auto& step : steps_) {
        target.chassis().trace().add("scenario", step.text);
        step.act(target);
        target.settle();
    }
}

}  // namespace chassis
