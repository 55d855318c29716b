// A test that hangs is ended by ctest's time-out with nothing said after
// "[ RUN ]". Long before that, this prints where each thread of the test
// program is and which processes it waits for, so the hang can be found
// from the log of a single run (the emulated arm64 suite takes an hour).
// KIV_TEST_HANG_REPORT_S sets after how many seconds; 0 turns it off.

#include <dirent.h>
#include <execinfo.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "TestSupport.h"

namespace kivtest {
namespace {

void PrintOwnStack(int) {
    void* frames[64];
    int n = backtrace(frames, 64);
    char head[64];
    int len = snprintf(head, sizeof(head), "--- thread %ld:\n", (long)syscall(SYS_gettid));
    if (write(STDERR_FILENO, head, len) < 0) return;
    backtrace_symbols_fd(frames, n, STDERR_FILENO);
}

class HangReport : public ::testing::EmptyTestEventListener {
public:
    explicit HangReport(int seconds) : m_seconds(seconds) {}
    ~HangReport() override { OnTestProgramEnd(*::testing::UnitTest::GetInstance()); }
    void OnTestStart(const ::testing::TestInfo& info) override {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_name = std::string(info.test_suite_name()) + "." + info.name();
        }
        m_started = Now();
        ++m_test;
        if (!m_watch.joinable()) {
            // Short of ctest's time-out of 900 s; under the emulator tests
            // run for longer without hanging.
            if (m_seconds < 0) m_seconds = underEmulator() ? 600 : 300;
            m_watch = std::thread([this] { Watch(); });
        }
    }
    void OnTestEnd(const ::testing::TestInfo&) override { m_started = 0; }
    void OnTestProgramEnd(const ::testing::UnitTest&) override {
        m_stop = true;
        if (m_watch.joinable()) m_watch.join();
    }

private:
    static long long Now() {
        return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
    void Watch() {
        unsigned reported = 0;
        while (!m_stop) {
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
            long long started = m_started;
            if (!started || reported == m_test || Now() - started < m_seconds) continue;
            reported = m_test;
            std::string name;
            {
                std::lock_guard<std::mutex> lock(m_lock);
                name = m_name;
            }
            fprintf(stderr, "[ HANG?    ] %s has run %d s; where its threads are, and its child processes:\n",
                    name.c_str(), m_seconds);
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
    std::string m_name;  // the test running
    std::atomic<long long> m_started{0};
    std::atomic<unsigned> m_test{0};
    std::atomic<bool> m_stop{false};
    std::thread m_watch;
};

}  // namespace

void InstallHangReport() {
    const char* s = getenv("KIV_TEST_HANG_REPORT_S");
    int seconds = s ? atoi(s) : -1;
    if (s && seconds <= 0) return;
    void* warm[1];
    backtrace(warm, 1);  // loads the unwinder now, not inside a signal handler
    ::testing::UnitTest::GetInstance()->listeners().Append(new HangReport(seconds));
}

}  // namespace kivtest
