#include "DisplayTestSupport.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <Magick++.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <sstream>

#include "MemoryDisplay.h"
#include "common.h"

namespace kivtest {

MemoryDisplayScope::MemoryDisplayScope() {
    const char* old = getenv("KIV_DISPLAY_BACKEND");
    m_had = old != nullptr;
    if (old) m_old = old;
    setenv("KIV_DISPLAY_BACKEND", "memory", 1);
    MemoryDisplay::Reset();
}

MemoryDisplayScope::~MemoryDisplayScope() {
    MemoryDisplay::Reset();
    if (m_had) setenv("KIV_DISPLAY_BACKEND", m_old.c_str(), 1);
    else unsetenv("KIV_DISPLAY_BACKEND");
}

std::vector<uint8_t> TestPicture(int w, int h, uint32_t seed) {
    std::vector<uint8_t> rgb((size_t)w * h * 3);
    uint32_t x = seed * 2654435761u + 12345;
    for (auto& b : rgb) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = (uint8_t)(x >> 8);
    }
    return rgb;
}

std::vector<uint8_t> SolidPicture(int w, int h, uint8_t r, uint8_t g, uint8_t b) {
    std::vector<uint8_t> rgb((size_t)w * h * 3);
    for (size_t i = 0; i < rgb.size(); i += 3) {
        rgb[i] = r;
        rgb[i + 1] = g;
        rgb[i + 2] = b;
    }
    return rgb;
}

uint16_t Standard565(uint8_t r, uint8_t g, uint8_t b) { return (uint16_t)(((r >> 3) << 11) | ((g >> 2) << 5) | (b >> 3)); }

bool ScreenShows(const MemoryScreen& screen, const std::vector<uint8_t>& rgb, int pixelsWide, int pixelsHigh,
                 int pixelSize, std::string* why, const std::function<uint16_t(uint8_t, uint8_t, uint8_t)>& to565) {
    auto fail = [why](const std::string& text) {
        if (why) *why = text;
        return false;
    };
    std::vector<uint8_t> bytes = screen.VisibleBytes();
    int bpp = screen.BitsPerPixel();
    int sw = screen.Width(), sh = screen.Height();
    int w = pixelsWide * pixelSize, h = pixelsHigh * pixelSize;
    if (bytes.empty()) return fail("nothing is on screen");
    if (w > sw || h > sh) return fail("the screen is smaller than the picture");
    size_t step = bpp / 8;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const uint8_t* p = &rgb[((size_t)(y / pixelSize) * pixelsWide + x / pixelSize) * 3];
            const uint8_t* d = &bytes[((size_t)y * sw + x) * step];
            bool same;
            if (bpp == 16) {
                uint16_t v = (uint16_t)(d[0] | (d[1] << 8));
                same = v == to565(p[0], p[1], p[2]);
            } else {
                same = d[0] == p[2] && d[1] == p[1] && d[2] == p[0] && (bpp == 24 || d[3] == 0);
            }
            if (!same) {
                std::ostringstream o;
                o << "device pixel (" << x << ", " << y << ") of " << sw << "x" << sh << " at " << bpp
                  << " bpp differs from picture pixel (" << x / pixelSize << ", " << y / pixelSize << ") = "
                  << (int)p[0] << "," << (int)p[1] << "," << (int)p[2];
                return fail(o.str());
            }
        }
    }
    return true;
}

Json::Value JsonDoc(const std::string& text) {
    Json::Value v;
    EXPECT_TRUE(LoadJsonFromString(text, v)) << text;
    return v;
}

std::vector<std::string> FilesIn(const std::string& dir, const std::string& suffix) {
    std::vector<std::string> files;
    DIR* d = opendir(dir.c_str());
    if (!d) return files;
    while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n.size() > suffix.size() && n.compare(n.size() - suffix.size(), suffix.size(), suffix) == 0) {
            files.push_back(n);
        }
    }
    closedir(d);
    std::sort(files.begin(), files.end());
    return files;
}

void InitImageLibrary() {
    static std::once_flag once;
    std::call_once(once, [] {
        MagickLib::InitializeMagickEx(nullptr, MAGICK_OPT_NO_SIGNAL_HANDER, nullptr);
        Magick::InitializeMagick(nullptr);
    });
}

bool WriteBlackPng(const std::string& path, int w, int h) {
    auto be32 = [](std::string& s, uint32_t v) {
        for (int i = 3; i >= 0; --i) s += (char)(v >> (8 * i));
    };
    auto chunk = [&](std::string& out, const char* type, const std::string& data) {
        be32(out, (uint32_t)data.size());
        std::string body = std::string(type, 4) + data;
        out += body;
        be32(out, (uint32_t)crc32(0, (const Bytef*)body.data(), (uInt)body.size()));
    };
    std::string header;
    be32(header, (uint32_t)w);
    be32(header, (uint32_t)h);
    header += std::string("\x08\x02\x00\x00\x00", 5);  // 8 bits, RGB, deflate, no filter, no interlace
    std::string png = "\x89PNG\r\n\x1a\n";
    chunk(png, "IHDR", header);
    z_stream z = {};
    deflateInit(&z, 9);
    std::vector<uint8_t> row((size_t)w * 3 + 1, 0), out(1 << 16);
    std::string idat;
    for (int y = 0; y <= h; ++y) {
        z.next_in = row.data();
        z.avail_in = y < h ? (uInt)row.size() : 0;
        do {
            z.next_out = out.data();
            z.avail_out = (uInt)out.size();
            deflate(&z, y < h ? Z_NO_FLUSH : Z_FINISH);
            idat.append((const char*)out.data(), out.size() - z.avail_out);
        } while (z.avail_out == 0);
    }
    deflateEnd(&z);
    chunk(png, "IDAT", idat);
    chunk(png, "IEND", "");
    return PutFileContents(path, png);
}

bool WriteImage(const std::string& path, int w, int h, const std::vector<uint8_t>& rgb, int quality) {
    InitImageLibrary();
    try {
        Magick::Image image(w, h, "RGB", Magick::CharPixel, rgb.data());
        if (quality) image.quality(quality);
        image.write(path);
        return true;
    } catch (std::exception&) {
        return false;
    }
}

std::vector<uint8_t> ReadImageRGB(const std::string& path, int* w, int* h) {
    InitImageLibrary();
    std::vector<uint8_t> rgb;
    try {
        Magick::Image image;
        image.read(path);
        rgb.resize((size_t)image.columns() * image.rows() * 3);
        image.write(0, 0, image.columns(), image.rows(), "RGB", Magick::CharPixel, rgb.data());
        if (w) *w = (int)image.columns();
        if (h) *h = (int)image.rows();
    } catch (std::exception&) {
        rgb.clear();
    }
    return rgb;
}

}  // namespace kivtest
