#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <set>

#include "HttpTestServer.h"
#include "KivdProcess.h"
#include "TestSupport.h"
#include "common.h"
#include "hseq/ShowGenerator.h"

// A daemon started by these tests crashes on a fatal signal sent to it, as
// it would on a fault of its own: the same handler runs either way.

namespace {

const int CRASH_EXIT_TIMEOUT_MS = 90000;  // a debugger run on a loaded machine

std::vector<std::string> archives(const std::string& dir) {
    std::vector<std::string> out;
    DIR* d = opendir(dir.c_str());
    if (!d) return out;
    while (struct dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n.rfind("kiv-", 0) == 0 && n.size() > 4 && n.substr(n.size() - 4) == ".zip") out.push_back(n);
    }
    closedir(d);
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::string> archiveEntries(const std::string& archive) {
    std::string out;
    kivtest::runCommand("unzip -Z1 '" + archive + "'", &out);
    return split(out, '\n');
}

bool hasEntry(const std::vector<std::string>& entries, const std::string& suffix) {
    for (auto& e : entries) {
        if (e.size() >= suffix.size() && e.compare(e.size() - suffix.size(), suffix.size(), suffix) == 0) return true;
    }
    return false;
}

std::string crashLogInArchive(const std::string& archive) {
    std::string out;
    kivtest::runCommand("unzip -p '" + archive + "' '*kivd_crash.log'", &out);
    return out;
}

// Names of the daemon's threads as the kernel knows them.
std::vector<std::string> threadNames(pid_t pid) {
    std::vector<std::string> names;
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR* d = opendir(dir.c_str());
    if (!d) return names;
    while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::string comm = GetFileContents(dir + "/" + e->d_name + "/comm");
        TrimWhiteSpace(comm);
        names.push_back(comm);
    }
    closedir(d);
    return names;
}

// A PATH holding the archive and upload programs but no gdb.
std::string pathWithoutDebugger(const std::string& bin) {
    mkdir(bin.c_str(), 0755);
    for (const char* p : {"zip", "curl", "pkill"}) {
        std::string found;
        kivtest::runCommand(std::string("command -v ") + p, &found);
        TrimWhiteSpace(found);
        if (!found.empty() && symlink(found.c_str(), (bin + "/" + p).c_str()) != 0 && errno != EEXIST) return "";
    }
    return bin;
}

int countOf(const std::string& text, const std::string& needle) {
    int n = 0;
    for (size_t p = text.find(needle); p != std::string::npos; p = text.find(needle, p + 1)) ++n;
    return n;
}

class CrashReportTest : public ::testing::Test {
protected:
    std::string crashDir() { return media.file("/crashes"); }
    // Starts a daemon and waits until its main loop answers.
    void start(kivtest::KivdProcess& d) {
        ASSERT_TRUE(d.start({"-f"}));
        ASSERT_TRUE(d.waitReady()) << d.output();
    }
    int crash(kivtest::KivdProcess& d, int sig) {
        kill(d.pid(), sig);
        return d.waitExit(CRASH_EXIT_TIMEOUT_MS);
    }
    kivtest::TempMediaDir media;
};

TEST_F(CrashReportTest, FatalSignalArchivesATraceOfEveryThreadAndExits255) {
    media.write("/settings", "SystemUUID = board 7/a\n");
    media.write("/playlists/show.json", "{}");
    kivtest::KivdProcess d(media.path());
    mode_t umaskBefore = umask(027);  // the service unit's
    start(d);
    umask(umaskBefore);
    std::vector<std::string> threads = threadNames(d.pid());
    ASSERT_GE(threads.size(), 2u);
    bool emulated = kivtest::underEmulator();
    EXPECT_EQ(crash(d, SIGSEGV), 255) << d.output();

    std::string log = d.log();
    EXPECT_NE(log.find("Crash handler called:  11\n"), std::string::npos) << log;
    EXPECT_NE(log.find("Stack: \n"), std::string::npos) << log;
    EXPECT_NE(log.find("Crash report saved as " + crashDir() + "/kiv-Pi-"), std::string::npos) << log;

    std::vector<std::string> names = archives(crashDir());
    ASSERT_EQ(names.size(), 1u);
    const std::string& name = names[0];
    // kiv-Pi-<version>-<uuid>-<date>.zip, the UUID made safe for a file name
    EXPECT_EQ(name.rfind("kiv-Pi-", 0), 0u) << name;
    EXPECT_NE(name.find("-board_7_a-"), std::string::npos) << name;
    std::string date = name.substr(name.size() - 4 - 19, 19);
    struct tm tm = {};
    EXPECT_TRUE(strptime(date.c_str(), "%Y-%m-%d_%H-%M-%S", &tm)) << name;
    // Nothing the daemon made is open to other users under the unit's umask.
    struct ModeOf { std::string path; mode_t mode; };
    for (const ModeOf& m : {ModeOf{crashDir() + "/" + name, 0640}, ModeOf{crashDir(), 0750},
                            ModeOf{media.file("/kiv-info.json"), 0640}}) {
        struct stat st;
        ASSERT_EQ(stat(m.path.c_str(), &st), 0) << m.path;
        EXPECT_EQ(st.st_mode & 0777, m.mode) << m.path;
    }

    auto entries = archiveEntries(crashDir() + "/" + name);
    EXPECT_TRUE(hasEntry(entries, "kivd_crash.log"));
    EXPECT_TRUE(hasEntry(entries, "settings"));
    EXPECT_TRUE(hasEntry(entries, "logs/kivd.log"));
    EXPECT_TRUE(hasEntry(entries, "playlists/show.json"));
    EXPECT_TRUE(hasEntry(entries, "config/"));

    // The debugger's trace holds a stack of every thread it found (its
    // thread table lists them), and these are the daemon's threads.
    std::string trace = crashLogInArchive(crashDir() + "/" + name);
    if (emulated) {
        // The debugger attaches to the emulator, which runs one host thread
        // per thread of ours: those stacks are the emulator's, and its
        // thread table has no rows of ours.
        EXPECT_GE(countOf(trace, "\nThread "), 2) << trace;
    } else {
        size_t table = trace.find("  Id   Target Id");
        ASSERT_NE(table, std::string::npos) << trace;
        std::string rows = trace.substr(table);
        EXPECT_EQ(countOf(trace.substr(0, table), "\nThread "), countOf(rows, "(LWP ")) << trace;
        EXPECT_GE(countOf(rows, "(LWP "), 2);
        for (auto& t : threads) {
            // The output thread ends by itself when nothing plays for a while.
            if (t == "KIV-ChannelOut") continue;
            EXPECT_NE(trace.find("\"" + t + "\")"), std::string::npos) << t << "\n" << trace;
        }
        EXPECT_NE(trace.find("handleCrash"), std::string::npos);
    }
    // The crash log itself is private.
    struct stat st;
    ASSERT_EQ(stat((d.installDir() + "/kivd_crash.log").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    Json::Value warnings = LoadJsonFromString(GetFileContents(d.installDir() + "/www/warnings.json"));
    ASSERT_TRUE(warnings.isArray());
    EXPECT_EQ(warnings[0].asString(), "KIVD has crashed.  Check crash reports.");

    // A second crash within the minute is reported in the log, not archived.
    kivtest::KivdProcess again(media.path());
    start(again);
    EXPECT_EQ(crash(again, SIGABRT), 255);
    EXPECT_EQ(archives(crashDir()).size(), 1u);
    log = again.log();
    EXPECT_NE(log.find("Crash handler called:  6\n"), std::string::npos);
    EXPECT_EQ(countOf(log, "Very recent crash report found, not uploading\n"), 1);
}

// A thread that overflows its stack (a runaway plug-in, here the test
// output) still gets its report, on the main thread (the output's set-up)
// and on the output thread (its first frame): the handler has a stack of
// its own.
TEST_F(CrashReportTest, AStackOverflowIsReportedOnTheMainAndTheOutputThread) {
    // Under an emulator the debugger attaches to the emulator and shows its
    // frames, never the daemon's (the emulated code has no frames of its
    // own on the host): there the daemon goes without a debugger, and its
    // own backtrace, taken on the handler's stack, must reach back into the
    // overflowed one.
    bool emulated = kivtest::underEmulator();
    for (std::string where : {"init", "send"}) {
        SCOPED_TRACE(where);
        media.write("/config/channeloutputs.json",
                    R"({"channelOutputs": [{"type": "TestOutput", "enabled": 1, "startChannel": 1,
                        "channelCount": 3, "overflowStack": ")" + where + R"("}]})");
        kivtest::KivdProcess d(media.path());
        d.setEnv("KIV_PLUGIN_PATH", kivtest::buildDir() + "/tests/plugins");
        if (emulated) d.setEnv("PATH", pathWithoutDebugger(media.file("/bin")));
        size_t before = d.log().size();
        ASSERT_TRUE(d.start({"-f"}));
        pid_t pid = d.pid();
        EXPECT_EQ(d.waitExit(CRASH_EXIT_TIMEOUT_MS), 255) << d.output();
        std::string log = d.log().substr(before);
        size_t handler = log.find("Crash handler called:  11\n");
        ASSERT_NE(handler, std::string::npos) << log << d.output();
        if (emulated) {
            EXPECT_GE(countOf(log, "diveIntoTheStack"), 10) << "the backtrace shows the recursion\n" << log;
            // The handler's log line carries the thread it ran on.
            std::string tid = log.substr(log.rfind('(', handler) + 1);
            tid = tid.substr(0, tid.find(')'));
            EXPECT_EQ(where == "init", tid == std::to_string(pid)) << tid << "\n" << log;
            continue;
        }
        EXPECT_NE(log.find("diveIntoTheStack"), std::string::npos) << "the trace shows the recursion";
        size_t at = log.find("Crashing thread: (LWP ");
        ASSERT_NE(at, std::string::npos) << log;
        std::string lwp = log.substr(at + 17, log.find(')', at) - at - 16);
        std::string thread = where == "init" ? "kivd" : "KIV-ChannelOut";
        EXPECT_NE(log.find(lwp + " \"" + thread + "\""), std::string::npos) << lwp << " is not " << thread << "\n" << log;
    }
    EXPECT_EQ(archives(crashDir()).size(), 1u) << "the second within the minute is only logged";
}

TEST_F(CrashReportTest, TheFolderKeepsAtMostTenArchivesDroppingTheOldest) {
    mkdir(crashDir().c_str(), 0775);
    time_t now = time(nullptr);
    for (int i = 0; i < 12; ++i) {
        char name[64];
        snprintf(name, sizeof(name), "/kiv-Pi-old-%02d.zip", i);
        std::string path = crashDir() + name;
        PutFileContents(path, "old");
        struct utimbuf t = {now - 86400 + i * 60, now - 86400 + i * 60};
        utime(path.c_str(), &t);
    }
    PutFileContents(crashDir() + "/notes.txt", "mine");  // not an archive: left alone
    kivtest::KivdProcess d(media.path());
    start(d);
    EXPECT_EQ(crash(d, SIGBUS), 255);
    std::vector<std::string> names = archives(crashDir());
    EXPECT_EQ(names.size(), 10u);
    std::set<std::string> left(names.begin(), names.end());
    for (const char* gone : {"kiv-Pi-old-00.zip", "kiv-Pi-old-01.zip", "kiv-Pi-old-02.zip"}) {
        EXPECT_EQ(left.count(gone), 0u) << gone;
    }
    EXPECT_EQ(left.count("kiv-Pi-old-11.zip"), 1u);
    EXPECT_TRUE(FileExists(crashDir() + "/notes.txt"));
    int fresh = 0;
    for (auto& n : names) fresh += n.rfind("kiv-Pi-old-", 0) != 0;
    EXPECT_EQ(fresh, 1);
}

TEST_F(CrashReportTest, ShareCrashDataDecidesWhatTheArchiveHolds) {
    media.write("/settings", "ShareCrashData = 0\n");
    kivtest::KivdProcess none(media.path());
    start(none);
    EXPECT_EQ(crash(none, SIGFPE), 255);
    EXPECT_TRUE(archives(crashDir()).empty());
    EXPECT_NE(GetFileContents(none.installDir() + "/kivd_crash.log").find("Thread "), std::string::npos);

    media.write("/settings", "ShareCrashData = 1\n");
    kivtest::KivdProcess logOnly(media.path());
    start(logOnly);
    EXPECT_EQ(crash(logOnly, SIGILL), 255);
    auto names = archives(crashDir());
    ASSERT_EQ(names.size(), 1u);
    auto entries = archiveEntries(crashDir() + "/" + names[0]);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_TRUE(hasEntry(entries, "kivd_crash.log"));
    unlink((crashDir() + "/" + names[0]).c_str());  // the minute rule would hold the next one back

    media.write("/settings", "ShareCrashData = 2\n");
    kivtest::KivdProcess withSettings(media.path());
    start(withSettings);
    EXPECT_EQ(crash(withSettings, SIGSEGV), 255);
    names = archives(crashDir());
    ASSERT_EQ(names.size(), 1u);
    entries = archiveEntries(crashDir() + "/" + names[0]);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_TRUE(hasEntry(entries, "kivd_crash.log"));
    EXPECT_TRUE(hasEntry(entries, "settings"));
}

TEST_F(CrashReportTest, ReportOnRequestWritesTheArchiveAndStopsCleanly) {
    ShowSpec spec;
    spec.frames = 2400;  // a minute: still playing when the report is asked for
    ASSERT_TRUE(GenerateShow(media.file("/sequences/long.hseq"), spec));
    kivtest::KivdProcess d(media.path());
    start(d);
    std::string out;
    ASSERT_EQ(d.command({"Start Sequence", "long.hseq"}, &out), 0) << out;
    EXPECT_EQ(d.stop(SIGUSR1, CRASH_EXIT_TIMEOUT_MS), 0);
    std::string log = d.log();
    EXPECT_NE(log.find("Crash handler called:  10\n"), std::string::npos);
    EXPECT_NE(log.find("   while playing  long.hseq  at  "), std::string::npos) << log;
    EXPECT_NE(log.find("Stack: \n"), std::string::npos);
    EXPECT_NE(log.find("Main Loop complete, shutting down."), std::string::npos);
    EXPECT_EQ(archives(crashDir()).size(), 1u);
    // A clean stop: no crash line is left behind.
    EXPECT_FALSE(FileExists(d.installDir() + "/www/warnings.json"));
}

TEST_F(CrashReportTest, ArchiveIsUploadedToTheConfiguredAddress) {
    kivtest::HttpTestServer receiver("127.0.0.1", 0, [](const kivtest::HttpRequest&) {
        return kivtest::HttpResponse{200, "thanks", "text/plain"};
    });
    ASSERT_TRUE(receiver.ok());
    media.write("/settings",
                "CrashUploadURL = http://127.0.0.1:" + std::to_string(receiver.port()) + "/crash-upload\n");
    kivtest::KivdProcess d(media.path());
    start(d);
    EXPECT_EQ(crash(d, SIGSEGV), 255);
    ASSERT_TRUE(receiver.waitForRequests(1, 5000));
    auto reqs = receiver.requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].method, "POST");
    EXPECT_EQ(reqs[0].url, "/crash-upload");
    EXPECT_NE(reqs[0].header("content-type").find("multipart/form-data"), std::string::npos);
    auto names = archives(crashDir());
    ASSERT_EQ(names.size(), 1u);
    EXPECT_NE(reqs[0].body.find("name=\"userfile\"; filename=\"" + names[0] + "\""), std::string::npos);
    // The part carries the archive byte for byte.
    EXPECT_NE(reqs[0].body.find(GetFileContents(crashDir() + "/" + names[0])), std::string::npos);
    EXPECT_NE(d.log().find("Crash report sent to http://127.0.0.1:"), std::string::npos);
}

TEST_F(CrashReportTest, WithoutADebuggerTheCrashingThreadsBacktraceIsUsed) {
    std::string bin = pathWithoutDebugger(media.file("/bin"));
    for (const char* p : {"zip", "curl", "pkill"}) ASSERT_TRUE(FileExists(bin + "/" + p)) << p;
    kivtest::KivdProcess d(media.path());
    d.setEnv("PATH", bin);
    start(d);
    EXPECT_EQ(crash(d, SIGSEGV), 255);
    std::string log = d.log();
    EXPECT_NE(log.find("Crash handler called:  11\n"), std::string::npos);
    EXPECT_EQ(log.find("Stack: "), std::string::npos);
    EXPECT_NE(log.find("handleCrash"), std::string::npos) << log;  // a backtrace line in the log
    EXPECT_NE(d.output().find("handleCrash"), std::string::npos);  // and on standard output
    auto names = archives(crashDir());
    ASSERT_EQ(names.size(), 1u);
    std::string trace = crashLogInArchive(crashDir() + "/" + names[0]);
    EXPECT_NE(trace.find("handleCrash"), std::string::npos) << trace;
    EXPECT_EQ(trace.find("Thread "), std::string::npos);
}

TEST_F(CrashReportTest, AFaultOnAnotherThreadIsReportedEvenWhenAStopIsAskedFor) {
    kivtest::KivdProcess d(media.path());
    start(d);
    pid_t pid = d.pid();
    // A fault on a thread other than the main loop's, then a stop request.
    pid_t other = -1;
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR* tasks = opendir(dir.c_str());
    ASSERT_TRUE(tasks);
    while (struct dirent* e = readdir(tasks)) {
        if (e->d_name[0] != '.' && atoi(e->d_name) != pid) other = atoi(e->d_name);
    }
    closedir(tasks);
    ASSERT_GT(other, 0);
    syscall(SYS_tgkill, pid, other, SIGSEGV);
    ASSERT_TRUE(kivtest::waitUntil([&] { return d.log().find("Crash handler called") != std::string::npos; }, 30000));
    kill(pid, SIGTERM);
    EXPECT_EQ(d.waitExit(CRASH_EXIT_TIMEOUT_MS), 255);
    EXPECT_EQ(archives(crashDir()).size(), 1u);
    EXPECT_NE(d.log().find("Crashing thread: (LWP " + std::to_string(other) + ")"), std::string::npos) << d.log();
}

TEST_F(CrashReportTest, AFaultDuringTheReportEndsTheProcessWith255) {
    kivtest::KivdProcess d(media.path());
    start(d);
    pid_t pid = d.pid();
    syscall(SYS_tgkill, pid, pid, SIGSEGV);
    ASSERT_TRUE(kivtest::waitUntil([&] { return d.log().find("Crash handler called") != std::string::npos; }, 30000));
    // Another fault on the thread that is writing the report.
    syscall(SYS_tgkill, pid, pid, SIGBUS);
    EXPECT_EQ(d.waitExit(CRASH_EXIT_TIMEOUT_MS), 255);
}

}  // namespace
