// hsequtils as users run it: the program from the build directory on real
// files; its output, exit status and the files it writes.

#include <gtest/gtest.h>

#include <sstream>

#include "HSEQTestSupport.h"
#include "TestSupport.h"
#include "common.h"

using namespace hseqtest;

namespace {

// Runs hsequtils with args; stdout only, or stdout and stderr together.
int Util(const std::string& args, std::string* out, bool withStderr = false) {
    std::string cmd = kivtest::programPath("hsequtils") + " " + args;
    if (!withStderr) cmd = "{ " + cmd + " 2>/dev/null; }";
    return kivtest::runCommand(cmd, out);
}

std::string Quote(const std::string& path) { return "'" + path + "'"; }

std::unique_ptr<HSEQFile> Open(const std::string& path) { return std::unique_ptr<HSEQFile>(HSEQFile::openHSEQFile(path)); }

ShowSpec SmallShow() {
    ShowSpec spec;
    spec.channels = 2000;
    spec.frames = 30;
    spec.seed = 3;
    return spec;
}

std::string Hex(const Bytes& b, size_t from, size_t count) {
    std::string out;
    char buf[8];
    for (size_t i = from; i < from + count; ++i) {
        snprintf(buf, sizeof(buf), "%02x ", b[i]);
        out += buf;
    }
    return out;
}

}  // namespace

TEST(HSEQUtils, HelpTextIsPrintedLineForLine) {
    std::string out;
    EXPECT_EQ(Util("-h", &out), 0);
    std::string prog = kivtest::programPath("hsequtils");
    std::string expected = "Usage: " + prog + " [OPTIONS] FileName.hseq\n"
                           "\n"
                           "  Options:\n"
                           "   -V                - Print version information\n"
                           "   -v                - verbose\n"
                           "   -o OUTPUTFILE     - Filename for Output HSEQ\n"
                           "   -m HSEQFILE       - HSEQ to merge onto the input, ignoring 0\n"
                           "   -M[ HSEQFILE      - HSEQ to merge onto the input, copy 0\n"
                           "   -f #              - HSEQ Version\n"
                           "   -c (none|zstd|zlib) - Compession type\n"
                           "   -l #              - Compression level (-99 for default)\n"
                           "   -r (#-# | #+#)    - Channel Range.  Use - to separate start/end channel\n"
                           "                            Use + to separate start channel + num channels\n"
                           "                       If used before first -m/-M argument, sets a sparse range of output\n"
                           "                       If used after -m/-M argument, sets a range to read from last merged sequence.\n"
                           "                       If used before -d argument, sets the range to dump.\n"
                           "   -n                - No Sparse. -r will only read the range, but the resulting hseq is not sparse.\n"
                           "   -j                - Output the hseq file metadata to json\n"
                           "   -d                - Dump the hseq data to stdout in human-readable format\n"
                           "   -h                - This help output\n";
    EXPECT_EQ(out, expected);
    std::string longOut;
    EXPECT_EQ(Util("--help", &longOut), 0);
    EXPECT_EQ(longOut, expected);
}

TEST(HSEQUtils, VersionOptionPrintsTheBuildAndSucceeds) {
    std::string out;
    EXPECT_EQ(Util("-V", &out), 0);
    EXPECT_EQ(out.rfind("KIV ", 0), 0u) << out;
    EXPECT_NE(out.find("\nBranch: "), std::string::npos) << out;
}

TEST(HSEQUtils, InputThatCannotBeOpenedFails) {
    ScratchDir dir;
    std::string out;
    EXPECT_EQ(Util(Quote(dir.file("missing.hseq")) + " -j", &out, true), 1);
    EXPECT_NE(out.find("fopen returned NULL"), std::string::npos) << out;
    ASSERT_TRUE(WriteFile(dir.file("junk.hseq"), Bytes(100, 'x')));
    EXPECT_EQ(Util("-j " + Quote(dir.file("junk.hseq")), &out, true), 1);
    EXPECT_NE(out.find("invalid identifier"), std::string::npos) << out;
    EXPECT_EQ(Util("-o " + Quote(dir.file("o.hseq")) + " " + Quote(dir.file("junk.hseq")), &out, true), 1);
    EXPECT_EQ(Util("", &out), 1);  // no input at all
}

TEST(HSEQUtils, JsonLineHoldsTheMetadata) {
    ScratchDir dir;
    ShowSpec spec = SmallShow();
    spec.versionMinor = 2;
    spec.sparseRanges = {{100, 50}, {1000, 10}};
    spec.mediaFilename = "song.mp3";
    spec.extraHeaders.emplace_back("sp", Text("gen"));
    spec.extraHeaders.emplace_back("FE", Bytes{1, 2, 0, 3});  // binary: left out
    spec.extraHeaders.emplace_back("xy", Text("a\"b\\c"));
    std::string path = dir.file("show \"q\\z\".hseq");
    ASSERT_TRUE(GenerateShow(path, spec));
    uint64_t id = Open(path)->getUniqueId();
    std::string out;
    ASSERT_EQ(Util("-j " + Quote(path), &out), 0);
    std::string expected = "{\"Name\": \"show \\\"q\\\\z\\\".hseq\", \"Version\": \"2.2\", \"ID\": \"" + std::to_string(id) +
                           "\", \"StepTime\": 25, \"NumFrames\": 30, \"MaxChannel\": 1010, \"ChannelCount\": 60, "
                           "\"variableHeaders\": {\"mf\": \"song.mp3\", \"sp\": \"gen\", \"xy\": \"a\\\"b\\\\c\"}, "
                           "\"Ranges\": [{\"Start\": 100, \"Length\": 50}, {\"Start\": 1000, \"Length\": 10}], "
                           "\"CompressionType\": 1, \"CompressionTypeString\": \"zstd\"}\n";
    EXPECT_EQ(out, expected);
}

TEST(HSEQUtils, JsonOfVersion1HasNoCompressionOrRanges) {
    ScratchDir dir;
    ShowSpec spec = SmallShow();
    spec.versionMajor = 1;
    spec.stepMs = 50;
    std::string path = dir.file("v1.hseq");
    ASSERT_TRUE(GenerateShow(path, spec));
    uint64_t id = Open(path)->getUniqueId();
    std::string out;
    ASSERT_EQ(Util("-j " + path, &out), 0);
    EXPECT_EQ(out, "{\"Name\": \"v1.hseq\", \"Version\": \"1.0\", \"ID\": \"" + std::to_string(id) +
                       "\", \"StepTime\": 50, \"NumFrames\": 30, \"MaxChannel\": 2000, \"ChannelCount\": 2000}\n");
}

TEST(HSEQUtils, DumpWithoutRangeSaysSoAndFails) {
    ScratchDir dir;
    ASSERT_TRUE(GenerateShow(dir.file("s.hseq"), SmallShow()));
    std::string out;
    EXPECT_EQ(Util("-d " + dir.file("s.hseq"), &out), 1);
    EXPECT_EQ(out, "No channel range specified\n");
}

TEST(HSEQUtils, DumpShowsEachRangeOfEachFrameInHex) {
    ScratchDir dir;
    ShowSpec spec = SmallShow();
    spec.frames = 3;
    ASSERT_TRUE(GenerateShow(dir.file("s.hseq"), spec));
    std::string out;
    ASSERT_EQ(Util("-r 101+20 -r 1001-1004 -d " + dir.file("s.hseq"), &out, true), 0);
    for (uint32_t f = 0; f < 3; ++f) {
        Bytes frame(spec.channels);
        RenderShowFrame(spec, f, frame.data());
        std::string t = "Frame: " + std::to_string(f);
        EXPECT_NE(out.find(t + ", Range: 100-119: (20 bytes)\n"), std::string::npos) << out;
        EXPECT_NE(out.find(t + ", Range: 1000-1003: (4 bytes)\n"), std::string::npos) << out;
        EXPECT_NE(out.find("000000: " + Hex(frame, 100, 16)), std::string::npos) << f;
        EXPECT_NE(out.find("000010: " + Hex(frame, 116, 4)), std::string::npos) << f;
        EXPECT_NE(out.find("000000: " + Hex(frame, 1000, 4)), std::string::npos) << f;
    }
    EXPECT_EQ(out.find("Frame: 3,"), std::string::npos);
}

TEST(HSEQUtils, UnknownCompressionIsRejected) {
    ScratchDir dir;
    ASSERT_TRUE(GenerateShow(dir.file("s.hseq"), SmallShow()));
    std::string out;
    EXPECT_EQ(Util("-c lz4 -o " + dir.file("o.hseq") + " " + dir.file("s.hseq"), &out), 1);
    EXPECT_EQ(out, "Unknown compression type: lz4\n");
    EXPECT_FALSE(kivtest::runCommand("test -e " + dir.file("o.hseq")) == 0);
}

TEST(HSEQUtils, MemoryOutputReportsTheSizeTheFileWouldHave) {
    ScratchDir dir;
    ASSERT_TRUE(GenerateShow(dir.file("s.hseq"), SmallShow()));
    for (std::string args : {"", "-c zlib -l 9 ", "-f 1 ", "-f 2.2 -c none -r 1+100 "}) {
        std::string out;
        ASSERT_EQ(Util(args + "-o -memory- " + dir.file("s.hseq"), &out), 0) << args;
        ASSERT_EQ(Util(args + "-o " + dir.file("o.hseq") + " " + dir.file("s.hseq"), nullptr), 0) << args;
        EXPECT_EQ(out, "size: " + std::to_string(ReadFile(dir.file("o.hseq")).size()) + "\n") << args;
    }
}

TEST(HSEQUtils, DashAndPlusRangesSelectTheSameChannels) {
    ScratchDir dir;
    ShowSpec spec = SmallShow();
    ASSERT_TRUE(GenerateShow(dir.file("s.hseq"), spec));
    ASSERT_EQ(Util("-r 1-512 -o " + dir.file("a.hseq") + " " + dir.file("s.hseq"), nullptr), 0);
    ASSERT_EQ(Util("-r 1+512 -o " + dir.file("b.hseq") + " " + dir.file("s.hseq"), nullptr), 0);
    EXPECT_EQ(ReadFile(dir.file("a.hseq")), ReadFile(dir.file("b.hseq")));
    auto f = Open(dir.file("a.hseq"));
    ASSERT_NE(f, nullptr);
    auto* v2 = dynamic_cast<V2HSEQFile*>(f.get());
    ASSERT_NE(v2, nullptr);
    EXPECT_EQ(v2->getSparseRanges(), (HSEQFile::RangeList{{0, 512}}));
    spec.sparseRanges = {{0, 512}};
    auto frames = ReadAllFrames(f.get(), 2000);
    for (uint32_t i = 0; i < spec.frames; ++i) EXPECT_EQ(frames[i], ExpectedFrame(spec, i, 2000)) << i;
}

TEST(HSEQUtils, NoSparseKeepsEveryChannelButReadsOnlyTheRange) {
    ScratchDir dir;
    ShowSpec spec = SmallShow();
    ASSERT_TRUE(GenerateShow(dir.file("s.hseq"), spec));
    ASSERT_EQ(Util("-n -r 11+20 -o " + dir.file("n.hseq") + " " + dir.file("s.hseq"), nullptr), 0);
    auto f = Open(dir.file("n.hseq"));
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(dynamic_cast<V2HSEQFile*>(f.get())->getSparseRanges().empty());
    EXPECT_EQ(f->getChannelCount(), 2000u);
    spec.sparseRanges = {{10, 20}};
    auto frames = ReadAllFrames(f.get(), 2000);
    for (uint32_t i = 0; i < spec.frames; ++i) EXPECT_EQ(frames[i], ExpectedFrame(spec, i, 2000)) << i;
}

TEST(HSEQUtils, VersionOneOutputIgnoresCompressionAndSparseness) {
    ScratchDir dir;
    ShowSpec spec = SmallShow();
    spec.sparseRanges = {{300, 200}};
    spec.mediaFilename = "v.mp3";
    ASSERT_TRUE(GenerateShow(dir.file("s.hseq"), spec));
    ASSERT_EQ(Util("-f 1 -c zlib -o " + dir.file("v1.hseq") + " " + dir.file("s.hseq"), nullptr), 0);
    auto f = Open(dir.file("v1.hseq"));
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->getVersionMajor(), 1);
    EXPECT_EQ(f->getChannelCount(), 500u);
    EXPECT_EQ(f->getMediaFilename(), "v.mp3");
    Bytes b = ReadFile(dir.file("v1.hseq"));
    EXPECT_EQ(b.size(), f->getChannelDataOffset() + 500u * 30);
    auto frames = ReadAllFrames(f.get(), 2000);
    for (uint32_t i = 0; i < spec.frames; ++i) EXPECT_EQ(frames[i], ExpectedFrame(spec, i, 2000)) << i;
}

namespace {

// A version 1 show of 40 channels whose frame f holds, per channel c:
// 0 where (c + f) % 3 == 0, else 100 + c + f.
void WriteMergeSource(const std::string& path, uint32_t frames) {
    std::vector<Bytes> fr;
    for (uint32_t f = 0; f < frames; ++f) {
        Bytes b(40);
        for (uint32_t c = 0; c < 40; ++c) b[c] = (c + f) % 3 == 0 ? 0 : (uint8_t)(100 + c + f);
        fr.push_back(b);
    }
    ASSERT_TRUE(WriteFile(path, BuildV1(40, 25, fr)));
}

}  // namespace

TEST(HSEQUtils, MergeIgnoresZerosAndCopyZeroMergeCopiesThem) {
    ScratchDir dir;
    ShowSpec spec;
    spec.channels = 64;
    spec.frames = 6;
    spec.versionMajor = 1;
    ASSERT_TRUE(GenerateShow(dir.file("in.hseq"), spec));
    WriteMergeSource(dir.file("m.hseq"), 6);
    ASSERT_EQ(Util("-m " + dir.file("m.hseq") + " -o " + dir.file("keep.hseq") + " " + dir.file("in.hseq"), nullptr), 0);
    ASSERT_EQ(Util("-M " + dir.file("m.hseq") + " -o " + dir.file("copy.hseq") + " " + dir.file("in.hseq"), nullptr), 0);
    auto keep = ReadAllFrames(Open(dir.file("keep.hseq")).get(), 64);
    auto copy = ReadAllFrames(Open(dir.file("copy.hseq")).get(), 64);
    for (uint32_t f = 0; f < 6; ++f) {
        Bytes in(64);
        RenderShowFrame(spec, f, in.data());
        for (uint32_t c = 0; c < 64; ++c) {
            uint8_t m = c < 40 ? ((c + f) % 3 == 0 ? 0 : (uint8_t)(100 + c + f)) : 0;
            EXPECT_EQ(keep[f][c], (c < 40 && m) ? m : in[c]) << f << "/" << c;
            EXPECT_EQ(copy[f][c], c < 40 ? m : 0) << f << "/" << c;  // the merge covers every channel
        }
    }
}

TEST(HSEQUtils, RangeAfterMergeLimitsWhatIsMerged) {
    ScratchDir dir;
    ShowSpec spec;
    spec.channels = 64;
    spec.frames = 6;
    ASSERT_TRUE(GenerateShow(dir.file("in.hseq"), spec));
    WriteMergeSource(dir.file("m.hseq"), 4);  // shorter than the input
    ASSERT_EQ(Util("-M " + dir.file("m.hseq") + " -r 11-20 -o " + dir.file("out.hseq") + " " + dir.file("in.hseq"),
                   nullptr),
              0);
    auto out = ReadAllFrames(Open(dir.file("out.hseq")).get(), 64);
    for (uint32_t f = 0; f < 6; ++f) {
        Bytes in(64);
        RenderShowFrame(spec, f, in.data());
        for (uint32_t c = 0; c < 64; ++c) {
            bool merged = f < 4 && c >= 10 && c < 20;
            uint8_t m = (c + f) % 3 == 0 ? 0 : (uint8_t)(100 + c + f);
            EXPECT_EQ(out[f][c], merged ? m : in[c]) << f << "/" << c;
        }
    }
}

TEST(HSEQUtils, MergeSourceThatCannotBeOpenedIsSkipped) {
    ScratchDir dir;
    ShowSpec spec = SmallShow();
    spec.versionMajor = 1;
    ASSERT_TRUE(GenerateShow(dir.file("in.hseq"), spec));
    std::string out;
    ASSERT_EQ(Util("-f 1 -m " + dir.file("nope.hseq") + " -o " + dir.file("o.hseq") + " " + dir.file("in.hseq"), &out,
                   true),
              0);
    EXPECT_NE(out.find("Error pre-reading HSEQ file (" + dir.file("nope.hseq") + "), fopen returned NULL"),
              std::string::npos);
    EXPECT_EQ(ReadFile(dir.file("o.hseq")), ReadFile(dir.file("in.hseq")));
}

TEST(HSEQUtils, WithoutOutputFileExplainsHowToSeeFileInformation) {
    ScratchDir dir;
    ASSERT_TRUE(GenerateShow(dir.file("s.hseq"), SmallShow()));
    std::string out;
    EXPECT_EQ(Util(dir.file("s.hseq"), &out), 1);
    EXPECT_EQ(out, "No output file defined!\nUse -v to enable verbose output printing for file information.\n");
    EXPECT_EQ(Util("-v " + dir.file("s.hseq"), &out), 0);
    EXPECT_NE(out.find("seqNumPeriods         : 30"), std::string::npos) << out;
    EXPECT_NE(out.find("numRanges             : 0"), std::string::npos) << out;
}

TEST(HSEQUtils, InvalidRangesAndUncreatableOutputFail) {
    ScratchDir dir;
    ASSERT_TRUE(GenerateShow(dir.file("s.hseq"), SmallShow()));
    std::string out;
    for (std::string r : {"0-5", "10-5", "abc", "5", "5+x", "1--3"}) {
        EXPECT_EQ(Util("-r " + r + " -o " + dir.file("o.hseq") + " " + dir.file("s.hseq"), &out), 1) << r;
        EXPECT_EQ(out, "Invalid channel range: " + r + "\n");
    }
    EXPECT_EQ(Util("-o /nonexistent/dir/o.hseq " + dir.file("s.hseq"), &out), 1);
    EXPECT_EQ(out, "Failed to create HSEQ file (returned nullptr)!\n");
    EXPECT_EQ(Util("-f 3 -o " + dir.file("o.hseq") + " " + dir.file("s.hseq"), &out), 1);
}

TEST(HSEQUtils, DamagedInputIsConvertedWithBlankFramesAndReportedAsFailure) {
    ScratchDir dir;
    ShowSpec spec;
    spec.channels = 4000;
    spec.frames = 60;
    ASSERT_TRUE(GenerateShow(dir.file("s.hseq"), spec));
    Bytes b = ReadFile(dir.file("s.hseq"));
    auto blocks = ParseBlockIndex(b);
    ASSERT_GE(blocks.size(), 3u);
    memset(&b[blocks[1].offset], 0, 4);
    ASSERT_TRUE(WriteFile(dir.file("bad.hseq"), b));
    std::string out;
    EXPECT_EQ(Util("-f 1 -o " + dir.file("o.hseq") + " " + dir.file("bad.hseq"), &out, true), 1);
    EXPECT_NE(out.find("Frame 10 of " + dir.file("bad.hseq") + " could not be read; writing it blank"), std::string::npos);
    auto frames = ReadAllFrames(Open(dir.file("o.hseq")).get(), 4000);
    ASSERT_EQ(frames.size(), 60u);
    for (uint32_t f = 0; f < 60; ++f) {
        bool lost = f >= blocks[1].firstFrame && f < blocks[2].firstFrame;
        EXPECT_EQ(frames[f], lost ? Bytes(4000, 0) : ExpectedFrame(spec, f, 4000)) << f;
    }
}

TEST(HSEQUtils, MergedValuesDoNotLingerWhereTheInputHasNoChannels) {
    ScratchDir dir;
    ShowSpec spec;
    spec.channels = 40;
    spec.frames = 6;
    spec.sparseRanges = {{0, 10}, {30, 10}};  // channels 10-29 come from the merge only
    ASSERT_TRUE(GenerateShow(dir.file("in.hseq"), spec));
    WriteMergeSource(dir.file("m.hseq"), 6);
    ASSERT_EQ(Util("-m " + dir.file("m.hseq") + " -o " + dir.file("out.hseq") + " " + dir.file("in.hseq"), nullptr), 0);
    auto out = ReadAllFrames(Open(dir.file("out.hseq")).get(), 40);
    for (uint32_t f = 0; f < 6; ++f) {
        Bytes in = ExpectedFrame(spec, f, 40);
        for (uint32_t c = 0; c < 40; ++c) {
            uint8_t m = (c + f) % 3 == 0 ? 0 : (uint8_t)(100 + c + f);
            EXPECT_EQ(out[f][c], m ? m : in[c]) << f << "/" << c;
        }
    }
}

TEST(HSEQUtils, CutsAnEffectOutOfAShowAsAnESEQOrASequenceFile) {
    ScratchDir dir;
    ShowSpec spec = SmallShow();
    spec.stepMs = 50;
    spec.extraHeaders.emplace_back("FE", FrameNamesHeader({{"snow", {{2, 20}}}}));
    ASSERT_TRUE(GenerateShow(dir.file("s.hseq"), spec));
    std::string in = " " + dir.file("s.hseq");
    Bytes expected(2000);

    // Channels 101-130 of frames 5-9 as a single-model effect.
    std::string out;
    ASSERT_EQ(Util("--eseq -r 101+30 --frames 5-9 -o " + dir.file("cut.eseq") + in, &out), 0) << out;
    auto eseq = Open(dir.file("cut.eseq"));
    ASSERT_NE(eseq, nullptr);
    EXPECT_EQ(ReadFile(dir.file("cut.eseq")).size(), 20u + 5 * 30);
    EXPECT_EQ(dynamic_cast<V2HSEQFile*>(eseq.get())->getSparseRanges(), (HSEQFile::RangeList{{100, 30}}));
    auto frames = ReadAllFrames(eseq.get(), 2000);
    ASSERT_EQ(frames.size(), 5u);
    for (uint32_t i = 0; i < 5; ++i) {
        RenderShowFrame(spec, 5 + i, expected.data());
        EXPECT_EQ(Bytes(frames[i].begin() + 100, frames[i].begin() + 130), Bytes(&expected[100], &expected[130])) << i;
    }

    // The same cut as a sparse sequence file: its FE header (frame numbers
    // of the whole show) is left behind.
    ASSERT_EQ(Util("-r 101+30 --frames 5+5 -o " + dir.file("cut.hseq") + in, &out), 0) << out;
    auto hseq = Open(dir.file("cut.hseq"));
    ASSERT_NE(hseq, nullptr);
    EXPECT_EQ(hseq->getNumFrames(), 5u);
    EXPECT_EQ(ReadAllFrames(hseq.get(), 2000), frames);
    for (auto& h : hseq->getVariableHeaders()) EXPECT_NE(std::string(h.code, 2), "FE");

    struct Case { std::string args; std::string message; };
    const Case refused[] = {
        {"--eseq --frames 1-2", "An ESEQ file holds one model: give its channels with exactly one -r"},
        {"--eseq -r 1+10 -r 50+10", "An ESEQ file holds one model: give its channels with exactly one -r"},
        {"-r 1+10 --frames 40-50", "Frame range 40+11 holds none of the 30 frames of " + dir.file("s.hseq")},
        {"-r 1+10 --frames 9-3", "Invalid frame range: 9-3"},
    };
    for (const Case& c : refused) {
        EXPECT_EQ(Util(c.args + " -o " + dir.file("bad.eseq") + in, &out), 1) << c.args;
        EXPECT_EQ(out, c.message + "\n");
    }
    spec.stepMs = 25;
    ASSERT_TRUE(GenerateShow(dir.file("fast.hseq"), spec));
    EXPECT_EQ(Util("--eseq -r 1+10 -o " + dir.file("bad.eseq") + " " + dir.file("fast.hseq"), &out), 1);
    EXPECT_EQ(out, "ESEQ files step every 50 ms but " + dir.file("fast.hseq") +
                       " steps every 25 ms: write a sequence file (without --eseq) to play as an effect instead\n");
    EXPECT_FALSE(FileExists(dir.file("bad.eseq")));
}
