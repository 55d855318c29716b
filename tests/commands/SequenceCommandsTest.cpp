// Playing sequences through the command registry, with the real output
// thread and a capturing output.

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "CaptureOutput.h"
#include "Sequence.h"
#include "TestSupport.h"
#include "channeloutput/channeloutput.h"
#include "channeloutput/channeloutputthread.h"
#include "commands/Commands.h"
#include "common.h"
#include "hseq/ShowGenerator.h"
#include "log.h"
#include "settings.h"

using namespace kivtest;

namespace {

constexpr int BLANK = -1;

class SequenceCommandsTest : public ::testing::Test {
protected:
    static constexpr uint32_t CHANNELS = 1024;

    void SetUp() override {
        setKIVmode(MODE_PLAYER);
        EnableChannelOutput();
        FrameSkip = 0;
        capture = new CaptureOutput(0, CHANNELS);
        AddChannelOutput(capture);
        player = std::make_unique<Sequence>();
        sequence = player.get();
        spec.channels = CHANNELS;
        spec.frames = 400;
        spec.stepMs = 25;
        ASSERT_TRUE(GenerateShow(media.file("/sequences/show.hseq"), spec));
    }

    void TearDown() override {
        EXPECT_EQ(0, StopChannelOutputThread());
        player.reset();
        sequence = nullptr;
        CloseChannelOutputs();
    }

    std::unique_ptr<Command::Result> Run(const std::string& name, const std::vector<std::string>& args = {}) {
        return CommandManager::INSTANCE.run(name, args);
    }

    // Show frame numbers (or BLANK) of everything captured so far; each
    // frame is checked byte for byte.
    std::vector<int> Shown() {
        std::vector<int> out;
        std::vector<uint8_t> want(CHANNELS);
        for (auto& f : capture->Frames()) {
            if (std::all_of(f.bytes.begin(), f.bytes.end(), [](uint8_t b) { return b == 0; })) {
                out.push_back(BLANK);
                continue;
            }
            uint32_t n;
            memcpy(&n, f.bytes.data(), 4);
            EXPECT_LT(n, spec.frames);
            RenderShowFrame(spec, n, want.data());
            EXPECT_EQ(want, f.bytes) << "frame " << n;
            out.push_back((int)n);
        }
        return out;
    }

    int LastShown() {
        auto s = Shown();
        return s.empty() ? -2 : s.back();
    }

    LogCapture log;
    TempMediaDir media;
    TempInstallDir install;
    CaptureOutput* capture = nullptr;
    std::unique_ptr<Sequence> player;
    ShowSpec spec;
};

}  // namespace

TEST_F(SequenceCommandsTest, StartSequencePlaysTheFileToTheOutputsAndEnds) {
    spec.frames = 40;
    ASSERT_TRUE(GenerateShow(media.file("/sequences/short.hseq"), spec));
    auto r = Run("Start Sequence", {"short.hseq"});
    ASSERT_FALSE(r->isError()) << r->get();
    EXPECT_EQ("OK", r->get());
    ASSERT_TRUE(waitUntil([&] { return !player->IsSequenceRunning(); }, 20000));
    ASSERT_TRUE(waitUntil([&] { return LastShown() == BLANK; }, 5000));
    std::vector<int> distinct;
    for (int n : Shown()) {
        // A fresh player's blank buffer may go out before the first frame.
        if (distinct.empty() && n == BLANK) continue;
        if (distinct.empty() || distinct.back() != n) distinct.push_back(n);
    }
    std::vector<int> want;
    for (int n = 0; n < 40; ++n) want.push_back(n);
    want.push_back(BLANK);
    EXPECT_EQ(want, distinct);
}

TEST_F(SequenceCommandsTest, StartSequenceAtASecondBeginsThere) {
    auto r = Run("Start Sequence", {"show.hseq", "2"});
    ASSERT_FALSE(r->isError()) << r->get();
    ASSERT_TRUE(waitUntil([&] { return LastShown() >= 82; }, 5000));
    auto shown = Shown();
    auto first = std::find_if(shown.begin(), shown.end(), [](int n) { return n != BLANK; });
    ASSERT_NE(shown.end(), first);
    EXPECT_EQ(80, *first);
    EXPECT_TRUE(player->IsSequenceRunning("show.hseq"));
}

TEST_F(SequenceCommandsTest, StopSequenceStopsAndBlanks) {
    ASSERT_FALSE(Run("Start Sequence", {"show.hseq"})->isError());
    ASSERT_TRUE(waitUntil([&] { return LastShown() >= 5; }, 5000));
    auto r = Run("Stop Sequence");
    ASSERT_FALSE(r->isError()) << r->get();
    EXPECT_FALSE(player->IsSequenceRunning());
    ASSERT_TRUE(waitUntil([&] { return LastShown() == BLANK; }, 5000));
    auto again = Run("Stop Sequence");
    EXPECT_TRUE(again->isError());
    EXPECT_EQ("No sequence is playing", again->get());
}

TEST_F(SequenceCommandsTest, PauseHoldsAFrameStepMovesItAndResumeGoesOn) {
    ASSERT_FALSE(Run("Start Sequence", {"show.hseq"})->isError());
    ASSERT_TRUE(waitUntil([&] { return LastShown() >= 5; }, 5000));
    ASSERT_FALSE(Run("Pause Sequence")->isError());
    usleep(150000);
    int held = LastShown();
    size_t count = capture->Count();
    usleep(250000);
    auto shown = Shown();
    ASSERT_GT(shown.size(), count + 3) << "a paused sequence still goes out every period";
    for (size_t i = count; i < shown.size(); ++i) EXPECT_EQ(held, shown[i]);

    ASSERT_FALSE(Run("Step Sequence", {"Forward"})->isError());
    EXPECT_TRUE(waitUntil([&] { return LastShown() == held + 1; }, 3000));
    ASSERT_FALSE(Run("Step Sequence", {"Back"})->isError());
    EXPECT_TRUE(waitUntil([&] { return LastShown() == held; }, 3000));
    usleep(150000);
    EXPECT_EQ(held, LastShown());

    ASSERT_FALSE(Run("Resume Sequence")->isError());
    EXPECT_TRUE(waitUntil([&] { return LastShown() >= held + 5; }, 3000));
}

TEST_F(SequenceCommandsTest, SeekSequenceJumpsToTheSecond) {
    ASSERT_FALSE(Run("Start Sequence", {"show.hseq"})->isError());
    ASSERT_TRUE(waitUntil([&] { return LastShown() >= 2; }, 5000));
    ASSERT_FALSE(Run("Seek Sequence", {"6.5"})->isError());
    ASSERT_TRUE(waitUntil([&] { return LastShown() >= 262; }, 5000));
    auto shown = Shown();
    auto at = std::find(shown.begin(), shown.end(), 260);
    ASSERT_NE(shown.end(), at);
    EXPECT_EQ(261, *(at + 1));
    EXPECT_EQ(0, std::count_if(shown.begin(), shown.end(), [](int n) { return n > 20 && n < 260; }));
}

TEST_F(SequenceCommandsTest, SequenceStatusReportsThePosition) {
    ASSERT_FALSE(Run("Start Sequence", {"show.hseq"})->isError());
    ASSERT_TRUE(waitUntil([&] { return LastShown() >= 4; }, 5000));
    auto r = Run("Sequence Status");
    ASSERT_FALSE(r->isError());
    EXPECT_EQ("application/json", r->contentType());
    Json::Value v = LoadJsonFromString(r->get());
    EXPECT_EQ("show.hseq", v["sequenceName"].asString());
    EXPECT_TRUE(v["running"].asBool());
    EXPECT_FALSE(v["paused"].asBool());
    EXPECT_EQ(25, v["stepTimeMs"].asInt());
    EXPECT_EQ(10000, v["durationMs"].asInt());
    EXPECT_GE(v["elapsedMs"].asInt(), 100);
    EXPECT_EQ(10000, v["elapsedMs"].asInt() + v["remainingMs"].asInt());
}

TEST_F(SequenceCommandsTest, BadRequestsAreRefusedWithAReason) {
    auto missing = Run("Start Sequence", {"nothere.hseq"});
    EXPECT_TRUE(missing->isError());
    EXPECT_NE(std::string::npos, missing->get().find("nothere.hseq"));
    EXPECT_TRUE(Run("Start Sequence")->isError());
    EXPECT_TRUE(Run("Start Sequence", {"show.hseq", "soon"})->isError());
    EXPECT_TRUE(Run("Start Sequence", {"show.hseq", "-3"})->isError());
    EXPECT_TRUE(Run("Pause Sequence")->isError());
    EXPECT_TRUE(Run("Seek Sequence", {"3"})->isError()) << "nothing playing";

    ASSERT_FALSE(Run("Start Sequence", {"show.hseq"})->isError());
    EXPECT_TRUE(Run("Step Sequence")->isError()) << "not paused";
    EXPECT_TRUE(Run("Seek Sequence", {"x"})->isError());
    EXPECT_TRUE(Run("Seek Sequence", {"10"})->isError()) << "the sequence lasts 10 s";
    ASSERT_FALSE(Run("Pause Sequence")->isError());
    EXPECT_TRUE(Run("Step Sequence", {"Sideways"})->isError());
    EXPECT_TRUE(player->IsSequenceRunning());
}

TEST_F(SequenceCommandsTest, TheCommandsAreListedWithTheirArguments) {
    Json::Value list = CommandManager::INSTANCE.getDescriptions();
    std::map<std::string, Json::Value> byName;
    for (auto& c : list) byName[c["name"].asString()] = c;
    for (auto name : {"Start Sequence", "Stop Sequence", "Pause Sequence", "Resume Sequence", "Step Sequence",
                      "Seek Sequence", "Sequence Status"}) {
        EXPECT_TRUE(byName.count(name)) << name;
    }
    ASSERT_EQ(2u, byName["Start Sequence"]["args"].size());
    EXPECT_EQ("Sequence", byName["Start Sequence"]["args"][0]["name"].asString());
    EXPECT_TRUE(byName["Start Sequence"]["args"][1]["optional"].asBool());
}
