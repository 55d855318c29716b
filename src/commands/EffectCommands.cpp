#include "commands/EffectCommands.h"

#include "Sequence.h"
#include "commands/Commands.h"
#include "common.h"
#include "effects/EffectPlayer.h"

namespace {

std::unique_ptr<Command::Result> Error(const std::string& text) {
    return std::make_unique<Command::ErrorResult>(text);
}

std::unique_ptr<Command::Result> JsonResult(const Json::Value& v) {
    return std::make_unique<Command::Result>(SaveJsonToString(v, "  "), "application/json");
}

class EffectStartCommand : public Command {
public:
    EffectStartCommand() : Command("Effect Start", "Plays an effect from the effects folder over the show") {
        args.emplace_back("Effect", "string", "Effect file in the effects folder (.eseq or .hseq may be left out)");
        args.back().setContentListUrl("/kivd/effects/files");
        args.emplace_back("Start Channel", "int", "Where its first channel goes (0: where the file puts it)", true);
        args.back().setRange(0, Sequence::MAX_CHANNELS).setDefaultValue("0");
        args.emplace_back("Loop", "bool", "Start again from its first frame when it ends", true);
        args.back().setDefaultValue("false");
        args.emplace_back("Background", "bool", "Keep running when a sequence starts or ends", true);
        args.back().setDefaultValue("false");
    }
    // A large effect takes a moment to read.
    bool runsLong() const override { return true; }
    std::unique_ptr<Result> run(const std::vector<std::string>& a) override {
        if (a.empty() || a[0].empty()) return Error("Effect Start needs the name of an effect");
        long long start = 0;
        bool loop = false, background = false;
        if (a.size() > 1 && !a[1].empty() && !ParseInt(a[1], 0, Sequence::MAX_CHANNELS, start)) {
            return Error("Start Channel must be a whole number from 0 to " + std::to_string(Sequence::MAX_CHANNELS) +
                         ", found '" + a[1].substr(0, 32) + "'");
        }
        if (a.size() > 2 && !ParseBool(a[2], loop)) return Error("Loop must be true or false, found '" + a[2].substr(0, 32) + "'");
        if (a.size() > 3 && !ParseBool(a[3], background)) {
            return Error("Background must be true or false, found '" + a[3].substr(0, 32) + "'");
        }
        std::string error;
        if (!EffectPlayer::INSTANCE.Start(a[0], (int)start, loop, background, error)) return Error(error);
        return std::make_unique<Result>("Effect " + a[0] + " started");
    }
};

class EffectStopCommand : public Command {
public:
    EffectStopCommand() : Command("Effect Stop", "Stops an effect that runs (every copy of it)") {
        args.emplace_back("Effect", "string", "Name the effect was started with");
    }
    std::unique_ptr<Result> run(const std::vector<std::string>& a) override {
        if (a.empty() || a[0].empty()) return Error("Effect Stop needs the name of an effect");
        if (!EffectPlayer::INSTANCE.Stop(a[0])) return Error("Effect " + a[0].substr(0, 64) + " is not running");
        return std::make_unique<Result>("Effect " + a[0] + " stopped");
    }
};

class EffectsStopAllCommand : public Command {
public:
    EffectsStopAllCommand() : Command("Effects Stop All", "Stops every effect, background ones too") {}
    std::unique_ptr<Result> run(const std::vector<std::string>& a) override {
        int n = EffectPlayer::INSTANCE.StopAll();
        return std::make_unique<Result>(std::to_string(n) + " effect(s) stopped");
    }
};

class GetRunningEffectsCommand : public Command {
public:
    GetRunningEffectsCommand() : Command("Get Running Effects", "The effects that run, with their frame") {}
    std::unique_ptr<Result> run(const std::vector<std::string>& a) override {
        return JsonResult(EffectPlayer::INSTANCE.GetRunning());
    }
};

class GetEffectsCommand : public Command {
public:
    GetEffectsCommand() : Command("Get Effects", "The effect files of the effects folder") {}
    std::unique_ptr<Result> run(const std::vector<std::string>& a) override {
        return JsonResult(EffectPlayer::INSTANCE.ListEffectFiles());
    }
};

}  // namespace

void RegisterEffectCommands() {
    CommandManager::INSTANCE.addCommand(new EffectStartCommand());
    CommandManager::INSTANCE.addCommand(new EffectStopCommand());
    CommandManager::INSTANCE.addCommand(new EffectsStopAllCommand());
    CommandManager::INSTANCE.addCommand(new GetRunningEffectsCommand());
    CommandManager::INSTANCE.addCommand(new GetEffectsCommand());
}
