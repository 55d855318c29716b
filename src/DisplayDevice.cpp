#include "DisplayDevice.h"

#include <fcntl.h>
#include <linux/kd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <xf86drm.h>
#include <xf86drmMode.h>

#include "MemoryDisplay.h"
#include "common.h"
#include "settings.h"

DRMCard::~DRMCard() {}
FBDevice::~FBDevice() {}
DisplayBackend::~DisplayBackend() {}

std::string DRMConnectorName(uint32_t type, uint32_t typeId) {
    // Indexed by DRM_MODE_CONNECTOR_* - 1.
    static const char* const names[] = {"VGA",    "DVII",        "DVID",   "DVIA",   "Composite", "SVIDEO", "LVDS",
                                        "Component", "9PinDIN", "DisplayPort", "HDMI-A", "HDMI-B", "TV",     "eDP",
                                        "VIRTUAL", "DSI",        "DPI",    "WRITEBACK", "SPI"};
    const char* name = (type >= 1 && type <= sizeof(names) / sizeof(names[0])) ? names[type - 1] : "unknown";
    return std::string(name) + "-" + std::to_string(typeId);
}

namespace {

class KernelDRMCard : public DRMCard {
public:
    explicit KernelDRMCard(int fd) : m_fd(fd) {}
    ~KernelDRMCard() override {
        for (auto* c : m_connectors) drmModeFreeConnector(c);
        close(m_fd);
    }

    bool GetConnectors(std::vector<DRMConnectorInfo>& out) override {
        drmModeRes* res = drmModeGetResources(m_fd);
        if (!res) return false;
        for (auto* c : m_connectors) drmModeFreeConnector(c);
        m_connectors.clear();
        out.clear();
        for (int i = 0; i < res->count_connectors; ++i) {
            drmModeConnector* c = drmModeGetConnector(m_fd, res->connectors[i]);
            if (!c) continue;
            DRMConnectorInfo info;
            info.id = c->connector_id;
            info.type = c->connector_type;
            info.typeId = c->connector_type_id;
            info.encoderId = c->encoder_id;
            for (int m = 0; m < c->count_modes; ++m) {
                DRMModeInfo mode;
                mode.width = c->modes[m].hdisplay;
                mode.height = c->modes[m].vdisplay;
                mode.refresh = c->modes[m].vrefresh;
                mode.preferred = (c->modes[m].type & DRM_MODE_TYPE_PREFERRED) != 0;
                info.modes.push_back(mode);
            }
            m_connectors.push_back(c);
            out.push_back(info);
        }
        drmModeFreeResources(res);
        return true;
    }

    bool GetEncoderCrtc(uint32_t encoderId, uint32_t& crtcId) override {
        drmModeEncoder* enc = drmModeGetEncoder(m_fd, encoderId);
        if (!enc) return false;
        crtcId = enc->crtc_id;
        drmModeFreeEncoder(enc);
        return true;
    }

    int SetMaster() override { return drmSetMaster(m_fd) ? -errno : 0; }
    int DropMaster() override { return drmDropMaster(m_fd) ? -errno : 0; }

    int CreateDumbBuffer(uint32_t width, uint32_t height, uint32_t bpp, uint32_t& handle, uint32_t& pitch,
                         uint64_t& size) override {
        return drmModeCreateDumbBuffer(m_fd, width, height, bpp, 0, &handle, &pitch, &size);
    }

    int AddFrameBuffer(uint32_t width, uint32_t height, uint8_t depth, uint8_t bpp, uint32_t pitch, uint32_t handle,
                       uint32_t& fbId) override {
        return drmModeAddFB(m_fd, width, height, depth, bpp, pitch, handle, &fbId);
    }

    int MapDumbBuffer(uint32_t handle, uint64_t& offset) override {
        return drmModeMapDumbBuffer(m_fd, handle, &offset);
    }

    void* Map(uint64_t size, uint64_t offset) override {
        return mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, m_fd, (off_t)offset);
    }

    void Unmap(void* addr, uint64_t size) override { munmap(addr, size); }

    int SetCrtc(uint32_t crtcId, uint32_t fbId, uint32_t connectorId, int modeIndex) override {
        drmModeConnector* c = findConnector(connectorId);
        if (!c || modeIndex < 0 || modeIndex >= c->count_modes) return -EINVAL;
        uint32_t conn = connectorId;
        return drmModeSetCrtc(m_fd, crtcId, fbId, 0, 0, &conn, 1, &c->modes[modeIndex]);
    }

    int PageFlip(uint32_t crtcId, uint32_t fbId) override { return drmModePageFlip(m_fd, crtcId, fbId, 0, nullptr); }

    void RemoveFrameBuffer(uint32_t fbId) override { drmModeRmFB(m_fd, fbId); }
    void DestroyDumbBuffer(uint32_t handle) override { drmModeDestroyDumbBuffer(m_fd, handle); }

private:
    drmModeConnector* findConnector(uint32_t id) {
        for (auto* c : m_connectors) {
            if (c->connector_id == id) return c;
        }
        return nullptr;
    }

    int m_fd;
    std::vector<drmModeConnector*> m_connectors;  // the records GetConnectors read, freed with the card
};

class KernelFBDevice : public FBDevice {
public:
    explicit KernelFBDevice(int fd) : m_fd(fd) {}
    ~KernelFBDevice() override { close(m_fd); }

    int GetVarInfo(fb_var_screeninfo& info) override { return ioctl(m_fd, FBIOGET_VSCREENINFO, &info) ? -1 : 0; }
    int PutVarInfo(fb_var_screeninfo& info) override { return ioctl(m_fd, FBIOPUT_VSCREENINFO, &info) ? -1 : 0; }
    int GetFixInfo(fb_fix_screeninfo& info) override { return ioctl(m_fd, FBIOGET_FSCREENINFO, &info) ? -1 : 0; }
    void* Map(size_t size) override { return mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, m_fd, 0); }
    void Unmap(void* addr, size_t size) override { munmap(addr, size); }
    int PanDisplay(fb_var_screeninfo& info) override { return ioctl(m_fd, FBIOPAN_DISPLAY, &info) ? -1 : 0; }
    int WaitForVSync() override {
        int crtc = 0;
        return ioctl(m_fd, FBIO_WAITFORVSYNC, &crtc) ? -1 : 0;
    }

private:
    int m_fd;
};

class KernelBackend : public DisplayBackend {
public:
    std::string Name() const override { return "kernel"; }
    bool DRMAvailable() override { return drmAvailable() != 0; }
    bool CardExists(int digit) override { return FileExists(cardPath(digit)); }

    std::unique_ptr<DRMCard> OpenCard(int digit, std::string& error) override {
        int fd = open(cardPath(digit).c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) {
            error = cardPath(digit) + ": " + strerror(errno);
            return nullptr;
        }
        return std::unique_ptr<DRMCard>(new KernelDRMCard(fd));
    }

    std::unique_ptr<FBDevice> OpenFBDevice(const std::string& path) override {
        int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) return nullptr;
        return std::unique_ptr<FBDevice>(new KernelFBDevice(fd));
    }

    int OpenConsole() override { return open("/dev/console", O_NOCTTY | O_CLOEXEC); }
    bool SetConsoleGraphics(int consoleFd, bool graphics) override {
        return ioctl(consoleFd, KDSETMODE, graphics ? KD_GRAPHICS : KD_TEXT) == 0;
    }
    void CloseConsole(int consoleFd) override { close(consoleFd); }

private:
    static std::string cardPath(int digit) { return "/dev/dri/card" + std::to_string(digit); }
};

}  // namespace

DisplayBackend& KernelDisplayBackend() {
    static KernelBackend backend;
    return backend;
}

DisplayBackend& GetDisplayBackend() {
    const char* env = getenv("KIV_DISPLAY_BACKEND");
    std::string choice = (env && env[0]) ? env : getSetting("DisplayBackend", "");
    if (toLowerCopy(choice) == "memory") return MemoryDisplay::Backend();
    return KernelDisplayBackend();
}
