// The sequenced-queue engine: ordered, acknowledged delivery to one peer per queue pair, with a
// window of messages in flight, retransmission on time-out, and the receiving side's check.
//
// A queue's messages are numbered in order of enqueue and transmitted in that order while the
// window has room; the rest wait. An acknowledgement hands its buffer back and opens the window;
// the waiting messages that then fit go out from ozmSwpReadPipe, woken through the queue's
// pipe (or at once for a queue without one). Every transmission arms a timer; a timer that finds
// messages still unacknowledged past their time-out reports through the error callback and sends
// them again with the same sequence numbers.
//
// A queue whose removal fails is retired rather than left running: it sends nothing more, takes
// no new messages, and still hands acknowledged buffers back; closing its pipe releases what it
// holds, so nothing of it outlives the task's teardown.
#include "platform/swp.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <string>

#include "platform/backend.h"
#include "platform/ipc.h"
#include "platform/src/state.h"
#include "platform/wire/header.h"
#include "platform/wire/swp.h"

namespace {

using ozm::detail::SwpMsg;
using ozm::detail::SwpQueue;
using ozm::detail::SwpState;
using swpw::Kind;

// Messages a queue keeps waiting for the window at most; beyond, enqueue refuses.
constexpr size_t kMaxWaiting = 4096;
// The engine's own side of every queue pair is the service on the RPM.
constexpr uint32_t kOwnSlot = 0;
// Bytes the pipe is drained by per read.
constexpr size_t kPipeDrainChunk = 64;

SwpState& swp() {
    return ozm::detail::state().swp;
}

SwpQueue* findQueue(uint32_t handle) {
    auto& queues = swp().queues;
    auto it = queues.find(handle);
    return it != queues.end() ? it->second.get() : nullptr;
}

// A fresh non-zero session: a counter mixed with the clock, so that an engine started again
// does not reuse the sessions of the one before it.
uint32_t newSession() {
    constexpr uint32_t kMixA = 0x7feb352du;
    constexpr uint32_t kMixB = 0x846ca68bu;
    constexpr int kClockShift = 12;
    uint32_t x =
        ++swp().sessionCounter ^ static_cast<uint32_t>(ozm::backend().ticks() << kClockShift);
    x ^= x >> 16;
    x *= kMixA;
    x ^= x >> 15;
    x *= kMixB;
    x ^= x >> 16;
    return x != 0 ? x : 1;
}

void writeArea(uint8_t* m, Kind kind, uint32_t session, uint32_t seq, uint32_t queue,
               uint32_t srcService, uint32_t srcSlot) {
    std::fill(m + hdr::kSwpAreaOff, m + hdr::kSwpAreaOff + hdr::kSwpAreaLen, uint8_t{0});
    swpw::setMagic(m);
    swpw::setKind(m, kind);
    swpw::setSession(m, session);
    swpw::setSeq(m, seq);
    swpw::setQueue(m, queue);
    swpw::setSrcService(m, srcService);
    swpw::setSrcSlot(m, srcSlot);
}

// Header bytes 36-59 of a message from the queue's own side to its peer.
void addressToPeer(uint8_t* m, const SwpQueue& q) {
    hdr::setReserved36(m, 0);
    hdr::setSrcNodeAddr(m, ozm::nodeAddrOf(q.ownService, kOwnSlot));
    hdr::setSrcQueueId(m, ozm::queueIdOf(q.ownService, kOwnSlot, ozm::kRequestQueueKind));
    hdr::setDstSlot(m, q.ctrl.peerSlot);
    hdr::setDstNodeAddr(m, ozm::nodeAddrOf(q.ctrl.peerService, q.ctrl.peerSlot));
    hdr::setDstQueueId(m,
                       ozm::queueIdOf(q.ctrl.peerService, q.ctrl.peerSlot, ozm::kRequestQueueKind));
}

// The engine's own messages (sync, ack, timer) are headers with the swp area and no body.
using OwnMsg = std::array<uint8_t, hdr::kSeqHeaderLen>;

OwnMsg ownMsg(uint32_t type) {
    OwnMsg m{};
    hdr::setMsgLen(m.data(), hdr::kSeqHeaderLen);
    hdr::setMsgType(m.data(), type);
    hdr::setSrcTaskId(m.data(), ozm::backend().currentTaskId());
    return m;
}

void armTimer(const SwpQueue& q, uint32_t seq) {
    OwnMsg m = ownMsg(MT_SWP_TIMEOUT);
    writeArea(m.data(), Kind::Timeout, q.ctrl.session, seq, q.ctrl.queueHandle, q.ownService,
              kOwnSlot);
    ozm::backend().startTimer(q.ctrl.retransmitTicks, m);
}

// Sends one message and arms its retransmission. A failed send is left to the retransmission.
void transmit(const SwpQueue& q, SwpMsg& msg) {
    ozm::backend().send(std::span<const uint8_t>(msg.buf, msg.len));
    msg.deadline = ozm::backend().ticks() + q.ctrl.retransmitTicks;
    armTimer(q, msg.seq);
}

void updateCounts(SwpQueue& q) {
    q.ctrl.inFlight = static_cast<uint32_t>(q.inFlight.size());
    q.ctrl.waiting = static_cast<uint32_t>(q.waiting.size());
}

// Transmits the waiting messages that fit the window, in order.
void pump(SwpQueue& q) {
    while (!q.retired && !q.waiting.empty() && q.inFlight.size() < q.ctrl.window) {
        SwpMsg msg = q.waiting.front();
        q.waiting.pop_front();
        transmit(q, msg);
        q.inFlight.push_back(msg);
        ++q.ctrl.transmitted;
    }
    updateCounts(q);
}

void signalPipe(ozm::detail::SwpPipe& pipe) {
    if (pipe.signalled) {
        return;
    }
    constexpr uint8_t kWake = 1;
    if (::write(pipe.writeEnd.get(), &kWake, sizeof kWake) == sizeof kWake) {
        pipe.signalled = true;
    }
}

// The window has room again: wake the task through the queue's pipe, or send at once.
void windowOpened(SwpQueue& q) {
    if (q.waiting.empty() || q.inFlight.size() >= q.ctrl.window) {
        return;
    }
    auto& pipes = swp().pipes;
    auto it = pipes.find(q.pipe);
    if (it != pipes.end()) {
        signalPipe(it->second);
    } else {
        pump(q);
    }
}

bool validArea(const uint8_t* m, Kind kind) {
    return swpw::magic(m) == swpw::kSwpMagic && swpw::kind(m) == kind;
}

// The acknowledgement of a received sequenced message, back to where it came from.
void sendAck(const uint8_t* msg, uint32_t ownQueue) {
    ozm::QueueAddress own = ozm::queueAddressOf(ownQueue);
    OwnMsg ack = ownMsg(MT_SWP_ACK);
    hdr::setSrcNodeAddr(ack.data(), ozm::nodeAddrOf(own.service, own.slot));
    hdr::setSrcQueueId(ack.data(), ownQueue);
    hdr::setDstSlot(ack.data(), swpw::srcSlot(msg));
    hdr::setDstNodeAddr(ack.data(), hdr::srcNodeAddr(msg));
    hdr::setDstQueueId(ack.data(), hdr::srcQueueId(msg));
    writeArea(ack.data(), Kind::Ack, swpw::session(msg), swpw::seq(msg), swpw::queue(msg),
              own.service, own.slot);
    ozm::backend().send(ack);
}

// Takes a queue out of the engine, giving every buffer it holds back through its free callback.
void release(std::map<uint32_t, std::unique_ptr<SwpQueue>>::iterator it) {
    std::unique_ptr<SwpQueue> q = std::move(it->second);
    swp().queues.erase(it);
    if (q->mfreeFn != nullptr) {
        for (const auto* list : {&q->inFlight, &q->waiting}) {
            for (const SwpMsg& msg : *list) {
                q->mfreeFn(msg.buf);
            }
        }
    }
}

}  // namespace

namespace ozm::detail {

// Closing a pipe ends the queues it wakes, retired ones included.
bool swpClosePipe(int fd) {
    if (swp().pipes.erase(fd) == 0) {
        return false;
    }
    auto& queues = swp().queues;
    for (auto it = queues.begin(); it != queues.end();) {
        auto next = std::next(it);
        if (it->second->pipe == fd) {
            release(it);
        }
        it = next;
    }
    return true;
}

}  // namespace ozm::detail

int ozmSwpCreatePipe(const char* /*name*/) {
    if (ozm::fault("ozmSwpCreatePipe")) {
        return -1;
    }
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) {
        return -1;
    }
    ozm::detail::SwpPipe pipe{ozm::detail::Fd(fds[0]), ozm::detail::Fd(fds[1]), false};
    swp().pipes.emplace(fds[0], std::move(pipe));
    return fds[0];
}

int ozmSwpReadPipe(int pipe) {
    auto& pipes = swp().pipes;
    auto it = pipes.find(pipe);
    if (it == pipes.end()) {
        return -1;
    }
    std::array<uint8_t, kPipeDrainChunk> drain;
    while (::read(pipe, drain.data(), drain.size()) > 0) {
    }
    it->second.signalled = false;
    std::vector<uint32_t> handles;
    for (const auto& [handle, q] : swp().queues) {
        if (q->pipe == pipe) {
            handles.push_back(handle);
        }
    }
    for (uint32_t handle : handles) {
        if (SwpQueue* q = findQueue(handle)) {
            pump(*q);
        }
    }
    return 0;
}

int ozmSwpQueueCreateQs(uint32_t /*logHandle*/, int, int window, int retransmitTicks,
                        uint32_t ownService, int, uint32_t /*ipcKey*/, uint32_t peerService,
                        uint32_t peerSlot, uint32_t /*ownQueueId*/, int, int,
                        OzmSwpMallocFn mallocFn, int, OzmSwpMfreeFn mfreeFn, OzmSwpErrFn errFn,
                        uint32_t* queueOut, int pipe) {
    if (ozm::fault("ozmSwpQueueCreateQs") || window < 1 || retransmitTicks < 1 ||
        queueOut == nullptr) {
        return -1;
    }
    auto q = std::make_unique<SwpQueue>();
    q->ctrl.peerService = peerService;
    q->ctrl.peerSlot = peerSlot;
    q->ctrl.window = static_cast<uint32_t>(window);
    q->ctrl.retransmitTicks = static_cast<uint32_t>(retransmitTicks);
    q->ctrl.session = newSession();
    q->ctrl.nextSeq = 1;
    q->ctrl.queueHandle = swp().nextQueue;
    q->ownService = ownService;
    q->pipe = pipe;
    q->mallocFn = mallocFn;
    q->mfreeFn = mfreeFn;
    q->errFn = errFn;

    // The peer restarts its sequence check on the sync of the new session.
    OwnMsg local{};
    uint8_t* sync = local.data();
    if (mallocFn != nullptr) {
        sync = static_cast<uint8_t*>(mallocFn(hdr::kSeqHeaderLen));
        if (sync == nullptr) {
            return -1;
        }
    }
    OwnMsg m = ownMsg(MT_SWP_SYNC);
    addressToPeer(m.data(), *q);
    writeArea(m.data(), Kind::Sync, q->ctrl.session, 0, q->ctrl.queueHandle, ownService, kOwnSlot);
    std::copy(m.begin(), m.end(), sync);
    ozm::backend().send(std::span<const uint8_t>(sync, hdr::kSeqHeaderLen));
    if (mallocFn != nullptr && mfreeFn != nullptr) {
        mfreeFn(sync);
    }

    uint32_t handle = swp().nextQueue++;
    swp().queues.emplace(handle, std::move(q));
    *queueOut = handle;
    return 0;
}

int ozmSwpQueueRemove(uint32_t queue) {
    auto& queues = swp().queues;
    auto it = queues.find(queue);
    if (it == queues.end()) {
        return OZM_SWP_NOT_FOUND;
    }
    if (ozm::fault("ozmSwpQueueRemove")) {
        it->second->retired = true;
        return -1;
    }
    release(it);
    return OZM_SWP_OK;
}

int ozmSwpEnqueue(uint32_t queue, uint8_t* msg, uint32_t len) {
    SwpQueue* q = findQueue(queue);
    if (q == nullptr) {
        ozm::backend().report("swp: enqueue on unknown queue " + std::to_string(queue) +
                              ": the buffer cannot be released");
        return OZM_SWP_REFUSED;
    }
    if (msg == nullptr) {
        return OZM_SWP_REFUSED;
    }
    if (ozm::fault("ozmSwpEnqueue") || q->retired || len < hdr::kSeqHeaderLen ||
        q->waiting.size() >= kMaxWaiting) {
        if (q->mfreeFn != nullptr) {
            q->mfreeFn(msg);
        }
        return OZM_SWP_REFUSED;
    }
    SwpMsg entry{msg, len, q->ctrl.nextSeq++, 0};
    addressToPeer(msg, *q);
    writeArea(msg, Kind::Data, q->ctrl.session, entry.seq, q->ctrl.queueHandle, q->ownService,
              kOwnSlot);
    if (q->waiting.empty() && q->inFlight.size() < q->ctrl.window) {
        transmit(*q, entry);
        q->inFlight.push_back(entry);
        ++q->ctrl.transmitted;
    } else {
        q->waiting.push_back(entry);
    }
    updateCounts(*q);
    return OZM_SWP_OK;
}

int ozmSwpDequeue(uint8_t* ackMsg, void** block) {
    if (ackMsg == nullptr || block == nullptr || !validArea(ackMsg, Kind::Ack)) {
        return OZM_SWP_BAD_MSG;
    }
    SwpQueue* q = findQueue(swpw::queue(ackMsg));
    if (q == nullptr || swpw::session(ackMsg) != q->ctrl.session) {
        return OZM_SWP_NOT_FOUND;
    }
    uint32_t seq = swpw::seq(ackMsg);
    auto it = std::find_if(q->inFlight.begin(), q->inFlight.end(),
                           [seq](const SwpMsg& m) { return m.seq == seq; });
    if (it == q->inFlight.end()) {
        return OZM_SWP_NOT_FOUND;
    }
    *block = it->buf;
    q->inFlight.erase(it);
    ++q->ctrl.acked;
    updateCounts(*q);
    if (q->retired) {
        if (q->inFlight.empty()) {
            release(swp().queues.find(q->ctrl.queueHandle));  // the waiting ones, never sent
        }
        return OZM_SWP_OK;
    }
    windowOpened(*q);
    return OZM_SWP_OK;
}

int ozmSwpTimeout(uint8_t* msg) {
    if (msg == nullptr || !validArea(msg, Kind::Timeout)) {
        return OZM_SWP_BAD_MSG;
    }
    uint32_t handle = swpw::queue(msg);
    SwpQueue* q = findQueue(handle);
    if (q == nullptr || swpw::session(msg) != q->ctrl.session) {
        return OZM_SWP_NOT_FOUND;
    }
    if (q->retired) {
        return OZM_SWP_OK;  // sends nothing again
    }
    auto due = [](uint64_t now) { return [now](const SwpMsg& m) { return m.deadline <= now; }; };
    if (std::none_of(q->inFlight.begin(), q->inFlight.end(), due(ozm::backend().ticks()))) {
        return OZM_SWP_OK;  // acknowledged, or sent again since this timer was armed
    }
    if (q->errFn != nullptr) {
        q->errFn(handle);
        q = findQueue(handle);  // the callback may have removed the queue
        if (q == nullptr) {
            return OZM_SWP_OK;
        }
    }
    uint64_t now = ozm::backend().ticks();
    for (SwpMsg& m : q->inFlight) {
        if (due(now)(m)) {
            transmit(*q, m);
            ++q->ctrl.retransmitted;
        }
    }
    return OZM_SWP_OK;
}

OzmSwpQueueCtrl* ozmSwpGetQueueCtrlBlock(uint32_t queue) {
    SwpQueue* q = findQueue(queue);
    return q != nullptr ? &q->ctrl : nullptr;
}

int ozmSwpCkSeqAndAck(uint8_t* msg, uint32_t* state, uint32_t queue) {
    if (msg == nullptr || state == nullptr || !validArea(msg, Kind::Data) ||
        swpw::session(msg) == 0 || swpw::seq(msg) == 0) {
        return OZM_SWP_BAD_MSG;
    }
    uint32_t& session = state[0];
    uint32_t& expected = state[1];
    if (swpw::session(msg) != session) {
        session = swpw::session(msg);
        expected = 1;
    }
    uint32_t seq = swpw::seq(msg);
    if (seq > expected) {
        return OZM_SWP_GAP;
    }
    sendAck(msg, queue);
    if (seq < expected) {
        return OZM_SWP_DUPLICATE;
    }
    ++expected;
    return OZM_SWP_OK;
}
