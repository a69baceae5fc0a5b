// l2ptctl: the operator's tool for a switch run by l2pt-chassisd.
//
//   l2ptctl [--run-dir DIR] [--timeout S] show [VLAN] [--json]
//   l2ptctl vlan add 100 --proto stp,lldp --port ge0/1:access --port ge0/5:core
//   l2ptctl capture ge0/1 out.pcap --count 10
//
// The commands and their options come from the ctl grammar (net/proto/ctl.h) the daemon
// checks too; each becomes one request, an argument vector with its options. A capture's file
// is created here and only its descriptor goes to the daemon.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "net/io/socket.h"
#include "net/proto/ctl.h"
#include "net/proto/protocol.h"
#include "platform/shell.h"
#include "platform/wire/bytes.h"

namespace {

using netp::ctl::Exit;
using Ms = std::chrono::milliseconds;
constexpr int kDefaultTimeoutSeconds = 10;
constexpr int kMaxTimeoutSeconds = 86400;  // a day
constexpr Ms kConnectRetry{20};
constexpr mode_t kCaptureMode = 0600;

[[noreturn]] void fail(Exit status, const std::string& message) {
    std::fprintf(stderr, "l2ptctl: %s\n", message.c_str());
    std::exit(static_cast<int>(status));
}

// What CLI11 fills in for one command of the grammar.
struct Parsed {
    const netp::ctl::CommandSpec* spec = nullptr;
    std::vector<std::string> args;
    std::map<std::string, std::vector<std::string>> values;
    std::map<std::string, bool> flags;
};

CLI::App* subcommandPath(CLI::App& app, std::string_view path) {
    CLI::App* at = &app;
    for (size_t b = 0; b < path.size();) {
        const size_t e = std::min(path.find(' ', b), path.size());
        const std::string word(path.substr(b, e - b));
        CLI::App* next = nullptr;
        for (CLI::App* s : at->get_subcommands({}))
            next = s->get_name() == word ? s : next;
        if (next == nullptr) {
            next = at->add_subcommand(word, "");
            next->require_subcommand(0, 1);
        }
        at = next;
        b = e + 1;
    }
    return at;
}

void addCommand(CLI::App& app, const netp::ctl::CommandSpec& spec, Parsed& p, Parsed*& chosen) {
    CLI::App* sub = subcommandPath(app, spec.path);
    sub->description(std::string(spec.help));
    sub->require_subcommand(0);
    if (spec.maxArgs == SIZE_MAX && spec.options.empty()) {
        // Everything after the command is its arguments, words with dashes too.
        sub->prefix_command();
    } else if (spec.maxArgs > 0) {
        auto* o = sub->add_option("args", p.args, std::string(spec.argsHelp));
        o->expected(static_cast<int>(spec.minArgs), static_cast<int>(spec.maxArgs));
        if (spec.minArgs > 0)
            o->required();
    }
    for (const auto& o : spec.options) {
        const std::string name = "--" + std::string(o.name);
        if (!o.takesValue) {
            sub->add_flag(name, p.flags[std::string(o.name)], std::string(o.help));
            continue;
        }
        auto* opt = sub->add_option(name, p.values[std::string(o.name)], std::string(o.help));
        if (!o.repeatable)
            opt->expected(1);
        if (o.required)
            opt->required();
    }
    sub->callback([&p, &chosen, sub] {
        // A command whose words begin a longer one's ("l2cp", "l2cp set") runs its callback
        // after the longer one's: the longer one, given, stays chosen.
        if (chosen != nullptr &&
            netp::ctl::pathWords(*chosen->spec) > netp::ctl::pathWords(*p.spec))
            return;
        const auto rest = sub->remaining();
        p.args.insert(p.args.end(), rest.begin(), rest.end());
        chosen = &p;
    });
    p.spec = &spec;
}

netp::ctl::Request requestOf(const Parsed& p) {
    netp::ctl::Request r;
    r.id = std::random_device{}();
    for (std::string_view path = p.spec->path; !path.empty();) {
        const size_t e = std::min(path.find(' '), path.size());
        r.args.emplace_back(path.substr(0, e));
        path.remove_prefix(std::min(e + 1, path.size()));
    }
    r.args.insert(r.args.end(), p.args.begin(), p.args.end());
    for (const auto& o : p.spec->options) {
        const std::string name(o.name);
        if (!o.takesValue && p.flags.at(name))
            r.options.push_back({name, ""});
        for (const auto& v : o.takesValue ? p.values.at(name) : std::vector<std::string>{})
            r.options.push_back({name, v});
    }
    return r;
}

// The run directory: given, or the one daemon under the default root.
std::string defaultRunDir() {
    const std::string root = netp::ctl::kDefaultRunRoot;
    std::vector<std::string> found;
    if (DIR* d = ::opendir(root.c_str())) {
        while (const dirent* e = ::readdir(d)) {
            const std::string dir = root + "/" + e->d_name;
            struct stat st {};
            if (e->d_name[0] != '.' && ::stat((dir + "/" + netp::kCtlSocket).c_str(), &st) == 0)
                found.push_back(dir);
        }
        ::closedir(d);
    }
    if (found.empty())
        fail(Exit::NoDaemon, "no daemon at " + root + "/*; give --run-dir DIR");
    if (found.size() > 1) {
        std::string list;
        for (const auto& f : found)
            list += (list.empty() ? "" : ", ") + f;
        fail(Exit::Usage, "daemons run at " + list + ": say which with --run-dir");
    }
    return found[0];
}

// Connects within the deadline: a daemon whose backlog is full makes connect wait.
netp::Fd connectTo(const std::string& runDir, std::chrono::steady_clock::time_point deadline) {
    const std::string path = runDir + "/" + netp::kCtlSocket;
    for (;;) {
        netp::Fd fd = netp::connectSeqpacket(path, true);
        if (fd.valid())
            return fd;
        if (errno == EACCES || errno == EPERM)
            fail(Exit::Denied, "permission denied: " + path);
        if (errno != EAGAIN)
            fail(Exit::NoDaemon, "no daemon at " + runDir + " (" + std::strerror(errno) + ")");
        if (std::chrono::steady_clock::now() >= deadline)
            fail(Exit::Timeout, "the daemon at " + runDir + " took no connection in time");
        std::this_thread::sleep_for(kConnectRetry);
    }
}

// Sends the request and prints its answer: the exit status. A negative timeout waits for ever.
int converse(int fd, const netp::ctl::Request& r, int passFd, Ms timeout) {
    const auto datagram = netp::ctl::encode(r);
    if (datagram.empty())
        fail(Exit::Usage, "the command is too long for one request");
    // A daemon that refused the connection has said why before closing it: read on.
    const bool sent = netp::sendDatagram(fd, datagram, std::span(&passFd, passFd >= 0 ? 1u : 0u));
    std::vector<uint8_t> d(netp::kMaxDatagram);
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int ready =
            ::poll(&p, 1, static_cast<int>(std::clamp<Ms::rep>(timeout.count(), -1, INT_MAX)));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0)
            fail(Exit::Timeout, "no answer from the daemon in time");
        const ssize_t n = ::recv(fd, d.data(), d.size(), MSG_DONTWAIT);
        // A reset is reported before what was queued: a refusal may still be there to read.
        if (n < 0 && (errno == EAGAIN || errno == EINTR || errno == ECONNRESET))
            continue;
        if (n < static_cast<ssize_t>(netp::ctl::answer::kText))
            fail(Exit::NoDaemon,
                 sent ? "the daemon closed the connection" : "the daemon did not take the request");
        if (wire::getU32(d.data(), netp::ctl::answer::kId) != r.id &&
            wire::getU32(d.data(), netp::ctl::answer::kId) != 0)
            continue;  // not this request's
        const std::string text(d.begin() + netp::ctl::answer::kText, d.begin() + n);
        switch (static_cast<netp::ctl::Kind>(d[netp::ctl::answer::kKind])) {
            case netp::ctl::Kind::Out:
                std::fwrite(text.data(), 1, text.size(), stdout);
                std::fflush(stdout);
                break;
            case netp::ctl::Kind::Err:
                std::fwrite(text.data(), 1, text.size(), stderr);
                break;
            case netp::ctl::Kind::Exit:
                return std::atoi(text.c_str());
            case netp::ctl::Kind::Refused:
                fail(Exit::Refused, "refused by the daemon (" + text + ")");
        }
    }
}

// The file a capturing command writes to, named by the request's last word (taken off it);
// created names it when it was made here, to remove if nothing is captured.
netp::Fd openCapture(netp::ctl::Request& r, std::string& created) {
    const std::string path = r.args.back();
    r.args.pop_back();
    const bool force = r.has("force");
    // Not blocking: replacing a FIFO would wait for its reader, for ever. Not through a
    // symbolic or hard link, which another user may have put where root's capture goes; and
    // emptied only once it is known to be a regular file of its own.
    netp::Fd file(
        ::open(path.c_str(),
               O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW | (force ? 0 : O_EXCL),
               kCaptureMode));
    struct stat st {};
    if (file.valid() && (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)))
        fail(Exit::Usage, "cannot create " + path + ": not a regular file");
    if (!file.valid())
        fail(Exit::Usage,
             "cannot create " + path + ": " +
                 (errno == ENXIO || errno == ELOOP ? "not a regular file" : std::strerror(errno)) +
                 (errno == EEXIST ? " (--force replaces it)" : ""));
    if (st.st_nlink > 1)
        fail(Exit::Usage, "cannot create " + path + ": it has other hard links");
    if (::ftruncate(file.get(), 0) != 0)
        fail(Exit::Usage, "cannot empty " + path + ": " + std::strerror(errno));
    created = force ? "" : path;
    return file;
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    CLI::App app{"l2ptctl: show, debug, configure and watch a switch run by l2pt-chassisd",
                 "l2ptctl"};
    app.set_version_flag("--version", "l2ptctl " L2PT_VERSION);
    app.require_subcommand(1);
    std::string runDir;
    int timeoutSeconds = kDefaultTimeoutSeconds;
    app.add_option("--run-dir", runDir,
                   "the chassis daemon's run directory (default: the one under " +
                       std::string(netp::ctl::kDefaultRunRoot) + ")")
        ->envname("L2PT_RUN_DIR");
    app.add_option("--timeout", timeoutSeconds, "seconds to wait for the daemon (default 10)")
        ->check(CLI::Range(1, kMaxTimeoutSeconds));
    std::deque<Parsed> parsed;
    Parsed* chosen = nullptr;
    for (const auto& spec : netp::ctl::commands())
        addCommand(app, spec, parsed.emplace_back(), chosen);
    // A word that only begins commands ("vlan") is listed with the words that follow it.
    for (CLI::App* word : app.get_subcommands({})) {
        std::string next;
        for (const CLI::App* s : word->get_subcommands({}))
            next += (next.empty() ? "" : "|") + s->get_name();
        if (word->get_description().empty())
            word->description(next);
    }
    // Words after "--" are arguments, whatever they look like ("show -- --json").
    std::vector<std::string> words(argv + 1, argv + argc);
    const auto dashes = std::find(words.begin(), words.end(), "--");
    const std::vector<std::string> tail(dashes == words.end() ? dashes : dashes + 1, words.end());
    words.erase(dashes, words.end());
    std::reverse(words.begin(), words.end());  // CLI11 takes them last first
    try {
        app.parse(words);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : static_cast<int>(Exit::Usage);
    }
    if (chosen == nullptr)
        fail(Exit::Usage, "no command given (--help lists them)");
    chosen->args.insert(chosen->args.end(), tail.begin(), tail.end());
    if (runDir.empty())
        runDir = defaultRunDir();
    netp::ctl::Request r = requestOf(*chosen);
    const Ms timeout = std::chrono::seconds(timeoutSeconds);
    Ms answerTimeout = timeout;
    netp::Fd file;
    std::string created;
    if (chosen->spec->opensFile) {
        file = openCapture(r, created);
        const auto seconds = r.value("seconds");
        // Read as the daemon reads it; what it refuses is answered at once.
        answerTimeout =
            timeout +
            (seconds
                 ? std::chrono::seconds(ozm::shell::parseNumber(*seconds, UINT32_MAX).value_or(0))
                 : netp::ctl::kCaptureDefault);
    }
    if (chosen->spec->streams)
        answerTimeout = Ms(-1);
    netp::Fd fd = connectTo(runDir, std::chrono::steady_clock::now() + timeout);
    const int status = converse(fd.get(), r, file.get(), answerTimeout);
    if (status == static_cast<int>(Exit::Usage) && !created.empty())
        ::unlink(created.c_str());  // nothing was captured into it
    return status;
}
