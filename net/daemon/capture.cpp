#include "net/daemon/capture.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>

#include "chassis/pcap.h"

namespace netp {

namespace {

uint64_t wallClockUs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
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

Captures::Captures() = default;
Captures::~Captures() = default;

void Captures::start(uint64_t client, uint32_t port, Fd file, uint64_t count) {
    checkWritableFile(file.get());
    auto writer = std::make_unique<chassis::PcapWriter>(file.release());
    active_.push_back({client, port, std::move(writer), count});
}

uint64_t Captures::stop(uint64_t client) {
    const auto it = std::find_if(active_.begin(), active_.end(),
                                 [&](const Active& a) { return a.client == client; });
    if (it == active_.end())
        return 0;
    const uint64_t written = it->written;
    active_.erase(it);
    return written;
}

void Captures::frame(uint32_t port, std::span<const uint8_t> frame) {
    for (auto& a : active_) {
        if (a.port != port || a.full())
            continue;
        a.writer->write(frame, wallClockUs());
        a.writer->flush();
        ++a.written;
    }
}

std::vector<uint64_t> Captures::takeFull() {
    std::vector<uint64_t> full;
    for (const auto& a : active_) {
        if (a.full())
            full.push_back(a.client);
    }
    return full;
}

}  // namespace netp
