#include "commands/DaemonCommands.h"

#include "Events.h"
#include "Warnings.h"
#include "commands/Commands.h"
#include "common.h"
#include "sync/MultiSync.h"
#include "sync/SyncFiles.h"

namespace {

class StopDaemonCommand : public Command {
public:
    StopDaemonCommand() : Command("Stop KIVD", "Stops the daemon cleanly") {}
    std::unique_ptr<Result> run(const std::vector<std::string>& args) override {
        ShutdownKIVD(false);
        return std::make_unique<Result>("Stopping");
    }
};

class RestartDaemonCommand : public Command {
public:
    RestartDaemonCommand()
        : Command("Restart KIVD", "Restarts the daemon, keeping its log levels and the playing scheduled playlist") {}
    std::unique_ptr<Result> run(const std::vector<std::string>& args) override {
        ShutdownKIVD(true);
        return std::make_unique<Result>("Restarting");
    }
};

class GetStatusCommand : public Command {
public:
    GetStatusCommand() : Command("Get Status", "The daemon's status document as JSON") {}
    std::unique_ptr<Result> run(const std::vector<std::string>& args) override {
        Json::Value status(Json::objectValue);
        GetCurrentKIVDStatus(status);
        return std::make_unique<Result>(SaveJsonToString(status, "  "), "application/json");
    }
};

class GetWarningsCommand : public Command {
public:
    GetWarningsCommand() : Command("Get Warnings", "The current warnings as a JSON array") {}
    std::unique_ptr<Result> run(const std::vector<std::string>& args) override {
        Json::Value list(Json::arrayValue);
        for (auto& w : WarningHolder::GetWarnings()) list.append(w);
        return std::make_unique<Result>(SaveJsonToString(list, "  "), "application/json");
    }
};

class GetSystemsCommand : public Command {
public:
    GetSystemsCommand()
        : Command("Get Systems", "JSON: this system and every other one multi-system sync has heard from") {}
    std::unique_ptr<Result> run(const std::vector<std::string>& args) override {
        Json::Value systems = MultiSync::INSTANCE.GetSystems(false, true);
        SyncFiles::INSTANCE.AddStatus(systems);
        return std::make_unique<Result>(SaveJsonToString(systems, "  "), "application/json");
    }
};

}  // namespace

void RegisterDaemonCommands() {
    CommandManager::INSTANCE.addCommand(new StopDaemonCommand());
    CommandManager::INSTANCE.addCommand(new RestartDaemonCommand());
    CommandManager::INSTANCE.addCommand(new GetStatusCommand());
    CommandManager::INSTANCE.addCommand(new GetWarningsCommand());
    CommandManager::INSTANCE.addCommand(new GetSystemsCommand());
}
