// The task manager's task disable on the request queue; a task that ends on it is booted
// again for the next input.
#include "platform/wire/l2pt.h"
#include "tests/fuzz/harness.h"

namespace {
constexpr uint32_t kTypes[] = {MT_L2PT_TASK_DISABLE};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::control(kTypes, false, {data, size});
    return 0;
}
