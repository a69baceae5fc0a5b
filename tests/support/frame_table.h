// The frame table's reader: literal frames entering named ports, each with what the data plane
// must make of it, for both the simulation and the kernel pipeline (tests/dataplane/frames.table).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace frametable {

using Bytes = std::vector<uint8_t>;
using Mac = std::array<uint8_t, 6>;

// Steps that change the switch's state, in the table's order among the rows.
struct Entry {                     // an ACL agent installs a trap entry
    std::string port;              // the port's own entry; empty for an agent-wide one
    std::optional<uint32_t> slot;  // the card of an agent-wide entry
    Mac mac{};
    uint32_t rateKbps = 0;  // 0: not policed
};
struct Tpid {  // IFM sets the provider TPID
    uint16_t tpid = 0;
};
struct Advance {  // the chassis clock moves on
    uint64_t seconds = 0;
};
struct Card {  // a line card goes away (and its agent's entries with it) or comes back
    uint32_t slot = 0;
    bool up = false;
};
struct L2cp {                      // the line cards' action for reserved addresses
    std::string port;              // a port or LAG
    std::optional<uint16_t> vlan;  // in this VLAN only
    uint32_t addresses = 0;        // a bit per address index (chassis::parseL2cpAddresses)
    int action = 0;                // enum l2pt_l2cp_action
};
struct TunnelMac {           // IFM sets the tunnel MAC
    std::optional<Mac> mac;  // none: back to the default
};
struct VlanMember {  // IFM takes a port out of a VLAN, or puts it in
    uint16_t vid = 0;
    std::string port;
    bool join = false;
    bool core = false;  // joins as a core port
};

struct Learning {                  // a port's or LAG's learning limit changes, or a VLAN's
    std::string port;              // empty for a VLAN's
    std::optional<uint16_t> vlan;  // the VLAN's
    uint32_t limit = 0;
    bool drop = false;  // a port's frames from new sources past it are dropped
};
struct Learned {  // what a port holds of the learned MACs, and its learning counters
    int line = 0;
    std::string port;
    uint32_t count = 0;
    uint64_t moves = 0;
    uint64_t refused = 0;  // new sources not learned
};

struct Storm {  // a port's storm control for one class changes (l2ptctl storm)
    std::string port;
    int cls = 0;  // enum l2pt_storm_class
    uint32_t fps = 0;
    uint32_t kbps = 0;  // both 0: off
};
struct PduRate {  // a port's PDU rate changes; nothing: back to the default
    std::string port;
    std::optional<uint32_t> rate;
};

struct Copy {
    std::string port;  // the physical port it leaves by (a LAG's member)
    Bytes frame;
    bool operator==(const Copy&) const = default;
};

// A frame entering a port and what must become of it.
struct Row {
    std::string name;
    int line = 0;
    std::string port;
    Bytes frame;
    bool sent = false;             // the task sends frame out of port, rather than it entering
    int verdict = 0;               // enum l2pt_verdict
    int reason = -1;               // enum l2pt_drop, for a dropped frame
    int socket = 0;                // L2PT_SOCKET_*, for a trapped frame
    std::string rxIf;              // trapped: the interface the task hears it from (a member's LAG)
    Bytes trapped;                 // trapped: the frame the task receives
    std::optional<uint16_t> vlan;  // the VLAN it was taken into, when the row says
    std::vector<Copy> out;         // every copy that left, ordered by port name
};

using Step = std::variant<Entry, Tpid, Advance, Card, Learning, Learned, L2cp, TunnelMac,
                          VlanMember, Storm, PduRate, Row>;

struct Table {
    std::string chassis;  // path of the chassis file, as found from the table's folder
    std::vector<Step> steps;
};

// Reads a table; std::runtime_error "FILE:LINE: what" for anything it cannot read.
Table load(const std::string& path);

// The copies as "PORT HEX" lines in port order, for comparing what left with a row's.
std::string copiesText(std::vector<Copy> copies);

// A step as the table writes it, one line or more, each ending in a newline: what a runner
// compares, and what a generated table prints to be pasted into the table.
std::string stepText(const Step& step);

// got, a row as a data plane made it of want's frame, saying only what want says: its VLAN
// where want states one.
Row asStated(Row got, const Row& want);

// "no_vlan" for L2PT_DP_DROP_NO_VLAN, "flooded" for L2PT_VERDICT_FLOODED: the table's words.
std::string reasonWord(int reason);
std::string verdictWord(int verdict);

}  // namespace frametable
