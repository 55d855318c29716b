#include "ProcessStats.h"

#include <dirent.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>

#include <sstream>

#include "common.h"

namespace kivtest {

double CpuSeconds(int who) {
    rusage r;
    getrusage(who, &r);
    return r.ru_utime.tv_sec + r.ru_stime.tv_sec + (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

long PeakRssKiB() {
    rusage r;
    getrusage(RUSAGE_SELF, &r);
    return r.ru_maxrss;
}

long PeakRssKiB(int pid) {
    std::string status = GetFileContents("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find("VmHWM:");
    return at == std::string::npos ? -1 : strtol(status.c_str() + at + 6, nullptr, 10);
}

namespace {

// Calls f(tid, name, folder) for every thread of pid (0: this process).
template <typename F>
void ForEachThread(int pid, F f) {
    std::string tasks = "/proc/" + (pid ? std::to_string(pid) : std::string("self")) + "/task/";
    DIR* d = opendir(tasks.c_str());
    if (!d) return;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::string dir = tasks + e->d_name;
        std::string name = GetFileContents(dir + "/comm");
        TrimWhiteSpace(name);
        f((pid_t)atoi(e->d_name), name, dir);
    }
    closedir(d);
}

}  // namespace

std::map<std::string, double> ThreadCpuByName(int pid) {
    std::map<std::string, double> out;
    long ticks = sysconf(_SC_CLK_TCK);
    ForEachThread(pid, [&](pid_t tid, const std::string& name, const std::string& dir) {
        // The thread's own CPU clock (the kernel's per-thread clock id, as
        // pthread_getcpuclockid makes it): nanoseconds rather than ticks.
        clockid_t clock = (clockid_t)((~(unsigned)tid) << 3) | 6;
        timespec ts;
        if (clock_gettime(clock, &ts) == 0) {
            out[name] += ts.tv_sec + ts.tv_nsec / 1e9;
            return;
        }
        // Another process's thread: the scheduler's own count, also in ns.
        std::string sched = GetFileContents(dir + "/schedstat");
        if (!sched.empty()) {
            out[name] += atoll(sched.c_str()) / 1e9;
            return;
        }
        std::string stat = GetFileContents(dir + "/stat");
        auto close = stat.rfind(')');
        if (close == std::string::npos) return;
        std::istringstream in(stat.substr(close + 2));
        std::string field;
        unsigned long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && in >> field; ++i) {
            if (i == 14) utime = std::stoul(field);
            if (i == 15) stime = std::stoul(field);
        }
        out[name] += (double)(utime + stime) / ticks;
    });
    return out;
}

std::map<std::string, long> ThreadSleepsByName(int pid) {
    std::map<std::string, long> out;
    ForEachThread(pid, [&](pid_t, const std::string& name, const std::string& dir) {
        std::string status = GetFileContents(dir + "/status");
        static const char KEY[] = "\nvoluntary_ctxt_switches:";
        size_t at = status.find(KEY);
        if (at != std::string::npos) out[name] += strtol(status.c_str() + at + sizeof(KEY) - 1, nullptr, 10);
    });
    return out;
}

}  // namespace kivtest
