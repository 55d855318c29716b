#pragma once
// The playlist entry that shows a still image on a pixel overlay model: one
// image file, or the next of a folder's images at random (each shown once
// before any repeats). Images are read, scaled and letter-boxed to the
// model's size with GraphicsMagick on the entry's own "KIV-ImageLoop"
// thread, one image ahead, and kept scaled in <media>/cache/pei-<name>.png
// for later plays. Drawing is instant: the entry finishes as soon as the
// image is on the model. Created by the Playlist for "type": "image" and
// driven on the player's thread.

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "playlist/PlaylistEntryBase.h"

namespace Magick {
class Image;
}
class PixelOverlayModel;

class PlaylistEntryImage : public PlaylistEntryBase {
public:
    PlaylistEntryImage(Playlist* playlist, PlaylistEntryBase* parent = nullptr);
    virtual ~PlaylistEntryImage();

    bool Init(Json::Value& config) override;
    std::string ReadConfig(Json::Value& config) override;
    int StartPlaying() override;
    int Process() override;
    int Stop() override;
    void Dump() override;
    Json::Value GetConfig() override;
    std::string FindMissingFile() override;

    // Stops the preparation thread of every entry; the daemon calls it at
    // shut-down, after the overlay models went and before the image library
    // goes. Entries destroyed afterwards leave the models alone.
    static void StopAllPreparation();

    // The next file to show, at random among those not shown since the
    // list was last built ("" when there is none).
    std::string GetNextFile();
    // <cache folder>/pei-<base name>.png
    std::string CacheFileName(const std::string& file) const;
    const std::string& GetImageFile() const { return m_imageFile; }
    // Whether an image waits to be drawn; tests and benchmarks wait for it.
    bool HasPreparedImage() const { return m_hasImage; }
    bool WaitForPreparedImage(int timeoutMs);

private:
    void SetFileList();
    void PrepLoop();
    void PrepImage();
    bool GetImageFromCache(const std::string& file, Magick::Image& image);
    void CacheImage(const std::string& file, Magick::Image& image);
    // Copies the image into m_imageData: the model-sized part from the top
    // left, black where the image is smaller. Caller holds m_imageMutex.
    void CopyPixels(Magick::Image& image);
    bool Draw();
    void StopPreparing();

    std::string m_imagePath;
    std::string m_imageFile;
    std::string m_shownFile;  // written by the preparation thread under m_imageMutex
    std::string m_cacheFolder;
    std::vector<std::string> m_fileList;
    std::mutex m_listLock;  // guards m_fileList and m_seed
    int m_modelWidth = 0;
    int m_modelHeight = 0;
    std::string m_modelName;
    PixelOverlayModel* m_overlay = nullptr;  // not owned
    unsigned char m_savedModelState = 0;
    bool m_stateSaved = false;
    unsigned int m_seed;
    std::unique_ptr<unsigned char[]> m_imageData;
    int m_imageBytes = 0;
    std::atomic<bool> m_keepPreparing{false};
    std::atomic<bool> m_hasImage{false};
    std::atomic<bool> m_drawn{false};
    // Set when the preparation found no file: the entry finishes instead of
    // waiting for an image that cannot come.
    std::atomic<bool> m_nothingToShow{false};
    bool m_prepRequested = false;  // the thread has work; under m_imageMutex
    std::thread m_prepareThread;
    std::mutex m_stopLock;  // one stop (join) at a time
    // Guards m_imageData, m_shownFile and m_prepRequested; held by the
    // preparation thread while it fills the buffer.
    std::mutex m_imageMutex;
    std::condition_variable m_imageReady;     // wakes the preparation thread
    std::condition_variable m_imagePrepared;  // an image was prepared (or none could be)
};
