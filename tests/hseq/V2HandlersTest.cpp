// Compressed version 2 reading: the "HSEQReadThread" read-ahead, random
// access across blocks, and damaged, truncated or lying files, whose frames
// must come back exact or missing (with a log line), never wrong, and never
// make the reader wait for storage that has nothing more to give.

#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>

#include "HSEQTestSupport.h"
#include "log.h"

using namespace hseqtest;

namespace {

std::unique_ptr<HSEQFile> Open(const std::string& path) { return std::unique_ptr<HSEQFile>(HSEQFile::openHSEQFile(path)); }

ShowSpec MultiBlockShow(HSEQFile::CompressionType type) {
    ShowSpec spec;
    spec.channels = 4000;
    spec.frames = 150;  // 600,000 raw bytes: blocks of 16 frames after the first 10
    spec.compression = type;
    spec.seed = 77;
    return spec;
}

int CountThreadsNamed(const std::string& name) {
    int n = 0;
    DIR* d = opendir("/proc/self/task");
    if (!d) return -1;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
        std::string line;
        std::getline(comm, line);
        if (line == name) ++n;
    }
    closedir(d);
    return n;
}

// Frame f read through the file: the bytes, or empty when it is missing.
Bytes ReadOne(HSEQFile* f, uint32_t n, uint32_t width) {
    std::unique_ptr<HSEQFile::FrameData> fd(f->getFrame(n));
    Bytes out(width, 0);
    if (!fd || !fd->readFrame(out.data(), width)) return Bytes();
    return out;
}

class CompressedRead : public ::testing::TestWithParam<HSEQFile::CompressionType> {};

}  // namespace

TEST_P(CompressedRead, ReadThreadIsNamedAndStopsWithTheFile) {
    ScratchDir dir;
    ShowSpec spec = MultiBlockShow(GetParam());
    ASSERT_TRUE(GenerateShow(dir.file("t.hseq"), spec));
    int before = CountThreadsNamed("HSEQReadThread");
    {
        auto f = Open(dir.file("t.hseq"));
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(ReadOne(f.get(), 0, spec.channels), ExpectedFrame(spec, 0, spec.channels));
        EXPECT_EQ(CountThreadsNamed("HSEQReadThread"), before + 1);
    }
    EXPECT_EQ(CountThreadsNamed("HSEQReadThread"), before);
}

TEST_P(CompressedRead, RandomAccessAcrossBlocksReadsTheRightFrames) {
    ScratchDir dir;
    ShowSpec spec = MultiBlockShow(GetParam());
    ASSERT_TRUE(GenerateShow(dir.file("r.hseq"), spec));
    auto f = Open(dir.file("r.hseq"));
    ASSERT_NE(f, nullptr);
    ASSERT_GE(dynamic_cast<V2HSEQFile*>(f.get())->getBlockList().size(), 9u);
    uint32_t order[] = {90, 3, 149, 0, 91, 90, 10, 11, 9, 140, 60, 61, 62, 5, 5, 120, 20, 149, 148};
    for (uint32_t n : order) {
        EXPECT_EQ(ReadOne(f.get(), n, spec.channels), ExpectedFrame(spec, n, spec.channels)) << n;
    }
    EXPECT_EQ(std::unique_ptr<HSEQFile::FrameData>(f->getFrame(150)), nullptr);
}

TEST_P(CompressedRead, ReadsRequestedRangesOfEveryFrame) {
    ScratchDir dir;
    ShowSpec spec = MultiBlockShow(GetParam());
    ASSERT_TRUE(GenerateShow(dir.file("r.hseq"), spec));
    auto f = Open(dir.file("r.hseq"));
    auto frames = ReadAllFrames(f.get(), 5000, {{3990, 100}, {0, 8}, {2047, 3}});
    for (uint32_t n = 0; n < spec.frames; ++n) {
        Bytes all = ExpectedFrame(spec, n, 5000);
        Bytes expected(5000, 0);
        memcpy(&expected[3990], &all[3990], 10);
        memcpy(&expected[0], &all[0], 8);
        memcpy(&expected[2047], &all[2047], 3);
        EXPECT_EQ(frames[n], expected) << n;
    }
}

TEST_P(CompressedRead, StartingMidFileReadsFromTheBlockOfTheStartFrame) {
    ScratchDir dir;
    ShowSpec spec = MultiBlockShow(GetParam());
    ASSERT_TRUE(GenerateShow(dir.file("m.hseq"), spec));
    auto f = Open(dir.file("m.hseq"));
    kivtest::LogCapture log;
    KIVLogger::INSTANCE.SetLevel("Sequence", LOG_DEBUG);
    f->prepareRead({{0, spec.channels}}, 100);
    // Blocks: 0-9, then 16 frames each from 10: frame 100 lies in block 6.
    EXPECT_TRUE(log.contains("Preparing to read starting frame:  100    block: 6\n"));
    for (uint32_t n = 100; n < spec.frames; ++n) {
        EXPECT_EQ(ReadOne(f.get(), n, spec.channels), ExpectedFrame(spec, n, spec.channels)) << n;
    }
}

TEST_P(CompressedRead, TruncatedFileGivesExactFramesBeforeTheCutAndMissingOnesAfter) {
    ScratchDir dir;
    ShowSpec spec = MultiBlockShow(GetParam());
    std::string path = dir.file("cut.hseq");
    ASSERT_TRUE(GenerateShow(path, spec));
    Bytes b = ReadFile(path);
    auto blocks = ParseBlockIndex(b);
    ASSERT_GE(blocks.size(), 6u);
    b.resize(blocks[4].offset + blocks[4].size / 2);
    ASSERT_TRUE(WriteFile(path, b));
    kivtest::LogCapture log;
    auto f = Open(path);
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(log.contains("block 4 (offset"));
    EXPECT_TRUE(log.contains("is cut off by the end of the file"));
    EXPECT_TRUE(log.contains("block 5 (frame"));
    int missing = 0;
    for (uint32_t n = 0; n < spec.frames; ++n) {
        Bytes got = ReadOne(f.get(), n, spec.channels);
        if (n < blocks[4].firstFrame) {
            EXPECT_EQ(got, ExpectedFrame(spec, n, spec.channels)) << n;
        } else if (got.empty()) {
            ++missing;
        } else {
            EXPECT_EQ(got, ExpectedFrame(spec, n, spec.channels)) << n;  // decoded before the cut
        }
    }
    EXPECT_GE(missing, (int)(spec.frames - blocks[5].firstFrame));
    // Each damaged block is named once, not once for every frame asked of it.
    std::string text = log.text();
    int lines = 0;
    for (size_t p = text.find(" of " + path + " is missing"); p != std::string::npos;
         p = text.find(" of " + path + " is missing", p + 1))
        ++lines;
    EXPECT_GE(lines, 1) << text;
    EXPECT_LE(lines, (int)blocks.size() - 4) << text;
}

TEST_P(CompressedRead, FrameBeforeAMissingOneStillReadsRight) {
    ScratchDir dir;
    ShowSpec spec;
    spec.channels = 20000;
    spec.frames = 100;  // blocks of 10 frames, 200 KB raw: several coded chunks each
    spec.compression = GetParam();
    std::string path = dir.file("part.hseq");
    ASSERT_TRUE(GenerateShow(path, spec));
    Bytes b = ReadFile(path);
    auto blocks = ParseBlockIndex(b);
    ASSERT_GE(blocks.size(), 5u);
    b.resize(blocks[3].offset + blocks[3].size - 8);  // only the block's last coded chunk is cut
    ASSERT_TRUE(WriteFile(path, b));
    kivtest::LogCapture log;
    auto f = Open(path);
    ASSERT_NE(f, nullptr);
    uint32_t first = blocks[3].firstFrame, missing = first;
    while (missing < blocks[4].firstFrame && !ReadOne(f.get(), missing, spec.channels).empty()) ++missing;
    ASSERT_GT(missing, first) << "the cut should leave some frames of the block readable";
    ASSERT_LT(missing, blocks[4].firstFrame);
    EXPECT_EQ(ReadOne(f.get(), missing - 1, spec.channels), ExpectedFrame(spec, missing - 1, spec.channels));
    EXPECT_TRUE(ReadOne(f.get(), missing, spec.channels).empty());
    EXPECT_EQ(ReadOne(f.get(), first, spec.channels), ExpectedFrame(spec, first, spec.channels));
}

TEST_P(CompressedRead, BlocksOutOfFrameOrderEndTheIndex) {
    ScratchDir dir;
    ShowSpec spec = MultiBlockShow(GetParam());
    std::string path = dir.file("order.hseq");
    ASSERT_TRUE(GenerateShow(path, spec));
    Bytes b = ReadFile(path);
    auto blocks = ParseBlockIndex(b);
    PutLE32(b, 32 + 8 * 3, 2);  // block 3 claims to start at frame 2
    ASSERT_TRUE(WriteFile(path, b));
    kivtest::LogCapture log;
    auto f = Open(path);
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(log.contains("block 3 (frame 2, offset"));
    EXPECT_TRUE(log.contains("does not start after the previous block; frames from there on are missing"));
    for (uint32_t n = 0; n < spec.frames; ++n) {
        Bytes got = ReadOne(f.get(), n, spec.channels);
        if (n < blocks[3].firstFrame) EXPECT_EQ(got, ExpectedFrame(spec, n, spec.channels)) << n;
        else EXPECT_TRUE(got.empty()) << n;
    }
}

TEST_P(CompressedRead, BlockSizesPastTheFileEndKeepWhatIsThere) {
    ScratchDir dir;
    ShowSpec spec = MultiBlockShow(GetParam());
    std::string path = dir.file("size.hseq");
    ASSERT_TRUE(GenerateShow(path, spec));
    Bytes b = ReadFile(path);
    auto blocks = ParseBlockIndex(b);
    PutLE32(b, 32 + 8 * 2 + 4, 0x7FFFFFFF);
    ASSERT_TRUE(WriteFile(path, b));
    kivtest::LogCapture log;
    auto f = Open(path);
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(log.contains("starts past the end of the file; frames from there on are missing"));
    for (uint32_t n = 0; n < spec.frames; ++n) {
        Bytes got = ReadOne(f.get(), n, spec.channels);
        if (n < blocks[3].firstFrame) EXPECT_EQ(got, ExpectedFrame(spec, n, spec.channels)) << n;
        else EXPECT_TRUE(got.empty()) << n;
    }
}

TEST_P(CompressedRead, FrameCountLargerThanTheDataGivesMissingFrames) {
    ScratchDir dir;
    ShowSpec spec = MultiBlockShow(GetParam());
    std::string path = dir.file("count.hseq");
    ASSERT_TRUE(GenerateShow(path, spec));
    Bytes b = ReadFile(path);
    PutLE32(b, 14, 4000000000u);
    ASSERT_TRUE(WriteFile(path, b));
    auto f = Open(path);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->getNumFrames(), 4000000000u);
    for (uint32_t n = 0; n < spec.frames; n += 7) {
        EXPECT_EQ(ReadOne(f.get(), n, spec.channels), ExpectedFrame(spec, n, spec.channels)) << n;
    }
    kivtest::LogCapture log;
    EXPECT_TRUE(ReadOne(f.get(), spec.frames, spec.channels).empty());
    EXPECT_TRUE(ReadOne(f.get(), 3999999999u, spec.channels).empty());
    EXPECT_TRUE(log.contains("Frame 150 of " + path + " is missing"));
    EXPECT_TRUE(log.contains("Frame 3999999999 of " + path + " is missing"));
}

TEST_P(CompressedRead, DamagedBlockLosesOnlyItsOwnFrames) {
    ScratchDir dir;
    ShowSpec spec = MultiBlockShow(GetParam());
    std::string path = dir.file("bad.hseq");
    ASSERT_TRUE(GenerateShow(path, spec));
    Bytes b = ReadFile(path);
    auto blocks = ParseBlockIndex(b);
    memset(&b[blocks[2].offset], 0xFF, 4);  // no zstd magic, no zlib header
    ASSERT_TRUE(WriteFile(path, b));
    auto f = Open(path);
    ASSERT_NE(f, nullptr);
    kivtest::LogCapture log;
    for (uint32_t n = 0; n < spec.frames; ++n) {
        Bytes got = ReadOne(f.get(), n, spec.channels);
        bool inDamaged = n >= blocks[2].firstFrame && n < blocks[3].firstFrame;
        if (inDamaged) EXPECT_TRUE(got.empty()) << n;
        else EXPECT_EQ(got, ExpectedFrame(spec, n, spec.channels)) << n;
    }
    EXPECT_TRUE(log.contains(GetParam() == HSEQFile::CompressionType::zstd ? "zstd data of " : "zlib data of "));
    EXPECT_TRUE(log.contains("is damaged"));
}

TEST_P(CompressedRead, EmptyIndexIsReportedAndOnlyTheFirstBlockDecodes) {
    ScratchDir dir;
    ShowSpec spec = MultiBlockShow(GetParam());
    std::string path = dir.file("noindex.hseq");
    ASSERT_TRUE(GenerateShow(path, spec));
    Bytes b = ReadFile(path);
    uint32_t entries = b[21] + 256 * (b[20] >> 4);
    memset(&b[32], 0, 8 * entries);
    ASSERT_TRUE(WriteFile(path, b));
    kivtest::LogCapture log;
    auto f = Open(path);
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(log.contains("HSEQ file corrupt: did not load any block references from header."));
    for (uint32_t n = 0; n < 10; ++n) EXPECT_EQ(ReadOne(f.get(), n, spec.channels), ExpectedFrame(spec, n, spec.channels));
    EXPECT_TRUE(ReadOne(f.get(), 10, spec.channels).empty());
    EXPECT_TRUE(ReadOne(f.get(), 149, spec.channels).empty());
}

TEST_P(CompressedRead, UnreadableBlockIsMissingWithoutWaitingForStorage) {
    ScratchDir dir;
    ShowSpec spec = MultiBlockShow(GetParam());
    std::string path = dir.file("gone.hseq");
    ASSERT_TRUE(GenerateShow(path, spec));
    auto blocks = ParseBlockIndex(ReadFile(path));
    auto f = Open(path);
    ASSERT_NE(f, nullptr);
    // The file shrinks after it was opened (a card pulled, a copy rewritten).
    ASSERT_EQ(truncate(path.c_str(), blocks[1].offset), 0);
    kivtest::LogCapture log;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ReadOne(f.get(), 0, spec.channels), ExpectedFrame(spec, 0, spec.channels));
    EXPECT_TRUE(ReadOne(f.get(), 10, spec.channels).empty());
    EXPECT_TRUE(ReadOne(f.get(), 149, spec.channels).empty());
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // A lost block is not waited for in 10-second rounds.
    EXPECT_LT(seconds, 8.0);
    EXPECT_TRUE(log.contains("Could not read block 1 of " + path));
    EXPECT_TRUE(log.contains("Frame 10 of " + path + " is missing: block 1 could not be read"));
}

INSTANTIATE_TEST_SUITE_P(Types, CompressedRead,
                         ::testing::Values(HSEQFile::CompressionType::zstd, HSEQFile::CompressionType::zlib),
                         [](const ::testing::TestParamInfo<HSEQFile::CompressionType>& p) {
                             return std::string(HSEQFile::CompressionTypeStrings[p.param]);
                         });

TEST(CompressedReadLimits, BlockLargerThanAnyCodedFrameIsReadOnlyUpToTheBound) {
    ScratchDir dir;
    Bytes frame(16);
    for (int i = 0; i < 16; ++i) frame[i] = (uint8_t)(i * 37);
    Bytes block = ZstdFrame(frame);
    Bytes padded = block;
    padded.resize(block.size() + 5000, 0xAB);  // the index claims far more than the frame needs
    V2Layout l;
    l.compression = 1;
    l.channels = 16;
    l.frames = 1;
    l.indexEntries = 1;
    ASSERT_TRUE(WriteFile(dir.file("big.hseq"), BuildV2(l, {{0, padded}})));
    auto f = Open(dir.file("big.hseq"));
    ASSERT_NE(f, nullptr);
    kivtest::LogCapture log;
    EXPECT_EQ(ReadOne(f.get(), 0, 16), frame);
    EXPECT_TRUE(log.contains("Serious problem reading sequence data"));
    EXPECT_TRUE(log.contains("    Max: "));
}

TEST(CompressedReadLimits, TinyIncompressibleFileReadsBack) {
    // Coded blocks of incompressible data are larger than their raw bytes.
    ScratchDir dir;
    for (auto type : {HSEQFile::CompressionType::zstd, HSEQFile::CompressionType::zlib}) {
        std::string path = dir.file("tiny.hseq");
        std::unique_ptr<HSEQFile> w(HSEQFile::createHSEQFile(path, 2, type));
        w->setChannelCount(3);
        w->setNumFrames(1);
        w->writeHeader();
        uint8_t d[3] = {0x9f, 0x13, 0xe7};
        w->addFrame(0, d);
        w->finalize();
        w.reset();
        auto blocks = ParseBlockIndex(ReadFile(path));
        ASSERT_EQ(blocks.size(), 1u);
        EXPECT_GT(blocks[0].size, 3u);
        kivtest::LogCapture log;
        auto f = Open(path);
        EXPECT_EQ(ReadOne(f.get(), 0, 3), (Bytes{0x9f, 0x13, 0xe7}));
        EXPECT_FALSE(log.contains("Serious problem"));
    }
}

TEST(UncompressedRead, FramesPastTheDataAreReportedAndReadAsZero) {
    ScratchDir dir;
    V2Layout l;
    l.channels = 8;
    l.frames = 5;
    ASSERT_TRUE(WriteFile(dir.file("short.hseq"), BuildV2(l, {}, Bytes(8 * 2 + 3, 0x55))));
    kivtest::LogCapture log;
    auto f = Open(dir.file("short.hseq"));
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(log.contains("but its 5 frames need 72; later frames are missing"));
    EXPECT_EQ(ReadOne(f.get(), 1, 8), Bytes(8, 0x55));
    Bytes partial = ReadOne(f.get(), 2, 8);
    EXPECT_EQ(partial, (Bytes{0x55, 0x55, 0x55, 0, 0, 0, 0, 0}));
    EXPECT_EQ(ReadOne(f.get(), 4, 8), Bytes(8, 0));
    EXPECT_TRUE(log.contains("Failed to read channel data!   Needed to read 8 but read 3"));
    EXPECT_TRUE(log.contains("Failed to read channel data!   Needed to read 8 but read 0"));
}
