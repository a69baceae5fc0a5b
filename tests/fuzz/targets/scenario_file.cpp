// The scenario loader: a scenario for the fuzz chassis is either parsed whole or refused with
// a ScenarioError naming its line; anything else escaping is a fault.
#include <string_view>

#include "chassis/config.h"
#include "chassis/ifdb.h"
#include "chassis/scenario.h"
#include "tests/fuzz/harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const chassis::IfDb db(chassis::loadChassisText(fuzz::kChassis, "fuzz"));
    try {
        chassis::Scenario::parse(std::string_view(reinterpret_cast<const char*>(data), size), db,
                                 "fuzz.scenario");
    } catch (const chassis::ScenarioError&) {
    }
    return 0;
}
