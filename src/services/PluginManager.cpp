#include "services/PluginManager.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <mutex>

#include "Warnings.h"
#include "commands/Commands.h"
#include "commands/PluginCommands.h"
#include "common.h"
#include "kiv/UserPlugin.h"
#include "log.h"
#include "settings.h"
#include "sync/MultiSync.h"

PluginManager PluginManager::INSTANCE;

// Key functions of the public interfaces: their type information lives in
// the daemon, which plug-ins link against at load time.
KIVPlugins::UserPlugin::~UserPlugin() {}
KIVPlugins::ChannelDataPlugin::~ChannelDataPlugin() {}
KIVPlugins::MediaPlugin::~MediaPlugin() {}
KIVPlugins::ControlPlugin::~ControlPlugin() {}
KIVPlugins::CommandPlugin::~CommandPlugin() {}

static const char* ABI_SYMBOL = "kivPluginAbiVersion";
static const char* CREATE_SYMBOL = "createPlugin";

struct PluginManager::Loaded {
    std::string folder, file, version;
    void* handle = nullptr;
    std::unique_ptr<KIVPlugins::Plugin> plugin;
    KIVPlugins::ChannelDataPlugin* frames = nullptr;
    KIVPlugins::MediaPlugin* media = nullptr;
    KIVPlugins::ControlPlugin* control = nullptr;
    KIVPlugins::CommandPlugin* commandSource = nullptr;
    std::vector<std::string> commands;  // registered in the registry for it
    std::atomic<bool> failed{false};
    // Time in the frame hooks: the frame under way, then the totals. Written
    // by the frame thread, read by status requests.
    std::atomic<uint64_t> pendingNs{0}, frameCount{0}, totalNs{0}, lastNs{0}, maxNs{0};
};

static uint64_t NowNs() {
    return (uint64_t)std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

namespace {

// A plug-in's command in the registry. Exceptions stop at this adapter.
class PluginCommandAdapter : public Command {
public:
    PluginCommandAdapter(const KIVPlugins::PluginCommand& c, std::function<void(const char*)> onThrow,
                         const std::atomic<bool>& failed)
        : Command(c.name, c.description), m_run(c.run), m_onThrow(std::move(onThrow)), m_failed(failed) {
        for (auto& a : c.args) args.emplace_back(a.name, a.type, a.description, a.optional);
    }
    std::unique_ptr<Result> run(const std::vector<std::string>& a) override {
        if (m_failed) return std::make_unique<ErrorResult>("The plug-in of \"" + name + "\" has failed");
        try {
            KIVPlugins::CommandResult r = m_run(a);
            if (r.error) return std::make_unique<ErrorResult>(r.text);
            return std::make_unique<Result>(r.text, r.contentType);
        } catch (const std::exception& e) {
            m_onThrow(e.what());
        } catch (...) {
            m_onThrow("unknown exception");
        }
        return std::make_unique<ErrorResult>("The plug-in of \"" + name + "\" has failed");
    }

private:
    std::function<KIVPlugins::CommandResult(const std::vector<std::string>&)> m_run;
    std::function<void(const char*)> m_onThrow;
    const std::atomic<bool>& m_failed;
};

std::string ExceptionText(std::exception_ptr e) {
    try {
        std::rethrow_exception(e);
    } catch (const std::exception& x) {
        return x.what();
    } catch (...) {
        return "unknown exception";
    }
}

}  // namespace

std::string PluginManager::PluginsDirectory() { return getKIVMediaDir("/plugins"); }

void PluginManager::init() {
    LogDebug(VB_PLUGIN, "PluginManager::init()\n");
    RegisterPluginCommands();
}

void PluginManager::loadUserPlugins() {
    std::string dir = PluginsDirectory();
    DIR* d = opendir(dir.c_str());
    if (!d) {
        LogDebug(VB_PLUGIN, "No user plug-ins: %s does not exist\n", dir.c_str());
        return;
    }
    std::vector<std::string> folders;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] != '.' && DirectoryExists(dir + "/" + e->d_name)) folders.push_back(e->d_name);
    }
    closedir(d);
    // Name order is load order, and so the order of the frame hooks.
    std::sort(folders.begin(), folders.end());
    for (auto& f : folders) load(f);
    std::unique_lock<std::shared_mutex> lock(m_lock);
    m_frameHooks = !m_framePlugins.empty();
    LogInfo(VB_PLUGIN, "%d user plug-in(s) loaded, %d refused\n", (int)m_plugins.size(), (int)m_refused.size());
}

void PluginManager::refuse(const std::string& folder, const std::string& file, const std::string& why) {
    LogErr(VB_PLUGIN, "User plug-in %s refused: %s\n", folder.c_str(), why.c_str());
    WarningHolder::AddWarning("User plug-in " + folder + " refused: " + why);
    // Its own name is unknown for most refusals (never created), so the
    // folder names it.
    Json::Value r;
    r["name"] = folder;
    r["folder"] = folder;
    r["file"] = file;
    r["reason"] = why;
    std::unique_lock<std::shared_mutex> lock(m_lock);
    m_refused.append(r);
}

void PluginManager::load(const std::string& folder) {
    std::string dir = PluginsDirectory() + "/" + folder;
    std::string file = dir + "/" + folder + ".so";
    struct stat fileSt, dirSt;
    if (stat(file.c_str(), &fileSt) != 0 || !S_ISREG(fileSt.st_mode)) {
        refuse(folder, file, "there is no " + folder + ".so in " + dir);
        return;
    }
    // Anyone could put code into the daemon through such a file.
    if (stat(dir.c_str(), &dirSt) != 0 || (fileSt.st_mode & S_IWOTH) || (dirSt.st_mode & S_IWOTH)) {
        refuse(folder, file, file + " or its folder is writable by every user");
        return;
    }
    // Local: plug-ins do not see each other's symbols.
    void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* e = dlerror();
        refuse(folder, file, std::string("cannot be loaded: ") + (e ? e : "unknown error"));
        return;
    }
    auto loaded = std::make_unique<Loaded>();
    loaded->folder = folder;
    loaded->file = file;
    loaded->handle = handle;
    auto fail = [&](const std::string& why) {
        loaded->plugin.reset();  // its code goes with the handle
        dlclose(handle);
        refuse(folder, file, why);
    };
    auto* abi = (const uint32_t*)dlsym(handle, ABI_SYMBOL);
    if (!abi) return fail(std::string("exports no ") + ABI_SYMBOL + " (build it with KIV_PLUGIN from kiv/Plugin.h)");
    if (*abi != KIV_PLUGIN_ABI_VERSION) {
        return fail("built for plug-in ABI " + std::to_string(*abi) + ", this kivd loads ABI " +
                    std::to_string(KIV_PLUGIN_ABI_VERSION));
    }
    auto create = (KIVCreatePluginFn)dlsym(handle, CREATE_SYMBOL);
    if (!create) return fail(std::string("exports no ") + CREATE_SYMBOL + " function");
    try {
        loaded->plugin.reset(create());
    } catch (...) {
        return fail(std::string(CREATE_SYMBOL) + " failed: " + ExceptionText(std::current_exception()));
    }
    if (!loaded->plugin) return fail(std::string(CREATE_SYMBOL) + " returned nothing");
    auto* user = dynamic_cast<KIVPlugins::UserPlugin*>(loaded->plugin.get());
    if (!user) return fail("its object does not derive from KIVPlugins::UserPlugin");
    std::string name = loaded->plugin->getName();
    std::string namesake;
    {
        std::shared_lock<std::shared_mutex> lock(m_lock);
        for (auto& p : m_plugins) {
            if (p->plugin->getName() == name) namesake = p->folder;
        }
    }
    // Refused outside the lock: refuse() takes it to note the refusal.
    if (!namesake.empty()) return fail("another plug-in (" + namesake + ") is already named \"" + name + "\"");
    KIVPlugins::PluginHost host;
    host.directory = dir;
    host.mediaDirectory = getKIVMediaDir();
    std::string prefix = "Plug-in " + folder + ": ";
    host.log = [prefix](KIVPlugins::LogLevel level, const std::string& text) {
        static const int levels[] = {LOG_ERR, LOG_WARN, LOG_INFO, LOG_DEBUG};
        std::string line = prefix + text;
        if (line.back() != '\n') line += "\n";
        _LogWrite(__FILE__, __LINE__, levels[(int)level & 3], VB_PLUGIN, line);
    };
    host.warn = [prefix](const std::string& text) { WarningHolder::AddWarning(prefix + text); };
    host.sendSyncData = [name](const unsigned char* data, int len) {
        MultiSync::INSTANCE.SendPluginData(name, data, len);
    };
    std::string version;
    std::vector<KIVPlugins::PluginCommand> commands;
    try {
        user->setUp(host);
        version = user->version();
        loaded->commandSource = dynamic_cast<KIVPlugins::CommandPlugin*>(loaded->plugin.get());
        if (loaded->commandSource) commands = loaded->commandSource->getCommands();
    } catch (...) {
        return fail("set-up failed: " + ExceptionText(std::current_exception()));
    }
    loaded->version = version;
    loaded->frames = dynamic_cast<KIVPlugins::ChannelDataPlugin*>(loaded->plugin.get());
    loaded->media = dynamic_cast<KIVPlugins::MediaPlugin*>(loaded->plugin.get());
    loaded->control = dynamic_cast<KIVPlugins::ControlPlugin*>(loaded->plugin.get());
    Loaded* p = loaded.get();
    for (auto& c : commands) {
        if (c.name.empty() || !c.run || CommandManager::INSTANCE.getCommand(c.name)) {
            LogErr(VB_PLUGIN, "Plug-in %s: command \"%s\" not added: its name is empty or taken, or it has no "
                              "function\n", folder.c_str(), c.name.c_str());
            WarningHolder::AddWarning("Plug-in " + folder + ": command \"" + c.name + "\" not added");
            continue;
        }
        CommandManager::INSTANCE.addCommand(new PluginCommandAdapter(
            c, [this, p](const char* what) { failed(*p, "a command", what); }, p->failed));
        p->commands.push_back(c.name);
    }
    LogInfo(VB_PLUGIN, "Loaded user plug-in %s (\"%s\" version %s) from %s\n", folder.c_str(), name.c_str(),
            version.c_str(), file.c_str());
    std::unique_lock<std::shared_mutex> lock(m_lock);
    if (p->frames) m_framePlugins.push_back(p);
    m_plugins.push_back(std::move(loaded));
}

void PluginManager::failed(Loaded& p, const char* call, const char* what) {
    if (p.failed.exchange(true)) return;
    LogErr(VB_PLUGIN, "Plug-in %s failed in %s (%s); it is no longer called\n", p.folder.c_str(), call, what);
    WarningHolder::AddWarning("Plug-in " + p.folder + " failed in " + call + " (" + what +
                              "); it is no longer called");
}

void PluginManager::runFrameHooks(int ms, unsigned char* data, bool last) {
    std::shared_lock<std::shared_mutex> lock(m_lock);
    for (Loaded* p : m_framePlugins) {
        if (p->failed.load(std::memory_order_relaxed)) continue;
        uint64_t t0 = NowNs();
        try {
            if (last) {
                p->frames->modifyChannelData(ms, data);
            } else {
                p->frames->modifySequenceData(ms, data);
            }
        } catch (...) {
            failed(*p, last ? "modifyChannelData" : "modifySequenceData",
                   ExceptionText(std::current_exception()).c_str());
        }
        uint64_t frameNs = p->pendingNs.load(std::memory_order_relaxed) + (NowNs() - t0);
        if (!last) {
            p->pendingNs.store(frameNs, std::memory_order_relaxed);
            continue;
        }
        // The frame's last hook: its time goes into the totals.
        p->pendingNs.store(0, std::memory_order_relaxed);
        p->lastNs.store(frameNs, std::memory_order_relaxed);
        p->totalNs.fetch_add(frameNs, std::memory_order_relaxed);
        p->frameCount.fetch_add(1, std::memory_order_relaxed);
        if (frameNs > p->maxNs.load(std::memory_order_relaxed)) p->maxNs.store(frameNs, std::memory_order_relaxed);
    }
}

void PluginManager::mediaCallback(const Json::Value& playlistInfo, const Json::Value& mediaDetails) {
    std::shared_lock<std::shared_mutex> lock(m_lock);
    for (auto& p : m_plugins) {
        if (!p->media || p->failed) continue;
        try {
            p->media->mediaCallback(playlistInfo, mediaDetails);
        } catch (...) {
            failed(*p, "mediaCallback", ExceptionText(std::current_exception()).c_str());
        }
    }
}

void PluginManager::multiSyncData(const std::string& pluginName, const uint8_t* data, int len) {
    std::shared_lock<std::shared_mutex> lock(m_lock);
    for (auto& p : m_plugins) {
        if (p->plugin->getName() != pluginName) continue;
        if (p->failed) return;
        try {
            p->plugin->multiSyncData(data, len);
        } catch (...) {
            failed(*p, "multiSyncData", ExceptionText(std::current_exception()).c_str());
        }
        return;
    }
    LogDebug(VB_PLUGIN, "Sync data for plug-in \"%s\" dropped: no such plug-in\n", pluginName.c_str());
}

void PluginManager::addControlCallbacks(std::map<int, std::function<bool(int)>>& callbacks) {
    std::shared_lock<std::shared_mutex> lock(m_lock);
    for (auto& loaded : m_plugins) {
        Loaded* p = loaded.get();
        if (!p->control || p->failed) continue;
        std::map<int, std::function<bool(int)>> own;
        try {
            p->control->addControlCallbacks(own);
        } catch (...) {
            failed(*p, "addControlCallbacks", ExceptionText(std::current_exception()).c_str());
            continue;
        }
        for (auto& c : own) {
            if (callbacks.count(c.first) || c.first < 0 || !c.second) {
                LogErr(VB_PLUGIN, "Plug-in %s: descriptor %d not watched: it is invalid or already watched\n",
                       p->folder.c_str(), c.first);
                WarningHolder::AddWarning("Plug-in " + p->folder + ": descriptor " + std::to_string(c.first) +
                                          " not watched");
                continue;
            }
            callbacks[c.first] = [this, p, cb = c.second](int fd) {
                if (!p->failed) {
                    try {
                        return cb(fd);
                    } catch (...) {
                        failed(*p, "a descriptor callback", ExceptionText(std::current_exception()).c_str());
                    }
                }
                // The main loop keeps waiting on the descriptor: its open
                // file is swapped for one that never becomes readable, so
                // the loop does not spin; the number stays the plug-in's.
                int quiet = eventfd(0, EFD_CLOEXEC);
                if (quiet >= 0) {
                    dup3(quiet, fd, O_CLOEXEC);
                    close(quiet);
                }
                return false;
            };
        }
    }
}

void PluginManager::Cleanup() {
    std::vector<std::unique_ptr<Loaded>> plugins;
    {
        std::unique_lock<std::shared_mutex> lock(m_lock);
        m_frameHooks = false;
        m_framePlugins.clear();
        plugins.swap(m_plugins);
        m_refused = Json::Value(Json::arrayValue);
    }
    while (!plugins.empty()) {
        std::unique_ptr<Loaded> p = std::move(plugins.back());
        plugins.pop_back();
        for (auto& c : p->commands) CommandManager::INSTANCE.removeCommand(c);
        try {
            p->plugin.reset();
        } catch (...) {
            LogErr(VB_PLUGIN, "Plug-in %s threw while being unloaded\n", p->folder.c_str());
        }
        dlclose(p->handle);
        LogInfo(VB_PLUGIN, "Unloaded user plug-in %s\n", p->folder.c_str());
    }
}

Json::Value PluginManager::GetStatus() {
    Json::Value doc;
    doc["directory"] = PluginsDirectory();
    doc["abiVersion"] = KIV_PLUGIN_ABI_VERSION;
    Json::Value list(Json::arrayValue);
    std::shared_lock<std::shared_mutex> lock(m_lock);
    for (auto& p : m_plugins) {
        Json::Value j;
        j["name"] = p->plugin->getName();
        j["folder"] = p->folder;
        j["file"] = p->file;
        j["version"] = p->version;
        j["failed"] = p->failed.load();
        Json::Value kinds(Json::arrayValue);
        if (p->frames) kinds.append("channelData");
        if (p->media) kinds.append("media");
        if (p->control) kinds.append("control");
        if (p->commandSource) kinds.append("commands");
        j["interfaces"] = kinds;
        for (auto& c : p->commands) j["commands"].append(c);
        if (p->frames) {
            uint64_t frames = p->frameCount.load();
            j["frames"] = (Json::Int64)frames;
            j["lastFrameUs"] = p->lastNs.load() / 1000.0;
            j["averageFrameUs"] = frames ? p->totalNs.load() / 1000.0 / frames : 0.0;
            j["maxFrameUs"] = p->maxNs.load() / 1000.0;
        }
        list.append(j);
    }
    doc["plugins"] = list;
    doc["refused"] = m_refused;
    return doc;
}
