#include "switch.h"

#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <net/if.h>
#include <unistd.h>

#include <iostream>
#include <optional>
#include <string>

#include "net/pipeline/records.h"
#include "tests/support/veth.h"

namespace l2pt_test {

using namespace netp::pipeline;

namespace {

constexpr int kEventWaitMs = 1000;
constexpr size_t kMaxFrame = 16384;

void putBe16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}

void setBits(uint32_t* words, std::initializer_list<uint32_t> lports) {
    for (uint32_t lp : lports)
        words[lp / 32] |= 1u << (lp % 32);
}

}  // namespace

Bytes frame(const Mac& dst, const Mac& src, const std::vector<Tag>& tags, uint16_t type,
            size_t payload) {
    Bytes b(dst.begin(), dst.end());
    b.insert(b.end(), src.begin(), src.end());
    for (const Tag& t : tags) {
        putBe16(b, t.tpid);
        putBe16(b, t.vid);
    }
    putBe16(b, type);
    for (size_t i = 0; i < payload; i++)
        b.push_back(static_cast<uint8_t>(i));
    return b;
}

uint32_t chassisIf(uint32_t lport) {
    return lport == kLag ? 2000 : 1000 + lport;
}

Mac host(uint8_t n) {
    return {0x02, 0, 0, 0, 0, n};
}

void Switch::SetUp() {
    ASSERT_EQ(::geteuid(), 0u) << "this test needs root: it loads BPF programs and makes a "
                                  "network namespace with veth pairs";
    ASSERT_EQ(privateVethPairs(kPorts), "");
    for (uint32_t p = 0; p < kPorts; p++)
        ifindex[p] = ::if_nametoindex(("sw" + std::to_string(p)).c_str());
    ifindex[kUnbound] = ::if_nametoindex("pe0");
    reload(options_);
    if (tables->start().how != PipelineStart::Adopted)
        configure();
}

void Switch::reload(const PipelineOptions& options) {
    events_.reset();
    tables.reset();
    auto loaded = BpfTables::load([](std::string_view line) { std::cerr << line << "\n"; },
                                  L2PT_FDB_ENTRIES_DEFAULT, options);
    ASSERT_TRUE(loaded) << loaded.status().what();
    tables = std::move(*loaded);
    auto events = TrapRing::map(netp::Fd(::dup(tables->eventsFd())), L2PT_EVENT_RING_BYTES);
    ASSERT_TRUE(events) << events.status().what();
    events_ = std::make_unique<TrapRing>(std::move(*events));
}

void Switch::configure() {
    l2pt_globals g = defaultGlobals();
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
    l2pt_vlan v100{}, v200{};
    setBits(v100.members, {0, 1, 2, kLag});
    setBits(v100.core, {2, kLag});
    setBits(v200.members, {2, 3});
    setBits(v200.core, {2});
    ASSERT_TRUE(tables->setVlan(100, v100) && tables->setVlan(200, v200));
}

namespace {

// One BPF_PROG_TEST_RUN of prog on a frame entering or leaving ctx.ifindex.
int testRun(int prog, __sk_buff ctx, const Bytes& in, Bytes* out) {
    LIBBPF_OPTS(bpf_test_run_opts, opts, .data_in = in.data(),
                .data_out = out ? out->data() : nullptr,
                .data_size_in = static_cast<uint32_t>(in.size()),
                .data_size_out = out ? static_cast<uint32_t>(out->size()) : 0, .ctx_in = &ctx,
                .ctx_size_in = sizeof ctx);
    const int err = bpf_prog_test_run_opts(prog, &opts);
    EXPECT_EQ(err, 0) << "BPF_PROG_TEST_RUN: " << std::strerror(-err);
    if (out)
        out->resize(opts.data_size_out);
    return static_cast<int>(opts.retval);
}

}  // namespace

Outcome Switch::run(uint32_t port, const Bytes& in, uint32_t gsoSize) {
    Outcome r{-1, Bytes(kMaxFrame), {}};
    __sk_buff ctx{};
    ctx.ifindex = ifindex[port];
    ctx.gso_size = gsoSize;
    ctx.gso_segs = gsoSize ? static_cast<uint32_t>(in.size() / gsoSize + 1) : 0;
    r.retval = testRun(tables->ingressFd(), ctx, in, &r.out);
    r.ev = nextEvent();
    return r;
}

int Switch::runEgress(uint32_t port, const Bytes& in, uint32_t mark, Bytes* out) {
    __sk_buff ctx{};
    ctx.ifindex = ifindex[port];
    ctx.mark = mark;
    if (out != nullptr)
        out->resize(kMaxFrame);
    return testRun(tables->egressFd(), ctx, in, out);
}

int Switch::runTask(uint32_t link, const Bytes& in, Bytes* out) {
    __sk_buff ctx{};
    ctx.ifindex = link;
    if (out != nullptr)
        out->resize(kMaxFrame);
    return testRun(tables->taskTxFd(), ctx, in, out);
}

l2pt_port_stats Switch::stats(uint32_t slot) {
    auto s = tables->portStats(slot);
    EXPECT_TRUE(s) << s.status().what();
    return s ? *s : l2pt_port_stats{};
}

l2pt_event Switch::nextEvent() {
    auto ev = parseEvent(events_->peekWaiting(kEventWaitMs));
    events_->release();
    events_->publish();  // a reader mapped after a reload starts where this one ended
    EXPECT_TRUE(ev) << "no event within " << kEventWaitMs << " ms";
    return ev.value_or(l2pt_event{});
}

}  // namespace l2pt_test
