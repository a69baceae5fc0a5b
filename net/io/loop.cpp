#include "net/io/loop.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace netp {

namespace {

constexpr unsigned kGenerationShift = 32;

std::runtime_error epollError(const char* what) {
    return std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

}  // namespace

Loop::Loop() : epoll_(::epoll_create1(EPOLL_CLOEXEC)) {
    if (!epoll_.valid())
        throw epollError("epoll_create1");
}

void Loop::watch(int fd, uint32_t events, Handler handler) {
    if (fd < 0)
        throw std::runtime_error("watch: no descriptor");
    const auto at = static_cast<size_t>(fd);
    if (at >= slots_.size())
        slots_.resize(at + 1);
    Slot& s = slots_[at];
    epoll_event e{};
    e.events = events;
    e.data.u64 = static_cast<uint64_t>(++s.generation) << kGenerationShift | at;
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &e) != 0)
        throw epollError("epoll_ctl");
    s.handler = std::make_unique<Handler>(std::move(handler));
    s.live = true;
}

void Loop::modify(int fd, uint32_t events) {
    if (!watching(fd))
        return;
    epoll_event e{};
    e.events = events;
    e.data.u64 = static_cast<uint64_t>(slots_[static_cast<size_t>(fd)].generation)
                     << kGenerationShift |
                 static_cast<uint64_t>(fd);
    ::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, fd, &e);
}

void Loop::unwatch(int fd) {
    if (!watching(fd))
        return;
    Slot& s = slots_[static_cast<size_t>(fd)];
    ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr);
    s.live = false;
    ++s.generation;  // events of this pass for the old owner are stale now
    retired_.push_back(std::move(s.handler));
}

bool Loop::watching(int fd) const {
    return fd >= 0 && static_cast<size_t>(fd) < slots_.size() &&
           slots_[static_cast<size_t>(fd)].live;
}

bool Loop::runOnce(std::chrono::milliseconds maxWait) {
    now_ = Clock::now();
    auto wait = maxWait;
    if (!timers_.empty()) {
        const auto untilTimer =
            std::chrono::ceil<std::chrono::milliseconds>(timers_.begin()->first - now_);
        wait = std::clamp(untilTimer, std::chrono::milliseconds(0), maxWait);
    }
    int n;
    do {
        n = ::epoll_wait(epoll_.get(), events_.data(), static_cast<int>(events_.size()),
                         static_cast<int>(wait.count()));
    } while (n < 0 && errno == EINTR);
    now_ = Clock::now();
    if (n < 0)
        return false;
    if (onWake_)
        onWake_();
    for (const epoll_event& e : std::span(events_).first(static_cast<size_t>(n))) {
        const auto at = static_cast<size_t>(static_cast<uint32_t>(e.data.u64));
        const auto generation = static_cast<uint32_t>(e.data.u64 >> kGenerationShift);
        if (at < slots_.size() && slots_[at].live && slots_[at].generation == generation) {
            Handler* h = slots_[at].handler.get();
            (*h)(e.events);
        }
    }
    runTimers();
    retired_.clear();
    return true;
}

void Loop::runTimers() {
    while (!timers_.empty() && timers_.begin()->first <= now_) {
        Timer* t = timers_.begin()->second;
        timers_.erase(timers_.begin());
        t->armed_ = false;
        t->fn_();  // may arm it again, or destroy it
    }
}

void Loop::Timer::arm(Clock::time_point at) {
    cancel();
    at_ = loop_.timers_.emplace(at, this);
    armed_ = true;
}

void Loop::Timer::cancel() {
    if (!armed_)
        return;
    loop_.timers_.erase(at_);
    armed_ = false;
}

}  // namespace netp
