#include "sensors/SensorSource.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "common.h"
#include "settings.h"

namespace {

// What a hwmon attribute prefix measures, its unit, and the factor from
// the kernel's integer to that unit (Documentation/hwmon/sysfs-interface).
struct HwmonKind {
    const char* prefix;
    const char* kind;
    const char* unit;
    double scale;
};
const HwmonKind HWMON_KINDS[] = {
    {"temp", "temperature", "°C", 0.001}, {"in", "voltage", "V", 0.001}, {"curr", "current", "A", 0.001},
    {"power", "power", "W", 0.000001},    {"fan", "fan", "RPM", 1},
};

// IIO channel types this service reads, with the unit of raw × scale
// (Documentation/ABI/testing/sysfs-bus-iio: millivolts, milliamps,
// millidegrees) and the factor to ours.
struct IioKind {
    const char* type;
    const char* kind;
    const char* unit;
    double toUnit;
};
const IioKind IIO_KINDS[] = {
    {"voltage", "voltage", "V", 0.001}, {"current", "current", "A", 0.001}, {"temp", "temperature", "°C", 0.001}};

std::string firstLine(const std::string& path) {
    std::string s = GetFileContents(path);
    size_t nl = s.find('\n');
    if (nl != std::string::npos) s.resize(nl);
    TrimWhiteSpace(s);
    return s;
}

bool readNumberFile(const std::string& path, double& out) {
    if (!FileExists(path)) return false;
    std::string s = firstLine(path);
    if (s.empty()) return false;
    char* end = nullptr;
    double v = strtod(s.c_str(), &end);
    if (end == s.c_str()) return false;
    out = v;
    return true;
}

// "temp12_input" with prefix "temp" and suffix "_input" -> "12"; empty when
// the name is not of that form.
std::string numberBetween(const std::string& name, const std::string& prefix, const std::string& suffix) {
    if (name.size() <= prefix.size() + suffix.size() || !startsWith(name, prefix) || !endsWith(name, suffix)) return "";
    std::string n = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    return n.find_first_not_of("0123456789") == std::string::npos ? n : "";
}

// Channels in the order a person counts them: temp2 before temp10.
bool channelOrder(const std::unique_ptr<SensorSource::Channel>& a, const std::unique_ptr<SensorSource::Channel>& b) {
    if (a->kind != b->kind) return a->kind < b->kind;
    size_t da = a->id.find_first_of("0123456789"), db = b->id.find_first_of("0123456789");
    long na = da == std::string::npos ? -1 : atol(a->id.c_str() + da);
    long nb = db == std::string::npos ? -1 : atol(b->id.c_str() + db);
    return na < nb;
}

}  // namespace

std::string SysfsRoot() {
    std::string root = getSetting("SysfsRoot", "/sys");
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    return root;
}

std::string SysfsPath(const std::string& path) {
    if (path == "/sys" || startsWith(path, "/sys/")) return SysfsRoot() + path.substr(4);
    return path;
}

bool ReadSysfsInteger(int fd, long long& value) {
    char buf[32];
    ssize_t n = pread(fd, buf, sizeof(buf) - 1, 0);
    if (n <= 0) return false;
    buf[n] = 0;
    char* end = nullptr;
    errno = 0;
    long long v = strtoll(buf, &end, 10);
    if (end == buf || errno) return false;
    while (*end == '\n' || *end == ' ') ++end;
    if (*end) return false;
    value = v;
    return true;
}

SensorSource::~SensorSource() {
    for (auto& c : m_channels) {
        if (c->fd >= 0) close(c->fd);
    }
}

std::unique_ptr<SensorSource> SensorSource::FromDirectory(const std::string& dir, const std::string& id) {
    std::unique_ptr<SensorSource> s(new SensorSource());
    s->m_id = id;
    s->m_path = dir;
    std::error_code ec;
    std::vector<std::string> files;
    for (auto& e : std::filesystem::directory_iterator(dir, ec)) files.push_back(e.path().filename().string());
    if (ec) return nullptr;
    auto has = [&](const std::string& f) { return std::find(files.begin(), files.end(), f) != files.end(); };

    if (has("temp") && has("type")) {
        s->m_type = "thermal";
        s->m_name = firstLine(dir + "/type");
        auto c = std::make_unique<Channel>();
        c->id = "temp";
        c->kind = "temperature";
        c->unit = "°C";
        c->scale = 0.001;
        c->path = dir + "/temp";
        s->m_channels.push_back(std::move(c));
    } else if (std::any_of(files.begin(), files.end(), [](const std::string& f) { return startsWith(f, "in_"); })) {
        s->m_type = "iio";
        s->m_name = has("name") ? firstLine(dir + "/name") : "";
        for (auto& f : files) {
            for (auto& k : IIO_KINDS) {
                std::string prefix = std::string("in_") + k.type;
                if (!startsWith(f, prefix) || !endsWith(f, "_raw")) continue;
                std::string n = f.substr(prefix.size(), f.size() - prefix.size() - 4);
                if (n.find_first_not_of("0123456789") != std::string::npos) continue;  // differential pairs
                auto c = std::make_unique<Channel>();
                c->id = std::string(k.type) + n;
                c->kind = k.kind;
                c->path = dir + "/" + f;
                // A channel's own scale and offset, else the type's shared ones.
                double scale = 0;
                if (readNumberFile(dir + "/" + prefix + n + "_scale", scale) ||
                    readNumberFile(dir + "/" + prefix + "_scale", scale)) {
                    c->scale = scale * k.toUnit;
                    c->unit = k.unit;
                } else {
                    c->unit = "";  // raw counts: sensors.json gives the scale and unit
                }
                if (!readNumberFile(dir + "/" + prefix + n + "_offset", c->offset)) {
                    readNumberFile(dir + "/" + prefix + "_offset", c->offset);
                }
                s->m_channels.push_back(std::move(c));
            }
        }
    } else if (has("name")) {
        s->m_type = "hwmon";
        s->m_name = firstLine(dir + "/name");
        for (auto& f : files) {
            for (auto& k : HWMON_KINDS) {
                std::string n = numberBetween(f, k.prefix, "_input");
                // Power monitors may give only an average.
                if (n.empty() && std::string(k.prefix) == "power") {
                    n = numberBetween(f, k.prefix, "_average");
                    if (!n.empty() && has(std::string(k.prefix) + n + "_input")) n.clear();
                }
                if (n.empty()) continue;
                auto c = std::make_unique<Channel>();
                c->id = k.prefix + n;
                c->kind = k.kind;
                c->unit = k.unit;
                c->scale = k.scale;
                c->path = dir + "/" + f;
                if (has(c->id + "_label")) c->label = firstLine(dir + "/" + c->id + "_label");
                s->m_channels.push_back(std::move(c));
            }
        }
    } else {
        return nullptr;
    }
    if (s->m_channels.empty()) return nullptr;
    if (s->m_name.empty()) s->m_name = id;
    std::sort(s->m_channels.begin(), s->m_channels.end(), channelOrder);
    // The output monitor's numbering of current inputs: a current channel
    // N wins over an IIO voltage channel N.
    for (const char* kind : {"voltage", "current"}) {
        for (size_t i = 0; i < s->m_channels.size(); ++i) {
            const Channel& c = *s->m_channels[i];
            size_t digits = c.id.find_first_of("0123456789");
            if (c.kind != kind || digits == std::string::npos) continue;
            if (c.kind == "voltage" && s->m_type != "iio") continue;
            s->m_portChannels[atoi(c.id.c_str() + digits)] = i;
        }
    }
    return s;
}

int SensorSource::findChannel(const std::string& id) const {
    for (size_t i = 0; i < m_channels.size(); ++i) {
        if (m_channels[i]->id == id) return (int)i;
    }
    return -1;
}

void SensorSource::enableIndex(size_t index, bool on) {
    if (index < m_channels.size()) m_channels[index]->enabled = on;
}

void SensorSource::enable(int channel) {
    auto it = m_portChannels.find(channel);
    if (it != m_portChannels.end()) enableIndex(it->second);
}

int32_t SensorSource::getValue(int channel) {
    auto it = m_portChannels.find(channel);
    if (it == m_portChannels.end()) return 0;
    const Channel& c = *m_channels[it->second];
    return c.ok ? (int32_t)c.raw : 0;
}

bool SensorSource::readChannel(Channel& c) {
    if (c.fd < 0) {
        // Opened on first use and kept: a chip that appears late (a module
        // loaded after start) is picked up by a later read.
        c.fd = open(c.path.c_str(), O_RDONLY | O_CLOEXEC);
        if (c.fd < 0) {
            c.error = errno;
            return false;
        }
    }
    long long v = 0;
    errno = 0;
    if (!ReadSysfsInteger(c.fd, v)) {
        c.error = errno ? errno : EINVAL;
        return false;
    }
    c.raw = v;
    c.error = 0;
    return true;
}

void SensorSource::update() {
    for (auto& c : m_channels) {
        if (c->enabled) c->ok = readChannel(*c);
    }
}
