// Process and task services: spawning, time, and the task's platform identity.
#include "platform/process.h"

#include "platform/backend.h"
#include "platform/src/state.h"

namespace {

constexpr uint32_t kNoTaskKey = 0xFFFFFFFFu;

}  // namespace

void OZM_NbsdpExit() {
    ozm::backend().exitProcess();
}

int taskSpawn(const char* name, int /*priority*/, int /*options*/, int /*stackSize*/,
              OzmTaskEntry entry, int argc, char** argv, long, long, long, long, long, long, long,
              long) {
    if (entry == nullptr) {
        return -1;
    }
    return ozm::backend().spawnTask(name, entry, argc, argv);
}

void ozmDdbInit(char** /*argv*/) {
    ozm::backend().parkMainThread();
}

uint32_t taskIdSelf() {
    return ozm::backend().currentTaskId();
}

int taskDelay(int ticks) {
    ozm::backend().sleepTicks(ticks > 0 ? static_cast<uint64_t>(ticks) : 0);
    return 0;
}

int sysClkRateGet() {
    return OZM_TICKS_PER_SECOND;
}

uint32_t ozmTaskStartup(int /*argc*/, char** /*argv*/, int /*flags*/) {
    if (ozm::fault("ozmTaskStartup")) {
        return kNoTaskKey;
    }
    std::optional<ozm::TaskIdentity> identity = ozm::backend().startTask();
    if (!identity) {
        return kNoTaskKey;
    }
    ozm::detail::TaskState& tasks = ozm::detail::state().tasks;
    uint32_t key = tasks.nextKey++;
    tasks.keys.emplace(key, *identity);
    return key;
}

namespace {

const ozm::TaskIdentity* identityOf(uint32_t taskKey) {
    const auto& keys = ozm::detail::state().tasks.keys;
    auto it = keys.find(taskKey);
    return it != keys.end() ? &it->second : nullptr;
}

}  // namespace

uint32_t ozmTaskGetServiceByKey(uint32_t taskKey) {
    const ozm::TaskIdentity* id = identityOf(taskKey);
    return id != nullptr ? id->service : kNoTaskKey;
}

uint32_t ozmTaskGetInstanceByKey(uint32_t taskKey) {
    const ozm::TaskIdentity* id = identityOf(taskKey);
    return id != nullptr ? id->instance : kNoTaskKey;
}

int ozmTaskReady(uint32_t taskKey) {
    if (identityOf(taskKey) == nullptr) {
        return -1;
    }
    ozm::backend().taskReady();
    return 0;
}
