#include "commands/OutputCommands.h"

#include <cstdlib>

#include "OutputMonitor.h"
#include "commands/Commands.h"
#include "services/PixelCountTester.h"
#include "services/Timers.h"

namespace {

const char* PORTS_LIST_URL = "api/kivd/ports/list";

class KIVEnableOutputsCommand : public Command {
public:
    KIVEnableOutputsCommand() : Command("Outputs On", "Switches every managed output port on") {}
    std::unique_ptr<Result> run(const std::vector<std::string>& args) override {
        OutputMonitor::INSTANCE.EnableOutputs();
        return std::make_unique<Result>("OK", "text/plain");
    }
};

class KIVDisableOutputsCommand : public Command {
public:
    KIVDisableOutputsCommand() : Command("Outputs Off", "Switches every managed output port off") {}
    std::unique_ptr<Result> run(const std::vector<std::string>& args) override {
        OutputMonitor::INSTANCE.DisableOutputs();
        return std::make_unique<Result>("OK", "text/plain");
    }
};

class KIVEnablePortCommand : public Command {
public:
    KIVEnablePortCommand() : Command("Set Port Status", "Switches one output port, or all with --ALL--") {
        args.emplace_back("Port", "string", "Port");
        args.back().setContentListUrl(PORTS_LIST_URL);
        args.emplace_back("on", "bool", "On");
    }
    std::unique_ptr<Result> run(const std::vector<std::string>& a) override {
        if (a.size() < 2) {
            return std::make_unique<ErrorResult>("Required arguments not provided");
        }
        bool on = a[1] == "true" || a[1] == "1";
        if (a[0] == "--ALL--") {
            if (on) {
                OutputMonitor::INSTANCE.EnableOutputs();
            } else {
                OutputMonitor::INSTANCE.DisableOutputs();
            }
        } else if (!OutputMonitor::INSTANCE.SetOutput(a[0], on)) {
            // Saying "OK" would tell the user a port was switched.
            return std::make_unique<ErrorResult>("No output port named \"" + a[0] + "\" with an enable pin");
        }
        return std::make_unique<Result>("OK", "text/plain");
    }
};

class KIVCheckConfiguredPixelsCommand : public Command {
public:
    KIVCheckConfiguredPixelsCommand()
        : Command("Check Pixel Count", "Counts the pixels of the ports by their current and compares the counts "
                                       "with the configuration") {
        args.emplace_back("Ports", "multistring", "Ports");
        args.back().setContentListUrl(PORTS_LIST_URL).setDefaultValue("--ALL--");
        args.emplace_back("Sensitivity", "int", "Sensitivity");
        args.back().setRange(0, 20).setDefaultValue("2");
        args.emplace_back("Action", "string", "Action");
        args.back().setContentList({"Warn", "Log"}).setDefaultValue("Warn");
    }
    std::unique_ptr<Result> run(const std::vector<std::string>& a) override {
        // Missing arguments take their defaults rather than being read past
        // the end when the test finishes.
        std::vector<std::string> copy = a;
        for (size_t i = copy.size(); i < args.size(); ++i) copy.push_back(args[i].defaultValue);
        auto started = CommandManager::INSTANCE.run("Test Start", {"50", "Output Specific", "--ALL--", "999"});
        if (started->isError()) {
            // No test runs, so no result would ever come.
            return std::make_unique<ErrorResult>("Pixel count test not started: " + started->get());
        }
        Timers::INSTANCE.addPeriodicTimer("CheckPixelCount", 1000, [copy]() {
            if (CurrentBasedPixelCountPixelStringTester::INSTANCE.getCurrentStatus() != 2) return;
            OutputMonitor::INSTANCE.checkPixelCounts(copy[0], copy[2], (int)strtol(copy[1].c_str(), nullptr, 10));
            CommandManager::INSTANCE.run("Test Stop", {});
            Timers::INSTANCE.stopPeriodicTimer("CheckPixelCount");
        });
        return std::make_unique<Result>("OK", "text/plain");
    }
};

}  // namespace

void RegisterOutputCommands(bool withPortCommands) {
    CommandManager::INSTANCE.addCommand(new KIVEnableOutputsCommand());
    CommandManager::INSTANCE.addCommand(new KIVDisableOutputsCommand());
    if (withPortCommands) {
        CommandManager::INSTANCE.addCommand(new KIVCheckConfiguredPixelsCommand());
        CommandManager::INSTANCE.addCommand(new KIVEnablePortCommand());
    }
}

void UnregisterOutputCommands() {
    CommandManager::INSTANCE.removeCommand("Outputs On");
    CommandManager::INSTANCE.removeCommand("Outputs Off");
    CommandManager::INSTANCE.removeCommand("Check Pixel Count");
    CommandManager::INSTANCE.removeCommand("Set Port Status");
}
