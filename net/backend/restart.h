// l2ptd's way through a restart of its chassis daemon. The task keeps its state in static
// globals and the new daemon's chassis starts from scratch, so a task that lost its daemon
// starts over: the process executes its program again (same pid, same command line, nothing
// of the old image kept), and that new image waits with a bounded backoff until a daemon
// serves, which takes it as a new session.
//
// Also the signals l2ptd serves itself (SIGTERM, SIGINT, SIGHUP): blocked in every thread from
// the boot on and read from a signalfd, by the parked main thread and by the wait for a daemon.
#pragma once

#include <signal.h>

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net/io/fd.h"
#include "net/log/logger.h"

namespace netp {

// Blocks the served signals in the calling thread and the threads it starts; the mask before.
sigset_t blockServedSignals();
// A signalfd for them; invalid (errno set) when none can be had.
Fd servedSignalFd();
// Serves the signal pending on fd, if any: SIGHUP reopens the log file; SIGTERM and SIGINT are
// logged and end the process as the signal would have, had it not been blocked.
void serveSignal(int fd, Logger& log);

class Restart {
  public:
    static constexpr std::chrono::milliseconds kFirstRetry{50};
    static constexpr std::chrono::milliseconds kLastRetry{1000};
    // At the cap, one line for this many attempts (a minute's worth).
    static constexpr unsigned kAttemptsPerLine = 60;

    // At the process's start, before any thread: its command line, the signal mask it was given,
    // and what the image before said (the environment) when this one is a start over.
    Restart(int argc, char** argv, const sigset_t& startMask);

    // This image started over after losing its daemon: it waits for one rather than failing.
    bool startedOver() const { return startedOver_; }
    // Waits before the next attempt to reach the daemon, serving the signals meanwhile; cut
    // short when the daemon's task socket appears in runDir, so that the task is back as soon
    // as a new daemon listens, whatever the backoff had come to. A run directory missing, or
    // removed and made again, is watched again as it comes (its parent says so). Whether the
    // wait was cut short (false: it ran out).
    bool await(Logger& log, const std::string& runDir);
    // An attempt failed: logs why (the first time, then a line every kAttemptsPerLine) and
    // doubles the wait, up to kLastRetry.
    void failed(Logger& log, std::string_view why);
    // While this image relays PDUs with no daemon: returns once one serves, that is once a
    // task socket is made anew in runDir (the new image's attempts wait for it to listen), or
    // one listens at a look, the first at once (a daemon that closed some of the task's
    // channels still serves), then once a kLastRetry; a look that finds one listening looks
    // again kFirstRetry later, past the end of a daemon whose heartbeat went first. A line
    // once a minute says it goes on.
    void awaitDaemon(Logger& log, const std::string& runDir);
    // The daemon took this image as a session: what the start line adds ("" on a first start).
    // The run directory is no longer watched.
    std::string connected();
    // The daemon went away, or one serves again after it did: why is logged, then the program
    // is executed again, without the descriptors and threads of this image, with the mask the
    // process started with and the served signals still blocked. Ends the process (status
    // kExitNoStartOver) when that cannot be done.
    [[noreturn]] void startOver(Logger& log, const std::string& why);

    static constexpr int kExitNoStartOver = 3;

  private:
    std::string exe_;
    std::vector<std::string> argv_;
    sigset_t startMask_;
    bool startedOver_ = false;
    std::chrono::milliseconds delay_ = kFirstRetry;
    unsigned attempts_ = 0;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    // inotify on the run directory and on its parent, where a removed run directory is made
    // again; made at the first wait (shared by copies). A watch is -1 while it is not there.
    struct Watch {
        Fd fd;  // invalid where inotify cannot be had
        int dir = -1;
        int parent = -1;
    };
    // Watches the parent, then the run directory, when they are not watched yet: whether the
    // task socket is there already (it made no event).
    bool arm(const std::string& runDir);
    // Reads the events: whether the task socket appeared, in the directory watched or in one
    // made again and watched anew.
    bool socketAppeared(const std::string& runDir);
    static constexpr size_t kWatchBuffer = 4096;
    std::shared_ptr<Watch> watch_;
};

}  // namespace netp
