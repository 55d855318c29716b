// The recorder in the process: the file it writes (beside its name until
// complete, version 2 with zstd blocks, the step asked for, sparse ranges
// exactly over the inputs, headers naming the sources, every frame fed),
// and a disk that fills up under it.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <map>
#include <random>
#include <set>

#include "FaultSupport.h"
#include "NetTestSupport.h"
#include "TestSupport.h"
#include "bridge/Recorder.h"
#include "common.h"
#include "hseq/HSEQFile.h"

namespace {

class RecorderRig {
public:
    explicit RecorderRig(std::vector<std::pair<uint32_t, uint32_t>> ranges) {
        std::vector<InputConfig> configs;
        for (auto& r : ranges) {
            InputConfig c;
            c.index = (int)configs.size();
            c.startChannel = r.first;
            c.channelCount = r.second;
            configs.push_back(c);
            inputs.emplace_back(new LiveInput());
            inputs.back()->config = c;
            inputs.back()->data.assign(c.channelCount, 0);
        }
        rec.Configure(configs);
    }
    // Every input's bytes become value + their index in the input, live for a minute.
    void feed(const std::function<uint8_t(size_t input, size_t i)>& value) {
        std::vector<LiveInput*> all;
        for (size_t k = 0; k < inputs.size(); ++k) {
            for (size_t i = 0; i < inputs[k]->data.size(); ++i) inputs[k]->data[i] = value(k, i);
            inputs[k]->expiresUs = BridgeClockUs() + 60000000;
            all.push_back(inputs[k].get());
        }
        rec.Take(all, BridgeClockUs());
    }
    // Input k's bytes all become v, live until expiresUs.
    void feedOne(size_t k, uint8_t v, long long expiresUs) {
        std::fill(inputs[k]->data.begin(), inputs[k]->data.end(), v);
        inputs[k]->expiresUs = expiresUs;
        rec.Take({inputs[k].get()}, BridgeClockUs());
    }
    uint32_t written() { return rec.Status()["frames"].asUInt(); }

    Recorder rec{[] { return std::vector<std::string>{"E1.31 universe 1 -> channels 11-16: from 127.0.0.9 \"desk\""}; }};
    std::vector<std::unique_ptr<LiveInput>> inputs;
};

std::unique_ptr<HSEQFile> Open(const std::string& path) { return std::unique_ptr<HSEQFile>(HSEQFile::openHSEQFile(path)); }

std::string Header(HSEQFile& f, const char* code) {
    for (auto& h : f.getVariableHeaders()) {
        if (h.code[0] == code[0] && h.code[1] == code[1]) return std::string((const char*)h.data.data(), strnlen((const char*)h.data.data(), h.data.size()));
    }
    return "";
}

TEST(Recorder, WritesTheInputsSparseAndCompressedBesideItsNameThenRenames) {
    kivtest::TempMediaDir media;
    media.write("/sequences/rec.hseq", "previous");
    RecorderRig rig({{10, 4}, {12, 4}, {100, 3}});  // the first two overlap: one range 10-15
    std::string why;
    ASSERT_TRUE(rig.rec.Start("rec", 20, 0, why)) << why;
    EXPECT_TRUE(FileExists(media.file("/sequences/.rec.hseq.recording")));
    // Each value is held until the recorder wrote two frames after it came.
    const int VALUES = 12;
    for (int v = 1; v <= VALUES; ++v) {
        rig.feed([&](size_t k, size_t i) { return (uint8_t)(v * 10 + k); });
        uint32_t seen = rig.written();
        ASSERT_TRUE(kivtest::waitUntil([&] { return rig.written() >= seen + 2; }, 10000));
    }
    EXPECT_EQ("previous", GetFileContents(media.file("/sequences/rec.hseq")));
    std::string result = rig.rec.Stop();
    EXPECT_NE(std::string::npos, result.find("frames of 20 ms into rec.hseq")) << result;
    EXPECT_FALSE(FileExists(media.file("/sequences/.rec.hseq.recording")));

    auto f = Open(media.file("/sequences/rec.hseq"));
    ASSERT_TRUE(f);
    auto* v2 = dynamic_cast<V2HSEQFile*>(f.get());
    ASSERT_TRUE(v2);
    EXPECT_EQ(HSEQFile::CompressionType::zstd, v2->getCompressionType());
    EXPECT_EQ(20, f->getStepTime());
    EXPECT_EQ((HSEQFile::RangeList{{10, 6}, {100, 3}}), v2->getSparseRanges());
    EXPECT_EQ(0u, Header(*f, "sp").find("kivd "));
    EXPECT_NE(std::string::npos, Header(*f, "sr").find("\"desk\""));
    EXPECT_EQ(std::to_string(f->getNumFrames()), result.substr(9, result.find(' ', 9) - 9));
    // Frames in order, every value there; the later input wins where they overlap.
    int last = 0;
    std::set<int> values;
    std::vector<uint8_t> buf(200);
    for (uint32_t n = 0; n < f->getNumFrames(); ++n) {
        std::unique_ptr<HSEQFile::FrameData> fd(f->getFrame(n));
        ASSERT_TRUE(fd && fd->readFrame(buf.data(), buf.size())) << n;
        int v = buf[10] / 10;
        std::vector<uint8_t> want = {(uint8_t)(v * 10), (uint8_t)(v * 10), (uint8_t)(v * 10 + 1), (uint8_t)(v * 10 + 1),
                                     (uint8_t)(v * 10 + 1), (uint8_t)(v * 10 + 1)};
        if (v == 0) want.assign(6, 0);
        EXPECT_EQ(want, std::vector<uint8_t>(buf.begin() + 10, buf.begin() + 16)) << n;
        EXPECT_EQ(v ? v * 10 + 2 : 0, buf[100]) << n;
        EXPECT_GE(v, last) << n;
        last = v;
        values.insert(v);
    }
    values.erase(0);  // a frame taken before the first value came
    EXPECT_EQ((size_t)VALUES, values.size());
}

TEST(Recorder, AnInputPastItsExpiryIsRecordedAsZero) {
    kivtest::TempMediaDir media;
    RecorderRig rig({{0, 4}, {10, 4}});
    std::string why;
    ASSERT_TRUE(rig.rec.Start("expiry", 20, 0, why)) << why;
    long long expires = BridgeClockUs() + 1000000;
    rig.feedOne(0, 0x11, expires);
    // Input 1 goes on after input 0 expired; input 0 must not come back with it.
    for (uint8_t v : {1, 2}) {
        rig.feedOne(1, v, expires + 60000000);
        uint32_t seen = rig.written();
        auto later = [&] { return rig.written() >= seen + 3 && BridgeClockUs() > expires + 40000; };
        ASSERT_TRUE(kivtest::waitUntil(later, 10000));
    }
    rig.rec.Stop();

    auto f = Open(media.file("/sequences/expiry.hseq"));
    ASSERT_TRUE(f);
    std::vector<uint8_t> buf(14);
    std::map<int, std::set<int>> input0;  // input 1's value -> input 0's values beside it
    for (uint32_t n = 0; n < f->getNumFrames(); ++n) {
        std::unique_ptr<HSEQFile::FrameData> fd(f->getFrame(n));
        ASSERT_TRUE(fd && fd->readFrame(buf.data(), buf.size())) << n;
        input0[buf[10]].insert(buf[0]);
    }
    EXPECT_TRUE(input0[1].count(0x11)) << "recorded while live";
    EXPECT_EQ(std::set<int>{0}, input0[2]) << "recorded after it expired";
}

TEST(Recorder, AFullDiskKeepsTheWholeBlocksOrThePreviousFile) {
    if (!kivtest::isRoot()) GTEST_SKIP() << "needs root to mount a tmpfs";
    kivtest::TmpfsMount disk(1024 * 1024);
    ASSERT_TRUE(disk.ok()) << disk.error();
    setenv("KIV_MEDIA_DIR", disk.path().c_str(), 1);
    mkdir((disk.path() + "/sequences").c_str(), 0775);
    RecorderRig rig({{0, 60000}});  // random bytes: 60 kB per frame whatever zstd does
    std::mt19937 random(7);
    std::set<uint32_t> fed;  // the first four bytes of every frame fed
    auto feedRandom = [&] {
        rig.feed([&](size_t, size_t) { return (uint8_t)random(); });
        auto& d = rig.inputs[0]->data;
        fed.insert((uint32_t)d[0] << 24 | d[1] << 16 | d[2] << 8 | d[3]);
    };
    std::string why;
    ASSERT_TRUE(rig.rec.Start("full", 10, 0, why)) << why;
    ASSERT_TRUE(kivtest::waitUntil(
        [&] {
            feedRandom();
            return !rig.rec.Active();
        },
        20000));
    std::string result = rig.rec.Status()["result"].asString();
    // The first block (10 frames) reached the disk whole, the second could not.
    EXPECT_NE(std::string::npos, result.find("Recorded 10 frames of 10 ms into full.hseq; the recording ended early: "
                                             "writing failed (No space left on device)"))
        << result;
    EXPECT_TRUE(kivtest::hasWarning(result));
    std::string path = disk.path() + "/sequences/full.hseq";
    {
        auto f = Open(path);
        ASSERT_TRUE(f);
        ASSERT_EQ(10u, f->getNumFrames());
        std::vector<uint8_t> buf(60000);
        // The first frames may be taken before the first feed (the input's
        // zeros; a slow machine takes several); after a fed one, only fed ones.
        bool feeding = false;
        for (uint32_t n = 0; n < 10; ++n) {
            std::unique_ptr<HSEQFile::FrameData> fd(f->getFrame(n));
            ASSERT_TRUE(fd && fd->readFrame(buf.data(), buf.size())) << n;
            uint32_t head = (uint32_t)buf[0] << 24 | buf[1] << 16 | buf[2] << 8 | buf[3];
            bool wasFed = fed.count(head) > 0;
            EXPECT_TRUE(wasFed || (!feeding && head == 0)) << n;
            feeding = feeding || wasFed;
        }
        EXPECT_TRUE(feeding) << "no frame holds what was fed";
    }
    // With no room at all nothing is kept and the file of the last recording stays.
    std::string before = GetFileContents(path);
    kivtest::DiskFiller filler(disk.path());
    ASSERT_TRUE(filler.full());
    ASSERT_TRUE(rig.rec.Start("full.hseq", 10, 1, why)) << why;
    ASSERT_TRUE(kivtest::waitUntil([&] { return !rig.rec.Active(); }, 20000));
    result = rig.rec.Status()["result"].asString();
    EXPECT_NE(std::string::npos, result.find("Recording full.hseq failed: writing")) << result;
    EXPECT_NE(std::string::npos, result.find("nothing was kept (the previous file stays)")) << result;
    EXPECT_EQ(before, GetFileContents(path));
    EXPECT_FALSE(FileExists(disk.path() + "/sequences/.full.hseq.recording"));
    unsetenv("KIV_MEDIA_DIR");
}

}  // namespace
