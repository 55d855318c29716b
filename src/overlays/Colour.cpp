#include "overlays/Colour.h"
#include "overlays/Names.h"

#include <cctype>
#include <cstdio>

namespace {

struct NamedColour {
    const char* name;
    Colour colour;
};

// What a light shows well; not a web palette ("green" is the full LED).
const NamedColour NAMES[] = {
    {"black", {0, 0, 0}},          {"white", {255, 255, 255}},    {"warm white", {255, 180, 100}},
    {"red", {255, 0, 0}},          {"green", {0, 255, 0}},        {"blue", {0, 0, 255}},
    {"yellow", {255, 255, 0}},     {"cyan", {0, 255, 255}},       {"magenta", {255, 0, 255}},
    {"orange", {255, 128, 0}},     {"purple", {128, 0, 255}},     {"pink", {255, 64, 160}},
    {"amber", {255, 191, 0}},      {"gold", {255, 215, 0}},
};

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = (char)tolower((unsigned char)c);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

bool ParseColour(const std::string& text, Colour& out, std::string& error) {
    if (text.size() == 7 && text[0] == '#') {
        int v[6];
        bool ok = true;
        for (int i = 0; i < 6; ++i) ok = ok && (v[i] = HexDigit(text[i + 1])) >= 0;
        if (ok) {
            out.r = (uint8_t)(v[0] * 16 + v[1]);
            out.g = (uint8_t)(v[2] * 16 + v[3]);
            out.b = (uint8_t)(v[4] * 16 + v[5]);
            return true;
        }
    }
    std::string folded = FoldName(text);
    for (const auto& n : NAMES) {
        if (folded == FoldName(n.name)) {
            out = n.colour;
            return true;
        }
    }
    error = "unknown colour '" + Quoted(text) + "': use #RRGGBB or a colour name (";
    for (size_t i = 0; i < sizeof(NAMES) / sizeof(NAMES[0]); ++i) error += (i ? ", " : "") + std::string(NAMES[i].name);
    error += ")";
    return false;
}

bool ParseColours(const std::string& text, std::vector<Colour>& out, std::string& error) {
    std::vector<Colour> colours;
    size_t start = 0;
    while (true) {
        if (colours.size() == MAX_COLOURS) {
            error = "more than " + std::to_string(MAX_COLOURS) + " colours";
            return false;
        }
        size_t comma = text.find(',', start);
        std::string one = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        while (!one.empty() && one.front() == ' ') one.erase(0, 1);
        while (!one.empty() && one.back() == ' ') one.pop_back();
        Colour c;
        if (!ParseColour(one, c, error)) return false;
        colours.push_back(c);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    out = colours;
    return true;
}

std::string ColourText(const Colour& c) {
    char buf[8];
    snprintf(buf, sizeof(buf), "#%02X%02X%02X", c.r, c.g, c.b);
    return buf;
}

std::vector<std::string> ColourNames() {
    std::vector<std::string> names;
    for (const auto& n : NAMES) names.push_back(n.name);
    return names;
}
