#include "log.h"

#include <algorithm>
#include <cstdarg>
#include <deque>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include "common.h"
#include "settings.h"

KIVLogger KIVLogger::INSTANCE;

char logFileName[1024] = "";
bool logToStdOut = false;
// guards logFileName and logToStdOut against a change while a line is written
static std::mutex logDestinationLock;

static const char* LEVEL_WORDS[] = {"unknown", "error", "warn", "info", "debug", "excess"};

std::string LogLevelToString(LogLevel level) {
    if (level >= LOG_ERR && level <= LOG_EXCESS) {
        return LEVEL_WORDS[level];
    }
    return "unknown";
}

void SetLogFile(const char* name, bool toStdout) {
    std::lock_guard<std::mutex> lock(logDestinationLock);
    strncpy(logFileName, name ? name : "", sizeof(logFileName) - 1);
    logFileName[sizeof(logFileName) - 1] = 0;
    logToStdOut = toStdout;
}

std::string GetLogFile() {
    std::lock_guard<std::mutex> lock(logDestinationLock);
    return logFileName;
}

bool GetLogToStdOut() {
    std::lock_guard<std::mutex> lock(logDestinationLock);
    return logToStdOut;
}

bool loggingToFile() {
    std::lock_guard<std::mutex> lock(logDestinationLock);
    return logFileName[0] && strcmp(logFileName, "stderr") && strcmp(logFileName, "stdout");
}

// Appends to the log file go one at a time, so a line that a full disk
// cut short can be taken back before the next one lands behind it.
static std::mutex logFileLock;  // guards appends to the log file, lostLines and tailChecked
static long lostLines = 0;      // lines not written since the last one that was
static std::atomic<int> logFileErrno{0};  // why appends fail now; 0 while they succeed
static bool tailChecked = false;          // guarded by logFileLock

static std::string stampLine(const char* file, int line, KIVLoggerInstance& facility, const char* format,
                             va_list args);

static std::string stamp(const char* file, int line, KIVLoggerInstance& facility, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
static std::string stamp(const char* file, int line, KIVLoggerInstance& facility, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = stampLine(file, line, facility, format, args);
    va_end(args);
    return text;
}

// One whole line or nothing: a short write is cut off again.
static bool appendWhole(int fd, const std::string& text) {
    struct stat st;
    off_t before = fstat(fd, &st) == 0 ? st.st_size : -1;
    ssize_t n = write(fd, text.data(), text.size());
    if (n == (ssize_t)text.size()) return true;
    int err = n < 0 ? errno : ENOSPC;
    if (n > 0 && before >= 0 && ftruncate(fd, before) != 0) {
        err = errno;
    }
    errno = err;
    return false;
}

// Lines lost so far are noted ahead of the next line that gets through.
// Called with logFileLock held; false when the note did not fit either.
static bool noteLostLines(int fd) {
    if (lostLines == 0) {
        logFileErrno = 0;
        return true;
    }
    int why = logFileErrno;
    std::string note = stamp(__FILE__, __LINE__, VB_GENERAL,
                             "%ld log lines could not be written to this file (%s) and are missing here\n", lostLines,
                             strerror(why ? why : EIO));
    if (!appendWhole(fd, note)) return false;
    lostLines = 0;
    logFileErrno = 0;
    return true;
}

// False when the line did not reach the file (it went to standard error).
static bool appendToLogFile(const char* dest, const std::string& text) {
    std::lock_guard<std::mutex> lock(logFileLock);
    int fd = open(dest, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0664);
    if (fd < 0) {
        logFileErrno = errno ? errno : EIO;
        ++lostLines;
        fprintf(stderr, "Error: Unable to open log file for writing!\n");
        fputs(text.c_str(), stderr);
        return false;
    }
    if (!tailChecked) {
        // A process killed in the middle of a line left it unfinished; this
        // one starts on a line of its own.
        tailChecked = true;
        struct stat st;
        char last = '\n';
        if (fstat(fd, &st) == 0 && st.st_size > 0 && pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n') {
            appendWhole(fd, "\n");
        }
    }
    bool ok = noteLostLines(fd) && appendWhole(fd, text);
    if (ok) {
        logFileErrno = 0;
    } else {
        if (!logFileErrno) fprintf(stderr, "Error: Unable to write log file %s: %s\n", dest, strerror(errno));
        logFileErrno = errno ? errno : EIO;
        ++lostLines;
        fputs(text.c_str(), stderr);
    }
    close(fd);
    return ok;
}

bool LogFileProblem(std::string& why, long& lost) {
    if (!logFileErrno) return false;
    std::string dest = GetLogFile();
    std::lock_guard<std::mutex> lock(logFileLock);
    // Space may be back although nothing was logged since: try the note,
    // in a file made anew when the old one went (deleted to make room, or
    // its card away meanwhile); a warning that waited for the next line to
    // be logged could stay up for hours on a quiet board.
    int fd = open(dest.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0664);
    if (fd >= 0) {
        bool ok = noteLostLines(fd);
        close(fd);
        if (ok) return false;
    }
    int err = logFileErrno;
    why = strerror(err ? err : EIO);
    lost = lostLines;
    return true;
}

static void writeLine(const std::string& text) {
    char dest[sizeof(logFileName)];
    bool copyToStdout;
    {
        std::lock_guard<std::mutex> lock(logDestinationLock);
        memcpy(dest, logFileName, sizeof(dest));
        copyToStdout = logToStdOut;
    }
    bool toStdout = strcmp(dest, "stdout") == 0;
    if (!dest[0]) {
        // no destination
    } else if (strcmp(dest, "stderr") == 0) {
        fputs(text.c_str(), stderr);
    } else if (toStdout) {
        fputs(text.c_str(), stdout);
        fflush(stdout);
    } else if (!appendToLogFile(dest, text)) {
        return;
    }
    if (!toStdout && copyToStdout) {
        fputs(text.c_str(), stdout);
        fflush(stdout);
    }
}

// A format cut at the buffer end must not finish inside a conversion.
static void cutIncompleteConversion(char* fmt) {
    for (size_t i = 0; fmt[i]; ++i) {
        if (fmt[i] != '%') continue;
        if (fmt[i + 1] == '%') {
            ++i;
            continue;
        }
        size_t j = i + 1;
        while (fmt[j] && strchr("-+ #0123456789.*hlLqjzt", fmt[j])) ++j;
        if (!fmt[j]) {
            fmt[i] = 0;
            return;
        }
        i = j;
    }
}

static std::string stampLine(const char* file, int line, KIVLoggerInstance& facility, const char* format,
                             va_list args) {
    struct timeval tv;
    struct tm tm;
    gettimeofday(&tv, nullptr);
    localtime_r(&tv.tv_sec, &tm);
    unsigned long long tid = (unsigned long long)syscall(SYS_gettid);

    char lineFormat[512];
    int n = snprintf(lineFormat, sizeof(lineFormat), "%4d-%.2d-%.2d %.2d:%.2d:%.2d.%.3d (%llu) [%s] %s:%d: %s",
                     tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                     (int)(tv.tv_usec / 1000), tid, facility.name.c_str(), file, line, format);
    if (n >= (int)sizeof(lineFormat)) {
        cutIncompleteConversion(lineFormat);
    }
    // The whole line is made before it is written, so it goes out in one
    // piece.
    char small[1024];
    va_list copy;
    va_copy(copy, args);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    int len = vsnprintf(small, sizeof(small), lineFormat, args);
    std::string text;
    if (len < (int)sizeof(small)) {
        text.assign(small, len > 0 ? len : 0);
    } else {
        text.resize(len + 1);
        vsnprintf(&text[0], len + 1, lineFormat, copy);
        text.resize(len);
    }
#pragma GCC diagnostic pop
    va_end(copy);
    return text;
}

// guards recentLines and recentSeq
static std::mutex recentLock;
static std::deque<RecentLogLine> recentLines;
static unsigned long long recentSeq = 0;

static void keepRecent(int level, KIVLoggerInstance& facility, const std::string& text) {
    std::lock_guard<std::mutex> lock(recentLock);
    if (recentLines.size() >= RECENT_LOG_LINES) recentLines.pop_front();
    recentLines.push_back({++recentSeq, level, facility.name, text});
}

std::vector<RecentLogLine> RecentLogLines(LogLevel maxLevel, const std::string& facility, unsigned long long afterSeq,
                                          size_t limit) {
    std::vector<RecentLogLine> out;
    std::lock_guard<std::mutex> lock(recentLock);
    for (auto it = recentLines.rbegin(); it != recentLines.rend() && out.size() < limit && it->seq > afterSeq; ++it) {
        if (it->level <= maxLevel && (facility.empty() || it->facility == facility)) out.push_back(*it);
    }
    std::reverse(out.begin(), out.end());
    return out;
}

static void vLogWrite(const char* file, int line, int level, KIVLoggerInstance& facility, const char* format,
                      va_list args) {
    std::string text = stampLine(file, line, facility, format, args);
    keepRecent(level, facility, text);
    writeLine(text);
}

void _LogWrite(const char* file, int line, int level, KIVLoggerInstance& facility, const char* format, ...) {
    if (!WillLog(level, facility)) {
        return;
    }
    va_list args;
    va_start(args, format);
    vLogWrite(file, line, level, facility, format, args);
    va_end(args);
}

void _LogWrite(const char* file, int line, int level, KIVLoggerInstance& facility, const std::string& text) {
    if (!WillLog(level, facility)) {
        return;
    }
    // The text is a finished message: any '%' it holds stays literal.
    _LogWrite(file, line, level, facility, "%s", text.c_str());
}

void logVersionInfo() {
    LogErr(VB_GENERAL, "=========================================\n");
    LogErr(VB_GENERAL, "KIV %s\n", getKIVVersion());
    LogErr(VB_GENERAL, "Branch: %s\n", getKIVBranch());
    LogErr(VB_GENERAL, "=========================================\n");
}

void KIVLogger::Init() {
    if (!m_loggers.empty()) {
        return;
    }
    for (KIVLoggerInstance* l : {&General, &ChannelOut, &ChannelData, &Command, &E131Bridge, &Effect, &MediaOut,
                                 &Playlist, &Schedule, &Sequence, &Settings, &Control, &Sync, &Plugin, &GPIO, &HTTP}) {
        m_loggers.push_back(l);
    }
}

std::vector<std::string> KIVLogger::FacilityNames() {
    Init();
    std::vector<std::string> names;
    for (auto* l : m_loggers) names.push_back(l->name);
    return names;
}

bool KIVLogger::SetLevel(std::string name, LogLevel level) {
    Init();
    static const std::string prefix = "LogLevel_";
    if (name.compare(0, prefix.size(), prefix) == 0) {
        name = name.substr(prefix.size());
    }
    bool found = false;
    for (auto* l : m_loggers) {
        if (l->name == name) {
            l->level = level;
            found = true;
        }
    }
    if (!found) {
        LogWarn(VB_SETTING, "Invalid name for LoggerInstance: %s\n", name.c_str());
    }
    return found;
}

static LogLevel levelFromWord(const char* level) {
    if (!strcmp(level, "error")) return LOG_ERR;
    if (!strcmp(level, "warn")) return LOG_WARN;
    if (!strcmp(level, "info")) return LOG_INFO;
    if (!strcmp(level, "debug")) return LOG_DEBUG;
    if (!strcmp(level, "excess")) return LOG_EXCESS;
    return 0;
}

bool KIVLogger::SetLevel(const char* name, const char* level) {
    Init();
    if (!name || !level) {
        LogErr(VB_SETTING, "Log level (%s) and name (%s) must be specified\n", level ? level : "(null)",
               name ? name : "(null)");
        return false;
    }
    LogLevel l = levelFromWord(level);
    if (!l) {
        LogErr(VB_SETTING, "Invalid name for LogLevel: %s\n", level);
        return false;
    }
    return SetLevel(std::string(name), l);
}

void KIVLogger::SetAllLevel(LogLevel level) {
    Init();
    for (auto* l : m_loggers) {
        l->level = level;
    }
}

LogLevel KIVLogger::MinimumLogLevel() {
    Init();
    LogLevel m = LOG_ERR;
    for (auto* l : m_loggers) {
        if (l->level > m) m = l->level;
    }
    return m;
}

std::string KIVLogger::GetLogLevelString() {
    Init();
    std::string out;
    LogLevel prev = -1;
    for (auto* l : m_loggers) {
        if (l->level != prev) {
            if (!out.empty()) out += ";";
            out += LogLevelToString(l->level) + ":" + l->name;
            prev = l->level;
        } else {
            out += "," + l->name;
        }
    }
    return out;
}

bool SetLogLevel(const char* level) {
    KIVLogger::INSTANCE.Init();
    LogErr(VB_SETTING, "Using Legacy Global Logging to set all to same Log Level of %s\n", level);
    LogLevel l;
    if (!strcmp(level, "warn")) l = LOG_WARN;
    else if (!strcmp(level, "debug")) l = LOG_DEBUG;
    else if (!strcmp(level, "info")) l = LOG_INFO;
    else if (!strcmp(level, "excess")) l = LOG_INFO;
    else if (!strcmp(level, "error")) l = LOG_ERR;
    else {
        LogErr(VB_SETTING, "Unknown Log Level: %s\n", level);
        return false;
    }
    KIVLogger::INSTANCE.SetAllLevel(l);
    return true;
}

bool SetLogLevelComplex(const char* input) {
    std::string s = input ? input : "";
    return SetLogLevelComplex(s);
}

bool SetLogLevelComplex(std::string& input) {
    KIVLogger::INSTANCE.Init();
    LogDebug(VB_SETTING, "Attempting to parse Log Levels from %s\n", input.c_str());
    if (input.empty()) {
        LogWarn(VB_SETTING, "Ignoring Empty String sent to SetLogLevelComplex\n");
        return false;
    }
    if (input.find(':') == std::string::npos) {
        LogDebug(VB_SETTING, "Using simple loging for input \"%s\" as no colon found.\n", input.c_str());
        return SetLogLevel(input.c_str());
    }
    std::string s = input;
    if (s.find(';') == std::string::npos) {
        s += ";";
    }
    bool any = false;
    for (auto& group : split(s, ';')) {
        if (group.empty()) continue;
        LogDebug(VB_SETTING, "Outer Prase is %s\n", group.c_str());
        size_t colon = group.find(':');
        if (colon == std::string::npos) {
            LogErr(VB_SETTING, "Invalid Log Level Token: %s\n", group.c_str());
            continue;
        }
        std::string level = group.substr(0, colon);
        std::string names = group.substr(colon + 1);
        if (names.find(',') == std::string::npos) {
            names += ",";
        }
        for (auto& name : split(names, ',')) {
            if (name.empty()) continue;
            LogDebug(VB_SETTING, "Attempting to set %s to %s \n", name.c_str(), level.c_str());
            if (KIVLogger::INSTANCE.SetLevel(name.c_str(), level.c_str())) {
                any = true;
            }
        }
    }
    return any;
}
