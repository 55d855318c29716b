#include <gtest/gtest.h>

#include "MainLoop.h"
#include "TestSupport.h"
#include "common.h"

namespace {

TEST(RuntimeInformation, AddressesAreJoinedIntoTheFirstSystemsRecord) {
    kivtest::TempMediaDir media;
    Json::Value info;
    Json::Value a, b;
    a["address"] = "10.0.0.2";
    a["hostname"] = "show";
    a["mode"] = "player";
    b["address"] = "192.168.7.2";
    b["hostname"] = "show";
    info["systems"].append(a);
    info["systems"].append(b);
    WriteRuntimeInfoFile(info);
    std::string text = GetFileContents(media.file("/kiv-info.json"));
    Json::Value rec = LoadJsonFromString(text);
    EXPECT_EQ(rec["addresses"].asString(), "10.0.0.2,192.168.7.2");
    EXPECT_FALSE(rec.isMember("address"));
    EXPECT_EQ(rec["hostname"].asString(), "show");
    EXPECT_EQ(rec["mode"].asString(), "player");
    EXPECT_NE(text.find("\n\t\"addresses\""), std::string::npos) << text;  // tab indentation
}

TEST(RuntimeInformation, FileIsRemovedWhenThereIsNoAddress) {
    kivtest::TempMediaDir media;
    kivtest::LogCapture log;
    media.write("/kiv-info.json", "{}");
    Json::Value info;
    info["systems"] = Json::Value(Json::arrayValue);
    WriteRuntimeInfoFile(info);
    EXPECT_FALSE(FileExists(media.file("/kiv-info.json")));
    EXPECT_TRUE(log.contains("Not creating " + media.file("/kiv-info.json") + " as no IP addresses found"));
    EXPECT_FALSE(log.contains("Failed to remove file"));
}

}  // namespace
