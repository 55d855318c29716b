#include "MemoryDisplay.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <Magick++.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "common.h"
#include "log.h"
#include "settings.h"

namespace {

constexpr int MEMORY_CONSOLE_FD = 1000;        // what OpenConsole hands out
constexpr uint64_t DUMB_OFFSET_STEP = 1ull << 32;  // fake mmap offset of a dumb buffer: handle x step
constexpr uint32_t CONNECTOR_ID_BASE = 100, ENCODER_ID_BASE = 200, CRTC_ID_BASE = 300, FB_ID_BASE = 1000;

struct Registry {
    std::map<std::string, MemoryFBProperties> fbDevices;
    std::vector<MemoryDRMConnector> connectors = {MemoryDRMConnector()};
    int maxDumbBuffers = 8;
    std::map<std::string, std::shared_ptr<MemoryScreen>> screens;
    bool consoleGraphics = false;
};

std::mutex registryLock;  // guards registry()
Registry& registry() {
    static Registry r;
    return r;
}

std::shared_ptr<MemoryScreen> newScreen(const std::string& name, MemoryScreen::Kind kind) {
    auto screen = std::make_shared<MemoryScreen>(name, kind);
    std::lock_guard<std::mutex> lock(registryLock);
    registry().screens[name] = screen;
    return screen;
}

bool defaultFBName(const std::string& name) {
    if (name.size() < 3 || name.size() > 4 || name.compare(0, 2, "fb") != 0) return false;
    return std::all_of(name.begin() + 2, name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

void setTrueColour(fb_var_screeninfo& v) {
    v.red = {16, 8, 0};
    v.green = {8, 8, 0};
    v.blue = {0, 8, 0};
    v.transp = {0, 0, 0};
}

// An n-bit colour value widened to 8 bits.
inline uint8_t widen(uint32_t value, uint32_t bits) {
    if (bits == 0) return 0;
    if (bits >= 8) return (uint8_t)(value >> (bits - 8));
    uint32_t max = (1u << bits) - 1;
    return (uint8_t)((value * 255 + max / 2) / max);
}

class MemoryFBDevice : public FBDevice {
public:
    MemoryFBDevice(const MemoryFBProperties& p, std::shared_ptr<MemoryScreen> screen)
        : m_props(p), m_screen(std::move(screen)) {
        m_var.xres = m_var.xres_virtual = p.width;
        m_var.yres = m_var.yres_virtual = p.height;
        m_var.bits_per_pixel = p.bpp;
        if (p.bpp == 16) {
            m_var.red = p.red16;
            m_var.green = p.green16;
            m_var.blue = p.blue16;
        } else {
            setTrueColour(m_var);
        }
        m_screen->Opened(&m_props);
    }
    ~MemoryFBDevice() override {
        if (m_memory) m_screen->ReleaseBuffer(m_memory);
        m_screen->Closed();
    }

    int GetVarInfo(fb_var_screeninfo& info) override {
        info = m_var;
        return 0;
    }

    int PutVarInfo(fb_var_screeninfo& info) override {
        fb_var_screeninfo v = info;
        int bpp = (int)v.bits_per_pixel;
        if (std::find(m_props.depths.begin(), m_props.depths.end(), bpp) == m_props.depths.end() || v.xres == 0 ||
            v.yres == 0) {
            errno = EINVAL;
            return -1;
        }
        v.xres_virtual = std::max(v.xres_virtual, v.xres);
        v.yres_virtual = std::max(v.yres_virtual, v.yres);
        size_t line = (size_t)v.xres_virtual * (bpp / 8);
        if (line * v.yres_virtual > m_props.memoryBytes || v.yoffset + v.yres > v.yres_virtual) {
            errno = EINVAL;
            return -1;
        }
        if (bpp == 16) {
            bool sane = v.red.length + v.green.length + v.blue.length <= 16 && v.red.length && v.green.length &&
                        v.blue.length;
            if (m_props.fixed16 || !sane) {
                v.red = m_props.red16;
                v.green = m_props.green16;
                v.blue = m_props.blue16;
            }
        } else {
            setTrueColour(v);
        }
        if (m_memory && line * v.yres_virtual > m_memory->bytes.size()) {
            errno = EBUSY;  // the memory in use is too small for the new mode
            return -1;
        }
        m_var = v;
        info = v;
        if (m_memory) m_screen->ShowFB(m_var, (uint32_t)line, m_memory->bytes.data());
        return 0;
    }

    int GetFixInfo(fb_fix_screeninfo& info) override {
        memset(&info, 0, sizeof(info));
        strncpy(info.id, "KIV memory", sizeof(info.id) - 1);
        info.smem_len = (uint32_t)m_props.memoryBytes;
        info.type = FB_TYPE_PACKED_PIXELS;
        info.visual = FB_VISUAL_TRUECOLOR;
        info.line_length = m_var.xres_virtual * (m_var.bits_per_pixel / 8);
        return 0;
    }

    void* Map(size_t size) override {
        if (size == 0 || size > m_props.memoryBytes || m_memory) {
            errno = EINVAL;
            return MAP_FAILED;
        }
        m_memory = m_screen->NewBuffer(size);
        m_memory->mapped = true;
        m_screen->ShowFB(m_var, m_var.xres_virtual * (m_var.bits_per_pixel / 8), m_memory->bytes.data());
        return m_memory->bytes.data();
    }

    void Unmap(void* addr, size_t size) override {
        if (m_memory && addr == m_memory->bytes.data()) {
            m_screen->ReleaseBuffer(m_memory);
            m_memory.reset();
        }
    }

    int PanDisplay(fb_var_screeninfo& info) override {
        if (info.yoffset + m_var.yres > m_var.yres_virtual || info.xoffset + m_var.xres > m_var.xres_virtual) {
            errno = EINVAL;
            return -1;
        }
        m_var.xoffset = info.xoffset;
        m_var.yoffset = info.yoffset;
        if (m_memory) {
            m_screen->ShowFB(m_var, m_var.xres_virtual * (m_var.bits_per_pixel / 8), m_memory->bytes.data());
            m_screen->Panned();
        }
        return 0;
    }

    int WaitForVSync() override {
        std::this_thread::sleep_for(std::chrono::microseconds(1000000 / std::max(1, m_props.refreshHz)));
        m_screen->VSync();
        return 0;
    }

    void ContentChanged() override { m_screen->Step(); }

private:
    MemoryFBProperties m_props;
    std::shared_ptr<MemoryScreen> m_screen;
    fb_var_screeninfo m_var{};
    std::shared_ptr<MemoryScreen::Buffer> m_memory;
};

class MemoryDRMCard : public DRMCard {
public:
    MemoryDRMCard(std::vector<MemoryDRMConnector> connectors, int maxBuffers)
        : m_connectors(std::move(connectors)), m_maxBuffers(maxBuffers), m_crtcSet(m_connectors.size(), false) {}
    ~MemoryDRMCard() override {
        for (auto& b : m_buffers) {
            if (m_owner) m_owner->ReleaseBuffer(b.second);
        }
        for (auto& s : m_screens) s->Closed();
    }

    bool GetConnectors(std::vector<DRMConnectorInfo>& out) override {
        out.clear();
        for (size_t i = 0; i < m_connectors.size(); ++i) {
            DRMConnectorInfo info;
            info.id = CONNECTOR_ID_BASE + (uint32_t)i;
            info.type = m_connectors[i].type;
            info.typeId = m_connectors[i].typeId;
            info.encoderId = m_connectors[i].hasEncoder ? ENCODER_ID_BASE + (uint32_t)i : 0;
            info.modes = m_connectors[i].modes;
            out.push_back(info);
        }
        return true;
    }

    bool GetEncoderCrtc(uint32_t encoderId, uint32_t& crtcId) override {
        size_t i = encoderId - ENCODER_ID_BASE;
        if (encoderId < ENCODER_ID_BASE || i >= m_connectors.size() || !m_connectors[i].hasEncoder) return false;
        crtcId = CRTC_ID_BASE + (uint32_t)i;
        // The user of the card has chosen this connector: its screen opens.
        m_owner = newScreen(DRMConnectorName(m_connectors[i].type, m_connectors[i].typeId), MemoryScreen::DRM);
        m_owner->Opened(nullptr);
        m_screens.push_back(m_owner);
        return true;
    }

    int SetMaster() override { return 0; }
    int DropMaster() override { return 0; }

    int CreateDumbBuffer(uint32_t width, uint32_t height, uint32_t bpp, uint32_t& handle, uint32_t& pitch,
                         uint64_t& size) override {
        if ((int)m_buffers.size() >= m_maxBuffers || !m_owner) return -ENOMEM;
        if (width == 0 || height == 0 || (bpp != 16 && bpp != 32)) return -EINVAL;
        // Scan-out rows are aligned, as real cards do.
        pitch = (width * (bpp / 8) + 63) & ~63u;
        size = (uint64_t)pitch * height;
        auto b = m_owner->NewBuffer(size);
        b->width = width;
        b->height = height;
        b->pitch = pitch;
        b->bpp = bpp;
        handle = b->handle;
        m_buffers[handle] = b;
        return 0;
    }

    int AddFrameBuffer(uint32_t width, uint32_t height, uint8_t depth, uint8_t bpp, uint32_t pitch, uint32_t handle,
                       uint32_t& fbId) override {
        auto it = m_buffers.find(handle);
        if (it == m_buffers.end() || width > it->second->width || height > it->second->height ||
            pitch != it->second->pitch || bpp != it->second->bpp || (bpp == 32 && depth != 24 && depth != 32)) {
            return -EINVAL;
        }
        it->second->fbId = fbId = FB_ID_BASE + handle;
        return 0;
    }

    int MapDumbBuffer(uint32_t handle, uint64_t& offset) override {
        if (!m_buffers.count(handle)) return -ENOENT;
        offset = handle * DUMB_OFFSET_STEP;
        return 0;
    }

    void* Map(uint64_t size, uint64_t offset) override {
        auto it = m_buffers.find((uint32_t)(offset / DUMB_OFFSET_STEP));
        if (offset % DUMB_OFFSET_STEP || it == m_buffers.end() || size > it->second->bytes.size()) {
            errno = EINVAL;
            return MAP_FAILED;
        }
        it->second->mapped = true;
        return it->second->bytes.data();
    }

    void Unmap(void* addr, uint64_t size) override {
        for (auto& b : m_buffers) {
            if (b.second->bytes.data() == addr) b.second->mapped = false;
        }
    }

    int SetCrtc(uint32_t crtcId, uint32_t fbId, uint32_t connectorId, int modeIndex) override {
        size_t i = connectorId - CONNECTOR_ID_BASE;
        if (connectorId < CONNECTOR_ID_BASE || i >= m_connectors.size() || crtcId != CRTC_ID_BASE + i ||
            modeIndex < 0 || modeIndex >= (int)m_connectors[i].modes.size() || !m_owner) {
            return -EINVAL;
        }
        auto b = bufferOf(fbId);
        const DRMModeInfo& mode = m_connectors[i].modes[modeIndex];
        if (!b || b->width < (uint32_t)mode.width || b->height < (uint32_t)mode.height) return -EINVAL;
        m_crtcSet[i] = true;
        m_owner->ShowDRM(b, mode.width, mode.height, true);
        return 0;
    }

    int PageFlip(uint32_t crtcId, uint32_t fbId) override {
        size_t i = crtcId - CRTC_ID_BASE;
        auto b = bufferOf(fbId);
        // A flip needs a CRTC that scans out already, as on a real card.
        if (crtcId < CRTC_ID_BASE || i >= m_crtcSet.size() || !m_crtcSet[i] || !b || !m_owner) return -EINVAL;
        m_owner->ShowDRM(b, -1, -1, false);
        return 0;
    }

    void RemoveFrameBuffer(uint32_t fbId) override {
        auto b = bufferOf(fbId);
        if (b) b->fbId = 0;
    }

    void DestroyDumbBuffer(uint32_t handle) override {
        auto it = m_buffers.find(handle);
        if (it == m_buffers.end()) return;
        if (m_owner) m_owner->ReleaseBuffer(it->second);
        m_buffers.erase(it);
    }

    void ContentChanged() override {
        if (m_owner) m_owner->Step();
    }

private:
    std::shared_ptr<MemoryScreen::Buffer> bufferOf(uint32_t fbId) {
        for (auto& b : m_buffers) {
            if (fbId && b.second->fbId == fbId) return b.second;
        }
        return nullptr;
    }

    std::vector<MemoryDRMConnector> m_connectors;
    int m_maxBuffers;
    std::vector<bool> m_crtcSet;
    std::map<uint32_t, std::shared_ptr<MemoryScreen::Buffer>> m_buffers;  // by handle
    std::shared_ptr<MemoryScreen> m_owner;                               // screen of the chosen connector
    std::vector<std::shared_ptr<MemoryScreen>> m_screens;
};

class MemoryBackend : public DisplayBackend {
public:
    std::string Name() const override { return "memory"; }
    bool DRMAvailable() override { return true; }
    bool CardExists(int digit) override { return digit == 0; }

    std::unique_ptr<DRMCard> OpenCard(int digit, std::string& error) override {
        if (digit != 0) {
            error = "no memory card " + std::to_string(digit);
            return nullptr;
        }
        std::lock_guard<std::mutex> lock(registryLock);
        return std::unique_ptr<DRMCard>(new MemoryDRMCard(registry().connectors, registry().maxDumbBuffers));
    }

    std::unique_ptr<FBDevice> OpenFBDevice(const std::string& path) override {
        std::string name = path.substr(path.find_last_of('/') + 1);
        MemoryFBProperties props;
        {
            std::lock_guard<std::mutex> lock(registryLock);
            auto it = registry().fbDevices.find(name);
            if (it != registry().fbDevices.end()) {
                props = it->second;
            } else if (!defaultFBName(name)) {
                errno = ENOENT;
                return nullptr;
            }
        }
        return std::unique_ptr<FBDevice>(new MemoryFBDevice(props, newScreen(name, MemoryScreen::FRAME_BUFFER)));
    }

    int OpenConsole() override { return MEMORY_CONSOLE_FD; }
    bool SetConsoleGraphics(int consoleFd, bool graphics) override {
        if (consoleFd != MEMORY_CONSOLE_FD) return false;
        std::lock_guard<std::mutex> lock(registryLock);
        registry().consoleGraphics = graphics;
        return true;
    }
    void CloseConsole(int consoleFd) override {}
};

}  // namespace

MemoryScreen::MemoryScreen(const std::string& name, Kind kind) : m_name(name), m_kind(kind) {}

bool MemoryScreen::IsOpen() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_open;
}

int MemoryScreen::Width() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_showing ? m_visibleWidth : 0;
}

int MemoryScreen::Height() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_showing ? m_visibleHeight : 0;
}

int MemoryScreen::BitsPerPixel() const {
    std::lock_guard<std::mutex> lock(m_lock);
    if (!m_showing) return 0;
    return m_kind == DRM ? (int)m_visible->bpp : (int)m_var.bits_per_pixel;
}

int MemoryScreen::VisiblePage() const {
    std::lock_guard<std::mutex> lock(m_lock);
    if (!m_showing) return -1;
    if (m_kind == FRAME_BUFFER) return m_var.yres ? (int)(m_var.yoffset / m_var.yres) : 0;
    for (size_t i = 0; i < m_buffers.size(); ++i) {
        if (m_buffers[i] == m_visible) return (int)i;
    }
    return -1;
}

int MemoryScreen::PageChanges() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_pageChanges;
}

int MemoryScreen::CrtcSetups() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_crtcSetups;
}

int MemoryScreen::Steps() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_steps;
}

int MemoryScreen::VSyncWaits() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_vsyncs;
}

int MemoryScreen::SnapshotsWritten() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_snapshots;
}

int MemoryScreen::LiveBuffers() const {
    std::lock_guard<std::mutex> lock(m_lock);
    int n = 0;
    for (auto& b : m_buffers) n += b->alive ? 1 : 0;
    return n;
}

bool MemoryScreen::WaitForPageChanges(int n, int timeoutMs) const {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_pageChanges >= n; });
}

void MemoryScreen::Opened(const MemoryFBProperties*) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_open = true;
}

void MemoryScreen::Closed() {
    std::lock_guard<std::mutex> lock(m_lock);
    m_open = false;
}

std::shared_ptr<MemoryScreen::Buffer> MemoryScreen::NewBuffer(size_t bytes) {
    auto b = std::make_shared<Buffer>();
    b->bytes.assign(bytes, 0);
    std::lock_guard<std::mutex> lock(m_lock);
    b->handle = m_nextHandle++;
    m_buffers.push_back(b);
    return b;
}

void MemoryScreen::ReleaseBuffer(const std::shared_ptr<Buffer>& b) {
    std::lock_guard<std::mutex> lock(m_lock);
    // The bytes stay (m_buffers holds them): what was on screen remains
    // readable after the device let go.
    b->alive = false;
    b->mapped = false;
}

void MemoryScreen::ShowFB(const fb_var_screeninfo& var, uint32_t lineLength, uint8_t* memory) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_var = var;
    m_lineLength = lineLength;
    m_fbMemory = memory;
    m_visibleWidth = var.xres;
    m_visibleHeight = var.yres;
    m_showing = true;
}

void MemoryScreen::Panned() {
    std::lock_guard<std::mutex> lock(m_lock);
    ++m_pageChanges;
    SnapshotLocked();
    m_changed.notify_all();
}

void MemoryScreen::ShowDRM(const std::shared_ptr<Buffer>& buffer, int modeWidth, int modeHeight, bool crtcSetup) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_visible = buffer;
    if (modeWidth > 0) {
        m_visibleWidth = modeWidth;
        m_visibleHeight = modeHeight;
    }
    m_showing = true;
    ++m_pageChanges;
    if (crtcSetup) ++m_crtcSetups;
    SnapshotLocked();
    m_changed.notify_all();
}

void MemoryScreen::Step() {
    std::lock_guard<std::mutex> lock(m_lock);
    ++m_steps;
    SnapshotLocked();
}

void MemoryScreen::VSync() {
    std::lock_guard<std::mutex> lock(m_lock);
    ++m_vsyncs;
}

std::vector<uint8_t> MemoryScreen::VisibleBytesLocked() const {
    std::vector<uint8_t> out;
    if (!m_showing) return out;
    if (m_kind == FRAME_BUFFER) {
        if (!m_fbMemory) return out;
        size_t bpp = m_var.bits_per_pixel / 8;
        size_t row = (size_t)m_var.xres * bpp;
        out.resize(row * m_var.yres);
        for (uint32_t y = 0; y < m_var.yres; ++y) {
            memcpy(&out[y * row], m_fbMemory + (size_t)(m_var.yoffset + y) * m_lineLength + m_var.xoffset * bpp, row);
        }
    } else {
        if (!m_visible) return out;
        size_t row = (size_t)m_visibleWidth * (m_visible->bpp / 8);
        out.resize(row * m_visibleHeight);
        for (int y = 0; y < m_visibleHeight; ++y) {
            memcpy(&out[y * row], m_visible->bytes.data() + (size_t)y * m_visible->pitch, row);
        }
    }
    return out;
}

std::vector<uint8_t> MemoryScreen::ToRGBLocked(const std::vector<uint8_t>& bytes) const {
    int bpp = m_kind == DRM ? (int)m_visible->bpp : (int)m_var.bits_per_pixel;
    size_t pixels = (size_t)m_visibleWidth * m_visibleHeight;
    std::vector<uint8_t> rgb(pixels * 3);
    if (bpp == 16) {
        for (size_t i = 0; i < pixels; ++i) {
            uint32_t v = bytes[i * 2] | (bytes[i * 2 + 1] << 8);
            auto field = [v](const fb_bitfield& f) { return widen((v >> f.offset) & ((1u << f.length) - 1), f.length); };
            rgb[i * 3] = field(m_var.red);
            rgb[i * 3 + 1] = field(m_var.green);
            rgb[i * 3 + 2] = field(m_var.blue);
        }
    } else {
        size_t step = bpp / 8;
        for (size_t i = 0; i < pixels; ++i) {
            rgb[i * 3] = bytes[i * step + 2];
            rgb[i * 3 + 1] = bytes[i * step + 1];
            rgb[i * 3 + 2] = bytes[i * step];
        }
    }
    return rgb;
}

bool MemoryScreen::Scribble(size_t offset, uint8_t value) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (!m_showing) return false;
    uint8_t* base;
    size_t row, pitch, bpp;
    if (m_kind == FRAME_BUFFER) {
        if (!m_fbMemory) return false;
        bpp = m_var.bits_per_pixel / 8;
        row = (size_t)m_var.xres * bpp;
        pitch = m_lineLength;
        base = m_fbMemory + (size_t)m_var.yoffset * pitch + m_var.xoffset * bpp;
    } else {
        if (!m_visible) return false;
        row = (size_t)m_visibleWidth * (m_visible->bpp / 8);
        pitch = m_visible->pitch;
        base = m_visible->bytes.data();
    }
    if (row == 0 || offset / row >= (size_t)m_visibleHeight) return false;
    base[(offset / row) * pitch + offset % row] = value;
    return true;
}

std::vector<uint8_t> MemoryScreen::VisibleBytes() const {
    std::lock_guard<std::mutex> lock(m_lock);
    return VisibleBytesLocked();
}

std::vector<uint8_t> MemoryScreen::VisibleRGB() const {
    std::lock_guard<std::mutex> lock(m_lock);
    std::vector<uint8_t> bytes = VisibleBytesLocked();
    if (bytes.empty()) return bytes;
    return ToRGBLocked(bytes);
}

void MemoryScreen::SnapshotLocked() {
    std::string dir = MemoryDisplay::SnapshotDir();
    if (dir.empty() || !m_showing) return;
    static std::once_flag magickReady;
    std::call_once(magickReady, [] { Magick::InitializeMagick(nullptr); });
    if (!DirectoryExists(dir)) mkdir(dir.c_str(), 0775);
    std::vector<uint8_t> rgb = ToRGBLocked(VisibleBytesLocked());
    char file[64];
    snprintf(file, sizeof(file), "-%06d.png", m_snapshots + 1);
    std::string path = dir + "/" + m_name + file;
    try {
        Magick::Image image(m_visibleWidth, m_visibleHeight, "RGB", Magick::CharPixel, rgb.data());
        image.quality(10);  // fastest zlib level, no row filter: one file per drawing step
        image.write("png:" + path);
        ++m_snapshots;
    } catch (std::exception& e) {
        LogWarn(VB_CHANNELOUT, "Could not write display snapshot %s: %s\n", path.c_str(), e.what());
    }
}

namespace MemoryDisplay {

DisplayBackend& Backend() {
    static MemoryBackend backend;
    return backend;
}

void SetFBDevice(const std::string& name, const MemoryFBProperties& properties) {
    std::lock_guard<std::mutex> lock(registryLock);
    registry().fbDevices[name] = properties;
}

void SetDRMConnectors(const std::vector<MemoryDRMConnector>& connectors, int maxDumbBuffers) {
    std::lock_guard<std::mutex> lock(registryLock);
    registry().connectors = connectors;
    registry().maxDumbBuffers = maxDumbBuffers;
}

void Reset() {
    std::lock_guard<std::mutex> lock(registryLock);
    registry() = Registry();
}

std::shared_ptr<MemoryScreen> Screen(const std::string& name) {
    std::lock_guard<std::mutex> lock(registryLock);
    auto it = registry().screens.find(name);
    return it == registry().screens.end() ? nullptr : it->second;
}

bool ConsoleInGraphicsMode() {
    std::lock_guard<std::mutex> lock(registryLock);
    return registry().consoleGraphics;
}

std::string SnapshotDir() {
    const char* env = getenv("KIV_DISPLAY_SNAPSHOTS");
    if (env && env[0]) return env;
    return getSetting("DisplaySnapshotDir", "");
}

}  // namespace MemoryDisplay
