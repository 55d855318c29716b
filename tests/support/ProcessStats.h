#pragma once
// CPU time and memory of the running process, for benchmarks and tests:
// CPU seconds by rusage, per thread by name (/proc/<pid>/task), how often
// each thread slept, and the peak resident set size.

#include <sys/resource.h>

#include <map>
#include <string>

namespace kivtest {

// CPU seconds (user + system) of RUSAGE_SELF, RUSAGE_THREAD or RUSAGE_CHILDREN.
double CpuSeconds(int who);
// Peak resident set size of this process in KiB.
long PeakRssKiB();
// Peak resident set size of another process (VmHWM) in KiB, -1 when unknown.
long PeakRssKiB(int pid);
// CPU seconds of every live thread of process `pid` (0: this one), summed
// by thread name.
std::map<std::string, double> ThreadCpuByName(int pid = 0);
// Times every live thread of process `pid` (0: this one) gave up the CPU
// of its own accord (slept, waited), summed by thread name.
std::map<std::string, long> ThreadSleepsByName(int pid = 0);

}  // namespace kivtest
