#include "switch.h"

#include <arpa/inet.h>
#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <optional>
#include <string>

#include "net/pipeline/records.h"
#include "tests/support/veth.h"

namespace l2pt_test {

using namespace netp::pipeline;

namespace {

constexpr int kEventWaitMs = 1000;
constexpr auto kWireWait = std::chrono::milliseconds(1000);
constexpr auto kWireQuiet = std::chrono::milliseconds(50);
constexpr size_t kMaxFrame = 16384;

void putBe16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}

void setBit(uint32_t* words, uint32_t lport) {
    words[lport / 32] |= 1u << (lport % 32);
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
    const std::string made = privateVethPairs(kPorts);
    ASSERT_EQ(made, "");
    for (uint32_t p = 0; p < kPorts; p++) {
        ifindex[p] = ::if_nametoindex(("sw" + std::to_string(p)).c_str());
        peer[p] = ::if_nametoindex(("pe" + std::to_string(p)).c_str());
    }
    ifindex[kUnbound] = peer[0];
    auto loaded = BpfTables::load([](std::string_view line) { std::cerr << line << "\n"; });
    ASSERT_TRUE(loaded) << loaded.status().what();
    tables = std::move(*loaded);
    auto events = TrapRing::map(netp::Fd(::dup(tables->eventsFd())), L2PT_EVENT_RING_BYTES);
    ASSERT_TRUE(events) << events.status().what();
    events_ = std::make_unique<TrapRing>(std::move(*events));
    configure();
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
    for (uint32_t lp : {0u, 1u, 2u, kLag})
        setBit(v100.members, lp);
    for (uint32_t lp : {2u, kLag})
        setBit(v100.core, lp);
    for (uint32_t lp : {2u, 3u})
        setBit(v200.members, lp);
    setBit(v200.core, 2);
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

int Switch::runEgress(uint32_t port, const Bytes& in, uint32_t mark) {
    __sk_buff ctx{};
    ctx.ifindex = ifindex[port];
    ctx.mark = mark;
    return testRun(tables->egressFd(), ctx, in, nullptr);
}

l2pt_port_stats Switch::stats(uint32_t slot) {
    auto s = tables->portStats(slot);
    EXPECT_TRUE(s) << s.status().what();
    return s ? *s : l2pt_port_stats{};
}

l2pt_event Switch::nextEvent() {
    pollfd p{events_->fd(), POLLIN, 0};
    std::span<const uint8_t> rec = events_->peek();
    if (rec.empty() && ::poll(&p, 1, kEventWaitMs) == 1)
        rec = events_->peek();
    auto ev = parseEvent(rec);
    events_->release();
    EXPECT_TRUE(ev) << "no event within " << kEventWaitMs << " ms";
    return ev.value_or(l2pt_event{});
}

void Switch::attach() {
    for (uint32_t p = 0; p < kPorts; p++) {
        LIBBPF_OPTS(bpf_tc_hook, hook, .ifindex = static_cast<int>(ifindex[p]),
                    .attach_point = BPF_TC_INGRESS);
        ASSERT_EQ(bpf_tc_hook_create(&hook), 0);
        LIBBPF_OPTS(bpf_tc_opts, opts, .prog_fd = tables->ingressFd());
        ASSERT_EQ(bpf_tc_attach(&hook, &opts), 0);

        wire_[p] = netp::Fd(::socket(AF_PACKET, SOCK_RAW | SOCK_NONBLOCK, htons(ETH_P_ALL)));
        sockaddr_ll at{};
        at.sll_family = AF_PACKET;
        at.sll_protocol = htons(ETH_P_ALL);
        at.sll_ifindex = static_cast<int>(peer[p]);
        const int on = 1;
        ASSERT_EQ(::bind(wire_[p].get(), reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
        ASSERT_EQ(::setsockopt(wire_[p].get(), SOL_PACKET, PACKET_AUXDATA, &on, sizeof on), 0);
    }
}

void Switch::send(uint32_t port, const Bytes& f) {
    sockaddr_ll to{};
    to.sll_family = AF_PACKET;
    to.sll_ifindex = static_cast<int>(peer[port]);
    to.sll_halen = L2PT_ETH_ALEN;
    ASSERT_EQ(::sendto(wire_[port].get(), f.data(), f.size(), 0, reinterpret_cast<sockaddr*>(&to),
                       sizeof to),
              static_cast<ssize_t>(f.size()));
}

namespace {

// A frame that reached a far end, a tag the kernel took off put back.
std::optional<Bytes> readFrame(int fd) {
    Bytes buf(kMaxFrame);
    sockaddr_ll from{};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(tpacket_auxdata))];
    iovec iov{buf.data(), buf.size()};
    msghdr msg{&from, sizeof from, &iov, 1, control, sizeof control, 0};
    const ssize_t n = ::recvmsg(fd, &msg, 0);
    if (n < 0 || from.sll_pkttype == PACKET_OUTGOING)
        return std::nullopt;
    buf.resize(static_cast<size_t>(n));
    tpacket_auxdata aux;
    std::memcpy(&aux, CMSG_DATA(CMSG_FIRSTHDR(&msg)), sizeof aux);
    if (aux.tp_status & TP_STATUS_VLAN_VALID) {
        const uint16_t tpid =
            (aux.tp_status & TP_STATUS_VLAN_TPID_VALID) ? aux.tp_vlan_tpid : L2PT_TPID_8021Q;
        const uint8_t tag[] = {uint8_t(tpid >> 8), uint8_t(tpid), uint8_t(aux.tp_vlan_tci >> 8),
                               uint8_t(aux.tp_vlan_tci)};
        buf.insert(buf.begin() + L2PT_OFF_TYPE, tag, tag + sizeof tag);
    }
    return buf;
}

}  // namespace

// What reaches the far ends until the expected number of frames did and the wires were quiet
// for a while, or a second passed.
std::map<uint32_t, Bytes> Switch::received(size_t expected) {
    using Clock = std::chrono::steady_clock;
    std::map<uint32_t, Bytes> got;
    auto until = Clock::now() + kWireWait;
    for (bool quiet = false; Clock::now() < until;) {
        if (!quiet && got.size() >= expected) {
            until = Clock::now() + kWireQuiet;
            quiet = true;
        }
        pollfd fds[kPorts];
        for (uint32_t p = 0; p < kPorts; p++)
            fds[p] = {wire_[p].get(), POLLIN, 0};
        ::poll(fds, kPorts, 10);
        for (uint32_t p = 0; p < kPorts; p++) {
            if (std::optional<Bytes> f = readFrame(wire_[p].get())) {
                EXPECT_FALSE(got.count(p)) << "a second frame at port " << p;
                got[p] = *f;
            }
        }
    }
    return got;
}

}  // namespace l2pt_test
