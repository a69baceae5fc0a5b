// A frame table through the simulated data plane: each row's frame makes a row of its own, byte
// for byte, compared with the table's or filling in a generated one.
#pragma once

#include <gtest/gtest.h>

#include <concepts>

#include "chassis/chassis.h"
#include "tests/support/frame_table.h"
#include "tests/unit/chassis/test_chassis.h"

namespace chassis::test {

class SimRunner {
  public:
    explicit SimRunner(const frametable::Table& t) : chassis_(loadChassisFile(t.chassis), task_) {}

    template <typename Step>
    requires std::invocable<TableSteps&, const Step&>
    void operator()(const Step& s) { steps_(s); }
    // The clock moves on and the learned MACs are walked, as the daemon ages the kernel's.
    void operator()(const frametable::Advance& a) {
        chassis_.clock().nowUs += a.seconds * kUsPerSecond;
        chassis_.cards().expireLearned();
    }
    void operator()(const frametable::Learning& l) {
        if (l.vlan)
            chassis_.cards().setVlanLearnLimit(*l.vlan, l.limit);
        else
            EXPECT_TRUE(chassis_.cards().setLearnLimit(port(l.port), l.limit, l.drop)) << l.port;
    }
    void operator()(const frametable::Learned& l) {
        EXPECT_EQ(stepText(learned(l)), stepText(l)) << "frames.table:" << l.line;
    }
    void operator()(const frametable::Row& r) {
        EXPECT_EQ(stepText(asStated(observe(r), r)), stepText(r)) << "frames.table:" << r.line;
    }

    // l as the simulation has it: what its port holds of the learned MACs, and its counters.
    frametable::Learned learned(frametable::Learned l) {
        const auto learning = chassis_.cards().bridging().learning(port(l.port));
        EXPECT_TRUE(learning) << l.port;
        const PortCounters& c = chassis_.cards().counters(port(l.port));
        std::tie(l.count, l.moves, l.refused) =
            std::tuple(learning ? learning->count : 0, c.learnMoves, c.notLearned);
        return l;
    }

    // What the simulated data plane makes of r's frame, as a row: the VLAN of every frame it
    // bridges or drops, a trapped frame's as the task gets it.
    frametable::Row observe(const frametable::Row& r) {
        frametable::Row got = asStated({}, r);  // r's frame, no outcome yet
        task_.pdus.clear();
        auto& dp = chassis_.cards();
        dp.clearFramesOut();
        const auto before = dp.dropTotals();
        got.verdict = L2PT_VERDICT_FORWARDED;
        if (r.sent) {
            // The task's send succeeds as on the kernel's link or finds no way out; the card
            // drops what it drops.
            dp.frameOut(port(r.port), r.frame, true);
        } else {
            const Outcome o = dp.frameIn(port(r.port), r.frame);
            got.verdict = static_cast<int>(o.verdict);
            if (o.verdict != Verdict::Trapped)
                got.vlan = o.vid;
            got.socket = o.socket;
            EXPECT_EQ(task_.pdus.size(), o.socket != 0 ? 1u : 0u);
            if (o.socket != 0 && !task_.pdus.empty()) {
                got.rxIf = chassis_.ifdb().name(task_.pdus[0].rxIf);
                got.trapped = task_.pdus[0].frame;
            }
            got.out = copiesOut();
            EXPECT_EQ(o.copies, got.out.size());
            if (o.verdict != Verdict::Dropped)
                return got;
            got.reason = static_cast<int>(o.reason);
        }
        if (r.sent)
            got.out = copiesOut();
        // A dropped frame counts one drop, for its reason.
        std::vector<int> counted;
        for (size_t i = 0; i < before.size(); ++i) {
            if (dp.dropTotals()[i] != before[i])
                counted.push_back(static_cast<int>(i));
        }
        if (r.sent && !counted.empty())
            std::tie(got.verdict, got.reason) = std::tuple(L2PT_VERDICT_DROPPED, counted[0]);
        EXPECT_EQ(counted, got.reason < 0 ? std::vector<int>{} : std::vector<int>{got.reason});
        if (got.reason >= 0) {
            EXPECT_EQ(dp.dropTotals()[size_t(got.reason)], before[size_t(got.reason)] + 1);
        }
        return got;
    }

  private:
    uint32_t port(const std::string& name) { return portNamed(chassis_.ifdb(), name); }
    std::vector<frametable::Copy> copiesOut() {
        std::vector<frametable::Copy> copies;
        for (size_t i = 0; i < chassis_.ifdb().portCount(); ++i) {
            const uint32_t p = chassis_.ifdb().portAt(i);
            for (const auto& f : chassis_.cards().framesOut(p))
                copies.push_back({chassis_.ifdb().name(p), f});
        }
        return copies;
    }

    Recorder task_;
    Chassis chassis_;
    TableSteps steps_{chassis_};
};

}  // namespace chassis::test
