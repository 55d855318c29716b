// The real kivd serves its HTTP interface on the configured address while
// it runs.
#include <gtest/gtest.h>

#include "HttpClient.h"
#include "KivdProcess.h"
#include "TestSupport.h"
#include "common.h"

TEST(HttpEndToEnd, DaemonServesItsPagesUntilItStops) {
    kivtest::TempMediaDir media;
    kivtest::KivdProcess d(media.path());
    PutFileContents(d.installDir() + "/www/hello.html", "<p>hello</p>");
    ASSERT_TRUE(d.start({"-f"}));
    ASSERT_TRUE(d.waitReady()) << d.output();

    auto page = kivtest::httpGet(d.httpUrl("/hello.html"));
    EXPECT_EQ(page.status, 200) << page.error << d.output();
    EXPECT_EQ(page.body, "<p>hello</p>");
    auto missing = kivtest::httpGet(d.httpUrl("/nothing"));
    EXPECT_EQ(missing.status, 404);
    EXPECT_EQ(missing.header("content-type"), "application/json");
    EXPECT_NE(d.log().find("HTTP server listening on " + d.httpAddress()), std::string::npos) << d.log();

    EXPECT_EQ(d.stop(), 0);
    EXPECT_EQ(kivtest::httpGet(d.httpUrl("/hello.html")).status, 0);
}
