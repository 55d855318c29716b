#include "common.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iomanip>
#include <mutex>
#include <sstream>

#include "log.h"
#include "settings.h"

// ---------------------------------------------------------------- clocks

long long GetTime() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000LL + ts.tv_nsec / 1000;
}

long long GetTimeMicros() { return GetTime(); }

long long GetTimeMS() { return GetTime() / 1000; }

long long GetMonotonicMS() { return GetTimeMS(); }

long long GetWallTime() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return (long long)tv.tv_sec * 1000000LL + tv.tv_usec;
}

std::string GetTimeStr(std::string format) {
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    std::ostringstream out;
    out << std::put_time(&tm, format.c_str());
    return out.str();
}

std::string GetDateStr(std::string format) { return GetTimeStr(format); }

std::string secondsToTime(int secs) {
    char buf[64];
    std::string out;
    if (secs > 86400) {
        int days = secs / 86400;
        out = std::to_string(days) + (days == 1 ? " day, " : " days, ");
        secs %= 86400;
    }
    if (secs > 3600) {
        snprintf(buf, sizeof(buf), "%02d:%02d:%02d", secs / 3600, (secs % 3600) / 60, secs % 60);
    } else {
        snprintf(buf, sizeof(buf), "%02d:%02d", secs / 60, secs % 60);
    }
    return out + buf;
}

// ---------------------------------------------------------------- dates

int DateStrToInt(const char* str) {
    if (!str || strlen(str) != 10 || str[4] != '-' || str[7] != '-') {
        return 0;
    }
    for (int i : {0, 1, 2, 3, 5, 6, 8, 9}) {
        if (!isdigit((unsigned char)str[i])) return 0;
    }
    return atoi(str) * 10000 + atoi(str + 5) * 100 + atoi(str + 8);
}

static int dateIntFromTime(time_t t) {
    struct tm tm;
    localtime_r(&t, &tm);
    return (tm.tm_year + 1900) * 10000 + (tm.tm_mon + 1) * 100 + tm.tm_mday;
}

int GetCurrentDateInt(int daysOffset) { return dateIntFromTime(time(nullptr) + (time_t)daysOffset * 86400); }

bool DateInRange(int date, int startDate, int endDate) {
    LogExcess(VB_GENERAL, "DateInRange, checking if %d (s) <= %d (c) <= %d (e)\n", startDate, date, endDate);
    if (startDate < 10000 || endDate < 10000) {
        date %= 10000;
        startDate %= 10000;
        endDate %= 10000;
        if (endDate < startDate) {
            if (date <= endDate) date += 10000;
            endDate += 10000;
        }
    }
    bool result;
    if (startDate >= 100 && endDate >= 100) {
        result = startDate <= date && date <= endDate;
    } else {
        date %= 100;
        startDate %= 100;
        endDate %= 100;
        if (startDate == 0 && endDate == 0) {
            result = true;
        } else {
            if (endDate < startDate) {
                if (date <= endDate) date += 100;
                endDate += 100;
            }
            result = startDate <= date && date <= endDate;
        }
    }
    LogExcess(VB_GENERAL, "Actual compare is: %d (s) <= %d (c) <= %d (e)\n", startDate, date, endDate);
    return result;
}

bool DateInRange(long when, int startDate, int endDate) {
    return DateInRange(dateIntFromTime((time_t)when), startDate, endDate);
}

bool CurrentDateInRange(int startDate, int endDate) { return DateInRange(GetCurrentDateInt(0), startDate, endDate); }

// ---------------------------------------------------------------- files

bool DirectoryExists(const char* path) {
    DIR* d = opendir(path);
    if (!d) return false;
    closedir(d);
    return true;
}
bool DirectoryExists(const std::string& path) { return DirectoryExists(path.c_str()); }

bool FileExists(const char* path) {
    struct stat st;
    return stat(path, &st) == 0;
}
bool FileExists(const std::string& path) { return FileExists(path.c_str()); }

void Touch(const char* path) {
    int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd >= 0) close(fd);
}
void Touch(const std::string& path) { Touch(path.c_str()); }

std::string GetFileContents(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "";
    flock(fd, LOCK_SH);
    std::string out;
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof(buf))) > 0) {
        out.append(buf, n);
    }
    flock(fd, LOCK_UN);
    close(fd);
    while (!out.empty() && out.back() == 0) out.pop_back();
    return out;
}

static bool writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        done += n;
    }
    return true;
}

// For a folder the daemon may not create files in although the file itself
// is writable: the old way, truncating under the lock.
static bool putFileInPlace(const std::string& path, const std::string& text) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        LogErr(VB_GENERAL, "ERROR: Unable to open %s for writing.\n", path.c_str());
        return false;
    }
    struct stat st;
    bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    flock(fd, LOCK_EX);
    bool ok = (!regular || ftruncate(fd, 0) == 0) && writeAll(fd, text) && (!regular || fsync(fd) == 0);
    int err = errno;
    flock(fd, LOCK_UN);
    close(fd);
    if (!ok) LogErr(VB_GENERAL, "ERROR: Unable to write %s - %s.\n", path.c_str(), strerror(err));
    if (regular) SetFilePerms(path, false);
    return ok;
}

static const char* TEMP_MARK = ".tmp-";

// Temporaries that writers killed half-way left behind: those of processes
// that no longer run. A temporary of this process may belong to a writer on
// another thread and is left alone.
static void sweepStaleTemporaries(const std::string& dir, const std::string& base) {
    std::string prefix = "." + base + TEMP_MARK;
    DIR* d = opendir(dir.c_str());
    if (!d) return;
    while (struct dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name.compare(0, prefix.size(), prefix) != 0) continue;
        pid_t owner = (pid_t)atol(name.c_str() + prefix.size());
        if (owner == getpid() || (owner > 0 && kill(owner, 0) == 0)) continue;
        unlink((dir + "/" + name).c_str());
    }
    closedir(d);
}

// Files are replaced whole: the text goes to a temporary in the same folder,
// reaches the disk, and only then takes the file's name. A reader, a killed
// process or a power cut finds the old text or the new one, never a part,
// and a full disk leaves the old file as it was.
bool PutFileContents(const std::string& path, const std::string& text) {
    std::string target = path;
    struct stat lst;
    if (lstat(path.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) {
        // A link is kept; the file it names is the one replaced.
        char resolved[PATH_MAX];
        if (realpath(path.c_str(), resolved)) target = resolved;
    }
    struct stat tst;
    if (stat(target.c_str(), &tst) == 0 && !S_ISREG(tst.st_mode)) {
        // A device, a pipe, a sysfs-like attribute: written where it is,
        // never replaced by a regular file.
        return putFileInPlace(target, text);
    }
    FileReplacer file(target);
    if (!file.Open()) {
        if ((errno == EACCES || errno == EPERM) && access(target.c_str(), W_OK) == 0) {
            return putFileInPlace(target, text);
        }
        LogErr(VB_GENERAL, "ERROR: Unable to open %s for writing.\n", path.c_str());
        LogErr(VB_GENERAL, "ERROR: Unable to write %s - %s.\n", path.c_str(), file.Error().c_str());
        return false;
    }
    if (!file.Write(text.data(), text.size()) || !file.Commit()) {
        LogErr(VB_GENERAL, "ERROR: Unable to write %s - %s.\n", path.c_str(), file.Error().c_str());
        return false;
    }
    return true;
}

FileReplacer::FileReplacer(const std::string& path) : m_path(path) {
    size_t slash = path.rfind('/');
    m_dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    m_base = slash == std::string::npos ? path : path.substr(slash + 1);
}

FileReplacer::~FileReplacer() { Discard(); }

void FileReplacer::Discard() {
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
    if (!m_temp.empty()) unlink(m_temp.c_str());
    m_temp.clear();
}

bool FileReplacer::Open() {
    std::string tmpl = m_dir + "/." + m_base + TEMP_MARK + std::to_string(getpid()) + "-XXXXXX";
    std::vector<char> tmp(tmpl.begin(), tmpl.end());
    tmp.push_back(0);
    m_fd = mkostemp(tmp.data(), O_CLOEXEC);
    if (m_fd < 0) {
        int err = errno;
        m_error = strerror(err);
        errno = err;
        return false;
    }
    m_temp = tmp.data();
    return true;
}

bool FileReplacer::Write(const char* data, size_t len) {
    if (m_fd < 0) return false;
    size_t done = 0;
    while (done < len) {
        ssize_t n = write(m_fd, data + done, len - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            m_error = n == 0 ? strerror(EIO) : strerror(errno);
            return false;
        }
        done += n;
    }
    return true;
}

bool FileReplacer::Commit() {
    if (m_fd < 0) return false;
    bool ok = fsync(m_fd) == 0;
    int err = errno;
    ok = close(m_fd) == 0 && ok;
    m_fd = -1;
    if (ok) {
        SetFilePerms(m_temp, false);
        ok = rename(m_temp.c_str(), m_path.c_str()) == 0;
        err = errno;
    }
    if (!ok) {
        m_error = strerror(err);
        return false;
    }
    m_temp.clear();
    // The new name itself must survive a power cut too.
    int dfd = open(m_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
    sweepStaleTemporaries(m_dir, m_base);
    return true;
}

bool CopyFileContents(const std::string& from, const std::string& to) {
    int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        LogErr(VB_GENERAL, "ERROR: Unable to open %s for reading.\n", from.c_str());
        return false;
    }
    int out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0660);
    if (out < 0) {
        LogErr(VB_GENERAL, "ERROR: Unable to open %s for writing.\n", to.c_str());
        close(in);
        return false;
    }
    struct stat st;
    fstat(in, &st);
    off_t offset = 0;
    bool ok = true;
    while (offset < st.st_size) {
        ssize_t n = sendfile(out, in, &offset, st.st_size - offset);
        if (n <= 0) {
            LogErr(VB_GENERAL, "ERROR: Unable to copy %s to %s - %s.\n", from.c_str(), to.c_str(), strerror(errno));
            ok = false;
            break;
        }
    }
    close(in);
    close(out);
    return ok;
}

std::string tail(const std::string& text, size_t n) {
    if (text.size() <= n) return text;
    return text.substr(text.size() - n);
}

mode_t ProcessUmask() {
    // Read, not set and restored: umask() would leave other threads a
    // moment in which their new files get a mask of 0.
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 6, "Umask:") == 0) return (mode_t)strtoul(line.c_str() + 6, nullptr, 8) & 0777;
    }
    return 022;
}

bool SetFilePerms(const char* path, bool executable) {
    // Group-writable for the web interface's account, but never more open
    // than the service's umask allows (the unit sets 0027).
    chmod(path, (executable ? 0775 : 0664) & ~ProcessUmask());
    struct passwd* pw = getpwnam("kiv");
    if (pw) {
        if (chown(path, pw->pw_uid, pw->pw_gid) != 0) {
            // Not fatal: the file stays with its current owner.
        }
    }
    return true;
}
bool SetFilePerms(const std::string& path, bool executable) { return SetFilePerms(path.c_str(), executable); }

std::string GetFileExtension(const std::string& name) {
    size_t dot = name.rfind('.');
    if (dot == std::string::npos) return "";
    return name.substr(dot + 1);
}

bool CheckForHostSpecificFile(const char* host, std::string& path) {
    size_t dot = path.rfind('.');
    if (dot == std::string::npos) return false;
    size_t fromEnd = path.size() - dot;
    if (fromEnd != 4 && fromEnd != 5) return false;
    std::string base = path.substr(0, dot);
    std::string ext = path.substr(dot);
    for (const char* sep : {"-", "_"}) {
        std::string candidate = base + sep + host + ext;
        if (FileExists(candidate)) {
            LogDebug(VB_SEQUENCE, "Found %s to use instead of %s\n", candidate.c_str(), path.c_str());
            path = candidate;
            return true;
        }
    }
    return false;
}
bool CheckForHostSpecificFile(const std::string& host, std::string& path) {
    return CheckForHostSpecificFile(host.c_str(), path);
}

static void closeIfNotBoundSocket(int fd) {
    struct sockaddr_storage addr;
    socklen_t len = sizeof(addr);
    memset(&addr, 0, sizeof(addr));
    if (getsockname(fd, (struct sockaddr*)&addr, &len) == 0 && addr.ss_family != 0) {
        return;
    }
    close(fd);
}

void CloseOpenFiles() {
    // Walk the open descriptors instead of every possible number.
    std::vector<int> fds;
    DIR* d = opendir("/proc/self/fd");
    if (d) {
        int dfd = dirfd(d);
        while (struct dirent* e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            int fd = atoi(e->d_name);
            if (fd >= 3 && fd != dfd) fds.push_back(fd);
        }
        closedir(d);
    } else {
        long max = sysconf(_SC_OPEN_MAX);
        for (int fd = 3; fd < max; ++fd) {
            if (fcntl(fd, F_GETFD) != -1) fds.push_back(fd);
        }
    }
    for (int fd : fds) {
        closeIfNotBoundSocket(fd);
    }
}

// ---------------------------------------------------------------- JSON

bool ParseJson(const std::string& text, Json::Value& value) { return ParseJson(text, value, nullptr); }

bool ParseJson(const std::string& text, Json::Value& value, std::string* error) {
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    Json::Value result;
    bool ok = false;
    try {
        ok = reader->parse(text.data(), text.data() + text.size(), &result, &errors);
    } catch (const std::exception& e) {
        // The reader throws on nesting deeper than its stack limit; texts
        // from other devices and clients must never end the process.
        ok = false;
        errors = e.what();
    }
    value = ok ? result : Json::Value();
    if (!ok && error) *error = errors.substr(0, errors.find('\n'));
    return ok;
}

bool LoadJsonFromString(const std::string& text, Json::Value& value) {
    bool ok = ParseJson(text, value);
    // Texts can be large answers from other devices: the log gets their start.
    static constexpr size_t LOGGED_CHARS = 1024;
    std::string shown = text.size() > LOGGED_CHARS ? text.substr(0, LOGGED_CHARS) + "..." : text;
    if (ok) {
        LogDebug(VB_GENERAL, "LoadJsonFromString() loaded: '%s'\n", shown.c_str());
    } else {
        LogErr(VB_GENERAL, "Error parsing JSON string in LoadJsonFromString(): '%s'\n", shown.c_str());
    }
    return ok;
}

Json::Value LoadJsonFromString(const std::string& text) {
    Json::Value v;
    LoadJsonFromString(text, v);
    return v;
}

bool LoadJsonFromFile(const std::string& path, Json::Value& value) {
    if (!FileExists(path)) {
        LogErr(VB_GENERAL, "JSON File %s does not exist\n", path.c_str());
        return false;
    }
    return LoadJsonFromString(GetFileContents(path), value);
}

Json::Value LoadJsonFromFile(const std::string& path) {
    Json::Value v;
    LoadJsonFromFile(path, v);
    return v;
}

std::string SaveJsonToString(const Json::Value& value, const std::string& indentation) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = indentation;
    return Json::writeString(builder, value);
}

std::string SaveJsonToString(const Json::Value& value, const std::string& indentation, int significantDigits) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = indentation;
    builder["precision"] = significantDigits;
    return Json::writeString(builder, value);
}

bool SaveJsonToString(const Json::Value& value, std::string& out, const std::string& indentation) {
    out = SaveJsonToString(value, indentation);
    return !out.empty();
}

bool SaveJsonToFile(const Json::Value& value, const std::string& path, const std::string& indentation) {
    std::string text = SaveJsonToString(value, indentation);
    if (text.empty()) {
        LogErr(VB_GENERAL, "Error converting Json::Value to std::string()\n");
        return false;
    }
    return PutFileContents(path, text);
}

int JsonInt(const Json::Value& config, const char* key, int def) {
    if (!config.isObject() || !config.isMember(key)) return def;
    const Json::Value& v = config[key];
    if (v.isBool()) return v.asBool() ? 1 : 0;
    if (v.isIntegral()) {
        if (v.isInt()) return v.asInt();
        return v.isUInt() ? (int)std::min<unsigned>(v.asUInt(), 0x7FFFFFFF) : def;
    }
    if (v.isDouble()) {
        double d = v.asDouble();
        if (std::isfinite(d) && d >= -2147483648.0 && d <= 2147483647.0) return (int)d;
        return def;
    }
    if (v.isString()) {
        const std::string s = v.asString();
        char* end = nullptr;
        errno = 0;
        long l = strtol(s.c_str(), &end, 0);
        if (end != s.c_str() && *end == 0 && errno == 0 && l >= -2147483647L - 1 && l <= 2147483647L) return (int)l;
    }
    return def;
}

void MergeJsonValues(Json::Value& into, Json::Value& from) {
    if (!from.isObject()) return;
    for (const auto& name : from.getMemberNames()) {
        if (into.isMember(name) && into[name].isObject() && from[name].isObject()) {
            MergeJsonValues(into[name], from[name]);
        } else {
            into[name] = from[name];
        }
    }
}

// ---------------------------------------------------------------- strings

void TrimWhiteSpace(std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n\f\v");
    if (b == std::string::npos) {
        s.clear();
        return;
    }
    size_t e = s.find_last_not_of(" \t\r\n\f\v");
    s = s.substr(b, e - b + 1);
}

bool startsWith(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

bool endsWith(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

void toUpper(std::string& s) { std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return toupper(c); }); }
void toLower(std::string& s) { std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return tolower(c); }); }
std::string toUpperCopy(const std::string& s) {
    std::string c = s;
    toUpper(c);
    return c;
}
std::string toLowerCopy(const std::string& s) {
    std::string c = s;
    toLower(c);
    return c;
}

void split(const std::string& s, char delim, std::vector<std::string>& out) {
    std::stringstream ss(s);
    std::string item;
    while (std::getline(ss, item, delim)) {
        out.push_back(item);
    }
}

std::vector<std::string> split(const std::string& s, char delim) {
    std::vector<std::string> out;
    split(s, delim, out);
    return out;
}

std::vector<std::string> splitWithQuotes(const std::string& s, char delim) {
    std::vector<std::string> out;
    std::string cur;
    bool quoted = false;
    for (char c : s) {
        if (c == '"') {
            quoted = !quoted;
            cur += c;
        } else if (c == delim && !quoted) {
            out.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) out.push_back(cur);
    return out;
}

bool replaceAll(std::string& s, const std::string& from, const std::string& to) {
    if (from.empty()) return false;
    bool any = false;
    size_t pos = 0;
    while ((pos = s.find(from, pos)) != std::string::npos) {
        s.replace(pos, from.size(), to);
        pos += to.size();
        any = true;
    }
    return any;
}

bool ReplaceString(std::string& s, const std::string& from, const std::string& to) { return replaceAll(s, from, to); }

bool replaceStart(std::string& s, const std::string& from, const std::string& to) {
    if (!startsWith(s, from)) return false;
    s = to + s.substr(from.size());
    return true;
}

bool replaceEnd(std::string& s, const std::string& from, const std::string& to) {
    if (!endsWith(s, from)) return false;
    s = s.substr(0, s.size() - from.size()) + to;
    return true;
}

std::string getSimpleXMLTag(const std::string& text, const std::string& tag) {
    std::string open = "<" + tag + ">";
    std::string close = "</" + tag + ">";
    size_t b = text.find(open);
    if (b == std::string::npos) return "";
    b += open.size();
    size_t e = text.find(close, b);
    if (e == std::string::npos) return "";
    return text.substr(b, e - b);
}

std::string getSimpleHTMLTTag(const std::string& html, const std::string& marker, const std::string& open,
                              const std::string& close) {
    size_t m = html.find(marker);
    if (m == std::string::npos) return "";
    size_t b = html.find(open, m + marker.size());
    if (b == std::string::npos) return "";
    b += open.size();
    size_t e = html.find(close, b);
    if (e == std::string::npos) return "";
    return html.substr(b, e - b);
}

std::string ReplaceKeywords(std::string text, std::map<std::string, std::string>& keywords) {
    for (auto& kv : keywords) {
        replaceAll(text, "%" + kv.first + "%", kv.second);
    }
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    char buf[32];
    snprintf(buf, sizeof(buf), "%02d:%02d:%02d", tm.tm_hour, tm.tm_min, tm.tm_sec);
    replaceAll(text, "%TIME%", buf);
    snprintf(buf, sizeof(buf), "%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
    replaceAll(text, "%DATE%", buf);
    replaceAll(text, "%KIV_VERSION%", getKIVVersionTriplet());
    replaceAll(text, "%KIV_SOURCE_VERSION%", getKIVVersion());
    replaceAll(text, "%KIV_BRANCH%", getKIVBranch());
    return text;
}

static const char BASE64_ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64Encode(const unsigned char* data, unsigned int len) {
    std::string out;
    out.reserve((len + 2) / 3 * 4);
    unsigned int i = 0;
    for (; i + 2 < len; i += 3) {
        unsigned v = (data[i] << 16) | (data[i + 1] << 8) | data[i + 2];
        out += BASE64_ALPHABET[(v >> 18) & 63];
        out += BASE64_ALPHABET[(v >> 12) & 63];
        out += BASE64_ALPHABET[(v >> 6) & 63];
        out += BASE64_ALPHABET[v & 63];
    }
    if (i < len) {
        unsigned v = data[i] << 16;
        if (i + 1 < len) v |= data[i + 1] << 8;
        out += BASE64_ALPHABET[(v >> 18) & 63];
        out += BASE64_ALPHABET[(v >> 12) & 63];
        out += (i + 1 < len) ? BASE64_ALPHABET[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::vector<unsigned char> base64Decode(const std::string& text) {
    std::vector<unsigned char> out;
    unsigned v = 0;
    int bits = 0;
    for (unsigned char c : text) {
        if (c == '=') break;
        const char* p = (c != 0) ? strchr(BASE64_ALPHABET, c) : nullptr;
        if (!p) continue;  // whitespace and foreign characters are skipped
        v = (v << 6) | (unsigned)(p - BASE64_ALPHABET);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back((unsigned char)((v >> bits) & 0xFF));
        }
    }
    return out;
}

unsigned char ReverseBitsInByte(unsigned char b) {
    static const unsigned char nibble[16] = {0x0, 0x8, 0x4, 0xC, 0x2, 0xA, 0x6, 0xE,
                                             0x1, 0x9, 0x5, 0xD, 0x3, 0xB, 0x7, 0xF};
    return (unsigned char)((nibble[b & 0x0F] << 4) | nibble[b >> 4]);
}

// ---------------------------------------------------------------- network

int GetInterfaceAddress(const char* iface, char* addr, char* mask, char* gateway) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct ifreq ifr;
    memset(&ifr, 0, sizeof(ifr));
    strncpy(ifr.ifr_name, iface, IFNAMSIZ - 1);
    ifr.ifr_addr.sa_family = AF_INET;
    if (addr) {
        if (fd >= 0 && ioctl(fd, SIOCGIFADDR, &ifr) == 0) {
            strcpy(addr, inet_ntoa(((struct sockaddr_in*)&ifr.ifr_addr)->sin_addr));
        } else {
            strcpy(addr, "127.0.0.1");
        }
    }
    if (mask) {
        if (fd >= 0 && ioctl(fd, SIOCGIFNETMASK, &ifr) == 0) {
            strcpy(mask, inet_ntoa(((struct sockaddr_in*)&ifr.ifr_netmask)->sin_addr));
        } else {
            strcpy(mask, "255.255.255.255");
        }
    }
    if (fd >= 0) close(fd);
    if (gateway) {
        gateway[0] = 0;
        std::ifstream routes("/proc/net/route");
        std::string line;
        while (std::getline(routes, line)) {
            std::istringstream ls(line);
            std::string name, dest, gw;
            ls >> name >> dest >> gw;
            if (name == iface && dest == "00000000" && !gw.empty()) {
                struct in_addr in;
                in.s_addr = (in_addr_t)strtoul(gw.c_str(), nullptr, 16);
                strcpy(gateway, inet_ntoa(in));
            }
        }
    }
    return 0;
}

bool InterfaceIPv4Address(const std::string& iface, struct in_addr& address) {
    struct ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    bool found = false;
    for (struct ifaddrs* a = list; a && !found; a = a->ifa_next) {
        if (a->ifa_addr && a->ifa_addr->sa_family == AF_INET && iface == a->ifa_name) {
            address = ((struct sockaddr_in*)a->ifa_addr)->sin_addr;
            found = true;
        }
    }
    freeifaddrs(list);
    return found;
}

const char* FindInterfaceForIP(char* ip) {
    static char ifaceName[IFNAMSIZ + 1] = "";
    struct ifaddrs* list = nullptr;
    if (getifaddrs(&list) == -1) {
        LogErr(VB_GENERAL, "Error getting interfaces list: %s\n", strerror(errno));
        return ifaceName;
    }
    for (struct ifaddrs* a = list; a; a = a->ifa_next) {
        if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET) continue;
        char host[NI_MAXHOST];
        if (getnameinfo(a->ifa_addr, sizeof(struct sockaddr_in), host, sizeof(host), nullptr, 0, NI_NUMERICHOST)) {
            LogErr(VB_GENERAL, "getnameinfo failed");
            continue;
        }
        if (!strcmp(host, ip)) {
            strncpy(ifaceName, a->ifa_name, IFNAMSIZ);
            ifaceName[IFNAMSIZ] = 0;
            break;
        }
    }
    freeifaddrs(list);
    return ifaceName;
}

// ---------------------------------------------------------------- HTTP

size_t urlWriteData(void* buffer, size_t size, size_t nmemb, void* userp) {
    std::string* out = (std::string*)userp;
    out->append((const char*)buffer, size * nmemb);
    return size * nmemb;
}

bool urlHelper(const std::string& method, const std::string& url, const std::string& body, std::string& response,
               unsigned int timeoutSeconds) {
    CURL* curl = curl_easy_init();
    if (!curl) {
        LogErr(VB_GENERAL, "Unable to create curl instance in urlHelper()\n");
        return false;
    }
    CURLcode status;
    response.clear();
    struct curl_slist* headers = nullptr;
    bool ok = false;
    std::string agent = std::string("kivd/") + getKIVVersionTriplet();
    if ((status = curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, urlWriteData)) != CURLE_OK) {
        LogErr(VB_GENERAL, "curl_easy_setopt() Error setting write callback function: %s\n", curl_easy_strerror(status));
        goto done;
    }
    if ((status = curl_easy_setopt(curl, CURLOPT_WRITEDATA, &response)) != CURLE_OK) {
        LogErr(VB_GENERAL, "curl_easy_setopt() Error setting class pointer: %s\n", curl_easy_strerror(status));
        goto done;
    }
    if ((status = curl_easy_setopt(curl, CURLOPT_URL, url.c_str())) != CURLE_OK) {
        LogErr(VB_GENERAL, "curl_easy_setopt() Error setting URL: %s\n", curl_easy_strerror(status));
        goto done;
    }
    headers = curl_slist_append(headers, "Accept: application/json");
    headers = curl_slist_append(headers, "Content-Type: application/json");
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    if (method == "POST" || method == "PUT") {
        if ((status = curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str())) != CURLE_OK) {
            LogErr(VB_GENERAL, "curl_easy_setopt() Error setting postfields data: %s\n", curl_easy_strerror(status));
            goto done;
        }
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, (long)body.size());
    }
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, (long)timeoutSeconds);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 2L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    if (method != "GET" && method != "POST") {
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
    }
    curl_easy_setopt(curl, CURLOPT_USERAGENT, agent.c_str());
    LogDebug(VB_GENERAL, "Calling %s %s\n", method.c_str(), url.c_str());
    status = curl_easy_perform(curl);
    if (status == CURLE_OK) {
        LogDebug(VB_GENERAL, "%s %s resp: %s\n", method.c_str(), url.c_str(), response.c_str());
        ok = true;
    } else {
        LogErr(VB_GENERAL, "curl_easy_perform() failed (%s): %s\n", url.c_str(), curl_easy_strerror(status));
    }
done:
    if (headers) curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return ok;
}

bool urlGet(const std::string& url, std::string& response) { return urlHelper("GET", url, "", response, 10); }
bool urlPost(const std::string& url, const std::string& body, std::string& response) {
    return urlHelper("POST", url, body, response, 30);
}
bool urlPut(const std::string& url, const std::string& body, std::string& response) {
    return urlHelper("PUT", url, body, response, 30);
}
bool urlDelete(const std::string& url, const std::string& body, std::string& response) {
    return urlHelper("DELETE", url, body, response, 10);
}

namespace {
struct BoundedBody {
    std::string* out;
    size_t maxBytes;
    bool tooLarge;
};

size_t boundedWrite(void* buffer, size_t size, size_t nmemb, void* userp) {
    BoundedBody* b = (BoundedBody*)userp;
    size_t n = size * nmemb;
    if (b->out->size() + n > b->maxBytes) {
        b->tooLarge = true;
        return 0;  // ends the transfer
    }
    b->out->append((const char*)buffer, n);
    return n;
}
}  // namespace

bool urlGetBounded(const std::string& url, std::string& response, long timeoutMs, size_t maxBytes,
                   std::string* error) {
    response.clear();
    std::string reason;
    CURL* curl = curl_easy_init();
    if (!curl) {
        if (error) *error = "unable to create an HTTP request";
        return false;
    }
    BoundedBody body{&response, maxBytes, false};
    std::string agent = std::string("kivd/") + getKIVVersionTriplet();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, boundedWrite);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
    // Compressed answers are unpacked, and the bound applies to what comes out.
    curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, "");
    curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, (curl_off_t)maxBytes);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeoutMs);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, std::min(timeoutMs, 2000L));
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, agent.c_str());
    LogDebug(VB_GENERAL, "Calling GET %s\n", url.c_str());
    CURLcode status = curl_easy_perform(curl);
    long code = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
    curl_easy_cleanup(curl);
    if (body.tooLarge || status == CURLE_FILESIZE_EXCEEDED) {
        reason = "answer larger than " + std::to_string(maxBytes) + " bytes";
    } else if (status != CURLE_OK) {
        reason = curl_easy_strerror(status);
    } else if (code >= 400) {
        reason = "HTTP status " + std::to_string(code);
    }
    if (!reason.empty()) {
        LogDebug(VB_GENERAL, "GET %s failed: %s\n", url.c_str(), reason.c_str());
        response.clear();
        if (error) *error = reason;
        return false;
    }
    LogDebug(VB_GENERAL, "GET %s resp: %d bytes\n", url.c_str(), (int)response.size());
    return true;
}

// ---------------------------------------------------------------- hex dump

void HexDump(const char* title, const void* data, int len, KIVLoggerInstance& facility, int perLine) {
    if (!WillLog(LOG_INFO, facility)) return;
    if (perLine <= 0) perLine = 16;
    const unsigned char* p = (const unsigned char*)data;
    if (title && title[0]) {
        LogInfo(facility, "%s: (%d bytes)\n", title, len);
    }
    for (int row = 0; row < len; row += perLine) {
        std::string line;
        char buf[16];
        snprintf(buf, sizeof(buf), "%06x: ", row);
        line += buf;
        int count = std::min(perLine, len - row);
        for (int i = 0; i < count; ++i) {
            snprintf(buf, sizeof(buf), "%02x ", p[row + i]);
            line += buf;
        }
        for (int i = count; i < perLine; ++i) {
            line += "   ";
        }
        line += "   ";
        for (int i = 0; i < count; ++i) {
            unsigned char c = p[row + i];
            bool printable = isgraph(c) || c == ' ';
            line += (c == '%' || c == '\\' || !printable) ? '.' : (char)c;
        }
        LogInfo(facility, "%s\n", line.c_str());
    }
}

// ---------------------------------------------------------------- process

void SetThreadName(const std::string& name) {
    std::string n = name.substr(0, 15);
    pthread_setname_np(pthread_self(), n.c_str());
    EnsureSignalStack();
}

namespace {
// Room for the crash report (fixed text buffers, the unwinder, fork and
// exec of its helpers) with a guard page below, apart from the heap, which
// may be what broke.
constexpr size_t SIGNAL_STACK_BYTES = 128 * 1024;

struct SignalStack {
    char* mapping = nullptr;
    size_t size = 0;
    ~SignalStack() {
        if (!mapping) return;
        stack_t current;
        if (sigaltstack(nullptr, &current) == 0 && current.ss_sp == mapping + getpagesize()) {
            stack_t off = {};
            off.ss_flags = SS_DISABLE;
            sigaltstack(&off, nullptr);
        }
        munmap(mapping, size);
    }
};
thread_local SignalStack threadSignalStack;
}  // namespace

void EnsureSignalStack() {
    stack_t current;
    if (sigaltstack(nullptr, &current) != 0 || !(current.ss_flags & SS_DISABLE)) return;
    size_t guard = getpagesize();
    size_t size = guard + std::max<size_t>(SIGNAL_STACK_BYTES, MINSIGSTKSZ);
    void* m = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (m == MAP_FAILED) return;
    mprotect(m, guard, PROT_NONE);
    stack_t ss = {};
    ss.ss_sp = (char*)m + guard;
    ss.ss_size = size - guard;
    if (sigaltstack(&ss, nullptr) != 0) {
        munmap(m, size);
        return;
    }
    threadSignalStack.mapping = (char*)m;
    threadSignalStack.size = size;
}

static std::mutex shutdownHookLock;
static std::function<void(bool)> shutdownHook;

void RegisterShutdownHandler(std::function<void(bool)> handler) {
    std::lock_guard<std::mutex> lock(shutdownHookLock);
    shutdownHook = handler;
}

void ShutdownKIVD(bool restart) {
    std::function<void(bool)> hook;
    {
        std::lock_guard<std::mutex> lock(shutdownHookLock);
        hook = shutdownHook;
    }
    if (hook) hook(restart);
}
