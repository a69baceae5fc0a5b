// l2ptd on the net backend: the task process of a switch whose chassis daemon serves RUNDIR.
//
//   l2ptd --chassis RUNDIR [--log FILE]
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "app/boot.h"
#include "chassis/config.h"
#include "net/backend/net_backend.h"
#include "net/log/logger.h"
#include "platform/backend.h"

namespace {

// Signals are taken by one thread of their own: SIGHUP reopens the log file, SIGTERM and
// SIGINT end the process, saying so first. Called before the task's thread exists, which inherits
// the blocked mask.
void watchSignals(std::shared_ptr<netp::Logger> log) {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGHUP, SIGTERM, SIGINT})
        sigaddset(&set, sig);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread([set, log = std::move(log)] {
        for (;;) {
            int sig = 0;
            if (sigwait(&set, &sig) != 0)
                continue;
            if (sig == SIGHUP) {
                log->reopen();
                continue;
            }
            // Logged, then the signal's own end, as a supervisor expects of a stop.
            log->info("ending: signal " + std::to_string(sig));
            ::signal(sig, SIG_DFL);
            sigset_t one;
            sigemptyset(&one);
            sigaddset(&one, sig);
            pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
            ::raise(sig);
        }
    }).detach();
}

}  // namespace

int bootNet(int argc, char** argv) {
    CLI::App app{"l2ptd: the layer-2 protocol tunnelling task, on a chassis daemon", "l2ptd"};
    app.set_version_flag("--version", "l2ptd " L2PT_VERSION);
    std::string runDir;
    std::string logFile;
    app.add_option("--chassis", runDir, "run directory of the chassis daemon (l2pt-chassisd)")
        ->required()
        ->check(CLI::ExistingDirectory);
    app.add_option("--log", logFile, "also append the log to FILE (reopened on SIGHUP)");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        std::exit(app.exit(e) == 0 ? kBootExitOk : kBootExitUsage);
    }
    std::shared_ptr<netp::Logger> log;
    try {
        log = std::make_shared<netp::Logger>(netp::LogOptions{logFile, true});
        watchSignals(log);
        auto backend = std::make_unique<netp::NetBackend>(runDir, log);
        log->info("l2ptd " L2PT_VERSION " started: run directory " + runDir + ", pid " +
                  std::to_string(::getpid()) + ", session " + std::to_string(backend->session()));
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
