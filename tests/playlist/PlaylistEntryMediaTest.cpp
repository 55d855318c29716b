// The media playlist entry with real files made by ffmpeg, played through
// the media decode output to SDL's disk audio driver: a named file with its
// status topics, the random modes, pause and resume by position, bad names
// and bad files inside a playlist.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <map>
#include <memory>
#include <set>

#include "Events.h"
#include "MediaTestSupport.h"
#include "RecordingEvents.h"
#include "TestSupport.h"
#include "Warnings.h"
#include "common.h"
#include "log.h"
#include "mediaoutput/MediaDetails.h"
#include "mediaoutput/mediaoutput.h"
#include "playlist/Playlist.h"
#include "playlist/PlaylistEntryMedia.h"
#include "settings.h"

using namespace kivtest;

namespace {

constexpr int RATE = 44100;

class PlaylistEntryMediaTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!FfmpegAvailable()) GTEST_SKIP() << "the ffmpeg command-line tool is not installed";
        m_log = std::make_unique<LogCapture>();
        KIVLogger::INSTANCE.SetLevel("Playlist", LOG_DEBUG);
        KIVLogger::INSTANCE.SetLevel("MediaOut", LOG_DEBUG);
        SetSetting("VideoOutput", "");
        mkdir(m_media.file("/videos").c_str(), 0775);
        m_disk = std::make_unique<DiskAudio>(m_media.file("/tmp/played.raw"));
        Events::AddEventHandler(&m_events);
    }
    void TearDown() override {
        Events::RemoveEventHandler(&m_events);
        m_log.reset();
    }

    Json::Value Single(const std::string& name) {
        Json::Value c;
        c["type"] = "media";
        c["mediaName"] = name;
        return c;
    }
    Json::Value Random(const std::string& mode, const std::string& prefix = "") {
        Json::Value c;
        c["type"] = "media";
        c["fileMode"] = mode;
        if (!prefix.empty()) c["mediaPrefix"] = prefix;
        return c;
    }
    // Steps the entry as the player does until it finishes.
    bool PlayToEnd(PlaylistEntryMedia& e, int timeoutMs = 15000) {
        return waitUntil(
            [&] {
                e.Process();
                return (bool)e.IsFinished();
            },
            timeoutMs);
    }
    // The files the entry opened, in order, as its status topic named them.
    std::vector<std::string> Opened() {
        std::vector<std::string> names;
        for (auto& e : m_events.Events("playlist/media/status=")) {
            std::string name = e.substr(strlen("playlist/media/status="));
            if (!name.empty()) names.push_back(name);
        }
        return names;
    }
    void Tones(const std::vector<std::string>& paths, double seconds = 0.1) {
        for (auto& p : paths) ASSERT_TRUE(MakeTone(m_media.file(p), 440, seconds));
    }

    TempMediaDir m_media;
    std::unique_ptr<LogCapture> m_log;
    std::unique_ptr<DiskAudio> m_disk;
    RecordingHandler m_events;
    Playlist m_playlist{"test"};
};

TEST_F(PlaylistEntryMediaTest, InitNeedsAFileOrFilesToPickFrom) {
    PlaylistEntryMedia e(&m_playlist);
    EXPECT_EQ("media", e.GetType());
    Json::Value none;
    none["type"] = "media";
    EXPECT_FALSE(e.Init(none));
    EXPECT_TRUE(m_log->contains("Missing mediaName entry\n"));

    PlaylistEntryMedia r(&m_playlist);
    Json::Value random = Random("randomAudio");
    EXPECT_FALSE(r.Init(random)) << "the music folder is empty";
    EXPECT_TRUE(m_log->contains("Error, no files found when trying to play random file in randomAudio mode\n"));
    PlaylistEntryMedia v(&m_playlist);
    Json::Value video = Random("randomVideo");
    EXPECT_FALSE(v.Init(video));
    EXPECT_TRUE(m_log->contains("Error, no files found when trying to play random file in randomVideo mode\n"));

    PlaylistEntryMedia ok(&m_playlist);
    Json::Value single = Single("song.mp3");
    EXPECT_TRUE(ok.Init(single));
    EXPECT_EQ("song.mp3", ok.GetMediaName());
    EXPECT_EQ(m_media.file("/music/song.mp3"), ok.FindMissingFile());
    EXPECT_FALSE(ok.IsPaused());
}

TEST_F(PlaylistEntryMediaTest, PlaysTheFileAndPublishesItsNameTitleAndArtist) {
    ASSERT_TRUE(MakeTone(m_media.file("/music/bells.mp3"), 440, 1.0, "Jingle Bells", "The Sleigh"));
    PlaylistEntryMedia e(&m_playlist);
    Json::Value c = Single("bells.mp3");
    ASSERT_TRUE(e.Init(c));
    EXPECT_EQ("", e.FindMissingFile());
    EXPECT_NEAR(1000, (int)e.GetLengthInMS(), 60) << "read from the file before it plays";

    ASSERT_EQ(1, e.StartPlaying());
    EXPECT_TRUE(e.IsPlaying());
    EXPECT_EQ((std::vector<std::string>{"playlist/media/status=bells.mp3", "playlist/media/title=Jingle Bells",
                                        "playlist/media/artist=The Sleigh"}),
              m_events.Events("playlist/media/"));
    Json::Value mqtt = e.GetMqttStatus();
    EXPECT_EQ("bells.mp3", mqtt["mediaName"].asString());
    EXPECT_EQ("Jingle Bells", mqtt["mediaTitle"].asString());
    EXPECT_EQ("The Sleigh", mqtt["mediaArtist"].asString());
    EXPECT_EQ(1, mqtt["secondsTotal"].asInt());
    Json::Value cfg = e.GetConfig();
    EXPECT_EQ("bells.mp3", cfg["mediaFilename"].asString());
    EXPECT_EQ(MEDIAOUTPUTSTATUS_PLAYING, cfg["status"].asInt());
    EXPECT_TRUE(cfg.isMember("mediaSeconds"));

    m_events.Clear();
    ASSERT_TRUE(PlayToEnd(e));
    EXPECT_FALSE(e.IsPlaying());
    EXPECT_EQ((std::vector<std::string>{"playlist/media/status=", "playlist/media/title=", "playlist/media/artist="}),
              m_events.Events("playlist/media/"))
        << "the finished file is no longer what plays";
    EXPECT_FALSE(cfg.isMember("nothing"));

    PcmCapture played = ReadPcm16(m_disk->file());
    size_t first = played.firstSound();
    ASSERT_NE(std::string::npos, first);
    EXPECT_NEAR(1.0, (played.endOfSound() - first) / (double)RATE, 0.03);
}

TEST_F(PlaylistEntryMediaTest, RandomModePlaysEveryFileOnceBeforeAnyRepeats) {
    Tones({"/music/a.wav", "/music/b.wav", "/music/c.wav"});
    mkdir(m_media.file("/music/more").c_str(), 0775);
    Tones({"/music/more/d.ogg"});
    m_media.write("/music/notes.txt", "not a song\n");
    mkdir(m_media.file("/music/empty-folder").c_str(), 0775);

    PlaylistEntryMedia e(&m_playlist);
    Json::Value c = Random("randomAudio");
    ASSERT_TRUE(e.Init(c));
    for (int play = 0; play < 8; ++play) {
        ASSERT_EQ(1, e.StartPlaying()) << "play " << play;
        ASSERT_TRUE(PlayToEnd(e));
    }
    auto opened = Opened();
    ASSERT_EQ(8u, opened.size());
    std::set<std::string> all = {m_media.file("/music/a.wav"), m_media.file("/music/b.wav"),
                                 m_media.file("/music/c.wav"), m_media.file("/music/more/d.ogg")};
    EXPECT_EQ(all, std::set<std::string>(opened.begin(), opened.begin() + 4)) << "first round";
    EXPECT_EQ(all, std::set<std::string>(opened.begin() + 4, opened.end())) << "second round";
}

TEST_F(PlaylistEntryMediaTest, PrefixLimitsTheRandomFiles) {
    Tones({"/videos/intro-1.wav", "/videos/intro-2.wav", "/videos/song.wav"});
    PlaylistEntryMedia e(&m_playlist);
    Json::Value c = Random("randomVideo", "intro");
    ASSERT_TRUE(e.Init(c));
    ASSERT_TRUE(e.GetFileList());
    auto list = e.GetFileListForTest();
    std::set<std::string> files(list.begin(), list.end());
    EXPECT_EQ((std::set<std::string>{m_media.file("/videos/intro-1.wav"), m_media.file("/videos/intro-2.wav")}),
              files);
    EXPECT_TRUE(m_log->contains("match: " + m_media.file("/videos/intro-1.wav")));
    EXPECT_TRUE(m_log->contains("2 files in " + m_media.file("/videos") + " directory"));
    for (int play = 0; play < 4; ++play) {
        ASSERT_EQ(1, e.StartPlaying());
        ASSERT_TRUE(PlayToEnd(e));
    }
    for (auto& o : Opened()) EXPECT_NE(std::string::npos, o.find("/intro-")) << o;
}

TEST_F(PlaylistEntryMediaTest, NameWithoutExtensionDoesNotOpen) {
    PlaylistEntryMedia e(&m_playlist);
    Json::Value c = Single("tone");
    ASSERT_TRUE(e.Init(c));
    EXPECT_EQ(0, e.StartPlaying());
    EXPECT_TRUE(e.IsFinished());
    EXPECT_TRUE(m_log->contains("Unable to determine extension of media file tone\n"));
}

TEST_F(PlaylistEntryMediaTest, VideoOutputDefaultsToTheSettingThenHdmi) {
    Tones({"/music/tone.wav"});
    {
        PlaylistEntryMedia e(&m_playlist);
        Json::Value c = Single("tone.wav");
        ASSERT_TRUE(e.Init(c));
        ASSERT_TRUE(e.PreparePlay());
        EXPECT_TRUE(m_log->contains("Video output '--HDMI--': no picture is shown for tone.wav"));
        e.Stop();
    }
    {
        SetSetting("VideoOutput", "--Disabled--");
        PlaylistEntryMedia e(&m_playlist);
        Json::Value c = Single("tone.wav");
        c["videoOut"] = "Wall";
        ASSERT_TRUE(e.Init(c));
        ASSERT_TRUE(e.PreparePlay());
        EXPECT_TRUE(m_log->contains("Video output 'Wall' is not a pixel overlay model; tone.wav plays without its picture"));
        e.Stop();
        SetSetting("VideoOutput", "");
    }
}

TEST_F(PlaylistEntryMediaTest, PauseAndResumeContinueFromThePausedPosition) {
    std::string path = m_media.file("/music/steps.wav");
    ASSERT_TRUE(MakeSteppedTone(path, {300, 400, 500, 600}));
    PlaylistEntryMedia e(&m_playlist);
    Json::Value c = Single("steps.wav");
    ASSERT_TRUE(e.Init(c));
    ASSERT_EQ(1, e.StartPlaying());
    ASSERT_TRUE(waitUntil(
        [&] {
            e.Process();
            return e.GetElapsedMS() >= 1500;
        },
        10000));
    m_events.Clear();
    e.Pause();
    ASSERT_TRUE(e.IsPaused());
    int pausedAt = e.GetPausedAtMs();
    EXPECT_GE(pausedAt, 1500);
    EXPECT_LT(pausedAt, 2500);
    EXPECT_EQ((std::vector<std::string>{"playlist/media/status=", "playlist/media/title=", "playlist/media/artist="}),
              m_events.Events("playlist/media/"));
    EXPECT_EQ((uint64_t)pausedAt, e.GetElapsedMS()) << "a paused entry keeps its position";
    Json::Value cfg = e.GetConfig();
    EXPECT_EQ(pausedAt / 1000, cfg["secondsElapsed"].asInt());

    // What the resumed part plays goes to a new capture file.
    m_disk = std::make_unique<DiskAudio>(m_media.file("/tmp/resumed.raw"));
    e.Resume();
    EXPECT_FALSE(e.IsPaused());
    EXPECT_NEAR(pausedAt, (int)e.GetElapsedMS(), 20) << "the saved status is back";
    ASSERT_TRUE(PlayToEnd(e));

    PcmCapture played = ReadPcm16(m_disk->file());
    std::string raw = m_media.file("/tmp/source.raw");
    ASSERT_EQ(0, runCommand("ffmpeg -hide_banner -loglevel error -nostdin -y -i '" + path + "' -f s16le '" + raw + "'"));
    PcmCapture source = ReadPcm16(raw);
    size_t from = (size_t)((long long)pausedAt * RATE / 1000);
    size_t first = played.firstNonZero();
    ASSERT_NE(std::string::npos, first);
    // The first sample played is the one at the paused position (within a
    // sample of the rounding of milliseconds).
    bool matched = false;
    for (size_t f = from - 1; f <= from + 1 && !matched; ++f) {
        bool same = true;
        for (size_t i = 0; i < 500 && same; ++i) same = source.at(f + i, 0) == played.at(first + i, 0);
        matched = same;
    }
    EXPECT_TRUE(matched) << "resumed at sample " << from;
    EXPECT_NEAR(4.0 - pausedAt / 1000.0, (played.endOfSound() - first) / (double)RATE, 0.01);
}

TEST_F(PlaylistEntryMediaTest, RandomModeResumesTheFileItPaused) {
    Tones({"/music/a.wav", "/music/b.wav", "/music/c.wav"}, 3.0);
    PlaylistEntryMedia e(&m_playlist);
    Json::Value c = Random("randomAudio");
    ASSERT_TRUE(e.Init(c));
    ASSERT_EQ(1, e.StartPlaying());
    std::string playing = e.GetMediaName();
    ASSERT_TRUE(waitUntil(
        [&] {
            e.Process();
            return e.GetElapsedMS() >= 500;
        },
        10000));
    e.Pause();
    m_events.Clear();
    e.Resume();
    EXPECT_EQ(playing, e.GetMediaName());
    EXPECT_EQ((std::vector<std::string>{"playlist/media/status=" + playing}), m_events.Events("playlist/media/status"));
    e.Stop();
}

TEST_F(PlaylistEntryMediaTest, ElapsedBeyondTheKnownLengthRaisesIt) {
    Tones({"/music/tone.wav"}, 2.0);
    PlaylistEntryMedia e(&m_playlist);
    Json::Value c = Single("tone.wav");
    ASSERT_TRUE(e.Init(c));
    ASSERT_EQ(1, e.StartPlaying());
    EXPECT_NEAR(2000, (int)e.GetLengthInMS(), 20);
    mediaOutputStatus.secondsElapsed = 5;
    mediaOutputStatus.subSecondsElapsed = 25;
    EXPECT_EQ(5250u, e.GetElapsedMS());
    EXPECT_EQ(5250u, e.GetLengthInMS());
    e.Stop();
}

TEST_F(PlaylistEntryMediaTest, BadFilesInAPlaylistAreReportedAndTheRestPlays) {
    Tones({"/music/good.wav"}, 0.3);
    m_media.write("/music/notes.mp3", "These are not the sounds you are looking for.\n");
    Json::Value doc;
    ASSERT_TRUE(LoadJsonFromString(R"({"mainPlaylist": [
        {"type": "media", "mediaName": "missing.mp3"},
        {"type": "media", "mediaName": "notes.mp3"},
        {"type": "media", "mediaName": "good.wav"}
    ]})", doc));
    Playlist p("show");
    ASSERT_TRUE(p.LoadJson(doc));
    EXPECT_EQ(2, p.GetSize());
    std::string skipped = "Playlist 'show': mainPlaylist entry 1 skipped: file " + m_media.file("/music/missing.mp3") +
                          " does not exist";
    EXPECT_TRUE(m_log->contains(skipped));
    ASSERT_TRUE(p.Start(0, false));
    ASSERT_TRUE(waitUntil(
        [&] {
            p.Process();
            return p.IsFinished();
        },
        10000));
    EXPECT_TRUE(m_log->contains("Could not open media file " + m_media.file("/music/notes.mp3")));
    EXPECT_TRUE(m_log->contains("Could not start media notes.mp3\n"));
    EXPECT_EQ((std::vector<std::string>{"notes.mp3", "good.wav"}), Opened());
    PcmCapture played = ReadPcm16(m_disk->file());
    EXPECT_NE(std::string::npos, played.firstSound()) << "the good file played";
}

}  // namespace
