#pragma once
// The sensor service: the board's temperatures, voltages, currents, power
// and fan speeds. kivd's start-up finds the sources under the sysfs root
// (DetectHWSensors), adds those a cape names (addSensorSources) and the
// sensor definitions of <media>/config/sensors.json (addSensors: names,
// scale, offset, unit, thresholds; docs/sensors.md). Init starts the reader
// thread "KIV-Sensors", which reads every source each "SensorReadInterval"
// ms, raises and clears threshold warnings with their presets and publishes
// changed values (topics sensors/<name> and sensors); Close ends it. Reads
// of I2C chips and ADC conversions take milliseconds each, which is why they
// happen on that thread and never on the main loop. The output monitor reads
// port currents through the same sources (getSensorSource,
// updateSensorSources). Snapshot() is what "Get Sensors", the status
// document and other reporters show.

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <json/json.h>

#include "sensors/SensorSource.h"

class Sensors {
public:
    static Sensors INSTANCE;
    static constexpr int DEFAULT_INTERVAL_MS = 2000;
    // Significant digits of values in JSON: more than any sensor resolves.
    static constexpr int JSON_DIGITS = 10;

    // Finds the thermal zones, hwmon chips and IIO devices under the sysfs
    // root; every channel becomes a sensor with a name of its own until
    // addSensors names it.
    void DetectHWSensors();
    // [{"name", "path"}]: a source at a sysfs directory, under that name.
    void addSensorSources(const Json::Value& sources);
    // [{"name", "source", "channel", "scale", "offset", "unit", "hidden",
    // "thresholds"}]; a bad entry is refused with its reason (log and
    // warning), the rest work.
    void addSensors(const Json::Value& sensors);
    // Reads a definitions file as kivd's start-up does; a file that does not
    // parse is refused with its reason. False when there is nothing to add.
    static bool LoadDefinitions(const std::string& path, Json::Value& doc);

    // Starts the reader thread; registers no descriptor (see above).
    void Init(std::map<int, std::function<bool(int)>>& callbacks);
    // Ends the thread, withdraws the sensors' warnings, forgets everything.
    void Close();

    // The source of that name (the chip's name, the directory's name or a
    // name given by addSensorSources), or null.
    SensorSource* getSensorSource(const std::string& name);
    // Reads the sources now when forced, else when the last read is older
    // than the interval; on the caller's thread.
    void updateSensorSources(bool force = false);
    // The pixel-count test takes the sensors for one group of ports (-1:
    // none): the reader thread leaves the sources alone meanwhile, so the
    // test's readings are the only ones on the sensors' bus.
    void lockToGroup(int group);

    // {"sensors": [{"name", "kind", "value" (null when unreadable), "unit",
    // "source", "channel", "raw", "scale", "offset", "alarm", "error"?}],
    // "sources": [{"name", "id", "type", "path", "channels"}]}
    Json::Value Snapshot();
    int SensorCount();
    // One reading of every sensor at once, as the reader thread makes it
    // (for tests and for callers that must not wait an interval).
    void ReadNow();

private:
    struct Threshold {
        bool above = true;
        double limit = 0;
        double hysteresis = 0;
        std::string warning, preset, clearPreset;
        bool active = false;
    };
    struct Sensor {
        std::string name;
        SensorSource* source = nullptr;
        size_t channel = 0;
        double scale = 1, offset = 0;
        std::string unit;
        bool configured = false;  // named by a definitions file
        bool hidden = false;
        std::vector<Threshold> thresholds;
        bool haveValue = false;
        double value = 0;
        long long raw = 0;
        std::string shown;      // value as text, as published
        std::string published;  // what sensors/<name> last carried
        std::string readWarning;
    };

    SensorSource* findSource(const std::string& name);          // m_lock held
    std::string refuseSensor(const Json::Value& e, Sensor& s);  // reason or empty; m_lock held
    void readerMain();
    void readSources();  // m_readLock held
    void evaluate();
    static std::string format(double v);

    // Guards the sources' reads and their file descriptors: the reader
    // thread and a forced update take turns.
    std::mutex m_readLock;
    long long m_lastRead = 0;  // GetTimeMS of the last read; m_readLock

    // Guards everything below. Never held while reading the sources,
    // triggering presets or touching warnings.
    std::mutex m_lock;
    std::condition_variable m_cv;
    std::vector<std::unique_ptr<SensorSource>> m_sources;  // fixed once Init ran
    std::map<std::string, SensorSource*> m_aliases;        // names given by addSensorSources
    std::vector<Sensor> m_sensors;
    int m_group = -1;
    bool m_stop = false;
    std::thread m_thread;        // "KIV-Sensors", joined by Close
    std::string m_lastDocument;  // what the topic "sensors" last carried
};
