#include "net/daemon/police_change.h"

#include <stdexcept>
#include <string>

#include "platform/shell.h"

namespace netp {

namespace {

constexpr std::string_view kOff = "off";
constexpr std::string_view kDefault = "default";
constexpr std::string_view kAllPorts = "all";

uint32_t number(const std::string& cmd, std::string_view what, std::string_view text) {
    const auto v = ozm::shell::parseNumber(text, UINT32_MAX);
    if (!v)
        throw std::invalid_argument(cmd + ": " + std::string(what) + " '" + std::string(text) +
                                    "' is no number up to " + std::to_string(UINT32_MAX));
    return static_cast<uint32_t>(*v);
}

uint32_t portNamed(const std::string& cmd, const std::string& name, const chassis::IfDb& db) {
    const auto ifIndex = db.find(name);
    if (!ifIndex || !db.isPort(*ifIndex))
        throw std::invalid_argument(cmd + ": '" + name + "' is no port of the chassis");
    return *ifIndex;
}

}  // namespace

PoliceChange policeChange(const ctl::Request& r, const chassis::IfDb& db) {
    const std::string& cmd = r.args.at(0);
    PoliceChange c;
    if (cmd == "storm") {
        c.portIf = portNamed(cmd, r.args.at(1), db);
        c.storm = chassis::stormClass(r.args.at(2));
        if (!c.storm)
            throw std::invalid_argument(cmd + ": '" + r.args[2] +
                                        "' is not broadcast, multicast or unknown_unicast");
        const std::string& rate = r.args.at(3);
        const auto kbps = r.value("kbps");
        if (rate == kOff) {
            if (kbps)
                throw std::invalid_argument(cmd + ": off takes no --kbps");
            return c;
        }
        c.limit.fps = number(cmd, "FPS", rate);
        if (kbps)
            c.limit.kbps = number(cmd, "--kbps", *kbps);
        if (kbps && c.limit.kbps == 0)
            throw std::invalid_argument(cmd + ": --kbps takes 1 or more");
        if (c.limit.off())
            throw std::invalid_argument(cmd + ": FPS 0 needs --kbps; 'off' ends the limit");
        return c;
    }
    const std::string& port = r.args.at(1);
    if (port != kAllPorts)
        c.portIf = portNamed(cmd, port, db);
    if (r.args.at(2) != kDefault)
        c.pduRate = number(cmd, "RATE", r.args[2]);
    return c;
}

void apply(const PoliceChange& change, chassis::DataPlane& cards,
           const chassis::ChassisConfig& base) {
    if (!change.portIf) {
        cards.setPduDefault(change.pduRate.value_or(base.dataPlane.pduRate));
        return;
    }
    chassis::PortPolicing p = cards.policing(*change.portIf);
    if (change.storm)
        p.storm[static_cast<size_t>(*change.storm)] = change.limit;
    else
        p.pduRate = change.pduRate;
    cards.setPolicing(*change.portIf, p);
}

}  // namespace netp
