// The task thread and the baton: the task and the driver (a test, or l2ptd's scenario runner)
// run on two threads but never at once, so a run is deterministic and the chassis models need
// no locks. The task gives the baton back whenever it parks; the driver resumes it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/process.h"

namespace chassis {

enum class TaskState {
    None,     // not spawned
    Running,  // holds the baton
    Parked,   // waits at a yield point, with or without a deadline
    Ended,    // its entry returned
    Exited,   // it ended the process
    Killed,   // ended by the driver
};
const char* taskStateName(TaskState s);

class TaskThread {
  public:
    TaskThread() = default;
    TaskThread(const TaskThread&) = delete;
    TaskThread& operator=(const TaskThread&) = delete;
    // Kills a task that is still parked and joins the thread.
    ~TaskThread();

    // Starts entry(argc, argv) on its own thread, which runs at once (it holds the baton).
    // onEnd is called on the task thread with the final state and the entry's result.
    using EndFn = void (*)(void* ctx, TaskState state, int rc);
    bool spawn(OzmTaskEntry entry, int argc, char** argv, EndFn onEnd, void* ctx);

    // Task side. Hands the baton to the driver until resumed; throws when the driver kills.
    void park(std::optional<uint64_t> deadlineUs);
    // Ends the task from inside (the process exit of the simulated chassis).
    [[noreturn]] void exitProcess();

    // Driver side.
    void waitParked();  // until the spawned task first parks or ends
    void resume();      // runs a parked task until it parks again or ends
    void kill();        // ends a parked task: its yield point throws
    TaskState state() const { return state_; }
    bool alive() const { return state_ == TaskState::Running || state_ == TaskState::Parked; }
    std::optional<uint64_t> deadline() const { return deadline_; }
    bool onTaskThread() const { return std::this_thread::get_id() == thread_.get_id(); }

  private:
    enum class Turn { Driver, Task };
    struct Killed {};
    struct ProcessExit {};

    void run(OzmTaskEntry entry, int argc, char** argv, EndFn onEnd, void* ctx);

    mutable std::mutex m_;
    std::condition_variable cv_;
    Turn turn_ = Turn::Driver;
    bool killing_ = false;
    TaskState state_ = TaskState::None;
    std::optional<uint64_t> deadline_;
    std::thread thread_;
};

}  // namespace chassis
