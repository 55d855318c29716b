#pragma once
// Shared test fixtures: a temporary media directory (KIV_MEDIA_DIR points
// at it while it lives), a capture of log lines, loopback UDP receivers and
// helpers to run programs of the build.

#include <netinet/in.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kivtest {

std::string buildDir();
std::string sourceDir();
std::string programPath(const std::string& name);  // <build>/src/<name> or <build>/tools/<name>

// A fresh media directory with config/, sequences/, playlists/, logs/, tmp/.
class TempMediaDir {
public:
    TempMediaDir();
    ~TempMediaDir();
    const std::string& path() const { return m_path; }
    std::string file(const std::string& sub) const { return m_path + sub; }
    void write(const std::string& sub, const std::string& text) const;

private:
    std::string m_path;
    std::string m_oldEnv;
    bool m_hadEnv = false;
};

// A fresh installation directory (KIV_INSTALL_DIR) with www/.
class TempInstallDir {
public:
    TempInstallDir();
    ~TempInstallDir();
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
    std::string m_oldEnv;
    bool m_hadEnv = false;
};

// Sends log lines to a temporary file for the fixture's life and lets tests
// search them; restores the previous destination and levels afterwards.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    std::string text() const;
    bool contains(const std::string& needle) const;
    int count(const std::string& needle) const;

private:
    std::string m_path;
    std::string m_oldFile;
    bool m_oldStdout;
    std::string m_oldLevels;
};

struct Datagram {
    std::vector<uint8_t> bytes;
    long long timeUs;  // GetTime() when the kernel received it
    sockaddr_in from;
};

// A UDP receiver bound on a loopback address and port; collects datagrams
// on its own thread.
class UdpReceiver {
public:
    UdpReceiver(const std::string& address, uint16_t port);
    ~UdpReceiver();
    bool ok() const { return m_fd >= 0; }
    size_t count();
    std::vector<Datagram> take();
    // Waits until at least n datagrams arrived or timeoutMs passed.
    bool waitFor(size_t n, int timeoutMs);

private:
    void run();
    int m_fd = -1;
    std::atomic<bool> m_stop{false};
    std::mutex m_lock;  // guards m_received
    std::vector<Datagram> m_received;
    std::thread m_thread;
};

// The warning text is among the current warnings.
bool hasWarning(const std::string& text);

// Rewrites a file where it is (same inode), as a sysfs attribute or a device
// changes under a reader that keeps it open; PutFileContents replaces files.
// The file is never empty in between.
bool rewriteInPlace(const std::string& path, const std::string& text);

// Runs a shell command, returns its exit status and its output.
int runCommand(const std::string& cmd, std::string* output = nullptr);

// Entries of a folder (not "." and ".."), -1 when it cannot be read: with
// /proc/<pid>/fd and /proc/<pid>/task, a process's descriptors and threads.
int countDirectoryEntries(const std::string& dir);
// The sockets a process (0: this one) has open. Unlike all its descriptors
// they do not count a file that a thread has open for a moment (the log,
// which is opened for each line).
int countSockets(pid_t pid = 0);
// The names of the threads of a process (0: this one).
std::vector<std::string> threadNames(pid_t pid = 0);

// How many times longer than on a native machine a test waits for
// something to happen: KIV_TEST_TIME_SCALE (default 1). The emulated arm64
// run sets it (scripts/test-arm64.sh), because every arm64 program runs
// several times slower there. It stretches waits for an event only, never
// a bound on timing: those are judged against what the daemon logs as late
// or a reference measured in the same test.
double timeScale();
int patienceMs(int ms);  // ms stretched by timeScale()
// True when a user-mode emulator (qemu-user) runs the tests' programs. The
// kernel then runs the emulator, which only another program sees: to the
// program itself the emulator answers /proc/self/exe with its own name.
bool underEmulator();

// Polls pred every 10 ms until it holds or patienceMs(timeoutMs) passed on
// the steady clock; the time pred itself takes counts.
template <typename P>
bool waitUntil(P pred, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(patienceMs(timeoutMs));
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        usleep(10000);
    }
    return true;
}

}  // namespace kivtest
