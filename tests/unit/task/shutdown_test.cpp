// Task disable: the reply first, then the agents told, every record freed and the task gone.
#include <gtest/gtest.h>

#include "classification/agents.h"
#include "platform/evtlog.h"
#include "platform/swp.h"
#include "state/protocol.h"
#include "tests/unit/task/task_test.h"

using ttest::count;
using ttest::lineOf;

namespace {

TEST(Shutdown, TaskDisableRepliesThenReleasesEverything) {
    auto sim = tsim::boot();
    sim->ifm().lagAdd({{sim->ifIndex("lag1"), {sim->ifIndex("ge0/6")}}});
    tsim::vlanAdd(*sim, "vl100", L2PT_FLAG_STP | L2PT_FLAG_PVST,
                  {tsim::access("ge0/1"), tsim::core("te1/0"), tsim::core("lag1")});
    sim->cli().debugFilter(sim->ifIndex("ge0/1"), 100, 0, 0, false);
    sim->settle();
    for (const auto& pool : ozm::mem::stats()) {
        if (!pool.name.starts_with("var:")) {
            ASSERT_GT(pool.inUse, 0u) << pool.name;  // a record of each kind to free
        }
    }
    const OzmL2ptTcb tcb = ozmL2ptTcbNode;
    sim->mgr().disable();
    sim->settle();

    EXPECT_EQ(sim->taskState(), chassis::TaskState::Exited);
    const size_t reply = lineOf(*sim, "mgr rx reply type=24402 code=0");
    EXPECT_LT(reply, lineOf(*sim, "evt unsubscribe 0x118013 0x118011 0x118012"));
    EXPECT_LT(reply, lineOf(*sim, "acl[0] rx deregister"));
    for (const char* a : {"acl[0] rx deregister", "acl[1] rx deregister", "acl[2] rx deregister",
                          "evt unsubscribe 0x118013 0x118011 0x118012", "kernel close protocol=1",
                          "kernel close protocol=9", "task ipc-close"}) {
        EXPECT_EQ(count(*sim, a), 1u) << a;
    }
    EXPECT_EQ(count(*sim, "acl[3]"), 0u);
    // The global agent's two agent-wide entries are removed after it was told.
    EXPECT_LT(lineOf(*sim, "acl[2] rx deregister"),
              lineOf(*sim, "acl[2] rx download seq=2 op=remove entries=2"));
    EXPECT_EQ(count(*sim, "mem"), 0u);  // no pool deleted while holding a block
    EXPECT_TRUE(ozm::mem::stats().empty());
    EXPECT_TRUE(sim->cfgLines().empty());
    EXPECT_TRUE(ttest::records(*sim).empty());
    EXPECT_EQ(ozmSwpReadPipe(tcb.swpPipe), -1);
    EXPECT_EQ(ozmEvtSetSeverityLevel(tcb.logHandle, 0), -1);
    EXPECT_EQ(ozmL2ptTcbNode.stpSock + ozmL2ptTcbNode.l2ptSock, 0);
    EXPECT_EQ(ttest::sym("l2ptRateLimit"), 0u);
    EXPECT_EQ(l2ptAclBitmap, 0u);
}

}  // namespace
