// The chassis loader: a chassis file is either loaded and its references resolved into a
// chassis, or refused with a ConfigError; anything else escaping is a fault.
#include <string_view>

#include "chassis/chassis.h"
#include "chassis/config.h"

namespace {

// The task is not running: nothing is sent to it while a chassis is built.
class NoTask final : public chassis::TaskLink {
  public:
    void toTask(std::vector<uint8_t>) override {}
    bool toPduSocket(int, uint32_t, std::span<const uint8_t>) override { return false; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    try {
        const auto cfg = chassis::loadChassisText(
            std::string_view(reinterpret_cast<const char*>(data), size), "fuzz.yaml");
        NoTask task;
        chassis::Chassis built(cfg, task);
    } catch (const chassis::ConfigError&) {
    }
    return 0;
}
