#include <gtest/gtest.h>

#include <cstdlib>

#include "CrashReport.h"
#include "TestSupport.h"

namespace {

TEST(CrashReportPlaces, CrashLogFollowsTmpdirAndArchivesTheMediaDirectory) {
    kivtest::TempMediaDir media;
    const char* old = getenv("TMPDIR");
    std::string saved = old ? old : "";
    unsetenv("TMPDIR");
    EXPECT_EQ(CrashLogPath(), "/tmp/kivd_crash.log");
    setenv("TMPDIR", "/var/tmp/kiv/", 1);
    EXPECT_EQ(CrashLogPath(), "/var/tmp/kiv/kivd_crash.log");
    setenv("TMPDIR", "relative", 1);  // not a place to trust
    EXPECT_EQ(CrashLogPath(), "/tmp/kivd_crash.log");
    if (old) {
        setenv("TMPDIR", saved.c_str(), 1);
    } else {
        unsetenv("TMPDIR");
    }
    EXPECT_EQ(CrashArchiveDir(), media.file("/crashes"));
}

}  // namespace
