// Replays the seeds of the network fuzz targets through the code the
// targets run (each aborts on a finding), so a fixed finding stays fixed;
// and the seeds do reach a command, the stream and a system request.

#include <gtest/gtest.h>

#include "../../fuzz/NetworkFuzzInputs.h"
#include "DisplayTestSupport.h"
#include "TestSupport.h"

namespace {

void replay(const std::string& corpus, void (*run)(const uint8_t*, size_t)) {
    std::string dir = kivtest::sourceDir() + "/fuzz/corpus/" + corpus;
    auto names = kivtest::FilesIn(dir, "");
    ASSERT_GE(names.size(), 5u) << dir;
    for (auto& n : names) {
        SCOPED_TRACE(corpus + "/" + n);
        std::string input = GetFileContents(dir + "/" + n);
        run((const uint8_t*)input.data(), input.size());
    }
}

}  // namespace

TEST(NetworkFuzzCorpus, EverySeedReplaysWithoutAFinding) {
    kivtest::LogCapture log;  // the seeds are meant to be refused
    long before = netfuzz::FuzzEchoCommand::runs;
    replay("command", netfuzz::RunCommandRequest);
    EXPECT_GE(netfuzz::FuzzEchoCommand::runs - before, 1);
    replay("stream", netfuzz::RunStreamRequest);
    replay("mqtt", netfuzz::RunMqttMessage);
    netfuzz::CommandServer().Stop();
    CommandManager::INSTANCE.Cleanup();
}
