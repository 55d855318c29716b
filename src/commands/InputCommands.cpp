#include "commands/InputCommands.h"

#include <cerrno>
#include <cstdlib>

#include "bridge/Bridge.h"
#include "commands/Commands.h"
#include "common.h"

namespace {

// A whole number in [min, max] from an argument, or def when it is empty.
bool ParseArg(const std::vector<std::string>& a, size_t i, int def, int min, int max, int& out) {
    out = def;
    if (a.size() <= i || a[i].empty()) return true;
    char* end = nullptr;
    errno = 0;
    long v = strtol(a[i].c_str(), &end, 10);
    if (errno || !end || *end || v < min || v > max) return false;
    out = (int)v;
    return true;
}

class GetInputsCommand : public Command {
public:
    GetInputsCommand()
        : Command("Get Inputs", "JSON: the live inputs with their statistics, the protocols' counters and the recording") {}
    std::unique_ptr<Result> run(const std::vector<std::string>& a) override {
        return std::make_unique<Result>(SaveJsonToString(Bridge::INSTANCE.Status(), "  "), "application/json");
    }
};

class StartRecordingCommand : public Command {
public:
    StartRecordingCommand() : Command("Start Recording", "Records the live inputs into a sequence file") {
        args.emplace_back("File", "string", "File name inside the sequences folder (.hseq is added when missing)");
        args.emplace_back("Frame Step", "int", "Milliseconds per frame", true);
        args.back().setRange(Recorder::MIN_STEP_MS, Recorder::MAX_STEP_MS).setDefaultValue("50");
        args.emplace_back("Duration", "int", "Seconds to record; 0 records until stopped (at most 4 hours)", true);
        args.back().setRange(0, Recorder::MAX_DURATION_S).setDefaultValue("0");
    }
    std::unique_ptr<Result> run(const std::vector<std::string>& a) override {
        if (a.empty() || a[0].empty()) return std::make_unique<ErrorResult>("Start Recording needs a file name");
        int step, duration;
        if (!ParseArg(a, 1, 50, Recorder::MIN_STEP_MS, Recorder::MAX_STEP_MS, step)) {
            return std::make_unique<ErrorResult>("Frame step \"" + a[1] + "\" is not a number of milliseconds from " +
                                                 std::to_string(Recorder::MIN_STEP_MS) + " to " +
                                                 std::to_string(Recorder::MAX_STEP_MS));
        }
        if (!ParseArg(a, 2, 0, 0, Recorder::MAX_DURATION_S, duration)) {
            return std::make_unique<ErrorResult>("Duration \"" + a[2] + "\" is not a number of seconds from 0 to " +
                                                 std::to_string(Recorder::MAX_DURATION_S));
        }
        std::string why;
        if (!Bridge::INSTANCE.StartRecording(a[0], step, duration, why)) return std::make_unique<ErrorResult>(why);
        return std::make_unique<Result>("OK");
    }
};

class StopRecordingCommand : public Command {
public:
    StopRecordingCommand() : Command("Stop Recording", "Ends the recording and completes its file") {}
    // Completing the file waits for the disk.
    bool runsLong() const override { return true; }
    std::unique_ptr<Result> run(const std::vector<std::string>& a) override {
        std::string result;
        if (!Bridge::INSTANCE.StopRecording(result)) return std::make_unique<ErrorResult>("Not recording");
        return std::make_unique<Result>(result);
    }
};

}  // namespace

void RegisterInputCommands() {
    CommandManager::INSTANCE.addCommand(new GetInputsCommand());
    CommandManager::INSTANCE.addCommand(new StartRecordingCommand());
    CommandManager::INSTANCE.addCommand(new StopRecordingCommand());
}
