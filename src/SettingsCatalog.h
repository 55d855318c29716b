#pragma once
// Every key of the settings file that docs/settings.md documents, with
// what the settings page shows of it: its group, description, type and
// range (and so the message a wrong value gets), its default, whether kivd
// reads it only when it starts, and whether the pages may change it at
// all. The HTTP settings resource serves it and judges changes with it.

#include <string>
#include <vector>

#include <json/json.h>

struct SettingInfo {
    enum Kind { Bool, Int, Number, Text, Choice, Secret };
    std::string key;
    const char* group;
    Kind kind;
    double min, max;            // Int, Number: the range; Text, Secret: the longest length
    std::vector<std::string> choices;  // Choice: the values taken
    const char* defaultText;    // what applies while the key is not set
    std::string description;
    bool restart;               // read when kivd starts: a change waits for a restart
    bool editable;              // false: changed in the settings file only (access, paths)
    const char* listUrl;        // Text: where the page finds the values to pick from ("" none)
};

// In the order the page shows them, grouped.
const std::vector<SettingInfo>& SettingsCatalog();
const SettingInfo* FindSettingInfo(const std::string& key);
// What a value must be, as the refusal says it: "a whole number from 10 to
// 1000", "true or false", "one of player, master, remote", ...
std::string SettingRule(const SettingInfo& s);
// The entry as GET /kivd/config/settings lists it, with the value in force
// (a secret only says whether it is set).
Json::Value DescribeSetting(const SettingInfo& s);
