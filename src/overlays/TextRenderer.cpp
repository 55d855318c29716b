#include "overlays/TextRenderer.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <set>

#include <ft2build.h>
#include FT_FREETYPE_H

#include "common.h"
#include "overlays/Names.h"
#include "settings.h"

namespace {

// Font folders nest a few levels (truetype/dejavu/); deeper is not a font
// package's layout, and a loop of links must end somewhere.
constexpr int MAX_FONT_DIR_DEPTH = 4;
// A rendered line may not take more memory than this.
constexpr size_t MAX_TEXT_BITMAP_BYTES = 32u << 20;
constexpr uint32_t REPLACEMENT_CHARACTER = 0xFFFD;

bool IsFontFile(const std::string& file, std::string& stem) {
    size_t dot = file.rfind('.');
    if (dot == std::string::npos || dot == 0) return false;
    std::string ext = toLowerCopy(file.substr(dot));
    if (ext != ".ttf" && ext != ".otf" && ext != ".ttc") return false;
    stem = file.substr(0, dot);
    return true;
}

// Calls fn(stem, path) for every font file under dir.
template <typename F>
void ForEachFont(const std::string& dir, int depth, F&& fn) {
    DIR* d = opendir(dir.c_str());
    if (!d) return;
    std::vector<std::string> subdirs;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::string path = dir + "/" + e->d_name;
        struct stat st;
        if (stat(path.c_str(), &st) != 0) continue;
        std::string stem;
        if (S_ISDIR(st.st_mode)) {
            subdirs.push_back(path);
        } else if (S_ISREG(st.st_mode) && IsFontFile(e->d_name, stem)) {
            fn(stem, path);
        }
    }
    closedir(d);
    std::sort(subdirs.begin(), subdirs.end());
    if (depth < MAX_FONT_DIR_DEPTH) {
        for (auto& s : subdirs) ForEachFont(s, depth + 1, fn);
    }
}

// Code points of UTF-8 text; a byte that starts no valid sequence stands
// for itself as U+FFFD, so bad input still shows where it is.
std::vector<uint32_t> DecodeUtf8(const std::string& text) {
    std::vector<uint32_t> out;
    const unsigned char* p = (const unsigned char*)text.data();
    size_t n = text.size(), i = 0;
    while (i < n) {
        unsigned c = p[i];
        int extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
        uint32_t cp = extra == 0 ? c : extra == 1 ? (c & 0x1F) : extra == 2 ? (c & 0x0F) : (c & 0x07);
        bool ok = extra >= 0 && i + (size_t)extra < n;
        for (int k = 1; ok && k <= extra; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) ok = false;
            cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        static const uint32_t minimum[] = {0, 0x80, 0x800, 0x10000};
        // Over-long forms and surrogates are not characters.
        if (ok && (cp < minimum[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) ok = false;
        if (!ok) {
            out.push_back(REPLACEMENT_CHARACTER);
            ++i;
            continue;
        }
        // One line: a control character takes a space.
        out.push_back(cp < 0x20 || cp == 0x7F ? ' ' : cp);
        i += extra + 1;
    }
    return out;
}

// Owns the FreeType library and face of one rendering.
class Face {
public:
    explicit Face(const std::string& path) {
        if (FT_Init_FreeType(&m_lib) != 0) {
            m_lib = nullptr;
            return;
        }
        if (FT_New_Face(m_lib, path.c_str(), 0, &m_face) != 0) m_face = nullptr;
    }
    ~Face() {
        if (m_face) FT_Done_Face(m_face);
        if (m_lib) FT_Done_FreeType(m_lib);
    }
    FT_Face get() const { return m_face; }
    // The line at `size` pixels per em: ascent and descent in whole pixels.
    bool setSize(int size, int& ascent, int& descent) {
        if (!m_face || FT_Set_Pixel_Sizes(m_face, 0, (FT_UInt)size) != 0) return false;
        ascent = (int)((m_face->size->metrics.ascender + 63) >> 6);
        descent = (int)((-m_face->size->metrics.descender + 63) >> 6);
        return true;
    }

private:
    FT_Library m_lib = nullptr;
    FT_Face m_face = nullptr;
};

}  // namespace

std::vector<std::string> FontDirectories() {
    return {getKIVMediaDir("/fonts"), "/usr/local/share/fonts", "/usr/share/fonts"};
}

bool FindFont(const std::string& name, std::string& path, std::string& error) {
    std::string wanted = FoldName(name);
    std::string stem;
    if (IsFontFile(name, stem)) wanted = FoldName(stem);
    std::string found;
    if (!wanted.empty() && name.find('/') == std::string::npos) {
        for (auto& dir : FontDirectories()) {
            ForEachFont(dir, 0, [&](const std::string& s, const std::string& p) {
                if (found.empty() && FoldName(s) == wanted) found = p;
            });
            if (!found.empty()) break;
        }
    }
    if (found.empty()) {
        auto dirs = FontDirectories();
        error = "unknown font '" + Quoted(name, 64) + "': no font file of that name in ";
        for (size_t i = 0; i < dirs.size(); ++i) error += (i ? ", " : "") + dirs[i];
        auto names = FontNames();
        if (names.empty()) {
            error += " (none there; install a font package such as fonts-dejavu-core)";
        } else {
            error += " (found: ";
            for (size_t i = 0; i < names.size() && i < 8; ++i) error += (i ? ", " : "") + names[i];
            error += names.size() > 8 ? ", ... " + std::to_string(names.size()) + " in all)" : ")";
        }
        return false;
    }
    path = found;
    return true;
}

std::vector<std::string> FontNames() {
    std::set<std::string> names;
    for (auto& dir : FontDirectories()) {
        ForEachFont(dir, 0, [&](const std::string& s, const std::string&) { names.insert(s); });
    }
    return std::vector<std::string>(names.begin(), names.end());
}

int FittingFontSize(const std::string& fontPath, int height) {
    Face face(fontPath);
    int ascent = 0, descent = 0;
    if (!face.get()) return 0;
    int size = std::min(std::max(height, MIN_FONT_SIZE), MAX_FONT_SIZE);
    for (; size > MIN_FONT_SIZE; --size) {
        if (face.setSize(size, ascent, descent) && ascent + descent <= height) break;
    }
    return size;
}

bool RenderText(const std::string& fontPath, int size, const std::string& text, TextBitmap& out, std::string& error) {
    std::vector<uint32_t> chars = DecodeUtf8(text);
    if (chars.size() > (size_t)MAX_TEXT_CHARACTERS) {
        error = "the text has " + std::to_string(chars.size()) + " characters, more than " +
                std::to_string(MAX_TEXT_CHARACTERS);
        return false;
    }
    if (size < MIN_FONT_SIZE || size > MAX_FONT_SIZE) {
        error = "font size " + std::to_string(size) + " is outside " + std::to_string(MIN_FONT_SIZE) + " to " +
                std::to_string(MAX_FONT_SIZE);
        return false;
    }
    Face face(fontPath);
    int ascent = 0, descent = 0;
    if (!face.get() || !face.setSize(size, ascent, descent)) {
        error = "font file " + fontPath + " could not be read";
        return false;
    }
    FT_Face f = face.get();

    // Each glyph is rendered once and kept until the line's box is known.
    struct Glyph {
        int x, y, w, h;  // top-left relative to the pen origin on the baseline
        std::vector<uint8_t> bits;
    };
    std::vector<Glyph> glyphs;
    long pen = 0;  // 26.6
    int minX = 0, maxX = 0;
    FT_UInt previous = 0;
    for (uint32_t cp : chars) {
        FT_UInt index = FT_Get_Char_Index(f, cp);
        if (previous && index && FT_HAS_KERNING(f)) {
            FT_Vector kern;
            if (FT_Get_Kerning(f, previous, index, FT_KERNING_DEFAULT, &kern) == 0) pen += kern.x;
        }
        previous = index;
        if (FT_Load_Glyph(f, index, FT_LOAD_DEFAULT) != 0 || FT_Render_Glyph(f->glyph, FT_RENDER_MODE_NORMAL) != 0) {
            continue;
        }
        const FT_Bitmap& bm = f->glyph->bitmap;
        Glyph g;
        g.x = (int)((pen + 32) >> 6) + f->glyph->bitmap_left;
        g.y = ascent - f->glyph->bitmap_top;
        g.w = (int)bm.width;
        g.h = (int)bm.rows;
        if (bm.pixel_mode == FT_PIXEL_MODE_GRAY && g.w > 0 && g.h > 0) {
            g.bits.resize((size_t)g.w * g.h);
            for (int r = 0; r < g.h; ++r) memcpy(&g.bits[(size_t)r * g.w], bm.buffer + (long)r * bm.pitch, g.w);
            minX = std::min(minX, g.x);
            maxX = std::max(maxX, g.x + g.w);
            glyphs.push_back(std::move(g));
        }
        pen += f->glyph->advance.x;
        maxX = std::max(maxX, (int)((pen + 32) >> 6));
    }

    TextBitmap bitmap;
    bitmap.width = maxX - minX;
    bitmap.height = ascent + descent;
    bitmap.baseline = ascent;
    if ((size_t)bitmap.width * bitmap.height > MAX_TEXT_BITMAP_BYTES) {
        error = "the text is too long to render at size " + std::to_string(size);
        return false;
    }
    bitmap.coverage.assign((size_t)bitmap.width * bitmap.height, 0);
    for (auto& g : glyphs) {
        for (int r = 0; r < g.h; ++r) {
            int y = g.y + r;
            if (y < 0 || y >= bitmap.height) continue;
            uint8_t* row = &bitmap.coverage[(size_t)y * bitmap.width];
            for (int c = 0; c < g.w; ++c) {
                uint8_t v = g.bits[(size_t)r * g.w + c];
                uint8_t& px = row[g.x - minX + c];
                // Neighbouring glyphs may touch: the stronger coverage wins.
                if (v > px) px = v;
            }
        }
    }
    out = std::move(bitmap);
    return true;
}
