#include "net/linecard/trace_lines.h"

#include <algorithm>
#include <vector>

#include "dataplane/defs.h"
#include "dataplane/verdict.h"
#include "net/linecard/records.h"

namespace netp::linecard {

namespace {

std::string reasonText(uint16_t reason) {
    if (reason >= chassis::kDropReasons)
        return "reason " + std::to_string(reason);
    return std::string(chassis::dropReasonName(static_cast<chassis::DropReason>(reason)));
}

// The way a copy left by: the port, or "lag1(te1/2)" for a LAG's member.
std::string wayName(const chassis::IfDb& db, uint32_t portIf) {
    const auto lag = db.lagOf(portIf);
    return lag ? db.name(*lag) + "(" + db.name(portIf) + ")" : db.name(portIf);
}

// The ways the event names, in the simulation's order: the VLAN's members ascending, ports
// before LAGs.
std::string waysText(const chassis::IfDb& db, const l2pt_event& ev) {
    if (ev.copies == 0)
        return "none";
    const size_t named = std::min<size_t>(ev.copies, L2PT_EVENT_WAYS);
    std::vector<uint32_t> ways(ev.ways, ev.ways + named);
    auto order = [&](uint32_t portIf) {
        const auto lag = db.lagOf(portIf);
        return lportOf(db, lag.value_or(portIf));
    };
    std::sort(ways.begin(), ways.end(),
              [&](uint32_t a, uint32_t b) { return order(a) < order(b); });
    std::string out;
    for (uint32_t way : ways)
        out += (out.empty() ? "" : ",") + wayName(db, way);
    if (ev.copies > named)
        out += " and " + std::to_string(ev.copies - named) + " more";
    return out;
}

}  // namespace

TraceLine traceLine(const chassis::IfDb& db, const l2pt_event& ev) {
    TraceLine line{"port " + db.name(ev.port_if), ""};
    const std::string len = "len=" + std::to_string(ev.len);
    if (ev.outbound != 0) {
        line.text = "out " + len;
        if (ev.verdict == L2PT_VERDICT_DROPPED)
            line.text += " dropped (" + reasonText(ev.reason) + ")";
        return line;
    }
    std::string& t = line.text;
    t = "in " + len;
    switch (ev.verdict) {
        case L2PT_VERDICT_TRAPPED:
            t += ev.reason == L2PT_SOCKET_ACCESS ? " trapped=access" : " trapped=tunnel";
            if (ev.vid != 0)
                t += " tagged=" + std::to_string(ev.vid);
            if (const auto lag = db.lagOf(ev.port_if))
                t += " rx=" + db.name(*lag);
            break;
        case L2PT_VERDICT_FORWARDED:
        case L2PT_VERDICT_FLOODED:
            t += " vlan=" + std::to_string(ev.vid) +
                 (ev.verdict == L2PT_VERDICT_FORWARDED ? " forwarded to " : " flooded to ") +
                 waysText(db, ev);
            break;
        default:
            if (ev.vid != 0)
                t += " vlan=" + std::to_string(ev.vid);
            t += " dropped (" + reasonText(ev.reason) + ")";
    }
    return line;
}

}  // namespace netp::linecard
