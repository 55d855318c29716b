#include "services/Hardware.h"

#include <cstdio>

#include "log.h"

int DetectSorvexHardware(bool configure) {
    LogInfo(VB_SETTING, "No Sorvex hardware found on the SPI port\n");
    printf("No Sorvex hardware found on the SPI port\n");
    return 1;
}
