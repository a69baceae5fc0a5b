// l2pt-chassisd: one switch's chassis on Linux interfaces, for l2ptd and l2ptctl.
//
//   l2pt-chassisd --chassis FILE [--run-dir DIR] [--state FILE] [--log FILE] [--trace]
//                 [--group NAME] [--lab] [--max-clients N]
#include <grp.h>
#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>
#include <vector>

#include "chassis/config.h"
#include "net/daemon/daemon.h"
#include "net/proto/ctl.h"

namespace {

constexpr int kExitUsage = 2;

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
    app.add_option("--log", o.logFile, "also append the log to FILE");
    app.add_flag("--trace", o.traceToLog, "log every line of the chassis trace too");
    std::string groupName;
    app.add_option("--group", groupName,
                   "operators: members of this group may run read-only commands");
    app.add_flag("--lab", o.lab, "serve scenario inputs (l2ptctl do): faults, raw frames");
    app.add_option("--max-clients", o.maxClients, "l2ptctl connections at once (default 256)")
        ->check(CLI::PositiveNumber);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : kExitUsage;
    }
    if (!groupName.empty()) {
        const struct group* g = ::getgrnam(groupName.c_str());
        if (g == nullptr) {
            std::fprintf(stderr, "l2pt-chassisd: --group %s: no such group\n", groupName.c_str());
            return kExitUsage;
        }
        o.operators = g->gr_gid;
    }
    try {
        if (o.runDir.empty()) {
            const auto cfg = chassis::loadChassisFile(o.chassisFile);
            const std::string name = cfg.name.empty() ? "chassis" : cfg.name;
            ::mkdir(netp::ctl::kDefaultRunRoot, 0755);
            o.runDir = std::string(netp::ctl::kDefaultRunRoot) + "/" + name;
        }
        netp::Daemon daemon(o);
        return daemon.run();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "l2pt-chassisd: %s\n", e.what());
        return kExitUsage;
    }
}
