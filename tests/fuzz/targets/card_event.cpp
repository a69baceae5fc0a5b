// The event service's notifications on the request queue: line cards up, down, removed.
#include "platform/wire/l2pt.h"
#include "tests/fuzz/harness.h"

namespace {
constexpr uint32_t kTypes[] = {MT_EVT_NOTIFICATION};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::control(kTypes, false, {data, size});
    return 0;
}
