// Process and task services.
#pragma once

#include <cstdint>

// Ticks of taskDelay and ozmTickGet per second.
inline constexpr int OZM_TICKS_PER_SECOND = 100;

using OzmTaskEntry = int (*)(int argc, char** argv);

// Brings the platform layer up from the command line; 0 to go on.
int OZM_NbsdpInit(int argc, char** argv, char** envp);
// Ends the process. Under the simulated chassis it ends the task instead.
void OZM_NbsdpExit();
// Starts a task running entry(argc, argv); returns its task id, or -1.
int taskSpawn(const char* name, int priority, int options, int stackSize, OzmTaskEntry entry,
              int argc, char** argv, long a3, long a4, long a5, long a6, long a7, long a8, long a9,
              long a10);
void ozmDdbInit(char** argv);
uint32_t taskIdSelf();
int taskDelay(int ticks);
int sysClkRateGet();

// The task's platform identity.
uint32_t ozmTaskStartup(int argc, char** argv, int flags);  // key, or (uint32_t)-1
uint32_t ozmTaskGetServiceByKey(uint32_t taskKey);
uint32_t ozmTaskGetInstanceByKey(uint32_t taskKey);
int ozmTaskReady(uint32_t taskKey);
