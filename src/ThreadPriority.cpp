#include "ThreadPriority.h"

#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

#include "log.h"
#include "settings.h"

namespace {

enum Mode { NORMAL, NICE, REALTIME };
std::atomic<int> mode{NORMAL};

// Below the kernel's interrupt threads (priority 50 on a real-time kernel),
// so a busy output thread never starves the network card it sends through.
int RealTimePriorityOf(ThreadRole role) {
    switch (role) {
    case ThreadRole::Output: return 40;
    case ThreadRole::Decode: return 35;
    default: return 30;
    }
}

int NiceValueOf(ThreadRole role) {
    switch (role) {
    case ThreadRole::Output: return -10;
    case ThreadRole::Decode: return -8;
    default: return -5;
    }
}

bool SetRealTime(int priority) {
    sched_param p;
    memset(&p, 0, sizeof(p));
    p.sched_priority = priority;
    return pthread_setschedparam(pthread_self(), SCHED_FIFO, &p) == 0;
}

// The nice value belongs to the thread on Linux, not the process.
bool SetNice(int value) { return setpriority(PRIO_PROCESS, (id_t)syscall(SYS_gettid), value) == 0; }

std::string Limit(int resource) {
    rlimit r;
    if (getrlimit(resource, &r) != 0) return "?";
    return r.rlim_cur == RLIM_INFINITY ? "unlimited" : std::to_string((unsigned long long)r.rlim_cur);
}

}  // namespace

void InitThreadPriorities() {
    if (!getSettingInt("RealTimePriority", 1)) {
        mode = NORMAL;
        LogInfo(VB_GENERAL, "Thread priority: normal for every thread (RealTimePriority is 0)\n");
    } else {
        // Tried on a thread of its own, so the main thread keeps its priority.
        int found = NORMAL;
        std::thread probe([&found] {
            if (SetRealTime(RealTimePriorityOf(ThreadRole::Output))) {
                found = REALTIME;
            } else if (SetNice(NiceValueOf(ThreadRole::Output))) {
                found = NICE;
            }
        });
        probe.join();
        mode = found;
        std::string limits = "RLIMIT_RTPRIO " + Limit(RLIMIT_RTPRIO) + ", RLIMIT_NICE " + Limit(RLIMIT_NICE);
        if (found == REALTIME) {
            LogInfo(VB_GENERAL,
                    "Thread priority: real time (SCHED_FIFO) %d for the output thread, %d for audio decoding, %d for "
                    "reading ahead\n",
                    RealTimePriorityOf(ThreadRole::Output), RealTimePriorityOf(ThreadRole::Decode),
                    RealTimePriorityOf(ThreadRole::ReadAhead));
        } else if (found == NICE) {
            LogInfo(VB_GENERAL,
                    "Thread priority: real time is not allowed (%s, no CAP_SYS_NICE); nice %d for the output thread, "
                    "%d for audio decoding, %d for reading ahead\n",
                    limits.c_str(), NiceValueOf(ThreadRole::Output), NiceValueOf(ThreadRole::Decode),
                    NiceValueOf(ThreadRole::ReadAhead));
        } else {
            LogWarn(VB_GENERAL,
                    "Thread priority: normal for every thread; neither real time nor a lower nice value is allowed "
                    "(%s, no CAP_SYS_NICE): frames may go out late while the machine is busy\n",
                    limits.c_str());
        }
    }

    if (getSettingInt("LockMemory", 0)) {
        // Pages are locked as they are first used rather than all at once,
        // so the thread stacks' reservations do not become resident.
        int rc = mlockall(MCL_CURRENT | MCL_FUTURE | MCL_ONFAULT);
        if (rc != 0 && errno == EINVAL) rc = mlockall(MCL_CURRENT | MCL_FUTURE);
        if (rc == 0) {
            LogInfo(VB_GENERAL, "Memory locked: no page of kivd is paged out\n");
        } else {
            LogWarn(VB_GENERAL, "Cannot lock memory (LockMemory is 1): %s (RLIMIT_MEMLOCK %s)\n", strerror(errno),
                    Limit(RLIMIT_MEMLOCK).c_str());
        }
    }
}

std::string RaiseThreadPriority(ThreadRole role) {
    int m = mode;
    if (m == REALTIME && SetRealTime(RealTimePriorityOf(role))) {
        return "SCHED_FIFO " + std::to_string(RealTimePriorityOf(role));
    }
    if (m != NORMAL && SetNice(NiceValueOf(role))) return "nice " + std::to_string(NiceValueOf(role));
    return "normal";
}
