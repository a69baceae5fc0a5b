// IFM's sequenced configuration messages on the request queue: rate limit, tunnel MAC,
// VLAN ports, LAG members, VMAN TPID.
#include "platform/wire/l2pt.h"
#include "tests/fuzz/harness.h"

namespace {
constexpr uint32_t kTypes[] = {MT_L2PT_RATE_LIMIT,         MT_L2PT_MAC,
                               MT_L2PT_ADD_VLAN_PORT,      MT_L2PT_DEL_VLAN_PORT,
                               MT_L2PT_VLAN_PROTO_DISABLE, MT_L2PT_LAG_MEMBER_ADD,
                               MT_L2PT_LAG_MEMBER_DEL,     MT_L2PT_VMAN_PT};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::control(kTypes, true, {data, size});
    return 0;
}
