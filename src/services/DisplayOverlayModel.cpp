#include "services/DisplayOverlayModel.h"

#include <vector>

#include "log.h"

namespace {

bool intKey(const Json::Value& record, const char* key, int def, int& out, std::string& error) {
    const Json::Value& v = record[key];
    if (v.isNull()) {
        out = def;
        return true;
    }
    if (!v.isIntegral()) {
        error = std::string("\"") + key + "\" must be a whole number";
        return false;
    }
    out = v.asInt();
    return true;
}

}  // namespace

void DisplayOverlayModel::RegisterType() { PixelOverlayManager::RegisterModelType(TYPE, Create, false); }

PixelOverlayModel* DisplayOverlayModel::Create(const PixelOverlayModelConfig& config, const Json::Value& record,
                                               std::string& error) {
    if (!record["device"].isString() || record["device"].asString().empty()) {
        error = "\"device\" (the display: a DRM connector such as HDMI-A-1 or a frame-buffer device such as fb0) is missing";
        return nullptr;
    }
    std::string device = record["device"].asString();
    int pixelSize, transition, pages, bpp;
    if (!intKey(record, "pixelSize", 1, pixelSize, error) || !intKey(record, "transition", 0, transition, error) ||
        !intKey(record, "pages", 2, pages, error) || !intKey(record, "bitsPerPixel", -1, bpp, error)) {
        return nullptr;
    }
    if (pixelSize < 1 || pixelSize > 64) {
        error = "\"pixelSize\" must be 1 to 64";
        return nullptr;
    }
    if (transition < IMAGE_TRANSITION_RANDOM || transition > IMAGE_TRANSITION_COUNT ||
        transition == IMAGE_TRANSITION_DEFAULT) {
        error = "\"transition\" must be 0 to 13, or -2 for a random one";
        return nullptr;
    }
    if (pages != 1 && pages != 2) {
        error = "\"pages\" must be 1 or 2";
        return nullptr;
    }
    if ((long long)config.width * pixelSize > 16384 || (long long)config.height * pixelSize > 16384) {
        error = "width and height times \"pixelSize\" must be at most 16384";
        return nullptr;
    }

    Json::Value fbConfig;
    fbConfig["Name"] = config.name;
    fbConfig["Device"] = device;
    fbConfig["Width"] = config.width * pixelSize;
    fbConfig["Height"] = config.height * pixelSize;
    fbConfig["PixelSize"] = pixelSize;
    fbConfig["TransitionType"] = std::to_string(transition);
    fbConfig["Pages"] = pages;
    fbConfig["BitsPerPixel"] = bpp;
    auto fb = std::make_unique<FrameBuffer>();
    if (!fb->FBInit(fbConfig)) {
        error = "display '" + device + "' could not be opened (see the log)";
        return nullptr;
    }
    if (fb->PixelsWide() != config.width || fb->PixelsHigh() != config.height) {
        error = "display '" + device + "' has room for " + std::to_string(fb->PixelsWide()) + "x" +
                std::to_string(fb->PixelsHigh()) + " pixels of size " + std::to_string(pixelSize) + ", not " +
                std::to_string(config.width) + "x" + std::to_string(config.height);
        return nullptr;
    }
    return new DisplayOverlayModel(config, std::move(fb), transition);
}

DisplayOverlayModel::DisplayOverlayModel(const PixelOverlayModelConfig& config, std::unique_ptr<FrameBuffer> fb,
                                         int transition)
    : PixelOverlayModel(config), m_fb(std::move(fb)), m_transition(transition) {}

DisplayOverlayModel::~DisplayOverlayModel() {}

void DisplayOverlayModel::Show(const uint8_t* rgb, int transition) {
    std::lock_guard<std::mutex> lock(m_showLock);
    m_fb->FBCopyData(rgb, 0);
    m_fb->FBStartDraw(transition);
}

void DisplayOverlayModel::setState(int state) {
    std::lock_guard<std::mutex> lock(m_showLock);
    bool wasShown = getState() != STATE_DISABLED;
    PixelOverlayModel::setState(state);
    bool shown = getState() != STATE_DISABLED;
    if (wasShown == shown) return;
    std::vector<uint8_t> picture = shown ? getData() : std::vector<uint8_t>(m_data.size(), 0);
    m_fb->FBCopyData(picture.data(), 0);
    m_fb->FBStartDraw(IMAGE_TRANSITION_NORMAL);
}

void DisplayOverlayModel::setData(const uint8_t* rgb) {
    PixelOverlayModel::setData(rgb);
    if (getState() != STATE_DISABLED) Show(rgb, IMAGE_TRANSITION_DEFAULT);
}

void DisplayOverlayModel::clear() {
    PixelOverlayModel::clear();
    if (getState() != STATE_DISABLED) {
        std::vector<uint8_t> black(m_data.size(), 0);
        Show(black.data(), IMAGE_TRANSITION_NORMAL);
    }
}

void DisplayOverlayModel::drawPicture(const std::function<void(uint8_t* rgb)>& draw) {
    draw(getOverlayBuffer());
    flushOverlayBuffer();
}

void DisplayOverlayModel::flushOverlayBuffer() {
    PixelOverlayModel::setData(getOverlayBuffer());
    if (getState() != STATE_DISABLED) Show(getOverlayBuffer(), IMAGE_TRANSITION_NORMAL);
}
