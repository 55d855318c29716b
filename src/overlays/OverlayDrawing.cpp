#include "overlays/OverlayDrawing.h"

#include <algorithm>
#include <cmath>
#include <memory>

#include "channeloutput/channeloutputthread.h"
#include "common.h"
#include "log.h"
#include "overlays/Colour.h"
#include "overlays/Names.h"
#include "overlays/ModelEffects.h"
#include "services/PixelOverlay.h"

OverlayDrawing OverlayDrawing::INSTANCE;

namespace {

const char* STATE_NAMES[] = {"Off", "On", "Transparent", "Transparent RGB"};

// An effect at work on a model: it draws on the output thread and holds
// what the model showed before it, to give it back when it stops.
class RunningEffect : public PixelOverlayDrawer {
public:
    std::unique_ptr<ModelEffect> effect;
    std::vector<uint8_t> before;  // the model's picture
    int stateBefore = PixelOverlayModel::STATE_DISABLED;
    int stateSet = -1;            // the state the start switched the model to; -1: none
    bool drawingShown = false;    // a drawing of the commands showed before
    std::string drawingBefore;
    long long startedUs = 0;

    void drawFrame(PixelOverlayModel& model, long long nowUs) override {
        bool moved = Advance(nowUs);
        // Painted into frames meanwhile, the model's picture is behind even
        // when the effect stands still.
        if (!moved && !model.pictureBehind()) return;
        model.drawPicture([&](uint8_t* rgb) { paintLast(rgb); });
    }

    bool drawFrameInto(PixelOverlayModel& model, long long nowUs, uint8_t* rgb) override {
        // Every frame: the frame's bytes beneath are new each time.
        bool moved = Advance(nowUs);
        paintLast(rgb);
        model.pictureDrawnElsewhere(moved);
        return true;
    }

    void paintLast(uint8_t* rgb) override { effect->draw(rgb, before.data(), m_elapsedUs); }

private:
    // Moves the effect's time on to nowUs; true when it shows a new picture.
    // Time moves on the output's frame grid, not at the moment a pass
    // happens to run: a pass a little late or early neither shows a picture
    // twice nor skips one, and a frame processed twice draws the same. A
    // scroll so moves by exactly speed x period every frame.
    bool Advance(long long nowUs) {
        long long periodUs = std::max(1000, LightDelay.load());
        if (!m_shown) {
            m_shown = true;
            m_lastUs = nowUs;
            return true;
        }
        long long steps = std::max(0LL, std::llround((double)(nowUs - m_lastUs) / periodUs));
        if (steps == 0) return false;
        m_elapsedUs += steps * periodUs;
        m_lastUs += steps * periodUs;
        return effect->moves();
    }

    // Output thread, or under the model's drawer lock.
    bool m_shown = false;
    long long m_lastUs = 0;
    long long m_elapsedUs = 0;
};

}  // namespace

bool OverlayDrawing::ParseState(const std::string& text, int& state, std::string& error) {
    std::string f = FoldName(text);
    for (int i = 0; i < 4; ++i) {
        if (f == FoldName(STATE_NAMES[i]) || f == std::to_string(i)) {
            state = i;
            return true;
        }
    }
    error = "unknown state '" + Quoted(text) + "' (Off, On, Transparent, Transparent RGB or 0 to 3)";
    return false;
}

const char* OverlayDrawing::StateName(int state) {
    return state >= 0 && state < 4 ? STATE_NAMES[state] : "?";
}

PixelOverlayModel* OverlayDrawing::Find(const std::string& name, const std::string& what, std::string& error) {
    PixelOverlayModel* m = PixelOverlayManager::INSTANCE.getModel(name);
    if (m) return m;
    if (name.empty()) {
        error = what + " needs the name of an overlay model";
        return nullptr;
    }
    auto names = PixelOverlayManager::INSTANCE.getModelNames();
    error = "Overlay model '" + Quoted(name, 64) + "' not found";
    if (names.empty()) {
        error += ": there are no overlay models (" + PixelOverlayManager::ModelsFilePath() + ")";
    } else {
        error += " (models: ";
        for (size_t i = 0; i < names.size() && i < 20; ++i) error += (i ? ", " : "") + names[i];
        error += names.size() > 20 ? ", ...)" : ")";
    }
    return nullptr;
}

void OverlayDrawing::Drew(PixelOverlayModel* m, const std::string& what) {
    m_drawings[m->getName()] = Drawing{m->getChangeNumber(), what};
}

bool OverlayDrawing::StopRunning(PixelOverlayModel* m) {
    std::unique_ptr<PixelOverlayDrawer> old = m->setDrawer(nullptr);
    auto* run = dynamic_cast<RunningEffect*>(old.get());
    if (!run) return false;
    m->setData(run->before.data());
    if (run->stateSet >= 0 && m->getState() == run->stateSet) m->setState(run->stateBefore);
    if (run->drawingShown) {
        Drew(m, run->drawingBefore);
    } else {
        m_drawings.erase(m->getName());
    }
    LogInfo(VB_CHANNELOUT, "Overlay model %s: effect %s stopped\n", m->getName().c_str(), run->effect->name().c_str());
    return true;
}

bool OverlayDrawing::SetState(const std::string& model, const std::string& state, std::string& error) {
    std::lock_guard<std::mutex> lock(m_lock);
    PixelOverlayModel* m = Find(model, "Overlay Model State", error);
    if (!m) return false;
    int s = 0;
    std::string why;
    if (!ParseState(state, s, why)) {
        error = "Overlay model " + model + ": " + why;
        return false;
    }
    m->setState(s);
    return true;
}

bool OverlayDrawing::Fill(const std::string& model, const std::string& colour, std::string& error) {
    std::lock_guard<std::mutex> lock(m_lock);
    PixelOverlayModel* m = Find(model, "Overlay Model Fill", error);
    if (!m) return false;
    Colour c;
    std::string why;
    if (!ParseColour(colour, c, why)) {
        error = "Overlay model " + model + ": " + why;
        return false;
    }
    StopRunning(m);
    std::vector<uint8_t> rgb((size_t)m->getWidth() * m->getHeight() * 3);
    for (size_t i = 0; i < rgb.size(); i += 3) {
        rgb[i] = c.r;
        rgb[i + 1] = c.g;
        rgb[i + 2] = c.b;
    }
    m->setData(rgb.data());
    if (m->getState() == PixelOverlayModel::STATE_DISABLED) m->setState(PixelOverlayModel::STATE_ENABLED);
    Drew(m, "Fill " + ColourText(c));
    return true;
}

bool OverlayDrawing::Clear(const std::string& model, std::string& error) {
    std::lock_guard<std::mutex> lock(m_lock);
    PixelOverlayModel* m = Find(model, "Overlay Model Clear", error);
    if (!m) return false;
    StopRunning(m);
    m->clear();
    m_drawings.erase(m->getName());
    return true;
}

bool OverlayDrawing::Text(const std::string& model, const std::vector<std::string>& parameters, std::string& error) {
    std::lock_guard<std::mutex> lock(m_lock);
    PixelOverlayModel* m = Find(model, "Overlay Model Text", error);
    if (!m) return false;
    std::string why;
    std::unique_ptr<ModelEffect> text = CreateModelEffect("Text", parameters, m->getWidth(), m->getHeight(), why);
    if (!text) {
        error = "Overlay model " + model + ": " + why;
        return false;
    }
    if (text->moves()) return Install(m, std::move(text));
    StopRunning(m);
    std::vector<uint8_t> picture = m->getData();
    text->draw(picture.data(), picture.data(), 0);
    m->setData(picture.data());
    if (m->getState() == PixelOverlayModel::STATE_DISABLED) m->setState(PixelOverlayModel::STATE_ENABLED);
    Drew(m, "Text '" + Quoted(text->parameters()["text"].asString()) + "'");
    return true;
}

bool OverlayDrawing::StartEffect(const std::string& model, const std::string& effect,
                                 const std::vector<std::string>& parameters, std::string& error) {
    std::lock_guard<std::mutex> lock(m_lock);
    PixelOverlayModel* m = Find(model, "Overlay Model Effect", error);
    if (!m) return false;
    std::string why;
    std::unique_ptr<ModelEffect> e = CreateModelEffect(effect, parameters, m->getWidth(), m->getHeight(), why);
    if (!e) {
        error = "Overlay model " + model + ": " + why;
        return false;
    }
    return Install(m, std::move(e));
}

bool OverlayDrawing::Install(PixelOverlayModel* m, std::unique_ptr<ModelEffect> effect) {
    auto run = std::make_unique<RunningEffect>();
    run->startedUs = GetTime();
    bool replacing = false;
    m->withDrawer([&](PixelOverlayDrawer* d) {
        if (auto* old = dynamic_cast<RunningEffect*>(d)) {
            // What the model showed before the first effect stays the one to give back.
            run->before = old->before;
            run->stateBefore = old->stateBefore;
            run->stateSet = old->stateSet;
            run->drawingShown = old->drawingShown;
            run->drawingBefore = old->drawingBefore;
            replacing = true;
        }
    });
    if (!replacing) {
        run->before = m->getData();
        run->stateBefore = m->getState();
        auto it = m_drawings.find(m->getName());
        if (it != m_drawings.end() && it->second.changeNumber == m->getChangeNumber()) {
            run->drawingShown = true;
            run->drawingBefore = it->second.what;
        }
        if (run->stateBefore == PixelOverlayModel::STATE_DISABLED) run->stateSet = PixelOverlayModel::STATE_ENABLED;
    }
    std::string name = effect->name();
    Json::Value parameters = effect->parameters();
    // A text's coloured strip is made here, not in the frame it first shows in.
    effect->prepare(run->before.data());
    run->effect = std::move(effect);
    int enable = replacing ? -1 : run->stateSet;
    // In place before the model shows: its first frame is the effect's.
    m->setDrawer(std::move(run));
    if (enable >= 0) m->setState(enable);
    LogInfo(VB_CHANNELOUT, "Overlay model %s: effect %s started (%s)\n", m->getName().c_str(), name.c_str(),
            SaveJsonToString(parameters).c_str());
    return true;
}

bool OverlayDrawing::StopEffect(const std::string& model, std::string& error) {
    std::lock_guard<std::mutex> lock(m_lock);
    PixelOverlayModel* m = Find(model, "Overlay Model Effect", error);
    if (!m) return false;
    if (!StopRunning(m)) {
        error = "Overlay model " + model + " has no effect running";
        return false;
    }
    return true;
}

Json::Value OverlayDrawing::Describe() {
    std::lock_guard<std::mutex> lock(m_lock);
    Json::Value list(Json::arrayValue);
    for (auto& name : PixelOverlayManager::INSTANCE.getModelNames()) {
        PixelOverlayModel* m = PixelOverlayManager::INSTANCE.getModel(name);
        if (!m) continue;
        Json::Value v;
        v["name"] = name;
        v["type"] = m->getType();
        v["width"] = m->getWidth();
        v["height"] = m->getHeight();
        if (m->getChannelsPerPixel() > 0) {
            v["startChannel"] = m->getStartChannel() + 1;
            v["channelCount"] = m->getChannelCount();
            v["channelsPerPixel"] = m->getChannelsPerPixel();
        }
        v["state"] = m->getState();
        v["stateName"] = StateName(m->getState());
        v["effect"] = Json::Value::nullSingleton();
        m->withDrawer([&](PixelOverlayDrawer* d) {
            if (auto* run = dynamic_cast<RunningEffect*>(d)) {
                Json::Value e;
                e["name"] = run->effect->name();
                e["parameters"] = run->effect->parameters();
                e["seconds"] = std::round((GetTime() - run->startedUs) / 1e5) / 10;
                v["effect"] = e;
            }
        });
        auto it = m_drawings.find(name);
        bool shows = v["effect"].isNull() && it != m_drawings.end() && it->second.changeNumber == m->getChangeNumber();
        v["drawing"] = shows ? Json::Value(it->second.what) : Json::Value::nullSingleton();
        list.append(v);
    }
    return list;
}
