#pragma once
// Memory-backed display devices of the same shape as the kernel's: a DRM
// card with connectors and modes, and frame-buffer devices, whose screens
// are blocks of memory. They stand in for a display on machines without one
// (tests, benchmarks, or a person looking at transitions): every page that
// becomes visible, and every drawing step on the visible page, can be
// written as a PNG file into the folder named by the environment variable
// KIV_DISPLAY_SNAPSHOTS or the setting "DisplaySnapshotDir". FrameBuffer
// reaches them through GetDisplayBackend() (DisplayDevice.h); tests shape
// them and look at what they show through the functions below.

#include <linux/fb.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "DisplayDevice.h"

// A memory frame-buffer device. Names "fb0" to "fb99" exist with the
// defaults; others only once set with MemoryDisplay::SetFBDevice.
struct MemoryFBProperties {
    int width = 1920;  // resolution the device reports before it is set
    int height = 1080;
    int bpp = 32;
    std::vector<int> depths = {16, 24, 32};  // bits per pixel it accepts
    size_t memoryBytes = 64u << 20;          // device memory: bounds the virtual size
    // At 16 bpp the device keeps this layout whatever it is asked for
    // (a BGR panel, say); otherwise it takes the layout it is asked for.
    bool fixed16 = false;
    fb_bitfield red16 = {11, 5, 0}, green16 = {5, 6, 0}, blue16 = {0, 5, 0};
    int refreshHz = 60;  // how long a wait for vertical sync takes
};

// A connector of the memory DRM card ("card0").
struct MemoryDRMConnector {
    uint32_t type = 11;  // DRM_MODE_CONNECTOR_HDMIA
    uint32_t typeId = 1;
    std::vector<DRMModeInfo> modes = {{1920, 1080, 60, true}, {1280, 720, 60, false}, {1024, 768, 60, false},
                                      {800, 600, 60, false},  {640, 480, 60, false}};
    bool hasEncoder = true;
};

// What one memory device shows. It outlives the device, so a test can look
// at it after the frame buffer let go. Every call is safe from any thread;
// the picture is only stable while nobody draws.
class MemoryScreen {
public:
    enum Kind { FRAME_BUFFER, DRM };

    MemoryScreen(const std::string& name, Kind kind);
    const std::string& Name() const { return m_name; }
    Kind GetKind() const { return m_kind; }

    bool IsOpen() const;
    // Size and depth of what is visible; 0 while nothing is.
    int Width() const;
    int Height() const;
    int BitsPerPixel() const;
    // The visible picture, as RGB triplets row by row (empty when nothing is visible).
    std::vector<uint8_t> VisibleRGB() const;
    // The device bytes of the visible picture, Width() x BitsPerPixel() / 8 per row.
    std::vector<uint8_t> VisibleBytes() const;
    // Frame buffer: the page (y offset / height) on screen. DRM: the
    // buffer on screen by creation order. -1 while nothing is.
    int VisiblePage() const;
    // Times a page was put on screen (pan, CRTC set-up, page flip).
    int PageChanges() const;
    int CrtcSetups() const;
    // Drawing steps reported on the visible page.
    int Steps() const;
    int VSyncWaits() const;
    int SnapshotsWritten() const;
    // Mappings and dumb buffers still held by the user of the device.
    int LiveBuffers() const;
    bool WaitForPageChanges(int n, int timeoutMs) const;
    // Changes one byte of what is on screen (an offset into VisibleBytes()),
    // as another program drawing on the device would.
    bool Scribble(size_t offset, uint8_t value);

    // Used by the memory devices.
    struct Buffer {
        std::vector<uint8_t> bytes;
        uint32_t width = 0, height = 0, pitch = 0, bpp = 0;
        uint32_t handle = 0, fbId = 0;
        bool mapped = false;
        bool alive = true;
    };
    void Opened(const MemoryFBProperties* fb);
    void Closed();
    // Frame buffer: the mode and memory (what is at the y offset shows).
    void ShowFB(const fb_var_screeninfo& var, uint32_t lineLength, uint8_t* memory);
    void Panned();
    // DRM: `buffer` goes on screen; mode size -1 keeps the current one.
    void ShowDRM(const std::shared_ptr<Buffer>& buffer, int modeWidth, int modeHeight, bool crtcSetup);
    void Step();
    void VSync();
    std::shared_ptr<Buffer> NewBuffer(size_t bytes);
    void ReleaseBuffer(const std::shared_ptr<Buffer>& b);

private:
    std::vector<uint8_t> VisibleBytesLocked() const;
    std::vector<uint8_t> ToRGBLocked(const std::vector<uint8_t>& bytes) const;
    void SnapshotLocked();

    const std::string m_name;
    const Kind m_kind;
    mutable std::mutex m_lock;  // guards everything below
    mutable std::condition_variable m_changed;  // a page went on screen
    bool m_open = false;
    std::vector<std::shared_ptr<Buffer>> m_buffers;  // by creation order
    uint8_t* m_fbMemory = nullptr;                   // frame buffer: the mapped device memory
    fb_var_screeninfo m_var{};                       // frame buffer: the mode on screen
    uint32_t m_lineLength = 0;
    std::shared_ptr<Buffer> m_visible;  // DRM: the buffer on screen
    int m_visibleWidth = 0, m_visibleHeight = 0;
    bool m_showing = false;
    int m_pageChanges = 0, m_crtcSetups = 0, m_steps = 0, m_vsyncs = 0, m_snapshots = 0;
    uint32_t m_nextHandle = 1;
};

namespace MemoryDisplay {

DisplayBackend& Backend();

// Shapes (or adds) the frame-buffer device `name`, for devices opened later.
void SetFBDevice(const std::string& name, const MemoryFBProperties& properties);
// Replaces the connectors of the card; `maxDumbBuffers` bounds how many
// dumb buffers it can hold at once (a second page that does not fit fails).
void SetDRMConnectors(const std::vector<MemoryDRMConnector>& connectors, int maxDumbBuffers = 8);
// Back to the defaults; forgets the screens.
void Reset();
// The screen of the device last opened under `name` (frame-buffer device
// name or connector name such as "HDMI-A-1"); null when none was.
std::shared_ptr<MemoryScreen> Screen(const std::string& name);
// Whether the console is in graphics mode.
bool ConsoleInGraphicsMode();
// The folder snapshots go to ("" for none).
std::string SnapshotDir();

}  // namespace MemoryDisplay
