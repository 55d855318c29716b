// The show plays by the calendar, with real processes: kivd started on a
// media directory whose schedule has a slot open now plays the playlist's
// sequences to a DDP receiver and stops at the slot's end as configured;
// it resumes after a restart; commands through the client steer it.

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>

#include "FaultSupport.h"
#include "KivdProcess.h"
#include "NetTestSupport.h"
#include "SunTimes.h"
#include "TestSupport.h"
#include "ScheduleClock.h"
#include "common.h"
#include "hseq/ShowGenerator.h"
#include "monitor/PacketDecoder.h"

namespace {

std::string lo(int n) {
    static const int block = kivtest::reservedLoopbackBlock("127.201", 100, 100);
    return "127.201." + std::to_string(block) + "." + std::to_string(n);
}

using kivtest::clockText;

// A delivered DDP frame, identified as (sequence index, frame number).
struct Seen {
    int sequence;
    int frame;
    long long timeMs;  // on the wall clock, as the schedule is
};

class ScheduleEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        for (int s = 0; s < 2; ++s) {
            specs[s].channels = 512;
            specs[s].frames = 120;  // 3 s at 25 ms
            specs[s].stepMs = 25;
            specs[s].seed = 11 + s;
            ASSERT_TRUE(GenerateShow(media.file("/sequences/" + names[s]), specs[s]));
            rendered[s].assign(specs[s].frames, std::vector<uint8_t>(512));
            for (uint32_t f = 0; f < specs[s].frames; ++f) RenderShowFrame(specs[s], f, rendered[s][f].data());
        }
        media.write("/playlists/show.json", R"({"mainPlaylist": [
            {"type": "sequence", "sequenceName": "a.hseq"}, {"type": "sequence", "sequenceName": "b.hseq"}]})");
        media.write("/config/channeloutputs.json", R"({"channelOutputs": [{"type": "UDP", "enabled": 1,
            "universes": [{"description": "yard", "type": 4, "address": ")" + lo(1) +
                                                       R"(", "startChannel": 1, "channelCount": 512}]}]})");
    }

    // Skips when the slot would cross midnight (its end would be tomorrow).
    bool slotFitsToday(int fromNow, int toNow) {
        time_t now = time(nullptr);
        struct tm a, b;
        localtime_r(&now, &a);
        time_t s = now + fromNow, e = now + toNow;
        localtime_r(&s, &a);
        struct tm c;
        localtime_r(&e, &c);
        localtime_r(&now, &b);
        return a.tm_yday == b.tm_yday && c.tm_yday == b.tm_yday;
    }

    void writeSchedule(const std::string& rows) { media.write("/config/schedule.json", "[" + rows + "]"); }

    std::string row(const std::string& playlist, int fromNow, int toNow, const std::string& stopType,
                    bool repeat = true) {
        time_t now = time(nullptr);
        return R"({"playlist": ")" + playlist + R"(", "day": "Everyday", "startTime": ")" + clockText(now + fromNow) +
               R"(", "endTime": ")" + clockText(now + toNow) + R"(", "repeat": )" + (repeat ? "true" : "false") +
               R"(, "stopType": ")" + stopType + R"("})";
    }

    std::vector<Seen> decode(kivtest::UdpReceiver& r) {
        std::vector<Seen> out;
        long long wallMinusMonoUs = GetWallTime() - GetTime();
        for (auto& g : r.take()) {
            DecodedPacket p = DecodeDDP(g.bytes.data(), g.bytes.size());
            if (!p.valid || !p.push || p.offset != 0 || p.length != 512) continue;
            std::vector<uint8_t> b(p.data, p.data + p.length);
            for (int s = 0; s < 2; ++s) {
                auto it = std::find(rendered[s].begin(), rendered[s].end(), b);
                if (it != rendered[s].end()) {
                    out.push_back({s, (int)(it - rendered[s].begin()), (g.timeUs + wallMinusMonoUs) / 1000});
                    break;
                }
            }
        }
        return out;
    }

    Json::Value status(kivtest::KivdProcess& d) {
        std::string s;
        d.command({"Get Playlist Status"}, &s, 5);
        return LoadJsonFromString(s);
    }

    kivtest::TempMediaDir media;
    ShowSpec specs[2];
    std::string names[2] = {"a.hseq", "b.hseq"};
    std::vector<std::vector<uint8_t>> rendered[2];
};

// The first frame of the last run of one sequence. Which sequence was
// "playing at the end" is a matter of milliseconds when one ends as the
// slot does, so the tests ask when the last run began instead: the
// scheduler may start it up to the end, and its first frame arrives a
// little later (the allowance below); one started after the end would
// come a whole sequence (3 s) later.
Seen lastRunStart(const std::vector<Seen>& seen) {
    size_t i = seen.size() - 1;
    while (i > 0 && seen[i - 1].sequence == seen[i].sequence && seen[i - 1].frame <= seen[i].frame) --i;
    return seen[i];
}
const long long FIRST_FRAME_ALLOWANCE_MS = 500;

// Within each run of one sequence the frames come in order at the
// sequence's rate.
void expectOrderedRuns(const std::vector<Seen>& seen) {
    for (size_t i = 1; i < seen.size(); ++i) {
        if (seen[i].sequence != seen[i - 1].sequence) continue;
        EXPECT_GE(seen[i].frame, seen[i - 1].frame) << "frame order broken at " << i;
    }
}

TEST_F(ScheduleEndToEnd, SlotOpenNowPlaysAndStopsHardAtItsEnd) {
    if (!slotFitsToday(-60, 5)) GTEST_SKIP() << "too close to midnight for a same-day slot";
    time_t end = time(nullptr) + 5;
    writeSchedule(row("show", -60, 5, "Hard"));
    kivtest::UdpReceiver ddp(lo(1), 4048);
    kivtest::KivdProcess d(media.path());
    ASSERT_TRUE(d.start({"-f"}));
    ASSERT_TRUE(d.waitReady()) << d.output();
    ASSERT_TRUE(kivtest::waitUntil([&] { return status(d)["playlist"].asString() == "show"; }, 5000));
    ASSERT_TRUE(kivtest::waitUntil([&] { return status(d)["status"].asInt() == 0 && time(nullptr) > end; }, 15000));
    usleep(300000);
    auto seen = decode(ddp);
    EXPECT_EQ(d.stop(SIGTERM), 0);
    ASSERT_GT(seen.size(), 100u);
    EXPECT_EQ(seen.front().sequence, 0);
    EXPECT_EQ(seen.front().frame, 0);
    expectOrderedRuns(seen);
    // the sequence playing at the end time was cut there
    EXPECT_LT(lastRunStart(seen).timeMs, (long long)end * 1000 + FIRST_FRAME_ALLOWANCE_MS);
    EXPECT_LT(seen.back().frame, 119);
    EXPECT_LE(seen.back().timeMs, (long long)end * 1000 + 1000);
}

TEST_F(ScheduleEndToEnd, SlotEndingBeforeTheSequenceStopsGracefully) {
    if (!slotFitsToday(-60, 4)) GTEST_SKIP() << "too close to midnight for a same-day slot";
    time_t end = time(nullptr) + 4;
    writeSchedule(row("show", -60, 4, "Graceful"));
    kivtest::UdpReceiver ddp(lo(1), 4048);
    kivtest::KivdProcess d(media.path());
    ASSERT_TRUE(d.start({"-f"}));
    ASSERT_TRUE(d.waitReady()) << d.output();
    ASSERT_TRUE(kivtest::waitUntil([&] { return status(d)["status"].asInt() == 0 && time(nullptr) > end; }, 20000));
    usleep(300000);
    auto seen = decode(ddp);
    EXPECT_EQ(d.stop(SIGTERM), 0);
    ASSERT_GT(seen.size(), 100u);
    expectOrderedRuns(seen);
    // the sequence playing at the end time finished before stopping
    EXPECT_LT(lastRunStart(seen).timeMs, (long long)end * 1000 + FIRST_FRAME_ALLOWANCE_MS);
    EXPECT_EQ(seen.back().frame, 119);
    // It ended at the slot's end or later; a run that ends a few
    // milliseconds before it is the last, as the next would start after it.
    EXPECT_GE(seen.back().timeMs, (long long)end * 1000 - 200);
}

TEST_F(ScheduleEndToEnd, RestartInTheSlotResumesTheShowAndAtAGivenPosition) {
    if (!slotFitsToday(-60, 120)) GTEST_SKIP() << "too close to midnight for a same-day slot";
    writeSchedule(row("show", -60, 120, "Hard"));
    kivtest::UdpReceiver ddp(lo(1), 4048);
    {
        kivtest::KivdProcess d(media.path());
        ASSERT_TRUE(d.start({"-f"}));
        ASSERT_TRUE(d.waitReady());
        ASSERT_TRUE(kivtest::waitUntil([&] { return status(d)["status"].asInt() == 1; }, 5000));
        EXPECT_EQ(d.stop(SIGTERM), 0);
    }
    ddp.take();
    {
        // killed in the middle of the slot and started again: the show resumes
        kivtest::KivdProcess d(media.path());
        ASSERT_TRUE(d.start({"-f"}));
        ASSERT_TRUE(d.waitReady());
        ASSERT_TRUE(kivtest::waitUntil([&] { return status(d)["playlist"].asString() == "show"; }, 5000));
        EXPECT_TRUE(status(d)["scheduled"].asBool());
        ASSERT_TRUE(kivtest::waitUntil([&] { return ddp.count() > 20; }, 5000));
        auto seen = decode(ddp);
        ASSERT_FALSE(seen.empty());
        EXPECT_EQ(seen.front().sequence, 0);
        EXPECT_EQ(d.stop(SIGTERM), 0);
    }
    ddp.take();
    {
        // restarted with a position: the second entry plays first
        kivtest::KivdProcess d(media.path());
        ASSERT_TRUE(d.start({"-f", "-r", "-p", "show", "-P", "1"}));
        ASSERT_TRUE(d.waitReady());
        ASSERT_TRUE(kivtest::waitUntil([&] { return status(d)["position"].asInt() == 2; }, 5000))
            << SaveJsonToString(status(d));
        ASSERT_TRUE(kivtest::waitUntil([&] { return ddp.count() > 20; }, 5000));
        auto seen = decode(ddp);
        ASSERT_FALSE(seen.empty());
        EXPECT_EQ(seen.front().sequence, 1);
        EXPECT_EQ(d.stop(SIGTERM), 0);
    }
}

TEST_F(ScheduleEndToEnd, RestartRequestCarriesThePlayingScheduledPlaylistAndPosition) {
    if (!slotFitsToday(-60, 120)) GTEST_SKIP() << "too close to midnight for a same-day slot";
    writeSchedule(row("show", -60, 120, "Hard"));
    kivtest::UdpReceiver ddp(lo(1), 4048);
    ASSERT_TRUE(ddp.ok());
    kivtest::KivdProcess d(media.path());
    ASSERT_TRUE(d.start({"-f"}));
    ASSERT_TRUE(d.waitReady());
    // wait for the second entry, then ask for a restart
    ASSERT_TRUE(kivtest::waitUntil([&] { return status(d)["position"].asInt() == 2; }, 8000));
    pid_t pid = d.pid();
    EXPECT_EQ(d.command({"Restart KIVD"}), 0);
    ASSERT_TRUE(kivtest::waitUntil([&] { return d.log().find("Performing Restart.") != std::string::npos; }, 10000));
    ddp.take();
    ASSERT_TRUE(d.waitReady());
    std::string cmdline = GetFileContents("/proc/" + std::to_string(pid) + "/cmdline");
    for (char& c : cmdline) if (c == 0) c = ' ';
    EXPECT_NE(cmdline.find(" -r -p show -P 1"), std::string::npos) << cmdline;
    // The restarted daemon plays the second entry first (on a slow board
    // its status may name the playlist a moment before the position).
    ASSERT_TRUE(kivtest::waitUntil([&] { return status(d)["position"].asInt() == 2; }, 5000))
        << SaveJsonToString(status(d));
    EXPECT_EQ(status(d)["playlist"].asString(), "show");
    ASSERT_TRUE(kivtest::waitUntil([&] { return ddp.count() > 20; }, 5000));
    auto seen = decode(ddp);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.front().sequence, 1);
    EXPECT_EQ(d.stop(SIGTERM), 0);
}

TEST_F(ScheduleEndToEnd, ClientStartsTheNextItemAndExtendsTheSchedule) {
    if (!slotFitsToday(-60, 400)) GTEST_SKIP() << "too close to midnight for a same-day slot";
    media.write("/playlists/later.json", R"({"mainPlaylist": [{"type": "sequence", "sequenceName": "b.hseq"}]})");
    writeSchedule(row("show", -60, 120, "Hard") + "," + row("later", 300, 400, "Hard"));
    kivtest::KivdProcess d(media.path());
    ASSERT_TRUE(d.start({"-f"}));
    ASSERT_TRUE(d.waitReady());
    ASSERT_TRUE(kivtest::waitUntil([&] { return status(d)["playlist"].asString() == "show"; }, 5000));

    std::string out;
    EXPECT_EQ(d.command({"Extend Schedule"}, &out), 1);
    EXPECT_EQ(out, "Command needs at least 1 argument, found 0\n");
    long long endBefore = status(d)["actualEndTime"].asInt64();
    EXPECT_EQ(d.command({"Extend Schedule", "600"}, &out), 0) << out;
    EXPECT_EQ(out, "Schedule Updated\n");
    EXPECT_EQ(status(d)["actualEndTime"].asInt64(), endBefore + 600);

    EXPECT_EQ(d.command({"Start Next Scheduled Item"}, &out), 0) << out;
    EXPECT_EQ(out, "Next scheduled item started\n");
    EXPECT_TRUE(kivtest::waitUntil([&] { return status(d)["playlist"].asString() == "later"; }, 5000))
        << SaveJsonToString(status(d));
    EXPECT_EQ(d.stop(SIGTERM), 0);
}

TEST_F(ScheduleEndToEnd, MissingPlaylistWarnsUntilItExistsAndGarbledFilesDoNotStopTheShow) {
    if (!slotFitsToday(-60, 300)) GTEST_SKIP() << "too close to midnight for a same-day slot";
    writeSchedule(row("show", -60, 300, "Hard") + "," + row("ghost", 600, 700, "Hard"));
    kivtest::KivdProcess d(media.path());
    ASSERT_TRUE(d.start({"-f"}));
    ASSERT_TRUE(d.waitReady());
    auto warnings = [&] {
        std::string w;
        d.command({"Get Warnings"}, &w);
        return w;
    };
    EXPECT_NE(warnings().find("Scheduled Playlist 'ghost' does not exist"), std::string::npos) << warnings();
    media.write("/playlists/ghost.json", R"({"mainPlaylist": [{"type": "sequence", "sequenceName": "a.hseq"}]})");
    EXPECT_EQ(d.command({"Reload Schedule"}), 0);
    EXPECT_TRUE(kivtest::waitUntil(
        [&] { return warnings().find("Scheduled Playlist 'ghost' does not exist") == std::string::npos; }, 5000))
        << warnings();

    // A garbled schedule keeps the rows in force; the show goes on.
    ASSERT_TRUE(kivtest::waitUntil([&] { return status(d)["status"].asInt() == 1; }, 5000));
    media.write("/config/schedule.json", "[ {\"playlist\": ");
    EXPECT_EQ(d.command({"Reload Schedule"}), 0);
    EXPECT_TRUE(kivtest::waitUntil([&] { return warnings().find("Schedule file is not valid") != std::string::npos; },
                                   5000));
    EXPECT_EQ(status(d)["playlist"].asString(), "show");
    EXPECT_NE(d.log().find("is not valid JSON; keeping the 2 rows loaded before"), std::string::npos);

    // A garbled playlist is refused with its reason; the daemon runs on.
    media.write("/playlists/broken.json", "{ \"mainPlaylist\": [ ");
    std::string out;
    EXPECT_EQ(d.command({"Start Playlist", "broken"}, &out), 1);
    EXPECT_TRUE(d.running());
    EXPECT_EQ(status(d)["playlist"].asString(), "show");
    EXPECT_EQ(d.stop(SIGTERM), 0);
}

}  // namespace

// A row from dusk until 23:00 through the real daemon, whose clock libfaketime
// sets to a winter evening in London a few seconds before dusk (the frame
// clock, which runs on the monotonic clock, is left alone): nothing plays
// until the computed dusk, then the show does; "Get Schedule" names the
// computed time.
TEST_F(ScheduleEndToEnd, ARowFromDuskPlaysAtTheComputedDuskWithAFakedClock) {
    std::string faketime;
    for (const char* dir : {"/usr/lib/x86_64-linux-gnu", "/usr/lib/aarch64-linux-gnu", "/usr/lib/arm-linux-gnueabihf"}) {
        std::string candidate = std::string(dir) + "/faketime/libfaketime.so.1";
        if (FileExists(candidate)) faketime = candidate;
    }
    if (faketime.empty()) GTEST_SKIP() << "libfaketime is not installed (Debian package faketime)";

    const char* oldTz = getenv("TZ");
    std::string savedTz = oldTz ? oldTz : "";
    setenv("TZ", "Europe/London", 1);
    tzset();
    time_t dusk = 0;
    ASSERT_TRUE(SunEventTime(SunEvent::Dusk, 51.5074, -0.1278, 2024, 12, 15, dusk));
    const int lead = 10;  // seconds of faked time before dusk at the daemon's start
    time_t fakeStart = dusk - lead;
    char fakeText[64], duskText[16];
    struct tm tm;
    localtime_r(&fakeStart, &tm);
    strftime(fakeText, sizeof(fakeText), "@%Y-%m-%d %H:%M:%S", &tm);
    localtime_r(&dusk, &tm);
    strftime(duskText, sizeof(duskText), "%H:%M:%S", &tm);

    media.write("/settings", "Latitude = 51.5074\nLongitude = -0.1278\n");
    writeSchedule(R"({"playlist": "show", "day": "Everyday", "startTime": "Dusk", "endTime": "23:00",
                      "repeat": true, "stopType": "Hard"})");
    kivtest::UdpReceiver ddp(lo(1), 4048);
    kivtest::KivdProcess d(media.path());
    // Only the daemon runs with the faked clock; the client commands do not.
    setenv("LD_PRELOAD", faketime.c_str(), 1);
    setenv("FAKETIME", fakeText, 1);
    setenv("FAKETIME_DONT_FAKE_MONOTONIC", "1", 1);
    const char* asan = getenv("ASAN_OPTIONS");
    std::string savedAsan = asan ? asan : "";
    // The preloaded library comes before a sanitizer's runtime.
    setenv("ASAN_OPTIONS", (savedAsan.empty() ? "" : savedAsan + ":") .append("verify_asan_link_order=0").c_str(), 1);
    long long startedMs = GetWallTime() / 1000;
    bool started = d.start({"-f"});
    unsetenv("LD_PRELOAD");
    unsetenv("FAKETIME");
    unsetenv("FAKETIME_DONT_FAKE_MONOTONIC");
    if (asan) setenv("ASAN_OPTIONS", savedAsan.c_str(), 1);
    else unsetenv("ASAN_OPTIONS");
    auto restoreZone = [&] {
        if (oldTz) setenv("TZ", savedTz.c_str(), 1);
        else unsetenv("TZ");
        tzset();
    };
    ASSERT_TRUE(started);
    ASSERT_TRUE(d.waitReady()) << d.output();

    std::string out;
    ASSERT_EQ(0, d.command({"Get Schedule"}, &out));
    Json::Value schedule = LoadJsonFromString(out);
    bool listed = false;
    for (auto& item : schedule["items"]) {
        if (item["startTime"].asInt64() == (long long)dusk) {
            listed = true;
            EXPECT_NE(std::string::npos, item["startTimeStr"].asString().find(duskText)) << item.toStyledString();
        }
    }
    EXPECT_TRUE(listed) << "no item at the computed dusk " << duskText << ": " << out;
    EXPECT_EQ("Dusk", schedule["entries"][0]["startTime"].asString());

    // The first frame of the show (the outputs send blank frames at start-up).
    std::vector<Seen> seen;
    ASSERT_TRUE(kivtest::waitUntil(
        [&] {
            for (auto& s : decode(ddp)) seen.push_back(s);
            return !seen.empty();
        },
        60000))
        << d.log();
    long long firstMs = seen.front().timeMs;
    // The daemon's faked clock at the first frame: nothing went out before dusk.
    double fakeSecondsAtFirst = (double)fakeStart + (firstMs - startedMs) / 1000.0;
    EXPECT_GE(fakeSecondsAtFirst, (double)dusk - 1.0) << "the show started before dusk";
    EXPECT_LE(fakeSecondsAtFirst, (double)dusk + 10.0) << "the show started long after dusk";
    EXPECT_TRUE(kivtest::waitUntil([&] { return status(d)["playlist"].asString() == "show"; }, 10000));
    EXPECT_EQ(d.stop(SIGTERM), 0);
    restoreZone();
}
