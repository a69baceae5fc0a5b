#include "net/io/closer.h"

#include <pthread.h>
#include <signal.h>

#include <thread>
#include <utility>

namespace netp {

Closer::Closer() : state_(std::make_shared<State>()) {
    // Its signals are the process's other threads' to take (a signalfd, say): it starts with
    // every one blocked.
    sigset_t all;
    sigset_t was;
    ::sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &was);
    std::thread([s = state_] { run(s); }).detach();
    ::pthread_sigmask(SIG_SETMASK, &was, nullptr);
}

Closer::~Closer() {
    const std::lock_guard lock(state_->m);
    state_->stop = true;
    state_->cv.notify_one();
}

void Closer::close(Fd fd) {
    if (!fd.valid())
        return;
    const std::lock_guard lock(state_->m);
    state_->queue.push_back(std::move(fd));
    ++state_->waiting;
    state_->cv.notify_one();
}

size_t Closer::waiting() const {
    const std::lock_guard lock(state_->m);
    return state_->waiting;
}

std::chrono::steady_clock::duration Closer::closing() const {
    const std::lock_guard lock(state_->m);
    if (state_->since == std::chrono::steady_clock::time_point{})
        return {};
    return std::chrono::steady_clock::now() - state_->since;
}

void Closer::run(const std::shared_ptr<State>& s) {
    std::unique_lock lock(s->m);
    for (;;) {
        s->cv.wait(lock, [&] { return s->stop || !s->queue.empty(); });
        if (s->queue.empty())
            return;  // stopped, and nothing left
        std::vector<Fd> batch = std::exchange(s->queue, {});
        for (Fd& fd : batch) {
            s->since = std::chrono::steady_clock::now();
            lock.unlock();
            fd.reset();
            lock.lock();
            s->since = {};
            --s->waiting;
        }
    }
}

}  // namespace netp
