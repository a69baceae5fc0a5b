#include "tests/support/frame_table.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <tuple>

#include "chassis/config.h"
#include "chassis/trace.h"
#include "dataplane/defs.h"

namespace frametable {

namespace {

using Words = std::vector<std::string>;

// The table's words for enum l2pt_drop and enum l2pt_verdict, by value.
#define L2PT_DROP_REASON_KEY(c, cpp, key, text) #key,
const char* const kReasons[] = {L2PT_DROP_REASONS(L2PT_DROP_REASON_KEY)};
#undef L2PT_DROP_REASON_KEY
const char* const kStormClasses[] = {"broadcast", "multicast", "unknown_unicast"};
static_assert(std::size(kStormClasses) == L2PT_STORM_CLASSES && L2PT_STORM_BROADCAST == 0);
const char* const kVerdicts[] = {"", "trapped", "forwarded", "flooded", "dropped"};
static_assert(L2PT_VERDICT_TRAPPED == 1 && L2PT_VERDICT_DROPPED == 4);

template <size_t N>
int indexOf(const char* const (&words)[N], const std::string& w) {
    const auto it = std::find(std::begin(words), std::end(words), w);
    return it == std::end(words) || w.empty() ? -1 : static_cast<int>(it - std::begin(words));
}

class Reader {
  public:
    explicit Reader(std::string path) : path_(std::move(path)) {}

    Table read() {
        std::ifstream in(path_);
        if (!in)
            throw std::runtime_error(path_ + ": cannot open the frame table");
        std::string text;
        for (std::string raw; std::getline(in, raw);) {
            ++line_;
            raw = raw.substr(0, raw.find('#'));
            if (text.empty())
                at_ = line_;
            const bool more = !raw.empty() && raw.back() == '\\';
            text += " " + raw.substr(0, raw.size() - (more ? 1 : 0));
            if (!more) {
                std::istringstream words(text);
                statement({std::istream_iterator<std::string>(words), {}});
                text.clear();
            }
        }
        endRow();
        if (table_.chassis.empty())
            fail("no chassis line");
        return std::move(table_);
    }

  private:
    [[noreturn]] void fail(const std::string& what) const {
        throw std::runtime_error(path_ + ":" + std::to_string(at_) + ": " + what);
    }

    uint64_t number(const std::string& w, uint64_t max) const {
        const bool hex = w.starts_with("0x");
        const char* first = w.data() + (hex ? 2 : 0);
        const char* last = w.data() + w.size();
        uint64_t v = 0;
        const auto [end, ec] = std::from_chars(first, last, v, hex ? 16 : 10);
        if (ec != std::errc() || end != last || first == last || v > max)
            fail("'" + w + "' is no number up to " + std::to_string(max));
        return v;
    }

    // HEX[*COUNT] words from ws[from] on; ':' may stand between the digits.
    Bytes hex(const Words& ws, size_t from) const {
        constexpr uint64_t kMaxRepeat = 1 << 16;
        Bytes out;
        for (size_t i = from; i < ws.size(); ++i) {
            const auto star = ws[i].find('*');
            std::string digits = ws[i].substr(0, star);
            std::erase(digits, ':');
            if (digits.empty() || digits.size() % 2 != 0 ||
                digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                fail("'" + ws[i] + "' is not hex bytes");
            const uint64_t times =
                star == std::string::npos ? 1 : number(ws[i].substr(star + 1), kMaxRepeat);
            Bytes bytes;
            for (size_t k = 0; k < digits.size(); k += 2)
                bytes.push_back(static_cast<uint8_t>(std::stoul(digits.substr(k, 2), nullptr, 16)));
            for (uint64_t n = 0; n < times; ++n)
                out.insert(out.end(), bytes.begin(), bytes.end());
        }
        if (out.empty())
            fail("no bytes");
        return out;
    }

    // The value of a last word "key=N" at ws[at]; empty without one.
    std::optional<uint64_t> option(const Words& ws, size_t at, const std::string& key,
                                   uint64_t max) const {
        if (ws.size() <= at)
            return std::nullopt;
        if (ws.size() > at + 1 || !ws[at].starts_with(key + "="))
            fail("unexpected '" + ws.back() + "'");
        return number(ws[at].substr(key.size() + 1), max);
    }

    void need(const Words& ws, size_t n) const {
        if (ws.size() < n)
            fail("'" + ws[0] + "' needs " + std::to_string(n - 1) + " words");
    }

    // What the row leaves out, its runners' comparisons catch: only an unfinished row is refused.
    void endRow() {
        if (!row_)
            return;
        if (row_->port.empty() || row_->verdict == 0) {
            at_ = row_->line;
            fail("row '" + row_->name + "' needs an 'in' or 'sent' line and a verdict");
        }
        table_.steps.emplace_back(std::move(*row_));
        row_.reset();
    }

    uint32_t u32(const std::string& w) const {
        return static_cast<uint32_t>(number(w, UINT32_MAX));
    }
    uint16_t vid(const std::string& w) const {
        return static_cast<uint16_t>(number(w, L2PT_MAX_VID));
    }
    Mac mac(const std::string& w, const char* usage) const {
        const Bytes b = hex({w}, 0);
        if (b.size() != Mac{}.size())
            fail(usage);
        Mac m;
        std::copy(b.begin(), b.end(), m.begin());
        return m;
    }

    void statement(const Words& ws) {
        if (ws.empty())
            return;
        const std::string& w = ws[0];
        if (w == "in" || w == "sent" || w == "out" || indexOf(kVerdicts, w) > 0) {
            if (!row_)
                fail("'" + w + "' outside a row (frame NAME first)");
            rowLine(ws, *row_);
            return;
        }
        endRow();
        need(ws, 2);
        auto& steps = table_.steps;
        if (w == "chassis") {
            table_.chassis = (std::filesystem::path(path_).parent_path() / ws[1]).string();
        } else if (w == "frame") {
            row_.emplace();
            row_->name = ws[1];
            row_->line = at_;
        } else if (w == "entry") {
            constexpr const char* kUsage = "entry PORT|slot=N MAC [rate=KBPS]";
            need(ws, 3);
            if (ws.size() > 4)
                fail(kUsage);
            Entry e{ws[1], std::nullopt, mac(ws[2], kUsage)};
            if (ws[1].starts_with("slot="))
                std::tie(e.port, e.slot) = std::tuple("", u32(ws[1].substr(5)));
            e.rateKbps = static_cast<uint32_t>(option(ws, 3, "rate", UINT32_MAX).value_or(0));
            steps.emplace_back(e);
        } else if (w == "tpid") {
            steps.emplace_back(Tpid{static_cast<uint16_t>(number(ws[1], UINT16_MAX))});
        } else if (w == "advance") {
            steps.emplace_back(Advance{u32(ws[1])});
        } else if (w == "l2cp") {
            // l2cp PORT [vlan=N] ADDRESSES ACTION
            const bool inVlan = ws.size() == 5 && ws[2].starts_with("vlan=");
            if (ws.size() != (inVlan ? 5u : 4u))
                fail("l2cp PORT [vlan=N] ADDRESSES tunnel|discard|forward|default");
            const std::string& set = ws[inVlan ? 3 : 2];
            const std::string& action = ws[inVlan ? 4 : 3];
            const auto bits = chassis::parseL2cpAddresses(set);
            const auto act = chassis::l2cpActionNamed(action);
            if (!bits || !act)
                fail("l2cp: no reserved addresses or no action in '" + set + " " + action + "'");
            steps.emplace_back(L2cp{ws[1],
                                    inVlan ? std::optional(vid(ws[2].substr(5))) : std::nullopt,
                                    *bits, static_cast<int>(*act)});
        } else if (w == "tunnel-mac") {
            steps.emplace_back(
                ws[1] == "default" ? TunnelMac{} : TunnelMac{mac(ws[1], "tunnel-mac MAC|default")});
        } else if (w == "storm") {
            need(ws, 4);
            Storm st{ws[1], indexOf(kStormClasses, ws[2])};
            if (st.cls < 0 || ws.size() > 5)
                fail("storm PORT broadcast|multicast|unknown_unicast FPS|off|kbps=K [kbps=K]");
            if (ws[3].starts_with("kbps="))
                st.kbps = u32(ws[3].substr(5));
            else if (ws[3] != "off")
                st.fps = u32(ws[3]);
            if (ws.size() == 5)
                st.kbps = static_cast<uint32_t>(option(ws, 4, "kbps", UINT32_MAX).value_or(0));
            steps.emplace_back(st);
        } else if (w == "pdu-rate") {
            need(ws, 3);
            steps.emplace_back(
                PduRate{ws[1], ws[2] == "default" ? std::nullopt : std::optional(u32(ws[2]))});
        } else if (w == "vlan" && (ws.size() == 4 || (ws.size() == 5 && ws[4] == "core")) &&
                   (ws[2] == "join" || ws[2] == "leave")) {
            steps.emplace_back(VlanMember{vid(ws[1]), ws[3], ws[2] == "join", ws.size() == 5});
        } else if (w == "card" && ws.size() == 3 && (ws[2] == "up" || ws[2] == "down")) {
            steps.emplace_back(Card{u32(ws[1]), ws[2] == "up"});
        } else if (w == "learning" && ws.size() >= 3) {
            Learning l;
            if (ws[1].starts_with("vlan="))
                l.vlan = vid(ws[1].substr(5));
            else
                l.port = ws[1];
            l.drop = ws.size() == 4 && ws[3] == "drop" && !l.vlan;
            if (!ws[2].starts_with("limit=") || ws.size() != (l.drop ? 4u : 3u))
                fail("learning PORT limit=N [drop] | learning vlan=N limit=N");
            l.limit = u32(ws[2].substr(6));
            steps.emplace_back(l);
        } else if (w == "learned" && ws.size() == 5 && ws[3].starts_with("moves=") &&
                   ws[4].starts_with("refused=")) {
            steps.emplace_back(
                Learned{at_, ws[1], u32(ws[2]), u32(ws[3].substr(6)), u32(ws[4].substr(8))});
        } else {
            fail("unknown statement '" + w + "'");
        }
    }

    void rowLine(const Words& ws, Row& r) const {
        const std::string& w = ws[0];
        if (w == "in" || w == "sent" || w == "out") {
            need(ws, 3);
            if (w != "out")
                std::tie(r.port, r.frame, r.sent) = std::tuple(ws[1], hex(ws, 2), w == "sent");
            else
                r.out.push_back({ws[1], hex(ws, 2)});
            return;
        }
        if (r.verdict != 0)
            fail("row '" + r.name + "' has two verdicts");
        r.verdict = indexOf(kVerdicts, w);
        if (r.verdict == L2PT_VERDICT_TRAPPED) {
            need(ws, 4);
            r.socket = ws[1] == "access"   ? L2PT_SOCKET_ACCESS
                       : ws[1] == "tunnel" ? L2PT_SOCKET_TUNNEL
                                           : 0;
            if (r.socket == 0)
                fail("trapped access|tunnel RXIF HEX");
            r.rxIf = ws[2];
            r.trapped = hex(ws, 3);
            return;
        }
        const bool dropped = r.verdict == L2PT_VERDICT_DROPPED;
        if (dropped && (ws.size() < 2 || (r.reason = indexOf(kReasons, ws[1])) < 0))
            fail("dropped needs a known reason");
        if (const auto v = option(ws, dropped ? 2 : 1, "vlan", L2PT_MAX_VID))
            r.vlan = static_cast<uint16_t>(*v);
    }

    std::string path_;
    int line_ = 0;
    int at_ = 0;  // the first line of the statement being read
    Table table_;
    std::optional<Row> row_;
};

}  // namespace

Table load(const std::string& path) {
    return Reader(path).read();
}

std::string copiesText(std::vector<Copy> copies) {
    std::sort(copies.begin(), copies.end(),
              [](const Copy& a, const Copy& b) { return a.port < b.port; });
    std::string out;
    for (const auto& c : copies)
        out += c.port + " " + chassis::hexText(c.frame) + "\n";
    return out;
}

namespace {

// Hex bytes: the MACs as a word each, then words of two bytes, a run of four or more of one
// byte from a word's start as "BB*N".
std::string bytesText(const Bytes& b) {
    constexpr size_t kMinRun = 4;
    std::string out;
    std::string word;
    const auto flush = [&] {
        if (!word.empty())
            out += " " + word;
        word.clear();
    };
    for (size_t i = 0; i < b.size();) {
        size_t run = 1;
        while (i >= L2PT_OFF_TYPE && i % 2 == 0 && i + run < b.size() && b[i + run] == b[i])
            ++run;
        if (run >= kMinRun || i == L2PT_OFF_SRC || (i >= L2PT_OFF_TYPE && i % 2 == 0))
            flush();
        word += chassis::hexText({&b[i], 1}) + (run >= kMinRun ? "*" + std::to_string(run) : "");
        if (run >= kMinRun)
            flush();
        i += run >= kMinRun ? run : 1;
    }
    flush();
    return out;
}

std::string macText(const Mac& m) {
    return chassis::hexText(m);
}

struct Writer {
    std::string operator()(const Entry& e) const {
        return "entry " + (e.slot ? "slot=" + std::to_string(*e.slot) : e.port) + " " +
               macText(e.mac) + (e.rateKbps ? " rate=" + std::to_string(e.rateKbps) : "") + "\n";
    }
    std::string operator()(const Tpid& t) const {
        char buf[8];
        std::snprintf(buf, sizeof buf, "0x%04x", t.tpid);
        return std::string("tpid ") + buf + "\n";
    }
    std::string operator()(const Advance& a) const {
        return "advance " + std::to_string(a.seconds) + "\n";
    }
    std::string operator()(const Card& c) const {
        return "card " + std::to_string(c.slot) + (c.up ? " up\n" : " down\n");
    }
    std::string operator()(const Learning& l) const {
        return "learning " + (l.vlan ? "vlan=" + std::to_string(*l.vlan) : l.port) +
               " limit=" + std::to_string(l.limit) + (l.drop ? " drop\n" : "\n");
    }
    std::string operator()(const Learned& l) const {
        return "learned " + l.port + " " + std::to_string(l.count) +
               " moves=" + std::to_string(l.moves) + " refused=" + std::to_string(l.refused) + "\n";
    }
    std::string operator()(const L2cp& l) const {
        return "l2cp " + l.port + (l.vlan ? " vlan=" + std::to_string(*l.vlan) : "") + " " +
               chassis::l2cpAddressesText(l.addresses) + " " +
               std::string(chassis::l2cpActionName(static_cast<chassis::L2cpAction>(l.action))) +
               "\n";
    }
    std::string operator()(const TunnelMac& t) const {
        return "tunnel-mac " + (t.mac ? macText(*t.mac) : "default") + "\n";
    }
    std::string operator()(const VlanMember& m) const {
        return "vlan " + std::to_string(m.vid) + (m.join ? " join " : " leave ") + m.port +
               (m.core ? " core\n" : "\n");
    }
    std::string operator()(const Storm& s) const {
        std::string rate = s.fps ? std::to_string(s.fps) : s.kbps ? "" : "off";
        if (s.kbps)
            rate += (rate.empty() ? "" : " ") + ("kbps=" + std::to_string(s.kbps));
        return "storm " + s.port + " " + kStormClasses[s.cls] + " " + rate + "\n";
    }
    std::string operator()(const PduRate& r) const {
        return "pdu-rate " + r.port + " " + (r.rate ? std::to_string(*r.rate) : "default") + "\n";
    }
    std::string operator()(const Row& r) const {
        std::string out = "frame " + r.name + "\n" + (r.sent ? "sent " : "in ") + r.port +
                          bytesText(r.frame) + "\n" + verdictWord(r.verdict);
        if (r.verdict == L2PT_VERDICT_TRAPPED)
            out += std::string(r.socket == L2PT_SOCKET_TUNNEL ? " tunnel " : " access ") + r.rxIf +
                   bytesText(r.trapped);
        if (r.verdict == L2PT_VERDICT_DROPPED)
            out += " " + reasonWord(r.reason);
        if (r.vlan)
            out += " vlan=" + std::to_string(*r.vlan);
        out += "\n";
        std::vector<Copy> copies = r.out;
        std::stable_sort(copies.begin(), copies.end(),
                         [](const Copy& a, const Copy& b) { return a.port < b.port; });
        for (const Copy& c : copies)
            out += "out " + c.port + bytesText(c.frame) + "\n";
        return out;
    }
};

}  // namespace

std::string stepText(const Step& step) {
    return std::visit(Writer{}, step);
}

Row asStated(Row got, const Row& want) {
    std::tie(got.name, got.line, got.port, got.frame, got.sent) =
        std::tie(want.name, want.line, want.port, want.frame, want.sent);
    if (!want.vlan)
        got.vlan.reset();
    return got;
}

std::string reasonWord(int reason) {
    return reason >= 0 && reason < L2PT_DP_DROP_REASONS ? kReasons[reason]
                                                        : "reason " + std::to_string(reason);
}

std::string verdictWord(int verdict) {
    return verdict > 0 && verdict <= L2PT_VERDICT_DROPPED ? kVerdicts[verdict]
                                                          : "verdict " + std::to_string(verdict);
}

}  // namespace frametable
