// The sequence player driven by hand (the channel output thread is left
// without a player, so each read, process and send happens here).

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>

#include "CaptureOutput.h"
#include "DisplayTestSupport.h"
#include "HSEQTestSupport.h"
#include "Sequence.h"
#include "TestSupport.h"
#include "Warnings.h"
#include "channeloutput/channeloutput.h"
#include "channeloutput/channeloutputthread.h"
#include "commands/Commands.h"
#include "effects/EffectPlayer.h"
#include "common.h"
#include "hseq/ShowGenerator.h"
#include "log.h"
#include "services/PixelOverlay.h"
#include "settings.h"

using namespace kivtest;

namespace {

// A command that remembers how it was run, to observe presets.
struct Recorded {
    std::vector<std::string> args;
    int frame;
};
std::mutex recordLock;  // guards recorded
std::vector<Recorded> recorded;

class RecordCommand : public Command {
public:
    RecordCommand() : Command("Record Test", "Remembers its arguments") {}
    std::unique_ptr<Result> run(const std::vector<std::string>& args) override {
        std::lock_guard<std::mutex> lock(recordLock);
        recorded.push_back({args, channelOutputFrame});
        return std::make_unique<Result>("OK");
    }
};

std::vector<Recorded> TakeRecorded() {
    CommandManager::INSTANCE.WaitForPresets();
    std::lock_guard<std::mutex> lock(recordLock);
    std::vector<Recorded> out;
    out.swap(recorded);
    return out;
}

// A player whose file reads can be held at one frame, and that counts reads.
class GatedSequence : public Sequence {
public:
    ~GatedSequence() override {
        Gate(-1);
        StopReadThread();
    }
    HSEQFile::FrameData* ReadFrameFromFile(HSEQFile* file, uint32_t frame) override {
        {
            std::unique_lock<std::mutex> lock(m_lock);
            ++m_reads[frame];
            m_cond.wait(lock, [&] { return (int)frame != m_gate; });
        }
        return Sequence::ReadFrameFromFile(file, frame);
    }
    void Gate(int frame) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_gate = frame;
        m_cond.notify_all();
    }
    int Reads(uint32_t frame) {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_reads[frame];
    }
    bool Waiting(uint32_t frame) {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_reads[frame] > 0 && m_gate == (int)frame;
    }

private:
    std::mutex m_lock;  // guards m_gate and m_reads
    std::condition_variable m_cond;
    int m_gate = -1;
    std::map<uint32_t, int> m_reads;
};

class SequenceTest : public ::testing::Test {
protected:
    static constexpr uint32_t CHANNELS = 2048;

    void SetUp() override {
        setKIVmode(MODE_PLAYER);
        SetSetting("blankBetweenSequences", 0);
        SetSetting("bridgeDataPriority", "Warn If Sequence Running");
        CommandManager::INSTANCE.Init();
        CommandManager::INSTANCE.addCommand(new RecordCommand());
        TakeRecorded();
        // The output thread gets no player: everything is driven from here,
        // and blanking happens on this thread.
        sequence = nullptr;
        DisableChannelOutput();
        capture = new CaptureOutput(0, CHANNELS);
        AddChannelOutput(capture);
        spec.channels = CHANNELS;
        spec.frames = 60;
        // Long frames: opening waits up to a frame for the reader, which a
        // loaded machine needs.
        spec.stepMs = 250;
        spec.versionMajor = 1;
    }

    void TearDown() override {
        player.reset();
        StopChannelOutputThread();
        EnableChannelOutput();
        CloseChannelOutputs();
        CommandManager::INSTANCE.Cleanup();
        setKIVmode(MODE_PLAYER);
    }

    void MakeShow(const std::string& name, const ShowSpec& s) {
        ASSERT_TRUE(GenerateShow(media.file("/sequences/" + name), s));
    }

    template <typename T = Sequence>
    T* NewPlayer() {
        player.reset();
        T* p = new T();
        player.reset(p);
        return p;
    }

    // The frame number the buffer holds, checked byte for byte against the
    // show; -1 for an all-zero buffer, -2 for anything else.
    int BufferFrame(const ShowSpec& s) {
        const uint8_t* data = player->GetChannelData();
        if (std::all_of(data, data + s.channels, [](uint8_t b) { return b == 0; })) return -1;
        uint32_t n;
        memcpy(&n, data, 4);
        std::vector<uint8_t> want(s.channels);
        RenderShowFrame(s, n, want.data());
        return memcmp(want.data(), data, s.channels) == 0 ? (int)n : -2;
    }
    int BufferFrame() { return BufferFrame(spec); }

    // One output period's read, once the reader has a frame queued (so a
    // busy test machine never meets the late-frame rule by accident).
    void ReadNext() {
        ASSERT_TRUE(waitUntil([&] { return player->GetReadAheadCount() > 0; }, 5000));
        player->ReadSequenceData(false);
    }

    // Before any thread starts and gone only after TearDown stopped them all:
    // the threads read the log destination and levels.
    LogCapture log;
    TempMediaDir media;
    TempInstallDir install;
    CaptureOutput* capture = nullptr;
    ShowSpec spec;
    std::unique_ptr<Sequence> player;
};

}  // namespace

TEST_F(SequenceTest, OpeningPutsTheFirstFrameInTheBufferBeforeTheStart) {
    MakeShow("a.hseq", spec);
    auto* s = NewPlayer();
    ASSERT_EQ(1, s->OpenSequenceFile("a.hseq", 0, -1));
    EXPECT_EQ(0, BufferFrame());
    EXPECT_FALSE(s->IsSequenceRunning());
    EXPECT_EQ("a.hseq", s->GetFileName());
    EXPECT_EQ(15000, s->GetDurationMs());
    EXPECT_EQ(15000, s->GetRemainingMs());
    EXPECT_EQ(250, s->GetStepTimeMs());
    EXPECT_FLOAT_EQ(4.0f, GetChannelOutputRefreshRate());
    EXPECT_EQ(250000, (int)SequenceLightDelay);
    // Not started: reads leave the frame where it is.
    usleep(50000);
    s->ReadSequenceData(false);
    EXPECT_EQ(0, BufferFrame());
}

TEST_F(SequenceTest, PlaysEveryFrameInOrderThenClosesBlanksAndTriggersPresets) {
    media.write("/config/commandPresets.json",
                R"({"commands": [
                  {"name": "SEQUENCE_STARTED", "command": "Record Test", "args": ["started", "%SEQUENCE_NAME%"]},
                  {"name": "SEQUENCE_STOPPED", "command": "Record Test", "args": ["stopped", "%SEQUENCE_NAME%"]}]})");
    spec.frames = 30;
    MakeShow("a.hseq", spec);
    auto* s = NewPlayer();
    ASSERT_EQ(1, s->StartSequence("a.hseq", 0));
    EXPECT_TRUE(s->IsSequenceRunning());
    EXPECT_TRUE(s->IsSequenceRunning("a.hseq"));
    EXPECT_FALSE(s->IsSequenceRunning("b.hseq"));
    EXPECT_EQ(0, BufferFrame());
    for (int n = 1; n < 30; ++n) {
        ReadNext();
        ASSERT_EQ(n, BufferFrame());
        EXPECT_EQ(n, (int)channelOutputFrame);
        EXPECT_EQ(n * 250, s->GetElapsedMs());
        EXPECT_EQ(7500 - n * 250, s->GetRemainingMs());
    }
    // The reader has reached the end: the next read ends the sequence.
    s->ReadSequenceData(false);
    EXPECT_FALSE(s->IsSequenceRunning());
    EXPECT_EQ("", s->GetFileName());
    EXPECT_EQ(7500, s->GetElapsedMs());
    EXPECT_EQ(0, s->GetRemainingMs());
    EXPECT_EQ(-1, BufferFrame());
    ASSERT_GE(capture->Count(), 1u);
    auto last = capture->Frames().back().bytes;
    EXPECT_TRUE(std::all_of(last.begin(), last.end(), [](uint8_t b) { return b == 0; }));

    auto runs = TakeRecorded();
    ASSERT_EQ(2u, runs.size());
    EXPECT_EQ((std::vector<std::string>{"started", "a.hseq"}), runs[0].args);
    EXPECT_EQ((std::vector<std::string>{"stopped", "a.hseq"}), runs[1].args);
}

TEST_F(SequenceTest, OpeningTheSameFileAgainBeforeItStartsKeepsItAsItIs) {
    MakeShow("a.hseq", spec);
    auto* s = NewPlayer();
    ASSERT_EQ(1, s->OpenSequenceFile("a.hseq", 0, -1));
    ASSERT_EQ(0, BufferFrame());
    // A real reopen at frame 10 would show frame 10.
    EXPECT_EQ(1, s->OpenSequenceFile("a.hseq", 10, -1));
    EXPECT_EQ(0, BufferFrame());
    s->StartSequence();
    ReadNext();
    EXPECT_EQ(1, BufferFrame());
}

TEST_F(SequenceTest, AStartSecondPicksTheFirstFrameShown) {
    spec.frames = 100;
    MakeShow("a.hseq", spec);
    auto* s = NewPlayer();
    // 10 s at 250 ms a frame: frame 40 comes first.
    ASSERT_EQ(1, s->OpenSequenceFile("a.hseq", 0, 10));
    EXPECT_EQ(40, BufferFrame());
    EXPECT_EQ(40, (int)channelOutputFrame);
    s->StartSequence();
    ReadNext();
    EXPECT_EQ(41, BufferFrame());
    EXPECT_EQ(41 * 250, s->GetElapsedMs());
}

TEST_F(SequenceTest, AStartFrameOpensThere) {
    MakeShow("a.hseq", spec);
    auto* s = NewPlayer();
    ASSERT_EQ(1, s->StartSequence("a.hseq", 25));
    EXPECT_EQ(25, BufferFrame());
    ReadNext();
    EXPECT_EQ(26, BufferFrame());
    // Starting the open file again with a frame seeks there.
    ASSERT_EQ(1, s->StartSequence("a.hseq", 10));
    ReadNext();
    EXPECT_EQ(10, BufferFrame());
}

TEST_F(SequenceTest, AMissingFileFailsWithAWarning) {
    auto* s = NewPlayer();
    EXPECT_EQ(0, s->OpenSequenceFile("nothere.hseq", 0, -1));
    EXPECT_FALSE(s->IsSequenceRunning());
    EXPECT_EQ("", s->GetFileName());
    std::string path = media.file("/sequences/nothere.hseq");
    EXPECT_TRUE(log.contains("Sequence file " + path + " does not exist"));
    auto warnings = WarningHolder::GetWarnings();
    EXPECT_NE(warnings.end(), std::find(warnings.begin(), warnings.end(), "Sequence file " + path + " does not exist\n"));
    WarningHolder::RemoveWarning("Sequence file " + path + " does not exist\n");
    EXPECT_EQ(0, s->OpenSequenceFile("", 0, -1));
    EXPECT_TRUE(log.contains("Empty Sequence Filename!"));
}

TEST_F(SequenceTest, NamesLeadingOutOfTheSequencesFolderAreRefused) {
    MakeShow("a.hseq", spec);
    media.write("/config/x.hseq", GetFileContents(media.file("/sequences/a.hseq")));
    auto* s = NewPlayer();
    EXPECT_EQ(0, s->OpenSequenceFile("../config/x.hseq", 0, -1));
    EXPECT_EQ(0, s->OpenSequenceFile(media.file("/config/x.hseq"), 0, -1));
    EXPECT_EQ(-1, BufferFrame());
}

TEST_F(SequenceTest, AFileThatIsNotASequenceFailsToOpen) {
    media.write("/sequences/junk.hseq", "this is not a sequence file at all");
    auto* s = NewPlayer();
    EXPECT_EQ(0, s->OpenSequenceFile("junk.hseq", 0, -1));
    EXPECT_TRUE(log.contains("HSEQFile::openHSEQFile returned NULL"));
    EXPECT_FALSE(s->IsSequenceRunning());
}

TEST_F(SequenceTest, ARemoteUsesItsHostFileOrTheFallback) {
    ShowSpec other = spec, fallback = spec;
    other.seed = 2;
    fallback.seed = 3;
    MakeShow("show.hseq", spec);
    MakeShow("show-h1.hseq", other);
    setKIVmode(MODE_REMOTE);
    SetSetting("HostName", "h1");
    auto* s = NewPlayer();
    ASSERT_EQ(1, s->OpenSequenceFile("show.hseq", 0, -1));
    EXPECT_EQ(0, BufferFrame(other));
    EXPECT_EQ("show.hseq", s->GetFileName());

    EXPECT_EQ(0, s->OpenSequenceFile("missing.hseq", 0, -1));
    MakeShow("fallback.hseq", fallback);
    ASSERT_EQ(1, s->OpenSequenceFile("missing.hseq", 0, -1));
    EXPECT_EQ("fallback.hseq", s->GetFileName());
    EXPECT_EQ(0, BufferFrame(fallback));
    SetSetting("HostName", "");
}

TEST_F(SequenceTest, ALateFrameRepeatsTheLastOneAndTheReaderSkipsAhead) {
    MakeShow("a.hseq", spec);
    auto* s = NewPlayer<GatedSequence>();
    s->Gate(8);
    ASSERT_EQ(1, s->StartSequence("a.hseq", 0));
    for (int n = 1; n <= 7; ++n) {
        ReadNext();
        ASSERT_EQ(n, BufferFrame());
    }
    ASSERT_TRUE(waitUntil([&] { return s->Waiting(8); }, 5000));
    // Frame 8 does not come within the period: frame 7 goes out again.
    s->ReadSequenceData(false);
    EXPECT_EQ(7, BufferFrame());
    s->Gate(-1);
    ReadNext();
    EXPECT_EQ(9, BufferFrame());
    ReadNext();
    EXPECT_EQ(10, BufferFrame());
    EXPECT_EQ(1, s->Reads(8));
}

TEST_F(SequenceTest, FramesOfAMillionChannelsAreHeldByTheMegabyteAndReadThroughReusedBlocks) {
    ShowSpec big = spec;
    big.channels = 1048576;
    big.frames = 120;  // twelve zstd blocks: later ones are read into buffers of earlier ones
    big.versionMajor = 2;
    big.compression = HSEQFile::CompressionType::zstd;
    MakeShow("big.hseq", big);
    auto* s = NewPlayer<GatedSequence>();
    ASSERT_EQ(1, s->StartSequence("big.hseq", 0));
    // 16 MiB ahead and 4 MiB behind: 16 frames ahead, 4 shown ones kept.
    ASSERT_TRUE(waitUntil([&] { return s->GetReadAheadCount() == 16; }, 5000));
    EXPECT_FALSE(waitUntil([&] { return s->GetReadAheadCount() > 16; }, 300));
    std::vector<uint8_t> want(big.channels);
    auto shows = [&](int n) {
        RenderShowFrame(big, (uint32_t)n, want.data());
        return memcmp(want.data(), player->GetChannelData(), CHANNELS) == 0;
    };
    for (int n = 1; n < 120; ++n) {
        ReadNext();
        ASSERT_TRUE(shows(n)) << "frame " << n;
        if (n == 10) {
            s->SeekSequenceFile(7);  // in the history
            ReadNext();
            ASSERT_TRUE(shows(7));
            EXPECT_EQ(1, s->Reads(7));
            s->SeekSequenceFile(5);  // behind it: read again
            ReadNext();
            ASSERT_TRUE(shows(5));
            EXPECT_EQ(2, s->Reads(5));
            s->SeekSequenceFile(11);
        }
    }
}

TEST_F(SequenceTest, SeekingIntoTheHistoryReplaysFramesWithoutReadingThemAgain) {
    MakeShow("a.hseq", spec);
    auto* s = NewPlayer<GatedSequence>();
    ASSERT_EQ(1, s->StartSequence("a.hseq", 0));
    for (int n = 1; n <= 15; ++n) ReadNext();
    ASSERT_EQ(15, BufferFrame());
    EXPECT_EQ(1, s->SeekSequenceFile(10));
    for (int n = 10; n <= 17; ++n) {
        ReadNext();
        ASSERT_EQ(n, BufferFrame());
    }
    for (int n = 10; n <= 15; ++n) EXPECT_EQ(1, s->Reads(n)) << "frame " << n;
}

TEST_F(SequenceTest, SeekingOutsideWhatIsQueuedReadsFromTheNewPosition) {
    spec.frames = 200;
    MakeShow("a.hseq", spec);
    auto* s = NewPlayer<GatedSequence>();
    ASSERT_EQ(1, s->StartSequence("a.hseq", 0));
    ReadNext();
    ASSERT_EQ(1, BufferFrame());
    s->SeekSequenceFile(150);
    ReadNext();
    EXPECT_EQ(150, BufferFrame());
    ReadNext();
    EXPECT_EQ(151, BufferFrame());
    // Back past the history, after the reader had reached the end.
    spec.frames = 200;
    s->SeekSequenceFile(195);
    for (int n = 195; n < 200; ++n) ReadNext();
    ASSERT_TRUE(waitUntil([&] { return s->Reads(199) == 1; }, 5000));
    s->SeekSequenceFile(3);
    ReadNext();
    EXPECT_EQ(3, BufferFrame());
    EXPECT_TRUE(s->IsSequenceRunning());
    EXPECT_EQ(0, NewPlayer()->SeekSequenceFile(5)) << "nothing running";
}

TEST_F(SequenceTest, PauseHoldsTheFrameAndSingleStepsMoveByOne) {
    MakeShow("a.hseq", spec);
    auto* s = NewPlayer();
    ASSERT_EQ(1, s->StartSequence("a.hseq", 0));
    for (int n = 1; n <= 6; ++n) ReadNext();
    ASSERT_EQ(6, BufferFrame());
    s->ToggleSequencePause();
    EXPECT_TRUE(s->SequenceIsPaused());
    for (int i = 0; i < 3; ++i) s->ReadSequenceData(false);
    EXPECT_EQ(6, BufferFrame());
    s->SingleStepSequence();
    s->ReadSequenceData(false);
    EXPECT_EQ(7, BufferFrame());
    s->ReadSequenceData(false);
    EXPECT_EQ(7, BufferFrame());
    s->SingleStepSequenceBack();
    s->ReadSequenceData(false);
    EXPECT_EQ(6, BufferFrame());
    s->SingleStepSequenceBack();
    s->ReadSequenceData(false);
    EXPECT_EQ(5, BufferFrame());
    s->SingleStepSequence();
    s->ReadSequenceData(false);
    EXPECT_EQ(6, BufferFrame());
    EXPECT_EQ(6 * 250, s->GetElapsedMs());
    s->ToggleSequencePause();
    EXPECT_FALSE(s->SequenceIsPaused());
    ReadNext();
    EXPECT_EQ(7, BufferFrame());
    ReadNext();
    EXPECT_EQ(8, BufferFrame());
}

TEST_F(SequenceTest, StepBackWithoutHistoryReadsThePreviousFrameFromTheFile) {
    spec.frames = 200;
    MakeShow("a.hseq", spec);
    auto* s = NewPlayer<GatedSequence>();
    ASSERT_EQ(1, s->StartSequence("a.hseq", 0));
    s->SeekSequenceFile(120);
    ReadNext();
    ASSERT_EQ(120, BufferFrame());
    s->ToggleSequencePause();
    s->SingleStepSequenceBack();
    // The step shows exactly one frame back once the reader has it.
    ASSERT_TRUE(waitUntil([&] {
        s->ReadSequenceData(false);
        return BufferFrame() != 120;
    }, 5000));
    EXPECT_EQ(119, BufferFrame());
    s->ReadSequenceData(false);
    EXPECT_EQ(119, BufferFrame());
}

TEST_F(SequenceTest, BridgeRangesMergeOverTheFrameUntilTheyExpire) {
    auto* s = NewPlayer();
    std::vector<uint8_t> wide(100, 0xAA), narrow(10, 0x55), other(50, 0x33), otherShort(10, 0x44);
    long long now = GetTimeMS();
    s->SetBridgeData(wide.data(), 0, 100, now + 400);
    s->SetBridgeData(narrow.data(), 10, 10, now + 60000);
    // Same start, two lengths: the longer one is copied while it lives.
    s->SetBridgeData(other.data(), 200, 50, now + 400);
    s->SetBridgeData(otherShort.data(), 200, 10, now + 60000);
    EXPECT_TRUE(s->hasBridgeData());
    s->ProcessSequenceData(0);
    const uint8_t* d = s->GetChannelData();
    for (int c = 0; c < 100; ++c) ASSERT_EQ(c >= 10 && c < 20 ? 0x55 : 0xAA, d[c]) << "channel " << c;
    EXPECT_EQ(0, d[100]);
    for (int c = 200; c < 250; ++c) ASSERT_EQ(c < 210 ? 0x44 : 0x33, d[c]) << "channel " << c;
    EXPECT_EQ(0, d[250]);

    usleep(600000);
    s->BlankSequenceData(false);
    s->ProcessSequenceData(0);
    for (int c = 0; c < 300; ++c) {
        bool live = (c >= 10 && c < 20) || (c >= 200 && c < 210);
        ASSERT_EQ(live ? (c < 100 ? 0x55 : 0x44) : 0, d[c]) << "channel " << c;
    }
    EXPECT_TRUE(s->hasBridgeData());

    // Blanking with the bridge cleared forgets the ranges.
    s->BlankSequenceData(true);
    EXPECT_FALSE(s->hasBridgeData());
    s->ProcessSequenceData(0);
    EXPECT_TRUE(std::all_of(d, d + 300, [](uint8_t b) { return b == 0; }));
}

// Expiries are on the monotonic clock: a wall clock that NTP sets meanwhile
// neither ends live data early nor keeps stale data on.
TEST_F(SequenceTest, ExpiredBridgeRangesStopBeingLive) {
    auto* s = NewPlayer();
    std::vector<uint8_t> bytes(16, 9);
    s->SetBridgeData(bytes.data(), 0, 16, MonotonicUs() / 1000 + 100);
    s->ProcessSequenceData(0);
    EXPECT_TRUE(s->hasBridgeData());
    EXPECT_EQ(9, s->GetChannelData()[15]);
    usleep(300000);
    s->ProcessSequenceData(0);
    EXPECT_FALSE(s->hasBridgeData());
}

TEST_F(SequenceTest, BridgeDataBeyondTheBufferIsRefused) {
    auto* s = NewPlayer();
    std::vector<uint8_t> bytes(100, 1);
    s->SetBridgeData(bytes.data(), Sequence::MAX_CHANNELS, 100, GetTimeMS() + 60000);
    s->SetBridgeData(bytes.data(), -5, 10, GetTimeMS() + 60000);
    EXPECT_FALSE(s->hasBridgeData());
    s->SetBridgeData(bytes.data(), Sequence::MAX_CHANNELS, 8, GetTimeMS() + 60000);
    EXPECT_TRUE(s->hasBridgeData());
}

TEST_F(SequenceTest, BridgeDataDuringASequenceFollowsThePrioritySetting) {
    const std::string warning = "Received bridging data while sequence is running.";
    auto hasWarning = [&] {
        auto w = WarningHolder::GetWarnings();
        return std::find(w.begin(), w.end(), warning) != w.end();
    };
    std::vector<uint8_t> bytes(16, 7);
    MakeShow("a.hseq", spec);

    struct Case {
        const char* priority;
        bool stored;
        bool warned;
    };
    for (Case c : {Case{"Prioritize Sequence", false, false}, Case{"Warn If Sequence Running", false, true},
                   Case{"Prioritize Bridge", true, false}}) {
        SCOPED_TRACE(c.priority);
        WarningHolder::RemoveWarning(warning);
        SetSetting("bridgeDataPriority", c.priority);
        auto* s = NewPlayer();
        ASSERT_EQ(1, s->StartSequence("a.hseq", 0));
        s->SetBridgeData(bytes.data(), 0, 16, GetTimeMS() + 60000);
        EXPECT_EQ(c.stored, (bool)s->hasBridgeData());
        EXPECT_EQ(c.warned, hasWarning());
        // Without a sequence bridge data is always taken.
        s->CloseSequenceFile();
        s->SetBridgeData(bytes.data(), 0, 16, GetTimeMS() + 60000);
        EXPECT_TRUE(s->hasBridgeData());
    }
    WarningHolder::RemoveWarning(warning);
}

// Bridge data, effects and overlay models draw on the frame's own bytes, and
// every channel they cover is given back: the frame processed again, shown
// again from the history or left with nothing drawn is exactly as read. A
// drawer that reaches past the frame's bytes, or an output that reads past
// them, makes the player draw on a copy instead (zeros past the frame, never
// bytes beyond it).
TEST_F(SequenceTest, DrawingOnAFrameLeavesItsOwnBytesAsRead) {
    SetSetting("bridgeDataPriority", "Prioritize Bridge");
    MakeShow("a.hseq", spec);
    mkdir(media.file("/effects").c_str(), 0775);
    ASSERT_TRUE(hseqtest::WriteFile(media.file("/effects/Snow.eseq"),
                                    hseqtest::BuildESEQ(10, 1001, 10, {hseqtest::Bytes(10, 0xDD)})));
    std::vector<uint8_t> bridge(16, 0xEE);
    struct Case {
        const char* name;
        uint32_t first, count;  // the channels drawn (0-based)
        uint8_t value;
        bool copy;        // drawn on a copy
        bool outputPast;  // an output reads past the frame
    };
    const Case cases[] = {
        {"bridge data", 0, 16, 0xEE, false, false},
        {"an effect", 1000, 10, 0xDD, false, false},
        {"an overlay model", 100, 12, 0x77, false, false},
        {"a model past the frame", CHANNELS - 3, 24, 0x77, true, false},
        {"bridge data, an output past the frame", 0, 16, 0xEE, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CaptureOutput* beyond = nullptr;
        if (c.outputPast) AddChannelOutput(beyond = new CaptureOutput(CHANNELS, 64));
        bool model = std::string(c.name).find("model") != std::string::npos;
        if (model) {
            ASSERT_TRUE(PixelOverlayManager::INSTANCE.LoadModels(
                JsonDoc("{\"models\": [{\"name\": \"M\", \"startChannel\": " + std::to_string(c.first + 1) +
                    ", \"width\": " + std::to_string(c.count / 3) + ", \"height\": 1}]}"),
                "test"));
        }
        auto draw = [&](bool on) {
            if (c.value == 0xEE) {
                player->SetBridgeData(bridge.data(), 0, 16, on ? GetTimeMS() + 60000 : 0);
            } else if (model) {
                // Off: transparent and black, the frame beneath shows.
                auto* m = PixelOverlayManager::INSTANCE.getModel("M");
                std::vector<uint8_t> rgb(c.count, on ? c.value : 0);
                m->setData(rgb.data());
                m->setState(on ? PixelOverlayModel::STATE_ENABLED : PixelOverlayModel::STATE_TRANSPARENT);
            } else if (on) {
                ASSERT_EQ(1, StartEffect("Snow", 0, 1, true));
            } else {
                StopEffect("Snow");
            }
        };
        // The frame beneath, checked apart from the drawn channels, and the
        // drawn ones (within the frame).
        auto shows = [&](int frame, bool drawn) {
            std::vector<uint8_t> want(CHANNELS);
            RenderShowFrame(spec, (uint32_t)frame, want.data());
            if (drawn) {
                for (uint32_t i = c.first; i < std::min(c.first + c.count, CHANNELS); ++i) want[i] = c.value;
            }
            return memcmp(want.data(), player->GetChannelData(), CHANNELS) == 0;
        };
        auto* s = NewPlayer();
        const uint8_t* copy = s->GetChannelData();
        ASSERT_EQ(1, s->StartSequence("a.hseq", 0));
        ReadNext();
        draw(true);
        for (int i = 0; i < 3; ++i) s->ProcessSequenceData(0);
        EXPECT_TRUE(shows(1, true));
        EXPECT_EQ(c.copy, s->GetChannelData() == copy);
        draw(false);
        s->ProcessSequenceData(0);
        EXPECT_EQ(1, BufferFrame()) << "nothing drawn: the frame as read";

        draw(true);
        s->ProcessSequenceData(0);
        ReadNext();
        s->ProcessSequenceData(0);
        EXPECT_TRUE(shows(2, true));
        s->SeekSequenceFile(1);
        s->ReadSequenceData(false);
        s->ProcessSequenceData(0);
        EXPECT_TRUE(shows(1, true)) << "frame 1 from the history, drawn on once";
        draw(false);
        s->ProcessSequenceData(0);
        EXPECT_EQ(1, BufferFrame());
        s->SendSequenceData();
        if (beyond) {
            auto past = beyond->Frames().back().bytes;
            EXPECT_TRUE(std::all_of(past.begin(), past.end(), [](uint8_t b) { return b == 0; }));
        }
        PixelOverlayManager::INSTANCE.LoadModels(JsonDoc("{\"models\": []}"), "test");
    }
    PixelOverlayManager::INSTANCE.Cleanup();
}

TEST_F(SequenceTest, SendBlankingDataSendsZeroesAndForgetsBridgeData) {
    MakeShow("a.hseq", spec);
    auto* s = NewPlayer();
    ASSERT_EQ(1, s->OpenSequenceFile("a.hseq", 0, -1));
    std::vector<uint8_t> bytes(16, 7);
    s->SetBridgeData(bytes.data(), 100, 16, GetTimeMS() + 60000);
    capture->Clear();
    s->SendBlankingData();
    ASSERT_EQ(1u, capture->Count());
    auto sent = capture->Frames()[0].bytes;
    EXPECT_TRUE(std::all_of(sent.begin(), sent.end(), [](uint8_t b) { return b == 0; }));
    EXPECT_FALSE(s->hasBridgeData());
}

TEST_F(SequenceTest, FrameScheduledPresetsAndEffectsFireOnceAtTheirFrames) {
    media.write("/config/commandPresets.json",
                R"({"commands": [
                  {"name": "Lights", "command": "Record Test", "args": ["Lights", "%SEQUENCE_NAME%"]},
                  {"name": "Lights_END", "command": "Record Test", "args": ["Lights_END"]},
                  {"name": "Other", "command": "Record Test", "args": ["Other"]}]})");
    spec.frames = 12;
    spec.extraHeaders.emplace_back("FC", hseqtest::FrameNamesHeader({{"Lights", {{3, 6}}}, {"Other", {{8, 9}, {10, 11}}}}));
    spec.extraHeaders.emplace_back("FE", hseqtest::FrameNamesHeader({{"Snow", {{2, 4}}}}));
    MakeShow("a.hseq", spec);
    // Snow: channels 1001-1010, every byte 0xEE.
    mkdir(media.file("/effects").c_str(), 0775);
    ASSERT_TRUE(hseqtest::WriteFile(media.file("/effects/Snow.eseq"),
                                    hseqtest::BuildESEQ(10, 1001, 10, {hseqtest::Bytes(10, 0xEE)})));
    auto* s = NewPlayer();
    ASSERT_EQ(1, s->StartSequence("a.hseq", 0));
    TakeRecorded();  // SEQUENCE_STARTED is not bound here
    // Read when the sequence opened, not on the output thread at its frame:
    // bytes changed since (size and time kept) are not what it shows.
    struct stat st;
    std::string snow = media.file("/effects/Snow.eseq");
    ASSERT_EQ(0, stat(snow.c_str(), &st));
    ASSERT_TRUE(hseqtest::WriteFile(snow, hseqtest::BuildESEQ(10, 1001, 10, {hseqtest::Bytes(10, 0xDD)})));
    timespec times[2] = {st.st_atim, st.st_mtim};
    ASSERT_EQ(0, utimensat(AT_FDCWD, snow.c_str(), times, 0));

    std::vector<std::pair<int, std::string>> fired;  // frame, preset
    for (int n = 0; n < 12; ++n) {
        if (n) ReadNext();
        // The effect is in the frame it starts with, not in the one it stops at.
        s->ProcessSequenceData(0);
        const uint8_t* data = s->GetChannelData();
        uint32_t frame;
        memcpy(&frame, data, 4);
        ASSERT_EQ(n, (int)frame);
        EXPECT_EQ(n == 2 || n == 3, data[1000] == 0xEE && data[1009] == 0xEE) << "frame " << n;
        s->SendSequenceData();
        s->SendSequenceData();  // the same frame again fires nothing
        for (auto& r : TakeRecorded()) {
            fired.push_back({r.frame, r.args[0]});
            if (r.args[0] == "Lights") {
                EXPECT_EQ((std::vector<std::string>{"Lights", "a.hseq"}), r.args);
            }
        }
    }
    // Other_END has no binding here: it fires but runs nothing.
    std::vector<std::pair<int, std::string>> want{{3, "Lights"}, {6, "Lights_END"}, {8, "Other"}, {10, "Other"}};
    EXPECT_EQ(want, fired);
    EXPECT_EQ(1, log.count("Effect Snow started at channel 1001"));
    EXPECT_FALSE(IsEffectRunning());
}

TEST_F(SequenceTest, ATruncatedFrameNamesHeaderKeepsTheEntriesBeforeTheBreak) {
    media.write("/config/commandPresets.json",
                R"({"commands": [{"name": "First", "command": "Record Test", "args": ["First"]},
                                 {"name": "Second", "command": "Record Test", "args": ["Second"]}]})");
    auto header = hseqtest::FrameNamesHeader({{"First", {{1, 50}}}, {"Second", {{2, 50}}}});
    header.resize(header.size() - 6);
    spec.frames = 5;
    spec.extraHeaders.emplace_back("FC", header);
    MakeShow("a.hseq", spec);
    auto* s = NewPlayer();
    ASSERT_EQ(1, s->StartSequence("a.hseq", 0));
    EXPECT_TRUE(log.contains("the FC header is truncated"));
    for (int n = 1; n < 4; ++n) {
        ReadNext();
        s->SendSequenceData();
    }
    auto runs = TakeRecorded();
    ASSERT_EQ(1u, runs.size());
    EXPECT_EQ("First", runs[0].args[0]);
}
