// Every version (1, 2.0, 2.1, 2.2) x compression (none, zstd, zlib) x
// sparse or not x with or without variable headers, written and read back
// byte for byte through the reader and through hsequtils conversion; and
// every coded block checked against the zstd tool and zlib's inflate.

#include <gtest/gtest.h>

#include <sstream>

#include "HSEQTestSupport.h"
#include "log.h"

using namespace hseqtest;

namespace {

struct Combo {
    int major;
    int minor;
    HSEQFile::CompressionType compression;
    bool sparse;
    bool headers;
};

std::string ComboName(const Combo& c) {
    std::ostringstream s;
    s << "v" << c.major << "_" << c.minor << "_" << HSEQFile::CompressionTypeStrings[c.compression]
      << (c.sparse ? "_sparse" : "_full") << (c.headers ? "_headers" : "_plain");
    return s.str();
}

std::vector<Combo> AllCombos() {
    std::vector<Combo> out;
    for (bool headers : {false, true}) {
        out.push_back({1, 0, HSEQFile::CompressionType::none, false, headers});
        for (int minor : {0, 1, 2}) {
            for (auto c : {HSEQFile::CompressionType::none, HSEQFile::CompressionType::zstd, HSEQFile::CompressionType::zlib}) {
                for (bool sparse : {false, true}) out.push_back({2, minor, c, sparse, headers});
            }
        }
    }
    return out;
}

Bytes Fe() {
    Bytes b(300);
    for (int i = 0; i < 300; ++i) b[i] = (uint8_t)(i * 31 + 7);
    return b;
}

ShowSpec SpecFor(const Combo& c) {
    ShowSpec spec;
    spec.channels = 4000;
    spec.frames = 60;  // blocks of 10, 20, 20, 10 frames
    spec.stepMs = 40;
    spec.versionMajor = c.major;
    spec.versionMinor = c.minor;
    spec.compression = c.compression;
    spec.seed = 1234;
    if (c.sparse) spec.sparseRanges = {{100, 500}, {2000, 1000}, {3990, 50}};
    if (c.headers) {
        spec.mediaFilename = "show.mp3";
        std::string sp = "round trip";
        spec.extraHeaders.emplace_back("sp", Bytes(sp.c_str(), sp.c_str() + sp.size() + 1));
        spec.extraHeaders.emplace_back("FE", Fe(), true);
    }
    return spec;
}

void ExpectHeadersOf(const ShowSpec& spec, HSEQFile* f, bool extended, const std::string& where) {
    auto& vh = f->getVariableHeaders();
    if (spec.mediaFilename.empty()) {
        EXPECT_TRUE(vh.empty()) << where;
        return;
    }
    ASSERT_EQ(vh.size(), 3u) << where;
    EXPECT_EQ(f->getMediaFilename(), "show.mp3") << where;
    EXPECT_EQ(std::string(vh[1].code, 2), "sp") << where;
    EXPECT_EQ(vh[1].data, spec.extraHeaders[0].data) << where;
    EXPECT_EQ(std::string(vh[2].code, 2), "FE") << where;
    EXPECT_EQ(vh[2].data, Fe()) << where;
    EXPECT_EQ(vh[2].extendedData, extended) << where;
}

// extendedFE: whether the "FE" header is stored after the frames (it is
// flagged so by the generator; a version 1 source has no such flag).
void ExpectShow(const ShowSpec& spec, const std::string& path, bool extendedFE, const std::string& where) {
    std::unique_ptr<HSEQFile> f(HSEQFile::openHSEQFile(path));
    ASSERT_NE(f, nullptr) << where;
    EXPECT_EQ(f->getVersionMajor(), spec.versionMajor) << where;
    EXPECT_EQ(f->getVersionMinor(), spec.versionMajor == 1 ? 0 : spec.versionMinor) << where;
    EXPECT_EQ(f->getNumFrames(), spec.frames) << where;
    EXPECT_EQ(f->getStepTime(), spec.stepMs) << where;
    if (spec.versionMajor == 2) {
        auto* v2 = dynamic_cast<V2HSEQFile*>(f.get());
        ASSERT_NE(v2, nullptr);
        EXPECT_EQ(v2->getCompressionType(), spec.compression) << where;
        if (spec.sparseRanges.empty()) {
            EXPECT_TRUE(v2->getSparseRanges().empty()) << where;
            EXPECT_EQ(f->getChannelCount(), spec.channels) << where;
        } else {
            HSEQFile::RangeList expected = {{100, 500}, {2000, 1000}, {3990, 10}};
            EXPECT_EQ(v2->getSparseRanges(), expected) << where;
            EXPECT_EQ(f->getChannelCount(), 1510u) << where;
        }
    }
    EXPECT_EQ(f->getMaxChannel(), spec.channels) << where;
    ExpectHeadersOf(spec, f.get(), extendedFE && spec.versionMajor == 2, where);
    auto frames = ReadAllFrames(f.get(), spec.channels + 16);
    ASSERT_EQ(frames.size(), spec.frames);
    for (uint32_t i = 0; i < spec.frames; ++i) {
        ASSERT_EQ(frames[i], ExpectedFrame(spec, i, spec.channels + 16)) << where << " frame " << i;
    }
}

std::string UtilArgs(const Combo& c) {
    std::ostringstream s;
    s << " -f " << c.major << "." << c.minor << " -c " << HSEQFile::CompressionTypeStrings[c.compression];
    if (c.sparse) s << " -r 101+500 -r 2001-3000 -r 3991+50";
    return s.str();
}

class RoundTrip : public ::testing::TestWithParam<Combo> {};

}  // namespace

TEST_P(RoundTrip, WrittenShowReadsBackByteForByte) {
    ScratchDir dir;
    ShowSpec spec = SpecFor(GetParam());
    std::string path = dir.file("show.hseq");
    ASSERT_TRUE(GenerateShow(path, spec));
    ExpectShow(spec, path, true, ComboName(GetParam()));
}

TEST_P(RoundTrip, HsequtilsConversionReadsBackByteForByte) {
    ScratchDir dir;
    Combo c = GetParam();
    ShowSpec source = SpecFor({1, 0, HSEQFile::CompressionType::none, false, c.headers});
    std::string src = dir.file("source.hseq");
    ASSERT_TRUE(GenerateShow(src, source));
    std::string out = dir.file("converted.hseq");
    std::string output;
    int rc = kivtest::runCommand(kivtest::programPath("hsequtils") + UtilArgs(c) + " -o " + out + " " + src + " 2>&1",
                                 &output);
    ASSERT_EQ(rc, 0) << output;
    ShowSpec expected = SpecFor(c);
    ExpectShow(expected, out, false, ComboName(c) + " converted");

    // And back to version 1: without sparse ranges the very same file again.
    std::string back = dir.file("back.hseq");
    rc = kivtest::runCommand(kivtest::programPath("hsequtils") + " -f 1 -o " + back + " " + out + " 2>&1", &output);
    ASSERT_EQ(rc, 0) << output;
    if (!c.sparse) {
        EXPECT_EQ(ReadFile(back), ReadFile(src)) << ComboName(c);
    } else {
        ShowSpec v1 = expected;
        v1.versionMajor = 1;
        std::unique_ptr<HSEQFile> f(HSEQFile::openHSEQFile(back));
        ASSERT_NE(f, nullptr);
        auto frames = ReadAllFrames(f.get(), 4000);
        for (uint32_t i = 0; i < v1.frames; ++i) EXPECT_EQ(frames[i], ExpectedFrame(expected, i, 4000)) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(AllLayouts, RoundTrip, ::testing::ValuesIn(AllCombos()),
                         [](const ::testing::TestParamInfo<Combo>& p) { return ComboName(p.param); });

// ---------------------------------------------------------------- coded blocks

namespace {

Bytes StoredFrames(const ShowSpec& spec, uint32_t from, uint32_t to) {
    Bytes out;
    for (uint32_t f = from; f < to; ++f) {
        Bytes s = StoredFrame(spec, f);
        out.insert(out.end(), s.begin(), s.end());
    }
    return out;
}

}  // namespace

TEST(CodedBlocks, EveryZstdBlockIsAFrameTheZstdToolDecodes) {
    ScratchDir dir;
    for (bool sparse : {false, true}) {
        for (int level : {-99, 9}) {
            ShowSpec spec = SpecFor({2, 2, HSEQFile::CompressionType::zstd, sparse, true});
            spec.compressionLevel = level;
            std::string path = dir.file("z.hseq");
            ASSERT_TRUE(GenerateShow(path, spec));
            Bytes file = ReadFile(path);
            auto blocks = ParseBlockIndex(file);
            ASSERT_EQ(blocks.size(), sparse ? 2u : 4u);
            for (size_t i = 0; i < blocks.size(); ++i) {
                std::string blk = dir.file("block.zst");
                std::string raw = dir.file("block.raw");
                ASSERT_TRUE(WriteFile(blk, Bytes(file.begin() + blocks[i].offset,
                                                 file.begin() + blocks[i].offset + blocks[i].size)));
                std::string output;
                ASSERT_EQ(kivtest::runCommand("zstd -d -q -f -o " + raw + " " + blk + " 2>&1", &output), 0) << output;
                uint32_t end = i + 1 < blocks.size() ? blocks[i + 1].firstFrame : spec.frames;
                EXPECT_EQ(ReadFile(raw), StoredFrames(spec, blocks[i].firstFrame, end))
                    << "block " << i << " sparse " << sparse << " level " << level;
            }
        }
    }
}

TEST(CodedBlocks, EveryZlibBlockIsAStreamZlibInflates) {
    ScratchDir dir;
    for (bool sparse : {false, true}) {
        for (int level : {-99, 0, 9}) {
            ShowSpec spec = SpecFor({2, 1, HSEQFile::CompressionType::zlib, sparse, true});
            spec.compressionLevel = level;
            std::string path = dir.file("z.hseq");
            ASSERT_TRUE(GenerateShow(path, spec));
            Bytes file = ReadFile(path);
            auto blocks = ParseBlockIndex(file);
            ASSERT_EQ(blocks.size(), sparse ? 2u : 4u);
            for (size_t i = 0; i < blocks.size(); ++i) {
                Bytes raw;
                ASSERT_TRUE(Inflate(&file[blocks[i].offset], blocks[i].size, raw)) << i;
                uint32_t end = i + 1 < blocks.size() ? blocks[i + 1].firstFrame : spec.frames;
                EXPECT_EQ(raw, StoredFrames(spec, blocks[i].firstFrame, end))
                    << "block " << i << " sparse " << sparse << " level " << level;
            }
        }
    }
}

TEST(CodedBlocks, BlocksFollowEachOtherFromTheDataOffset) {
    ScratchDir dir;
    ShowSpec spec = SpecFor({2, 0, HSEQFile::CompressionType::zstd, false, true});
    std::string path = dir.file("z.hseq");
    ASSERT_TRUE(GenerateShow(path, spec));
    Bytes file = ReadFile(path);
    auto blocks = ParseBlockIndex(file);
    ASSERT_FALSE(blocks.empty());
    EXPECT_EQ(blocks[0].offset, GetLE16(&file[4]));
    // Frame data ends where the extended "FE" data begins.
    EXPECT_EQ(blocks.back().offset + blocks.back().size + 300, file.size());
    for (auto& b : blocks) EXPECT_EQ(GetLE32(&file[b.offset]), 0xFD2FB528u);  // zstd frame magic
}
