// The platform's in-process state: one object, created by installBackend and dropped by
// uninstallBackend. Private to the platform's sources.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/backend.h"
#include "platform/swp.h"

namespace ozm::detail {

// A descriptor owned by the platform, closed when dropped.
class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd();
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_ = -1;
};

// ---- tasks

struct TaskState {
    std::map<uint32_t, TaskIdentity> keys;
    uint32_t nextKey = 1;
};

// ---- event log

struct LogHandle {
    std::string name;
    uint32_t service = 0;
    uint32_t severityMask = 0;
    int registeredValue = 0;
};

struct LogState {
    std::map<uint32_t, LogHandle> handles;
    uint32_t nextHandle = 1;
    std::map<uint32_t, const char*> catalogue;  // code -> format, as programs registered them
};

// ---- IPC

struct IpcKey {
    uint32_t service;
    uint32_t instance;
    IpcEndpoint endpoint;
    uint32_t reqQueue;
    uint32_t tmrQueue;
};

struct IpcState {
    std::map<uint32_t, IpcKey> keys;
    std::map<uint32_t, int> queueFds;  // queue handle -> descriptor
    uint32_t nextKey = 1;
};

// ---- memory

enum class BlockKind { Fixed, Variable };

struct PoolSite {
    std::string module;
    int line;
    uint32_t blocks;
};

// One fixed pool or one size class of a variable partition. Block memory comes in chunks that
// double in size (chunk k holds kFirstChunkBlocks << k blocks, the last one cut at the
// capacity), carved one block at a time, so an unused pool costs nothing.
struct Pool {
    std::string name;
    std::string faultPoint;  // "pool:<name>" or "var:<size>"
    uint32_t id;
    uint32_t blockSize;
    size_t stride;
    uint32_t capacity;
    BlockKind kind;
    std::vector<std::unique_ptr<std::byte[]>> chunks;
    uint32_t carved = 0;             // blocks taken out of the chunks so far
    std::vector<uint32_t> siteOf;    // per carved block: its site, or kFreeBlock
    std::vector<uint32_t> freeList;  // carved blocks that are free
    std::vector<PoolSite> sites;
    std::unordered_map<std::string, uint32_t> siteIndex;  // "module:line" -> index in sites
    uint32_t lastSite = 0;
    uint32_t inUse = 0;
    uint32_t peak = 0;
    uint64_t allocs = 0;
    uint64_t failures = 0;
};

inline constexpr uint32_t kFreeBlock = 0xFFFFFFFFu;

struct FixedPartition {
    uint32_t first;
    uint32_t end;
    uint32_t owner;
};

struct VarPartition {
    uint32_t owner;
    std::vector<std::unique_ptr<Pool>> classes;  // ascending block size
};

struct ChunkRef {
    Pool* pool;
    uint32_t chunk;
};

struct MemState {
    std::vector<FixedPartition> fixedPartitions;
    std::map<uint32_t, std::unique_ptr<Pool>> pools;  // fixed pools by id
    std::map<uint32_t, VarPartition> varPartitions;   // by partition id
    std::map<uintptr_t, ChunkRef> chunkAt;            // chunk start address -> its pool
};

// ---- sequenced queues

struct SwpPipe {
    Fd readEnd;
    Fd writeEnd;
    bool signalled = false;
};

struct SwpMsg {
    uint8_t* buf;
    uint32_t len;
    uint32_t seq;
    uint64_t deadline;  // tick at which an unacknowledged transmission is due again
};

struct SwpQueue {
    OzmSwpQueueCtrl ctrl{};
    uint32_t ownService = 0;
    int pipe = -1;
    OzmSwpMallocFn mallocFn = nullptr;
    OzmSwpMfreeFn mfreeFn = nullptr;
    OzmSwpErrFn errFn = nullptr;
    std::deque<SwpMsg> inFlight;  // in order of sequence
    std::deque<SwpMsg> waiting;   // FIFO, not yet transmitted
    bool retired = false;         // its removal failed: sends nothing, gives buffers back
};

struct SwpState {
    std::map<int, SwpPipe> pipes;  // by read descriptor
    std::map<uint32_t, std::unique_ptr<SwpQueue>> queues;
    uint32_t nextQueue = 1;
    uint32_t sessionCounter = 0;
};

// ---- all of it

struct State {
    TaskState tasks;
    LogState logs;
    IpcState ipc;
    MemState mem;
    SwpState swp;
};

// The state of the installed backend; aborts when none is installed.
State& state();

// Closes a sequenced-queue pipe (both ends) when fd is the read end of one; false otherwise.
bool swpClosePipe(int fd);

// Non-blocking read of one datagram scattered over parts. The datagram's length (above what the
// parts hold when it was cut to them, and *truncated set), or -1 when none waits.
long recvDatagram(int fd, std::span<const std::span<uint8_t>> parts, bool* truncated);

}  // namespace ozm::detail
