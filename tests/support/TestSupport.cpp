#include "TestSupport.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Warnings.h"
#include "common.h"
#include "log.h"

namespace kivtest {

void InstallHangReport();  // HangReport.cpp
static const bool hangReportInstalled = (InstallHangReport(), true);

std::string buildDir() { return KIV_TEST_BUILD_DIR; }

bool hasWarning(const std::string& text) {
    for (auto& w : WarningHolder::GetWarnings()) {
        if (w == text) return true;
    }
    return false;
}
std::string sourceDir() { return KIV_TEST_SOURCE_DIR; }

double timeScale() {
    static const double scale = [] {
        const char* v = getenv("KIV_TEST_TIME_SCALE");
        double s = v ? atof(v) : 1.0;
        return s >= 1.0 ? s : 1.0;
    }();
    return scale;
}

int patienceMs(int ms) { return (int)(ms * timeScale()); }

bool underEmulator() {
    static const bool emulated = [] {
        char self[4096] = "";
        if (readlink("/proc/self/exe", self, sizeof(self) - 1) <= 0) return false;
        std::string kernels;
        runCommand("readlink /proc/" + std::to_string(getpid()) + "/exe", &kernels);
        TrimWhiteSpace(kernels);
        return kernels != self;
    }();
    return emulated;
}

std::string programPath(const std::string& name) {
    std::string p = buildDir() + "/src/" + name;
    return p;
}

static std::string makeTempDir(const char* prefix) {
    std::string tmpl = std::string("/tmp/") + prefix + "XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back(0);
    char* d = mkdtemp(buf.data());
    return d ? d : "";
}

TempMediaDir::TempMediaDir() {
    m_path = makeTempDir("kivmedia-");
    for (auto sub : {"/config", "/sequences", "/playlists", "/logs", "/tmp", "/music"}) {
        mkdir((m_path + sub).c_str(), 0775);
    }
    const char* old = getenv("KIV_MEDIA_DIR");
    m_hadEnv = old != nullptr;
    if (old) m_oldEnv = old;
    setenv("KIV_MEDIA_DIR", m_path.c_str(), 1);
}

TempMediaDir::~TempMediaDir() {
    if (m_hadEnv) setenv("KIV_MEDIA_DIR", m_oldEnv.c_str(), 1);
    else unsetenv("KIV_MEDIA_DIR");
    if (!m_path.empty() && !getenv("KIV_KEEP_TEST_DIRS")) {
        runCommand("rm -rf '" + m_path + "'");
    }
}

void TempMediaDir::write(const std::string& sub, const std::string& text) const {
    FILE* f = fopen(file(sub).c_str(), "w");
    if (f) {
        fwrite(text.data(), 1, text.size(), f);
        fclose(f);
    }
}

TempInstallDir::TempInstallDir() {
    m_path = makeTempDir("kivinstall-");
    mkdir((m_path + "/www").c_str(), 0775);
    const char* old = getenv("KIV_INSTALL_DIR");
    m_hadEnv = old != nullptr;
    if (old) m_oldEnv = old;
    setenv("KIV_INSTALL_DIR", m_path.c_str(), 1);
}

TempInstallDir::~TempInstallDir() {
    if (m_hadEnv) setenv("KIV_INSTALL_DIR", m_oldEnv.c_str(), 1);
    else unsetenv("KIV_INSTALL_DIR");
    if (!m_path.empty()) runCommand("rm -rf '" + m_path + "'");
}

LogCapture::LogCapture() {
    char tmpl[] = "/tmp/kivlog-XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd >= 0) close(fd);
    m_path = tmpl;
    m_oldFile = GetLogFile();
    m_oldStdout = GetLogToStdOut();
    m_oldLevels = KIVLogger::INSTANCE.GetLogLevelString();
    SetLogFile(m_path.c_str(), false);
}

LogCapture::~LogCapture() {
    SetLogFile(m_oldFile.c_str(), m_oldStdout);
    SetLogLevelComplex(m_oldLevels);
    unlink(m_path.c_str());
}

std::string LogCapture::text() const { return GetFileContents(m_path); }
bool LogCapture::contains(const std::string& needle) const { return text().find(needle) != std::string::npos; }

int LogCapture::count(const std::string& needle) const {
    std::string t = text();
    int n = 0;
    for (size_t pos = t.find(needle); pos != std::string::npos; pos = t.find(needle, pos + needle.size())) ++n;
    return n;
}

UdpReceiver::UdpReceiver(const std::string& address, uint16_t port) {
    m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    int sz = 16 * 1024 * 1024;
    setsockopt(m_fd, SOL_SOCKET, SO_RCVBUFFORCE, &sz, sizeof(sz));
    setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &sz, sizeof(sz));
    // Arrival times from the kernel: a receiver thread that the machine
    // runs late does not make the datagrams late.
    setsockopt(m_fd, SOL_SOCKET, SO_TIMESTAMP, &one, sizeof(one));
    sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    if (bind(m_fd, (sockaddr*)&a, sizeof(a)) < 0) {
        close(m_fd);
        m_fd = -1;
        return;
    }
    m_thread = std::thread(&UdpReceiver::run, this);
}

UdpReceiver::~UdpReceiver() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
    if (m_fd >= 0) close(m_fd);
}

void UdpReceiver::run() {
    std::vector<uint8_t> buf(65536);
    while (!m_stop) {
        pollfd p = {m_fd, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) continue;
        Datagram d;
        iovec iov = {buf.data(), buf.size()};
        alignas(cmsghdr) char control[64];
        msghdr m;
        memset(&m, 0, sizeof(m));
        m.msg_name = &d.from;
        m.msg_namelen = sizeof(d.from);
        m.msg_iov = &iov;
        m.msg_iovlen = 1;
        m.msg_control = control;
        m.msg_controllen = sizeof(control);
        ssize_t n = recvmsg(m_fd, &m, 0);
        if (n < 0) continue;
        d.bytes.assign(buf.begin(), buf.begin() + n);
        // When the datagram arrived (the kernel's stamp), not when this
        // thread got to it: on a busy machine the receiver's own wait for
        // the CPU would count as lateness.
        d.timeUs = GetTime();
        for (cmsghdr* c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMP) {
                // The stamp is on the wall clock, GetTime on the monotonic one.
                timeval tv;
                memcpy(&tv, CMSG_DATA(c), sizeof(tv));
                long long agoUs = GetWallTime() - (tv.tv_sec * 1000000LL + tv.tv_usec);
                if (agoUs > 0) d.timeUs -= agoUs;
            }
        }
        std::lock_guard<std::mutex> lock(m_lock);
        m_received.push_back(std::move(d));
    }
}

size_t UdpReceiver::count() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_received.size();
}

std::vector<Datagram> UdpReceiver::take() {
    std::lock_guard<std::mutex> lock(m_lock);
    std::vector<Datagram> out;
    out.swap(m_received);
    return out;
}

bool UdpReceiver::waitFor(size_t n, int timeoutMs) {
    return waitUntil([&] { return count() >= n; }, timeoutMs);
}

bool rewriteInPlace(const std::string& path, const std::string& text) {
    FILE* f = fopen(path.c_str(), "r+");
    if (!f) f = fopen(path.c_str(), "w");
    if (!f) return false;
    // Written over the old text, then cut to length: a reader never finds
    // the file empty (pad numbers to a fixed width and it never finds a mix).
    bool ok = fwrite(text.data(), 1, text.size(), f) == text.size() && fflush(f) == 0 &&
              ftruncate(fileno(f), (off_t)text.size()) == 0;
    return fclose(f) == 0 && ok;
}

int countDirectoryEntries(const std::string& dir) {
    DIR* d = opendir(dir.c_str());
    if (!d) return -1;
    int n = 0;
    while (struct dirent* e = readdir(d)) n += strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0;
    closedir(d);
    return n;
}

int countSockets(pid_t pid) {
    std::string dir = pid ? "/proc/" + std::to_string(pid) + "/fd" : "/proc/self/fd";
    DIR* d = opendir(dir.c_str());
    if (!d) return -1;
    int n = 0;
    while (struct dirent* e = readdir(d)) {
        char target[64];
        ssize_t len = readlinkat(dirfd(d), e->d_name, target, sizeof(target) - 1);
        n += len > 7 && strncmp(target, "socket:", 7) == 0;
    }
    closedir(d);
    return n;
}

std::vector<std::string> threadNames(pid_t pid) {
    std::string tasks = pid ? "/proc/" + std::to_string(pid) + "/task" : "/proc/self/task";
    std::vector<std::string> names;
    DIR* d = opendir(tasks.c_str());
    if (!d) return names;
    while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::string name = GetFileContents(tasks + "/" + e->d_name + "/comm");
        TrimWhiteSpace(name);
        names.push_back(name);
    }
    closedir(d);
    return names;
}

int runCommand(const std::string& cmd, std::string* output) {
    FILE* p = popen((cmd + " 2>&1").c_str(), "r");
    if (!p) return -1;
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0) out.append(buf, n);
    int status = pclose(p);
    if (output) *output = out;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace kivtest
