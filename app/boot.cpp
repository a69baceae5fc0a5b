// l2ptd's boot: builds the simulated chassis from the command line and drives it.
//
//   l2ptd --sim CHASSIS [--scenario FILE] [--summary] [--pcap DIR]
//   l2ptd --chassis RUNDIR           (on a chassis daemon: app/net_boot.cpp)
//
// The process entry spawns the task right after this returns; a driver thread waits until
// the task first parks, runs the scenario (or lets one second pass), prints the trace as it
// goes and ends the process: 0 when the run ended, 1 when the task ended with a failure,
// 2 when the command line, the chassis or the scenario is wrong.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "app/boot.h"
#include "chassis/pcap.h"
#include "chassis/scenario.h"
#include "chassis/sim_switch.h"
#include "platform/backend.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitTaskFailed = 1;
constexpr int kExitError = 2;
constexpr uint64_t kIdleRunUs = chassis::kUsPerSecond;
constexpr const char* kVersion = "l2ptd " L2PT_VERSION;

struct Options {
    std::string chassis;
    std::optional<std::string> scenario;
    std::optional<std::string> pcapDir;
    bool summary = false;
};

// A path that must name a file that can be read, not a directory.
std::string checkFile(const std::string& path) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec))
        return path + " is a directory, not a file";
    if (!std::filesystem::exists(path, ec))
        return path + " does not exist";
    return {};
}

std::optional<Options> parseOptions(int argc, char** argv) {
    Options o;
    CLI::App app{"l2ptd: layer-2 protocol tunnelling on a simulated chassis", "l2ptd"};
    app.footer("On a chassis daemon instead: l2ptd --chassis RUNDIR (l2ptd --chassis --help)");
    app.set_version_flag("--version", kVersion);
    app.add_option("--sim", o.chassis, "run on the simulated chassis described by this YAML file")
        ->required()
        ->check(checkFile);
    app.add_option("--scenario", o.scenario,
                   "feed the inputs of this file to the switch, then exit (without one, one "
                   "second of virtual time passes)")
        ->check(checkFile);
    app.add_flag("--summary", o.summary,
                 "print per-port and per-reason frame counters when the run ends");
    app.add_option("--pcap", o.pcapDir,
                   "write one pcap file per port (DIR/<port>.pcap) of what entered and left it")
        ->check(CLI::ExistingDirectory);
    for (CLI::Option* opt : app.get_options())
        opt->multi_option_policy(CLI::MultiOptionPolicy::Throw);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        std::exit(app.exit(e));
    } catch (const CLI::CallForVersion& e) {
        std::exit(app.exit(e));
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "l2ptd: %s\nRun with --help for the options.\n", e.what());
        return std::nullopt;
    }
    return o;
}

// The daemon's switch and capture: the C-style entry points leave no other owner for them.
std::unique_ptr<chassis::SimSwitch> gSwitch;
std::unique_ptr<chassis::PortCapture> gCapture;

void printSummary(chassis::SimSwitch& sim) {
    auto& trace = sim.trace();
    const auto& dp = sim.chassis().cards();
    const auto& db = sim.ifdb();
    for (size_t i = 0; i < db.portCount(); ++i) {
        const auto& c = dp.counters(db.portAt(i));
        std::string drops;
        for (size_t r = 0; r < chassis::kDropReasons; ++r) {
            if (c.drops[r] != 0) {
                drops += ", " + std::string(chassis::dropReasonName(chassis::DropReason(r))) + " " +
                         std::to_string(c.drops[r]);
            }
        }
        if (c.rxFrames == 0 && c.txFrames == 0 && drops.empty())
            continue;
        trace.add("summary", db.name(db.portAt(i)) + " rx=" + std::to_string(c.rxFrames) +
                                 " trapped=" + std::to_string(c.trapped) + " forwarded=" +
                                 std::to_string(c.forwarded) + " tx=" + std::to_string(c.txFrames) +
                                 (drops.empty() ? "" : " dropped: " + drops.substr(2)));
    }
    for (size_t r = 0; r < chassis::kDropReasons; ++r) {
        // The port policers' reasons show only when they dropped something (most runs police
        // nothing), and so does the task link's form check, which no simulated task's frame meets.
        const auto reason = chassis::DropReason(r);
        const bool quiet = reason == chassis::DropReason::Storm ||
                           reason == chassis::DropReason::PduShare ||
                           reason == chassis::DropReason::TaskForm;
        if (quiet && dp.dropTotals()[r] == 0)
            continue;
        trace.add("summary", "dropped (" +
                                 std::string(chassis::dropReasonName(chassis::DropReason(r))) +
                                 ") " + std::to_string(dp.dropTotals()[r]));
    }
    for (const std::string& line : sim.chassis().taskDrops().summary())
        trace.add("summary", line);
}

[[noreturn]] void drive(std::optional<chassis::Scenario> scenario, bool summary) {
    gSwitch->backend().waitParked();
    if (scenario) {
        scenario->run(*gSwitch);
    } else {
        gSwitch->advanceUs(kIdleRunUs);
    }
    if (summary)
        printSummary(*gSwitch);
    const bool failed =
        gSwitch->taskState() == chassis::TaskState::Ended && gSwitch->taskResult() != 0;
    auto& trace = gSwitch->trace();
    trace.add(
        "l2ptd",
        std::string(scenario ? "scenario ended" : "run ended") +
            (failed ? ", the task failed (rc=" + std::to_string(gSwitch->taskResult()) + ")" : ""));
    trace.setSink(nullptr);  // what ending the task prints is no part of the run
    // A task that ends at once can end the run before the initial thread is done with the
    // platform (ozmDdbInit): the switch goes only after it.
    gSwitch->backend().waitMainThreadParked();
    gSwitch.reset();
    gCapture.reset();
    std::fflush(stdout);
    std::exit(failed ? kExitTaskFailed : kExitOk);
}

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "l2ptd: %s\n", what);
    gSwitch.reset();
    std::exit(kExitError);
}

}  // namespace

int ozmBootBackend(int argc, char** argv, char** /*envp*/) {
    for (int i = 1; i < argc; ++i) {
        if (std::string_view(argv[i]) == "--chassis")
            return bootNet(argc, argv);
    }
    // A daemon that cannot start says why and fails: the process entry would end quietly.
    auto options = parseOptions(argc, argv);
    if (!options) {
        std::exit(kExitError);
    }
    std::optional<chassis::Scenario> scenario;
    try {
        gSwitch = std::make_unique<chassis::SimSwitch>(chassis::loadChassisFile(options->chassis));
        if (options->scenario) {
            scenario = chassis::Scenario::load(*options->scenario, gSwitch->ifdb());
        }
        if (options->pcapDir) {
            gCapture = std::make_unique<chassis::PortCapture>(*options->pcapDir, gSwitch->ifdb(),
                                                              gSwitch->chassis().clock());
            gSwitch->chassis().cards().setTap(gCapture.get());
        }
    } catch (const chassis::ConfigError& e) {
        fail(e.what());
    } catch (const chassis::ScenarioError& e) {
        // The task never starts: nothing runs on a scenario that does not parse.
        fail(e.what());
    } catch (const chassis::PcapError& e) {
        fail(e.what());
    }
    auto& trace = gSwitch->trace();
    trace.setKeep(false);
    trace.setSink([](const std::string& line) {
        std::fputs(line.c_str(), stdout);
        std::fputc('\n', stdout);
    });
    std::thread(drive, std::move(scenario), options->summary).detach();
    return 0;
}
