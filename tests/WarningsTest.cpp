#include <gtest/gtest.h>

#include <condition_variable>

#include "TestSupport.h"
#include "Warnings.h"
#include "common.h"

namespace {

class RecordingListener : public WarningListener {
public:
    void handleWarnings(std::list<std::string>& w) override {
        std::lock_guard<std::mutex> lock(m);
        lists.push_back(w);
    }
    size_t calls() {
        std::lock_guard<std::mutex> lock(m);
        return lists.size();
    }
    std::list<std::string> last() {
        std::lock_guard<std::mutex> lock(m);
        return lists.empty() ? std::list<std::string>() : lists.back();
    }
    std::mutex m;
    std::vector<std::list<std::string>> lists;
};

class WarningsTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (auto& w : WarningHolder::GetWarnings()) WarningHolder::RemoveWarning(w);
        WarningHolder::StartNotifyThread();
        WarningHolder::AddWarningListener(&listener);
    }
    void TearDown() override {
        WarningHolder::RemoveWarningListener(&listener);
        for (auto& w : WarningHolder::GetWarnings()) WarningHolder::RemoveWarning(w);
        WarningHolder::StopNotifyThread();
    }
    std::string fileText() { return GetFileContents(WarningHolder::warningsFilePath()); }
    kivtest::TempInstallDir install;
    RecordingListener listener;
};

TEST_F(WarningsTest, SameTextTwiceIsOneWarning) {
    WarningHolder::AddWarning("Disk nearly full");
    WarningHolder::AddWarning("Disk nearly full");
    EXPECT_EQ(WarningHolder::GetWarnings(), (std::list<std::string>{"Disk nearly full"}));
}

TEST_F(WarningsTest, TimeoutMakesAnExistingWarningExpire) {
    WarningHolder::AddWarning("Transient");
    WarningHolder::AddWarningTimeout("Transient", 1);
    EXPECT_EQ(WarningHolder::GetWarnings().size(), 1u);
    ASSERT_TRUE(kivtest::waitUntil([] { return WarningHolder::GetWarnings().empty(); }, 4000));
    // the expiry wakes the notifier, which rewrites file and listeners
    EXPECT_TRUE(kivtest::waitUntil([&] { return LoadJsonFromString(fileText()).size() == 0; }, 2000));
    EXPECT_TRUE(kivtest::waitUntil([&] { return listener.last().empty() && listener.calls() >= 2; }, 2000));
}

TEST_F(WarningsTest, ListenersAndFileSeeSortedByteOrder) {
    WarningHolder::AddWarning("apple warning");
    WarningHolder::AddWarning("Banana warning");
    std::list<std::string> expected{"Banana warning", "apple warning"};
    ASSERT_TRUE(kivtest::waitUntil([&] { return listener.last() == expected; }, 2000));
    ASSERT_TRUE(kivtest::waitUntil([&] { return LoadJsonFromString(fileText()).size() == 2; }, 2000));
    Json::Value file = LoadJsonFromString(fileText());
    EXPECT_EQ(file[0].asString(), "Banana warning");
    EXPECT_EQ(file[1].asString(), "apple warning");
    EXPECT_NE(fileText().find("\n\t\""), std::string::npos);  // tab indented
}

TEST_F(WarningsTest, RemovingAbsentTextStillNotifiesOnce) {
    size_t before = listener.calls();
    WarningHolder::RemoveWarning("never added");
    EXPECT_TRUE(kivtest::waitUntil([&] { return listener.calls() >= before + 1; }, 2000));
}

TEST_F(WarningsTest, EmptySetWritesEmptyArray) {
    WarningHolder::AddWarning("x");
    WarningHolder::RemoveWarning("x");
    ASSERT_TRUE(kivtest::waitUntil([&] { return fileText() == "[]"; }, 2000));
}

TEST_F(WarningsTest, RemovingUnknownListenerIsLogged) {
    kivtest::LogCapture log;
    RecordingListener other;
    WarningHolder::RemoveWarningListener(&other);
    EXPECT_TRUE(log.contains("Requested to remove Listener, but it wasn't found"));
}

TEST_F(WarningsTest, ConcurrentWritersNeverLoseAWarning) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 50; ++i) WarningHolder::AddWarning("w" + std::to_string(t) + "-" + std::to_string(i));
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(WarningHolder::GetWarnings().size(), 200u);
    EXPECT_TRUE(kivtest::waitUntil([&] { return listener.last().size() == 200; }, 3000));
}

}  // namespace
