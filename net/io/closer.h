// Descriptors that clients handed over, checked and closed on a thread of its own. Closing one,
// or asking its filesystem about it, may wait for whoever serves its file (a FUSE file's close
// waits for its server's answer to a flush, which a hostile server never gives, and no signal
// ends that wait; an NFS server may be gone): that thread waits then, never the loop.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "net/io/fd.h"

namespace netp {

class Closer {
  public:
    // Past this many descriptors waiting to be closed, no more are taken from clients (the
    // kernel drops them unopened: RecvBatch).
    static constexpr size_t kMaxWaiting = 64;

    Closer();
    // The thread is let go: it ends once it has closed what it holds.
    ~Closer();
    Closer(const Closer&) = delete;
    Closer& operator=(const Closer&) = delete;

    void close(Fd fd);
    // What check(fd) said of a descriptor: nothing when fd may be used (it comes back), why
    // not otherwise (fd is closed on the thread). answered is false when the check did not end
    // within its limit, or could not start (the thread busy past it): fd is closed on the
    // thread once the check has ended.
    struct Checked {
        bool answered = false;
        std::string refusal;
        Fd fd;
    };
    Checked check(Fd fd, std::function<std::string(int)> check, std::chrono::milliseconds limit);
    // Descriptors handed over and not closed yet.
    size_t waiting() const;
    // How long the close or check under way has taken (zero when none is under way).
    std::chrono::steady_clock::duration closing() const;

  private:
    struct Job {
        Fd fd;
        std::function<std::string(int)> check;  // none: a close
        bool done = false;
        bool abandoned = false;  // the loop waits no more: fd is the thread's to close
        std::string refusal;
    };
    struct State {
        mutable std::mutex m;
        std::condition_variable cv;    // a job queued, or stop
        std::condition_variable done;  // a check ended
        std::deque<std::shared_ptr<Job>> queue;
        size_t waiting = 0;                             // queued, and the job under way
        std::chrono::steady_clock::time_point since{};  // of the job under way
        bool stop = false;
    };
    void push(std::shared_ptr<Job> job);
    static void run(const std::shared_ptr<State>& s);
    std::shared_ptr<State> state_;  // the thread's too: it may outlive this
};

}  // namespace netp
