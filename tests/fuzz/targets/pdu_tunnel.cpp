// Frames entering core ports, trapped to the tunnelled-PDU socket: the de-tunnelling path.
#include "tests/fuzz/harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::frame(fuzz::kCorePorts, {data, size});
    return 0;
}
