// The frame table (tests/dataplane/frames.table) through the kernel pipeline, as the chassis
// daemon runs it: the chassis models, LineCards over the loaded pipeline, the port layer
// attaching it to one veth pair per port of the table's chassis (MTUs as the chassis file
// gives), a task ring. Each row's frame is sent from the far end of its port; every copy is
// read at the far ends, the trapped record from the task's ring, the verdict, reason and VLAN
// from the pipeline's events. Entries, the TPID and cards change through the chassis models,
// so the mirroring is under test too. Root: a network namespace of its own, BPF.
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

namespace netp::linecard {
namespace {

using namespace frametable;
using chassis::test::netdevOf;
using netp::test::pipelineMap;
using pipeline::BpfTables;
using pipeline::TrapRing;

constexpr size_t kMaxFrame = 16384;
constexpr int kWaitMs = 1000;
constexpr uint64_t kNsPerSecond = 1'000'000'000;

// The one row the kernel cannot be given at all: shorter than an Ethernet header, AF_PACKET
// refuses to send it on veth and BPF_PROG_TEST_RUN refuses to run it.
const std::string kNotRun = "runt";

// An 802.1Q or 802.1ad frame with less than a tag and an EtherType after its MACs, which the
// kernel's receive path frees (skb_vlan_untag).
bool untagFrees(const Bytes& f) {
    constexpr size_t kUntagNeeds = L2PT_ETH_HLEN + L2PT_TAG_LEN + 2;
    if (f.size() < L2PT_ETH_HLEN || f.size() >= kUntagNeeds)
        return false;
    const uint16_t type = static_cast<uint16_t>(f[L2PT_OFF_TYPE] << 8 | f[L2PT_OFF_TYPE + 1]);
    return type == L2PT_TPID_8021Q || type == L2PT_TPID_QINQ;
}

// Rows a veth does not carry: a frame longer than the receiving interface's MTU, the Ethernet
// header and a tag (as a NIC refuses it), or one the receive path frees, entering or as a copy
// reaches a far end. Such a row runs on its port's ingress program with BPF_PROG_TEST_RUN, and
// its copies are read as they leave the ports: the far end's kernel would free them too.
bool vethDropsIt(const Row& r, uint32_t mtu) {
    return r.frame.size() > mtu + L2PT_ETH_HLEN + L2PT_TAG_LEN || untagFrees(r.frame) ||
           std::ranges::any_of(r.out, [](const Copy& c) { return untagFrees(c.frame); });
}

// Every element of a hash map through edit(value), written back. The keys are walked first:
// an element written again without BPF_F_LOCK goes to the head of its bucket, where a walk
// that writes as it goes meets it again, and two in one bucket never let it end.
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

    // A trap entry reaches the tables through its agent's download; the models' other changes
    // at the line cards' next refresh, and the MACs it forgets (a VLAN's former member's) in
    // the passes after it.
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
        SCOPED_TRACE("learned " + l.port + " (frames.table:" + std::to_string(l.line) + ")");
        const auto learning = cards_->learning(port(l.port));
        ASSERT_TRUE(learning) << learning.status().what();
        EXPECT_EQ(learning->count, l.count);
        const auto stats =
            tables_->portStats(static_cast<uint32_t>(chassis_.ifdb().portIndex(port(l.port))));
        ASSERT_TRUE(stats) << stats.status().what();
        EXPECT_EQ(stats->learn_moves, l.moves);
        EXPECT_EQ(stats->not_learned, l.refused);
    }
    void operator()(const Row& r) {
        SCOPED_TRACE("row " + r.name + " (frames.table:" + std::to_string(r.line) + ")");
        if (r.name == kNotRun)
            return;
        ran_.insert(r.name);
        expectQuiet();
        const uint64_t dropsBefore = drops(r.reason);
        std::vector<Copy> copies;
        l2pt_event ev{};
        if (r.sent) {
            // By the task's socket, to the port its trailer names; the event is its egress's
            // or the drop's.
            const Bytes f = withTaskTrailer(r.frame, {ifindexOf(netdevOf(r.port))}, L2PT_TX_MAGIC);
            ASSERT_EQ(::sendto(tx_.get(), f.data(), f.size(), 0, nullptr, 0),
                      static_cast<ssize_t>(f.size()))
                << std::strerror(errno);
            ev = nextEvent();
            copies = received(farEnds_, r.out.size(), false);
        } else if (vethDropsIt(r, chassis_.ifdb().portMtu(port(r.port)))) {
            ev = testRun(r, copies);
        } else {
            send(r.port, r.frame);
            ev = nextEvent();
            copies = received(farEnds_, r.out.size(), false);
        }
        EXPECT_EQ(verdictWord(ev.verdict), verdictWord(r.verdict));
        if (r.reason >= 0) {
            EXPECT_EQ(reasonWord(ev.reason), reasonWord(r.reason));
            EXPECT_EQ(drops(r.reason), dropsBefore + 1);
        }
        if (r.vlan) {
            EXPECT_EQ(ev.vid, *r.vlan);
        }
        if (r.verdict == L2PT_VERDICT_TRAPPED) {
            EXPECT_EQ(ev.reason, r.socket);
            expectTrapped(r);
        }
        if (!r.sent) {
            EXPECT_EQ(ev.copies, copies.size());
        }
        EXPECT_EQ(copiesText(copies), copiesText(r.out));
    }

    // Every row ran but the one named as impossible, which is a row of the table.
    void expectAllRan(const Table& t) {
        std::set<std::string> expected;
        size_t rows = 0;
        for (const Step& s : t.steps) {
            if (const Row* r = std::get_if<Row>(&s); r && ++rows && r->name != kNotRun)
                expected.insert(r->name);
        }
        EXPECT_EQ(ran_, expected);
        EXPECT_EQ(expected.size() + 1, rows)
            << "row names are unique, and " << kNotRun << " is one";
        EXPECT_EQ(log_, "") << "LineCards logged failures";
    }

    // The task's side: a new grant (the ring and the socket of the generation before are
    // dropped from here), the socket it brought, a port's interface and what reached the far
    // ends of the ports.
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
    // A segmentation-offloaded frame of gso bytes a segment on the port's ingress program: how
    // many ways it left by.
    uint32_t segmented(const std::string& port, const Bytes& f, uint32_t gso, size_t expected) {
        Row r;
        r.port = port;
        r.frame = f;
        r.out.resize(expected);
        std::vector<Copy> copies;
        const l2pt_event ev = testRun(r, copies, gso);
        EXPECT_EQ(copies.size(), ev.copies);
        return ev.copies;
    }
    // The records in the task's ring, counted by the port they entered; the ring is read empty.
    std::map<std::string, size_t> readRing() {
        std::map<std::string, size_t> n;
        for (auto rec = ring_->peek(); !rec.empty(); rec = ring_->peek()) {
            if (const auto t = pipeline::parseTrapRecord(rec))
                ++n[chassis_.ifdb().name(t->portIf)];
            ring_->release();
        }
        ring_->publish();
        return n;
    }
    uint64_t dropsAt(const std::string& port, int reason) {
        return stats(index(this->port(port))).drops[reason];
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
    l2pt_event testRun(const Row& r, std::vector<Copy>& copies, uint32_t gso = 0) {
        std::vector<Fd> leaving;
        const chassis::IfDb& db = chassis_.ifdb();
        for (size_t p = 0; p < db.portCount(); ++p)
            leaving.emplace_back(wireSocket(ifindexOf(netdevOf(db.name(db.portAt(p))))));
        Bytes out(kMaxFrame);
        __sk_buff ctx{};
        ctx.ifindex = ifindexOf(netdevOf(r.port));
        ctx.gso_size = gso;
        ctx.gso_segs = gso != 0 ? static_cast<uint32_t>(r.frame.size() / gso) : 0;
        LIBBPF_OPTS(bpf_test_run_opts, opts, .data_in = r.frame.data(), .data_out = out.data(),
                    .data_size_in = static_cast<uint32_t>(r.frame.size()),
                    .data_size_out = static_cast<uint32_t>(out.size()), .ctx_in = &ctx,
                    .ctx_size_in = sizeof ctx);
        EXPECT_EQ(bpf_prog_test_run_opts(tables_->ingressFd(), &opts), 0);
        out.resize(opts.data_size_out);
        const l2pt_event ev = nextEvent();
        copies = received(leaving, r.out.size() - (opts.retval == TC_ACT_REDIRECT ? 1 : 0), true);
        if (opts.retval == TC_ACT_REDIRECT && ev.copies >= 1 && ev.copies <= L2PT_EVENT_WAYS)
            copies.push_back({chassis_.ifdb().name(ev.ways[ev.copies - 1]), out});
        for (const Fd& w : farEnds_) {  // the clones the far ends were given, already read
            while (readWireFrame(w.get(), kMaxFrame)) {
            }
        }
        return ev;
    }

    l2pt_event nextEvent() {
        const auto ev = pipeline::parseEvent(events_->peekWaiting(kWaitMs));
        events_->release();
        EXPECT_TRUE(ev) << "no event within " << kWaitMs << " ms";
        return ev.value_or(l2pt_event{});
    }

    // What reaches (or leaves) the ports' interfaces, by sockets in dense port order.
    std::vector<Copy> received(const std::vector<Fd>& wires, size_t expected, bool leaving) {
        std::vector<int> fds;
        for (const Fd& w : wires)
            fds.push_back(w.get());
        std::vector<Copy> got;
        for (auto& [p, f] : wireFrames(fds, expected, kMaxFrame, leaving))
            got.push_back({chassis_.ifdb().name(chassis_.ifdb().portAt(p)), std::move(f)});
        return got;
    }

    void expectTrapped(const Row& r) {
        const auto t = pipeline::parseTrapRecord(ring_->peekWaiting(kWaitMs));
        ASSERT_TRUE(t) << "nothing in the task's ring";
        EXPECT_EQ(t->socket, r.socket);
        EXPECT_EQ(chassis_.ifdb().name(t->rxIf), r.rxIf);
        EXPECT_EQ(chassis_.ifdb().name(t->portIf), r.port);
        EXPECT_EQ(chassis::hexText(t->frame), chassis::hexText(r.trapped));
        ring_->release();
    }

    // Nothing left over from the row before: no event, record or frame.
    void expectQuiet() {
        EXPECT_TRUE(events_->peek().empty()) << "an event left over";
        EXPECT_TRUE(ring_->peek().empty()) << "a trapped frame left over";
        for (const Fd& w : farEnds_)
            EXPECT_FALSE(readWireFrame(w.get(), kMaxFrame)) << "a frame left over";
    }

    // The drops of a reason over every port and the interfaces of none.
    uint64_t drops(int reason) {
        if (reason < 0)
            return 0;
        auto counters = cards_->portCounters();
        EXPECT_TRUE(counters) << counters.status().what();
        uint64_t n = 0;
        for (const PortCounters& c : counters ? *counters : std::vector<PortCounters>{})
            n += c.stats.drops[reason];
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

class KernelPipeline : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(::geteuid(), 0u) << "this test needs root: it loads BPF programs and makes "
                                      "network and user namespaces with veth pairs";
        ASSERT_NO_FATAL_FAILURE(run.setUp());
    }
    const Table table = load(L2PT_FRAME_TABLE);
    KernelRunner run{table};
};

TEST_F(KernelPipeline, GivesEveryRowsOutcome) {
    for (const auto& step : table.steps)
        std::visit(run, step);
    run.expectAllRan(table);
}

// One customer floods BPDUs as fast as a sender goes while the task reads nothing; another
// port's PDUs at a modest rate all reach the task's ring. With its PDU rate off, the flooder is
// held to its share of the ring (half of it: two ports trap), the rest stays the other's.
TEST_F(KernelPipeline, AFloodingPortTakesNoMoreThanItsShareOfTheTasksRing) {
    const Mac stp = {0x01, 0x80, 0xc2, 0, 0, 0};
    run(Entry{"ge0/1", std::nullopt, stp, 0});
    run(Entry{"ge0/2", std::nullopt, stp, 0});
    run(PduRate{"ge0/1", 0});
    Bytes bpdu = {0x01, 0x80, 0xc2, 0,    0,    0,    0x02, 0,   0,
                  0,    0x0a, 0x01, 0x00, 0x26, 0x42, 0x42, 0x03};
    bpdu.resize(60);
    Bytes other = bpdu;
    other[11] = 0x02;  // from a2
    // A record of a 64-byte frame takes 160 bytes of the ring: the flood is more than a ring.
    constexpr size_t kRecordBytes = 160;
    constexpr size_t kFlood = 40000;
    constexpr size_t kEvery = 400;
    size_t modest = 0;
    for (size_t i = 0; i < kFlood; ++i) {
        run.send("ge0/1", bpdu);
        if (i % kEvery == 0 && ++modest)
            run.send("ge0/2", other);
    }
    const auto got = run.readRing();
    EXPECT_EQ(got.count("ge0/2") ? got.at("ge0/2") : 0, modest);
    EXPECT_EQ(run.dropsAt("ge0/2", L2PT_DP_DROP_TASK_BEHIND), 0u);
    EXPECT_EQ(run.dropsAt("ge0/2", L2PT_DP_DROP_PDU_SHARE), 0u);
    const size_t flooded = got.count("ge0/1") ? got.at("ge0/1") : 0;
    const uint64_t refused = run.dropsAt("ge0/1", L2PT_DP_DROP_PDU_SHARE);
    EXPECT_GT(refused, 0u);
    EXPECT_LE(flooded * kRecordBytes, L2PT_RING_BYTES / 2 + kRecordBytes)
        << "the flooder's share: half the ring";
    EXPECT_EQ(run.dropsAt("ge0/1", L2PT_DP_DROP_TASK_BEHIND), 0u);
}

// A segmentation-offloaded frame leaves as segments of its headers and gso bytes, with the
// provider tag where it is pushed: those must fit a way out's MTU (1500 here, the Ethernet
// header and a tag allowed over it), not the gso bytes alone.
TEST_F(KernelPipeline, ASegmentedFrameIsJudgedByItsSegmentsWithTheirHeadersAndTag) {
    // r1 is learned behind the core port te1/0, a2 behind the access port ge0/2.
    Bytes fromR1 = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x02, 0,    0,
                    0,    0x0b, 0x01, 0x91, 0x00, 0x00, 0x64, 0x08, 0x00};
    Bytes fromA2 = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x02, 0, 0, 0, 0x0a, 0x02, 0x08, 0x00};
    for (auto [port, f] : {std::pair("te1/0", fromR1), std::pair("ge0/2", fromA2)}) {
        f.resize(64);
        run.send(port, f);
        run.arrived(3);
    }
    run.dropEvents();
    // TCP over IPv4 from ge0/1: 54 bytes of headers a segment.
    constexpr size_t kHeaders = L2PT_ETH_HLEN + 20 + 20;
    constexpr size_t kMost = 1500 + L2PT_ETH_HLEN + L2PT_TAG_LEN;  // a segment on the wire
    constexpr uint32_t kToCore = kMost - kHeaders - L2PT_TAG_LEN;  // the provider tag pushed
    constexpr uint32_t kToAccess = kMost - kHeaders;
    const auto tcpTo = [&](uint8_t host) {
        Bytes f = {0x02, 0,    0,    0, host, 0x01, 0x02, 0, 0,    0, 0x0a, 0x01,
                   0x08, 0x00, 0x45, 0, 0,    0,    0,    0, 0x40, 0, 0x40, 0x06};
        f.resize(kHeaders + 2 * kMost);
        f[L2PT_ETH_HLEN + 20 + 12] = 0x50;  // TCP data offset: 5 words
        return f;
    };
    Bytes toR1 = tcpTo(0x0b);
    Bytes toA2 = tcpTo(0x0a);
    toA2[5] = 0x02;
    // TCP over IPv6 after a destination-options header of 8 bytes, to r1: 82 bytes a segment.
    constexpr size_t kV6Headers = L2PT_ETH_HLEN + 40 + 8 + 20;
    constexpr uint32_t kV6ToCore = kMost - kV6Headers - L2PT_TAG_LEN;
    Bytes v6ToR1 = {0x02, 0, 0, 0, 0x0b, 0x01, 0x02, 0, 0, 0, 0x0a, 0x01, 0x86, 0xdd, 0x60};
    v6ToR1.resize(kV6Headers + 2 * kMost);
    v6ToR1[L2PT_ETH_HLEN + 6] = 60;          // next header: destination options
    v6ToR1[L2PT_ETH_HLEN + 40] = 6;          // then TCP; its length 0: 8 bytes
    v6ToR1[L2PT_ETH_HLEN + 48 + 12] = 0x50;  // TCP data offset: 5 words
    for (const auto& [f, gso] :
         {std::pair{toR1, kToCore}, {toA2, kToAccess}, {v6ToR1, kV6ToCore}}) {
        EXPECT_EQ(run.segmented("ge0/1", f, gso, 1), 1u);
        EXPECT_EQ(run.segmented("ge0/1", f, gso + 1, 0), 0u);
    }
    EXPECT_EQ(run.dropsAt("te1/0", L2PT_DP_DROP_OVER_MTU), 2u);
    EXPECT_EQ(run.dropsAt("ge0/2", L2PT_DP_DROP_OVER_MTU), 1u);

    // To storm control it is as many frames as its segments: of two to an unknown destination,
    // each of two segments, a limit of two frames a second floods the first alone (a test run
    // sends the clones of a segmented frame nowhere: the frame itself leaves, by lag1).
    run(Storm{"ge0/1", L2PT_STORM_UNKNOWN, 2, 0});
    const Bytes toNobody = tcpTo(0x0c);
    EXPECT_EQ(run.segmented("ge0/1", toNobody, kToCore, 1), 1u);
    EXPECT_EQ(run.segmented("ge0/1", toNobody, kToCore, 0), 0u);
    EXPECT_EQ(run.dropsAt("ge0/1", L2PT_DP_DROP_STORM), 1u);
    // And as many bytes as its segments with their headers: twenty of 60 bytes are 2280, not
    // the 1254 that came, past a full bucket of 1518 (8 Kbps, 1000 bytes a second), which they
    // leave owing 0.76 s.
    run(Storm{"ge0/1", L2PT_STORM_UNKNOWN, 0, 8});
    Bytes segments = tcpTo(0x0c);
    segments.resize(kHeaders + 20 * 60);
    EXPECT_EQ(run.segmented("ge0/1", segments, 60, 1), 1u);
    segments.resize(kHeaders + 6);
    EXPECT_EQ(run.segmented("ge0/1", segments, 0, 0), 0u);
    EXPECT_EQ(run.dropsAt("ge0/1", L2PT_DP_DROP_STORM), 2u);
}

// The task's socket as a task bent on harm would use it: the link it is bound to reaches the
// switch's ports only through the pipeline, which takes a frame to the ports its trailer names.
// Naming an interface of the switch's namespace directly, or bypassing the qdisc layer, gets a
// frame nowhere else; once the role passes on, the old socket reaches nothing at all.
TEST_F(KernelPipeline, TheTasksSocketReachesThePortsOnlyThroughThePipeline) {
    Bytes pdu = {0x01, 0x80, 0xc2, 0, 0, 0, 0x02, 0, 0, 0, 0, 0x01, 0x00, 0x26, 0x42, 0x42, 0x03};
    pdu.resize(60);
    // The frame with the trailer naming the ports of those dense indexes.
    const auto toPorts = [&](std::initializer_list<size_t> ports) {
        std::vector<uint32_t> to;
        for (size_t p : ports)
            to.push_back(run.portIfindex(p));
        return withTaskTrailer(pdu, to, L2PT_TX_MAGIC);
    };
    const auto send = [](const Fd& s, const Bytes& f, const sockaddr_ll* to = nullptr) {
        return ::sendto(s.get(), f.data(), f.size(), 0, reinterpret_cast<const sockaddr*>(to),
                        to ? sizeof *to : 0) == static_cast<ssize_t>(f.size());
    };
    const std::vector<Copy> both = {{run.portName(0), pdu}, {run.portName(1), pdu}};

    ASSERT_TRUE(send(run.taskSocket(), toPorts({0, 1}))) << std::strerror(errno);
    EXPECT_EQ(copiesText(run.arrived(2)), copiesText(both));
    EXPECT_EQ(run.stats(0).pdu_tx, 1u);
    EXPECT_EQ(run.stats(1).pdu_tx, 1u);

    // Addressed to a port's interface by its index here, and to every index the link's own
    // namespace may have: nothing arrives.
    for (int ifindex : {static_cast<int>(run.portIfindex(0)), 1, 2, 3}) {
        sockaddr_ll to{};
        to.sll_family = AF_PACKET;
        to.sll_ifindex = ifindex;
        (void)send(run.taskSocket(), pdu, &to);
    }
    EXPECT_TRUE(run.arrived(0).empty());

    constexpr int kOn = 1;
    ASSERT_EQ(
        ::setsockopt(run.taskSocket().get(), SOL_PACKET, PACKET_QDISC_BYPASS, &kOn, sizeof kOn), 0);
    ASSERT_TRUE(send(run.taskSocket(), toPorts({1})));
    EXPECT_EQ(copiesText(run.arrived(1)), copiesText({both[1]}));
    EXPECT_EQ(run.stats(1).pdu_tx, 2u) << "counted by the pipeline";

    // The role moves on: the old link is no longer heard, and after the daemon's next pass it
    // is gone.
    Fd old = std::move(run.taskSocket());
    ASSERT_NO_FATAL_FAILURE(run.grant());
    ASSERT_TRUE(send(old, toPorts({0})));
    EXPECT_TRUE(run.arrived(0).empty());
    run.refresh();
    EXPECT_FALSE(send(old, toPorts({0}))) << "the old link is gone";
    ASSERT_TRUE(send(run.taskSocket(), toPorts({0}))) << std::strerror(errno);
    EXPECT_EQ(copiesText(run.arrived(1)), copiesText({both[0]}));

    // A port whose line card went away sends nothing, its interface up or not.
    const size_t ge20 = 8;
    ASSERT_EQ(run.portName(ge20), "ge2/0");
    run(Card{2, false});
    ASSERT_TRUE(send(run.taskSocket(), toPorts({0, ge20})));
    EXPECT_EQ(copiesText(run.arrived(1)), copiesText({both[0]}));
    EXPECT_EQ(run.stats(ge20).drops[L2PT_DP_DROP_CARD_ABSENT], 1u);

    // One frame, two forms: a customer-tagged PDU as it is to one port, with the tunnel MAC and
    // an 802.1ad tag pushed outside its own to the other; and back, the 802.1ad tag popped. The
    // link's receive takes an outer 802.1Q or 802.1ad tag into the metadata: each must still
    // leave in its place.
    const Bytes tunnelMac = {0x01, 0x00, 0x0c, 0xcd, 0xcd, 0xd0};
    const Bytes cTag = {0x81, 0x00, 0x00, 0x0a};
    const Bytes sTag = {0x88, 0xa8, 0x00, 0x64};
    Bytes pvst = pdu;
    pvst.insert(pvst.begin() + 2 * L2PT_ETH_ALEN, cTag.begin(), cTag.end());
    Bytes tunnelled(tunnelMac);
    tunnelled.insert(tunnelled.end(), pvst.begin() + L2PT_ETH_ALEN,
                     pvst.begin() + 2 * L2PT_ETH_ALEN);
    tunnelled.insert(tunnelled.end(), sTag.begin(), sTag.end());
    tunnelled.insert(tunnelled.end(), pvst.begin() + 2 * L2PT_ETH_ALEN, pvst.end());
    Bytes push(tunnelMac);
    push.insert(push.end(), sTag.begin(), sTag.end());
    Bytes pop(pvst.begin(), pvst.begin() + L2PT_ETH_ALEN);
    pop.resize(pop.size() + L2PT_TAG_LEN);
    for (const auto& [in, how, form] :
         {std::tuple{pvst, push, tunnelled}, {tunnelled, pop, pvst}}) {
        ASSERT_TRUE(
            send(run.taskSocket(), withTaskTrailer(in, {run.portIfindex(0)}, L2PT_TX_MAGIC_RETAG,
                                                   {run.portIfindex(1)}, how)));
        EXPECT_EQ(copiesText(run.arrived(2)),
                  copiesText({{run.portName(0), in}, {run.portName(1), form}}));
    }
}

}  // namespace
}  // namespace netp::linecard
