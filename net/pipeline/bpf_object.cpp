#include "net/pipeline/bpf_object.h"

#include <bpf/libbpf.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

namespace netp::pipeline {

namespace {

// Enough of the verifier's log to end with the instructions that led to the refusal; the
// kernel keeps the log's end when it runs over.
constexpr size_t kVerifierLogBytes = 256 * 1024;
constexpr size_t kLogTailLines = 8;
constexpr size_t kPrintLineBytes = 1024;

// libbpf_set_print takes a plain function: the one thing it may reach is this.
LogFn& libbpfLog() {
    static LogFn log;
    return log;
}

int printToLog(enum libbpf_print_level level, const char* format, va_list args) {
    if (level == LIBBPF_DEBUG || !libbpfLog())
        return 0;
    char text[kPrintLineBytes];
    const int n = std::vsnprintf(text, sizeof text, format, args);
    if (n < 0)
        return 0;
    std::string_view rest(text, std::min(static_cast<size_t>(n), sizeof text - 1));
    while (!rest.empty()) {
        const size_t eol = rest.find('\n');
        libbpfLog()(rest.substr(0, eol));
        rest = eol == std::string_view::npos ? std::string_view() : rest.substr(eol + 1);
    }
    return n;
}

// The last lines of a verifier log, on one line.
std::string logTail(std::string_view log) {
    std::vector<std::string_view> lines;
    while (!log.empty()) {
        const size_t eol = log.find('\n');
        if (eol != 0)
            lines.push_back(log.substr(0, eol));
        log = eol == std::string_view::npos ? std::string_view() : log.substr(eol + 1);
    }
    if (lines.empty())
        return "(the verifier said nothing)";
    std::string tail;
    for (size_t i = lines.size() - std::min(lines.size(), kLogTailLines); i < lines.size(); i++)
        tail.append(tail.empty() ? "" : " | ").append(lines[i]);
    return tail;
}

}  // namespace

namespace detail {

void setLibbpfLog(LogFn log) {
    libbpfLog() = std::move(log);
    libbpf_set_print(printToLog);
}

Status openFailure(const std::string& name, int err) {
    return Status::sysFailure("opening BPF object " + name, err);
}

Status loadWithVerifierLogs(bpf_object* obj, const std::string& name,
                            const std::function<int()>& load) {
    // Each program's verifier log goes to a buffer of its own, filled only when it is refused.
    std::vector<std::vector<char>> logs;
    bpf_program* prog;
    bpf_object__for_each_program(prog, obj) {
        logs.emplace_back(kVerifierLogBytes, '\0');
        bpf_program__set_log_buf(prog, logs.back().data(), logs.back().size());
    }
    const int err = load();
    Status status;
    if (err != 0) {
        size_t i = 0;
        bpf_object__for_each_program(prog, obj) {
            if (status && logs[i][0] != '\0')
                status = Status::failure(std::string("the kernel refused BPF program ") +
                                         bpf_program__name(prog) + ": " + logTail(logs[i].data()));
            i++;
        }
        if (status)
            status = Status::sysFailure("loading BPF object " + name, err);
    }
    // The buffers go with this scope: nothing may write to them later.
    bpf_object__for_each_program(prog, obj) bpf_program__set_log_buf(prog, nullptr, 0);
    return status;
}

}  // namespace detail

std::vector<std::pair<std::string, int>> BpfObject::maps() const {
    std::vector<std::pair<std::string, int>> out;
    const bpf_map* map;
    bpf_object__for_each_map(map, obj_) out.emplace_back(bpf_map__name(map), bpf_map__fd(map));
    return out;
}

std::vector<std::pair<std::string, int>> BpfObject::programs() const {
    std::vector<std::pair<std::string, int>> out;
    bpf_program* prog;
    bpf_object__for_each_program(prog, obj_)
        out.emplace_back(bpf_program__name(prog), bpf_program__fd(prog));
    return out;
}

}  // namespace netp::pipeline
