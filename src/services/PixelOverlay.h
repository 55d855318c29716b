#pragma once
// Pixel overlay models: named rectangles of pixels that something other
// than the running sequence draws on (a video, a still image, a display).
// The manager loads them at start-up from <media>/config/overlay-models.json
// (docs/overlay-models.md); media outputs, playlist entries and the drawing
// commands (overlays/) look models up by name and set their pixels; the
// sequence player asks the manager to draw every active model into each
// frame before it goes out.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <json/json.h>

#include "FrameCanvas.h"

// What a model record of the file says, after checking. Channel fields are
// only meaningful for kinds that draw into the channel data.
class PixelOverlayModel;

// Something that draws on a model by itself, frame after frame: a generated
// effect or scrolling text (overlays/OverlayDrawing.h). A model holds at
// most one.
class PixelOverlayDrawer {
public:
    virtual ~PixelOverlayDrawer() {}
    // On the output thread, for every frame the model is active in, just
    // before the model is laid over it: puts the picture for the monotonic
    // time nowUs (us) on the model.
    virtual void drawFrame(PixelOverlayModel& model, long long nowUs) = 0;
    // Instead of drawFrame, for an opaque model whose pixels are the
    // frame's channels in the viewer's order: paints the picture for nowUs
    // straight into them (rgb, every byte written), sparing the model's
    // picture and its copy into the frame. False when this drawer cannot;
    // drawFrame is then asked.
    virtual bool drawFrameInto(PixelOverlayModel& model, long long nowUs, uint8_t* rgb) { return false; }
    // Paints the picture drawFrameInto last painted into rgb (the model's
    // own picture, brought up to date when someone asks for it).
    virtual void paintLast(uint8_t* rgb) {}
};

struct PixelOverlayModelConfig {
    std::string name;
    std::string type = "channel";    // the model kind
    int startChannel = 0;            // 0-based first channel (the file says 1-based)
    int width = 0;
    int height = 0;
    int channelsPerPixel = 3;        // 1 (grey), 3 (RGB) or 4 (RGBW); 0 for kinds without channels
    bool vertical = false;           // pixels numbered down columns rather than along rows
    bool startBottom = false;        // pixel 1 is on the bottom row
    bool startRight = false;         // pixel 1 is in the right-hand column
};

class PixelOverlayModel {
public:
    // How the model's pixels meet the frame.
    static constexpr int STATE_DISABLED = 0;         // not drawn
    static constexpr int STATE_ENABLED = 1;          // replaces the frame's channels
    static constexpr int STATE_TRANSPARENT = 2;      // only non-black pixels replace the frame's
    static constexpr int STATE_TRANSPARENT_RGB = 3;  // only non-zero channels replace the frame's

    explicit PixelOverlayModel(const PixelOverlayModelConfig& config);
    virtual ~PixelOverlayModel();

    const std::string& getName() const { return m_config.name; }
    const std::string& getType() const { return m_config.type; }
    int getWidth() const { return m_config.width; }
    int getHeight() const { return m_config.height; }
    int getStartChannel() const { return m_config.startChannel; }  // 0-based
    int getChannelsPerPixel() const { return m_config.channelsPerPixel; }
    int getChannelCount() const { return m_config.width * m_config.height * m_config.channelsPerPixel; }
    const PixelOverlayModelConfig& getConfig() const { return m_config; }

    int getState() const { return m_state.load(); }
    // Values outside 0..3 are refused with a log line. A model that stops
    // drawing while no sequence plays has its channels blanked once, so
    // the lights do not hold its last picture.
    virtual void setState(int state);

    // The whole model at once: width x height RGB triplets, row by row from
    // the top-left pixel as seen by the viewer.
    virtual void setData(const uint8_t* rgb);
    // A copy of what the model shows now (same layout as setData).
    std::vector<uint8_t> getData();
    // All pixels black.
    virtual void clear();

    // The overlay buffer: a drawing surface of the model's size (RGB, row
    // by row) that its one writer fills step by step and then shows with
    // flushOverlayBuffer. Not locked: one writer at a time.
    uint8_t* getOverlayBuffer() { return m_overlayBuffer.data(); }
    void clearOverlayBuffer();
    // Shows the overlay buffer: by default it becomes the model's data. A
    // kind that shows its pixels elsewhere (a local display) overrides it.
    virtual void flushOverlayBuffer();
    // Lets draw paint a whole new picture (same layout as setData) that is
    // shown as flushOverlayBuffer shows one; by default straight into the
    // model's data, sparing the overlay buffer's copy on every frame.
    virtual void drawPicture(const std::function<void(uint8_t* rgb)>& draw);

    // Draws the model into a frame according to its state.
    virtual void doOverlay(uint8_t* channelData);
    // False for kinds that never touch the channel data; an active model of
    // such a kind does not keep the channel output running.
    virtual bool drawsIntoChannels() const { return true; }

    // Channel offset (from the start channel) of the pixel at x, y as the
    // viewer sees it.
    int channelOffsetOf(int x, int y) const;

    // Puts `drawer` to work on the model from the next frame on (null: none)
    // and hands back the one it replaces; once this returns, that one draws
    // no more.
    std::unique_ptr<PixelOverlayDrawer> setDrawer(std::unique_ptr<PixelOverlayDrawer> drawer);
    bool hasDrawer() const { return m_hasDrawer.load(); }
    // Runs fn with the model's drawer (null when none), which does not draw
    // meanwhile.
    void withDrawer(const std::function<void(PixelOverlayDrawer*)>& fn);
    // Renewed by every change of the model's pixels, from a counter all
    // models share: whoever drew can tell later whether its picture still
    // shows, even on a model loaded since.
    unsigned long long getChangeNumber() const { return m_change.load(); }
    // For drawers: the picture went straight into the frame (a new one:
    // newPicture), so the model's own is behind until it is next asked for.
    void pictureDrawnElsewhere(bool newPicture);
    bool pictureBehind() const { return m_pictureBehind.load(); }

protected:
    PixelOverlayModelConfig m_config;
    std::atomic<int> m_state{STATE_DISABLED};
    std::atomic<bool> m_blankPending{false};  // disabled since it last drew
    friend class PixelOverlayManager;
    mutable std::mutex m_dataLock;  // guards m_data
    std::vector<uint8_t> m_data;           // RGB, viewer's layout
    std::atomic<unsigned long long> m_change{0};
    // Held by the output thread while the drawer draws, so that replacing
    // it and the frames it draws never overlap. Taken before m_dataLock.
    std::mutex m_drawerLock;  // guards m_drawer
    std::unique_ptr<PixelOverlayDrawer> m_drawer;
    std::atomic<bool> m_hasDrawer{false};
    // The drawer painted into frames since m_data was last drawn: m_data
    // is caught up (under m_drawerLock) before anyone reads it.
    std::atomic<bool> m_pictureBehind{false};
    void CatchUpLocked();
    std::vector<uint8_t> m_overlayBuffer;  // RGB, viewer's layout
    std::vector<int> m_pixelOffsets;       // viewer pixel index -> channel offset
    bool m_inChannelOrder = false;         // RGB, m_pixelOffsets[i] == 3 * i
};

class PixelOverlayManager {
public:
    static PixelOverlayManager INSTANCE;

    // Builds a model of one kind from its checked common fields and its
    // whole record (for keys of its own); null with `error` set to refuse.
    typedef std::function<PixelOverlayModel*(const PixelOverlayModelConfig& config, const Json::Value& record,
                                             std::string& error)>
        ModelFactory;
    // Adds (or replaces) a model kind beside the built-in "channel" kind.
    // usesChannels: records of the kind carry the channel keys
    // ("startChannel", "channelsPerPixel", "orientation", "startCorner"),
    // checked before the factory runs; otherwise channelsPerPixel is 0.
    static void RegisterModelType(const std::string& type, ModelFactory factory, bool usesChannels = false);
    static void UnregisterModelType(const std::string& type);

    static std::string ModelsFilePath();  // <media>/config/overlay-models.json

    // Loads the models file; called once at start-up, before the channel
    // outputs. Replaces any models loaded before, so nothing may hold a
    // model across it.
    void Initialize();
    // Loads models from a document of the file's shape; records that cannot
    // be used are logged, raise a warning and are skipped. False when the
    // document itself is unusable.
    bool LoadModels(const Json::Value& doc, const std::string& source);
    // Forgets every model (shut-down and tests).
    void Cleanup();

    // A model draws into the channels, or has a drawer that needs frames.
    bool hasActiveOverlays();
    // Lets the drawers of active models draw, then lays the active models
    // over the frame.
    void doOverlays(uint8_t* channelData);
    void doOverlays(FrameCanvas& canvas);
    // Null when no model has that name.
    PixelOverlayModel* getModel(const std::string& name);
    std::vector<std::string> getModelNames();

    // Checks the common keys of one record; false with `error` set when the
    // record cannot be used. `needsChannels`: the kind draws into channels.
    static bool ParseModelConfig(const Json::Value& record, PixelOverlayModelConfig& config, std::string& error,
                                 bool needsChannels = true);

private:
    void ReplaceWarnings(const std::vector<std::string>& warnings);

    std::mutex m_lock;  // guards m_models and m_warnings
    std::vector<std::unique_ptr<PixelOverlayModel>> m_models;
    std::vector<std::string> m_warnings;  // raised by the last load
};
