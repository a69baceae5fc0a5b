#include "net/backend/restart.h"

#include <linux/close_range.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <thread>
#include <utility>

#include "net/io/socket.h"
#include "net/proto/protocol.h"

extern char** environ;

namespace netp {

namespace {

// How an image tells the next one it started over, and how long to wait before its first
// attempt (ms): longer when the session it had ended quickly, so that a daemon which takes the
// task and drops it again sees it come back at most once a kLastRetry.
constexpr char kStartOverVar[] = "L2PTD_START_OVER_MS";
constexpr const char* kSelfExe = "/proc/self/exe";
constexpr unsigned kFirstFd = 3;  // stdin, stdout and stderr go on to the new image

sigset_t servedSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        sigaddset(&set, sig);
    return set;
}

std::string msText(std::chrono::milliseconds ms) {
    return std::to_string(ms.count()) + " ms";
}

// The program's path as it was at the start: after an upgrade replaced the file, the new
// program runs against the new daemon.
std::string programPath() {
    std::string path(PATH_MAX, '\0');
    const ssize_t n = ::readlink(kSelfExe, path.data(), path.size());
    if (n <= 0 || static_cast<size_t>(n) >= path.size())
        return kSelfExe;
    path.resize(static_cast<size_t>(n));
    return path;
}

// The run directory's parent and its name there.
std::pair<std::string, std::string> parentAndName(const std::string& runDir) {
    std::filesystem::path p = std::filesystem::path(runDir).lexically_normal();
    if (p.filename().empty())
        p = p.parent_path();
    const std::string parent = p.parent_path().string();
    return {parent.empty() ? "." : parent, p.filename().string()};
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> p;
    for (std::string& s : strings)
        p.push_back(s.data());
    p.push_back(nullptr);
    return p;
}

}  // namespace

sigset_t blockServedSignals() {
    const sigset_t set = servedSignals();
    sigset_t before;
    pthread_sigmask(SIG_BLOCK, &set, &before);
    return before;
}

Fd servedSignalFd() {
    const sigset_t set = servedSignals();
    return Fd(::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
}

void serveSignal(int fd, Logger& log) {
    signalfd_siginfo si{};
    if (::read(fd, &si, sizeof si) != static_cast<ssize_t>(sizeof si))
        return;
    const int sig = static_cast<int>(si.ssi_signo);
    if (sig == SIGHUP) {
        log.reopen();  // logrotate moved the file away
        return;
    }
    // Logged, then the process ends as the signal would have, had it not been blocked: a
    // supervisor sees the stop it asked for.
    log.info("ending: signal " + std::to_string(sig));
    std::signal(sig, SIG_DFL);
    const sigset_t set = servedSignals();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    ::raise(sig);
}

Restart::Restart(int argc, char** argv, const sigset_t& startMask)
    : exe_(programPath()), argv_(argv, argv + argc), startMask_(startMask) {
    const char* handed = std::getenv(kStartOverVar);
    if (handed == nullptr)
        return;
    startedOver_ = true;
    int ms = 0;  // left so when the text is no number: the first delay, then
    const std::string_view text(handed);
    (void)std::from_chars(text.data(), text.data() + text.size(), ms);
    delay_ = std::clamp(std::chrono::milliseconds(ms), kFirstRetry, kLastRetry);
    // Not for what the task starts, nor for a later first start.
    ::unsetenv(kStartOverVar);
}

bool Restart::arm(const std::string& runDir) {
    Watch& w = *watch_;
    if (!w.fd.valid() || w.dir >= 0)
        return false;
    // The parent first: a run directory made after the attempt below is heard of there. With
    // neither (no parent), the backoff alone.
    constexpr uint32_t kMade = IN_CREATE | IN_MOVED_TO | IN_ONLYDIR;
    if (w.parent < 0)
        w.parent = ::inotify_add_watch(w.fd.get(), parentAndName(runDir).first.c_str(), kMade);
    w.dir = ::inotify_add_watch(w.fd.get(), runDir.c_str(), kMade);
    const std::string socket = runDir + "/" + kTaskSocket;
    return w.dir >= 0 && ::access(socket.c_str(), F_OK) == 0;
}

bool Restart::await(Logger& log, const std::string& runDir) {
    if (!watch_) {
        watch_ = std::make_shared<Watch>();
        watch_->fd.reset(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
        // A socket there already waits out the first delay: a daemon that takes the task and
        // drops it again sees it no more often than the backoff says.
        (void)arm(runDir);
    } else if (arm(runDir)) {
        return true;  // the directory is back, with the socket made before it was watched
    }
    const Fd signals = servedSignalFd();
    const auto until = std::chrono::steady_clock::now() + delay_;
    for (auto now = std::chrono::steady_clock::now(); now < until;
         now = std::chrono::steady_clock::now()) {
        std::array<pollfd, 2> p{pollfd{signals.get(), POLLIN, 0},
                                pollfd{watch_->fd.get(), POLLIN, 0}};
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - now);
        if (::poll(p.data(), p.size(), static_cast<int>(left.count())) <= 0)
            continue;
        if (p[0].revents != 0)
            serveSignal(signals.get(), log);
        if (p[1].revents != 0 && socketAppeared(runDir))
            return true;
    }
    return false;
}

bool Restart::socketAppeared(const std::string& runDir) {
    Watch& w = *watch_;
    const std::string dirName = parentAndName(runDir).second;
    // Whole events only: the kernel never splits one across reads.
    alignas(inotify_event) std::array<char, kWatchBuffer> buf{};
    bool appeared = false;
    bool rearm = false;  // the run directory's watch is gone, or the directory made again
    for (ssize_t n; (n = ::read(w.fd.get(), buf.data(), buf.size())) > 0;) {
        for (size_t at = 0; at + sizeof(inotify_event) <= static_cast<size_t>(n);) {
            inotify_event ev{};
            std::memcpy(&ev, buf.data() + at, sizeof ev);
            const size_t next = at + sizeof ev + ev.len;
            if (next > static_cast<size_t>(n))
                break;
            const std::string_view name(buf.data() + at + sizeof ev,
                                        ::strnlen(buf.data() + at + sizeof ev, ev.len));
            // IN_IGNORED: the watched directory was removed, and its watch with it.
            if (ev.wd == w.dir && (ev.mask & IN_IGNORED) != 0) {
                w.dir = -1;
                rearm = true;
            } else if (ev.wd == w.dir && name == kTaskSocket) {
                appeared = true;
            } else if (ev.wd == w.parent && (ev.mask & IN_IGNORED) != 0) {
                w.parent = -1;
            } else if (ev.wd == w.parent && name == dirName) {
                rearm = true;
            }
            at = next;
        }
    }
    return appeared || (rearm && arm(runDir));
}

void Restart::failed(Logger& log, std::string_view why) {
    ++attempts_;
    if (attempts_ == 1) {
        log.warning("no chassis daemon serves yet (" + std::string(why) + "): trying again, " +
                    msText(kFirstRetry) + " to " + msText(kLastRetry) + " apart");
    } else if (attempts_ % kAttemptsPerLine == 0) {
        log.info("still no chassis daemon after " + std::to_string(attempts_) + " attempts (" +
                 std::string(why) + ")");
    }
    delay_ = std::min(2 * delay_, kLastRetry);
}

namespace {

// Whether a daemon listens on socket at two looks kFirstRetry apart: the listener of a daemon
// on its way out, whose heartbeat closed before it, is not taken for one that serves.
bool listening(const std::string& socket) {
    if (!connectSeqpacket(socket, true).valid())
        return false;
    std::this_thread::sleep_for(Restart::kFirstRetry);
    return connectSeqpacket(socket, true).valid();
}

}  // namespace

void Restart::awaitDaemon(Logger& log, const std::string& runDir) {
    const std::string socket = runDir + "/" + kTaskSocket;
    const auto since = std::chrono::steady_clock::now();
    delay_ = kLastRetry;
    watch_.reset();  // the wait of this image's start over closed its watches (connected())
    for (unsigned looks = 1; !listening(socket); ++looks) {
        if (await(log, runDir))
            return;
        if (looks % kAttemptsPerLine == 0) {
            const auto s = std::chrono::duration_cast<std::chrono::seconds>(
                std::chrono::steady_clock::now() - since);
            log.info("still no chassis daemon after " + std::to_string(s.count()) +
                     " s: relaying PDUs on the data path it granted");
        }
    }
}

std::string Restart::connected() {
    if (watch_)
        *watch_ = Watch();
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start_);
    if (!startedOver_)
        return {};
    return " (started over: attempt " + std::to_string(attempts_ + 1) + ", " + msText(took) +
           " after the start)";
}

void Restart::startOver(Logger& log, const std::string& why) {
    // An image that lived long enough waits briefly; one that did not, twice as long as it did.
    const bool lasted = std::chrono::steady_clock::now() - start_ >= kLastRetry;
    const std::chrono::milliseconds next = lasted ? kFirstRetry : std::min(2 * delay_, kLastRetry);
    log.warning(why);
    // The environment as this image has it: the start left the hand-over out.
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e)
        env.emplace_back(*e);
    env.push_back(std::string(kStartOverVar) + "=" + std::to_string(next.count()));
    std::vector<std::string> args = argv_;
    const std::vector<char*> argp = pointers(args);
    const std::vector<char*> envp = pointers(env);
    // Nothing of this image goes on: every descriptor past the standard ones closes on the
    // exec (marked, not closed, while the task's thread may still use them). The served
    // signals stay blocked, so that one arriving now waits for the new image, which ends on it.
    std::fflush(nullptr);
    if (::close_range(kFirstFd, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
        log.error(std::string("ending: cannot start over: ") + std::strerror(errno));
        std::_Exit(kExitNoStartOver);
    }
    sigset_t mask = startMask_;
    const sigset_t served = servedSignals();
    sigorset(&mask, &mask, &served);
    pthread_sigmask(SIG_SETMASK, &mask, nullptr);
    ::execve(exe_.c_str(), argp.data(), envp.data());
    ::execve(kSelfExe, argp.data(), envp.data());
    log.error(std::string("ending: cannot start over: ") + std::strerror(errno));
    std::_Exit(kExitNoStartOver);
}

}  // namespace netp
