#include "localoutput/OutputSettings.h"

#include <cmath>
#include <cstdlib>

#include "common.h"

namespace OutputSettings {

namespace {

// The value as a number, from a JSON number or a number written as text.
bool numberOf(const Json::Value& v, double& out) {
    if (v.isNumeric() && !v.isBool()) {
        out = v.asDouble();
        return std::isfinite(out);
    }
    if (v.isString()) {
        std::string text = v.asString();
        TrimWhiteSpace(text);
        char* end = nullptr;
        out = strtod(text.c_str(), &end);
        return !text.empty() && end && *end == 0 && std::isfinite(out);
    }
    return false;
}

std::string shown(double v) {
    char buf[32];
    snprintf(buf, sizeof(buf), "%g", v);
    return buf;
}

}  // namespace

bool Int(const Json::Value& obj, const char* key, long long def, long long min, long long max, long long& out,
         std::string& error) {
    if (!obj.isMember(key)) {
        out = def;
        return true;
    }
    double v;
    if (!numberOf(obj[key], v) || v != std::floor(v) || v < min || v > max) {
        error = std::string("\"") + key + "\" must be a whole number from " + std::to_string(min) + " to " +
                std::to_string(max);
        return false;
    }
    out = (long long)v;
    return true;
}

bool Number(const Json::Value& obj, const char* key, double def, double min, double max, double& out,
            std::string& error) {
    if (!obj.isMember(key)) {
        out = def;
        return true;
    }
    double v;
    if (!numberOf(obj[key], v) || v < min || v > max) {
        error = std::string("\"") + key + "\" must be a number from " + shown(min) + " to " + shown(max);
        return false;
    }
    out = v;
    return true;
}

bool Flag(const Json::Value& obj, const char* key, bool def, bool& out, std::string& error) {
    if (!obj.isMember(key)) {
        out = def;
        return true;
    }
    const Json::Value& v = obj[key];
    if (v.isBool()) {
        out = v.asBool();
        return true;
    }
    if (v.isIntegral() && (v.asInt64() == 0 || v.asInt64() == 1)) {
        out = v.asInt64() == 1;
        return true;
    }
    error = std::string("\"") + key + "\" must be true or false";
    return false;
}

bool Text(const Json::Value& obj, const char* key, const std::string& def, std::string& out, std::string& error) {
    if (!obj.isMember(key)) {
        out = def;
        return true;
    }
    if (!obj[key].isString() || obj[key].asString().empty()) {
        error = std::string("\"") + key + "\" must be a text that is not empty";
        return false;
    }
    out = obj[key].asString();
    return true;
}

std::string DevicePath(const std::string& name, const std::initializer_list<const char*>& dirs) {
    if (name.empty() || name[0] == '/' || dirs.size() == 0) return name;
    std::string last;
    for (const char* d : dirs) {
        last = std::string(d) + "/" + name;
        if (FileExists(last)) return last;
    }
    return last;
}

}  // namespace OutputSettings
