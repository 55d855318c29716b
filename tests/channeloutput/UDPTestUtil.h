#pragma once
// Helpers shared by the UDP output tests: an outputs file loaded through
// the channel output registry (the way kivd loads it), a full-size channel
// buffer, and frame sending through the registry's free functions.

#include <gtest/gtest.h>

#include <cstdint>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "Warnings.h"
#include "channeloutput/UDPOutput.h"
#include "channeloutput/channeloutput.h"
#include "common.h"

namespace udptest {

// Loopback address n in a 127.a.b.0/24 block of this process, so that test
// programs that ctest runs side by side never receive each other's datagrams.
inline std::string lo(int n) {
    static const int block = (int)getpid() % 62500;
    return "127." + std::to_string(block / 250 + 1) + "." + std::to_string(block % 250 + 1) + "." + std::to_string(n);
}

// Loads channeloutputs.json entries through InitializeChannelOutputs in a
// temporary media directory and closes them when it goes.
class OutputsFixture {
public:
    OutputsFixture() : m_channels(UDP_MAX_CHANNELS, 0) {
        setenv("KIV_PLUGIN_PATH", (kivtest::buildDir() + "/plugins").c_str(), 1);
    }
    ~OutputsFixture() { close(); }

    // outputs: the "channelOutputs" array.
    int load(const Json::Value& outputs) {
        Json::Value doc(Json::objectValue);
        doc["channelOutputs"] = outputs;
        return loadText(SaveJsonToString(doc, "  "));
    }
    int loadText(const std::string& text) {
        m_media.write("/config/channeloutputs.json", text);
        m_loaded = true;
        return InitializeChannelOutputs();
    }
    // A "UDP" output entry with the given destinations.
    static Json::Value udpOutput(const Json::Value& universes, bool threaded = true) {
        Json::Value o(Json::objectValue);
        o["type"] = "UDP";
        o["enabled"] = 1;
        o["threaded"] = threaded ? 1 : 0;
        o["universes"] = universes;
        return o;
    }
    void close() {
        if (m_loaded) CloseChannelOutputs();
        m_loaded = false;
    }
    void sendFrame() {
        PrepareChannelData((char*)m_channels.data());
        SendChannelData((const char*)m_channels.data());
    }
    unsigned char* channels() { return m_channels.data(); }
    // Fills channels [first, first + count) (0-based) with (seed + i) & 0xFF.
    void pattern(int first, int count, int seed) {
        for (int i = 0; i < count; ++i) m_channels[first + i] = (uint8_t)((seed + i) & 0xFF);
    }
    const kivtest::TempMediaDir& media() const { return m_media; }

private:
    kivtest::TempMediaDir m_media;
    std::vector<unsigned char> m_channels;
    bool m_loaded = false;
};

inline Json::Value parse(const std::string& text) {
    Json::Value v;
    LoadJsonFromString(text, v);
    return v;
}

inline bool hasWarning(const std::string& text) {
    for (auto& w : WarningHolder::GetWarnings()) {
        if (w == text) return true;
    }
    return false;
}

inline std::vector<uint8_t> slice(const std::vector<uint8_t>& v, size_t from, size_t n) {
    return std::vector<uint8_t>(v.begin() + from, v.begin() + from + n);
}

// KIV_UDP_SEGMENTATION=0 runs every test on the plain sendmmsg path; tests
// of the segmented path itself then have nothing to check.
inline bool segmentationForcedOff() {
    const char* env = getenv("KIV_UDP_SEGMENTATION");
    return env && *env && atoi(env) == 0;
}

inline std::vector<uint8_t> channelsOf(unsigned char* buf, int first, int n) {
    return std::vector<uint8_t>(buf + first, buf + first + n);
}

}  // namespace udptest
