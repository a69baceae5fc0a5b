// The sim backend under small test tasks that use the platform API: the baton and the pump.
// Virtual time, timers (the sequenced queues' time-outs at their tick), synchronous requests, the
// kernel calls and PDU delivery the task's own tests run through it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "chassis/message.h"
#include "chassis/sim_switch.h"
#include "platform/ha.h"
#include "platform/ipc.h"
#include "platform/kernel.h"
#include "platform/process.h"
#include "test_chassis.h"

namespace chassis {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

// What the test tasks observed; tasks are plain functions, so they report through here.
struct Seen {
    std::vector<uint64_t> ticks;
    std::vector<uint32_t> values;
    std::vector<int> results;
};
Seen seen;

constexpr uint32_t kStopType = 9999;
constexpr OzmTimeval kLoopWait{0, 20000};

// Reads its request and timer queues until a message of kStopType.
int listener(int, char**) {
    const uint32_t key = ozmIpcTmrOpen(svc::kL2pt, 0);
    const int req = Key_getSocketFd(Key_getReqQueue(key));
    const int tmr = Key_getSocketFd(Key_getTmrQueue(key));
    std::vector<uint8_t> buf(8192);
    for (;;) {
        OzmFdSet set;
        OZM_FD_ZERO(&set);
        for (int fd : {req, tmr})
            OZM_FD_SET(fd, &set);
        OzmTimeval wait = kLoopWait;
        const int n = kern::select(OZM_FD_SETSIZE, &set, nullptr, nullptr, &wait);
        if (n <= 0)
            continue;
        for (int fd : {req, tmr}) {
            if (!OZM_FD_ISSET(fd, &set))
                continue;
            const int len = ozmIpcRecv(fd == req ? Key_getReqQueue(key) : Key_getTmrQueue(key),
                                       buf.data(), 8192, 0, 0, 0);
            if (len < static_cast<int>(hdr::kPlainHeaderLen))
                continue;
            if (hdr::msgType(buf.data()) == kStopType)
                return static_cast<int>(seen.values.size());
            seen.values.push_back(wire::getU32(buf.data(), hdr::kPlainHeaderLen));
            seen.ticks.push_back(ozmTickGet());
        }
    }
}

std::vector<uint8_t> plain(uint32_t type, uint32_t value) {
    auto m = makeMessage(type, hdr::kPlainHeaderLen + 4, {svc::kIfm, 0});
    wire::putU32(m.data(), hdr::kPlainHeaderLen, value);
    return m;
}

class SimBackendTest : public ::testing::Test {
  protected:
    void SetUp() override { seen = {}; }
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
    ASSERT_EQ(seen.values.size(), kCount);
    for (uint32_t i = 0; i < kCount; ++i)
        ASSERT_EQ(seen.values[i], i);
    sim.ifm().rawBytes(plain(kStopType, 0));
    sim.settle();
    EXPECT_EQ(sim.taskState(), TaskState::Ended);
    EXPECT_EQ(sim.taskResult(), static_cast<int>(kCount));
}

// The task's drops reach the chassis through the platform (the drops golden trace shows the
// lines and counts): a LAG's and no interface's are named, a reason without text by its number,
// and a code past the counters is traced only.
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
