// The sequence file model: opening and rejecting files, version 1 and 2
// layouts written by hand, variable headers, frame objects, the writers'
// header bytes and the block limit.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <set>

#include "HSEQTestSupport.h"
#include "hseq/V2Handlers.h"
#include "common.h"
#include "log.h"

using namespace hseqtest;

namespace {

std::unique_ptr<HSEQFile> Open(const std::string& path) { return std::unique_ptr<HSEQFile>(HSEQFile::openHSEQFile(path)); }

Bytes Pattern(uint32_t size, uint32_t salt) {
    Bytes b(size);
    for (uint32_t i = 0; i < size; ++i) b[i] = (uint8_t)(i * 7 + salt * 13 + (i >> 8));
    return b;
}

V2HSEQFile* AsV2(HSEQFile* f) { return dynamic_cast<V2HSEQFile*>(f); }

}  // namespace

// ---------------------------------------------------------------- rejecting files

TEST(HSEQOpen, RejectsMissingFile) {
    kivtest::LogCapture log;
    EXPECT_EQ(Open("/nonexistent/dir/show.hseq"), nullptr);
    EXPECT_TRUE(log.contains("Error pre-reading HSEQ file (/nonexistent/dir/show.hseq), fopen returned NULL"));
}

TEST(HSEQOpen, RejectsFileShorterThanEightBytesWithHexDump) {
    ScratchDir dir;
    std::string path = dir.file("short.hseq");
    ASSERT_TRUE(WriteFile(path, {'P', 'S', 'E', 'Q', 0x10}));
    kivtest::LogCapture log;
    EXPECT_EQ(Open(path), nullptr);
    EXPECT_TRUE(log.contains("Error pre-reading HSEQ file (" + path + ") header, required 8 bytes but read 5"));
    EXPECT_TRUE(log.contains("File hader peek:: (5 bytes)"));
    EXPECT_TRUE(log.contains("000000: 50 53 45 51 10 \n"));
}

TEST(HSEQOpen, RejectsOtherIdentifierWithHexDump) {
    ScratchDir dir;
    std::string path = dir.file("other.hseq");
    ASSERT_TRUE(WriteFile(path, {'X', 'S', 'E', 'Q', 28, 0, 0, 1, 0, 0, 0, 0}));
    kivtest::LogCapture log;
    EXPECT_EQ(Open(path), nullptr);
    EXPECT_TRUE(log.contains("Error pre-reading HSEQ file (" + path + ") header, invalid identifier"));
    EXPECT_TRUE(log.contains("File header peek:: (8 bytes)"));
    EXPECT_TRUE(log.contains("000000: 58 53 45 51 1c 00 00 01 \n"));
}

TEST(HSEQOpen, RejectsVersion3WithHexDump) {
    ScratchDir dir;
    std::string path = dir.file("v3.hseq");
    Bytes b = BuildV1(4, 25, {Bytes(4, 1)});
    b[7] = 3;
    ASSERT_TRUE(WriteFile(path, b));
    kivtest::LogCapture log;
    EXPECT_EQ(Open(path), nullptr);
    EXPECT_TRUE(log.contains("Error opening HSEQ file (" + path + "), unknown version 3.0"));
    EXPECT_TRUE(log.contains("File header:: (28 bytes)"));
}

TEST(HSEQOpen, AcceptsHSEQIdentifier) {
    ScratchDir dir;
    std::string path = dir.file("h.hseq");
    Bytes b = BuildV1(4, 25, {Bytes{1, 2, 3, 4}});
    b[0] = 'H';
    ASSERT_TRUE(WriteFile(path, b));
    auto f = Open(path);
    ASSERT_NE(f, nullptr);
    auto frames = ReadAllFrames(f.get(), 4);
    EXPECT_EQ(frames[0], (Bytes{1, 2, 3, 4}));
}

TEST(HSEQOpen, RejectsHeaderLongerThanTheFile) {
    ScratchDir dir;
    std::string path = dir.file("lying.hseq");
    Bytes b = BuildV1(4, 25, {Bytes(4, 1)});
    PutLE16(b, 4, 200);
    ASSERT_TRUE(WriteFile(path, b));
    kivtest::LogCapture log;
    EXPECT_EQ(Open(path), nullptr);
    EXPECT_TRUE(log.contains("Error reading HSEQ file (" + path + ") header, length is 200 bytes but read 32"));
    EXPECT_TRUE(log.contains("File header:: (32 bytes)"));
}

TEST(HSEQOpen, RejectsHeadersTooShortForTheirFixedFields) {
    ScratchDir dir;
    kivtest::LogCapture log;
    Bytes v1 = BuildV1(4, 25, {Bytes(4, 1)});
    PutLE16(v1, 4, 12);
    ASSERT_TRUE(WriteFile(dir.file("v1.hseq"), v1));
    EXPECT_EQ(Open(dir.file("v1.hseq")), nullptr);
    EXPECT_TRUE(log.contains("header length 12 is shorter than the 28 bytes of a version 1 header"));

    V2Layout l;
    l.channels = 4;
    l.frames = 1;
    Bytes v2 = BuildV2(l, {}, Bytes(4, 1));
    PutLE16(v2, 4, 28);
    ASSERT_TRUE(WriteFile(dir.file("v2.hseq"), v2));
    EXPECT_EQ(Open(dir.file("v2.hseq")), nullptr);
    EXPECT_TRUE(log.contains("header length 28 is shorter than the 32 bytes of a version 2 header"));
}

TEST(HSEQOpen, RejectsChannelCountOfZeroOrPastTheChannelSpace) {
    ScratchDir dir;
    kivtest::LogCapture log;
    ASSERT_TRUE(WriteFile(dir.file("zero.hseq"), BuildV1(0, 25, {Bytes(), Bytes()})));
    EXPECT_EQ(Open(dir.file("zero.hseq")), nullptr);
    EXPECT_TRUE(log.contains("channel count 0 is outside 1 to 8388608"));

    V2Layout l;
    l.channels = 8388609;
    l.frames = 0;
    ASSERT_TRUE(WriteFile(dir.file("huge.hseq"), BuildV2(l, {})));
    EXPECT_EQ(Open(dir.file("huge.hseq")), nullptr);
    EXPECT_TRUE(log.contains("channel count 8388609 is outside 1 to 8388608"));

    Bytes eseq(20, 0);
    memcpy(&eseq[0], "ESEQ", 4);
    ASSERT_TRUE(WriteFile(dir.file("zero.eseq"), eseq));
    EXPECT_EQ(Open(dir.file("zero.eseq")), nullptr);
}

TEST(HSEQOpen, RejectsStepTimeOfZero) {
    ScratchDir dir;
    ASSERT_TRUE(WriteFile(dir.file("s.hseq"), BuildV1(4, 0, {Bytes(4, 1)})));
    kivtest::LogCapture log;
    EXPECT_EQ(Open(dir.file("s.hseq")), nullptr);
    EXPECT_TRUE(log.contains("step time is 0 ms"));
}

TEST(HSEQOpen, RejectsBlockIndexThatDoesNotFitTheHeader) {
    ScratchDir dir;
    V2Layout l;
    l.channels = 4;
    l.frames = 1;
    l.compression = 1;
    l.indexEntries = 2;
    Bytes b = BuildV2(l, {{0, ZstdFrame(Bytes(4, 9))}});
    b[20] = (uint8_t)(1 | 0xF0);  // claims 4095 + entries in a header of a few dozen bytes
    b[21] = 0xFF;
    ASSERT_TRUE(WriteFile(dir.file("idx.hseq"), b));
    kivtest::LogCapture log;
    EXPECT_EQ(Open(dir.file("idx.hseq")), nullptr);
    EXPECT_TRUE(log.contains("4095 block entries and 0 sparse ranges need 32792 header bytes but the header has"));
}

TEST(HSEQOpen, RejectsSparseRangesPastTheChannelSpaceOrLargerThanTheFrame) {
    ScratchDir dir;
    kivtest::LogCapture log;
    V2Layout l;
    l.channels = 100;
    l.frames = 1;
    l.sparse = {{8388600, 100}};
    ASSERT_TRUE(WriteFile(dir.file("far.hseq"), BuildV2(l, {}, Bytes(100, 1))));
    EXPECT_EQ(Open(dir.file("far.hseq")), nullptr);
    EXPECT_TRUE(log.contains("sparse range 0 (8388600+100) reaches past channel 8388608"));

    l.sparse = {{0, 60}, {1000, 60}};
    ASSERT_TRUE(WriteFile(dir.file("big.hseq"), BuildV2(l, {}, Bytes(100, 1))));
    EXPECT_EQ(Open(dir.file("big.hseq")), nullptr);
    EXPECT_TRUE(log.contains("sparse ranges hold 120 channels but frames hold only 100"));
}

TEST(HSEQOpen, LogsFileInformationAtDebugLevel) {
    ScratchDir dir;
    ASSERT_TRUE(WriteFile(dir.file("i.hseq"), BuildV1(6, 40, {Bytes(6, 1), Bytes(6, 2)})));
    kivtest::LogCapture log;
    KIVLogger::INSTANCE.SetLevel("Sequence", LOG_DEBUG);
    auto f = Open(dir.file("i.hseq"));
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(log.contains("Sequence File Information\n"));
    EXPECT_TRUE(log.contains("seqFilename           : " + dir.file("i.hseq") + "\n"));
    EXPECT_TRUE(log.contains("seqVersion            : 1.0\n"));
    EXPECT_TRUE(log.contains("seqChanDataOffset     : 28\n"));
    EXPECT_TRUE(log.contains("seqChannelCount       : 6\n"));
    EXPECT_TRUE(log.contains("seqNumPeriods         : 2\n"));
    EXPECT_TRUE(log.contains("seqStepTime           : 40ms\n"));
}

// ---------------------------------------------------------------- version 1

TEST(HSEQV1, ReadsHandBuiltFileWithHeadersAndModificationTimeAsId) {
    ScratchDir dir;
    std::string path = dir.file("v1.hseq");
    std::vector<Bytes> frames = {Pattern(10, 0), Pattern(10, 1), Pattern(10, 2)};
    ASSERT_TRUE(WriteFile(path, BuildV1(10, 50, frames, {{"mf", Text("song.mp3")}, {"sp", Text("maker 1.0")}})));
    auto f = Open(path);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->getVersionMajor(), 1);
    EXPECT_EQ(f->getVersionMinor(), 0);
    EXPECT_EQ(f->getChannelCount(), 10u);
    EXPECT_EQ(f->getMaxChannel(), 10u);
    EXPECT_EQ(f->getNumFrames(), 3u);
    EXPECT_EQ(f->getStepTime(), 50);
    EXPECT_EQ(f->getChannelDataOffset(), 28u + 13 + 14 + 1);
    EXPECT_EQ(f->getFileSize(), 56u + 30);
    EXPECT_EQ(f->getMediaFilename(), "song.mp3");
    ASSERT_EQ(f->getVariableHeaders().size(), 2u);
    EXPECT_EQ(std::string(f->getVariableHeaders()[1].code, 2), "sp");
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(f->getUniqueId(), (uint64_t)st.st_mtime);
    EXPECT_EQ(ReadAllFrames(f.get(), 10), frames);
}

TEST(HSEQV1, HeaderWithHeadersOfFiveAndTenBytesIs52Long) {
    ScratchDir dir;
    std::string path = dir.file("w.hseq");
    {
        std::unique_ptr<HSEQFile> w(HSEQFile::createHSEQFile(path, 1));
        ASSERT_NE(w, nullptr);
        w->setChannelCount(3);
        w->setNumFrames(2);
        w->setStepTime(20);
        w->getVariableHeaders().emplace_back("mf", Bytes{'a', '.', 'm', 'p', 0});
        w->getVariableHeaders().emplace_back("xx", Bytes(10, 7));
        w->writeHeader();
        EXPECT_EQ(w->getChannelDataOffset(), 52u);
        uint8_t f0[3] = {1, 2, 3}, f1[3] = {4, 5, 6};
        w->addFrame(0, f0);
        w->addFrame(1, f1);
        w->finalize();
    }
    Bytes b = ReadFile(path);
    ASSERT_EQ(b.size(), 58u);
    Bytes expected(52, 0);
    memcpy(&expected[0], "PSEQ", 4);
    PutLE16(expected, 4, 52);
    expected[7] = 1;
    PutLE16(expected, 8, 28);
    PutLE32(expected, 10, 3);
    PutLE32(expected, 14, 2);
    expected[18] = 20;
    expected[24] = 1;
    expected[25] = 2;
    PutLE16(expected, 28, 9);
    memcpy(&expected[30], "mfa.mp", 6);
    PutLE16(expected, 37, 14);
    memcpy(&expected[39], "xx", 2);
    memset(&expected[41], 7, 10);
    expected.insert(expected.end(), {1, 2, 3, 4, 5, 6});
    EXPECT_EQ(b, expected);
}

TEST(HSEQV1, RangesPastTheChannelCountReadNothing) {
    ScratchDir dir;
    Bytes frame = Pattern(50, 3);
    ASSERT_TRUE(WriteFile(dir.file("r.hseq"), BuildV1(50, 25, {frame})));
    auto f = Open(dir.file("r.hseq"));
    ASSERT_NE(f, nullptr);
    f->prepareRead({{10, 5}, {100, 5}}, 0);
    std::unique_ptr<HSEQFile::FrameData> fd(f->getFrame(0));
    ASSERT_NE(fd, nullptr);
    Bytes out(200, 0xEE);
    EXPECT_TRUE(fd->readFrame(out.data(), 200));
    for (int i = 0; i < 200; ++i) {
        if (i >= 10 && i < 15) EXPECT_EQ(out[i], frame[i]) << i;
        else EXPECT_EQ(out[i], 0xEE) << i;
    }
}

TEST(HSEQV1, ReadsARangeOverlappingTheEndUpToTheLastChannel) {
    ScratchDir dir;
    Bytes frame = Pattern(50, 4);
    ASSERT_TRUE(WriteFile(dir.file("r.hseq"), BuildV1(50, 25, {frame})));
    auto f = Open(dir.file("r.hseq"));
    auto frames = ReadAllFrames(f.get(), 60, {{45, 10}});
    Bytes expected(60, 0);
    memcpy(&expected[45], &frame[45], 5);
    EXPECT_EQ(frames[0], expected);
}

TEST(HSEQV1, FramePastTheDataLogsShortReadAndReadsAsZero) {
    ScratchDir dir;
    ASSERT_TRUE(WriteFile(dir.file("t.hseq"), BuildV1(8, 25, {Pattern(8, 1)})));
    auto f = Open(dir.file("t.hseq"));
    ASSERT_NE(f, nullptr);
    kivtest::LogCapture log;
    std::unique_ptr<HSEQFile::FrameData> fd(f->getFrame(5));
    ASSERT_NE(fd, nullptr);
    Bytes out(8, 0xAA);
    EXPECT_TRUE(fd->readFrame(out.data(), 8));
    EXPECT_EQ(out, Bytes(8, 0));
    EXPECT_TRUE(log.contains("Failed to read channel data for frame 5!   Needed to read 8 but read 0"));
}

// ---------------------------------------------------------------- frame objects

TEST(HSEQFrameData, MaximumCutsARangeThatReachesPastIt) {
    UncompressedFrameData fd(0, 5, {{10, 5}});
    memcpy(fd.m_data, "abcde", 5);
    Bytes out(12, 0);
    EXPECT_TRUE(fd.readFrame(out.data(), 12));
    EXPECT_EQ(out[10], 'a');
    EXPECT_EQ(out[11], 'b');
    EXPECT_EQ(std::count(out.begin(), out.begin() + 10, 0), 10);
}

TEST(HSEQFrameData, RangesLongerThanTheHeldBytesFail) {
    UncompressedFrameData fd(0, 6, {{0, 4}, {100, 4}});
    memcpy(fd.m_data, "wxyzuv", 6);
    Bytes out(200, 0);
    EXPECT_FALSE(fd.readFrame(out.data(), 200));
    EXPECT_EQ(memcmp(out.data(), "wxyz", 4), 0);
    EXPECT_EQ(out[100], 0);
    UncompressedFrameData empty(0, 0, {{0, 4}});
    EXPECT_FALSE(empty.readFrame(out.data(), 200));
}

// ---------------------------------------------------------------- variable headers

// Large frames go back to their file's pool when deleted and the next frame
// of the file reuses the memory; a frame still works after its file is gone.
TEST(HSEQFrameData, LargeFramesReuseTheMemoryOfDeletedFramesOfTheirFile) {
    ScratchDir dir;
    for (int version : {1, 2}) {
        SCOPED_TRACE("version " + std::to_string(version));
        ShowSpec spec;
        spec.channels = 600000;
        spec.frames = 8;
        spec.versionMajor = version;
        ASSERT_TRUE(GenerateShow(dir.file("big.hseq"), spec));
        auto f = Open(dir.file("big.hseq"));
        ASSERT_NE(f, nullptr);
        Bytes want(spec.channels), got(spec.channels);
        std::set<const uint8_t*> buffers;
        std::unique_ptr<HSEQFile::FrameData> kept;
        for (uint32_t n = 0; n < spec.frames; ++n) {
            std::unique_ptr<HSEQFile::FrameData> fd(f->getFrame(n));
            ASSERT_NE(fd, nullptr);
            auto* u = dynamic_cast<UncompressedFrameData*>(fd.get());
            ASSERT_NE(u, nullptr);
            buffers.insert(u->m_data);
            ASSERT_TRUE(fd->readFrame(got.data(), spec.channels));
            RenderShowFrame(spec, n, want.data());
            ASSERT_EQ(want, got) << "frame " << n;
            if (n == spec.frames - 1) kept = std::move(fd);
        }
        EXPECT_EQ(1u, buffers.size()) << "each frame deleted before the next: one buffer in turn";
        f.reset();
        ASSERT_TRUE(kept->readFrame(got.data(), spec.channels));
        RenderShowFrame(spec, spec.frames - 1, want.data());
        EXPECT_EQ(want, got);
    }
}

TEST(HSEQVariableHeaders, LengthFourGivesEmptyHeaderAndParsingGoesOn) {
    ScratchDir dir;
    ASSERT_TRUE(WriteFile(dir.file("h.hseq"), BuildV1(4, 25, {Bytes(4, 1)}, {{"zz", Bytes()}, {"mf", Text("x.wav")}})));
    kivtest::LogCapture log;
    auto f = Open(dir.file("h.hseq"));
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(f->getVariableHeaders().size(), 2u);
    EXPECT_TRUE(f->getVariableHeaders()[0].data.empty());
    EXPECT_EQ(f->getMediaFilename(), "x.wav");
    EXPECT_TRUE(log.contains("VariableHeader has 0 length data: zz"));
}

TEST(HSEQVariableHeaders, DataPastTheHeaderEndStopsParsingAndKeepsEarlierHeaders) {
    ScratchDir dir;
    Bytes b = BuildV1(4, 25, {Bytes(4, 1)}, {{"mf", Text("a.mp3")}, {"sp", Text("prog")}});
    PutLE16(b, 28 + 10, 200);  // the "sp" header now claims 196 data bytes
    ASSERT_TRUE(WriteFile(dir.file("h.hseq"), b));
    kivtest::LogCapture log;
    auto f = Open(dir.file("h.hseq"));
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(f->getVariableHeaders().size(), 1u);
    EXPECT_EQ(f->getMediaFilename(), "a.mp3");
    EXPECT_TRUE(log.contains("VariableHeader 'sp' has out of bounds data length: 238 bytes, max length: 48 bytes"));
}

TEST(HSEQVariableHeaders, MediaNameWithoutNulIsKeptAndReadWithinItsData) {
    ScratchDir dir;
    ASSERT_TRUE(WriteFile(dir.file("h.hseq"), BuildV1(4, 25, {Bytes(4, 1)}, {{"mf", Text("noend.mp3", false)}})));
    kivtest::LogCapture log;
    auto f = Open(dir.file("h.hseq"));
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(log.contains("VariableHeader mf data is not NULL terminated!"));
    EXPECT_EQ(f->getMediaFilename(), "noend.mp3");
}

TEST(HSEQVariableHeaders, UnknownCodesAreKeptAndLoggedAtDebug) {
    ScratchDir dir;
    ASSERT_TRUE(WriteFile(dir.file("h.hseq"),
                          BuildV1(4, 25, {Bytes(4, 1)}, {{"FC", Bytes{0, 1, 2}}, {"qq", Bytes{9, 9}}})));
    kivtest::LogCapture log;
    KIVLogger::INSTANCE.SetLevel("Sequence", LOG_DEBUG);
    auto f = Open(dir.file("h.hseq"));
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(f->getVariableHeaders().size(), 2u);
    EXPECT_EQ(f->getVariableHeaders()[0].data, (Bytes{0, 1, 2}));
    EXPECT_EQ(f->getVariableHeaders()[1].data, (Bytes{9, 9}));
    EXPECT_TRUE(log.contains("Unrecognized VariableHeader code: qq, length: 2 bytes"));
    EXPECT_FALSE(log.contains("Unrecognized VariableHeader code: FC"));
    EXPECT_TRUE(log.contains("Read VariableHeader: FC, length: 3 bytes"));
}

TEST(HSEQVariableHeaders, MediaFilenameIsEmptyWithoutMfAndForUnreadableFiles) {
    ScratchDir dir;
    ASSERT_TRUE(WriteFile(dir.file("h.hseq"), BuildV1(4, 25, {Bytes(4, 1)}, {{"sp", Text("p")}})));
    EXPECT_EQ(Open(dir.file("h.hseq"))->getMediaFilename(), "");
    ASSERT_TRUE(WriteFile(dir.file("m.hseq"), BuildV1(4, 25, {Bytes(4, 1)}, {{"mf", Text("m.ogg")}})));
    EXPECT_EQ(HSEQFile::getMediaFilename(dir.file("m.hseq")), "m.ogg");
    ASSERT_TRUE(WriteFile(dir.file("e.hseq"), BuildV1(4, 25, {Bytes(4, 1)}, {{"mf", Bytes()}})));
    EXPECT_EQ(HSEQFile::getMediaFilename(dir.file("e.hseq")), "");
    kivtest::LogCapture log;
    EXPECT_EQ(HSEQFile::getMediaFilename(dir.file("missing.hseq")), "");
}

TEST(HSEQVariableHeaders, ExtendedHeadersOutsideTheFileAreSkipped) {
    ScratchDir dir;
    V2Layout l;
    l.channels = 4;
    l.frames = 1;
    l.extendedHeaders = {{"mf", Text("far.mp3")}, {"sp", Text("ok")}};
    Bytes b = BuildV2(l, {}, Bytes(4, 3));
    // Point the first "ED" header 1 GiB past the end.
    size_t ed = 32;
    ASSERT_EQ(b[ed + 2], 'E');
    PutLE64(&b[ed + 6], 1ull << 30);
    ASSERT_TRUE(WriteFile(dir.file("ed.hseq"), b));
    kivtest::LogCapture log;
    auto f = Open(dir.file("ed.hseq"));
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(f->getVariableHeaders().size(), 1u);
    EXPECT_EQ(std::string(f->getVariableHeaders()[0].code, 2), "sp");
    EXPECT_TRUE(f->getVariableHeaders()[0].extendedData);
    EXPECT_TRUE(log.contains("VariableHeader 'mf' data (8 bytes at offset 1073741824) lies outside the file"));
}

TEST(HSEQVariableHeaders, ExtendedHeaderCutByTheHeaderEndStopsParsing) {
    ScratchDir dir;
    V2Layout l;
    l.channels = 4;
    l.frames = 1;
    l.inlineHeaders = {{"mf", Text("a")}};
    Bytes b = BuildV2(l, {}, Bytes(4, 3));
    // Turn the padding after "mf" into the start of an "ED" header that the
    // header end cuts short.
    size_t at = 32 + 6;
    b.insert(b.begin() + at, {18, 0, 'E', 'D', 'x', 'y'});
    PutLE16(b, 4, (uint16_t)(GetLE16(&b[4]) + 4));
    b.erase(b.begin() + GetLE16(&b[4]), b.begin() + GetLE16(&b[4]) + 2);
    ASSERT_TRUE(WriteFile(dir.file("cut.hseq"), b));
    kivtest::LogCapture log;
    auto f = Open(dir.file("cut.hseq"));
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->getMediaFilename(), "a");
    EXPECT_EQ(f->getVariableHeaders().size(), 1u);
    EXPECT_TRUE(log.contains("VariableHeader 'ED' at offset 38 is cut off by the end of the header"));
}

// ---------------------------------------------------------------- version 2, files laid out by hand

TEST(HSEQV2Read, ReadsUncompressedFileWithRequestedRanges) {
    ScratchDir dir;
    V2Layout l;
    l.channels = 40;
    l.frames = 3;
    l.inlineHeaders = {{"mf", Text("v2.mp3")}};
    std::vector<Bytes> frames = {Pattern(40, 0), Pattern(40, 1), Pattern(40, 2)};
    ASSERT_TRUE(WriteFile(dir.file("n.hseq"), BuildV2(l, {}, Concat(frames))));
    auto f = Open(dir.file("n.hseq"));
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->getVersionMajor(), 2);
    EXPECT_EQ(f->getUniqueId(), 0x1122334455667788ULL);
    EXPECT_EQ(AsV2(f.get())->getCompressionType(), HSEQFile::CompressionType::none);
    EXPECT_EQ(f->getMediaFilename(), "v2.mp3");
    auto got = ReadAllFrames(f.get(), 64, {{5, 10}, {30, 20}});
    for (int i = 0; i < 3; ++i) {
        Bytes expected(64, 0);
        memcpy(&expected[5], &frames[i][5], 10);
        memcpy(&expected[30], &frames[i][30], 10);
        EXPECT_EQ(got[i], expected) << i;
    }
    EXPECT_EQ(std::unique_ptr<HSEQFile::FrameData>(f->getFrame(3)), nullptr);
}

TEST(HSEQV2Read, SparseFilePlacesStoredBytesAtTheirRanges) {
    ScratchDir dir;
    V2Layout l;
    l.channels = 15;
    l.frames = 2;
    l.sparse = {{100, 5}, {7, 10}};
    std::vector<Bytes> frames = {Pattern(15, 5), Pattern(15, 6)};
    ASSERT_TRUE(WriteFile(dir.file("s.hseq"), BuildV2(l, {}, Concat(frames))));
    auto f = Open(dir.file("s.hseq"));
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->getMaxChannel(), 105u);
    // Requested ranges do not matter for sparse files: the stored frame comes whole.
    auto got = ReadAllFrames(f.get(), 110, {{0, 3}});
    for (int i = 0; i < 2; ++i) {
        Bytes expected(110, 0);
        memcpy(&expected[100], &frames[i][0], 5);
        memcpy(&expected[7], &frames[i][5], 10);
        EXPECT_EQ(got[i], expected) << i;
    }
    // Laid out by channel for a player only where the gaps hold no more
    // than the ranges: here 90 zeros beside 15 bytes, so it stays as stored.
    uint32_t count = 0;
    std::unique_ptr<HSEQFile::FrameData> far(f->getPlacedFrame(1));
    ASSERT_NE(far, nullptr);
    EXPECT_EQ(nullptr, far->channelBytes(count));
    l.sparse = {{12, 5}, {0, 10}};
    ASSERT_TRUE(WriteFile(dir.file("near.hseq"), BuildV2(l, {}, Concat(frames))));
    auto near = Open(dir.file("near.hseq"));
    ASSERT_NE(near, nullptr);
    for (int i = 0; i < 2; ++i) {
        std::unique_ptr<HSEQFile::FrameData> placed(near->getPlacedFrame(i));
        ASSERT_NE(placed, nullptr);
        const uint8_t* bytes = placed->channelBytes(count);
        ASSERT_NE(nullptr, bytes);
        ASSERT_EQ(17u, count);
        Bytes expected(17, 0);
        memcpy(&expected[12], &frames[i][0], 5);
        memcpy(&expected[0], &frames[i][5], 10);
        EXPECT_EQ(Bytes(bytes, bytes + count + HSEQ_FRAME_SPARE_BYTES),
                  Concat({expected, Bytes(HSEQ_FRAME_SPARE_BYTES, 0)})) << i;
    }
}

TEST(HSEQV2Read, ReadsZstdBlocksMadeByTheLibraryWithExtendedHeaders) {
    ScratchDir dir;
    const uint32_t cc = 300;
    std::vector<Bytes> frames;
    for (int i = 0; i < 25; ++i) frames.push_back(Pattern(cc, i));
    V2Layout l;
    l.compression = 1;
    l.channels = cc;
    l.frames = 25;
    l.indexEntries = 6;  // more entries than blocks: the rest stay zero
    l.inlineHeaders = {{"sp", Text("other writer")}};
    l.extendedHeaders = {{"mf", Text("ext.mp3")}, {"FE", Pattern(1000, 9)}};
    std::vector<std::pair<uint32_t, Bytes>> blocks = {
        {0, ZstdFrame(Concat({frames.begin(), frames.begin() + 7}), 1)},
        {7, ZstdFrame(Concat({frames.begin() + 7, frames.begin() + 20}), 19)},
        {20, ZstdFrame(Concat({frames.begin() + 20, frames.end()}), 3)}};
    ASSERT_TRUE(WriteFile(dir.file("z.hseq"), BuildV2(l, blocks)));
    auto f = Open(dir.file("z.hseq"));
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(AsV2(f.get())->getCompressionType(), HSEQFile::CompressionType::zstd);
    EXPECT_EQ(f->getMediaFilename(), "ext.mp3");
    auto& vh = f->getVariableHeaders();
    ASSERT_EQ(vh.size(), 3u);
    EXPECT_FALSE(vh[0].extendedData);
    EXPECT_TRUE(vh[1].extendedData);
    EXPECT_EQ(vh[2].data, Pattern(1000, 9));
    EXPECT_EQ(ReadAllFrames(f.get(), cc), frames);
}

TEST(HSEQV2Read, ReadsZlibBlocksMadeByTheLibraryInAnyOrderOfAccess) {
    ScratchDir dir;
    const uint32_t cc = 200;
    std::vector<Bytes> frames;
    for (int i = 0; i < 30; ++i) frames.push_back(Pattern(cc, 100 + i));
    V2Layout l;
    l.compression = 2;
    l.channels = cc;
    l.frames = 30;
    l.indexEntries = 3;
    ASSERT_TRUE(WriteFile(dir.file("z.hseq"),
                          BuildV2(l, {{0, ZlibStream(Concat({frames.begin(), frames.begin() + 10}))},
                                      {10, ZlibStream(Concat({frames.begin() + 10, frames.begin() + 22}), 9)},
                                      {22, ZlibStream(Concat({frames.begin() + 22, frames.end()}), 1)}})));
    auto f = Open(dir.file("z.hseq"));
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(AsV2(f.get())->getCompressionType(), HSEQFile::CompressionType::zlib);
    for (uint32_t n : {0u, 1u, 25u, 11u, 10u, 29u, 3u, 3u, 21u, 22u, 0u}) {
        std::unique_ptr<HSEQFile::FrameData> fd(f->getFrame(n));
        ASSERT_NE(fd, nullptr) << n;
        Bytes out(cc);
        ASSERT_TRUE(fd->readFrame(out.data(), cc));
        EXPECT_EQ(out, frames[n]) << n;
    }
}

TEST(HSEQV2Read, EseqFileOpensAsSingleModelSparseFile) {
    ScratchDir dir;
    std::vector<Bytes> frames = {Pattern(30, 1), Pattern(30, 2), Pattern(30, 3)};
    Bytes file = Concat({BuildESEQ(30, 101, 30, frames), Bytes(7, 0xFF)});  // a partial frame at the end is not a frame
    ASSERT_TRUE(WriteFile(dir.file("m.eseq"), file));
    auto f = Open(dir.file("m.eseq"));
    ASSERT_NE(f, nullptr);
    V2HSEQFile* v2 = AsV2(f.get());
    ASSERT_NE(v2, nullptr);
    EXPECT_EQ(f->getVersionMajor(), 2);
    EXPECT_EQ(f->getVersionMinor(), 0);
    EXPECT_EQ(f->getChannelDataOffset(), 20u);
    EXPECT_EQ(f->getStepTime(), 50);
    EXPECT_EQ(f->getNumFrames(), 3u);
    EXPECT_EQ(f->getChannelCount(), 30u);
    EXPECT_EQ(f->getMaxChannel(), 130u);
    EXPECT_TRUE(f->getVariableHeaders().empty());
    EXPECT_EQ(v2->getCompressionType(), HSEQFile::CompressionType::none);
    ASSERT_EQ(v2->getSparseRanges().size(), 1u);
    EXPECT_EQ(v2->getSparseRanges()[0], std::make_pair(100u, 30u));
    auto got = ReadAllFrames(f.get(), 140);
    for (int i = 0; i < 3; ++i) {
        Bytes expected(140, 0);
        memcpy(&expected[100], frames[i].data(), 30);
        EXPECT_EQ(got[i], expected);
    }
}

TEST(HSEQV2Read, EseqFirstChannelZeroIsChannelZero) {
    ScratchDir dir;
    ASSERT_TRUE(WriteFile(dir.file("m.eseq"), BuildESEQ(4, 0, 4, {Bytes{1, 2, 3, 4}})));
    auto f = Open(dir.file("m.eseq"));
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(AsV2(f.get())->getSparseRanges()[0], std::make_pair(0u, 4u));
    EXPECT_EQ(ReadAllFrames(f.get(), 4)[0], (Bytes{1, 2, 3, 4}));
}

TEST(HSEQV2Read, UnknownCompressionTypeReadsAsUncompressed) {
    ScratchDir dir;
    V2Layout l;
    l.compression = 5;
    l.channels = 8;
    l.frames = 2;
    std::vector<Bytes> frames = {Pattern(8, 1), Pattern(8, 2)};
    ASSERT_TRUE(WriteFile(dir.file("u.hseq"), BuildV2(l, {}, Concat(frames))));
    kivtest::LogCapture log;
    auto f = Open(dir.file("u.hseq"));
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(log.contains("Unknown compression type: 5\n"));
    EXPECT_EQ(AsV2(f.get())->getCompressionType(), HSEQFile::CompressionType::none);
    EXPECT_EQ(ReadAllFrames(f.get(), 8), frames);
}

TEST(HSEQV2Read, UnknownMinorVersionAndHeaderSizeMismatchAreLoggedButRead) {
    ScratchDir dir;
    V2Layout l;
    l.minor = 3;
    l.channels = 4;
    l.frames = 1;
    Bytes b = BuildV2(l, {}, Bytes{5, 6, 7, 8});
    PutLE16(b, 8, 40);
    ASSERT_TRUE(WriteFile(dir.file("m.hseq"), b));
    kivtest::LogCapture log;
    auto f = Open(dir.file("m.hseq"));
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(log.contains("Unknown minor version: 3.  HSEQ may not load properly."));
    EXPECT_TRUE(log.contains("Read position (32) does not match expected header size 40!"));
    EXPECT_EQ(ReadAllFrames(f.get(), 4)[0], (Bytes{5, 6, 7, 8}));
}

// ---------------------------------------------------------------- version 2 writing

TEST(HSEQV2Write, BlockLimitFollowsFrameAndChannelCounts) {
    struct Case {
        uint32_t frames, channels;
        int limit, blocks;
        uint32_t perBlock;
    } cases[] = {{1000, 512, 255, 10, 142},   {100000, 100, 255, 155, 657}, {40, 100, 255, 4, 40},
                 {12, 4, 255, 4, 12},         {2400, 100000, 255, 243, 10}, {2400, 100000, 4095, 243, 10},
                 {100000, 100000, 4095, 4003, 25}, {0, 10, 255, 3, 10}};
    for (auto& c : cases) {
        std::unique_ptr<HSEQFile> w(HSEQFile::createHSEQFile("-memory-", 2, HSEQFile::CompressionType::zstd));
        w->setNumFrames(c.frames);
        w->setChannelCount(c.channels);
        auto* h = dynamic_cast<V2CompressedHandler*>(AsV2(w.get())->getHandler());
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(h->computeMaxBlocks(c.limit), c.blocks) << c.frames << "x" << c.channels;
        EXPECT_EQ(h->getFramesPerBlock(), c.perBlock) << c.frames << "x" << c.channels;
        EXPECT_EQ(h->computeMaxBlocks(7), c.blocks) << "cached";
    }
    std::unique_ptr<HSEQFile> none(HSEQFile::createHSEQFile("-memory-", 2, HSEQFile::CompressionType::none));
    EXPECT_EQ(AsV2(none.get())->getHandler()->computeMaxBlocks(255), 0);
}

TEST(HSEQV2Write, HeaderBytesFollowTheLayoutTable) {
    ScratchDir dir;
    std::string path = dir.file("w.hseq");
    ShowSpec spec;
    spec.channels = 2000;
    spec.frames = 100;
    spec.stepMs = 33;
    spec.versionMinor = 1;
    spec.sparseRanges = {{100, 50}, {1000, 10}};
    spec.mediaFilename = "w.mp3";
    long long before = GetWallTime();
    ASSERT_TRUE(GenerateShow(path, spec));
    Bytes b = ReadFile(path);
    ASSERT_GE(b.size(), 32u);
    EXPECT_EQ(memcmp(&b[0], "PSEQ", 4), 0);
    EXPECT_EQ(b[6], 1);
    EXPECT_EQ(b[7], 2);
    EXPECT_EQ(GetLE32(&b[10]), 60u);
    EXPECT_EQ(GetLE32(&b[14]), 100u);
    EXPECT_EQ(b[18], 33);
    EXPECT_EQ(b[19], 0);
    EXPECT_EQ(b[20] & 0x0F, 1);
    uint32_t limit = b[21] + 256 * (b[20] >> 4);
    EXPECT_EQ(limit, 4u);  // 6000 raw bytes: one block after the first, plus slack
    EXPECT_EQ(b[22], 2);
    EXPECT_EQ(b[23], 0);
    uint64_t id = GetLE64(&b[24]);
    EXPECT_GE((long long)id, before);
    EXPECT_LE((long long)id, GetWallTime());
    uint32_t firstHeader = 32 + 8 * limit + 12;
    EXPECT_EQ(GetLE16(&b[8]), firstHeader);
    EXPECT_EQ(GetLE24(&b[32 + 8 * limit]), 100u);
    EXPECT_EQ(GetLE24(&b[32 + 8 * limit + 3]), 50u);
    EXPECT_EQ(GetLE24(&b[32 + 8 * limit + 6]), 1000u);
    EXPECT_EQ(GetLE24(&b[32 + 8 * limit + 9]), 10u);
    EXPECT_EQ(GetLE16(&b[firstHeader]), 4 + 6);
    EXPECT_EQ(memcmp(&b[firstHeader + 2], "mfw.mp3\0", 8), 0);
    uint32_t dataOffset = GetLE16(&b[4]);
    EXPECT_EQ(dataOffset, (firstHeader + 10 + 3) & ~3u);
    auto blocks = ParseBlockIndex(b);
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0].firstFrame, 0u);
    EXPECT_EQ(blocks[1].firstFrame, 10u);
    EXPECT_EQ(blocks[0].offset, dataOffset);
    EXPECT_EQ(blocks[1].offset + blocks[1].size, b.size());
    EXPECT_EQ(GetLE32(&b[32 + 16]), 0u);  // unused index entries stay zero
    EXPECT_EQ(GetLE32(&b[32 + 28]), 0u);
}

TEST(HSEQV2Write, FirstBlockHoldsTenFramesWhateverTheSizes) {
    ScratchDir dir;
    for (auto c : {std::make_pair(11u, 10u), std::make_pair(400u, 3000u), std::make_pair(50u, 70000u)}) {
        for (auto type : {HSEQFile::CompressionType::zstd, HSEQFile::CompressionType::zlib}) {
            ShowSpec spec;
            spec.frames = c.first;
            spec.channels = c.second;
            spec.compression = type;
            std::string path = dir.file("b.hseq");
            ASSERT_TRUE(GenerateShow(path, spec));
            auto blocks = ParseBlockIndex(ReadFile(path));
            ASSERT_GE(blocks.size(), 2u);
            EXPECT_EQ(blocks[0].firstFrame, 0u);
            EXPECT_EQ(blocks[1].firstFrame, 10u) << c.first << "x" << c.second;
        }
    }
}

TEST(HSEQV2Write, SparseWriterStoresOnlyItsRanges) {
    std::unique_ptr<HSEQFile> w(HSEQFile::createHSEQFile("-memory-", 2, HSEQFile::CompressionType::none));
    w->setChannelCount(2000);
    w->setNumFrames(1);
    AsV2(w.get())->setSparseRanges({{100, 50}, {1000, 10}, {1995, 20}, {2000, 5}});
    kivtest::LogCapture log;
    w->writeHeader();
    EXPECT_EQ(w->getChannelCount(), 65u);
    EXPECT_EQ(w->getMaxChannel(), 2000u);
    auto& r = AsV2(w.get())->getSparseRanges();
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[2], std::make_pair(1995u, 5u));
    EXPECT_TRUE(log.contains("Sparse range 2000+5 starts past the 2000 channels of -memory-; dropped"));
    uint64_t start = w->tell();
    Bytes frame(2000);
    for (int i = 0; i < 2000; ++i) frame[i] = (uint8_t)i;
    w->addFrame(0, frame.data());
    w->finalize();
    EXPECT_EQ(w->tell() - start, 65u);

    std::unique_ptr<HSEQFile> w2(HSEQFile::createHSEQFile("-memory-", 2, HSEQFile::CompressionType::zstd));
    w2->setChannelCount(2000);
    AsV2(w2.get())->setSparseRanges({{100, 50}, {1000, 10}});
    w2->writeHeader();
    EXPECT_EQ(w2->getChannelCount(), 60u);
    EXPECT_EQ(w2->getMaxChannel(), 1010u);
}

TEST(HSEQV2Write, LongHeadersWithMinor2GoAfterTheFramesAndReadBack) {
    ScratchDir dir;
    ShowSpec spec;
    spec.channels = 64;
    spec.frames = 30;
    spec.versionMinor = 2;
    spec.mediaFilename = "short.mp3";
    spec.extraHeaders.emplace_back("FE", Pattern(65500, 1));
    spec.extraHeaders.emplace_back("FC", Pattern(20, 2));
    spec.extraHeaders.emplace_back("xy", Pattern(14, 3));
    std::string path = dir.file("ed.hseq");
    ASSERT_TRUE(GenerateShow(path, spec));
    Bytes b = ReadFile(path);
    uint32_t dataOffset = GetLE16(&b[4]);
    EXPECT_LT(dataOffset, 400u);
    // "mf" is 14 bytes inline (4 + 10 > 18? no), FE and FC are "ED", xy (18 bytes) inline.
    uint32_t pos = GetLE16(&b[8]);
    EXPECT_EQ(GetLE16(&b[pos]), 14);
    pos += 14;
    EXPECT_EQ(GetLE16(&b[pos]), 18);
    EXPECT_EQ(memcmp(&b[pos + 2], "EDFE", 4), 0);
    uint64_t feAt = GetLE64(&b[pos + 6]);
    EXPECT_EQ(GetLE32(&b[pos + 14]), 65500u);
    pos += 18;
    EXPECT_EQ(memcmp(&b[pos + 2], "EDFC", 4), 0);
    uint64_t fcAt = GetLE64(&b[pos + 6]);
    pos += 18;
    EXPECT_EQ(GetLE16(&b[pos]), 18);
    EXPECT_EQ(memcmp(&b[pos + 2], "xy", 2), 0);
    auto blocks = ParseBlockIndex(b);
    uint64_t framesEnd = blocks.back().offset + blocks.back().size;
    EXPECT_EQ(feAt, framesEnd);
    EXPECT_EQ(fcAt, framesEnd + 65500);
    EXPECT_EQ(b.size(), framesEnd + 65520);
    EXPECT_EQ(Bytes(b.begin() + fcAt, b.end()), Pattern(20, 2));

    auto f = Open(path);
    ASSERT_NE(f, nullptr);
    auto& vh = f->getVariableHeaders();
    ASSERT_EQ(vh.size(), 4u);
    EXPECT_EQ(vh[1].data, Pattern(65500, 1));
    EXPECT_TRUE(vh[1].extendedData);
    EXPECT_EQ(vh[2].data, Pattern(20, 2));
    EXPECT_EQ(vh[3].data, Pattern(14, 3));
    EXPECT_FALSE(vh[3].extendedData);
    auto frames = ReadAllFrames(f.get(), 64);
    for (uint32_t i = 0; i < spec.frames; ++i) EXPECT_EQ(frames[i], ExpectedFrame(spec, i, 64)) << i;
}

TEST(HSEQV2Write, HeadersTooLongForTheHeaderAreStoredAfterTheFramesAtAnyMinor) {
    ScratchDir dir;
    for (auto type : {HSEQFile::CompressionType::none, HSEQFile::CompressionType::zlib}) {
        ShowSpec spec;
        spec.channels = 16;
        spec.frames = 12;
        spec.compression = type;
        spec.extraHeaders.emplace_back("FE", Pattern(70000, 4));
        spec.mediaFilename = "m.mp3";
        std::string path = dir.file("long.hseq");
        kivtest::LogCapture log;
        ASSERT_TRUE(GenerateShow(path, spec));
        EXPECT_TRUE(log.contains("need 70"));
        auto f = Open(path);
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(f->getVariableHeaders().size(), 2u);
        EXPECT_EQ(f->getVariableHeaders()[1].data, Pattern(70000, 4));
        EXPECT_EQ(f->getMediaFilename(), "m.mp3");
        auto frames = ReadAllFrames(f.get(), 16);
        for (uint32_t i = 0; i < spec.frames; ++i) EXPECT_EQ(frames[i], ExpectedFrame(spec, i, 16)) << i;
    }
}

TEST(HSEQV2Write, FlaggedHeaderIsExtendedAtMinorZero) {
    ScratchDir dir;
    ShowSpec spec;
    spec.channels = 8;
    spec.frames = 3;
    spec.compression = HSEQFile::CompressionType::none;
    spec.extraHeaders.emplace_back("FC", Bytes{1, 2, 3}, true);
    std::string path = dir.file("f.hseq");
    ASSERT_TRUE(GenerateShow(path, spec));
    Bytes b = ReadFile(path);
    EXPECT_EQ(b.size(), GetLE16(&b[4]) + 24u + 3u);
    EXPECT_EQ(Bytes(b.end() - 3, b.end()), (Bytes{1, 2, 3}));
    auto f = Open(path);
    ASSERT_EQ(f->getVariableHeaders().size(), 1u);
    EXPECT_TRUE(f->getVariableHeaders()[0].extendedData);
    EXPECT_EQ(f->getVariableHeaders()[0].data, (Bytes{1, 2, 3}));
}

TEST(HSEQV2Write, UniqueIdIsKeptWhenSet) {
    ScratchDir dir;
    std::string path = dir.file("id.hseq");
    {
        std::unique_ptr<HSEQFile> w(HSEQFile::createHSEQFile(path, 2, HSEQFile::CompressionType::zlib, 9));
        w->setChannelCount(4);
        w->setNumFrames(1);
        w->setUniqueId(424242);
        w->writeHeader();
        uint8_t d[4] = {1, 2, 3, 4};
        w->addFrame(0, d);
        w->finalize();
    }
    auto f = Open(path);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->getUniqueId(), 424242u);
    EXPECT_EQ(ReadAllFrames(f.get(), 4)[0], (Bytes{1, 2, 3, 4}));
}

TEST(HSEQV2Write, MemoryWriterProducesTheSizeOfTheFile) {
    ScratchDir dir;
    for (int version : {1, 2}) {
        ShowSpec spec;
        spec.versionMajor = version;
        spec.channels = 1500;
        spec.frames = 77;
        spec.mediaFilename = "m.mp3";
        spec.extraHeaders.emplace_back("FE", Pattern(100, 1), true);
        spec.seed = 5;
        ASSERT_TRUE(GenerateShow(dir.file("m.hseq"), spec));
        std::unique_ptr<HSEQFile> w(HSEQFile::createHSEQFile("-memory-", version));
        ASSERT_NE(w, nullptr);
        w->setChannelCount(spec.channels);
        w->setNumFrames(spec.frames);
        w->setStepTime(spec.stepMs);
        w->getVariableHeaders().emplace_back("mf", Text("m.mp3"));
        w->getVariableHeaders().push_back(spec.extraHeaders[0]);
        w->writeHeader();
        Bytes frame(spec.channels);
        for (uint32_t i = 0; i < spec.frames; ++i) {
            RenderShowFrame(spec, i, frame.data());
            w->addFrame(i, frame.data());
        }
        w->finalize();
        EXPECT_EQ(w->tell(), ReadFile(dir.file("m.hseq")).size()) << version;
    }
}

TEST(HSEQV2Write, FinalizeWithoutFramesLogsThatNoBlockWasMade) {
    ScratchDir dir;
    std::string path = dir.file("empty.hseq");
    kivtest::LogCapture log;
    {
        std::unique_ptr<HSEQFile> w(HSEQFile::createHSEQFile(path, 2, HSEQFile::CompressionType::zstd));
        w->setChannelCount(10);
        w->setNumFrames(0);
        w->writeHeader();
        w->finalize();
    }
    EXPECT_TRUE(log.contains("Error writing hseq file.  No compressed blocks created."));
    auto f = Open(path);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->getNumFrames(), 0u);
    EXPECT_EQ(std::unique_ptr<HSEQFile::FrameData>(f->getFrame(0)), nullptr);
}

TEST(HSEQCreate, UnknownVersionAndUnwritablePathGiveNull) {
    kivtest::LogCapture log;
    EXPECT_EQ(HSEQFile::createHSEQFile("/tmp/never.hseq", 3), nullptr);
    EXPECT_TRUE(log.contains("Error creating HSEQ file (/tmp/never.hseq), unknown version 3"));
    EXPECT_EQ(HSEQFile::createHSEQFile("/nonexistent/dir/x.hseq", 2), nullptr);
    EXPECT_TRUE(log.contains("Error creating HSEQ file (/nonexistent/dir/x.hseq), fopen returned NULL"));
}

TEST(HSEQCreate, InitializeFromSparseFileWidensTheChannelCount) {
    ScratchDir dir;
    ShowSpec spec;
    spec.channels = 3000;
    spec.frames = 2;
    spec.sparseRanges = {{2500, 100}};
    spec.stepMs = 45;
    spec.mediaFilename = "x.mp3";
    ASSERT_TRUE(GenerateShow(dir.file("s.hseq"), spec));
    auto src = Open(dir.file("s.hseq"));
    ASSERT_NE(src, nullptr);
    std::unique_ptr<HSEQFile> w(HSEQFile::createHSEQFile("-memory-", 1));
    w->initializeFromHSEQ(*src);
    EXPECT_EQ(w->getChannelCount(), 2600u);
    EXPECT_EQ(w->getNumFrames(), 2u);
    EXPECT_EQ(w->getStepTime(), 45);
    EXPECT_EQ(w->getUniqueId(), src->getUniqueId());
    EXPECT_EQ(w->getMediaFilename(), "x.mp3");
}

// Buffers of a pool are cut from shared slabs: each must be wholly its own,
// the spare bytes included (a buffer running into the next is overwritten
// by it), and one handed back is the next one out.
TEST(FrameBufferPool, BuffersAreDisjointWholeAndReusedLastInFirstOut) {
    const uint32_t size = 12u << 20;  // two to a slab
    auto pool = std::make_shared<FrameBufferPool>(size);
    const size_t bytes = (size_t)size + HSEQ_FRAME_SPARE_BYTES;
    std::vector<uint8_t*> taken;
    std::vector<size_t> slabs;
    for (int i = 0; i < 3; ++i) {
        taken.push_back(pool->take());
        ASSERT_NE(nullptr, taken.back());
        memset(taken.back(), 0x40 + i, bytes);
        slabs.push_back(pool->slabBytes());
    }
    for (int i = 0; i < 3; ++i) EXPECT_EQ(0x40 + i, taken[i][bytes - 1]) << i;
    EXPECT_EQ(slabs[0], slabs[1]);
    EXPECT_EQ(2 * slabs[0], slabs[2]) << "a third buffer takes a second slab";
    pool->give(taken[0]);
    pool->give(taken[2]);
    EXPECT_EQ(taken[2], pool->take());
    EXPECT_EQ(taken[0], pool->take());
}
