#include "services/PixelOverlay.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

#include "Sequence.h"
#include "Warnings.h"
#include "common.h"
#include "log.h"
#include "settings.h"

PixelOverlayManager PixelOverlayManager::INSTANCE;

namespace {

struct ModelKind {
    PixelOverlayManager::ModelFactory factory;
    bool usesChannels;
};

std::atomic<unsigned long long> changeNumbers{0};

std::mutex kindsLock;  // guards kinds()
std::map<std::string, ModelKind>& kinds() {
    static std::map<std::string, ModelKind> k;
    return k;
}

// Rec. 601 luma, for single-channel (white) pixels.
inline uint8_t Grey(const uint8_t* rgb) { return (uint8_t)((rgb[0] * 299 + rgb[1] * 587 + rgb[2] * 114 + 500) / 1000); }

}  // namespace

PixelOverlayModel::PixelOverlayModel(const PixelOverlayModelConfig& config) : m_config(config) {
    size_t pixels = (size_t)m_config.width * m_config.height;
    m_data.assign(pixels * 3, 0);
    m_overlayBuffer.assign(pixels * 3, 0);
    if (m_config.channelsPerPixel > 0) {
        m_pixelOffsets.resize(pixels);
        for (int y = 0; y < m_config.height; ++y) {
            for (int x = 0; x < m_config.width; ++x) {
                m_pixelOffsets[(size_t)y * m_config.width + x] = channelOffsetOf(x, y);
            }
        }
        // RGB pixels numbered as the viewer reads them: an opaque picture
        // is the channels' bytes as they are.
        m_inChannelOrder = m_config.channelsPerPixel == 3;
        for (size_t i = 0; m_inChannelOrder && i < pixels; ++i) m_inChannelOrder = m_pixelOffsets[i] == (int)(3 * i);
    }
}

PixelOverlayModel::~PixelOverlayModel() {}

int PixelOverlayModel::channelOffsetOf(int x, int y) const {
    int col = m_config.startRight ? m_config.width - 1 - x : x;
    int row = m_config.startBottom ? m_config.height - 1 - y : y;
    int pixel = m_config.vertical ? col * m_config.height + row : row * m_config.width + col;
    return pixel * m_config.channelsPerPixel;
}

void PixelOverlayModel::setState(int state) {
    if (state < STATE_DISABLED || state > STATE_TRANSPARENT_RGB) {
        LogErr(VB_CHANNELOUT, "Overlay model %s: invalid state %d (0 to 3)\n", m_config.name.c_str(), state);
        return;
    }
    int old = m_state.exchange(state);
    if (state == STATE_DISABLED && old != STATE_DISABLED) m_blankPending = true;
    if (old != state) {
        LogDebug(VB_CHANNELOUT, "Overlay model %s: state %d -> %d\n", m_config.name.c_str(), old, state);
    }
}

void PixelOverlayModel::setData(const uint8_t* rgb) {
    std::lock_guard<std::mutex> lock(m_dataLock);
    memcpy(m_data.data(), rgb, m_data.size());
    m_pictureBehind = false;
    m_change = ++changeNumbers;
}

std::vector<uint8_t> PixelOverlayModel::getData() {
    if (m_pictureBehind) {
        std::lock_guard<std::mutex> drawing(m_drawerLock);
        CatchUpLocked();
    }
    std::lock_guard<std::mutex> lock(m_dataLock);
    return m_data;
}

void PixelOverlayModel::CatchUpLocked() {
    if (!m_pictureBehind) return;
    std::lock_guard<std::mutex> lock(m_dataLock);
    // Not a new picture: the change number stays the one it was shown with.
    if (m_drawer) m_drawer->paintLast(m_data.data());
    m_pictureBehind = false;
}

void PixelOverlayModel::pictureDrawnElsewhere(bool newPicture) {
    m_pictureBehind = true;
    if (newPicture) m_change = ++changeNumbers;
}

void PixelOverlayModel::clear() {
    std::lock_guard<std::mutex> lock(m_dataLock);
    std::fill(m_data.begin(), m_data.end(), 0);
    m_pictureBehind = false;
    m_change = ++changeNumbers;
}

std::unique_ptr<PixelOverlayDrawer> PixelOverlayModel::setDrawer(std::unique_ptr<PixelOverlayDrawer> drawer) {
    std::lock_guard<std::mutex> lock(m_drawerLock);
    // The picture the leaving drawer put in the frames stays the model's.
    CatchUpLocked();
    std::swap(drawer, m_drawer);
    m_hasDrawer = m_drawer != nullptr;
    return drawer;
}

void PixelOverlayModel::withDrawer(const std::function<void(PixelOverlayDrawer*)>& fn) {
    std::lock_guard<std::mutex> lock(m_drawerLock);
    fn(m_drawer.get());
}

void PixelOverlayModel::clearOverlayBuffer() { std::fill(m_overlayBuffer.begin(), m_overlayBuffer.end(), 0); }

void PixelOverlayModel::flushOverlayBuffer() { setData(m_overlayBuffer.data()); }

void PixelOverlayModel::drawPicture(const std::function<void(uint8_t* rgb)>& draw) {
    std::lock_guard<std::mutex> lock(m_dataLock);
    draw(m_data.data());
    m_pictureBehind = false;
    m_change = ++changeNumbers;
}

void PixelOverlayModel::doOverlay(uint8_t* channelData) {
    int state = m_state;
    int cpp = m_config.channelsPerPixel;
    if (state == STATE_DISABLED || cpp == 0 || m_pixelOffsets.empty()) return;
    uint8_t* base = channelData + m_config.startChannel;
    std::lock_guard<std::mutex> lock(m_dataLock);
    if (state == STATE_ENABLED && m_inChannelOrder) {
        memcpy(base, m_data.data(), m_data.size());
        return;
    }
    const uint8_t* rgb = m_data.data();
    size_t pixels = m_pixelOffsets.size();
    for (size_t i = 0; i < pixels; ++i, rgb += 3) {
        uint8_t px[4];
        switch (cpp) {
        case 1:
            px[0] = Grey(rgb);
            break;
        case 4: {
            // The white channel carries what the three colours share.
            uint8_t w = std::min(rgb[0], std::min(rgb[1], rgb[2]));
            px[0] = rgb[0] - w;
            px[1] = rgb[1] - w;
            px[2] = rgb[2] - w;
            px[3] = w;
            break;
        }
        default:
            px[0] = rgb[0];
            px[1] = rgb[1];
            px[2] = rgb[2];
            break;
        }
        uint8_t* out = base + m_pixelOffsets[i];
        if (state == STATE_ENABLED) {
            memcpy(out, px, cpp);
        } else if (state == STATE_TRANSPARENT_RGB) {
            for (int c = 0; c < cpp; ++c) {
                if (px[c]) out[c] = px[c];
            }
        } else if (rgb[0] || rgb[1] || rgb[2]) {
            memcpy(out, px, cpp);
        }
    }
}

void PixelOverlayManager::RegisterModelType(const std::string& type, ModelFactory factory, bool usesChannels) {
    std::lock_guard<std::mutex> lock(kindsLock);
    kinds()[type] = ModelKind{std::move(factory), usesChannels};
}

void PixelOverlayManager::UnregisterModelType(const std::string& type) {
    std::lock_guard<std::mutex> lock(kindsLock);
    kinds().erase(type);
}

std::string PixelOverlayManager::ModelsFilePath() { return getKIVMediaDir("/config/overlay-models.json"); }

bool PixelOverlayManager::ParseModelConfig(const Json::Value& record, PixelOverlayModelConfig& config,
                                           std::string& error, bool needsChannels) {
    auto intKey = [&](const char* key, int& out, bool required) {
        const Json::Value& v = record[key];
        if (v.isNull()) {
            if (required) error = std::string("\"") + key + "\" is missing";
            return !required;
        }
        if (!v.isIntegral()) {
            error = std::string("\"") + key + "\" must be a whole number";
            return false;
        }
        long long n = v.asInt64();
        if (n < INT32_MIN || n > INT32_MAX) {
            error = std::string("\"") + key + "\" is out of range";
            return false;
        }
        out = (int)n;
        return true;
    };
    auto textKey = [&](const char* key, std::string& out) {
        const Json::Value& v = record[key];
        if (v.isNull()) return true;
        if (!v.isString()) {
            error = std::string("\"") + key + "\" must be text";
            return false;
        }
        out = v.asString();
        return true;
    };

    if (!record.isObject()) {
        error = "it is not a JSON object";
        return false;
    }
    if (!record["name"].isString() || record["name"].asString().empty()) {
        error = "\"name\" is missing or empty";
        return false;
    }
    config.name = record["name"].asString();
    if (!textKey("type", config.type)) return false;
    if (!intKey("width", config.width, true) || !intKey("height", config.height, true)) return false;
    // Bounded so that width x height x 4 channels fits the channel space.
    if (config.width < 1 || config.height < 1 || (long long)config.width * config.height > Sequence::MAX_CHANNELS) {
        error = "width and height must be at least 1 and cover at most " + std::to_string(Sequence::MAX_CHANNELS) +
                " pixels";
        return false;
    }
    if (!needsChannels) {
        config.channelsPerPixel = 0;
        return true;
    }

    int start = 0;
    if (!intKey("startChannel", start, true)) return false;
    if (!intKey("channelsPerPixel", config.channelsPerPixel, false)) return false;
    if (config.channelsPerPixel != 1 && config.channelsPerPixel != 3 && config.channelsPerPixel != 4) {
        error = "\"channelsPerPixel\" must be 1, 3 or 4";
        return false;
    }
    long long count = (long long)config.width * config.height * config.channelsPerPixel;
    if (start < 1 || start - 1 + count > Sequence::MAX_CHANNELS) {
        error = "channels " + std::to_string(start) + " to " + std::to_string(start - 1 + count) +
                " are outside 1 to " + std::to_string(Sequence::MAX_CHANNELS);
        return false;
    }
    config.startChannel = start - 1;

    std::string orientation = "horizontal", corner = "TL";
    if (!textKey("orientation", orientation) || !textKey("startCorner", corner)) return false;
    orientation = toLowerCopy(orientation);
    if (orientation == "horizontal") {
        config.vertical = false;
    } else if (orientation == "vertical") {
        config.vertical = true;
    } else {
        error = "\"orientation\" must be \"horizontal\" or \"vertical\"";
        return false;
    }
    corner = toUpperCopy(corner);
    if (corner != "TL" && corner != "TR" && corner != "BL" && corner != "BR") {
        error = "\"startCorner\" must be TL, TR, BL or BR";
        return false;
    }
    config.startBottom = corner[0] == 'B';
    config.startRight = corner[1] == 'R';
    return true;
}

void PixelOverlayManager::Initialize() {
    LogDebug(VB_CHANNELOUT, "PixelOverlayManager::Initialize()\n");
    std::string path = ModelsFilePath();
    if (!FileExists(path)) {
        Cleanup();
        ReplaceWarnings({});
        LogDebug(VB_CHANNELOUT, "No overlay models: %s does not exist\n", path.c_str());
        return;
    }
    Json::Value doc;
    if (!LoadJsonFromString(GetFileContents(path), doc)) {
        Cleanup();
        std::string text = "Overlay models file " + path + " is not valid JSON; no overlay models loaded";
        LogErr(VB_CHANNELOUT, "%s\n", text.c_str());
        ReplaceWarnings({text});
        return;
    }
    LoadModels(doc, path);
}

bool PixelOverlayManager::LoadModels(const Json::Value& doc, const std::string& source) {
    std::vector<std::unique_ptr<PixelOverlayModel>> models;
    std::vector<std::string> problems;
    auto refuse = [&](const std::string& text) {
        LogErr(VB_CHANNELOUT, "%s\n", text.c_str());
        problems.push_back(text);
    };

    const Json::Value& records = doc.isObject() ? doc["models"] : Json::Value::nullSingleton();
    bool ok = records.isArray();
    if (!ok) {
        refuse("Overlay models file " + source + " must be an object with a \"models\" array; no overlay models loaded");
    }
    std::set<std::string> names;
    for (Json::ArrayIndex i = 0; ok && i < records.size(); ++i) {
        const Json::Value& record = records[i];
        std::string where = "Overlay model " + std::to_string(i + 1) + " of " + source;
        if (record.isObject() && record["name"].isString()) where += " ('" + record["name"].asString() + "')";

        std::string type = record.isObject() && record["type"].isString() ? record["type"].asString() : "channel";
        ModelKind kind{nullptr, true};
        if (type != "channel") {
            std::lock_guard<std::mutex> lock(kindsLock);
            auto it = kinds().find(type);
            if (it == kinds().end()) {
                refuse(where + " skipped: type '" + type + "' is not known to this build");
                continue;
            }
            kind = it->second;
        }
        PixelOverlayModelConfig config;
        std::string error;
        if (!ParseModelConfig(record, config, error, kind.usesChannels)) {
            refuse(where + " skipped: " + error);
            continue;
        }
        if (!names.insert(config.name).second) {
            refuse(where + " skipped: the name is used by an earlier model");
            continue;
        }
        std::unique_ptr<PixelOverlayModel> model;
        if (kind.factory) {
            model.reset(kind.factory(config, record, error));
        } else {
            model.reset(new PixelOverlayModel(config));
        }
        if (!model) {
            refuse(where + " skipped: " + (error.empty() ? std::string("it could not be created") : error));
            continue;
        }
        LogDebug(VB_CHANNELOUT, "Overlay model %s: %s, %dx%d, %d channels from %d\n", config.name.c_str(),
                 config.type.c_str(), config.width, config.height, model->getChannelCount(), config.startChannel + 1);
        models.push_back(std::move(model));
    }
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_models = std::move(models);
    }
    LogInfo(VB_CHANNELOUT, "Loaded %d overlay model(s) from %s\n", (int)getModelNames().size(), source.c_str());
    ReplaceWarnings(problems);
    return ok;
}

void PixelOverlayManager::ReplaceWarnings(const std::vector<std::string>& warnings) {
    std::lock_guard<std::mutex> lock(m_lock);
    for (auto& w : m_warnings) WarningHolder::RemoveWarning(w);
    m_warnings = warnings;
    for (auto& w : m_warnings) WarningHolder::AddWarning(w);
}

void PixelOverlayManager::Cleanup() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_models.clear();
}

bool PixelOverlayManager::hasActiveOverlays() {
    std::lock_guard<std::mutex> lock(m_lock);
    for (auto& m : m_models) {
        bool active = m->getState() != PixelOverlayModel::STATE_DISABLED;
        if ((active || m->m_blankPending) && m->drawsIntoChannels()) return true;
        // A drawer is ticked by the frames, wherever the model shows.
        if (active && m->hasDrawer()) return true;
    }
    return false;
}

void PixelOverlayManager::doOverlays(uint8_t* channelData) {
    FrameCanvas canvas(channelData, UINT32_MAX);
    doOverlays(canvas);
}

void PixelOverlayManager::doOverlays(FrameCanvas& canvas) {
    uint8_t* channelData = canvas.data();
    long long now = GetTime();
    std::lock_guard<std::mutex> lock(m_lock);
    for (auto& m : m_models) {
        int state = m->getState();
        if (state != PixelOverlayModel::STATE_DISABLED) {
            bool claimed = false, drawn = false;
            if (m->hasDrawer()) {
                std::lock_guard<std::mutex> drawing(m->m_drawerLock);
                if (m->m_drawer) {
                    // An opaque picture in channel order is painted where it
                    // shows: one pass over the model's channels, not three.
                    if (state == PixelOverlayModel::STATE_ENABLED && m->m_inChannelOrder && m->drawsIntoChannels()) {
                        claimed = canvas.claim(m->getStartChannel(), m->getChannelCount());
                        drawn = claimed &&
                                m->m_drawer->drawFrameInto(*m, now, channelData + m->getStartChannel());
                    }
                    if (!drawn) m->m_drawer->drawFrame(*m, now);
                }
            }
            if (!drawn &&
                (claimed || !m->drawsIntoChannels() || canvas.claim(m->getStartChannel(), m->getChannelCount()))) {
                m->doOverlay(channelData);
            }
        } else if (m->m_blankPending && m->drawsIntoChannels() && !(sequence && sequence->IsSequenceRunning()) &&
                   canvas.claim(m->getStartChannel(), m->getChannelCount())) {
            m->m_blankPending = false;
            // Nothing else writes these channels now: without this they
            // would keep the model's last picture.
            memset(channelData + m->getStartChannel(), 0, m->getChannelCount());
        }
    }
}

PixelOverlayModel* PixelOverlayManager::getModel(const std::string& name) {
    std::lock_guard<std::mutex> lock(m_lock);
    for (auto& m : m_models) {
        if (m->getName() == name) return m.get();
    }
    return nullptr;
}

std::vector<std::string> PixelOverlayManager::getModelNames() {
    std::lock_guard<std::mutex> lock(m_lock);
    std::vector<std::string> names;
    for (auto& m : m_models) names.push_back(m->getName());
    return names;
}
