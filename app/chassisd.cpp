// l2pt-chassisd: one switch's chassis on Linux interfaces, for l2ptd and l2ptctl.
//
//   l2pt-chassisd --chassis FILE [--run-dir DIR] [--state FILE] [--group NAME]
//                 [--task-group NAME] [--log FILE] [--trace] [--lab] [--max-clients N]
//                 [--bpffs DIR]
//   l2pt-chassisd --remove NAME [--chassis FILE] [--bpffs DIR]
#include <grp.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "chassis/config.h"
#include "net/daemon/daemon.h"
#include "net/daemon/remove.h"
#include "net/proto/ctl.h"

namespace {

constexpr int kExitCannotStart = 1;
constexpr int kExitUsage = 2;
constexpr const char* kDefaultStateRoot = "/var/lib/l2pt";
constexpr const char* kStateFileName = "state.yaml";
constexpr mode_t kRootDirMode = 0755;
constexpr size_t kGroupBuffer = 16384;

// The directory the default paths are made in; created when missing, as root would.
std::string defaultDir(const char* root, const std::string& name) {
    ::mkdir(root, kRootDirMode);
    return std::string(root) + "/" + name;
}

// A group by its name, or by its number.
gid_t groupId(const char* option, const std::string& name) {
    gid_t gid = 0;
    const auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), gid);
    if (ec == std::errc{} && end == name.data() + name.size())
        return gid;
    group g{};
    group* found = nullptr;
    std::vector<char> buf(kGroupBuffer);
    if (::getgrnam_r(name.c_str(), &g, buf.data(), buf.size(), &found) != 0 || found == nullptr)
        throw CLI::ValidationError(option, "no group named '" + name + "'");
    return g.gr_gid;
}

// Makes the run directory and state file absolute; those not given are made from the
// chassis name.
void settlePaths(netp::DaemonOptions& o) {
    // The directories are checked from their parents up: relative paths start from here.
    for (std::string* path : {&o.runDir, &o.stateFile}) {
        if (!path->empty())
            *path = std::filesystem::absolute(*path).lexically_normal().string();
    }
    if (o.runDir.empty() || o.stateFile.empty()) {
        const auto cfg = chassis::loadChassisFile(o.chassisFile);
        const std::string name = cfg.name.empty() ? "chassis" : cfg.name;
        if (const auto why = netp::chassisNameRefusal(name))
            throw chassis::ConfigError(o.chassisFile + ": " + *why +
                                       ": give --run-dir and --state");
        if (o.runDir.empty())
            o.runDir = defaultDir(netp::ctl::kDefaultRunRoot, name);
        if (o.stateFile.empty())
            o.stateFile = defaultDir(kDefaultStateRoot, name) + "/" + kStateFileName;
    }
}

// Runs the daemon until it stops: its exit status.
int serve(netp::DaemonOptions& o, netp::Logger& log) {
    try {
        settlePaths(o);
        log.info("l2pt-chassisd " L2PT_VERSION " starting: chassis " + o.chassisFile +
                 ", run directory " + o.runDir + ", state " + o.stateFile);
        netp::Daemon daemon(o, log);
        sd_notify(0, "READY=1\nSTATUS=serving");
        const int status = daemon.run();
        sd_notify(0, "STOPPING=1");
        return status;
    } catch (const chassis::ConfigError& e) {
        log.error(std::string("cannot start: ") + e.what());
        return kExitUsage;
    } catch (const std::exception& e) {
        log.error(std::string("cannot start: ") + e.what());
        return kExitCannotStart;
    }
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "l2pt-chassisd: the chassis of one switch (IFM, line cards and their ACL agents, "
        "HA control, CLI front end) on Linux interfaces, serving l2ptd and l2ptctl",
        "l2pt-chassisd"};
    app.set_version_flag("--version", "l2pt-chassisd " L2PT_VERSION);
    netp::DaemonOptions o;
    std::string logFile;
    std::string group;
    std::string taskGroup;
    std::string remove;
    app.add_option("--chassis", o.chassisFile,
                   "chassis file (YAML, docs/chassis.md; ports carry 'netdev: IFNAME')")
        ->check(CLI::ExistingFile);
    app.add_option("--run-dir", o.runDir,
                   "run directory for the sockets, 0700 or 0750 with --group (default "
                   "/run/l2pt/NAME, NAME the chassis name)");
    app.add_option("--state", o.stateFile,
                   "what operators changed, laid over the chassis file at start (default "
                   "/var/lib/l2pt/NAME/state.yaml)");
    app.add_option("--group", group,
                   "the operators' group: they may run read-only commands; the run directory "
                   "is 0750 and ctl.sock 0660 for them");
    app.add_option("--task-group", taskGroup,
                   "the task's group: task.sock is 0660 and chassis.yaml 0640 for it; on "
                   "ctl.sock it may run read-only commands alone, whoever it is");
    app.add_option("--log", logFile, "also append the log to FILE (reopened on SIGHUP)");
    app.add_flag("--trace", o.traceToLog, "log every line of the chassis trace too");
    app.add_flag("--lab", o.lab, "serve scenario inputs (l2ptctl do): faults, raw frames");
    app.add_option("--max-clients", o.maxClients,
                   "l2ptctl connections at once (default 256; root and the daemon's user 8 more)")
        ->check(CLI::PositiveNumber);
    app.add_option("--bpffs", o.bpffs,
                   "the bpffs the pipeline's maps are pinned in, under l2pt/NAME (NAME the run "
                   "directory's name), mounted when it is none (default /sys/fs/bpf)");
    app.add_option("--remove", remove,
                   "take the switch NAME out of service and stop: its filters off the "
                   "interfaces (the chassis file's ports, with --chassis, and those running its "
                   "pinned programs), its pins and its task's link removed");
    // Test builds of the pipeline (abi.h), for the tests of restarts and upgrades: 1 differs
    // in its programs, 2 in a map's shape and the ABI version.
    app.add_option("--pipeline-variant", o.pipelineVariant)->group("")->check(CLI::Range(0, 2));
    try {
        app.parse(argc, argv);
        if (o.chassisFile.empty() && remove.empty())
            throw CLI::RequiredError("--chassis");
        if (!group.empty())
            o.groups.operators = groupId("--group", group);
        if (!taskGroup.empty())
            o.groups.task = groupId("--task-group", taskGroup);
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
    if (!remove.empty()) {
        try {
            return netp::removeSwitch({remove, o.bpffs, o.chassisFile}, *log);
        } catch (const std::exception& e) {
            log->error(std::string("remove ") + remove + ": " + e.what());
            return kExitCannotStart;
        }
    }
    return serve(o, *log);
}
