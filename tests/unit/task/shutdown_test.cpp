// Task disable: the reply first, then the agents told, every record freed and the task gone.
#include "platform/evtlog.h"
#include "platform/swp.h"
#include "tests/support/task_test.h"

namespace {

using namespace ttest;

TEST(Shutdown, TaskDisableRepliesThenReleasesEverything) {
    auto& s = tsim::boot();
    s.ifm().lagAdd({{s.ifIndex("lag1"), {s.ifIndex("ge0/6")}}});
    tsim::vlanAdd(s, "vl100", L2PT_FLAG_STP | L2PT_FLAG_PVST,
                  {access("ge0/1"), core("te1/0"), core("lag1")});
    s.cli().debugFilter(s.ifIndex("ge0/1"), 100, 0, 0, false);
    s.settle();
    for (const auto& pool : ozm::mem::stats()) {
        if (!pool.name.starts_with("var:")) {
            ASSERT_GT(pool.inUse, 0u) << pool.name;  // a record of each kind to free
        }
    }
    const OzmL2ptTcb tcb = ozmL2ptTcbNode;
    s.mgr().disable();
    s.settle();

    EXPECT_EQ(s.taskState(), chassis::TaskState::Exited);
    const size_t reply = lineOf(s, "mgr rx reply type=24402 code=0");
    EXPECT_LT(reply, lineOf(s, "evt unsubscribe 0x118013 0x118011 0x118012"));
    EXPECT_LT(reply, lineOf(s, "acl[0] rx deregister"));
    for (const char* a : {"acl[0] rx deregister", "acl[1] rx deregister", "acl[2] rx deregister",
                          "evt unsubscribe 0x118013 0x118011 0x118012", "kernel close protocol=1",
                          "kernel close protocol=9", "task ipc-close"}) {
        EXPECT_EQ(count(s, a), 1u) << a;
    }
    EXPECT_EQ(count(s, "acl[3]"), 0u);
    // The global agent's two agent-wide entries are removed after it was told.
    EXPECT_LT(lineOf(s, "acl[2] rx deregister"),
              lineOf(s, "acl[2] rx download seq=2 op=remove entries=2"));
    EXPECT_EQ(count(s, "mem"), 0u);  // no pool deleted while holding a block
    EXPECT_TRUE(ozm::mem::stats().empty());
    EXPECT_TRUE(s.cfgLines().empty());
    EXPECT_TRUE(records(s).empty());
    EXPECT_EQ(ozmSwpReadPipe(tcb.swpPipe), -1);
    EXPECT_EQ(ozmEvtSetSeverityLevel(tcb.logHandle, 0), -1);
    EXPECT_EQ(ozmL2ptTcbNode.stpSock + ozmL2ptTcbNode.l2ptSock, 0);
    EXPECT_EQ(sym("l2ptRateLimit"), 0u);
    EXPECT_EQ(l2ptAclBitmap, 0u);
}

}  // namespace
