#pragma once
// Fixtures for the local display and still images: the memory display
// backend switched on for a scope, test pictures, a check that a memory
// screen shows a picture byte for byte in its pixel format, and image files
// made and read back with GraphicsMagick.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <json/json.h>

class MemoryScreen;

namespace kivtest {

// KIV_DISPLAY_BACKEND=memory while it lives; the memory devices are back
// to their defaults before and after.
class MemoryDisplayScope {
public:
    MemoryDisplayScope();
    ~MemoryDisplayScope();

private:
    std::string m_old;
    bool m_had = false;
};

// A w x h RGB picture, the same for the same seed; neighbouring pixels differ.
std::vector<uint8_t> TestPicture(int w, int h, uint32_t seed);
// A w x h RGB picture of one colour.
std::vector<uint8_t> SolidPicture(int w, int h, uint8_t r, uint8_t g, uint8_t b);

// The standard 16-bit layout: red 11/5, green 5/6, blue 0/5.
uint16_t Standard565(uint8_t r, uint8_t g, uint8_t b);

// Whether the top-left pixelsWide * pixelSize x pixelsHigh * pixelSize
// device pixels of what `screen` shows are `rgb` enlarged by pixelSize, in
// the screen's pixel format (32: B G R 0; 24: B G R; 16: to565). `why`
// names the first pixel that differs.
bool ScreenShows(const MemoryScreen& screen, const std::vector<uint8_t>& rgb, int pixelsWide, int pixelsHigh,
                 int pixelSize, std::string* why = nullptr,
                 const std::function<uint16_t(uint8_t, uint8_t, uint8_t)>& to565 = Standard565);

// A JSON document from text (a failed test when it does not parse).
Json::Value JsonDoc(const std::string& text);
// The names of the files in `dir` ending in `suffix`, sorted.
std::vector<std::string> FilesIn(const std::string& dir, const std::string& suffix);

// GraphicsMagick, started once per process as the daemon starts it.
void InitImageLibrary();
// Writes rgb (w x h) as an image file; the format follows the extension.
bool WriteImage(const std::string& path, int w, int h, const std::vector<uint8_t>& rgb, int quality = 0);
// A black RGB PNG of any size, written row by row without ever holding
// the picture (a small file that unpacks to w x h pixels).
bool WriteBlackPng(const std::string& path, int w, int h);
// Reads an image file as RGB; empty on failure.
std::vector<uint8_t> ReadImageRGB(const std::string& path, int* w = nullptr, int* h = nullptr);

}  // namespace kivtest
