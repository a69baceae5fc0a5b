// The bounded read view of a received message and its writable counterpart.
#include "platform/wire/msg.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// A received buffer: msgLen 0x20 at bytes 8-11, then 0x10 0x11 ... up to byte 47.
Bytes buffer() {
    Bytes b(48);
    for (size_t i = 12; i < b.size(); ++i)
        b[i] = static_cast<uint8_t>(0x10 + i - 12);
    b[8] = 0x00, b[9] = 0x00, b[10] = 0x00, b[11] = 0x20;
    return b;
}

// The view ends where both the header's msgLen and the receive end; reads across that end give
// the bytes before it and zeros after, reads beyond it zeros, whatever the offset.
TEST(WireMsg, ReadsStopAtMsgLenAndAtWhatArrived) {
    Bytes b = buffer();
    const auto byMsgLen = wire::Msg::received(b, b.size());
    EXPECT_EQ(byMsgLen.size(), 0x20u);
    EXPECT_EQ(byMsgLen.u32(0x1c), 0x20212223u);
    EXPECT_EQ(byMsgLen.u32(0x1e), 0x22230000u);
    EXPECT_EQ(byMsgLen.u8(0x20), 0u);
    EXPECT_EQ(byMsgLen.u32(SIZE_MAX - 1), 0u);

    const auto byReceive = wire::Msg::received(b, 0x1a);
    EXPECT_EQ(byReceive.size(), 0x1au);
    EXPECT_EQ(byReceive.u32(0x18), 0x1c1d0000u);

    // A receive length beyond the buffer is cut to it; msgLen beyond both changes nothing.
    Bytes big = b;
    big[10] = 0x7f;
    EXPECT_EQ(wire::Msg::received(big, 1000).size(), big.size());
    EXPECT_EQ(wire::Msg::received(big, 1000).u8(47), 0x33u);

    // Nothing arrived, or the header says the message ends inside the header: the view holds
    // that much and no more; even msgLen itself reads as 0 when it lies past the end.
    const auto none = wire::Msg::received(b, 0);
    EXPECT_EQ(none.size(), 0u);
    EXPECT_FALSE(none.has(0, 1));

    b[11] = 0x0e;  // msgLen 14: the message type is cut after two bytes
    const auto cut = wire::Msg::received(b, b.size());
    EXPECT_EQ(cut.size(), 14u);
    EXPECT_EQ(cut.u32(12), 0x10110000u);

    b[11] = 0x0a;  // msgLen 10: its own field is cut, and reads as 0
    EXPECT_EQ(wire::Msg::received(b, b.size()).u32(8), 0u);
    EXPECT_EQ(wire::Msg::received(b, 11).size(), 0u);  // msgLen not arrived: 0 bytes
}

// has() and sub() never reach past the end, even when off + n overflows.
TEST(WireMsg, SubViewsAreClipped) {
    const Bytes b = buffer();
    const auto m = wire::Msg::received(b, b.size());
    EXPECT_TRUE(m.has(0x1c, 4));
    EXPECT_FALSE(m.has(0x1d, 4));
    EXPECT_FALSE(m.has(0x21, 0));
    EXPECT_FALSE(m.has(4, SIZE_MAX));

    const auto tail = m.sub(0x1c, 8);
    EXPECT_EQ(tail.size(), 4u);
    EXPECT_EQ(tail.u8(4), 0u);  // the parent's bytes past the cut are out of reach
    EXPECT_EQ(m.sub(0x10, SIZE_MAX).size(), 0x10u);
    EXPECT_EQ(m.sub(SIZE_MAX, 4).size(), 0u);

    std::array<uint8_t, 6> mac{};
    m.copyTo(0x1d, mac);
    EXPECT_EQ(mac, (std::array<uint8_t, 6>{0x21, 0x22, 0x23, 0, 0, 0}));
}

}  // namespace
