// Drawing on an overlay model through the real kivd, seen at a DDP receiver
// on loopback: a 64 x 16 model over a playing show, filled, written on,
// cleared and switched between its states, exact to the byte in every
// frame (transparent states let the show through where the model is
// black, or per channel where it is 0); the text against the same text
// drawn by GraphicsMagick's own tool; a scroll that moves at its speed in
// pixels per second by the receiver's clock, untouched by a refused
// command; and the model's report over HTTP.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "FaultSupport.h"
#include "HttpClient.h"
#include "KivdProcess.h"
#include "TestSupport.h"
#include "common.h"
#include "hseq/ShowGenerator.h"
#include "monitor/PacketDecoder.h"
#include "overlays/TextRenderer.h"

namespace {

typedef std::vector<uint8_t> Bytes;

constexpr int CHANNELS = 4096;
constexpr int MODEL_START = 512;  // 0-based: the show's first universe stays visible, frames name themselves
constexpr int W = 64, H = 16;
constexpr int MODEL_BYTES = W * H * 3;

struct Frame {
    Bytes bytes;
    long long us;
};

class OverlayEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        spec.channels = CHANNELS;
        spec.frames = 2400;  // 60 s
        spec.stepMs = 25;
        spec.seed = 7;
        ASSERT_TRUE(GenerateShow(media.file("/sequences/show.hseq"), spec));
        media.write("/config/overlay-models.json", R"({"models": [
            {"name": "Matrix", "startChannel": )" + std::to_string(MODEL_START + 1) +
                                                       R"(, "width": 64, "height": 16}]})");
        media.write("/config/channeloutputs.json", R"({"channelOutputs": [{"type": "UDP", "enabled": 1,
            "universes": [{"description": "show", "type": 4, "address": ")" + address +
                                                       R"(", "startChannel": 1, "channelCount": 4096}]}]})");
        ASSERT_TRUE(ddp.ok());
    }

    // Whole frames received since the last call.
    std::vector<Frame> Take() {
        std::vector<Frame> frames;
        for (auto& g : ddp.take()) {
            DecodedPacket p = DecodeDDP(g.bytes.data(), g.bytes.size());
            if (!p.valid || p.offset + p.length > current.size()) continue;
            memcpy(current.data() + p.offset, p.data, p.length);
            if (p.push) frames.push_back({current, g.timeUs});
        }
        return frames;
    }
    // The show's frame beneath a received one (named in its first bytes).
    Bytes Beneath(const Bytes& f) {
        uint32_t n = f[0] | f[1] << 8 | f[2] << 16 | (uint32_t)f[3] << 24;
        Bytes b(CHANNELS);
        if (n < spec.frames) RenderShowFrame(spec, n, b.data());
        return b;
    }
    // Waits for a frame that `is` what `expected` gives for it, then checks
    // that the next `count` frames are too; "" or what was wrong.
    std::string Shows(const std::function<Bytes(const Frame&)>& expected, int count = 20) {
        bool started = false;
        int good = 0;
        std::string why = "no frame showed it";
        kivtest::waitUntil(
            [&] {
                for (auto& f : Take()) {
                    bool ok = f.bytes == expected(f);
                    if (!started) {
                        started = ok;
                        continue;
                    }
                    if (!ok) {
                        Bytes e = expected(f);
                        size_t i = 0;
                        while (e[i] == f.bytes[i]) ++i;
                        why = "channel " + std::to_string(i + 1) + " is " + std::to_string(f.bytes[i]) + ", not " +
                              std::to_string(e[i]) + " after " + std::to_string(good) + " good frames";
                        good = -1000000;
                    }
                    if (++good >= count) return true;
                }
                return good < 0;
            },
            10000);
        return good >= count ? "" : why;
    }
    // The frame beneath with the model's channels replaced pixel by pixel:
    // keep(pixel bytes of the model, channel) decides per channel.
    std::function<Bytes(const Frame&)> Over(const Bytes& model, const std::function<bool(const uint8_t*, int)>& keep) {
        return [this, model, keep](const Frame& f) {
            Bytes e = Beneath(f.bytes);
            for (int p = 0; p < W * H; ++p) {
                for (int c = 0; c < 3; ++c) {
                    if (keep(&model[p * 3], c)) e[MODEL_START + p * 3 + c] = model[p * 3 + c];
                }
            }
            return e;
        };
    }
    void Command(const std::vector<std::string>& args) {
        std::string out;
        ASSERT_EQ(0, d.command(args, &out)) << out;
    }

    ShowSpec spec;
    kivtest::TempMediaDir media;
    std::string address = kivtest::loopbackFor(207, 1);
    kivtest::UdpReceiver ddp{address, 4048};
    Bytes current = Bytes(CHANNELS, 0);
    kivtest::KivdProcess d{media.path()};
};

TEST_F(OverlayEndToEnd, ModelIsDrawnOverTheShowInEveryStateAndTextScrollsAtItsSpeed) {
    ASSERT_TRUE(d.start({"-f"}));
    ASSERT_TRUE(d.waitReady()) << d.output();
    Command({"Start Sequence", "show.hseq"});
    ASSERT_EQ("", Shows([&](const Frame& f) { return Beneath(f.bytes); })) << d.log();

    // Filled: the model replaces the show's channels, the rest plays on.
    Bytes red;
    for (int p = 0; p < W * H; ++p) red.insert(red.end(), {255, 0, 0});
    Command({"Overlay Model Fill", "Matrix", "red"});
    EXPECT_EQ("", Shows(Over(red, [](const uint8_t*, int) { return true; }))) << d.log();

    // Text after a clear: red on black, at 2,1 in DejaVu Sans of 12 pixels.
    Command({"Overlay Model Clear", "Matrix"});
    Command({"Overlay Model Text", "Matrix", "HELLO", "#FF0000", "DejaVu Sans", "12", "2,1"});
    Bytes text;
    ASSERT_TRUE(kivtest::waitUntil(
        [&] {
            for (auto& f : Take()) {
                // Red on black, neither the fill nor the clear before it.
                Bytes m(f.bytes.begin() + MODEL_START, f.bytes.begin() + MODEL_START + MODEL_BYTES);
                if (std::count(m.begin(), m.end(), 0) < MODEL_BYTES && m[0] == 0) text = m;
            }
            return !text.empty();
        },
        10000));
    EXPECT_EQ("", Shows(Over(text, [](const uint8_t*, int) { return true; }))) << d.log();

    // The same text from GraphicsMagick's tool: its FreeType drawing of the
    // font, baseline 12 pixels below the top of the line (DejaVu Sans's
    // ascender, 1901/2048 em, rounded up; its line is 15 pixels high in
    // both, which the label's height confirms).
    std::string font, error;
    ASSERT_TRUE(FindFont("DejaVu Sans", font, error)) << error;
    std::string height;
    kivtest::runCommand("gm convert -font '" + font + "' -pointsize 12 label:HELLO -format %h info:-", &height);
    EXPECT_EQ("15", height.substr(0, height.find_first_of("\r\n")));
    std::string refFile = media.file("/tmp/hello.gray");
    ASSERT_EQ(0, kivtest::runCommand("gm convert -size 64x16 xc:black -font '" + font +
                                     "' -pointsize 12 -fill white -draw \"text 2,13 'HELLO'\" -depth 8 gray:'" +
                                     refFile + "'"));
    std::string ref = GetFileContents(refFile);
    // Read as text: the black pixels at its end were taken for padding.
    ASSERT_LE(ref.size(), (size_t)W * H);
    ref.resize((size_t)W * H, 0);
    long diff = 0, ink = 0, worst = 0;
    for (int p = 0; p < W * H; ++p) {
        EXPECT_EQ(0, text[p * 3 + 1] | text[p * 3 + 2]) << "pixel " << p;
        long d = std::labs((long)text[p * 3] - (uint8_t)ref[p]);
        diff += d;
        worst = std::max(worst, d);
        ink += (uint8_t)ref[p];
    }
    EXPECT_GT(ink, 20000);
    EXPECT_LE(diff, ink / 50) << "more than 2% of the text's ink differs";
    EXPECT_LE(worst, 48);

    // Transparent: where the model is black the show shows through.
    Command({"Overlay Model State", "Matrix", "Transparent"});
    EXPECT_EQ("", Shows(Over(text, [](const uint8_t* px, int) { return px[0] || px[1] || px[2]; }))) << d.log();
    // Transparent RGB: every channel at 0 shows the show's channel.
    Command({"Overlay Model State", "Matrix", "Transparent RGB"});
    EXPECT_EQ("", Shows(Over(text, [](const uint8_t* px, int c) { return px[c] != 0; }))) << d.log();
    Command({"Overlay Model State", "Matrix", "Off"});
    EXPECT_EQ("", Shows([&](const Frame& f) { return Beneath(f.bytes); })) << d.log();
    Command({"Overlay Model State", "Matrix", "On"});
    Command({"Overlay Model Clear", "Matrix"});
    EXPECT_EQ("", Shows(Over(Bytes(MODEL_BYTES, 0), [](const uint8_t*, int) { return true; }))) << d.log();

    // Without the show: the text scrolls in from the right at 40 pixels
    // per second, by the receiver's clock.
    Command({"Stop Sequence"});
    Command({"Overlay Model Text", "Matrix", "HELLO", "white", "DejaVu Sans", "12", "0,1", "Left", "40"});
    std::vector<std::pair<double, int>> track;  // seconds, leftmost lit column
    bool refused = false, wrapped = false;
    kivtest::waitUntil(
        [&] {
            for (auto& f : Take()) {
                int left = W;
                for (int p = 0; p < W * H; ++p) {
                    const uint8_t* px = &f.bytes[MODEL_START + p * 3];
                    if (px[0] || px[1] || px[2]) left = std::min(left, p % W);
                }
                if (left == W || left == 0) {
                    wrapped = wrapped || (!track.empty() && left == W);
                    if (!track.empty() && left == 0) wrapped = true;
                    continue;
                }
                if (!track.empty() && left > track.back().second) wrapped = true;
                if (!wrapped) track.push_back({f.us / 1e6, left});
            }
            if (track.size() > 10 && !refused) {
                // A refused command changes nothing of what plays.
                refused = true;
                std::string out;
                EXPECT_EQ(1, d.command({"Overlay Model Text", "Matrix", "Bye", "white", "Comic Sans"}, &out));
                EXPECT_NE(std::string::npos, out.find("unknown font 'Comic Sans'")) << out;
                EXPECT_EQ(out.find('\n'), out.rfind('\n')) << "one line: " << out;
            }
            return wrapped;
        },
        10000);
    ASSERT_GE(track.size(), 20u) << d.log();
    double n = (double)track.size(), st = 0, sx = 0, stt = 0, stx = 0;
    for (auto& p : track) {
        st += p.first;
        sx += p.second;
        stt += p.first * p.first;
        stx += p.first * p.second;
    }
    double slope = (n * stx - st * sx) / (n * stt - st * st);
    EXPECT_NEAR(-40.0, slope, 2.0) << "pixels per second over " << track.size() << " frames";

    auto http = kivtest::httpGet(d.httpUrl("/kivd/overlays"));
    ASSERT_EQ(200, http.status) << http.error;
    Json::Value report = LoadJsonFromString(http.body);
    ASSERT_EQ(1u, report.size()) << http.body;
    EXPECT_EQ("Matrix", report[0]["name"].asString());
    EXPECT_EQ("On", report[0]["stateName"].asString());
    EXPECT_EQ("Text", report[0]["effect"]["name"].asString()) << http.body;
    EXPECT_EQ("HELLO", report[0]["effect"]["parameters"]["text"].asString()) << http.body;
    EXPECT_EQ(0, d.stop());
}

}  // namespace
