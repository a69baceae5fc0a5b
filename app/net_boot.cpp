// l2ptd on the net backend: the task process of a switch whose chassis daemon serves RUNDIR.
//
//   l2ptd --chassis RUNDIR [--log FILE]
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "app/boot.h"
#include "chassis/config.h"
#include "net/backend/net_backend.h"
#include "net/backend/restart.h"
#include "net/log/logger.h"
#include "platform/backend.h"

int bootNet(int argc, char** argv) {
    // Before anything else: the mask the process was given, and its command line as it was.
    const sigset_t startMask = netp::blockServedSignals();  // the task's thread inherits it
    netp::Restart restart(argc, argv, startMask);
    CLI::App app{"l2ptd: the layer-2 protocol tunnelling task, on a chassis daemon", "l2ptd"};
    app.set_version_flag("--version", "l2ptd " L2PT_VERSION);
    std::string runDir;
    std::string logFile;
    CLI::Option* chassis =
        app.add_option("--chassis", runDir, "run directory of the chassis daemon (l2pt-chassisd)")
            ->required();
    // Started over, it waits for the daemon: its run directory may be gone meanwhile.
    if (!restart.startedOver())
        chassis->check(CLI::ExistingDirectory);
    app.add_option("--log", logFile, "also append the log to FILE (reopened on SIGHUP)");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        std::exit(app.exit(e) == 0 ? kBootExitOk : kBootExitUsage);
    }
    std::shared_ptr<netp::Logger> log;
    try {
        log = std::make_shared<netp::Logger>(netp::LogOptions{logFile, true});
        std::unique_ptr<netp::NetBackend> backend;
        while (!backend) {
            if (restart.startedOver())
                restart.await(*log, runDir);
            try {
                backend = std::make_unique<netp::NetBackend>(runDir, log, restart);
            } catch (const std::exception& e) {
                if (!restart.startedOver())
                    throw;  // a first start fails at once: its daemon is not there
                restart.failed(*log, e.what());
            }
        }
        log->info("l2ptd " L2PT_VERSION " started: run directory " + runDir + ", pid " +
                  std::to_string(::getpid()) + ", session " + std::to_string(backend->session()) +
                  restart.connected());
        ozm::installBackend(std::move(backend));
    } catch (const std::exception& e) {
        if (log)
            log->error(std::string("ending: ") + e.what());
        else
            std::fprintf(stderr, "<3>l2ptd: %s\n", e.what());
        std::exit(kBootExitUsage);
    }
    return 0;
}
