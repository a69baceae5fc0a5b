#include "net/daemon/kernel_dataplane.h"

#include <net/if.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <utility>

#include "net/pipeline/bpf_tables.h"
#include "net/pipeline/clock.h"
#include "net/pipeline/pins.h"
#include "net/port/task_link.h"

namespace netp {

namespace {

// A learned MAC outlives its ageing time by at most a tenth of it, and the table is walked no
// more than once a second.
constexpr uint32_t kAgeingChecksPerTime = 10;
constexpr auto kMinAgeingCheck = std::chrono::seconds(1);
// Ports whose new sources were not learned are looked for this often (each logged at most once
// a minute).
constexpr auto kNotLearnedCheck = std::chrono::seconds(5);
// The trap entries of adopted tables, or kept while a task registered again, stay until the
// ready task's own are in (LineCards::settleTask).
constexpr auto kTaskSettle = linecard::LineCards::kTaskQuiet;

// The maps a migration could not carry, for its log line.
std::string notCarried(const std::vector<std::string>& maps) {
    std::string text;
    for (const std::string& m : maps)
        text += (text.empty() ? "; not carried, their records laid out otherwise: " : ", ") + m;
    return text;
}

Clock::duration ageingCheck(const chassis::ChassisConfig& cfg) {
    return std::max<Clock::duration>(
        kMinAgeingCheck, std::chrono::seconds(cfg.dataPlane.ageingSeconds) / kAgeingChecksPerTime);
}

}  // namespace

KernelDataPlane::KernelDataPlane(chassis::Chassis& chassis, Loop& loop, Hooks hooks,
                                 Pinning pinning)
    : loop_(loop),
      hooks_(std::move(hooks)),
      ageingCheck_(ageingCheck(chassis.config())),
      ageing_(loop,
              [this] {
                  cards_->expireAged();
                  tracker_->retryFailedAttaches();
                  ageing_.armIn(ageingCheck_);
                  sweepSoon();
              }),
      notLearned_(loop,
                  [this] {
                      cards_->reportNotLearned(pipeline::monotonicNs());
                      notLearned_.armIn(kNotLearnedCheck);
                  }),
      sweep_(loop,
             [this] {
                 cards_->sweep();
                 sweepSoon();
             }),
      settled_(loop, [this] {
          const auto wait = synced_ ? cards_->settleTask(pipeline::monotonicNs())
                                    : std::optional<std::chrono::nanoseconds>(kTaskSettle);
          if (wait)
              settled_.armIn(*wait);
      }) {
    // Refused at start rather than at the first grant, with no primary ever hearing a PDU.
    if (const port::OpStatus st = port::TaskLink::probe(); !st.ok())
        throw std::runtime_error(st.text() +
                                 ": allow the daemon user namespaces (user.max_user_namespaces "
                                 "above 0; RestrictNamespaces=user net in its unit)");
    pipeline::PipelineOptions options;
    options.variant = pinning.variant;
    if (!pinning.bpffs.empty()) {
        bool mounted = false;
        if (const pipeline::Status s = pipeline::ensureBpffs(pinning.bpffs, &mounted); !s) {
            hooks_.warning("line cards: " + s.what() +
                           ": the pipeline's maps are not pinned, and a restart starts with "
                           "empty tables (docs/net.md)");
        } else {
            if (mounted)
                hooks_.info("line cards: mounted a bpffs at " + pinning.bpffs +
                            "; its pins last as long as this mount namespace");
            options.pins = pipeline::PinPlace{pinning.bpffs, pinning.name};
            refuseServedPorts(linecard::LineCards::netdevs(chassis), *options.pins);
            // A directory this user may not make runs the switch unpinned; one that another
            // daemon holds is that daemon's switch: refused.
            auto dir = pipeline::PinDir::open(*options.pins, true);
            if (!dir && dir.status().what().find(pipeline::kPinDirBusy) != std::string::npos)
                throw std::runtime_error(dir.status().what());
            if (!dir) {
                hooks_.warning("line cards: " + dir.status().what() +
                               ": the pipeline's maps are not pinned, and a restart starts with "
                               "empty tables (docs/net.md)");
                options.pins.reset();
            }
        }
    }
    auto loaded = pipeline::BpfTables::load(
        [debug = hooks_.debug](std::string_view l) { debug(std::string(l)); },
        chassis.config().dataPlane.fdbEntries, options);
    if (!loaded)
        throw std::runtime_error(loaded.status().what());
    tables_ = std::move(*loaded);
    tracker_.emplace(
        linecard::LineCards::netdevs(chassis), ops_,
        port::TcPrograms{tables_->ingressFd(), tables_->egressFd()},
        [this](size_t port, const port::PortState& was) {
            cards_->portChanged(port, was);
            if (hooks_.portChanged)
                hooks_.portChanged(port, was);
        },
        hooks_.info);
    auto cards = linecard::LineCards::start(
        chassis, *tables_, *tracker_,
        [info = hooks_.info](std::string_view l) { info(std::string(l)); },
        [this](uint16_t generation) {
            return linecard::openTaskLink(generation, ops_, tables_->taskTxFd());
        });
    if (!cards)
        throw std::runtime_error(cards.status().what());
    cards_ = std::move(*cards);
    const pipeline::StartReport& start = tables_->start();
    const std::string where = tables_->pinDir() ? " (pinned in " + *tables_->pinDir() + ")" : "";
    switch (start.how) {
        case pipeline::PipelineStart::Fresh:
            hooks_.info("line cards: the kernel pipeline is loaded" + where);
            break;
        case pipeline::PipelineStart::Adopted:
            hooks_.info(
                "line cards: the kernel pipeline is loaded over the pinned tables it "
                "found" +
                where + ": " + std::to_string(start.macs) +
                " learned MACs kept, counters going on" +
                (start.ringAdopted ? ", the task's ring handed to the next primary" : ""));
            break;
        case pipeline::PipelineStart::Migrated:
            hooks_.info(
                "line cards: the kernel pipeline is loaded over new tables" + where +
                ": the pinned ones are of another layout (" + start.differs + "); " +
                std::to_string(start.macs) + " learned MACs carried over" +
                (start.macsLeft ? ", " + std::to_string(start.macsLeft) + " not" : "") +
                (start.traps ? "; " + std::to_string(start.traps) +
                                   " trap entries carried over until the task's own "
                                   "are in, trapping into a ring for the next primary"
                             : "") +
                (start.ringAdopted ? "; the task's ring carried over with what queued in it" : "") +
                (start.taskCarried ? "; the task's link carried over until its task lets go" : "") +
                notCarried(start.notCarried));
            break;
    }
    // The interfaces as they are now arrive as the monitor's first events.
    loop_.watch(links_.fd(), EPOLLIN, [this](uint32_t) { readLinks(); });
    // The pipeline's per-frame events, written while the chassis trace is on.
    loop_.watch(tables_->eventsFd(), EPOLLIN, [this](uint32_t) { cards_->readEvents(); });
    ageing_.armIn(ageingCheck_);
    notLearned_.armIn(kNotLearnedCheck);
}

bool KernelDataPlane::wanted(const chassis::ChassisConfig& cfg) {
    return std::any_of(cfg.lineCards.begin(), cfg.lineCards.end(), [](const auto& card) {
        return std::any_of(card.ports.begin(), card.ports.end(),
                           [](const auto& p) { return !p.netdev.empty(); });
    });
}

KernelDataPlane::~KernelDataPlane() {
    loop_.unwatch(tables_->eventsFd());
    loop_.unwatch(links_.fd());
    // The pipeline stays attached: the switch forwards by its pinned tables while no daemon
    // runs, and the next one adopts them. Nothing here may undo that: the task's link and ring
    // stay too (TaskPath, TaskSessions).
    hooks_.portChanged = nullptr;
}

void KernelDataPlane::refresh() {
    cards_->refresh();
    sweepSoon();
    // A primary ready before it registered with an agent again (one that took over) settles
    // from there.
    if (tables_->claiming() && readyAt_ == cards_->generation() && !settled_.armed())
        settled_.armIn(kTaskSettle);
}

// A slice a pass: the loop does not wait while slices are left, and every descriptor ready
// meanwhile is served between two slices.
void KernelDataPlane::sweepSoon() {
    if (cards_->sweeping() && !sweep_.armed())
        sweep_.armNextPass();
}

void KernelDataPlane::taskReady() {
    readyAt_ = cards_->generation();
    if (tables_->claiming() && !settled_.armed())
        settled_.armIn(kTaskSettle);
}

void KernelDataPlane::readLinks() {
    const std::span<const port::LinkEvent> events = links_.read();
    // The first events attach the programs: what the old maps of a migration gained meanwhile
    // goes into the new ones just before.
    if (!mtuChecked_)
        tables_->finishMigration();
    tracker_->handle(events);
    if (!synced_ && std::any_of(events.begin(), events.end(), [](const port::LinkEvent& e) {
            return e.change == port::LinkChange::Synced;
        })) {
        synced_ = true;
        cards_->linksSynced();  // adopted tables: what the configuration no longer claims goes
        detachFormerPorts();
        // The ports run on this start's tables now, which hold the configuration: the next
        // start adopts them.
        if (const pipeline::Status s = tables_->commitPins(); !s)
            hooks_.warning("line cards: " + s.what() +
                           ": the next start finds the tables pinned before this one's");
    }
    // The first events are the interfaces as they are at start.
    if (std::exchange(mtuChecked_, true))
        return;
    for (const auto& line : cards_->mtuShortfalls())
        hooks_.warning("line cards: " + line);
}

// A port whose hook holds the program of a switch whose daemon serves now (pinned by it, its
// pin directory held) is that daemon's: two daemons would take the ports' hooks from each
// other, so the start is refused, before anything is pinned. Programs of no daemon serving now
// (this switch's before, or a switch's whose daemon ended) are replaced at the attach.
void KernelDataPlane::refuseServedPorts(const std::vector<port::PortNetdev>& ports,
                                        const pipeline::PinPlace& pins) {
    using Hook = port::LinuxPortOps::Hook;
    std::vector<uint32_t> former;
    if (const auto dir = pipeline::PinDir::open(pins, false); dir) {
        for (const char* pin : {pipeline::kIngressPin, pipeline::kEgressPin})
            former.push_back(dir->programId(pin));
    }
    for (const port::PortNetdev& p : ports) {
        const unsigned ifindex = p.netdev.empty() ? 0 : ::if_nametoindex(p.netdev.c_str());
        for (const Hook hook : {Hook::Ingress, Hook::Egress}) {
            port::LinuxPortOps::Holder h;
            if (ifindex == 0 || !ops_.holder(ifindex, hook, h).ok() || !h.ours() ||
                std::find(former.begin(), former.end(), h.program) != former.end())
                continue;
            if (const std::string other = pipeline::servingSwitchOf(pins, h.program);
                !other.empty())
                throw std::runtime_error("port " + p.port + ": interface " + p.netdev +
                                         " is served by the daemon of switch " + other +
                                         ": one daemon serves a port");
        }
    }
}

// An interface that was a port of the daemon before and is none now (the chassis file lost
// the port, or names another interface for it) still holds that daemon's programs, which drop
// every frame it receives as one of no port and everything the host sends by it. They come
// off, as they do when a port's interface is renamed away, and so does its clsact qdisc when
// no filter is left on it; other programs (another switch's, the task's link) stay.
void KernelDataPlane::detachFormerPorts() {
    using Hook = port::LinuxPortOps::Hook;
    const std::vector<uint32_t>& former = tables_->start().formerPrograms;
    if (former.empty())
        return;
    const std::unique_ptr<struct if_nameindex, decltype(&::if_freenameindex)> all(
        ::if_nameindex(), &::if_freenameindex);
    for (const struct if_nameindex* i = all.get(); i != nullptr && i->if_index != 0; ++i) {
        if (tracker_->portOf(i->if_index))
            continue;
        std::string line;
        for (const Hook hook : {Hook::Ingress, Hook::Egress}) {
            port::LinuxPortOps::Holder h;
            if (!ops_.holder(i->if_index, hook, h).ok() || !h.ours() ||
                std::find(former.begin(), former.end(), h.program) == former.end())
                continue;
            const port::OpStatus st = ops_.detachHook(i->if_index, hook);
            line =
                st.ok() ? "the pipeline detached" : "detaching the pipeline failed: " + st.text();
        }
        if (line.empty())
            continue;
        bool removed = false;
        (void)ops_.removeEmptyClsact(i->if_index, &removed);
        hooks_.info("line cards: interface " + std::string(i->if_name) +
                    " is no port of the chassis now: " + line +
                    (removed ? ", its clsact qdisc removed" : ""));
    }
}

}  // namespace netp
