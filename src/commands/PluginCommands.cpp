#include "commands/PluginCommands.h"

#include "commands/Commands.h"
#include "common.h"
#include "services/PluginManager.h"

namespace {

class GetPluginsCommand : public Command {
public:
    GetPluginsCommand() : Command("Get Plugins", "The user plug-ins: loaded, with version and time per frame, and refused") {}
    std::unique_ptr<Result> run(const std::vector<std::string>& args) override {
        return std::make_unique<Result>(SaveJsonToString(PluginManager::INSTANCE.GetStatus(), "  "),
                                        "application/json");
    }
};

}  // namespace

void RegisterPluginCommands() { CommandManager::INSTANCE.addCommand(new GetPluginsCommand()); }
