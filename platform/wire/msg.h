// Bounded views of a received control message. Reads never leave the bytes the view was given:
// a field lying past the end reads as 0, byte by byte, which is what the zeroed receive buffer
// held there anyway. Replies built in place write only inside the receive buffer.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/wire/header.h"

namespace wire {

class Msg {
  public:
    Msg() = default;
    explicit Msg(std::span<const uint8_t> bytes) : bytes_(bytes) {}

    // The usable part of a message received into buf: what arrived (rxLen, cut to the buffer),
    // cut again where its header's msgLen says it ends.
    static Msg received(std::span<const uint8_t> buf, size_t rxLen) {
        const Msg arrived(buf.first(std::min(rxLen, buf.size())));
        return arrived.sub(0, arrived.u32(hdr::kMsgLen));
    }

    size_t size() const { return bytes_.size(); }
    std::span<const uint8_t> bytes() const { return bytes_; }
    // True when the n bytes at off lie inside the view.
    bool has(size_t off, size_t n) const { return off <= size() && n <= size() - off; }

    uint8_t u8(size_t off) const { return off < size() ? bytes_[off] : 0; }
    uint16_t u16(size_t off) const { return static_cast<uint16_t>(be(off, 2)); }
    uint32_t u32(size_t off) const { return be(off, 4); }
    int32_t i32(size_t off) const { return static_cast<int32_t>(u32(off)); }

    // The n bytes at off, cut at the end of the view (empty when off lies past it).
    Msg sub(size_t off, size_t n) const {
        if (off >= size()) {
            return {};
        }
        return Msg(bytes_.subspan(off, std::min(n, size() - off)));
    }
    // out.size() bytes from off, zero past the end.
    void copyTo(size_t off, std::span<uint8_t> out) const {
        const Msg part = sub(off, out.size());
        std::fill(std::copy(part.bytes_.begin(), part.bytes_.end(), out.begin()), out.end(), 0);
    }
    // The first N bytes, zero past the end: for services that read a fixed header by pointer.
    template <size_t N>
    std::array<uint8_t, N> head() const {
        std::array<uint8_t, N> out{};
        copyTo(0, out);
        return out;
    }

  private:
    uint32_t be(size_t off, size_t n) const {
        uint32_t v = 0;
        for (size_t i = 0; i < n; ++i) {
            v = v << 8 | (off < size() && i < size() - off ? bytes_[off + i] : 0u);
        }
        return v;
    }

    std::span<const uint8_t> bytes_;
};

// The whole receive buffer, for a reply built in place over the request. A field is written only
// when it lies wholly inside the buffer; a reply is never longer than the buffer.
class ReplyMsg {
  public:
    explicit ReplyMsg(std::span<uint8_t> buf) : buf_(buf) {}

    uint8_t* data() const { return buf_.data(); }
    size_t size() const { return buf_.size(); }
    // A reply length cut to the buffer.
    uint32_t cap(uint64_t len) const {
        return static_cast<uint32_t>(std::min<uint64_t>(len, size()));
    }

    void putU16(size_t off, uint16_t v) const {
        if (has(off, sizeof v)) {
            wire::putU16(data(), off, v);
        }
    }
    void putU32(size_t off, uint32_t v) const {
        if (has(off, sizeof v)) {
            wire::putU32(data(), off, v);
        }
    }
    void putI32(size_t off, int32_t v) const { putU32(off, static_cast<uint32_t>(v)); }
    // The n bytes at off, cut at the end of the buffer (empty when off lies past it).
    std::span<uint8_t> sub(size_t off, size_t n) const {
        return off < size() ? buf_.subspan(off, std::min(n, size() - off)) : std::span<uint8_t>{};
    }

  private:
    bool has(size_t off, size_t n) const { return off <= size() && n <= size() - off; }

    std::span<uint8_t> buf_;
};

}  // namespace wire
