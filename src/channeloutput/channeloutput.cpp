#include "channeloutput/channeloutput.h"

#include <arpa/inet.h>
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

// The shared object of a plug-in, or "" with the reason.
static std::string findPluginFile(const std::string& name, std::string& error) {
    if (!validPluginName(name)) {
        error = "invalid plug-in name";
        return "";
    }
    for (auto& d : PluginSearchPath()) {
        std::string candidate = d + "/" + name + ".so";
        if (FileExists(candidate)) return candidate;
    }
    error = "no plug-in named " + name + ".so";
    return "";
}

static KIVPlugins::ChannelOutputPlugin* findPlugin(const std::string& name, std::string& error) {
    for (auto& p : loadedPlugins) {
        if (p.plugin->getName() == name) {
            return dynamic_cast<KIVPlugins::ChannelOutputPlugin*>(p.plugin.get());
        }
    }
    std::string path = findPluginFile(name, error);
    if (path.empty()) return nullptr;
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

// Why an output's channel range cannot be used, or "".
static std::string rangeProblem(int start, int count) {
    if (start < 1 || count < 0 || (uint64_t)(start - 1) + (uint64_t)count > MAX_CHANNELS) {
        return "channel range " + std::to_string(start) + "+" + std::to_string(count) + " is outside 1-8388608";
    }
    return "";
}

static bool outputsDocumentValid(const Json::Value& doc) { return doc.isObject() && doc["channelOutputs"].isArray(); }

namespace {
// Protocols of the UDP engine's destinations ("type" of an entry of
// "universes"); docs/outputs.md. Multicast E1.31 (0) and broadcast Art-Net
// (2) need no address.
struct DestinationKind {
    const char* name;
    bool needsAddress;
    int channelsPerUniverse;  // 0: one span of channelCount
};
const DestinationKind DESTINATION_KINDS[] = {
    {"E1.31 multicast", false, 512}, {"E1.31", true, 512}, {"Art-Net broadcast", false, 512},
    {"Art-Net", true, 512},          {"DDP", true, 0},     {"DDP", true, 0},
    {"KiNet", true, 512},            {"KiNet", true, 512}, {"Twinkly", true, 0},
};

bool validHostName(const std::string& host) {
    struct in_addr a;
    if (inet_pton(AF_INET, host.c_str(), &a) == 1) return true;
    if (host.empty() || host.size() > 253 || host.front() == '-' || host.front() == '.') return false;
    bool letter = false;
    for (char c : host) {
        if (isalpha((unsigned char)c)) letter = true;
        if (!isalnum((unsigned char)c) && c != '-' && c != '.') return false;
    }
    return letter;  // all digits and dots, yet no IPv4 address: a typo
}

struct Span {
    long long first, last;  // channels from 1
    std::string who;
};
}  // namespace

std::vector<std::string> CheckChannelOutputs(const Json::Value& doc) {
    std::vector<std::string> problems;
    if (!outputsDocumentValid(doc)) {
        problems.push_back("The outputs must be a JSON object with a \"channelOutputs\" array");
        return problems;
    }
    std::vector<Span> spans;
    const Json::Value& list = doc["channelOutputs"];
    for (Json::ArrayIndex i = 0; i < list.size(); ++i) {
        const Json::Value& cfg = list[i];
        std::string where = "Output " + std::to_string(i + 1);
        if (!cfg.isObject() || !cfg["type"].isString()) {
            problems.push_back(where + ": \"type\" must name its plug-in");
            continue;
        }
        std::string type = cfg["type"].asString();
        where += " (" + type + ")";
        std::string error;
        if (findPluginFile(type, error).empty()) {
            problems.push_back(where + ": unknown type \"" + type + "\" (" + error + ")");
            continue;
        }
        if (JsonInt(cfg, "enabled", 1) == 0) continue;
        int start = JsonInt(cfg, "startChannel", 1), count = JsonInt(cfg, "channelCount", 0);
        std::string range = rangeProblem(start, count);
        if (!range.empty()) {
            problems.push_back(where + ": \"startChannel\"/\"channelCount\": " + range);
            continue;
        }
        if (count > 0) spans.push_back({start, (long long)start + count - 1, where});
        // Pixel strings of an output on the board (SPIPixels): 3 channels a
        // pixel, 4 with a white one in the colour order.
        const Json::Value& strings = cfg["strings"];
        for (Json::ArrayIndex s = 0; strings.isArray() && s < strings.size(); ++s) {
            const Json::Value& js = strings[s];
            std::string at = where + " string " + std::to_string(s + 1);
            if (!js.isObject()) {
                problems.push_back(at + ": not a JSON object");
                continue;
            }
            if (js["name"].isString()) at += " '" + js["name"].asString() + "'";
            bool white = js["colorOrder"].isString() && js["colorOrder"].asString().size() == 4;
            int first = JsonInt(js, "startChannel", 0);
            long long n = (long long)JsonInt(js, "pixelCount", 0) * (white ? 4 : 3);
            if (first < 1 || n < 1 || first - 1 + n > MAX_CHANNELS) {
                problems.push_back(at + ": \"startChannel\"/\"pixelCount\": channel range " + std::to_string(first) +
                                   "+" + std::to_string(n) + " is outside 1-8388608");
            } else {
                spans.push_back({first, first + n - 1, at});
            }
        }
        const Json::Value& dests = cfg["universes"];
        if (cfg.isMember("universes") && !dests.isArray()) {
            problems.push_back(where + ": \"universes\" must be an array");
            continue;
        }
        for (Json::ArrayIndex d = 0; d < dests.size(); ++d) {
            const Json::Value& u = dests[d];
            std::string at = where + " destination " + std::to_string(d + 1);
            if (!u.isObject()) {
                problems.push_back(at + ": not a JSON object");
                continue;
            }
            if (u["description"].isString() && !u["description"].asString().empty()) {
                at += " '" + u["description"].asString() + "'";
            }
            int kind = JsonInt(u, "type", u.isMember("type") ? -1 : 0);
            if (kind < 0 || kind >= (int)(sizeof(DESTINATION_KINDS) / sizeof(DESTINATION_KINDS[0]))) {
                problems.push_back(at + ": \"type\" " + SaveJsonToString(u["type"]) + " is not a known protocol (0-8)");
                continue;
            }
            const DestinationKind& k = DESTINATION_KINDS[kind];
            std::string address = u["address"].isString() ? u["address"].asString() : "";
            if (k.needsAddress && !validHostName(address)) {
                problems.push_back(at + ": \"address\" '" + address + "' is not an IPv4 address or host name");
                continue;
            }
            int first = JsonInt(u, "startChannel", 0), n = JsonInt(u, "channelCount", 0);
            long long total = n;
            if (k.channelsPerUniverse) {
                if (n > k.channelsPerUniverse) {
                    problems.push_back(at + ": \"channelCount\" " + std::to_string(n) + " is more than " +
                                       std::to_string(k.channelsPerUniverse) + " per universe");
                    continue;
                }
                total = (long long)n * std::max(1, JsonInt(u, "universeCount", 1));
            }
            if (first < 1 || total < 1 || first - 1 + total > MAX_CHANNELS) {
                problems.push_back(at + ": \"startChannel\"/\"channelCount\": channel range " + std::to_string(first) +
                                   "+" + std::to_string(total) + " is outside 1-8388608");
                continue;
            }
            if (JsonInt(u, "active", 1) != 0) spans.push_back({first, first + total - 1, at + " (" + k.name + ")"});
        }
    }
    std::stable_sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) { return a.first < b.first; });
    for (size_t i = 1; i < spans.size(); ++i) {
        // Against the span reaching furthest so far: three-way overlaps name each newcomer once.
        const Span& prev = *std::max_element(spans.begin(), spans.begin() + i,
                                             [](const Span& a, const Span& b) { return a.last < b.last; });
        if (spans[i].first <= prev.last) {
            problems.push_back(spans[i].who + ": channels " + std::to_string(spans[i].first) + "-" +
                               std::to_string(spans[i].last) + " overlap " + prev.who + " (channels " +
                               std::to_string(prev.first) + "-" + std::to_string(prev.last) + ")");
        }
    }
    return problems;
}

int InitializeChannelOutputs() {
    LogDebug(VB_CHANNELOUT, "InitializeChannelOutputs()\n");
    std::string path = ChannelOutputsFilePath();
    if (!FileExists(path)) {
        LogInfo(VB_CHANNELOUT, "No channel outputs file %s; no outputs configured\n", path.c_str());
        return 0;
    }
    Json::Value doc;
    if (!LoadJsonFromFile(path, doc) || !outputsDocumentValid(doc)) {
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
        std::string range = rangeProblem(start, count);
        if (!range.empty()) {
            outputFailed(index, type, range);
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
