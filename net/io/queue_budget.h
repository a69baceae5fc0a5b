// The memory the output queues of one kind of connection (the tasks', the clients') hold
// together. Each queue may always hold its floor; what it holds beyond comes from a pool the
// queues share, so that peers reading nothing, however many, cost the daemon at most their
// floors and the pool, and a queue that finds the pool spent overflows.
#pragma once

#include <cstddef>

namespace netp {

class QueueBudget {
  public:
    QueueBudget(size_t floor, size_t pool) : floor_(floor), pool_(pool) {}
    QueueBudget(const QueueBudget&) = delete;
    QueueBudget& operator=(const QueueBudget&) = delete;

    // The part of a queue's bytes that the pool pays for.
    size_t beyondFloor(size_t bytes) const { return bytes > floor_ ? bytes - floor_ : 0; }
    // Takes n bytes of the pool; false, taking nothing, when fewer are left.
    bool take(size_t n) {
        if (n > pool_ - taken_)
            return false;
        taken_ += n;
        return true;
    }
    void give(size_t n) { taken_ -= n < taken_ ? n : taken_; }
    size_t taken() const { return taken_; }

  private:
    size_t floor_;
    size_t pool_;
    size_t taken_ = 0;
};

}  // namespace netp
