#pragma once
// The settings store: a plain "key = value" file in the media directory,
// loaded once at start and changeable for the rest of the run, plus the
// media and installation directories and the build's version texts.

#include <map>
#include <string>
#include <vector>

#include <json/json.h>

#define MODE_UNKNOWN 0x00
#define MODE_BRIDGE 0x01
#define MODE_PLAYER 0x02
#define MODE_REMOTE 0x08

struct SettingsRecord {
    int mode = MODE_PLAYER;  // first word: the player mode
    std::string settingsFile;
};
extern SettingsRecord settings;

// Loads <media>/settings. Never ends the process: a missing file means
// defaults, a malformed line is logged with its number and skipped.
void LoadSettings(const char* argv0);
// Parses settings text; used by LoadSettings and by tests.
void LoadSettingsFromText(const std::string& text, const std::string& sourceName);
void ClearSettings();
// The settings file is read before the log has a destination: start-up
// calls this once logging is set up, to log the lines that were skipped
// again and raise a warning about them.
void ReportSettingsProblems();

std::string getSetting(const char* key, const char* def = "");
int getSettingInt(const char* key, int def = 0);
void SetSetting(const std::string& key, const std::string& value);
void SetSetting(const std::string& key, int value);

// A JSON value for a key the pages may change (SettingsCatalog.h), as the
// text to store; false with the reason (naming the key) when the key may
// not be changed or the value has the wrong type or lies outside its range.
bool CheckEditableSetting(const std::string& key, const Json::Value& value, std::string& text, std::string& error);
// Writes checked values into the settings file (replaced whole, its other
// lines kept; numbers, switches and single words bare, texts quoted) and
// into the running store; log levels apply at once.
bool ChangeSettings(const std::map<std::string, std::string>& changes, std::string& error);

int getKIVmode();
void setKIVmode(int mode);
std::string getKIVmodeStr(int mode);

// KIV_MEDIA_DIR when set, else the build's default media directory.
std::string getKIVMediaDir(const std::string& sub = "");
// KIV_INSTALL_DIR when set; for a program installed in <prefix>/bin, its
// home <prefix>/lib/.../kiv (see docs/media-directory.md); else the parent
// of the running program's folder (the program lives in <installation>/src).
std::string getKIVDDir(const std::string& sub = "");

const char* getKIVVersion();
const char* getKIVBranch();
const char* getKIVVersionTriplet();
void printVersionInfo();
