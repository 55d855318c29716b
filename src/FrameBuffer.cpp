#include "FrameBuffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "Warnings.h"
#include "common.h"
#include "log.h"
#include "settings.h"

namespace {

constexpr int BLOCK = 32;                       // mosaic blocks and blind bands, in device pixels
constexpr int SLIDE_TIME_US = 1600000;          // a slide or a fine wipe crosses the screen in about this
constexpr int WIPE_TIME_US = 3200000;           // a wipe in bands of four rows
constexpr int BLINDS_PAUSE_US = 50000;
constexpr int MOSAIC_TIME_US = 800000;

int intKey(const Json::Value& config, const char* key, int def) {
    const Json::Value& v = config[key];
    if (v.isIntegral()) return v.asInt();
    if (v.isString() && !v.asString().empty()) return (int)strtol(v.asString().c_str(), nullptr, 10);
    return def;
}

void logBitfields(int level, const fb_var_screeninfo& v) {
    _LogWrite(__FILE__, __LINE__, level, VB_CHANNELOUT, " R: %d (%d bits)\n", v.red.offset, v.red.length);
    _LogWrite(__FILE__, __LINE__, level, VB_CHANNELOUT, " G: %d (%d bits)\n", v.green.offset, v.green.length);
    _LogWrite(__FILE__, __LINE__, level, VB_CHANNELOUT, " B: %d (%d bits)\n", v.blue.offset, v.blue.length);
}

}  // namespace

FrameBuffer::FrameBuffer() {
    LogDebug(VB_CHANNELOUT, "FrameBuffer::FrameBuffer()\n");
    m_randSeed = (unsigned int)time(nullptr);
}

FrameBuffer::~FrameBuffer() {
    if (m_drawThread.joinable()) {
        {
            std::lock_guard<std::mutex> lock(m_bufferLock);
            m_running = false;
        }
        m_drawCondition.notify_all();
        m_drawThread.join();
    }
    ReleaseDevice();
}

void FrameBuffer::SetPauseFunction(std::function<void(int)> pause) { m_pause = std::move(pause); }

int FrameBuffer::FBInit(const Json::Value& config) {
    LogDebug(VB_CHANNELOUT, "FrameBuffer::FBInit()\n");
    if (m_running || m_card || m_fbDevice) {
        LogErr(VB_CHANNELOUT, "FrameBuffer %s is initialised already\n", m_name.c_str());
        return 0;
    }
    m_name = config["Name"].isString() ? config["Name"].asString() : "";
    m_x = intKey(config, "X", -1);
    m_y = intKey(config, "Y", -1);
    m_width = std::max(0, intKey(config, "Width", 0));
    m_height = std::max(0, intKey(config, "Height", 0));
    m_pixelSize = intKey(config, "PixelSize", 1);
    m_device = config["Device"].isString() ? config["Device"].asString() : "";
    m_transitionType = intKey(config, "TransitionType", 0);
    m_numPages = intKey(config, "Pages", 2);
    m_bpp = intKey(config, "BitsPerPixel", -1);
    m_autoSync = config["AutoSync"].isBool() ? config["AutoSync"].asBool() : intKey(config, "AutoSync", 0) != 0;

    // Values the drawing arithmetic cannot take: a pixel size below 1
    // divides by zero, and there are places for two pages only.
    if (m_pixelSize < 1) {
        LogWarn(VB_CHANNELOUT, "FrameBuffer %s: PixelSize %d is not usable, using 1\n", m_name.c_str(), m_pixelSize);
        m_pixelSize = 1;
    }
    if (m_numPages < 1 || m_numPages > 2) {
        LogWarn(VB_CHANNELOUT, "FrameBuffer %s: Pages %d is not usable (1 or 2), using %d\n", m_name.c_str(),
                m_numPages, m_numPages < 1 ? 1 : 2);
        m_numPages = m_numPages < 1 ? 1 : 2;
    }
    m_pixelsWide = m_width / m_pixelSize;
    m_pixelsHigh = m_height / m_pixelSize;
    m_width = m_pixelsWide * m_pixelSize;
    m_height = m_pixelsHigh * m_pixelSize;

    if (m_device == "x11") {
        WarningHolder::AddWarning("X11 FrameBuffer configured, but KIV is not compiled with X11 support");
        LogErr(VB_CHANNELOUT, "X11 FrameBuffer configured, but KIV is not compiled with X11 support\n");
    }

    LogDebug(VB_CHANNELOUT, "Using FrameBuffer device %s\n", m_device.c_str());
    m_backend = &GetDisplayBackend();
    if (!InitializeDRM() && !InitializeFrameBuffer()) {
        ReleaseDevice();
        return 0;
    }

    // The device's size where none was configured, whole picture pixels.
    m_pixelsWide = m_width / m_pixelSize;
    m_pixelsHigh = m_height / m_pixelSize;
    m_width = m_pixelsWide * m_pixelSize;
    m_height = m_pixelsHigh * m_pixelSize;

    if (m_autoSync) {
        m_pageReady.reset(new std::atomic<uint8_t>[m_numPages]);
        for (int i = 0; i < m_numPages; ++i) m_pageReady[i] = 0;
    }
    try {
        m_outputBuffer.assign(m_pageSize, 0);
        if (m_bpp == 16) m_lastFrame.assign((size_t)m_pixelsWide * m_pixelsHigh * 3, 0);
    } catch (std::bad_alloc&) {
        LogErr(VB_CHANNELOUT, "Error, unable to allocate outputBuffer buffer\n");
        ReleaseDevice();
        return 0;
    }

    if (m_useDRM) {
        // Put the first page on the CRTC now: until then the card scans out
        // whatever it had, and transitions draw into the visible page.
        ShowPage(m_curPage, m_firstFlip);
    }

    LogDebug(VB_CHANNELOUT, "Initialized %s frame buffer at %dx%d resolution.\n", m_device.c_str(), m_width,
             m_height);
    Dump();
    m_running = true;
    m_drawThread = std::thread(&FrameBuffer::DrawLoop, this);
    return 1;
}

bool FrameBuffer::InitializeDRM() {
    if (!m_backend->DRMAvailable()) return false;
    for (int digit = 0; digit <= 9; ++digit) {
        if (!m_backend->CardExists(digit)) continue;
        std::string error;
        std::unique_ptr<DRMCard> card = m_backend->OpenCard(digit, error);
        if (!card) {
            LogDebug(VB_CHANNELOUT, "Could not open DRM card %d: %s\n", digit, error.c_str());
            continue;
        }
        card->SetMaster();
        std::vector<DRMConnectorInfo> connectors;
        if (!card->GetConnectors(connectors)) {
            card->DropMaster();
            continue;
        }
        for (auto& c : connectors) {
            std::string connectorName = DRMConnectorName(c.type, c.typeId);
            if (connectorName != m_device) continue;

            LogDebug(VB_CHANNELOUT, "Using FrameBuffer for %s\n", connectorName.c_str());
            LogDebug(VB_CHANNELOUT, "  Modes:\n");
            uint32_t crtc = 0;
            if (!card->GetEncoderCrtc(c.encoderId, crtc)) {
                LogErr(VB_CHANNELOUT, "DRM Could not get encoder.\n");
                card->DropMaster();
                return false;
            }
            for (auto& m : c.modes) {
                LogDebug(VB_CHANNELOUT, "    %d x %d   %d   %s\n", m.width, m.height, m.refresh,
                         m.preferred ? "(preferred)" : "");
            }
            if (c.modes.empty()) {
                LogErr(VB_CHANNELOUT, "DRM connector %s has no modes\n", connectorName.c_str());
                card->DropMaster();
                return false;
            }
            int modeIndex = 0;
            if (m_width == 0 && m_height == 0) {
                // No size configured: the display's own (preferred) mode.
                for (size_t i = 0; i < c.modes.size(); ++i) {
                    if (c.modes[i].preferred) {
                        modeIndex = (int)i;
                        break;
                    }
                }
            } else {
                for (size_t i = 0; i < c.modes.size(); ++i) {
                    if (c.modes[i].width >= m_width && c.modes[i].height >= m_height) modeIndex = (int)i;
                }
            }
            const DRMModeInfo& mode = c.modes[modeIndex];
            // Never draw past the buffer of the mode.
            if (m_width == 0 || m_width > mode.width) m_width = mode.width;
            if (m_height == 0 || m_height > mode.height) m_height = mode.height;

            int pages = 0;
            uint32_t pitch = 0;
            for (int p = 0; p < m_numPages; ++p) {
                bool second = p == 1;
                uint32_t handle = 0, fbId = 0;
                uint64_t size = 0, offset = 0;
                int err = card->CreateDumbBuffer(mode.width, mode.height, 32, handle, pitch, size);
                if (!err) {
                    err = card->AddFrameBuffer(mode.width, mode.height, 24, 32, pitch, handle, fbId);
                    if (err) card->DestroyDumbBuffer(handle);
                }
                if (err) {
                    if (second) {
                        LogWarn(VB_CHANNELOUT, "DRM Create framebuffer failed (err=%d). Using single page.\n", err);
                        break;
                    }
                    LogWarn(VB_CHANNELOUT, "DRM Create framebuffer failed (err=%d)\n", err);
                    WarningHolder::AddWarning("Could not initialize framebuffer for " + connectorName);
                    card->DropMaster();
                    return false;
                }
                err = card->MapDumbBuffer(handle, offset);
                bool mapped = !err;
                void* addr = MAP_FAILED;
                if (mapped) {
                    addr = card->Map(size, offset);
                    if (addr == MAP_FAILED) err = -errno;
                }
                if (addr == MAP_FAILED) {
                    card->RemoveFrameBuffer(fbId);
                    card->DestroyDumbBuffer(handle);
                    if (second) {
                        LogWarn(VB_CHANNELOUT, "DRM mmap framebuffer failed (err=%d). Using single page.\n", err);
                        break;
                    }
                    if (mapped) {
                        LogWarn(VB_CHANNELOUT, "DRM mmap framebuffer failed (err=%d)\n", err);
                    } else {
                        LogWarn(VB_CHANNELOUT, "DRM map framebuffer failed (err=%d)\n", err);
                    }
                    WarningHolder::AddWarning("Could not initialize framebuffer for " + connectorName);
                    card->DropMaster();
                    return false;
                }
                m_pages[p] = (uint8_t*)addr;
                m_dumbHandles[p] = handle;
                m_fbIds[p] = fbId;
                m_dumbSizes[p] = size;
                memset(addr, 0, size);
                ++pages;
            }
            card->DropMaster();
            m_numPages = pages;
            m_bpp = 32;
            m_useDRM = true;
            m_lineLength = (int)pitch;
            m_displayHeight = mode.height;
            m_pageSize = m_lineLength * mode.height;
            m_mapSize = m_pageSize * m_numPages;
            m_refresh = mode.refresh;
            m_connectorId = c.id;
            m_crtcId = crtc;
            m_modeIndex = modeIndex;
            m_card = std::move(card);
            return true;
        }
        card->DropMaster();
    }
    return false;
}

bool FrameBuffer::InitializeFrameBuffer() {
    std::string path = getSetting("framebufferControlSocketPath", "/dev") + "/" + m_device;
    std::unique_ptr<FBDevice> dev = m_backend->OpenFBDevice(path);
    if (!dev) {
        LogErr(VB_CHANNELOUT, "Error opening FrameBuffer device: %s\n", path.c_str());
        return false;
    }
    if (dev->GetVarInfo(m_vInfo)) {
        LogErr(VB_CHANNELOUT, "Error getting FrameBuffer info for device: %s\n", path.c_str());
        return false;
    }
    if (m_bpp == -1) {
        m_bpp = (int)m_vInfo.bits_per_pixel;
        if (m_bpp == 32) m_bpp = 24;
    }
    if (m_bpp != 16 && m_bpp != 24) {
        LogErr(VB_CHANNELOUT, "Do not know how to handle %d BPP\n", m_bpp);
        return false;
    }
    m_vInfo.bits_per_pixel = m_bpp;
    if (m_bpp == 16) {
        LogExcess(VB_CHANNELOUT, "Current Bitfield offset info:\n");
        logBitfields(LOG_EXCESS, m_vInfo);
        m_vInfo.red.offset = 11;
        m_vInfo.red.length = 5;
        m_vInfo.green.offset = 5;
        m_vInfo.green.length = 6;
        m_vInfo.blue.offset = 0;
        m_vInfo.blue.length = 5;
        LogExcess(VB_CHANNELOUT, "New Bitfield offset info should be:\n");
        logBitfields(LOG_EXCESS, m_vInfo);
    }
    if (m_width && m_height) {
        m_vInfo.xres = m_width;
        m_vInfo.yres = m_height;
    } else {
        m_width = (int)m_vInfo.xres;
        m_height = (int)m_vInfo.yres;
    }
    m_vInfo.xres_virtual = m_vInfo.xres;
    m_vInfo.yres_virtual = m_vInfo.yres * m_numPages;
    m_vInfo.xoffset = 0;
    m_vInfo.yoffset = 0;
    if (dev->PutVarInfo(m_vInfo)) {
        m_numPages = 1;
        m_vInfo.yres_virtual = m_vInfo.yres;
        if (dev->PutVarInfo(m_vInfo)) {
            LogErr(VB_CHANNELOUT, "Error setting FrameBuffer info\n");
            return false;
        }
        LogWarn(VB_CHANNELOUT,
                "Unable to allocate enough memory for double buffering, using single buffered framebuffer\n");
    }
    // AutoSync presents page 1 first while page 0 is on screen; there is
    // no page 1 when the device could only give one.
    if (m_autoSync && m_numPages == 2) m_curPage = m_drawPage = 1;
    dev->GetVarInfo(m_vInfo);  // what the device really does (its bitfields)
    if (dev->GetFixInfo(m_fInfo)) {
        LogErr(VB_CHANNELOUT, "Error getting fixed FrameBuffer info\n");
        return false;
    }
    if (path == "/dev/fb0") {
        m_consoleFd = m_backend->OpenConsole();
        if (m_consoleFd < 0) {
            LogErr(VB_CHANNELOUT, "Error, unable to open /dev/console\n");
            return false;
        }
        m_backend->SetConsoleGraphics(m_consoleFd, true);
    }
    m_lineLength = (int)m_fInfo.line_length;
    m_displayHeight = (int)m_vInfo.yres;
    m_width = std::min(m_width, (int)m_vInfo.xres);
    m_height = std::min(m_height, (int)m_vInfo.yres);
    m_pageSize = m_lineLength * m_displayHeight;
    m_mapSize = m_pageSize * m_numPages;
    void* addr = dev->Map(m_mapSize);
    if (addr == MAP_FAILED) {
        LogErr(VB_CHANNELOUT, "Error, unable to map framebuffer device %s\n", path.c_str());
        return false;
    }
    m_map = (uint8_t*)addr;
    memset(m_map, 0, m_mapSize);
    m_pages[0] = m_map;
    if (m_numPages == 2) m_pages[1] = m_map + m_pageSize;
    if (m_bpp == 16) {
        LogExcess(VB_CHANNELOUT, "Generating RGB565Map for Bitfield offset info:\n");
        logBitfields(LOG_EXCESS, m_vInfo);
        BuildRGB565Map(m_vInfo);
    }
    m_fbDevice = std::move(dev);
    return true;
}

void FrameBuffer::ReleaseDevice() {
    if (m_card) {
        for (int p = 0; p < 2; ++p) {
            if (m_pages[p]) {
                memset(m_pages[p], 0, m_dumbSizes[p]);
                m_card->Unmap(m_pages[p], m_dumbSizes[p]);
            }
            if (m_fbIds[p]) m_card->RemoveFrameBuffer(m_fbIds[p]);
            if (m_dumbHandles[p]) m_card->DestroyDumbBuffer(m_dumbHandles[p]);
            m_pages[p] = nullptr;
            m_fbIds[p] = m_dumbHandles[p] = 0;
        }
        m_card.reset();
    }
    if (m_fbDevice) {
        if (m_map) m_fbDevice->Unmap(m_map, m_mapSize);
        m_fbDevice.reset();
    }
    if (m_consoleFd >= 0) {
        m_backend->SetConsoleGraphics(m_consoleFd, false);
        m_backend->CloseConsole(m_consoleFd);
        m_consoleFd = -1;
    }
    m_map = nullptr;
    m_pages[0] = m_pages[1] = nullptr;
}

void FrameBuffer::BuildRGB565Map(const fb_var_screeninfo& v) {
    // Each colour index goes into its field with its top bits kept.
    auto place = [](uint32_t index, uint32_t indexBits, const fb_bitfield& f) -> uint32_t {
        uint32_t value = f.length >= indexBits ? index << (f.length - indexBits) : index >> (indexBits - f.length);
        return value << f.offset;
    };
    m_rgb565Map.assign(32 * 64 * 32, 0);
    for (uint32_t r = 0; r < 32; ++r) {
        for (uint32_t g = 0; g < 64; ++g) {
            for (uint32_t b = 0; b < 32; ++b) {
                m_rgb565Map[(r << 11) | (g << 5) | b] =
                    (uint16_t)(place(r, 5, v.red) | place(g, 6, v.green) | place(b, 5, v.blue));
            }
        }
    }
}

uint16_t FrameBuffer::RGB565(uint8_t r, uint8_t g, uint8_t b) const {
    if (m_rgb565Map.empty()) return 0;
    return m_rgb565Map[((r >> 3) << 11) | ((g >> 2) << 5) | (b >> 3)];
}

void FrameBuffer::ConvertPicture(const unsigned char* rgb, uint8_t* target) {
    const int ps = m_pixelSize;
    const size_t rowBytes = (size_t)m_width * (m_bpp / 8);
    const size_t srcRow = (size_t)m_pixelsWide * 3;
    if (m_bpp == 16) {
        // Pixels equal to the last picture keep what they have, as long as
        // that picture went to the same place.
        const bool skip = target == m_lastTarget;
        const uint16_t* map = m_rgb565Map.data();
        for (int y = 0; y < m_pixelsHigh; ++y) {
            uint8_t* row = target + (size_t)y * ps * m_lineLength;
            const uint8_t* s = rgb + y * srcRow;
            const uint8_t* l = m_lastFrame.data() + y * srcRow;
            uint8_t* d = row;
            for (int x = 0; x < m_pixelsWide; ++x, s += 3, l += 3) {
                if (skip && s[0] == l[0] && s[1] == l[1] && s[2] == l[2]) {
                    d += 2 * ps;
                    continue;
                }
                uint16_t v = map[((s[0] >> 3) << 11) | ((s[1] >> 2) << 5) | (s[2] >> 3)];
                for (int k = 0; k < ps; ++k, d += 2) memcpy(d, &v, 2);
            }
            for (int r = 1; r < ps; ++r) memcpy(row + (size_t)r * m_lineLength, row, rowBytes);
        }
        memcpy(m_lastFrame.data(), rgb, m_lastFrame.size());
        m_lastTarget = target;
        return;
    }
    const int step = m_bpp / 8;
    for (int y = 0; y < m_pixelsHigh; ++y) {
        uint8_t* row = target + (size_t)y * ps * m_lineLength;
        const uint8_t* s = rgb + y * srcRow;
        uint8_t* d = row;
        if (step == 4 && ps == 1) {
            // The common case, kept simple enough for the compiler to unroll.
            for (int x = 0; x < m_pixelsWide; ++x, s += 3, d += 4) {
                uint32_t v = (uint32_t)s[2] | ((uint32_t)s[1] << 8) | ((uint32_t)s[0] << 16);
                memcpy(d, &v, 4);
            }
        } else if (step == 3 && ps == 1) {
            for (int x = 0; x < m_pixelsWide; ++x, s += 3, d += 3) {
                d[0] = s[2];
                d[1] = s[1];
                d[2] = s[0];
            }
        } else if (step == 4) {
            for (int x = 0; x < m_pixelsWide; ++x, s += 3) {
                // blue, green, red in the first three bytes
                uint32_t v = (uint32_t)s[2] | ((uint32_t)s[1] << 8) | ((uint32_t)s[0] << 16);
                for (int k = 0; k < ps; ++k, d += 4) memcpy(d, &v, 4);
            }
        } else {
            for (int x = 0; x < m_pixelsWide; ++x, s += 3) {
                for (int k = 0; k < ps; ++k, d += step) {
                    d[0] = s[2];
                    d[1] = s[1];
                    d[2] = s[0];
                }
            }
        }
        for (int r = 1; r < ps; ++r) memcpy(row + (size_t)r * m_lineLength, row, rowBytes);
    }
    m_lastTarget = target;
}

void FrameBuffer::FBCopyData(const unsigned char* rgb, int draw) {
    if (!m_pages[0]) return;
    // Locked also when converting into the staging buffer: a transition
    // may be reading it.
    std::lock_guard<std::mutex> lock(m_bufferLock);
    bool direct = draw && m_pixelSize == 1;
    ConvertPicture(rgb, direct ? m_pages[m_curPage] : m_outputBuffer.data());
    if (draw) {
        // An enlarged picture goes through the staging buffer; it is meant
        // to show now all the same.
        if (!direct) memcpy(m_pages[m_curPage], m_outputBuffer.data(), m_pageSize);
        if (m_card) m_card->ContentChanged();
        if (m_fbDevice) m_fbDevice->ContentChanged();
    } else {
        m_dirty = true;
    }
}

bool FrameBuffer::FBCopyDataToNextPage(const unsigned char* rgb) {
    if (!m_pages[0]) return false;
    std::lock_guard<std::mutex> lock(m_bufferLock);
    if (!m_pageReady || m_numPages < 2) {
        // One page: it is the one on screen.
        ConvertPicture(rgb, m_pages[0]);
        if (m_card) m_card->ContentChanged();
        if (m_fbDevice) m_fbDevice->ContentChanged();
        return true;
    }
    int page = m_drawPage;
    if (m_pageReady[page]) return false;
    ConvertPicture(rgb, m_pages[page]);
    m_pageReady[page] = 1;
    NextPage(true);
    m_drawCondition.notify_all();
    return true;
}

int FrameBuffer::RandomTransition() { return rand_r(&m_randSeed) % IMAGE_TRANSITION_COUNT + 1; }

void FrameBuffer::FBStartDraw(ImageTransitionType t) {
    std::lock_guard<std::mutex> lock(m_bufferLock);
    if (t == IMAGE_TRANSITION_DEFAULT) t = m_transitionType;
    if (t == IMAGE_TRANSITION_RANDOM) t = RandomTransition();
    m_currentTransition = t;
    m_drawRequested = true;
    m_drawCondition.notify_all();
}

bool FrameBuffer::WaitUntilShown(int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_bufferLock);
    return m_idleCondition.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                    [this] { return !m_drawing && !(m_dirty && m_drawRequested); });
}

void FrameBuffer::Clear() {
    std::lock_guard<std::mutex> lock(m_bufferLock);
    if (!m_pages[m_curPage]) return;
    memset(m_pages[m_curPage], 0, m_pageSize);
    if (m_lastTarget == m_pages[m_curPage]) m_lastTarget = nullptr;
}

void FrameBuffer::ClearAllPages() {
    std::lock_guard<std::mutex> lock(m_bufferLock);
    for (int p = 0; p < m_numPages; ++p) {
        if (m_pages[p]) memset(m_pages[p], 0, m_pageSize);
    }
    if (m_lastTarget != m_outputBuffer.data()) m_lastTarget = nullptr;
}

void FrameBuffer::NextPage(bool drawPageToo) {
    if (m_numPages < 2) return;
    if (drawPageToo) {
        m_drawPage = (m_drawPage + 1) % m_numPages;
    } else {
        m_curPage = (m_curPage + 1) % m_numPages;
    }
}

void FrameBuffer::SyncDisplay(bool flip) {
    if (m_device == "x11" || !flip || (!m_card && !m_fbDevice) || m_numPages < 2) return;
    ShowPage(m_curPage, m_firstFlip);
}

void FrameBuffer::ShowPage(int page, bool& firstFlip) {
    if (m_card) {
        m_card->SetMaster();
        int err;
        if (firstFlip) {
            err = m_card->SetCrtc(m_crtcId, m_fbIds[page], m_connectorId, m_modeIndex);
            if (!err) firstFlip = false;
        } else {
            err = m_card->PageFlip(m_crtcId, m_fbIds[page]);
        }
        if (err) LogDebug(VB_CHANNELOUT, "DRM could not show page %d (err=%d)\n", page, err);
        m_card->DropMaster();
    } else if (m_fbDevice) {
        m_vInfo.yoffset = page * m_displayHeight;
        if (m_fbDevice->PanDisplay(m_vInfo)) {
            LogDebug(VB_CHANNELOUT, "Could not pan FrameBuffer %s to page %d: %s\n", m_device.c_str(), page,
                     strerror(errno));
        }
    }
}

void FrameBuffer::Dump() {
    LogDebug(VB_CHANNELOUT, "Device         : %s\n", m_device.c_str());
    LogDebug(VB_CHANNELOUT, "Width          : %d\n", m_width);
    LogDebug(VB_CHANNELOUT, "Height         : %d\n", m_height);
    LogDebug(VB_CHANNELOUT, "PixelSize      : %d\n", m_pixelSize);
    LogDebug(VB_CHANNELOUT, "Pixels Wide    : %d\n", m_pixelsWide);
    LogDebug(VB_CHANNELOUT, "Pixels High    : %d\n", m_pixelsHigh);
    LogDebug(VB_CHANNELOUT, "bpp            : %d\n", m_bpp);
    LogDebug(VB_CHANNELOUT, "Transition Type: %d\n", m_transitionType);
}

void FrameBuffer::DrawLoop() {
    SetThreadName("KIV-FBDrawLoop");
    if (m_autoSync) {
        if (m_device != "x11") SyncLoop();
        return;
    }
    std::unique_lock<std::mutex> lock(m_bufferLock);
    while (m_running) {
        if (m_dirty && m_drawRequested) {
            // Taken before drawing: a picture that arrives meanwhile waits
            // for its own turn instead of being marked as shown.
            m_dirty = false;
            m_drawRequested = false;
            m_drawing = true;
            int t = m_currentTransition;
            if (t == IMAGE_TRANSITION_RANDOM) t = RandomTransition();
            lock.unlock();
            auto start = std::chrono::steady_clock::now();
            DrawTransition(t);
            m_lastDrawUs = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start)
                               .count();
            lock.lock();
            m_drawing = false;
            m_idleCondition.notify_all();
            continue;
        }
        m_drawCondition.wait(lock);
    }
}

void FrameBuffer::SyncLoop() {
    while (m_running) {
        if (m_numPages < 2) {
            std::unique_lock<std::mutex> lock(m_bufferLock);
            m_drawCondition.wait(lock, [this] { return !m_running; });
            return;
        }
        if (m_fbDevice) {
            m_fbDevice->WaitForVSync();
        } else {
            // No vertical sync to wait for on DRM without events: one
            // refresh period, so the loop does not spin.
            usleep(1000000 / std::max(1, m_refresh > 0 ? m_refresh : 60));
        }
        std::lock_guard<std::mutex> lock(m_bufferLock);
        for (int i = 0; i < m_numPages; ++i) {
            int page = (m_curPage + i) % m_numPages;
            if (m_pageReady[page]) {
                ShowPage(page, m_syncFirstFlip);
                m_pageReady[page] = 0;
                m_curPage = (page + 1) % m_numPages;
                break;
            }
        }
    }
}

void FrameBuffer::Pause(int us) {
    if (us <= 0) return;
    if (m_pause) {
        m_pause(us);
    } else {
        usleep(us);
    }
}

void FrameBuffer::Step(int pauseUs) {
    SyncDisplay(false);
    if (m_card) m_card->ContentChanged();
    if (m_fbDevice) m_fbDevice->ContentChanged();
    Pause(pauseUs);
}

void FrameBuffer::DrawSquare(int x, int y, int w, int h, int srcX, int srcY) {
    if (srcX == -1) srcX = x;
    if (srcY == -1) srcY = y;
    if (x < 0) {
        w += x;
        srcX -= x;
        x = 0;
    }
    if (y < 0) {
        h += y;
        srcY -= y;
        y = 0;
    }
    w = std::min(w, std::min(m_width - x, m_width - srcX));
    h = std::min(h, std::min(m_height - y, m_height - srcY));
    if (w <= 0 || h <= 0 || srcX < 0 || srcY < 0) return;
    const int bytes = m_bpp / 8;
    uint8_t* page = m_pages[m_curPage];
    const uint8_t* picture = m_outputBuffer.data();
    for (int i = 0; i < h; ++i) {
        memcpy(page + (size_t)(y + i) * m_lineLength + (size_t)x * bytes,
               picture + (size_t)(srcY + i) * m_lineLength + (size_t)srcX * bytes, (size_t)w * bytes);
    }
}

void FrameBuffer::DrawRows(int y, int count) { DrawSquare(0, y, m_width, count); }

void FrameBuffer::DrawTransition(int t) {
    std::lock_guard<std::mutex> lock(m_bufferLock);
    if (!m_pages[0] || m_width <= 0 || m_height <= 0) return;
    m_lastDrawn = t;
    switch (t) {
    case IMAGE_TRANSITION_SLIDE_UP:
        DrawSlideUp();
        break;
    case IMAGE_TRANSITION_SLIDE_DOWN:
        DrawSlideDown();
        break;
    case IMAGE_TRANSITION_SLIDE_LEFT:
        DrawSlideLeft();
        break;
    case IMAGE_TRANSITION_SLIDE_RIGHT:
        DrawSlideRight();
        break;
    case IMAGE_TRANSITION_WIPE_UP:
        DrawWipeUp();
        break;
    case IMAGE_TRANSITION_WIPE_DOWN:
        DrawWipeDown();
        break;
    case IMAGE_TRANSITION_WIPE_LEFT:
        DrawWipeLeft();
        break;
    case IMAGE_TRANSITION_WIPE_RIGHT:
        DrawWipeRight();
        break;
    case IMAGE_TRANSITION_WIPE_TO_HCENTER:
        DrawWipeToHorizontalCenter();
        break;
    case IMAGE_TRANSITION_WIPE_FROM_HCENTER:
        DrawWipeFromHorizontalCenter();
        break;
    case IMAGE_TRANSITION_HORIZONTAL_BLINDS_OPEN:
        DrawHorizontalBlinds(true);
        break;
    case IMAGE_TRANSITION_HORIZONTAL_BLINDS_CLOSE:
        DrawHorizontalBlinds(false);
        break;
    case IMAGE_TRANSITION_MOSAIC:
        DrawMosaic();
        break;
    default:
        DrawNormal();
        break;
    }
}

void FrameBuffer::DrawNormal() {
    NextPage(false);
    memcpy(m_pages[m_curPage], m_outputBuffer.data(), m_pageSize);
    SyncDisplay(true);
    // With one page nothing flips: the picture simply changed on screen.
    if (m_numPages < 2) Step(0);
}

// Steps that would leave the last rows or columns out (an odd height or
// width) end with one more step that covers them, so every transition
// finishes on the whole picture.

void FrameBuffer::DrawSlideUp() {
    const int H = m_height, W = m_width, s = (H % 4) ? 2 : 4, pause = SLIDE_TIME_US / H;
    for (int c = H - s;; c -= s) {
        if (!m_running) return;
        c = std::max(c, 0);
        DrawSquare(0, c, W, H - c, 0, 0);
        Step(pause);
        if (c == 0) break;
    }
}

void FrameBuffer::DrawSlideDown() {
    const int H = m_height, W = m_width, s = (H % 4) ? 2 : 4, pause = SLIDE_TIME_US / H;
    for (int c = s;; c += s) {
        if (!m_running) return;
        c = std::min(c, H);
        DrawSquare(0, 0, W, c, 0, H - c);
        Step(pause);
        if (c == H) break;
    }
}

void FrameBuffer::DrawSlideLeft() {
    const int H = m_height, W = m_width, pause = SLIDE_TIME_US / W;
    for (int i = W - 2;; i -= 2) {
        if (!m_running) return;
        i = std::max(i, 0);
        DrawSquare(i, 0, W - i, H, 0, 0);
        Step(pause);
        if (i == 0) break;
    }
}

void FrameBuffer::DrawSlideRight() {
    const int H = m_height, W = m_width, pause = SLIDE_TIME_US / W;
    for (int i = 2;; i += 2) {
        if (!m_running) return;
        i = std::min(i, W);
        DrawSquare(0, 0, i, H, W - i, 0);
        Step(pause);
        if (i == W) break;
    }
}

void FrameBuffer::DrawWipeUp() {
    const int H = m_height, s = (H % 4) ? 2 : 4, pause = ((H % 4) ? SLIDE_TIME_US : WIPE_TIME_US) / H;
    for (int y = H - s;; y -= s) {
        if (!m_running) return;
        int top = std::max(y, 0);
        DrawRows(top, y + s - top);
        Step(pause);
        if (top == 0) break;
    }
}

void FrameBuffer::DrawWipeDown() {
    const int H = m_height, s = (H % 4) ? 2 : 4, pause = ((H % 4) ? SLIDE_TIME_US : WIPE_TIME_US) / H;
    for (int y = 0; y < H; y += s) {
        if (!m_running) return;
        DrawRows(y, s);
        Step(pause);
    }
}

void FrameBuffer::DrawWipeLeft() {
    for (int x = m_width - 1; x >= 0; --x) {
        if (!m_running) return;
        DrawSquare(x, 0, 1, m_height);
        Step(0);
    }
}

void FrameBuffer::DrawWipeRight() {
    for (int x = 0; x < m_width; ++x) {
        if (!m_running) return;
        DrawSquare(x, 0, 1, m_height);
        Step(0);
    }
}

void FrameBuffer::DrawWipeToHorizontalCenter() {
    const int H = m_height, s = (H % 4) ? 2 : 4;
    const int pause = 2 * ((H % 4) ? SLIDE_TIME_US : WIPE_TIME_US) / H;
    if (H < 2) {
        DrawRows(0, H);
        Step(pause);
        return;
    }
    for (int d = 0; d < H / 2; d += s) {
        if (!m_running) return;
        DrawRows(d, s);
        DrawRows(H - d - s, s);
        // With an odd height the middle row can fall between the last two
        // bands: it goes with them.
        if ((H % 2) && d + s >= H / 2) DrawRows(H / 2, 1);
        Step(pause);
    }
}

void FrameBuffer::DrawWipeFromHorizontalCenter() {
    const int H = m_height, pause = 2 * SLIDE_TIME_US / H;
    for (int i = H / 2, n = H / 2 - 2; i < H; i += 2, n -= 2) {
        if (!m_running) return;
        DrawRows(i, 2);
        // n reaches -1 when half the height is odd: row 0 is still to draw.
        if (n >= -1) DrawRows(n, 2);
        Step(pause);
    }
    if (H == 1) {
        DrawRows(0, 1);
        Step(pause);
    }
}

void FrameBuffer::DrawHorizontalBlinds(bool open) {
    const int H = m_height;
    for (int k = 0; k < 16; ++k) {
        if (!m_running) return;
        int n = open ? 31 - 2 * k : 2 * k;
        for (int band = 0; band < H; band += BLOCK) {
            // Rows n and n + 1 of the band; for n = 31 the second is the
            // band's own first row, so every band opens completely.
            DrawRows(band + n, 1);
            DrawRows(band + (n + 1) % BLOCK, 1);
        }
        Step(BLINDS_PAUSE_US);
    }
}

void FrameBuffer::DrawMosaic() {
    const int W = m_width, H = m_height;
    const int cols = W / BLOCK + 1, rows = H / BLOCK + 1, count = cols * rows;
    const int pause = MOSAIC_TIME_US / count;
    std::vector<bool> drawn(count, false);
    auto block = [&](int d) {
        DrawSquare((d % cols) * BLOCK, (d / cols) * BLOCK, BLOCK, BLOCK);
        drawn[d] = true;
        Step(pause);
    };
    // With a single block there is nothing to pick from (and no modulo 0).
    if (count > 1) {
        for (int i = 0; i < 10 * count; ++i) {
            if (!m_running) return;
            int d = rand_r(&m_randSeed) % (count - 1);
            if (!drawn[d]) block(d);
        }
    }
    for (int d = 0; d < count; ++d) {
        if (!m_running) return;
        if (!drawn[d]) block(d);
    }
}
