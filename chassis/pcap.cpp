#include "chassis/pcap.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace chassis {

namespace {
constexpr int kSnapLen = 65535;
constexpr uint64_t kUsPerSec = 1'000'000;
constexpr mode_t kFileMode = 0644;
}  // namespace

PcapWriter::PcapWriter(int fd) : pcap_(pcap_open_dead(DLT_EN10MB, kSnapLen)) {
    FILE* file = fd >= 0 ? ::fdopen(fd, "wb") : nullptr;
    if (file == nullptr) {
        const int err = errno;
        if (fd >= 0)
            ::close(fd);
        throw PcapError(std::string("cannot write the capture: ") + std::strerror(err));
    }
    if (!pcap_) {
        std::fclose(file);
        throw PcapError("cannot start a capture");
    }
    dumper_.reset(pcap_dump_fopen(pcap_.get(), file));  // owns file from here
    if (!dumper_) {
        std::fclose(file);
        throw PcapError(pcap_geterr(pcap_.get()));
    }
}

void PcapWriter::write(std::span<const uint8_t> frame, size_t wireLen, uint64_t timestampUs) {
    pcap_pkthdr header{};
    header.ts.tv_sec = static_cast<time_t>(timestampUs / kUsPerSec);
    header.ts.tv_usec = static_cast<suseconds_t>(timestampUs % kUsPerSec);
    header.caplen = static_cast<bpf_u_int32>(std::min<size_t>(frame.size(), kSnapLen));
    header.len = static_cast<bpf_u_int32>(std::max<size_t>(wireLen, header.caplen));
    if (error_ != 0)
        return;
    errno = 0;
    pcap_dump(reinterpret_cast<u_char*>(dumper_.get()), &header, frame.data());
    if (std::ferror(pcap_dump_file(dumper_.get())) != 0)
        error_ = errno != 0 ? errno : EIO;
}

void PcapWriter::flush() {
    if (error_ != 0)
        return;
    errno = 0;
    if (pcap_dump_flush(dumper_.get()) != 0)
        error_ = errno != 0 ? errno : EIO;
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
        const std::string path = dir_ + "/" + file + ".pcap";
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kFileMode);
        if (fd < 0)
            throw PcapError(path + ": " + std::strerror(errno));
        it = writers_.emplace(portIf, PcapWriter(fd)).first;
    }
    it->second.write(frame, frame.size(), clock_.nowUs);
}

}  // namespace chassis
