#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <mutex>

#include "CaptureOutput.h"
#include "Events.h"
#include "RecordingEvents.h"
#include "ScheduleClock.h"
#include "Sequence.h"
#include "TestSupport.h"
#include "channeloutput/channeloutput.h"
#include "channeloutput/channeloutputthread.h"
#include "commands/Commands.h"
#include "common.h"
#include "hseq/ShowGenerator.h"
#include "log.h"
#include "playlist/Player.h"
#include "playlist/Playlist.h"
#include "playlist/PlaylistEntrySequence.h"

using namespace kivtest;

namespace {

uint32_t FrameNumberOf(const std::vector<uint8_t>& bytes) {
    uint32_t n;
    memcpy(&n, bytes.data(), 4);  // the generator writes it little-endian
    return n;
}

bool AllZero(const std::vector<uint8_t>& bytes) {
    for (uint8_t b : bytes) {
        if (b) return false;
    }
    return true;
}

class PlaylistEntrySequenceTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The log's destination and levels are plain globals the output
        // thread reads: set them before any thread starts, restore them
        // after the last one stopped.
        m_log = std::make_unique<LogCapture>();
        KIVLogger::INSTANCE.SetLevel("ChannelOut", LOG_DEBUG);
        KIVLogger::INSTANCE.SetLevel("Playlist", LOG_DEBUG);
        CommandManager::INSTANCE.Init();
        ScheduleClock::SetProvider(nullptr);
        m_capture = new CaptureOutput(0, 512);
        AddChannelOutput(m_capture);
        sequence = new Sequence();
        Events::AddEventHandler(&m_events);
        Player::INSTANCE.Cleanup();
    }
    void TearDown() override {
        Player::INSTANCE.Cleanup();
        Events::RemoveEventHandler(&m_events);
        sequence->CloseSequenceFile();
        StopChannelOutputThread();
        CloseChannelOutputs();
        delete sequence;
        sequence = nullptr;
        m_log.reset();
    }
    ShowSpec Show(uint32_t frames, int stepMs, uint32_t seed) {
        ShowSpec spec;
        spec.channels = 512;
        spec.frames = frames;
        spec.stepMs = stepMs;
        spec.seed = seed;
        return spec;
    }
    void Generate(const std::string& name, const ShowSpec& spec) {
        ASSERT_TRUE(GenerateShow(m_media.file("/sequences/" + name), spec));
    }
    Json::Value Config(const std::string& name) {
        Json::Value c;
        c["type"] = "sequence";
        c["sequenceName"] = name;
        return c;
    }
    // Steps the entry as the player does until it finishes.
    bool PlayToEnd(PlaylistEntrySequence& e, int timeoutMs) {
        return waitUntil(
            [&] {
                e.Process();
                return (bool)e.IsFinished();
            },
            timeoutMs);
    }
    // Every captured frame carries the bytes the generator made for it, and
    // frames never go backwards.
    void ExpectFramesOf(const ShowSpec& spec, const std::vector<CapturedFrame>& frames, uint32_t first,
                        uint32_t last) {
        std::vector<uint8_t> expected(spec.channels);
        uint32_t previous = 0;
        bool any = false, skipped = false;
        for (auto& f : frames) {
            uint32_t n = FrameNumberOf(f.bytes);
            ASSERT_LT(n, spec.frames);
            RenderShowFrame(spec, n, expected.data());
            ASSERT_EQ(expected, f.bytes) << "frame " << n;
            if (any) {
                ASSERT_GE(n, previous);
                skipped |= n > previous + 1;
            }
            previous = n;
            any = true;
        }
        ASSERT_TRUE(any);
        EXPECT_EQ(first, FrameNumberOf(frames.front().bytes));
        if (!skipped) {
            EXPECT_EQ(last, FrameNumberOf(frames.back().bytes));
        } else {
            // The output fell behind the wall clock (a loaded machine) and
            // caught up by skipping; it still ends at the end.
            EXPECT_GE(FrameNumberOf(frames.back().bytes) + 5, last);
        }
    }

    TempMediaDir m_media;
    std::unique_ptr<LogCapture> m_log;
    CaptureOutput* m_capture = nullptr;  // owned by the output registry
    RecordingHandler m_events;
    Playlist m_playlist{"test"};
};

TEST_F(PlaylistEntrySequenceTest, InitNeedsASequenceName) {
    LogCapture& log = *m_log;
    PlaylistEntrySequence e(&m_playlist);
    EXPECT_EQ("sequence", e.GetType());
    Json::Value none;
    none["type"] = "sequence";
    EXPECT_FALSE(e.Init(none));
    EXPECT_TRUE(log.contains("Missing sequenceName entry\n"));
    Json::Value wrong = Config("x");
    wrong["sequenceName"] = Json::Value(Json::objectValue);
    EXPECT_FALSE(e.Init(wrong));
    Json::Value ok = Config("show.hseq");
    EXPECT_TRUE(e.Init(ok));
    EXPECT_EQ("show.hseq", e.GetSequenceName());
    EXPECT_FALSE(e.IsPaused());
}

TEST_F(PlaylistEntrySequenceTest, LengthComesFromTheFileUntilPreparedThenFromThePlayer) {
    // 240 frames of 250 ms: 60 000 ms. Opening waits one frame period for the
    // reader to queue the first frame, so a long period suits a loaded machine.
    Generate("long.hseq", Show(240, 250, 1));
    PlaylistEntrySequence e(&m_playlist);
    Json::Value c = Config("long.hseq");
    ASSERT_TRUE(e.Init(c));
    EXPECT_EQ(0u, e.GetElapsedMS()) << "before prepare";
    EXPECT_EQ(60000u, e.GetLengthInMS());
    EXPECT_EQ("", e.FindMissingFile());

    PlaylistEntrySequence p(&m_playlist);
    ASSERT_TRUE(p.Init(c));
    // Should the period pass before frame 40 is queued (a very busy machine,
    // an emulator), open again.
    uint64_t elapsed = 0;
    for (int attempt = 0; attempt < 20 && elapsed != 10000u; ++attempt) {
        ASSERT_TRUE(p.PreparePlay(40));
        elapsed = p.GetElapsedMS();
    }
    EXPECT_EQ(10000u, elapsed) << "opened at frame 40";
    unlink(m_media.file("/sequences/long.hseq").c_str());
    EXPECT_EQ(60000u, p.GetLengthInMS()) << "known from the player, the disk is not read";

    PlaylistEntrySequence missing(&m_playlist);
    Json::Value m = Config("nothere.hseq");
    ASSERT_TRUE(missing.Init(m));
    EXPECT_EQ(0u, missing.GetLengthInMS());
    EXPECT_EQ(m_media.file("/sequences/nothere.hseq"), missing.FindMissingFile());
    LogCapture& log = *m_log;
    EXPECT_FALSE(missing.PreparePlay(0));
    EXPECT_TRUE(log.contains("Error opening sequence nothere.hseq\n"));
}

TEST_F(PlaylistEntrySequenceTest, PlaysEveryFrameInOrderAndPublishesItsStatus) {
    ShowSpec spec = Show(30, 25, 7);
    Generate("chase.hseq", spec);
    PlaylistEntrySequence e(&m_playlist);
    Json::Value c = Config("chase.hseq");
    ASSERT_TRUE(e.Init(c));
    EXPECT_EQ(1, e.StartPlaying());
    EXPECT_TRUE(e.IsPlaying());
    EXPECT_TRUE(sequence->IsSequenceRunning());
    Json::Value cfg = e.GetConfig();
    EXPECT_EQ("chase.hseq", cfg["sequenceName"].asString());
    EXPECT_TRUE(cfg.isMember("secondsElapsed"));
    ASSERT_TRUE(PlayToEnd(e, 20000));
    EXPECT_FALSE(sequence->IsSequenceRunning());
    ASSERT_TRUE(m_capture->WaitForCount(1, 5000));
    auto frames = m_capture->Frames();
    std::vector<CapturedFrame> shown;
    for (auto& f : frames) {
        if (!AllZero(f.bytes)) shown.push_back(f);
    }
    ExpectFramesOf(spec, shown, 0, 29);
    EXPECT_EQ(std::vector<std::string>({"playlist/sequence/status=chase.hseq", "playlist/sequence/secondsTotal=#0",
                                        "playlist/sequence/status=", "playlist/sequence/secondsTotal="}),
              m_events.Events());
}

TEST_F(PlaylistEntrySequenceTest, ProcessSteersTheOutputTowardTheWallClock) {
    Generate("slow.hseq", Show(400, 50, 3));
    PlaylistEntrySequence e(&m_playlist);
    Json::Value c = Config("slow.hseq");
    ASSERT_TRUE(e.Init(c));
    ASSERT_EQ(1, e.StartPlaying());
    EXPECT_NEAR((double)GetMonotonicMS(), (double)e.GetStartedAtMs(), 1000.0);
    // Hold the output where it is while the wall clock runs on.
    sequence->ToggleSequencePause();
    usleep(1200 * 1000);
    EXPECT_FALSE(m_log->contains("Skipping many frames"));
    e.Process();
    EXPECT_TRUE(m_log->contains("Skipping many frames - We are at")) << m_log->text();
    sequence->ToggleSequencePause();
    e.Stop();
}

TEST_F(PlaylistEntrySequenceTest, PauseRemembersTheFrameAndResumeReopensThere) {
    Generate("long.hseq", Show(1200, 50, 5));  // 60 000 ms at 50 ms
    PlaylistEntrySequence e(&m_playlist);
    Json::Value c = Config("long.hseq");
    ASSERT_TRUE(e.Init(c));
    ASSERT_TRUE(e.PreparePlay(200));
    ASSERT_EQ(10000, sequence->GetElapsedMs());
    e.Pause();
    EXPECT_TRUE(e.IsPaused());
    EXPECT_EQ(200, e.GetPauseFrame());
    EXPECT_EQ("", sequence->GetFileName()) << "the file is closed while paused";
    EXPECT_EQ(0u, e.GetElapsedMS());
    ASSERT_TRUE(waitUntil([&] { return m_capture->Count() > 0 && AllZero(m_capture->Frames().back().bytes); }, 5000))
        << "outputs are blanked";

    Json::Value cfg = e.GetConfig();
    EXPECT_EQ(10, cfg["secondsElapsed"].asInt());
    EXPECT_EQ(50, cfg["secondsRemaining"].asInt());
    Json::Value mq = e.GetMqttStatus();
    EXPECT_EQ(10, mq["secondsElapsed"].asInt());
    EXPECT_EQ(50, mq["secondsRemaining"].asInt());
    EXPECT_EQ(60, mq["secondsTotal"].asInt());

    m_events.Clear();
    m_capture->Clear();
    e.Resume();
    EXPECT_FALSE(e.IsPaused());
    EXPECT_EQ(-1, e.GetPauseFrame());
    EXPECT_TRUE(sequence->IsSequenceRunning("long.hseq"));
    EXPECT_NEAR((double)(GetMonotonicMS() - 10000), (double)e.GetStartedAtMs(), 1000.0);
    EXPECT_EQ(std::vector<std::string>({"playlist/sequence/status=long.hseq"}), m_events.Events());
    ASSERT_TRUE(m_capture->WaitForCount(3, 5000));
    auto frames = m_capture->Frames();
    std::vector<uint8_t> expected(512);
    int nonBlank = 0;
    for (auto& f : frames) {
        if (AllZero(f.bytes)) continue;
        ++nonBlank;
        EXPECT_GE(FrameNumberOf(f.bytes), 200u) << "playback goes on from the paused frame";
    }
    EXPECT_GT(nonBlank, 0);
    e.Stop();
}

TEST_F(PlaylistEntrySequenceTest, ConfigLeavesOutPositionWhenAnotherSequenceIsLoaded) {
    Generate("a.hseq", Show(100, 50, 1));
    Generate("b.hseq", Show(100, 50, 2));
    PlaylistEntrySequence a(&m_playlist), b(&m_playlist);
    Json::Value ca = Config("a.hseq"), cb = Config("b.hseq");
    ASSERT_TRUE(a.Init(ca));
    ASSERT_TRUE(b.Init(cb));
    ASSERT_TRUE(b.PreparePlay(0));
    Json::Value cfg = a.GetConfig();
    EXPECT_EQ("a.hseq", cfg["sequenceName"].asString());
    EXPECT_EQ("sequence", cfg["type"].asString());
    EXPECT_FALSE(cfg.isMember("secondsElapsed"));
    EXPECT_FALSE(cfg.isMember("secondsRemaining"));
    EXPECT_TRUE(b.GetConfig().isMember("secondsRemaining"));
    EXPECT_EQ(5, b.GetConfig()["secondsRemaining"].asInt());
}

TEST_F(PlaylistEntrySequenceTest, RefusedStartLeavesTheSequencePlayerAlone) {
    Generate("a.hseq", Show(100, 50, 1));
    PlaylistEntrySequence e(&m_playlist);
    Json::Value c = Config("a.hseq");
    c["enabled"] = false;
    ASSERT_TRUE(e.Init(c));
    EXPECT_EQ(0, e.StartPlaying());
    EXPECT_TRUE(e.IsFinished());
    EXPECT_EQ("", sequence->GetFileName());
    EXPECT_FALSE(sequence->IsSequenceRunning());
    EXPECT_TRUE(m_events.Events().empty());
}

TEST_F(PlaylistEntrySequenceTest, StopClosesTheFileAndClearsTheStatus) {
    Generate("a.hseq", Show(400, 50, 1));
    PlaylistEntrySequence e(&m_playlist);
    Json::Value c = Config("a.hseq");
    ASSERT_TRUE(e.Init(c));
    ASSERT_EQ(1, e.StartPlaying());
    m_events.Clear();
    e.Stop();
    EXPECT_TRUE(e.IsFinished());
    EXPECT_FALSE(sequence->IsSequenceRunning());
    EXPECT_EQ(0u, e.GetElapsedMS());
    EXPECT_EQ(std::vector<std::string>({"playlist/sequence/status=", "playlist/sequence/secondsTotal="}),
              m_events.Events());
}

TEST_F(PlaylistEntrySequenceTest, FileThatVanishedBeforeStartFinishesAtTheNextStep) {
    Generate("gone.hseq", Show(100, 50, 1));
    PlaylistEntrySequence e(&m_playlist);
    Json::Value c = Config("gone.hseq");
    ASSERT_TRUE(e.Init(c));
    unlink(m_media.file("/sequences/gone.hseq").c_str());
    LogCapture& log = *m_log;
    EXPECT_EQ(1, e.StartPlaying());
    EXPECT_TRUE(log.contains("Error opening sequence gone.hseq"));
    e.Process();
    EXPECT_TRUE(e.IsFinished());
}

// ---------------------------------------------------------------- through the player

class PlayerWithSequencesTest : public PlaylistEntrySequenceTest {};

TEST_F(PlayerWithSequencesTest, PlaylistPlaysGeneratedSequencesBackToBackThenBlanks) {
    ShowSpec intro = Show(20, 25, 11), main = Show(24, 25, 12);
    Generate("intro.hseq", intro);
    Generate("main.hseq", main);
    m_media.write("/playlists/evening.json", R"({
        "leadIn": [ {"type": "sequence", "sequenceName": "intro.hseq"} ],
        "mainPlaylist": [ {"type": "sequence", "sequenceName": "main.hseq"} ]
    })");
    Player& player = Player::INSTANCE;
    ASSERT_TRUE(player.StartPlaylist("evening", 0));
    ASSERT_TRUE(waitUntil(
        [&] {
            player.Process();
            return player.GetStatus() == PLAYER_IDLE;
        },
        20000));
    ASSERT_TRUE(waitUntil([&] { return AllZero(m_capture->Frames().back().bytes); }, 5000))
        << "the outputs go dark when the playlist ends";

    std::vector<CapturedFrame> a, b;
    for (auto& f : m_capture->Frames()) {
        if (AllZero(f.bytes)) continue;
        uint8_t seedByte = f.bytes[7];  // the generator's seed
        (seedByte == 11 ? a : b).push_back(f);
        if (seedByte == 11) {
            EXPECT_TRUE(b.empty()) << "the lead-in plays first";
        }
    }
    ExpectFramesOf(intro, a, 0, 19);
    ExpectFramesOf(main, b, 0, 23);
}

TEST_F(PlayerWithSequencesTest, SequenceRowPlaysAsAPlaylistAndStopsHardAtItsEnd) {
    ShowSpec spec = Show(2000, 25, 4);  // 50 s, longer than the slot
    Generate("long.hseq", spec);
    Player& player = Player::INSTANCE;
    time_t now = time(nullptr);
    ASSERT_TRUE(player.StartScheduledPlaylist("long.hseq", 0, 0, 0, 0, now, now + 1, 1));
    EXPECT_EQ("long.hseq", player.GetPlaylistName());
    ASSERT_TRUE(m_capture->WaitForCount(5, 5000));
    ASSERT_TRUE(waitUntil(
        [&] {
            player.Process();
            return player.GetStatus() == PLAYER_IDLE;
        },
        10000))
        << "stopped at the end of its slot";
    EXPECT_FALSE(sequence->IsSequenceRunning());
    ASSERT_TRUE(waitUntil([&] { return AllZero(m_capture->Frames().back().bytes); }, 5000));
}
TEST_F(PlayerWithSequencesTest, DocumentedExamplePlaysItsEntriesInOrder) {
    m_media.write("/playlists/evening.json",
                  GetFileContents(kivtest::sourceDir() + "/docs/examples/playlists/evening.json"));
    const char* names[] = {"welcome", "tune-in-sign", "jingle-bells", "carol-of-the-bells", "snow-test", "goodnight"};
    for (uint32_t i = 0; i < 6; ++i) {
        Generate(std::string(names[i]) + ".hseq", Show(8, 25, 20 + i));
    }
    Player& player = Player::INSTANCE;
    ASSERT_TRUE(player.StartPlaylist("evening", 0));
    ASSERT_TRUE(waitUntil(
        [&] {
            player.Process();
            return player.GetStatus() == PLAYER_IDLE;
        },
        20000));
    std::vector<int> order;  // seeds in the order their frames went out
    for (auto& f : m_capture->Frames()) {
        if (AllZero(f.bytes)) continue;
        if (order.empty() || order.back() != f.bytes[7]) order.push_back(f.bytes[7]);
    }
    // welcome, tune-in-sign, jingle-bells, carol-of-the-bells, (snow-test is disabled), goodnight
    EXPECT_EQ(std::vector<int>({20, 21, 22, 23, 25}), order);
}
}  // namespace
