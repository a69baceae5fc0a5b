#include "net/linecard/line_cards.h"

#include <fcntl.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <utility>

#include "net/linecard/records.h"
#include "net/linecard/trace_lines.h"
#include "net/pipeline/clock.h"
#include "net/pipeline/records.h"
#include "net/port/vlan_tag.h"

namespace netp::linecard {

using pipeline::kNsPerSecond;
using pipeline::monotonicNs;
using pipeline::Result;
using pipeline::Status;

namespace {

constexpr uint32_t kWordBits = 32;

// Why the pipeline cannot hold this chassis; empty when it can.
std::string tooBig(const chassis::ChassisConfig& cfg, const chassis::IfDb& db) {
    const std::string head = cfg.source + ": the kernel pipeline ";
    if (db.portCount() > L2PT_MAX_PORTS)
        return head + "holds " + std::to_string(L2PT_MAX_PORTS) + " ports, the chassis has " +
               std::to_string(db.portCount());
    if (db.lagCount() > L2PT_MAX_LAGS)
        return head + "holds " + std::to_string(L2PT_MAX_LAGS) + " LAGs, the chassis has " +
               std::to_string(db.lagCount());
    for (size_t p = 0; p < db.portCount(); ++p) {
        const uint32_t portIf = db.portAt(p);
        if (static_cast<uint32_t>(db.info(portIf)->slot) >= pipeline::kMaxSlots)
            return head + "holds line cards in slots 0-" + std::to_string(pipeline::kMaxSlots - 1) +
                   ", port " + db.name(portIf) + " is in slot " +
                   std::to_string(db.info(portIf)->slot);
        if (db.portVlan(portIf) > L2PT_MAX_VID)
            return head + "holds VLANs 0-" + std::to_string(L2PT_MAX_VID) + ", port " +
                   db.name(portIf) + " takes its customers into VLAN " +
                   std::to_string(db.portVlan(portIf));
    }
    return {};
}

template <typename T>
bool same(const T& a, const T& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace

std::vector<port::PortNetdev> LineCards::netdevs(chassis::Chassis& chassis) {
    const chassis::IfDb& db = chassis.ifdb();
    std::vector<port::PortNetdev> ports(db.portCount());
    for (const auto& card : chassis.config().lineCards) {
        for (const auto& pc : card.ports)
            ports[static_cast<size_t>(db.portIndex(chassis::portIfIndex(card.slot, pc.number)))] = {
                pc.name, pc.netdev};
    }
    return ports;
}

Result<std::unique_ptr<LineCards>> LineCards::start(chassis::Chassis& chassis,
                                                    pipeline::Tables& tables,
                                                    const port::PortTracker& ports,
                                                    pipeline::LogFn log, TaskTxFn openTx) {
    if (const std::string why = tooBig(chassis.config(), chassis.ifdb()); !why.empty())
        return Status::failure(why);
    if (ports.size() != chassis.ifdb().portCount())
        return Status::failure("line cards: the port tracker has " + std::to_string(ports.size()) +
                               " ports, the chassis " + std::to_string(chassis.ifdb().portCount()));
    auto cards = std::make_unique<LineCards>(Started{}, chassis, tables, ports, std::move(log),
                                             std::move(openTx));
    cards->former_ = tables.formerLports();
    for (uint32_t l = 0; l < cards->former_.size(); ++l) {
        if (const uint32_t was = cards->former_[l].chassis_if; was != 0)
            cards->formerAt_.emplace(was, l);
    }
    if (tables.adopted()) {
        // The pipeline switches by the records as they are until the interfaces are known.
        cards->holdLports_ = true;
    }
    // The task of the daemon before, whose mark and link adopted or migrated tables carry,
    // relays PDUs on that link until it lets go.
    const l2pt_globals g = tables.globals();
    cards->task_.adopt(g.task_mark, g.task_if);
    if (!cards->holdLports_)
        cards->applyLearning(chassis.config().dataPlane);
    // The entries found go on trapping until the task's are in, and the ring stays shared.
    if (tables.claiming()) {
        const Result<std::vector<pipeline::TrapKey>> found = tables.trapKeys();
        cards->logged(found.status());
        if (found)
            cards->traps_.found(*found);
    }
    cards->refresh();
    cards->baseNotLearned();
    return cards;
}

LineCards::LineCards(Started, chassis::Chassis& chassis, pipeline::Tables& tables,
                     const port::PortTracker& ports, pipeline::LogFn log, TaskTxFn openTx)
    : chassis_(chassis),
      tables_(tables),
      ports_(ports),
      log_(std::move(log)),
      traps_(chassis.ifdb(), tables, log_,
             [this](const chassis::Mac& mac) { return trapAllowed(mac); }),
      task_(tables, std::move(openTx)),
      sweep_(tables),
      notLearned_(chassis.ifdb().portCount()) {
    // The entries the agents hold already, then every change as they apply it.
    for (uint32_t slot = 0; slot < chassis_.config().slots; ++slot) {
        if (const chassis::AclAgent* a = chassis_.cards().agent(slot)) {
            for (const chassis::AclEntry& e : a->entries())
                traps_.entryInstalled(slot, e);
        }
    }
    chassis_.cards().setTableObserver(&traps_);
}

LineCards::~LineCards() {
    chassis_.cards().setTableObserver(nullptr);
}

void LineCards::logged(const Status& s) const {
    if (!s)
        log_("line cards: " + s.what());
}

bool LineCards::cardPresent(uint32_t portIf) const {
    const ozm::IfInfo* info = chassis_.ifdb().info(portIf);
    const chassis::AclAgent* a =
        info != nullptr ? chassis_.cards().agent(static_cast<uint32_t>(info->slot)) : nullptr;
    return a != nullptr && a->present();
}

bool LineCards::live(uint32_t portIf) const {
    const int p = chassis_.ifdb().portIndex(portIf);
    return p >= 0 && cardPresent(portIf) && ports_.state(static_cast<size_t>(p)).up();
}

void LineCards::refresh() {
    const uint64_t generation = chassis_.ifm().generation();
    const uint32_t present = chassis_.cards().presentBitmap();
    // Adopted VLANs, reserved-address rows and policers wait with the records they name:
    // another port may have an index now.
    if (!holdLports_ && (generation != ifmGeneration_ || present != present_)) {
        const bool first = !ifmGeneration_;
        ifmGeneration_ = generation;
        present_ = present;
        syncVlans(first);
        syncLports();
    }
    if (!holdLports_ && chassis_.cards().l2cp().generation() != l2cpGeneration_)
        syncL2cp();
    if (!holdLports_)
        syncPolice();
    logged(syncGlobals());
    traps_.retry();
    task_.deleteRetired();
}

void LineCards::syncL2cp() {
    const chassis::IfDb& db = chassis_.ifdb();
    const chassis::L2cpTable& table = chassis_.cards().l2cp();
    l2cpGeneration_ = table.generation();
    std::map<std::pair<uint32_t, uint32_t>, uint64_t> want;
    for (const auto& [key, row] : table.rows()) {
        if (db.isPort(key.ifIndex) || db.isLag(key.ifIndex))
            want[{lportOf(db, key.ifIndex), key.vid}] = row;
    }
    for (const auto& [key, row] : l2cp_) {
        if (!want.count(key))
            logged(tables_.setL2cp(key.first, key.second, 0));
    }
    for (const auto& [key, row] : want) {
        const auto had = l2cp_.find(key);
        if (had == l2cp_.end() || had->second != row)
            logged(tables_.setL2cp(key.first, key.second, row));
    }
    l2cp_ = std::move(want);
}

bool LineCards::writeLport(uint32_t lport, const l2pt_lport& rec) {
    const Result<l2pt_lport> now = tables_.lport(lport);
    if (now && same(*now, rec))
        return false;
    logged(tables_.setLport(lport, rec));
    return true;
}

void LineCards::linksSynced() {
    const bool held = std::exchange(holdLports_, false);
    size_t unclaimed = 0;
    if (held) {
        // An interface of no port now, or whose port has another index (the chassis file was
        // edited), is let go first: until the tables are written at this start's indexes, its
        // frames are dropped rather than taken in as those of the port whose index it had.
        unclaimed = sweepUnclaimed<uint32_t>(
            tables_.boundIfindexes(),
            [&](const uint32_t& ifindex) { return ports_.portOf(ifindex).has_value(); },
            [&](const uint32_t& ifindex) { return tables_.unbindIfindex(ifindex); });
        for (uint32_t l = 0; l < std::min<size_t>(former_.size(), L2PT_LAG_BASE); ++l) {
            const uint32_t was = former_[l].ifindex;
            const std::optional<size_t> now = was != 0 ? ports_.portOf(was) : std::nullopt;
            if (now && *now != l)
                logged(tables_.unbindIfindex(was));
        }
        refresh();  // the records, VLANs, reserved-address rows and policers, whole
        // The limits by the ports' indexes now, with what operators changed meanwhile.
        applyLearning(chassis_.config().dataPlane);
        for (size_t p = 0; p < ports_.size(); ++p) {
            if (const uint32_t ifindex = ports_.state(p).ifindex; ifindex != 0)
                logged(tables_.bindIfindex(ifindex, static_cast<uint32_t>(p)));
        }
    }
    forgetFormerMacs();
    moveFormerCounters();
    former_ = {};
    formerAt_ = {};
    if (held)
        sweepAdopted(unclaimed);
}

// Each port's counters, as a daemon before left them, at the port's index now: the chassis
// file may have moved the port to another (a port before it added or taken away).
void LineCards::moveFormerCounters() {
    if (former_.empty())
        return;
    const chassis::IfDb& db = chassis_.ifdb();
    struct Counters {
        uint32_t port = 0;
        l2pt_port_stats stats{};
        l2pt_l2cp_stats l2cp{};
    };
    std::vector<Counters> moved;  // all read before any is written
    for (uint32_t p = 0; p < db.portCount(); ++p) {
        const uint32_t portIf = db.portAt(p);
        if (p < former_.size() && former_[p].chassis_if == portIf)
            continue;
        Counters c{p};
        if (const auto was = formerAt_.find(portIf); was != formerAt_.end()) {
            const Result<l2pt_port_stats> stats = tables_.portStats(was->second);
            const Result<l2pt_l2cp_stats> l2cp = tables_.l2cpStats(was->second);
            c.stats = stats ? *stats : l2pt_port_stats{};
            c.l2cp = l2cp ? *l2cp : l2pt_l2cp_stats{};
        }
        moved.push_back(c);
    }
    for (const Counters& c : moved)
        logged(tables_.setPortCounters(c.port, c.stats, c.l2cp));
}

// The MACs the tables before held (adopted, or carried over into new ones) that are stale now:
// those of an index that stands for another port or LAG now (the chassis file lost or gained one
// before it), of a port that is not up or whose interface was made again while no daemon ran (a
// LAG's: with no live member left), those of a VLAN their port or LAG has left meanwhile, and
// those not seen for the ageing time: until they go they count against their port's limit, and
// the first ageing check is a tenth of the ageing time away.
void LineCards::forgetFormerMacs() {
    const chassis::IfDb& db = chassis_.ifdb();
    for (uint32_t l = 0; l < former_.size(); ++l) {
        const uint32_t was = former_[l].chassis_if;
        const bool port = l < L2PT_LAG_BASE;
        const size_t i = port ? l : l - L2PT_LAG_BASE;
        if (was != 0 && (i >= (port ? db.portCount() : db.lagCount()) ||
                         was != (port ? db.portAt(i) : db.lagAt(i))))
            sweep_.forgetLport(l);
    }
    for (size_t p = 0; p < db.portCount(); ++p) {
        const port::PortState& now = ports_.state(p);
        const bool remade = p < former_.size() && former_[p].ifindex != now.ifindex;
        if (now.up() && !remade)
            continue;
        const uint32_t lport = speaksAs(db, p);
        const Result<l2pt_lport> rec = tables_.lport(lport);
        if (lport < L2PT_LAG_BASE || (rec && rec->n_live == 0))
            sweep_.forgetLport(lport);
    }
    sweep_.forgetStrays();
    sweep_.age();
}

// Removes each key of a table (as read now) that claimed() says nothing claims; how many went.
template <typename Key>
size_t LineCards::sweepUnclaimed(const Result<std::vector<Key>>& keys,
                                 const std::function<bool(const Key&)>& claimed,
                                 const std::function<Status(const Key&)>& remove) const {
    if (!keys) {
        logged(keys.status());
        return 0;
    }
    size_t removed = 0;
    for (const Key& key : *keys) {
        if (claimed(key))
            continue;
        logged(remove(key));
        ++removed;
    }
    return removed;
}

void LineCards::sweepAdopted(size_t bindings) {
    const size_t rows = sweepUnclaimed<l2pt_l2cp_key>(
        tables_.l2cpKeys(),
        [&](const l2pt_l2cp_key& k) {
            return l2cp_.count({k.lport, k.vid}) != 0;
        },
        [&](const l2pt_l2cp_key& k) { return tables_.setL2cp(k.lport, k.vid, 0); });
    log_("line cards: the adopted tables hold what the configuration claims; removed " +
         std::to_string(rows) + " reserved-address rows and " + std::to_string(bindings) +
         " interface bindings it no longer claims; its trap entries go on trapping until the "
         "task has installed its own");
}

std::optional<std::chrono::nanoseconds> LineCards::settleTask(uint64_t nowNs) {
    if (!tables_.claiming()) {
        settlingSinceNs_.reset();
        return std::nullopt;
    }
    if (holdLports_)
        return kTaskQuiet;  // the ports' records wait for the interfaces: so does the sweep
    const auto since = [nowNs](uint64_t then) {
        return std::chrono::nanoseconds(nowNs > then ? nowNs - then : 0);
    };
    const uint64_t first = settlingSinceNs_.value_or(nowNs);
    settlingSinceNs_ = first;
    const auto quiet = since(traps_.lastInstallNs());
    if (quiet < kTaskQuiet && since(first) < kTaskSettleAtMost)
        return kTaskQuiet - quiet;
    settlingSinceNs_.reset();
    const size_t traps = sweepUnclaimed<pipeline::TrapKey>(
        tables_.trapKeys(), [&](const pipeline::TrapKey& k) { return traps_.claims(k); },
        [&](const pipeline::TrapKey& k) { return tables_.removeTrap(k); });
    logged(tables_.claimed());
    traps_.found({});
    log_("line cards: the task's trap entries are in; removed " + std::to_string(traps) +
         " adopted ones it no longer claims");
    return std::nullopt;
}

void LineCards::syncLports() {
    if (holdLports_)
        return;
    const chassis::IfDb& db = chassis_.ifdb();
    if (!std::exchange(lportsSwept_, true)) {
        // Records an adopted table holds for ports and LAGs the chassis has no more.
        l2pt_lport none{};
        none.lag = L2PT_LPORT_NONE;
        for (uint32_t l = 0; l < L2PT_MAX_LPORTS; ++l) {
            const bool port = l < L2PT_LAG_BASE;
            if (port ? l < db.portCount() : l - L2PT_LAG_BASE < db.lagCount())
                continue;
            const Result<l2pt_lport> now = tables_.lport(l);
            if (now && (now->flags != 0 || now->ifindex != 0))
                logged(tables_.setLport(l, port ? none : l2pt_lport{}));
        }
    }
    for (size_t p = 0; p < db.portCount(); ++p)
        writeLport(static_cast<uint32_t>(p),
                   portRecord(db, p, cardPresent(db.portAt(p)), ports_.state(p)));
    for (size_t l = 0; l < db.lagCount(); ++l) {
        size_t over = 0;
        const l2pt_lport rec = lagRecord(
            db, l, [this](uint32_t portIf) { return live(portIf); }, &over);
        if (writeLport(static_cast<uint32_t>(L2PT_LAG_BASE + l), rec) && over != 0)
            log_("line cards: " + db.name(db.lagAt(l)) + " has " +
                 std::to_string(L2PT_LAG_MAX_LIVE + over) + " live members; the pipeline " +
                 "carries its traffic by the first " + std::to_string(L2PT_LAG_MAX_LIVE));
    }
}

void LineCards::syncVlans(bool every) {
    std::vector<uint16_t> vids = usedVids_;
    vlanRecords(chassis_.ifdb(), chassis_.ifm(), vlans_, usedVids_);
    if (every) {
        vids.resize(L2PT_VLANS);
        for (uint32_t vid = 0; vid < L2PT_VLANS; ++vid)
            vids[vid] = static_cast<uint16_t>(vid);
    } else {
        vids.insert(vids.end(), usedVids_.begin(), usedVids_.end());
        std::sort(vids.begin(), vids.end());
        vids.erase(std::unique(vids.begin(), vids.end()), vids.end());
    }
    // (VLAN, lport) pairs that are members no more.
    std::vector<std::pair<uint16_t, uint32_t>> left;
    for (uint16_t vid : vids) {
        const l2pt_vlan& want = vlans_[vid];
        const Result<l2pt_vlan> now = tables_.vlan(vid);
        if (now && same(*now, want))
            continue;
        for (uint32_t w = 0; now && w < L2PT_LPORT_WORDS; ++w) {
            for (uint32_t gone = now->members[w] & ~want.members[w]; gone != 0; gone &= gone - 1)
                left.emplace_back(vid, w * kWordBits + static_cast<uint32_t>(__builtin_ctz(gone)));
        }
        logged(tables_.setVlan(vid, want));
    }
    for (const auto& [vid, lport] : left)
        sweep_.forgetMember(vid, lport);
}

Status LineCards::syncGlobals() {
    const l2pt_globals now = tables_.globals();
    l2pt_globals want = now;
    want.tpid = chassis_.ifm().vmanTpid();
    want.ageing_ns = uint64_t{chassis_.config().dataPlane.ageingSeconds} * kNsPerSecond;
    // Our task program takes the retagging trailer; over an adopted link, the program and
    // its word on it are those of the daemon that made the link.
    const uint32_t retag = task_.adoptedLink() ? now.flags & L2PT_G_TX_RETAG : L2PT_G_TX_RETAG;
    want.flags = retag | (chassis_.trace().on() ? L2PT_G_TRACE : 0);
    want.task_mark = task_.mark();
    want.task_if = task_.ifindex();
    const chassis::Mac mac = chassis_.ifm().tunnelMac();
    std::copy(mac.begin(), mac.end(), want.tunnel_mac);
    if (tunnelMacs_.empty() || tunnelMacs_.back() != mac) {
        if (tunnelMacs_.size() == kTunnelMacsKept)
            tunnelMacs_.erase(tunnelMacs_.begin());
        tunnelMacs_.push_back(mac);
    }
    want.pdu_ports = traps_.trappingPorts();
    return same(now, want) ? Status() : tables_.setGlobals(want);
}

bool LineCards::trapAllowed(const chassis::Mac& mac) const {
    return l2pt_is_protocol_mac(mac.data()) ||
           std::equal(mac.begin(), mac.end(), std::begin(l2pt_default_tunnel_mac)) ||
           mac == chassis_.ifm().tunnelMac() || std::ranges::count(tunnelMacs_, mac) != 0;
}

void LineCards::syncPolice() {
    const chassis::DataPlane& dp = chassis_.cards();
    if (policingGeneration_ == dp.policingGeneration())
        return;
    policingGeneration_ = dp.policingGeneration();
    const chassis::IfDb& db = chassis_.ifdb();
    police_.resize(db.portCount());
    for (size_t p = 0; p < db.portCount(); ++p) {
        const uint32_t portIf = db.portAt(p);
        const pipeline::PoliceRates want = policeRates(dp.policing(portIf), dp.pduRate(portIf));
        // The first time every port: adopted tables may hold rates the chassis has no more.
        if (want == police_[p] && policeWritten_)
            continue;
        const Status s = tables_.setPolice(static_cast<uint32_t>(p), want);
        logged(s);
        if (s)
            police_[p] = want;
    }
    policeWritten_ = true;
}

void LineCards::portChanged(size_t p, const port::PortState& was) {
    // Adopted bindings name the held records' indexes: bound anew with the records.
    if (holdLports_)
        return;
    const port::PortState& now = ports_.state(p);
    if (was.ifindex != now.ifindex) {
        if (was.ifindex != 0)
            logged(tables_.unbindIfindex(was.ifindex));
        if (now.ifindex != 0)
            logged(tables_.bindIfindex(now.ifindex, static_cast<uint32_t>(p)));
    }
    syncLports();
    if (!was.up() || now.up())
        return;
    // It carries no traffic now: what was learned on it is stale. A LAG goes on by its other
    // members while it has any.
    const uint32_t lport = speaksAs(chassis_.ifdb(), p);
    const Result<l2pt_lport> rec = tables_.lport(lport);
    if (lport < L2PT_LAG_BASE || (rec && rec->n_live == 0))
        sweep_.forgetLport(lport);
}

std::vector<std::string> LineCards::mtuShortfalls() const {
    const chassis::IfDb& db = chassis_.ifdb();
    const auto link = [this](size_t p) -> const port::PortState& { return ports_.state(p); };
    const auto bit = [](const uint32_t* words, uint32_t lport) {
        return (words[lport / kWordBits] >> (lport % kWordBits) & 1) != 0;
    };
    // For each core port, the access port of the largest MTU that shares a VLAN with it.
    std::map<size_t, size_t> widestAccess;
    for (const uint16_t vid : usedVids_) {
        const l2pt_vlan& v = vlans_[vid];
        std::vector<size_t> cores;
        std::optional<size_t> widest;
        for (size_t p = 0; p < db.portCount(); ++p) {
            const uint32_t lport = speaksAs(db, p);
            if (link(p).ifindex == 0 || !bit(v.members, lport))
                continue;
            if (bit(v.core, lport))
                cores.push_back(p);
            else if (!widest || link(p).mtu > link(*widest).mtu)
                widest = p;
        }
        for (const size_t core : cores) {
            auto [at, added] = widestAccess.try_emplace(core, widest.value_or(core));
            if (widest && (added || link(*widest).mtu > link(at->second).mtu))
                at->second = *widest;
        }
    }
    std::vector<std::string> lines;
    for (const auto& [core, access] : widestAccess) {
        const uint32_t needed = link(access).mtu + static_cast<uint32_t>(port::kTagLen);
        if (core == access || link(core).mtu >= needed)
            continue;
        lines.push_back(
            "core port " + db.name(db.portAt(core)) + " (MTU " + std::to_string(link(core).mtu) +
            ") cannot take the frames of access port " + db.name(db.portAt(access)) + " (MTU " +
            std::to_string(link(access).mtu) + ") with the provider tag: it needs MTU " +
            std::to_string(needed) + "; larger frames are dropped");
    }
    return lines;
}

void LineCards::expireAged() {
    sweep_.age();
}

void LineCards::sweep() {
    logged(sweep_.step(monotonicNs()).status());
}

std::optional<std::chrono::nanoseconds> LineCards::relayerWait(uint64_t nowNs) {
    if (!task_.adoptedLinkHeld())
        return std::nullopt;
    if (!relayerSinceNs_) {
        relayerSinceNs_ = nowNs;
        log_(
            "line cards: the task link of the daemon before is still held: the data path is "
            "granted once its task, relaying PDUs meanwhile, lets go");
    }
    const auto waited =
        std::chrono::nanoseconds(nowNs > *relayerSinceNs_ ? nowNs - *relayerSinceNs_ : 0);
    if (waited >= kRelayerGrace)
        return std::nullopt;
    return std::min(kRelayerLook, kRelayerGrace - waited);
}

Result<TaskGrant> LineCards::grant() {
    if (const std::optional<uint64_t> since = std::exchange(relayerSinceNs_, std::nullopt)) {
        const auto ms = std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::nanoseconds(monotonicNs() - *since))
                                           .count());
        if (task_.adoptedLinkHeld()) {
            // Both would read the ring: the task before gets nothing more, and is fenced.
            tables_.abandonParkedRing();
            log_("line cards: the task before still held its link after " + ms +
                 " ms: a new ring for the grant");
        } else {
            log_("line cards: the task before let go after " + ms + " ms");
        }
    }
    Result<TaskGrant> g = task_.grant();
    if (!g)
        return g;
    if (const size_t stale = tables_.takeStalePdus(); stale != 0)
        log_("line cards: " + std::to_string(stale) + " trapped PDUs waited in the task's ring " +
             "longer than " + std::to_string(pipeline::Tables::kStalePduNs / kNsPerSecond) +
             " s: dropped, not handed to the task");
    if (Status s = syncGlobals(); !s) {
        // The new socket's frames would be fenced: no half-granted path.
        logged(tables_.parkTaskRing());
        return s;
    }
    return g;
}

Status LineCards::revoke() {
    const Status ring = task_.revoke();
    logged(ring);
    const Status mark = syncGlobals();
    logged(mark);
    return ring ? mark : ring;
}

void LineCards::readEvents() {
    // Events waiting past this many are read at the next call (the descriptor stays readable).
    // What was read is published before the loop waits again: the descriptor is readable while
    // the kernel sees records past the position published.
    constexpr size_t kEventBatch = 256;
    if (!events_) {
        Result<pipeline::TrapRing> ring = pipeline::TrapRing::map(
            Fd(::fcntl(tables_.eventsFd(), F_DUPFD_CLOEXEC, 0)), L2PT_EVENT_RING_BYTES);
        if (!ring) {
            log_("line cards: the events ring: " + ring.status().what());
            return;
        }
        events_.emplace(std::move(*ring));
    }
    chassis::Trace& trace = chassis_.trace();
    for (size_t n = 0; n < kEventBatch; ++n) {
        const std::span<const uint8_t> rec = events_->peek();
        if (rec.empty())
            break;
        if (const auto ev = pipeline::parseEvent(rec); ev && trace.on()) {
            const TraceLine line = traceLine(chassis_.ifdb(), *ev);
            trace.add(line.actor, line.text);
        }
        events_->release();
    }
    events_->publish();
}

}  // namespace netp::linecard
