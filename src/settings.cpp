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

void LoadSettingsFromText(const std::string& text, const std::string& sourceName) {
    std::vector<std::string> lines = split(text, '\n');
    std::vector<std::pair<std::string, std::string>> logLevels;
    {
        std::lock_guard<std::mutex> lock(settingsLock);
        int lineNo = 0;
        for (auto line : lines) {
            ++lineNo;
            TrimWhiteSpace(line);
            if (line.empty() || line[0] == '#' || line[0] == ';') {
                continue;
            }
            size_t eq = line.find('=');
            std::string key = eq == std::string::npos ? "" : line.substr(0, eq);
            TrimWhiteSpace(key);
            bool keyOk = !key.empty();
            for (char c : key) {
                if (!(isalnum((unsigned char)c) || c == '_' || c == '-' || c == '.')) keyOk = false;
            }
            std::string value = eq == std::string::npos ? "" : line.substr(eq + 1);
            TrimWhiteSpace(value);
            if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
                value = value.substr(1, value.size() - 2);
            } else if (!value.empty() && (value.front() == '"' || value.back() == '"')) {
                keyOk = false;  // an unbalanced quote
            }
            if (!keyOk) {
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
