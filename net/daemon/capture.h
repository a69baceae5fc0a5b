// Captures of ports into pcap files the clients opened themselves: the daemon writes to the
// descriptor it was handed and never opens a client's path.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "net/io/socket.h"

namespace chassis {
class PcapWriter;  // libpcap's headers clash with libbpf's, which the daemon's others include
}

namespace netp {

class Captures {
  public:
    Captures();
    ~Captures();
    // Starts writing what enters and leaves port (ifIndex) to file, for the client of that
    // id, until count frames (0: no limit) were written or it is stopped. std::runtime_error
    // when file is no regular file opened for writing.
    void start(uint64_t client, uint32_t port, Fd file, uint64_t count);
    // Ends the client's capture: the frames written.
    uint64_t stop(uint64_t client);
    // A frame that entered or left port, stamped with the wall clock.
    void frame(uint32_t port, std::span<const uint8_t> frame);
    bool any() const { return !active_.empty(); }
    // The clients whose captures wrote their count.
    std::vector<uint64_t> takeFull();

  private:
    struct Active {
        uint64_t client;
        uint32_t port;
        std::unique_ptr<chassis::PcapWriter> writer;
        uint64_t limit;  // 0: none
        uint64_t written = 0;
        bool full() const { return limit != 0 && written >= limit; }
    };
    std::vector<Active> active_;
};

}  // namespace netp
