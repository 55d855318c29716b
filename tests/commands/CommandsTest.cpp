#include <gtest/gtest.h>

#include <poll.h>

#include <atomic>

#include "TestSupport.h"
#include "commands/CommandSocket.h"
#include "commands/Commands.h"
#include "common.h"

namespace {

// Records every call so tests can see what ran and with which arguments.
class RecordCommand : public Command {
public:
    RecordCommand(const std::string& n) : Command(n, "records its calls") {
        args.emplace_back("Text", "string", "anything");
    }
    std::unique_ptr<Result> run(const std::vector<std::string>& a) override {
        std::lock_guard<std::mutex> lock(m);
        calls.push_back(a);
        if (!a.empty() && a[0] == "fail") return std::make_unique<ErrorResult>("asked to fail");
        return std::make_unique<Result>("recorded " + std::to_string(a.size()));
    }
    static std::mutex m;
    static std::vector<std::vector<std::string>> calls;
};
std::mutex RecordCommand::m;
std::vector<std::vector<std::string>> RecordCommand::calls;

class CommandsTest : public ::testing::Test {
protected:
    void SetUp() override {
        RecordCommand::calls.clear();
        CommandManager::INSTANCE.Init();
        CommandManager::INSTANCE.addCommand(new RecordCommand("Record"));
    }
    void TearDown() override { CommandManager::INSTANCE.Cleanup(); }
    kivtest::TempMediaDir media;
};

TEST_F(CommandsTest, RunsByNameAndByJsonDocument) {
    auto r = CommandManager::INSTANCE.run("Record", {"a", "b"});
    EXPECT_FALSE(r->isError());
    EXPECT_EQ(r->get(), "recorded 2");
    EXPECT_EQ(r->contentType(), "text/plain");
    Json::Value doc;
    doc["command"] = "Record";
    doc["args"].append("x");
    doc["args"].append(5);
    r = CommandManager::INSTANCE.run(doc);
    EXPECT_EQ(r->get(), "recorded 2");
    EXPECT_EQ(RecordCommand::calls.back(), (std::vector<std::string>{"x", "5"}));
}

TEST_F(CommandsTest, UnknownCommandAndBadDocumentGiveErrorResults) {
    auto r = CommandManager::INSTANCE.run("Nope", {});
    EXPECT_TRUE(r->isError());
    EXPECT_EQ(r->get(), "Unknown command: \"Nope\"");
    r = CommandManager::INSTANCE.run(LoadJsonFromString("{\"args\": []}"));
    EXPECT_TRUE(r->isError());
    r = CommandManager::INSTANCE.run(LoadJsonFromString("{\"command\": \"Record\", \"args\": 3}"));
    EXPECT_TRUE(r->isError());
    EXPECT_TRUE(RecordCommand::calls.empty());
}

TEST_F(CommandsTest, ListCommandsDescribesArguments) {
    auto r = CommandManager::INSTANCE.run("List Commands", {});
    Json::Value list = LoadJsonFromString(r->get());
    bool found = false;
    for (auto& c : list) {
        if (c["name"].asString() == "Record") {
            found = true;
            EXPECT_EQ(c["args"][0]["name"].asString(), "Text");
        }
    }
    EXPECT_TRUE(found);
}

TEST_F(CommandsTest, PresetsRunBoundCommandsWithKeywordsInOrder) {
    media.write("/config/commandPresets.json", R"({"commands": [
        {"name": "PLAYLIST_START_TMINUS_010", "command": "Record", "args": ["%PLAYLIST_NAME% soon"]},
        {"name": "OTHER", "command": "Record", "args": ["other"]},
        {"name": "PLAYLIST_START_TMINUS_010", "command": "Record", "args": ["second", "%DATE%"]}
    ]})");
    std::map<std::string, std::string> kw{{"PLAYLIST_NAME", "Evening Show"}};
    CommandManager::INSTANCE.TriggerPreset("PLAYLIST_START_TMINUS_010", kw);
    CommandManager::INSTANCE.WaitForPresets();
    ASSERT_EQ(RecordCommand::calls.size(), 2u);
    EXPECT_EQ(RecordCommand::calls[0], (std::vector<std::string>{"Evening Show soon"}));
    EXPECT_EQ(RecordCommand::calls[1][0], "second");
    EXPECT_EQ(RecordCommand::calls[1][1].size(), 10u);  // %DATE% became YYYY-MM-DD
}

TEST_F(CommandsTest, EditedPresetsFileIsPickedUpWithoutRestart) {
    media.write("/config/commandPresets.json", R"({"commands": [{"name": "P", "command": "Record", "args": ["one"]}]})");
    CommandManager::INSTANCE.TriggerPreset("P");
    CommandManager::INSTANCE.WaitForPresets();
    usleep(20000);  // a new modification time
    media.write("/config/commandPresets.json",
                R"({"commands": [{"name": "P", "command": "Record", "args": ["two"]}, {"name": "P", "command": "Record"}]})");
    CommandManager::INSTANCE.TriggerPreset("P");
    CommandManager::INSTANCE.WaitForPresets();
    ASSERT_EQ(RecordCommand::calls.size(), 3u);
    EXPECT_EQ(RecordCommand::calls[1][0], "two");
    EXPECT_TRUE(RecordCommand::calls[2].empty());
}

TEST_F(CommandsTest, GarbledPresetsFileIsReportedAndIgnored) {
    kivtest::LogCapture log;
    media.write("/config/commandPresets.json", "{ not json");
    CommandManager::INSTANCE.TriggerPreset("ANY");
    CommandManager::INSTANCE.WaitForPresets();
    EXPECT_TRUE(RecordCommand::calls.empty());
    EXPECT_TRUE(log.contains("is not valid JSON; no presets are active"));
}

TEST_F(CommandsTest, SocketAnswersWithTheResultAndClientPrintsIt) {
    int fd = Command_Initialize();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(CommandSocketPath(), media.file("/tmp/kivd.sock"));
    // Serve the socket on a thread, as the main loop would.
    std::atomic<bool> stop{false};
    std::thread server([&] {
        while (!stop) {
            pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, 20) > 0) CommandProc();
        }
    });
    std::string out;
    std::string client = kivtest::buildDir() + "/src/kivcmd";
    int rc = kivtest::runCommand(client + " Record hello world", &out);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(out, "recorded 2\n");
    rc = kivtest::runCommand(client + " Record fail", &out);
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(out, "asked to fail\n");
    rc = kivtest::runCommand(client + " 'No Such Command'", &out);
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(out, "Unknown command: \"No Such Command\"\n");
    stop = true;
    server.join();
    CloseCommand();
    rc = kivtest::runCommand(client + " -t 1 Record x", &out);
    EXPECT_EQ(rc, 2);
    EXPECT_NE(out.find("cannot reach kivd"), std::string::npos);
}

// Waits until the test lets it go; the socket runs it on a worker.
class SlowCommand : public Command {
public:
    SlowCommand() : Command("Slow", "waits until released") {}
    bool runsLong() const override { return true; }
    std::unique_ptr<Result> run(const std::vector<std::string>& a) override {
        ++started;
        kivtest::waitUntil([] { return released.load(); }, 20000);
        return std::make_unique<Result>("slow done");
    }
    static std::atomic<int> started;
    static std::atomic<bool> released;
};
std::atomic<int> SlowCommand::started{0};
std::atomic<bool> SlowCommand::released{false};

TEST_F(CommandsTest, LongRunningCommandsLeaveTheSocketFreeAndFinishBeforeClose) {
    CommandManager::INSTANCE.addCommand(new SlowCommand());
    SlowCommand::started = 0;
    SlowCommand::released = false;
    int fd = Command_Initialize();
    ASSERT_GE(fd, 0);
    std::atomic<bool> stop{false};
    std::thread server([&] {
        while (!stop) {
            pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, 20) > 0) CommandProc();
        }
    });
    std::string client = kivtest::buildDir() + "/src/kivcmd";
    std::vector<std::string> slowOut(5);
    std::vector<int> slowRc(5, -1);
    std::vector<std::thread> clients;
    for (int i = 0; i < 4; ++i) {
        clients.emplace_back([&, i] { slowRc[i] = kivtest::runCommand(client + " Slow", &slowOut[i]); });
    }
    ASSERT_TRUE(kivtest::waitUntil([] { return SlowCommand::started == 4; }, 10000));
    // Four are running: a fifth is turned away, a quick one is answered.
    std::string out;
    EXPECT_EQ(kivtest::runCommand(client + " Slow", &out), 1);
    EXPECT_EQ(out, "Too many long-running commands at once; try again shortly\n");
    EXPECT_EQ(kivtest::runCommand(client + " -t 5 Record quick", &out), 0);
    EXPECT_EQ(out, "recorded 1\n");
    stop = true;
    server.join();
    SlowCommand::released = true;
    // Closing waits for the workers, which still answer their clients.
    CloseCommand();
    for (auto& t : clients) t.join();
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(slowRc[i], 0);
        EXPECT_EQ(slowOut[i], "slow done\n");
    }
}

}  // namespace

namespace {

TEST_F(CommandsTest, DocumentedPresetsExampleRunsItsCommands) {
    CopyFileContents(kivtest::sourceDir() + "/docs/examples/commandPresets.json",
                     media.file("/config/commandPresets.json"));
    // "Trigger Command Preset" chains to ANNOUNCE_<playlist>, bound here to Record.
    Json::Value doc = LoadJsonFromFile(media.file("/config/commandPresets.json"));
    Json::Value extra;
    extra["name"] = "ANNOUNCE_Evening";
    extra["command"] = "Record";
    extra["args"].append("%PLAYLIST_NAME%");
    doc["commands"].append(extra);
    SaveJsonToFile(doc, media.file("/config/commandPresets.json"));
    std::map<std::string, std::string> kw{{"PLAYLIST_NAME", "Evening"}};
    CommandManager::INSTANCE.TriggerPreset("PLAYLIST_START_TMINUS_060", kw);
    CommandManager::INSTANCE.WaitForPresets();
    ASSERT_EQ(RecordCommand::calls.size(), 1u);
    // the chained preset has no keywords of its own, so the text stays
    EXPECT_EQ(RecordCommand::calls[0], (std::vector<std::string>{"%PLAYLIST_NAME%"}));
}

}  // namespace
