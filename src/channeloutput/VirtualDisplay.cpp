#include "channeloutput/VirtualDisplay.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common.h"
#include "log.h"
#include "settings.h"

VirtualDisplayBaseOutput::VirtualDisplayBaseOutput(unsigned int startChannel, unsigned int channelCount)
    : ChannelOutput(startChannel, channelCount) {}

VirtualDisplayBaseOutput::~VirtualDisplayBaseOutput() {}

int VirtualDisplayBaseOutput::Init(Json::Value config) {
    if (!ChannelOutput::Init(config)) return 0;
    std::string file = DEFAULT_MAP_FILE;
    if (config.isMember("pixelMap")) {
        if (!config["pixelMap"].isString() || config["pixelMap"].asString().empty()) {
            LogErr(VB_CHANNELOUT, "Virtual display: \"pixelMap\" must name a file\n");
            return 0;
        }
        file = config["pixelMap"].asString();
    }
    m_mapPath = file[0] == '/' ? file : getKIVMediaDir("/config/" + file);
    if (!((m_bytesPerPixel == 3 && m_bitsPerPixel == 24) || (m_bytesPerPixel == 4 && m_bitsPerPixel == 32))) {
        LogErr(VB_CHANNELOUT, "Virtual display: unsupported display buffer of %d bytes / %d bits per pixel\n",
               m_bytesPerPixel, m_bitsPerPixel);
        return 0;
    }
    return 1;
}

int VirtualDisplayBaseOutput::Close() { return ChannelOutput::Close(); }

bool VirtualDisplayBaseOutput::MapError(const std::string& why) {
    m_mapError = why;
    m_pixels.clear();
    m_ranges.clear();
    m_virtualDisplay.clear();
    m_width = m_height = m_verticalReference = -1;
    return false;
}

bool VirtualDisplayBaseOutput::InitializePixelMap() {
    if (!FileExists(m_mapPath)) {
        MapError("pixel map " + m_mapPath + " does not exist");
    } else if (LoadPixelMap(GetFileContents(m_mapPath), m_mapPath)) {
        LogInfo(VB_CHANNELOUT, "Virtual display pixel map %s: %d x %d, %d pixels\n", m_mapPath.c_str(), m_width,
                m_height, (int)m_pixels.size());
        return true;
    }
    LogErr(VB_CHANNELOUT, "Virtual display: %s\n", m_mapError.c_str());
    return false;
}

namespace {

// A whole decimal integer, blanks around it allowed.
bool parseInt(const char* s, size_t n, long long& out) {
    while (n && (*s == ' ' || *s == '\t')) ++s, --n;
    while (n && (s[n - 1] == ' ' || s[n - 1] == '\t' || s[n - 1] == '\r')) --n;
    if (!n || n > 18) return false;
    bool neg = false;
    size_t i = 0;
    if (s[0] == '-' || s[0] == '+') {
        neg = s[0] == '-';
        i = 1;
        if (n == 1) return false;
    }
    long long v = 0;
    for (; i < n; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        v = v * 10 + (s[i] - '0');
    }
    out = neg ? -v : v;
    return true;
}

std::string trimmed(const char* s, size_t n) {
    std::string t(s, n);
    TrimWhiteSpace(t);
    return t;
}

bool parseOrder(const std::string& text, int channels, uint8_t& order) {
    static const char* const orders[] = {"RGB", "RBG", "GRB", "GBR", "BRG", "BGR"};
    std::string t = toUpperCopy(text);
    if (channels == 1) {
        static const char* const kinds[] = {"R", "G", "B", "W"};
        static const char* const longKinds[] = {"RED", "GREEN", "BLUE", "WHITE"};
        for (uint8_t k = 0; k < 4; ++k) {
            if (t == kinds[k] || t == longKinds[k]) {
                order = k;
                return true;
            }
        }
        return false;
    }
    if (channels == 4 && t.size() == 4 && t[3] == 'W') t.resize(3);
    for (uint8_t o = 0; o < 6; ++o) {
        if (t == orders[o]) {
            order = o;
            return true;
        }
    }
    return false;
}

bool parseColour(const std::string& text, uint8_t rgb[3]) {
    if (text.size() != 7 || text[0] != '#') return false;
    for (size_t i = 1; i < 7; ++i)
        if (!isxdigit((unsigned char)text[i])) return false;
    unsigned long v = strtoul(text.c_str() + 1, nullptr, 16);
    rgb[0] = (uint8_t)(v >> 16);
    rgb[1] = (uint8_t)(v >> 8);
    rgb[2] = (uint8_t)v;
    return true;
}

}  // namespace

bool VirtualDisplayBaseOutput::LoadPixelMap(const std::string& text, const std::string& name) {
    m_mapError.clear();
    m_pixels.clear();
    long long width = -1, height = -1, reference = -1;
    bool haveReference = false;
    auto fail = [&](int line, const std::string& why) {
        return MapError(name + (line > 0 ? " line " + std::to_string(line) : std::string()) + ": " + why);
    };
    const char* p = text.data();
    const char* end = p + text.size();
    int lineNo = 0;
    while (p < end) {
        const char* eol = (const char*)memchr(p, '\n', end - p);
        if (!eol) eol = end;
        const char* s = p;
        size_t n = eol - p;
        p = eol + 1;
        ++lineNo;
        while (n && (*s == ' ' || *s == '\t')) ++s, --n;
        while (n && (s[n - 1] == ' ' || s[n - 1] == '\t' || s[n - 1] == '\r')) --n;
        if (!n || *s == '#') continue;

        const char* eq = (const char*)memchr(s, '=', n);
        if (eq) {
            std::string key = trimmed(s, eq - s);
            long long v = 0;
            if (!parseInt(eq + 1, s + n - eq - 1, v)) return fail(lineNo, key + " must be a whole number");
            if (key == "width") {
                width = v;
            } else if (key == "height") {
                height = v;
            } else if (key == "verticalReference") {
                reference = v;
                haveReference = true;
            } else {
                return fail(lineNo, "unknown key '" + key + "' (width, height, verticalReference)");
            }
            continue;
        }

        // x, y, channel, channels per pixel, colour order or kind[, fixed colour]
        const char* f[7];
        size_t fl[7];
        int fields = 0;
        const char* q = s;
        const char* qend = s + n;
        while (fields < 7) {
            const char* comma = (const char*)memchr(q, ',', qend - q);
            const char* fe = comma ? comma : qend;
            f[fields] = q;
            fl[fields] = fe - q;
            ++fields;
            if (!comma) break;
            q = comma + 1;
        }
        if (fields < 5 || fields > 6)
            return fail(lineNo, "expected x,y,channel,channels,order[,#RRGGBB] or key = value");
        long long x, y, channel, cpp;
        if (!parseInt(f[0], fl[0], x) || !parseInt(f[1], fl[1], y)) return fail(lineNo, "x and y must be whole numbers");
        if (!parseInt(f[2], fl[2], channel)) return fail(lineNo, "channel must be a whole number");
        if (!parseInt(f[3], fl[3], cpp) || (cpp != 1 && cpp != 3 && cpp != 4))
            return fail(lineNo, "channels per pixel must be 1, 3 or 4");
        VirtualDisplayPixel px;
        std::string order = trimmed(f[4], fl[4]);
        if (!parseOrder(order, (int)cpp, px.order)) {
            return fail(lineNo, "'" + order + "' is not a colour " +
                                    (cpp == 1 ? std::string("kind for 1 channel (R, G, B or W)")
                                              : "order for " + std::to_string(cpp) +
                                                    " channels (RGB, RBG, GRB, GBR, BRG or BGR" +
                                                    (cpp == 4 ? ", optionally followed by W)" : ")")));
        }
        if (fields == 6) {
            std::string colour = trimmed(f[5], fl[5]);
            if (!parseColour(colour, px.fixedColour)) return fail(lineNo, "fixed colour '" + colour + "' is not #RRGGBB");
            px.fixed = true;
        }
        if (x < 0 || y < 0) return fail(lineNo, "x and y must not be negative");
        if (x >= MAX_DIMENSION || y >= MAX_DIMENSION)
            return fail(lineNo, "position " + std::to_string(x) + "," + std::to_string(y) + " is beyond " +
                                    std::to_string(MAX_DIMENSION - 1));
        long long first = channel - 1, last = channel - 1 + cpp - 1;
        if (channel < 1 || first < (long long)m_startChannel ||
            last >= (long long)m_startChannel + (long long)m_channelCount) {
            std::string range = m_channelCount
                                    ? std::to_string(m_startChannel + 1) + "-" +
                                          std::to_string((long long)m_startChannel + m_channelCount)
                                    : std::string("(none)");
            return fail(lineNo, "channels " + std::to_string(channel) + "-" + std::to_string(channel + cpp - 1) +
                                    " are outside this output's channels " + range);
        }
        px.x = (int)x;
        px.y = (int)y;
        px.channel = (unsigned)first;
        px.channelsPerPixel = (uint8_t)cpp;
        px.line = lineNo;
        if ((long long)m_pixels.size() >= MAX_AREA) return fail(lineNo, "more pixels than any display may have");
        m_pixels.push_back(px);
    }

    if (width < 0 || height < 0) return fail(0, "the map needs \"width = N\" and \"height = N\" lines");
    if (width < 1 || width > MAX_DIMENSION || height < 1 || height > MAX_DIMENSION)
        return fail(0, "width and height must be 1-" + std::to_string(MAX_DIMENSION));
    if (width * height > MAX_AREA)
        return fail(0, "width x height (" + std::to_string(width * height) + ") is over " + std::to_string(MAX_AREA));
    if (!haveReference) reference = height - 1;
    if (reference < 0 || reference >= 2 * (long long)MAX_DIMENSION)
        return fail(0, "verticalReference must be 0-" + std::to_string(2 * MAX_DIMENSION - 1));
    if (m_pixels.empty()) return fail(0, "the map has no pixels");

    // Every pixel inside the picture, and each point lit by one pixel only.
    std::vector<uint64_t> keys;
    keys.reserve(m_pixels.size());
    for (size_t i = 0; i < m_pixels.size(); ++i) {
        const VirtualDisplayPixel& px = m_pixels[i];
        long long fy = reference - px.y;
        if (px.x >= width || fy < 0 || fy >= height) {
            return fail(px.line, "position " + std::to_string(px.x) + "," + std::to_string(px.y) +
                                     " is outside the display (width " + std::to_string(width) + ", rows " +
                                     std::to_string(reference - height + 1) + "-" + std::to_string(reference) + ")");
        }
        keys.push_back(((uint64_t)(fy * width + px.x) << 24) | i);
    }
    std::sort(keys.begin(), keys.end());
    for (size_t i = 1; i < keys.size(); ++i) {
        if ((keys[i] >> 24) == (keys[i - 1] >> 24)) {
            const VirtualDisplayPixel& a = m_pixels[keys[i - 1] & 0xFFFFFF];
            const VirtualDisplayPixel& b = m_pixels[keys[i] & 0xFFFFFF];
            return fail(b.line, "pixel " + std::to_string(b.x) + "," + std::to_string(b.y) +
                                    " is already mapped on line " + std::to_string(a.line));
        }
    }

    m_width = (int)width;
    m_height = (int)height;
    m_verticalReference = (int)reference;
    for (auto& px : m_pixels) {
        unsigned int base = (unsigned)((FlippedY(px) * (long long)m_width + px.x) * m_bytesPerPixel);
        px.r = base;
        px.g = base + 1;
        px.b = base + 2;
    }
    m_virtualDisplay.assign((size_t)m_width * m_height * m_bytesPerPixel, 0);

    std::vector<std::pair<int, int>> spans;
    spans.reserve(m_pixels.size());
    for (auto& px : m_pixels)
        if (!px.fixed) spans.push_back({(int)px.channel, (int)(px.channel + px.channelsPerPixel - 1)});
    std::sort(spans.begin(), spans.end());
    m_ranges.clear();
    for (auto& s : spans) {
        if (!m_ranges.empty() && s.first <= m_ranges.back().second + 1) {
            m_ranges.back().second = std::max(m_ranges.back().second, s.second);
        } else {
            m_ranges.push_back(s);
        }
    }
    return true;
}

void VirtualDisplayBaseOutput::GetRequiredChannelRanges(const std::function<void(int, int)>& add) {
    for (auto& r : m_ranges) add(r.first, r.second);
}

void VirtualDisplayBaseOutput::DumpConfig() {
    ChannelOutput::DumpConfig();
    LogDebug(VB_CHANNELOUT, "    Pixel Map        : %s\n", m_mapPath.c_str());
    LogDebug(VB_CHANNELOUT, "    Width x Height   : %d x %d\n", m_width, m_height);
    LogDebug(VB_CHANNELOUT, "    Vertical Ref     : %d\n", m_verticalReference);
    LogDebug(VB_CHANNELOUT, "    Pixels           : %d\n", (int)m_pixels.size());
    LogDebug(VB_CHANNELOUT, "    Channel Ranges   : %d\n", (int)m_ranges.size());
}

void VirtualDisplayBaseOutput::DrawPixels(unsigned char* channelData) {
    if (m_virtualDisplay.empty()) return;
    uint8_t* d = m_virtualDisplay.data();
    for (const auto& px : m_pixels) {
        VirtualDisplayPixelColour(px, channelData, d[px.r], d[px.g], d[px.b]);
    }
}
