#include "net/daemon/operator_change.h"

#include <set>
#include <stdexcept>
#include <string>

#include "chassis/names.h"
#include "chassis/rules.h"
#include "chassis/trace.h"
#include "platform/wire/l2pt.h"

namespace netp {

namespace {

using chassis::Change;
using chassis::Names;

constexpr std::string_view kAll = "all";
// A tag protocol identifier is an EtherType; below this, the field is an 802.3 length.
constexpr std::string_view kDefault = "default";

// The debug filter's directions, as the CLI front end numbers them.
constexpr std::pair<std::string_view, uint8_t> kDirections[] = {{"both", 0}, {"in", 1}, {"out", 2}};

uint8_t direction(std::string_view text) {
    for (const auto& [name, value] : kDirections) {
        if (name == text)
            return value;
    }
    throw std::invalid_argument("direction '" + std::string(text) + "' is none of both, in, out");
}

chassis::Cli::Request debugFilter(const ctl::Request& r, const Names& names, bool remove) {
    chassis::Cli::Request q;
    q.subCode = climsg::kSubDebug;
    q.remove = remove ? 1 : 0;
    q.word92 = names.interface(r.args.at(1));
    if (const auto v = r.value("vlan"))
        q.word96 = names.vlanId(*v);
    if (const auto n = r.value("count"))
        q.word100 = static_cast<uint32_t>(names.number(*n, UINT32_MAX, "count"));
    if (const auto d = r.value("direction"))
        q.direction = direction(*d);
    return q;
}

chassis::VlanChange vlanChange(const ctl::Request& r, const Names& names) {
    const std::string& op = r.args.at(1);
    chassis::VlanChange c;
    c.op = op == "add"   ? chassis::VlanChange::Op::Add
           : op == "del" ? chassis::VlanChange::Op::Del
                         : chassis::VlanChange::Op::Disable;
    chassis::Ifm::VlanBlock b;
    b.vlanIf = names.vlan(r.args.at(2));
    if (const auto p = r.value("proto"))
        b.protocols = names.protocols(*p);
    if (const auto k = r.value("rate"))
        b.rate = static_cast<uint16_t>(names.number(*k, UINT16_MAX, "rate"));
    for (const auto port : r.values("port"))
        b.ports.push_back(names.vlanPort(port));
    c.blocks.push_back(std::move(b));
    return c;
}

chassis::LagChange lagChange(const ctl::Request& r, const Names& names) {
    chassis::LagChange c;
    c.join = r.args.at(1) == "add";
    chassis::Ifm::LagBlock b;
    b.lagIf = names.lag(r.args.at(2));
    std::set<uint32_t> named;
    for (size_t i = 3; i < r.args.size(); ++i) {
        const uint32_t port = names.port(r.args[i]);
        names.check(c.join ? chassis::lagJoinRefusal(names.db(), b.lagIf, port)
                           : chassis::lagLeaveRefusal(names.db(), b.lagIf, port));
        if (!named.insert(port).second)
            throw std::invalid_argument("port '" + r.args[i] + "' is named twice");
        b.members.push_back(port);
    }
    c.blocks.push_back(std::move(b));
    return c;
}

Change changeOf(const ctl::Request& r, const Names& names) {
    const std::string& cmd = r.args.at(0);
    if (cmd == "debug")
        return chassis::CliChange{debugFilter(r, names, false)};
    if (cmd == "undebug") {
        if (r.args.at(1) == kAll)
            return chassis::CliChange{};
        return chassis::CliChange{debugFilter(r, names, true)};
    }
    if (cmd == "vlan")
        return vlanChange(r, names);
    if (cmd == "lag")
        return lagChange(r, names);
    if (cmd == "rate") {
        chassis::RateChange c{names.vlan(r.args.at(2)), std::nullopt};
        if (r.args.at(1) == "set")
            c.kbps = static_cast<uint32_t>(names.number(r.args.at(3), UINT32_MAX, "rate"));
        return c;
    }
    if (cmd == "tunnel-mac") {
        chassis::TunnelMacChange c;
        c.replaceGlobal = r.has("replace-global");
        if (r.args.at(1) == kDefault) {
            if (c.replaceGlobal)
                throw std::invalid_argument("--replace-global goes with a MAC, not 'default'");
            return c;
        }
        c.mac = chassis::parseMac(r.args[1]);
        if (!c.mac)
            throw std::invalid_argument("'" + r.args[1] + "' is not a MAC address");
        if (const chassis::Refusal why = chassis::tunnelMacRefusal(*c.mac))
            throw std::invalid_argument(r.args[1] + " " + *why);
        return c;
    }
    if (cmd == "vman-tpid") {
        const uint64_t tpid = names.number(r.args.at(1), UINT16_MAX, "tpid");
        if (const chassis::Refusal why = chassis::tpidRefusal(tpid))
            throw std::invalid_argument("tpid " + r.args[1] + " " + *why);
        return chassis::TpidChange{static_cast<uint16_t>(tpid)};
    }
    if (cmd == "card") {
        const std::string& event = r.args.at(1);
        const uint32_t slot = names.slot(r.args.at(2));
        if (event == "up")
            return chassis::CardChange{chassis::CardChange::Event::Up, slot};
        if (event == "down")
            return chassis::CardChange{chassis::CardChange::Event::Down, slot};
        if (event == "removed")
            return chassis::CardChange{chassis::CardChange::Event::Removed, slot};
        throw std::invalid_argument("'" + event + "' is not up, down or removed");
    }
    throw std::invalid_argument("not a change of the configuration");
}

}  // namespace

Change operatorChange(const ctl::Request& r, const chassis::IfDb& db) {
    const Names names(db, chassis::Inputs::Operator);
    try {
        return changeOf(r, names);
    } catch (const std::invalid_argument& e) {
        throw std::invalid_argument(r.args.at(0) + ": " + e.what());
    } catch (const std::out_of_range&) {
        throw std::invalid_argument(r.args.at(0) + ": missing arguments");
    }
}

}  // namespace netp
