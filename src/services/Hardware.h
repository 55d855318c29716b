#pragma once
// Board hardware that this build has no drivers for: GPIO inputs, sensors,
// the E1.31 bridge input and cape detection. Each initialises, registers no
// descriptor and reports what it ignored.

#include <functional>
#include <map>
#include <string>

#include <json/json.h>

class PiGPIOPinProvider {
public:
    virtual ~PiGPIOPinProvider() {}
};

class PinCapabilities {
public:
    static void InitGPIO(const std::string& process, PiGPIOPinProvider* provider);
};

class GPIOManager {
public:
    static GPIOManager INSTANCE;
    void Initialize(std::map<int, std::function<bool(int)>>& callbacks) {}
    void CheckGPIOInputs() {}
    void Cleanup() {}
};

class Sensors {
public:
    static Sensors INSTANCE;
    void DetectHWSensors() {}
    void addSensorSources(const Json::Value& sources);
    void addSensors(const Json::Value& sensors);
    void Init(std::map<int, std::function<bool(int)>>& callbacks) {}
    void Close() {}
};

void Bridge_Initialize(std::map<int, std::function<bool(int)>>& callbacks);
void Bridge_Shutdown();

// Returns non-zero when no hardware was found (nothing is on this board).
int DetectSorvexHardware(bool configure);
