// The port layer's costs: a link dump parsed into the link table (per link message), a
// capture's batched reads over veth (per frame, sending included), and a task link made and
// deleted (what each grant of the data path adds to a takeover). The last two need root: they
// make a network namespace of their own.
//
//   sudo ./tests/bench_port_layer

// glibc's interface flags first: the kernel's header then adds only those glibc lacks.
#include <net/if.h>

#include <benchmark/benchmark.h>
#include <libmnl/libmnl.h>
#include <linux/if.h>
#include <linux/if_packet.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "net/io/fd.h"
#include "net/port/capture_socket.h"
#include "net/port/link_table.h"
#include "net/port/task_link.h"

namespace {

using namespace netp::port;

constexpr int kLinks = 64;
constexpr size_t kOpaqueBytes = 1024;  // the statistics and such a kernel's message carries

// One dump datagram of kLinks link messages, then the dump's end.
std::vector<uint32_t> dumpDatagram(size_t& bytes) {
    std::vector<uint32_t> buf(kLinks * 2048 / sizeof(uint32_t));
    auto* at = reinterpret_cast<char*>(buf.data());
    const std::vector<uint8_t> opaque(kOpaqueBytes);
    for (int i = 0; i < kLinks + 1; ++i) {
        nlmsghdr* nlh = mnl_nlmsg_put_header(at);
        if (i == kLinks) {
            nlh->nlmsg_type = NLMSG_DONE;
            at += nlh->nlmsg_len;
            break;
        }
        nlh->nlmsg_type = RTM_NEWLINK;
        auto* ifi = static_cast<ifinfomsg*>(mnl_nlmsg_put_extra_header(nlh, sizeof(ifinfomsg)));
        ifi->ifi_index = i + 1;
        ifi->ifi_flags = static_cast<unsigned>(IFF_UP) | IFF_LOWER_UP;
        mnl_attr_put_strz(nlh, IFLA_IFNAME, ("port" + std::to_string(i)).c_str());
        mnl_attr_put_u32(nlh, IFLA_MTU, 1500);
        mnl_attr_put(nlh, IFLA_STATS64, opaque.size(), opaque.data());
        at += nlh->nlmsg_len;
    }
    bytes = static_cast<size_t>(at - reinterpret_cast<char*>(buf.data()));
    return buf;
}

void BM_LinkDump(benchmark::State& state) {
    size_t bytes = 0;
    const auto dump = dumpDatagram(bytes);
    const std::span<const uint8_t> d(reinterpret_cast<const uint8_t*>(dump.data()), bytes);
    LinkTable table;
    std::vector<LinkEvent> events;
    for (auto _ : state) {
        table.dumpStarted();
        events.clear();
        table.consume(d, events);
        benchmark::DoNotOptimize(events.data());
    }
    state.SetItemsProcessed(state.iterations() * kLinks);
}
BENCHMARK(BM_LinkDump);

void BM_CaptureRead(benchmark::State& state) {
    constexpr size_t kBatch = CaptureSocket::kSlots;
    size_t seen = 0;
    CaptureSocket cap(::if_nametoindex("v0"), "v0", [&](const CapturedFrame&) { ++seen; });
    netp::Fd tx(::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0));
    sockaddr_ll to{};
    to.sll_family = AF_PACKET;
    to.sll_ifindex = static_cast<int>(::if_nametoindex("v1"));
    std::array<uint8_t, 64> frame{0x01, 0x80, 0xc2, 0, 0, 0, 0x02, 0, 0, 0, 0, 1, 0x81, 0, 0, 100};
    std::array<iovec, kBatch> iov;
    std::array<mmsghdr, kBatch> msgs{};
    for (size_t i = 0; i < kBatch; ++i) {
        iov[i] = {frame.data(), frame.size()};
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
        msgs[i].msg_hdr.msg_name = &to;
        msgs[i].msg_hdr.msg_namelen = sizeof to;
    }
    for (auto _ : state) {
        const size_t want = seen + kBatch;
        if (::sendmmsg(tx.get(), msgs.data(), kBatch, 0) != static_cast<int>(kBatch)) {
            state.SkipWithError("sendmmsg on v1 failed");
            break;
        }
        while (cap.read() && seen < want) {
            pollfd p{cap.fd(), POLLIN, 0};
            ::poll(&p, 1, 100);
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(seen));
    state.counters["kernel_drops"] = static_cast<double>(cap.kernelDrops());
}

void BM_TaskLink(benchmark::State& state) {
    for (auto _ : state) {
        OpStatus st;
        auto link = TaskLink::open("l2ptbench", st);
        if (!link) {
            state.SkipWithError(st.text().c_str());
            break;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (::geteuid() == 0 && ::unshare(CLONE_NEWNET) == 0 &&
        std::system("ip link add v0 type veth peer name v1 && ip link set v0 up && "
                    "ip link set v1 up") == 0) {
        benchmark::RegisterBenchmark("BM_CaptureRead", BM_CaptureRead);
        benchmark::RegisterBenchmark("BM_TaskLink", BM_TaskLink)->Unit(benchmark::kMillisecond);
    } else {
        std::fprintf(
            stderr,
            "bench_port_layer: BM_CaptureRead and BM_TaskLink need root (a network namespace, "
            "veth, AF_PACKET); not run\n");
    }
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
