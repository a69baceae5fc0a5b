// The peer RPM's messages on the request queue: ACL bitmap updates, registration requests
// and replies.
#include "platform/wire/l2pt.h"
#include "tests/fuzz/harness.h"

namespace {
constexpr uint32_t kTypes[] = {MT_L2PT_ACL_UPDATE_PRPM, MT_L2PT_REG_REQ};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::control(kTypes, false, {data, size});
    return 0;
}
