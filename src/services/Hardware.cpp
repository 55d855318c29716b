#include "services/Hardware.h"

#include <cstdio>

#include "log.h"

Sensors Sensors::INSTANCE;

void Sensors::addSensorSources(const Json::Value& sources) {
    if (sources.size()) LogWarn(VB_GENERAL, "%d sensor sources ignored: no sensor drivers\n", (int)sources.size());
}

void Sensors::addSensors(const Json::Value& sensors) {
    if (sensors.size()) LogWarn(VB_GENERAL, "%d sensors ignored: no sensor drivers\n", (int)sensors.size());
}

int DetectSorvexHardware(bool configure) {
    LogInfo(VB_SETTING, "No Sorvex hardware found on the SPI port\n");
    printf("No Sorvex hardware found on the SPI port\n");
    return 1;
}
