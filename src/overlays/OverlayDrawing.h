#pragma once
// Drawing on pixel overlay models by command: the state, a fill, a clear, a
// line of text (still or scrolling) and the generated effects of
// ModelEffects, and the report of each model's state and what draws on it.
// The overlay commands (commands/OverlayCommands) call it from whatever
// thread runs them; a running effect draws on the output thread, once per
// frame, through the model's drawer (services/PixelOverlay.h).
//
// Every operation checks all it is given before it changes anything: a
// refusal is one line naming what is wrong, and what was playing goes on.
// One thing draws on a model at a time: a fill, clear or text stops the
// effect that runs there (what the model showed before it comes back, then
// the new drawing goes over it); an effect started over another one takes
// its place and still gives back, when stopped, what the model showed
// before the first.

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <json/json.h>

class ModelEffect;
class PixelOverlayModel;

class OverlayDrawing {
public:
    static OverlayDrawing INSTANCE;

    // "Off", "On", "Transparent", "Transparent RGB" (case and spaces do not
    // count) or the numbers 0 to 3.
    static bool ParseState(const std::string& text, int& state, std::string& error);
    static const char* StateName(int state);

    bool SetState(const std::string& model, const std::string& state, std::string& error);
    bool Fill(const std::string& model, const std::string& colour, std::string& error);
    bool Clear(const std::string& model, std::string& error);
    // Parameters of the "Text" effect: a text with direction None is drawn
    // once over what the model shows; one that scrolls runs as an effect.
    bool Text(const std::string& model, const std::vector<std::string>& parameters, std::string& error);
    bool StartEffect(const std::string& model, const std::string& effect, const std::vector<std::string>& parameters,
                     std::string& error);
    bool StopEffect(const std::string& model, std::string& error);

    // Every model: name, kind, size, channels, state and what draws on it
    // (the running effect, or the last drawing of these commands while it
    // still shows).
    Json::Value Describe();

private:
    PixelOverlayModel* Find(const std::string& name, const std::string& what, std::string& error);
    // Puts the effect to work on the model in place of the one running; m_lock held.
    bool Install(PixelOverlayModel* m, std::unique_ptr<ModelEffect> effect);
    // Stops the model's effect and puts back what it showed before; m_lock held.
    bool StopRunning(PixelOverlayModel* m);
    // A drawing of these commands now shows on the model; m_lock held.
    void Drew(PixelOverlayModel* m, const std::string& what);

    struct Drawing {
        unsigned long long changeNumber = 0;  // the model's change number right after it
        std::string what;
    };
    std::mutex m_lock;  // guards m_drawings and serialises the operations
    std::map<std::string, Drawing> m_drawings;  // by model name
};
