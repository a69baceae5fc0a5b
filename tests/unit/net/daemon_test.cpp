// The chassis daemon in process, without interfaces (so without privilege), its clients on
// ctl.sock and a real l2ptd against it.
#include "net/daemon/daemon.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <atomic>
#include <bit>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "chassis/config.h"
#include "chassis/message.h"
#include "chassis/services.h"
#include "net/backend/restart.h"
#include "net/daemon/metrics.h"
#include "net/daemon/operator_change.h"
#include "net/daemon/render.h"
#include "net/daemon/rundir.h"
#include "net/daemon/sessions.h"
#include "net/proto/ctl.h"
#include "net/proto/protocol.h"
#include "platform/wire/bytes.h"
#include "platform/wire/header.h"
#include "platform/wire/l2pt.h"
#include "tests/support/slow_close.h"
#include "tests/unit/chassis/test_chassis.h"

namespace {

namespace ctl = netp::ctl;
using namespace std::chrono_literals;
using ::testing::AllOf;
using ::testing::AnyOf;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kChassis = R"(chassis: {name: daemontest, slots: 12}
rpm: {role: primary, master_slot: 11, peer: none}
card_types: [{id: 1, name: 8x1G, ten_gig: false}]
line_cards:
  - {slot: 0, type: 1, agent: per-port, ports: [{range: 1-2, name: "ge0/{n}", vlan: 100}]}
  - {slot: 1, type: 1, agent: per-port, ports: [{number: 0, name: "te1/0"}]}
lags: [{number: 1, name: "port-channel\e[2J"}, {number: 2, name: "lag\e"}]
vlans:
  - {id: 100, name: vl100}
  - {id: 200, name: vl200}
l2cp:
  - {port: "port-channel\e[2J", addresses: "02", action: forward}
  - {port: "lag\e", addresses: "02", action: forward}
tunnelling:
  vlans:
    - {vlan: vl100, protocols: [stp], ports: [{port: ge0/1, mode: access}, {port: te1/0, mode: core}]}
    - {vlan: vl200, protocols: [lldp], ports: [{port: ge0/2, mode: access}, {port: te1/0, mode: core}]}
)";

struct Answer {
    uint32_t id = 0;
    std::string out;
    std::string err;
    int exit = -1;
    std::string refused;
};

// A daemon stepped on a thread of its own, in a scratch run directory.
struct Rig {
    std::string dir;
    std::unique_ptr<netp::Logger> logger;
    std::unique_ptr<netp::Daemon> daemon;
    std::atomic<bool> stop{false};
    std::thread loop;
    pid_t task = -1;

    // withState: operators' changes kept in dir/lib/state.yaml.
    explicit Rig(netp::DaemonOptions o = {}, bool withState = false,
                 std::string_view chassisText = kChassis) {
        char tmpl[] = "/tmp/l2pt-daemon-test-XXXXXX";
        dir = ::mkdtemp(tmpl);
        if (withState)
            o.stateFile = dir + "/lib/state.yaml";
        std::ofstream(dir + "/chassis.in.yaml") << chassisText;
        o.chassisFile = dir + "/chassis.in.yaml";
        o.runDir = dir + "/run";
        logger = std::make_unique<netp::Logger>(netp::LogOptions{dir + "/daemon.log", false});
        daemon = std::make_unique<netp::Daemon>(o, *logger);
        resume();
    }
    ~Rig() {
        if (task > 0) {
            ::kill(task, SIGKILL);
            ::waitpid(task, nullptr, 0);
        }
        halt();
        daemon.reset();
        std::filesystem::remove_all(dir);
    }
    // Stops stepping the daemon: its models may be read from here on.
    void halt() {
        stop = true;
        if (loop.joinable())
            loop.join();
    }
    // Steps the daemon on a thread of its own (again).
    void resume() {
        stop = false;
        loop = std::thread([this] {
            while (!stop && daemon->step(10)) {
            }
        });
    }
    // A real l2ptd, started; with ready, once status says it is ready.
    void startTask(bool ready = true) {
        task = ::fork();
        if (task == 0) {
            ::execl(L2PTD_PATH, L2PTD_PATH, "--chassis", (dir + "/run").c_str(), nullptr);
            ::_exit(127);
        }
        if (ready)
            awaitTask();
    }
    void awaitTask() const {
        for (int i = 0; i < 200 && run({"status"}).exit != 0; ++i)
            std::this_thread::sleep_for(20ms);
        ASSERT_EQ(run({"status"}).exit, 0) << "l2ptd did not become ready";
    }
    // A file of the scratch directory's, as it is now ("" when there is none).
    std::string read(const std::string& name) const {
        std::ifstream in(dir + "/" + name);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    std::string log() const { return read("daemon.log"); }
    size_t logged(std::string_view what) const {
        const std::string text = log();
        size_t n = 0;
        for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; ++at)
            ++n;
        return n;
    }

    netp::Fd connect() const {
        netp::Fd fd = netp::connectSeqpacket(dir + "/run/" + netp::kCtlSocket);
        EXPECT_TRUE(fd.valid());
        return fd;
    }
    static void send(int fd, const ctl::Request& r) {
        EXPECT_TRUE(netp::sendDatagram(fd, ctl::encode(r)));
    }
    // The answer's datagrams until its end (Exit or Refused), or what came before a silence.
    static Answer receive(int fd, std::chrono::milliseconds limit = 10s) {
        Answer a;
        std::vector<uint8_t> d;
        while (netp::waitReadable(fd, static_cast<int>(limit.count())) &&
               netp::recvDatagram(fd, d, false) == netp::Recv::Ok &&
               d.size() >= ctl::answer::kText) {
            a.id = wire::getU32(d.data(), ctl::answer::kId);
            const std::string text(d.begin() + ctl::answer::kText, d.end());
            switch (static_cast<ctl::Kind>(d[ctl::answer::kKind])) {
                case ctl::Kind::Out:
                    a.out += text;
                    break;
                case ctl::Kind::Err:
                    a.err += text;
                    break;
                case ctl::Kind::Exit:
                    a.exit = std::stoi(text);
                    return a;
                case ctl::Kind::Refused:
                    a.refused = text;
                    return a;
            }
        }
        return a;
    }
    Answer run(std::vector<std::string> args, std::vector<ctl::Option> options = {}) const {
        netp::Fd fd = connect();
        send(fd.get(), {1, std::move(args), std::move(options)});
        return receive(fd.get());
    }
};

// The fewest bytes left unread by a connection the log says was let go for its queue
// (SIZE_MAX: none was).
size_t leastUnread(const std::string& log) {
    const std::string_view overflowed = "output queue overflowed (";
    size_t least = SIZE_MAX;
    for (size_t at = 0; (at = log.find(overflowed, at)) != std::string::npos; ++at)
        least = std::min<size_t>(least, std::stoull(log.substr(at + overflowed.size())));
    return least;
}

TEST(Daemon, AClientThatReadsNothingIsLetGoAndCostsTheOthersNothing) {
    netp::DaemonOptions o;
    o.clientQueueBytes = 16 * 1024;
    Rig rig(o);
    rig.startTask();
    netp::Fd silent = rig.connect();
    Rig::send(silent.get(), {7, {"trace"}, {}});
    // Every change traces a few lines to the silent client; it never reads them.
    int changes = 0;
    for (; changes < 2000 && rig.log().find("output queue overflowed") == std::string::npos;
         ++changes) {
        const Answer a =
            rig.run(changes % 2 ? std::vector<std::string>{"rate", "remove", "vl100"}
                                : std::vector<std::string>{"rate", "set", "vl100", "64"});
        ASSERT_EQ(a.exit, 0) << "change " << changes << ": " << a.err << a.refused;
    }
    const std::string log = rig.log();
    EXPECT_THAT(log, HasSubstr("ctl client pid " + std::to_string(::getpid())));
    EXPECT_THAT(log, HasSubstr("output queue overflowed")) << changes << " changes";
    EXPECT_EQ(rig.run({"status"}).exit, 0);

    // Clients that ask and never read, each within its queue's bound, hold no more than the
    // clients' floors and pool together; those that find the pool spent are let go.
    Rig many;
    // Each asks for some 700 KiB: 30 of them want more than the pool.
    const size_t answer = many.run({"metrics"}).out.size() + ctl::answer::kText;
    ASSERT_GT(answer, 1000u);
    const auto asks = static_cast<uint32_t>((700u << 10) / answer);
    std::vector<netp::Fd> greedy;
    for (int i = 0; i < 30; ++i) {
        greedy.push_back(many.connect());
        // Until the daemon lets it go.
        for (uint32_t id = 1; id <= asks; ++id)
            if (!netp::sendDatagram(greedy.back().get(), ctl::encode({id, {"metrics"}, {}})))
                break;
    }
    for (int i = 0; i < 3000 && many.logged("more than their floors") == 0; ++i)
        std::this_thread::sleep_for(10ms);
    // Let go with less than its own bound unread: the pool was spent.
    EXPECT_LT(leastUnread(many.log()), netp::DaemonOptions{}.clientQueueBytes / 2);
    EXPECT_THAT(many.log(), HasSubstr("the queues of its kind hold"));
    EXPECT_EQ(many.run({"l2cp"}).exit, 0);

    // Nor one whose descriptor is slow to close (lingering 3 s), sent with a request that takes
    // none: the daemon holds its last reference.
    netp::test::SlowClose lingering = netp::test::slowClose(3);
    const netp::Fd sender = rig.connect();
    std::vector<uint8_t> status = ctl::encode({1, {"status"}, {}});
    const iovec iov{status.data(), status.size()};
    const int passed[] = {lingering.slow.get()};
    ASSERT_GT(netp::sendParts(sender.get(), {&iov, 1}, passed, 0), 0);
    lingering.slow.reset();
    EXPECT_THAT(Rig::receive(sender.get()).err, HasSubstr("no file expected"));
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(rig.run({"status"}).exit, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 1s);
}

// A pass made long (the loop held 600 ms, 80 operators' requests waiting) fences no task: no
// ping went meanwhile. Here the task is stopped from before the pass to after it.
TEST(Daemon, ABusyPassFencesNoTaskThatAnswered) {
    Rig rig;
    rig.startTask();
    std::vector<netp::Fd> operators;
    for (int i = 0; i < 80; ++i)
        operators.push_back(rig.connect());
    ::kill(rig.task, SIGSTOP);
    std::this_thread::sleep_for(50ms);  // the operators accepted, the task's last pong read
    rig.halt();
    for (const netp::Fd& fd : operators)
        Rig::send(fd.get(), {1, {"status"}, {}});
    std::this_thread::sleep_for(600ms);
    rig.resume();
    std::this_thread::sleep_for(20ms);
    ::kill(rig.task, SIGCONT);
    for (const netp::Fd& fd : operators)
        EXPECT_EQ(Rig::receive(fd.get()).exit, 0);
    EXPECT_EQ(rig.logged("fenced"), 0u) << rig.log();
}

// Whether l2ptd runs its own program and holds a socket (it began to connect).
bool taskConnecting(pid_t pid) {
    const std::string proc = "/proc/" + std::to_string(pid);
    std::error_code ec;
    if (!std::filesystem::equivalent(proc + "/exe", L2PTD_PATH, ec))
        return false;  // the test's own descriptors, before the exec
    for (const auto& e : std::filesystem::directory_iterator(proc + "/fd", ec)) {
        if (std::filesystem::read_symlink(e.path(), ec).string().starts_with("socket:"))
            return true;
    }
    return false;
}

// l2ptd reads the chassis file of the daemon that admits it, not the one an earlier daemon left
// in the run directory (here with other port names) until the new one wrote its own.
TEST(Daemon, TheTaskReadsTheChassisFileOfTheDaemonThatAdmitsIt) {
    Rig rig;
    rig.halt();
    const std::string name = "run/" + std::string(netp::kChassisFile);
    const std::string own = rig.read(name);
    std::string before = own;
    for (size_t at = 0; (at = before.find("ge0/", at)) != std::string::npos;)
        before.replace(at, 4, "gx0/");
    std::ofstream(rig.dir + "/" + name) << before;
    rig.startTask(false);
    for (int i = 0; i < 500 && !taskConnecting(rig.task); ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(taskConnecting(rig.task));
    std::ofstream(rig.dir + "/" + name) << own;
    rig.resume();
    rig.awaitTask();
    const Answer show = rig.run({"show", "100"});
    EXPECT_EQ(show.exit, 0) << show.err;
    EXPECT_THAT(show.out, AllOf(HasSubstr("ge0/1"), Not(HasSubstr("gx0/"))));
}

// The task socket wakes l2ptd waiting for its daemon, also in a run directory missing at first
// or removed and made again (as a service manager does) after an earlier wait.
TEST(Restart, AWaitIsCutShortByATaskSocketInARunDirectoryMadeAgain) {
    char tmpl[] = "/tmp/l2pt-restart-test-XXXXXX";
    const std::string dir = ::mkdtemp(tmpl);
    const std::string run = dir + "/run";
    netp::Logger log(netp::LogOptions{dir + "/l2ptd.log", false});
    const auto startedOver = [] {
        ::setenv("L2PTD_START_OVER_MS", "50", 1);  // waits of 50 ms
        char arg0[] = "l2ptd";
        char* argv[] = {arg0, nullptr};
        sigset_t mask;
        sigemptyset(&mask);
        return netp::Restart(1, argv, mask);
    };
    const auto makeRunDir = [&](bool withSocket) {
        std::filesystem::remove_all(run);
        std::filesystem::create_directory(run);
        if (withSocket)
            std::ofstream(run + "/" + netp::kTaskSocket).put('\n');
    };
    netp::Restart missing = startedOver();
    EXPECT_FALSE(missing.await(log, run));  // nothing there: the wait runs out
    makeRunDir(true);
    EXPECT_TRUE(missing.await(log, run)) << "the directory made after the first wait";

    netp::Restart remade = startedOver();
    makeRunDir(false);
    EXPECT_FALSE(remade.await(log, run));
    makeRunDir(true);
    EXPECT_TRUE(remade.await(log, run)) << "the directory removed and made again";

    // A relaying task takes no listener that goes at once (a daemon on its way out, whose
    // heartbeat closed first) for a daemon that serves; the next one's socket ends its wait.
    makeRunDir(false);
    netp::RunDir rd(run, std::nullopt);
    netp::Fd dying = rd.listen(netp::kTaskSocket, 0600, std::nullopt);
    std::atomic<bool> served = false;
    std::thread daemons([&] {
        pollfd first{dying.get(), POLLIN, 0};
        ::poll(&first, 1, -1);
        dying.reset();
        std::this_thread::sleep_for(300ms);
        served = true;
        (void)rd.listen(netp::kTaskSocket, 0600, std::nullopt);
    });
    startedOver().awaitDaemon(log, run);
    EXPECT_TRUE(served);
    daemons.join();
    std::filesystem::remove_all(dir);
}

// An operator's change is checked whole against the chassis' rules into a typed change before
// any of it runs; the refusal names the command and what is wrong.
TEST(OperatorChange, IsCheckedWholeAgainstTheChassisRules) {
    const auto cfg = chassis::loadChassisText(
        "card_types: [{id: 1}]\nline_cards: [{slot: 0, type: 1, ports: [{range: 1-3, name: "
        "\"ge0/{n}\"}]}]\nlags: [{number: 1, members: [ge0/2]}]\nvlans: [{id: 100, name: vl100}]\n",
        "oc.yaml");
    const chassis::IfDb db(cfg);
    using Args = std::vector<std::string>;
    using Options = std::vector<ctl::Option>;
    const auto change = [&](Args args, Options options) {
        return netp::operatorChange({0, std::move(args), std::move(options)}, db);
    };
    const auto refusal = [&](Args args, Options options) {
        try {
            change(std::move(args), std::move(options));
        } catch (const std::invalid_argument& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    const auto with = [](std::string port) { return Options{{"proto", "stp"}, {"port", port}}; };
    const std::tuple<Args, Options, std::string> refused[] = {
        {{"vlan", "add", "999"}, with("ge0/1:access"), "vlan: VLAN 999 is not a VLAN of the"},
        {{"vlan", "add", "vl100"}, with("vl100:core"), "vlan: 'vl100' is not a port or LAG"},
        {{"vlan", "add", "vl100"}, with("if:5:core"), "interfaces by number are for the"},
        {{"vlan", "add", "vl100"}, with("ge0/1:2"), "port 'ge0/1:2' needs :access or :core"},
        {{"vlan", "del", "vl100"}, {{"proto", "7"}}, "vlan: unknown protocol '7'"},
        {{"rate", "set", "4000", "8"}, {}, "rate: VLAN 4000 is not a VLAN of the chassis"},
        {{"lag", "add", "lag1", "ge0/1", "ge0/2"}, {}, "'ge0/2' is a member of 'lag1' already"},
        {{"lag", "add", "lag1", "ge0/1", "ge0/1"}, {}, "lag: port 'ge0/1' is named twice"},
        {{"lag", "del", "lag1", "ge0/1"}, {}, "lag: 'ge0/1' is not a member of 'lag1'"},
        {{"card", "up", "32"}, {}, "card: slot 32 is above 31"},
        {{"card", "sideways", "1"}, {}, "card: 'sideways' is not up, down or removed"},
        {{"debug", "ge0/1"}, {{"direction", "up"}}, "debug: direction 'up' is none of"},
        {{"debug", "ge0/1"}, {{"vlan", "4096"}}, "debug: vlan 4096 is above 4095"},
        {{"tunnel-mac", "02:00:00:00:00"}, {}, "is not a MAC address"},
        {{"tunnel-mac", "ff:ff:ff:ff:ff:ff"}, {}, "cannot be the tunnel MAC"},
        {{"tunnel-mac", "01:80:c2:00:00:2f"}, {}, "cannot be the tunnel MAC"},
        {{"tunnel-mac", "01:00:0c:cc:cc:cd"}, {}, "cannot be the tunnel MAC"},
        {{"tunnel-mac", "default"}, {{"replace-global", ""}}, "goes with a MAC"},
        {{"vman-tpid", "0x10000"}, {}, "vman-tpid: tpid 0x10000 is above 65535"},
        {{"vlan", "add", "vl100"},
         {{"proto", "stp"}, {"port", "ge0/1:access"}, {"rate", "65536"}},
         "vlan: rate 65536 is above 65535"},
        {{"vman-tpid", "0x05ff"}, {}, "vman-tpid: tpid 0x05ff is no EtherType"},
    };
    for (const auto& [args, options, why] : refused)
        EXPECT_THAT(refusal(args, options), ::testing::HasSubstr(why)) << why;

    const auto vlan =
        std::get<chassis::VlanChange>(change({"vlan", "add", "100"}, {{"proto", "stp,pvst"},
                                                                      {"port", "ge0/1:access"},
                                                                      {"port", "lag1:core"},
                                                                      {"rate", "65535"}}));
    ASSERT_EQ(vlan.blocks.size(), 1u);
    EXPECT_EQ(vlan.blocks[0].vlanIf, chassis::vlanIfIndex(100));
    EXPECT_EQ(vlan.blocks[0].protocols, chassis::kProtoStp | chassis::kProtoPvst);
    EXPECT_EQ(vlan.blocks[0].rate, 65535);
    ASSERT_EQ(vlan.blocks[0].ports.size(), 2u);
    EXPECT_EQ(vlan.blocks[0].ports[1].ifIndex, *db.find("lag1"));
    EXPECT_EQ(vlan.blocks[0].ports[1].mode, vlanmsg::kModeCorePort);
    const auto debug = std::get<chassis::CliChange>(
        change({"debug", "ge0/3"}, {{"vlan", "vl100"}, {"count", "5"}, {"direction", "out"}}));
    ASSERT_TRUE(debug.request);
    EXPECT_EQ(debug.request->word92, *db.find("ge0/3"));
    EXPECT_EQ(debug.request->word96, 100u);
    EXPECT_EQ(debug.request->word100, 5u);
    EXPECT_EQ(debug.request->direction, 2);
    EXPECT_EQ(std::get<chassis::LagChange>(change({"lag", "del", "lag1", "ge0/2"}, {})).join,
              false);
    EXPECT_FALSE(std::get<chassis::CliChange>(change({"undebug", "all"}, {})).request);
}

// Also: two hundred clients at once each get their own answer; policer changes are checked,
// put in force and kept, and one the state cannot keep fails the client.
TEST(Daemon, RequestsAreCheckedBeforeTheyRunAndAnsweredWithFields) {
    Rig rig({}, true);
    rig.startTask();
    constexpr uint32_t kClients = 200;
    std::vector<netp::Fd> clients;
    for (uint32_t i = 0; i < kClients; ++i)
        clients.push_back(rig.connect());
    // Every request is out before any answer is read: they queue for the task's CLI together.
    for (uint32_t i = 0; i < kClients; ++i)  // odd ones as JSON
        rig.send(clients[i].get(), {1000 + i,
                                    {"show", i % 4 < 2 ? "100" : "vl200"},
                                    std::vector<ctl::Option>(i % 2, {"json", ""})});
    for (uint32_t i = 0; i < kClients; ++i) {
        const Answer a = Rig::receive(clients[i].get());
        ASSERT_EQ(a.exit, 0) << i << ": " << a.err;
        EXPECT_EQ(a.id, 1000 + i);
        const std::string mine = i % 4 < 2 ? "ge0/1" : "ge0/2";
        const std::string theirs = i % 4 < 2 ? "ge0/2" : "ge0/1";
        if (i % 2 == 1) {
            const auto j = nlohmann::json::parse(a.out);
            ASSERT_EQ(j["vlans"].size(), 1u) << a.out;
            EXPECT_EQ(j["vlans"][0]["vlan"], i % 4 < 2 ? 100 : 200);
            EXPECT_EQ(j["vlans"][0]["ports"], nlohmann::json({mine, "te1/0"}));
        } else {
            EXPECT_THAT(a.out, AllOf(HasSubstr(mine), Not(HasSubstr(theirs))));
        }
    }
    EXPECT_EQ(rig.run({"frobnicate"}).exit, 2);
    // "--json" as an argument is an argument: no VLAN of that name, no JSON.
    const Answer arg = rig.run({"show", "--json"});
    EXPECT_EQ(arg.exit, 2);
    EXPECT_THAT(arg.err, HasSubstr("'--json' is no VLAN"));
    EXPECT_THAT(rig.run({"show", "v\x1b[2J"}).err, HasSubstr("'v\\x1b[2J' is no VLAN"));
    // A VLAN id is 0-4095; past it the operator mistyped, and the task is not asked.
    EXPECT_NE(rig.run({"show", "4095"}).exit, 2);
    for (const char* vid : {"4096", "8191", "0x1000"})
        EXPECT_EQ(rig.run({"show", vid}).exit, 2) << vid;
    // A client that asks again and again for what it may not do (scenario inputs are for a lab
    // daemon) fills no disk with it.
    constexpr uint32_t kAsks = 1000;
    const netp::Fd asker = rig.connect();
    for (uint32_t i = 0; i < kAsks; ++i)
        Rig::send(asker.get(), {i, {"do", "card", "down", "1"}, {}});
    for (uint32_t i = 0; i < kAsks; ++i)
        ASSERT_NE(Rig::receive(asker.get()).refused.find("--lab"), std::string::npos) << i;
    EXPECT_LT(rig.logged("refused 'do'"), kAsks / 2);
    // A slot the bitmap can name but that holds no line card: nothing would change.
    for (const char* slot : {"5", "12", "31"}) {
        const Answer a = rig.run({"card", "down", slot});
        EXPECT_EQ(a.exit, 2) << slot;
        EXPECT_NE(a.err.find("no line card in slot"), std::string::npos) << a.err;
    }
    const Answer spaced = rig.run({"vlan", "add", "vl100", "with space"},
                                  {{"proto", "stp"}, {"port", "ge0/2:access"}});
    EXPECT_EQ(spaced.exit, 2);
    const auto status = nlohmann::json::parse(rig.run({"status"}, {{"json", ""}}).out);
    EXPECT_EQ(status["chassis"], "daemontest");
    EXPECT_EQ(status["sessions"][0]["role"], "primary");
    const Answer m = rig.run({"metrics"});
    EXPECT_THAT(m.out, AllOf(HasSubstr("\nl2pt_task_drops_total{reason=\"NoVman\"} 0\n"),
                             HasSubstr("\nl2pt_agent_entries{slot=\"1\"} "),
                             Not(HasSubstr("l2ptVmanPt"))));  // a setting, no counter

    using Options = std::vector<netp::ctl::Option>;
    const std::pair<std::vector<std::string>, Options> bad[] = {
        {{"storm", "ge0/9", "broadcast", "10"}, {}},          // no such port
        {{"storm", "vl100", "broadcast", "10"}, {}},          // a VLAN, no port
        {{"storm", "ge0/1", "colour", "10"}, {}},             // no such class
        {{"storm", "ge0/1", "broadcast", "0"}, {}},           // 0 frames: no limit at all
        {{"storm", "ge0/1", "broadcast", "4294967296"}, {}},  // past 32 bits
        {{"storm", "ge0/1", "multicast", "off"}, {{"kbps", "8"}}},
        {{"storm", "ge0/1", "multicast", "5"}, {{"kbps", "0"}}},
        {{"pdu-rate", "lag1", "5"}, {}},
        {{"pdu-rate", "all", "many"}, {}},
        {{"learning", "port", "ge0/9"}, {{"limit", "3"}}},  // no such port, whatever else
        {{"learning", "vlan", "4096"}, {{"limit", "1"}}},
    };
    for (const auto& [args, options] : bad)
        EXPECT_EQ(rig.run(args, options).exit, 2) << args[0] << " " << args[1] << " " << args[2];
    const auto saved = [&] { return rig.read("lib/state.yaml"); };
    EXPECT_EQ(rig.run({"storm", "ge0/1", "broadcast", "100"}, {{"kbps", "800"}}).exit, 0);
    EXPECT_EQ(rig.run({"storm", "ge0/1", "unknown_unicast", "0"}, {{"kbps", "64"}}).exit, 0);
    EXPECT_EQ(rig.run({"pdu-rate", "ge0/2", "0"}).exit, 0);
    EXPECT_EQ(rig.run({"pdu-rate", "all", "300"}).exit, 0);
    EXPECT_THAT(saved(),
                AllOf(HasSubstr("{port: ge0/1, storm: {broadcast: {fps: 100, kbps: 800}, "
                                "unknown_unicast: {kbps: 64}}}"),
                      HasSubstr("{port: ge0/2, pdu_rate: 0}"), HasSubstr("\npdu_rate: 300\n")));
    // Back to what the chassis file says: nothing left to keep.
    EXPECT_EQ(rig.run({"storm", "ge0/1", "broadcast", "off"}).exit, 0);
    EXPECT_EQ(rig.run({"storm", "ge0/1", "unknown_unicast", "off"}).exit, 0);
    EXPECT_EQ(rig.run({"pdu-rate", "ge0/2", "default"}).exit, 0);
    EXPECT_EQ(rig.run({"pdu-rate", "all", "default"}).exit, 0);
    EXPECT_THAT(saved(), Not(AnyOf(HasSubstr("port:"), HasSubstr("pdu_rate"))));
}

// A task of the test's own: a control and a shell channel of one session.
netp::Fd openChannel(const Rig& rig, netp::Channel channel, uint32_t session) {
    netp::Fd fd = netp::connectSeqpacket(rig.dir + "/run/" + netp::kTaskSocket);
    std::vector<uint8_t> h(netp::hello::kLen);
    wire::putU32(h.data(), netp::hello::kMagic, netp::kMagic);
    wire::putU16(h.data(), netp::hello::kVersion, netp::kVersion);
    wire::putU16(h.data(), netp::hello::kChannel, static_cast<uint16_t>(channel));
    wire::putU32(h.data(), netp::hello::kSession, session);
    netp::sendDatagram(fd.get(), h);
    std::vector<uint8_t> w;
    EXPECT_TRUE(netp::waitReadable(fd.get(), 5000));
    EXPECT_EQ(netp::recvDatagram(fd.get(), w, false), netp::Recv::Ok);
    EXPECT_EQ(wire::getI32(w.data(), netp::welcome::kStatus), 0);
    return fd;
}

// Task sessions that ask IFM again and again and read nothing hold no more than the floors and
// pool together; those that find the pool spent are let go.
TEST(Daemon, TasksThatReadNothingShareTheirQueuesBudget) {
    Rig tasks;
    constexpr size_t kRequest = netp::kMaxDatagram - 64;
    auto reg = chassis::makeMessage(MT_L2PT_IFM_REG, kRequest, chassis::kTaskParty, {svc::kIfm, 0});
    netp::Writer w;
    w.u32(static_cast<uint32_t>(netp::Op::Request)).bytes(reg);
    std::vector<netp::Fd> sessions;
    for (size_t i = 0; i + 2 < netp::TaskSessions::kMaxConnections; ++i) {
        sessions.push_back(openChannel(tasks, netp::Channel::Control, 0));
        for (int k = 0; k < 80 && netp::sendDatagram(sessions.back().get(), w.data()); ++k) {
        }
    }
    for (int i = 0; i < 3000 && tasks.logged("more than their floors") == 0; ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_LT(leastUnread(tasks.log()), netp::TaskSessions::kQueueBytes / 2);
}

// Only a session with a heartbeat takes over: one without could never be fenced, and would
// hold the role for ever ahead of the real secondary. Nor does a task fill the log with
// takeovers: sessions that connect, take over and end as fast as it can.
TEST(Daemon, TheTakeoversATaskMakesAreLoggedWithinItsBudget) {
    Rig rig;
    struct Task {
        netp::Fd control;
        netp::Fd heartbeat;
    };
    uint32_t session = 0;
    const auto task = [&](bool heartbeat) {
        Task t{openChannel(rig, netp::Channel::Control, 0), {}};
        ++session;
        if (heartbeat)
            t.heartbeat = openChannel(rig, netp::Channel::Heartbeat, session);
        return t;
    };
    Task primary = task(true);
    const Task controlOnly = task(false);
    primary = task(true);  // session 3; session 1 ends
    for (int i = 0; i < 500 && rig.logged("takes over as primary") == 0; ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_THAT(rig.log(), testing::ContainsRegex("task session 3 \\(pid [0-9]+\\) takes over"));
    EXPECT_EQ(rig.logged("takes over as primary"), 1u);
    // A secondary that has not yet opened its heartbeat when the primary ends takes over once
    // it does.
    Task starting = task(false);
    primary = {};
    for (int i = 0; i < 500 && rig.logged("no task session fit") == 0; ++i)
        std::this_thread::sleep_for(10ms);
    starting.heartbeat = openChannel(rig, netp::Channel::Heartbeat, session);
    for (int i = 0; i < 500 && rig.logged("takes over as primary") == 1; ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_THAT(rig.log(), testing::ContainsRegex("task session 4 \\(pid [0-9]+\\) takes over"));
    primary = std::move(starting);

    constexpr int kRounds = 400;
    for (int i = 0; i < kRounds; ++i)
        primary = task(true);            // the one before ends
    std::this_thread::sleep_for(200ms);  // the last ends read
    const size_t logged = rig.logged("takes over as primary");
    EXPECT_GT(logged, 1u);
    EXPECT_LT(logged, kRounds / 2);
}

// A task of the test's own with a shell, asked `shell vars` by a client.
struct ShellRig {
    Rig rig;
    netp::Fd control = openChannel(rig, netp::Channel::Control, 0);
    netp::Fd shell = openChannel(rig, netp::Channel::Shell, 1);
    netp::Fd client = rig.connect();
    std::vector<uint8_t> asked;  // what the task's shell received

    explicit ShellRig(uint32_t request, std::vector<std::string> args = {"shell", "vars"}) {
        Rig::send(client.get(), {request, std::move(args), {}});
        EXPECT_TRUE(netp::waitReadable(shell.get(), 5000));
        EXPECT_EQ(netp::recvDatagram(shell.get(), asked, false), netp::Recv::Ok);
    }
    // One piece of the task's answer (by another task's shell channel: from).
    bool answer(std::string_view text, bool more, int from = -1) const {
        std::vector<uint8_t> d(netp::shellmsg::kText);
        wire::putU32(d.data(), netp::shellmsg::kId, wire::getU32(asked.data(), 0));
        wire::putU32(d.data(), netp::shellmsg::kFlags, more ? netp::shellmsg::kMore : 0);
        d.insert(d.end(), text.begin(), text.end());
        return netp::sendDatagram(from < 0 ? shell.get() : from, d);
    }
};

// The answer is the asked task's alone, not the secondary's of the same id. Control bytes reach
// the operator escaped, lines and tabs kept: in shell answers, show pages, JSON and readouts.
TEST(Daemon, AShellAnswerOfAHundredKilobytesArrivesWhole) {
    const ShellRig r(42);
    ASSERT_GE(r.asked.size(), netp::shellmsg::kLine);
    EXPECT_EQ(std::string(r.asked.begin() + netp::shellmsg::kLine, r.asked.end()), "vars");
    const netp::Fd secondary = openChannel(r.rig, netp::Channel::Control, 0);
    const netp::Fd secondaryShell = openChannel(r.rig, netp::Channel::Shell, 2);
    ASSERT_TRUE(r.answer("forged\n", false, secondaryShell.get()));
    const std::string escaped = "x\\x1b[2J\\x1b]0;title\\x07 = 1\n\ty = 2\\x0d\n";
    std::string text = "x\x1b[2J\x1b]0;title\x07 = 1\n\ty = 2\x0d\n";
    const size_t head = text.size();
    for (int i = 0; text.size() < 100'000; ++i)
        text += "variable" + std::to_string(i) + " = " + std::to_string(i * 7) + "\n";
    constexpr size_t kPiece = 8000;
    for (size_t at = 0; at < text.size(); at += kPiece)
        ASSERT_TRUE(r.answer(std::string_view(text).substr(at, kPiece), true));
    ASSERT_TRUE(r.answer("", false));  // the end, with no text of its own
    const Answer a = Rig::receive(r.client.get());
    EXPECT_EQ(a.exit, 0);
    EXPECT_EQ(a.id, 42u);
    EXPECT_EQ(a.out, escaped + text.substr(head));

    // The page's text ends at its first NUL: the message's padding follows.
    const std::string page =
        std::string("VLAN PROTOCOLS RATE PORTS\r\n100 STP - ge0/1\x1b[31m\r\n") +
        std::string(4, '\0') + "after";
    const auto lines = netp::render::showLines(
        std::span(reinterpret_cast<const uint8_t*>(page.data()), page.size()));
    EXPECT_EQ(netp::render::showText(lines, 0),
              "VLAN PROTOCOLS RATE PORTS\n100 STP - ge0/1\\x1b[31m\n");
    const auto j = nlohmann::json::parse(netp::render::dump(netp::render::show(lines, 0)));
    EXPECT_EQ(j["vlans"][0]["ports"][0], "ge0/1\\x1b[31m");
    // A name longer than its column keeps a blank before the next; a shorter one is padded as
    // it is shown.
    EXPECT_THAT(r.rig.run({"l2cp"}).out,
                AllOf(HasSubstr("\nport-channel\\x1b[2J -"), HasSubstr("\nlag\\x1b     - "),
                      Not(HasSubstr("\x1b"))));
    // A label of the metrics (a task's counter by the name it gives): quote, backslash and line
    // feed escaped as the text format has them, other control bytes as in the log.
    netp::PromText m;
    m.family("l2pt_task_counter", netp::PromText::Type::Counter, "");
    m.sample({{"name", "a\"b\\c\nd\x1b"}}, 1);
    EXPECT_THAT(m.text(), HasSubstr("\nl2pt_task_counter{name=\"a\\\"b\\\\c\\nd\\\\x1b\"} 1\n"));
}

// A task's counters that never end, or a task that ends, are no answer: metrics goes on
// without them at once, keeping no more of them than a task has.
TEST(Daemon, MetricsKeepsNoMoreOfTheTasksCountersThanATaskHas) {
    const ShellRig r(9, {"metrics"});
    const std::string piece(16000, 'v');
    for (int i = 0; i < 64 && !netp::waitReadable(r.client.get(), 0); ++i)
        ASSERT_TRUE(r.answer(piece, true));
    const Answer a = Rig::receive(r.client.get(), 2s);
    EXPECT_EQ(a.exit, 0) << a.err;
    EXPECT_NE(a.out.find("\nl2pt_task_counters_up 0\n"), std::string::npos) << a.out;
    // A task that ends before answering leaves the daemon's own to answer.
    ShellRig ended(10, {"metrics"});
    ended.control.reset();
    ended.shell.reset();
    const Answer e = Rig::receive(ended.client.get(), 2s);
    EXPECT_EQ(e.exit, 0) << e.err;
    EXPECT_NE(e.out.find("\nl2pt_task_counters_up 0\n"), std::string::npos) << e.out;
    // A counter named twice is one series, as first given: a collector refuses a scrape with a
    // series twice in it.
    const ShellRig twice(11, {"metrics"});
    ASSERT_TRUE(
        twice.answer("x = 1 read-only\nl2ptDropNoVman = 3 read-only\nx = 2 read-only\n"
                     "l2ptDropNoVman = 4 read-only\n",
                     false));
    const Answer t = Rig::receive(twice.client.get(), 2s);
    EXPECT_THAT(t.out, AllOf(HasSubstr("\nl2pt_task_counter{name=\"x\"} 1\n"),
                             Not(HasSubstr("{name=\"x\"} 2")),
                             HasSubstr("\nl2pt_task_drops_total{reason=\"NoVman\"} 3\n"),
                             Not(HasSubstr("{reason=\"NoVman\"} 4"))));
}

// A hostile task's writes to events, console, configuration, IFM and log: past a task's needs,
// refused. A show-all page ending at the last VLAN ends the show; the secondary's is refused.
TEST(Daemon, WhatATaskWritesIsBounded) {
    Rig rig;
    // The console's lines as they pass (a daemon keeps none): after the stamp, the actor.
    std::vector<std::string> consoleLines;
    rig.halt();
    rig.daemon->setTraceSink([&](const std::string& l) {
        constexpr size_t kActor = 10, kText = kActor + 8;
        if (l.compare(kActor, 7, "console") == 0)
            consoleLines.push_back(l.size() > kText ? l.substr(kText) : "");
    });
    rig.resume();
    const netp::Fd control = openChannel(rig, netp::Channel::Control, 0);
    const auto send = [&](netp::Op op, netp::Writer body) {
        netp::Writer w;
        w.u32(static_cast<uint32_t>(op)).bytes(body.data());
        ASSERT_TRUE(netp::sendDatagram(control.get(), w.data()));
    };
    const auto status = [&] {
        std::vector<uint8_t> d;
        EXPECT_TRUE(netp::waitReadable(control.get(), 5000));
        EXPECT_EQ(netp::recvDatagram(control.get(), d, false), netp::Recv::Ok);
        return d.size() >= netp::answer::kBody ? wire::getI32(d.data(), netp::answer::kStatus)
                                               : -99;
    };
    const auto subscribe = [](uint32_t first, uint32_t count) {
        netp::Writer w;
        w.u32(1).u32(count);
        for (uint32_t e = first; e < first + count; ++e)
            w.u32(e);
        return w;
    };
    const auto line = [](uint32_t components, uint32_t at, size_t text) {
        netp::Writer w;
        w.u32(components);
        for (uint32_t k = 0; k < components; ++k)
            w.u32(at + k);
        return std::move(w.text(std::string(text, 't')));
    };
    using Tree = chassis::CfgTree;
    const std::pair<std::pair<netp::Op, netp::Writer>, int32_t> rows[] = {
        {{netp::Op::Subscribe, subscribe(1, 64)}, 0},
        {{netp::Op::Subscribe, subscribe(1, 64)}, 0},    // the same events again
        {{netp::Op::Subscribe, subscribe(100, 1)}, -1},  // one more
        {{netp::Op::CfgInsert, line(Tree::kMaxKey, 0, Tree::kMaxText)}, 0},
        {{netp::Op::CfgInsert, line(Tree::kMaxKey + 1, 0, 1)}, -1},
        {{netp::Op::CfgInsert, line(2, 0, Tree::kMaxText + 1)}, -1},
        {{netp::Op::TunnelMac, netp::Writer().bytes(std::vector<uint8_t>(chassis::kMacLen + 1))},
         -1},
    };
    for (const auto& [op, want] : rows) {
        send(op.first, op.second);
        EXPECT_EQ(status(), want) << static_cast<uint32_t>(op.first);
    }
    // The tree full: a new key is refused, a line it holds may still change.
    for (uint32_t k = 1; k < Tree::kMaxLines; ++k)
        send(netp::Op::CfgInsert, line(1, k, 1));
    for (uint32_t k = 1; k < Tree::kMaxLines; ++k)
        ASSERT_EQ(status(), 0) << k;
    send(netp::Op::CfgInsert, line(1, Tree::kMaxLines, 1));
    EXPECT_EQ(status(), -1);
    send(netp::Op::CfgInsert, line(1, 1, 2));
    EXPECT_EQ(status(), 0);
    // Console text that never ends a line.
    constexpr size_t kPieces = 8;
    for (size_t i = 0; i < kPieces; ++i) {
        send(netp::Op::Console, std::move(netp::Writer().text(std::string(16000, 'c'))));
        EXPECT_EQ(status(), 0);
    }
    // Then as many lines as a datagram holds.
    send(netp::Op::Console, std::move(netp::Writer().text(std::string(16000, '\n'))));
    EXPECT_EQ(status(), 0);
    // A report as long as a datagram takes is cut to a line of kLineBytes.
    constexpr std::string_view kReport = "platform report: ";
    constexpr size_t kLongReport = 16000;
    send(netp::Op::Report, std::move(netp::Writer().text(std::string(kLongReport, 'r'))));
    EXPECT_EQ(status(), 0);
    const size_t kept = netp::LineBudget::kLineBytes - kReport.size();
    EXPECT_EQ(rig.logged(std::string(kept, 'r') + "... (" + std::to_string(kLongReport - kept) +
                         " bytes more)"),
              1u);
    EXPECT_EQ(rig.logged(std::string(kept + 1, 'r')), 0u);
    // Reports, each a line of the daemon's log, as fast as the task can send them.
    constexpr size_t kReports = 1000;
    for (size_t i = 0; i < kReports; ++i)
        send(netp::Op::Report, std::move(netp::Writer().text("again")));
    for (size_t i = 0; i < kReports; ++i)
        ASSERT_EQ(status(), 0) << i;
    EXPECT_LT(rig.logged("platform report: again"), kReports / 2);
    // So is each event-log code's, on its own: a flood of one (a customer's PDUs failing to
    // leave by a port that is down) hides no other.
    const auto event = [](uint32_t code) {
        return std::move(netp::Writer().u32(code).u32(0).text("e"));
    };
    for (size_t i = 0; i < kReports; ++i)
        send(netp::Op::EventLog, event(0x3a000d));
    send(netp::Op::EventLog, event(0x3a0004));
    for (size_t i = 0; i <= kReports; ++i)
        ASSERT_EQ(status(), 0) << i;
    EXPECT_LT(rig.logged("event 0x3a000d e"), kReports / 2);
    EXPECT_EQ(rig.logged("event 0x3a0004 e"), 1u);

    const netp::Fd ipc = openChannel(rig, netp::Channel::Ipc, 1);
    // Acknowledgements to IFM as fast as the task can send them, then a message to itself,
    // which comes back once they are all read.
    constexpr uint32_t kAcks = 1000;
    for (uint32_t seq = 1; seq <= kAcks; ++seq) {
        auto ack = chassis::makeMessage(MT_SWP_ACK, hdr::kSeqHeaderLen, chassis::kTaskParty,
                                        {svc::kIfm, 0});
        chassis::stampSequenced(ack, swpw::Kind::Ack, 1, seq, 0, chassis::kTaskParty);
        ASSERT_TRUE(netp::sendDatagram(ipc.get(), ack));
    }
    constexpr uint32_t kEcho = 0x4c32;
    ASSERT_TRUE(netp::sendDatagram(
        ipc.get(), chassis::makeMessage(kEcho, hdr::kPlainHeaderLen, chassis::kTaskParty)));
    std::vector<uint8_t> echo;
    ASSERT_TRUE(netp::waitReadable(ipc.get(), 5000));
    ASSERT_EQ(netp::recvDatagram(ipc.get(), echo, false), netp::Recv::Ok);
    ASSERT_EQ(hdr::msgType(echo.data()), kEcho);
    const netp::Fd secondary = openChannel(rig, netp::Channel::Control, 0);
    const netp::Fd client = rig.connect();
    Rig::send(client.get(), {3, {"show"}, {}});
    std::vector<uint8_t> asked;
    for (int page = 0; page < 3 && netp::waitReadable(ipc.get(), 1000); ++page) {
        ASSERT_EQ(netp::recvDatagram(ipc.get(), asked, false), netp::Recv::Ok);
        ASSERT_EQ(hdr::msgType(asked.data()), MT_CLI_REQ);
        asked.resize(climsg::kShowText);
        wire::putU32(asked.data(), climsg::kResult, 0);
        wire::putU16(asked.data(), climsg::kShowMore, 1);
        const std::string text = "VLAN PROTOCOLS RATE PORTS\n";
        asked.insert(asked.end(), text.begin(), text.end());
        netp::Writer reply;
        reply.u32(static_cast<uint32_t>(netp::Op::Reply)).bytes(asked);
        if (page == 0) {
            netp::Writer last = reply;
            wire::putU16(last.data().data(), sizeof(uint32_t) + climsg::kShowMore, 0);
            ASSERT_TRUE(netp::sendDatagram(secondary.get(), last.data()));
            std::vector<uint8_t> d;  // its answer: the pass that refused it is over
            ASSERT_TRUE(netp::waitReadable(secondary.get(), 5000));
            ASSERT_EQ(netp::recvDatagram(secondary.get(), d, false), netp::Recv::Ok);
            ASSERT_GE(d.size(), netp::answer::kBody);
            EXPECT_EQ(wire::getI32(d.data(), netp::answer::kStatus), -1);
        }
        ASSERT_TRUE(netp::sendDatagram(control.get(), reply.data()));
    }
    const Answer a = Rig::receive(client.get(), 2s);
    EXPECT_EQ(a.exit, 1);
    EXPECT_NE(a.err.find("page after VLAN 0 goes on from VLAN 0"), std::string::npos) << a.err;
    // Pages that go on from the next VLAN, each full of one-byte lines: the show ends once it
    // is longer than a client may leave unread, not after a page for every VLAN id.
    Rig::send(client.get(), {4, {"show"}, {}});
    constexpr size_t kPages = 200;
    size_t pages = 0;
    for (; pages < kPages && netp::waitReadable(ipc.get(), 1000); ++pages) {
        ASSERT_EQ(netp::recvDatagram(ipc.get(), asked, false), netp::Recv::Ok);
        asked.resize(climsg::kShowText);
        wire::putU32(asked.data(), climsg::kResult, 0);
        wire::putU32(asked.data(), climsg::kShowVlan, static_cast<uint32_t>(pages + 1));
        wire::putU16(asked.data(), climsg::kShowMore, 1);
        for (size_t i = 0; i < 8000; ++i)
            asked.insert(asked.end(), {'x', '\n'});
        netp::Writer reply;
        reply.u32(static_cast<uint32_t>(netp::Op::Reply)).bytes(asked);
        ASSERT_TRUE(netp::sendDatagram(control.get(), reply.data()));
    }
    EXPECT_LT(pages, kPages);
    const Answer longest = Rig::receive(client.get(), 2s);
    EXPECT_EQ(longest.exit, 1);
    EXPECT_THAT(longest.err, HasSubstr("answer is longer than"));
    // The secondary speaks to no line card (its echo comes back once the daemon read what it
    // sent before), and to its peer only as one route processor's task to another: a message
    // of any other type would reach the primary as if IFM or the CLI had sent it.
    const netp::Fd secondaryIpc = openChannel(rig, netp::Channel::Ipc, 2);
    for (const auto& m : {chassis::makeMessage(MT_L2PT_ACL_DEREG, hdr::kPlainHeaderLen,
                                               chassis::kTaskParty, {svc::kAcl, 1}),
                          chassis::makeMessage(kEcho, hdr::kPlainHeaderLen, chassis::kTaskParty)})
        ASSERT_TRUE(netp::sendDatagram(secondaryIpc.get(), m));
    ASSERT_TRUE(netp::waitReadable(secondaryIpc.get(), 5000));
    EXPECT_EQ(rig.logged("session 2: message type 24413 to a line card, which hears the primary "
                         "alone: refused"),
              1u);
    const auto peerSend = [&](uint32_t type, size_t len) {
        netp::Writer w;
        w.u32(static_cast<uint32_t>(netp::Op::PeerSend)).u32(svc::kL2pt).u32(0);
        w.bytes(chassis::makeMessage(type, len, chassis::kTaskParty));
        EXPECT_TRUE(netp::sendDatagram(secondary.get(), w.data()));
        std::vector<uint8_t> d;
        EXPECT_TRUE(netp::waitReadable(secondary.get(), 5000));
        EXPECT_EQ(netp::recvDatagram(secondary.get(), d, false), netp::Recv::Ok);
        return d.size() >= netp::answer::kBody ? wire::getI32(d.data(), netp::answer::kStatus)
                                               : -99;
    };
    EXPECT_EQ(peerSend(MT_CLI_REQ, climsg::kShowText), -1);
    EXPECT_EQ(peerSend(MT_L2PT_REG_REQ, rpmmsg::kLen - 1), -1);
    EXPECT_EQ(peerSend(MT_L2PT_REG_REQ, rpmmsg::kLen), 0);
    ASSERT_TRUE(netp::waitReadable(ipc.get(), 5000));
    ASSERT_EQ(netp::recvDatagram(ipc.get(), asked, false), netp::Recv::Ok);
    EXPECT_EQ(hdr::msgType(asked.data()), MT_L2PT_REG_REQ) << "the peer's, and nothing before";
    // A hello with a byte too many is no hello.
    const netp::Fd odd = netp::connectSeqpacket(rig.dir + "/run/" + netp::kTaskSocket);
    std::vector<uint8_t> h(netp::hello::kLen + 1);
    wire::putU32(h.data(), netp::hello::kMagic, netp::kMagic);
    wire::putU16(h.data(), netp::hello::kVersion, netp::kVersion);
    wire::putU16(h.data(), netp::hello::kChannel, static_cast<uint16_t>(netp::Channel::Control));
    ASSERT_TRUE(netp::sendDatagram(odd.get(), h));
    std::vector<uint8_t> w;
    ASSERT_TRUE(netp::waitReadable(odd.get(), 5000));
    ASSERT_EQ(netp::recvDatagram(odd.get(), w, false), netp::Recv::Ok);
    ASSERT_GE(w.size(), netp::welcome::kLen);
    EXPECT_EQ(wire::getI32(w.data(), netp::welcome::kStatus), -1);
    // task.sock holds as many connections as it may (three of them the channels above) and
    // refuses the next at once.
    std::vector<netp::Fd> more;
    while (more.size() + 3 <= netp::TaskSessions::kMaxConnections)
        more.push_back(netp::connectSeqpacket(rig.dir + "/run/" + netp::kTaskSocket));
    std::vector<uint8_t> refused;
    ASSERT_TRUE(netp::waitReadable(more.back().get(), 5000));
    ASSERT_EQ(netp::recvDatagram(more.back().get(), refused, false), netp::Recv::Ok);
    ASSERT_GE(refused.size(), netp::welcome::kReason);
    EXPECT_EQ(std::string(refused.begin() + netp::welcome::kReason, refused.end()),
              std::to_string(netp::TaskSessions::kMaxConnections) + " connections already");
    rig.halt();
    constexpr size_t kFull = kPieces * 16000 / chassis::ConsoleSink::kMaxLine;
    ASSERT_EQ(consoleLines.size(), kFull + 16000);
    for (size_t i = 0; i < kFull; ++i)
        EXPECT_EQ(consoleLines[i].size(), chassis::ConsoleSink::kMaxLine) << i;
    EXPECT_TRUE(rig.daemon->chassis().console().lines().empty()) << "none of it kept";
    EXPECT_TRUE(rig.daemon->chassis().log().records().empty());
    EXPECT_LT(rig.daemon->chassis().ifm().acks().size(), kAcks);
}

// With the line cards' reserved-address rows all in use, a change that needs one more fails
// saying so and changes nothing; a row held still changes.
TEST(Daemon, ReservedAddressRowsPastTheLineCardsAreRefused) {
    Rig r({}, false, chassis::test::fullL2cpChassis());
    const Answer past = r.run({"l2cp", "set", "ge0/5", "0e", "discard"});
    EXPECT_EQ(past.exit, 1);
    EXPECT_THAT(past.err, HasSubstr(chassis::L2cpTable::fullText() + ", all in use"));
    EXPECT_EQ(r.run({"l2cp", "set", "ge0/1", "0e", "discard"}).exit, 0);
    r.halt();
    const auto& rows = r.daemon->chassis().cards().l2cp();
    const uint32_t lldp = *chassis::parseL2cpAddresses("0e");
    const auto action = [&](const char* port) {
        return rows.action(chassis::test::portNamed(r.daemon->chassis().ifdb(), port), std::nullopt,
                           static_cast<size_t>(std::countr_zero(lldp)));
    };
    EXPECT_EQ(action("ge0/5"), chassis::L2cpAction::Default);
    EXPECT_EQ(action("ge0/1"), chassis::L2cpAction::Discard);
    EXPECT_EQ(rows.rows().size(), chassis::L2cpTable::kMaxRows);
}

}  // namespace
