#include "playlist/PlaylistEntryImage.h"

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <Magick++.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <set>

#include "Warnings.h"
#include "common.h"
#include "log.h"
#include "services/PixelOverlay.h"
#include "settings.h"

namespace {

std::mutex liveLock;  // guards liveEntries() and shutDown
// Never destroyed: entries held by the player may go after the other
// statics, at exit.
std::set<PlaylistEntryImage*>& liveEntries() {
    static auto* entries = new std::set<PlaylistEntryImage*>();
    return *entries;
}
// The daemon is shutting down: the overlay models are gone.
bool shutDown = false;

std::string baseName(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A decoded image takes 8 bytes per pixel in GraphicsMagick's 16-bit
// build: a PNG of a few hundred kB can unpack to hundreds of MiB, which ends
// the show on a small board. Larger images are refused before decoding.
constexpr int DEFAULT_MAX_PIXELS = 4096 * 4096;  // 128 MiB decoded
constexpr int DEFAULT_MAX_DIMENSION = 16384;
constexpr int TOO_LARGE_WARNING_SECONDS = 600;

struct ImageLimits {
    long long pixels, dimension;
};

// From the settings; every decoder of the library is held to them as well,
// whatever a file's header claims.
ImageLimits imageLimits() {
    ImageLimits l{getSettingInt("ImageMaxPixels", DEFAULT_MAX_PIXELS),
                  getSettingInt("ImageMaxDimension", DEFAULT_MAX_DIMENSION)};
    if (l.pixels <= 0) l.pixels = DEFAULT_MAX_PIXELS;
    if (l.dimension <= 0) l.dimension = DEFAULT_MAX_DIMENSION;
    MagickLib::SetMagickResourceLimit(MagickLib::PixelsResource, l.pixels);
    MagickLib::SetMagickResourceLimit(MagickLib::WidthResource, l.dimension);
    MagickLib::SetMagickResourceLimit(MagickLib::HeightResource, l.dimension);
    return l;
}

// Reads only the header: empty when the image is within the limits, else
// why it is not shown.
std::string tooLarge(const std::string& file, const ImageLimits& l) {
    std::string limits = "ImageMaxPixels (" + std::to_string(l.pixels) + ") or ImageMaxDimension (" +
                         std::to_string(l.dimension) + ") allow";
    Magick::Image probe;
    probe.quiet(true);
    try {
        probe.ping(file);
    } catch (Magick::Exception& e) {
        // Decoders that check the limits on the header already refuse here
        // ("Number of pixels exceeds resource limit", "width or height
        // exceeds limit"); other errors are the reader's to report.
        std::string what = e.what();
        if (contains(what, "exceeds") && contains(what, "limit")) return "larger than " + limits;
        throw;
    }
    long long w = probe.columns(), h = probe.rows();
    if (w <= l.dimension && h <= l.dimension && w * h <= l.pixels) return "";
    return std::to_string(w) + " x " + std::to_string(h) + " pixels, more than " + limits;
}

bool olderThan(const struct stat& a, const struct stat& b) {
    if (a.st_mtim.tv_sec != b.st_mtim.tv_sec) return a.st_mtim.tv_sec < b.st_mtim.tv_sec;
    return a.st_mtim.tv_nsec < b.st_mtim.tv_nsec;
}

}  // namespace

PlaylistEntryImage::PlaylistEntryImage(Playlist* playlist, PlaylistEntryBase* parent)
    : PlaylistEntryBase(playlist, parent) {
    LogDebug(VB_PLAYLIST, "PlaylistEntryImage::PlaylistEntryImage()\n");
    m_type = "image";
    m_cacheFolder = getKIVMediaDir("/cache");
    m_seed = (unsigned int)((uintptr_t)this + (uintptr_t)time(nullptr));
}

PlaylistEntryImage::~PlaylistEntryImage() {
    StopPreparing();
    bool modelsGone;
    {
        std::lock_guard<std::mutex> lock(liveLock);
        liveEntries().erase(this);
        modelsGone = shutDown;
    }
    if (m_stateSaved && !modelsGone) {
        PixelOverlayModel* model = PixelOverlayManager::INSTANCE.getModel(m_modelName);
        if (model) {
            model->clear();
            model->setState(m_savedModelState);
        }
    }
}

void PlaylistEntryImage::StopAllPreparation() {
    std::lock_guard<std::mutex> lock(liveLock);
    shutDown = true;
    for (auto* e : liveEntries()) e->StopPreparing();
}

void PlaylistEntryImage::StopPreparing() {
    std::lock_guard<std::mutex> stop(m_stopLock);
    {
        std::lock_guard<std::mutex> lock(m_imageMutex);
        m_keepPreparing = false;
    }
    m_imageReady.notify_all();
    if (m_prepareThread.joinable()) m_prepareThread.join();
}

bool PlaylistEntryImage::Init(Json::Value& config) {
    LogDebug(VB_PLAYLIST, "PlaylistEntryImage::Init()\n");
    StopPreparing();
    m_modelName = config["modelName"].isString() ? config["modelName"].asString() : "";
    if (m_modelName.empty()) {
        LogErr(VB_PLAYLIST, "Empty Pixel Overlay Model name\n");
        return false;
    }
    m_overlay = PixelOverlayManager::INSTANCE.getModel(m_modelName);
    if (!m_overlay) {
        LogErr(VB_PLAYLIST, "Invalid Pixel Overlay Model: '%s'\n", m_modelName.c_str());
        return false;
    }
    m_modelWidth = m_overlay->getWidth();
    m_modelHeight = m_overlay->getHeight();
    if (!m_stateSaved) {
        m_savedModelState = (unsigned char)m_overlay->getState();
        m_stateSaved = true;
    }
    if (m_overlay->getState() == PixelOverlayModel::STATE_DISABLED) {
        m_overlay->setState(PixelOverlayModel::STATE_ENABLED);
    }

    if (!config["imagePath"].isString()) {
        LogErr(VB_PLAYLIST, "Missing imagePath\n");
        return false;
    }
    m_imagePath = config["imagePath"].asString();
    m_imageFile = startsWith(m_imagePath, "/") ? m_imagePath : getKIVMediaDir("/images") + "/" + m_imagePath;

    SetFileList();
    m_imageBytes = m_modelWidth * m_modelHeight * 3;
    m_imageData.reset(new unsigned char[m_imageBytes]());
    m_hasImage = false;
    m_drawn = false;
    m_nothingToShow = false;
    m_prepRequested = true;
    m_keepPreparing = true;
    m_prepareThread = std::thread(&PlaylistEntryImage::PrepLoop, this);
    {
        std::lock_guard<std::mutex> lock(liveLock);
        liveEntries().insert(this);
    }
    return PlaylistEntryBase::Init(config);
}

std::string PlaylistEntryImage::FindMissingFile() {
    struct stat st;
    if (stat(m_imageFile.c_str(), &st) == 0 && (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode))) return "";
    return m_imageFile;
}

void PlaylistEntryImage::SetFileList() {
    LogDebug(VB_PLAYLIST, "PlaylistEntryImage::SetFileList()\n");
    m_fileList.clear();
    std::error_code ec;
    if (std::filesystem::is_regular_file(m_imageFile, ec)) {
        m_fileList.push_back(m_imageFile);
    } else if (std::filesystem::is_directory(m_imageFile, ec)) {
        for (auto it = std::filesystem::recursive_directory_iterator(
                 m_imageFile, std::filesystem::directory_options::skip_permission_denied, ec);
             !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
            if (it->is_regular_file(ec)) m_fileList.push_back(it->path().string());
        }
        std::sort(m_fileList.begin(), m_fileList.end());
        LogDebug(VB_PLAYLIST, "%d images in directory\n", (int)m_fileList.size());
    }
}

std::string PlaylistEntryImage::GetNextFile() {
    std::lock_guard<std::mutex> lock(m_listLock);
    if (m_fileList.empty()) SetFileList();
    if (m_fileList.empty()) {
        LogWarn(VB_PLAYLIST, "No files found in GetNextFile()\n");
        return "";
    }
    size_t i = (size_t)rand_r(&m_seed) % m_fileList.size();
    std::string file = m_fileList[i];
    m_fileList.erase(m_fileList.begin() + i);
    LogDebug(VB_PLAYLIST, "GetNextFile() = %s\n", file.c_str());
    return file;
}

std::string PlaylistEntryImage::CacheFileName(const std::string& file) const {
    return m_cacheFolder + "/pei-" + baseName(file) + ".png";
}

void PlaylistEntryImage::PrepLoop() {
    SetThreadName("KIV-ImageLoop");
    std::unique_lock<std::mutex> lock(m_imageMutex);
    while (m_keepPreparing) {
        if (!m_hasImage && m_prepRequested) {
            m_prepRequested = false;
            lock.unlock();
            PrepImage();
            lock.lock();
            m_imagePrepared.notify_all();
            continue;
        }
        m_imageReady.wait(lock);
    }
}

bool PlaylistEntryImage::WaitForPreparedImage(int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_imageMutex);
    return m_imagePrepared.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                    [this] { return m_hasImage || m_nothingToShow; });
}

void PlaylistEntryImage::PrepImage() {
    std::string file = GetNextFile();
    if (file.empty()) {
        m_nothingToShow = true;
        return;
    }
    m_nothingToShow = false;
    if (file == m_shownFile) {
        // The buffer holds this image already.
        m_hasImage = true;
        return;
    }

    std::unique_lock<std::mutex> lock(m_imageMutex);
    m_shownFile = file;
    memset(m_imageData.get(), 0, m_imageBytes);
    try {
        Magick::Image image;
        image.quiet(true);
        if (!GetImageFromCache(file, image)) {
            std::string refused = tooLarge(file, imageLimits());
            if (!refused.empty()) {
                // Shown black, as an unreadable image; the playlist goes on.
                LogErr(VB_PLAYLIST, "Image %s not shown: %s\n", file.c_str(), refused.c_str());
                WarningHolder::AddWarningTimeout("Image " + baseName(file) + " is too large to show: " + refused,
                                                 TOO_LARGE_WARNING_SECONDS);
                lock.unlock();
                m_hasImage = true;
                return;
            }
            // Only the first picture of a file that holds several (an
            // animation): the limits hold for each picture.
            image.subRange(1);
            image.read(file);
        }
        const unsigned int w = m_modelWidth, h = m_modelHeight;
        if (image.columns() != w && image.rows() != h) {
            image.resize(Magick::Geometry(w + 2, h + 2));
            image.borderColor(Magick::Color(0, 0, 0));
            // "<=": an image exactly as wide (or high) as the model needs
            // the border too, or the crop from (1, 1) comes out one short.
            if (image.columns() <= w) {
                image.border(Magick::Geometry(((w - image.columns()) / 2) + 1, 1));
            } else if (image.rows() <= h) {
                image.border(Magick::Geometry(1, ((h - image.rows()) / 2) + 1));
            }
            image.crop(Magick::Geometry(w, h, 1, 1));
            image.page(Magick::Geometry(0, 0, 0, 0));
            image.type(Magick::TrueColorType);
            CacheImage(file, image);
        }
        image.type(Magick::TrueColorType);
        CopyPixels(image);
    } catch (std::exception& e) {
        LogErr(VB_PLAYLIST, "GraphicsMagick exception reading %s: %s\n", file.c_str(), e.what());
    }
    lock.unlock();
    m_hasImage = true;
}

void PlaylistEntryImage::CopyPixels(Magick::Image& image) {
    const unsigned int w = m_modelWidth, h = m_modelHeight;
    unsigned int cols = std::min((unsigned int)image.columns(), w);
    unsigned int rows = std::min((unsigned int)image.rows(), h);
    if (cols == 0 || rows == 0) return;
    if (cols == w) {
        image.write(0, 0, cols, rows, "RGB", Magick::CharPixel, m_imageData.get());
        return;
    }
    // Narrower than the model: row by row into the model's rows.
    std::vector<unsigned char> part((size_t)cols * rows * 3);
    image.write(0, 0, cols, rows, "RGB", Magick::CharPixel, part.data());
    for (unsigned int y = 0; y < rows; ++y) {
        memcpy(m_imageData.get() + (size_t)y * w * 3, part.data() + (size_t)y * cols * 3, (size_t)cols * 3);
    }
}

bool PlaylistEntryImage::GetImageFromCache(const std::string& file, Magick::Image& image) {
    std::string cacheFile = CacheFileName(file);
    struct stat cached, source;
    if (stat(cacheFile.c_str(), &cached) || stat(file.c_str(), &source) || olderThan(cached, source)) return false;
    try {
        image.read(cacheFile);
    } catch (std::exception& e) {
        LogErr(VB_PLAYLIST, "GraphicsMagick exception reading %s: %s\n", cacheFile.c_str(), e.what());
        return false;
    }
    // The cache is named by base name only: the same name in another folder,
    // or the image scaled for a model of another size, is not this one.
    if (image.comment() != file || image.columns() != (unsigned)m_modelWidth ||
        image.rows() != (unsigned)m_modelHeight) {
        LogDebug(VB_PLAYLIST, "Cached %s is not %s at %dx%d; scaling again\n", cacheFile.c_str(), file.c_str(),
                 m_modelWidth, m_modelHeight);
        return false;
    }
    LogDebug(VB_PLAYLIST, "Using cached image %s for %s\n", cacheFile.c_str(), file.c_str());
    return true;
}

void PlaylistEntryImage::CacheImage(const std::string& file, Magick::Image& image) {
    std::string cacheFile = CacheFileName(file);
    if (!DirectoryExists(m_cacheFolder)) mkdir(m_cacheFolder.c_str(), 0775);
    // Written aside and renamed, so a reader never meets half a file.
    std::string part = cacheFile + ".part-" + std::to_string(getpid()) + "-" + std::to_string(syscall(SYS_gettid));
    try {
        image.comment(file);
        image.write("png:" + part);
        if (rename(part.c_str(), cacheFile.c_str())) {
            LogErr(VB_PLAYLIST, "Could not write image cache file %s: %s\n", cacheFile.c_str(), strerror(errno));
            unlink(part.c_str());
        }
    } catch (std::exception& e) {
        // The image is scaled in memory all the same: it is shown, only the
        // next load will scale it again.
        LogErr(VB_PLAYLIST, "Could not write image cache file %s: %s\n", cacheFile.c_str(), e.what());
        unlink(part.c_str());
    }
}

bool PlaylistEntryImage::Draw() {
    {
        std::lock_guard<std::mutex> lock(m_imageMutex);
        PixelOverlayModel* model = PixelOverlayManager::INSTANCE.getModel(m_modelName);
        if (!model) {
            LogErr(VB_PLAYLIST, "Invalid Pixel Overlay Model: '%s'\n", m_modelName.c_str());
            return false;
        }
        model->setData(m_imageData.get());
        // Flags change under the lock, so the preparation thread cannot
        // miss the wake-up for the next image.
        m_drawn = true;
        m_hasImage = false;
        m_prepRequested = true;
    }
    m_imageReady.notify_all();
    return true;
}

int PlaylistEntryImage::StartPlaying() {
    if (!CanPlay()) {
        FinishPlay();
        return 0;
    }
    if (m_hasImage) {
        Draw();
    } else {
        {
            std::lock_guard<std::mutex> lock(m_imageMutex);
            m_prepRequested = true;
            m_nothingToShow = false;
        }
        m_imageReady.notify_all();
    }
    return PlaylistEntryBase::StartPlaying();
}

int PlaylistEntryImage::Process() {
    if (m_hasImage && !m_drawn) {
        if (!Draw()) FinishPlay();
    }
    if (m_drawn) {
        FinishPlay();
    } else if (m_nothingToShow && !m_hasImage) {
        // No file to show (an empty folder): the playlist goes on.
        FinishPlay();
    }
    return PlaylistEntryBase::Process();
}

int PlaylistEntryImage::Stop() {
    FinishPlay();
    return PlaylistEntryBase::Stop();
}

void PlaylistEntryImage::Dump() {
    PlaylistEntryBase::Dump();
    LogDebug(VB_PLAYLIST, "Image Path     : %s\n", m_imagePath.c_str());
    LogDebug(VB_PLAYLIST, "Image Full Path: %s\n", m_imageFile.c_str());
    LogDebug(VB_PLAYLIST, "Model Name     : %s\n", m_modelName.c_str());
}

Json::Value PlaylistEntryImage::GetConfig() {
    Json::Value v = PlaylistEntryBase::GetConfig();
    v["imagePath"] = m_imagePath;
    v["modelName"] = m_modelName;
    std::lock_guard<std::mutex> lock(m_imageMutex);
    v["imageFilename"] = baseName(m_shownFile);
    return v;
}
