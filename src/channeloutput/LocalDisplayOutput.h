#pragma once
// The "LocalDisplay" output plug-in: shows a range of channels as a picture
// (width x height RGB pixels, each enlarged by the pixel size) on a display
// attached to the board, through FrameBuffer: a DRM connector such as
// "HDMI-A-1" or a frame-buffer device such as "fb0". Every changed frame
// goes on screen with a page flip, or, with "autoSync", at vertical sync.
// Created by the output registry from <media>/config/channeloutputs.json
// (docs/outputs.md); driven by the channel output thread.

#include <memory>
#include <vector>

#include "FrameBuffer.h"
#include "Plugins.h"
#include "channeloutput/ChannelOutput.h"

class LocalDisplayOutput : public ChannelOutput {
public:
    LocalDisplayOutput(unsigned int startChannel, unsigned int channelCount);
    ~LocalDisplayOutput() override;

    int Init(Json::Value config) override;
    int Close() override;
    int SendData(unsigned char* channelData) override;
    void GetRequiredChannelRanges(const std::function<void(int, int)>& add) override;
    void DumpConfig() override;

    FrameBuffer* GetFrameBuffer() { return m_fb.get(); }
    // Frames that changed the picture, and those dropped in AutoSync mode
    // because every page still waited to be shown.
    int FramesShown() const { return m_shown; }
    int FramesDropped() const { return m_dropped; }

private:
    std::unique_ptr<FrameBuffer> m_fb;
    int m_width = 0;   // picture pixels
    int m_height = 0;
    bool m_autoSync = false;
    std::vector<uint8_t> m_last;  // the picture last handed to the display
    bool m_haveLast = false;
    int m_shown = 0;
    int m_dropped = 0;
};

class LocalDisplayPlugin : public KIVPlugins::Plugin, public KIVPlugins::ChannelOutputPlugin {
public:
    LocalDisplayPlugin() : KIVPlugins::Plugin("LocalDisplay") {}
    ChannelOutput* createChannelOutput(unsigned int startChannel, unsigned int channelCount) override;
};
