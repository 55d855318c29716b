#include "channeloutput/channeloutput.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "Plugins.h"
#include "Warnings.h"
#include "channeloutput/ChannelOutput.h"
#include "common.h"
#include "log.h"
#include "settings.h"

std::atomic<int> channelOutputFrame{0};
std::atomic<float> mediaElapsedSeconds{0.0f};

static constexpr uint32_t MAX_CHANNELS = 8388608;

struct LoadedPlugin {
    void* handle;
    std::unique_ptr<KIVPlugins::Plugin> plugin;
};

// guards channelOutputs; the output thread holds it for each frame's pass
static std::mutex outputsLock;
static std::vector<std::unique_ptr<ChannelOutput>> channelOutputs;
// plug-in objects live until shut-down, after the outputs they created
static std::vector<LoadedPlugin> loadedPlugins;

std::string ChannelOutputsFilePath() { return getKIVMediaDir("/config/channeloutputs.json"); }

std::vector<std::string> PluginSearchPath() {
    std::vector<std::string> dirs;
    const char* env = getenv("KIV_PLUGIN_PATH");
    if (env && env[0]) {
        for (auto& d : split(env, ':')) {
            if (!d.empty()) dirs.push_back(d);
        }
    }
    dirs.push_back(getKIVDDir("/plugins"));
    return dirs;
}

static bool validPluginName(const std::string& name) {
    if (name.empty() || name.size() > 64) return false;
    for (char c : name) {
        if (!isalnum((unsigned char)c) && c != '_' && c != '-') return false;
    }
    return true;
}

static KIVPlugins::ChannelOutputPlugin* findPlugin(const std::string& name, std::string& error) {
    for (auto& p : loadedPlugins) {
        if (p.plugin->getName() == name) {
            return dynamic_cast<KIVPlugins::ChannelOutputPlugin*>(p.plugin.get());
        }
    }
    if (!validPluginName(name)) {
        error = "invalid plug-in name";
        return nullptr;
    }
    std::string path;
    for (auto& d : PluginSearchPath()) {
        std::string candidate = d + "/" + name + ".so";
        if (FileExists(candidate)) {
            path = candidate;
            break;
        }
    }
    if (path.empty()) {
        error = "no plug-in named " + name + ".so";
        return nullptr;
    }
    // RTLD_GLOBAL: a plug-in may extend another (GenericUDP attaches to UDP).
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL);
    if (!handle) {
        const char* e = dlerror();
        error = std::string("could not load ") + path + ": " + (e ? e : "unknown error");
        return nullptr;
    }
    KIVCreatePluginFn create = (KIVCreatePluginFn)dlsym(handle, "createPlugin");
    if (!create) {
        error = path + " has no createPlugin function";
        return nullptr;
    }
    KIVPlugins::Plugin* plugin = create();
    if (!plugin) {
        error = path + ": createPlugin returned nothing";
        return nullptr;
    }
    auto* cop = dynamic_cast<KIVPlugins::ChannelOutputPlugin*>(plugin);
    if (!cop) {
        delete plugin;
        error = path + " is not a channel output plug-in";
        return nullptr;
    }
    LogInfo(VB_CHANNELOUT, "Loaded output plug-in %s from %s\n", name.c_str(), path.c_str());
    loadedPlugins.push_back({handle, std::unique_ptr<KIVPlugins::Plugin>(plugin)});
    return cop;
}

static void outputFailed(int index, const std::string& type, const std::string& why) {
    LogErr(VB_CHANNELOUT, "Channel output %d (%s) disabled: %s\n", index, type.c_str(), why.c_str());
    WarningHolder::AddWarning("Channel output " + std::to_string(index) + " (" + type + ") disabled: " + why);
}

int InitializeChannelOutputs() {
    LogDebug(VB_CHANNELOUT, "InitializeChannelOutputs()\n");
    std::string path = ChannelOutputsFilePath();
    if (!FileExists(path)) {
        LogInfo(VB_CHANNELOUT, "No channel outputs file %s; no outputs configured\n", path.c_str());
        return 0;
    }
    Json::Value doc;
    if (!LoadJsonFromFile(path, doc) || !doc.isObject() || !doc["channelOutputs"].isArray()) {
        LogErr(VB_CHANNELOUT, "Channel outputs file %s is not a JSON object with a \"channelOutputs\" array\n",
               path.c_str());
        WarningHolder::AddWarning("Channel outputs file " + path + " is invalid; no outputs are running");
        return 0;
    }
    // The UDP engine comes first so that outputs attaching to it find it.
    std::vector<std::pair<int, Json::Value>> entries;
    const Json::Value& list = doc["channelOutputs"];
    for (Json::ArrayIndex i = 0; i < list.size(); ++i) entries.push_back({(int)i, list[i]});
    std::stable_partition(entries.begin(), entries.end(), [](const std::pair<int, Json::Value>& e) {
        return e.second.isObject() && e.second["type"].isString() && e.second["type"].asString() == "UDP";
    });
    int created = 0;
    for (auto& e : entries) {
        int index = e.first;
        Json::Value& cfg = e.second;
        if (!cfg.isObject() || !cfg["type"].isString()) {
            outputFailed(index, "?", "entry needs a \"type\" naming its plug-in");
            continue;
        }
        std::string type = cfg["type"].asString();
        if (cfg.isMember("enabled") && !cfg["enabled"].asBool()) {
            LogInfo(VB_CHANNELOUT, "Channel output %d (%s) is not enabled\n", index, type.c_str());
            continue;
        }
        int start = cfg.get("startChannel", 1).asInt();
        int count = cfg.get("channelCount", 0).asInt();
        if (start < 1 || count < 0 || (uint64_t)(start - 1) + (uint64_t)count > MAX_CHANNELS) {
            outputFailed(index, type, "channel range " + std::to_string(start) + "+" + std::to_string(count) +
                                          " is outside 1-8388608");
            continue;
        }
        std::string error;
        KIVPlugins::ChannelOutputPlugin* plugin = findPlugin(type, error);
        if (!plugin) {
            outputFailed(index, type, error);
            continue;
        }
        ChannelOutput* out = plugin->createChannelOutput((unsigned)(start - 1), (unsigned)count);
        if (!out) {
            outputFailed(index, type, "the plug-in created no output");
            continue;
        }
        if (!out->Init(cfg)) {
            out->Close();
            delete out;
            outputFailed(index, type, "its configuration could not be initialised (see the log)");
            continue;
        }
        if (count > 0) {
            LogInfo(VB_CHANNELOUT, "Channel output %d (%s) running: channels %d-%d\n", index, type.c_str(), start,
                    start + count - 1);
        } else {
            LogInfo(VB_CHANNELOUT, "Channel output %d (%s) running\n", index, type.c_str());
        }
        std::lock_guard<std::mutex> lock(outputsLock);
        channelOutputs.emplace_back(out);
        ++created;
    }
    return created;
}

void AddChannelOutput(ChannelOutput* output) {
    std::lock_guard<std::mutex> lock(outputsLock);
    channelOutputs.emplace_back(output);
}

int ChannelOutputCount() {
    std::lock_guard<std::mutex> lock(outputsLock);
    return (int)channelOutputs.size();
}

void CloseChannelOutputs() {
    LogDebug(VB_CHANNELOUT, "CloseChannelOutputs()\n");
    std::vector<std::unique_ptr<ChannelOutput>> outputs;
    {
        std::lock_guard<std::mutex> lock(outputsLock);
        outputs.swap(channelOutputs);
    }
    // Reverse order: outputs attached to another close before it.
    for (auto it = outputs.rbegin(); it != outputs.rend(); ++it) {
        (*it)->Close();
    }
    while (!outputs.empty()) {
        outputs.pop_back();
    }
    // Plug-in objects go after their outputs; the shared objects stay mapped.
    while (!loadedPlugins.empty()) {
        loadedPlugins.back().plugin.reset();
        loadedPlugins.pop_back();
    }
}

int PrepareChannelData(char* channelData) {
    std::lock_guard<std::mutex> lock(outputsLock);
    for (auto& o : channelOutputs) {
        o->PrepData((unsigned char*)channelData);
    }
    return 1;
}

int SendChannelData(const char* channelData) {
    std::lock_guard<std::mutex> lock(outputsLock);
    for (auto& o : channelOutputs) {
        o->SendData((unsigned char*)channelData);
    }
    return 1;
}

void WaitForChannelOutputSends() {
    std::lock_guard<std::mutex> lock(outputsLock);
    for (auto& o : channelOutputs) o->WaitForSendsToFinish();
}

std::vector<std::pair<uint32_t, uint32_t>> GetOutputRanges(bool precise) {
    std::vector<std::pair<int64_t, int64_t>> raw;  // first, last inclusive
    {
        std::lock_guard<std::mutex> lock(outputsLock);
        for (auto& o : channelOutputs) {
            o->GetRequiredChannelRanges([&raw](int first, int last) {
                if (last >= first && first >= 0) raw.push_back({first, last});
            });
        }
    }
    std::sort(raw.begin(), raw.end());
    std::vector<std::pair<uint32_t, uint32_t>> out;
    int64_t gap = precise ? 1 : 1024;
    for (auto& r : raw) {
        int64_t first = std::min<int64_t>(r.first, MAX_CHANNELS - 1);
        int64_t last = std::min<int64_t>(r.second, MAX_CHANNELS - 1);
        if (!out.empty()) {
            int64_t prevEnd = (int64_t)out.back().first + out.back().second;  // exclusive
            if (first <= prevEnd - 1 + gap) {
                if (last + 1 > prevEnd) out.back().second = (uint32_t)(last + 1 - out.back().first);
                continue;
            }
        }
        out.push_back({(uint32_t)first, (uint32_t)(last - first + 1)});
    }
    return out;
}

void StartingOutput() {
    std::lock_guard<std::mutex> lock(outputsLock);
    for (auto& o : channelOutputs) o->StartingOutput();
}

void StoppingOutput() {
    std::lock_guard<std::mutex> lock(outputsLock);
    for (auto& o : channelOutputs) o->StoppingOutput();
}

void SetChannelOutputFrameNumber(int frameNumber) { channelOutputFrame = frameNumber; }
void ResetChannelOutputFrameNumber() { channelOutputFrame = 0; }
