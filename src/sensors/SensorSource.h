#pragma once
// One device of the board that measures something, as the kernel shows it in
// sysfs: a thermal zone (class/thermal/thermal_zoneN), a hardware monitor
// chip (class/hwmon/hwmonN: temperatures, voltages, currents, power, fans)
// or an IIO converter (bus/iio/devices/iio:deviceN: ADC channels). Found by
// the sensor service (Sensors.h) under its sysfs root; read by its reader
// thread and, for port currents, by the output monitor.

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Reads the integer a sysfs attribute holds, from the start of the open
// file (attributes are re-generated on every read from offset 0). False
// when nothing could be read or the text is not an integer.
bool ReadSysfsInteger(int fd, long long& value);
// A path given as "/sys/..." placed under the sysfs root in use (the setting
// "SysfsRoot", "/sys" on a board), so tests can lay out a tree of their own.
std::string SysfsPath(const std::string& path);
std::string SysfsRoot();

class SensorSource {
public:
    struct Channel {
        std::string id;     // "temp1", "in0", "curr2", "power1", "fan1" (hwmon); "voltage0" (IIO); "temp" (zone)
        std::string kind;   // "temperature", "voltage", "current", "power", "fan"
        std::string label;  // the chip's own name for it (hwmon tempN_label), or empty
        std::string unit;   // of the value: "°C", "V", "A", "W", "RPM"
        std::string path;   // the attribute holding the reading
        double offset = 0;  // value = (raw + offset) * scale
        double scale = 1;
        int fd = -1;                       // opened when first read
        std::atomic<bool> enabled{false};  // read by update()
        std::atomic<bool> ok{false};       // the last read worked
        std::atomic<long long> raw{0};     // the last reading
        std::atomic<int> error{0};         // errno of the last failed read
    };

    // Reads what the directory holds: a thermal zone, a hwmon chip or an IIO
    // device; null when it is none of them or has no channel.
    static std::unique_ptr<SensorSource> FromDirectory(const std::string& dir, const std::string& id);
    ~SensorSource();

    // The chip's name ("ina3221", "cpu-thermal", "ads1015"), or the id when
    // it has none; the id is the directory's name ("hwmon2").
    const std::string& name() const { return m_name; }
    const std::string& id() const { return m_id; }
    const std::string& path() const { return m_path; }
    const std::string& type() const { return m_type; }  // "thermal", "hwmon", "iio"
    size_t channelCount() const { return m_channels.size(); }
    const Channel& channel(size_t index) const { return *m_channels[index]; }
    // Index of the channel of that id, or -1.
    int findChannel(const std::string& id) const;
    void enableIndex(size_t index, bool on = true);

    // The output monitor's numbering: channel N is the source's current
    // input N (hwmon currN; IIO in_currentN, else in_voltageN, an ADC behind
    // a current-sense amplifier). getValue is its last raw reading.
    void enable(int channel);
    int32_t getValue(int channel);

    // Reads every enabled channel; the caller serialises calls.
    void update();

private:
    SensorSource() {}
    bool readChannel(Channel& c);

    std::string m_name, m_id, m_path, m_type;
    std::vector<std::unique_ptr<Channel>> m_channels;
    std::map<int, size_t> m_portChannels;  // output monitor's channel -> index
};
