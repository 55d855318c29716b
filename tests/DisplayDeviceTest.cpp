// The display device layer: connector names, the choice between kernel and
// memory devices, and the kernel devices failing cleanly where the machine
// has none.

#include <gtest/gtest.h>

#include <cstdlib>

#include "DisplayDevice.h"
#include "FrameBuffer.h"
#include "TestSupport.h"
#include "log.h"
#include "settings.h"

using namespace kivtest;

namespace {

TEST(DisplayDeviceTest, ConnectorNamesAreTheTypeNameAndTheIndex) {
    const char* names[] = {"VGA",    "DVII",        "DVID",   "DVIA",   "Composite", "SVIDEO", "LVDS",
                           "Component", "9PinDIN", "DisplayPort", "HDMI-A", "HDMI-B", "TV",     "eDP",
                           "VIRTUAL", "DSI",        "DPI",    "WRITEBACK", "SPI"};
    for (uint32_t t = 1; t <= 19; ++t) {
        EXPECT_EQ(std::string(names[t - 1]) + "-" + std::to_string(t % 3 + 1), DRMConnectorName(t, t % 3 + 1));
    }
    EXPECT_EQ("unknown-1", DRMConnectorName(0, 1));
    EXPECT_EQ("unknown-2", DRMConnectorName(20, 2));
}

TEST(DisplayDeviceTest, TheEnvironmentOrTheSettingChoosesMemoryDisplays) {
    unsetenv("KIV_DISPLAY_BACKEND");
    SetSetting("DisplayBackend", "");
    EXPECT_EQ("kernel", GetDisplayBackend().Name());
    SetSetting("DisplayBackend", "Memory");
    EXPECT_EQ("memory", GetDisplayBackend().Name());
    setenv("KIV_DISPLAY_BACKEND", "kernel", 1);
    EXPECT_EQ("kernel", GetDisplayBackend().Name()) << "the environment wins";
    setenv("KIV_DISPLAY_BACKEND", "memory", 1);
    SetSetting("DisplayBackend", "");
    EXPECT_EQ("memory", GetDisplayBackend().Name());
    unsetenv("KIV_DISPLAY_BACKEND");
}

TEST(DisplayDeviceTest, KernelDevicesThatAreNotThereFailCleanly) {
    DisplayBackend& kernel = KernelDisplayBackend();
    errno = 0;
    EXPECT_EQ(nullptr, kernel.OpenFBDevice("/nonexistent/kivtest-fb"));
    EXPECT_EQ(ENOENT, errno);
    if (!kernel.CardExists(9)) {
        std::string error;
        EXPECT_EQ(nullptr, kernel.OpenCard(9, error));
        EXPECT_NE(std::string::npos, error.find("/dev/dri/card9")) << error;
    }

    // A frame buffer on a device the machine does not have: both paths are
    // tried and it fails with the device's name.
    unsetenv("KIV_DISPLAY_BACKEND");
    SetSetting("DisplayBackend", "");
    LogCapture log;
    FrameBuffer fb;
    Json::Value config;
    config["Device"] = "kivtest-nofb";
    config["Width"] = 64;
    config["Height"] = 32;
    EXPECT_FALSE(fb.FBInit(config));
    EXPECT_TRUE(log.contains("Error opening FrameBuffer device: /dev/kivtest-nofb"));
}

}  // namespace
