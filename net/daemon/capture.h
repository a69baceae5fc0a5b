// Captures of ports into pcap files the clients opened themselves: the daemon writes to the
// descriptor it was handed and never opens a client's path. Each capture reads a packet socket
// of its own on the port's interface (port::CaptureSocket): what the interface received and
// sent, forwarded data and PDUs alike, stamped with the kernel's wall-clock time.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "net/io/closer.h"
#include "net/io/loop.h"
#include "net/io/socket.h"

namespace netp {

class Captures {
  public:
    // closer takes the files it refuses.
    Captures(Loop& loop, Closer& closer);
    ~Captures();
    Captures(const Captures&) = delete;
    Captures& operator=(const Captures&) = delete;

    // Starts writing what the interface ifindex (name, for messages) receives and sends to
    // file, for the client of that id, until count frames (0: no limit) were written, it is
    // stopped, the interface goes or a write fails. std::runtime_error when file is no regular
    // file opened for writing on a local disk's or memory's filesystem (one whose writes cannot
    // wait on another process or host and hold the loop), or the interface cannot be read.
    void start(uint64_t client, uint32_t ifindex, const std::string& name, Fd file, uint64_t count);
    // Ends the client's capture: the frames known to be in the file.
    uint64_t stop(uint64_t client);
    // The interface went away (the kernel tells a capture only of one removed while up).
    void interfaceGone(uint32_t ifindex, const std::string& why);

    // A capture that wrote its count (why empty), ended with its interface or could not write.
    struct Done {
        uint64_t client;
        std::string why;
    };
    std::vector<Done> takeDone();

  private:
    struct Active;
    void readable(Active& a);

    static constexpr std::chrono::milliseconds kCheckLimit{200};
    Loop& loop_;
    Closer& closer_;
    std::vector<std::unique_ptr<Active>> active_;
};

}  // namespace netp
