// Process entry: brings the platform up, spawns the task and ends the initial thread.
#include <pthread.h>

#include "platform/process.h"
#include "task/task_main.h"

int main(int argc, char** argv, char** envp) {
    if (OZM_NbsdpInit(argc, argv, envp) != 0) {
        return 0;
    }
    taskSpawn(L2PT_TASK_NAME, L2PT_TASK_PRIORITY, L2PT_TASK_OPTIONS, L2PT_TASK_STACK_SIZE,
              l2ptTaskMain, argc, argv, 0, 0, 0, 0, 0, 0, 0, 0);
    ozmDdbInit(argv);
    pthread_exit(nullptr);
}
