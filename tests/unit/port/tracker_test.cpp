// PortTracker on MemPortOps, fed link events as the link monitor makes them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <tuple>

#include "net/port/mem_port_ops.h"
#include "net/port/port_tracker.h"

namespace netp::port {
namespace {

using Lines = std::vector<std::string>;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr size_t kAcc = 0;   // ge0/1 on acc1
constexpr size_t kCore = 1;  // te1/0 on core0; ge0/2 stands for no interface

Link link(uint32_t ifindex, std::string name, uint32_t mtu = 1500, bool up = true) {
    return {ifindex, std::move(name), mtu, up, up};
}

class Tracker : public ::testing::Test {
  protected:
    void added(const Link& l) { tracker.handle({LinkChange::Added, l, {}}); }
    void changed(const Link& before, const Link& now) {
        tracker.handle({LinkChange::Changed, now, before});
    }
    void removed(const Link& l) { tracker.handle({LinkChange::Removed, l, {}}); }
    void synced() { tracker.handle({LinkChange::Synced, {}, {}}); }
    // The log lines since the last call.
    Lines logged() { return std::exchange(lines, {}); }

    const TcPrograms programs{7, 8};
    MemPortOps ops;
    Lines lines;
    std::vector<std::tuple<size_t, PortState, PortState>> told;  // port, was, now
    PortTracker tracker{
        {{"ge0/1", "acc1"}, {"te1/0", "core0"}, {"ge0/2", ""}},
        ops,
        programs,
        [this](size_t p, const PortState& was) { told.emplace_back(p, was, tracker.state(p)); },
        [this](const std::string& l) { lines.push_back(l); }};
};

TEST_F(Tracker, StartAttachesWhatIsThereAndWaitsForWhatIsMissing) {
    added(link(1, "lo"));
    added(link(5, "acc1"));
    synced();
    EXPECT_EQ(logged(), (Lines{"port ge0/1 (acc1): ifindex 5, mtu 1500, up, attached",
                               "port te1/0: interface core0 missing; attached when it appears"}));
    EXPECT_EQ(ops.at(5), programs);
    EXPECT_EQ(ops.attachedCount(), 1u);
    EXPECT_EQ(tracker.ignored(), 1u);
    ASSERT_EQ(told.size(), 2u) << "bound, then attached";
    const PortState bound{5, 1500, true, true, false};
    EXPECT_EQ(told[0], std::tuple(kAcc, PortState{}, bound));
    EXPECT_EQ(told[1], std::tuple(kAcc, bound, PortState{5, 1500, true, true, true}));

    added(link(17, "core0", 9000, false));
    EXPECT_EQ(logged(), Lines{"port te1/0 (core0): interface appeared as ifindex 17, mtu 9000, "
                              "down (admin down), attached"});
    EXPECT_EQ(ops.at(17), programs);
    EXPECT_EQ(tracker.portOf(17), kCore);
    EXPECT_FALSE(tracker.state(kCore).up());
    synced();  // a later dump's end says nothing new
    EXPECT_TRUE(logged().empty());
}

// Removed and created again, then renamed away, back and onto another port.
TEST_F(Tracker, RemovedThenCreatedAgainThenRenamed) {
    added(link(5, "acc1"));
    synced();
    logged();
    removed(link(5, "acc1"));
    removed(link(5, "acc1"));  // told twice: nothing more happens
    EXPECT_EQ(told.back(), std::tuple(kAcc, PortState{5, 1500, true, true, true}, PortState{}));
    added(link(9, "acc1"));
    EXPECT_EQ(logged(), (Lines{"port ge0/1 (acc1): interface removed",
                               "port ge0/1 (acc1): interface created again as ifindex 9, mtu 1500, "
                               "up, attached"}));
    EXPECT_EQ(tracker.portOf(5), std::nullopt);
    EXPECT_EQ(ops.at(9), programs);
    EXPECT_EQ(tracker.count(kAcc, PortEvent::Removed), 1u);

    changed(link(9, "acc1"), link(9, "spare"));
    EXPECT_EQ(logged(), Lines{"port ge0/1 (acc1): interface renamed spare, detached"});
    EXPECT_EQ(ops.at(9), std::nullopt);
    EXPECT_EQ(tracker.state(kAcc).ifindex, 0u);
    changed(link(9, "spare"), link(9, "spare", 9000));  // no port's any more
    EXPECT_TRUE(logged().empty());
    EXPECT_EQ(tracker.ignored(), 2u);  // this and the second removal

    changed(link(9, "spare", 9000), link(9, "acc1", 9000));
    EXPECT_EQ(logged(), Lines{"port ge0/1 (acc1): interface spare (ifindex 9) "
                              "renamed acc1, mtu 9000, up, attached"});
    EXPECT_EQ(ops.at(9), programs);

    // One rename takes the interface from one port to the other.
    changed(link(9, "acc1", 9000), link(9, "core0", 9000));
    EXPECT_EQ(logged(), (Lines{"port ge0/1 (acc1): interface renamed core0, detached",
                               "port te1/0 (core0): interface acc1 (ifindex 9) renamed core0, "
                               "mtu 9000, up, attached"}));
    EXPECT_EQ(tracker.portOf(9), kCore);
    EXPECT_EQ(ops.at(9), programs);
    EXPECT_EQ(tracker.count(kAcc, PortEvent::RenamedAway), 2u);
}

TEST_F(Tracker, DownUpAndMtuChangeTheStateWithoutAttachingAgain) {
    added(link(5, "acc1"));
    logged();
    Link l = link(5, "acc1");
    auto change = [&](auto edit) {
        const Link before = l;
        edit(l);
        changed(before, l);
    };
    change([](Link& x) { x.carrier = false; });
    change([](Link& x) { x.adminUp = false; });
    change([](Link& x) { x.adminUp = x.carrier = true; });
    change([](Link& x) { x.mtu = 9000; });
    EXPECT_EQ(logged(),
              (Lines{"port ge0/1 (acc1): down (no carrier)", "port ge0/1 (acc1): down (admin down)",
                     "port ge0/1 (acc1): up", "port ge0/1 (acc1): mtu 1500 -> 9000"}));
    EXPECT_EQ(tracker.count(kAcc, PortEvent::Down), 1u);
    EXPECT_EQ(tracker.count(kAcc, PortEvent::Up), 1u);
    EXPECT_EQ(tracker.count(kAcc, PortEvent::Mtu), 1u);
    EXPECT_EQ(std::get<2>(told.back()), (PortState{5, 9000, true, true, true}));
    EXPECT_EQ(told.size(), 6u);  // the gain's two, a change's one each
    EXPECT_EQ(ops.attachCalls(), 1u);
}

TEST_F(Tracker, FailedAttachIsRetriedLaterAndAtTheInterfacesNextChange) {
    ops.failAttach(EPERM, 2);
    added(link(5, "acc1"));
    EXPECT_THAT(logged(), ElementsAre(HasSubstr("attach failed: Operation not permitted")));
    EXPECT_FALSE(tracker.state(kAcc).attached);
    EXPECT_EQ(ops.at(5), std::nullopt);

    changed(link(5, "acc1"), link(5, "acc1", 9000));
    EXPECT_EQ(tracker.count(kAcc, PortEvent::AttachFailed), 2u);
    EXPECT_FALSE(tracker.state(kAcc).attached);
    logged();
    changed(link(5, "acc1", 9000), link(5, "acc1", 9000, false));
    EXPECT_EQ(logged(),
              (Lines{"port ge0/1 (acc1): down (admin down)", "port ge0/1 (acc1): attached"}));
    EXPECT_TRUE(tracker.state(kAcc).attached);
    EXPECT_EQ(ops.at(5), programs);
    tracker.retryFailedAttaches();
    EXPECT_THAT(logged(), ElementsAre()) << "nothing to try again";
    ops.failAttach(EPERM, 1);
    changed(link(5, "acc1", 9000, false), link(6, "acc1", 9000, false));
    logged();
    tracker.retryFailedAttaches();
    EXPECT_THAT(logged(), ElementsAre("port ge0/1 (acc1): attached"));
    EXPECT_TRUE(tracker.state(kAcc).attached);
}

TEST(TrackerPorts, TwoOnOneInterfaceOrABadNameAreRefusedTwoOnNoneAreNot) {
    MemPortOps ops;
    auto make = [&](std::vector<PortNetdev> ports) {
        PortTracker t(std::move(ports), ops, {}, {}, [](const std::string&) {});
    };
    EXPECT_THROW(make({{"ge0/1", "acc1"}, {"ge0/2", "acc1"}}), std::invalid_argument);
    EXPECT_THROW(make({{"ge0/1", "a-name-too-long-for-linux"}}), std::invalid_argument);
    EXPECT_THROW(make({{"ge0/1", "sixteen-bytes-xx"}}), std::invalid_argument);  // no room for NUL
    EXPECT_NO_THROW(make({{"ge0/1", ""}, {"ge0/2", ""}}));
}

}  // namespace
}  // namespace netp::port
