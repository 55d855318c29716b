#pragma once
// The display devices FrameBuffer draws on, in the shape of the two kernel
// interfaces it drives: a DRM card (connectors, modes, dumb buffers, CRTC
// set-up and page flips) and a frame-buffer device (screen information,
// memory map, panning, vertical sync) with its console. Each exists as the
// real kernel device (this unit) and as a memory-backed stand-in of the same
// shape (MemoryDisplay.h) for machines without a display; the setting
// "DisplayBackend" or the environment variable KIV_DISPLAY_BACKEND chooses.

#include <linux/fb.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct DRMModeInfo {
    int width = 0;
    int height = 0;
    int refresh = 0;  // Hz
    bool preferred = false;
};

struct DRMConnectorInfo {
    uint32_t id = 0;
    uint32_t type = 0;    // DRM_MODE_CONNECTOR_*
    uint32_t typeId = 0;  // index among the card's connectors of that type
    uint32_t encoderId = 0;
    std::vector<DRMModeInfo> modes;
};

// One DRM card, opened. Calls answer 0 or a negative errno unless stated.
class DRMCard {
public:
    virtual ~DRMCard();
    // The card's connectors with their modes (the card's resources).
    virtual bool GetConnectors(std::vector<DRMConnectorInfo>& out) = 0;
    // The CRTC an encoder drives; false when the encoder cannot be read.
    virtual bool GetEncoderCrtc(uint32_t encoderId, uint32_t& crtcId) = 0;
    virtual int SetMaster() = 0;
    virtual int DropMaster() = 0;
    virtual int CreateDumbBuffer(uint32_t width, uint32_t height, uint32_t bpp, uint32_t& handle, uint32_t& pitch,
                                 uint64_t& size) = 0;
    virtual int AddFrameBuffer(uint32_t width, uint32_t height, uint8_t depth, uint8_t bpp, uint32_t pitch,
                               uint32_t handle, uint32_t& fbId) = 0;
    virtual int MapDumbBuffer(uint32_t handle, uint64_t& offset) = 0;
    // MAP_FAILED on failure.
    virtual void* Map(uint64_t size, uint64_t offset) = 0;
    virtual void Unmap(void* addr, uint64_t size) = 0;
    // modeIndex: index into the connector's mode list.
    virtual int SetCrtc(uint32_t crtcId, uint32_t fbId, uint32_t connectorId, int modeIndex) = 0;
    virtual int PageFlip(uint32_t crtcId, uint32_t fbId) = 0;
    virtual void RemoveFrameBuffer(uint32_t fbId) = 0;
    virtual void DestroyDumbBuffer(uint32_t handle) = 0;
    // A drawing step changed a buffer that is already on screen. A real
    // card scans it out anyway; the memory card takes a snapshot.
    virtual void ContentChanged() {}
};

// One frame-buffer device, opened. Calls answer 0 or -1 with errno set.
class FBDevice {
public:
    virtual ~FBDevice();
    virtual int GetVarInfo(fb_var_screeninfo& info) = 0;
    // The device may adjust `info` to what it really does.
    virtual int PutVarInfo(fb_var_screeninfo& info) = 0;
    virtual int GetFixInfo(fb_fix_screeninfo& info) = 0;
    // Shared mapping of the device memory; MAP_FAILED on failure.
    virtual void* Map(size_t size) = 0;
    virtual void Unmap(void* addr, size_t size) = 0;
    virtual int PanDisplay(fb_var_screeninfo& info) = 0;
    virtual int WaitForVSync() = 0;
    virtual void ContentChanged() {}
};

// Where devices come from.
class DisplayBackend {
public:
    virtual ~DisplayBackend();
    virtual std::string Name() const = 0;
    // The DRM library can talk to the kernel at all.
    virtual bool DRMAvailable() = 0;
    // /dev/dri/card<digit> exists.
    virtual bool CardExists(int digit) = 0;
    // Null with `error` set when the card cannot be opened.
    virtual std::unique_ptr<DRMCard> OpenCard(int digit, std::string& error) = 0;
    // Null with errno set when the device cannot be opened.
    virtual std::unique_ptr<FBDevice> OpenFBDevice(const std::string& path) = 0;
    // The system console: opened (-1 on failure), switched between text
    // and graphics mode, closed.
    virtual int OpenConsole() = 0;
    virtual bool SetConsoleGraphics(int consoleFd, bool graphics) = 0;
    virtual void CloseConsole(int consoleFd) = 0;
};

// The kernel's devices.
DisplayBackend& KernelDisplayBackend();
// The backend in use: the memory one when the setting "DisplayBackend" or
// the environment variable KIV_DISPLAY_BACKEND (which wins) is "memory",
// else the kernel's.
DisplayBackend& GetDisplayBackend();

// "HDMI-A-1" from a connector's type and type index.
std::string DRMConnectorName(uint32_t type, uint32_t typeId);
