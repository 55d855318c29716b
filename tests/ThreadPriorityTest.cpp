// Thread priorities as the system allows them: each case runs in a child
// process (root, or the user nobody without capabilities), where a thread
// raises itself and reports what the kernel says it got. The child is this
// test program started afresh rather than a fork of it: the test process
// already has threads, and a forked copy of a threaded process may not start
// any (ThreadSanitizer refuses to go on).

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "ThreadPriority.h"
#include "settings.h"

using kivtest::LogCapture;

namespace {

// The nice value this test program was started with (a run may start it
// niced); threads are judged against it.
const int STARTING_NICE = getpriority(PRIO_PROCESS, 0);

// What the kernel says of the calling thread.
std::string KernelPriority() {
    int policy;
    sched_param p;
    pthread_getschedparam(pthread_self(), &policy, &p);
    if (policy == SCHED_FIFO) return "SCHED_FIFO " + std::to_string(p.sched_priority);
    int nice = getpriority(PRIO_PROCESS, (id_t)syscall(SYS_gettid)) - STARTING_NICE;
    return nice ? "nice " + std::to_string(nice) : "normal";
}

// Whether the kernel lets this process make a thread real-time: root in a
// user namespace of its own (an emulated run) may not.
bool RealTimeAllowed() {
    bool allowed = false;
    std::thread t([&] {
        sched_param p{};
        p.sched_priority = 1;
        allowed = pthread_setschedparam(pthread_self(), SCHED_FIFO, &p) == 0;
    });
    t.join();
    return allowed;
}

// Set in the child: "<as nobody 0/1>,<RealTimePriority>,<descriptor of the
// pipe to write the report to>".
const char* const CHILD_CASE = "KIV_THREAD_PRIORITY_CASE";

// The child's side: "<what Raise said>/<what the kernel says>;" for an
// output thread, a read-ahead thread and a live input thread, written to
// the pipe. Never returns.
[[noreturn]] void RunChildCase(const char* spec) {
    int asNobody = 0, setting = 0, fd = -1;
    if (sscanf(spec, "%d,%d,%d", &asNobody, &setting, &fd) != 3) _exit(4);
    if (asNobody && (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0)) _exit(2);
    SetSetting("RealTimePriority", setting);
    InitThreadPriorities();
    std::string out;
    for (ThreadRole role : {ThreadRole::Output, ThreadRole::ReadAhead, ThreadRole::LiveInput}) {
        std::thread t([&] {
            std::string said = RaiseThreadPriority(role);
            out += said + "/" + KernelPriority() + ";";
        });
        t.join();
    }
    if (write(fd, out.data(), out.size()) < 0) _exit(3);
    _exit(0);
}

// Runs the current test again in a new process of this program, which
// reports through a pipe instead of testing.
std::string RaisedInChild(bool asNobody, int setting) {
    char exe[4096];
    ssize_t len = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    if (len <= 0) return "no program";
    exe[len] = 0;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return "no pipe";
    // All the child does before exec is made here: between fork and exec a
    // copy of a threaded process may not allocate.
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string filter = std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name();
    std::string spec = std::string(CHILD_CASE) + "=" + (asNobody ? "1," : "0,") + std::to_string(setting) + "," +
                       std::to_string(fds[1]);
    std::vector<char*> env;
    for (char** e = environ; *e; ++e) env.push_back(*e);
    env.push_back(&spec[0]);
    env.push_back(nullptr);
    char* argv[] = {exe, &filter[0], nullptr};
    pid_t pid = fork();
    if (pid == 0) {
        // The pipe's write end goes across exec; the child's own test report
        // is not this test's.
        int null = open("/dev/null", O_WRONLY);
        if (fcntl(fds[1], F_SETFD, 0) != 0 || null < 0 || dup2(null, STDOUT_FILENO) < 0) _exit(5);
        execve(exe, argv, env.data());
        _exit(6);
    }
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        return "no child";
    }
    std::string out;
    char buf[256];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof(buf))) > 0) out.append(buf, n);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) out += " (child status " + std::to_string(status) + ")";
    return out;
}

TEST(ThreadPriorityTest, ThreadsGetWhatTheSystemAllowsAndTheSettingAsks) {
    if (const char* spec = getenv(CHILD_CASE)) RunChildCase(spec);
    if (geteuid() != 0) GTEST_SKIP() << "needs root to compare with an unprivileged user";
    const char* normal = "normal/normal;normal/normal;normal/normal;";
    // Live input is niced even where real time is allowed.
    const char* root =
        RealTimeAllowed() ? "SCHED_FIFO 40/SCHED_FIFO 40;SCHED_FIFO 30/SCHED_FIFO 30;nice -4/nice -4;" : normal;
    struct Case {
        const char* name;
        bool asNobody;
        int setting;
        const char* expected;
    } cases[] = {
        {"root: real time where allowed, the output thread above reading ahead", false, 1, root},
        {"RealTimePriority 0: normal", false, 0, normal},
        {"a user without capabilities or limits: normal", true, 1, normal},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.expected, RaisedInChild(c.asNobody, c.setting));
    }
}

TEST(ThreadPriorityTest, TheStartLogSaysWhatPriorityTheThreadsGet) {
    LogCapture log;
    SetSetting("RealTimePriority", 0);
    InitThreadPriorities();
    EXPECT_TRUE(log.contains("Thread priority: normal for every thread (RealTimePriority is 0)"));
    SetSetting("RealTimePriority", 1);
    InitThreadPriorities();
    if (RealTimeAllowed()) {
        EXPECT_TRUE(log.contains("Thread priority: real time (SCHED_FIFO) 40 for the output thread, 35 for audio "
                                 "decoding, 30 for reading ahead; nice -4 for live input"))
            << log.text();
    } else {
        EXPECT_TRUE(log.contains("Thread priority:")) << log.text();
    }
    // Back to normal for the other tests of this program.
    SetSetting("RealTimePriority", 0);
    InitThreadPriorities();
}

}  // namespace
