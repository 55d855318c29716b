// A hung test is ended by ctest's time-out with nothing said after
// "[ RUN ]". Long before that (KIV_TEST_HANG_REPORT_S seconds, 0 = never)
// this prints each thread's stack and the child processes, so one run's log
// shows where the hang is (the emulated arm64 suite takes an hour).

#include <dirent.h>
#include <execinfo.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "TestSupport.h"

namespace kivtest {
namespace {

void PrintOwnStack(int) {
    void* frames[64];
    int n = backtrace(frames, 64);
    char head[64];
    int len = snprintf(head, sizeof(head), "--- thread %ld:\n", (long)syscall(SYS_gettid));
    if (write(STDERR_FILENO, head, len) == len) backtrace_symbols_fd(frames, n, STDERR_FILENO);
}

class HangReport : public ::testing::EmptyTestEventListener {
public:
    explicit HangReport(int seconds) : m_seconds(seconds) {}
    ~HangReport() override { OnTestProgramEnd(*::testing::UnitTest::GetInstance()); }
    void OnTestStart(const ::testing::TestInfo& info) override {
        std::lock_guard<std::mutex> lock(m_lock);
        m_name = std::string(info.test_suite_name()) + "." + info.name();
        m_started = std::chrono::steady_clock::now();
        m_running = true;
        // Short of ctest's 900 s; under the emulator tests run longer without hanging.
        if (m_seconds < 0) m_seconds = underEmulator() ? 600 : 300;
        if (!m_watch.joinable()) m_watch = std::thread([this] { Watch(); });
    }
    void OnTestEnd(const ::testing::TestInfo&) override {
        std::lock_guard<std::mutex> lock(m_lock);
        m_running = false;
    }
    void OnTestProgramEnd(const ::testing::UnitTest&) override {
        m_stop = true;
        if (m_watch.joinable()) m_watch.join();
    }

private:
    void Watch() {
        while (!m_stop) {
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
            std::string name;
            {
                std::lock_guard<std::mutex> lock(m_lock);
                if (!m_running || std::chrono::steady_clock::now() - m_started < std::chrono::seconds(m_seconds)) continue;
                m_running = false;  // once per test
                name = m_name;
            }
            fprintf(stderr, "[ HANG?    ] %s has run %d s; its threads and child processes:\n", name.c_str(), m_seconds);
            fflush(stderr);
            signal(SIGURG, PrintOwnStack);
            if (DIR* d = opendir("/proc/self/task")) {
                while (dirent* e = readdir(d)) {
                    long tid = atol(e->d_name);
                    if (tid <= 0 || tid == syscall(SYS_gettid)) continue;
                    syscall(SYS_tgkill, getpid(), tid, SIGURG);
                    std::this_thread::sleep_for(std::chrono::milliseconds(200));
                }
                closedir(d);
            }
            std::string children;
            runCommand("ps -o pid,stat,etime,args --ppid " + std::to_string(getpid()), &children);
            fprintf(stderr, "%s", children.c_str());
            fflush(stderr);
        }
    }

    int m_seconds;  // -1 until the first test: the default depends on the emulator
    std::mutex m_lock;
    std::string m_name;
    std::chrono::steady_clock::time_point m_started;
    bool m_running = false;
    std::atomic<bool> m_stop{false};
    std::thread m_watch;
};

}  // namespace

void InstallHangReport() {
    const char* s = getenv("KIV_TEST_HANG_REPORT_S");
    if (s && atoi(s) <= 0) return;
    void* warm[1];
    backtrace(warm, 1);  // loads the unwinder now, not inside a signal handler
    ::testing::UnitTest::GetInstance()->listeners().Append(new HangReport(s ? atoi(s) : -1));
}

}  // namespace kivtest
