#include "chassis/names.h"

#include <cctype>
#include <stdexcept>

#include "chassis/config.h"
#include "platform/shell.h"
#include "platform/wire/l2pt.h"

namespace chassis {

namespace {

constexpr std::string_view kIfPrefix = "if:";  // any interface index: if:<number>
constexpr std::string_view kAccess = "access";
constexpr std::string_view kCore = "core";
constexpr uint64_t kMaxTaskVid = 4095;  // the VLAN ids the task and the data plane tell apart

[[noreturn]] void refuse(const std::string& what) {
    throw std::invalid_argument(what);
}

bool startsWithDigit(std::string_view text) {
    return !text.empty() && std::isdigit(static_cast<unsigned char>(text[0]));
}

}  // namespace

void Names::check(const Refusal& why) const {
    if (why)
        refuse(*why);
}

uint64_t Names::number(std::string_view text, uint64_t max, std::string_view what) const {
    const std::string s(text);
    if (!ozm::shell::parseNumber(text))
        refuse(std::string(what) + ": '" + s + "' is not a decimal or 0x hex number");
    const auto v = ozm::shell::parseNumber(text, max);
    if (!v)
        refuse(std::string(what) + " " + s + " is above " + std::to_string(max));
    return *v;
}

uint32_t Names::interface(std::string_view text) const {
    if (text.starts_with(kIfPrefix)) {
        if (operatorInput())
            refuse("'" + std::string(text) + "': interfaces by number are for the simulation");
        return static_cast<uint32_t>(number(text.substr(kIfPrefix.size()), UINT32_MAX, "if"));
    }
    const auto i = db_.find(text);
    if (!i)
        refuse("no interface named '" + std::string(text) + "'");
    return *i;
}

uint32_t Names::port(std::string_view text) const {
    const uint32_t i = interface(text);
    if (!text.starts_with(kIfPrefix) && !db_.isPort(i))
        refuse("'" + std::string(text) + "' is not a port");
    return i;
}

uint32_t Names::lag(std::string_view text) const {
    const uint32_t i = interface(text);
    if (!text.starts_with(kIfPrefix) && !db_.isLag(i))
        refuse("'" + std::string(text) + "' is not a LAG");
    return i;
}

uint32_t Names::vlan(std::string_view text) const {
    if (text.starts_with(kIfPrefix))
        return interface(text);
    if (startsWithDigit(text)) {
        // The simulation takes any VLAN id, to see the task refuse it.
        const uint32_t i = vlanIfIndex(static_cast<uint32_t>(number(text, kIfPosMask, "vlan")));
        if (operatorInput())
            check(vlanRefusal(db_, i));
        return i;
    }
    const uint32_t i = interface(text);
    check(vlanRefusal(db_, i));
    return i;
}

uint32_t Names::vlanId(std::string_view text) const {
    // The simulation takes any number, to see the task refuse it; an operator a VLAN id.
    if (startsWithDigit(text))
        return static_cast<uint32_t>(
            number(text, operatorInput() ? kMaxTaskVid : UINT32_MAX, "vlan"));
    return vlan(text) & kIfPosMask;
}

uint8_t Names::protocols(std::string_view text) const {
    uint8_t flags = 0;
    while (true) {
        const size_t comma = text.find(',');
        const std::string_view p = text.substr(0, comma);
        if (const auto f = protocolFlag(p))
            flags |= *f;
        else if (operatorInput())
            refuse("unknown protocol '" + std::string(p) + "' (stp, lldp, gvrp, pvst)");
        else
            flags |= static_cast<uint8_t>(number(p, UINT8_MAX, "protocol"));
        if (comma == std::string_view::npos)
            return flags;
        text = text.substr(comma + 1);
    }
}

Ifm::PortMode Names::vlanPort(std::string_view entry) const {
    const auto colon = entry.rfind(':');
    if (colon == std::string_view::npos || colon == 0)
        refuse("port '" + std::string(entry) + "' needs :access or :core");
    const auto mode = entry.substr(colon + 1);
    if (operatorInput() && mode != kAccess && mode != kCore)
        refuse("port '" + std::string(entry) + "' needs :access or :core");
    const uint32_t m = mode == kAccess ? 0
                       : mode == kCore ? vlanmsg::kModeCorePort
                                       : static_cast<uint32_t>(number(mode, UINT32_MAX, "mode"));
    const uint32_t port = interface(entry.substr(0, colon));
    if (operatorInput())
        check(vlanPortRefusal(db_, port));
    return {port, m};
}

uint32_t Names::slot(std::string_view text) const {
    return static_cast<uint32_t>(number(text, kMaxSlots - 1, "slot"));
}

}  // namespace chassis
