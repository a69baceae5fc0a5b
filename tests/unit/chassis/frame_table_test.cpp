// The frame table (tests/dataplane/frames.table) through the simulated data plane: each row's
// verdict, drop reason, trapped frame and the copies on every port, byte for byte.
#include <gtest/gtest.h>

#include "tests/support/sim_runner.h"

namespace chassis {
namespace {

TEST(FrameTable, SimulatedDataPlaneGivesEveryRowsOutcome) {
    const frametable::Table table = frametable::load(L2PT_FRAME_TABLE);
    ASSERT_GT(table.steps.size(), 50u);
    test::SimRunner run(table);
    for (const auto& step : table.steps)
        std::visit(run, step);
}

}  // namespace
}  // namespace chassis
