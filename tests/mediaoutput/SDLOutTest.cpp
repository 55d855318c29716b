// The media decode output against real media files made by ffmpeg and
// SDL's disk audio driver, which writes what the device played to a file:
// tones at their frequency and length in several formats and device
// formats, starts into the file, the reported position, stalls, video
// onto an overlay model, bad files and a missing sound device.

#include <gtest/gtest.h>

#include <SDL2/SDL.h>
extern "C" {
#include <libavutil/log.h>
}

#include <sys/stat.h>

#include <cmath>
#include <memory>
#include <set>

#include "MediaTestSupport.h"
#include "ProcessStats.h"
#include "StallMeter.h"
#include "TestSupport.h"
#include "Warnings.h"
#include "channeloutput/channeloutput.h"
#include "channeloutput/channeloutputthread.h"
#include "common.h"
#include "log.h"
#include "mediaoutput/AudioClock.h"
#include "mediaoutput/SDLOut.h"
#include "services/PixelOverlay.h"
#include "settings.h"

using namespace kivtest;

namespace {

constexpr int RATE = 44100;

class SDLOutTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!FfmpegAvailable()) GTEST_SKIP() << "the ffmpeg command-line tool is not installed";
        mkdir(media.file("/videos").c_str(), 0775);
        SetSetting("AudioFormat", 0);
        SetSetting("AudioLayout", 0);
        SetSetting("AudioOutput", "0");
        SetSetting("AudioCard0Type", "");
        disk = std::make_unique<DiskAudio>(media.file("/tmp/played.raw"));
        status = MediaOutputStatus();
    }

    void TearDown() override {
        PixelOverlayManager::INSTANCE.Cleanup();
        SetSetting("AudioFormat", 0);
        SetSetting("AudioLayout", 0);
    }

    // Plays the file to its end (Process every 10 ms) and closes it.
    // Returns Start's result.
    int PlayToEnd(const std::string& name, int startMs = 0, const std::string& videoOut = "", int timeoutMs = 20000) {
        SDLOutput out(name, &status, videoOut);
        int started = out.Start(startMs);
        if (!started) return 0;
        waitUntil([&] { return !out.Process(); }, timeoutMs);
        EXPECT_EQ(MEDIAOUTPUTSTATUS_IDLE, status.status) << "still playing after " << timeoutMs << " ms";
        out.Close();
        return started;
    }

    // The source's samples as the device format plays them (16-bit stereo).
    PcmCapture Decoded(const std::string& path) {
        std::string raw = media.file("/tmp/source.raw");
        EXPECT_EQ(0, runCommand("ffmpeg -hide_banner -loglevel error -nostdin -y -i '" + path +
                                "' -f s16le -ac 2 -ar 44100 '" + raw + "'"));
        return ReadPcm16(raw);
    }

    TempMediaDir media;
    std::unique_ptr<DiskAudio> disk;
    MediaOutputStatus status;
    // A loaded machine runs the test and the decoder late: timing bounds
    // widen by twice the worst wake-up delay it gave a thread here.
    StallMeter stalls;
    double SlackSeconds() const { return 2 * stalls.worstUs() / 1e6; }
};

TEST_F(SDLOutTest, PlaysAWavToneSampleForSample) {
    std::string path = media.file("/music/tone.wav");
    ASSERT_TRUE(MakeTone(path, 440, 1.5));
    ASSERT_EQ(1, PlayToEnd("tone.wav"));

    PcmCapture played = ReadPcm16(disk->file());
    PcmCapture source = Decoded(path);
    size_t first = played.firstSound();
    ASSERT_NE(std::string::npos, first);
    ASSERT_GE(played.frames(), first + source.frames());
    for (size_t i = 0; i < source.frames(); ++i) {
        ASSERT_EQ(source.at(i, 0), played.at(first + i, 0)) << "sample " << i;
        ASSERT_EQ(source.at(i, 1), played.at(first + i, 1)) << "sample " << i;
    }
    EXPECT_NEAR(1.5, (played.endOfSound() - first) / (double)RATE, 0.002);
    EXPECT_NEAR(440.0, played.frequency(first + RATE / 4, RATE, 0), 2.0);
}

TEST_F(SDLOutTest, PlaysCompressedTonesAtTheirFrequencyAndLength) {
    for (const char* ext : {"mp3", "ogg", "flac", "m4a"}) {
        SCOPED_TRACE(ext);
        std::string name = std::string("tone.") + ext;
        ASSERT_TRUE(MakeTone(media.file("/music/" + name), 660, 1.2));
        ASSERT_EQ(1, PlayToEnd(name));
        PcmCapture played = ReadPcm16(disk->file());
        size_t first = played.firstSound();
        ASSERT_NE(std::string::npos, first);
        EXPECT_NEAR(1.2, (played.endOfSound() - first) / (double)RATE, 0.03);
        EXPECT_NEAR(660.0, played.frequency(first + RATE / 10, RATE, 0), 3.0);
        EXPECT_NEAR(660.0, played.frequency(first + RATE / 10, RATE, 1), 3.0);
    }
}

TEST_F(SDLOutTest, SoundAloneIsDecodedInFewLongPassesAndHeardWhole) {
    // Every pass of the decode thread starts with cold caches: many short
    // passes cost more CPU than the decoding. About one a second of sound
    // at most, and still no gap in what is heard.
    const double seconds = 8.0;
    ASSERT_TRUE(MakeTone(media.file("/music/long.mp3"), 440, seconds));
    SDLOutput out("long.mp3", &status, "");
    ASSERT_EQ(1, out.Start(0));
    long before = ThreadSleepsByName()["KIV-SDLDecode"];
    ASSERT_TRUE(waitUntil([&] { return !out.Process(); }, 30000));
    long sleeps = ThreadSleepsByName()["KIV-SDLDecode"] - before;
    out.Close();
    EXPECT_LE(sleeps, (long)seconds) << "the decode thread woke " << sleeps << " times in " << seconds << " s of sound";

    PcmCapture played = ReadPcm16(disk->file());
    size_t first = played.firstSound();
    ASSERT_NE(std::string::npos, first);
    // A queue run dry would have put silence into the song and made it longer.
    EXPECT_NEAR(seconds, (played.endOfSound() - first) / (double)RATE, 0.03);
}

TEST_F(SDLOutTest, StartAtTwoSecondsBeginsTwoSecondsIntoTheFile) {
    std::string path = media.file("/music/steps.wav");
    ASSERT_TRUE(MakeSteppedTone(path, {300, 400, 500, 600}));
    ASSERT_EQ(1, PlayToEnd("steps.wav", 2000));

    PcmCapture played = ReadPcm16(disk->file());
    PcmCapture source = Decoded(path);
    size_t first = played.firstSound();
    ASSERT_NE(std::string::npos, first);
    EXPECT_NEAR(500.0, played.frequency(first, RATE / 2), 3.0);
    EXPECT_NEAR(600.0, played.frequency(first + RATE + RATE / 4, RATE / 2), 3.0);
    EXPECT_NEAR(2.0, (played.endOfSound() - first) / (double)RATE, 0.002);
    // Exactly sample 88200 of the file comes first.
    for (size_t i = 0; i < (size_t)RATE; ++i) {
        ASSERT_EQ(source.at(2 * RATE + i, 0), played.at(first + i, 0)) << "sample " << i;
    }
}

TEST_F(SDLOutTest, StartBetweenSamplesKeepsChannelsAndBytesInPlace) {
    // 1234 ms is 54419.4 samples: the start rounds down to a whole sample
    // frame instead of cutting one.
    std::string path = media.file("/music/tone.wav");
    ASSERT_TRUE(MakeTone(path, 440, 2.0));
    ASSERT_EQ(1, PlayToEnd("tone.wav", 1234));
    PcmCapture played = ReadPcm16(disk->file());
    PcmCapture source = Decoded(path);
    size_t from = 54419;
    // Find where the source's sample `from` landed: the first sample played.
    size_t first = played.firstNonZero();
    ASSERT_NE(std::string::npos, first);
    for (size_t i = 0; i < 1000; ++i) {
        ASSERT_EQ(source.at(from + i, 0), played.at(first + i, 0)) << "sample " << i;
        ASSERT_EQ(source.at(from + i, 1), played.at(first + i, 1)) << "sample " << i;
    }
}

TEST_F(SDLOutTest, DeviceFormatFollowsTheSettings) {
    ASSERT_TRUE(MakeTone(media.file("/music/tone.flac"), 440, 1.0));
    {
        SCOPED_TRACE("48 kHz float");
        SetSetting("AudioFormat", 6);
        ASSERT_EQ(1, PlayToEnd("tone.flac"));
        EXPECT_EQ(48000, sdlManager.rate);
        EXPECT_TRUE(sdlManager.isFloat);
        PcmCapture played = ReadPcmFloat(disk->file(), 2, 48000);
        size_t first = played.firstSound();
        ASSERT_NE(std::string::npos, first);
        EXPECT_NEAR(1.0, (played.endOfSound() - first) / 48000.0, 0.01);
        EXPECT_NEAR(440.0, played.frequency(first + 4800, 24000), 3.0);
    }
    {
        SCOPED_TRACE("5.1: six channels, the tone in front");
        SetSetting("AudioFormat", 1);
        SetSetting("AudioLayout", 11);
        ASSERT_EQ(1, PlayToEnd("tone.flac"));
        EXPECT_EQ(6, sdlManager.channels);
        EXPECT_EQ(44100, sdlManager.rate);
        PcmCapture played = ReadPcm16(disk->file(), 6, RATE);
        size_t first = played.firstSound();
        ASSERT_NE(std::string::npos, first);
        EXPECT_NEAR(1.0, (played.endOfSound() - first) / (double)RATE, 0.01);
        EXPECT_NEAR(440.0, played.frequency(first + 4410, RATE / 2, 0), 3.0);
        EXPECT_NEAR(440.0, played.frequency(first + 4410, RATE / 2, 1), 3.0);
    }
    {
        SCOPED_TRACE("layout 16 falls back to stereo");
        SetSetting("AudioLayout", 16);
        ASSERT_EQ(1, PlayToEnd("tone.flac"));
        EXPECT_EQ(2, sdlManager.channels);
        PcmCapture played = ReadPcm16(disk->file());
        size_t first = played.firstSound();
        ASSERT_NE(std::string::npos, first);
        EXPECT_NEAR(1.0, (played.endOfSound() - first) / (double)RATE, 0.01);
    }
}

TEST_F(SDLOutTest, DesiredFormatComesFromSettingsAndTheSoundCard) {
    SetSetting("AudioFormat", 0);
    SetSetting("AudioOutput", "0");
    SetSetting("AudioCard0Type", "bcm2835 Headphones");
    EXPECT_EQ(48000, DesiredAudioDevice("/nonexistent").rate);
    SetSetting("AudioCard0Type", "USB Audio");
    EXPECT_EQ(44100, DesiredAudioDevice("/nonexistent").rate);
    SetSetting("AudioOutput", "1");
    SetSetting("AudioCard0Type", "bcm2835 Headphones");
    EXPECT_EQ(44100, DesiredAudioDevice("/nonexistent").rate) << "another card than the on-board one";

    struct Row {
        int setting, rate;
        SDL_AudioFormat format;
    };
    for (Row r : {Row{1, 44100, AUDIO_S16SYS}, Row{2, 44100, AUDIO_S32SYS}, Row{3, 44100, AUDIO_F32SYS},
                  Row{4, 48000, AUDIO_S16SYS}, Row{5, 48000, AUDIO_S32SYS}, Row{6, 48000, AUDIO_F32SYS},
                  Row{7, 96000, AUDIO_S16SYS}, Row{8, 96000, AUDIO_S32SYS}, Row{9, 96000, AUDIO_F32SYS}}) {
        SetSetting("AudioFormat", r.setting);
        AudioDeviceRequest q = DesiredAudioDevice("/nonexistent");
        EXPECT_EQ(r.rate, q.rate) << r.setting;
        EXPECT_EQ(r.format, q.format) << r.setting;
    }

    std::vector<std::pair<int, int>> channels = {{0, 2}, {1, 3}, {3, 3}, {4, 4}, {7, 4}, {8, 5}, {10, 5},
                                                 {11, 6}, {12, 6}, {13, 7}, {14, 7}, {15, 8}, {16, 2}, {-1, 2}};
    for (auto& c : channels) {
        SetSetting("AudioLayout", c.first);
        EXPECT_EQ(c.second, DesiredAudioDevice("/nonexistent").channels) << "AudioLayout " << c.first;
        EXPECT_EQ(c.second, __builtin_popcountll(AudioLayoutChannelMask(c.first))) << "AudioLayout " << c.first;
    }
    EXPECT_EQ(0x60Fu, AudioLayoutChannelMask(11));
    EXPECT_EQ(0x3u, AudioLayoutChannelMask(16));

    // The card's id from sysfs, trimmed, picks the last device named after it.
    std::string sys = media.file("/tmp/sys");
    mkdir(sys.c_str(), 0775);
    mkdir((sys + "/card2").c_str(), 0775);
    media.write("/tmp/sys/card2/id", "  Headphones\r\n");
    SetSetting("AudioOutput", "2");
    EXPECT_EQ("Headphones", DesiredAudioDevice(sys).cardId);
    SetSetting("AudioOutput", "../card2");
    EXPECT_EQ("", DesiredAudioDevice(sys).cardId) << "only card numbers name sysfs folders";
    EXPECT_EQ("Headphones, USB", ChooseAudioDeviceName("Headphones", {"HDMI 0", "Headphones", "Headphones, USB"}));
    EXPECT_EQ("", ChooseAudioDeviceName("Speaker", {"HDMI 0", "Headphones"}));
    EXPECT_EQ("", ChooseAudioDeviceName("", {"HDMI 0"}));
    SetSetting("AudioOutput", "0");
}

TEST_F(SDLOutTest, ProcessReportsPositionAndSteersTheOutputClock) {
    ASSERT_TRUE(MakeTone(media.file("/music/long.ogg"), 440, 63.0));
    SDLOutput out("long.ogg", &status, "");
    EXPECT_EQ(1, status.minutesTotal);
    EXPECT_EQ(3, status.secondsTotal);
    ASSERT_EQ(1, out.Start(0));
    EXPECT_EQ(MEDIAOUTPUTSTATUS_PLAYING, status.status);
    long long t0 = GetTimeMS();
    float last = -1;
    bool moved = false;
    while (GetTimeMS() - t0 < 1500) {
        EXPECT_TRUE(out.Process());
        if (last >= 0 && status.mediaSeconds > last) moved = true;
        EXPECT_GE(status.mediaSeconds, last);
        last = status.mediaSeconds;
        usleep(10000);
    }
    EXPECT_TRUE(moved);
    // The clock of the audio device, not the one of the test: within two
    // device buffers of what the device has played into the capture file
    // (from the song's first sound on), however fast a busy machine let it.
    long long before = FileSize(disk->file());
    out.Process();
    long long after = FileSize(disk->file());
    size_t songStart = ReadPcm16(disk->file()).firstNonZero();
    ASSERT_NE(std::string::npos, songStart);
    auto played = [&](long long bytes) { return (bytes / 4 - (long long)songStart) / (double)RATE; };
    EXPECT_GE(status.mediaSeconds, played(before) - 2 * 2048.0 / RATE);
    EXPECT_LE(status.mediaSeconds, played(after) + 2 * 2048.0 / RATE);
    EXPECT_EQ((int)status.mediaSeconds, status.secondsElapsed);
    EXPECT_NEAR(63 - status.mediaSeconds, status.secondsRemaining + status.subSecondsRemaining / 100.0, 0.05);
    EXPECT_NEAR(status.mediaSeconds, (float)mediaElapsedSeconds, 0.001);
    out.Close();
    EXPECT_EQ(MEDIAOUTPUTSTATUS_IDLE, status.status);
}

TEST_F(SDLOutTest, ThePositionMovesBetweenTheDeviceBuffersNeverBackNorAheadOfTheSound) {
    ASSERT_TRUE(MakeTone(media.file("/music/long.ogg"), 440, 20.0));
    SDLOutput out("long.ogg", &status, "");
    ASSERT_EQ(1, out.Start(0));
    ASSERT_TRUE(waitUntil([&] {
        out.Process();
        return status.mediaSeconds > 0.1f;
    }, 5000));
    long long stampsBefore = AudioClock::INSTANCE.Stamps();
    std::vector<std::pair<float, long long>> seen;  // position, bytes in the capture file just after
    for (int i = 0; i < 250; ++i) {
        out.Process();
        seen.push_back({status.mediaSeconds, FileSize(disk->file())});
        usleep(2000);
    }
    long long stamps = AudioClock::INSTANCE.Stamps() - stampsBefore;
    // The file holds the device's silence before the song: the song starts
    // at its first sound. The disk driver writes each buffer right after
    // taking it, so the position is never more than that buffer ahead.
    size_t songStart = ReadPcm16(disk->file()).firstNonZero();
    ASSERT_NE(std::string::npos, songStart);
    std::set<float> distinct;
    float last = 0;
    for (size_t i = 0; i < seen.size(); ++i) {
        long long heard = (long long)(seen[i].first * RATE) * 4;
        EXPECT_LE(heard, seen[i].second - (long long)songStart * 4 + 2048 * 4) << "call " << i;
        EXPECT_GE(seen[i].first, last) << "call " << i;
        last = seen[i].first;
        distinct.insert(last);
    }
    // A position that moved only when the device took a buffer would take
    // at most one value more than there were buffers.
    EXPECT_GT((long long)distinct.size(), 2 * (stamps + 1)) << stamps << " buffers taken";
    out.Close();
}

TEST_F(SDLOutTest, AudioThatStopsMovingIsReportedOnceAndRecovers) {
    ASSERT_TRUE(MakeTone(media.file("/music/long.ogg"), 440, 20.0));
    LogCapture log;
    SDLOutput out("long.ogg", &status, "");
    ASSERT_EQ(1, out.Start(0));
    ASSERT_TRUE(waitUntil([&] {
        out.Process();
        return status.mediaSeconds > 0.2f;
    }, 5000));
    SDL_PauseAudioDevice(sdlManager.audioDevice, 1);
    usleep(100000);
    for (int i = 0; i < 60; ++i) {
        out.Process();
        usleep(2000);
    }
    EXPECT_EQ(1, log.count("Audio has stalled   0"));
    // While stalled, the decode thread reports its buffers.
    EXPECT_TRUE(waitUntil([&] { return log.count("Stalled audio, buffers") > 0; }, 3000));

    SDL_PauseAudioDevice(sdlManager.audioDevice, 0);
    float at = status.mediaSeconds;
    ASSERT_TRUE(waitUntil([&] {
        out.Process();
        return status.mediaSeconds > at + 0.1f;
    }, 5000));
    int reports = log.count("Stalled audio, buffers");
    usleep(300000);
    EXPECT_EQ(reports, log.count("Stalled audio, buffers")) << "progress clears the stall";
    out.Close();
}

TEST_F(SDLOutTest, GetAudioSamplesGivesWhatTheDevicePlaysNow) {
    ASSERT_TRUE(MakeTone(media.file("/music/tone.wav"), 441, 5.0));
    float samples[4410];
    int rate = 0;
    EXPECT_EQ(0, SDLOutput::GetAudioSamples(samples, 4410, rate)) << "nothing plays";
    SDLOutput out("tone.wav", &status, "");
    ASSERT_EQ(1, out.Start(0));
    usleep(300000);
    ASSERT_EQ(1, SDLOutput::GetAudioSamples(samples, 4410, rate));
    EXPECT_EQ(RATE, rate);
    float peak = 0;
    int crossings = 0;
    for (int i = 1; i < 4410; ++i) {
        peak = std::max(peak, std::fabs(samples[i]));
        if (samples[i - 1] < 0 && samples[i] >= 0) ++crossings;
    }
    EXPECT_NEAR(0.5f, peak, 0.01f);
    EXPECT_NEAR(44, crossings, 1) << "441 Hz over a tenth of a second";
    out.Close();
}

TEST_F(SDLOutTest, FindsFilesInTheMusicAndVideosFoldersOrByPath) {
    ASSERT_TRUE(MakeTone(media.file("/videos/clip.wav"), 440, 0.3));
    ASSERT_TRUE(MakeTone(media.file("/tmp/elsewhere.wav"), 440, 0.3));
    EXPECT_EQ(media.file("/videos/clip.wav"), ResolveMediaPath("clip.wav"));
    EXPECT_EQ(1, PlayToEnd("clip.wav"));
    EXPECT_EQ(1, PlayToEnd(media.file("/tmp/elsewhere.wav")));
    EXPECT_EQ("", ResolveMediaPath("nowhere.wav"));
}

TEST_F(SDLOutTest, BadFilesGetAClearErrorAndDoNotStart) {
    LogCapture log;
    {
        SDLOutput out("missing.mp3", &status, "");
        EXPECT_TRUE(log.contains("missing.mp3 does not exist!"));
        EXPECT_EQ(0, out.Start(0));
        EXPECT_EQ(MEDIAOUTPUTSTATUS_IDLE, status.status);
        EXPECT_FALSE(out.Process());
    }
    {
        media.write("/music/notes.mp3", "These are not the sounds you are looking for.\n");
        SDLOutput out("notes.mp3", &status, "");
        EXPECT_TRUE(log.contains("Could not open media file " + media.file("/music/notes.mp3")));
        EXPECT_EQ(0, out.Start(0));
        EXPECT_EQ(MEDIAOUTPUTSTATUS_IDLE, status.status);
    }
}

TEST_F(SDLOutTest, FileCutInHalfPlaysWhatIsThereAndEnds) {
    ASSERT_TRUE(MakeTone(media.file("/tmp/whole.mp3"), 440, 4.0));
    ASSERT_TRUE(CopyTruncated(media.file("/tmp/whole.mp3"), media.file("/music/half.mp3"),
                              FileSize(media.file("/tmp/whole.mp3")) / 2));
    ASSERT_EQ(1, PlayToEnd("half.mp3", 0, "", 10000));
    PcmCapture played = ReadPcm16(disk->file());
    size_t first = played.firstSound();
    ASSERT_NE(std::string::npos, first);
    EXPECT_NEAR(2.0, (played.endOfSound() - first) / (double)RATE, 0.1);
}

TEST_F(SDLOutTest, FfmpegLinesGoToTheMediaLogWithTheirLevels) {
    ASSERT_TRUE(MakeTone(media.file("/music/tone.wav"), 440, 0.2));
    LogCapture log;
    KIVLogger::INSTANCE.SetLevel("MediaOut", LOG_DEBUG);
    SDLOutput out("tone.wav", &status, "");
    av_log(nullptr, AV_LOG_ERROR, "broken frame %d\n", 7);
    av_log(nullptr, AV_LOG_WARNING, "odd header\n");
    av_log(nullptr, AV_LOG_WARNING, "odd header\n");
    av_log(nullptr, AV_LOG_WARNING, "Estimating duration from bitrate, this may be inaccurate\n");
    av_log(nullptr, AV_LOG_INFO, "stream info\n");
    av_log(nullptr, AV_LOG_VERBOSE, "chatty\n");
    av_log(nullptr, AV_LOG_DEBUG, "very chatty\n");
    std::string t = log.text();
    EXPECT_NE(std::string::npos, t.find("\"tone.wav\" - broken frame 7"));
    EXPECT_EQ(1, log.count("Warn: \"tone.wav\" - odd header")) << "a repeated line is dropped";
    EXPECT_TRUE(log.contains("Verbose: \"tone.wav\" - Estimating duration from bitrate"));
    EXPECT_TRUE(log.contains("Info: \"tone.wav\" - stream info"));
    EXPECT_TRUE(log.contains("Verbose: \"tone.wav\" - chatty"));
    EXPECT_FALSE(log.contains("very chatty")) << "excess level is off";
    // Levels decide as for the daemon's own lines.
    KIVLogger::INSTANCE.SetLevel("MediaOut", LOG_ERR);
    av_log(nullptr, AV_LOG_WARNING, "second odd header\n");
    av_log(nullptr, AV_LOG_FATAL, "gave up\n");
    EXPECT_FALSE(log.contains("second odd header"));
    EXPECT_TRUE(log.contains("\"tone.wav\" - gave up"));
}

// Red, green, blue and white quadrants, as the model's pixels should show
// them away from the quadrant edges (scaling blends the edges).
void ExpectQuadrants(const std::vector<uint8_t>& rgb, int w, int h, int tolerance) {
    auto px = [&](int x, int y) { return &rgb[((size_t)y * w + x) * 3]; };
    struct Q {
        int x, y, r, g, b;
        const char* name;
    };
    for (Q q : {Q{1, 1, 255, 0, 0, "red"}, Q{w - 2, 1, 0, 255, 0, "green"}, Q{1, h - 2, 0, 0, 255, "blue"},
                Q{w - 2, h - 2, 255, 255, 255, "white"}}) {
        const uint8_t* p = px(q.x, q.y);
        EXPECT_NEAR(q.r, p[0], tolerance) << q.name;
        EXPECT_NEAR(q.g, p[1], tolerance) << q.name;
        EXPECT_NEAR(q.b, p[2], tolerance) << q.name;
    }
}

const char* MATRIX_MODEL = R"({"models": [{"name": "Matrix", "startChannel": 1, "width": 16, "height": 8}]})";

TEST_F(SDLOutTest, VideoIsScaledOntoTheOverlayModelWhileTheSoundPlays) {
    ASSERT_TRUE(MakeQuadrantVideo(media.file("/videos/quad.mp4"), 64, 32, 2.0, 25, true));
    Json::Value doc;
    ASSERT_TRUE(LoadJsonFromString(MATRIX_MODEL, doc));
    PixelOverlayManager::INSTANCE.LoadModels(doc, "test");
    PixelOverlayModel* model = PixelOverlayManager::INSTANCE.getModel("Matrix");
    ASSERT_NE(nullptr, model);

    SDLOutput out("quad.mp4", &status, "Matrix");
    EXPECT_TRUE(out.HasAudio());
    EXPECT_TRUE(out.HasVideo());
    EXPECT_FALSE(SDLOutput::IsOverlayingVideo());
    ASSERT_EQ(1, out.Start(0));
    EXPECT_TRUE(SDLOutput::IsOverlayingVideo());
    ASSERT_TRUE(waitUntil([&] {
        out.Process();
        return status.mediaSeconds > 0.5f;
    }, 5000));
    // What the sequence player does on each frame.
    EXPECT_EQ(1, SDLOutput::ProcessVideoOverlay((unsigned)(status.mediaSeconds * 1000)));
    EXPECT_EQ(PixelOverlayModel::STATE_ENABLED, model->getState());
    ExpectQuadrants(model->getData(), 16, 8, 24);

    // Beyond the end of the picture nothing more is shown.
    EXPECT_EQ(0, SDLOutput::ProcessVideoOverlay(60000));
    waitUntil([&] { return !out.Process(); }, 10000);
    EXPECT_EQ(MEDIAOUTPUTSTATUS_IDLE, status.status);
    out.Stop();
    EXPECT_FALSE(SDLOutput::IsOverlayingVideo());
    EXPECT_EQ(PixelOverlayModel::STATE_DISABLED, model->getState());
    out.Close();
    EXPECT_EQ(std::vector<uint8_t>(16 * 8 * 3, 0), model->getData()) << "the model is cleared";

    PcmCapture played = ReadPcm16(disk->file());
    size_t first = played.firstSound();
    ASSERT_NE(std::string::npos, first);
    EXPECT_NEAR(2.0, (played.endOfSound() - first) / (double)RATE, 0.05);
    StopChannelOutputThread();
}

TEST_F(SDLOutTest, LosslessVideoKeepsItsColoursExactly) {
    // Same size as the model and RGB in the file: no scaling, no colour loss.
    ASSERT_TRUE(MakeQuadrantVideo(media.file("/videos/quad.mkv"), 16, 8, 1.0, 20, false));
    Json::Value doc;
    ASSERT_TRUE(LoadJsonFromString(MATRIX_MODEL, doc));
    PixelOverlayManager::INSTANCE.LoadModels(doc, "test");
    PixelOverlayModel* model = PixelOverlayManager::INSTANCE.getModel("Matrix");
    SDLOutput out("quad.mkv", &status, "Matrix");
    ASSERT_FALSE(out.HasAudio());
    ASSERT_EQ(1, out.Start(0));
    ASSERT_EQ(1, SDLOutput::ProcessVideoOverlay(100));
    ExpectQuadrants(model->getData(), 16, 8, 0);
    out.Close();
    StopChannelOutputThread();
}

TEST_F(SDLOutTest, VideoPicturesShowAtTheirTimeAlsoWhenStartedPartWay) {
    // A video without sound runs on the wall clock: started at 1.5 s it
    // reports 1.5 s at once, shows the second second's colour and ends
    // 1.5 s before its length.
    ASSERT_TRUE(MakeColourStepVideo(media.file("/videos/steps.mkv"), 16, 8, 20, {"red", "lime", "blue"}));
    Json::Value doc;
    ASSERT_TRUE(LoadJsonFromString(MATRIX_MODEL, doc));
    PixelOverlayManager::INSTANCE.LoadModels(doc, "test");
    PixelOverlayModel* model = PixelOverlayManager::INSTANCE.getModel("Matrix");
    auto pixel = [&] {
        auto d = model->getData();
        return std::vector<uint8_t>(d.begin(), d.begin() + 3);
    };
    {
        SDLOutput out("steps.mkv", &status, "Matrix");
        ASSERT_EQ(1, out.Start(0));
        for (auto step : std::vector<std::pair<unsigned, std::vector<uint8_t>>>{
                 {0, {255, 0, 0}}, {990, {255, 0, 0}}, {1000, {0, 255, 0}}, {1999, {0, 255, 0}}, {2000, {0, 0, 255}}}) {
            // Pictures decode ahead on their own thread.
            ASSERT_TRUE(waitUntil([&] { return SDLOutput::ProcessVideoOverlay(step.first) && pixel() == step.second; },
                                  3000))
                << "at " << step.first << " ms";
        }
        out.Close();
    }
    SDLOutput out("steps.mkv", &status, "Matrix");
    long long t0 = GetTimeMS();
    ASSERT_EQ(1, out.Start(1500));
    out.Process();
    EXPECT_NEAR(1.5, status.mediaSeconds, 0.3 + SlackSeconds());
    EXPECT_EQ(1, SDLOutput::ProcessVideoOverlay(1500));
    EXPECT_EQ((std::vector<uint8_t>{0, 255, 0}), pixel());
    waitUntil([&] { return !out.Process(); }, 10000);
    long long took = GetTimeMS() - t0;
    EXPECT_GT(took, 1200);
    EXPECT_LT(took, 4000 + SlackSeconds() * 1000);
    out.Close();
    StopChannelOutputThread();
}

TEST_F(SDLOutTest, UnknownVideoModelPlaysTheSoundAndSaysWhy) {
    ASSERT_TRUE(MakeQuadrantVideo(media.file("/videos/quad.mp4"), 64, 32, 1.0, 25, true));
    LogCapture log;
    SDLOutput out("quad.mp4", &status, "NoSuchModel");
    EXPECT_TRUE(log.contains("Video output 'NoSuchModel' is not a pixel overlay model; quad.mp4 plays without its picture"));
    EXPECT_TRUE(out.HasAudio());
    EXPECT_FALSE(out.HasVideo());
    ASSERT_EQ(1, out.Start(0));
    EXPECT_FALSE(SDLOutput::IsOverlayingVideo());
    out.Close();
}

TEST_F(SDLOutTest, HdmiOrDisabledVideoOutputNeverOpensTheVideo) {
    ASSERT_TRUE(MakeQuadrantVideo(media.file("/videos/quad.mp4"), 64, 32, 1.0, 25, true));
    for (const char* v : {"", "--Disabled--", "--HDMI--", "HDMI"}) {
        SDLOutput out("quad.mp4", &status, v);
        EXPECT_TRUE(out.HasAudio()) << v;
        EXPECT_FALSE(out.HasVideo()) << v;
    }
}

// Runs the body with SDL's audio set up anew under other driver settings,
// and afterwards back on the disk driver.
class SDLWithoutDeviceTest : public SDLOutTest {
protected:
    void SetUp() override {
        SDLOutTest::SetUp();
        sdlManager.Cleanup();
    }
    void TearDown() override {
        sdlManager.Cleanup();
        unsetenv("AUDIODEV");
        setenv("SDL_AUDIODRIVER", "disk", 1);
        SDLOutTest::TearDown();
    }
};

TEST_F(SDLWithoutDeviceTest, NoDeviceIsSaidOnceAndSoundOnlyFilesDoNotStart) {
    // A card that is not there: the device cannot be opened.
    setenv("SDL_AUDIODRIVER", "alsa", 1);
    setenv("AUDIODEV", "hw:97,0", 1);
    ASSERT_TRUE(MakeTone(media.file("/music/tone.wav"), 440, 1.0));
    LogCapture log;
    for (int i = 0; i < 3; ++i) {
        SDLOutput out("tone.wav", &status, "");
        EXPECT_EQ(0, out.Start(0));
        EXPECT_EQ(MEDIAOUTPUTSTATUS_IDLE, status.status);
    }
    EXPECT_EQ(1, log.count("Could not open audio device - "));
    bool warned = false;
    for (auto& w : WarningHolder::GetWarnings()) warned |= startsWith(w, "Could not open audio device - ");
    EXPECT_TRUE(warned);
}

TEST_F(SDLWithoutDeviceTest, VideoPlaysOnTheWallClockWithoutADevice) {
    setenv("SDL_AUDIODRIVER", "no-such-driver", 1);
    ASSERT_TRUE(MakeQuadrantVideo(media.file("/videos/quad.mp4"), 64, 32, 1.5, 25, true));
    Json::Value doc;
    ASSERT_TRUE(LoadJsonFromString(MATRIX_MODEL, doc));
    PixelOverlayManager::INSTANCE.LoadModels(doc, "test");
    LogCapture log;
    for (int i = 0; i < 2; ++i) {
        SDLOutput out("quad.mp4", &status, "Matrix");
        long long t0 = GetTimeMS();
        ASSERT_EQ(1, out.Start(0));
        EXPECT_TRUE(waitUntil([&] {
            out.Process();
            return status.mediaSeconds > 0.5f;
        }, 5000));
        EXPECT_EQ(1, SDLOutput::ProcessVideoOverlay((unsigned)(status.mediaSeconds * 1000)));
        ExpectQuadrants(PixelOverlayManager::INSTANCE.getModel("Matrix")->getData(), 16, 8, 24);
        waitUntil([&] { return !out.Process(); }, 10000);
        EXPECT_NEAR(1500, GetTimeMS() - t0, 400 + SlackSeconds() * 1000);
        out.Close();
    }
    EXPECT_EQ(1, log.count("Could not initialize SDL - "));
    StopChannelOutputThread();
}

}  // namespace
