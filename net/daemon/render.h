// What l2ptctl shows: the daemon's state as JSON (nlohmann-json, valid whatever bytes the names
// and the task's text hold), and the text forms rendered from that same JSON.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "net/linecard/line_cards.h"

namespace netp {

class Daemon;

namespace render {

using Json = nlohmann::json;

// counters, agents and macs read the pipeline's maps: std::runtime_error when that fails.
Json status(Daemon& d);
std::string statusText(const Json& j);
Json counters(Daemon& d);
std::string countersText(const Json& j);
Json agents(Daemon& d);
std::string agentsText(const Json& j);
// The MACs the pipeline learned, streamed a slice at a time: the head, the lines of each slice
// (VLAN, MAC, the port or LAG, the time since it was last seen; first: no line written yet), and
// the tail, each port's, LAG's and VLAN's count and limit (learning()).
std::string macsHead(bool json);
std::string macsLines(Daemon& d, std::span<const linecard::MacEntry> macs, bool json, bool& first);
std::string macsTail(Daemon& d, bool json);
Json learning(Daemon& d);

// The reserved addresses' actions: the defaults (what an address comes to when no entry traps
// it and nothing is configured) and the rows configured, per port or LAG and VLAN.
Json l2cp(Daemon& d);
std::string l2cpText(const Json& j);

// The lines of a page of the task's show table (text up to its NUL, '\r' dropped, control
// bytes escaped).
std::vector<std::string> showLines(std::span<const uint8_t> text);
// The table's rows as fields: vlan, protocols, rate_kbps (null: none), ports.
Json show(std::span<const std::string> lines, uint32_t result);
std::string showText(std::span<const std::string> lines, uint32_t result);

// One line of JSON; bytes that are not UTF-8 become U+FFFD.
std::string dump(const Json& j);

}  // namespace render
}  // namespace netp
