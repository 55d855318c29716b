// The effect player against real effect files in a media folder: what a
// start refuses and why, where an effect's channels land, how its frames
// follow the sequence's clock and the output's frame grid, once and
// looping, and which effects a sequence change ends.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "HSEQTestSupport.h"
#include "TestSupport.h"
#include "channeloutput/channeloutputthread.h"
#include "commands/Commands.h"
#include "commands/EffectCommands.h"
#include "common.h"
#include "effects/EffectPlayer.h"

namespace {

using hseqtest::Bytes;

// Effect frame k: every byte k * 10 + 1 + (i % 5), so a frame names itself.
Bytes EffectFrame(uint32_t channels, uint32_t k) {
    Bytes b(channels);
    for (uint32_t i = 0; i < channels; ++i) b[i] = (uint8_t)(k * 10 + 1 + i % 5);
    return b;
}

class EffectPlayerTest : public ::testing::Test {
protected:
    void SetUp() override {
        CommandManager::INSTANCE.Init();
        RegisterEffectCommands();
        mkdir(media.file("/effects").c_str(), 0775);
        std::vector<Bytes> frames;
        for (uint32_t k = 0; k < 4; ++k) frames.push_back(EffectFrame(6, k));
        // 6 channels from channel 11, 4 frames 50 ms apart.
        ASSERT_TRUE(hseqtest::WriteFile(media.file("/effects/blink.eseq"), hseqtest::BuildESEQ(6, 11, 6, frames)));
    }
    void TearDown() override {
        EffectPlayer::INSTANCE.StopAll();
        // A start wakes the output thread, as it does in kivd; it must not
        // outlive the test into the process's exit.
        StopChannelOutputThread();
        CommandManager::INSTANCE.Cleanup();
    }

    // Overlays once at a clock value; returns the frame shown at channel 11
    // (-1: nothing of the effect there).
    int ShowAt(long long us, bool bySequence, bool sequenceRunning = false) {
        EffectPlayer::Clock clock;
        clock.sequence = bySequence;
        clock.us = us;
        clock.periodUs = 25000;
        memset(data, 0, sizeof(data));
        EffectPlayer::INSTANCE.Overlay(data, sequenceRunning, clock);
        return data[10] ? (data[10] - 1) / 10 : -1;
    }
    std::string Run(const std::vector<std::string>& args, bool* error = nullptr) {
        std::vector<std::string> rest(args.begin() + 1, args.end());
        auto r = CommandManager::INSTANCE.run(args[0], rest);
        if (error) *error = r->isError();
        return r->get();
    }

    kivtest::TempMediaDir media;
    uint8_t data[2048];
};

TEST_F(EffectPlayerTest, BadStartsAreRefusedWithTheReasonAndChangeNothing) {
    hseqtest::WriteFile(media.file("/effects/notes.txt"), hseqtest::Text("not a sequence", false));
    ASSERT_EQ(Run({"Effect Start", "blink", "0", "true", "true"}), "Effect blink started");
    struct Case { std::vector<std::string> args; std::string error; };
    const Case cases[] = {
        {{"Effect Start", "missing"}, "Effect missing not found: no missing, missing.eseq or missing.hseq in effects/"},
        {{"Effect Start", "notes.txt"}, "Effect notes.txt: effects/notes.txt is not a sequence or effect file (see the log)"},
        {{"Effect Start", "../settings"}, "Effect \"../settings\" is not a file name of the effects folder"},
        {{"Effect Start", "blink", "8388605"}, "Effect blink runs past the channel space: its 6 channels from channel "
                                               "8388605 end at channel 8388610, beyond 8388608"},
        {{"Effect Start", "blink", "-1"}, "Start Channel must be a whole number from 0 to 8388608, found '-1'"},
        {{"Effect Start", "blink", "ten"}, "Start Channel must be a whole number from 0 to 8388608, found 'ten'"},
        {{"Effect Start", "blink", "1", "often"}, "Loop must be true or false, found 'often'"},
        {{"Effect Start", ""}, "Effect Start needs the name of an effect"},
        {{"Effect Stop", "missing"}, "Effect missing is not running"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[1]);
        bool error = false;
        EXPECT_EQ(Run(c.args, &error), c.error);
        EXPECT_TRUE(error);
    }
    Json::Value running = LoadJsonFromString(Run({"Get Running Effects"}));
    ASSERT_EQ(running.size(), 1u) << running;
    EXPECT_EQ(running[0]["name"], "blink");
    EXPECT_EQ(running[0]["startChannel"], 11);
    EXPECT_EQ(running[0]["channelCount"], 6);
    EXPECT_EQ(running[0]["stepMs"], 50);
    EXPECT_TRUE(running[0]["background"].asBool());
    EXPECT_EQ(LoadJsonFromString(Run({"Get Effects"})), LoadJsonFromString(R"(["blink.eseq"])"));
}

TEST_F(EffectPlayerTest, FramesFollowTheSequenceOrTheOutputGridAndEndOrLoop) {
    std::string error;
    // By the sequence's position: 25 ms frames show each 50 ms effect frame twice.
    ASSERT_TRUE(EffectPlayer::INSTANCE.Start("blink", 0, false, false, error)) << error;
    std::vector<int> shown;
    for (int f = 0; f < 10; ++f) shown.push_back(ShowAt(1000000 + f * 25000, true, true));
    EXPECT_EQ(shown, (std::vector<int>{0, 0, 1, 1, 2, 2, 3, 3, -1, -1}));
    EXPECT_FALSE(EffectPlayer::INSTANCE.IsRunning());

    // By the monotonic clock, a looping effect steps on the 25 ms grid
    // whatever the passes' jitter, and a frame processed twice stays one.
    ASSERT_TRUE(EffectPlayer::INSTANCE.Start("blink", 0, true, false, error)) << error;
    const long long at[] = {0, 24000, 27000, 49000, 62000, 76000, 99000, 126000, 150000, 174000, 201000};
    shown.clear();
    for (long long us : at) shown.push_back(ShowAt(5000000 + us, false));
    EXPECT_EQ(shown, (std::vector<int>{0, 0, 0, 1, 1, 1, 2, 2, 3, 3, 0}));

    // Placed elsewhere; stopping blanks its channels once, as nothing else
    // writes them while no sequence plays.
    ASSERT_TRUE(EffectPlayer::INSTANCE.Start("blink", 101, true, true, error)) << error;
    ShowAt(6000000, false);
    EXPECT_EQ(Bytes(data + 100, data + 106), EffectFrame(6, 0));
    EXPECT_EQ(EffectPlayer::INSTANCE.StopAll(), 2);
    EXPECT_TRUE(EffectPlayer::INSTANCE.IsRunning());
    memset(data, 7, sizeof(data));
    EffectPlayer::INSTANCE.Overlay(data, false, EffectPlayer::Clock());
    EXPECT_EQ(Bytes(data + 100, data + 106), Bytes(6, 0));
    EXPECT_EQ(Bytes(data + 10, data + 16), Bytes(6, 0));
    EXPECT_EQ(data[99], 7);
    EXPECT_FALSE(EffectPlayer::INSTANCE.IsRunning());
}

TEST_F(EffectPlayerTest, ASequenceChangeEndsForegroundEffectsOnlyAndSequencesPlayAsEffects) {
    ShowSpec spec;
    spec.channels = 20;
    spec.frames = 3;
    spec.stepMs = 25;
    ASSERT_TRUE(GenerateShow(media.file("/effects/wash.hseq"), spec));
    std::string error;
    ASSERT_TRUE(EffectPlayer::INSTANCE.Start("blink", 0, true, false, error)) << error;
    ASSERT_TRUE(EffectPlayer::INSTANCE.Start("wash", 1001, true, true, error)) << error;
    EffectPlayer::INSTANCE.StopForeground();
    Json::Value running = EffectPlayer::INSTANCE.GetRunning();
    ASSERT_EQ(running.size(), 1u);
    EXPECT_EQ(running[0]["name"], "wash");
    ShowAt(0, false);
    Bytes frame(20);
    RenderShowFrame(spec, 0, frame.data());
    EXPECT_EQ(Bytes(data + 1000, data + 1020), frame);
    EXPECT_EQ(data[10], 0);
}

TEST_F(EffectPlayerTest, TheDocumentedPresetsStartAndStopEffects) {
    ASSERT_TRUE(CopyFileContents(kivtest::sourceDir() + "/docs/examples/effect-presets.json",
                                 media.file("/config/commandPresets.json")));
    for (const char* name : {"flash", "sparkle"}) {
        ASSERT_TRUE(hseqtest::WriteFile(media.file(std::string("/effects/") + name + ".eseq"),
                                        hseqtest::BuildESEQ(6, 1, 6, {EffectFrame(6, 0)})));
    }
    for (const char* preset : {"DOORBELL", "TREE_SPARKLE"}) CommandManager::INSTANCE.TriggerPreset(preset);
    CommandManager::INSTANCE.WaitForPresets();
    Json::Value running = EffectPlayer::INSTANCE.GetRunning();
    ASSERT_EQ(running.size(), 2u) << running;
    EXPECT_EQ(running[0]["name"], "flash");
    EXPECT_TRUE(running[0]["background"].asBool());
    EXPECT_EQ(running[1]["startChannel"], 1537);
    EXPECT_TRUE(running[1]["loop"].asBool());
    CommandManager::INSTANCE.TriggerPreset("TREE_SPARKLE_END");
    CommandManager::INSTANCE.WaitForPresets();
    EXPECT_EQ(EffectPlayer::INSTANCE.GetRunning().size(), 1u);
    CommandManager::INSTANCE.TriggerPreset("QUIET");
    CommandManager::INSTANCE.WaitForPresets();
    EXPECT_TRUE(EffectPlayer::INSTANCE.GetRunning().empty());
}

}  // namespace
