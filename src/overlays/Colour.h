#pragma once
// Colours as the drawing commands take them: "#RRGGBB" or a name of a small
// table ("red", "warm white", ...). One parser for every command that draws
// on an overlay model, so they all accept and refuse the same texts.

#include <cstdint>
#include <string>
#include <vector>

struct Colour {
    uint8_t r = 0, g = 0, b = 0;
    bool operator==(const Colour& o) const { return r == o.r && g == o.g && b == o.b; }
};

// "#RRGGBB" (either case) or a colour name (case, spaces and hyphens do not
// matter); false with a one-line `error` naming the text.
bool ParseColour(const std::string& text, Colour& out, std::string& error);
// One or more colours (at most MAX_COLOURS) separated by commas.
constexpr size_t MAX_COLOURS = 64;
bool ParseColours(const std::string& text, std::vector<Colour>& out, std::string& error);
// "#RRGGBB".
std::string ColourText(const Colour& c);
// The names ParseColour knows, as they are written in the docs.
std::vector<std::string> ColourNames();
