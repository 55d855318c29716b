#pragma once
// The "display" pixel overlay model kind: a model whose pixels are shown on
// a local display (FrameBuffer) instead of going into the channel data, so
// that anything drawing on models (an image playlist entry, a video) can put
// a picture on a screen. A whole picture (setData) arrives with the model's
// transition; the overlay buffer (flushOverlayBuffer) is shown at once, as
// streaming clients need. Registered with the overlay manager at start-up.

#include <memory>
#include <mutex>
#include <string>

#include "FrameBuffer.h"
#include "services/PixelOverlay.h"

class DisplayOverlayModel : public PixelOverlayModel {
public:
    static constexpr const char* TYPE = "display";
    // Adds the kind to PixelOverlayManager; called before models load.
    static void RegisterType();
    // The kind's factory: reads "device", "pixelSize", "transition",
    // "pages" and "bitsPerPixel" and opens the display.
    static PixelOverlayModel* Create(const PixelOverlayModelConfig& config, const Json::Value& record,
                                     std::string& error);

    DisplayOverlayModel(const PixelOverlayModelConfig& config, std::unique_ptr<FrameBuffer> fb, int transition);
    ~DisplayOverlayModel() override;

    // Disabled shows black; enabled shows the model's pixels.
    void setState(int state) override;
    void setData(const uint8_t* rgb) override;
    void clear() override;
    void flushOverlayBuffer() override;
    void drawPicture(const std::function<void(uint8_t* rgb)>& draw) override;
    void doOverlay(uint8_t* channelData) override {}
    bool drawsIntoChannels() const override { return false; }

    FrameBuffer& GetFrameBuffer() { return *m_fb; }
    int GetTransition() const { return m_transition; }

private:
    void Show(const uint8_t* rgb, int transition);

    std::unique_ptr<FrameBuffer> m_fb;
    const int m_transition;  // for whole pictures
    std::mutex m_showLock;   // keeps pictures in the order they are handed over
};
