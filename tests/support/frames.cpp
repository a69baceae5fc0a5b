#include "tests/support/frames.h"

#include <algorithm>

namespace frames {

namespace {

constexpr uint16_t kDot1q = 0x8100;
constexpr Mac kCustomerSrc = {0x00, 0x1B, 0x21, 0x3C, 0x4D, 0x5E};

void put16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}

Bytes header(const Mac& dst, uint16_t vlan) {
    Bytes b(dst.begin(), dst.end());
    b.insert(b.end(), kCustomerSrc.begin(), kCustomerSrc.end());
    put16(b, kDot1q);
    put16(b, vlan);
    return b;
}

// An 802.3 frame: length, then the LLC payload, padded to 64 bytes on the wire.
Bytes llcFrame(const Mac& dst, uint16_t vlan, const Bytes& llcPayload) {
    Bytes b = header(dst, vlan);
    put16(b, static_cast<uint16_t>(llcPayload.size()));
    b.insert(b.end(), llcPayload.begin(), llcPayload.end());
    if (b.size() < 64)
        b.resize(64, 0);
    return b;
}

Bytes configBpdu() {
    return {0x00, 0x00, 0x00, 0x00, 0x00,                     // protocol, version, type, flags
            0x80, 0x00, 0x00, 0x1B, 0x21, 0x3C, 0x4D, 0x5E,   // root id
            0x00, 0x00, 0x00, 0x00,                           // root path cost
            0x80, 0x00, 0x00, 0x1B, 0x21, 0x3C, 0x4D, 0x5E,   // bridge id
            0x80, 0x01,                                       // port id
            0x00, 0x00, 0x14, 0x00, 0x02, 0x00, 0x0F, 0x00};  // ages, hello, delay
}

}  // namespace

Bytes stp(uint16_t vlan) {
    Bytes llc = {0x42, 0x42, 0x03};
    const Bytes bpdu = configBpdu();
    llc.insert(llc.end(), bpdu.begin(), bpdu.end());
    return llcFrame(kStpMac, vlan, llc);
}

Bytes gvrp(uint16_t vlan) {
    // GARP: protocol id 1, one attribute list with a VLAN join, end marks.
    Bytes llc = {0x42, 0x42, 0x03, 0x00, 0x01, 0x01, 0x04, 0x02, 0x00, 0x64, 0x00, 0x00};
    return llcFrame(kGvrpMac, vlan, llc);
}

Bytes lldp(uint16_t vlan) {
    Bytes b = header(kLldpMac, vlan);
    put16(b, 0x88CC);
    const Bytes tlvs = {0x02, 0x07, 0x04, 0x00, 0x1B, 0x21, 0x3C, 0x4D, 0x5E,  // chassis id
                        0x04, 0x03, 0x05, 0x31, 0x30,                          // port id
                        0x06, 0x02, 0x00, 0x78,                                // ttl
                        0x00, 0x00};                                           // end
    b.insert(b.end(), tlvs.begin(), tlvs.end());
    if (b.size() < 64)
        b.resize(64, 0);
    return b;
}

Bytes pvst(uint16_t vlan) {
    Bytes llc = {0xAA, 0xAA, 0x03, 0x00, 0x00, 0x0C, 0x01, 0x0B};
    const Bytes bpdu = configBpdu();
    llc.insert(llc.end(), bpdu.begin(), bpdu.end());
    llc.insert(llc.end(), {0x00, 0x00, 0x00, 0x02, 0x00, static_cast<uint8_t>(vlan >> 8),
                           static_cast<uint8_t>(vlan)});  // originating VLAN TLV
    return llcFrame(kPvstMac, vlan, llc);
}

Bytes tunnelled(const Bytes& customer, uint16_t providerVlan, uint16_t tpid, const Mac& tunnelMac) {
    const bool keepInnerTag = std::equal(kPvstMac.begin(), kPvstMac.end(), customer.begin());
    Bytes b(tunnelMac.begin(), tunnelMac.end());
    b.insert(b.end(), customer.begin() + 6, customer.begin() + 12);
    put16(b, tpid);
    put16(b, providerVlan);
    b.insert(b.end(), customer.begin() + (keepInnerTag ? 12 : 16), customer.end());
    return b;
}

Bytes withDst(Bytes frame, const Mac& dst) {
    std::copy(dst.begin(), dst.end(), frame.begin());
    return frame;
}

}  // namespace frames
