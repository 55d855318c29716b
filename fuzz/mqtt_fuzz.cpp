// libFuzzer target: messages from the MQTT broker: routing and system
// requests (see NetworkFuzzInputs.h for the input layout).

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
    netfuzz::RunMqttMessage(data, size);
    return 0;
}
