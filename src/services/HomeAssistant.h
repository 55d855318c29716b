#pragma once
// Home Assistant's MQTT discovery: with MQTT configured and the setting
// "HomeAssistantDiscovery" on, kivd describes itself to Home Assistant as
// one device with entities (the player's state, playlist, sequence, song,
// next scheduled item, warnings, every sensor, buttons, selects of the
// playlists and effects, a switch for the output ports), in retained
// documents under "HomeAssistantPrefix" (default "homeassistant"). Their
// states and commands use topics under the daemon's own base, so the
// broker's access rules for that base cover them. kivd creates it with the
// MQTT client (Init) and ends it before the client (Close); the main loop
// calls Update once a second: it publishes what changed, and on its own
// turns discovery on and off when the setting changes (off publishes an
// empty document on every topic it had filled). Topics: docs/mqtt.md.

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <json/json.h>

class MosquittoClient;

// What the board is and has, gathered once per Update; the documents are a
// plain function of it.
struct HomeAssistantBoard {
    std::string hostName;
    std::string model;
    std::string version;
    std::string configurationUrl;  // empty: none (the HTTP interface is off)
    std::vector<std::string> playlists;
    std::vector<std::string> effects;
    bool outputPorts = false;  // the board has output ports to switch
    struct Sensor {
        std::string name, kind, unit, topic;
    };
    std::vector<Sensor> sensors;
};

// What a message on a command topic asks kivd to run.
struct HomeAssistantRequest {
    bool valid = false;
    std::string reason;   // why not, when not valid
    Json::Value command;  // {"command", "args"} for CommandManager
};

class HomeAssistant {
public:
    static HomeAssistant INSTANCE;
    static constexpr const char* DEFAULT_PREFIX = "homeassistant";
    // What the selects offer for "nothing": choosing it stops the playlist
    // gracefully, or every effect.
    static constexpr const char* NONE_OPTION = "None";
    static constexpr const char* PRESS = "PRESS";

    // mqtt: the client (owned by kivd). The first Update publishes.
    void Init(MosquittoClient* mqtt);
    void Update();
    void Close();

    // The discovery documents for a board: full topic -> document. base:
    // the daemon's base topic ("<prefix>/kivd/<host>").
    static std::map<std::string, Json::Value> Documents(const HomeAssistantBoard& board, const std::string& prefix,
                                                        const std::string& base);
    // A message on "<base>/ha/<object>/set" (topic below the base, as the
    // callbacks see it: "/ha/playlist/set"); only the documented objects
    // and, for the selects, only the offered options are taken.
    static HomeAssistantRequest ParseRequest(const std::string& topic, const std::string& payload,
                                             const std::vector<std::string>& playlists,
                                             const std::vector<std::string>& effects);

private:
    HomeAssistantBoard Gather();
    void PublishStates(const HomeAssistantBoard& board);
    void Clear(const std::set<std::string>& topics);
    void OnRequest(const std::string& topic, const std::string& payload);
    std::string RecordPath() const;
    void SaveRecord();

    MosquittoClient* m_mqtt = nullptr;  // set and cleared on the main thread
    bool m_enabled = false;
    bool m_subscribed = false;
    std::map<std::string, std::string> m_documents;  // full topic -> what was published there
    std::map<std::string, std::string> m_states;     // relative topic -> last state published

    // Guards the options a request may choose; the MQTT worker thread reads
    // them, Update writes them.
    std::mutex m_lock;
    std::vector<std::string> m_playlists;
    std::vector<std::string> m_effects;
};
