#include "ThreadPriority.h"

#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

#include "log.h"
#include "settings.h"

namespace {

enum Mode { NORMAL, NICE, REALTIME };

std::atomic<int> mode{NORMAL};

// Bulk work: a batch thread that the scheduler never lets preempt another,
// with a third of a normal thread's share of the processor; the show's
// threads are far above it anyway (real time, or nice -10 and below), and
// less would starve the upload itself on a busy machine.
constexpr int BULK_NICE = 5;
// IO priority of bulk work: the lowest level of the best-effort class (the
// idle class could starve it outright while other programs read and write).
constexpr int IOPRIO_CLASS_SHIFT = 13, IOPRIO_CLASS_BE = 2, IOPRIO_WHO_PROCESS = 1, BULK_IO_LEVEL = 7;

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
    case ThreadRole::ReadAhead: return -5;
    default: return -4;
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
                    "reading ahead; nice %d for live input\n",
                    RealTimePriorityOf(ThreadRole::Output), RealTimePriorityOf(ThreadRole::Decode),
                    RealTimePriorityOf(ThreadRole::ReadAhead), NiceValueOf(ThreadRole::LiveInput));
        } else if (found == NICE) {
            LogInfo(VB_GENERAL,
                    "Thread priority: real time is not allowed (%s, no CAP_SYS_NICE); nice %d for the output thread, "
                    "%d for audio decoding, %d for reading ahead, %d for live input\n",
                    limits.c_str(), NiceValueOf(ThreadRole::Output), NiceValueOf(ThreadRole::Decode),
                    NiceValueOf(ThreadRole::ReadAhead), NiceValueOf(ThreadRole::LiveInput));
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
    // Live input is never real time: a flood of it would then take a whole
    // processor from everything at normal priority.
    if (m == REALTIME && role != ThreadRole::LiveInput && SetRealTime(RealTimePriorityOf(role))) {
        return "SCHED_FIFO " + std::to_string(RealTimePriorityOf(role));
    }
    if (m != NORMAL && SetNice(NiceValueOf(role))) return "nice " + std::to_string(NiceValueOf(role));
    return "normal";
}

std::string LowerThreadPriority() {
    std::string got;
    sched_param p;
    memset(&p, 0, sizeof(p));
    if (pthread_setschedparam(pthread_self(), SCHED_BATCH, &p) == 0) got = "SCHED_BATCH ";
    pid_t tid = (pid_t)syscall(SYS_gettid);
    // Never raised by it: a daemon started at a higher nice value keeps it.
    int nice = std::max(BULK_NICE, getpriority(PRIO_PROCESS, (id_t)tid));
    if (setpriority(PRIO_PROCESS, (id_t)tid, nice) == 0) got += "nice " + std::to_string(nice);
    if (syscall(SYS_ioprio_set, IOPRIO_WHO_PROCESS, tid, IOPRIO_CLASS_BE << IOPRIO_CLASS_SHIFT | BULK_IO_LEVEL) == 0) {
        got += ", IO best-effort " + std::to_string(BULK_IO_LEVEL);
    }
    return got.empty() ? "normal" : got;
}
