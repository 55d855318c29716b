#include "commands/BoardCommands.h"

#include "commands/Commands.h"
#include "common.h"
#include "sensors/Sensors.h"
#include "services/GPIOInputs.h"

namespace {

class GetSensorsCommand : public Command {
public:
    GetSensorsCommand()
        : Command("Get Sensors", "JSON: every sensor of the board with its last value and unit, and the sources") {}
    std::unique_ptr<Result> run(const std::vector<std::string>& args) override {
        return std::make_unique<Result>(SaveJsonToString(Sensors::INSTANCE.Snapshot(), "  ", Sensors::JSON_DIGITS),
                                        "application/json");
    }
};

class GetGPIOInputsCommand : public Command {
public:
    GetGPIOInputsCommand()
        : Command("Get GPIO Inputs", "JSON: every GPIO input of gpio.json, pressed or not, with its counts") {}
    std::unique_ptr<Result> run(const std::vector<std::string>& args) override {
        return std::make_unique<Result>(SaveJsonToString(GPIOInputs::INSTANCE.Snapshot(), "  "), "application/json");
    }
};

}  // namespace

void RegisterBoardCommands() {
    CommandManager::INSTANCE.addCommand(new GetSensorsCommand());
    CommandManager::INSTANCE.addCommand(new GetGPIOInputsCommand());
}
