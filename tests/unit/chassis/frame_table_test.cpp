// The frame table (tests/dataplane/frames.table) through the simulated data plane: each row's
// verdict, drop reason, trapped frame and the copies on every port, byte for byte.
#include <gtest/gtest.h>

#include <concepts>

#include "chassis/chassis.h"
#include "test_chassis.h"
#include "tests/support/frame_table.h"

namespace chassis {
namespace {

using namespace frametable;

class Runner {
  public:
    explicit Runner(const Table& t) : chassis_(loadChassisFile(t.chassis), task_) {}

    template <typename Step>
    requires std::invocable<test::TableSteps&, const Step&>
    void operator()(const Step& s) { steps_(s); }
    // The clock moves on and the learned MACs are walked, as the daemon ages the kernel's.
    void operator()(const Advance& a) {
        chassis_.clock().nowUs += a.seconds * kUsPerSecond;
        chassis_.cards().expireLearned();
    }
    void operator()(const Learning& l) {
        if (l.vlan)
            chassis_.cards().setVlanLearnLimit(*l.vlan, l.limit);
        else
            EXPECT_TRUE(chassis_.cards().setLearnLimit(port(l.port), l.limit, l.drop)) << l.port;
    }
    void operator()(const Learned& l) {
        SCOPED_TRACE("learned " + l.port + " (frames.table:" + std::to_string(l.line) + ")");
        const auto learning = chassis_.cards().bridging().learning(port(l.port));
        ASSERT_TRUE(learning);
        EXPECT_EQ(learning->count, l.count);
        const PortCounters& c = chassis_.cards().counters(port(l.port));
        EXPECT_EQ(c.learnMoves, l.moves);
        EXPECT_EQ(c.notLearned, l.refused);
    }
    void operator()(const Row& r) {
        SCOPED_TRACE("row " + r.name + " (frames.table:" + std::to_string(r.line) + ")");
        task_.pdus.clear();
        auto& dp = chassis_.cards();
        dp.clearFramesOut();
        const auto dropsBefore = dp.dropTotals();
        if (r.sent) {
            // The task's send succeeds as on the kernel's link; the card drops what it drops.
            EXPECT_TRUE(dp.frameOut(port(r.port), r.frame));
            const bool dropped = dp.dropTotals() != dropsBefore;
            EXPECT_EQ(verdictWord(dropped ? L2PT_VERDICT_DROPPED : L2PT_VERDICT_FORWARDED),
                      verdictWord(r.verdict));
            if (r.reason >= 0) {
                EXPECT_EQ(dp.dropTotals()[size_t(r.reason)], dropsBefore[size_t(r.reason)] + 1);
            }
            EXPECT_EQ(copiesText(copiesOut()), copiesText(r.out));
            return;
        }
        const Outcome o = dp.frameIn(port(r.port), r.frame);
        EXPECT_EQ(verdictWord(static_cast<int>(o.verdict)), verdictWord(r.verdict));
        if (r.reason >= 0) {
            EXPECT_EQ(reasonWord(static_cast<int>(o.reason)), reasonWord(r.reason));
            EXPECT_EQ(dp.dropTotals()[size_t(r.reason)], dropsBefore[size_t(r.reason)] + 1);
        }
        if (r.vlan) {
            EXPECT_EQ(o.vid, *r.vlan);
        }
        EXPECT_EQ(o.socket, r.socket);
        if (r.socket != 0 && task_.pdus.size() == 1) {
            EXPECT_EQ(chassis_.ifdb().name(task_.pdus[0].rxIf), r.rxIf);
            EXPECT_EQ(hexText(task_.pdus[0].frame), hexText(r.trapped));
        }
        EXPECT_EQ(task_.pdus.size(), r.socket != 0 ? 1u : 0u);
        const std::vector<Copy> copies = copiesOut();
        EXPECT_EQ(o.copies, copies.size());
        EXPECT_EQ(copiesText(copies), copiesText(r.out));
    }

  private:
    uint32_t port(const std::string& name) {
        return chassis::test::portNamed(chassis_.ifdb(), name);
    }
    std::vector<Copy> copiesOut() {
        std::vector<Copy> copies;
        for (size_t i = 0; i < chassis_.ifdb().portCount(); ++i) {
            const uint32_t p = chassis_.ifdb().portAt(i);
            for (const auto& f : chassis_.cards().framesOut(p))
                copies.push_back({chassis_.ifdb().name(p), f});
        }
        return copies;
    }

    test::Recorder task_;
    Chassis chassis_;
    test::TableSteps steps_{chassis_};
};

TEST(FrameTable, SimulatedDataPlaneGivesEveryRowsOutcome) {
    const Table table = load(L2PT_FRAME_TABLE);
    ASSERT_GT(table.steps.size(), 50u);
    Runner run(table);
    for (const auto& step : table.steps)
        std::visit(run, step);
}

}  // namespace
}  // namespace chassis
