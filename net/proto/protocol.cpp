#include "net/proto/protocol.h"

#include "platform/wire/bytes.h"

namespace netp {

bool Reader::u32(uint32_t& v) {
    if (data_.size() - pos_ < sizeof(uint32_t))
        return false;
    v = wire::getU32(data_.data(), pos_);
    pos_ += sizeof(uint32_t);
    return true;
}

bool Reader::text(std::string& s) {
    uint32_t len = 0;
    if (!u32(len) || data_.size() - pos_ < len)
        return false;
    s.assign(reinterpret_cast<const char*>(data_.data() + pos_), len);
    pos_ += len;
    return true;
}

Writer& Writer::u32(uint32_t v) {
    const size_t at = data_.size();
    data_.resize(at + sizeof(uint32_t));
    wire::putU32(data_.data(), at, v);
    return *this;
}

Writer& Writer::text(std::string_view s) {
    u32(static_cast<uint32_t>(s.size()));
    data_.insert(data_.end(), s.begin(), s.end());
    return *this;
}

Writer& Writer::bytes(std::span<const uint8_t> b) {
    data_.insert(data_.end(), b.begin(), b.end());
    return *this;
}

}  // namespace netp
