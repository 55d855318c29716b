// Messages from the broker: which callbacks get them, and what the system
// topics ask for, exactly as documented in docs/mqtt.md.

#include "services/MqttMessages.h"

#include <gtest/gtest.h>

TEST(MqttMessages, OnlyTheDocumentedTopicsUnderTheBoardsOwnBaseAskForAnything) {
    const std::string base = "home/kivd/board1";
    const std::map<std::string, std::string> subscriptions = {{base + "/system/kivd/#", "/system/kivd/#"},
                                                              {base + "/system/shutdown", "/system/shutdown"},
                                                              {base + "/system/restart", "/system/restart"}};
    struct Case {
        std::string topic;
        bool retained;
        SystemRequest request;  // Invalid also when nothing is delivered
    } cases[] = {
        {base + "/system/kivd/stop", false, SystemRequest::StopDaemon},
        {base + "/system/kivd/restart", false, SystemRequest::RestartDaemon},
        {base + "/system/shutdown", false, SystemRequest::ShutdownBoard},
        {base + "/system/restart", false, SystemRequest::RebootBoard},
        {base + "/system/kivd/restart", true, SystemRequest::Invalid},  // kept by the broker
        {base + "/system/kivd/other/stop", false, SystemRequest::Invalid},
        {base + "/system/kivd/stop/", false, SystemRequest::Invalid},
        {"home/kivd/board2/system/kivd/stop", false, SystemRequest::Invalid},
        {base + "/system/kivd/+", false, SystemRequest::Invalid},
        {"", false, SystemRequest::Invalid},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.topic);
        auto deliveries = RouteMqttMessage(base, subscriptions, c.topic, c.retained);
        SystemRequest got = SystemRequest::Invalid;
        for (auto& d : deliveries) {
            EXPECT_EQ(c.topic, base + d.topic);
            if (ParseSystemRequest(d.topic) != SystemRequest::Invalid) got = ParseSystemRequest(d.topic);
        }
        EXPECT_EQ(got, c.request);
    }
}
