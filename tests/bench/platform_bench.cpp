// The platform's in-process services the task leans on most: pool allocation and release,
// VLAN bitmap walks, and the sequenced-queue round trip of an ACL message (with its block).
#include <benchmark/benchmark.h>

#include <vector>

#include "../unit/platform/fake_backend.h"
#include "platform/bitmap.h"
#include "platform/mem.h"
#include "platform/swp.h"
#include "platform/wire/header.h"
#include "platform/wire/swp.h"

namespace {

constexpr uint32_t kPart = 0x520000;

// A fresh platform with one fixed pool of 20-byte blocks and the task's size classes.
struct Platform {
    Platform() {
        auto backend = std::make_unique<test::FakeBackend>();
        fake = backend.get();
        ozm::installBackend(std::move(backend));
        ozm_memPartFixedInit(kPart, kPart + 5, 0);
        ozmMC_M_memPoolCreate("P", kPart, 0, 20);
        const uint32_t sizes[] = {9300, 8192, 2048, 1516, 1024, 512, 256, 128, 64, 32};
        ozmMC_ozm_memPartVarInit(kPart, 0, sizes, 10);
    }
    ~Platform() { ozm::uninstallBackend(); }
    test::FakeBackend* fake;
};

void BM_FixedAllocFree(benchmark::State& state) {
    Platform platform;
    std::vector<void*> held(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        for (void*& p : held) {
            p = ozmMC_M_memBlockAlloc("l2pt_BCM", 1793, 1, 20, kPart, 0, 0);
        }
        for (void* p : held) {
            ozmMC_M_memBlockFree("l2ptTask", 772, p);
        }
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_FixedAllocFree)->Arg(1)->Arg(100000);

// Walks every set bit of a 4096-bit VLAN bitmap with one bit in `range(0)`.
void BM_BitmapWalk(benchmark::State& state) {
    constexpr int kBits = 4096;
    uint32_t bm[kBits / 32] = {};
    for (int bit = 0; bit < kBits; bit += static_cast<int>(state.range(0))) {
        SET_BIT_BITMAP(bm, bit);
    }
    for (auto _ : state) {
        int count = 0;
        for (int b = GET_FIRST_BIT_BITMAP(bm, kBits); b != -1;
             b = GET_NEXT_BIT_BITMAP(bm, b, kBits)) {
            ++count;
        }
        benchmark::DoNotOptimize(count);
    }
}
BENCHMARK(BM_BitmapWalk)->Arg(1)->Arg(4096);

void* swpMalloc(uint32_t size) {
    return ozmMC_M_memBlockVarAlloc("b", 1, 6, size, kPart, 0, 0);
}
int swpFree(void* p) {
    return ozmMC_M_memBlockVarFree("b", 2, p);
}

// Enqueue of one message and its acknowledgement.
void BM_SwpEnqueueAck(benchmark::State& state) {
    Platform platform;
    uint32_t queue = 0;
    ozmSwpQueueCreateQs(1, 0, 10, 25, 225, 0, 1, 58, 3, 0, 0, 0, swpMalloc, 0, swpFree, nullptr,
                        &queue, -1);
    std::vector<uint8_t> ack(hdr::kSeqHeaderLen, 0);
    swpw::setMagic(ack.data());
    swpw::setKind(ack.data(), swpw::Kind::Ack);
    swpw::setQueue(ack.data(), queue);
    swpw::setSession(ack.data(), ozmSwpGetQueueCtrlBlock(queue)->session);
    for (auto _ : state) {
        auto* msg = static_cast<uint8_t*>(swpMalloc(8192));
        hdr::setMsgLen(msg, 8192);
        ozmSwpEnqueue(queue, msg, 8192);
        swpw::setSeq(ack.data(), ozmSwpGetQueueCtrlBlock(queue)->nextSeq - 1);
        void* block = nullptr;
        ozmSwpDequeue(ack.data(), &block);
        swpFree(block);
        platform.fake->sent.clear();
        platform.fake->timers.clear();
    }
}
BENCHMARK(BM_SwpEnqueueAck);

}  // namespace

BENCHMARK_MAIN();
