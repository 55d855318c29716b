#pragma once
// A board's sensors as sysfs shows them, laid out in a folder of the test's
// own (the daemon's setting "SysfsRoot" points at it): a thermal zone, two
// hwmon chips and an IIO ADC with the readings below. Readings change in
// place, as the kernel's attributes do under a reader that keeps them open.

#include <string>

namespace kivtest {

class FakeSysfs {
public:
    // root: the folder standing for /sys; the board is laid out at once:
    //   class/thermal/thermal_zone0   type cpu-thermal, temp 48312 (48.312 °C)
    //   class/hwmon/hwmon0            ina3221: in1 12034 mV labelled VIN1,
    //                                 curr1 1500 mA, curr2 250 mA, power1 18 W
    //   class/hwmon/hwmon1            pwmfan: fan1 2400 RPM
    //   bus/iio/devices/iio:device0   ads1015: voltage0 raw 360, voltage3
    //                                 raw 7 (scale 3 mV); voltage1 raw -200,
    //                                 its own scale 0.5 and offset 100
    explicit FakeSysfs(const std::string& root);
    const std::string& root() const { return m_root; }
    // Writes a file below the root ("class/hwmon/hwmon0/curr1_input"),
    // creating its folders; an existing file is rewritten in place.
    void write(const std::string& sub, const std::string& text) const;
    std::string path(const std::string& sub) const { return m_root + "/" + sub; }

private:
    std::string m_root;
};

}  // namespace kivtest
