#pragma once
// The command registry: named commands with described arguments, run by
// name or from a JSON document ({"command", "args", "multisyncCommand",
// "multisyncHosts"}), and command presets: user commands bound to event
// names in <media>/config/commandPresets.json, run with keyword substitution.

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <json/json.h>

class Command {
public:
    class CommandArg {
    public:
        CommandArg(const std::string& n, const std::string& t, const std::string& d, bool opt = false)
            : name(n), type(t), description(d), optional(opt) {}
        CommandArg& setRange(int mn, int mx) {
            min = mn;
            max = mx;
            return *this;
        }
        CommandArg& setDefaultValue(const std::string& v) {
            defaultValue = v;
            return *this;
        }
        CommandArg& setContentList(const std::vector<std::string>& v) {
            contentListValues = v;
            return *this;
        }
        // Where a user interface fetches the values to offer.
        CommandArg& setContentListUrl(const std::string& url) {
            contentListUrl = url;
            return *this;
        }
        std::string name;
        std::string type;
        std::string description;
        bool optional = false;
        int min = 0;
        int max = 0;
        std::string defaultValue;
        std::vector<std::string> contentListValues;
        std::string contentListUrl;
    };

    class Result {
    public:
        Result() {}
        Result(const std::string& r, const std::string& contentType = "text/plain")
            : m_result(r), m_contentType(contentType) {}
        virtual ~Result() {}
        virtual bool isDone() { return m_done; }
        virtual bool isError() { return m_error; }
        virtual const std::string& get() { return m_result; }
        virtual const std::string& contentType() { return m_contentType; }

    protected:
        std::string m_result;
        std::string m_contentType = "text/plain";
        bool m_done = true;
        bool m_error = false;
    };

    class ErrorResult : public Result {
    public:
        ErrorResult(const std::string& r) : Result(r) { m_error = true; }
    };

    Command(const std::string& name, const std::string& description = "");
    virtual ~Command();

    virtual std::unique_ptr<Result> run(const std::vector<std::string>& args) = 0;
    virtual bool hidden() const { return false; }
    // True for commands that may take seconds (they wait on other devices):
    // the command socket runs them on a worker instead of the main loop.
    virtual bool runsLong() const { return false; }
    virtual Json::Value getDescription();

    // Argument parsers shared by the commands: a flag ("true", "1", "yes",
    // "false", "0", "no", empty = false) and a whole number within a range.
    static bool ParseBool(const std::string& text, bool& out);
    static bool ParseInt(const std::string& text, long long min, long long max, long long& out);

    std::string name;
    std::string description;
    std::vector<CommandArg> args;
};

class CommandManager {
public:
    static CommandManager INSTANCE;

    void Init();
    void Cleanup();

    void addCommand(Command* cmd);  // takes ownership
    void removeCommand(Command* cmd);
    void removeCommand(const std::string& name);
    Command* getCommand(const std::string& name);
    Json::Value getDescriptions();

    std::unique_ptr<Command::Result> run(const std::string& name, const std::vector<std::string>& args);
    std::unique_ptr<Command::Result> run(const Json::Value& cmd);

    // Presets run on the preset worker, in the order triggered, so a caller
    // on the frame thread is never held up by the commands they run.
    void TriggerPreset(std::string name);
    void TriggerPreset(std::string name, std::map<std::string, std::string>& keywords);
    // Runs a command document later on the preset worker, after what is
    // queued; false (and logged) when the queue is full or stopped. For
    // commands that arrive from other systems.
    bool QueueCommand(const Json::Value& cmd);
    // Waits until every preset triggered so far has run.
    void WaitForPresets();
    std::string presetsFilePath() const;

    ~CommandManager();

private:
    void loadPresetsIfChanged();
    void presetWorker();

    std::mutex m_commandsLock;  // guards m_commands
    std::map<std::string, std::unique_ptr<Command>> m_commands;

    std::mutex m_presetsLock;  // guards m_presets, m_presetsMTime
    Json::Value m_presets;
    long long m_presetsMTime = -1;

    std::mutex m_queueLock;  // guards m_queue, m_running, m_busy
    std::condition_variable m_queueCV;
    std::deque<Json::Value> m_queue;
    bool m_running = false;
    bool m_busy = false;
    std::thread m_worker;
};
