#include "net/io/conn.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace netp {

namespace {

constexpr size_t kMaxParts = 4;

}  // namespace

Conn::Conn(Loop& loop, Fd fd, std::string peer, size_t maxQueued, RecvBatch& rx,
           QueueBudget* budget)
    : loop_(loop),
      fd_(std::move(fd)),
      peer_(std::move(peer)),
      rx_(rx),
      queue_(maxQueued, budget),
      expiry_(loop, [this] { close(expiryWhy_); }) {}

Conn::~Conn() {
    if (fd_.valid())
        loop_.unwatch(fd_.get());
}

void Conn::start(OnDatagram onDatagram, OnClose onClose) {
    onDatagram_ = std::move(onDatagram);
    onClose_ = std::move(onClose);
    loop_.watch(fd_.get(), EPOLLIN, [this](uint32_t events) { ready(events); });
}

void Conn::ready(uint32_t events) {
    if ((events & EPOLLOUT) != 0)
        drain();
    if (open() && (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0)
        readAll();
}

void Conn::readAll() {
    for (int budget = kBatchesPerPass; budget > 0 && open(); --budget) {
        const auto batch = rx_.receive(fd_.get());
        for (const auto& d : batch) {
            if (!open())
                return;
            if (d.status == RecvBatch::Status::Truncated) {
                close("a datagram over " + std::to_string(kMaxDatagram) + " bytes");
                return;
            }
            if (d.bytes.empty()) {
                close("closed by the peer");
                return;
            }
            onDatagram_(*this, d.bytes, d.fds);
        }
        if (batch.empty())
            return;
    }
}

int Conn::sendNow(std::span<const iovec> iov, std::span<const int> fds) {
    if (sendParts(fd_.get(), iov, fds, MSG_DONTWAIT) >= 0)
        return 1;
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS ? 0 : -1;
}

bool Conn::send(std::initializer_list<Bytes> parts, std::span<const int> fds) {
    if (!open())
        return false;
    if (queue_.empty()) {
        std::array<iovec, kMaxParts> iov{};
        size_t n = 0;
        for (const auto& p : parts) {
            if (n == iov.size())
                break;
            iov[n++] = {const_cast<uint8_t*>(p.data()), p.size()};
        }
        const int r = sendNow(std::span(iov).first(n), fds);
        if (r > 0)
            return true;
        if (r < 0) {
            close(std::string("send failed: ") + std::strerror(errno));
            return false;
        }
    }
    if (!queue_.push(std::span(parts.begin(), parts.size()), !fds.empty())) {
        close("its output queue overflowed (" + std::to_string(queue_.bytes()) + " bytes unread" +
              (queue_.budget() == nullptr
                   ? std::string()
                   : "; the queues of its kind hold " + std::to_string(queue_.budget()->taken()) +
                         " bytes more than their floors") +
              ")");
        return false;
    }
    if (!fds.empty()) {
        std::vector<Fd>& copies = queuedFds_.emplace_back();
        for (int f : fds) {
            if (!copies.emplace_back(::fcntl(f, F_DUPFD_CLOEXEC, 0)).valid()) {
                close(std::string("cannot keep the descriptors it is sent: ") +
                      std::strerror(errno));
                return false;
            }
        }
    }
    watchOutput(true);
    return true;
}

void Conn::drain() {
    while (open() && !queue_.empty()) {
        const auto f = queue_.front();
        std::array<int, kMaxPassedFds> passing{};
        size_t n = 0;
        if (f.carriesFd && !queuedFds_.empty()) {
            for (const Fd& copy : queuedFds_.front())
                passing[n++] = copy.get();
        }
        const int r = sendNow(std::span(f.iov).first(f.pieces), std::span(passing).first(n));
        if (r == 0)
            return;
        if (r < 0) {
            close(std::string("send failed: ") + std::strerror(errno));
            return;
        }
        queue_.pop();
        if (f.carriesFd && !queuedFds_.empty())
            queuedFds_.pop_front();
    }
    if (open())
        watchOutput(false);
}

void Conn::watchOutput(bool on) {
    if (on == watchingOutput_)
        return;
    watchingOutput_ = on;
    loop_.modify(fd_.get(), on ? EPOLLIN | EPOLLOUT : EPOLLIN);
}

void Conn::expireIn(Clock::duration d, std::string why) {
    expiryWhy_ = std::move(why);
    expiry_.armIn(d);
}

void Conn::close(const std::string& why) {
    if (!open())
        return;
    loop_.unwatch(fd_.get());
    fd_.reset();
    expiry_.cancel();
    queuedFds_.clear();
    if (onClose_) {
        auto onClose = std::move(onClose_);
        onClose(*this, why);
    }
}

}  // namespace netp
