#include "tests/support/frame_table.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "chassis/dataplane_defs.h"

namespace frametable {

namespace {

constexpr std::pair<int, const char*> kReasons[] = {
    {L2PT_DROP_NO_PORT, "no_port"},
    {L2PT_DROP_RUNT, "runt"},
    {L2PT_DROP_CARD_ABSENT, "card_absent"},
    {L2PT_DROP_NO_VLAN, "no_vlan"},
    {L2PT_DROP_POLICED, "policed"},
    {L2PT_DROP_NO_SOCKET, "no_socket"},
    {L2PT_DROP_NO_LIVE_MEMBER, "no_live_member"},
    {L2PT_DROP_SEND_FAILED, "send_failed"},
    {L2PT_DROP_TAG_STACK, "tag_stack"},
    {L2PT_DROP_OVER_MTU, "over_mtu"},
    {L2PT_DROP_TRAP_TOO_LONG, "trap_too_long"},
    {L2PT_DROP_PORT_DOWN, "port_down"},
    {L2PT_DROP_FILTERED, "filtered"},
    {L2PT_DROP_FENCED, "fenced"},
    {L2PT_DROP_TASK_BEHIND, "task_behind"},
};
static_assert(std::size(kReasons) == L2PT_DROP_REASONS);
constexpr std::pair<int, const char*> kVerdicts[] = {
    {L2PT_VERDICT_TRAPPED, "trapped"},
    {L2PT_VERDICT_FORWARDED, "forwarded"},
    {L2PT_VERDICT_FLOODED, "flooded"},
    {L2PT_VERDICT_DROPPED, "dropped"},
};
constexpr int kHexBase = 16;

class Reader {
  public:
    explicit Reader(std::string path) : path_(std::move(path)) {}

    Table read() {
        std::ifstream in(path_);
        if (!in)
            throw std::runtime_error(path_ + ": cannot open the frame table");
        Table t;
        std::string text;
        int first = 0;
        for (std::string raw; std::getline(in, raw);) {
            ++line_;
            raw = raw.substr(0, raw.find('#'));
            const bool more = !raw.empty() && raw.back() == '\\';
            if (text.empty())
                first = line_;
            text += " " + (more ? raw.substr(0, raw.size() - 1) : raw);
            if (more)
                continue;
            at_ = first;
            statement(words(text), t);
            text.clear();
        }
        finishRow(t);
        if (t.chassis.empty())
            fail("no chassis line");
        return t;
    }

  private:
    [[noreturn]] void fail(const std::string& what) const {
        throw std::runtime_error(path_ + ":" + std::to_string(at_) + ": " + what);
    }

    static std::vector<std::string> words(const std::string& text) {
        std::istringstream in(text);
        std::vector<std::string> out;
        for (std::string w; in >> w;)
            out.push_back(w);
        return out;
    }

    uint64_t number(const std::string& w, uint64_t max) const {
        const bool hex = w.starts_with("0x");
        uint64_t v = 0;
        const char* b = w.data() + (hex ? 2 : 0);
        const auto [end, ec] = std::from_chars(b, w.data() + w.size(), v, hex ? kHexBase : 10);
        if (ec != std::errc() || end != w.data() + w.size() || b == end || v > max)
            fail("'" + w + "' is no number up to " + std::to_string(max));
        return v;
    }

    // HEX[*COUNT] tokens; ':' may separate the digits.
    Bytes hex(const std::vector<std::string>& ws, size_t from) const {
        Bytes out;
        for (size_t i = from; i < ws.size(); ++i) {
            const auto star = ws[i].find('*');
            std::string digits = ws[i].substr(0, star);
            std::erase(digits, ':');
            const uint64_t times =
                star == std::string::npos ? 1 : number(ws[i].substr(star + 1), 1 << 16);
            if (digits.empty() || digits.size() % 2 != 0 ||
                digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                fail("'" + ws[i] + "' is not hex bytes");
            Bytes bytes;
            for (size_t k = 0; k < digits.size(); k += 2)
                bytes.push_back(
                    static_cast<uint8_t>(number("0x" + digits.substr(k, 2), UINT8_MAX)));
            for (uint64_t n = 0; n < times; ++n)
                out.insert(out.end(), bytes.begin(), bytes.end());
        }
        if (out.empty())
            fail("no frame bytes");
        return out;
    }

    Mac mac(const std::string& w) const {
        const Bytes b = hex({w}, 0);
        if (b.size() != std::tuple_size_v<Mac>)
            fail("'" + w + "' is no MAC");
        Mac m;
        std::copy(b.begin(), b.end(), m.begin());
        return m;
    }

    // "key=value" options after the positional words.
    std::optional<uint64_t> option(const std::vector<std::string>& ws, size_t from,
                                   const std::string& key, uint64_t max) const {
        std::optional<uint64_t> v;
        for (size_t i = from; i < ws.size(); ++i) {
            if (!ws[i].starts_with(key + "="))
                fail("unexpected '" + ws[i] + "'");
            v = number(ws[i].substr(key.size() + 1), max);
        }
        return v;
    }

    void need(const std::vector<std::string>& ws, size_t n) const {
        if (ws.size() < n)
            fail("'" + ws[0] + "' needs " + std::to_string(n - 1) + " words");
    }

    static int code(const auto& table, const std::string& w) {
        for (const auto& [c, name] : table) {
            if (w == name)
                return c;
        }
        return -1;
    }

    void finishRow(Table& t) {
        if (!row_)
            return;
        Row& r = *row_;
        const int statementLine = at_;
        at_ = r.line;
        if (r.port.empty() || r.verdict == 0)
            fail("row '" + r.name + "' needs an 'in' line and a verdict");
        const bool outs = !r.out.empty();
        if ((r.verdict == L2PT_VERDICT_TRAPPED || r.verdict == L2PT_VERDICT_DROPPED) && outs)
            fail("row '" + r.name + "': a trapped or dropped frame leaves by no port");
        if (r.verdict == L2PT_VERDICT_FORWARDED && r.out.size() != 1)
            fail("row '" + r.name + "': a forwarded frame leaves by one port");
        std::sort(r.out.begin(), r.out.end(),
                  [](const Copy& a, const Copy& b) { return a.port < b.port; });
        t.steps.emplace_back(std::move(r));
        row_.reset();
        at_ = statementLine;
    }

    void statement(const std::vector<std::string>& ws, Table& t) {
        if (ws.empty())
            return;
        const std::string& w = ws[0];
        if (w == "in" || w == "out" || w == "trapped" || w == "forwarded" || w == "flooded" ||
            w == "dropped") {
            if (!row_)
                fail("'" + w + "' outside a row (frame NAME first)");
            rowLine(ws);
            return;
        }
        finishRow(t);
        if (w == "chassis") {
            need(ws, 2);
            t.chassis = (std::filesystem::path(path_).parent_path() / ws[1]).string();
        } else if (w == "frame") {
            need(ws, 2);
            row_.emplace();
            row_->name = ws[1];
            row_->line = at_;
        } else if (w == "entry") {
            need(ws, 3);
            Entry e;
            if (ws[1].starts_with("slot="))
                e.slot = static_cast<uint32_t>(number(ws[1].substr(5), UINT32_MAX));
            else
                e.port = ws[1];
            e.mac = mac(ws[2]);
            e.rateKbps = static_cast<uint32_t>(option(ws, 3, "rate", UINT32_MAX).value_or(0));
            t.steps.emplace_back(e);
        } else if (w == "tpid") {
            need(ws, 2);
            t.steps.emplace_back(Tpid{static_cast<uint16_t>(number(ws[1], UINT16_MAX))});
        } else if (w == "advance") {
            need(ws, 2);
            t.steps.emplace_back(Advance{number(ws[1], UINT32_MAX)});
        } else if (w == "card") {
            need(ws, 3);
            if (ws[2] != "up" && ws[2] != "down")
                fail("card N up|down");
            t.steps.emplace_back(
                Card{static_cast<uint32_t>(number(ws[1], UINT32_MAX)), ws[2] == "up"});
        } else {
            fail("unknown statement '" + w + "'");
        }
    }

    void rowLine(const std::vector<std::string>& ws) {
        Row& r = *row_;
        const std::string& w = ws[0];
        if (w == "in" || w == "out") {
            need(ws, 3);
            if (w == "in") {
                r.port = ws[1];
                r.frame = hex(ws, 2);
            } else {
                r.out.push_back({ws[1], hex(ws, 2)});
            }
            return;
        }
        if (r.verdict != 0)
            fail("row '" + r.name + "' has two verdicts");
        r.verdict = code(kVerdicts, w);
        size_t options = 1;
        if (w == "trapped") {
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
        if (w == "dropped") {
            need(ws, 2);
            r.reason = code(kReasons, ws[1]);
            if (r.reason < 0)
                fail("unknown drop reason '" + ws[1] + "'");
            options = 2;
        }
        if (const auto v = option(ws, options, "vlan", L2PT_MAX_VID))
            r.vlan = static_cast<uint16_t>(*v);
    }

    std::string path_;
    int line_ = 0;
    int at_ = 0;  // the line of the statement being read
    std::optional<Row> row_;
};

}  // namespace

Table load(const std::string& path) {
    return Reader(path).read();
}

std::string reasonWord(int reason) {
    for (const auto& [c, name] : kReasons) {
        if (c == reason)
            return name;
    }
    return "reason " + std::to_string(reason);
}

std::string verdictWord(int verdict) {
    for (const auto& [c, name] : kVerdicts) {
        if (c == verdict)
            return name;
    }
    return "verdict " + std::to_string(verdict);
}

}  // namespace frametable
