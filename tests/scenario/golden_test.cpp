// Golden traces: each tests/scenario/NAME.scenario runs on NAME.yaml, each examples/NAME.scenario
// on examples/two-cards.yaml, and the trace l2ptd prints must equal NAME.trace line by line
// (tests/scenario/examples/NAME.trace for the examples). A NAME.options file beside a scenario
// holds more options for its run (--summary). With L2PT_UPDATE_GOLDEN=1 the traces are written
// instead.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "l2ptd_run.h"

namespace {

namespace fs = std::filesystem;

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

}  // namespace
