// Frames entering access ports, trapped to the access-port socket: the tunnelling path.
#include "tests/fuzz/harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::frame(fuzz::kAccessPorts, {data, size});
    return 0;
}
