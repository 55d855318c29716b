#pragma once
// Crash reports of the daemon: a trace of every thread (taken by gdb, else
// the crashing thread's own backtrace) in the crash log and the daemon's
// log, a dated zip archive of it with configuration and logs in
// <media>/crashes, and the archive's upload to the address the user set.
// kivd's crash signal handler writes them in a process whose heap may be
// broken, so once PrepareCrashReports ran, writing a report allocates no
// memory and takes no locks: only async-signal-safe calls, with the helper
// programs (gdb, zip, curl, pkill) run through fork and execve.

#include <string>

// Reads the settings ("ShareCrashData", "CrashUploadURL", "SystemUUID"),
// the media and log locations and looks up the helper programs. Call once
// settings and command line are in; again when they change.
void PrepareCrashReports();

// Claiming the report: one thread writes one at a time.
enum CrashReportClaim {
    CRASH_REPORT_CLAIMED,  // the caller writes the report
    CRASH_REPORT_NESTED,   // the caller is writing one already: a fault inside the report
};
// Waits while another thread writes a report, then claims it.
CrashReportClaim BeginCrashReport();
void EndCrashReport();
// Returns once no other thread writes a report; a thread writing one for
// a fatal signal ends the process instead. The shut-down calls it so a
// stop asked for meanwhile does not cut the report short.
void WaitForCrashReport();

// Writes the report for signal sig: log lines, trace, crash log, archive,
// upload. Call between BeginCrashReport and EndCrashReport.
void WriteCrashReport(int sig);

// Puts the "KIVD has crashed" line in the warnings file.
void WriteCrashedWarning();

// Where the pieces go.
std::string CrashLogPath();      // $TMPDIR (default /tmp) + "/kivd_crash.log"
std::string CrashArchiveDir();   // <media>/crashes

constexpr int CRASH_RECENT_SECONDS = 60;
constexpr int CRASH_MAX_ARCHIVES = 10;
