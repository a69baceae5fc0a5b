#include "net/daemon/capture.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>

#include "chassis/pcap.h"
#include "net/port/capture_socket.h"

namespace netp {

namespace {

uint64_t wallClockUs(std::chrono::system_clock::time_point t) {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count());
}

// A descriptor from a client may be anything: a pipe or a device would block or worse.
void checkWritableFile(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        throw std::runtime_error("the capture's descriptor is no regular file");
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ((flags & O_ACCMODE) != O_WRONLY && (flags & O_ACCMODE) != O_RDWR))
        throw std::runtime_error("the capture's file is not open for writing");
}

}  // namespace

struct Captures::Active {
    uint64_t client;
    uint32_t ifindex;
    std::unique_ptr<chassis::PcapWriter> writer;
    uint64_t limit;  // 0: none
    uint64_t written = 0;
    std::unique_ptr<port::CaptureSocket> socket;
    bool reported = false;  // handed out by takeDone
    bool full() const { return limit != 0 && written >= limit; }
    bool done() const { return full() || socket->ended(); }
};

Captures::Captures(Loop& loop) : loop_(loop) {}

Captures::~Captures() {
    for (const auto& a : active_)
        loop_.unwatch(a->socket->fd());
}

void Captures::start(uint64_t client, uint32_t ifindex, const std::string& name, Fd file,
                     uint64_t count) {
    checkWritableFile(file.get());
    auto a = std::make_unique<Active>();
    a->client = client;
    a->ifindex = ifindex;
    a->limit = count;
    a->writer = std::make_unique<chassis::PcapWriter>(file.release());
    Active& at = *a;
    a->socket =
        std::make_unique<port::CaptureSocket>(ifindex, name, [&at](const port::CapturedFrame& f) {
            if (at.full())
                return;
            at.writer->write(f.bytes, wallClockUs(f.time));
            ++at.written;
        });
    loop_.watch(a->socket->fd(), EPOLLIN, [this, &at](uint32_t) { readable(at); });
    active_.push_back(std::move(a));
}

void Captures::readable(Active& a) {
    const int fd = a.socket->fd();
    // Done: what is left queued is not for this capture. An ended socket is closed already.
    if (!a.socket->read() || a.full())
        loop_.unwatch(fd);
    a.writer->flush();
}

uint64_t Captures::stop(uint64_t client) {
    const auto it = std::find_if(active_.begin(), active_.end(),
                                 [&](const auto& a) { return a->client == client; });
    if (it == active_.end())
        return 0;
    const uint64_t written = (*it)->written;
    loop_.unwatch((*it)->socket->fd());
    active_.erase(it);
    return written;
}

void Captures::interfaceGone(uint32_t ifindex, const std::string& why) {
    for (const auto& a : active_) {
        if (a->ifindex != ifindex || a->socket->ended())
            continue;
        loop_.unwatch(a->socket->fd());
        a->socket->end(why);
    }
}

std::vector<Captures::Done> Captures::takeDone() {
    std::vector<Done> done;
    for (const auto& a : active_) {
        if (!a->reported && a->done()) {
            a->reported = true;
            done.push_back({a->client, a->full() ? std::string() : a->socket->endReason()});
        }
    }
    return done;
}

}  // namespace netp
