#include "sensors/Sensors.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>

#include "Events.h"
#include "Warnings.h"
#include "commands/Commands.h"
#include "common.h"
#include "log.h"
#include "settings.h"

Sensors Sensors::INSTANCE;

namespace {

constexpr int MIN_INTERVAL_MS = 100;
constexpr int MAX_INTERVAL_MS = 3600000;

// Where the kernel lists each kind of source, and the prefix of its entries.
struct SourceFolder {
    const char* folder;
    const char* prefix;
};
const SourceFolder SOURCE_FOLDERS[] = {
    {"/class/thermal", "thermal_zone"}, {"/class/hwmon", "hwmon"}, {"/bus/iio/devices", "iio:device"}};

const std::set<std::string> SENSOR_KEYS = {"name", "source", "channel",    "scale",      "offset",
                                           "unit", "hidden", "thresholds", "description"};
const std::set<std::string> THRESHOLD_KEYS = {"above", "below", "hysteresis", "warning", "preset", "clearPreset"};

void refuse(const std::string& text) {
    LogErr(VB_GENERAL, "%s\n", text.c_str());
    WarningHolder::AddWarning(text);
}

// thermal_zone2 before thermal_zone10.
bool entryOrder(const std::string& a, const std::string& b) {
    size_t da = a.find_first_of("0123456789"), db = b.find_first_of("0123456789");
    std::string pa = a.substr(0, da), pb = b.substr(0, db);
    if (pa != pb || da == std::string::npos || db == std::string::npos) return a < b;
    return atol(a.c_str() + da) < atol(b.c_str() + db);
}

// Topic levels may not carry the separator or the wildcards.
std::string topicSafe(std::string s) {
    for (char& c : s) {
        if (c == '/' || c == '+' || c == '#') c = '_';
    }
    return s;
}

std::string defaultName(const SensorSource& src, const SensorSource::Channel& c) {
    if (src.type() == "thermal") return src.name();
    return src.name() + " " + (c.label.empty() ? c.id : c.label);
}

struct Action {
    enum { AddWarning, RemoveWarning, Preset, Publish } what;
    std::string text;
    std::string payload;  // Publish
    std::map<std::string, std::string> keywords;
};

}  // namespace

std::string Sensors::format(double v) {
    char buf[64];
    snprintf(buf, sizeof(buf), "%.3f", v);
    std::string s = buf;
    if (s.find('.') != std::string::npos) {
        while (s.back() == '0') s.pop_back();
        if (s.back() == '.') s.pop_back();
    }
    if (s == "-0") s = "0";
    return s;
}

bool Sensors::LoadDefinitions(const std::string& path, Json::Value& doc) {
    if (!FileExists(path)) return false;
    std::string error;
    if (!ParseJson(GetFileContents(path), doc, &error)) {
        refuse("Sensor definitions " + path + " are not valid JSON (" + error + "); none are used");
        return false;
    }
    if (!doc.isObject() || !doc["sensors"].isArray()) {
        refuse("Sensor definitions " + path + " need a \"sensors\" array; none are used");
        return false;
    }
    return true;
}

SensorSource* Sensors::findSource(const std::string& name) {
    auto a = m_aliases.find(name);
    if (a != m_aliases.end()) return a->second;
    for (auto& s : m_sources) {
        if (s->name() == name) return s.get();
    }
    for (auto& s : m_sources) {
        if (s->id() == name) return s.get();
    }
    return nullptr;
}

SensorSource* Sensors::getSensorSource(const std::string& name) {
    std::lock_guard<std::mutex> lock(m_lock);
    return findSource(name);
}

void Sensors::DetectHWSensors() {
    std::string root = SysfsRoot();
    LogDebug(VB_GENERAL, "DetectHWSensors(%s)\n", root.c_str());
    std::vector<std::unique_ptr<SensorSource>> found;
    for (auto& f : SOURCE_FOLDERS) {
        std::error_code ec;
        std::vector<std::string> ids;
        for (auto& e : std::filesystem::directory_iterator(root + f.folder, ec)) {
            std::string id = e.path().filename().string();
            if (startsWith(id, f.prefix)) ids.push_back(id);
        }
        std::sort(ids.begin(), ids.end(), entryOrder);
        for (auto& id : ids) {
            auto src = SensorSource::FromDirectory(root + f.folder + "/" + id, id);
            if (src) found.push_back(std::move(src));
        }
    }
    std::lock_guard<std::mutex> lock(m_lock);
    for (auto& src : found) {
        SensorSource* earlier = findSource(src->name());
        if (earlier) {
            LogInfo(VB_GENERAL, "Sensor sources %s and %s are both named %s; %s is reached by its id\n",
                    earlier->id().c_str(), src->id().c_str(), src->name().c_str(), src->id().c_str());
        }
        LogInfo(VB_GENERAL, "Sensor source %s (%s, %s): %d channels\n", src->name().c_str(), src->id().c_str(),
                src->type().c_str(), (int)src->channelCount());
        m_sources.push_back(std::move(src));
        SensorSource* s = m_sources.back().get();
        for (size_t i = 0; i < s->channelCount(); ++i) {
            Sensor sensor;
            sensor.source = s;
            sensor.channel = i;
            sensor.name = defaultName(*s, s->channel(i));
            for (auto& other : m_sensors) {
                if (other.name == sensor.name) sensor.name = s->id() + " " + s->channel(i).id;
            }
            sensor.unit = s->channel(i).unit;
            s->enableIndex(i);
            m_sensors.push_back(sensor);
        }
    }
}

void Sensors::addSensorSources(const Json::Value& sources) {
    if (!sources.isArray()) return;
    std::vector<std::string> refused;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        for (Json::ArrayIndex i = 0; i < sources.size(); ++i) {
            const Json::Value& e = sources[i];
            if (!e.isObject() || !e["name"].isString() || !e["path"].isString()) {
                refused.push_back("Sensor source " + std::to_string(i + 1) +
                                  " needs a \"name\" and a \"path\"; ignored");
                continue;
            }
            std::string name = e["name"].asString();
            std::string path = SysfsPath(e["path"].asString());
            // A directory found at start already is the same source.
            std::error_code ec;
            std::string real = std::filesystem::canonical(path, ec).string();
            SensorSource* known = nullptr;
            for (auto& s : m_sources) {
                std::error_code other;
                if (!ec && std::filesystem::canonical(s->path(), other).string() == real) known = s.get();
            }
            if (!known) {
                auto src = SensorSource::FromDirectory(path, std::filesystem::path(path).filename().string());
                if (!src) {
                    refused.push_back("Sensor source \"" + name + "\": " + path + " holds no sensor readings; ignored");
                    continue;
                }
                m_sources.push_back(std::move(src));
                known = m_sources.back().get();
                for (size_t c = 0; c < known->channelCount(); ++c) {
                    Sensor sensor;
                    sensor.source = known;
                    sensor.channel = c;
                    sensor.name = name + " " + known->channel(c).id;
                    sensor.unit = known->channel(c).unit;
                    known->enableIndex(c);
                    m_sensors.push_back(sensor);
                }
            }
            m_aliases[name] = known;
            LogInfo(VB_GENERAL, "Sensor source %s is %s\n", name.c_str(), known->path().c_str());
        }
    }
    for (auto& r : refused) refuse(r);
}

std::string Sensors::refuseSensor(const Json::Value& e, Sensor& s) {
    for (auto& key : e.getMemberNames()) {
        if (!SENSOR_KEYS.count(key)) return "unknown key \"" + key + "\"";
    }
    if (!e["source"].isString()) return "\"source\" must name a sensor source";
    if (!e["channel"].isString()) return "\"channel\" must name a channel of the source (\"temp1\", \"in0\", ...)";
    for (const char* k : {"scale", "offset"}) {
        if (e.isMember(k) && !e[k].isNumeric()) return "\"" + std::string(k) + "\" must be a number";
    }
    if (e.isMember("unit") && !e["unit"].isString()) return "\"unit\" must be a string";
    if (e.isMember("hidden") && !e["hidden"].isBool()) return "\"hidden\" must be true or false";
    if (e.isMember("thresholds") && !e["thresholds"].isArray()) return "\"thresholds\" must be an array";
    SensorSource* src = findSource(e["source"].asString());
    if (!src) return "no sensor source \"" + e["source"].asString() + "\" on this board";
    int ch = src->findChannel(e["channel"].asString());
    if (ch < 0) {
        std::string have;
        for (size_t i = 0; i < src->channelCount(); ++i) have += (have.empty() ? "" : ", ") + src->channel(i).id;
        return "source " + src->name() + " has no channel \"" + e["channel"].asString() + "\" (it has " + have + ")";
    }
    s.source = src;
    s.channel = (size_t)ch;
    s.scale = e.get("scale", 1.0).asDouble();
    s.offset = e.get("offset", 0.0).asDouble();
    s.unit = e.isMember("unit") ? e["unit"].asString() : src->channel(ch).unit;
    s.hidden = e.get("hidden", false).asBool();
    const Json::Value& ts = e["thresholds"];
    for (Json::ArrayIndex i = 0; i < ts.size(); ++i) {
        const Json::Value& t = ts[i];
        std::string where = "threshold " + std::to_string(i + 1);
        if (!t.isObject()) return where + " must be an object";
        for (auto& key : t.getMemberNames()) {
            if (!THRESHOLD_KEYS.count(key)) return where + " has an unknown key \"" + key + "\"";
        }
        if (t.isMember("above") == t.isMember("below")) return where + " needs \"above\" or \"below\" (one of them)";
        Threshold th;
        th.above = t.isMember("above");
        const Json::Value& limit = th.above ? t["above"] : t["below"];
        if (!limit.isNumeric()) return where + ": the limit must be a number";
        th.limit = limit.asDouble();
        if (t.isMember("hysteresis") && (!t["hysteresis"].isNumeric() || t["hysteresis"].asDouble() < 0)) {
            return where + ": \"hysteresis\" must be a number of 0 or more";
        }
        th.hysteresis = t.get("hysteresis", 0.0).asDouble();
        for (const char* k : {"warning", "preset", "clearPreset"}) {
            if (t.isMember(k) && !t[k].isString()) return where + ": \"" + std::string(k) + "\" must be a string";
        }
        th.warning = t.get("warning", "").asString();
        if (th.warning.empty()) {
            th.warning = "Sensor " + s.name + " is " + (th.above ? "above " : "below ") + format(th.limit) +
                         (s.unit.empty() ? "" : " " + s.unit);
        }
        th.preset = t.get("preset", "").asString();
        th.clearPreset = t.get("clearPreset", "").asString();
        s.thresholds.push_back(th);
    }
    return "";
}

void Sensors::addSensors(const Json::Value& sensors) {
    if (!sensors.isArray()) return;
    std::vector<std::string> refused;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        std::set<std::string> seen;
        for (Json::ArrayIndex i = 0; i < sensors.size(); ++i) {
            const Json::Value& e = sensors[i];
            if (!e.isObject() || !e["name"].isString() || e["name"].asString().empty()) {
                refused.push_back("Sensor definition " + std::to_string(i + 1) + " has no \"name\"; ignored");
                continue;
            }
            Sensor s;
            s.name = e["name"].asString();
            s.configured = true;
            std::string where = "Sensor \"" + s.name + "\"";
            if (seen.count(s.name)) {
                refused.push_back(where + " is defined twice; the second one is ignored");
                continue;
            }
            std::string problem = refuseSensor(e, s);
            if (!problem.empty()) {
                refused.push_back(where + ": " + problem + "; ignored");
                continue;
            }
            seen.insert(s.name);
            // The definition takes the place of what was there for that
            // channel; a detected channel of that name makes room.
            Sensor* slot = nullptr;
            for (auto& other : m_sensors) {
                if (other.source == s.source && other.channel == s.channel) {
                    slot = &other;
                } else if (other.name == s.name) {
                    other.name = other.source->id() + " " + other.source->channel(other.channel).id;
                }
            }
            // A port that reads a hidden channel enables it again later.
            s.source->enableIndex(s.channel, !s.hidden);
            if (slot) {
                *slot = s;
            } else {
                m_sensors.push_back(s);
            }
            LogDebug(VB_GENERAL, "Sensor %s is %s %s\n", s.name.c_str(), s.source->name().c_str(),
                     s.source->channel(s.channel).id.c_str());
        }
    }
    for (auto& r : refused) refuse(r);
}

void Sensors::Init(std::map<int, std::function<bool(int)>>& callbacks) {
    LogDebug(VB_GENERAL, "Sensors::Init()\n");
    std::lock_guard<std::mutex> lock(m_lock);
    bool any = std::any_of(m_sensors.begin(), m_sensors.end(), [](const Sensor& s) { return !s.hidden; });
    if (!any || m_thread.joinable()) return;
    m_stop = false;
    m_thread = std::thread(&Sensors::readerMain, this);
}

void Sensors::Close() {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_stop = true;
        m_cv.notify_all();
    }
    if (m_thread.joinable()) m_thread.join();
    std::vector<std::string> warnings;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        for (auto& s : m_sensors) {
            for (auto& t : s.thresholds) {
                if (t.active) warnings.push_back(t.warning);
            }
            if (!s.readWarning.empty()) warnings.push_back(s.readWarning);
        }
        m_sensors.clear();
        m_aliases.clear();
        m_group = -1;
        m_lastDocument.clear();
    }
    for (auto& w : warnings) WarningHolder::RemoveWarning(w);
    std::lock_guard<std::mutex> readLock(m_readLock);
    std::lock_guard<std::mutex> lock(m_lock);
    m_sources.clear();
    m_lastRead = 0;
}

void Sensors::lockToGroup(int group) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_group = group;
    m_cv.notify_all();
}

void Sensors::readSources() {
    std::vector<SensorSource*> sources;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        for (auto& s : m_sources) sources.push_back(s.get());
    }
    for (auto* s : sources) s->update();
    m_lastRead = GetTimeMS();
}

void Sensors::updateSensorSources(bool force) {
    int interval =
        std::clamp(getSettingInt("SensorReadInterval", DEFAULT_INTERVAL_MS), MIN_INTERVAL_MS, MAX_INTERVAL_MS);
    std::lock_guard<std::mutex> readLock(m_readLock);
    if (force || GetTimeMS() - m_lastRead >= interval) readSources();
}

void Sensors::ReadNow() {
    {
        std::lock_guard<std::mutex> readLock(m_readLock);
        readSources();
    }
    evaluate();
}

void Sensors::readerMain() {
    SetThreadName("KIV-Sensors");
    int interval =
        std::clamp(getSettingInt("SensorReadInterval", DEFAULT_INTERVAL_MS), MIN_INTERVAL_MS, MAX_INTERVAL_MS);
    LogDebug(VB_GENERAL, "Reading sensors every %d ms\n", interval);
    std::unique_lock<std::mutex> lock(m_lock);
    while (!m_stop) {
        if (m_group < 0) {
            lock.unlock();
            ReadNow();
            lock.lock();
        }
        m_cv.wait_for(lock, std::chrono::milliseconds(interval), [this] { return m_stop; });
    }
}

void Sensors::evaluate() {
    std::vector<Action> actions;
    bool publishing = Events::HasEventHandlers();
    {
        std::lock_guard<std::mutex> lock(m_lock);
        Json::Value doc(Json::arrayValue);
        for (auto& s : m_sensors) {
            if (s.hidden) continue;
            const SensorSource::Channel& c = s.source->channel(s.channel);
            if (!c.ok) {
                s.haveValue = false;
                s.shown = "";
                if (s.configured && s.readWarning.empty()) {
                    s.readWarning = "Sensor " + s.name + " cannot be read (" + c.path + ": " + strerror(c.error) + ")";
                    actions.push_back({Action::AddWarning, s.readWarning});
                }
            } else {
                if (!s.readWarning.empty()) {
                    actions.push_back({Action::RemoveWarning, s.readWarning});
                    s.readWarning.clear();
                }
                s.raw = c.raw;
                s.value = ((double)s.raw + c.offset) * c.scale * s.scale + s.offset;
                s.haveValue = true;
                s.shown = format(s.value);
                for (auto& t : s.thresholds) {
                    bool crossed = t.above ? s.value > t.limit : s.value < t.limit;
                    bool back = t.above ? s.value < t.limit - t.hysteresis : s.value > t.limit + t.hysteresis;
                    std::map<std::string, std::string> keywords{
                        {"SENSOR", s.name}, {"VALUE", s.shown}, {"UNIT", s.unit}, {"LIMIT", format(t.limit)}};
                    if (!t.active && crossed) {
                        t.active = true;
                        LogWarn(VB_GENERAL, "%s (%s%s)\n", t.warning.c_str(), s.shown.c_str(),
                                s.unit.empty() ? "" : (" " + s.unit).c_str());
                        actions.push_back({Action::AddWarning, t.warning});
                        if (!t.preset.empty()) actions.push_back({Action::Preset, t.preset, "", keywords});
                    } else if (t.active && back) {
                        t.active = false;
                        LogInfo(VB_GENERAL, "Cleared: %s (%s%s)\n", t.warning.c_str(), s.shown.c_str(),
                                s.unit.empty() ? "" : (" " + s.unit).c_str());
                        actions.push_back({Action::RemoveWarning, t.warning});
                        if (!t.clearPreset.empty()) actions.push_back({Action::Preset, t.clearPreset, "", keywords});
                    }
                }
            }
            if (publishing && s.shown != s.published) {
                actions.push_back({Action::Publish, "sensors/" + topicSafe(s.name), s.shown});
                s.published = s.shown;
            }
            Json::Value j;
            j["name"] = s.name;
            j["value"] = s.haveValue ? Json::Value(s.value) : Json::Value();
            j["unit"] = s.unit;
            doc.append(j);
        }
        if (publishing) {
            std::string text = SaveJsonToString(doc, "", JSON_DIGITS);
            if (text != m_lastDocument) {
                actions.push_back({Action::Publish, "sensors", text});
                m_lastDocument = text;
            }
        }
    }
    for (auto& a : actions) {
        switch (a.what) {
            case Action::AddWarning:
                WarningHolder::AddWarning(a.text);
                break;
            case Action::RemoveWarning:
                WarningHolder::RemoveWarning(a.text);
                break;
            case Action::Preset:
                CommandManager::INSTANCE.TriggerPreset(a.text, a.keywords);
                break;
            case Action::Publish:
                Events::Publish(a.text, a.payload);
                break;
        }
    }
}

int Sensors::SensorCount() {
    std::lock_guard<std::mutex> lock(m_lock);
    return (int)std::count_if(m_sensors.begin(), m_sensors.end(), [](const Sensor& s) { return !s.hidden; });
}

Json::Value Sensors::Snapshot() {
    Json::Value out;
    out["sensors"] = Json::Value(Json::arrayValue);
    out["sources"] = Json::Value(Json::arrayValue);
    std::lock_guard<std::mutex> lock(m_lock);
    for (auto& s : m_sensors) {
        if (s.hidden) continue;
        const SensorSource::Channel& c = s.source->channel(s.channel);
        Json::Value j;
        j["name"] = s.name;
        j["kind"] = c.kind;
        j["value"] = s.haveValue ? Json::Value(s.value) : Json::Value();
        j["unit"] = s.unit;
        j["source"] = s.source->name();
        j["channel"] = c.id;
        j["raw"] = (Json::Int64)s.raw;
        j["scale"] = s.scale;
        j["offset"] = s.offset;
        j["topic"] = "sensors/" + topicSafe(s.name);
        bool alarm = false;
        j["thresholds"] = Json::Value(Json::arrayValue);
        for (auto& t : s.thresholds) {
            Json::Value tj;
            tj[t.above ? "above" : "below"] = t.limit;
            tj["hysteresis"] = t.hysteresis;
            tj["active"] = t.active;
            j["thresholds"].append(tj);
            alarm |= t.active;
        }
        j["alarm"] = alarm;
        if (!s.readWarning.empty() || (!s.haveValue && c.error)) j["error"] = strerror(c.error);
        out["sensors"].append(j);
    }
    for (auto& src : m_sources) {
        Json::Value j;
        j["name"] = src->name();
        j["id"] = src->id();
        j["type"] = src->type();
        j["path"] = src->path();
        j["channels"] = Json::Value(Json::arrayValue);
        for (size_t i = 0; i < src->channelCount(); ++i) j["channels"].append(src->channel(i).id);
        out["sources"].append(j);
    }
    return out;
}
