// l2ptctl: the operator's tool for a switch run by l2pt-chassisd.
//
//   l2ptctl --run-dir DIR show [VLAN] [--json]
//   l2ptctl --run-dir DIR vlan add 100 --proto stp,lldp --port ge0/1:access --port ge0/5:core
//   l2ptctl --run-dir DIR capture ge0/1 out.pcap --count 10
//
// Each command becomes one line to the daemon; configuration changes are the same inputs IFM
// takes in a scenario (docs/scenario.md), so the task hears them as IFM's messages.
#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "net/io/socket.h"
#include "net/proto/protocol.h"

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitNoDaemon = 3;

std::string joined(const std::vector<std::string>& parts, const char* sep) {
    std::string out;
    for (const auto& p : parts)
        out += (out.empty() ? "" : sep) + p;
    return out;
}

// Sends line to the daemon of runDir and prints its answer; the daemon's exit status.
int converse(const std::string& runDir, const std::string& line) {
    netp::Fd fd = netp::connectSeqpacket(runDir + "/" + netp::kCtlSocket);
    if (!fd.valid()) {
        std::fprintf(stderr, "l2ptctl: no chassis daemon at %s/%s: %s\n", runDir.c_str(),
                     netp::kCtlSocket, std::strerror(errno));
        return kExitNoDaemon;
    }
    if (!netp::sendDatagram(
            fd.get(), std::span(reinterpret_cast<const uint8_t*>(line.data()), line.size()))) {
        std::fprintf(stderr, "l2ptctl: the daemon did not take the command\n");
        return kExitNoDaemon;
    }
    std::vector<uint8_t> d;
    for (;;) {
        const auto r = netp::recvDatagram(fd.get(), d, true);
        if (r != netp::Recv::Ok || d.empty()) {
            std::fprintf(stderr, "l2ptctl: the daemon closed the connection\n");
            return kExitNoDaemon;
        }
        const auto kind = static_cast<netp::CtlKind>(d[0]);
        const std::string text(d.begin() + 1, d.end());
        switch (kind) {
            case netp::CtlKind::Out:
                std::fwrite(text.data(), 1, text.size(), stdout);
                std::fflush(stdout);
                break;
            case netp::CtlKind::Err:
                std::fwrite(text.data(), 1, text.size(), stderr);
                break;
            case netp::CtlKind::Exit:
                return std::atoi(text.c_str());
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    CLI::App app{"l2ptctl: show, debug, configure and watch a switch run by l2pt-chassisd",
                 "l2ptctl"};
    app.set_version_flag("--version", "l2ptctl " L2PT_VERSION);
    app.require_subcommand(1);
    std::string runDir;
    app.add_option("--run-dir", runDir, "the chassis daemon's run directory")
        ->envname("L2PT_RUN_DIR")
        ->required();
    bool json = false;
    std::string line;

    auto* status = app.add_subcommand("status",
                                      "the daemon, its task sessions and ports; "
                                      "exit 0 when a primary task is ready");
    status->add_flag("--json", json, "JSON instead of text");
    status->callback([&] { line = "status"; });

    auto* show = app.add_subcommand("show", "the task's tunnelling table, one VLAN or all");
    std::string showVlan;
    show->add_option("vlan", showVlan, "VLAN id or name (all VLANs without one)");
    show->add_flag("--json", json, "JSON instead of text");
    show->callback([&] { line = "show " + showVlan; });

    auto* agents = app.add_subcommand("agents",
                                      "each line card's ACL agent: registration, "
                                      "entries, download messages applied");
    agents->add_flag("--json", json, "JSON instead of text");
    agents->callback([&] { line = "agents"; });

    auto* counters = app.add_subcommand("counters", "frames per port: received, sent, errors");
    counters->add_flag("--json", json, "JSON instead of text");
    counters->callback([&] { line = "counters"; });

    auto* debug = app.add_subcommand("debug", "trace the PDUs of a port to the event log");
    std::string dbgPort;
    std::string dbgDir = "both";
    uint32_t dbgVlan = 0;
    uint32_t dbgCount = 0;
    debug->add_option("port", dbgPort, "port name")->required();
    debug->add_option("--vlan", dbgVlan, "only this VLAN (0: any)");
    debug->add_option("--count", dbgCount, "stop after this many PDUs (0: no limit)");
    debug->add_option("--direction", dbgDir, "both, in or out")
        ->check(CLI::IsMember({"both", "in", "out"}));
    debug->callback([&] {
        line = "do cli debug " + dbgPort + " vlan=" + std::to_string(dbgVlan) +
               " count=" + std::to_string(dbgCount) + " dir=" + dbgDir;
    });
    auto* undebug = app.add_subcommand("undebug", "remove a port's debug filter, or all");
    std::string undebugPort;
    undebug->add_option("port", undebugPort, "port name, or 'all'")->required();
    undebug->callback(
        [&] { line = undebugPort == "all" ? "do undebug-all" : "do cli undebug " + undebugPort; });

    auto* vlan = app.add_subcommand("vlan", "tunnelling VLAN ports, as IFM sends them");
    vlan->require_subcommand(1);
    std::string vlanName;
    std::string protos;
    uint32_t rate = 0;
    std::vector<std::string> vlanPorts;
    for (const char* op : {"add", "del", "disable"}) {
        auto* sub = vlan->add_subcommand(op, std::string(op) + " VLAN ports or protocols");
        sub->add_option("vlan", vlanName, "VLAN id or name")->required();
        sub->add_option("--proto", protos, "protocols: stp,lldp,gvrp,pvst")->required();
        if (std::string(op) != "disable") {
            sub->add_option("--port", vlanPorts, "PORT:access or PORT:core (repeatable)")
                ->required();
        }
        if (std::string(op) == "add")
            sub->add_option("--rate", rate, "rate limit in Kbps");
        sub->callback([&, op] {
            line = std::string("do vlan-") + op + " vlan=" + vlanName + " proto=" + protos;
            if (rate != 0)
                line += " rate=" + std::to_string(rate);
            if (!vlanPorts.empty())
                line += " ports=" + joined(vlanPorts, ",");
        });
    }

    auto* lag = app.add_subcommand("lag", "LAG members, as IFM sends them");
    lag->require_subcommand(1);
    std::string lagName;
    std::vector<std::string> members;
    for (const char* op : {"add", "del"}) {
        auto* sub = lag->add_subcommand(op, std::string(op) + " LAG members");
        sub->add_option("lag", lagName, "LAG number or name")->required();
        sub->add_option("members", members, "member ports")->required();
        sub->callback([&, op] {
            line = std::string("do lag-") + op + " lag=" + lagName +
                   " members=" + joined(members, ",");
        });
    }

    auto* rateCmd = app.add_subcommand("rate", "a VLAN's rate limit");
    rateCmd->require_subcommand(1);
    std::string rateVlan;
    uint32_t kbps = 0;
    auto* rateSet = rateCmd->add_subcommand("set", "limit the VLAN's PDUs to KBPS");
    rateSet->add_option("vlan", rateVlan)->required();
    rateSet->add_option("kbps", kbps)->required();
    rateSet->callback(
        [&] { line = "do rate-set vlan=" + rateVlan + " rate=" + std::to_string(kbps); });
    auto* rateRemove = rateCmd->add_subcommand("remove", "remove the VLAN's rate limit");
    rateRemove->add_option("vlan", rateVlan)->required();
    rateRemove->callback([&] { line = "do rate-remove vlan=" + rateVlan; });

    auto* mac = app.add_subcommand("tunnel-mac", "the tunnel MAC (or 'default')");
    std::string macText;
    bool replaceGlobal = false;
    mac->add_option("mac", macText, "aa:bb:cc:dd:ee:ff or default")->required();
    mac->add_flag("--replace-global", replaceGlobal,
                  "also replace the agent-wide tunnel-MAC entries");
    mac->callback(
        [&] { line = "do tunnel-mac " + macText + (replaceGlobal ? " replace-global=1" : ""); });

    auto* tpid = app.add_subcommand("vman-tpid", "the provider tag protocol identifier");
    std::string tpidText;
    tpid->add_option("tpid", tpidText, "e.g. 0x9100")->required();
    tpid->callback([&] { line = "do vman-tpid " + tpidText; });

    auto* card = app.add_subcommand("card", "a line card comes or goes");
    std::string cardOp;
    uint32_t slot = 0;
    card->add_option("op", cardOp, "up, down or removed")
        ->required()
        ->check(CLI::IsMember({"up", "down", "removed"}));
    card->add_option("slot", slot, "slot number")->required();
    card->callback([&] { line = "do card " + cardOp + " " + std::to_string(slot); });

    auto* trace = app.add_subcommand("trace", "stream the chassis trace until interrupted");
    trace->callback([&] { line = "trace"; });

    auto* capture = app.add_subcommand("capture", "write a port's frames to a pcap file");
    std::string capPort;
    std::string capFile;
    uint32_t capCount = 0;
    uint32_t capSeconds = 0;
    capture->add_option("port", capPort, "port name")->required();
    capture->add_option("file", capFile, "pcap file to write")->required();
    capture->add_option("--count", capCount, "stop after this many frames");
    capture->add_option("--seconds", capSeconds, "stop after this many seconds");
    capture->callback([&] {
        line = "capture " + capPort + " " + capFile;
        if (capCount != 0)
            line += " count " + std::to_string(capCount);
        if (capSeconds != 0)
            line += " seconds " + std::to_string(capSeconds);
    });

    auto* shellCmd = app.add_subcommand("shell",
                                        "a debug-shell line for the primary task "
                                        "(set, get, call, vars)");
    std::vector<std::string> shellWords;
    shellCmd->add_option("line", shellWords, "the line")->required();
    shellCmd->callback([&] { line = "shell " + joined(shellWords, " "); });

    auto* doCmd = app.add_subcommand("do", "one scenario input (docs/scenario.md)");
    std::vector<std::string> doWords;
    doCmd->add_option("line", doWords, "the input")->required();
    doCmd->callback([&] { line = "do " + joined(doWords, " "); });

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : kExitUsage;
    }
    if (capture->parsed() && capCount == 0 && capSeconds == 0) {
        std::fprintf(stderr, "l2ptctl capture: give --count or --seconds\n");
        return kExitUsage;
    }
    if (json)
        line += " --json";
    return converse(runDir, line);
}
