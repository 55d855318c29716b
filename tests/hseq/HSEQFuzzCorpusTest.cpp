// Replays every seed of the sequence file fuzz corpus through the same
// code the fuzz target runs, so a fixed finding stays fixed.

#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "../../fuzz/HSEQFuzzInput.h"
#include "HSEQTestSupport.h"
#include "log.h"

TEST(HSEQFuzzCorpus, EverySeedReplaysWithoutAFinding) {
    std::string dir = kivtest::sourceDir() + "/fuzz/corpus/hseq";
    DIR* d = opendir(dir.c_str());
    ASSERT_NE(d, nullptr) << dir;
    std::vector<std::string> names;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] != '.') names.push_back(e->d_name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    ASSERT_GE(names.size(), 8u);
    kivtest::LogCapture log;  // the seeds are meant to log errors
    hseqtest::ScratchDir scratch;
    int opened = 0;
    for (auto& n : names) {
        hseqtest::Bytes input = hseqtest::ReadFile(dir + "/" + n);
        ASSERT_GE(input.size(), hseqfuzz::CONTROL_BYTES) << n;
        SCOPED_TRACE(n);
        hseqfuzz::RunHSEQFuzzInput(input.data(), input.size());
        // Valid seeds open; count them so a broken reader cannot pass by
        // rejecting everything.
        std::string path = scratch.file("seed.hseq");
        hseqtest::WriteFile(path, hseqtest::Bytes(input.begin() + hseqfuzz::CONTROL_BYTES, input.end()));
        std::unique_ptr<HSEQFile> f(HSEQFile::openHSEQFile(path));
        if (f) ++opened;
    }
    EXPECT_GE(opened, 4);
}
