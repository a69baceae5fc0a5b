// A frame table through the kernel pipeline as the daemon runs it (root): a veth pair per port,
// rows sent and copies read at the far ends, traps from the task's ring, verdicts from the
// events; changes go through the chassis models, so the mirroring is under test too.
#pragma once

#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <gtest/gtest.h>
#include <linux/pkt_cls.h>
#include <net/if.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <concepts>
#include <map>
#include <set>

#include "chassis/chassis.h"
#include "net/linecard/line_cards.h"
#include "net/pipeline/bpf_tables.h"
#include "net/pipeline/records.h"
#include "net/port/link_monitor.h"
#include "net/port/linux_port_ops.h"
#include "tests/support/frame_table.h"
#include "tests/support/pipeline_map.h"
#include "tests/support/veth.h"
#include "tests/unit/chassis/test_chassis.h"

namespace netp::linecard::test {

using namespace frametable;
using chassis::test::netdevOf;
using netp::test::pipelineMap;
using pipeline::BpfTables;
using pipeline::TrapRing;

inline constexpr size_t kMaxFrame = 16384;
inline constexpr int kWaitMs = 1000;
inline constexpr uint64_t kNsPerSecond = 1'000'000'000;

// The longest frame BPF_PROG_TEST_RUN takes: a page, less the skb's headroom and shared info.
inline constexpr size_t kTestRunMax = 4096 - 64 - 320;

// An 802.1Q or 802.1ad frame with less than a tag and an EtherType after its MACs, which the
// kernel's receive path frees (skb_vlan_untag).
inline bool untagFrees(const Bytes& f) {
    constexpr size_t kUntagNeeds = L2PT_ETH_HLEN + L2PT_TAG_LEN + 2;
    if (f.size() < L2PT_ETH_HLEN || f.size() >= kUntagNeeds)
        return false;
    const uint16_t type = static_cast<uint16_t>(f[L2PT_OFF_TYPE] << 8 | f[L2PT_OFF_TYPE + 1]);
    return type == L2PT_TPID_8021Q || type == L2PT_TPID_QINQ;
}

// A frame a veth does not carry: longer than the MTU, header and a tag allow, or one the receive
// path frees. It runs on its port's ingress program with BPF_PROG_TEST_RUN instead.
inline bool vethRefuses(const Bytes& f, uint32_t mtu) {
    return f.size() > mtu + L2PT_ETH_HLEN + L2PT_TAG_LEN || untagFrees(f);
}

// A row the kernel cannot be given: shorter than an Ethernet header; one a veth refuses that is
// longer than a test run takes; a PDU the receive path would free, which the task's link would
// read the trailer into a tag of (no port hands the task such a frame: it frees them too).
inline bool notRun(const Row& r, uint32_t mtu) {
    return r.frame.size() < L2PT_ETH_HLEN || (r.sent && untagFrees(r.frame)) ||
           (vethRefuses(r.frame, mtu) && r.frame.size() > kTestRunMax);
}

// Every element of a hash map through edit(value), written back, the keys walked first: an
// element written again goes to its bucket's head, where a walk writing as it goes meets it again.
template <typename Key, typename Value, typename Edit>
void editEach(int map, uint64_t flags, Edit edit) {
    std::vector<Key> keys;
    Key next{};
    while (bpf_map_get_next_key(map, keys.empty() ? nullptr : &keys.back(), &next) == 0)
        keys.push_back(next);
    for (const Key& key : keys) {
        Value v;
        if (bpf_map_lookup_elem_flags(map, &key, &v, flags) != 0)
            continue;
        edit(v);
        ASSERT_EQ(bpf_map_update_elem(map, &key, &v, BPF_EXIST | flags), 0);
    }
}

class KernelRunner {
  public:
    explicit KernelRunner(const Table& t)
        : chassis_(chassis::test::withNetdevs(chassis::loadChassisFile(t.chassis)), task_) {}

    // The namespace, the pipeline, the port layer and the task's ring.
    void setUp() {
        const chassis::IfDb& db = chassis_.ifdb();
        std::vector<VethPair> pairs;
        for (size_t p = 0; p < db.portCount(); ++p) {
            const uint32_t portIf = db.portAt(p);
            // The far end sends, untagged too, the longest frame the port takes in.
            pairs.push_back({netdevOf(db.name(portIf)), farEnd(db.name(portIf)), db.portMtu(portIf),
                             db.portMtu(portIf) + L2PT_TAG_LEN});
        }
        ASSERT_EQ(privateVeths(pairs), "");
        auto loaded = BpfTables::load([](std::string_view l) { std::cerr << l << "\n"; });
        ASSERT_TRUE(loaded) << loaded.status().what();
        tables_ = std::move(*loaded);
        // The port layer as the daemon runs it, in the new namespace: interfaces followed
        // through rtnetlink, the pipeline attached to each.
        ops_.emplace();
        links_.emplace();
        tracker_.emplace(
            LineCards::netdevs(chassis_), *ops_,
            port::TcPrograms{tables_->ingressFd(), tables_->egressFd()},
            [this](size_t i, const port::PortState& was) { cards_->portChanged(i, was); },
            [this](const std::string& l) { ports_ += l + "\n"; });
        auto log = [this](std::string_view l) { log_ += std::string(l) + "\n"; };
        auto cards = LineCards::start(chassis_, *tables_, *tracker_, log, [this](uint16_t gen) {
            return linecard::openTaskLink(gen, *ops_, tables_->taskTxFd());
        });
        ASSERT_TRUE(cards) << cards.status().what();
        cards_ = std::move(*cards);
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!allUp() && std::chrono::steady_clock::now() < until) {
            pollfd p{links_->fd(), POLLIN, 0};
            ::poll(&p, 1, 100);
            tracker_->handle(links_->read());
        }
        ASSERT_TRUE(allUp())
            << "the ports' interfaces did not come up with the pipeline attached:\n"
            << ports_;
        ASSERT_NO_FATAL_FAILURE(grant());
        auto events = TrapRing::map(Fd(::dup(tables_->eventsFd())), L2PT_EVENT_RING_BYTES);
        ASSERT_TRUE(events) << events.status().what();
        events_.emplace(std::move(*events));
        for (size_t p = 0; p < db.portCount(); ++p) {
            farEnds_.emplace_back(wireSocket(ifindexOf(farEnd(db.name(db.portAt(p))))));
            ASSERT_TRUE(farEnds_.back().valid())
                << "a packet socket on the far ends: " << std::strerror(errno);
        }
    }

    // A trap entry arrives by its agent's download; other changes at the line cards' next
    // refresh, and the MACs it forgets (a VLAN's former member's) in the passes after it.
    void operator()(const Entry& e) { steps_(e); }
    template <typename Step>
    requires std::invocable<chassis::test::TableSteps&, const Step&>
    void operator()(const Step& s) {
        steps_(s);
        cards_->refresh();
        while (cards_->sweeping())
            cards_->sweep();
    }
    // The kernel's clock cannot be moved: the tables age instead. Every learned MAC's and
    // policer's timestamp moves back by the interval, through the maps.
    void operator()(const Advance& a) {
        const uint64_t by = a.seconds * kNsPerSecond;
        Fd fdb = pipelineMap(tables_->ingressFd(), "l2pt_fdb");
        Fd traps = pipelineMap(tables_->ingressFd(), "l2pt_traps");
        Fd police = pipelineMap(tables_->ingressFd(), "l2pt_police");
        ASSERT_TRUE(fdb.valid() && traps.valid() && police.valid())
            << "the pipeline's l2pt_fdb, l2pt_traps and l2pt_police";
        editEach<l2pt_fdb_key, l2pt_fdb_entry>(fdb.get(), 0, [&](l2pt_fdb_entry& e) {
            ASSERT_GT(e.seen_ns, by) << "the clock is not that far past boot";
            e.seen_ns -= by;
        });
        const auto back = [by](l2pt_bucket& b) {
            if (b.started)
                b.last_ns -= by;
        };
        editEach<l2pt_trap_key, l2pt_trap>(traps.get(), BPF_F_LOCK,
                                           [&](l2pt_trap& t) { back(t.bucket); });
        editEach<uint32_t, l2pt_police>(police.get(), BPF_F_LOCK, [&](l2pt_police& p) {
            for (size_t c = 0; c < L2PT_STORM_CLASSES; ++c) {
                back(p.storm_fps[c]);
                back(p.storm_kbps[c]);
            }
            back(p.pdu);
        });
        cards_->expireAged();
        while (cards_->sweeping())
            cards_->sweep();
    }
    void operator()(const Learning& l) {
        const auto s = l.vlan ? cards_->setVlanLearnLimit(*l.vlan, l.limit)
                              : cards_->setLearnLimit(port(l.port), l.limit, l.drop);
        EXPECT_TRUE(s) << s.what();
    }
    void operator()(const Learned& l) {
        EXPECT_EQ(stepText(learned(l)), stepText(l)) << "frames.table:" << l.line;
    }
    // l as the pipeline has it: what its port holds of the learned MACs, and its counters.
    Learned learned(Learned l) {
        const auto learning = cards_->learning(port(l.port));
        EXPECT_TRUE(learning) << learning.status().what();
        const auto stats =
            tables_->portStats(static_cast<uint32_t>(chassis_.ifdb().portIndex(port(l.port))));
        EXPECT_TRUE(stats) << stats.status().what();
        if (learning && stats)
            std::tie(l.count, l.moves, l.refused) =
                std::tuple(learning->count, stats->learn_moves, stats->not_learned);
        return l;
    }
    void operator()(const Row& r) {
        if (!runs(r))
            return;
        ran_.insert(r.name);
        EXPECT_EQ(stepText(asStated(observe(r), r)), stepText(r)) << "frames.table:" << r.line;
    }

    // Whether the kernel can be given r's frame.
    bool runs(const Row& r) { return !notRun(r, chassis_.ifdb().portMtu(port(r.port))); }

    // What the pipeline makes of r's frame, as a row: the VLAN of every frame it bridges or
    // drops, a trapped frame's record as the task reads it, the copies the event counts.
    Row observe(const Row& r) {
        Row got = asStated({}, r);  // r's frame, no outcome yet
        expectQuiet();
        const auto before = dropTotals();
        l2pt_event ev{};
        // A copy the far end's receive path would free is read as it leaves its port.
        const bool freed =
            std::ranges::any_of(r.out, [](const Copy& c) { return untagFrees(c.frame); });
        if (!r.sent && vethRefuses(r.frame, chassis_.ifdb().portMtu(port(r.port)))) {
            ev = testRun(r, got.out);
        } else {
            const std::vector<Fd> leaving = freed ? portSockets() : std::vector<Fd>{};
            if (r.sent) {
                // By the task's socket, to the port its trailer names; the event is its
                // egress's or the drop's.
                const Bytes f =
                    withTaskTrailer(r.frame, {ifindexOf(netdevOf(r.port))}, L2PT_TX_MAGIC);
                EXPECT_EQ(::sendto(tx_.get(), f.data(), f.size(), 0, nullptr, 0),
                          static_cast<ssize_t>(f.size()))
                    << std::strerror(errno);
            } else {
                send(r.port, r.frame);
            }
            ev = nextEvent();
            const size_t copies =
                r.sent ? (ev.verdict == L2PT_VERDICT_FORWARDED ? 1 : 0) : ev.copies;
            got.out = received(freed ? leaving : farEnds_, copies, freed, true);
            drainFarEnds();
        }
        got.verdict = ev.verdict;
        if (ev.verdict == L2PT_VERDICT_DROPPED) {
            got.reason = ev.reason;
            EXPECT_EQ(dropTotals().at(ev.reason), before.at(ev.reason) + 1)
                << "a drop counted for " << reasonWord(ev.reason);
        }
        if (!r.sent && ev.verdict != L2PT_VERDICT_TRAPPED)
            got.vlan = ev.vid;
        if (ev.verdict == L2PT_VERDICT_TRAPPED) {
            const auto t = pipeline::parseTrapRecord(ring_->peekWaiting(kWaitMs));
            EXPECT_TRUE(t) << "nothing in the task's ring";
            if (t) {
                std::tie(got.socket, got.rxIf, got.trapped) =
                    std::tuple(t->socket, chassis_.ifdb().name(t->rxIf),
                               Bytes(t->frame.begin(), t->frame.end()));
                EXPECT_EQ(ev.reason, t->socket);
                EXPECT_EQ(chassis_.ifdb().name(t->portIf), r.port);
                ring_->release();
            }
        }
        if (!r.sent) {
            EXPECT_EQ(ev.copies, got.out.size());
        }
        return got;
    }

    // Every row ran but those too short for the kernel, each under a name of its own.
    void expectAllRan(const Table& t) {
        std::set<std::string> expected;
        size_t rows = 0;
        for (const Step& s : t.steps) {
            if (const Row* r = std::get_if<Row>(&s); r && ++rows && runs(*r))
                expected.insert(r->name);
        }
        EXPECT_EQ(ran_, expected);
        EXPECT_EQ(expected.size() + 1, rows) << "row names are unique, and one row is a runt";
        EXPECT_EQ(log_, "") << "LineCards logged failures";
        expectQuiet();
    }

    // The task's side: a new grant (the generation before's ring and socket dropped here), the
    // socket it brought, a port's interface and what reached the far ends of the ports.
    void grant() {
        auto g = cards_->grant();
        ASSERT_TRUE(g) << g.status().what();
        auto ring = TrapRing::map(std::move(g->ring), L2PT_RING_BYTES);
        ASSERT_TRUE(ring) << ring.status().what();
        ring_.emplace(std::move(*ring));
        tx_ = std::move(g->tx);
    }
    Fd& taskSocket() { return tx_; }
    void refresh() { cards_->refresh(); }
    unsigned portIfindex(size_t p) { return ifindexOf(portNetdev(p)); }
    std::vector<Copy> arrived(size_t expected) { return received(farEnds_, expected, false); }
    // A port's counters (p: dense index).
    l2pt_port_stats stats(size_t p) {
        auto counters = cards_->portCounters();
        EXPECT_TRUE(counters) << counters.status().what();
        for (const PortCounters& c : counters ? *counters : std::vector<PortCounters>{}) {
            if (c.ifIndex == chassis_.ifdb().portAt(p))
                return c.stats;
        }
        ADD_FAILURE() << "no counters of port " << p;
        return {};
    }
    std::string portName(size_t p) { return chassis_.ifdb().name(chassis_.ifdb().portAt(p)); }
    std::string portNetdev(size_t p) { return netdevOf(portName(p)); }
    // A frame from the far end of a port's wire.
    void send(const std::string& port, const Bytes& f) {
        ASSERT_TRUE(sendWire(farEnds_[index(this->port(port))].get(), ifindexOf(farEnd(port)), f))
            << std::strerror(errno);
    }
    void dropEvents() {
        for (auto rec = events_->peekWaiting(kWaitMs); !rec.empty(); rec = events_->peek())
            events_->release();
        events_->publish();
    }
    // A segmentation-offloaded frame of gso bytes a segment on the port's ingress program, its
    // count of segments as the kernel gives it (-1: the frame's length over gso): how many
    // ways it left by.
    uint32_t segmented(const std::string& port, const Bytes& f, uint32_t gso, int segs = -1) {
        Row r;
        r.port = port;
        r.frame = f;
        std::vector<Copy> copies;
        const l2pt_event ev = testRun(r, copies, gso, segs);
        EXPECT_EQ(copies.size(), ev.copies);
        return ev.copies;
    }
    // The records in the task's ring, counted by the port they entered; the ring is read empty.
    // The records in the task's ring, counted by the port they entered and the last byte of
    // their source MAC: "te1/0 01".
    std::map<std::string, size_t> readRing() {
        std::map<std::string, size_t> n;
        constexpr size_t kSrcLast = 11;
        for (auto rec = ring_->peek(); !rec.empty(); rec = ring_->peek()) {
            if (const auto t = pipeline::parseTrapRecord(rec); t && t->frame.size() > kSrcLast)
                ++n[chassis_.ifdb().name(t->portIf) + " " +
                    chassis::hexText(t->frame.subspan(kSrcLast, 1))];
            ring_->release();
        }
        ring_->publish();
        return n;
    }
    uint64_t dropsAt(const std::string& port, int reason) {
        return stats(index(this->port(port))).drops[reason];
    }

    // Nothing left over from the row before: no event, record or frame.
    void expectQuiet() {
        EXPECT_TRUE(events_->peek().empty()) << "an event left over";
        EXPECT_TRUE(ring_->peek().empty()) << "a trapped frame left over";
        for (const Fd& w : farEnds_)
            EXPECT_FALSE(readWireFrame(w.get(), kMaxFrame)) << "a frame left over";
    }

  private:
    uint32_t port(const std::string& name) {
        return chassis::test::portNamed(chassis_.ifdb(), name);
    }
    size_t index(uint32_t portIf) { return static_cast<size_t>(chassis_.ifdb().portIndex(portIf)); }

    bool allUp() const {
        for (size_t i = 0; i < tracker_->size(); ++i) {
            if (!tracker_->state(i).up() || !tracker_->state(i).attached)
                return false;
        }
        return true;
    }

    static unsigned ifindexOf(const std::string& netdev) {
        return ::if_nametoindex(netdev.c_str());
    }
    static std::string farEnd(const std::string& port) { return "w" + netdevOf(port); }

    // The frame on its port's ingress program: its clones leave the ports; the frame the
    // program redirects last is its output, which leaves by the last way the event names.
    l2pt_event testRun(const Row& r, std::vector<Copy>& copies, uint32_t gso = 0, int segs = -1) {
        const std::vector<Fd> leaving = portSockets();
        Bytes out(kMaxFrame);
        __sk_buff ctx{};
        ctx.ifindex = ifindexOf(netdevOf(r.port));
        ctx.gso_size = gso;
        ctx.gso_segs = segs >= 0  ? static_cast<uint32_t>(segs)
                       : gso != 0 ? static_cast<uint32_t>(r.frame.size() / gso)
                                  : 0;
        LIBBPF_OPTS(bpf_test_run_opts, opts, .data_in = r.frame.data(), .data_out = out.data(),
                    .data_size_in = static_cast<uint32_t>(r.frame.size()),
                    .data_size_out = static_cast<uint32_t>(out.size()), .ctx_in = &ctx,
                    .ctx_size_in = sizeof ctx);
        EXPECT_EQ(bpf_prog_test_run_opts(tables_->ingressFd(), &opts), 0);
        out.resize(opts.data_size_out);
        const l2pt_event ev = nextEvent();
        const size_t redirected = opts.retval == TC_ACT_REDIRECT ? 1 : 0;
        copies =
            received(leaving, ev.copies >= redirected ? ev.copies - redirected : 0, true, true);
        if (opts.retval == TC_ACT_REDIRECT && ev.copies >= 1 && ev.copies <= L2PT_EVENT_WAYS)
            copies.push_back({chassis_.ifdb().name(ev.ways[ev.copies - 1]), out});
        drainFarEnds();
        return ev;
    }

    // Sockets on the ports' own interfaces, by dense port index: what leaves them.
    std::vector<Fd> portSockets() {
        std::vector<Fd> leaving;
        const chassis::IfDb& db = chassis_.ifdb();
        for (size_t p = 0; p < db.portCount(); ++p)
            leaving.emplace_back(wireSocket(ifindexOf(netdevOf(db.name(db.portAt(p))))));
        return leaving;
    }
    // The copies the far ends were given, already read as they left.
    void drainFarEnds() {
        for (const Fd& w : farEnds_) {
            while (readWireFrame(w.get(), kMaxFrame)) {
            }
        }
    }

    l2pt_event nextEvent() {
        const auto ev = pipeline::parseEvent(events_->peekWaiting(kWaitMs));
        events_->release();
        EXPECT_TRUE(ev) << "no event within " << kWaitMs << " ms";
        return ev.value_or(l2pt_event{});
    }

    // What reaches (or leaves) the ports' interfaces, by sockets in dense port order.
    // Counted: expected is all there are (the event counted them), so none are waited for after.
    std::vector<Copy> received(const std::vector<Fd>& wires, size_t expected, bool leaving,
                               bool counted = false) {
        std::vector<int> fds;
        for (const Fd& w : wires)
            fds.push_back(w.get());
        std::vector<Copy> got;
        const auto quiet = std::chrono::milliseconds(counted ? 0 : 50);
        for (auto& [p, f] : wireFrames(fds, expected, kMaxFrame, leaving, quiet))
            got.push_back({chassis_.ifdb().name(chassis_.ifdb().portAt(p)), std::move(f)});
        return got;
    }

    // The drops by reason over every port and the interfaces of none.
    std::array<uint64_t, L2PT_DP_DROP_REASONS> dropTotals() {
        std::array<uint64_t, L2PT_DP_DROP_REASONS> n{};
        auto counters = cards_->portCounters();
        EXPECT_TRUE(counters) << counters.status().what();
        for (const PortCounters& c : counters ? *counters : std::vector<PortCounters>{}) {
            for (size_t i = 0; i < n.size(); ++i)
                n[i] += c.stats.drops[i];
        }
        return n;
    }

    chassis::test::NoTask task_;
    chassis::Chassis chassis_;
    std::unique_ptr<BpfTables> tables_;
    std::optional<port::LinuxPortOps> ops_;
    std::optional<port::LinkMonitor> links_;
    std::optional<port::PortTracker> tracker_;
    std::unique_ptr<LineCards> cards_;
    std::optional<TrapRing> ring_;
    Fd tx_;  // the task's socket of the last grant
    std::optional<TrapRing> events_;
    std::vector<Fd> farEnds_;  // by dense port index: a socket on the far end of each port
    chassis::test::TableSteps steps_{chassis_};
    std::set<std::string> ran_;
    std::string log_;    // what LineCards logged
    std::string ports_;  // what the port layer logged
};

}  // namespace netp::linecard::test
