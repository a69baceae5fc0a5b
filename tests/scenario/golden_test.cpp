// Golden traces: each tests/scenario/NAME.scenario runs on NAME.yaml, each examples/NAME.scenario
// on examples/two-cards.yaml, and the trace l2ptd prints must equal NAME.trace line by line
// (tests/scenario/examples/NAME.trace for the examples). A NAME.options file beside a scenario
// holds more options for its run (--summary). With L2PT_UPDATE_GOLDEN=1 the traces are written
// instead.
#include "l2ptd_run.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

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

struct Golden {
    std::string name;
    fs::path chassis;
    fs::path scenario;
    fs::path trace;
    std::string options;  // more l2ptd options, from NAME.options
};

// The contents of NAME.options with its line ends as blanks; empty without one.
std::string optionsOf(const fs::path& scenario) {
    std::ifstream in(fs::path(scenario).replace_extension(".options"));
    std::string options;
    for (std::string word; in >> word;)
        options += " " + word;
    return options;
}

void PrintTo(const Golden& g, std::ostream* os) {
    *os << g.scenario.string();
}

std::vector<Golden> goldens() {
    const fs::path src = L2PT_SOURCE_DIR;
    std::vector<Golden> out;
    for (const auto& e : fs::directory_iterator(src / "tests/scenario")) {
        if (e.path().extension() == ".scenario") {
            const auto stem = e.path().stem().string();
            out.push_back({stem, e.path().parent_path() / (stem + ".yaml"), e.path(),
                           e.path().parent_path() / (stem + ".trace"), optionsOf(e.path())});
        }
    }
    for (const auto& e : fs::directory_iterator(src / "examples")) {
        if (e.path().extension() == ".scenario") {
            const auto stem = e.path().stem().string();
            out.push_back({"example_" + stem, src / "examples/two-cards.yaml", e.path(),
                           src / "tests/scenario/examples" / (stem + ".trace"),
                           optionsOf(e.path())});
        }
    }
    std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    return out;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        out.push_back(l);
    return out;
}

class GoldenTrace : public ::testing::TestWithParam<Golden> {};

TEST_P(GoldenTrace, MatchesLineByLine) {
    const Golden& g = GetParam();
    const Outcome r = l2ptd(
        "--sim " + g.chassis.string() + " --scenario " + g.scenario.string() + g.options, true);
    const std::string& actual = r.out;
    ASSERT_EQ(r.status, 0) << actual;
    if (const char* update = std::getenv("L2PT_UPDATE_GOLDEN"); update && *update == '1') {
        fs::create_directories(g.trace.parent_path());
        std::ofstream(g.trace) << actual;
        return;
    }
    std::ifstream in(g.trace);
    ASSERT_TRUE(in) << g.trace << " is missing: run with L2PT_UPDATE_GOLDEN=1 to write it";
    std::stringstream expected;
    expected << in.rdbuf();
    const auto want = lines(expected.str());
    const auto got = lines(actual);
    for (size_t i = 0; i < std::min(want.size(), got.size()); ++i) {
        ASSERT_EQ(got[i], want[i]) << g.trace << ":" << i + 1;
    }
    EXPECT_EQ(got.size(), want.size()) << g.trace << ": line count";
}

INSTANTIATE_TEST_SUITE_P(Scenarios, GoldenTrace, ::testing::ValuesIn(goldens()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
