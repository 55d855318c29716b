#include "FakeSysfs.h"

#include <filesystem>

#include "TestSupport.h"
#include "common.h"

namespace kivtest {

FakeSysfs::FakeSysfs(const std::string& root) : m_root(root) {
    const char* files[][2] = {
        {"class/thermal/thermal_zone0/type", "cpu-thermal\n"},
        {"class/thermal/thermal_zone0/temp", "48312\n"},
        {"class/thermal/cooling_device0/type", "fan\n"},  // not a sensor
        {"class/hwmon/hwmon0/name", "ina3221\n"},
        {"class/hwmon/hwmon0/in1_input", "12034\n"},
        {"class/hwmon/hwmon0/in1_label", "VIN1\n"},
        {"class/hwmon/hwmon0/curr1_input", "1500\n"},
        {"class/hwmon/hwmon0/curr2_input", "250\n"},
        {"class/hwmon/hwmon0/power1_input", "18000000\n"},
        {"class/hwmon/hwmon0/update_interval", "1000\n"},
        {"class/hwmon/hwmon1/name", "pwmfan\n"},
        {"class/hwmon/hwmon1/fan1_input", "2400\n"},
        {"bus/iio/devices/iio:device0/name", "ads1015\n"},
        {"bus/iio/devices/iio:device0/in_voltage0_raw", "360\n"},
        {"bus/iio/devices/iio:device0/in_voltage3_raw", "7\n"},
        {"bus/iio/devices/iio:device0/in_voltage_scale", "3.000000000\n"},
        {"bus/iio/devices/iio:device0/in_voltage1_raw", "-200\n"},
        {"bus/iio/devices/iio:device0/in_voltage1_scale", "0.5\n"},
        {"bus/iio/devices/iio:device0/in_voltage1_offset", "100\n"},
        {"bus/iio/devices/iio:device0/sampling_frequency", "1600\n"},
    };
    for (auto& f : files) write(f[0], f[1]);
}

void FakeSysfs::write(const std::string& sub, const std::string& text) const {
    std::string p = path(sub);
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(p).parent_path(), ec);
    rewriteInPlace(p, text);
}

}  // namespace kivtest
