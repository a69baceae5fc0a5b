// A line card's pipeline in a private network namespace, for tests that need root: its ports
// on veth pairs (swN the port, peN the wire's far end), its tables set to a small topology, and
// frames run through the programs (BPF_PROG_TEST_RUN).
//
//   VLAN 100: ports 0 and 1 access (pvid 100), port 2 core, the LAG (ports 4, 5) core
//   VLAN 200: port 3 access (pvid 200), port 2 core
//   slot 0: ports 0-2; slot 1: ports 3-5; every MTU 1500
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "net/pipeline/bpf_tables.h"
#include "net/pipeline/trap_ring.h"

namespace l2pt_test {

using Bytes = std::vector<uint8_t>;
using netp::pipeline::Mac;

struct Tag {
    uint16_t tpid;
    uint16_t vid;
};
// dst, src, the tags outermost first, the EtherType and payload bytes 0, 1, 2, ...
Bytes frame(const Mac& dst, const Mac& src, const std::vector<Tag>& tags, uint16_t type,
            size_t payload = 46);

inline constexpr uint32_t kPorts = 6;
inline constexpr uint32_t kLag = L2PT_LAG_BASE;
inline constexpr uint32_t kUnbound = kPorts;  // runs a frame on a peer: an interface of no port
inline constexpr Mac kBroadcast = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
inline constexpr Mac kStp = {0x01, 0x80, 0xc2, 0x00, 0x00, 0x00};
inline constexpr uint16_t kIpv4 = 0x0800;

// The chassis ifIndex of a port (1000 + n) or the LAG (2000).
uint32_t chassisIf(uint32_t lport);
// A unicast MAC of the test, 02:00:00:00:00:n.
Mac host(uint8_t n);

struct Outcome {
    int retval;
    Bytes out;  // the frame as the program left it
    l2pt_event ev;
};

class Switch : public ::testing::Test {
  public:
    void SetUp() override;

    // The topology above, again, as the tables' writes make it; learned MACs stay.
    void configure();
    template <typename Edit>
    void editGlobals(Edit edit) {
        l2pt_globals g = tables->globals();
        edit(g);
        ASSERT_TRUE(tables->setGlobals(g));
    }

    // A frame entering a port (its event read), or leaving it with a socket's mark (as it
    // leaves into *out, when given).
    Outcome run(uint32_t port, const Bytes& frame, uint32_t gsoSize = 0);
    int runEgress(uint32_t port, const Bytes& frame, uint32_t mark, Bytes* out = nullptr);
    // A frame the task sent, coming in by the interface of that ifindex.
    int runTask(uint32_t ifindex, const Bytes& frame, Bytes* out = nullptr);
    l2pt_port_stats stats(uint32_t slot);
    uint64_t drops(uint32_t slot, l2pt_drop why) { return stats(slot).drops[why]; }

    l2pt_event nextEvent();

    // Loads the pipeline again as options say (the tables before gone first: a daemon that
    // stops, then the next), its events read from there on.
    void reload(const netp::pipeline::PipelineOptions& options);

    std::unique_ptr<netp::pipeline::BpfTables> tables;
    uint32_t ifindex[kPorts + 1] = {};  // swN, and pe0 as the interface of no port

  protected:
    netp::pipeline::PipelineOptions options_;  // how SetUp() loads the pipeline

  private:
    std::unique_ptr<netp::pipeline::TrapRing> events_;
};

}  // namespace l2pt_test
