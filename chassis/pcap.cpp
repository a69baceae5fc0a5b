#include "chassis/pcap.h"

#include <filesystem>

namespace chassis {

namespace {
constexpr int kSnapLen = 65535;
constexpr uint64_t kUsPerSec = 1'000'000;
}  // namespace

PcapWriter::PcapWriter(const std::string& path) : pcap_(pcap_open_dead(DLT_EN10MB, kSnapLen)) {
    if (!pcap_)
        throw PcapError(path + ": cannot start a capture");
    dumper_.reset(pcap_dump_open(pcap_.get(), path.c_str()));
    if (!dumper_)
        throw PcapError(path + ": " + pcap_geterr(pcap_.get()));
}

void PcapWriter::write(std::span<const uint8_t> frame, uint64_t timestampUs) {
    pcap_pkthdr header{};
    header.ts.tv_sec = static_cast<time_t>(timestampUs / kUsPerSec);
    header.ts.tv_usec = static_cast<suseconds_t>(timestampUs % kUsPerSec);
    header.caplen = static_cast<bpf_u_int32>(std::min<size_t>(frame.size(), kSnapLen));
    header.len = static_cast<bpf_u_int32>(frame.size());
    pcap_dump(reinterpret_cast<u_char*>(dumper_.get()), &header, frame.data());
}

void PcapWriter::flush() {
    pcap_dump_flush(dumper_.get());
}

PortCapture::PortCapture(std::string dir, const IfDb& ifdb, const Clock& clock)
    : dir_(std::move(dir)), ifdb_(ifdb), clock_(clock) {
    std::error_code ec;
    if (!std::filesystem::is_directory(dir_, ec))
        throw PcapError(dir_ + ": not a directory");
}

void PortCapture::frame(uint32_t portIf, bool /*out*/, std::span<const uint8_t> frame) {
    auto it = writers_.find(portIf);
    if (it == writers_.end()) {
        std::string file = ifdb_.name(portIf);
        for (char& c : file) {
            if (c == '/')
                c = '-';
        }
        it = writers_.emplace(portIf, PcapWriter(dir_ + "/" + file + ".pcap")).first;
    }
    it->second.write(frame, clock_.nowUs);
}

}  // namespace chassis
