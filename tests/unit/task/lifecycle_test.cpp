// The task's start-up failures and what each leaves open, and task disable releasing everything.
#include "platform/evtlog.h"
#include "platform/swp.h"
#include "tests/support/task_test.h"

namespace {

using namespace ttest;
using chassis::TaskState;

struct Failure {
    const char* fault;
    const char* console;  // perror or printf line, "" for none
    const char* log;      // text logged with 0x3a000d, "" for none
    const char* left;     // what is left open (or was opened and closed again)
    size_t pools;         // fixed pools and size classes left
};
void PrintTo(const Failure& f, std::ostream* os) {  // names the ctest cases
    *os << f.fault;
}

const Failure kFailures[] = {
    {"ozmTaskStartup", "l2ptTaskMain: ozmTaskStartup", "", "", 0},
    {"ozmEvtOpenlog", "l2ptTaskMain: ozmEvtOpenlog", "", "", 0},
    {"ozmEvtSetSeverityLevel", "l2ptTaskMain: ozmEvtSetSeverityLevel", "", "log", 0},
    {"ozmIpcTmrOpen", "", "Can't get IPC key", "", 0},
    {"ozm_memPartFixedInit", "L2PT ozm_memPartFixedInit error", "Mempool allocation failed", "ipc",
     0},
    {"ozmMC_ozm_memPartVarInit", "L2PT ozm_memPartVarInit error", "Mempool allocation failed",
     "ipc", 0},
    {"pool-create:L2PT_DEBUGNODE_POOL", "ozm_memPoolCreate(L2PT_DEBUGNODE_POOL) error",
     "Mempool allocation failed", "ipc", 13},
    {"socket:1", "l2ptSocketInit: socket(AF_OZML2, SOCK_RAW, OZML2STP) returned error -1 ",
     "socket init failed", "ipc", 15},
    {"bind:1", "l2ptSocketInit: socket(AF_OZML2, SOCK_RAW, OZML2STP) bind returned error -1 ",
     "socket init failed", "ipc stp:closed", 15},
    {"socket:9", "l2ptSocketInit: socket(AF_OZML2, SOCK_RAW, OZML2L2PT) returned error -1 ",
     "socket init failed", "ipc stp", 15},
    {"bind:9", "l2ptSocketInit: socket(AF_OZML2, SOCK_RAW, OZML2L2PT) bind returned error -1 ",
     "socket init failed", "ipc stp l2pt:closed", 15},
    {"ozmSwpCreatePipe", "", "cannot create SWP pipe", "log ipc stp l2pt", 15},
    // From the subscription on, a failure takes the task-exit road that closes everything.
    {"ozmEvhSubscribeEvt", "", "cannot subscribe to linecard events", "stp:closed l2pt:closed", 0},
};

// What the task left open, in the words of the table above.
std::string leftOpen(chassis::SimSwitch& sim) {
    std::string out;
    auto add = [&](const std::string& word) { out += (out.empty() ? "" : " ") + word; };
    if (ozmEvtSetSeverityLevel(ozmL2ptTcbNode.logHandle, 0) == 0)
        add("log");
    if (count(sim, "task ipc-open") > count(sim, "task ipc-close"))
        add("ipc");
    for (auto [name, protocol] : {std::pair{"stp", "1"}, {"l2pt", "9"}}) {
        if (count(sim, std::string("kernel socket family=34 protocol=") + protocol) != 0) {
            const bool closed = count(sim, std::string("kernel close protocol=") + protocol) != 0;
            add(std::string(name) + (closed ? ":closed" : ""));
        }
    }
    return out;
}

class StartupFailure : public testing::TestWithParam<Failure> {};

TEST_P(StartupFailure, ReportsAndLeavesOpenWhatItShould) {
    const Failure& f = GetParam();
    chassis::SimSwitch sim(chassis::loadChassisText(tsim::kChassis));
    sim.faults().arm(f.fault, 1);
    sim.start(l2ptTaskMain);
    const bool exits = std::string_view(f.fault) == "ozmEvhSubscribeEvt";
    EXPECT_EQ(sim.taskState(), exits ? TaskState::Exited : TaskState::Ended);
    EXPECT_EQ(sim.taskResult(), exits ? 0 : -1);
    EXPECT_FALSE(sim.taskReady());
    EXPECT_EQ(count(sim, "ifm rx"), 0u);
    EXPECT_EQ(sim.consoleLines(), *f.console ? Texts{f.console} : Texts{});
    EXPECT_EQ(records(sim), *f.log ? std::vector<Rec>{failure(f.log)} : std::vector<Rec>{});
    EXPECT_EQ(leftOpen(sim), f.left);
    EXPECT_EQ(ozm::mem::stats().size(), f.pools);
    EXPECT_FALSE(sim.events().subscribed(EVT_LINECARD_UP));
    EXPECT_EQ(count(sim, "mem"), 0u);  // no block reported held
}

INSTANTIATE_TEST_SUITE_P(Task, StartupFailure, testing::ValuesIn(kFailures), [](const auto& info) {
    std::string name = info.param.fault;
    std::erase_if(name, [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); });
    return name;
});

// After the agents registered: they are deregistered, everything freed (a pool that cannot be
// deleted is logged, the others go all the same), and the task exits without becoming ready.
TEST(Startup, FailedDownloadRequestTearsDownRegisteredAgents) {
    chassis::SimSwitch sim(chassis::loadChassisText(tsim::kChassis));
    sim.faults().arm("acl-silent:0", 1);  // parks the task inside the registration
    sim.faults().arm("pool-delete:L2PT_VMAN_POOL", 1);
    sim.start(l2ptTaskMain);
    sim.faults().arm("ifm-status", 1);  // for the download request that follows
    sim.advanceMs(30000);
    EXPECT_EQ(sim.taskState(), TaskState::Exited);
    EXPECT_FALSE(sim.taskReady());
    EXPECT_EQ(count(sim, "acl[0] rx register"), 2u);
    EXPECT_EQ(count(sim, "acl[0] rx deregister") + count(sim, "acl[2] rx deregister"), 2u);
    EXPECT_THAT(records(sim), ElementsAre(failure("cannot send download data message to IFM"),
                                          failure("deletion of mem pools caused error")));
    EXPECT_EQ(ozm::mem::blocksInUse(), 0u);
    EXPECT_EQ(ozm::mem::stats().size(), 1u);
    EXPECT_EQ(l2ptAclBitmap, 0u);
}

TEST(Shutdown, TaskDisableRepliesThenReleasesEverything) {
    auto& s = tsim::boot();
    s.ifm().lagAdd({{s.ifIndex("lag1"), {s.ifIndex("ge0/6")}}});
    tsim::vlanAdd(s, "vl100", L2PT_FLAG_STP | L2PT_FLAG_PVST,
                  {access("ge0/1"), core("te1/0"), core("lag1")});
    s.cli().debugFilter(s.ifIndex("ge0/1"), 100, 0, 0, false);
    s.settle();
    for (const auto& pool : ozm::mem::stats())  // a record of each kind to free
        ASSERT_TRUE(pool.name.starts_with("var:") || pool.inUse > 0) << pool.name;
    const OzmL2ptTcb tcb = ozmL2ptTcbNode;
    s.mgr().disable();
    s.settle();

    // The order of the release is the tool golden trace's: here, that all of it is released.
    EXPECT_EQ(s.taskState(), chassis::TaskState::Exited);
    EXPECT_EQ(count(s, "mem"), 0u);  // no pool deleted while holding a block
    EXPECT_TRUE(ozm::mem::stats().empty());
    EXPECT_TRUE(s.cfgLines().empty());
    EXPECT_TRUE(records(s).empty());
    EXPECT_EQ(ozmSwpReadPipe(tcb.swpPipe), -1);
    EXPECT_EQ(ozmEvtSetSeverityLevel(tcb.logHandle, 0), -1);
    EXPECT_EQ(l2ptAclBitmap, 0u);
}

}  // namespace
