// l2ptd on the net backend: the task process of a switch whose chassis daemon serves RUNDIR.
//
//   l2ptd --chassis RUNDIR
#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "app/boot.h"
#include "chassis/config.h"
#include "net/backend/net_backend.h"
#include "platform/backend.h"

int bootNet(int argc, char** argv) {
    CLI::App app{"l2ptd: the layer-2 protocol tunnelling task, on a chassis daemon", "l2ptd"};
    app.set_version_flag("--version", "l2ptd " L2PTD_VERSION);
    std::string runDir;
    app.add_option("--chassis", runDir, "run directory of the chassis daemon (l2pt-chassisd)")
        ->required()
        ->check(CLI::ExistingDirectory);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        std::exit(app.exit(e) == 0 ? kBootExitOk : kBootExitUsage);
    }
    netp::NetBackend::blockSignals();  // before the task's thread inherits the mask
    try {
        ozm::installBackend(std::make_unique<netp::NetBackend>(runDir));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "l2ptd: %s\n", e.what());
        std::exit(kBootExitUsage);
    }
    return 0;
}
