#include "services/PixelCountTester.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <set>

#include "OutputMonitor.h"
#include "Sequence.h"
#include "channeloutput/channeloutputthread.h"
#include "common.h"
#include "log.h"
#include "services/Timers.h"

CurrentBasedPixelCountPixelStringTester CurrentBasedPixelCountPixelStringTester::INSTANCE;

static const char* TIMER_NAME = "PixelCountTest";

bool CurrentBasedPixelCountPixelStringTester::Start(int cycleMs, const std::string& ports, int maxPixels,
                                                    std::string& error) {
    OutputMonitor& mon = OutputMonitor::INSTANCE;
    std::set<std::string> selected;
    for (auto& item : split(ports, ',')) {
        if (item == "--ALL--") {
            for (auto& n : mon.GetPortNames()) selected.insert(n);
        } else {
            selected.insert(item);
        }
    }
    if (maxPixels < 1) maxPixels = 1;
    std::vector<PortTest> tests;
    for (int i = 0; i < mon.GetPortCount(); ++i) {
        std::string name = mon.GetPortName(i);
        if (!selected.count(name)) continue;
        Json::Value cfg = mon.GetPortConfig(i);
        int start = cfg["startChannel"].isInt() ? cfg["startChannel"].asInt() : 0;
        int perPixel = cfg["channelsPerPixel"].isInt() ? cfg["channelsPerPixel"].asInt() : 3;
        float mA = cfg["mAPerPixel"].isNumeric() ? cfg["mAPerPixel"].asFloat() : 0;
        if (start < 1 || start > Sequence::MAX_CHANNELS || perPixel < 1 || mA <= 0 ||
            !cfg["currentSensor"].isObject()) {
            LogInfo(VB_CHANNELOUT, "Port %s cannot be counted: it needs startChannel, currentSensor and mAPerPixel\n",
                    name.c_str());
            continue;
        }
        PortTest t;
        t.index = i;
        t.name = name;
        t.first = start - 1;
        long long count = (long long)perPixel * maxPixels;
        t.count = (int)std::min<long long>(count, Sequence::MAX_CHANNELS - t.first);
        t.mAPerPixel = mA;
        tests.push_back(t);
    }
    if (tests.empty()) {
        error = "No output port to count (ports need startChannel, currentSensor and mAPerPixel)";
        return false;
    }
    if (cycleMs < 1) cycleMs = 50;
    LogInfo(VB_CHANNELOUT, "Pixel count test of %d ports, up to %d pixels each\n", (int)tests.size(), maxPixels);
    {
        std::lock_guard<std::mutex> l(m_lock);
        m_ports = tests;
        m_maxPixels = maxPixels;
        startPhaseLocked(DARK, GetTimeMS());
        m_status = RUNNING;
        m_drawing = true;
    }
    // An output thread idling after its last frame would otherwise sleep
    // through the test; without one the main loop starts one for the test.
    ForceChannelOutputNow();
    Timers::INSTANCE.addPeriodicTimer(TIMER_NAME, cycleMs, [this]() { Tick(GetTimeMS()); });
    return true;
}

void CurrentBasedPixelCountPixelStringTester::Stop() {
    Timers::INSTANCE.stopPeriodicTimer(TIMER_NAME);
    std::lock_guard<std::mutex> l(m_lock);
    m_status = IDLE;
    // The next frame darkens the ports once more, then drawing ends.
    if (m_drawing) startPhaseLocked(STOPPING, GetTimeMS());
}

void CurrentBasedPixelCountPixelStringTester::startPhaseLocked(Phase p, long long nowMs) {
    m_phase = p;
    m_phaseStart = nowMs;
}

void CurrentBasedPixelCountPixelStringTester::Tick(long long nowMs) {
    std::vector<float> currents;
    std::vector<std::pair<int, int>> results;  // port index, count
    {
        std::lock_guard<std::mutex> l(m_lock);
        if (m_status != RUNNING) return;
        long long elapsed = nowMs - m_phaseStart;
        if (m_phase == DARK && elapsed >= DARK_MS) {
            currents = OutputMonitor::INSTANCE.GetPortCurrentValues();
            for (auto& t : m_ports) t.idle = t.index < (int)currents.size() ? currents[t.index] : 0;
            startPhaseLocked(LIT, nowMs);
            return;
        }
        if (m_phase != LIT || elapsed < LIT_MS) return;
        currents = OutputMonitor::INSTANCE.GetPortCurrentValues();
        for (auto& t : m_ports) {
            float lit = t.index < (int)currents.size() ? currents[t.index] : 0;
            long count = std::lround((lit - t.idle) / t.mAPerPixel);
            if (count < 0) count = 0;
            if (count > m_maxPixels) count = m_maxPixels;
            LogInfo(VB_CHANNELOUT, "Port %s: %ld pixels (%.0f mA dark, %.0f mA lit, %.1f mA per pixel)\n",
                    t.name.c_str(), count, t.idle, lit, t.mAPerPixel);
            results.push_back({t.index, (int)count});
        }
        startPhaseLocked(DONE, nowMs);
    }
    for (auto& r : results) {
        OutputMonitor::INSTANCE.SetPixelCount(r.first, r.second,
                                              OutputMonitor::INSTANCE.GetConfiguredPixelCount(r.first));
    }
    Timers::INSTANCE.stopPeriodicTimer(TIMER_NAME);
    m_status = FINISHED;
}

void CurrentBasedPixelCountPixelStringTester::Draw(unsigned char* channelData) {
    std::lock_guard<std::mutex> l(m_lock);
    if (!m_drawing) return;
    unsigned char level = m_phase == LIT ? 255 : 0;
    for (auto& t : m_ports) memset(channelData + t.first, level, t.count);
    if (m_phase == STOPPING) m_drawing = false;
}
