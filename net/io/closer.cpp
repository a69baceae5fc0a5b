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

void Closer::push(std::shared_ptr<Job> job) {
    const std::lock_guard lock(state_->m);
    state_->queue.push_back(std::move(job));
    ++state_->waiting;
    state_->cv.notify_one();
}

void Closer::close(Fd fd) {
    if (!fd.valid())
        return;
    auto job = std::make_shared<Job>();
    job->fd = std::move(fd);
    push(std::move(job));
}

Closer::Checked Closer::check(Fd fd, std::function<std::string(int)> check,
                              std::chrono::milliseconds limit) {
    const bool busy = closing() > limit;
    auto job = std::make_shared<Job>();
    job->fd = std::move(fd);
    job->check = std::move(check);
    push(job);
    std::unique_lock lock(state_->m);
    if (busy || !state_->done.wait_for(lock, limit, [&] { return job->done; })) {
        job->abandoned = true;
        return {};
    }
    return {true, job->refusal, std::move(job->fd)};
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
        const std::shared_ptr<Job> job = std::move(s->queue.front());
        s->queue.pop_front();
        s->since = std::chrono::steady_clock::now();
        lock.unlock();
        std::string refusal = job->check ? job->check(job->fd.get()) : std::string();
        lock.lock();
        Fd closing;  // what this thread closes: all but a descriptor its check let go back
        if (job->check) {
            job->refusal = std::move(refusal);
            job->done = true;
            s->done.notify_all();
        }
        if (!job->check || job->abandoned || !job->refusal.empty())
            closing = std::move(job->fd);
        lock.unlock();
        closing.reset();
        lock.lock();
        s->since = {};
        --s->waiting;
    }
}

}  // namespace netp
