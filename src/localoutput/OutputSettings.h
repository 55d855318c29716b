#pragma once
// Reading the keys of a board output's settings with their ranges: a key
// that is absent takes its default, one that is present must be a number
// (or a number written as text) inside the range, else the error says so
// in words a user can act on. Shared by SPIPixels and DMXSerial.

#include <json/json.h>

#include <string>

namespace OutputSettings {

bool Int(const Json::Value& obj, const char* key, long long def, long long min, long long max, long long& out,
         std::string& error);
bool Number(const Json::Value& obj, const char* key, double def, double min, double max, double& out,
            std::string& error);
// true/false, or 1/0.
bool Flag(const Json::Value& obj, const char* key, bool def, bool& out, std::string& error);
// A string that is not empty.
bool Text(const Json::Value& obj, const char* key, const std::string& def, std::string& out, std::string& error);

// Where a device name leads: an absolute path as it is; a bare name is
// looked for in each of dirs in turn and taken from the first that has it,
// else it is the name in the last of them.
std::string DevicePath(const std::string& name, const std::initializer_list<const char*>& dirs);

}  // namespace OutputSettings
