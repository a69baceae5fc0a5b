#include "chassis/scheduler.h"

#include <stdexcept>

namespace chassis {

const char* taskStateName(TaskState s) {
    switch (s) {
        case TaskState::None:
            return "none";
        case TaskState::Running:
            return "running";
        case TaskState::Parked:
            return "parked";
        case TaskState::Ended:
            return "ended";
        case TaskState::Exited:
            return "exited";
        case TaskState::Killed:
            return "killed";
    }
    return "?";
}

TaskThread::~TaskThread() {
    if (state_ == TaskState::Parked)
        kill();
    if (thread_.joinable())
        thread_.join();
}

bool TaskThread::spawn(OzmTaskEntry entry, int argc, char** argv, EndFn onEnd, void* ctx) {
    std::lock_guard lock(m_);
    if (state_ != TaskState::None)
        return false;
    state_ = TaskState::Running;
    turn_ = Turn::Task;
    thread_ = std::thread(&TaskThread::run, this, entry, argc, argv, onEnd, ctx);
    return true;
}

void TaskThread::run(OzmTaskEntry entry, int argc, char** argv, EndFn onEnd, void* ctx) {
    {
        std::unique_lock lock(m_);
        cv_.wait(lock, [&] { return turn_ == Turn::Task; });
    }
    TaskState end = TaskState::Ended;
    int rc = 0;
    try {
        rc = entry(argc, argv);
    } catch (const ProcessExit&) {
        end = TaskState::Exited;
    } catch (const Killed&) {
        end = TaskState::Killed;
    }
    onEnd(ctx, end, rc);
    std::lock_guard lock(m_);
    state_ = end;
    deadline_.reset();
    turn_ = Turn::Driver;
    cv_.notify_all();
}

void TaskThread::park(std::optional<uint64_t> deadlineUs) {
    // Only the task yields: a driver that waited here would wait for itself.
    if (!onTaskThread())
        throw std::logic_error("a yield point was reached outside the task");
    std::unique_lock lock(m_);
    if (killing_)
        throw Killed{};
    deadline_ = deadlineUs;
    state_ = TaskState::Parked;
    turn_ = Turn::Driver;
    cv_.notify_all();
    cv_.wait(lock, [&] { return turn_ == Turn::Task; });
    state_ = TaskState::Running;
    if (killing_)
        throw Killed{};
}

void TaskThread::exitProcess() {
    throw ProcessExit{};
}

void TaskThread::waitParked() {
    std::unique_lock lock(m_);
    cv_.wait(lock, [&] { return state_ != TaskState::None && turn_ == Turn::Driver; });
}

void TaskThread::resume() {
    std::unique_lock lock(m_);
    if (state_ != TaskState::Parked)
        return;
    turn_ = Turn::Task;
    cv_.notify_all();
    cv_.wait(lock, [&] { return turn_ == Turn::Driver; });
}

void TaskThread::kill() {
    {
        std::lock_guard lock(m_);
        killing_ = true;
    }
    resume();
    if (thread_.joinable() && !alive())
        thread_.join();
}

}  // namespace chassis
