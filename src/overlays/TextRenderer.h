#pragma once
// Text for the overlay models: fonts found by name in the font folders (the
// system's font packages, such as fonts-dejavu-core, and <media>/fonts),
// and a line of text rendered once by FreeType into a coverage bitmap that
// the text drawing colours and copies at any offset, frame after frame.

#include <cstdint>
#include <string>
#include <vector>

// One line of text: its box is the advance width of the text (wider where a
// glyph reaches out of it) by the font's ascent plus descent, rounded up to
// whole pixels; the baseline lies `baseline` rows below its top.
struct TextBitmap {
    int width = 0;
    int height = 0;
    int baseline = 0;
    std::vector<uint8_t> coverage;  // width x height, row by row; 255: fully covered
};

constexpr const char* DEFAULT_FONT = "DejaVu Sans";
constexpr int MAX_TEXT_CHARACTERS = 1000;
constexpr int MIN_FONT_SIZE = 4;
constexpr int MAX_FONT_SIZE = 256;

// Where fonts are looked for, in this order: <media>/fonts,
// /usr/local/share/fonts, /usr/share/fonts (with their sub-folders).
std::vector<std::string> FontDirectories();
// A font file (.ttf, .otf, .ttc) for a name: its file name without the
// extension, with case, spaces, hyphens and underscores not counting
// ("DejaVu Sans Bold" is DejaVuSans-Bold.ttf). False with a one-line
// `error` that says where fonts were looked for.
bool FindFont(const std::string& name, std::string& path, std::string& error);
// The names of every font found, sorted.
std::vector<std::string> FontNames();

// The largest size (pixels per em) whose line fits `height` pixels, at least
// MIN_FONT_SIZE; 0 when the font cannot be read.
int FittingFontSize(const std::string& fontPath, int height);
// Renders `text` (UTF-8, one line, at most MAX_TEXT_CHARACTERS characters)
// at `size` pixels per em; false with a one-line `error`.
bool RenderText(const std::string& fontPath, int size, const std::string& text, TextBitmap& out, std::string& error);
