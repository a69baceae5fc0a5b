// The CLI's requests on the request queue: debug filters, show pages, undebug all.
#include "platform/wire/l2pt.h"
#include "tests/fuzz/harness.h"

namespace {
constexpr uint32_t kTypes[] = {MT_CLI_REQ, MT_UNDEBUG_ALL};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::control(kTypes, false, {data, size});
    return 0;
}
