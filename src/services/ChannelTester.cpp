#include "services/ChannelTester.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "Sequence.h"
#include "channeloutput/channeloutputthread.h"
#include "commands/Commands.h"
#include "common.h"
#include "log.h"
#include "playlist/Player.h"
#include "services/PixelCountTester.h"

ChannelTester ChannelTester::INSTANCE;

namespace {
const char* KIND_NAMES[] = {"Solid Color", "RGB Cycle", "Chase", "Channel Walk"};
constexpr int MIN_STEP_MS = 20;
}  // namespace

bool TestPattern::KindFromName(const std::string& name, Kind& kind) {
    for (int i = 0; i < 4; ++i) {
        if (name == KIND_NAMES[i]) {
            kind = (Kind)i;
            return true;
        }
    }
    return false;
}

bool TestPattern::SetRange(const std::string& text, std::string& error) {
    long a = 0, b = 0;
    int n = 0;
    if (sscanf(text.c_str(), "%ld-%ld%n", &a, &b, &n) != 2 || n != (int)text.size() || a < 1 || b < a ||
        b > Sequence::MAX_CHANNELS) {
        error = "Channels must be \"first-last\" within 1-" + std::to_string(Sequence::MAX_CHANNELS) + ", not \"" +
                text + "\"";
        return false;
    }
    first = (int)a - 1;
    count = (int)(b - a + 1);
    return true;
}

bool TestPattern::SetOrder(const std::string& text, std::string& error) {
    std::string o = toUpperCopy(text);
    if (o.size() != 3 || o.find('R') == std::string::npos || o.find('G') == std::string::npos ||
        o.find('B') == std::string::npos) {
        error = "Color order must be RGB, RBG, GRB, GBR, BRG or BGR, not \"" + text + "\"";
        return false;
    }
    memcpy(order, o.data(), 3);
    return true;
}

bool TestPattern::SetColor(const std::string& text, std::string& error) {
    std::string hex = startsWith(text, "#") ? text.substr(1) : text;
    char* end = nullptr;
    unsigned long v = strtoul(hex.c_str(), &end, 16);
    if (hex.size() != 6 || *end) {
        error = "Color must be #RRGGBB, not \"" + text + "\"";
        return false;
    }
    rgb[0] = (unsigned char)(v >> 16);
    rgb[1] = (unsigned char)(v >> 8);
    rgb[2] = (unsigned char)v;
    return true;
}

void TestPattern::Draw(long long step, unsigned char* data) const {
    unsigned char* d = data + first;
    // The colour a pixel shows, laid out in the string's channel order.
    auto pixelBytes = [this](const unsigned char c[3], unsigned char out[3]) {
        for (int i = 0; i < 3; ++i) out[i] = c[order[i] == 'R' ? 0 : order[i] == 'G' ? 1 : 2];
    };
    auto fill = [&](const unsigned char c[3]) {
        unsigned char px[3];
        pixelBytes(c, px);
        for (int i = 0; i < count; ++i) d[i] = px[i % 3];
    };
    switch (kind) {
    case SOLID:
        fill(rgb);
        break;
    case RGB_CYCLE: {
        unsigned char c[3] = {0, 0, 0};
        c[step % 3] = 255;
        fill(c);
        break;
    }
    case CHASE: {
        memset(d, 0, count);
        int pixels = (count + 2) / 3;
        int p = (int)(step % pixels);
        unsigned char px[3];
        pixelBytes(rgb, px);
        for (int i = 0; i < 3 && p * 3 + i < count; ++i) d[p * 3 + i] = px[i];
        break;
    }
    case CHANNEL_WALK:
        memset(d, 0, count);
        d[step % count] = 255;
        break;
    }
}

bool ChannelTester::Testing() const {
    return PatternRunning() || CurrentBasedPixelCountPixelStringTester::INSTANCE.IsDrawing();
}

bool ChannelTester::PatternRunning() const {
    std::lock_guard<std::mutex> l(m_lock);
    return m_running;
}

void ChannelTester::OverlayTestData(unsigned char* channelData) {
    CurrentBasedPixelCountPixelStringTester::INSTANCE.Draw(channelData);
    std::lock_guard<std::mutex> l(m_lock);
    if (!m_running) return;
    if (m_stopping) {
        memset(channelData + m_pattern.first, 0, m_pattern.count);
        m_running = m_stopping = false;
        return;
    }
    m_pattern.Draw((GetTimeMS() - m_startMs) / m_pattern.stepMs, channelData);
}

bool ChannelTester::StartPattern(const TestPattern& pattern, bool force, std::string& error) {
    if (!force && Player::INSTANCE.IsPlaying() && Player::INSTANCE.WasScheduled()) {
        error = "The scheduled playlist '" + Player::INSTANCE.GetPlaylistName() +
                "' is playing; stop it first or start the test with Force";
        return false;
    }
    {
        std::lock_guard<std::mutex> l(m_lock);
        m_pattern = pattern;
        if (m_pattern.stepMs < MIN_STEP_MS) m_pattern.stepMs = MIN_STEP_MS;
        m_running = true;
        m_stopping = false;
        m_startMs = GetTimeMS();
    }
    LogInfo(VB_CHANNELOUT, "Test pattern %s on channels %d-%d\n", KIND_NAMES[pattern.kind], pattern.first + 1,
            pattern.first + pattern.count);
    // An idle output thread wakes for the test; without one the main loop starts one.
    ForceChannelOutputNow();
    return true;
}

void ChannelTester::StopPattern() {
    std::lock_guard<std::mutex> l(m_lock);
    if (m_running) m_stopping = true;
}

std::string ChannelTester::StatusJson() const {
    std::lock_guard<std::mutex> l(m_lock);
    Json::Value v;
    v["running"] = m_running && !m_stopping;
    if (v["running"].asBool()) {
        char color[8];
        snprintf(color, sizeof(color), "#%02x%02x%02x", m_pattern.rgb[0], m_pattern.rgb[1], m_pattern.rgb[2]);
        v["mode"] = KIND_NAMES[m_pattern.kind];
        v["channels"] = std::to_string(m_pattern.first + 1) + "-" + std::to_string(m_pattern.first + m_pattern.count);
        v["order"] = std::string(m_pattern.order, 3);
        v["color"] = color;
        v["stepMs"] = m_pattern.stepMs;
    }
    return SaveJsonToString(v);
}

namespace {
// Arguments of a pattern as "Test Start" (after its cycle and mode) and
// "Test Pattern" take them: channels, color order, color, force.
std::unique_ptr<Command::Result> startPattern(TestPattern::Kind kind, int stepMs, const std::vector<std::string>& v) {
    TestPattern p;
    p.kind = kind;
    p.stepMs = stepMs;
    std::string error;
    if (!p.SetRange(v[0], error) || !p.SetOrder(v[1], error) || !p.SetColor(v[2], error) ||
        !ChannelTester::INSTANCE.StartPattern(p, v[3] == "true" || v[3] == "1", error)) {
        return std::make_unique<Command::ErrorResult>(error);
    }
    return std::make_unique<Command::Result>("OK");
}

void addPatternArgs(std::vector<Command::CommandArg>& args) {
    args.emplace_back("Channels", "string", "Channel range first-last");
    args.back().setDefaultValue("1-512");
    args.emplace_back("Color Order", "string", "Color order");
    args.back().setContentList({"RGB", "RBG", "GRB", "GBR", "BRG", "BGR"}).setDefaultValue("RGB");
    args.emplace_back("Color", "color", "Color");
    args.back().setDefaultValue("#ffffff");
    args.emplace_back("Force", "bool", "Also while a scheduled playlist plays");
    args.back().setDefaultValue("false");
}

std::vector<std::string> withDefaults(const std::vector<std::string>& a, const std::vector<Command::CommandArg>& args) {
    std::vector<std::string> v = a;
    for (size_t i = v.size(); i < args.size(); ++i) v.push_back(args[i].defaultValue);
    return v;
}

// The pixel-count test ("Output Specific": cycle, mode, ports, most pixels)
// or a pattern (cycle = step ms, mode, channels, color order, color, force).
class TestStartCommand : public Command {
public:
    TestStartCommand() : Command("Test Start", "Starts the pixel-count test of the output ports or a test pattern") {
        args.emplace_back("Cycle", "int", "Step time in ms");
        args.back().setDefaultValue("50");
        args.emplace_back("Mode", "string", "Test mode");
        args.back()
            .setContentList({"Output Specific", "Solid Color", "RGB Cycle", "Chase", "Channel Walk"})
            .setDefaultValue("Output Specific");
        args.emplace_back("Ports", "multistring", "Ports (Output Specific); channels first-last (patterns)");
        args.back().setContentListUrl("api/kivd/ports/list").setDefaultValue("--ALL--");
        args.emplace_back("Pixels", "int", "Most pixels per port (Output Specific); color order (patterns)");
        args.back().setDefaultValue("999");
        args.emplace_back("Color", "color", "Color (patterns)");
        args.back().setDefaultValue("#ffffff");
        args.emplace_back("Force", "bool", "Also while a scheduled playlist plays (patterns)");
        args.back().setDefaultValue("false");
    }
    std::unique_ptr<Result> run(const std::vector<std::string>& a) override {
        std::vector<std::string> v = withDefaults(a, args);
        int cycle = (int)strtol(v[0].c_str(), nullptr, 10);
        TestPattern::Kind kind;
        if (TestPattern::KindFromName(v[1], kind)) {
            // Pattern defaults where the pixel-count test's stand.
            if (a.size() < 3) v[2] = "1-512";
            if (a.size() < 4) v[3] = "RGB";
            return startPattern(kind, cycle, {v[2], v[3], v[4], v[5]});
        }
        if (v[1] != "Output Specific") {
            return std::make_unique<ErrorResult>("Unknown test mode \"" + v[1] +
                                                 "\"; modes: Output Specific, Solid Color, RGB Cycle, Chase, Channel Walk");
        }
        std::string error;
        if (!CurrentBasedPixelCountPixelStringTester::INSTANCE.Start(cycle, v[2], (int)strtol(v[3].c_str(), nullptr, 10),
                                                                     error)) {
            return std::make_unique<ErrorResult>(error);
        }
        return std::make_unique<Result>("OK");
    }
};

class TestPatternCommand : public Command {
public:
    TestPatternCommand() : Command("Test Pattern", "Starts a test pattern over a channel range") {
        args.emplace_back("Pattern", "string", "Pattern");
        args.back().setContentList({"Solid Color", "RGB Cycle", "Chase", "Channel Walk"}).setDefaultValue("Solid Color");
        addPatternArgs(args);
        args.emplace_back("Step", "int", "Step time in ms");
        args.back().setRange(MIN_STEP_MS, 60000).setDefaultValue("500");
    }
    std::unique_ptr<Result> run(const std::vector<std::string>& a) override {
        std::vector<std::string> v = withDefaults(a, args);
        TestPattern::Kind kind;
        if (!TestPattern::KindFromName(v[0], kind)) {
            return std::make_unique<ErrorResult>("Unknown pattern \"" + v[0] +
                                                 "\"; patterns: Solid Color, RGB Cycle, Chase, Channel Walk");
        }
        return startPattern(kind, (int)strtol(v[5].c_str(), nullptr, 10), {v[1], v[2], v[3], v[4]});
    }
};

class TestStopCommand : public Command {
public:
    TestStopCommand() : Command("Test Stop", "Stops the running test") {}
    std::unique_ptr<Result> run(const std::vector<std::string>&) override {
        CurrentBasedPixelCountPixelStringTester::INSTANCE.Stop();
        ChannelTester::INSTANCE.StopPattern();
        return std::make_unique<Result>("OK");
    }
};

class TestStatusCommand : public Command {
public:
    TestStatusCommand() : Command("Get Test Status", "The running test pattern") {}
    std::unique_ptr<Result> run(const std::vector<std::string>&) override {
        return std::make_unique<Result>(ChannelTester::INSTANCE.StatusJson(), "application/json");
    }
};
}  // namespace

void ChannelTester::RegisterCommands() {
    CommandManager::INSTANCE.addCommand(new TestStartCommand());
    CommandManager::INSTANCE.addCommand(new TestPatternCommand());
    CommandManager::INSTANCE.addCommand(new TestStopCommand());
    CommandManager::INSTANCE.addCommand(new TestStatusCommand());
}
