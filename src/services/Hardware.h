#pragma once
// Board hardware that this build has no drivers for: sensors and cape
// detection. Each initialises, registers no descriptor and reports what it
// ignored. Pins and GPIO inputs are in services/GPIO.h; the live input
// bridge is in bridge/Bridge.h.

#include <functional>
#include <map>
#include <cstdint>
#include <string>

#include <json/json.h>

#include "services/GPIO.h"

// A source of sensor readings with numbered channels (an ADC, a hwmon
// chip). No sources exist without sensor drivers.
class SensorSource {
public:
    virtual ~SensorSource() {}
    virtual void enable(int channel) {}
    virtual int32_t getValue(int channel) { return 0; }
};

class Sensors {
public:
    static Sensors INSTANCE;
    // The source of that name, or null when there is none.
    SensorSource* getSensorSource(const std::string& name) { return nullptr; }
    void updateSensorSources(bool force = false) {}
    void lockToGroup(int group) {}
    void DetectHWSensors() {}
    void addSensorSources(const Json::Value& sources);
    void addSensors(const Json::Value& sensors);
    void Init(std::map<int, std::function<bool(int)>>& callbacks) {}
    void Close() {}
};

// Returns non-zero when no hardware was found (nothing is on this board).
int DetectSorvexHardware(bool configure);
