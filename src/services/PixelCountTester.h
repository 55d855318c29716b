#pragma once
// The channel tester's pixel-count test: it darkens the output ports'
// pixels, reads each port's current, lights up to a maximum number of
// pixels per port at full level, reads again, and takes the difference
// divided by the port's current per pixel as the pixel count it hands to
// the output monitor. Run by the channel tester's command "Test Start"
// (cycle ms, "Output Specific", ports, maximum pixels) and ended by "Test
// Stop" (services/ChannelTester.h); "Check Pixel
// Count" and the port status page use it. Steps run on the main loop's
// timers; the drawing runs on the channel output thread.

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

class CurrentBasedPixelCountPixelStringTester {
public:
    static CurrentBasedPixelCountPixelStringTester INSTANCE;

    enum Status { IDLE = 0, RUNNING = 1, FINISHED = 2 };
    // Settling time of the pixels and sensors before each reading.
    static constexpr int DARK_MS = 500;
    static constexpr int LIT_MS = 1000;

    // ports: "--ALL--" or port names separated by commas. False with the
    // reason when no selected port can be counted.
    bool Start(int cycleMs, const std::string& ports, int maxPixels, std::string& error);
    // Ends the test; the ports' pixels are left dark.
    void Stop();
    int getCurrentStatus() const { return m_status; }
    // True while the test draws into the frames.
    bool IsDrawing() const { return m_drawing; }

    // One step of the test at `nowMs` (GetTimeMS clock); the timer calls it
    // every cycle.
    void Tick(long long nowMs);
    // Draws the test into a frame (channel output thread).
    void Draw(unsigned char* channelData);

private:
    enum Phase { DARK, LIT, DONE, STOPPING };
    struct PortTest {
        int index;         // port number in the output monitor
        std::string name;
        int first;         // first channel, from 0
        int count;         // channels lit
        float mAPerPixel;
        float idle = 0;
    };
    void startPhaseLocked(Phase p, long long nowMs);

    std::mutex m_lock;  // guards m_phase, m_phaseStart, m_ports, m_maxPixels
    Phase m_phase = DONE;
    long long m_phaseStart = 0;
    std::vector<PortTest> m_ports;
    int m_maxPixels = 0;
    std::atomic<int> m_status{IDLE};
    std::atomic<bool> m_drawing{false};
};
