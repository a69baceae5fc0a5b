// Frames written to pcap files (libpcap, Ethernet link type), one writer per file, each on a
// descriptor: the caller opens the file, so a daemon can write where only its client may.
//
//   chassis::PcapWriter w(::open("ge0-1.pcap", O_WRONLY | O_CREAT | O_TRUNC, 0644));
//   w.write(frame, frame.size(), timestampUs);
#pragma once

#include <pcap/pcap.h>

#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>

#include "chassis/data_plane.h"

namespace chassis {

struct PcapError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class PcapWriter {
  public:
    // Takes fd (closed with the writer, or at once on PcapError).
    explicit PcapWriter(int fd);
    // The frame as captured: its first bytes, or all of them when wireLen is its size.
    // Nothing more is written once a write failed.
    void write(std::span<const uint8_t> frame, size_t wireLen, uint64_t timestampUs);
    // Pushes what is buffered to the file.
    void flush();
    // The errno of the write that failed (ENOSPC, EIO, EFBIG...); 0 while none did.
    int error() const { return error_; }

  private:
    struct PcapClose {
        void operator()(pcap_t* p) const { pcap_close(p); }
    };
    struct DumperClose {
        void operator()(pcap_dumper_t* d) const { pcap_dump_close(d); }
    };
    std::unique_ptr<pcap_t, PcapClose> pcap_;
    std::unique_ptr<pcap_dumper_t, DumperClose> dumper_;
    int error_ = 0;
};

// One pcap file per port, DIR/<port>.pcap ('/' in a name becomes '-'), with what entered and
// what left the port, stamped with the chassis clock. Files are made for the ports that see a
// frame.
class PortCapture : public FrameTap {
  public:
    // PcapError when dir is not a directory that can be written.
    PortCapture(std::string dir, const IfDb& ifdb, const Clock& clock);
    void frame(uint32_t portIf, bool out, std::span<const uint8_t> frame) override;

  private:
    std::string dir_;
    const IfDb& ifdb_;
    const Clock& clock_;
    std::map<uint32_t, PcapWriter> writers_;
};

}  // namespace chassis
