// l2ptd end to end (the golden traces hold the example scenarios): a run of every kind of input
// traces the same way every time; bad command lines and scenarios fail with a message that says
// why.
#include "l2ptd_run.h"

#include <gmock/gmock.h>
#include <pcap/pcap.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace {

using ::testing::HasSubstr;

const std::string kSrc = L2PT_SOURCE_DIR;
const std::string kTwoCards = "--sim " + kSrc + "/examples/two-cards.yaml";

std::string writeTemp(const std::string& name, const std::string& text) {
    const std::string path = ::testing::TempDir() + name;
    std::ofstream(path) << text;
    return path;
}

TEST(L2ptd, FramesCliAndTaskDisableRepeatByteForByte) {
    const std::string bpdu = " 0026 424203" + std::string(76, '0') + "\n";
    const std::string path = writeTemp(
        "rich.scenario", "set l2pt_debug_cp 1\nframe ge0/1 0180c2000000 00000000aa01 8100 0064" +
                             bpdu + "frame ge0/3 0180c2000000 00000000aa02" + bpdu +
                             "cli show-all\ncli debug ge0/1 vlan=100 count=2 dir=in\nadvance 50ms\n"
                             "card removed 0\ntask-disable\nadvance 100ms\n");
    const Outcome first = l2ptd(kTwoCards + " --scenario " + path);
    ASSERT_EQ(first.status, 0) << first.out;
    EXPECT_THAT(first.out, HasSubstr("mgr rx reply type=24402 code=0\n"));
    EXPECT_THAT(first.out, HasSubstr("task process-exit\n"));
    EXPECT_EQ(l2ptd(kTwoCards + " --scenario " + path).out, first.out);
}

// Bad command lines, chassis files and scenarios exit 2 naming what is wrong, before the task
// starts; a task that fails gives status 1.
TEST(L2ptd, BadInputsExitWithAStatusAndTheReason) {
    const std::string chassis = writeTemp("bad.yaml", "chassis:\n  slots: 99\n");
    const std::string scenario =
        writeTemp("bad.scenario", "advance 10ms\n# fine\nvlan-add vlan=nowhere proto=stp\n");
    const std::string failing =
        writeTemp("fail.yaml", "chassis: {name: f, slots: 12}\nfaults: [ozmTaskStartup]\n");
    const std::tuple<std::string, int, std::string> rows[] = {
        {"--sim " + chassis, 2, chassis + ":2: slots 99 is out of range"},
        {kTwoCards + " --scenario " + scenario, 2, scenario + ":3: no interface named 'nowhere'"},
        {"--bogus", 2, "Run with --help for the options."},
        {"", 2, "--sim is required"},
        {"--sim " + kSrc + "/examples", 2,
         "--sim: " + kSrc + "/examples is a directory, not a file"},
        {kTwoCards + " --pcap /nonexistent/dir", 2, "--pcap"},
        {"--sim " + failing, 1, "l2ptd run ended, the task failed"},
    };
    for (const auto& [args, status, reason] : rows) {
        const Outcome r = l2ptd(args, true);
        EXPECT_EQ(r.status, status) << args;
        EXPECT_THAT(r.out, HasSubstr(reason));
        if (status == 2)
            EXPECT_THAT(r.out, ::testing::Not(HasSubstr("task spawn"))) << args;
    }
}

// --summary counts what each port passed and sent; --pcap writes what entered and left.
TEST(L2ptd, SummaryAndPcapShowThePortsTraffic) {
    const std::string dir = ::testing::TempDir() + "pcap-run";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    const Outcome r = l2ptd(kTwoCards + " --scenario " + kSrc +
                            "/examples/tunnel.scenario --summary --pcap " + dir);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_THAT(r.out, HasSubstr("summary ge0/3 rx=2 trapped=2 forwarded=0 tx=3\n"));
    char err[PCAP_ERRBUF_SIZE];
    pcap_t* p = pcap_open_offline((dir + "/ge0-3.pcap").c_str(), err);
    ASSERT_NE(p, nullptr) << err;
    int frames = 0;
    pcap_pkthdr* h;
    const u_char* data;
    while (pcap_next_ex(p, &h, &data) == 1) {
        ++frames;
        EXPECT_GE(h->caplen, 14u);
    }
    pcap_close(p);
    EXPECT_EQ(frames, 5);  // two in, three out: two PDUs and a customer's flooded frame
}

}  // namespace
