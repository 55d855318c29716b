#include "channeloutput/PortLayout.h"

#include <set>

#include <json/json.h>

#include "OutputMonitor.h"
#include "Warnings.h"
#include "common.h"
#include "log.h"
#include "settings.h"

std::string PortLayoutFilePath() { return getKIVMediaDir("/config/output-ports.json"); }

namespace {

void refuse(const std::string& text) {
    LogErr(VB_CHANNELOUT, "%s\n", text.c_str());
    WarningHolder::AddWarning(text);
}

const std::set<std::string> STRING_KEYS = {"name",        "enablePin", "eFusePin", "eFuseInterruptPin",
                                           "description", "string"};
const std::set<std::string> INT_KEYS = {"group", "pixelCount", "startChannel", "channelsPerPixel"};
const std::set<std::string> NUMBER_KEYS = {"mAPerPixel", "row", "col"};
const std::set<std::string> SENSOR_KEYS = {"path", "sensor", "channel", "scale", "offset"};

// The reason an entry cannot be used, or empty.
std::string checkEntry(const Json::Value& e, const std::string& name) {
    for (auto& key : e.getMemberNames()) {
        const Json::Value& v = e[key];
        bool ok = true;
        if (STRING_KEYS.count(key)) {
            ok = v.isString();
        } else if (INT_KEYS.count(key)) {
            ok = v.isInt();
        } else if (NUMBER_KEYS.count(key)) {
            ok = v.isNumeric();
        } else if (key == "managed") {
            ok = v.isBool();
        } else if (key == "currentSensor") {
            if (!v.isObject()) return "\"currentSensor\" must be an object";
            if (!v["path"].isString() && !v["sensor"].isString()) {
                return "\"currentSensor\" needs a \"path\" (a file) or a \"sensor\" (a sensor source)";
            }
            for (auto& k : v.getMemberNames()) {
                if (!SENSOR_KEYS.count(k)) return "\"currentSensor\" has an unknown key \"" + k + "\"";
            }
            if (v.isMember("scale") && !v["scale"].isNumeric()) return "\"scale\" must be a number";
            if (v.isMember("offset") && !v["offset"].isNumeric()) return "\"offset\" must be a number";
            if (v.isMember("channel") && !v["channel"].isInt()) return "\"channel\" must be an integer";
        } else {
            return "unknown key \"" + key + "\"";
        }
        if (!ok) return "\"" + key + "\" has the wrong type";
    }
    return "";
}

}  // namespace

int LoadPortLayout(const std::string& path) {
    LogDebug(VB_CHANNELOUT, "LoadPortLayout(%s)\n", path.c_str());
    if (!FileExists(path)) {
        LogInfo(VB_CHANNELOUT, "No output port layout %s; no ports are monitored\n", path.c_str());
        return 0;
    }
    Json::Value doc;
    std::string first;
    if (!ParseJson(GetFileContents(path), doc, &first)) {
        refuse("Output port layout " + path + " is not valid JSON (" + first + "); no ports are monitored");
        return 0;
    }
    if (!doc.isObject() || !doc["ports"].isArray()) {
        refuse("Output port layout " + path + " needs a \"ports\" array; no ports are monitored");
        return 0;
    }
    OutputMonitor& mon = OutputMonitor::INSTANCE;
    std::set<std::string> names;
    int added = 0;
    const Json::Value& ports = doc["ports"];
    for (Json::ArrayIndex i = 0; i < ports.size(); ++i) {
        const Json::Value& e = ports[i];
        std::string where = "Output port " + std::to_string(i + 1) + " in " + path;
        if (!e.isObject() || !e["name"].isString() || e["name"].asString().empty()) {
            refuse(where + " has no \"name\"; ignored");
            continue;
        }
        std::string name = e["name"].asString();
        where = "Output port \"" + name + "\" in " + path;
        if (names.count(name)) {
            refuse(where + " is defined twice; the second one is ignored");
            continue;
        }
        std::string problem = checkEntry(e, name);
        if (!problem.empty()) {
            refuse(where + ": " + problem + "; ignored");
            continue;
        }
        names.insert(name);
        if (e["currentSensor"].isObject() && !e["currentSensor"].isMember("scale")) {
            LogWarn(VB_CHANNELOUT, "%s: \"currentSensor\" has no \"scale\"; its current reads 0\n", where.c_str());
        }
        int before = mon.GetPortCount();
        mon.AddPortConfiguration(name, e, e.get("managed", true).asBool());
        if (mon.GetPortCount() == before) continue;  // nothing to monitor; logged
        ++added;
        if (e.isMember("pixelCount")) {
            mon.SetPixelCount(before, -1, e["pixelCount"].asInt());
        }
    }
    LogInfo(VB_CHANNELOUT, "%d output ports from %s\n", added, path.c_str());
    if (added) {
        // The presets of the switch may name the port commands.
        mon.RegisterCommands();
        mon.AutoEnableOutputs();
    }
    return added;
}

void ClosePortLayout() {
    if (OutputMonitor::INSTANCE.GetPortCount()) OutputMonitor::INSTANCE.AutoDisableOutputs();
}
