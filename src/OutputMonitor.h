#pragma once
// The board's output ports: enable pins switched together or one by one,
// electronic fuses watched through their pins, currents read from sensors,
// and the pixel counts detected per port. Ports are registered at start-up
// by the port layout (channeloutput/PortLayout); Initialize and Cleanup
// are called by kivd around its main loop. The commands that act on it are
// in commands/OutputCommands; its status resource is served at
// /kivd/ports by the daemon's web server.

#include <atomic>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <json/json.h>

#include "http/httpserver.h"

class PinCapabilities;
class SensorSource;

// A port's current sensor: the current is max(raw - offset, 0) * scale.
class CurrentMonitorBase {
public:
    explicit CurrentMonitorBase(const Json::Value& config);
    virtual ~CurrentMonitorBase() {}
    virtual float getRawValue() { return 0; }
    float getCurrent() {
        float v = getRawValue() - offset;
        return (v > 0 ? v : 0) * scale;
    }

    float scale = 0;
    float offset = 0;
};

// Reads a file holding a base-10 integer, the shape of sysfs hwmon
// (curr1_input) and IIO (in_current0_raw) attributes.
class FileCurrentMonitor : public CurrentMonitorBase {
public:
    explicit FileCurrentMonitor(const Json::Value& config);
    ~FileCurrentMonitor() override;
    // The average of three readings; 0 when the file could not be opened.
    float getRawValue() override;

    int fd = -1;
};

// Reads one channel of a source of the sensor service.
class SensorCurrentMonitor : public CurrentMonitorBase {
public:
    explicit SensorCurrentMonitor(const Json::Value& config);
    float getRawValue() override;

    SensorSource* source = nullptr;
    int channel = 0;
};

class PortPinInfo {
public:
    PortPinInfo(const std::string& n, const Json::Value& c) : name(n), config(c) {}
    ~PortPinInfo();

    std::string name;
    Json::Value config;
    bool enabled = false;
    bool fuseTriggered = false;
    bool managed = true;
    int group = 0;
    PinCapabilities* enablePin = nullptr;
    bool enableValue = true;
    PinCapabilities* eFusePin = nullptr;
    int eFuseOKValue = 0;
    PinCapabilities* eFuseInterruptPin = nullptr;
    CurrentMonitorBase* currentMonitor = nullptr;
    int pixelCount = -1;
    int configuredPixelCount = -1;
    std::string lastPixelCountWarning;
};

class OutputMonitor : public httpserver::http_resource {
public:
    static OutputMonitor INSTANCE;
    // Where the status resource is mounted: "kivd" is the daemon's own
    // API prefix, "ports" the resource.
    static constexpr const char* STATUS_PATH = "/kivd/ports";

    OutputMonitor() {}
    ~OutputMonitor() override;

    // Registers the commands (see RegisterCommands) and mounts the status
    // resource. The descriptor map is not used: fuse pins are watched by
    // GPIOManager.
    void Initialize(std::map<int, std::function<bool(int)>>& callbacks);
    // Registers the commands once: the port commands when ports are
    // configured. The port layout calls it before it first switches the
    // ports, whose presets may run those commands at once.
    void RegisterCommands();
    // Lets the presets already triggered (the last switch's among them)
    // run, then removes the commands and the resource and deletes every port.
    void Cleanup();

    void AddPortConfiguration(const std::string& name, const Json::Value& config, bool managed = true);
    PinCapabilities* AddOutputPin(const std::string& portName, const std::string& pinName);

    void EnableOutputs();
    void DisableOutputs();
    // The same, when the setting "AutoEnableOutputs" (default 1) is not 0.
    void AutoEnableOutputs();
    void AutoDisableOutputs();
    // Some managed port is switched on.
    bool OutputsEnabled();
    // False when no port of that name has an enable pin.
    bool SetOutput(const std::string& portName, bool on);

    void lockToGroup(int group);
    bool isPortInGroup(int group, int port);
    void SetPixelCount(int port, int pixelCount, int configuredPixelCount);
    int GetPixelCount(int port);
    std::vector<float> GetPortCurrentValues();

    void checkPixelCounts(const std::string& ports, const std::string& action, int sensitivity);

    // A pixel string of an output on the board (SPIPixels), powered by the
    // port whose "string" names it: the port's channels and configured
    // pixel count become the string's, so the pixel count check counts
    // the string. Called by outputs at start-up; returns the port's index,
    // or -1 when no port names the string.
    int AttachPixelString(const std::string& string, int startChannel, int pixelCount, int channelsPerPixel);
    // The port has power now: its enable pin (if it has one) is on and its
    // fuse (if it has one) reads healthy. Any thread.
    bool PortPowered(int port);

    std::shared_ptr<httpserver::http_response> render_GET(const httpserver::http_request& request) override;
    // POST .../pixelCount and .../stop: what their GETs do, for callers
    // that keep GET for reading.
    std::shared_ptr<httpserver::http_response> render_POST(const httpserver::http_request& request) override;
    // .../pixelCount and .../stop start and stop a test: state-changing
    // whatever the verb.
    HttpAccess access(const httpserver::http_request& request) override;

    // For the port layout, the pixel-count tester and the commands.
    int GetPortCount();
    std::vector<std::string> GetPortNames();
    std::string GetPortName(int port);
    Json::Value GetPortConfig(int port);
    int GetConfiguredPixelCount(int port);
    int GetNumGroups() const { return numGroups; }
    // Pin name -> what a port uses it for ("the enable pin of output port
    // P1"), so that no other user takes a port's pin.
    std::map<std::string, std::string> GetPinUses();
    bool IsInitialized() const { return m_initialized; }

private:
    bool interruptCallback(PinCapabilities* interruptPin);
    bool fuseCallback(PortPinInfo* port);
    void driveOff(PortPinInfo* port);  // lock held
    Json::Value portStatus();

    // created: set when this call put the pin on its list.
    PinCapabilities* addOutputPin(const std::string& portName, const std::string& pinName, bool* created);

    std::list<PinCapabilities*> enablePins;          // driven 1 to enable
    std::list<PinCapabilities*> invertedEnablePins;  // driven 0 to enable ("!")
    std::map<std::string, PinCapabilities*> eFuseInterruptPins;
    // Owned; filled at start-up before Initialize, emptied by Cleanup, so
    // readers on other threads see a fixed list while the daemon runs.
    std::vector<PortPinInfo*> portPins;
    // Guards the pin lists, pin writes and every port's enabled,
    // fuseTriggered, pixelCount, configuredPixelCount and
    // lastPixelCountWarning.
    std::mutex lock;
    int numGroups = 1;
    std::atomic<int> curGroup{-1};
    bool m_initialized = false;
    bool m_commandsRegistered = false;  // start-up and shut-down only (main thread)
};
