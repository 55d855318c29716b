#include "overlays/ModelEffects.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>

#include "overlays/Colour.h"
#include "overlays/Names.h"
#include "overlays/TextRenderer.h"

namespace {

// ---- parameters ------------------------------------------------------------

enum class Kind { COLOUR, COLOURS, NUMBER, CHOICE, TEXT, FONT, POSITION };

struct ParamSpec {
    const char* key;
    Kind kind;
    const char* def;  // null: the parameter must be given
    double min = 0, max = 0;
    const char* unit = "";
    std::vector<const char*> choices = {};
};

// Positions are kept within this distance of a model; anything beyond shows
// nothing anyway.
constexpr int MAX_POSITION = 100000;
constexpr double MAX_SPEED = 1000;  // pixels per second

// A parameter set after checking: each value both as the effect uses it and
// as text for the report.
struct Values {
    std::map<std::string, double> numbers;
    std::map<std::string, std::vector<Colour>> colours;
    std::map<std::string, std::string> texts;  // choices, texts, font paths
    int x = 0, y = 0;
    bool centred = true;
    Json::Value report;

    Colour colour(const std::string& k) const { return colours.at(k).front(); }
    double number(const std::string& k) const { return numbers.at(k); }
    const std::string& text(const std::string& k) const { return texts.at(k); }
};

std::string Trimmed(const std::string& text) {
    size_t a = text.find_first_not_of(' '), b = text.find_last_not_of(' ');
    return a == std::string::npos ? "" : text.substr(a, b - a + 1);
}

std::string NumberText(double v) {
    char buf[32];
    snprintf(buf, sizeof(buf), "%g", v);
    return buf;
}

bool ParseNumber(const std::string& text, double& out) {
    if (text.empty() || text.size() > 32) return false;
    char* end = nullptr;
    double v = strtod(text.c_str(), &end);
    if (*end || !std::isfinite(v)) return false;
    out = v;
    return true;
}

bool ParseValue(const ParamSpec& spec, const std::string& value, Values& v, std::string& error) {
    std::string key = spec.key;
    switch (spec.kind) {
    case Kind::COLOUR:
    case Kind::COLOURS: {
        std::vector<Colour> list;
        std::string why;
        bool ok = spec.kind == Kind::COLOURS ? ParseColours(value, list, why) : ParseColour(value, list.emplace_back(), why);
        if (!ok) {
            error = key + ": " + why;
            return false;
        }
        v.colours[key] = list;
        if (spec.kind == Kind::COLOUR) {
            v.report[key] = ColourText(list[0]);
        } else {
            v.report[key] = Json::Value(Json::arrayValue);
            for (auto& c : list) v.report[key].append(ColourText(c));
        }
        return true;
    }
    case Kind::NUMBER: {
        double n = 0;
        if (!ParseNumber(value, n) || n < spec.min || n > spec.max) {
            error = key + " must be a number from " + NumberText(spec.min) + " to " + NumberText(spec.max) +
                    (*spec.unit ? std::string(" (") + spec.unit + ")" : "") + ", found '" + Quoted(value) + "'";
            return false;
        }
        v.numbers[key] = n;
        v.report[key] = n;
        return true;
    }
    case Kind::CHOICE: {
        for (const char* c : spec.choices) {
            if (FoldName(value) == FoldName(c)) {
                v.texts[key] = c;
                v.report[key] = c;
                return true;
            }
        }
        error = key + " must be ";
        for (size_t i = 0; i < spec.choices.size(); ++i) {
            error += std::string(i == 0 ? "" : i + 1 == spec.choices.size() ? " or " : ", ") + spec.choices[i];
        }
        error += ", found '" + Quoted(value) + "'";
        return false;
    }
    case Kind::TEXT:
        v.texts[key] = value;
        v.report[key] = value;
        return true;
    case Kind::FONT: {
        std::string path, why;
        if (!FindFont(value, path, why)) {
            error = why;
            return false;
        }
        v.texts[key] = path;
        v.report[key] = value;
        return true;
    }
    case Kind::POSITION: {
        std::string f = FoldName(value);
        if (f == "center" || f == "centre") {
            v.centred = true;
            v.report[key] = "Center";
            return true;
        }
        size_t comma = value.find(',');
        double x = 0, y = 0;
        if (comma == std::string::npos || !ParseNumber(Trimmed(value.substr(0, comma)), x) ||
            !ParseNumber(Trimmed(value.substr(comma + 1)), y) || x != std::floor(x) || y != std::floor(y) ||
            std::fabs(x) > MAX_POSITION || std::fabs(y) > MAX_POSITION) {
            error = key + " must be Center or X,Y (whole pixels from the top-left corner), found '" + Quoted(value) + "'";
            return false;
        }
        v.centred = false;
        v.x = (int)x;
        v.y = (int)y;
        v.report[key] = std::to_string(v.x) + "," + std::to_string(v.y);
        return true;
    }
    }
    return false;
}

// Floor modulo: where a pattern of `period` pixels is at coordinate c.
inline long long Wrap(long long c, long long period) {
    long long m = c % period;
    return m < 0 ? m + period : m;
}

// Whole pixels moved after elapsedUs at `speed` pixels per second.
inline long long Moved(double speed, long long elapsedUs) { return (long long)std::floor(speed * elapsedUs / 1e6); }

inline uint8_t Mix(uint8_t a, uint8_t b, unsigned weight) {  // weight 0..255 of b
    return (uint8_t)((a * (255 - weight) + b * weight + 127) / 255);
}

void FillRgb(uint8_t* out, size_t pixels, const Colour& c) {
    for (size_t i = 0; i < pixels; ++i, out += 3) {
        out[0] = c.r;
        out[1] = c.g;
        out[2] = c.b;
    }
}

// Lines of one colour: colour[i] for column i (vertical) or row i.
void FillLines(uint8_t* out, int width, int height, bool columns, const std::vector<Colour>& colour) {
    if (columns) {
        for (int x = 0; x < width; ++x) {
            out[x * 3] = colour[x].r;
            out[x * 3 + 1] = colour[x].g;
            out[x * 3 + 2] = colour[x].b;
        }
        for (int y = 1; y < height; ++y) memcpy(out + (size_t)y * width * 3, out, (size_t)width * 3);
    } else {
        for (int y = 0; y < height; ++y) FillRgb(out + (size_t)y * width * 3, width, colour[y]);
    }
}

Colour Hue(double h) {  // h in [0, 1): full saturation and value
    double s = h * 6;
    int sector = (int)s % 6;
    double f = s - std::floor(s);
    uint8_t up = (uint8_t)std::lround(255 * f), down = (uint8_t)std::lround(255 * (1 - f));
    switch (sector) {
    case 0: return {255, up, 0};
    case 1: return {down, 255, 0};
    case 2: return {0, 255, up};
    case 3: return {0, down, 255};
    case 4: return {up, 0, 255};
    default: return {255, 0, down};
    }
}

// A well-mixed 32-bit hash, for twinkles that look random but are a pure
// function of pixel and time.
inline uint32_t Hash(uint32_t a, uint32_t b) {
    uint64_t z = ((uint64_t)a << 32 | b) + 0x9E3779B97F4A7C15ULL;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return (uint32_t)((z ^ (z >> 31)) >> 32);
}

// ---- the effects -----------------------------------------------------------

class ColourWash : public ModelEffect {
public:
    ColourWash(int w, int h, const Values& v)
        : ModelEffect("Colour Wash", w, h), m_colours(v.colours.at("colours")),
          m_stepUs((long long)std::llround(v.number("seconds") * 1e6)) {}
    bool moves() const override { return m_colours.size() > 1; }
    void draw(uint8_t* out, const uint8_t*, long long elapsedUs) override {
        size_t n = m_colours.size();
        long long step = elapsedUs / m_stepUs;
        unsigned weight = (unsigned)((elapsedUs % m_stepUs) * 255 / m_stepUs);
        const Colour& a = m_colours[step % n];
        const Colour& b = m_colours[(step + 1) % n];
        FillRgb(out, (size_t)m_width * m_height, {Mix(a.r, b.r, weight), Mix(a.g, b.g, weight), Mix(a.b, b.b, weight)});
    }

private:
    std::vector<Colour> m_colours;
    long long m_stepUs;
};

class Chase : public ModelEffect {
public:
    Chase(int w, int h, const Values& v)
        : ModelEffect("Chase", w, h), m_colour(v.colour("colour")), m_background(v.colour("background")),
          m_size((long long)v.number("size")), m_period(m_size + (long long)v.number("gap")),
          m_speed(v.number("speed")), m_forward(v.text("direction") == "Forward") {}
    void draw(uint8_t* out, const uint8_t*, long long elapsedUs) override {
        long long moved = Moved(m_speed, elapsedUs);
        long long shift = m_forward ? -moved : moved;
        size_t pixels = (size_t)m_width * m_height;
        for (size_t p = 0; p < pixels; ++p, out += 3) {
            const Colour& c = Wrap((long long)p + shift, m_period) < m_size ? m_colour : m_background;
            out[0] = c.r;
            out[1] = c.g;
            out[2] = c.b;
        }
    }

private:
    Colour m_colour, m_background;
    long long m_size, m_period;
    double m_speed;
    bool m_forward;
};

class Bars : public ModelEffect {
public:
    Bars(int w, int h, const Values& v)
        : ModelEffect("Bars", w, h), m_colours(v.colours.at("colours")), m_size((long long)v.number("size")),
          m_speed(v.number("speed")), m_direction(v.text("direction")) {
        m_columns = m_direction == "Left" || m_direction == "Right";
        m_lines.resize(m_columns ? w : h);
    }
    bool moves() const override { return m_speed > 0; }
    void draw(uint8_t* out, const uint8_t*, long long elapsedUs) override {
        long long moved = Moved(m_speed, elapsedUs);
        // Bars moving right or down: the pattern at c came from c - moved.
        long long shift = m_direction == "Right" || m_direction == "Down" ? -moved : moved;
        long long period = m_size * (long long)m_colours.size();
        for (size_t i = 0; i < m_lines.size(); ++i) m_lines[i] = m_colours[Wrap((long long)i + shift, period) / m_size];
        FillLines(out, m_width, m_height, m_columns, m_lines);
    }

private:
    std::vector<Colour> m_colours;
    long long m_size;
    double m_speed;
    std::string m_direction;
    bool m_columns;
    std::vector<Colour> m_lines;
};

class Rainbow : public ModelEffect {
public:
    Rainbow(int w, int h, const Values& v)
        : ModelEffect("Rainbow", w, h), m_speed(v.number("speed")), m_direction(v.text("direction")) {
        m_columns = m_direction == "Left" || m_direction == "Right";
        long long size = (long long)v.number("size");
        if (size == 0) size = m_columns ? w : h;
        m_hues.resize(size);
        for (long long i = 0; i < size; ++i) m_hues[i] = Hue((double)i / size);
        m_lines.resize(m_columns ? w : h);
    }
    bool moves() const override { return m_speed > 0; }
    void draw(uint8_t* out, const uint8_t*, long long elapsedUs) override {
        long long moved = Moved(m_speed, elapsedUs);
        long long shift = m_direction == "Right" || m_direction == "Down" ? -moved : moved;
        long long period = (long long)m_hues.size();
        for (size_t i = 0; i < m_lines.size(); ++i) m_lines[i] = m_hues[Wrap((long long)i + shift, period)];
        FillLines(out, m_width, m_height, m_columns, m_lines);
    }

private:
    double m_speed;
    std::string m_direction;
    bool m_columns;
    std::vector<Colour> m_hues;
    std::vector<Colour> m_lines;
};

class Twinkle : public ModelEffect {
public:
    Twinkle(int w, int h, const Values& v)
        : ModelEffect("Twinkle", w, h), m_colour(v.colour("colour")), m_background(v.colour("background")) {
        m_litUs = std::max(1LL, (long long)std::llround(v.number("seconds") * 1e6));
        // Each pixel is lit for m_litUs once in every cycle, so `density`
        // percent of the pixels are lit at any time.
        m_cycleUs = std::max(m_litUs, (long long)std::llround(m_litUs * 100.0 / v.number("density")));
    }
    void draw(uint8_t* out, const uint8_t*, long long elapsedUs) override {
        size_t pixels = (size_t)m_width * m_height;
        long long room = m_cycleUs - m_litUs;  // where in its cycle a twinkle may start
        for (size_t p = 0; p < pixels; ++p, out += 3) {
            long long t = elapsedUs + (long long)(Hash((uint32_t)p, 0xFFFFFFFFu) % (uint64_t)m_cycleUs);
            long long cycle = t / m_cycleUs;
            long long into = t % m_cycleUs;
            long long start = room > 0 ? (long long)(Hash((uint32_t)p, (uint32_t)cycle) % (uint64_t)room) : 0;
            unsigned weight = 0;
            if (into >= start && into < start + m_litUs) {
                // Up and down again: brightest half-way through.
                long long half = m_litUs / 2 + 1;
                long long d = into - start;
                weight = (unsigned)(255 * (d < half ? d : m_litUs - d) / half);
            }
            out[0] = Mix(m_background.r, m_colour.r, weight);
            out[1] = Mix(m_background.g, m_colour.g, weight);
            out[2] = Mix(m_background.b, m_colour.b, weight);
        }
    }

private:
    Colour m_colour, m_background;
    long long m_litUs, m_cycleUs;
};

class Text : public ModelEffect {
public:
    Text(int w, int h, const Values& v, TextBitmap bitmap)
        : ModelEffect("Text", w, h), m_bitmap(std::move(bitmap)), m_colour(v.colour("colour")),
          m_direction(v.text("direction")), m_speed(v.number("speed")) {
        m_x = v.centred ? (w - m_bitmap.width) / 2 : v.x;
        m_y = v.centred ? (h - m_bitmap.height) / 2 : v.y;
    }
    bool moves() const override { return m_direction != "None"; }
    const TextBitmap& bitmap() const { return m_bitmap; }
    void prepare(const uint8_t* before) override {
        m_checked = true;
        size_t bytes = (size_t)m_width * m_height * 3;
        if (std::all_of(before, before + bytes, [](uint8_t b) { return b == 0; })) ColourStrip();
    }
    void draw(uint8_t* out, const uint8_t* before, long long elapsedUs) override {
        size_t bytes = (size_t)m_width * m_height * 3;
        if (!m_checked) prepare(before);
        if (m_strip.empty() && out != before) memcpy(out, before, bytes);
        int x = m_x, y = m_y;
        long long moved = Moved(m_speed, elapsedUs);
        // A scroll enters at one edge, leaves at the other and starts again.
        if (m_direction == "Left") {
            x = m_width - (int)Wrap(moved, (long long)m_width + m_bitmap.width);
        } else if (m_direction == "Right") {
            x = -m_bitmap.width + (int)Wrap(moved, (long long)m_width + m_bitmap.width);
        } else if (m_direction == "Up") {
            y = m_height - (int)Wrap(moved, (long long)m_height + m_bitmap.height);
        } else if (m_direction == "Down") {
            y = -m_bitmap.height + (int)Wrap(moved, (long long)m_height + m_bitmap.height);
        }
        Blit(out, x, y);
    }

private:
    // The text in its colour over black, once: drawn over a black model
    // (the usual case), a frame is then a copy of its visible part.
    void ColourStrip() {
        m_strip.resize(m_bitmap.coverage.size() * 3);
        uint8_t* px = m_strip.data();
        for (uint8_t a : m_bitmap.coverage) {
            *px++ = Mix(0, m_colour.r, a);
            *px++ = Mix(0, m_colour.g, a);
            *px++ = Mix(0, m_colour.b, a);
        }
    }

    // The bitmap's top-left at x, y, in the colour, over what is there.
    void Blit(uint8_t* out, int x, int y) const {
        int x0 = std::max(0, x), x1 = std::min(m_width, x + m_bitmap.width);
        int y0 = std::max(0, y), y1 = std::min(m_height, y + m_bitmap.height);
        if (!m_strip.empty()) {
            // Every byte written once: black, or the strip's visible part.
            size_t rowBytes = (size_t)m_width * 3;
            for (int row = 0; row < m_height; ++row, out += rowBytes) {
                if (row < y0 || row >= y1 || x1 <= x0) {
                    memset(out, 0, rowBytes);
                    continue;
                }
                memset(out, 0, (size_t)x0 * 3);
                memcpy(out + (size_t)x0 * 3, &m_strip[((size_t)(row - y) * m_bitmap.width + (x0 - x)) * 3],
                       (size_t)(x1 - x0) * 3);
                memset(out + (size_t)x1 * 3, 0, (size_t)(m_width - x1) * 3);
            }
            return;
        }
        for (int row = y0; row < y1; ++row) {
            const uint8_t* cov = &m_bitmap.coverage[(size_t)(row - y) * m_bitmap.width + (x0 - x)];
            uint8_t* px = out + ((size_t)row * m_width + x0) * 3;
            for (int col = x0; col < x1; ++col, ++cov, px += 3) {
                unsigned a = *cov;
                if (!a) continue;
                px[0] = Mix(px[0], m_colour.r, a);
                px[1] = Mix(px[1], m_colour.g, a);
                px[2] = Mix(px[2], m_colour.b, a);
            }
        }
    }

    TextBitmap m_bitmap;
    Colour m_colour;
    std::string m_direction;
    double m_speed;
    int m_x = 0, m_y = 0;
    bool m_checked = false;       // the picture beneath was looked at
    std::vector<uint8_t> m_strip;  // the coloured text over black, when it is drawn over black
};

// Builds the effect; may note in v.report what it settled itself.
typedef std::function<std::unique_ptr<ModelEffect>(int w, int h, Values& v, std::string& error)> Factory;

struct EffectKind {
    const char* name;
    std::vector<ParamSpec> params;
    Factory create;
};

const std::vector<const char*> SIDES = {"Left", "Right", "Up", "Down"};

const std::vector<EffectKind>& Kinds() {
    static const std::vector<EffectKind> kinds = {
        {"Colour Wash",
         {{"colours", Kind::COLOURS, "red,green,blue"},
          {"seconds", Kind::NUMBER, "2", 0.1, 3600, "seconds from one colour to the next"}},
         [](int w, int h, Values& v, std::string&) { return std::make_unique<ColourWash>(w, h, v); }},
        {"Chase",
         {{"colour", Kind::COLOUR, "white"},
          {"background", Kind::COLOUR, "black"},
          {"size", Kind::NUMBER, "3", 1, 100000, "lit pixels in a group"},
          {"gap", Kind::NUMBER, "7", 0, 100000, "dark pixels between groups"},
          {"speed", Kind::NUMBER, "10", 0, MAX_SPEED, "pixels per second"},
          {"direction", Kind::CHOICE, "Forward", 0, 0, "", {"Forward", "Backward"}}},
         [](int w, int h, Values& v, std::string&) { return std::make_unique<Chase>(w, h, v); }},
        {"Bars",
         {{"colours", Kind::COLOURS, "red,green,blue"},
          {"size", Kind::NUMBER, "4", 1, 100000, "pixels per bar"},
          {"speed", Kind::NUMBER, "10", 0, MAX_SPEED, "pixels per second"},
          {"direction", Kind::CHOICE, "Right", 0, 0, "", SIDES}},
         [](int w, int h, Values& v, std::string&) { return std::make_unique<Bars>(w, h, v); }},
        {"Twinkle",
         {{"colour", Kind::COLOUR, "white"},
          {"background", Kind::COLOUR, "black"},
          {"density", Kind::NUMBER, "20", 1, 100, "percent of the pixels lit at a time"},
          {"seconds", Kind::NUMBER, "1", 0.05, 60, "seconds one twinkle lasts"}},
         [](int w, int h, Values& v, std::string&) { return std::make_unique<Twinkle>(w, h, v); }},
        {"Rainbow",
         {{"size", Kind::NUMBER, "0", 0, 100000, "pixels per turn of the colour wheel, 0 for the model's size"},
          {"speed", Kind::NUMBER, "10", 0, MAX_SPEED, "pixels per second"},
          {"direction", Kind::CHOICE, "Left", 0, 0, "", SIDES}},
         [](int w, int h, Values& v, std::string&) { return std::make_unique<Rainbow>(w, h, v); }},
        {"Text",
         {{"text", Kind::TEXT, nullptr},
          {"colour", Kind::COLOUR, "white"},
          {"font", Kind::FONT, DEFAULT_FONT},
          {"size", Kind::NUMBER, "0", 0, MAX_FONT_SIZE, "pixels per em, 0 to fit the model's height"},
          {"position", Kind::POSITION, "Center"},
          {"direction", Kind::CHOICE, "None", 0, 0, "", {"None", "Left", "Right", "Up", "Down"}},
          {"speed", Kind::NUMBER, "10", 1, MAX_SPEED, "pixels per second"}},
         [](int w, int h, Values& v, std::string& error) -> std::unique_ptr<ModelEffect> {
             if (v.text("text").empty()) {
                 error = "text is empty";
                 return nullptr;
             }
             const std::string& font = v.text("font");
             int size = (int)v.number("size");
             if (size == 0) {
                 size = FittingFontSize(font, h);
                 v.report["size"] = size;
             }
             TextBitmap bitmap;
             if (!RenderText(font, size, v.text("text"), bitmap, error)) return nullptr;
             return std::make_unique<Text>(w, h, v, std::move(bitmap));
         }},
    };
    return kinds;
}

std::string CanonicalKey(const std::string& key) {
    std::string k = FoldName(key);
    if (k == "color") return "colour";
    if (k == "colors") return "colours";
    return k;
}

}  // namespace

std::unique_ptr<ModelEffect> CreateModelEffect(const std::string& name, const std::vector<std::string>& parameters,
                                               int width, int height, std::string& error) {
    std::string wanted = FoldName(name);
    if (wanted == "colorwash") wanted = "colourwash";
    const EffectKind* kind = nullptr;
    for (auto& k : Kinds()) {
        if (FoldName(k.name) == wanted) kind = &k;
    }
    if (!kind) {
        error = "unknown effect '" + Quoted(name) + "' (effects: ";
        auto names = ModelEffectNames();
        for (size_t i = 0; i < names.size(); ++i) error += (i ? ", " : "") + names[i];
        error += ")";
        return nullptr;
    }
    std::string prefix = std::string(kind->name) + ": ";
    std::map<std::string, std::string> given;
    for (auto& p : parameters) {
        if (p.empty()) continue;
        size_t eq = p.find('=');
        if (eq == std::string::npos) {
            error = prefix + "parameter '" + Quoted(p) + "' is not key=value";
            return nullptr;
        }
        std::string key = CanonicalKey(p.substr(0, eq));
        bool known = false;
        for (auto& s : kind->params) known = known || key == s.key;
        if (!known) {
            error = prefix + "unknown parameter '" + Quoted(p.substr(0, eq)) + "' (parameters:";
            for (auto& s : kind->params) error += std::string(" ") + s.key;
            error += ")";
            return nullptr;
        }
        given[key] = key == "text" ? p.substr(eq + 1) : Trimmed(p.substr(eq + 1));
    }
    Values values;
    values.report = Json::Value(Json::objectValue);
    for (auto& s : kind->params) {
        auto it = given.find(s.key);
        if (it == given.end() && !s.def) {
            error = prefix + s.key + " is missing (" + s.key + "=...)";
            return nullptr;
        }
        std::string why;
        if (!ParseValue(s, it == given.end() ? s.def : it->second, values, why)) {
            error = prefix + why;
            return nullptr;
        }
    }
    std::string why;
    auto effect = kind->create(width, height, values, why);
    if (!effect) {
        error = prefix + why;
        return nullptr;
    }
    effect->m_parameters = values.report;
    return effect;
}

std::vector<std::string> ModelEffectNames() {
    std::vector<std::string> names;
    for (auto& k : Kinds()) names.push_back(k.name);
    return names;
}
