#include "OutputMonitor.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <set>

#include "Warnings.h"
#include "commands/Commands.h"
#include "commands/OutputCommands.h"
#include "common.h"
#include "http/HttpServer.h"
#include "log.h"
#include "sensors/Sensors.h"
#include "services/GPIO.h"
#include "services/Timers.h"
#include "settings.h"

OutputMonitor OutputMonitor::INSTANCE;

static const std::string FUSE_WARNING = "eFUSE Triggered for ";

CurrentMonitorBase::CurrentMonitorBase(const Json::Value& config) {
    scale = config["scale"].isNumeric() ? config["scale"].asFloat() : 0;
    if (config["offset"].isNumeric()) offset = config["offset"].asFloat();
}

FileCurrentMonitor::FileCurrentMonitor(const Json::Value& config) : CurrentMonitorBase(config) {
    fd = open(SysfsPath(config["path"].asString()).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}

FileCurrentMonitor::~FileCurrentMonitor() {
    if (fd >= 0) close(fd);
}

float FileCurrentMonitor::getRawValue() {
    if (fd < 0) return 0;
    float sum = 0;
    for (int i = 0; i < 3; ++i) {
        // Read from the start with pread: safe when the status page and a
        // pixel-count test read at once. A read that fails counts as 0.
        long long v = 0;
        if (ReadSysfsInteger(fd, v)) sum += v;
    }
    return sum / 3;
}

SensorCurrentMonitor::SensorCurrentMonitor(const Json::Value& config) : CurrentMonitorBase(config) {
    source = Sensors::INSTANCE.getSensorSource(config["sensor"].asString());
    channel = config["channel"].asInt();
    if (source) source->enable(channel);
}

float SensorCurrentMonitor::getRawValue() { return source ? (float)source->getValue(channel) : 0; }

PortPinInfo::~PortPinInfo() { delete currentMonitor; }

OutputMonitor::~OutputMonitor() {
    for (auto* p : portPins) delete p;
}

namespace {
// "!" (inverted), then "-" (pull-down) or "+" (pull-up), then the name.
struct PinName {
    std::string name;
    bool inverted = false;
    std::string mode = "gpio";
};

PinName parsePinName(std::string s) {
    PinName p;
    if (!s.empty() && s[0] == '!') {
        p.inverted = true;
        s = s.substr(1);
    }
    if (!s.empty() && s[0] == '-') {
        p.mode = "gpio_pd";
        s = s.substr(1);
    } else if (!s.empty() && s[0] == '+') {
        p.mode = "gpio_pu";
        s = s.substr(1);
    }
    p.name = s;
    return p;
}

std::string stringKey(const Json::Value& config, const char* key) {
    return config.isMember(key) && config[key].isString() ? config[key].asString() : "";
}

void warnAndRaise(const std::string& text) {
    LogWarn(VB_CHANNELOUT, "%s\n", text.c_str());
    WarningHolder::AddWarning(text);
}
}  // namespace

void OutputMonitor::Initialize(std::map<int, std::function<bool(int)>>& callbacks) {
    LogDebug(VB_CHANNELOUT, "OutputMonitor::Initialize()\n");
    RegisterCommands();
    if (!HttpServer::INSTANCE.RegisterResource(STATUS_PATH, this, true)) {
        LogWarn(VB_CHANNELOUT, "Port status resource cannot be mounted at %s\n", STATUS_PATH);
    }
    m_initialized = true;
}

void OutputMonitor::RegisterCommands() {
    if (m_commandsRegistered) return;
    RegisterOutputCommands(!portPins.empty());
    m_commandsRegistered = true;
}

void OutputMonitor::Cleanup() {
    LogDebug(VB_CHANNELOUT, "OutputMonitor::Cleanup()\n");
    if (m_initialized) {
        Timers::INSTANCE.stopPeriodicTimer("CheckPixelCount");
        HttpServer::INSTANCE.UnregisterResource(STATUS_PATH);
        m_initialized = false;
    }
    if (m_commandsRegistered) {
        // Presets run on the command worker: the one of the last switch
        // (OUTPUTS_DISABLED at stop, a relay among its commands) may not
        // have run yet.
        CommandManager::INSTANCE.WaitForPresets();
        UnregisterOutputCommands();
        m_commandsRegistered = false;
    }
    std::set<PinCapabilities*> watched;
    std::vector<PortPinInfo*> ports;
    {
        std::lock_guard<std::mutex> l(lock);
        for (auto& e : eFuseInterruptPins) watched.insert(e.second);
        for (auto* p : portPins) {
            if (p->eFusePin && !p->eFuseInterruptPin) watched.insert(p->eFusePin);
        }
        ports.swap(portPins);
        enablePins.clear();
        invertedEnablePins.clear();
        eFuseInterruptPins.clear();
        numGroups = 1;
    }
    // No callback may reach a port once it is gone.
    for (auto* pin : watched) GPIOManager::INSTANCE.RemoveGPIOCallback(pin);
    for (auto* p : ports) {
        WarningHolder::RemoveWarning(FUSE_WARNING + p->name);
        if (!p->lastPixelCountWarning.empty()) WarningHolder::RemoveWarning(p->lastPixelCountWarning);
        delete p;
    }
    curGroup = -1;
}

PinCapabilities* OutputMonitor::AddOutputPin(const std::string& portName, const std::string& pinName) {
    return addOutputPin(portName, pinName, nullptr);
}

PinCapabilities* OutputMonitor::addOutputPin(const std::string& portName, const std::string& pinName, bool* created) {
    std::string pin = pinName;
    bool inverted = false;
    if (!pin.empty() && pin[0] == '!') {
        inverted = true;
        pin = pin.substr(1);
    }
    std::list<PinCapabilities*>& list = inverted ? invertedEnablePins : enablePins;
    {
        std::lock_guard<std::mutex> l(lock);
        for (auto* p : list) {
            if (p->name == pin) return p;
        }
    }
    PinCapabilities* p = PinCapabilities::getPinByName(pin);
    if (!p) {
        warnAndRaise("Could not find pin " + pin + " to enable output " + portName);
        return nullptr;
    }
    std::lock_guard<std::mutex> l(lock);
    list.push_back(p);
    int off = inverted ? 1 : 0;
    p->configPin("gpio", true, off);
    p->setValue(off);
    if (created) *created = true;
    return p;
}

void OutputMonitor::AddPortConfiguration(const std::string& name, const Json::Value& config, bool managed) {
    LogDebug(VB_CHANNELOUT, "AddPortConfiguration(%s)\n", name.c_str());
    PortPinInfo* port = new PortPinInfo(name, config);
    port->managed = managed;

    std::string enable = stringKey(config, "enablePin");
    if (!enable.empty()) {
        bool created = false;
        port->enablePin = addOutputPin(name, enable, &created);
        port->enableValue = enable[0] != '!';
        if (!managed && created) {
            // The pin does not follow the global switch: take off exactly
            // the entry this port added. A pin an earlier port shares stays.
            std::lock_guard<std::mutex> l(lock);
            auto& list = port->enableValue ? enablePins : invertedEnablePins;
            for (auto it = list.begin(); it != list.end(); ++it) {
                if (*it == port->enablePin) {
                    list.erase(it);
                    break;
                }
            }
        }
    }

    if (config.isMember("group") && config["group"].isInt()) {
        port->group = config["group"].asInt();
        if (port->group >= numGroups) numGroups = port->group + 1;
    }

    std::string interrupt = stringKey(config, "eFuseInterruptPin");
    if (!interrupt.empty()) {
        PinName pn = parsePinName(interrupt);
        PinCapabilities* pin = PinCapabilities::getPinByName(pn.name);
        if (!pin) {
            warnAndRaise("Could not find pin " + pn.name + " to handle fuse interrupts for output " + name);
        } else {
            bool isNew;
            {
                std::lock_guard<std::mutex> l(lock);
                isNew = eFuseInterruptPins.emplace(pn.name, pin).second;
            }
            if (isNew) {
                pin->configPin(pn.mode, false);
                GPIOManager::INSTANCE.AddGPIOCallback(pin, [this, pin](int) { return interruptCallback(pin); });
            }
        }
        port->eFuseInterruptPin = pin;
    }

    std::string fuse = stringKey(config, "eFusePin");
    if (!fuse.empty()) {
        PinName pn = parsePinName(fuse);
        port->eFuseOKValue = pn.inverted ? 1 : 0;
        PinCapabilities* pin = PinCapabilities::getPinByName(pn.name);
        if (pin) {
            pin->configPin(pn.mode, false);
            port->eFusePin = pin;
            if (!port->eFuseInterruptPin) {
                GPIOManager::INSTANCE.AddGPIOCallback(pin, [this, port](int) { return fuseCallback(port); });
            }
        } else {
            warnAndRaise("Could not find pin " + pn.name + " to handle fuse for output " + name);
        }
    }

    const Json::Value& cs = config["currentSensor"];
    if (cs.isObject()) {
        if (cs["path"].isString()) {
            auto* m = new FileCurrentMonitor(cs);
            if (m->fd < 0) {
                // The port still registers; its current reads 0.
                warnAndRaise("Could not open current sensor " + cs["path"].asString() + " for output " + name + ": " +
                             strerror(errno));
            }
            port->currentMonitor = m;
        } else if (cs["sensor"].isString()) {
            auto* m = new SensorCurrentMonitor(cs);
            if (!m->source) {
                warnAndRaise("Unknown sensor " + cs["sensor"].asString() + " for the current of output " + name);
            }
            port->currentMonitor = m;
        }
    }

    if (!enable.empty() || port->eFuseInterruptPin || port->eFusePin || port->currentMonitor) {
        std::lock_guard<std::mutex> l(lock);
        portPins.push_back(port);
    } else {
        LogWarn(VB_CHANNELOUT, "Output %s has no enable pin, fuse pin or current sensor; not monitored\n",
                name.c_str());
        delete port;
    }
}

void OutputMonitor::driveOff(PortPinInfo* port) {
    if (port->enablePin) port->enablePin->setValue(port->enableValue ? 0 : 1);
}

bool OutputMonitor::interruptCallback(PinCapabilities* interruptPin) {
    std::vector<std::string> tripped;
    {
        std::lock_guard<std::mutex> l(lock);
        for (auto* port : portPins) {
            if (port->eFuseInterruptPin != interruptPin || !port->eFusePin) continue;
            if (port->eFusePin->getValue() == port->eFuseOKValue) continue;
            driveOff(port);
            if (port->enabled && !port->fuseTriggered) {
                LogWarn(VB_CHANNELOUT, "eFUSE Triggered for %s\n", port->name.c_str());
                WarningHolder::AddWarning(FUSE_WARNING + port->name);
                port->fuseTriggered = true;
                tripped.push_back(port->name);
            }
        }
    }
    // A trip behind a shared interrupt line is announced like one on a
    // port's own fuse line.
    for (auto& name : tripped) {
        std::map<std::string, std::string> keywords{{"PORT", name}};
        CommandManager::INSTANCE.TriggerPreset("EFUSE_TRIGGERED", keywords);
    }
    return true;
}

bool OutputMonitor::fuseCallback(PortPinInfo* port) {
    {
        std::lock_guard<std::mutex> l(lock);
        if (port->eFusePin->getValue() == port->eFuseOKValue) return true;
        driveOff(port);
        if (!port->enabled) return true;
        LogWarn(VB_CHANNELOUT, "eFUSE Triggered for %s\n", port->name.c_str());
        WarningHolder::AddWarning(FUSE_WARNING + port->name);
    }
    std::map<std::string, std::string> keywords{{"PORT", port->name}};
    CommandManager::INSTANCE.TriggerPreset("EFUSE_TRIGGERED", keywords);
    return true;
}

void OutputMonitor::EnableOutputs() {
    {
        std::lock_guard<std::mutex> l(lock);
        if (!enablePins.empty() || !invertedEnablePins.empty()) {
            LogDebug(VB_CHANNELOUT, "Enabling outputs\n");
        }
        PinCapabilities::setMultiPinValue({enablePins.begin(), enablePins.end()}, 1);
        PinCapabilities::setMultiPinValue({invertedEnablePins.begin(), invertedEnablePins.end()}, 0);
        for (auto* port : portPins) {
            if (port->managed) port->enabled = true;
            if (port->eFusePin && port->eFusePin->getValue() == port->eFuseOKValue) {
                WarningHolder::RemoveWarning(FUSE_WARNING + port->name);
                // The next trip of this port is reported again.
                port->fuseTriggered = false;
            }
        }
    }
    CommandManager::INSTANCE.TriggerPreset("OUTPUTS_ENABLED");
}

void OutputMonitor::DisableOutputs() {
    {
        std::lock_guard<std::mutex> l(lock);
        if (!enablePins.empty() || !invertedEnablePins.empty()) {
            LogDebug(VB_CHANNELOUT, "Disabling outputs\n");
        }
        // Ports outside the global switch keep their power, and so their
        // fuse reports.
        for (auto* port : portPins) {
            if (port->managed) port->enabled = false;
        }
        PinCapabilities::setMultiPinValue({enablePins.begin(), enablePins.end()}, 0);
        PinCapabilities::setMultiPinValue({invertedEnablePins.begin(), invertedEnablePins.end()}, 1);
    }
    CommandManager::INSTANCE.TriggerPreset("OUTPUTS_DISABLED");
}

void OutputMonitor::AutoEnableOutputs() {
    if (getSettingInt("AutoEnableOutputs", 1)) EnableOutputs();
}

void OutputMonitor::AutoDisableOutputs() {
    if (getSettingInt("AutoEnableOutputs", 1)) DisableOutputs();
}

bool OutputMonitor::OutputsEnabled() {
    std::lock_guard<std::mutex> l(lock);
    for (auto* port : portPins) {
        if (port->managed && port->enabled) return true;
    }
    return false;
}

bool OutputMonitor::SetOutput(const std::string& portName, bool on) {
    std::lock_guard<std::mutex> l(lock);
    for (auto* port : portPins) {
        if (port->name != portName || !port->enablePin) continue;
        port->fuseTriggered = false;
        port->enabled = on;
        WarningHolder::RemoveWarning(FUSE_WARNING + port->name);
        port->enablePin->setValue(port->enableValue ? on : !on);
        return true;
    }
    return false;
}

void OutputMonitor::lockToGroup(int group) {
    curGroup = group;
    Sensors::INSTANCE.lockToGroup(group);
}

bool OutputMonitor::isPortInGroup(int group, int port) {
    return port >= 0 && port < (int)portPins.size() && portPins[port]->group == group;
}

void OutputMonitor::SetPixelCount(int port, int pixelCount, int configuredPixelCount) {
    if (port < 0 || port >= (int)portPins.size()) return;
    PortPinInfo* p = portPins[port];
    int g = curGroup;
    if (g != -1 && g != p->group) return;
    std::lock_guard<std::mutex> l(lock);
    p->pixelCount = pixelCount;
    p->configuredPixelCount = configuredPixelCount;
}

int OutputMonitor::GetPixelCount(int port) {
    if (port < 0 || port >= (int)portPins.size()) return 0;
    std::lock_guard<std::mutex> l(lock);
    return portPins[port]->pixelCount;
}

std::vector<float> OutputMonitor::GetPortCurrentValues() {
    Sensors::INSTANCE.updateSensorSources(true);
    std::vector<float> values;
    int g = curGroup;
    for (auto* port : portPins) {
        if (!port->currentMonitor || (g != -1 && g != port->group)) {
            values.push_back(0);
        } else {
            values.push_back(port->currentMonitor->getCurrent());
        }
    }
    return values;
}

void OutputMonitor::checkPixelCounts(const std::string& ports, const std::string& action, int sensitivity) {
    std::set<std::string> selected;
    for (auto& item : split(ports, ',')) {
        if (item == "--ALL--") {
            for (auto* p : portPins) selected.insert(p->name);
        } else {
            selected.insert(item);
        }
    }
    for (auto* port : portPins) {
        if (!selected.count(port->name)) continue;
        std::lock_guard<std::mutex> l(lock);
        // Never counted (the test cannot count a port without a current
        // sensor): there is nothing to compare.
        if (port->pixelCount < 0) continue;
        std::string msg;
        if (std::abs(port->configuredPixelCount - port->pixelCount) > sensitivity) {
            msg = port->name + " configured for " + std::to_string(port->configuredPixelCount) + " pixels but " +
                  std::to_string(port->pixelCount) + " pixels detected.";
        }
        if (action == "Warn") {
            if (msg != port->lastPixelCountWarning) {
                if (!port->lastPixelCountWarning.empty()) WarningHolder::RemoveWarning(port->lastPixelCountWarning);
                port->lastPixelCountWarning = msg;
                if (!msg.empty()) WarningHolder::AddWarning(msg);
            }
        } else if (action == "Log") {
            LogInfo(VB_CHANNELOUT, "%s\n", msg.c_str());
        }
    }
}

int OutputMonitor::AttachPixelString(const std::string& string, int startChannel, int pixelCount,
                                     int channelsPerPixel) {
    std::lock_guard<std::mutex> l(lock);
    for (size_t i = 0; i < portPins.size(); ++i) {
        PortPinInfo* port = portPins[i];
        if (!port->config["string"].isString() || port->config["string"].asString() != string) continue;
        if (port->config.isMember("pixelCount") && port->config["pixelCount"].asInt() != pixelCount) {
            LogWarn(VB_CHANNELOUT, "Output port %s: \"pixelCount\" %d is not the %d pixels of string %s; %d is used\n",
                    port->name.c_str(), port->config["pixelCount"].asInt(), pixelCount, string.c_str(), pixelCount);
        }
        port->config["startChannel"] = startChannel;
        port->config["channelsPerPixel"] = channelsPerPixel;
        port->config["pixelCount"] = pixelCount;
        port->configuredPixelCount = pixelCount;
        LogInfo(VB_CHANNELOUT, "Output port %s powers pixel string %s\n", port->name.c_str(), string.c_str());
        return (int)i;
    }
    return -1;
}

bool OutputMonitor::PortPowered(int port) {
    std::lock_guard<std::mutex> l(lock);
    if (port < 0 || port >= (int)portPins.size()) return true;
    PortPinInfo* p = portPins[port];
    if (p->enablePin && p->enablePin->getValue() != (p->enableValue ? 1 : 0)) return false;
    return !p->eFusePin || p->eFusePin->getValue() == p->eFuseOKValue;
}

Json::Value OutputMonitor::portStatus() {
    Json::Value result(Json::arrayValue);
    std::lock_guard<std::mutex> l(lock);
    for (auto* port : portPins) {
        Json::Value p;
        p["name"] = port->name;
        if (port->enablePin) {
            p["enabled"] = port->enablePin->getValue() == (port->enableValue ? 1 : 0);
        }
        if (port->enabled && port->eFusePin) {
            p["status"] = port->eFusePin->getValue() == port->eFuseOKValue;
        } else {
            p["status"] = true;
        }
        if (port->currentMonitor) {
            p["ma"] = (int)std::lround(port->currentMonitor->getCurrent());
        }
        if (port->config.isMember("row")) p["row"] = port->config["row"];
        if (port->config.isMember("col")) p["col"] = port->config["col"];
        if (port->config.isMember("string")) p["string"] = port->config["string"];
        if (port->pixelCount >= 0) p["pixelCount"] = port->pixelCount;
        result.append(p);
    }
    return result;
}

std::shared_ptr<httpserver::http_response> OutputMonitor::render_GET(const httpserver::http_request& request) {
    std::vector<std::string> pieces = request.get_path_pieces();
    if (pieces.size() < 2 || pieces[1] != "ports") {
        return std::make_shared<httpserver::string_response>("Not Found", 404, "text/plain");
    }
    std::string what = pieces.size() > 2 ? pieces[2] : "";
    if (what == "list") {
        Json::Value names(Json::arrayValue);
        names.append("--ALL--");
        for (auto& n : GetPortNames()) names.append(n);
        return std::make_shared<httpserver::string_response>(SaveJsonToString(names), 200, "application/json");
    }
    if (portPins.empty()) {
        return std::make_shared<httpserver::string_response>("[]", 200, "application/json");
    }
    if (what == "pixelCount") {
        CommandManager::INSTANCE.run("Test Start", {"50", "Output Specific", "--ALL--", "999"});
    } else if (what == "stop") {
        CommandManager::INSTANCE.run("Test Stop", {});
    }
    return std::make_shared<httpserver::string_response>(SaveJsonToString(portStatus()), 200, "application/json");
}

static bool startsOrStopsTest(const httpserver::http_request& request) {
    std::string what = request.get_path_piece(2);
    return what == "pixelCount" || what == "stop";
}

std::shared_ptr<httpserver::http_response> OutputMonitor::render_POST(const httpserver::http_request& request) {
    if (!startsOrStopsTest(request)) return http_resource::render_POST(request);
    return render_GET(request);
}

HttpAccess OutputMonitor::access(const httpserver::http_request& request) {
    if (startsOrStopsTest(request)) return HttpAccess::Change();
    return http_resource::access(request);
}

int OutputMonitor::GetPortCount() { return (int)portPins.size(); }

std::vector<std::string> OutputMonitor::GetPortNames() {
    std::vector<std::string> names;
    for (auto* p : portPins) names.push_back(p->name);
    return names;
}

std::string OutputMonitor::GetPortName(int port) {
    return port >= 0 && port < (int)portPins.size() ? portPins[port]->name : "";
}

Json::Value OutputMonitor::GetPortConfig(int port) {
    return port >= 0 && port < (int)portPins.size() ? portPins[port]->config : Json::Value();
}

int OutputMonitor::GetConfiguredPixelCount(int port) {
    if (port < 0 || port >= (int)portPins.size()) return -1;
    std::lock_guard<std::mutex> l(lock);
    return portPins[port]->configuredPixelCount;
}

std::map<std::string, std::string> OutputMonitor::GetPinUses() {
    std::map<std::string, std::string> uses;
    std::lock_guard<std::mutex> l(lock);
    for (auto* p : portPins) {
        if (p->enablePin) uses.emplace(p->enablePin->name, "the enable pin of output port " + p->name);
        if (p->eFusePin) uses.emplace(p->eFusePin->name, "the fuse pin of output port " + p->name);
        if (p->eFuseInterruptPin) {
            uses.emplace(p->eFuseInterruptPin->name, "the fuse interrupt pin of output port " + p->name);
        }
    }
    return uses;
}
