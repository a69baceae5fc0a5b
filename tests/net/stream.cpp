// Numbered known unicast between sites at a paced rate, counted where it arrives (received,
// lost, duplicated, longest silence), through the disruption test's restarts. A watch port
// counts a stream's frames reaching it: known unicast is never flooded, so one means lost MACs.
// Prints "streaming" once every flow delivered, then one JSON line on SIGTERM/SIGINT/--seconds.
//   l2pt-stream --rate PPS --flow OUT,IN,SRC_MAC,DST_MAC ... [--watch IF ...] [--seconds S]
// (an interface NS/IF is IF in the namespace /run/netns/NS)
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "net/io/fd.h"
#include "platform/wire/bytes.h"

namespace {

using Clock = std::chrono::steady_clock;
using Mac = std::array<uint8_t, 6>;

// The frame: Ethernet header, then the stream's own header, padded to the shortest frame.
constexpr size_t kDstOff = 0;
constexpr size_t kSrcOff = 6;
constexpr size_t kEtherTypeOff = 12;
constexpr size_t kMagicOff = 14;
constexpr size_t kFlowOff = 18;
constexpr size_t kSeqOff = 22;  // 64 bits
constexpr size_t kHeaderLen = 30;
constexpr size_t kFrameLen = 60;
constexpr size_t kTagLen = 4;            // a tag the kernel leaves in the frame (a provider's TPID)
constexpr uint16_t kEtherType = 0x88b5;  // local experimental
constexpr uint32_t kMagic = 0x4c325354;

constexpr size_t kBatch = 64;
constexpr size_t kRxBuf = 128;         // more than any header read; longer frames are cut
constexpr int kRxBufBytes = 64 << 20;  // a second at full rate: a slow thread loses none
constexpr auto kPollWait = std::chrono::milliseconds(20);
constexpr auto kPace = std::chrono::microseconds(250);
constexpr auto kLinger = std::chrono::milliseconds(300);  // frames still on their way
constexpr auto kFirstFrames = std::chrono::seconds(5);    // every flow delivering by then
constexpr double kMaxSeconds = 600;

void putU64(uint8_t* b, size_t off, uint64_t v) {
    wire::putU32(b, off, static_cast<uint32_t>(v >> 32));
    wire::putU32(b, off + 4, static_cast<uint32_t>(v));
}
uint64_t getU64(const uint8_t* b, size_t off) {
    return static_cast<uint64_t>(wire::getU32(b, off)) << 32 | wire::getU32(b, off + 4);
}

struct Stamp {
    uint32_t flow;
    uint64_t seq;
};

// The stream's header in a received frame, read within its length; nullopt for anything else.
std::optional<Stamp> parse(std::span<const uint8_t> f) {
    size_t at = 0;
    if (f.size() >= kHeaderLen + kTagLen && wire::getU16(f.data(), kEtherTypeOff) != kEtherType &&
        wire::getU16(f.data(), kEtherTypeOff + kTagLen) == kEtherType)
        at = kTagLen;
    if (f.size() < kHeaderLen + at || wire::getU16(f.data(), kEtherTypeOff + at) != kEtherType ||
        wire::getU32(f.data(), kMagicOff + at) != kMagic)
        return std::nullopt;
    return Stamp{wire::getU32(f.data(), kFlowOff + at), getU64(f.data(), kSeqOff + at)};
}

std::optional<Mac> parseMac(const std::string& s) {
    Mac m{};
    unsigned v[6];
    char tail;
    if (std::sscanf(s.c_str(), "%2x:%2x:%2x:%2x:%2x:%2x%c", &v[0], &v[1], &v[2], &v[3], &v[4],
                    &v[5], &tail) != 6)
        return std::nullopt;
    std::copy(std::begin(v), std::end(v), m.begin());
    return m;
}

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "l2pt-stream: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

// An AF_PACKET socket on spec (IF, or NS/IF: made in the namespace /run/netns/NS): a receiver
// (every protocol, its own sends left out, a large buffer) or a sender (receiving nothing).
netp::Fd packetSocket(const std::string& spec, bool receive) {
    // The namespace the program began in, taken before the first socket enters another.
    static const netp::Fd home(::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC));
    const size_t slash = spec.find('/');
    if (slash != std::string::npos) {
        const std::string path = "/run/netns/" + spec.substr(0, slash);
        const netp::Fd ns(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        if (!home.valid() || !ns.valid() || ::setns(ns.get(), CLONE_NEWNET) != 0)
            fail("entering " + path);
    }
    const std::string iface = slash == std::string::npos ? spec : spec.substr(slash + 1);
    const uint16_t proto = receive ? htons(ETH_P_ALL) : 0;
    netp::Fd fd(::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, proto));
    if (!fd.valid())
        fail("socket on " + iface);
    sockaddr_ll a{};
    a.sll_family = AF_PACKET;
    a.sll_protocol = proto;
    a.sll_ifindex = static_cast<int>(::if_nametoindex(iface.c_str()));
    if (a.sll_ifindex == 0)
        fail("no interface " + iface);
    if (receive) {
        const int on = 1;
        if (::setsockopt(fd.get(), SOL_PACKET, PACKET_IGNORE_OUTGOING, &on, sizeof on) != 0 ||
            ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUFFORCE, &kRxBufBytes, sizeof kRxBufBytes))
            fail("socket options on " + iface);
    }
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        fail("bind to " + iface);
    if (slash != std::string::npos && ::setns(home.get(), CLONE_NEWNET) != 0)
        fail("leaving the namespace of " + spec);
    return fd;
}

struct FlowSpec {
    std::string out, in;
    Mac src{}, dst{};
};

// What a flow's receiver saw; the receiving thread alone writes it until it ends.
struct FlowCount {
    std::vector<uint64_t> seen;  // one bit per sequence number
    uint64_t received = 0, duplicated = 0, flooded = 0, misdelivered = 0;
    Clock::time_point last{};
    Clock::duration longestGap{};
    std::atomic<bool> delivering{false};

    // One arrival of seq (below the capacity) at the flow's own receiver.
    void arrive(uint64_t seq, Clock::time_point now) {
        uint64_t& word = seen[seq / 64];
        const uint64_t bit = uint64_t{1} << (seq % 64);
        if (word & bit) {
            ++duplicated;
            return;
        }
        word |= bit;
        if (received++ > 0)
            longestGap = std::max(longestGap, now - last);
        last = now;
        delivering.store(true, std::memory_order_relaxed);
    }
};

// The frames of one flow's next batch, built once: sending rewrites their sequence numbers.
struct FlowSender {
    netp::Fd fd;
    std::array<std::array<uint8_t, kFrameLen>, kBatch> frames{};
    std::array<iovec, kBatch> iov{};
    std::array<mmsghdr, kBatch> msgs{};
    std::atomic<uint64_t> sent{0};

    FlowSender(const FlowSpec& spec, uint32_t flow) : fd(packetSocket(spec.out, false)) {
        for (size_t i = 0; i < kBatch; ++i) {
            uint8_t* f = frames[i].data();
            std::copy(spec.dst.begin(), spec.dst.end(), f + kDstOff);
            std::copy(spec.src.begin(), spec.src.end(), f + kSrcOff);
            wire::putU16(f, kEtherTypeOff, kEtherType);
            wire::putU32(f, kMagicOff, kMagic);
            wire::putU32(f, kFlowOff, flow);
            iov[i] = {f, kFrameLen};
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
        }
    }

    // Sends up to want frames (at most a batch), numbered on from what was sent before.
    void send(uint64_t want) {
        const uint64_t first = sent.load(std::memory_order_relaxed);
        const size_t n = std::min<uint64_t>(want, kBatch);
        for (size_t i = 0; i < n; ++i)
            putU64(frames[i].data(), kSeqOff, first + i);
        const int k = ::sendmmsg(fd.get(), msgs.data(), static_cast<unsigned>(n), 0);
        if (k < 0) {
            if (errno != ENOBUFS && errno != EAGAIN && errno != EINTR)
                fail("sendmmsg");
            return;  // tried again on the next round
        }
        sent.store(first + static_cast<uint64_t>(k), std::memory_order_relaxed);
    }
};

// A receiving socket: the flows it is the far end of, and whether it watches for floods.
struct Receiver {
    netp::Fd fd;
    std::string iface;
    std::vector<bool> ownFlow;
    bool watch = false;
};

class Stream {
  public:
    Stream(std::vector<FlowSpec> specs, std::vector<std::string> watches, double rate,
           double seconds)
        : specs_(std::move(specs)),
          rate_(rate),
          capacity_(static_cast<uint64_t>(rate * seconds) + kBatch),
          counts_(specs_.size()) {
        for (size_t i = 0; i < specs_.size(); ++i) {
            senders_.push_back(std::make_unique<FlowSender>(specs_[i], static_cast<uint32_t>(i)));
            counts_[i].seen.assign(capacity_ / 64 + 1, 0);
            receiverFor(specs_[i].in).ownFlow[i] = true;
        }
        for (const std::string& w : watches) {
            Receiver& r = receiverFor(w);
            if (std::find(r.ownFlow.begin(), r.ownFlow.end(), true) != r.ownFlow.end())
                throw std::invalid_argument(w + " is a flow's far end and cannot watch");
            r.watch = true;
        }
        pollFds_.reserve(receivers_.size());
        for (const Receiver& r : receivers_)
            pollFds_.push_back({r.fd.get(), POLLIN, 0});
        for (size_t i = 0; i < kBatch; ++i) {
            rxIov_[i] = {rxBufs_[i].data(), kRxBuf};
            rxMsgs_[i].msg_hdr.msg_iov = &rxIov_[i];
            rxMsgs_[i].msg_hdr.msg_iovlen = 1;
        }
    }

    void start() {
        receiving_ = std::thread([this] { receive(); });
        begun_ = Clock::now();
        sending_ = std::thread([this] { send(); });
    }

    bool delivering() const {
        return std::all_of(counts_.begin(), counts_.end(),
                           [](const FlowCount& c) { return c.delivering.load(); });
    }

    void stop() {
        stopSending_ = true;
        sending_.join();
        ended_ = Clock::now();
        std::this_thread::sleep_for(kLinger);
        stopReceiving_ = true;
        receiving_.join();
    }

    void report(bool started) const {
        using nlohmann::json;
        const double seconds = std::chrono::duration<double>(ended_ - begun_).count();
        json flows = json::array();
        for (size_t i = 0; i < specs_.size(); ++i) {
            const FlowCount& c = counts_[i];
            const uint64_t sent = senders_[i]->sent.load();
            flows.push_back({{"out", specs_[i].out},
                             {"in", specs_[i].in},
                             {"sent", sent},
                             {"sent_pps", seconds > 0 ? std::round(sent / seconds) : 0},
                             {"received", c.received},
                             {"lost", sent - std::min(sent, c.received)},
                             {"duplicated", c.duplicated},
                             {"flooded", c.flooded},
                             {"misdelivered", c.misdelivered},
                             {"longest_gap_ms",
                              std::chrono::duration<double, std::milli>(c.longestGap).count()}});
        }
        // What each receiving socket dropped itself (a full buffer): a loss there is the
        // receiver's, not the switch's.
        json dropped = json::object();
        for (const Receiver& r : receivers_) {
            tpacket_stats st{};
            socklen_t len = sizeof st;
            if (::getsockopt(r.fd.get(), SOL_PACKET, PACKET_STATISTICS, &st, &len) != 0)
                fail("packet statistics of " + r.iface);
            dropped[r.iface] = st.tp_drops;
        }
        const json summary = {{"started", started},
                              {"seconds", seconds},
                              {"flows", flows},
                              {"receiver_dropped", dropped}};
        std::printf("%s\n", summary.dump().c_str());
        std::fflush(stdout);
    }

  private:
    Receiver& receiverFor(const std::string& iface) {
        for (Receiver& r : receivers_)
            if (r.iface == iface)
                return r;
        receivers_.push_back(
            {packetSocket(iface, true), iface, std::vector<bool>(specs_.size(), false), false});
        return receivers_.back();
    }

    // Paced: each round sends every flow what the rate owes it by now, a batch at most.
    void send() {
        while (!stopSending_) {
            const double elapsed = std::chrono::duration<double>(Clock::now() - begun_).count();
            const uint64_t due = std::min(capacity_, static_cast<uint64_t>(elapsed * rate_));
            bool behind = false;
            for (const auto& s : senders_) {
                const uint64_t sent = s->sent.load(std::memory_order_relaxed);
                if (sent < due) {
                    s->send(due - sent);
                    behind = behind || due - sent > kBatch;
                }
            }
            if (!behind)
                std::this_thread::sleep_for(kPace);
        }
    }

    void receive() {
        while (!stopReceiving_) {
            const int ready =
                ::poll(pollFds_.data(), pollFds_.size(), static_cast<int>(kPollWait.count()));
            if (ready < 0 && errno != EINTR)
                fail("poll");
            for (size_t i = 0; ready > 0 && i < pollFds_.size(); ++i)
                if (pollFds_[i].revents & POLLIN)
                    drain(receivers_[i]);
        }
    }

    void drain(Receiver& r) {
        for (;;) {
            const int n = ::recvmmsg(r.fd.get(), rxMsgs_.data(), kBatch, MSG_DONTWAIT, nullptr);
            if (n <= 0)
                return;
            const Clock::time_point now = Clock::now();
            for (int i = 0; i < n; ++i) {
                const size_t len = std::min<size_t>(rxMsgs_[i].msg_len, kRxBuf);
                const std::optional<Stamp> s = parse({rxBufs_[i].data(), len});
                if (!s || s->flow >= counts_.size() || s->seq >= capacity_)
                    continue;  // not the streams'
                FlowCount& c = counts_[s->flow];
                if (r.watch)
                    ++c.flooded;
                else if (r.ownFlow[s->flow])
                    c.arrive(s->seq, now);
                else
                    ++c.misdelivered;
            }
            if (static_cast<size_t>(n) < kBatch)
                return;
        }
    }

    std::vector<FlowSpec> specs_;
    double rate_;
    uint64_t capacity_;  // sequence numbers a flow may use: rate times the longest run
    std::vector<FlowCount> counts_;
    std::vector<std::unique_ptr<FlowSender>> senders_;
    std::vector<Receiver> receivers_;
    std::vector<pollfd> pollFds_;
    std::array<std::array<uint8_t, kRxBuf>, kBatch> rxBufs_{};
    std::array<iovec, kBatch> rxIov_{};
    std::array<mmsghdr, kBatch> rxMsgs_{};
    std::atomic<bool> stopSending_{false}, stopReceiving_{false};
    std::thread sending_, receiving_;
    Clock::time_point begun_{}, ended_{};
};

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Sequence-numbered customer frames between sites, counted where they arrive"};
    double rate = 0;
    double seconds = 120;
    std::vector<std::string> flowArgs, watches;
    app.add_option("--rate", rate, "frames per second of each flow")
        ->required()
        ->check(CLI::Range(1.0, 10'000'000.0));
    app.add_option("--flow", flowArgs, "OUT_IF,IN_IF,SRC_MAC,DST_MAC: one flow (repeatable)")
        ->required();
    app.add_option("--watch", watches, "an interface where no stream frame may arrive");
    app.add_option("--seconds", seconds, "end after this long (default 120)")
        ->check(CLI::Range(0.1, kMaxSeconds));
    CLI11_PARSE(app, argc, argv);

    std::vector<FlowSpec> flows;
    for (const std::string& arg : flowArgs) {
        std::vector<std::string> f;
        for (size_t at = 0, comma; at <= arg.size(); at = comma + 1) {
            comma = std::min(arg.find(',', at), arg.size());
            f.push_back(arg.substr(at, comma - at));
        }
        const std::optional<Mac> src = f.size() == 4 ? parseMac(f[2]) : std::nullopt;
        const std::optional<Mac> dst = f.size() == 4 ? parseMac(f[3]) : std::nullopt;
        if (!src || !dst || f[0] == f[1]) {
            std::fprintf(stderr, "l2pt-stream: --flow %s: want OUT_IF,IN_IF,SRC_MAC,DST_MAC\n",
                         arg.c_str());
            return 2;
        }
        flows.push_back({f[0], f[1], *src, *dst});
    }
    // The signals that end a run are waited for here, never delivered to the threads.
    sigset_t ending;
    sigemptyset(&ending);
    sigaddset(&ending, SIGTERM);
    sigaddset(&ending, SIGINT);
    pthread_sigmask(SIG_BLOCK, &ending, nullptr);

    std::optional<Stream> stream;
    try {
        stream.emplace(std::move(flows), watches, rate, seconds);
    } catch (const std::invalid_argument& e) {
        std::fprintf(stderr, "l2pt-stream: %s\n", e.what());
        return 2;
    }
    stream->start();
    const Clock::time_point begun = Clock::now();
    const Clock::time_point end =
        begun + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    bool started = false;
    for (Clock::time_point now = begun; now < end; now = Clock::now()) {
        const timespec wait{0, std::chrono::nanoseconds(kPollWait).count()};
        if (::sigtimedwait(&ending, nullptr, &wait) > 0)
            break;
        if (!started && stream->delivering()) {
            started = true;
            std::printf("streaming\n");
            std::fflush(stdout);
        }
        if (!started && now - begun > kFirstFrames)
            break;  // a flow that never arrives: the summary says so
    }
    stream->stop();
    stream->report(started);
    return started ? 0 : 1;
}
