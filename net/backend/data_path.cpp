#include "net/backend/data_path.h"

#include <arpa/inet.h>
#include <linux/if_ether.h>

#include <algorithm>

#include "net/pipeline/records.h"
#include "platform/kernel.h"
#include "platform/wire/bytes.h"

namespace netp {

void PduQueue::push(uint32_t rxIf, std::span<const uint8_t> frame) {
    const size_t slot = (head_ + count_) % kSlots;
    const size_t len = std::min(frame.size(), size_t{L2PT_TRAP_MAX_LEN});
    std::copy_n(frame.begin(), len, frames_.begin() + slot * L2PT_TRAP_MAX_LEN);
    rxIf_[slot] = rxIf;
    len_[slot] = static_cast<uint16_t>(len);
    ++count_;
}

size_t PduQueue::pop(std::span<const std::span<uint8_t>> parts, bool* truncated) {
    uint8_t index[pdudgram::kFrame];
    wire::putU32(index, pdudgram::kIfIndex, rxIf_[head_]);
    const std::span<const uint8_t> pieces[] = {
        index, std::span(frames_).subspan(head_ * L2PT_TRAP_MAX_LEN, len_[head_])};
    size_t part = 0;
    size_t at = 0;  // in parts[part]
    size_t total = 0;
    for (std::span<const uint8_t> piece : pieces) {
        total += piece.size();
        while (!piece.empty() && part < parts.size()) {
            const size_t n = std::min(piece.size(), parts[part].size() - at);
            std::copy_n(piece.begin(), n, parts[part].begin() + at);
            piece = piece.subspan(n);
            at += n;
            if (at == parts[part].size()) {
                ++part;
                at = 0;
            }
        }
        if (truncated != nullptr && !piece.empty())
            *truncated = true;
    }
    head_ = (head_ + 1) % kSlots;
    --count_;
    return total;
}

pipeline::Result<std::unique_ptr<DataPath>> DataPath::open(uint16_t generation, size_t ringBytes,
                                                           Fds fds, const chassis::IfDb& db) {
    pipeline::Result<pipeline::TableView> view = pipeline::TableView::map(
        {std::move(fds[datapath::kGlobals]), std::move(fds[datapath::kLports]),
         std::move(fds[datapath::kVlans])});
    if (!view)
        return view.status();
    pipeline::Result<pipeline::TrapRing> ring =
        pipeline::TrapRing::map(std::move(fds[datapath::kRing]), ringBytes);
    if (!ring)
        return ring.status();
    return std::make_unique<DataPath>(Opened{}, generation, std::move(*ring),
                                      std::move(fds[datapath::kTx]), std::move(*view), db);
}

DataPath::DataPath(Opened, uint16_t generation, pipeline::TrapRing ring, Fd tx,
                   pipeline::TableView view, const chassis::IfDb& db)
    : generation_(generation),
      ring_(std::move(ring)),
      txSock_(std::move(tx)),
      view_(std::move(view)),
      db_(db) {}

PduQueue* DataPath::queue(int protocol) {
    return protocol == OZML2STP ? &access_ : protocol == OZML2L2PT ? &tunnel_ : nullptr;
}

void DataPath::drain() {
    for (bool first = true;; first = false) {
        const std::span<const uint8_t> rec = ring_.peek();
        if (rec.empty())
            return;
        if (first) {
            const auto now = std::chrono::steady_clock::now();
            lastGap_ = now - lastPdu_;
            lastPdu_ = now;
        }
        const auto trap = pipeline::parseTrapRecord(rec);
        PduQueue* q = trap ? queue(trap->socket) : nullptr;
        if (q == nullptr) {
            ++malformed_;
        } else if (q->full()) {
            ring_.publish();
            return;  // left in the ring until the task has read some: nothing is lost here
        } else {
            q->push(trap->rxIf, trap->frame);
            ++taken_;
        }
        ring_.release();
    }
}

bool DataPath::awaitBriefly() {
    using namespace std::chrono;
    const auto spin = microseconds(kSpinUs);
    if (lastGap_ >= spin)
        return false;
    for (const auto end = steady_clock::now() + spin; steady_clock::now() < end;) {
        if (!ring_.peek().empty())
            return true;
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();  // the sibling hyperthread runs meanwhile
#endif
    }
    return false;
}

EgressFault DataPath::send(uint32_t egressIf, std::span<const uint8_t> frame) {
    if (frame.size() > TaskBatch::kMaxFrame - L2PT_TAG_LEN)
        return EgressFault::TooLong;
    const Egress e = resolveEgress(view_, db_, egressIf, frame);
    if (e.fault != EgressFault::None)
        return e.fault;
    const std::span<const uint8_t> out(scratch_.data(), egressFrame(e, frame, scratch_));
    if (tx_.join(e.ifindex, out, (view_.globals().flags & L2PT_G_TX_RETAG) != 0))
        return EgressFault::None;
    if (tx_.full())
        flush();
    return tx_.append(e.ifindex, out) ? EgressFault::None : EgressFault::TooLong;
}

void DataPath::flush() {
    tx_.flush(txSock_.get(), MSG_DONTWAIT, [this](size_t) {
        ++refused_.count;
        refused_.lastErrno = errno;
    });
}

}  // namespace netp
