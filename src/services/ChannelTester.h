#pragma once
// The channel tester: draws a test pattern over every frame so a user can
// check that each string lights, in the right colours and order, without
// a sequence. Patterns (TestPattern below) cover a channel range with a
// colour order and a step time; the output ports' pixel-count test
// (services/PixelCountTester.h) is the other kind of test. Started by the
// commands "Test Start" / "Test Pattern" and ended by "Test Stop", from
// kivcmd, HTTP or the Test page; the channel output thread draws.

#include <mutex>
#include <string>

struct TestPattern {
    enum Kind { SOLID, RGB_CYCLE, CHASE, CHANNEL_WALK };
    Kind kind = SOLID;
    int first = 0;       // first channel, from 0
    int count = 0;       // channels covered
    int stepMs = 500;    // time of one step of a moving pattern
    char order[3] = {'R', 'G', 'B'};  // colour of each channel of a pixel
    unsigned char rgb[3] = {255, 255, 255};  // colour of solid and chase

    // Mode names as commands and pages use them: "Solid Color", "RGB Cycle",
    // "Chase", "Channel Walk". False for any other name.
    static bool KindFromName(const std::string& name, Kind& kind);
    // Reads "first-last" (channels from 1), a colour order ("RGB", "GRB",
    // ...) and a colour ("#ff8000" or "ff8000"); false with the reason.
    bool SetRange(const std::string& text, std::string& error);
    bool SetOrder(const std::string& text, std::string& error);
    bool SetColor(const std::string& text, std::string& error);

    // Draws step `step` of the pattern into a frame.
    void Draw(long long step, unsigned char* channelData) const;
};

class ChannelTester {
public:
    static ChannelTester INSTANCE;

    // A pattern or the pixel-count test draws into the frames.
    bool Testing() const;
    void OverlayTestData(unsigned char* channelData);
    void RegisterCommands();

    // Starts a pattern; unless `force`, refused while a scheduled playlist
    // plays. False with the reason.
    bool StartPattern(const TestPattern& pattern, bool force, std::string& error);
    // Ends the pattern: the next frame darkens its channels, then drawing stops.
    void StopPattern();
    bool PatternRunning() const;
    // {"running": bool, and for a pattern "mode", "channels", "order", "color", "stepMs"}.
    std::string StatusJson() const;

private:
    mutable std::mutex m_lock;  // guards every member below
    TestPattern m_pattern;
    bool m_running = false;
    bool m_stopping = false;  // one more frame, dark, then done
    long long m_startMs = 0;
};
