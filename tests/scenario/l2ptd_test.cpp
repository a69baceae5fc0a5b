// l2ptd end to end: each NAME.scenario (here on NAME.yaml, examples/ on two-cards.yaml, with
// NAME.options if any) prints NAME.trace line by line; L2PT_UPDATE_GOLDEN=1 rewrites the traces.
#include <gmock/gmock.h>
#include <pcap/pcap.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

struct Outcome {
    int status = -1;
    std::string out;
};

// Runs l2ptd with args; stdout, and stderr too when withErr.
Outcome l2ptd(const std::string& args, bool withErr = false) {
    const std::string cmd =
        std::string(L2PTD_PATH) + " " + args + (withErr ? " 2>&1" : " 2>/dev/null");
    Outcome r;
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return r;
    std::array<char, 4096> buf;
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), p)) > 0)
        r.out.append(buf.data(), n);
    const int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

struct Golden {
    std::string name;
    fs::path chassis, scenario, trace;
    std::string options;  // more l2ptd options, from NAME.options
};
void PrintTo(const Golden& g, std::ostream* os) {
    *os << g.scenario.string();
}

std::vector<Golden> goldens() {
    const fs::path src = L2PT_SOURCE_DIR;
    std::vector<Golden> out;
    for (const auto& [dir, prefix] :
         {std::pair{src / "tests/scenario", ""}, {src / "examples", "example_"}}) {
        for (const auto& e : fs::directory_iterator(dir)) {
            if (e.path().extension() != ".scenario")
                continue;
            const auto stem = e.path().stem().string();
            std::ifstream in(fs::path(e.path()).replace_extension(".options"));
            std::string options;
            for (std::string word; in >> word;)
                options += " " + word;
            out.push_back({prefix + stem,
                           *prefix ? src / "examples/two-cards.yaml" : dir / (stem + ".yaml"),
                           e.path(),
                           *prefix ? src / "tests/scenario/examples" / (stem + ".trace")
                                   : dir / (stem + ".trace"),
                           options});
        }
    }
    std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    return out;
}

std::vector<std::string> lines(std::istream&& in) {
    std::vector<std::string> out;
    for (std::string l; std::getline(in, l);)
        out.push_back(l);
    return out;
}

class GoldenTrace : public ::testing::TestWithParam<Golden> {};

TEST_P(GoldenTrace, MatchesLineByLine) {
    const Golden& g = GetParam();
    const Outcome r = l2ptd(
        "--sim " + g.chassis.string() + " --scenario " + g.scenario.string() + g.options, true);
    ASSERT_EQ(r.status, 0) << r.out;
    if (const char* update = std::getenv("L2PT_UPDATE_GOLDEN"); update && *update == '1') {
        fs::create_directories(g.trace.parent_path());
        std::ofstream(g.trace) << r.out;
        return;
    }
    ASSERT_TRUE(fs::exists(g.trace)) << g.trace << " is missing: run with L2PT_UPDATE_GOLDEN=1";
    const auto want = lines(std::ifstream(g.trace));
    const auto got = lines(std::istringstream(r.out));
    for (size_t i = 0; i < std::min(want.size(), got.size()); ++i)
        ASSERT_EQ(got[i], want[i]) << g.trace << ":" << i + 1;
    EXPECT_EQ(got.size(), want.size()) << g.trace << ": line count";
}

INSTANTIATE_TEST_SUITE_P(Scenarios, GoldenTrace, ::testing::ValuesIn(goldens()),
                         [](const auto& info) { return info.param.name; });

const std::string kSrc = L2PT_SOURCE_DIR;
const std::string kTwoCards = "--sim " + kSrc + "/examples/two-cards.yaml";

std::string writeTemp(const std::string& name, const std::string& text) {
    const std::string path = ::testing::TempDir() + name;
    std::ofstream(path) << text;
    return path;
}

// Bad command lines, chassis files and scenarios exit 2 with the reason; a failed task, 1.
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
        {kTwoCards + " " + kTwoCards, 2, "--sim: At Most 1 required but received 2"},
        {kTwoCards + " --scenario /nonexistent", 2, "--scenario: /nonexistent does not exist"},
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
        if (status == 2) {
            EXPECT_THAT(r.out, ::testing::Not(HasSubstr("task spawn"))) << args;
        }
    }
}

// --summary counts what each port passed and sent (te1/2 only sends); --pcap what came and left.
TEST(L2ptd, SummaryAndPcapShowThePortsTraffic) {
    const std::string dir = ::testing::TempDir() + "pcap-run";
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::stringstream text;
    text << std::ifstream(kSrc + "/examples/tunnel.scenario").rdbuf();
    std::string scenario = text.str();
    const std::string core = "te1/1:core";  // ends the example's VLAN: te1/2 joins it
    const size_t at = scenario.find(core + "\n");
    ASSERT_NE(at, std::string::npos);
    scenario.insert(at + core.size(), ",te1/2:core");
    const Outcome r = l2ptd(kTwoCards + " --scenario " + writeTemp("tunnel.scenario", scenario) +
                            " --summary --pcap " + dir);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_THAT(r.out, HasSubstr("summary ge0/3 rx=2 trapped=2 forwarded=0 tx=3\n"));
    EXPECT_THAT(r.out, HasSubstr("summary te1/2 rx=0 trapped=0 forwarded=0 tx=5\n"));
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
