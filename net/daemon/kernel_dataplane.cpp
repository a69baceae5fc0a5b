#include "net/daemon/kernel_dataplane.h"

#include <algorithm>
#include <stdexcept>

#include "net/pipeline/bpf_tables.h"

namespace netp {

KernelDataPlane::KernelDataPlane(chassis::Chassis& chassis, Loop& loop, Log info, Log debug)
    : loop_(loop) {
    auto loaded = pipeline::BpfTables::load([debug](std::string_view l) { debug(std::string(l)); });
    if (!loaded)
        throw std::runtime_error(loaded.status().what());
    tables_ = std::move(*loaded);
    auto cards = linecard::LineCards::start(chassis, *tables_,
                                            [info](std::string_view l) { info(std::string(l)); });
    if (!cards)
        throw std::runtime_error(cards.status().what());
    cards_ = std::move(*cards);
    info("line cards: the kernel pipeline is loaded");
    // The pipeline's per-frame events, written while the chassis trace is on.
    loop_.watch(tables_->eventsFd(), EPOLLIN, [this](uint32_t) { cards_->readEvents(); });
}

bool KernelDataPlane::wanted(const chassis::ChassisConfig& cfg) {
    return std::any_of(cfg.lineCards.begin(), cfg.lineCards.end(), [](const auto& card) {
        return std::any_of(card.ports.begin(), card.ports.end(),
                           [](const auto& p) { return !p.netdev.empty(); });
    });
}

KernelDataPlane::~KernelDataPlane() {
    loop_.unwatch(tables_->eventsFd());
}

}  // namespace netp
