#include "settings.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "common.h"
#include "kiv-build.h"
#include "Warnings.h"
#include "log.h"

SettingsRecord settings;

// guards settingsMap
static std::mutex settingsLock;
static std::map<std::string, std::string> settingsMap;
static std::vector<std::string> settingsProblems;

static void applySpecialSetting(const std::string& key, const std::string& value) {
    if (key == "kivMode") {
        if (value == "remote") {
            settings.mode = MODE_REMOTE;
        } else {
            settings.mode = MODE_PLAYER;
            if (value == "master") {
                settingsMap["MultiSyncEnabled"] = "1";
            }
        }
    }
}

namespace {
enum class LineKind { Blank, Setting, Malformed };

// One line of the settings file (trimmed in place).
LineKind parseSettingLine(std::string& line, std::string& key, std::string& value) {
    TrimWhiteSpace(line);
    if (line.empty() || line[0] == '#' || line[0] == ';') return LineKind::Blank;
    size_t eq = line.find('=');
    key = eq == std::string::npos ? "" : line.substr(0, eq);
    TrimWhiteSpace(key);
    bool keyOk = !key.empty();
    for (char c : key) {
        if (!(isalnum((unsigned char)c) || c == '_' || c == '-' || c == '.')) keyOk = false;
    }
    value = eq == std::string::npos ? "" : line.substr(eq + 1);
    TrimWhiteSpace(value);
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        value = value.substr(1, value.size() - 2);
    } else if (!value.empty() && (value.front() == '"' || value.back() == '"')) {
        keyOk = false;  // an unbalanced quote
    }
    return keyOk ? LineKind::Setting : LineKind::Malformed;
}
}  // namespace

void LoadSettingsFromText(const std::string& text, const std::string& sourceName) {
    std::vector<std::string> lines = split(text, '\n');
    std::vector<std::pair<std::string, std::string>> logLevels;
    {
        std::lock_guard<std::mutex> lock(settingsLock);
        int lineNo = 0;
        for (auto line : lines) {
            ++lineNo;
            std::string key, value;
            LineKind kind = parseSettingLine(line, key, value);
            if (kind == LineKind::Blank) continue;
            if (kind == LineKind::Malformed) {
                std::string problem = "Settings file " + sourceName + " line " + std::to_string(lineNo) +
                                      " is malformed and was skipped: " + line;
                LogErr(VB_SETTING, "%s\n", problem.c_str());
                settingsProblems.push_back(problem);
                continue;
            }
            settingsMap[key] = value;
            applySpecialSetting(key, value);
            if (startsWith(key, "LogLevel_")) {
                logLevels.push_back({key, value});
            }
        }
    }
    for (auto& l : logLevels) {
        KIVLogger::INSTANCE.SetLevel(l.first.c_str(), l.second.c_str());
    }
}

void ReportSettingsProblems() {
    // The file can hold the broker password and the HTTP access token.
    struct stat st;
    if (stat(settings.settingsFile.c_str(), &st) == 0 && (st.st_mode & S_IROTH)) {
        LogWarn(VB_SETTING, "Settings file %s is readable by all users and may hold passwords; chmod o-r it\n",
                settings.settingsFile.c_str());
    }
    std::vector<std::string> problems;
    {
        std::lock_guard<std::mutex> lock(settingsLock);
        problems.swap(settingsProblems);
    }
    for (auto& p : problems) {
        LogErr(VB_SETTING, "%s\n", p.c_str());
    }
    if (!problems.empty()) {
        WarningHolder::AddWarning("Settings file " + settings.settingsFile + " has " + std::to_string(problems.size()) +
                                  " malformed line(s); see the log");
    }
}

void ClearSettings() {
    std::lock_guard<std::mutex> lock(settingsLock);
    settingsMap.clear();
    settingsProblems.clear();
    settings.mode = MODE_PLAYER;
}

void LoadSettings(const char* argv0) {
    std::string path = getKIVMediaDir("/settings");
    settings.settingsFile = path;
    if (!DirectoryExists(getKIVMediaDir())) {
        LogErr(VB_SETTING, "Media directory %s does not exist\n", getKIVMediaDir().c_str());
        return;
    }
    if (!FileExists(path)) {
        LogInfo(VB_SETTING, "No settings file at %s, using defaults\n", path.c_str());
        return;
    }
    LoadSettingsFromText(GetFileContents(path), path);
}

std::string getSetting(const char* key, const char* def) {
    std::lock_guard<std::mutex> lock(settingsLock);
    auto it = settingsMap.find(key);
    if (it == settingsMap.end()) {
        return def ? def : "";
    }
    return it->second;
}

int getSettingInt(const char* key, int def) {
    std::string v = getSetting(key, "");
    if (v.empty()) return def;
    char* end = nullptr;
    long l = strtol(v.c_str(), &end, 10);
    if (end == v.c_str()) return def;
    return (int)l;
}

void SetSetting(const std::string& key, const std::string& value) {
    std::lock_guard<std::mutex> lock(settingsLock);
    settingsMap[key] = value;
    applySpecialSetting(key, value);
}

void SetSetting(const std::string& key, int value) { SetSetting(key, std::to_string(value)); }

const std::vector<EditableSetting>& EditableSettings() {
    // What a user tunes from the pages; everything about access (address,
    // token, allowed hosts) and paths stays in the file only.
    static const std::vector<EditableSetting> keys = {
        {"HostName", EditableSetting::Text, 0, 63},
        {"blankBetweenSequences", EditableSetting::Bool, 0, 1},
        {"alwaysTransmit", EditableSetting::Bool, 0, 1},
        {"E131BridgingInterval", EditableSetting::Int, 10, 1000},
        {"mediaOffset", EditableSetting::Int, -5000, 5000},
        {"DisableFakeNetworkBridges", EditableSetting::Bool, 0, 1},
        {"ScheduleDistance", EditableSetting::Int, 0, 366},
        {"DisableScheduler", EditableSetting::Bool, 0, 1},
        {"DateFormat", EditableSetting::Text, 0, 31},
        {"TimeFormat", EditableSetting::Text, 0, 31},
        {"Latitude", EditableSetting::Number, -90, 90},
        {"Longitude", EditableSetting::Number, -180, 180},
        {"MQTTFrequency", EditableSetting::Int, 0, 86400},
        {"MQTTStatusFrequency", EditableSetting::Int, 0, 86400},
        {"HomeAssistantDiscovery", EditableSetting::Bool, 0, 1},
        {"HomeAssistantPrefix", EditableSetting::Text, 0, 63},
        {"AutoEnableOutputs", EditableSetting::Bool, 0, 1},
        {"UploadMaxBytes", EditableSetting::Int, 1048576, 2147483647},
    };
    return keys;
}

bool CheckEditableSetting(const std::string& key, const Json::Value& value, std::string& text, std::string& error) {
    const EditableSetting* s = nullptr;
    for (auto& e : EditableSettings()) {
        if (key == e.key) s = &e;
    }
    if (!s) {
        error = "\"" + key + "\" cannot be changed here";
        return false;
    }
    auto range = [&](const char* what) {
        char buf[128];
        snprintf(buf, sizeof(buf), "\"%s\" must be %s from %g to %g", s->key, what, s->min, s->max);
        error = buf;
        return false;
    };
    switch (s->kind) {
    case EditableSetting::Bool:
        if (value.isBool()) {
            text = value.asBool() ? "1" : "0";
        } else if (value.isIntegral() && (value.asInt64() == 0 || value.asInt64() == 1)) {
            text = std::to_string(value.asInt64());
        } else {
            error = "\"" + key + "\" must be true or false";
            return false;
        }
        return true;
    case EditableSetting::Int:
        if (!value.isIntegral() || value.asInt64() < (long long)s->min || value.asInt64() > (long long)s->max) {
            return range("a whole number");
        }
        text = std::to_string(value.asInt64());
        return true;
    case EditableSetting::Number: {
        if (!value.isNumeric() || value.asDouble() < s->min || value.asDouble() > s->max) return range("a number");
        char buf[64];
        snprintf(buf, sizeof(buf), "%.6f", value.asDouble());
        text = buf;
        return true;
    }
    case EditableSetting::Text:
        if (!value.isString() || value.asString().size() > (size_t)s->max) {
            error = "\"" + key + "\" must be a text of at most " + std::to_string((int)s->max) + " characters";
            return false;
        }
        text = value.asString();
        for (char c : text) {
            if ((unsigned char)c < 0x20 || c == '"') {
                error = "\"" + key + "\" may not hold control characters or double quotes";
                return false;
            }
        }
        return true;
    }
    return false;
}

namespace {
// A line as the file's own example writes it: numbers and switches bare,
// so they read back as numbers, texts in quotes (which keep their blanks).
std::string settingLine(const std::string& key, const std::string& value) {
    bool text = true;
    for (auto& e : EditableSettings()) {
        if (key == e.key) text = e.kind == EditableSetting::Text;
    }
    return key + " = " + (text ? "\"" + value + "\"" : value) + "\n";
}
}  // namespace

bool ChangeSettings(const std::map<std::string, std::string>& changes, std::string& error) {
    std::string path = settings.settingsFile.empty() ? getKIVMediaDir("/settings") : settings.settingsFile;
    std::string out;
    std::map<std::string, std::string> left = changes;
    for (auto line : split(GetFileContents(path), '\n')) {
        std::string original = line, key, value;
        if (parseSettingLine(line, key, value) == LineKind::Setting && left.count(key)) {
            out += settingLine(key, left[key]);
            left.erase(key);
        } else {
            out += original + "\n";
        }
    }
    while (!out.empty() && out.size() >= 2 && out.substr(out.size() - 2) == "\n\n") out.pop_back();
    if (out == "\n") out.clear();
    for (auto& c : left) out += settingLine(c.first, c.second);
    if (!PutFileContents(path, out)) {
        error = "The settings file " + path + " could not be written";
        return false;
    }
    // The file holds the access token: readable by the daemon's user and group only.
    chmod(path.c_str(), 0640);
    for (auto& c : changes) SetSetting(c.first, c.second);
    return true;
}

int getKIVmode() { return settings.mode; }
void setKIVmode(int mode) { settings.mode = mode; }

std::string getKIVmodeStr(int mode) {
    switch (mode) {
    case MODE_BRIDGE:
        return "bridge";
    case MODE_PLAYER:
        return "player";
    case MODE_REMOTE:
        return "remote";
    default:
        return "unknown";
    }
}

std::string getKIVMediaDir(const std::string& sub) {
    const char* env = getenv("KIV_MEDIA_DIR");
    std::string base = (env && env[0]) ? env : KIV_DEFAULT_MEDIA_DIR;
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    return base + sub;
}

std::string getKIVDDir(const std::string& sub) {
    const char* env = getenv("KIV_INSTALL_DIR");
    if (env && env[0]) {
        return std::string(env) + sub;
    }
    static std::string installDir = [] {
        char buf[PATH_MAX];
        ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
        if (n <= 0) return std::string(".");
        buf[n] = 0;
        std::string exe = buf;
        std::string dir = exe.substr(0, exe.rfind('/'));
#if defined(KIV_INSTALL_BINDIR_REL) && defined(KIV_INSTALL_HOME_REL)
        // Installed as <prefix>/bin/kivd: plug-ins and the rest live in the
        // home below <prefix>, found relative to the program so that a staged
        // or relocated installation works as well as the packaged one.
        std::string binSuffix = "/" KIV_INSTALL_BINDIR_REL;
        if (dir.size() > binSuffix.size() && dir.compare(dir.size() - binSuffix.size(), binSuffix.size(), binSuffix) == 0) {
            std::string home = dir.substr(0, dir.size() - binSuffix.size()) + "/" KIV_INSTALL_HOME_REL;
            if (DirectoryExists(home)) return home;
        }
#endif
        size_t slash = dir.rfind('/');
        return slash == std::string::npos || slash == 0 ? std::string("/") : dir.substr(0, slash);
    }();
    return installDir + sub;
}

const char* getKIVVersion() { return KIV_VERSION_FULL; }
const char* getKIVBranch() { return KIV_BRANCH; }
const char* getKIVVersionTriplet() { return KIV_VERSION_TRIPLET; }

void printVersionInfo() {
    printf("KIV %s\n", getKIVVersion());
    printf("Branch: %s\n", getKIVBranch());
}
