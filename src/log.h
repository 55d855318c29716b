#pragma once
// Per-facility leveled logging for the daemon and the sequence tools.
// Every line carries time, thread id, facility and source location; the
// destination is a file (opened per line), stderr, stdout or nothing.

#include <atomic>
#include <list>
#include <string>
#include <vector>

typedef int LogLevel;
#define LOG_ERR 1
#define LOG_WARN 2
#define LOG_INFO 3
#define LOG_DEBUG 4
#define LOG_EXCESS 5

class KIVLoggerInstance {
public:
    KIVLoggerInstance(const std::string& n) : name(n) {}
    // Read by every logging thread; changed at start-up and by tests.
    std::atomic<LogLevel> level{LOG_INFO};
    std::string name;
};

class KIVLogger {
public:
    static KIVLogger INSTANCE;

    KIVLoggerInstance General{"General"};
    KIVLoggerInstance ChannelOut{"ChannelOut"};
    KIVLoggerInstance ChannelData{"ChannelData"};
    KIVLoggerInstance Command{"Command"};
    KIVLoggerInstance E131Bridge{"E131Bridge"};
    KIVLoggerInstance Effect{"Effect"};
    KIVLoggerInstance MediaOut{"MediaOut"};
    KIVLoggerInstance Playlist{"Playlist"};
    KIVLoggerInstance Schedule{"Schedule"};
    KIVLoggerInstance Sequence{"Sequence"};
    KIVLoggerInstance Settings{"Settings"};
    KIVLoggerInstance Control{"Control"};
    KIVLoggerInstance Sync{"Sync"};
    KIVLoggerInstance Plugin{"Plugin"};
    KIVLoggerInstance GPIO{"GPIO"};
    KIVLoggerInstance HTTP{"HTTP"};

    void Init();
    bool SetLevel(std::string name, LogLevel level);
    bool SetLevel(const char* name, const char* level);
    void SetAllLevel(LogLevel level);
    LogLevel MinimumLogLevel();
    std::string GetLogLevelString();
    // The facilities' names, in member order.
    std::vector<std::string> FacilityNames();

private:
    std::list<KIVLoggerInstance*> m_loggers;
};

extern char logFileName[1024];
extern bool logToStdOut;

// True while lines cannot be appended to the log file (a full or read-only
// disk): why, and how many lines went missing so far. The first line that
// gets through again is preceded by a line saying how many were lost.
bool LogFileProblem(std::string& why, long& lost);

inline bool WillLog(int level, KIVLoggerInstance& facility) { return facility.level >= level; }

void _LogWrite(const char* file, int line, int level, KIVLoggerInstance& facility, const char* format, ...)
    __attribute__((format(printf, 5, 6)));
void _LogWrite(const char* file, int line, int level, KIVLoggerInstance& facility, const std::string& text);

#define LogErr(facility, ...) _LogWrite(__FILE__, __LINE__, LOG_ERR, facility, __VA_ARGS__)
#define LogWarn(facility, ...) _LogWrite(__FILE__, __LINE__, LOG_WARN, facility, __VA_ARGS__)
#define LogInfo(facility, ...) _LogWrite(__FILE__, __LINE__, LOG_INFO, facility, __VA_ARGS__)
#define LogDebug(facility, ...) _LogWrite(__FILE__, __LINE__, LOG_DEBUG, facility, __VA_ARGS__)
#define LogExcess(facility, ...) _LogWrite(__FILE__, __LINE__, LOG_EXCESS, facility, __VA_ARGS__)

#define VB_ALL KIVLogger::INSTANCE.General
#define VB_GENERAL KIVLogger::INSTANCE.General
#define VB_CHANNELOUT KIVLogger::INSTANCE.ChannelOut
#define VB_CHANNELDATA KIVLogger::INSTANCE.ChannelData
#define VB_COMMAND KIVLogger::INSTANCE.Command
#define VB_E131BRIDGE KIVLogger::INSTANCE.E131Bridge
#define VB_EFFECT KIVLogger::INSTANCE.Effect
#define VB_MEDIAOUT KIVLogger::INSTANCE.MediaOut
#define VB_PLAYLIST KIVLogger::INSTANCE.Playlist
#define VB_SCHEDULE KIVLogger::INSTANCE.Schedule
#define VB_SEQUENCE KIVLogger::INSTANCE.Sequence
#define VB_SETTING KIVLogger::INSTANCE.Settings
#define VB_CONTROL KIVLogger::INSTANCE.Control
#define VB_SYNC KIVLogger::INSTANCE.Sync
#define VB_PLUGIN KIVLogger::INSTANCE.Plugin
#define VB_GPIO KIVLogger::INSTANCE.GPIO
#define VB_HTTP KIVLogger::INSTANCE.HTTP

// The last lines written (whatever their destination), kept in memory for
// the log page: each with its level and facility, which the line itself
// does not name. `seq` counts every line since start.
struct RecentLogLine {
    unsigned long long seq;
    LogLevel level;
    std::string facility;
    std::string text;  // the whole line, as written
};
constexpr size_t RECENT_LOG_LINES = 2000;
// Lines of at most `maxLevel` (and of `facility` unless empty), after `afterSeq`,
// the newest `limit` of them, oldest first.
std::vector<RecentLogLine> RecentLogLines(LogLevel maxLevel, const std::string& facility, unsigned long long afterSeq,
                                          size_t limit);

void SetLogFile(const char* name, bool toStdout);
std::string GetLogFile();
bool GetLogToStdOut();
bool loggingToFile();
std::string LogLevelToString(LogLevel level);
void logVersionInfo();
bool SetLogLevel(const char* level);
bool SetLogLevelComplex(const char* input);
bool SetLogLevelComplex(std::string& input);
