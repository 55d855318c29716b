// User plug-ins for the loader and daemon tests, one kind per build:
// FULL implements every interface: "<name> paint" (first channel, value,
// count) and datagrams "<first> <value> <count>" on the control port of
// <name>.json set channels in every frame; "<name> report" tells what it
// received (frames, sync data, media titles); painting the last channel
// makes the frame hook throw; unloading appends its name to
// <media>/unloaded.txt. THROWS fails in setUp, OTHER_ABI is built for the
// next ABI, NO_CREATE exports no createPlugin.

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <mutex>
#include <stdexcept>

#include "kiv/UserPlugin.h"

namespace {

class TestUserPlugin : public KIVPlugins::Plugin,
                       public KIVPlugins::UserPlugin,
                       public KIVPlugins::ChannelDataPlugin,
                       public KIVPlugins::MediaPlugin,
                       public KIVPlugins::ControlPlugin,
                       public KIVPlugins::CommandPlugin {
public:
    TestUserPlugin() : Plugin(TEST_PLUGIN_NAME) {}
    ~TestUserPlugin() override {
        if (m_sock >= 0) close(m_sock);
        if (!m_host.mediaDirectory.empty()) std::ofstream(m_host.mediaDirectory + "/unloaded.txt", std::ios::app) << name << "\n";
    }
    std::string version() const override { return "2.5.1"; }
    void setUp(const KIVPlugins::PluginHost& host) override {
#ifdef TEST_PLUGIN_THROWS
        throw std::runtime_error("the sensor is not connected");
#endif
        m_host = host;
        Json::Value cfg;
        std::ifstream in(host.directory + "/" + name + ".json");
        if (in && Json::parseFromStream(Json::CharReaderBuilder(), in, &cfg, nullptr) && cfg["controlPort"].isInt()) {
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(cfg["controlPort"].asInt());
            inet_pton(AF_INET, cfg["controlAddress"].asCString(), &a.sin_addr);
            m_sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            if (bind(m_sock, (sockaddr*)&a, sizeof(a)) != 0) throw std::runtime_error("control port taken");
        }
        host.log(KIVPlugins::LogLevel::Info, "set up in " + host.directory);
        host.warn("up and running");
    }
    void modifyChannelData(int ms, unsigned char* data) override {
        std::lock_guard<std::mutex> lock(m_lock);
        ++m_frames;
        if (m_paint.count(KIVPlugins::FRAME_CHANNELS - 1)) throw std::runtime_error("asked to throw");
        for (auto& p : m_paint) data[p.first] = p.second;
    }
    void mediaCallback(const Json::Value& playlistInfo, const Json::Value& mediaDetails) override {
        std::lock_guard<std::mutex> lock(m_lock);
        m_report["media"].append(mediaDetails["title"]);
    }
    void multiSyncData(const unsigned char* data, int len) override {
        std::lock_guard<std::mutex> lock(m_lock);
        m_report["sync"].append(std::string((const char*)data, len));
    }
    void addControlCallbacks(std::map<int, std::function<bool(int)>>& callbacks) override {
        if (m_sock < 0) return;
        callbacks[m_sock] = [this](int fd) {
            char buf[64] = {};
            ssize_t n = recv(fd, buf, sizeof(buf) - 1, 0);
            unsigned first, value, count;
            return n > 0 && sscanf(buf, "%u %u %u", &first, &value, &count) == 3 && paint(first, value, count);
        };
    }
    std::vector<KIVPlugins::PluginCommand> getCommands() override {
        auto paintCmd = [this](const std::vector<std::string>& a) {
            if (a.size() != 3) return KIVPlugins::CommandResult{true, "needs first channel, value, count"};
            paint(std::stoul(a[0]), std::stoul(a[1]), std::stoul(a[2]));
            return KIVPlugins::CommandResult{false, "painted " + a[2] + " channels"};
        };
        auto reportCmd = [this](const std::vector<std::string>&) {
            std::lock_guard<std::mutex> lock(m_lock);
            m_report["frames"] = m_frames;
            return KIVPlugins::CommandResult{false, Json::writeString(Json::StreamWriterBuilder(), m_report), "application/json"};
        };
        return {{name + " paint", "Sets channels in every frame", {{"First", "int", "1-based"}, {"Value", "int", ""},
                 {"Count", "int", ""}}, paintCmd},
                {name + " report", "What the plug-in received", {}, reportCmd}};
    }

private:
    bool paint(unsigned first, unsigned value, unsigned count) {
        std::lock_guard<std::mutex> lock(m_lock);
        for (unsigned c = first - 1; c < first - 1 + count && c < KIVPlugins::FRAME_CHANNELS; ++c) m_paint[c] = value;
        return true;
    }
    KIVPlugins::PluginHost m_host;
    int m_sock = -1;
    std::mutex m_lock;  // guards m_paint, m_frames, m_report
    std::map<unsigned, unsigned char> m_paint;
    int m_frames = 0;
    Json::Value m_report;
};

}  // namespace

#if defined(TEST_PLUGIN_OTHER_ABI)
KIV_PLUGIN_EXPORT const uint32_t kivPluginAbiVersion = KIV_PLUGIN_ABI_VERSION + 1;
KIV_PLUGIN_EXPORT KIVPlugins::Plugin* createPlugin() { return new TestUserPlugin(); }
#elif defined(TEST_PLUGIN_NO_CREATE)
KIV_PLUGIN_EXPORT const uint32_t kivPluginAbiVersion = KIV_PLUGIN_ABI_VERSION;
#else
KIV_PLUGIN(TestUserPlugin)
#endif
