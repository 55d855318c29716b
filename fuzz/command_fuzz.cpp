// libFuzzer target: HTTP requests to the command path through the access
// rules, the body parser and the command arguments (input layout in
// NetworkFuzzInputs.h).

#include <cstddef>
#include <cstdint>

#include "NetworkFuzzInputs.h"
#include "log.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Lines are formatted (their arguments exercised) but written nowhere.
    SetLogFile("", false);
    KIVLogger::INSTANCE.SetAllLevel(LOG_DEBUG);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    netfuzz::RunCommandRequest(data, size);
    return 0;
}
