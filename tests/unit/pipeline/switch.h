// A line card's pipeline in a private network namespace (root): ports on veth pairs (swN the
// port, peN the far end), tables set to a small topology, frames run by BPF_PROG_TEST_RUN.
//   VLAN 100: ports 0 and 1 access (pvid 100), port 2 core, the LAG (ports 4, 5) core
//   VLAN 200: port 3 access (pvid 200), port 2 core; slots 0 (ports 0-2), 1 (3-5); MTU 1500
#pragma once

#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <unistd.h>

#include <cstdint>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "net/pipeline/bpf_tables.h"
#include "net/pipeline/records.h"
#include "net/pipeline/trap_ring.h"
#include "tests/support/veth.h"

namespace l2pt_test {

using Bytes = std::vector<uint8_t>;
using netp::pipeline::Mac;

struct Tag {
    uint16_t tpid;
    uint16_t vid;
};
// dst, src, the tags outermost first, the EtherType and payload bytes 0, 1, 2, ...
inline Bytes frame(const Mac& dst, const Mac& src, const std::vector<Tag>& tags, uint16_t type,
                   size_t payload = 46) {
    Bytes b(dst.begin(), dst.end());
    b.insert(b.end(), src.begin(), src.end());
    for (const Tag& t : tags)
        b.insert(b.end(),
                 {uint8_t(t.tpid >> 8), uint8_t(t.tpid), uint8_t(t.vid >> 8), uint8_t(t.vid)});
    b.insert(b.end(), {uint8_t(type >> 8), uint8_t(type)});
    for (size_t i = 0; i < payload; i++)
        b.push_back(static_cast<uint8_t>(i));
    return b;
}

inline constexpr uint32_t kPorts = 6;
inline constexpr uint32_t kLag = L2PT_LAG_BASE;
inline constexpr uint32_t kUnbound = kPorts;  // runs a frame on a peer: an interface of no port
inline constexpr Mac kBroadcast = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
inline constexpr Mac kStp = {0x01, 0x80, 0xc2, 0x00, 0x00, 0x00};
inline constexpr uint16_t kIpv4 = 0x0800;

// The chassis ifIndex of a port (1000 + n) or the LAG (2000).
inline uint32_t chassisIf(uint32_t lport) {
    return lport == kLag ? 2000 : 1000 + lport;
}
// A unicast MAC of the test, 02:00:00:00:00:n.
inline Mac host(uint8_t n) {
    return {0x02, 0, 0, 0, 0, n};
}

struct Outcome {
    int retval;
    Bytes out;  // the frame as the program left it
    l2pt_event ev;
};

class Switch : public ::testing::Test {
  public:
    static constexpr int kEventWaitMs = 1000;
    static constexpr size_t kMaxFrame = 16384;

    void SetUp() override {
        ASSERT_EQ(::geteuid(), 0u) << "this test needs root: it loads BPF programs and makes a "
                                      "network namespace with veth pairs";
        ASSERT_EQ(privateVethPairs(kPorts), "");
        for (uint32_t p = 0; p < kPorts; p++)
            ifindex[p] = ::if_nametoindex(("sw" + std::to_string(p)).c_str());
        ifindex[kUnbound] = ::if_nametoindex("pe0");
        reload(options_);
        if (tables->start().how != netp::pipeline::PipelineStart::Adopted)
            configure();
    }

    // The topology above, again, as the tables' writes make it; learned MACs stay.
    void configure() {
        l2pt_globals g = netp::pipeline::defaultGlobals();
        g.flags = L2PT_G_TRACE;
        ASSERT_TRUE(tables->setGlobals(g));
        for (uint32_t p = 0; p < kPorts; p++) {
            l2pt_lport r{};
            r.ifindex = ifindex[p];
            r.chassis_if = chassisIf(p);
            r.pvid = p == 3 ? 200 : 100;
            r.mtu = 1500;
            r.lag = p >= 4 ? kLag : L2PT_LPORT_NONE;
            r.slot = p < 3 ? 0 : 1;
            r.flags = L2PT_P_PRESENT | L2PT_P_UP;
            ASSERT_TRUE(tables->setLport(p, r) && tables->bindIfindex(ifindex[p], p));
        }
        l2pt_lport lag{};
        lag.chassis_if = chassisIf(kLag);
        lag.flags = L2PT_P_PRESENT | L2PT_P_IS_LAG;
        lag.n_live = 2;
        lag.live[0] = 4;
        lag.live[1] = 5;
        ASSERT_TRUE(tables->setLport(kLag, lag));
        const auto setBits = [](uint32_t* words, std::initializer_list<uint32_t> lports) {
            for (uint32_t lp : lports)
                words[lp / 32] |= 1u << (lp % 32);
        };
        l2pt_vlan v100{}, v200{};
        setBits(v100.members, {0, 1, 2, kLag});
        setBits(v100.core, {2, kLag});
        setBits(v200.members, {2, 3});
        setBits(v200.core, {2});
        ASSERT_TRUE(tables->setVlan(100, v100) && tables->setVlan(200, v200));
    }
    template <typename Edit>
    void editGlobals(Edit edit) {
        l2pt_globals g = tables->globals();
        edit(g);
        ASSERT_TRUE(tables->setGlobals(g));
    }

    // A frame entering a port (its event read), or leaving it with a socket's mark (as it
    // leaves into *out, when given).
    Outcome run(uint32_t port, const Bytes& in, uint32_t gsoSize = 0) {
        Outcome r{-1, Bytes(kMaxFrame), {}};
        __sk_buff ctx{};
        ctx.ifindex = ifindex[port];
        ctx.gso_size = gsoSize;
        ctx.gso_segs = gsoSize ? static_cast<uint32_t>(in.size() / gsoSize + 1) : 0;
        r.retval = testRun(tables->ingressFd(), ctx, in, &r.out);
        r.ev = nextEvent();
        return r;
    }
    // A frame entering a port repeat times, no event read (as a flood of it would).
    int runRepeated(uint32_t port, const Bytes& in, int repeat) {
        __sk_buff ctx{};
        ctx.ifindex = ifindex[port];
        return testRun(tables->ingressFd(), ctx, in, nullptr, repeat);
    }
    int runEgress(uint32_t port, const Bytes& in, uint32_t mark, Bytes* out = nullptr) {
        __sk_buff ctx{};
        ctx.ifindex = ifindex[port];
        ctx.mark = mark;
        return testRun(tables->egressFd(), ctx, in, out);
    }
    // A frame the task sent, coming in by the interface of that ifindex.
    int runTask(uint32_t link, const Bytes& in, Bytes* out = nullptr) {
        __sk_buff ctx{};
        ctx.ifindex = link;
        return testRun(tables->taskTxFd(), ctx, in, out);
    }
    l2pt_port_stats stats(uint32_t slot) {
        auto s = tables->portStats(slot);
        EXPECT_TRUE(s) << s.status().what();
        return s ? *s : l2pt_port_stats{};
    }
    uint64_t drops(uint32_t slot, l2pt_drop why) { return stats(slot).drops[why]; }

    l2pt_event nextEvent() {
        auto ev = netp::pipeline::parseEvent(events_->peekWaiting(kEventWaitMs));
        events_->release();
        events_->publish();  // a reader mapped after a reload starts where this one ended
        EXPECT_TRUE(ev) << "no event within " << kEventWaitMs << " ms";
        return ev.value_or(l2pt_event{});
    }

    // Loads the pipeline again as options say (the tables before gone first: a daemon that
    // stops, then the next), its events read from there on; pinned as a daemon's start that
    // went through pins it, unless it is to end first.
    void reload(const netp::pipeline::PipelineOptions& options, bool endsFirst = false) {
        using netp::pipeline::TrapRing;
        events_.reset();
        tables.reset();
        auto loaded = netp::pipeline::BpfTables::load(
            [](std::string_view line) { std::cerr << line << "\n"; }, L2PT_FDB_ENTRIES_DEFAULT,
            options);
        ASSERT_TRUE(loaded) << loaded.status().what();
        tables = std::move(*loaded);
        if (!endsFirst) {
            ASSERT_TRUE(tables->commitPins());
        }
        auto events = TrapRing::map(netp::Fd(::dup(tables->eventsFd())), L2PT_EVENT_RING_BYTES);
        ASSERT_TRUE(events) << events.status().what();
        events_ = std::make_unique<TrapRing>(std::move(*events));
    }

    std::unique_ptr<netp::pipeline::BpfTables> tables;
    uint32_t ifindex[kPorts + 1] = {};  // swN, and pe0 as the interface of no port

  protected:
    netp::pipeline::PipelineOptions options_;  // how SetUp() loads the pipeline

  private:
    // BPF_PROG_TEST_RUN of prog on a frame entering or leaving ctx.ifindex, repeat times (into
    // *out, made room for the longest frame).
    static int testRun(int prog, __sk_buff ctx, const Bytes& in, Bytes* out, int repeat = 1) {
        if (out)
            out->resize(kMaxFrame);
        LIBBPF_OPTS(bpf_test_run_opts, opts, .data_in = in.data(),
                    .data_out = out ? out->data() : nullptr,
                    .data_size_in = static_cast<uint32_t>(in.size()),
                    .data_size_out = out ? static_cast<uint32_t>(out->size()) : 0, .ctx_in = &ctx,
                    .ctx_size_in = sizeof ctx, .repeat = repeat);
        const int err = bpf_prog_test_run_opts(prog, &opts);
        EXPECT_EQ(err, 0) << "BPF_PROG_TEST_RUN: " << std::strerror(-err);
        if (out)
            out->resize(opts.data_size_out);
        return static_cast<int>(opts.retval);
    }

    std::unique_ptr<netp::pipeline::TrapRing> events_;
};

}  // namespace l2pt_test
