#pragma once
// A locally attached display (HDMI and the like through DRM, or a classic
// frame-buffer device): one or two pages of display memory, RGB pictures
// converted into the display's pixel format and enlarged by a whole-number
// pixel size, shown at once or with one of thirteen transitions drawn by
// the "KIV-FBDrawLoop" thread; or, in "AutoSync" mode, pages filled by a
// producer presented at vertical sync. Created and fed by the display
// channel output (channeloutput/LocalDisplayOutput) and the display overlay
// model kind (services/DisplayOverlayModel). Devices come from
// DisplayDevice.h, so the memory-backed ones stand in where no display is.

#include <linux/fb.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <json/json.h>

#include "DisplayDevice.h"

typedef int ImageTransitionType;
enum : int {
    IMAGE_TRANSITION_RANDOM = -2,
    IMAGE_TRANSITION_DEFAULT = -1,
    IMAGE_TRANSITION_NORMAL = 0,
    IMAGE_TRANSITION_SLIDE_UP = 1,
    IMAGE_TRANSITION_SLIDE_DOWN = 2,
    IMAGE_TRANSITION_SLIDE_LEFT = 3,
    IMAGE_TRANSITION_SLIDE_RIGHT = 4,
    IMAGE_TRANSITION_WIPE_UP = 5,
    IMAGE_TRANSITION_WIPE_DOWN = 6,
    IMAGE_TRANSITION_WIPE_LEFT = 7,
    IMAGE_TRANSITION_WIPE_RIGHT = 8,
    IMAGE_TRANSITION_WIPE_TO_HCENTER = 9,
    IMAGE_TRANSITION_WIPE_FROM_HCENTER = 10,
    IMAGE_TRANSITION_HORIZONTAL_BLINDS_OPEN = 11,
    IMAGE_TRANSITION_HORIZONTAL_BLINDS_CLOSE = 12,
    IMAGE_TRANSITION_MOSAIC = 13,
    IMAGE_TRANSITION_COUNT = 13,
};

class FrameBuffer {
public:
    FrameBuffer();
    ~FrameBuffer();

    // Reads the configuration ("Name", "X", "Y", "Width", "Height",
    // "PixelSize", "Device", "TransitionType", "Pages", "BitsPerPixel",
    // "AutoSync"), opens the device, starts the draw loop. True on success.
    int FBInit(const Json::Value& config);

    // Converts one RGB picture of PixelsWide() x PixelsHigh(). draw: show it
    // now, without a transition; otherwise it waits for FBStartDraw.
    void FBCopyData(const unsigned char* rgb, int draw = 0);
    // Has the draw loop show the waiting picture with transition t
    // (IMAGE_TRANSITION_DEFAULT: the configured one; _RANDOM: any of 1-13).
    void FBStartDraw(ImageTransitionType t = IMAGE_TRANSITION_DEFAULT);

    // AutoSync producers: converts the picture into the next free page and
    // marks it ready for the sync loop; false when every page still waits.
    bool FBCopyDataToNextPage(const unsigned char* rgb);

    void Clear();         // zero the visible page
    void ClearAllPages();  // zero every page
    void NextPage(bool drawPageToo);
    void SyncDisplay(bool flip);
    void Dump();

    // Waits until no picture waits and no transition is being drawn.
    bool WaitUntilShown(int timeoutMs);

    const std::string& GetName() const { return m_name; }
    const std::string& GetDevice() const { return m_device; }
    int Width() const { return m_width; }
    int Height() const { return m_height; }
    int BitsPerPixel() const { return m_bpp; }
    int PixelSize() const { return m_pixelSize; }
    int PixelsWide() const { return m_pixelsWide; }
    int PixelsHigh() const { return m_pixelsHigh; }
    int Pages() const { return m_numPages; }
    int LineLength() const { return m_lineLength; }
    bool UsesDRM() const { return m_useDRM; }
    bool AutoSync() const { return m_autoSync; }
    int GetTransitionType() const { return m_transitionType; }
    // The transition the draw loop drew last (-100 before the first), and
    // how long drawing it took, pauses included.
    int LastTransitionDrawn() const { return m_lastDrawn; }
    long long LastDrawMicros() const { return m_lastDrawUs; }
    // The 16 bpp pixel for an RGB colour.
    uint16_t RGB565(uint8_t r, uint8_t g, uint8_t b) const;

    // Benchmarks and tests: what a pause between drawing steps does
    // (default: sleep that many microseconds).
    void SetPauseFunction(std::function<void(int us)> pause);

private:
    bool InitializeDRM();
    bool InitializeFrameBuffer();
    void ReleaseDevice();
    void BuildRGB565Map(const fb_var_screeninfo& v);
    // Puts `page` on screen: CRTC set-up the first time, later a flip (DRM), or a pan.
    void ShowPage(int page, bool& firstFlip);
    // Converts into `target` (a page or the staging buffer); the caller
    // holds m_bufferLock.
    void ConvertPicture(const unsigned char* rgb, uint8_t* target);

    void DrawLoop();
    void SyncLoop();
    void DrawTransition(int t);
    void DrawSquare(int x, int y, int w, int h, int srcX = -1, int srcY = -1);
    void DrawRows(int y, int count);
    // One drawing step is on the visible page: show it, then pause.
    void Step(int pauseUs);
    void Pause(int us);
    int RandomTransition();

    void DrawNormal();
    void DrawSlideUp();
    void DrawSlideDown();
    void DrawSlideLeft();
    void DrawSlideRight();
    void DrawWipeUp();
    void DrawWipeDown();
    void DrawWipeLeft();
    void DrawWipeRight();
    void DrawWipeToHorizontalCenter();
    void DrawWipeFromHorizontalCenter();
    void DrawHorizontalBlinds(bool open);
    void DrawMosaic();

    std::string m_name;
    std::string m_device;
    int m_x = -1;
    int m_y = -1;
    int m_width = 0;   // device pixels drawn
    int m_height = 0;
    int m_bpp = -1;
    int m_pixelSize = 1;
    int m_pixelsWide = 0;
    int m_pixelsHigh = 0;
    uint8_t* m_pages[2] = {nullptr, nullptr};
    std::vector<uint8_t> m_outputBuffer;  // the staging picture, one page
    int m_transitionType = 0;
    std::atomic<int> m_currentTransition{0};
    unsigned int m_randSeed = 0;  // rand_r state, used on the draw thread and under m_bufferLock
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_dirty{false};
    std::thread m_drawThread;
    bool m_autoSync = false;
    // Guards the pages, the staging buffer, m_lastFrame and m_drawing;
    // held through every transition and every conversion.
    std::mutex m_bufferLock;
    std::condition_variable m_drawCondition;  // wakes the draw loop
    std::condition_variable m_idleCondition;  // a draw finished
    bool m_drawing = false;        // the draw loop is drawing a picture
    bool m_drawRequested = false;  // FBStartDraw asked for the waiting picture
    int m_curPage = 0;
    int m_drawPage = 0;
    int m_numPages = 2;
    int m_lineLength = 0;
    int m_pageSize = 0;
    int m_mapSize = 0;
    uint8_t* m_map = nullptr;       // frame-buffer device: the whole mapping
    std::vector<uint8_t> m_lastFrame;  // 16 bpp: the picture last converted
    const uint8_t* m_lastTarget = nullptr;  // where that picture went
    std::unique_ptr<std::atomic<uint8_t>[]> m_pageReady;  // AutoSync: page complete
    std::atomic<int> m_lastDrawn{-100};
    std::atomic<long long> m_lastDrawUs{0};
    std::function<void(int)> m_pause;

    // DRM
    bool m_useDRM = false;
    std::unique_ptr<DRMCard> m_card;
    uint32_t m_connectorId = 0;
    uint32_t m_crtcId = 0;
    int m_modeIndex = 0;
    int m_displayHeight = 0;  // rows of a page (the mode's or the device's)
    int m_refresh = 0;        // Hz of the DRM mode
    uint32_t m_dumbHandles[2] = {0, 0};
    uint32_t m_fbIds[2] = {0, 0};
    uint64_t m_dumbSizes[2] = {0, 0};
    bool m_firstFlip = true;      // the CRTC has not been set up yet (SyncDisplay)
    bool m_syncFirstFlip = true;  // the same for the AutoSync loop

    // Frame-buffer device
    std::unique_ptr<FBDevice> m_fbDevice;
    fb_var_screeninfo m_vInfo{};
    fb_fix_screeninfo m_fInfo{};
    int m_consoleFd = -1;
    DisplayBackend* m_backend = nullptr;

    std::vector<uint16_t> m_rgb565Map;  // 32 x 64 x 32, indexed red / 8, green / 4, blue / 8
};
