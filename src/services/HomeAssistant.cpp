#include "services/HomeAssistant.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>

#include "Events.h"
#include "LogRateLimit.h"
#include "OutputMonitor.h"
#include "Scheduler.h"
#include "Sequence.h"
#include "Warnings.h"
#include "commands/Commands.h"
#include "common.h"
#include "effects/EffectPlayer.h"
#include "http/APIServer.h"
#include "log.h"
#include "playlist/Player.h"
#include "sensors/Sensors.h"
#include "services/MQTT.h"
#include "settings.h"
#include "sync/MultiSync.h"

HomeAssistant HomeAssistant::INSTANCE;

namespace {

// Below the daemon's base: the entities' states, and the one filter their
// commands arrive on ("/ha/<object>/set").
const char* const STATE = "ha/";
const char* const COMMAND_FILTER = "/ha/+/set";

// Discovery topic levels (node and object ids) allow letters, digits, _ and -.
std::string idSafe(const std::string& s) {
    std::string out = s;
    for (char& c : out) {
        if (!isalnum((unsigned char)c) && c != '_' && c != '-') c = '_';
    }
    return out;
}

// Home Assistant refuses a device class whose unit it does not know for it;
// such a sensor is announced without a class.
std::string deviceClass(const std::string& kind, const std::string& unit) {
    static const std::map<std::string, std::set<std::string>> UNITS = {
        {"temperature", {"°C", "°F", "K"}},
        {"voltage", {"V", "mV", "µV", "kV"}},
        {"current", {"A", "mA"}},
        {"power", {"W", "kW", "mW"}},
    };
    auto it = UNITS.find(kind);
    return it != UNITS.end() && it->second.count(unit) ? kind : "";
}

std::vector<std::string> playlistNames() {
    std::vector<std::string> names;
    if (DIR* d = opendir(getKIVMediaDir("/playlists").c_str())) {
        while (dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n[0] != '.' && endsWith(n, ".json")) names.push_back(n.substr(0, n.size() - 5));
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string configurationUrl(const std::string& hostName) {
    int port = getSettingInt("HTTPPort", APIServer::DEFAULT_PORT);
    if (port <= 0) return "";
    std::string address = getSetting("HTTPBindAddress", "127.0.0.1");
    if (address.empty() || address == "0.0.0.0" || address == "::") {
        // Every address: the one sync announces for this board, else its name.
        Json::Value systems = MultiSync::INSTANCE.GetSystems(true, false)["systems"];
        address = systems.size() && !systems[0]["address"].asString().empty() ? systems[0]["address"].asString()
                                                                                : hostName;
    }
    if (address.find(':') != std::string::npos) address = "[" + address + "]";
    return "http://" + address + ":" + std::to_string(port) + "/";
}

bool contains(const std::vector<std::string>& list, const std::string& s) {
    return std::find(list.begin(), list.end(), s) != list.end();
}

}  // namespace

std::map<std::string, Json::Value> HomeAssistant::Documents(const HomeAssistantBoard& board,
                                                            const std::string& prefix, const std::string& base) {
    std::string node = "kivd_" + idSafe(board.hostName);
    Json::Value device;
    device["identifiers"].append(node);
    device["name"] = board.hostName;
    device["manufacturer"] = "kiv";
    device["model"] = board.model;
    device["sw_version"] = board.version;
    if (!board.configurationUrl.empty()) device["configuration_url"] = board.configurationUrl;

    std::map<std::string, Json::Value> docs;
    auto add = [&](const char* component, const std::string& object, const std::string& name) -> Json::Value& {
        Json::Value& d = docs[prefix + "/" + component + "/" + node + "/" + object + "/config"];
        d["name"] = name;
        d["unique_id"] = node + "_" + object;
        d["object_id"] = node + "_" + object;
        d["device"] = device;
        // The last will of the MQTT client: "0" when kivd is gone.
        d["availability_topic"] = base + "/ready";
        d["payload_available"] = "1";
        d["payload_not_available"] = "0";
        return d;
    };
    auto state = [&](const std::string& object) { return base + "/" + STATE + object; };
    auto command = [&](const std::string& object) { return base + "/ha/" + object + "/set"; };

    const std::pair<const char*, const char*> texts[] = {
        {"status", "Status"}, {"playlist", "Playlist"},         {"sequence", "Sequence"},
        {"song", "Song"},     {"next_scheduled", "Next scheduled"},
    };
    for (auto& t : texts) {
        Json::Value& d = add("sensor", t.first, t.second);
        d["state_topic"] = state(t.first);
    }
    Json::Value& warnings = add("sensor", "warnings", "Warnings");
    warnings["state_topic"] = state("warnings");
    warnings["state_class"] = "measurement";
    warnings["icon"] = "mdi:alert";

    for (auto& s : board.sensors) {
        Json::Value& d = add("sensor", "sensor_" + idSafe(s.name), s.name);
        d["state_topic"] = base + "/" + s.topic;
        // An unreadable sensor publishes an empty value: unknown, not an error.
        d["value_template"] = "{{ value if value | length > 0 else 'None' }}";
        if (!s.unit.empty()) d["unit_of_measurement"] = s.unit;
        std::string cls = deviceClass(s.kind, s.unit);
        if (!cls.empty()) d["device_class"] = cls;
        d["state_class"] = "measurement";
    }

    const std::pair<const char*, const char*> buttons[] = {
        {"stop", "Stop"}, {"stop_gracefully", "Stop gracefully"}, {"start_next_scheduled", "Start next scheduled"}};
    for (auto& b : buttons) {
        Json::Value& d = add("button", b.first, b.second);
        d["command_topic"] = command(b.first);
        d["payload_press"] = PRESS;
    }

    auto select = [&](const std::string& object, const std::string& name, const std::vector<std::string>& list) {
        Json::Value& d = add("select", object, name);
        d["command_topic"] = command(object);
        d["state_topic"] = state(object);
        d["options"].append(NONE_OPTION);
        for (auto& o : list) d["options"].append(o);
    };
    select("start_playlist", "Start playlist", board.playlists);
    select("effect", "Effect", board.effects);

    if (board.outputPorts) {
        Json::Value& d = add("switch", "outputs", "Outputs");
        d["command_topic"] = command("outputs");
        d["state_topic"] = state("outputs");
        d["payload_on"] = "ON";
        d["payload_off"] = "OFF";
    }
    return docs;
}

HomeAssistantRequest HomeAssistant::ParseRequest(const std::string& topic, const std::string& payload,
                                                 const std::vector<std::string>& playlists,
                                                 const std::vector<std::string>& effects) {
    HomeAssistantRequest r;
    const std::string head = "/ha/", tail = "/set";
    if (!startsWith(topic, head) || !endsWith(topic, tail) || topic.size() <= head.size() + tail.size()) {
        r.reason = "not a command topic";
        return r;
    }
    std::string object = topic.substr(head.size(), topic.size() - head.size() - tail.size());
    Json::Value& c = r.command;
    c["args"] = Json::Value(Json::arrayValue);
    auto press = [&](const char* name) {
        if (payload != PRESS) {
            r.reason = "a button takes \"" + std::string(PRESS) + "\"";
            return;
        }
        c["command"] = name;
        r.valid = true;
    };
    if (object == "stop") {
        press("Stop Now");
    } else if (object == "stop_gracefully") {
        press("Stop Gracefully");
    } else if (object == "start_next_scheduled") {
        press("Start Next Scheduled Item");
    } else if (object == "start_playlist") {
        if (payload == NONE_OPTION) {
            c["command"] = "Stop Gracefully";
        } else if (contains(playlists, payload)) {
            c["command"] = "Start Playlist";
            c["args"].append(payload);
        } else {
            r.reason = "no playlist named \"" + payload + "\"";
            return r;
        }
        r.valid = true;
    } else if (object == "effect") {
        if (payload == NONE_OPTION) {
            c["command"] = "Effects Stop All";
        } else if (contains(effects, payload)) {
            c["command"] = "Effect Start";
            c["args"].append(payload);
        } else {
            r.reason = "no effect named \"" + payload + "\"";
            return r;
        }
        r.valid = true;
    } else if (object == "outputs") {
        if (payload == "ON" || payload == "OFF") {
            c["command"] = payload == "ON" ? "Outputs On" : "Outputs Off";
            r.valid = true;
        } else {
            r.reason = "the outputs switch takes ON or OFF";
        }
    } else {
        r.reason = "no entity \"" + object + "\"";
    }
    return r;
}

HomeAssistantBoard HomeAssistant::Gather() {
    HomeAssistantBoard b;
    b.hostName = GetStatusHostName();
    b.model = MultiSync::GetTypeString(MultiSync::TYPE_UNDETERMINED, true);
    b.version = getKIVVersion();
    b.configurationUrl = configurationUrl(b.hostName);
    b.playlists = playlistNames();
    for (auto& e : EffectPlayer::INSTANCE.ListEffectFiles()) b.effects.push_back(e.asString());
    b.outputPorts = OutputMonitor::INSTANCE.GetPortCount() > 0;
    Json::Value snapshot = Sensors::INSTANCE.Snapshot();
    for (auto& s : snapshot["sensors"]) {
        b.sensors.push_back({s["name"].asString(), s["kind"].asString(), s["unit"].asString(), s["topic"].asString()});
    }
    return b;
}

void HomeAssistant::PublishStates(const HomeAssistantBoard& board) {
    std::map<std::string, std::string> now;
    Json::Value player = Player::INSTANCE.GetStatusJSON();
    now["status"] = player["statusName"].asString();
    std::string playlist = Player::INSTANCE.IsPlaying() ? player["playlist"].asString() : "";
    now["playlist"] = playlist;
    now["start_playlist"] = contains(board.playlists, playlist) ? playlist : NONE_OPTION;
    const Json::Value& entry = player["currentEntry"];
    now["sequence"] = sequence && sequence->IsSequenceRunning() ? sequence->GetFileName()
                                                                : entry["sequenceName"].asString();
    now["song"] = entry["mediaName"].asString();
    std::string next;
    if (scheduler) {
        Json::Value n = scheduler->GetInfo()["nextPlaylist"];
        next = n["playlistName"].asString();
        if (!n["scheduledStartTimeStr"].asString().empty()) next += " at " + n["scheduledStartTimeStr"].asString();
    }
    now["next_scheduled"] = next;
    now["warnings"] = std::to_string(WarningHolder::GetWarnings().size());
    std::string effect = NONE_OPTION;
    for (auto& r : EffectPlayer::INSTANCE.GetRunning()) {
        std::string name = r["name"].asString();
        for (auto& e : board.effects) {
            if (e == name || startsWith(e, name + ".")) effect = e;
        }
        if (effect != NONE_OPTION) break;
    }
    now["effect"] = effect;
    if (board.outputPorts) now["outputs"] = OutputMonitor::INSTANCE.OutputsEnabled() ? "ON" : "OFF";
    for (auto& s : now) {
        auto it = m_states.find(s.first);
        if (it != m_states.end() && it->second == s.second) continue;
        m_states[s.first] = s.second;
        m_mqtt->Publish(STATE + s.first, s.second);
    }
}

void HomeAssistant::Init(MosquittoClient* mqtt) {
    m_mqtt = mqtt;
    // Documents a previous run left at the broker: emptied when discovery is
    // off now, replaced or emptied by the first Update when it is on.
    Json::Value record;
    if (FileExists(RecordPath()) && LoadJsonFromFile(RecordPath(), record) && record.isArray()) {
        for (auto& t : record) m_documents[t.asString()] = "?";
    }
}

void HomeAssistant::Update() {
    if (!m_mqtt) return;
    bool want = getSettingInt("HomeAssistantDiscovery", 0) != 0;
    if (!want) {
        if (!m_documents.empty()) {
            LogInfo(VB_CONTROL, "Home Assistant discovery off: removing %d entities\n", (int)m_documents.size());
            for (auto& d : m_documents) m_mqtt->PublishFullTopic(d.first, "");
            m_documents.clear();
            SaveRecord();
        }
        if (m_subscribed) {
            Events::RemoveCallback(COMMAND_FILTER);
            m_subscribed = false;
        }
        m_states.clear();
        m_enabled = false;
        return;
    }
    std::string prefix = getSetting("HomeAssistantPrefix", DEFAULT_PREFIX);
    while (!prefix.empty() && prefix.back() == '/') prefix.pop_back();
    if (prefix.empty()) prefix = DEFAULT_PREFIX;

    HomeAssistantBoard board = Gather();
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_playlists = board.playlists;
        m_effects = board.effects;
    }
    if (!m_subscribed) {
        Events::CallbackFunction fn = [this](const std::string& topic, const std::string& payload) {
            OnRequest(topic, payload);
        };
        Events::AddCallback(COMMAND_FILTER, fn);
        m_subscribed = true;
    }
    // States first: an entity that appears finds its retained state.
    PublishStates(board);

    bool changed = false;
    auto docs = Documents(board, prefix, m_mqtt->BaseTopic());
    for (auto& d : docs) {
        std::string text = SaveJsonToString(d.second, "");
        auto it = m_documents.find(d.first);
        if (it != m_documents.end() && it->second == text) continue;
        m_documents[d.first] = text;
        m_mqtt->PublishFullTopic(d.first, text);
        changed = true;
    }
    for (auto it = m_documents.begin(); it != m_documents.end();) {
        if (docs.count(it->first)) {
            ++it;
            continue;
        }
        // An entity the board no longer has (a sensor gone, the prefix changed).
        m_mqtt->PublishFullTopic(it->first, "");
        it = m_documents.erase(it);
        changed = true;
    }
    if (!m_enabled) {
        LogInfo(VB_CONTROL, "Home Assistant discovery on: %d entities under %s/\n", (int)docs.size(), prefix.c_str());
        m_enabled = true;
    }
    if (changed) SaveRecord();
}

void HomeAssistant::Close() {
    if (m_subscribed) Events::RemoveCallback(COMMAND_FILTER);
    m_subscribed = false;
    m_mqtt = nullptr;
    m_enabled = false;
    m_documents.clear();
    m_states.clear();
}

void HomeAssistant::OnRequest(const std::string& topic, const std::string& payload) {
    HomeAssistantRequest r;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        r = ParseRequest(topic, payload, m_playlists, m_effects);
    }
    if (!r.valid) {
        // Anyone on the broker may publish here, maybe in a flood.
        static LogRateLimit refused(20);
        long heldBack = 0;
        bool last = false;
        if (refused.Allow(heldBack, &last)) {
            std::string shown = payload.size() > 80 ? payload.substr(0, 80) + "..." : payload;
            LogWarn(VB_CONTROL, "Home Assistant request on %s refused (%s): %s%s\n", topic.c_str(), r.reason.c_str(),
                    shown.c_str(), LogRateLimit::Note(heldBack, last, "refused requests").c_str());
        }
        return;
    }
    LogInfo(VB_CONTROL, "Home Assistant asks for %s\n", SaveJsonToString(r.command, "").c_str());
    CommandManager::INSTANCE.QueueCommand(r.command);
}

std::string HomeAssistant::RecordPath() const { return getKIVMediaDir("/tmp/homeassistant-topics.json"); }

void HomeAssistant::SaveRecord() {
    if (m_documents.empty()) {
        unlink(RecordPath().c_str());
        return;
    }
    Json::Value record(Json::arrayValue);
    for (auto& d : m_documents) record.append(d.first);
    SaveJsonToFile(record, RecordPath(), "");
}
