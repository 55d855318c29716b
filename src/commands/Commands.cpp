#include "commands/Commands.h"

#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>

#include "LogRateLimit.h"
#include "common.h"
#include "log.h"
#include "settings.h"
#include "sync/MultiSync.h"

CommandManager CommandManager::INSTANCE;

static constexpr int UNKNOWN_NAMES_LOGGED_PER_MINUTE = 20;
// Commands from other systems wait behind presets; a peer sending them in a
// loop must not grow the queue without end.
static constexpr size_t MAX_QUEUED_COMMANDS = 100;

Command::Command(const std::string& n, const std::string& d) : name(n), description(d) {}
Command::~Command() {}

Json::Value Command::getDescription() {
    Json::Value v;
    v["name"] = name;
    v["description"] = description;
    Json::Value a(Json::arrayValue);
    for (auto& arg : args) {
        Json::Value j;
        j["name"] = arg.name;
        j["type"] = arg.type;
        j["description"] = arg.description;
        j["optional"] = arg.optional;
        if (arg.min != arg.max) {
            j["min"] = arg.min;
            j["max"] = arg.max;
        }
        j["default"] = arg.defaultValue;
        for (auto& c : arg.contentListValues) j["contents"].append(c);
        if (!arg.contentListUrl.empty()) j["contentListUrl"] = arg.contentListUrl;
        a.append(j);
    }
    v["args"] = a;
    return v;
}

namespace {
// Lists the registered commands; what a user types first at the client.
class ListCommandsCommand : public Command {
public:
    ListCommandsCommand() : Command("List Commands", "Lists every registered command with its arguments") {}
    std::unique_ptr<Result> run(const std::vector<std::string>& args) override {
        return std::make_unique<Result>(SaveJsonToString(CommandManager::INSTANCE.getDescriptions(), "  "),
                                        "application/json");
    }
};

// Runs the commands bound to a preset name, as the daemon's events do.
class TriggerPresetCommand : public Command {
public:
    TriggerPresetCommand() : Command("Trigger Command Preset", "Runs the commands bound to a preset name") {
        args.emplace_back("Name", "string", "Preset name");
    }
    std::unique_ptr<Result> run(const std::vector<std::string>& a) override {
        if (a.empty()) {
            return std::make_unique<ErrorResult>("Command needs 1 argument, found 0");
        }
        CommandManager::INSTANCE.TriggerPreset(a[0]);
        return std::make_unique<Result>("Preset Triggered");
    }
};
}  // namespace

CommandManager::~CommandManager() { Cleanup(); }

void CommandManager::Init() {
    LogDebug(VB_COMMAND, "CommandManager::Init()\n");
    addCommand(new ListCommandsCommand());
    addCommand(new TriggerPresetCommand());
    loadPresetsIfChanged();
    std::lock_guard<std::mutex> lock(m_queueLock);
    if (!m_running) {
        m_running = true;
        m_worker = std::thread(&CommandManager::presetWorker, this);
    }
}

void CommandManager::Cleanup() {
    {
        std::unique_lock<std::mutex> lock(m_queueLock);
        if (m_running) {
            // Presets already triggered (KIVD_STOPPED among them) still run.
            m_queueCV.wait(lock, [this] { return m_queue.empty() && !m_busy; });
            m_running = false;
            m_queueCV.notify_all();
        }
    }
    if (m_worker.joinable()) {
        m_worker.join();
    }
    std::lock_guard<std::mutex> lock(m_commandsLock);
    m_commands.clear();
}

void CommandManager::addCommand(Command* cmd) {
    std::lock_guard<std::mutex> lock(m_commandsLock);
    LogDebug(VB_COMMAND, "Adding command \"%s\"\n", cmd->name.c_str());
    m_commands[cmd->name].reset(cmd);
}

void CommandManager::removeCommand(Command* cmd) { removeCommand(cmd->name); }

void CommandManager::removeCommand(const std::string& name) {
    std::lock_guard<std::mutex> lock(m_commandsLock);
    m_commands.erase(name);
}

Command* CommandManager::getCommand(const std::string& name) {
    std::lock_guard<std::mutex> lock(m_commandsLock);
    auto it = m_commands.find(name);
    return it == m_commands.end() ? nullptr : it->second.get();
}

Json::Value CommandManager::getDescriptions() {
    std::lock_guard<std::mutex> lock(m_commandsLock);
    Json::Value out(Json::arrayValue);
    for (auto& c : m_commands) {
        if (!c.second->hidden()) out.append(c.second->getDescription());
    }
    return out;
}

std::unique_ptr<Command::Result> CommandManager::run(const std::string& name, const std::vector<std::string>& args) {
    Command* cmd = getCommand(name);
    if (!cmd) {
        // Names come from clients: shown short, and not for every one of a
        // flood.
        static LogRateLimit unknownNames(UNKNOWN_NAMES_LOGGED_PER_MINUTE);
        long heldBack = 0;
        bool last = false;
        if (unknownNames.Allow(heldBack, &last)) {
            std::string shown = name.size() > 80 ? name.substr(0, 80) + "..." : name;
            LogWarn(VB_COMMAND, "Unknown command \"%s\"%s\n", shown.c_str(),
                    LogRateLimit::Note(heldBack, last, "unknown commands").c_str());
        }
        return std::make_unique<Command::ErrorResult>("Unknown command: \"" + name + "\"");
    }
    LogDebug(VB_COMMAND, "Running command \"%s\" with %d arguments\n", name.c_str(), (int)args.size());
    return cmd->run(args);
}

std::unique_ptr<Command::Result> CommandManager::run(const Json::Value& cmd) {
    if (!cmd.isObject() || !cmd["command"].isString()) {
        return std::make_unique<Command::ErrorResult>("Invalid command document: \"command\" must be a string");
    }
    std::vector<std::string> args;
    const Json::Value& a = cmd["args"];
    if (!a.isNull() && !a.isArray()) {
        return std::make_unique<Command::ErrorResult>("Invalid command document: \"args\" must be an array");
    }
    for (const auto& v : a) {
        args.push_back(v.isString() ? v.asString() : SaveJsonToString(v));
    }
    if (cmd["multisyncCommand"].isBool() && cmd["multisyncCommand"].asBool()) {
        std::string hosts = cmd["multisyncHosts"].isString() ? cmd["multisyncHosts"].asString() : "";
        if (!MultiSync::INSTANCE.SendCommand(hosts, cmd["command"].asString(), args)) {
            static std::atomic<bool> told{false};
            if (!told.exchange(true)) {
                LogWarn(VB_COMMAND,
                        "Command \"%s\" asks to run on other systems too, but multi-system sync is off here "
                        "(player mode): it runs on this system only\n",
                        cmd["command"].asString().c_str());
            }
        }
    }
    return run(cmd["command"].asString(), args);
}

std::string CommandManager::presetsFilePath() const { return getKIVMediaDir("/config/commandPresets.json"); }

void CommandManager::loadPresetsIfChanged() {
    std::string path = presetsFilePath();
    struct stat st;
    long long mtime = stat(path.c_str(), &st) == 0 ? (long long)st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec : -2;
    std::lock_guard<std::mutex> lock(m_presetsLock);
    if (mtime == m_presetsMTime) {
        return;
    }
    m_presetsMTime = mtime;
    m_presets = Json::Value(Json::arrayValue);
    if (mtime == -2) {
        return;
    }
    Json::Value doc;
    if (!LoadJsonFromFile(path, doc)) {
        LogErr(VB_COMMAND, "Command presets file %s is not valid JSON; no presets are active\n", path.c_str());
        return;
    }
    const Json::Value& cmds = doc.isObject() ? doc["commands"] : Json::Value();
    if (!cmds.isArray()) {
        LogErr(VB_COMMAND, "Command presets file %s has no \"commands\" array; no presets are active\n", path.c_str());
        return;
    }
    for (Json::ArrayIndex i = 0; i < cmds.size(); ++i) {
        const Json::Value& c = cmds[i];
        if (!c.isObject() || !c["name"].isString() || !c["command"].isString()) {
            LogErr(VB_COMMAND, "Command preset %u in %s needs a \"name\" and a \"command\"; skipped\n", i,
                   path.c_str());
            continue;
        }
        m_presets.append(c);
    }
}

void CommandManager::TriggerPreset(std::string name) {
    std::map<std::string, std::string> keywords;
    TriggerPreset(name, keywords);
}

void CommandManager::TriggerPreset(std::string name, std::map<std::string, std::string>& keywords) {
    loadPresetsIfChanged();
    std::vector<Json::Value> toRun;
    {
        std::lock_guard<std::mutex> lock(m_presetsLock);
        for (const auto& p : m_presets) {
            if (p["name"].asString() != name) continue;
            Json::Value cmd = p;
            cmd.removeMember("name");
            Json::Value args(Json::arrayValue);
            for (const auto& a : p["args"]) {
                args.append(ReplaceKeywords(a.isString() ? a.asString() : SaveJsonToString(a), keywords));
            }
            cmd["args"] = args;
            toRun.push_back(cmd);
        }
    }
    LogDebug(VB_COMMAND, "TriggerPreset(%s): %d commands\n", name.c_str(), (int)toRun.size());
    if (toRun.empty()) {
        return;
    }
    std::lock_guard<std::mutex> lock(m_queueLock);
    for (auto& c : toRun) {
        if (m_running) {
            m_queue.push_back(c);
        } else {
            LogWarn(VB_COMMAND, "Preset \"%s\" triggered while commands are not running; dropped\n", name.c_str());
        }
    }
    m_queueCV.notify_all();
}

bool CommandManager::QueueCommand(const Json::Value& cmd) {
    std::lock_guard<std::mutex> lock(m_queueLock);
    if (!m_running || m_queue.size() >= MAX_QUEUED_COMMANDS) {
        LogWarn(VB_COMMAND, "Command \"%s\" dropped: %s\n", cmd["command"].asString().c_str(),
                m_running ? "too many commands are waiting" : "commands are not running");
        return false;
    }
    m_queue.push_back(cmd);
    m_queueCV.notify_all();
    return true;
}

void CommandManager::WaitForPresets() {
    std::unique_lock<std::mutex> lock(m_queueLock);
    m_queueCV.wait(lock, [this] { return (m_queue.empty() && !m_busy) || !m_running; });
}

void CommandManager::presetWorker() {
    SetThreadName("KIV-Presets");
    std::unique_lock<std::mutex> lock(m_queueLock);
    while (true) {
        m_queueCV.wait(lock, [this] { return !m_queue.empty() || !m_running; });
        if (m_queue.empty()) {
            if (!m_running) break;
            continue;
        }
        Json::Value cmd = m_queue.front();
        m_queue.pop_front();
        m_busy = true;
        lock.unlock();
        auto r = run(cmd);
        if (r->isError()) {
            LogWarn(VB_COMMAND, "Preset command \"%s\" failed: %s\n", cmd["command"].asString().c_str(),
                    r->get().c_str());
        }
        lock.lock();
        m_busy = false;
        m_queueCV.notify_all();
    }
}

bool Command::ParseBool(const std::string& text, bool& out) {
    std::string v = toLowerCopy(text);
    if (v == "true" || v == "1" || v == "yes") {
        out = true;
        return true;
    }
    if (v == "false" || v == "0" || v == "no" || v.empty()) {
        out = false;
        return true;
    }
    return false;
}

bool Command::ParseInt(const std::string& text, long long min, long long max, long long& out) {
    if (text.empty() || text.size() > 20) return false;
    char* end = nullptr;
    errno = 0;
    long long v = strtoll(text.c_str(), &end, 10);
    if (errno || *end || v < min || v > max) return false;
    out = v;
    return true;
}
