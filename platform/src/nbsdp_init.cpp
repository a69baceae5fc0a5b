// The platform's start from the command line. Alone in its file: it needs ozmBootBackend,
// which only the programs that boot a backend define.
#include "platform/backend.h"
#include "platform/process.h"

int OZM_NbsdpInit(int argc, char** argv, char** envp) {
    return ozmBootBackend(argc, argv, envp);
}
