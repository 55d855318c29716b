// The libgpiod provider on a machine without GPIO chips: every name is
// unknown, so the monitor's "Could not find pin" path is what users see.

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "services/GPIO.h"
#include "services/GPIODPins.h"
#include "settings.h"

TEST(GPIODPins, NamesWithoutAChipAreNotFound) {
    GPIODPinProvider p;
    p.init("test");
    EXPECT_EQ(p.getPinByName("GPIO17"), nullptr);
    EXPECT_EQ(p.getPinByName("gpiochip0:17"), nullptr);
    EXPECT_EQ(p.getPinByName("gpiochip0:99999999999999"), nullptr);
    EXPECT_EQ(p.getPinByName(""), nullptr);
}

TEST(GPIODPins, AnUnknownProviderSettingFallsBackToGpiodWithAnError) {
    kivtest::LogCapture log;
    SetSetting("GPIOProvider", "magic");
    {
        PiGPIOPinProvider board;
        EXPECT_EQ(board.getPinByName("GPIO1"), nullptr);
    }
    SetSetting("GPIOProvider", "gpiod");
    EXPECT_TRUE(log.contains("Unknown GPIOProvider \"magic\" (use \"gpiod\" or \"simulated\"); using \"gpiod\""));
}
