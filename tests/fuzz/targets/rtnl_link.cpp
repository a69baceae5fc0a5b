// rtnetlink link messages as the kernel might send them, through the link table and on to the
// port tracker. The first byte: bit 0 starts a dump before the datagram, bit 1 makes the
// tracker's attaches fail; the rest is one datagram of netlink messages.
#include <cerrno>
#include <cstring>
#include <vector>

#include "net/port/link_table.h"
#include "net/port/mem_port_ops.h"
#include "net/port/port_tracker.h"
#include "tests/fuzz/harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    using namespace netp::port;
    // Netlink messages are read in place: the datagram sits aligned, as a receive puts it.
    std::vector<uint32_t> aligned((size - 1 + sizeof(uint32_t) - 1) / sizeof(uint32_t));
    if (size > 1)
        std::memcpy(aligned.data(), data + 1, size - 1);
    LinkTable table;
    if ((data[0] & 1) != 0)
        table.dumpStarted();
    std::vector<LinkEvent> events;
    table.consume({reinterpret_cast<const uint8_t*>(aligned.data()), size - 1}, events);

    MemPortOps ops;
    if ((data[0] & 2) != 0)
        ops.failAttach(EPERM, 1);
    PortTracker ports({{"ge0/0", "veth0"}, {"ge0/1", "veth1"}, {"te1/0", "eth0"}}, ops, {3, 4}, {},
                      [](const std::string&) {});
    ports.handle(events);
    return 0;
}
