// The event loop: descriptors watched with epoll, timers by deadline on the monotonic clock.
// Handlers may unwatch any descriptor, their own included, and a descriptor closed and reused
// within one pass is never served for its previous owner.
#pragma once

#include <sys/epoll.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "net/io/socket.h"

namespace netp {

using Clock = std::chrono::steady_clock;

class Loop {
  public:
    using Handler = std::function<void(uint32_t events)>;

    Loop();  // std::runtime_error when epoll cannot be had
    Loop(const Loop&) = delete;
    Loop& operator=(const Loop&) = delete;

    // Watches fd for events (EPOLLIN, EPOLLOUT); std::runtime_error when epoll refuses it.
    void watch(int fd, uint32_t events, Handler handler);
    void modify(int fd, uint32_t events);
    void unwatch(int fd);
    bool watching(int fd) const;

    // Waits up to maxWait, or until the next timer, runs the handlers of what is ready and then
    // the timers that are due. False when the wait itself failed (errno set).
    bool runOnce(std::chrono::milliseconds maxWait);
    Clock::time_point now() const { return now_; }
    // Runs each time the wait ends, before any handler: the place to bring clocks up to now().
    void onWake(std::function<void()> fn) { onWake_ = std::move(fn); }

    // A deadline that runs fn once when it passes; the owner keeps it where it is (its address
    // is registered), and destroying it cancels it.
    class Timer {
      public:
        Timer(Loop& loop, std::function<void()> fn) : loop_(loop), fn_(std::move(fn)) {}
        ~Timer() { cancel(); }
        Timer(const Timer&) = delete;
        Timer& operator=(const Timer&) = delete;
        void arm(Clock::time_point at);
        void armIn(Clock::duration d) { arm(loop_.now() + d); }
        // Due at once, but at the loop's next pass rather than this one (the loop runs every
        // timer due now before it waits again): what became ready meanwhile is served first.
        void armNextPass() { arm(loop_.now() + Clock::duration(1)); }
        void cancel();
        bool armed() const { return armed_; }

      private:
        friend class Loop;
        Loop& loop_;
        std::function<void()> fn_;
        std::multimap<Clock::time_point, Timer*>::iterator at_;
        bool armed_ = false;
    };

  private:
    // Handlers stay where they are while they run, however the table grows or they are
    // unwatched meanwhile.
    struct Slot {
        std::unique_ptr<Handler> handler;
        uint32_t generation = 0;
        bool live = false;
    };
    static constexpr size_t kEvents = 64;
    void runTimers();

    Fd epoll_;
    std::vector<Slot> slots_;  // by descriptor
    std::vector<std::unique_ptr<Handler>>
        retired_;  // handlers unwatched during a pass, freed after it
    std::multimap<Clock::time_point, Timer*> timers_;
    std::array<epoll_event, kEvents> events_{};
    Clock::time_point now_ = Clock::now();
    std::function<void()> onWake_;
};

}  // namespace netp
