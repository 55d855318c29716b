#include "commands/SequenceCommands.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "Sequence.h"
#include "commands/Commands.h"
#include "common.h"
#include "log.h"

namespace {

std::unique_ptr<Command::Result> Ok() { return std::make_unique<Command::Result>("OK"); }

std::unique_ptr<Command::Result> Error(const std::string& text) {
    return std::make_unique<Command::ErrorResult>(text);
}

// Parses a whole, finite, non-negative number.
bool ParseSeconds(const std::string& text, double& out) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    out = strtod(text.c_str(), &end);
    return errno == 0 && end && *end == 0 && std::isfinite(out) && out >= 0 && out < 1e7;
}

class StartSequenceCommand : public Command {
public:
    StartSequenceCommand() : Command("Start Sequence", "Plays a sequence file from the sequences folder") {
        args.emplace_back("Sequence", "string", "File name inside the sequences folder");
        args.emplace_back("Start Second", "int", "Second of the sequence to start at", true);
        args.back().setDefaultValue("0");
    }
    std::unique_ptr<Result> run(const std::vector<std::string>& a) override {
        if (!sequence) return Error("The sequence player is not running");
        if (a.empty() || a[0].empty()) return Error("Start Sequence needs a sequence file name");
        double second = 0;
        if (a.size() > 1 && !a[1].empty() && !ParseSeconds(a[1], second)) {
            return Error("Start second \"" + a[1] + "\" is not a number of seconds");
        }
        int ok;
        if (second > 0) {
            ok = sequence->OpenSequenceFile(a[0], 0, (int)second);
            if (ok) sequence->StartSequence();
        } else {
            ok = sequence->StartSequence(a[0], 0);
        }
        if (!ok || !sequence->IsSequenceRunning()) {
            return Error("Could not play sequence " + a[0] + " (see the log)");
        }
        return Ok();
    }
};

class StopSequenceCommand : public Command {
public:
    StopSequenceCommand() : Command("Stop Sequence", "Stops the sequence that is playing and blanks the outputs") {}
    std::unique_ptr<Result> run(const std::vector<std::string>& a) override {
        if (!sequence) return Error("The sequence player is not running");
        if (sequence->GetFileName().empty()) return Error("No sequence is playing");
        sequence->CloseSequenceFile();
        return Ok();
    }
};

class PauseSequenceCommand : public Command {
public:
    PauseSequenceCommand(bool pause)
        : Command(pause ? "Pause Sequence" : "Resume Sequence",
                  pause ? "Holds the current frame of the playing sequence" : "Continues a paused sequence"),
          m_pause(pause) {}
    std::unique_ptr<Result> run(const std::vector<std::string>& a) override {
        if (!sequence) return Error("The sequence player is not running");
        if (!sequence->IsSequenceRunning()) return Error("No sequence is playing");
        if (!!sequence->SequenceIsPaused() != m_pause) sequence->ToggleSequencePause();
        return Ok();
    }

private:
    bool m_pause;
};

class StepSequenceCommand : public Command {
public:
    StepSequenceCommand() : Command("Step Sequence", "Shows the next or the previous frame of a paused sequence") {
        args.emplace_back("Direction", "string", "Forward or Back", true);
        args.back().setDefaultValue("Forward").setContentList({"Forward", "Back"});
    }
    std::unique_ptr<Result> run(const std::vector<std::string>& a) override {
        if (!sequence) return Error("The sequence player is not running");
        if (!sequence->IsSequenceRunning() || !sequence->SequenceIsPaused()) {
            return Error("Step Sequence needs a paused sequence");
        }
        std::string dir = a.empty() || a[0].empty() ? "forward" : toLowerCopy(a[0]);
        if (dir == "forward") {
            sequence->SingleStepSequence();
        } else if (dir == "back") {
            sequence->SingleStepSequenceBack();
        } else {
            return Error("Direction \"" + a[0] + "\" is neither Forward nor Back");
        }
        return Ok();
    }
};

class SeekSequenceCommand : public Command {
public:
    SeekSequenceCommand() : Command("Seek Sequence", "Moves the playing sequence to a given second") {
        args.emplace_back("Second", "float", "Position in seconds from the start of the sequence");
    }
    std::unique_ptr<Result> run(const std::vector<std::string>& a) override {
        if (!sequence) return Error("The sequence player is not running");
        double second = 0;
        if (a.empty() || !ParseSeconds(a[0], second)) {
            return Error("Seek Sequence needs a number of seconds");
        }
        if (!sequence->IsSequenceRunning()) return Error("No sequence is playing");
        int step = sequence->GetStepTimeMs();
        int frame = (int)(second * 1000.0 / (step > 0 ? step : 50));
        if (frame * (long long)step >= sequence->GetDurationMs()) {
            return Error("Second " + a[0] + " is beyond the end of the sequence");
        }
        sequence->SeekSequenceFile(frame);
        return Ok();
    }
};

class SequenceStatusCommand : public Command {
public:
    SequenceStatusCommand() : Command("Sequence Status", "Reports the sequence being played and its position") {}
    std::unique_ptr<Result> run(const std::vector<std::string>& a) override {
        if (!sequence) return Error("The sequence player is not running");
        Json::Value v;
        v["sequenceName"] = sequence->GetFileName();
        v["running"] = sequence->IsSequenceRunning() != 0;
        v["paused"] = sequence->SequenceIsPaused() != 0;
        v["stepTimeMs"] = sequence->GetStepTimeMs();
        v["durationMs"] = sequence->GetDurationMs();
        v["elapsedMs"] = sequence->GetElapsedMs();
        v["remainingMs"] = sequence->GetRemainingMs();
        return std::make_unique<Result>(SaveJsonToString(v, "  "), "application/json");
    }
};

}  // namespace

void RegisterSequenceCommands() {
    CommandManager::INSTANCE.addCommand(new StartSequenceCommand());
    CommandManager::INSTANCE.addCommand(new StopSequenceCommand());
    CommandManager::INSTANCE.addCommand(new PauseSequenceCommand(true));
    CommandManager::INSTANCE.addCommand(new PauseSequenceCommand(false));
    CommandManager::INSTANCE.addCommand(new StepSequenceCommand());
    CommandManager::INSTANCE.addCommand(new SeekSequenceCommand());
    CommandManager::INSTANCE.addCommand(new SequenceStatusCommand());
}
