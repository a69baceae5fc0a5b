// The debug shell's line interpreter over the exported variables and functions.
#include "platform/shell.h"

#include <cctype>
#include <map>

#include "platform/symbols.h"

namespace ozm {
namespace shell {
namespace {

struct Entry {
    const char* usage;
    Function fn;
};

std::map<std::string, Entry, std::less<>>& functions() {
    static std::map<std::string, Entry, std::less<>> registry;
    return registry;
}

constexpr std::string_view kHexPrefix = "0x";
constexpr int kHexBase = 16;
constexpr int kDecimalBase = 10;
constexpr size_t kMaxArgs = 16;

int digitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    const char l = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (l >= 'a' && l <= 'f')
        return l - 'a' + kDecimalBase;
    return -1;
}

ShellResult fail(std::string text) {
    return {-1, std::move(text)};
}

std::string rangeText(const sym::Range& r) {
    return std::to_string(r.min) + ".." + std::to_string(r.max);
}

ShellResult doSet(Args args) {
    if (args.size() != 2)
        return fail("usage: set NAME VALUE");
    const std::string name(args[0]);
    const auto range = sym::range(name);
    if (!range)
        return fail("no exported variable named '" + name + "'");
    if (sym::isReadOnly(name))
        return fail("set " + name + ": read-only");
    const auto value = parseNumber(args[1]);
    if (!value)
        return fail("set " + name + ": '" + std::string(args[1]) +
                    "' is not a decimal or 0x hex number");
    if (*value > static_cast<uint64_t>(range->max) || static_cast<int64_t>(*value) < range->min ||
        !sym::set(name, *value))
        return fail("set " + name + ": " + std::string(args[1]) + " is outside " +
                    rangeText(*range));
    return {0, {}};
}

ShellResult doGet(Args args) {
    if (args.size() != 1)
        return fail("usage: get NAME");
    const auto value = sym::get(args[0]);
    if (!value)
        return fail("no exported variable named '" + std::string(args[0]) + "'");
    return {0, std::string(args[0]) + " = " + std::to_string(*value)};
}

ShellResult doVars(Args args) {
    if (!args.empty())
        return fail("usage: vars");
    std::string text;
    for (const auto& v : sym::list()) {
        text += v.name + " = " + std::to_string(sym::get(v.name).value_or(0)) +
                (v.readOnly ? " read-only" : " range " + rangeText(v.range)) + "\n";
    }
    return {0, text};
}

ShellResult doCalls(Args args) {
    if (!args.empty())
        return fail("usage: calls");
    std::string text;
    for (const auto& [name, entry] : functions())
        text += name + (*entry.usage ? " " : "") + entry.usage + "\n";
    return {0, text};
}

ShellResult doCall(Args args) {
    if (args.empty())
        return fail("usage: call NAME ARG...");
    auto& registry = functions();
    auto it = registry.find(args[0]);
    if (it == registry.end())
        return fail("no exported function named '" + std::string(args[0]) + "'");
    ShellResult r = it->second.fn(args.subspan(1));
    if (r.rc != 0 && r.text.empty())
        r.text = "usage: call " + it->first + " " + it->second.usage;
    return r;
}

}  // namespace

void exportFunction(const char* name, const char* usage, Function fn) {
    if (name == nullptr || fn == nullptr)
        return;
    functions().insert_or_assign(name, Entry{usage != nullptr ? usage : "", fn});
}

bool isFunction(std::string_view name) {
    return functions().find(name) != functions().end();
}

std::optional<uint64_t> parseNumber(std::string_view text, uint64_t max) {
    int base = kDecimalBase;
    if (text.size() > kHexPrefix.size() &&
        (text.starts_with(kHexPrefix) || text.starts_with("0X"))) {
        base = kHexBase;
        text.remove_prefix(kHexPrefix.size());
    }
    if (text.empty())
        return std::nullopt;
    uint64_t v = 0;
    for (char c : text) {
        const int d = digitValue(c);
        if (d < 0 || d >= base)
            return std::nullopt;
        const auto digit = static_cast<uint64_t>(d);
        if (digit > max || v > (max - digit) / static_cast<uint64_t>(base))
            return std::nullopt;
        v = v * static_cast<uint64_t>(base) + digit;
    }
    return v;
}

std::optional<std::vector<uint8_t>> parseHex(std::string_view text) {
    if (text.size() % 2 != 0)
        return std::nullopt;
    std::vector<uint8_t> out;
    out.reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        const int hi = digitValue(text[i]);
        const int lo = digitValue(text[i + 1]);
        if (hi < 0 || hi >= kHexBase || lo < 0 || lo >= kHexBase)
            return std::nullopt;
        out.push_back(static_cast<uint8_t>(hi * kHexBase + lo));
    }
    return out;
}

}  // namespace shell

ShellResult shellRun(std::string_view line) {
    std::vector<std::string_view> words;
    size_t pos = 0;
    for (;;) {
        pos = line.find_first_not_of(" \t\r\n", pos);
        if (pos == std::string_view::npos)
            break;
        const size_t end = std::min(line.find_first_of(" \t\r\n", pos), line.size());
        if (words.size() == shell::kMaxArgs)
            return shell::fail("more than " + std::to_string(shell::kMaxArgs) + " words");
        words.push_back(line.substr(pos, end - pos));
        pos = end;
    }
    if (words.empty())
        return shell::fail("empty command: set, get, call, vars or calls");
    const std::string_view cmd = words[0];
    const shell::Args args = std::span(words).subspan(1);
    if (cmd == "set")
        return shell::doSet(args);
    if (cmd == "get")
        return shell::doGet(args);
    if (cmd == "call")
        return shell::doCall(args);
    if (cmd == "vars")
        return shell::doVars(args);
    if (cmd == "calls")
        return shell::doCalls(args);
    return shell::fail("unknown command '" + std::string(cmd) + "': set, get, call, vars or calls");
}

}  // namespace ozm
