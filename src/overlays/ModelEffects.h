#pragma once
// The effects generated on an overlay model: "Colour Wash", "Chase", "Bars",
// "Twinkle", "Rainbow" and "Text" (a line of text, still or scrolling).
// Each is built once from key=value parameters, checked against its table
// (docs/overlay-models.md lists them), and then draws whole pictures of the
// model's size for any time since it started: a pure function of time, so
// the output thread may draw frames at any rate and a scroll moves by
// exactly speed x elapsed pixels. OverlayDrawing runs them on the models.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <json/json.h>

class ModelEffect {
public:
    virtual ~ModelEffect() {}
    const std::string& name() const { return m_name; }
    // Every parameter as the effect uses it, defaults included.
    const Json::Value& parameters() const { return m_parameters; }
    // Draws the picture at elapsedUs after the start into `out` (width x
    // height RGB, row by row from the top left); `before` is what the model
    // showed when the effect started (same layout), for effects that draw
    // over it.
    virtual void draw(uint8_t* out, const uint8_t* before, long long elapsedUs) = 0;
    // Called once with the `before` of every later draw, by whoever starts
    // the effect: work that depends on it alone is done here, not in the
    // first frame the output thread draws.
    virtual void prepare(const uint8_t* before) {}
    // Whether the picture changes with time.
    virtual bool moves() const { return true; }

protected:
    ModelEffect(const std::string& name, int width, int height) : m_name(name), m_width(width), m_height(height) {}
    std::string m_name;
    int m_width, m_height;
    Json::Value m_parameters;
    friend std::unique_ptr<ModelEffect> CreateModelEffect(const std::string&, const std::vector<std::string>&, int,
                                                          int, std::string&);
};

// Builds effect `name` (case and spaces do not count; "Color" for "Colour"
// too) for a model of width x height from "key=value" parameters; null
// with a one-line `error` naming the effect and what is wrong.
std::unique_ptr<ModelEffect> CreateModelEffect(const std::string& name, const std::vector<std::string>& parameters,
                                               int width, int height, std::string& error);
// The effect names, as written in the docs.
std::vector<std::string> ModelEffectNames();
