#include "channeloutput/LocalDisplayOutput.h"

#include <cstring>

#include "log.h"

namespace {
constexpr long long MAX_CHANNELS = 8388608;
}

LocalDisplayOutput::LocalDisplayOutput(unsigned int startChannel, unsigned int channelCount)
    : ChannelOutput(startChannel, channelCount) {}

LocalDisplayOutput::~LocalDisplayOutput() {}

int LocalDisplayOutput::Init(Json::Value config) {
    if (!ChannelOutput::Init(config)) return 0;
    auto intKey = [&config](const char* key, int def, int& out) {
        const Json::Value& v = config[key];
        if (v.isNull()) {
            out = def;
            return true;
        }
        if (v.isIntegral()) {
            out = v.asInt();
            return true;
        }
        if (v.isString()) {
            std::string text = v.asString();
            char* end = nullptr;
            long n = strtol(text.c_str(), &end, 10);
            if (end && *end == 0 && !text.empty()) {
                out = (int)n;
                return true;
            }
        }
        LogErr(VB_CHANNELOUT, "LocalDisplay: \"%s\" must be a whole number\n", key);
        return false;
    };
    if (!config["device"].isString() || config["device"].asString().empty()) {
        LogErr(VB_CHANNELOUT, "LocalDisplay: \"device\" (a DRM connector such as HDMI-A-1 or a frame-buffer device "
                              "such as fb0) is missing\n");
        return 0;
    }
    int pixelSize, pages, bpp;
    if (!intKey("width", 0, m_width) || !intKey("height", 0, m_height) || !intKey("pixelSize", 1, pixelSize) ||
        !intKey("pages", 2, pages) || !intKey("bitsPerPixel", -1, bpp)) {
        return 0;
    }
    if (m_width < 1 || m_height < 1 || pixelSize < 1 || (long long)m_width * pixelSize > 16384 ||
        (long long)m_height * pixelSize > 16384) {
        LogErr(VB_CHANNELOUT, "LocalDisplay: \"width\" and \"height\" must be at least 1, and at most 16384 times "
                              "\"pixelSize\" (at least 1)\n");
        return 0;
    }
    long long needed = (long long)m_width * m_height * 3;
    if (m_channelCount == 0) {
        if (m_startChannel + needed > MAX_CHANNELS) {
            LogErr(VB_CHANNELOUT, "LocalDisplay: %dx%d pixels from channel %u go past channel %lld\n", m_width,
                   m_height, m_startChannel + 1, MAX_CHANNELS);
            return 0;
        }
        m_channelCount = (unsigned int)needed;
    } else if (m_channelCount < needed) {
        LogErr(VB_CHANNELOUT, "LocalDisplay: \"channelCount\" %u is less than width x height x 3 = %lld\n",
               m_channelCount, needed);
        return 0;
    } else if (m_channelCount > needed) {
        LogWarn(VB_CHANNELOUT, "LocalDisplay: only the first %lld of %u channels are shown (width x height x 3)\n",
                needed, m_channelCount);
        m_channelCount = (unsigned int)needed;
    }
    m_autoSync = config["autoSync"].isBool() ? config["autoSync"].asBool() : config["autoSync"].asInt() != 0;

    Json::Value fbConfig;
    fbConfig["Name"] = config["name"].isString() ? config["name"].asString() : std::string("LocalDisplay");
    fbConfig["Device"] = config["device"].asString();
    fbConfig["Width"] = m_width * pixelSize;
    fbConfig["Height"] = m_height * pixelSize;
    fbConfig["PixelSize"] = pixelSize;
    fbConfig["Pages"] = pages;
    fbConfig["BitsPerPixel"] = bpp;
    fbConfig["AutoSync"] = m_autoSync;
    m_fb = std::make_unique<FrameBuffer>();
    if (!m_fb->FBInit(fbConfig)) {
        LogErr(VB_CHANNELOUT, "LocalDisplay: display '%s' could not be opened\n", config["device"].asString().c_str());
        m_fb.reset();
        return 0;
    }
    if (m_fb->PixelsWide() != m_width || m_fb->PixelsHigh() != m_height) {
        LogErr(VB_CHANNELOUT, "LocalDisplay: display '%s' has room for %dx%d pixels of size %d, not %dx%d\n",
               config["device"].asString().c_str(), m_fb->PixelsWide(), m_fb->PixelsHigh(), pixelSize, m_width,
               m_height);
        m_fb.reset();
        return 0;
    }
    m_last.assign(needed, 0);
    return 1;
}

int LocalDisplayOutput::Close() {
    m_fb.reset();
    return ChannelOutput::Close();
}

int LocalDisplayOutput::SendData(unsigned char* channelData) {
    if (!m_fb) return 0;
    const uint8_t* rgb = channelData + m_startChannel;
    // A held frame (pause, a still part of the show) needs no new page.
    if (m_haveLast && memcmp(rgb, m_last.data(), m_last.size()) == 0) return m_channelCount;
    if (m_autoSync) {
        if (!m_fb->FBCopyDataToNextPage(rgb)) {
            ++m_dropped;
            return m_channelCount;  // shown with the next frame that finds a free page
        }
    } else {
        m_fb->FBCopyData(rgb, 0);
        m_fb->FBStartDraw(IMAGE_TRANSITION_NORMAL);
    }
    memcpy(m_last.data(), rgb, m_last.size());
    m_haveLast = true;
    ++m_shown;
    return m_channelCount;
}

void LocalDisplayOutput::GetRequiredChannelRanges(const std::function<void(int, int)>& add) {
    add(m_startChannel, m_startChannel + m_channelCount - 1);
}

void LocalDisplayOutput::DumpConfig() {
    ChannelOutput::DumpConfig();
    LogDebug(VB_CHANNELOUT, "    Picture          : %dx%d\n", m_width, m_height);
    if (m_fb) m_fb->Dump();
}

ChannelOutput* LocalDisplayPlugin::createChannelOutput(unsigned int startChannel, unsigned int channelCount) {
    return new LocalDisplayOutput(startChannel, channelCount);
}

extern "C" {
KIVPlugins::Plugin* createPlugin() { return new LocalDisplayPlugin(); }
}
