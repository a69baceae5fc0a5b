// l2ptd's boot: builds the simulated chassis from the command line and drives it.
//
//   l2ptd --sim CHASSIS [--scenario FILE]
//
// The process entry spawns the task right after this returns; a driver thread waits until
// the task first parks, runs the scenario (or lets one second pass), prints the trace as it
// goes and ends the process.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "app/boot.h"
#include "chassis/scenario.h"
#include "chassis/sim_switch.h"
#include "platform/backend.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitError = 2;
constexpr uint64_t kIdleRunUs = chassis::kUsPerSecond;

constexpr const char* kUsage =
    "usage: l2ptd --sim CHASSIS [--scenario FILE]\n"
    "       l2ptd --chassis RUNDIR\n"
    "  --sim CHASSIS     run on a simulated chassis described by the YAML file CHASSIS\n"
    "  --scenario FILE   feed the inputs of FILE to the switch, then exit\n"
    "                    (without one, one second of virtual time passes)\n"
    "  --chassis RUNDIR  run on the chassis daemon serving RUNDIR (l2pt-chassisd)\n";

struct Options {
    std::string chassis;
    std::optional<std::string> scenario;
};

std::optional<Options> parseOptions(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "--sim" || arg == "--scenario") && i + 1 < argc) {
            (arg == "--sim" ? o.chassis : o.scenario.emplace()) = argv[++i];
        } else {
            std::fprintf(stderr, "l2ptd: unexpected argument '%s'\n%s", arg.c_str(), kUsage);
            return std::nullopt;
        }
    }
    if (o.chassis.empty()) {
        std::fprintf(stderr, "l2ptd: --sim CHASSIS is required\n%s", kUsage);
        return std::nullopt;
    }
    return o;
}

// The daemon's switch: the C-style entry points leave no other owner for it.
std::unique_ptr<chassis::SimSwitch> gSwitch;

[[noreturn]] void drive(std::optional<chassis::Scenario> scenario) {
    gSwitch->backend().waitParked();
    if (scenario) {
        scenario->run(*gSwitch);
    } else {
        gSwitch->advanceUs(kIdleRunUs);
    }
    gSwitch.reset();  // ends the task if it still runs
    std::fflush(stdout);
    std::exit(kExitOk);
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
    } catch (const chassis::ConfigError& e) {
        std::fprintf(stderr, "l2ptd: %s\n", e.what());
        gSwitch.reset();
        std::exit(kExitError);
    } catch (const chassis::ScenarioError& e) {
        // The task never starts: nothing runs on a scenario that does not parse.
        std::fprintf(stderr, "l2ptd: %s\n", e.what());
        gSwitch.reset();
        std::exit(kExitError);
    }
    auto& trace = gSwitch->trace();
    trace.setKeep(false);
    trace.setSink([](const std::string& line) {
        std::fputs(line.c_str(), stdout);
        std::fputc('\n', stdout);
    });
    std::thread(drive, std::move(scenario)).detach();
    return 0;
}
