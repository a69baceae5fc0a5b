// l2pt-chassisd: one switch's chassis on Linux interfaces, for l2ptd and l2ptctl.
//
//   l2pt-chassisd --chassis FILE [--run-dir DIR] [--state FILE] [--log FILE] [--trace]
#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>
#include <vector>

#include "chassis/config.h"
#include "net/daemon/daemon.h"

namespace {

constexpr int kExitCannotStart = 1;
constexpr int kExitUsage = 2;
constexpr const char* kDefaultRunRoot = "/run/l2pt";

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "l2pt-chassisd: the chassis of one switch (IFM, line cards and their ACL agents, "
        "HA control, CLI front end) on Linux interfaces, serving l2ptd and l2ptctl",
        "l2pt-chassisd"};
    netp::DaemonOptions o;
    app.add_option("--chassis", o.chassisFile,
                   "chassis file (YAML, docs/chassis.md; ports carry 'netdev: IFNAME')")
        ->required()
        ->check(CLI::ExistingFile);
    app.add_option("--run-dir", o.runDir,
                   "run directory for the sockets, created 0700 (default /run/l2pt/NAME, NAME "
                   "the chassis name)");
    app.add_option("--state", o.stateFile,
                   "where the configuration is written back and reloaded from (default "
                   "RUNDIR/state.yaml)");
    std::string logFile;
    app.add_option("--log", logFile, "also append the log to FILE (reopened on SIGHUP)");
    app.add_flag("--trace", o.traceToLog, "log every line of the chassis trace too");
    app.add_option("--allow-uid", o.allowUids, "a further user allowed to connect (repeatable)");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : kExitUsage;
    }
    std::optional<netp::Logger> log;
    try {
        log.emplace(netp::LogOptions{logFile, true});
    } catch (const std::exception& e) {
        std::fprintf(stderr, "<3>l2pt-chassisd: %s\n", e.what());
        return kExitCannotStart;
    }
    try {
        if (o.runDir.empty()) {
            const auto cfg = chassis::loadChassisFile(o.chassisFile);
            const std::string name = cfg.name.empty() ? "chassis" : cfg.name;
            ::mkdir(kDefaultRunRoot, 0755);
            o.runDir = std::string(kDefaultRunRoot) + "/" + name;
        }
        netp::Daemon daemon(o, *log);
        return daemon.run();
    } catch (const chassis::ConfigError& e) {
        log->error(std::string("cannot start: ") + e.what());
        return kExitUsage;
    } catch (const std::exception& e) {
        log->error(std::string("cannot start: ") + e.what());
        return kExitCannotStart;
    }
}
