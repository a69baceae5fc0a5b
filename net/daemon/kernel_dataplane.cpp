#include "net/daemon/kernel_dataplane.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "net/linecard/clock.h"
#include "net/pipeline/bpf_tables.h"
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

Clock::duration ageingCheck(const chassis::ChassisConfig& cfg) {
    return std::max<Clock::duration>(
        kMinAgeingCheck, std::chrono::seconds(cfg.dataPlane.ageingSeconds) / kAgeingChecksPerTime);
}

}  // namespace

KernelDataPlane::KernelDataPlane(chassis::Chassis& chassis, Loop& loop, Hooks hooks)
    : loop_(loop),
      hooks_(std::move(hooks)),
      ageingCheck_(ageingCheck(chassis.config())),
      ageing_(loop,
              [this] {
                  cards_->expireAged();
                  ageing_.armIn(ageingCheck_);
                  sweepSoon();
              }),
      notLearned_(loop,
                  [this] {
                      cards_->reportNotLearned(linecard::monotonicNs());
                      notLearned_.armIn(kNotLearnedCheck);
                  }),
      sweep_(loop, [this] {
          cards_->sweep();
          sweepSoon();
      }) {
    // Refused at start rather than at the first grant, with no primary ever hearing a PDU.
    if (const port::OpStatus st = port::TaskLink::probe(); !st.ok())
        throw std::runtime_error(st.text() +
                                 ": allow the daemon user namespaces (user.max_user_namespaces "
                                 "above 0; RestrictNamespaces=user net in its unit)");
    auto loaded = pipeline::BpfTables::load(
        [debug = hooks_.debug](std::string_view l) { debug(std::string(l)); },
        chassis.config().dataPlane.fdbEntries);
    if (!loaded)
        throw std::runtime_error(loaded.status().what());
    tables_ = std::move(*loaded);
    auto cards = linecard::LineCards::start(
        chassis, *tables_, [info = hooks_.info](std::string_view l) { info(std::string(l)); },
        [this](uint16_t generation) {
            return linecard::openTaskLink(generation, ops_, tables_->taskTxFd());
        });
    if (!cards)
        throw std::runtime_error(cards.status().what());
    cards_ = std::move(*cards);
    hooks_.info("line cards: the kernel pipeline is loaded");
    tracker_.emplace(
        cards_->netdevs(), ops_, port::TcPrograms{tables_->ingressFd(), tables_->egressFd()},
        [this](size_t port, const port::PortState& state) {
            cards_->portChanged(port, state);
            if (hooks_.portChanged)
                hooks_.portChanged(port, state);
        },
        hooks_.info);
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
    // A pipeline left attached would go on switching by tables nobody keeps.
    hooks_.portChanged = nullptr;
    tracker_->detachAll();
}

void KernelDataPlane::refresh() {
    cards_->refresh();
    sweepSoon();
}

// A slice a pass: the loop does not wait while slices are left, and every descriptor ready
// meanwhile is served between two slices.
void KernelDataPlane::sweepSoon() {
    if (cards_->sweeping() && !sweep_.armed())
        sweep_.armNextPass();
}

void KernelDataPlane::readLinks() {
    tracker_->handle(links_.read());
    // The first events are the interfaces as they are at start.
    if (std::exchange(mtuChecked_, true))
        return;
    for (const auto& line : cards_->mtuShortfalls())
        hooks_.warning("line cards: " + line);
}

}  // namespace netp
