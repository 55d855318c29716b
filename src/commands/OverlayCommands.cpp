#include "commands/OverlayCommands.h"

#include "commands/Commands.h"
#include "common.h"
#include "overlays/Colour.h"
#include "overlays/ModelEffects.h"
#include "overlays/OverlayDrawing.h"
#include "overlays/TextRenderer.h"

namespace {

std::unique_ptr<Command::Result> Outcome(bool ok, const std::string& done, const std::string& error) {
    if (!ok) return std::make_unique<Command::ErrorResult>(error);
    return std::make_unique<Command::Result>(done);
}

std::string Arg(const std::vector<std::string>& a, size_t i) { return i < a.size() ? a[i] : ""; }

void ModelArg(std::vector<Command::CommandArg>& args) {
    args.emplace_back("Model", "string", "Pixel overlay model");
    args.back().setContentListUrl("/kivd/overlays");
}

class StateCommand : public Command {
public:
    StateCommand() : Command("Overlay Model State", "Switches a pixel overlay model off, on or transparent") {
        ModelArg(args);
        args.emplace_back("State", "string",
                          "Off; On (opaque); Transparent (black shows the frame beneath); Transparent RGB (each "
                          "channel at 0 shows the frame's)");
        args.back().setContentList({"Off", "On", "Transparent", "Transparent RGB"});
    }
    std::unique_ptr<Result> run(const std::vector<std::string>& a) override {
        std::string error;
        bool ok = OverlayDrawing::INSTANCE.SetState(Arg(a, 0), Arg(a, 1), error);
        int state = 0;
        std::string unused;
        OverlayDrawing::ParseState(Arg(a, 1), state, unused);
        return Outcome(ok, "Overlay model " + Arg(a, 0) + " is " + OverlayDrawing::StateName(state), error);
    }
};

class FillCommand : public Command {
public:
    FillCommand() : Command("Overlay Model Fill", "Fills a pixel overlay model with one colour") {
        ModelArg(args);
        args.emplace_back("Colour", "color", "#RRGGBB or a colour name");
    }
    std::unique_ptr<Result> run(const std::vector<std::string>& a) override {
        std::string error;
        bool ok = OverlayDrawing::INSTANCE.Fill(Arg(a, 0), Arg(a, 1), error);
        return Outcome(ok, "Overlay model " + Arg(a, 0) + " filled with " + Arg(a, 1), error);
    }
};

class ClearCommand : public Command {
public:
    ClearCommand() : Command("Overlay Model Clear", "Sets every pixel of a pixel overlay model to black") {
        ModelArg(args);
    }
    std::unique_ptr<Result> run(const std::vector<std::string>& a) override {
        std::string error;
        bool ok = OverlayDrawing::INSTANCE.Clear(Arg(a, 0), error);
        return Outcome(ok, "Overlay model " + Arg(a, 0) + " cleared", error);
    }
};

// The positional arguments are the "Text" effect's parameters, in order.
const char* TEXT_KEYS[] = {"text", "colour", "font", "size", "position", "direction", "speed"};

class TextCommand : public Command {
public:
    TextCommand() : Command("Overlay Model Text", "Writes a line of text on a pixel overlay model, still or scrolling") {
        ModelArg(args);
        args.emplace_back("Text", "string", "The text (one line)");
        args.emplace_back("Colour", "color", "#RRGGBB or a colour name", true);
        args.back().setDefaultValue("#FFFFFF");
        args.emplace_back("Font", "string", "A font of the font folders, by file name (e.g. DejaVu Sans)", true);
        args.back().setDefaultValue(DEFAULT_FONT).setContentListUrl("/kivd/fonts");
        args.emplace_back("Size", "int", "Pixels per em; 0 fits the model's height", true);
        args.back().setRange(0, MAX_FONT_SIZE).setDefaultValue("0");
        args.emplace_back("Position", "string", "Center, or X,Y of the text's top-left corner", true);
        args.back().setDefaultValue("Center");
        args.emplace_back("Direction", "string", "None for still text, or the way it scrolls", true);
        args.back().setContentList({"None", "Left", "Right", "Up", "Down"}).setDefaultValue("None");
        args.emplace_back("Speed", "int", "Scroll speed in pixels per second", true);
        args.back().setRange(1, 1000).setDefaultValue("10");
    }
    std::unique_ptr<Result> run(const std::vector<std::string>& a) override {
        if (a.size() < 2 || a[1].empty()) {
            return std::make_unique<ErrorResult>("Overlay Model Text needs a model and the text");
        }
        std::vector<std::string> parameters;
        for (size_t i = 1; i < a.size() && i - 1 < sizeof(TEXT_KEYS) / sizeof(TEXT_KEYS[0]); ++i) {
            // An empty argument takes the default.
            if (i == 1 || !a[i].empty()) parameters.push_back(std::string(TEXT_KEYS[i - 1]) + "=" + a[i]);
        }
        std::string error;
        bool ok = OverlayDrawing::INSTANCE.Text(a[0], parameters, error);
        return Outcome(ok, "Overlay model " + a[0] + " shows the text", error);
    }
};

class EffectCommand : public Command {
public:
    EffectCommand()
        : Command("Overlay Model Effect", "Runs a generated effect on a pixel overlay model, or stops the one running") {
        ModelArg(args);
        args.emplace_back("Effect", "string", "The effect, or Stop to give the model back what it showed before");
        std::vector<std::string> names = ModelEffectNames();
        names.push_back("Stop");
        args.back().setContentList(names);
        args.emplace_back("Parameters", "string",
                          "key=value, one per argument (docs/overlay-models.md lists each effect's)", true);
    }
    std::unique_ptr<Result> run(const std::vector<std::string>& a) override {
        std::string model = Arg(a, 0), effect = Arg(a, 1);
        std::string error;
        if (toLowerCopy(effect) == "stop") {
            bool ok = OverlayDrawing::INSTANCE.StopEffect(model, error);
            return Outcome(ok, "Overlay model " + model + ": effect stopped", error);
        }
        std::vector<std::string> parameters(a.size() > 2 ? a.begin() + 2 : a.end(), a.end());
        bool ok = OverlayDrawing::INSTANCE.StartEffect(model, effect, parameters, error);
        return Outcome(ok, "Overlay model " + model + ": effect " + effect + " started", error);
    }
};

class GetModelsCommand : public Command {
public:
    GetModelsCommand() : Command("Get Overlay Models", "The pixel overlay models, their state and what draws on them") {}
    std::unique_ptr<Result> run(const std::vector<std::string>& a) override {
        return std::make_unique<Result>(SaveJsonToString(OverlayDrawing::INSTANCE.Describe(), "  "),
                                        "application/json");
    }
};

class GetFontsCommand : public Command {
public:
    GetFontsCommand() : Command("Get Fonts", "The fonts the text on overlay models can be drawn in") {}
    std::unique_ptr<Result> run(const std::vector<std::string>&) override {
        Json::Value list(Json::arrayValue);
        for (auto& n : FontNames()) list.append(n);
        return std::make_unique<Result>(SaveJsonToString(list), "application/json");
    }
};

}  // namespace

void RegisterOverlayCommands() {
    CommandManager::INSTANCE.addCommand(new StateCommand());
    CommandManager::INSTANCE.addCommand(new FillCommand());
    CommandManager::INSTANCE.addCommand(new ClearCommand());
    CommandManager::INSTANCE.addCommand(new TextCommand());
    CommandManager::INSTANCE.addCommand(new EffectCommand());
    CommandManager::INSTANCE.addCommand(new GetModelsCommand());
    CommandManager::INSTANCE.addCommand(new GetFontsCommand());
}
