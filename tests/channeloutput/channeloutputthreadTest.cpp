// The channel output thread with a real sequence player, real files and
// capturing outputs: pacing, completeness, resynchronisation, idle end,
// revival, forcing, and threaded outputs behind it.

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>

#include "CaptureOutput.h"
#include "Sequence.h"
#include "StallMeter.h"
#include "TestSupport.h"
#include "channeloutput/channeloutput.h"
#include "channeloutput/channeloutputthread.h"
#include "common.h"
#include "hseq/ShowGenerator.h"
#include "log.h"
#include "settings.h"

using namespace kivtest;

namespace {

// What one captured frame was: a show frame (checked byte for byte), a
// blank frame, or something else.
constexpr int BLANK = -1;
constexpr int GARBAGE = -2;

int Classify(const ShowSpec& spec, const std::vector<uint8_t>& bytes) {
    if (std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; })) return BLANK;
    if (bytes.size() < 4) return GARBAGE;
    uint32_t n;
    memcpy(&n, bytes.data(), 4);
    if (n >= spec.frames) return GARBAGE;
    std::vector<uint8_t> want(spec.channels);
    RenderShowFrame(spec, n, want.data());
    return std::equal(bytes.begin(), bytes.end(), want.begin()) ? (int)n : GARBAGE;
}

struct Played {
    std::vector<int> frames;      // classification of every captured frame
    std::vector<long long> times;
};

class OutputThreadTest : public ::testing::Test {
protected:
    static constexpr uint32_t CHANNELS = 4096;

    void SetUp() override {
        setKIVmode(MODE_PLAYER);
        VB_SEQUENCE.level = LOG_DEBUG;  // late reads are reported; restored by the capture
        SetSetting("E131BridgingInterval", 50);
        SetSetting("alwaysTransmit", 0);
        SetSetting("mediaOffset", 0);
        EnableChannelOutput();
        FrameSkip = 0;
        ResetMasterPosition();
        capture = new CaptureOutput(0, CHANNELS);
        AddChannelOutput(capture);
        player = std::make_unique<Sequence>();
        sequence = player.get();
        spec.channels = CHANNELS;
        spec.frames = 80;
        spec.stepMs = 25;
        spec.versionMajor = 2;
        spec.compression = HSEQFile::CompressionType::zstd;
    }

    void TearDown() override {
        EXPECT_EQ(0, StopChannelOutputThread());
        player.reset();
        sequence = nullptr;
        CloseChannelOutputs();
        FrameSkip = 0;
        outputForced = 0;
        setKIVmode(MODE_PLAYER);
    }

    void MakeShow(const std::string& name) { ASSERT_TRUE(GenerateShow(media.file("/sequences/" + name), spec)); }

    // Plays name to its end and returns what the capture saw, up to the
    // blank frame that closing sends.
    Played PlayToEnd(const std::string& name, int timeoutMs = 30000) {
        Played p;
        EXPECT_EQ(1, player->StartSequence(name, 0));
        EXPECT_TRUE(waitUntil([&] { return !player->IsSequenceRunning(); }, timeoutMs));
        EXPECT_TRUE(waitUntil(
            [&] {
                auto f = capture->Frames();
                return !f.empty() && Classify(spec, f.back().bytes) == BLANK;
            },
            5000));
        for (auto& f : capture->Frames()) {
            p.frames.push_back(Classify(spec, f.bytes));
            p.times.push_back(f.timeUs);
        }
        return p;
    }

    // Late reads that made a frame go out again.
    int LateReads() { return log.count("goes out again"); }

    // Before any thread starts and gone only after TearDown stopped them all:
    // the threads read the log destination and levels.
    LogCapture log;
    TempMediaDir media;
    TempInstallDir install;
    CaptureOutput* capture = nullptr;
    std::unique_ptr<Sequence> player;
    ShowSpec spec;
    // A loaded machine runs the output thread late: bounds on its timing
    // widen by twice the worst wake-up delay it gave a thread of this test.
    StallMeter stalls;
    double SlackMs() const { return 2 * stalls.worstUs() / 1000.0; }
};

// Every show frame once and in order, the first of them frame 0 and nothing
// before it, then blank frames only. The exceptions are the frames the log
// reports as not read in time (a busy machine starves the reader): the frame
// shown goes out again and, past frame 0, the late one is skipped so the
// show keeps time; there may be as many of each as there were late reads.
// Returns the index of the first copy of frame 0.
size_t ExpectCompleteInOrder(const Played& p, int frames, int lateReads) {
    size_t i = 0;
    while (i < p.frames.size() && p.frames[i] == 0) ++i;
    EXPECT_GE(i, 1u) << (p.frames.empty() ? "nothing went out"
                                          : "the first frame sent was " + std::to_string(p.frames[0]));
    int repeats = (int)i - 1, skips = 0;
    int last = 0;
    for (; i < p.frames.size() && p.frames[i] != BLANK; ++i) {
        int n = p.frames[i];
        if (n == last) {
            ++repeats;
        } else if (n > last && n < frames) {
            skips += n - last - 1;
            last = n;
        } else {
            ADD_FAILURE() << "position " << i << " holds " << n << " after frame " << last;
            return 0;
        }
    }
    EXPECT_EQ(frames - 1, last) << "the show stops early";
    std::string sent;
    for (size_t k = 0; k < std::min<size_t>(p.frames.size(), 12); ++k) {
        sent += std::to_string(p.frames[k]) + "@" + std::to_string((p.times[k] - p.times[0]) / 1000) + "ms ";
    }
    EXPECT_LE(repeats, lateReads) << "frames went out again with no late read; the first sent: " << sent;
    EXPECT_LE(skips, lateReads) << "frames were left out with no late read";
    for (; i < p.frames.size(); ++i) EXPECT_EQ(BLANK, p.frames[i]) << "after the last frame, position " << i;
    return 0;
}

// An output that sends from the channel buffer on a thread of its own and
// returns from SendData at once (as the UDP engine does when its workers
// overrun their budget); its device reads the buffer for readUs.
class AsyncSendOutput : public ChannelOutput {
public:
    AsyncSendOutput(uint32_t count, int readUs) : ChannelOutput(0, count), m_readUs(readUs) {}
    ~AsyncSendOutput() override { WaitForSendsToFinish(); }
    int SendData(unsigned char* data) override {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_reader.joinable()) m_reader.join();
        m_reader = std::thread([this, data] {
            uint64_t before = HashBytes(data, m_channelCount);
            usleep(m_readUs);
            if (HashBytes(data, m_channelCount) != before) ++torn;
            ++sent;
        });
        return 1;
    }
    void WaitForSendsToFinish() override {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_reader.joinable()) m_reader.join();
    }
    void GetRequiredChannelRanges(const std::function<void(int, int)>& add) override {
        add(0, (int)m_channelCount - 1);
    }
    std::atomic<int> torn{0};  // frames whose bytes changed while being sent
    std::atomic<int> sent{0};

private:
    int m_readUs;
    std::mutex m_lock;  // guards m_reader (joined from the output thread and by blanking callers)
    std::thread m_reader;
};

// A player whose storage takes `us` to read each of frames `from` to `to`;
// by default 80 ms for the first frame (more than the start waits for it).
class SlowFirstFrameSequence : public Sequence {
public:
    explicit SlowFirstFrameSequence(uint32_t from = 0, uint32_t to = 0, int us = 80000)
        : m_from(from), m_to(to), m_us(us) {}
    ~SlowFirstFrameSequence() override { StopReadThread(); }

protected:
    HSEQFile::FrameData* ReadFrameFromFile(HSEQFile* file, uint32_t frame) override {
        if (frame >= m_from && frame <= m_to) usleep(m_us);
        return Sequence::ReadFrameFromFile(file, frame);
    }
    const uint32_t m_from, m_to;
    const int m_us;
};

}  // namespace

TEST_F(OutputThreadTest, PlaysEveryFrameOnceInOrderAtTheFrameRate) {
    MakeShow("show.hseq");
    Played p = PlayToEnd("show.hseq");
    size_t first = ExpectCompleteInOrder(p, 80, LateReads());
    // From frame 0 to frame 79: 79 periods of 25 ms. A busy machine may wake
    // the thread late now and then, so the bound is loose; the benchmark
    // reports the real figure.
    auto last = std::find(p.frames.begin(), p.frames.end(), 79) - p.frames.begin();
    ASSERT_LT((size_t)last, p.frames.size());
    double totalMs = (p.times[last] - p.times[first]) / 1000.0;
    RecordProperty("totalMs", std::to_string(totalMs));
    EXPECT_NEAR(79 * 25.0, totalMs, 200.0 + SlackMs());
    EXPECT_FALSE(player->IsSequenceRunning());
}

// A playlist opens a sequence and starts it a moment later; until the start
// nothing of it goes out, and then frame 0 once, starting the frame grid.
TEST_F(OutputThreadTest, TheFirstFrameGoesOutOnceWhenTheStartComesPeriodsAfterTheOpen) {
    spec.frames = 40;
    MakeShow("show.hseq");
    ASSERT_EQ(1, player->OpenSequenceFile("show.hseq", 0, -1));
    usleep(150000);  // six periods
    EXPECT_EQ(0u, capture->Count()) << "frames sent before the start";
    player->StartSequence();
    ASSERT_TRUE(waitUntil([&] { return !player->IsSequenceRunning(); }, 30000));
    ASSERT_TRUE(waitUntil([&] { return Classify(spec, capture->Frames().back().bytes) == BLANK; }, 5000));
    Played p;
    for (auto& f : capture->Frames()) {
        p.frames.push_back(Classify(spec, f.bytes));
        p.times.push_back(f.timeUs);
    }
    size_t first = ExpectCompleteInOrder(p, 40, LateReads());
    auto last = std::find(p.frames.begin(), p.frames.end(), 39) - p.frames.begin();
    ASSERT_LT((size_t)last, p.frames.size());
    EXPECT_NEAR(39 * 25.0, (p.times[last] - p.times[first]) / 1000.0, 200.0 + SlackMs());
}

// Sixteen starts in a row, as the command "Start Sequence" does them (open,
// then start at once): the first frame goes out once every time.
TEST_F(OutputThreadTest, EveryStartSendsTheFirstFrameOnce) {
    spec.frames = 6;
    MakeShow("show.hseq");
    for (int run = 0; run < 16; ++run) {
        SCOPED_TRACE("start " + std::to_string(run));
        capture->Clear();
        Played p = PlayToEnd("show.hseq");
        ExpectCompleteInOrder(p, 6, LateReads());
    }
}

// The first frame read after the start (slow storage): it goes out once
// when it comes, and the frames after it follow.
TEST_F(OutputThreadTest, AFirstFrameReadLateGoesOutOnceWhenItComes) {
    player.reset();
    player = std::make_unique<SlowFirstFrameSequence>();
    sequence = player.get();
    spec.frames = 20;
    MakeShow("show.hseq");
    Played p = PlayToEnd("show.hseq");
    ExpectCompleteInOrder(p, 20, LateReads());
}

// Frames after the first that read slower than the frame rate (new memory,
// a cold disk) are read ahead before the first frame goes out: none is late.
TEST_F(OutputThreadTest, SlowFramesAfterTheFirstAreReadAheadBeforeTheStart) {
    player.reset();
    player = std::make_unique<SlowFirstFrameSequence>(1, 3, 40000);
    sequence = player.get();
    spec.frames = 20;
    MakeShow("show.hseq");
    ExpectCompleteInOrder(PlayToEnd("show.hseq"), 20, 0);
    EXPECT_EQ(0, LateReads());
}

TEST_F(OutputThreadTest, AShortStallIsMadeUpWithoutShiftingTheShow) {
    MakeShow("show.hseq");
    ASSERT_EQ(1, player->StartSequence("show.hseq", 0));
    ASSERT_TRUE(waitUntil([&] { return channelOutputFrame >= 20; }, 10000));
    capture->DelayNextSendUs(85000);  // more than three periods
    Played p = PlayToEnd("show.hseq");
    size_t first = ExpectCompleteInOrder(p, 80, LateReads());
    auto last = std::find(p.frames.begin(), p.frames.end(), 79) - p.frames.begin();
    ASSERT_LT((size_t)last, p.frames.size());
    // The frames after the stall follow at once until the show is back on
    // its grid: the end is where it would have been (a new grid started
    // after the stall would put it about 60 ms later).
    EXPECT_NEAR(79 * 25.0, (p.times[last] - p.times[first]) / 1000.0, 40.0 + SlackMs());
}

// The next frame is not written into the buffer while an output still sends
// the last one from it: the show waits, every frame goes out whole.
TEST_F(OutputThreadTest, TheBufferIsNotRewrittenWhileAnOutputStillSendsFromIt) {
    auto* async = new AsyncSendOutput(CHANNELS, 40000);  // longer than the 25 ms period
    AddChannelOutput(async);
    spec.frames = 20;
    MakeShow("show.hseq");
    Played p = PlayToEnd("show.hseq");
    ExpectCompleteInOrder(p, 20, LateReads());
    EXPECT_TRUE(waitUntil([&] { return async->sent >= 20; }, 5000));
    EXPECT_EQ(0, (int)async->torn) << "frames whose bytes changed while being sent";
}

// Sending that takes longer than the period slows the show down (every
// frame still goes out, in order) and is reported once, not per frame; when
// sending is quick again the show keeps its frame grid and says so.
TEST_F(OutputThreadTest, FramesThatTakeLongerThanTheirPeriodSlowTheShowAndAreReportedOnce) {
    capture->SetSendDelayUs(40000);
    spec.frames = 90;
    MakeShow("show.hseq");
    ASSERT_EQ(1, player->StartSequence("show.hseq", 0));
    ASSERT_TRUE(waitUntil([&] { return channelOutputFrame >= 25; }, 10000));
    capture->SetSendDelayUs(0);
    Played p = PlayToEnd("show.hseq");
    ExpectCompleteInOrder(p, 90, LateReads());
    // Once when it begins, not for each of the 25 slow frames; and once
    // more for each time the show was back on its grid for a second (a
    // busy machine may delay that, or make it fall behind again).
    int behind = log.count("Output Thread is falling behind its frame grid");
    int back = log.count("Output Thread is on its frame grid again");
    EXPECT_GE(behind, 1) << log.text();
    EXPECT_LE(behind, back + 1) << log.text();
    EXPECT_LE(log.count("SLOW Output Thread"), behind) << log.text();
    // The slow part ran at one frame per 40 ms; the rest at 25 ms again.
    auto at = [&](int frame) { return p.times[std::find(p.frames.begin(), p.frames.end(), frame) - p.frames.begin()]; };
    EXPECT_GT((at(20) - at(0)) / 1000.0, 20 * 35.0);
    EXPECT_NEAR((at(89) - at(60)) / 1000.0, 29 * 25.0, 100.0 + SlackMs());
}

TEST_F(OutputThreadTest, PlaysAVersionOneFileAsWell) {
    spec.versionMajor = 1;
    spec.frames = 40;
    MakeShow("v1.hseq");
    ExpectCompleteInOrder(PlayToEnd("v1.hseq"), 40, LateReads());
}

TEST_F(OutputThreadTest, EachOutputGetsItsOwnChannelRanges) {
    auto* sparse = new CaptureOutput({{512, 100}, {3000, 50}});
    AddChannelOutput(sparse);
    spec.frames = 20;
    MakeShow("show.hseq");
    PlayToEnd("show.hseq");
    std::vector<uint8_t> full(CHANNELS);
    int checked = 0;
    for (auto& f : sparse->Frames()) {
        uint32_t n;
        memcpy(&n, f.bytes.data(), 4);  // channel 512 starts universe 1
        if (std::all_of(f.bytes.begin(), f.bytes.end(), [](uint8_t b) { return b == 0; })) continue;
        ASSERT_LT(n, spec.frames);
        RenderShowFrame(spec, n, full.data());
        ASSERT_EQ(sparse->Extract(full.data()), f.bytes);
        ++checked;
    }
    EXPECT_GE(checked, 20);
}

TEST_F(OutputThreadTest, ASlowDeviceBehindAThreadedOutputDoesNotDelayTheFrameClock) {
    auto* device = new SlowDeviceOutput(0, CHANNELS, 75000);  // three periods per frame
    Json::Value config;
    config["type"] = "SlowDevice";
    ASSERT_EQ(1, device->Init(config));
    AddChannelOutput(device);
    MakeShow("show.hseq");
    Played p = PlayToEnd("show.hseq");
    size_t first = ExpectCompleteInOrder(p, 80, LateReads());
    auto last = std::find(p.frames.begin(), p.frames.end(), 79) - p.frames.begin();
    ASSERT_LT((size_t)last, p.frames.size());
    // Sending waited for the device, it would take 80 x 75 ms = 6 s.
    EXPECT_NEAR(79 * 25.0, (p.times[last] - p.times[first]) / 1000.0, 200.0 + SlackMs());
    EXPECT_FALSE(log.contains("SLOW Output Thread"));

    ASSERT_TRUE(device->WaitForCount(1, 2000));
    usleep(200000);
    auto sent = device->Frames();
    // The device sends whole frames, the newest at each turn, in order.
    EXPECT_GE(sent.size(), 10u);
    EXPECT_LE(sent.size(), 40u);
    int previous = -1;
    for (auto& f : sent) {
        int n = Classify(spec, f.bytes);
        ASSERT_NE(GARBAGE, n);
        if (n == BLANK) continue;
        EXPECT_GE(n, previous);
        previous = n;
    }
    EXPECT_GE(previous, 70);
}

TEST_F(OutputThreadTest, ASlowOutputOnTheThreadItselfIsReportedAsASlowLoop) {
    capture->SetSendDelayUs(60000);
    spec.frames = 12;
    MakeShow("show.hseq");
    Played p = PlayToEnd("show.hseq");
    ExpectCompleteInOrder(p, 12, LateReads());
    EXPECT_EQ(1, log.count("SLOW Output Thread: Loop: 25000us")) << "reported once, not per frame";
    // This time the clock did wait for the output.
    auto last = std::find(p.frames.begin(), p.frames.end(), 11) - p.frames.begin();
    EXPECT_GT((p.times[last] - p.times[0]) / 1000.0, 11 * 50.0);
}

TEST_F(OutputThreadTest, AFrameSkipFromTheMasterJumpsAheadAtTheNextRead) {
    spec.frames = 200;
    MakeShow("show.hseq");
    ASSERT_EQ(1, player->StartSequence("show.hseq", 0));
    ASSERT_TRUE(waitUntil([&] { return channelOutputFrame >= 20; }, 10000));
    FrameSkip = 30;
    ASSERT_TRUE(waitUntil([&] { return FrameSkip == 0 && channelOutputFrame >= 80; }, 10000));
    FrameSkip = -1;
    ASSERT_TRUE(waitUntil([&] { return !player->IsSequenceRunning(); }, 20000));
    ASSERT_TRUE(waitUntil([&] { return Classify(spec, capture->Frames().back().bytes) == BLANK; }, 5000));

    std::vector<int> shown;
    for (auto& f : capture->Frames()) {
        int n = Classify(spec, f.bytes);
        ASSERT_NE(GARBAGE, n);
        if (n != BLANK && (shown.empty() || n != 0 || shown.back() != 0)) shown.push_back(n);
    }
    int skips = 0, holds = 0;
    for (size_t i = 1; i < shown.size(); ++i) {
        int step = shown[i] - shown[i - 1];
        if (step == 31) {
            ++skips;
        } else if (step == 0) {
            ++holds;
            EXPECT_GE(shown[i], 80);
        } else {
            ASSERT_EQ(1, step) << "from frame " << shown[i - 1] << " to " << shown[i];
        }
    }
    EXPECT_EQ(1, skips);
    EXPECT_EQ(1, holds);
    EXPECT_EQ(199, shown.back());
    EXPECT_EQ(200u - 30u + 1u, shown.size());
}

TEST_F(OutputThreadTest, WithNothingToSendTheThreadEndsAfterTheIdleWaitAndAStartRevivesIt) {
    // No file: the thread sends the (blank) buffer twice, then idles.
    ASSERT_EQ(1, StartChannelOutputThread());
    ASSERT_TRUE(capture->WaitForCount(1, 5000));
    ASSERT_TRUE(waitUntil([&] { return ThreadIsExiting == 1; }, 5000));
    long long lastSent = capture->Frames().back().timeUs;
    ASSERT_TRUE(waitUntil([&] { return !ChannelOutputThreadIsRunning(); }, 8000));
    double idleMs = (MonotonicUs() - lastSent) / 1000.0;
    EXPECT_GE(idleMs, 2400.0);
    EXPECT_LE(idleMs, 4500.0 + SlackMs());
    size_t before = capture->Count();
    EXPECT_LE(before, 3u);

    // Again, and this time a start during the idle wait.
    capture->Clear();
    ASSERT_EQ(1, StartChannelOutputThread());
    ASSERT_TRUE(waitUntil([&] { return ThreadIsExiting == 1; }, 5000));
    pid_t thread = capture->Frames().back().thread;
    size_t sentBefore = capture->Count();
    long long revivedAt = MonotonicUs();
    ASSERT_EQ(1, StartChannelOutputThread());
    EXPECT_TRUE(ChannelOutputThreadIsRunning());
    ASSERT_TRUE(capture->WaitForCount(sentBefore + 1, 5000));
    for (auto& f : capture->Frames()) EXPECT_EQ(thread, f.thread);
    // The revived thread idles out on its own clock again.
    ASSERT_TRUE(waitUntil([&] { return !ChannelOutputThreadIsRunning(); }, 8000));
    EXPECT_GE((MonotonicUs() - revivedAt) / 1000.0, 2400.0);
}

TEST_F(OutputThreadTest, StartingASequenceDuringTheIdleWaitRevivesTheSameThread) {
    spec.frames = 20;
    MakeShow("show.hseq");
    ASSERT_EQ(1, StartChannelOutputThread());
    ASSERT_TRUE(waitUntil([&] { return ThreadIsExiting == 1; }, 5000));
    pid_t thread = capture->Frames().back().thread;
    capture->Clear();
    Played p = PlayToEnd("show.hseq");
    ExpectCompleteInOrder(p, 20, LateReads());
    for (auto& f : capture->Frames()) EXPECT_EQ(thread, f.thread);
}

TEST_F(OutputThreadTest, ForcingOutputCutsThePeriodShort) {
    KIVLogger::INSTANCE.ChannelOut.level = LOG_DEBUG;
    SetChannelOutputRefreshRate(1.0f);  // one frame a second
    StartForcingChannelOutput();
    ASSERT_TRUE(capture->WaitForCount(2, 5000));
    usleep(100000);
    size_t before = capture->Count();
    long long forcedAt = MonotonicUs();
    ForceChannelOutputNow();
    ASSERT_TRUE(capture->WaitForCount(before + 1, 5000));
    long long arrived = capture->Frames()[before].timeUs;
    EXPECT_LT((arrived - forcedAt) / 1000.0, 600.0 + SlackMs());
    EXPECT_TRUE(waitUntil([&] { return log.contains("Forced output"); }, 2000));
    StopForcingChannelOutput();
    StopForcingChannelOutput();
    EXPECT_EQ(0, (int)outputForced);
    EXPECT_EQ(0, StopChannelOutputThread());
    KIVLogger::INSTANCE.ChannelOut.level = LOG_INFO;
}

// Forcing output while a show plays (fuse trips and re-enables on the main
// loop, blanking, a test starting) never runs the show ahead of its clock:
// every frame goes out once, none before its time counted from frame 0.
TEST_F(OutputThreadTest, ForcesWhileAShowPlaysNeverRunItAheadOfItsClock) {
    MakeShow("show.hseq");
    std::atomic<bool> forcing{true};
    std::thread forcer([&] {
        while (forcing) {
            ForceChannelOutputNow();
            usleep(10000);
        }
    });
    Played p = PlayToEnd("show.hseq");
    forcing = false;
    forcer.join();
    ExpectCompleteInOrder(p, 80, LateReads());
    size_t first = std::find(p.frames.begin(), p.frames.end(), 0) - p.frames.begin();
    for (size_t i = first; i < p.frames.size() && p.frames[i] >= 0; ++i) {
        long long sinceUs = p.times[i] - p.times[first];
        ASSERT_LE(p.frames[i], sinceUs / 25000 + 1) << "frame " << p.frames[i] << " went out " << sinceUs / 1000
                                                    << " ms after frame 0";
    }
}

TEST_F(OutputThreadTest, StartAndStopTellTheOutputs) {
    ASSERT_EQ(1, StartChannelOutputThread());
    EXPECT_TRUE(ChannelOutputThreadIsRunning());
    EXPECT_TRUE(waitUntil([&] { return capture->StartingCalls() == 1; }, 2000));
    EXPECT_EQ(0, StopChannelOutputThread());
    EXPECT_FALSE(ChannelOutputThreadIsRunning());
    EXPECT_EQ(1, capture->StoppingCalls());
    EXPECT_EQ(0, StopChannelOutputThread()) << "stopping a stopped thread";
}

TEST_F(OutputThreadTest, DisabledOutputSendsNothing) {
    DisableChannelOutput();
    EXPECT_EQ(0, ChannelOutputThreadIsEnabled());
    StartForcingChannelOutput();
    usleep(300000);
    EXPECT_EQ(0u, capture->Count());
    StopForcingChannelOutput();
    EnableChannelOutput();
    EXPECT_EQ(1, ChannelOutputThreadIsEnabled());
}

TEST_F(OutputThreadTest, ARemoteWithoutAMasterStopsTheThreadWithoutSending) {
    setKIVmode(MODE_REMOTE);
    long long t0 = MonotonicUs();
    ASSERT_EQ(1, StartChannelOutputThread());
    ASSERT_TRUE(waitUntil([&] { return !ChannelOutputThreadIsRunning(); }, 6000));
    EXPECT_GE((MonotonicUs() - t0) / 1000.0, 1900.0);
    EXPECT_EQ(0u, capture->Count());
}

// The resynchronisation arithmetic with a running 40 fps sequence (the
// thread stopped, so the frame counter stays where the test puts it).
class ResyncTest : public OutputThreadTest {
protected:
    void SetUp() override {
        OutputThreadTest::SetUp();
        spec.frames = 8000;
        spec.channels = 512;
        MakeShow("show.hseq");
        ASSERT_EQ(1, player->StartSequence("show.hseq", 0));
        ASSERT_EQ(0, StopChannelOutputThread());
        ASSERT_TRUE(player->IsSequenceRunning());
        ASSERT_EQ(25000, (int)SequenceLightDelay);
        FrameSkip = 0;
        LightDelay = 25000;
    }
    void At(int sent, int lightDelay = 25000) {
        SetChannelOutputFrameNumber(sent);
        FrameSkip = 0;
        LightDelay = lightDelay;
    }
};

TEST_F(ResyncTest, ThirtyFramesBehindSkipsThirty) {
    At(100);
    CalculateNewChannelOutputDelayForFrame(130);
    EXPECT_EQ(30, (int)FrameSkip);
    EXPECT_EQ(25000, (int)LightDelay);
}

TEST_F(ResyncTest, TenFramesBehindSkipsFourAndShortensBySixPercent) {
    At(100);
    CalculateNewChannelOutputDelayForFrame(110);
    EXPECT_EQ(4, (int)FrameSkip);
    EXPECT_EQ(25000 - 6 * 250, (int)LightDelay);
}

TEST_F(ResyncTest, ThreeFramesAheadHoldsOneAndLengthensByTwoPercent) {
    At(100);
    CalculateNewChannelOutputDelayForFrame(97);
    EXPECT_EQ(-1, (int)FrameSkip);
    EXPECT_EQ(25500, (int)LightDelay);
}

TEST_F(ResyncTest, SmallDifferencesAdjustThePeriodWithoutSkipping) {
    At(100);
    CalculateNewChannelOutputDelayForFrame(104);  // 4 behind: no skip yet
    EXPECT_EQ(0, (int)FrameSkip);
    EXPECT_EQ(24000, (int)LightDelay);
    CalculateNewChannelOutputDelayForFrame(104);  // still behind: shorter again
    EXPECT_EQ(23000, (int)LightDelay);
    At(100, 26000);
    CalculateNewChannelOutputDelayForFrame(104);  // was lengthened: back to nominal first
    EXPECT_EQ(25000, (int)LightDelay);
    At(100);
    CalculateNewChannelOutputDelayForFrame(98);   // 2 ahead
    EXPECT_EQ(0, (int)FrameSkip);
    EXPECT_EQ(25500, (int)LightDelay);
}

TEST_F(ResyncTest, NearlyInStepReturnsToTheNominalPeriod) {
    At(100, 23500);
    CalculateNewChannelOutputDelayForFrame(100);
    EXPECT_EQ(25000, (int)LightDelay);
    At(100, 26000);
    CalculateNewChannelOutputDelayForFrame(101);  // one behind, period too long
    EXPECT_EQ(25000, (int)LightDelay);
    At(100, 24000);
    CalculateNewChannelOutputDelayForFrame(101);  // one behind, already shorter: kept
    EXPECT_EQ(24000, (int)LightDelay);
    At(100, 24000);
    CalculateNewChannelOutputDelayForFrame(99);   // one ahead, period too short
    EXPECT_EQ(25000, (int)LightDelay);
    EXPECT_EQ(0, (int)FrameSkip);
}

TEST_F(ResyncTest, ThePeriodIsNeverMoreThan15msShorterThanNominal) {
    At(100, 11000);
    CalculateNewChannelOutputDelayForFrame(110);
    EXPECT_EQ(10000, (int)LightDelay);
}

TEST_F(ResyncTest, FarAheadOfTheMasterThePeriodGrowsAtMost15ms) {
    // 24,000 frames ahead: ten minutes of a wall clock stepped back.
    At(24100);
    CalculateNewChannelOutputDelayForFrame(100);
    EXPECT_EQ(-1, (int)FrameSkip);
    EXPECT_EQ(40000, (int)LightDelay);
    CalculateNewChannelOutputDelayForFrame(100);  // still ahead: no further
    EXPECT_EQ(40000, (int)LightDelay);
    At(100, 25000);
    CalculateNewChannelOutputDelayForFrame(-2000000000);  // no overflow either
    EXPECT_EQ(40000, (int)LightDelay);
}

TEST_F(ResyncTest, WithoutARunningSequenceTheBridgePeriodIsTheTarget) {
    player->CloseSequenceFile();
    BridgeLightDelay = 50000;
    At(100, 50000);
    CalculateNewChannelOutputDelayForFrame(110);
    EXPECT_EQ(4, (int)FrameSkip);
    EXPECT_EQ(50000 - 6 * 500, (int)LightDelay);
}

TEST_F(ResyncTest, MediaPositionResyncsEveryTwentyFramesAndAtOnceAfterAJumpBack) {
    KIVLogger::INSTANCE.ChannelOut.level = LOG_DEBUG;
    At(3970);
    CalculateNewChannelOutputDelay(100.0f);
    EXPECT_FLOAT_EQ(100.0f, (float)mediaElapsedSeconds);
    EXPECT_EQ(30, (int)FrameSkip) << "4000 expected, 30 behind";
    EXPECT_TRUE(log.contains("Media Position: 100.00, Offset: 0.000, Frames Sent: 3970, Expected: 4000, Diff: -30"));

    At(3970);
    CalculateNewChannelOutputDelay(100.25f);  // within 20 frames: no check
    EXPECT_EQ(0, (int)FrameSkip);
    EXPECT_FLOAT_EQ(100.25f, (float)mediaElapsedSeconds);
    CalculateNewChannelOutputDelay(100.6f);  // 20 frames on: 4024 expected
    EXPECT_EQ(54, (int)FrameSkip);

    At(3970);
    CalculateNewChannelOutputDelay(100.0f);  // 0.6 s back: not a jump, no check
    EXPECT_EQ(0, (int)FrameSkip);
    CalculateNewChannelOutputDelay(97.6f);  // 3 s back: at once
    EXPECT_EQ(-1, (int)FrameSkip) << "3904 expected, 66 ahead";
    EXPECT_EQ(3, log.count("Media Position:"));
    KIVLogger::INSTANCE.ChannelOut.level = LOG_INFO;
}

TEST_F(ResyncTest, MediaOffsetShiftsTheExpectedFrame) {
    mediaOffset = 0.5f;
    At(380);
    CalculateNewChannelOutputDelay(200.5f);  // 200 s in: 8000 expected
    EXPECT_FLOAT_EQ(200.0f, (float)mediaElapsedSeconds);
    EXPECT_EQ(7620, (int)FrameSkip);
    CalculateNewChannelOutputDelay(0.2f);
    EXPECT_FLOAT_EQ(0.0f, (float)mediaElapsedSeconds) << "never below 0";
    mediaOffset = 0.0f;
}

TEST_F(ResyncTest, MediaPositionDoesNotSteerARemoteOrAnIdlePlayer) {
    setKIVmode(MODE_REMOTE);
    At(100);
    CalculateNewChannelOutputDelay(300.0f);
    EXPECT_EQ(0, (int)FrameSkip);
    EXPECT_FLOAT_EQ(300.0f, (float)mediaElapsedSeconds);
    setKIVmode(MODE_PLAYER);
    player->CloseSequenceFile();
    At(100);
    CalculateNewChannelOutputDelay(400.0f);
    EXPECT_EQ(0, (int)FrameSkip);
}

TEST(MediaPhaseTest, TheNextFrameLeavesWhenItsSoundIsHeardWithinHalfAPeriodPerFrame) {
    // 40 fps: frame 40 belongs to 1.000 s of the song; at t = 1,000,000 us
    // the song is heard at 0.990 s, so its moment is t + 10 ms.
    struct Case {
        const char* name;
        long long planned;
        float rate, offset;
        long long expected;
    } cases[] = {
        {"planned on the beat stays", 1010000, 40, 0, 1010000},
        {"3 ms late moves to the beat", 1013000, 40, 0, 1010000},
        {"planned 20 ms before its sound waits for it", 990000, 40, 0, 1010000},
        {"planned 20 ms after its sound moves half a period", 1030000, 40, 0, 1017500},
        {"more than two periods after its sound is left to the resync", 1100000, 40, 0, 1100000},
        {"a sound that stalls holds the frame at most 250 ms", 1010000, 40, 0.5f, 1260000},
        {"mediaOffset 100 ms sends later", 1100000, 40, 0.1f, 1110000},
        {"mediaOffset -5 ms sends earlier", 1010000, 40, -0.005f, 1005000},
        {"no frame rate leaves the plan", 1013000, 0, 0, 1013000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.expected, MediaPhaseDeadline(c.planned, 1000000, 0.990, 40, c.rate, c.offset, 25000));
    }
}
