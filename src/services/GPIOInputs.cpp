#include "services/GPIOInputs.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

#include "OutputMonitor.h"
#include "Warnings.h"
#include "commands/Commands.h"
#include "common.h"
#include "log.h"
#include "services/GPIO.h"
#include "settings.h"

GPIOInputs GPIOInputs::INSTANCE;

namespace {

constexpr int MAX_DEBOUNCE_MS = 10000;
constexpr int MAX_HELD_MS = 3600000;
// A command's answer in the log: its first line, this long at most.
constexpr size_t LOGGED_ANSWER = 200;

const std::set<std::string> INPUT_KEYS = {"name",   "pin",   "pull",    "activeLevel", "debounceMs",
                                          "heldMs", "press", "release", "held",        "description"};
const std::set<std::string> ACTION_KEYS = {"command", "args", "multisyncCommand", "multisyncHosts", "preset"};

void refuse(const std::string& text) {
    LogErr(VB_GPIO, "%s\n", text.c_str());
    WarningHolder::AddWarning(text);
}

std::string shortAnswer(std::string s) {
    s = s.substr(0, s.find('\n'));
    if (s.size() > LOGGED_ANSWER) s = s.substr(0, LOGGED_ANSWER) + "...";
    return s;
}

}  // namespace

std::string GPIOInputs::FilePath() { return getKIVMediaDir("/config/gpio.json"); }

// The reason an action cannot run, or empty; fills the action.
static std::string checkAction(const std::string& key, const Json::Value& v, Json::Value& command,
                               std::string& preset) {
    if (!v.isObject()) return "\"" + key + "\" must be an object";
    for (auto& k : v.getMemberNames()) {
        if (!ACTION_KEYS.count(k)) return "\"" + key + "\" has an unknown key \"" + k + "\"";
    }
    if (v.isMember("preset") == v.isMember("command")) return "\"" + key + "\" needs a \"command\" or a \"preset\"";
    if (v.isMember("preset")) {
        if (!v["preset"].isString() || v["preset"].asString().empty())
            return "\"" + key + "\": \"preset\" must name a preset";
        if (v.size() > 1) return "\"" + key + "\": a \"preset\" takes no other key";
        preset = v["preset"].asString();
        return "";
    }
    if (!v["command"].isString()) return "\"" + key + "\": \"command\" must be a string";
    if (!CommandManager::INSTANCE.getCommand(v["command"].asString())) {
        return "\"" + key + "\": unknown command \"" + v["command"].asString() + "\"";
    }
    if (v.isMember("args")) {
        if (!v["args"].isArray()) return "\"" + key + "\": \"args\" must be an array";
        for (auto& a : v["args"]) {
            if (!a.isString() && !a.isNumeric() && !a.isBool())
                return "\"" + key + "\": every argument must be a string";
        }
    }
    if (v.isMember("multisyncCommand") && !v["multisyncCommand"].isBool()) {
        return "\"" + key + "\": \"multisyncCommand\" must be true or false";
    }
    if (v.isMember("multisyncHosts") && !v["multisyncHosts"].isString()) {
        return "\"" + key + "\": \"multisyncHosts\" must be a string";
    }
    command = v;
    return "";
}

std::string GPIOInputs::checkEntry(const Json::Value& e, Input& in,
                                   const std::map<std::string, std::string>& portPins) {
    for (auto& key : e.getMemberNames()) {
        if (!INPUT_KEYS.count(key)) return "unknown key \"" + key + "\"";
    }
    if (!e["pin"].isString() || e["pin"].asString().empty()) return "\"pin\" must name a pin";
    in.pinName = e["pin"].asString();
    Json::Value pullValue = e.get("pull", "none"), activeValue = e.get("activeLevel", "high");
    std::string pull = pullValue.isString() ? pullValue.asString() : "";
    if (pull != "up" && pull != "down" && pull != "none") return "\"pull\" must be \"up\", \"down\" or \"none\"";
    std::string active = activeValue.isString() ? activeValue.asString() : "";
    if (active != "high" && active != "low") return "\"activeLevel\" must be \"high\" or \"low\"";
    in.activeLevel = active == "high" ? 1 : 0;
    const Json::Value& debounce = e["debounceMs"];
    if (!debounce.isNull() && (!debounce.isInt() || debounce.asInt() < 0 || debounce.asInt() > MAX_DEBOUNCE_MS)) {
        return "\"debounceMs\" must be a whole number from 0 to " + std::to_string(MAX_DEBOUNCE_MS);
    }
    in.debounceMs = debounce.isNull() ? DEFAULT_DEBOUNCE_MS : debounce.asInt();
    const Json::Value& held = e["heldMs"];
    if (!held.isNull() && (!held.isInt() || held.asInt() < 1 || held.asInt() > MAX_HELD_MS)) {
        return "\"heldMs\" must be a whole number from 1 to " + std::to_string(MAX_HELD_MS);
    }
    in.heldMs = held.isNull() ? 0 : held.asInt();
    struct {
        const char* key;
        Action* action;
    } actions[] = {{"press", &in.press}, {"release", &in.release}, {"held", &in.held}};
    for (auto& a : actions) {
        if (!e.isMember(a.key)) continue;
        std::string problem = checkAction(a.key, e[a.key], a.action->command, a.action->preset);
        if (!problem.empty()) return problem;
    }
    if (in.press.empty() && in.release.empty() && in.held.empty()) {
        return "nothing to do: give \"press\", \"release\" or \"held\"";
    }
    if (!in.held.empty() && !in.heldMs) return "\"held\" needs \"heldMs\"";
    if (in.held.empty() && in.heldMs) return "\"heldMs\" without \"held\"";

    // The pin last: nothing is set up for an entry that is refused.
    auto used = portPins.find(in.pinName);
    if (used != portPins.end()) return "pin " + in.pinName + " is " + used->second;
    for (auto& other : m_inputs) {
        if (other->pinName == in.pinName)
            return "pin " + in.pinName + " is already the pin of input \"" + other->name + "\"";
    }
    in.pin = PinCapabilities::getPinByName(in.pinName);
    if (!in.pin) return "no pin " + in.pinName + " on this board";
    if (!in.pin->configPin(pull == "up" ? "gpio_pu" : pull == "down" ? "gpio_pd" : "gpio", false)) {
        return "pin " + in.pinName + " cannot be set up as an input";
    }
    return "";
}

int GPIOInputs::Initialize(std::map<int, std::function<bool(int)>>& callbacks, const std::string& path) {
    LogDebug(VB_GPIO, "GPIOInputs::Initialize(%s)\n", path.c_str());
    if (!FileExists(path)) {
        LogDebug(VB_GPIO, "No GPIO inputs file %s\n", path.c_str());
        return 0;
    }
    Json::Value doc;
    std::string error;
    if (!ParseJson(GetFileContents(path), doc, &error)) {
        refuse("GPIO inputs file " + path + " is not valid JSON (" + error + "); no inputs are watched");
        return 0;
    }
    if (!doc.isObject() || !doc["inputs"].isArray()) {
        refuse("GPIO inputs file " + path + " needs an \"inputs\" array; no inputs are watched");
        return 0;
    }
    std::map<std::string, std::string> portPins = OutputMonitor::INSTANCE.GetPinUses();
    std::set<std::string> names;
    const Json::Value& entries = doc["inputs"];
    for (Json::ArrayIndex i = 0; i < entries.size(); ++i) {
        const Json::Value& e = entries[i];
        if (!e.isObject() || !e["name"].isString() || e["name"].asString().empty()) {
            refuse("GPIO input " + std::to_string(i + 1) + " in " + path + " has no \"name\"; ignored");
            continue;
        }
        auto in = std::make_unique<Input>();
        in->name = e["name"].asString();
        std::string where = "GPIO input \"" + in->name + "\" in " + path;
        if (names.count(in->name)) {
            refuse(where + " is defined twice; the second one is ignored");
            continue;
        }
        std::string problem = checkEntry(e, *in, portPins);
        if (problem.empty()) {
            in->timerFd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
            if (in->timerFd < 0) problem = std::string("no timer: ") + strerror(errno);
        }
        Input* p = in.get();
        if (problem.empty() &&
            !GPIOManager::INSTANCE.AddGPIOCallback(in->pin, [this, p](int level) { return onEdge(*p, level); })) {
            problem = "pin " + in->pinName + " cannot report changes";
        }
        if (!problem.empty()) {
            if (in->timerFd >= 0) close(in->timerFd);
            refuse(where + ": " + problem + "; ignored");
            continue;
        }
        names.insert(in->name);
        callbacks[in->timerFd] = [this, p](int) { return onTimer(*p); };
        // Held down at start: that press is not announced, its release is.
        in->pressed = in->pin->getValue() == in->activeLevel;
        LogInfo(VB_GPIO, "GPIO input \"%s\" on %s (active %s, debounce %d ms%s)%s\n", in->name.c_str(),
                in->pinName.c_str(), in->activeLevel ? "high" : "low", in->debounceMs,
                in->heldMs ? (", held after " + std::to_string(in->heldMs) + " ms").c_str() : "",
                in->pressed ? ": pressed at start" : "");
        std::lock_guard<std::mutex> lock(m_lock);
        m_inputs.push_back(std::move(in));
    }
    LogInfo(VB_GPIO, "%d GPIO inputs from %s\n", (int)m_inputs.size(), path.c_str());
    return (int)m_inputs.size();
}

void GPIOInputs::Cleanup() {
    std::vector<std::unique_ptr<Input>> inputs;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        inputs.swap(m_inputs);
    }
    for (auto& in : inputs) {
        GPIOManager::INSTANCE.RemoveGPIOCallback(in->pin);
        if (in->timerFd >= 0) close(in->timerFd);
    }
}

void GPIOInputs::accept(Input& in, bool active, long long now) {
    in.pressed = active;
    in.lockedUntil = in.debounceMs ? now + in.debounceMs : 0;
    if (active) {
        ++in.presses;
        in.heldAt = in.heldMs ? now + in.heldMs : 0;
    } else {
        in.heldAt = 0;
    }
}

bool GPIOInputs::onEdge(Input& in, int level) {
    long long now = GetTimeMS();
    bool active = level == in.activeLevel;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        ++in.edges;
        if (in.lockedUntil && now < in.lockedUntil) {
            LogExcess(VB_GPIO, "GPIO input \"%s\": bounce ignored\n", in.name.c_str());
            return false;
        }
        in.lockedUntil = 0;
        if (active == in.pressed) return false;
        accept(in, active, now);
    }
    // The pin's bounces need not wake the main loop: the timer reads it
    // again when the debounce time is over.
    if (in.debounceMs) GPIOManager::INSTANCE.PauseGPIOCallback(in.pin);
    arm(in);
    if (active) {
        run(in, in.press, "pressed");
    } else {
        run(in, in.release, "released");
    }
    return false;
}

bool GPIOInputs::onTimer(Input& in) {
    uint64_t expirations;
    if (read(in.timerFd, &expirations, sizeof(expirations)) < 0) {
        // not due after all (re-armed meanwhile)
    }
    long long now = GetTimeMS();
    int changed = -1;  // the level settled otherwise than last accepted: 1 pressed, 0 released
    bool heldNow = false;
    bool settled = in.lockedUntil && now >= in.lockedUntil;
    // Changes are reported again from before the level is read: none is lost.
    if (settled) GPIOManager::INSTANCE.ResumeGPIOCallback(in.pin);
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (settled) {
            in.lockedUntil = 0;
            bool active = in.pin->getValue() == in.activeLevel;
            if (active != in.pressed) {
                accept(in, active, now);
                changed = active ? 1 : 0;
            }
        }
        if (in.heldAt && now >= in.heldAt) {
            in.heldAt = 0;
            heldNow = in.pressed;
        }
    }
    if (changed >= 0 && in.debounceMs) GPIOManager::INSTANCE.PauseGPIOCallback(in.pin);
    arm(in);
    if (changed == 1) run(in, in.press, "pressed");
    if (changed == 0) run(in, in.release, "released");
    if (heldNow) run(in, in.held, ("held for " + std::to_string(in.heldMs) + " ms").c_str());
    return false;
}

void GPIOInputs::arm(Input& in) {
    long long next = 0;
    for (long long t : {in.lockedUntil, in.heldAt}) {
        if (t && (!next || t < next)) next = t;
    }
    struct itimerspec spec;
    memset(&spec, 0, sizeof(spec));
    if (next) {
        long long ms = std::max(1LL, next - GetTimeMS());
        spec.it_value.tv_sec = ms / 1000;
        spec.it_value.tv_nsec = (ms % 1000) * 1000000;
    }
    if (timerfd_settime(in.timerFd, 0, &spec, nullptr) < 0) {
        LogErr(VB_GPIO, "GPIO input \"%s\": timer not set: %s\n", in.name.c_str(), strerror(errno));
    }
}

void GPIOInputs::run(Input& in, const Action& a, const char* what) {
    if (a.empty()) {
        LogDebug(VB_GPIO, "GPIO input \"%s\" %s\n", in.name.c_str(), what);
        return;
    }
    if (!a.preset.empty()) {
        LogInfo(VB_GPIO, "GPIO input \"%s\" %s: preset %s\n", in.name.c_str(), what, a.preset.c_str());
        std::map<std::string, std::string> keywords{{"INPUT", in.name}, {"PIN", in.pinName}};
        CommandManager::INSTANCE.TriggerPreset(a.preset, keywords);
        return;
    }
    std::string name = a.command["command"].asString();
    Command* cmd = CommandManager::INSTANCE.getCommand(name);
    if (cmd && cmd->runsLong()) {
        // Waits on other devices: the preset worker runs it, not the main loop.
        LogInfo(VB_GPIO, "GPIO input \"%s\" %s: \"%s\" queued\n", in.name.c_str(), what, name.c_str());
        CommandManager::INSTANCE.QueueCommand(a.command);
        return;
    }
    std::unique_ptr<Command::Result> r = CommandManager::INSTANCE.run(a.command);
    if (r->isError()) {
        LogWarn(VB_GPIO, "GPIO input \"%s\" %s: \"%s\" failed: %s\n", in.name.c_str(), what, name.c_str(),
                shortAnswer(r->get()).c_str());
    } else {
        LogInfo(VB_GPIO, "GPIO input \"%s\" %s: \"%s\": %s\n", in.name.c_str(), what, name.c_str(),
                shortAnswer(r->get()).c_str());
    }
}

Json::Value GPIOInputs::Snapshot() {
    Json::Value out(Json::arrayValue);
    std::lock_guard<std::mutex> lock(m_lock);
    for (auto& in : m_inputs) {
        Json::Value j;
        j["name"] = in->name;
        j["pin"] = in->pinName;
        j["pressed"] = in->pressed;
        j["presses"] = (Json::Int64)in->presses;
        j["edges"] = (Json::Int64)in->edges;
        out.append(j);
    }
    return out;
}
