// What a master sends a remote: the plan from two listings (a table of
// cases), names made for one board, and the digests a board keeps of its
// files.

#include <gtest/gtest.h>

#include <unistd.h>

#include "TestSupport.h"
#include "common.h"
#include "sync/FileInventory.h"

using namespace FileInventory;

namespace {

std::string Sent(const std::vector<Transfer>& plan) {
    std::string out;
    for (auto& t : plan) out += (out.empty() ? "" : " ") + t.Path();
    return out;
}

TEST(FileInventory, PlansWhatTheRemoteLacksOrHoldsOtherwiseInSendingOrder) {
    const std::vector<std::string> hosts = {"garage", "porch", "house"};
    Listing master;
    master[Kind::Schedule] = {{"schedule.json", 300, "s1"}};
    master[Kind::Playlists] = {{"evening", 120, "p1"}};
    master[Kind::Sequences] = {{"show.hseq", 1000, "a"},
                               {"show-garage.hseq", 900, "b"},
                               {"show_porch.hseq", 900, "c"},
                               {"show-cellar.hseq", 900, "d"},  // no board of that name: a show like any
                               {"intro.hseq", 50, "e"}};
    master[Kind::Music] = {{"song.mp3", 5000, "m"}};
    struct Case {
        const char* name;
        std::string remoteHost;
        Listing remote;
        std::string sent;
    };
    Listing same = master;
    Listing changed = master;
    changed[Kind::Sequences][0].sha256 = "x";   // same size, other bytes
    changed[Kind::Music][0].size = 4999;        // same digest claimed, other size
    changed[Kind::Playlists][0].size = 999;     // written with other spacing: same document
    changed[Kind::Schedule][0].sha256 = "s0";
    const Case cases[] = {
        {"empty remote", "garage", {},
         "sequences/show.hseq sequences/show-garage.hseq sequences/show-cellar.hseq sequences/intro.hseq "
         "music/song.mp3 playlists/evening schedule/schedule.json"},
        {"another board's files stay home", "porch", {},
         "sequences/show.hseq sequences/show_porch.hseq sequences/show-cellar.hseq sequences/intro.hseq "
         "music/song.mp3 playlists/evening schedule/schedule.json"},
        {"in step", "garage", same, ""},
        {"changed files only", "garage", changed, "sequences/show.hseq music/song.mp3 schedule/schedule.json"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.sent, Sent(Plan(master, c.remote, c.remoteHost, hosts)));
    }
}

TEST(FileInventory, NamesMadeForOneBoard) {
    const std::vector<std::string> hosts = {"stage", "b", "left-b", ""};
    struct Case {
        const char* name;
        const char* host;
    };
    const Case cases[] = {
        {"show-stage.hseq", "stage"}, {"show_stage.hseq", "stage"}, {"show.hseq", ""},
        {"show-stage.hseqx", ""},     // a five-character extension is no file a remote looks for
        {"-stage.hseq", ""},          // nothing before the separator
        {"showstage.hseq", ""},       {"x_left-b.mp3", "left-b"},  // the longest name that fits
        {"show-stage", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(c.host, HostOfFile(c.name, hosts)) << c.name;
}

TEST(FileInventory, KindsComeFromTheSettingText) {
    std::vector<std::string> problems;
    EXPECT_EQ((std::vector<Kind>{Kind::Sequences, Kind::Music}), ParseKinds("music, Sequences", &problems));
    EXPECT_TRUE(problems.empty());
    EXPECT_EQ(6u, ParseKinds("").size());
    EXPECT_EQ((std::vector<Kind>{Kind::Playlists}), ParseKinds("playlists songs", &problems));
    ASSERT_EQ(1u, problems.size());
    EXPECT_NE(std::string::npos, problems[0].find("\"songs\" is not a kind of file"));
}

TEST(FileInventory, ListsFilesWithDigestsKeptUntilTheyChange) {
    kivtest::TempMediaDir media;
    media.write("/sequences/show.hseq", "abc");
    media.write("/sequences/.show.hseq.tmp-1-x", "partial");  // an upload under way
    media.write("/playlists/evening.json", R"({"mainPlaylist": [], "name": "evening"})");
    media.write("/playlists/notes.txt", "not a playlist");
    Listing l = ListLocal({Kind::Sequences, Kind::Playlists, Kind::Schedule});
    ASSERT_EQ(1u, l[Kind::Sequences].size());
    EXPECT_EQ("show.hseq", l[Kind::Sequences][0].name);
    EXPECT_EQ(3, l[Kind::Sequences][0].size);
    EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", l[Kind::Sequences][0].sha256);
    ASSERT_EQ(1u, l[Kind::Playlists].size());
    EXPECT_EQ("evening", l[Kind::Playlists][0].name);
    EXPECT_TRUE(l[Kind::Schedule].empty());
    // The same document written by another board's hand.
    EXPECT_EQ(l[Kind::Playlists][0].sha256, DocumentDigest("{\n    \"name\" : \"evening\",\n  \"mainPlaylist\":[]}"));
    EXPECT_NE(l[Kind::Playlists][0].sha256, DocumentDigest(R"({"mainPlaylist": [], "name": "morning"})"));

    Listing back;
    std::string error;
    ASSERT_TRUE(FromJson(ToJson(l), back, error)) << error;
    EXPECT_EQ("", Sent(Plan(l, back, "", {})));
    EXPECT_FALSE(FromJson(LoadJsonFromString(R"({"music": [{"name": "a"}]})"), back, error));

    // A digest handed over for a file just written is used while the file
    // stays as it is; a file changed (even to the same size) is read again.
    std::string path = media.file("/sequences/show.hseq");
    RememberDigest(path, "given");
    EXPECT_EQ("given", FileDigest(path));
    usleep(20000);  // a tick of the file system's clock later, as any edit is
    media.write("/sequences/show.hseq", "abd");
    EXPECT_EQ("a52d159f262b2c6ddb724a61840befc36eb30c88877a4030b65cbe86298449c9", FileDigest(path));
}

}  // namespace
