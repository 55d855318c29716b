// Effects in the real kivd, as a DDP receiver on loopback sees them: an
// ESEQ effect once with nothing playing, a sequence whose "FE" header
// starts and stops the same effect at its frames, and an ordinary sequence
// file played as a background effect from another start channel, through
// the sequence and after it, until it is stopped.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "HSEQTestSupport.h"
#include "KivdProcess.h"
#include "LiveInputSupport.h"
#include "TestSupport.h"
#include "common.h"

namespace {

using hseqtest::Bytes;

constexpr uint32_t CHANNELS = 1024;
constexpr uint32_t PULSE_AT = 200, PULSE_CHANNELS = 30, PULSE_FRAMES = 4;  // channels 201-230
constexpr uint32_t WASH_AT = 600, WASH_CHANNELS = 100, WASH_FRAMES = 10;   // played from channel 601
constexpr uint32_t FE_START = 40, FE_END = 56;

std::string lo(int n) { return "127.201." + std::to_string(100 + (int)getpid() % 100) + "." + std::to_string(n); }

Bytes PulseFrame(uint32_t k) {
    Bytes b(PULSE_CHANNELS);
    for (uint32_t i = 0; i < PULSE_CHANNELS; ++i) b[i] = (uint8_t)(200 + k * 10 + i % 5);
    return b;
}

// What one frame at the receiver holds.
struct Seen {
    int show = -1;   // show frame under it, -1: none (zeros)
    int pulse = -1;  // pulse frame in its channels
    int wash = -1;   // wash frame in its channels
    bool exact = true;  // every byte is the show's, a pulse's or a wash's (or zero)
    int firstWrong = -1;  // where not
};

class EffectsEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        show.channels = CHANNELS;
        show.frames = 200;
        show.stepMs = 25;
        show.seed = 3;
        show.extraHeaders.emplace_back("FE", hseqtest::FrameNamesHeader({{"pulse", {{FE_START, FE_END}}}}));
        ASSERT_TRUE(GenerateShow(media.file("/sequences/show.hseq"), show));
        mkdir(media.file("/effects").c_str(), 0775);
        std::vector<Bytes> pulse;
        for (uint32_t k = 0; k < PULSE_FRAMES; ++k) pulse.push_back(PulseFrame(k));
        ASSERT_TRUE(hseqtest::WriteFile(media.file("/effects/pulse.eseq"),
                                        hseqtest::BuildESEQ(PULSE_CHANNELS, PULSE_AT + 1, PULSE_CHANNELS, pulse)));
        wash.channels = WASH_CHANNELS;
        wash.frames = WASH_FRAMES;
        wash.stepMs = 25;
        wash.seed = 9;
        ASSERT_TRUE(GenerateShow(media.file("/effects/wash.hseq"), wash));
        media.write("/config/channeloutputs.json", R"({"channelOutputs": [{"type": "UDP", "enabled": 1, "universes": [
          {"type": 4, "address": ")" + lo(1) + R"(", "startChannel": 1, "channelCount": 1024}]}]})");
    }

    Seen Look(const Bytes& f) {
        Seen s;
        Bytes expected(CHANNELS, 0);
        uint32_t n;
        memcpy(&n, f.data(), 4);
        if (n < show.frames) {
            RenderShowFrame(show, n, expected.data());
            if (memcmp(expected.data(), f.data(), 8) == 0) {
                s.show = (int)n;
            } else {
                std::fill(expected.begin(), expected.end(), 0);
            }
        }
        for (uint32_t k = 0; k < PULSE_FRAMES; ++k) {
            if (Bytes(f.begin() + PULSE_AT, f.begin() + PULSE_AT + PULSE_CHANNELS) == PulseFrame(k)) {
                s.pulse = (int)k;
                std::copy(f.begin() + PULSE_AT, f.begin() + PULSE_AT + PULSE_CHANNELS, expected.begin() + PULSE_AT);
            }
        }
        Bytes w(WASH_CHANNELS);
        for (uint32_t k = 0; k < WASH_FRAMES; ++k) {
            RenderShowFrame(wash, k, w.data());
            if (std::equal(w.begin(), w.end(), f.begin() + WASH_AT)) {
                s.wash = (int)k;
                std::copy(w.begin(), w.end(), expected.begin() + WASH_AT);
            }
        }
        s.exact = expected == f;
        for (size_t i = 0; i < CHANNELS && !s.exact && s.firstWrong < 0; ++i)
            if (expected[i] != f[i]) s.firstWrong = (int)i;
        return s;
    }

    kivtest::TempMediaDir media;
    ShowSpec show, wash;
};

TEST_F(EffectsEndToEnd, EffectsLandByteExactAtTheirStepOnceLoopingByFrameHeaderAndInTheBackground) {
    kivtest::UdpReceiver ddp(lo(1), 4048);
    ASSERT_TRUE(ddp.ok());
    kivtest::KivdProcess d(media.path());
    ASSERT_TRUE(d.start({"-f"}));
    ASSERT_TRUE(d.waitReady()) << d.output();
    auto running = [&] {
        std::string out;
        d.command({"Get Running Effects"}, &out, 2);
        return LoadJsonFromString(out);
    };

    // Once, with nothing playing: its four frames, then its channels dark.
    std::string out;
    ASSERT_EQ(d.command({"Effect Start", "pulse"}, &out), 0) << out;
    ASSERT_TRUE(kivtest::waitUntil([&] { return running().empty(); }, 5000));
    usleep(200000);
    std::vector<Seen> alone;
    for (auto& f : kivtest::Distinct(kivtest::DDPFrames(ddp.take(), CHANNELS))) alone.push_back(Look(f));
    std::vector<int> pulses;
    for (auto& s : alone) {
        EXPECT_TRUE(s.exact && s.show < 0 && s.wash < 0) << "byte " << s.firstWrong;
        if (s.pulse >= 0 || !pulses.empty()) pulses.push_back(s.pulse);  // blank frames before it aside
    }
    EXPECT_EQ(pulses, (std::vector<int>{0, 1, 2, 3, -1}));

    // A background wash from channel 601, then the show with its "FE" pulse.
    ASSERT_EQ(d.command({"Effect Start", "wash", "601", "true", "true"}, &out), 0) << out;
    ASSERT_EQ(d.command({"Start Sequence", "show.hseq"}, &out), 0) << out;
    ASSERT_TRUE(kivtest::waitUntil(
        [&] {
            d.command({"Sequence Status"}, &out, 2);
            return !LoadJsonFromString(out)["running"].asBool();
        },
        20000));
    usleep(300000);
    Json::Value after = running();
    ASSERT_EQ(after.size(), 1u) << after;
    EXPECT_EQ(after[0]["name"], "wash");
    EXPECT_EQ(after[0]["startChannel"], 601);
    ASSERT_EQ(d.command({"Effect Stop", "wash"}, &out), 0) << out;
    usleep(300000);
    EXPECT_EQ(d.stop(SIGTERM), 0);

    std::vector<Seen> seen;
    for (auto& f : kivtest::DDPFrames(ddp.take(), CHANNELS)) seen.push_back(Look(f));
    int lastShow = -1, lastWash = -1, showFrames = 0, washAfter = 0;
    for (size_t i = 0; i < seen.size(); ++i) {
        const Seen& s = seen[i];
        SCOPED_TRACE("frame " + std::to_string(i) + " show " + std::to_string(s.show));
        EXPECT_TRUE(s.exact) << "byte " << s.firstWrong;
        if (s.show >= 0) {
            ++showFrames;
            // The header's pulse is in exactly its frames, by the show's clock.
            bool inRange = s.show >= (int)FE_START && s.show < (int)FE_END;
            EXPECT_EQ(s.pulse, inRange ? (int)((s.show - FE_START) / 2 % PULSE_FRAMES) : -1);
            // The wash steps with the show, one frame each (both 25 ms).
            EXPECT_GE(s.wash, 0);
            if (lastShow >= 0 && s.show == lastShow + 1) {
                EXPECT_EQ(s.wash, (lastWash + 1) % (int)WASH_FRAMES);
            }
            lastShow = s.show;
        } else if (lastShow >= 0 && s.wash >= 0) {
            ++washAfter;  // the wash lives on after the show, over dark channels
        }
        if (s.wash >= 0) lastWash = s.wash;
    }
    EXPECT_GE(showFrames, (int)show.frames - 5);
    EXPECT_EQ(lastShow, (int)show.frames - 1);
    EXPECT_GT(washAfter, 3);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back().wash, -1);  // stopped: its channels dark again
    EXPECT_EQ(seen.back().show, -1);
}

}  // namespace
