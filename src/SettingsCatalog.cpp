#include "SettingsCatalog.h"

#include <cstdio>

#include "log.h"
#include "settings.h"

namespace {

using K = SettingInfo;

const char* const SHOW = "Show";
const char* const SCHEDULE = "Schedule";
const char* const MEDIA = "Sound and video";
const char* const OUTPUTS = "Outputs and ports";
const char* const MQTT = "MQTT";
const char* const SYNC = "Multi-system sync";
const char* const ACCESS = "Access and limits";
const char* const LOG = "Log";
const char* const SYSTEM = "System";

SettingInfo flag(const char* key, const char* group, const char* def, const char* text, bool restart = true) {
    return {key, group, K::Bool, 0, 1, {}, def, text, restart, true, ""};
}
SettingInfo whole(const char* key, const char* group, double lo, double hi, const char* def, const char* text,
                  bool restart = true) {
    return {key, group, K::Int, lo, hi, {}, def, text, restart, true, ""};
}
SettingInfo number(const char* key, const char* group, double lo, double hi, const char* def, const char* text,
                   bool restart = true) {
    return {key, group, K::Number, lo, hi, {}, def, text, restart, true, ""};
}
SettingInfo text(const char* key, const char* group, int longest, const char* def, const char* what,
                 bool restart = true, const char* listUrl = "") {
    return {key, group, K::Text, 0, (double)longest, {}, def, what, restart, true, listUrl};
}
SettingInfo choice(const char* key, const char* group, std::vector<std::string> values, const char* def,
                   const char* what, bool restart = true) {
    return {key, group, K::Choice, 0, 0, std::move(values), def, what, restart, true, ""};
}
SettingInfo secret(const char* key, const char* group, const char* what) {
    return {key, group, K::Secret, 0, 255, {}, "", what, true, true, ""};
}
// Who may reach the board and where it keeps things: a browser that may
// change these could lock the owner out or point the daemon at any file.
SettingInfo fileOnly(const char* key, const char* group, const char* def, const char* what, bool secretValue = false) {
    return {key, group, secretValue ? K::Secret : K::Text, 0, 255, {}, def, what, true, false, ""};
}

std::vector<SettingInfo> build() {
    std::vector<SettingInfo> v = {
        choice("kivMode", SHOW, {"player", "master", "remote"}, "player",
               "player, master (a player that others follow) or remote (follows a master, docs/sync.md)"),
        text("HostName", SHOW, 63, "the system's host name",
             "the board's name in MQTT topics and the status; picks host-specific sequence files in remote mode"),
        flag("blankBetweenSequences", SHOW, "0", "blank the outputs between two sequences"),
        choice("bridgeDataPriority", SHOW, {"Warn If Sequence Running", "Prioritize Sequence", "Prioritize Bridge"},
               "Warn If Sequence Running", "what wins when live input and a sequence send the same channels"),
        flag("alwaysTransmit", SHOW, "0", "keep the outputs sending while nothing plays"),
        whole("E131BridgingInterval", SHOW, 10, 1000, "50", "frame period in ms while only live input is sent"),
        whole("mediaOffset", MEDIA, -5000, 5000, "0",
              "ms by which frames go out after their sound (negative: before); docs/media.md says how to measure it"),
        flag("DisableScheduler", SCHEDULE, "0", "stop all scheduling (a warning says so)"),
        whole("ScheduleDistance", SCHEDULE, 0, 366, "0", "days beyond this week the scheduler expands", false),
        text("DateFormat", SCHEDULE, 31, "", "strftime format of dates in schedule reports", false),
        text("TimeFormat", SCHEDULE, 31, "", "strftime format of times in schedule reports", false),
        number("Latitude", SCHEDULE, -90, 90, "not set",
               "the display's place in degrees, north positive (51.5074), for sun times in the schedule", false),
        number("Longitude", SCHEDULE, -180, 180, "not set",
               "the display's place in degrees, east positive (-0.1278), for sun times in the schedule", false),
        whole("AudioOutput", MEDIA, 0, 31, "0", "number of the sound card (/sys/class/sound/card<N>)"),
        whole("AudioFormat", MEDIA, 0, 9, "0", "device rate and sample format, 0 to 9 (docs/media.md)"),
        whole("AudioLayout", MEDIA, 0, 15, "0", "speaker layout: 0 stereo ... 11 5.1 ... 15 7.1"),
        text("AudioCard0Type", MEDIA, 63, "", "what card 0 is; bcm... means 48 kHz, Dummy... raises a warning"),
        text("AudioCardType", MEDIA, 63, "", "what the chosen card is"),
        text("VideoOutput", MEDIA, 63, "", "overlay model for the videos of media entries that name none", false,
             "/kivd/overlays"),
        whole("openStartDelay", MEDIA, 0, 10000, "0",
              "ms between opening and starting media when this board is a sync master"),
        flag("DisableFakeNetworkBridges", OUTPUTS, "0", "allow UDP outputs to this board's own addresses"),
        flag("UDPSegmentation", OUTPUTS, "1",
             "send runs of equal datagrams to one controller as one segmented send where the kernel takes it"),
        flag("AutoEnableOutputs", OUTPUTS, "1", "switch the output ports on at start and off at stop", false),
        choice("GPIOProvider", OUTPUTS, {"gpiod", "simulated"}, "gpiod",
               "pins: the kernel's GPIO chips, or a simulated board (docs/output-ports.md)"),
        whole("GPIOSimulatedPins", OUTPUTS, 1, 1024, "64", "number of pins of the simulated board"),
        fileOnly("SysfsRoot", OUTPUTS, "/sys", "where the sensors are looked for (docs/sensors.md)"),
        whole("SensorReadInterval", OUTPUTS, 100, 3600000, "2000", "ms between readings of the sensors"),
        choice("DisplayBackend", OUTPUTS, {"", "memory"}, "",
               "memory: memory-backed displays instead of the kernel's (docs/local-display.md)"),
        fileOnly("DisplaySnapshotDir", OUTPUTS, "", "memory displays write each shown page as PNG here"),
        fileOnly("framebufferControlSocketPath", OUTPUTS, "/dev", "folder of frame-buffer devices for local displays"),
        text("MQTTHost", MQTT, 253, "", "MQTT broker; empty: no MQTT (docs/mqtt.md)"),
        whole("MQTTPort", MQTT, 1, 65535, "1883 (8883 with MQTTCaFile)", "broker port"),
        text("MQTTPrefix", MQTT, 127, "", "first levels of every topic: <prefix>/kivd/<host name>/..."),
        text("MQTTClientId", MQTT, 127, "kivd-<host name>", "client identifier at the broker"),
        text("MQTTUsername", MQTT, 127, "", "broker login"),
        secret("MQTTPassword", MQTT, "broker password"),
        fileOnly("MQTTCaFile", MQTT, "", "CA certificate (PEM) for a TLS connection"),
        whole("MQTTFrequency", MQTT, 0, 86400, "0", "seconds between playlist_details publications; 0: none"),
        whole("MQTTStatusFrequency", MQTT, 0, 86400, "0", "seconds between kivd_status publications; 0: none"),
        flag("HomeAssistantDiscovery", MQTT, "0", "announce the board to Home Assistant over MQTT (docs/mqtt.md)",
             false),
        text("HomeAssistantPrefix", MQTT, 63, "homeassistant", "Home Assistant's discovery prefix", false),
        text("MultiSyncPeers", SYNC, 1000, "",
             "addresses and subnets (10.0.0.5, 10.0.1.0/24) or *: the masters a remote follows and the systems "
             "whose commands run here"),
        secret("MultiSyncKey", SYNC, "shared secret; packets are signed with it and must be signed with it"),
        text("MultiSyncUnicast", SYNC, 1000, "", "addresses that get every packet besides the multicast group"),
        flag("MultiSyncMulticast", SYNC, "1", "send to the multicast group; off: to the unicast list only"),
        text("MultiSyncInterface", SYNC, 63, "", "the one interface sync uses; empty: all", true, "/kivd/interfaces"),
        whole("MultiSyncPort", SYNC, 1, 65535, "32350", "UDP port of sync"),
        flag("MultiSyncClockTrusted", SYNC, "0", "this board's clock counts as synchronised whatever the kernel says"),
        whole("MultiSyncClockToleranceUs", SYNC, 100, 1000000, "2000",
              "largest estimated clock error (us) for placing frames by time stamps"),
        text("SyncFilesKinds", SYNC, 63, "",
             "what Sync Files sends the remotes: sequences, music, videos, images, playlists, schedule; empty: all",
             false),
        whole("SyncFilesMaxKBps", SYNC, 0, 1000000, "4000", "the most Sync Files sends, in kB a second; 0: no limit",
              false),
        flag("SyncFilesAfterUpload", SYNC, "0", "a master sends changed files to its remotes after uploads", false),
        fileOnly("HTTPPort", ACCESS, "32320", "port of kivd's own HTTP interface; 0 turns it off"),
        fileOnly("HTTPBindAddress", ACCESS, "127.0.0.1",
                 "address the HTTP interface and the virtual display streams listen on (docs/security.md)"),
        fileOnly("HTTPAccessToken", ACCESS, "", "when set, API requests must carry it (docs/security.md)", true),
        fileOnly("HTTPAllowedHosts", ACCESS, "", "host names besides addresses that requests may be addressed to"),
        whole("UploadMaxBytes", ACCESS, 1048576, 2147483647, "1073741824", "the largest file the Files page takes",
              false),
        whole("ImageMaxPixels", ACCESS, 1, 2147483647, "16777216", "largest picture an image entry decodes, in pixels",
              false),
        whole("ImageMaxDimension", ACCESS, 1, 1000000, "16384", "largest width or height of such a picture", false),
        fileOnly("logFile", LOG, "<media>/logs/kivd.log", "replaced by the default unless -l is given"),
        fileOnly("daemonize", SYSTEM, "0", "detach at start; -f and -d override"),
        fileOnly("commandSocket", SYSTEM, "<media>/tmp/kivd.sock", "path of the command socket"),
        fileOnly("webInterfaceHost", SYSTEM, "127.0.0.1", "host of the local web interface"),
        fileOnly("SystemUUID", SYSTEM, "unknown", "identifies this board in reports"),
        choice("statsPublish", SYSTEM, {"", "Enabled"}, "", "Enabled publishes usage statistics every 10 days"),
        whole("ShareCrashData", SYSTEM, 0, 3, "3", "what a crash report archive holds, 0 for none"),
        fileOnly("CrashUploadURL", SYSTEM, "", "where crash report archives are posted; empty sends nothing"),
        flag("RealTimePriority", SYSTEM, "1", "run the output, audio and read-ahead threads at real-time priority"),
        flag("LockMemory", SYSTEM, "0", "lock kivd's memory so that no page of it is paged out during a show"),
    };
    // One level per log facility, applied at once.
    for (auto& f : KIVLogger::INSTANCE.FacilityNames()) {
        v.push_back({std::string("LogLevel_") + f, LOG, K::Choice, 0, 0, {"error", "warn", "info", "debug", "excess"},
                     "info", std::string("how much the ") + f + " facility logs", false, true, ""});
    }
    return v;
}

std::string range(const char* what, double lo, double hi) {
    char buf[128];
    snprintf(buf, sizeof(buf), "%s from %g to %g", what, lo, hi);
    return buf;
}

}  // namespace

const std::vector<SettingInfo>& SettingsCatalog() {
    static const std::vector<SettingInfo> catalog = build();
    return catalog;
}

const SettingInfo* FindSettingInfo(const std::string& key) {
    for (auto& s : SettingsCatalog()) {
        if (s.key == key) return &s;
    }
    return nullptr;
}

std::string SettingRule(const SettingInfo& s) {
    switch (s.kind) {
    case K::Bool:
        return "true or false";
    case K::Int:
        return range("a whole number", s.min, s.max);
    case K::Number:
        return range("a number", s.min, s.max);
    case K::Choice: {
        std::string r = "one of ";
        for (size_t i = 0; i < s.choices.size(); ++i) {
            r += (i ? ", " : "") + (s.choices[i].empty() ? std::string("(empty)") : s.choices[i]);
        }
        return r;
    }
    case K::Text:
    case K::Secret:
        return "a text of at most " + std::to_string((int)s.max) + " characters";
    }
    return "";
}

Json::Value DescribeSetting(const SettingInfo& s) {
    static const char* KINDS[] = {"bool", "int", "number", "text", "choice", "secret"};
    Json::Value e;
    e["key"] = s.key;
    e["group"] = s.group;
    e["type"] = KINDS[s.kind];
    if (s.kind == K::Int || s.kind == K::Number) {
        e["min"] = s.min;
        e["max"] = s.max;
    }
    for (auto& c : s.choices) e["choices"].append(c);
    if (s.listUrl[0]) e["listUrl"] = s.listUrl;
    e["default"] = s.defaultText;
    e["description"] = s.description;
    e["rule"] = SettingRule(s);
    e["restart"] = s.restart;
    e["editable"] = s.editable;
    std::string value = getSetting(s.key.c_str(), "");
    if (s.kind == K::Secret) {
        e["set"] = !value.empty();
    } else {
        e["value"] = value;
    }
    return e;
}
