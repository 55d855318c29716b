#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>

#include "CaptureOutput.h"
#include "FaultSupport.h"
#include "HttpTestServer.h"
#include "TestSupport.h"
#include "common.h"
#include "log.h"

namespace {

TEST(DateInRange, YearlessRangeWrapsOverNewYear) {
    EXPECT_TRUE(DateInRange(20241231, 1201, 115));
    EXPECT_TRUE(DateInRange(20250110, 1201, 115));
    EXPECT_FALSE(DateInRange(20240610, 1201, 115));
}

TEST(DateInRange, ZeroZeroIsAlwaysTrue) {
    EXPECT_TRUE(DateInRange(20240610, 0, 0));
    EXPECT_TRUE(DateInRange(19991231, 0, 0));
}

TEST(DateInRange, DayOnlyRangeWrapsOverMonthEnd) {
    EXPECT_TRUE(DateInRange(20240305, 28, 5));
    EXPECT_TRUE(DateInRange(20240229, 28, 5));
    EXPECT_FALSE(DateInRange(20240310, 28, 5));
}

TEST(DateInRange, FullDatesCompareDirectly) {
    EXPECT_TRUE(DateInRange(20241215, 20241201, 20250105));
    EXPECT_FALSE(DateInRange(20250106, 20241201, 20250105));
}

TEST(Dates, DateStrToIntNeedsExactForm) {
    EXPECT_EQ(DateStrToInt("2024-03-05"), 20240305);
    EXPECT_EQ(DateStrToInt("2024-3-05"), 0);
    EXPECT_EQ(DateStrToInt("2024/03/05"), 0);
    EXPECT_EQ(DateStrToInt(nullptr), 0);
}

TEST(Dates, SecondsToTimeShowsHoursAndDaysOnlyAboveTheirUnit) {
    EXPECT_EQ(secondsToTime(59), "00:59");
    EXPECT_EQ(secondsToTime(3601), "01:00:01");
    EXPECT_EQ(secondsToTime(90061), "1 day, 01:01:01");
    EXPECT_EQ(secondsToTime(86400), "24:00:00");
    EXPECT_EQ(secondsToTime(3600), "60:00");
    EXPECT_EQ(secondsToTime(2 * 86400 + 5), "2 days, 00:05");
}

// Timing and expiries run on the monotonic clock, which a wall clock set
// by NTP does not step; dates have a wall clock of their own.
TEST(Clocks, TimingRunsOnTheMonotonicClockAndDatesOnTheWallClock) {
    long long before = kivtest::MonotonicUs() / 1000;
    long long ms = GetTimeMS(), us = GetTime(), mono = GetMonotonicMS();
    time_t wallBefore = time(nullptr);
    long long wall = GetWallTime() / 1000000;
    long long after = kivtest::MonotonicUs() / 1000 + 1;
    for (long long t : {ms, us / 1000, mono}) {
        EXPECT_GE(t, before);
        EXPECT_LE(t, after);
    }
    EXPECT_GE(wall, (long long)wallBefore);
    EXPECT_LE(wall, (long long)time(nullptr));
}

TEST(Files, HostSpecificFileIsPreferredWithDashThenUnderscore) {
    kivtest::TempMediaDir dir;
    std::string path = dir.file("/sequences/show.hseq");
    dir.write("/sequences/show.hseq", "x");
    EXPECT_FALSE(CheckForHostSpecificFile("stage", path));
    EXPECT_EQ(path, dir.file("/sequences/show.hseq"));
    dir.write("/sequences/show_stage.hseq", "x");
    EXPECT_TRUE(CheckForHostSpecificFile("stage", path));
    EXPECT_EQ(path, dir.file("/sequences/show_stage.hseq"));
    path = dir.file("/sequences/show.hseq");
    dir.write("/sequences/show-stage.hseq", "x");
    EXPECT_TRUE(CheckForHostSpecificFile("stage", path));
    EXPECT_EQ(path, dir.file("/sequences/show-stage.hseq"));
    std::string noExt = dir.file("/sequences/show");
    EXPECT_FALSE(CheckForHostSpecificFile("stage", noExt));
}

TEST(Files, PutAndGetContentsRoundTripAndSetMode) {
    kivtest::TempMediaDir dir;
    std::string p = dir.file("/config/a.txt");
    ASSERT_TRUE(PutFileContents(p, std::string("hello\0\0", 7)));
    EXPECT_EQ(GetFileContents(p), "hello");  // trailing NULs cut
    // Group-writable, but never more open than the umask allows.
    for (mode_t mask : {0, 027}) {
        mode_t before = umask(mask);
        ASSERT_TRUE(PutFileContents(p, "hello"));
        umask(before);
        struct stat st;
        ASSERT_EQ(stat(p.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0664u & ~mask) << std::oct << mask;
    }
    ASSERT_TRUE(PutFileContents(p, "hi"));
    EXPECT_EQ(GetFileContents(p), "hi");  // truncated, not overwritten in place
    EXPECT_EQ(GetFileContents(dir.file("/missing")), "");
    kivtest::LogCapture log;
    EXPECT_FALSE(PutFileContents(dir.file("/nodir/x"), "x"));
    EXPECT_TRUE(log.contains("ERROR: Unable to open"));
}

// A writer killed at any moment leaves the file with the old text or the
// new one, never a part: what a power cut or SIGKILL does to a save.
TEST(Files, WriterKilledAtAnyMomentLeavesOneWholeVersion) {
    kivtest::TempMediaDir dir;
    std::string p = dir.file("/config/state.json");
    // Large enough that one write takes a while, different lengths so a
    // torn file cannot pass for either.
    std::string a(3 * 1024 * 1024, 'a'), b(2 * 1024 * 1024 + 7, 'b');
    ASSERT_TRUE(PutFileContents(p, a));
    unsigned seed = (unsigned)getpid();
    for (int round = 0; round < 12; ++round) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (int i = 0;; ++i) PutFileContents(p, (i % 2) ? a : b);
        }
        usleep(20000 + rand_r(&seed) % 60000);
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        std::string now = GetFileContents(p);
        ASSERT_TRUE(now == a || now == b) << "round " << round << ": " << now.size() << " bytes";
    }
    // Nothing but the file itself is left in the folder once a writer
    // finishes; the temporaries of killed writers are swept by the next.
    ASSERT_TRUE(PutFileContents(p, "{}"));
    std::string listing;
    kivtest::runCommand("ls -A '" + dir.file("/config") + "'", &listing);
    EXPECT_EQ(listing, "state.json\n");
}

TEST(Files, FullDiskKeepsTheLastGoodContent) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to mount a tmpfs";
    kivtest::TmpfsMount disk(256 * 1024);
    ASSERT_TRUE(disk.ok()) << disk.error();
    std::string p = disk.path() + "/warnings.json";
    std::string good = "[\"one\"]";
    ASSERT_TRUE(PutFileContents(p, good));
    {
        kivtest::DiskFiller filler(disk.path());
        ASSERT_TRUE(filler.full());
        kivtest::LogCapture log;
        // A page more than the file holds now: cannot fit anywhere.
        EXPECT_FALSE(PutFileContents(p, std::string(8192, 'x')));
        EXPECT_TRUE(log.contains("No space left on device")) << log.text();
        std::string now = GetFileContents(p);
        EXPECT_TRUE(now == good) << now.size() << " bytes: " << now.substr(0, 40);
    }
    EXPECT_TRUE(PutFileContents(p, "[\"two\"]"));
    EXPECT_EQ(GetFileContents(p), "[\"two\"]");
    std::string listing;
    kivtest::runCommand("ls -A '" + disk.path() + "'", &listing);
    EXPECT_EQ(listing, "warnings.json\n");
}

TEST(Files, SaveThroughASymlinkReplacesItsTarget) {
    kivtest::TempMediaDir dir;
    std::string target = dir.file("/config/real.json");
    std::string link = dir.file("/link.json");
    ASSERT_TRUE(PutFileContents(target, "1"));
    ASSERT_EQ(0, symlink(target.c_str(), link.c_str()));
    ASSERT_TRUE(PutFileContents(link, "2"));
    struct stat st;
    ASSERT_EQ(0, lstat(link.c_str(), &st));
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(GetFileContents(target), "2");
}

TEST(Files, SaveToAPipeWritesThroughItAndLeavesItAPipe) {
    kivtest::TempMediaDir dir;
    std::string fifo = dir.file("/pipe");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    std::string got;
    std::thread reader([&] {
        int fd = open(fifo.c_str(), O_RDONLY | O_CLOEXEC);
        char buf[64];
        ssize_t n;
        while (fd >= 0 && (n = read(fd, buf, sizeof(buf))) > 0) got.append(buf, n);
        if (fd >= 0) close(fd);
    });
    EXPECT_TRUE(PutFileContents(fifo, "through"));
    reader.join();
    EXPECT_EQ("through", got);
    struct stat st;
    ASSERT_EQ(0, lstat(fifo.c_str(), &st));
    EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "the pipe was replaced by a file";
    std::string listing;
    kivtest::runCommand("ls -A '" + dir.file("") + "'", &listing);
    EXPECT_EQ(std::string::npos, listing.find(".tmp-")) << listing;
}

TEST(Files, CopyAndExtensionAndTail) {
    kivtest::TempMediaDir dir;
    dir.write("/a", std::string(100000, 'z'));
    EXPECT_TRUE(CopyFileContents(dir.file("/a"), dir.file("/b")));
    EXPECT_EQ(GetFileContents(dir.file("/b")).size(), 100000u);
    EXPECT_EQ(GetFileExtension("show.v2.hseq"), "hseq");
    EXPECT_EQ(GetFileExtension("noext"), "");
    EXPECT_EQ(tail("abcdef", 2), "ef");
    EXPECT_EQ(tail("ab", 5), "ab");
}

TEST(Json, LoadSaveAndMerge) {
    kivtest::TempMediaDir dir;
    Json::Value v;
    EXPECT_TRUE(LoadJsonFromString("{\"a\": {\"b\": 1, \"c\": 2}, \"d\": [1]}", v));
    Json::Value from;
    LoadJsonFromString("{\"a\": {\"b\": 5}, \"e\": true}", from);
    MergeJsonValues(v, from);
    EXPECT_EQ(v["a"]["b"].asInt(), 5);
    EXPECT_EQ(v["a"]["c"].asInt(), 2);
    EXPECT_TRUE(v["e"].asBool());
    EXPECT_TRUE(SaveJsonToFile(v, dir.file("/config/x.json"), "\t"));
    Json::Value back = LoadJsonFromFile(dir.file("/config/x.json"));
    EXPECT_EQ(back, v);
    EXPECT_EQ(SaveJsonToString(Json::Value(Json::arrayValue), ""), "[]");

    kivtest::LogCapture log;
    Json::Value bad;
    EXPECT_FALSE(LoadJsonFromString("{nope", bad));
    EXPECT_TRUE(bad.isNull());
    EXPECT_TRUE(log.contains("Error parsing JSON string in LoadJsonFromString()"));
    EXPECT_FALSE(LoadJsonFromFile(dir.file("/none.json"), bad));
    EXPECT_TRUE(log.contains("JSON File " + dir.file("/none.json") + " does not exist"));
}

TEST(Json, UntrustedTextsNeverThrowAndAreLoggedShort) {
    kivtest::LogCapture log;
    Json::Value v(5);
    // Deeper than the reader's nesting limit: it throws inside.
    EXPECT_FALSE(LoadJsonFromString(std::string(100000, '['), v));
    EXPECT_TRUE(v.isNull());
    EXPECT_FALSE(LoadJsonFromString("{\"a\": " + std::string(100000, 'x'), v));
    std::string text = log.text();
    EXPECT_EQ(log.count("Error parsing JSON string in LoadJsonFromString()"), 2);
    EXPECT_LT(text.size(), 5000u);
    EXPECT_NE(text.find("xxx...'"), std::string::npos);
}

TEST(Http, BoundedGetFailsOnErrorsSizeAndSilence) {
    kivtest::HttpTestServer server("127.0.0.1", 0, [](const kivtest::HttpRequest& r) {
        if (r.url == "/small") return kivtest::HttpResponse{200, "hello", "text/plain"};
        if (r.url == "/big") return kivtest::HttpResponse{200, std::string(300000, 'b'), "text/plain"};
        return kivtest::HttpResponse{404, "missing", "text/plain"};
    });
    std::string base = "http://127.0.0.1:" + std::to_string(server.port());
    std::string body, error;
    // A proxy from the environment is not used for devices on the network.
    setenv("http_proxy", "http://127.0.0.1:9", 1);
    EXPECT_TRUE(urlGetBounded(base + "/small", body, 5000, 1000, &error)) << error;
    unsetenv("http_proxy");
    EXPECT_EQ(body, "hello");
    EXPECT_FALSE(urlGetBounded(base + "/nothing", body, 5000, 1000, &error));
    EXPECT_EQ(error, "HTTP status 404");
    EXPECT_EQ(body, "");
    EXPECT_FALSE(urlGetBounded(base + "/big", body, 5000, 1000, &error));
    EXPECT_EQ(error, "answer larger than 1000 bytes");
    EXPECT_EQ(body, "");
    EXPECT_TRUE(urlGetBounded(base + "/big", body, 5000, 300000, &error));
    EXPECT_EQ(body.size(), 300000u);
    EXPECT_FALSE(urlGetBounded("http://127.0.0.1:" + std::to_string(kivtest::closedLoopbackPort()) + "/", body, 5000,
                               1000, &error));
    EXPECT_EQ(error, "Couldn't connect to server");
    kivtest::SilentTcpListener silent;
    long long start = GetTimeMS();
    EXPECT_FALSE(urlGetBounded("http://127.0.0.1:" + std::to_string(silent.port()) + "/", body, 1000, 1000, &error));
    EXPECT_EQ(error, "Timeout was reached");
    EXPECT_LT(GetTimeMS() - start, 15000);
    EXPECT_FALSE(urlGetBounded("file:///etc/passwd", body, 1000, 100000, &error));
}

TEST(Strings, SplitTrimReplaceAndTags) {
    EXPECT_EQ(split("a,b,,c", ','), (std::vector<std::string>{"a", "b", "", "c"}));
    EXPECT_EQ(splitWithQuotes("a \"b c\" d", ' '), (std::vector<std::string>{"a", "\"b c\"", "d"}));
    std::string s = "  x y \t\n";
    TrimWhiteSpace(s);
    EXPECT_EQ(s, "x y");
    s = "aXbXc";
    EXPECT_TRUE(replaceAll(s, "X", "--"));
    EXPECT_EQ(s, "a--b--c");
    s = "start.end";
    EXPECT_TRUE(replaceStart(s, "start", "S"));
    EXPECT_TRUE(replaceEnd(s, "end", "E"));
    EXPECT_EQ(s, "S.E");
    EXPECT_EQ(toUpperCopy("abC"), "ABC");
    EXPECT_EQ(getSimpleXMLTag("<a><ver>1.2</ver></a>", "ver"), "1.2");
    EXPECT_EQ(getSimpleXMLTag("<ver>1.2", "ver"), "");
    EXPECT_EQ(getSimpleHTMLTTag("<b>Model</b><td>F16</td>", "Model", "<td>", "</td>"), "F16");
    EXPECT_EQ(getSimpleHTMLTTag("nothing", "Model", "<td>", "</td>"), "");
}

TEST(Strings, KeywordsAreSubstituted) {
    std::map<std::string, std::string> kw{{"PLAYLIST_NAME", "Evening"}};
    std::string r = ReplaceKeywords("play %PLAYLIST_NAME% at %TIME% on %DATE%", kw);
    EXPECT_EQ(r.find("play Evening at "), 0u);
    EXPECT_EQ(r.find('%'), std::string::npos);
    EXPECT_EQ(r.size(), std::string("play Evening at 00:00:00 on 2024-01-01").size());
}

TEST(Strings, Base64MatchesRfc4648Vectors) {
    const char* plain[] = {"", "f", "fo", "foo", "foob", "fooba", "foobar"};
    const char* coded[] = {"", "Zg==", "Zm8=", "Zm9v", "Zm9vYg==", "Zm9vYmE=", "Zm9vYmFy"};
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(base64Encode((const unsigned char*)plain[i], strlen(plain[i])), coded[i]);
        auto d = base64Decode(coded[i]);
        EXPECT_EQ(std::string(d.begin(), d.end()), plain[i]);
    }
    auto d = base64Decode("Zm9v\nYmFy");
    EXPECT_EQ(std::string(d.begin(), d.end()), "foobar");
}

TEST(Strings, ReverseBits) {
    EXPECT_EQ(ReverseBitsInByte(0x01), 0x80);
    EXPECT_EQ(ReverseBitsInByte(0xF0), 0x0F);
    EXPECT_EQ(ReverseBitsInByte(0xA5), 0xA5);
    EXPECT_EQ(ReverseBitsInByte(0x12), 0x48);
}

TEST(Network, LoopbackInterfaceAddress) {
    char addr[32], mask[32], gw[32];
    GetInterfaceAddress("lo", addr, mask, gw);
    EXPECT_STREQ(addr, "127.0.0.1");
    EXPECT_STREQ(mask, "255.0.0.0");
    GetInterfaceAddress("nonexistent0", addr, mask, nullptr);
    EXPECT_STREQ(addr, "127.0.0.1");
    EXPECT_STREQ(mask, "255.255.255.255");
    char ip[] = "127.0.0.1";
    EXPECT_STREQ(FindInterfaceForIP(ip), "lo");
}

TEST(HexDump, RowsWithOffsetsBytesAndCharacters) {
    kivtest::LogCapture log;
    const char data[] = "AB%\\\x01xyz0123456789abcdefg";
    HexDump("Peek", data, 20, VB_GENERAL, 16);
    std::string t = log.text();
    EXPECT_NE(t.find("Peek: (20 bytes)"), std::string::npos);
    EXPECT_NE(t.find("000000: 41 42 25 5c 01 78 79 7a 30 31 32 33 34 35 36 37    AB...xyz01234567"), std::string::npos);
    // the short last row is padded so the character column lines up
    EXPECT_NE(t.find("000010: 38 39 61 62 " + std::string(12 * 3, ' ') + "   89ab"), std::string::npos);
}

TEST(Process, ShutdownHookIsReplacedAndCalled) {
    int calls = 0;
    bool lastRestart = false;
    RegisterShutdownHandler([&](bool r) { ++calls; lastRestart = r; });
    ShutdownKIVD(true);
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(lastRestart);
    RegisterShutdownHandler(nullptr);
    ShutdownKIVD(false);
    EXPECT_EQ(calls, 1);
}

TEST(Process, CloseOpenFilesKeepsBoundSocketsOnly) {
    int fileFd = open("/dev/null", O_RDONLY);
    int sock = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(fileFd, 0);
    ASSERT_GE(sock, 0);
    // Run in a child: closing descriptors would disturb this test program.
    pid_t pid = fork();
    if (pid == 0) {
        CloseOpenFiles();
        bool fileClosed = fcntl(fileFd, F_GETFD) == -1;
        bool sockOpen = fcntl(sock, F_GETFD) != -1;
        _exit(fileClosed && sockOpen ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    close(fileFd);
    close(sock);
}

}  // namespace
