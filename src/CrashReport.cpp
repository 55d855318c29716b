#include "CrashReport.h"

#include <execinfo.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "Sequence.h"
#include "Warnings.h"
#include "common.h"
#include "log.h"
#include "services/Timers.h"
#include "settings.h"

extern char** environ;

namespace {

// ---------------------------------------------------------------- settings
// Everything the report needs, gathered by PrepareCrashReports so that the
// report itself only reads fixed buffers.
constexpr size_t PATH_CHARS = 1024;
struct CrashConfig {
    bool prepared = false;
    int level = 3;  // "ShareCrashData"
    char mediaDir[PATH_CHARS] = "";
    char crashDir[PATH_CHARS] = "";
    char crashLog[PATH_CHARS] = "/tmp/kivd_crash.log";
    char warningsFile[PATH_CHARS] = "";
    char warningsTemp[PATH_CHARS] = "";
    char uploadURL[2048] = "";
    char namePrefix[512] = "";  // "kiv-Pi-<version>-<uuid>-"
    char gdb[PATH_CHARS] = "";
    char zip[PATH_CHARS] = "";
    char curl[PATH_CHARS] = "";
    char pkill[PATH_CHARS] = "";
    bool haveOwner = false;
    uid_t ownerUid = 0;
    gid_t ownerGid = 0;
};
CrashConfig cfg;

// Seconds east of UTC for local time stamps; refreshed by a timer on the
// main loop, so summer time is followed without calling localtime in a
// signal handler.
std::atomic<long> utcOffset{0};

// Thread id of the thread writing a report, 0 when none.
std::atomic<long> reportingThread{0};

constexpr int DEBUGGER_CHILDREN_KILL_MS = 10000;
constexpr int DEBUGGER_KILL_MS = 20000;
constexpr int ZIP_TIMEOUT_MS = 60000;
constexpr int UPLOAD_TIMEOUT_MS = 45000;
constexpr const char* UPLOAD_MAX_TIME = "30";
constexpr const char* PLATFORM = "Pi";

void copyText(char* to, size_t size, const std::string& from) {
    size_t n = std::min(from.size(), size - 1);
    memcpy(to, from.data(), n);
    to[n] = 0;
}

std::string sanitizeNamePart(std::string s) {
    for (char& c : s) {
        if (!isalnum((unsigned char)c) && c != '.' && c != '_' && c != '-') c = '_';
    }
    return s;
}

std::string findProgram(const char* name) {
    const char* path = getenv("PATH");
    std::string dirs = path && path[0] ? path : "/usr/local/bin:/usr/bin:/bin";
    for (auto& dir : split(dirs, ':')) {
        if (dir.empty()) continue;
        std::string candidate = dir + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "";
}

void refreshUtcOffset() {
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    utcOffset = tm.tm_gmtoff;
}

// ---------------------------------------------------------------- safe text
// A fixed buffer that texts and numbers are appended to without allocating.
class SafeText {
public:
    SafeText& add(const char* s) {
        while (s && *s && m_len + 1 < sizeof(m_buf)) m_buf[m_len++] = *s++;
        m_buf[m_len] = 0;
        return *this;
    }
    SafeText& add(long long v) { return pad(v, 1); }
    // Decimal, at least `width` digits with leading zeros.
    SafeText& pad(long long v, int width) {
        char digits[24];
        int n = 0;
        bool negative = v < 0;
        unsigned long long u = negative ? 0ULL - (unsigned long long)v : (unsigned long long)v;
        do {
            digits[n++] = (char)('0' + u % 10);
            u /= 10;
        } while (u && n < (int)sizeof(digits));
        while (n < width && n < (int)sizeof(digits)) digits[n++] = '0';
        if (negative) add("-");
        while (n > 0 && m_len + 1 < sizeof(m_buf)) m_buf[m_len++] = digits[--n];
        m_buf[m_len] = 0;
        return *this;
    }
    const char* c_str() const { return m_buf; }
    size_t size() const { return m_len; }

private:
    char m_buf[2048] = "";
    size_t m_len = 0;
};

struct LocalTime {
    int year, month, day, hour, minute, second, millis;
};

// Civil date of a day count since 1970-01-01 (proleptic Gregorian).
LocalTime localTimeNow() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    long long secs = (long long)ts.tv_sec + utcOffset.load();
    long long days = secs / 86400;
    long long rest = secs % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    days += 719468;
    long long era = (days >= 0 ? days : days - 146096) / 146097;
    long long doe = days - era * 146097;
    long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    long long mp = (5 * doy + 2) / 153;
    LocalTime t;
    t.day = (int)(doy - (153 * mp + 2) / 5 + 1);
    t.month = (int)(mp < 10 ? mp + 3 : mp - 9);
    t.year = (int)(yoe + era * 400 + (t.month <= 2));
    t.hour = (int)(rest / 3600);
    t.minute = (int)(rest / 60 % 60);
    t.second = (int)(rest % 60);
    t.millis = (int)(ts.tv_nsec / 1000000);
    return t;
}

void writeAll(int fd, const char* data, size_t len) {
    while (fd >= 0 && len > 0) {
        ssize_t n = write(fd, data, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        data += n;
        len -= (size_t)n;
    }
}

void writeText(int fd, const char* s) { writeAll(fd, s, strlen(s)); }

long threadId() { return (long)syscall(SYS_gettid); }

// ---------------------------------------------------------------- log lines
// The daemon's log destinations, opened for one report line at a time,
// with the same line layout as the log.
class CrashLogLine {
public:
    CrashLogLine(int level, int line) {
        if (!WillLog(level, VB_GENERAL)) return;
        const char* dest = logFileName;
        if (!dest[0]) {
            // no destination
        } else if (!strcmp(dest, "stderr")) {
            m_fd = 2;
        } else if (!strcmp(dest, "stdout")) {
            m_fd = 1;
        } else {
            m_fd = open(dest, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
            m_close = m_fd >= 0;
        }
        if (logToStdOut && m_fd != 1) m_copyFd = 1;
        LocalTime t = localTimeNow();
        SafeText prefix;
        prefix.pad(t.year, 4).add("-").pad(t.month, 2).add("-").pad(t.day, 2).add(" ");
        prefix.pad(t.hour, 2).add(":").pad(t.minute, 2).add(":").pad(t.second, 2).add(".").pad(t.millis, 3);
        prefix.add(" (").add((long long)threadId()).add(") [").add(VB_GENERAL.name.c_str()).add("] ");
        prefix.add(__FILE__).add(":").add((long long)line).add(": ");
        write(prefix.c_str(), prefix.size());
    }
    ~CrashLogLine() {
        if (m_close) close(m_fd);
    }
    void write(const char* data, size_t len) {
        writeAll(m_fd, data, len);
        if (m_copyFd >= 0) writeAll(m_copyFd, data, len);
    }
    void write(const char* s) { write(s, strlen(s)); }
    void write(const SafeText& t) { write(t.c_str(), t.size()); }
    // Streams a whole file into the line.
    void writeFile(int fd) {
        char buf[4096];
        ssize_t n;
        while ((n = read(fd, buf, sizeof(buf))) > 0 || (n < 0 && errno == EINTR)) {
            if (n > 0) write(buf, (size_t)n);
        }
    }
    int fd() const { return m_fd; }
    int copyFd() const { return m_copyFd; }

private:
    int m_fd = -1;
    int m_copyFd = -1;
    bool m_close = false;
};

void logLine(int level, int line, const SafeText& text) {
    CrashLogLine l(level, line);
    l.write(text);
}

// ---------------------------------------------------------------- children
void sleepMs(int ms) {
    struct timespec ts = {ms / 1000, (long)(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

long long monotonicMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// In a freshly forked child: default signal handling and nothing blocked,
// as a new program expects; the crash handler must not run here.
void resetChildSignals() {
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = SIG_DFL;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGFPE, SIGILL, SIGBUS, SIGSEGV, SIGABRT, SIGQUIT, SIGUSR1, SIGCHLD, SIGTERM, SIGINT, SIGHUP,
                    SIGPIPE}) {
        sigaction(sig, &sa, nullptr);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

// Runs a program; its output goes to outFd (or /dev/null when negative).
pid_t spawn(const char* program, char* const argv[], const char* cwd, int outFd) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    resetChildSignals();
    if (cwd && chdir(cwd) != 0) _exit(127);
    int null = open("/dev/null", O_RDWR);
    if (outFd < 0) outFd = null;
    dup2(null, 0);
    dup2(outFd, 1);
    dup2(outFd, 2);
    execve(program, argv, environ);
    _exit(127);
}

// Status of an ended child, -1 while it runs; 0 when the status cannot be
// known (exited children are reaped by the system).
int childStatus(pid_t pid) {
    int status = 0;
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == 0) return -1;
    if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (errno == EINTR) return -1;
    return 0;
}

// Waits for a child at most timeoutMs, then kills it. Its exit status, or
// -1 when it had to be killed.
int waitChild(pid_t pid, int timeoutMs) {
    if (pid < 0) return -1;
    long long end = monotonicMs() + timeoutMs;
    for (;;) {
        int st = childStatus(pid);
        if (st >= 0) return st;
        if (monotonicMs() >= end) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            return -1;
        }
        sleepMs(20);
    }
}

// ---------------------------------------------------------------- the trace
bool tracerAttached() {
    int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buf[8192];
    ssize_t n = read(fd, buf, sizeof(buf) - 1);
    close(fd);
    if (n <= 0) return false;
    buf[n] = 0;
    const char* p = strstr(buf, "TracerPid:");
    if (!p) return false;
    p += strlen("TracerPid:");
    while (*p == ' ' || *p == '\t') ++p;
    return *p && *p != '0';
}

// The supervisor: a child of the crashing process that runs the debugger
// into a fresh crash log and keeps it within its time.
[[noreturn]] void superviseDebugger(const char* exePath, const char* pidText) {
    // Status of the children is needed here: no automatic reaping.
    resetChildSignals();
    char* gdbArgv[] = {(char*)"gdb",      (char*)"--batch", (char*)"-n",   (char*)"-ex", (char*)"thread apply all bt",
                       (char*)"-ex",      (char*)"info threads", (char*)"-ex", (char*)"bt", (char*)"-ex",
                       (char*)"detach",   (char*)exePath,   (char*)pidText, nullptr};
    int out = open(cfg.crashLog, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (out < 0) _exit(1);  // somebody else's file sits there: no trace into it
    pid_t debugger = spawn(cfg.gdb, gdbArgv, nullptr, out);
    close(out);
    if (debugger < 0) _exit(1);
    long long start = monotonicMs();
    bool childrenKilled = false;
    for (;;) {
        sleepMs(100);
        if (childStatus(debugger) >= 0) break;
        long long waited = monotonicMs() - start;
        if (!childrenKilled && waited >= DEBUGGER_CHILDREN_KILL_MS) {
            // The debugger may wait on programs it started itself.
            childrenKilled = true;
            SafeText parent;
            parent.add((long long)debugger);
            char* pkillArgv[] = {(char*)"pkill", (char*)"-KILL", (char*)"-P", (char*)parent.c_str(), nullptr};
            if (cfg.pkill[0]) waitChild(spawn(cfg.pkill, pkillArgv, nullptr, -1), 5000);
        }
        if (waited >= DEBUGGER_KILL_MS) {
            kill(debugger, SIGKILL);
            waitpid(debugger, nullptr, 0);
            break;
        }
    }
    _exit(0);
}

bool crashLogHasText() {
    struct stat st;
    return stat(cfg.crashLog, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
}

void traceWithDebugger(const char* exePath, const char* pidText) {
    unlink(cfg.crashLog);
    if (!cfg.gdb[0]) return;
    // Yama may only let ancestors trace: let the debugger in.
    prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0);
    pid_t supervisor = fork();
    if (supervisor == 0) superviseDebugger(exePath, pidText);
    if (supervisor > 0) waitChild(supervisor, DEBUGGER_KILL_MS + 10000);
}

void logCrashLog() {
    int fd = open(cfg.crashLog, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return;
    CrashLogLine line(LOG_ERR, __LINE__);
    line.write("Stack: \n");
    line.writeFile(fd);
    line.write("\n");
    close(fd);
}

// The crashing thread's own stack, when no debugger trace could be taken.
void traceThisThread() {
    void* frames[128];
    int count = backtrace(frames, 128);
    unlink(cfg.crashLog);
    int logFd = open(cfg.crashLog, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    for (int i = 0; i < count; ++i) {
        {
            CrashLogLine line(LOG_ERR, __LINE__);
            line.write("  ");
            if (line.fd() >= 0) backtrace_symbols_fd(frames + i, 1, line.fd());
            if (line.copyFd() >= 0) backtrace_symbols_fd(frames + i, 1, line.copyFd());
        }
        writeText(1, "  ");
        backtrace_symbols_fd(frames + i, 1, 1);
        if (logFd >= 0) backtrace_symbols_fd(frames + i, 1, logFd);
    }
    if (logFd >= 0) {
        writeText(logFd, "\n");
        close(logFd);
    }
}

// ---------------------------------------------------------------- archives
struct LinuxDirent64 {
    unsigned long long d_ino;
    long long d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[];
};

bool isArchiveName(const char* name) {
    size_t n = strlen(name);
    return n > 8 && !strncmp(name, "kiv-", 4) && !strcmp(name + n - 4, ".zip");
}

struct ArchiveScan {
    int count = 0;
    bool recent = false;
    char oldest[256] = "";
    long long oldestTime = 0;
};

// Lists the archives of the crash folder without allocating.
ArchiveScan scanArchives(int dirFd, long long now) {
    ArchiveScan scan;
    lseek(dirFd, 0, SEEK_SET);
    alignas(8) char buf[4096];
    for (;;) {
        long n = syscall(SYS_getdents64, dirFd, buf, sizeof(buf));
        if (n <= 0) break;
        for (long off = 0; off < n;) {
            LinuxDirent64* d = (LinuxDirent64*)(buf + off);
            off += d->d_reclen;
            if (!isArchiveName(d->d_name)) continue;
            struct stat st;
            if (fstatat(dirFd, d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
            ++scan.count;
            long long mtime = (long long)st.st_mtime;
            if (now - mtime < CRASH_RECENT_SECONDS) scan.recent = true;
            if (!scan.oldest[0] || mtime < scan.oldestTime ||
                (mtime == scan.oldestTime && strcmp(d->d_name, scan.oldest) < 0)) {
                if (strlen(d->d_name) < sizeof(scan.oldest)) {
                    strcpy(scan.oldest, d->d_name);
                    scan.oldestTime = mtime;
                }
            }
        }
    }
    return scan;
}

void makeArchive() {
    mkdir(cfg.crashDir, 0775);  // the umask applies: reports are not for every user
    int dirFd = open(cfg.crashDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) {
        logLine(LOG_ERR, __LINE__, SafeText().add("Unable to open crash report folder ").add(cfg.crashDir).add("\n"));
        return;
    }
    long long now = (long long)time(nullptr);
    ArchiveScan scan = scanArchives(dirFd, now);
    if (scan.recent) {
        close(dirFd);
        logLine(LOG_ERR, __LINE__, SafeText().add("Very recent crash report found, not uploading\n"));
        return;
    }
    // Room for the new archive: the oldest go first.
    for (int guard = 0; scan.count >= CRASH_MAX_ARCHIVES && scan.oldest[0] && guard < 1000; ++guard) {
        if (unlinkat(dirFd, scan.oldest, 0) != 0) break;
        scan = scanArchives(dirFd, now);
    }
    close(dirFd);

    LocalTime t = localTimeNow();
    SafeText name;
    name.add("crashes/").add(cfg.namePrefix);
    name.pad(t.year, 4).add("-").pad(t.month, 2).add("-").pad(t.day, 2).add("_");
    name.pad(t.hour, 2).add("-").pad(t.minute, 2).add("-").pad(t.second, 2).add(".zip");

    char* argv[16];
    int a = 0;
    argv[a++] = (char*)"zip";
    argv[a++] = (char*)"-r";
    argv[a++] = (char*)name.c_str();
    argv[a++] = cfg.crashLog;
    if (cfg.level != 1) argv[a++] = (char*)"settings";
    if (cfg.level != 1 && cfg.level != 2) {
        for (const char* p : {"config", "tmp", "logs/kivd.log", "logs/apache2-error.log", "playlists", "/etc/kivd"}) {
            argv[a++] = (char*)p;
        }
    }
    argv[a] = nullptr;
    if (!cfg.zip[0]) {
        logLine(LOG_ERR, __LINE__, SafeText().add("zip is not installed: no crash report archive\n"));
        return;
    }
    waitChild(spawn(cfg.zip, argv, cfg.mediaDir, -1), ZIP_TIMEOUT_MS);

    SafeText path;
    path.add(cfg.mediaDir).add("/").add(name.c_str());
    if (access(path.c_str(), F_OK) != 0) {
        logLine(LOG_ERR, __LINE__, SafeText().add("Crash report archive ").add(path.c_str()).add(" was not made\n"));
        return;
    }
    // It holds the settings (passwords, the HTTP token) and the log.
    chmod(path.c_str(), 0640);
    if (cfg.haveOwner && chown(path.c_str(), cfg.ownerUid, cfg.ownerGid) != 0) {
        // stays with the daemon's account
    }
    logLine(LOG_ERR, __LINE__, SafeText().add("Crash report saved as ").add(path.c_str()).add("\n"));

    if (!cfg.uploadURL[0]) return;
    if (!cfg.curl[0]) {
        logLine(LOG_ERR, __LINE__, SafeText().add("curl is not installed: crash report not uploaded\n"));
        return;
    }
    SafeText field;
    field.add("userfile=@").add(name.c_str());
    char* curlArgv[] = {(char*)"curl",          (char*)"-sS",   (char*)"-f",           (char*)"--max-time",
                        (char*)UPLOAD_MAX_TIME, (char*)"-F",    (char*)field.c_str(), cfg.uploadURL,
                        nullptr};
    int status = waitChild(spawn(cfg.curl, curlArgv, cfg.mediaDir, -1), UPLOAD_TIMEOUT_MS);
    if (status == 0) {
        logLine(LOG_ERR, __LINE__, SafeText().add("Crash report sent to ").add(cfg.uploadURL).add("\n"));
    } else {
        logLine(LOG_ERR, __LINE__,
                SafeText().add("Crash report upload to ").add(cfg.uploadURL).add(" failed (curl status ").add(
                    (long long)status).add(")\n"));
    }
}

}  // namespace

std::string CrashLogPath() {
    const char* tmp = getenv("TMPDIR");
    std::string dir = tmp && tmp[0] == '/' ? tmp : "/tmp";
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir + "/kivd_crash.log";
}

std::string CrashArchiveDir() { return getKIVMediaDir("/crashes"); }

void PrepareCrashReports() {
    cfg.level = getSettingInt("ShareCrashData", 3);
    copyText(cfg.mediaDir, sizeof(cfg.mediaDir), getKIVMediaDir());
    copyText(cfg.crashDir, sizeof(cfg.crashDir), CrashArchiveDir());
    copyText(cfg.crashLog, sizeof(cfg.crashLog), CrashLogPath());
    copyText(cfg.warningsFile, sizeof(cfg.warningsFile), WarningHolder::warningsFilePath());
    copyText(cfg.warningsTemp, sizeof(cfg.warningsTemp), WarningHolder::warningsFilePath() + ".crash");
    copyText(cfg.uploadURL, sizeof(cfg.uploadURL), getSetting("CrashUploadURL", ""));
    std::string prefix = "kiv-" + sanitizeNamePart(PLATFORM) + "-" + sanitizeNamePart(getKIVVersion()) + "-" +
                         sanitizeNamePart(getSetting("SystemUUID", "unknown")) + "-";
    copyText(cfg.namePrefix, sizeof(cfg.namePrefix), prefix);
    copyText(cfg.gdb, sizeof(cfg.gdb), findProgram("gdb"));
    copyText(cfg.zip, sizeof(cfg.zip), findProgram("zip"));
    copyText(cfg.curl, sizeof(cfg.curl), findProgram("curl"));
    copyText(cfg.pkill, sizeof(cfg.pkill), findProgram("pkill"));
    struct passwd* pw = getpwnam("kiv");
    cfg.haveOwner = pw != nullptr;
    if (pw) {
        cfg.ownerUid = pw->pw_uid;
        cfg.ownerGid = pw->pw_gid;
    }
    refreshUtcOffset();
    Timers::INSTANCE.addPeriodicTimer("CrashReportClock", 60000, refreshUtcOffset);
    // The first backtrace loads the unwinder, which allocates: not in a crash.
    void* frames[4];
    backtrace(frames, 4);
    cfg.prepared = true;
}

CrashReportClaim BeginCrashReport() {
    long self = threadId();
    for (;;) {
        long expected = 0;
        if (reportingThread.compare_exchange_strong(expected, self)) return CRASH_REPORT_CLAIMED;
        if (expected == self) return CRASH_REPORT_NESTED;
        // Another thread is writing one; a fatal one ends the process.
        sleepMs(50);
    }
}

void EndCrashReport() { reportingThread = 0; }

void WaitForCrashReport() {
    if (BeginCrashReport() == CRASH_REPORT_CLAIMED) EndCrashReport();
}

void WriteCrashReport(int sig) {
    logLine(LOG_ERR, __LINE__, SafeText().add("Crash handler called:  ").add((long long)sig).add("\n"));
    char playing[256];
    int elapsedMs = 0;
    if (sequence && sequence->GetCrashReportInfo(playing, sizeof(playing), elapsedMs)) {
        logLine(LOG_ERR, __LINE__,
                SafeText().add("   while playing  ").add(playing).add("  at  ").add((long long)elapsedMs).add(" ms\n"));
    }
    if (!cfg.prepared) {
        // Before start-up read the settings: the stack is all there is.
        traceThisThread();
        return;
    }

    SafeText pidText;
    pidText.add((long long)getpid());
    SafeText lwp;
    lwp.add("(LWP ").add((long long)threadId()).add(")");
    char exePath[512];
    ssize_t n = readlink("/proc/self/exe", exePath, sizeof(exePath) - 1);
    exePath[n > 0 ? n : 0] = 0;

    // Exit statuses of the helper programs are needed while the report runs.
    struct sigaction dfl, saved;
    memset(&dfl, 0, sizeof(dfl));
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    bool restore = sigaction(SIGCHLD, &dfl, &saved) == 0;

    bool traced = false;
    if (!tracerAttached()) {
        traceWithDebugger(exePath, pidText.c_str());
        if (crashLogHasText()) {
            logCrashLog();
            logLine(LOG_ERR, __LINE__, SafeText().add("Crashing thread: ").add(lwp.c_str()).add("\n"));
            traced = true;
        }
    }
    if (!traced) traceThisThread();

    if (cfg.level > 0) makeArchive();
    if (restore) sigaction(SIGCHLD, &saved, nullptr);
}

void WriteCrashedWarning() {
    if (!cfg.prepared) return;
    // A new file moved into place: a notifier that is writing the old one
    // at this moment cannot mix its text into this one.
    int fd = open(cfg.warningsTemp, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0664);
    if (fd < 0) return;
    writeText(fd, "[\"KIVD has crashed.  Check crash reports.\"]\n");
    close(fd);
    if (cfg.haveOwner && chown(cfg.warningsTemp, cfg.ownerUid, cfg.ownerGid) != 0) {
        // stays with the daemon's account
    }
    rename(cfg.warningsTemp, cfg.warningsFile);
}
