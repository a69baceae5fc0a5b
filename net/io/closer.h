// Descriptors that clients handed over, closed on a thread of its own. Closing one may wait for
// whoever serves its file (a FUSE file's close waits for its server's answer to a flush, which
// a hostile server never gives, and no signal ends that wait): that thread waits then, never
// the loop.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

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
    // Descriptors handed over and not closed yet.
    size_t waiting() const;
    // How long the close under way has taken (zero when none is under way).
    std::chrono::steady_clock::duration closing() const;

  private:
    struct State {
        mutable std::mutex m;
        std::condition_variable cv;
        std::vector<Fd> queue;
        size_t waiting = 0;                             // queued, and the batch being closed
        std::chrono::steady_clock::time_point since{};  // of the close under way
        bool stop = false;
    };
    static void run(const std::shared_ptr<State>& s);
    std::shared_ptr<State> state_;  // the thread's too: it may outlive this
};

}  // namespace netp
