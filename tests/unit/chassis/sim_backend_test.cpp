// The sim backend under a small task of the platform API's.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "chassis/message.h"
#include "chassis/sim_switch.h"
#include "platform/ipc.h"
#include "platform/kernel.h"
#include "test_chassis.h"

namespace chassis {
namespace {

using ::testing::ElementsAre;

// What the test task received; a task is a plain function, so it reports through here.
std::vector<uint32_t> seen;

constexpr uint32_t kStopType = 9999;

// Reads its request queue until a message of kStopType.
int listener(int, char**) {
    const uint32_t key = ozmIpcTmrOpen(svc::kL2pt, 0);
    const int req = Key_getSocketFd(Key_getReqQueue(key));
    std::vector<uint8_t> buf(8192);
    for (;;) {
        OzmFdSet set;
        OZM_FD_ZERO(&set);
        OZM_FD_SET(req, &set);
        OzmTimeval wait{0, 20000};
        if (kern::select(OZM_FD_SETSIZE, &set, nullptr, nullptr, &wait) <= 0)
            continue;
        const int len = ozmIpcRecv(Key_getReqQueue(key), buf.data(), 8192, 0, 0, 0);
        if (len < static_cast<int>(hdr::kPlainHeaderLen))
            continue;
        if (hdr::msgType(buf.data()) == kStopType)
            return static_cast<int>(seen.size());
        seen.push_back(wire::getU32(buf.data(), hdr::kPlainHeaderLen));
    }
}

std::vector<uint8_t> plain(uint32_t type, uint32_t value) {
    auto m = makeMessage(type, hdr::kPlainHeaderLen + 4, {svc::kIfm, 0});
    wire::putU32(m.data(), hdr::kPlainHeaderLen, value);
    return m;
}

class SimBackendTest : public ::testing::Test {
  protected:
    void SetUp() override { seen.clear(); }
    SimSwitch sim{test::config()};
};

TEST_F(SimBackendTest, PumpDeliversThousandsOfMessagesInOrder) {
    sim.start(listener);
    constexpr uint32_t kCount = 3000;
    for (uint32_t i = 0; i < kCount; ++i) {
        auto m = plain(24405, i);
        m.resize(8192);
        hdr::setMsgLen(m.data(), 8192);
        sim.ifm().rawBytes(m);
    }
    // The socket buffer took a few; the rest waits in memory instead of blocking the driver.
    EXPECT_GT(sim.backend().queued(), kCount / 2);
    sim.settle();
    EXPECT_EQ(sim.backend().queued(), 0u);
    ASSERT_EQ(seen.size(), kCount);
    for (uint32_t i = 0; i < kCount; ++i)
        ASSERT_EQ(seen[i], i);
    sim.ifm().rawBytes(plain(kStopType, 0));
    sim.settle();
    EXPECT_EQ(sim.taskState(), TaskState::Ended);
    EXPECT_EQ(sim.taskResult(), static_cast<int>(kCount));
}

// A LAG's and no interface's drops are named, a reason without text by its number, and a code
// past the counters is traced only (the rest: the drops golden trace).
TEST_F(SimBackendTest, TaskDropsAreNamedAndCountedWithinTheirReasons) {
    const uint32_t p00 = sim.ifIndex("p0/0"), lag = sim.ifIndex("lag5");
    ozmPduDropped(lag, 8, "vman record missing");
    ozmPduDropped(0, 0, "receive failed");
    ozmPduDropped(p00, TaskDrops::kMaxReasons, "beyond");
    ozmPduDropped(p00, 2, nullptr);
    EXPECT_THAT(sim.trace().grep("task pdu"),
                ElementsAre("task pdu from lag5 dropped (vman record missing)",
                            "task pdu from ifIndex 0 dropped (receive failed)",
                            "task pdu from p0/0 dropped (beyond)",
                            "task pdu from p0/0 dropped (reason 2)"));
    const TaskDrops& drops = sim.chassis().taskDrops();
    EXPECT_EQ(drops.count(lag, 8), 1u);
    EXPECT_EQ(drops.count(p00, TaskDrops::kMaxReasons), 0u);
    EXPECT_EQ(drops.count(p00, 2), 1u);
}

}  // namespace
}  // namespace chassis
