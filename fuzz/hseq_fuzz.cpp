// libFuzzer target: arbitrary bytes opened as a sequence file and read
// with arbitrary ranges (see HSEQFuzzInput.h for the input layout).

#include <cstddef>
#include <cstdint>

#include "HSEQFuzzInput.h"
#include "log.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    // Lines are formatted (their arguments exercised) but written nowhere.
    SetLogFile("", false);
    KIVLogger::INSTANCE.SetAllLevel(LOG_DEBUG);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    hseqfuzz::RunHSEQFuzzInput(data, size);
    return 0;
}
