#include <gtest/gtest.h>

#include "TestPlaylistEntry.h"
#include "TestSupport.h"
#include "Warnings.h"
#include "common.h"
#include "playlist/Playlist.h"
#include "playlist/PlaylistEntryBase.h"

using kivtest::TestEntries;

namespace {

bool hasWarning(const std::string& text) {
    for (auto& w : WarningHolder::GetWarnings()) {
        if (w == text) return true;
    }
    return false;
}

class PlaylistTest : public ::testing::Test {
protected:
    void SetUp() override {
        TestEntries::Register();
        TestEntries::Reset();
    }
    void Run(Playlist& p, int steps) {
        for (int i = 0; i < steps && !p.IsFinished(); ++i) p.Process();
    }
    kivtest::TempMediaDir m_media;
};

TEST_F(PlaylistTest, SkipsEntriesThatCannotPlayWithAWarningAndKeepsTheRest) {
    m_media.write("/playlists/mixed.json", R"({
        "leadIn": [ {"type": "test", "name": "in"}, "not an object" ],
        "mainPlaylist": [
            {"type": "test", "name": "a"},
            {"name": "no type"},
            {"type": "hologram", "name": "h"},
            {"type": "test", "name": "bad", "failInit": true},
            {"type": "test", "name": "gone", "missing": "/media/sequences/gone.hseq"},
            {"type": "test", "name": "b"}
        ],
        "leadOut": []
    })");
    kivtest::LogCapture log;
    Playlist p("mixed");
    ASSERT_TRUE(p.Load()) << p.GetLoadError();
    EXPECT_EQ(1, p.GetSectionSize(Playlist::LEAD_IN));
    EXPECT_EQ(2, p.GetSectionSize(Playlist::MAIN));
    EXPECT_EQ(0, p.GetSectionSize(Playlist::LEAD_OUT));
    std::vector<std::string> expected = {
        "Playlist 'mixed': leadIn entry 2 skipped: it is not a JSON object",
        "Playlist 'mixed': mainPlaylist entry 2 skipped: it has no \"type\"",
        "Playlist 'mixed': mainPlaylist entry 3 skipped: type 'hologram' cannot be played by this build",
        "Playlist 'mixed': mainPlaylist entry 4 skipped: its settings are not valid (see the log above)",
        "Playlist 'mixed': mainPlaylist entry 5 skipped: file /media/sequences/gone.hseq does not exist",
    };
    EXPECT_EQ(expected, p.GetSkippedEntries());
    for (auto& w : expected) {
        EXPECT_TRUE(hasWarning(w)) << w;
        EXPECT_TRUE(log.contains(w)) << w;
    }

    // Fixed file: the warnings of the earlier load go away.
    m_media.write("/playlists/mixed.json", R"({"mainPlaylist": [ {"type": "test", "name": "a"} ]})");
    Playlist fixed("mixed");
    ASSERT_TRUE(fixed.Load());
    for (auto& w : expected) EXPECT_FALSE(hasWarning(w)) << w;
}

TEST_F(PlaylistTest, GarbledOrMisshapenFilesGiveAClearError) {
    struct Case {
        const char* text;
        const char* error;
    } cases[] = {
        {"{\"mainPlaylist\": [", "is not valid JSON"},
        {"[1, 2, 3]", "must be a JSON object"},
        {"{\"mainPlaylist\": {\"type\": \"test\"}}", "\"mainPlaylist\" must be an array of entries"},
        {"{\"leadIn\": [], \"mainPlaylist\": [], \"leadOut\": []}", "has no entries to play"},
        {"{\"mainPlaylist\": [ {\"type\": \"nothing\"} ]}", "has no entries to play"},
    };
    for (auto& c : cases) {
        m_media.write("/playlists/bad.json", c.text);
        kivtest::LogCapture log;
        Playlist p("bad");
        EXPECT_FALSE(p.Load()) << c.text;
        EXPECT_NE(std::string::npos, p.GetLoadError().find(c.error)) << c.text << " gave " << p.GetLoadError();
        EXPECT_TRUE(log.contains(p.GetLoadError())) << log.text();
        EXPECT_FALSE(p.Start(0, false));
    }
    Playlist missing("absent");
    EXPECT_FALSE(missing.Load());
    EXPECT_EQ("Playlist 'absent' does not exist (" + m_media.path() + "/playlists/absent.json)",
              missing.GetLoadError());
}

TEST_F(PlaylistTest, DisabledAndPlayOnceEntriesAreSkippedWhenTheirTurnComes) {
    m_media.write("/playlists/p.json", R"({"mainPlaylist": [
        {"type": "test", "name": "once", "playOnce": true},
        {"type": "test", "name": "off", "enabled": false},
        {"type": "test", "name": "every"}]})");
    Playlist p("p");
    ASSERT_TRUE(p.Load());
    ASSERT_TRUE(p.Start(0, true));
    // Each entry plays a step, then ends; three passes of the main section.
    for (int i = 0; i < 20 && TestEntries::Count("every:start") < 3; ++i) {
        p.Process();
        TestEntries::Finish(p.GetCurrentEntry()->GetConfig()["name"].asString());
        p.Process();
    }
    EXPECT_EQ(1, TestEntries::Count("once:start"));
    EXPECT_EQ(0, TestEntries::Count("off:start"));
    EXPECT_EQ(3, TestEntries::Count("off:refused"));
    EXPECT_EQ(3, TestEntries::Count("every:start"));
    EXPECT_EQ(2, TestEntries::Count("once:refused"));
}

TEST_F(PlaylistTest, RepeatStopsWhenNoMainEntryCanPlay) {
    m_media.write("/playlists/p.json", R"({"mainPlaylist": [
        {"type": "test", "name": "x", "failStart": true},
        {"type": "test", "name": "y", "failStart": true}],
        "leadOut": [ {"type": "test", "name": "out"} ]})");
    kivtest::LogCapture log;
    Playlist p("p");
    ASSERT_TRUE(p.Load());
    ASSERT_TRUE(p.Start(0, true));
    Run(p, 50);
    EXPECT_EQ(1, TestEntries::Count("x:start"));
    EXPECT_EQ(1, TestEntries::Count("out:start")) << "the lead-out still plays";
    EXPECT_TRUE(log.contains("Playlist 'p': nothing in \"mainPlaylist\" could play; not repeating it"));
    TestEntries::Finish("out");
    Run(p, 3);
    EXPECT_TRUE(p.IsFinished());
}

TEST_F(PlaylistTest, EntryBaseAnswersTheContractDefaults) {
    Playlist p("keywords");
    PlaylistEntryBase e(&p, nullptr);
    Json::Value cfg;
    cfg["note"] = "front yard";
    ASSERT_TRUE(e.Init(cfg));
    EXPECT_EQ(0u, e.GetLengthInMS());
    EXPECT_EQ(0u, e.GetElapsedMS());
    EXPECT_EQ(0, e.GetNextBranchType());
    EXPECT_EQ(nullptr, e.GetNextItem());
    EXPECT_EQ("", e.GetNextSection());
    EXPECT_EQ("", e.GetNextData());
    EXPECT_FALSE(e.IsPaused());
    EXPECT_EQ("keywords/base/front yard", e.ReplaceMatches("%PLAYLIST%/%TYPE%/%NOTE%"));
    EXPECT_FALSE(e.IsStarted());
    EXPECT_EQ(1, e.StartPlaying());
    EXPECT_TRUE(e.IsPlaying());
    EXPECT_FALSE(e.IsFinished());
    e.Stop();
    EXPECT_TRUE(e.IsFinished());
    EXPECT_FALSE(e.IsPlaying());
    EXPECT_TRUE(e.GetConfig()["isFinished"].asBool());
}
TEST_F(PlaylistTest, DocumentedExamplePlaylistLoadsEveryEntry) {
    m_media.write("/playlists/evening.json",
                  GetFileContents(kivtest::sourceDir() + "/docs/examples/playlists/evening.json"));
    for (auto name : {"welcome", "tune-in-sign", "jingle-bells", "carol-of-the-bells", "snow-test", "goodnight"}) {
        Touch(m_media.file(std::string("/sequences/") + name + ".hseq"));
    }
    Playlist p("evening");
    ASSERT_TRUE(p.Load()) << p.GetLoadError();
    EXPECT_TRUE(p.GetSkippedEntries().empty());
    EXPECT_EQ(1, p.GetSectionSize(Playlist::LEAD_IN));
    EXPECT_EQ(4, p.GetSectionSize(Playlist::MAIN));
    EXPECT_EQ(1, p.GetSectionSize(Playlist::LEAD_OUT));
    EXPECT_EQ("sequence", p.GetEntry(Playlist::MAIN, 1)->GetType());
    EXPECT_EQ("jingle-bells.hseq", p.GetEntry(Playlist::MAIN, 1)->GetConfig()["sequenceName"].asString());
    EXPECT_TRUE(p.GetEntry(Playlist::MAIN, 0)->GetConfig()["playOnce"].asBool());
    EXPECT_FALSE(p.GetEntry(Playlist::MAIN, 3)->GetConfig()["enabled"].asBool());
    EXPECT_EQ("The nightly show: a welcome, the songs on repeat, a good-night", p.GetDescription());

    // Without its sequences the entries are skipped, each with a warning.
    unlink(m_media.file("/sequences/jingle-bells.hseq").c_str());
    Playlist q("evening");
    ASSERT_TRUE(q.Load());
    ASSERT_EQ(1u, q.GetSkippedEntries().size());
    EXPECT_EQ("Playlist 'evening': mainPlaylist entry 2 skipped: file " + m_media.file("/sequences/jingle-bells.hseq") +
                  " does not exist",
              q.GetSkippedEntries()[0]);
    EXPECT_TRUE(hasWarning(q.GetSkippedEntries()[0]));
}
}  // namespace
