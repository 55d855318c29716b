// libFuzzer target: arbitrary datagrams to one of the bridge's inputs,
// built once per protocol (e131_fuzz, artnet_fuzz, ddp_fuzz) with
// KIV_FUZZ_PROTOCOL naming it (see InputFuzzInput.h for the input layout).

#include <cstddef>
#include <cstdint>

#include "InputFuzzInput.h"
#include "log.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    // Lines are formatted (their arguments exercised) but written nowhere.
    SetLogFile("", false);
    KIVLogger::INSTANCE.SetAllLevel(LOG_DEBUG);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    inputfuzz::RunInputFuzz(InputProtocol::KIV_FUZZ_PROTOCOL, data, size);
    return 0;
}
