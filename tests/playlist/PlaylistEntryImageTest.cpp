// The image playlist entry with images made by GraphicsMagick: letter-boxing
// onto the model's size, images of the model's size left as they are, the
// PNG cache (reused, rebuilt when older, never mixed up between folders or
// model sizes), folders shown each image once in random order, display
// models, and bad input that the playlist gets past.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <set>

#include "DisplayTestSupport.h"
#include "MemoryDisplay.h"
#include "TestSupport.h"
#include "Warnings.h"
#include "common.h"
#include "log.h"
#include "playlist/Playlist.h"
#include "playlist/PlaylistEntryImage.h"
#include "services/DisplayOverlayModel.h"
#include "services/PixelOverlay.h"

using namespace kivtest;

namespace {

typedef std::vector<uint8_t> Bytes;

// A picture whose top half is one colour and bottom half another.
Bytes TwoTone(int w, int h, const uint8_t top[3], const uint8_t bottom[3]) {
    Bytes rgb((size_t)w * h * 3);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) std::copy(y < h / 2 ? top : bottom, (y < h / 2 ? top : bottom) + 3, &rgb[(y * w + x) * 3]);
    }
    return rgb;
}

const uint8_t RED[3] = {255, 0, 0}, GREEN[3] = {0, 255, 0}, BLUE[3] = {0, 0, 255}, BLACK[3] = {0, 0, 0};

bool PixelIs(const Bytes& rgb, int w, int x, int y, const uint8_t c[3]) {
    return std::equal(c, c + 3, &rgb[(y * w + x) * 3]);
}

struct FileStamp {
    ino_t inode = 0;
    timespec mtime{};
    bool operator==(const FileStamp& o) const {
        return inode == o.inode && mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec;
    }
};

FileStamp Stamp(const std::string& path) {
    struct stat st;
    FileStamp s;
    if (stat(path.c_str(), &st) == 0) {
        s.inode = st.st_ino;
        s.mtime = st.st_mtim;
    }
    return s;
}

class PlaylistEntryImageTest : public ::testing::Test {
protected:
    void SetUp() override {
        InitImageLibrary();
        mkdir(media.file("/images").c_str(), 0775);
        LoadModels(R"([{"name": "M", "startChannel": 1, "width": 64, "height": 32},
                       {"name": "Small", "startChannel": 7000, "width": 16, "height": 8}])");
    }
    void TearDown() override {
        PixelOverlayManager::INSTANCE.LoadModels(JsonDoc("{\"models\": []}"), "test");
        PixelOverlayManager::INSTANCE.Cleanup();
    }

    void LoadModels(const std::string& models) {
        ASSERT_TRUE(PixelOverlayManager::INSTANCE.LoadModels(JsonDoc("{\"models\": " + models + "}"), "test"));
    }
    PixelOverlayModel* Model(const std::string& name = "M") { return PixelOverlayManager::INSTANCE.getModel(name); }

    std::string Image(const std::string& name, int w, int h, const Bytes& rgb) {
        std::string path = media.file("/images/" + name);
        std::string dir = path.substr(0, path.find_last_of('/'));
        runCommand("mkdir -p '" + dir + "'");
        EXPECT_TRUE(WriteImage(path, w, h, rgb)) << path;
        return path;
    }

    std::unique_ptr<PlaylistEntryImage> Entry(const std::string& model, const std::string& imagePath) {
        Json::Value config;
        config["type"] = "image";
        config["modelName"] = model;
        config["imagePath"] = imagePath;
        auto e = std::make_unique<PlaylistEntryImage>(nullptr);
        if (!e->Init(config)) return nullptr;
        return e;
    }

    // Plays the entry as the playlist does, until it finishes.
    bool Play(PlaylistEntryImage& e, int timeoutMs = 20000) {
        e.StartPlaying();
        return waitUntil(
            [&] {
                if (!e.IsFinished()) e.Process();
                return (bool)e.IsFinished();
            },
            timeoutMs);
    }

    std::string Cache(const std::string& name) { return media.file("/cache/pei-" + name + ".png"); }

    TempMediaDir media;
};

TEST_F(PlaylistEntryImageTest, A640x480ImageIsLetterBoxedOntoA64x32Model) {
    Image("quarters.png", 640, 480, TwoTone(640, 480, RED, GREEN));
    auto e = Entry("M", "quarters.png");
    ASSERT_NE(nullptr, e);
    ASSERT_TRUE(Play(*e));
    Bytes shown = Model()->getData();
    ASSERT_EQ(64u * 32 * 3, shown.size());
    // Resized to fit 66 x 34 (45 x 34), a border of 10 left and right and 1
    // top and bottom, cropped from (1, 1): 9 black columns, 45 of the image,
    // 10 black; the image's rows 0-31 (red above row 17, green below; the
    // scaling filter blends a few rows around the edge).
    for (int y = 0; y < 32; ++y) {
        for (int x = 0; x < 64; ++x) {
            if (x < 9 || x >= 54) {
                ASSERT_TRUE(PixelIs(shown, 64, x, y, BLACK)) << x << "," << y;
            } else if (y <= 12) {
                ASSERT_TRUE(PixelIs(shown, 64, x, y, RED)) << x << "," << y;
            } else if (y >= 21) {
                ASSERT_TRUE(PixelIs(shown, 64, x, y, GREEN)) << x << "," << y;
            } else {
                const uint8_t* p = &shown[(y * 64 + x) * 3];
                ASSERT_NEAR(255, p[0] + p[1], 2) << x << "," << y;
                ASSERT_EQ(0, p[2]);
            }
        }
    }
    EXPECT_EQ(PixelOverlayModel::STATE_ENABLED, Model()->getState()) << "a disabled model is enabled";

    // The scaled image is cached as a PNG of the model's size.
    int w = 0, h = 0;
    Bytes cached = ReadImageRGB(Cache("quarters.png"), &w, &h);
    EXPECT_EQ(64, w);
    EXPECT_EQ(32, h);
    EXPECT_EQ(shown, cached);
    EXPECT_EQ("quarters.png", e->GetConfig()["imageFilename"].asString());
}

TEST_F(PlaylistEntryImageTest, AnImageOfTheModelsSizeIsNeitherScaledNorCached) {
    Bytes pic = TestPicture(64, 32, 1);
    Image("exact.png", 64, 32, pic);
    auto e = Entry("M", "exact.png");
    ASSERT_NE(nullptr, e);
    ASSERT_TRUE(Play(*e));
    EXPECT_EQ(pic, Model()->getData());
    EXPECT_FALSE(FileExists(Cache("exact.png")));
}

TEST_F(PlaylistEntryImageTest, AnImageMatchingInOneDimensionIsShownFromTheTopLeftUnscaled) {
    Bytes tall = TestPicture(64, 40, 2), wide = TestPicture(100, 32, 3), low = TestPicture(64, 20, 4);
    Image("tall.png", 64, 40, tall);
    Image("wide.png", 100, 32, wide);
    Image("low.png", 64, 20, low);

    auto e = Entry("M", "tall.png");
    ASSERT_NE(nullptr, e);
    ASSERT_TRUE(Play(*e));
    EXPECT_EQ(Bytes(tall.begin(), tall.begin() + 64 * 32 * 3), Model()->getData());

    e = Entry("M", "wide.png");
    ASSERT_NE(nullptr, e);
    ASSERT_TRUE(Play(*e));
    Bytes shown = Model()->getData();
    for (int y = 0; y < 32; ++y) {
        ASSERT_TRUE(std::equal(&wide[y * 100 * 3], &wide[y * 100 * 3] + 64 * 3, &shown[y * 64 * 3])) << "row " << y;
    }

    e = Entry("M", "low.png");
    ASSERT_NE(nullptr, e);
    ASSERT_TRUE(Play(*e));
    shown = Model()->getData();
    EXPECT_TRUE(std::equal(low.begin(), low.end(), shown.begin()));
    EXPECT_TRUE(std::all_of(shown.begin() + low.size(), shown.end(), [](uint8_t b) { return b == 0; }));
    for (auto n : {"tall.png", "wide.png", "low.png"}) EXPECT_FALSE(FileExists(Cache(n))) << n;
}

TEST_F(PlaylistEntryImageTest, AnImageAsWideAsTheModelAfterScalingFillsItsColumns) {
    // 640 x 340 fits 66 x 34 as 64 x 34: as wide as the model.
    Image("banner.png", 640, 340, TwoTone(640, 340, BLUE, BLUE));
    auto e = Entry("M", "banner.png");
    ASSERT_NE(nullptr, e);
    ASSERT_TRUE(Play(*e));
    Bytes shown = Model()->getData();
    for (int y = 0; y < 32; ++y) {
        for (int x = 0; x < 64; ++x) ASSERT_TRUE(PixelIs(shown, 64, x, y, BLUE)) << x << "," << y;
    }
}

TEST_F(PlaylistEntryImageTest, TheSecondShowingIsServedFromTheCacheWithoutScalingAgain) {
    Image("logo.jpg", 640, 480, TwoTone(640, 480, RED, GREEN));
    auto first = Entry("M", "logo.jpg");
    ASSERT_NE(nullptr, first);
    ASSERT_TRUE(Play(*first));
    Bytes shown = Model()->getData();
    first.reset();
    ASSERT_TRUE(FileExists(Cache("logo.jpg")));
    FileStamp before = Stamp(Cache("logo.jpg"));
    std::string bytesBefore = GetFileContents(Cache("logo.jpg"));

    LogCapture log;
    KIVLogger::INSTANCE.Playlist.level = LOG_DEBUG;
    auto second = Entry("M", "logo.jpg");
    ASSERT_NE(nullptr, second);
    ASSERT_TRUE(Play(*second));
    EXPECT_EQ(shown, Model()->getData());
    EXPECT_TRUE(Stamp(Cache("logo.jpg")) == before) << "the cache file is reused, not rewritten";
    EXPECT_EQ(bytesBefore, GetFileContents(Cache("logo.jpg")));
    EXPECT_TRUE(log.contains("Using cached image " + Cache("logo.jpg")));
}

TEST_F(PlaylistEntryImageTest, ACachedImageOlderThanItsSourceIsRebuilt) {
    std::string src = Image("logo.png", 640, 480, TwoTone(640, 480, RED, RED));
    auto e = Entry("M", "logo.png");
    ASSERT_NE(nullptr, e);
    ASSERT_TRUE(Play(*e));
    e.reset();
    FileStamp old = Stamp(Cache("logo.png"));

    // The source changes (blue now) and is newer than the cache.
    Image("logo.png", 640, 480, TwoTone(640, 480, BLUE, BLUE));
    timespec times[2] = {{0, UTIME_OMIT}, {old.mtime.tv_sec + 10, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, src.c_str(), times, 0));
    e = Entry("M", "logo.png");
    ASSERT_NE(nullptr, e);
    ASSERT_TRUE(Play(*e));
    EXPECT_TRUE(PixelIs(Model()->getData(), 64, 30, 16, BLUE));
    EXPECT_FALSE(Stamp(Cache("logo.png")) == old);
    Bytes cached = ReadImageRGB(Cache("logo.png"));
    ASSERT_FALSE(cached.empty());
    EXPECT_TRUE(PixelIs(cached, 64, 30, 16, BLUE));
}

TEST_F(PlaylistEntryImageTest, TheSameFileNameInTwoFoldersOrForTwoModelSizesNeverShowsTheWrongImage) {
    Image("a/logo.png", 640, 480, TwoTone(640, 480, RED, RED));
    Image("b/logo.png", 640, 480, TwoTone(640, 480, BLUE, BLUE));
    auto a = Entry("M", "a/logo.png");
    ASSERT_NE(nullptr, a);
    ASSERT_TRUE(Play(*a));
    EXPECT_TRUE(PixelIs(Model()->getData(), 64, 30, 16, RED));
    auto b = Entry("M", "b/logo.png");
    ASSERT_NE(nullptr, b);
    ASSERT_TRUE(Play(*b));
    EXPECT_TRUE(PixelIs(Model()->getData(), 64, 30, 16, BLUE)) << "not the cached image of a/logo.png";

    auto small = Entry("Small", "b/logo.png");
    ASSERT_NE(nullptr, small);
    ASSERT_TRUE(Play(*small));
    Bytes shown = Model("Small")->getData();
    // 16 x 8: 640 x 480 fits 18 x 10 as 13 x 10; border 2: 1 black column, 13 blue, 2 black.
    EXPECT_TRUE(PixelIs(shown, 16, 0, 4, BLACK));
    EXPECT_TRUE(PixelIs(shown, 16, 1, 4, BLUE));
    EXPECT_TRUE(PixelIs(shown, 16, 13, 4, BLUE));
    EXPECT_TRUE(PixelIs(shown, 16, 14, 4, BLACK));
}

TEST_F(PlaylistEntryImageTest, AFolderShowsEveryImageOnceInRandomOrderBeforeRepeating) {
    const uint8_t colours[5][3] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 0}, {0, 255, 255}};
    for (int i = 0; i < 5; ++i) {
        Image("show/c" + std::to_string(i) + ".png", 64, 32, SolidPicture(64, 32, colours[i][0], colours[i][1], colours[i][2]));
    }
    mkdir(media.file("/images/show/empty-sub").c_str(), 0775);
    auto e = Entry("M", "show");
    ASSERT_NE(nullptr, e);
    std::vector<int> order;
    for (int play = 0; play < 10; ++play) {
        ASSERT_TRUE(e->WaitForPreparedImage(20000));
        ASSERT_TRUE(Play(*e));
        Bytes shown = Model()->getData();
        int which = -1;
        for (int i = 0; i < 5; ++i) {
            if (PixelIs(shown, 64, 0, 0, colours[i])) which = i;
        }
        ASSERT_NE(-1, which);
        order.push_back(which);
    }
    EXPECT_EQ(5u, std::set<int>(order.begin(), order.begin() + 5).size()) << "each image once before repeats";
    EXPECT_EQ(5u, std::set<int>(order.begin() + 5, order.end()).size());
}

TEST_F(PlaylistEntryImageTest, RelativePathsAreInTheImagesFolderAbsoluteOnesAsGiven) {
    Bytes pic = TestPicture(64, 32, 5);
    std::string path = Image("here.png", 64, 32, pic);
    auto rel = Entry("M", "here.png");
    ASSERT_NE(nullptr, rel);
    EXPECT_EQ(media.file("/images/here.png"), rel->GetImageFile());
    auto abs = Entry("M", path);
    ASSERT_NE(nullptr, abs);
    EXPECT_EQ(path, abs->GetImageFile());
    ASSERT_TRUE(Play(*abs));
    EXPECT_EQ(pic, Model()->getData());

    Json::Value cfg = abs->GetConfig();
    EXPECT_EQ("image", cfg["type"].asString());
    EXPECT_EQ(path, cfg["imagePath"].asString());
    EXPECT_EQ("M", cfg["modelName"].asString());
    EXPECT_EQ("here.png", cfg["imageFilename"].asString());
}

TEST_F(PlaylistEntryImageTest, DestroyingTheEntryClearsTheModelAndRestoresItsState) {
    Image("x.png", 64, 32, TestPicture(64, 32, 6));
    ASSERT_EQ(PixelOverlayModel::STATE_DISABLED, Model()->getState());
    auto e = Entry("M", "x.png");
    ASSERT_NE(nullptr, e);
    EXPECT_EQ(PixelOverlayModel::STATE_ENABLED, Model()->getState());
    ASSERT_TRUE(Play(*e));
    e.reset();
    EXPECT_EQ(PixelOverlayModel::STATE_DISABLED, Model()->getState());
    Bytes shown = Model()->getData();
    EXPECT_TRUE(std::all_of(shown.begin(), shown.end(), [](uint8_t b) { return b == 0; }));

    // A model in use (transparent) stays so.
    Model()->setState(PixelOverlayModel::STATE_TRANSPARENT);
    e = Entry("M", "x.png");
    ASSERT_NE(nullptr, e);
    EXPECT_EQ(PixelOverlayModel::STATE_TRANSPARENT, Model()->getState());
    e.reset();
    EXPECT_EQ(PixelOverlayModel::STATE_TRANSPARENT, Model()->getState());
}

TEST_F(PlaylistEntryImageTest, AnImageOnADisplayModelAppearsWithTheModelsTransition) {
    MemoryDisplayScope display;
    DisplayOverlayModel::RegisterType();
    LoadModels(R"([{"name": "Door", "type": "display", "device": "fb1", "width": 64, "height": 32,
                    "pixelSize": 2, "transition": 8}])");
    PixelOverlayManager::UnregisterModelType(DisplayOverlayModel::TYPE);
    auto* door = dynamic_cast<DisplayOverlayModel*>(Model("Door"));
    ASSERT_NE(nullptr, door);
    Image("door.png", 640, 480, TwoTone(640, 480, RED, GREEN));
    auto e = Entry("Door", "door.png");
    ASSERT_NE(nullptr, e);
    ASSERT_TRUE(Play(*e));
    ASSERT_TRUE(door->GetFrameBuffer().WaitUntilShown(20000));
    EXPECT_EQ(IMAGE_TRANSITION_WIPE_RIGHT, door->GetFrameBuffer().LastTransitionDrawn());
    Bytes shown = door->getData();
    EXPECT_TRUE(PixelIs(shown, 64, 20, 5, RED));
    std::string why;
    EXPECT_TRUE(ScreenShows(*MemoryDisplay::Screen("fb1"), shown, 64, 32, 2, &why)) << why;
    e.reset();
    ASSERT_TRUE(door->GetFrameBuffer().WaitUntilShown(20000));
    Bytes screen = MemoryDisplay::Screen("fb1")->VisibleRGB();
    EXPECT_TRUE(std::all_of(screen.begin(), screen.end(), [](uint8_t b) { return b == 0; }))
        << "the entry clears the screen when it goes";
}

TEST_F(PlaylistEntryImageTest, BadInputGivesAClearErrorAndThePlaylistGoesOn) {
    Image("good.png", 64, 32, TestPicture(64, 32, 7));
    mkdir(media.file("/images/empty").c_str(), 0775);
    media.write("/images/notes.png", "these are my notes, not a picture\n");
    Image("whole.png", 640, 480, TestPicture(640, 480, 8));
    std::string whole = GetFileContents(media.file("/images/whole.png"));
    media.write("/images/truncated.png", whole.substr(0, whole.size() / 3));

    LogCapture log;
    Playlist playlist("bad");
    ASSERT_TRUE(playlist.LoadJson(JsonDoc(R"({"mainPlaylist": [
        {"type": "image", "modelName": "M", "imagePath": "missing.png"},
        {"type": "image", "modelName": "Nope", "imagePath": "good.png"},
        {"type": "image", "modelName": "", "imagePath": "good.png"},
        {"type": "image", "modelName": "M"},
        {"type": "image", "modelName": "M", "imagePath": "empty"},
        {"type": "image", "modelName": "M", "imagePath": "notes.png"},
        {"type": "image", "modelName": "M", "imagePath": "truncated.png"},
        {"type": "image", "modelName": "M", "imagePath": "good.png"}
    ]})")));
    EXPECT_EQ(4, playlist.GetSize());
    std::string missing = media.file("/images/missing.png");
    EXPECT_TRUE(log.contains("Playlist 'bad': mainPlaylist entry 1 skipped: file " + missing + " does not exist"));
    EXPECT_TRUE(log.contains("Invalid Pixel Overlay Model: 'Nope'"));
    EXPECT_TRUE(log.contains("Playlist 'bad': mainPlaylist entry 2 skipped: Invalid Pixel Overlay Model: 'Nope'"));
    EXPECT_TRUE(log.contains("Empty Pixel Overlay Model name"));
    EXPECT_TRUE(log.contains("Missing imagePath"));

    // The empty folder, the text file and the truncated PNG pass; the good
    // image ends up on the model.
    std::vector<Bytes> shownAt;
    ASSERT_TRUE(playlist.Start(0, false));
    ASSERT_TRUE(waitUntil(
        [&] {
            playlist.Process();
            return playlist.IsFinished();
        },
        30000));
    EXPECT_TRUE(log.contains("No files found in GetNextFile()"));
    EXPECT_TRUE(log.contains("GraphicsMagick exception reading " + media.file("/images/notes.png") + ": "));
    EXPECT_TRUE(log.contains("GraphicsMagick exception reading " + media.file("/images/truncated.png") + ": "));
    EXPECT_EQ(TestPicture(64, 32, 7), Model()->getData());
    for (auto& w : playlist.GetSkippedEntries()) WarningHolder::RemoveWarning(w);
}

TEST_F(PlaylistEntryImageTest, AnUnreadableImageShowsBlack) {
    media.write("/images/notes.png", "not a picture");
    Model()->setData(TestPicture(64, 32, 9).data());
    LogCapture log;
    auto e = Entry("M", "notes.png");
    ASSERT_NE(nullptr, e);
    ASSERT_TRUE(Play(*e));
    Bytes shown = Model()->getData();
    EXPECT_TRUE(std::all_of(shown.begin(), shown.end(), [](uint8_t b) { return b == 0; }));
    EXPECT_TRUE(log.contains("GraphicsMagick exception reading " + media.file("/images/notes.png")));
}

TEST_F(PlaylistEntryImageTest, ACacheFolderThatCannotBeWrittenStillShowsTheImage) {
    media.write("/cache", "a file where the cache folder should be\n");
    Image("logo.png", 640, 480, TwoTone(640, 480, RED, GREEN));
    LogCapture log;
    auto e = Entry("M", "logo.png");
    ASSERT_NE(nullptr, e);
    ASSERT_TRUE(Play(*e));
    EXPECT_TRUE(log.contains("Could not write image cache file " + Cache("logo.png")));
    Bytes shown = Model()->getData();
    EXPECT_TRUE(PixelIs(shown, 64, 20, 5, RED));
    EXPECT_TRUE(PixelIs(shown, 64, 20, 25, GREEN));
    EXPECT_TRUE(PixelIs(shown, 64, 2, 5, BLACK));
}

TEST_F(PlaylistEntryImageTest, AModelThatIsGoneWhenDrawingEndsTheEntry) {
    Image("x.png", 64, 32, TestPicture(64, 32, 10));
    auto e = Entry("M", "x.png");
    ASSERT_NE(nullptr, e);
    ASSERT_TRUE(e->WaitForPreparedImage(20000));
    LoadModels(R"([{"name": "Other", "startChannel": 1, "width": 4, "height": 4}])");
    LogCapture log;
    ASSERT_TRUE(Play(*e));
    EXPECT_TRUE(log.contains("Invalid Pixel Overlay Model: 'M'"));
}

TEST_F(PlaylistEntryImageTest, AnEntryRepeatedInAPlaylistDrawsTheImagePreparedAhead) {
    const uint8_t colours[2][3] = {{255, 0, 0}, {0, 0, 255}};
    for (int i = 0; i < 2; ++i) {
        Image("two/c" + std::to_string(i) + ".png", 64, 32, SolidPicture(64, 32, colours[i][0], colours[i][1], colours[i][2]));
    }
    auto e = Entry("M", "two");
    ASSERT_NE(nullptr, e);
    std::set<int> seen;
    for (int play = 0; play < 2; ++play) {
        ASSERT_TRUE(e->WaitForPreparedImage(20000));
        e->StartPlaying();
        // Drawn at the start already: nothing to wait for.
        Bytes shown = Model()->getData();
        for (int i = 0; i < 2; ++i) {
            if (PixelIs(shown, 64, 5, 5, colours[i])) seen.insert(i);
        }
        e->Process();
        EXPECT_TRUE(e->IsFinished());
    }
    EXPECT_EQ(2u, seen.size());
}

TEST_F(PlaylistEntryImageTest, DumpLogsThePaths) {
    Image("d.png", 64, 32, TestPicture(64, 32, 11));
    auto e = Entry("M", "d.png");
    ASSERT_NE(nullptr, e);
    LogCapture log;
    KIVLogger::INSTANCE.Playlist.level = LOG_DEBUG;
    e->Dump();
    EXPECT_TRUE(log.contains("Image Path     : d.png\n"));
    EXPECT_TRUE(log.contains("Image Full Path: " + media.file("/images/d.png") + "\n"));
    EXPECT_TRUE(log.contains("Model Name     : M\n"));
}

}  // namespace
