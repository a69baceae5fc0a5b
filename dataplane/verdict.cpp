#include "dataplane/verdict.h"

#include "dataplane/defs.h"

namespace chassis {

namespace {

static_assert(kDropReasons == L2PT_DP_DROP_REASONS, "one list makes both");

#define L2PT_DROP_REASON_TEXT(c, cpp, key, text) text,
constexpr std::string_view kTexts[] = {L2PT_DROP_REASONS(L2PT_DROP_REASON_TEXT)};
#undef L2PT_DROP_REASON_TEXT

static_assert(static_cast<int>(Verdict::Trapped) == L2PT_VERDICT_TRAPPED &&
                  static_cast<int>(Verdict::Forwarded) == L2PT_VERDICT_FORWARDED &&
                  static_cast<int>(Verdict::Flooded) == L2PT_VERDICT_FLOODED &&
                  static_cast<int>(Verdict::Dropped) == L2PT_VERDICT_DROPPED,
              "Verdict follows enum l2pt_verdict");
static_assert(static_cast<int>(StormClass::Broadcast) == L2PT_STORM_BROADCAST &&
                  static_cast<int>(StormClass::Multicast) == L2PT_STORM_MULTICAST &&
                  static_cast<int>(StormClass::UnknownUnicast) == L2PT_STORM_UNKNOWN &&
                  kStormClasses == L2PT_STORM_CLASSES,
              "StormClass follows enum l2pt_storm_class");
static_assert(kSocketAccess == L2PT_SOCKET_ACCESS && kSocketTunnel == L2PT_SOCKET_TUNNEL);

}  // namespace

std::string_view dropReasonName(DropReason reason) {
    const auto r = static_cast<size_t>(reason);
    return r < kDropReasons ? kTexts[r] : "unknown";
}

}  // namespace chassis
