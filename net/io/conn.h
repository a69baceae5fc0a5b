// A SEQPACKET connection in the loop: datagrams received in batches and handed over one by
// one, datagrams sent at once or, when the socket is full, kept in a bounded queue drained on
// EPOLLOUT. A peer that lets its queue overflow (its own bound, or its kind's budget) is
// disconnected: a slow reader costs the daemon no more than its queue, and nobody else anything.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "net/io/batch.h"
#include "net/io/loop.h"
#include "net/io/out_queue.h"
#include "net/io/socket.h"

namespace netp {

class Conn {
  public:
    using Bytes = std::span<const uint8_t>;
    // One datagram, with the descriptors it brought (take them by moving them out).
    using OnDatagram = std::function<void(Conn&, Bytes, std::span<Fd> fds)>;
    // Runs once, when the connection closes for whatever reason (why says it).
    using OnClose = std::function<void(Conn&, const std::string& why)>;

    // rx is shared by the connections of one loop: received datagrams are handed over before
    // the next connection reads. budget, when given, is what the queues of this kind of
    // connection hold together (it outlives the connection).
    Conn(Loop& loop, Fd fd, std::string peer, size_t maxQueued, RecvBatch& rx,
         QueueBudget* budget = nullptr);
    ~Conn();
    Conn(const Conn&) = delete;
    Conn& operator=(const Conn&) = delete;

    // Starts watching; the handlers run from the loop from here on.
    void start(OnDatagram onDatagram, OnClose onClose);

    // Sends one datagram gathered from parts, with fds (SCM_RIGHTS, at most kMaxPassedFds);
    // queued behind what waits already. False when the connection is closed or closes now (its
    // queue overflowed, the peer is gone).
    bool send(std::initializer_list<Bytes> parts, std::span<const int> fds = {});
    bool send(Bytes datagram) { return send({datagram}); }

    // Reads what is queued now, as when the loop finds it readable: for one that must not
    // wait for its turn in a busy pass.
    void readNow() { readAll(); }
    // Closes at once; the close handler runs (unless closing already).
    void close(const std::string& why);
    // Closes with why when nothing else happened to it before d passes; a new call replaces it.
    void expireIn(Clock::duration d, std::string why);
    void noExpiry() { expiry_.cancel(); }

    bool open() const { return fd_.valid(); }
    int fd() const { return fd_.get(); }
    const std::string& peer() const { return peer_; }
    size_t queued() const { return queue_.bytes(); }

  private:
    static constexpr int kBatchesPerPass = 4;  // per readiness: no sender starves the others
    void ready(uint32_t events);
    void readAll();
    // -1 refused for good (errno), 0 the socket is full, 1 sent.
    int sendNow(std::span<const iovec> iov, std::span<const int> fds);
    void drain();
    void watchOutput(bool on);

    Loop& loop_;
    Fd fd_;
    std::string peer_;
    RecvBatch& rx_;
    OutQueue queue_;
    // Copies of the descriptors of queued datagrams, in their order: those of one datagram
    // together.
    std::deque<std::vector<Fd>> queuedFds_;
    bool watchingOutput_ = false;
    OnDatagram onDatagram_;
    OnClose onClose_;
    Loop::Timer expiry_;
    std::string expiryWhy_;
};

}  // namespace netp
