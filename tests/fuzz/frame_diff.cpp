// Both data planes on random frame tables. A seeded generator writes configuration steps
// (entries, the TPID, the tunnel MAC, reserved addresses' actions, learning limits, VLAN members,
// cards, the clock) among frames drawn toward the edges: reserved and protocol addresses, the
// tunnel MAC in force, the sites' MACs, tag stacks of every TPID, VIDs at their ends, lengths at
// the ports' MTUs. The simulation fills in each row's outcome and the kernel pipeline must make
// the same of it, row by row; at the first disagreement the table so far is printed in the frame
// table's format, then what the kernel did. Root, as KernelRunner.
//
// ctest runs one seed. For long runs: L2PT_DIFF_SEED=N (the first seed), L2PT_DIFF_SEEDS=K (that
// many tables from it), L2PT_DIFF_FRAMES=M (frames a table).
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <random>

#include "tests/support/kernel_runner.h"
#include "tests/support/sim_runner.h"

namespace netp::linecard {
namespace {

using namespace frametable;

constexpr uint64_t kSeed = 1;
constexpr size_t kFrames = 1000;
const Mac kPvst = {0x01, 0x00, 0x0c, 0xcc, 0xcc, 0xcd};

uint64_t envNumber(const char* name, uint64_t otherwise) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? std::strtoull(v, nullptr, 0) : otherwise;
}

struct Port {
    std::string name;
    uint32_t mtu = 0;
    bool core = false;  // a core member of some VLAN: its frames are mostly provider frames
};

class Generator {
  public:
    Generator(const chassis::ChassisConfig& cfg, uint64_t seed)
        : rng_(seed), seed_(seed), ageing_(cfg.dataPlane.ageingSeconds) {
        for (const auto& card : cfg.lineCards) {
            slots_.push_back(card.slot);
            for (const auto& p : card.ports) {
                ports_.push_back({p.name, p.mtu});
                vids_.push_back(p.vlan);
            }
        }
        for (const auto& lag : cfg.lags)
            lports_.push_back(lag.name);
        for (const auto& v : cfg.vlans)
            vids_.push_back(static_cast<uint16_t>(v.id));
        for (const auto& v : cfg.tunnelling.vlans) {
            for (const auto& vlan : cfg.vlans) {
                if (vlan.name == v.vlan.name)
                    tunnelled_.push_back(static_cast<uint16_t>(vlan.id));
            }
            for (const auto& m : v.ports) {
                std::vector<std::string> names{m.port.name};  // a LAG's members speak as it
                for (const auto& lag : cfg.lags) {
                    for (const auto& x : lag.members)
                        names.push_back(lag.name == m.port.name ? x.name : "");
                }
                for (Port& p : ports_)
                    p.core |= m.core && std::ranges::find(names, p.name) != names.end();
            }
        }
        for (const Port& p : ports_)
            lports_.push_back(p.name);
        std::copy(std::begin(l2pt_default_tunnel_mac), std::end(l2pt_default_tunnel_mac),
                  tunnelMac_.begin());
        tunnelMacs_.push_back(tunnelMac_);
        cardUp_.assign(slots_.size(), true);
    }

    Table table(const std::string& chassis, size_t frames) {
        Table t{chassis, {}};
        for (int i = 0; i < 12; ++i)
            t.steps.push_back(entry());
        for (size_t rows = 0; rows < frames;) {
            if (chance(0.8)) {
                t.steps.push_back(row(rows++));
                ++sinceTick_;
            } else {
                t.steps.push_back(change());
            }
        }
        return t;
    }

  private:
    size_t below(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }
    bool chance(double p) { return std::bernoulli_distribution(p)(rng_); }
    template <typename T>
    const T& pick(const std::vector<T>& v) {
        return v[below(v.size())];
    }
    uint8_t byte() { return static_cast<uint8_t>(below(256)); }

    static Mac reserved(uint8_t last) { return {0x01, 0x80, 0xc2, 0, 0, last}; }
    Mac reservedAddress() {
        // Both blocks, their neighbours, and the addresses entries trap most.
        static const std::vector<uint8_t> kEdges = {0x00, 0x02, 0x0e, 0x0f, 0x10,
                                                    0x1f, 0x20, 0x21, 0x2f, 0x30};
        return reserved(chance(0.5) ? pick(kEdges) : static_cast<uint8_t>(below(0x30)));
    }
    Mac site(size_t port, uint8_t n) const {
        return {0x02, 0, 0, 0, static_cast<uint8_t>(port + 1), static_cast<uint8_t>(n + 1)};
    }
    Mac randomMac(bool group) {
        Mac m;
        for (auto& b : m)
            b = byte();
        m[0] = static_cast<uint8_t>((m[0] & 0xfe) | (group ? 1 : 0));
        return m;
    }
    Mac destination() {
        static const Mac kBroadcast = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
        static const Mac kIpv4Group = {0x01, 0x00, 0x5e, 0x00, 0x00, 0x01};
        switch (below(10)) {
            case 0:
            case 1:
                return reservedAddress();
            case 2:
                return chance(0.7) ? tunnelMac_ : pick(tunnelMacs_);
            case 3:
                return kPvst;
            case 4:
                return chance(0.5) ? kBroadcast : kIpv4Group;
            case 5:
                return randomMac(chance(0.5));
            default:
                return site(below(ports_.size()), static_cast<uint8_t>(below(2)));
        }
    }
    Mac source(size_t port) {
        switch (below(24)) {
            case 0:
                return randomMac(false);
            case 1:
                return Mac{};
            case 2:
                return randomMac(true);
            case 3:
                return tunnelMac_;
            case 4:
            case 5:
                return site(below(ports_.size()), static_cast<uint8_t>(below(2)));
            default:
                return site(port, static_cast<uint8_t>(below(2)));
        }
    }
    uint16_t tpid() {
        static const std::vector<uint16_t> kTpids = {L2PT_TPID_8021Q, L2PT_TPID_QINQ,
                                                     L2PT_TPID_VMAN};
        return chance(0.3) ? tpid_ : pick(kTpids);
    }
    uint16_t vid() {
        switch (below(6)) {
            case 0:
                return pick(std::vector<uint16_t>{0, 1, 4094, 4095});
            case 1:
                return static_cast<uint16_t>(below(L2PT_MAX_VID + 1));
            default:
                return pick(vids_);
        }
    }

    // A frame entering a port (or, now and then, the task's PDU leaving one).
    Row row(size_t n) {
        Row r;
        r.name = "s" + std::to_string(seed_) + "-" + std::to_string(n);
        const size_t at = below(ports_.size());
        const Port& port = ports_[at];
        r.port = port.name;
        r.sent = chance(0.05);
        const Mac dst = destination();
        const Mac src = source(at);
        Bytes f(dst.begin(), dst.end());
        f.insert(f.end(), src.begin(), src.end());
        size_t tags = pick(std::vector<size_t>{0, 0, 0, 1, 1, 1, 2, 2, 3});
        tags = port.core ? std::max<size_t>(tags, chance(0.8) ? 1 : 0) : tags;
        if (chance(0.02))
            tags = 4 + below(6);
        for (size_t i = 0; i < tags; ++i) {
            const bool provider = i == 0 && port.core && chance(0.8);
            const uint16_t tp = provider ? tpid_ : tags > 3 ? L2PT_TPID_8021Q : tpid();
            const uint16_t v = provider && chance(0.7) ? pick(tunnelled_) : vid();
            const uint16_t tci = static_cast<uint16_t>((chance(0.1) ? byte() << 8 : 0) | v);
            for (uint16_t half : {tp, tci}) {
                f.push_back(static_cast<uint8_t>(half >> 8));
                f.push_back(static_cast<uint8_t>(half));
            }
        }
        static const std::vector<std::vector<uint8_t>> kTypes = {
            {0x08, 0x00}, {0x86, 0xdd}, {0x88, 0xcc}, {0x88, 0x09}, {0x00, 0x26, 0x42, 0x42, 0x03},
            {0x81, 0x00}, {0x88, 0xa8}};
        const auto& type = pick(kTypes);
        f.insert(f.end(), type.begin(), type.end());
        // The frame's length: cut short within its tags, the smallest on a wire, the ports' MTUs
        // with the header, a tag or not, and one past, or anything short.
        const uint32_t mtu = chance(0.5) ? port.mtu : pick(ports_).mtu;
        size_t len = 0;
        switch (below(8)) {
            case 0:
                len = L2PT_ETH_HLEN + below(f.size() - L2PT_ETH_HLEN + 3);
                break;
            case 1:
                len = 60;
                break;
            case 2:
                len = 64;
                break;
            case 3:
            case 4:
                len = mtu + L2PT_ETH_HLEN +
                      pick(std::vector<size_t>{0, 1, L2PT_TAG_LEN, L2PT_TAG_LEN + 1});
                break;
            default:
                len = L2PT_ETH_HLEN + below(200);
                break;
        }
        // A port's interface refuses a frame longer than its MTU, the header and a tag allow,
        // as a NIC does; what the task sends is a PDU it was handed, a provider tag at most
        // added.
        len = std::min<size_t>(len, r.sent ? L2PT_TRAP_MAX_LEN + L2PT_TAG_LEN
                                           : port.mtu + L2PT_ETH_HLEN + L2PT_TAG_LEN);
        f.resize(len);
        r.frame = std::move(f);
        return r;
    }

    Step entry() {
        Entry e;
        e.mac = chance(0.5)   ? reservedAddress()
                : chance(0.5) ? (chance(0.7) ? tunnelMac_ : pick(tunnelMacs_))
                              : kPvst;
        if (chance(0.2))
            e.slot = pick(slots_);
        else
            e.port = pick(ports_).name;
        return e;
    }

    // The clock: small steps while the oldest learned MAC is well within the ageing time (the
    // kernel's clock runs on beside the simulation's), else past it, so that both forget alike.
    Step advance() {
        const uint64_t step = pick(std::vector<uint64_t>{1, 2, 5, 30, 60});
        const uint64_t margin = ageing_ / 3;
        if (sinceAged_ + step + margin > ageing_) {
            sinceAged_ = 0;
            return Advance{ageing_ + margin};
        }
        sinceAged_ += step;
        return Advance{step};
    }

    Step change() {
        // A port traps no more PDUs between two ticks than its default rate lets through.
        if (sinceTick_ > 500) {
            sinceTick_ = 0;
            return advance();
        }
        if (const auto down = std::ranges::find(cardUp_, false);
            down != cardUp_.end() && chance(0.3)) {
            *down = true;
            return Card{slots_[size_t(down - cardUp_.begin())], true};
        }
        switch (below(20)) {
            case 0:
            case 1:
            case 2:
            case 3:
                return entry();
            case 4:
            case 5:
            case 6:
            case 7: {
                L2cp l;
                l.port = pick(lports_);
                if (chance(0.3))
                    l.vlan = vid();
                l.addresses = chance(0.2)   ? ~0u >> (32 - L2PT_L2CP_ADDRESSES)
                              : chance(0.5) ? 1u << below(L2PT_L2CP_ADDRESSES)
                                            : static_cast<uint32_t>(rng_()) &
                                                  (~0u >> (32 - L2PT_L2CP_ADDRESSES));
                if (l.addresses == 0)
                    l.addresses = 1;
                l.action = static_cast<int>(below(4));
                return l;
            }
            case 8:
                if (chance(0.3))
                    return Learning{"", vid(), pick(std::vector<uint32_t>{0, 1, 3, 16384})};
                return Learning{pick(lports_), std::nullopt,
                                pick(std::vector<uint32_t>{0, 1, 2, 4096}), chance(0.5)};
            case 9:
            case 10:
                return Learned{0, pick(ports_).name};
            case 11: {
                tpid_ = pick(
                    std::vector<uint16_t>{L2PT_TPID_QINQ, L2PT_TPID_VMAN, 0x9200, L2PT_TPID_8021Q});
                return Tpid{tpid_};
            }
            case 12: {
                if (chance(0.3)) {
                    std::copy(std::begin(l2pt_default_tunnel_mac),
                              std::end(l2pt_default_tunnel_mac), tunnelMac_.begin());
                    return TunnelMac{};
                }
                tunnelMac_ = randomMac(chance(0.9));
                tunnelMacs_.push_back(tunnelMac_);
                return TunnelMac{tunnelMac_};
            }
            case 13:
            case 14: {
                // Members leave and mostly come back, others join.
                if (!left_.empty() && chance(0.6)) {
                    VlanMember back = left_.back();
                    left_.pop_back();
                    back.join = true;
                    return back;
                }
                VlanMember m{pick(vids_), pick(lports_), chance(0.3)};
                if (!m.join)
                    left_.push_back(m);
                return m;
            }
            case 15: {
                // A card goes down, one at a time, and soon comes back (above).
                const size_t i = below(slots_.size());
                if (std::ranges::find(cardUp_, false) != cardUp_.end())
                    return advance();
                cardUp_[i] = false;
                return Card{slots_[i], false};
            }
            default:
                return advance();
        }
    }

    std::mt19937_64 rng_;
    uint64_t seed_;
    uint64_t ageing_;
    std::vector<Port> ports_;
    std::vector<std::string> lports_;  // ports and LAGs
    std::vector<uint32_t> slots_;
    std::vector<uint16_t> vids_;       // the chassis's VLANs and its ports'
    std::vector<uint16_t> tunnelled_;  // the VLANs with members
    std::vector<bool> cardUp_;
    std::vector<VlanMember> left_;  // members that left a VLAN
    uint16_t tpid_ = L2PT_TPID_VMAN;
    Mac tunnelMac_{};
    std::vector<Mac> tunnelMacs_;  // every one in force so far
    uint64_t sinceAged_ = 0;       // seconds since every learned MAC was aged
    size_t sinceTick_ = 0;         // rows since the clock last moved
};

// The failures the running test has recorded so far.
int failures() {
    const ::testing::TestResult* r =
        ::testing::UnitTest::GetInstance()->current_test_info()->result();
    int n = 0;
    for (int i = 0; i < r->total_part_count(); ++i)
        n += r->GetTestPartResult(i).failed() ? 1 : 0;
    return n;
}

// Runs a generated table through both planes; at the first row or count they disagree on, or
// a step either fails, prints the table up to there and stops.
void runBoth(const Table& t, uint64_t seed, std::map<std::string, size_t>& outcomes) {
    chassis::test::SimRunner sim(t);
    test::KernelRunner kernel(t);
    ASSERT_NO_FATAL_FAILURE(kernel.setUp());
    const int failed = failures();
    std::string steps;
    for (const Step& step : t.steps) {
        std::string sim_says;
        std::string kernel_says;
        if (const Row* r = std::get_if<Row>(&step)) {
            const Row filled = sim.observe(*r);
            sim_says = stepText(filled);
            kernel_says = kernel.runs(filled) ? stepText(kernel.observe(filled)) : sim_says;
            ++outcomes[!kernel.runs(filled)                     ? "not run"
                       : filled.verdict == L2PT_VERDICT_DROPPED ? reasonWord(filled.reason)
                                                                : verdictWord(filled.verdict)];
        } else if (const Learned* l = std::get_if<Learned>(&step)) {
            sim_says = stepText(sim.learned(*l));
            kernel_says = stepText(kernel.learned(*l));
        } else {
            std::visit(sim, step);
            std::visit(kernel, step);
            sim_says = kernel_says = stepText(step);
        }
        steps += sim_says;
        if (sim_says != kernel_says || failures() != failed) {
            ADD_FAILURE() << "seed " << seed << ": the data planes disagree. The table so far, "
                          << "as the simulation made it:\n"
                          << steps << "\nThe kernel:\n"
                          << kernel_says;
            return;
        }
    }
    kernel.expectQuiet();
    EXPECT_EQ(failures(), failed) << "seed " << seed
                                  << ": the kernel did more after the last row:\n"
                                  << steps;
}

TEST(DataPlanes, AgreeOnRandomTables) {
    ASSERT_EQ(::geteuid(), 0u) << "this test needs root: it loads BPF programs and makes "
                                  "network namespaces with veth pairs";
    const uint64_t first = envNumber("L2PT_DIFF_SEED", kSeed);
    const uint64_t seeds = envNumber("L2PT_DIFF_SEEDS", 1);
    const size_t frames = envNumber("L2PT_DIFF_FRAMES", kFrames);
    const std::string chassisFile =
        (std::filesystem::path(L2PT_FRAME_TABLE).parent_path() / "chassis.yaml").string();
    const chassis::ChassisConfig cfg = chassis::loadChassisFile(chassisFile);
    int disagreed = 0;
    std::map<std::string, size_t> outcomes;  // the rows by verdict, the dropped by reason
    for (uint64_t seed = first; seed < first + seeds; ++seed) {
        const int before = failures();
        runBoth(Generator(cfg, seed).table(chassisFile, frames), seed, outcomes);
        disagreed += failures() != before ? 1 : 0;
    }
    std::cout << seeds << " tables of " << frames << " frames from seed " << first << ", "
              << disagreed << " with a disagreement; the rows run:";
    for (const auto& [what, n] : outcomes)
        std::cout << " " << what << " " << n;
    std::cout << "\n";
}

}  // namespace
}  // namespace netp::linecard
