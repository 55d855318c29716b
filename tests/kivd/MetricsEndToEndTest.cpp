// The real kivd serves /metrics while a show plays: promtool accepts the
// page, it counts exactly the datagrams a receiver got, it asks for the
// token as the rest of the API does, and a real Prometheus server scrapes
// it and sees the frame counter rise.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <regex>

#include "HttpClient.h"
#include "KivdProcess.h"
#include "TestSupport.h"
#include "common.h"
#include "hseq/ShowGenerator.h"

extern char** environ;

namespace {

const char* const TOKEN = "scrape-me";
const std::string AUTH = std::string("Authorization: Bearer ") + TOKEN;

std::string lo(int n) {
    static const int block = 100 + (int)getpid() % 100;
    return "127.202." + std::to_string(block) + "." + std::to_string(n);
}

// The value of the one sample `series` (name and labels as written), or -1.
double sample(const std::string& page, const std::string& series) {
    size_t at = 0;
    while ((at = page.find(series + " ", at)) != std::string::npos) {
        if (at == 0 || page[at - 1] == '\n') return strtod(page.c_str() + at + series.size() + 1, nullptr);
        ++at;
    }
    return -1;
}

bool found(const std::string& program) { return kivtest::runCommand("command -v " + program + " >/dev/null") == 0; }

// A Prometheus server on loopback that scrapes one target every second.
class PrometheusServer {
public:
    PrometheusServer(const std::string& listen, const std::string& target, const std::string& token)
        : m_listen(listen) {
        char tmpl[] = "/tmp/kiv-prometheus-XXXXXX";
        m_dir = mkdtemp(tmpl);
        PutFileContents(m_dir + "/prometheus.yml", "global:\n  scrape_interval: 1s\n"
                                                   "scrape_configs:\n  - job_name: kivd\n"
                                                   "    authorization:\n      credentials: " + token + "\n"
                                                   "    static_configs:\n      - targets: ['" + target + "']\n");
        std::vector<std::string> args = {"prometheus", "--config.file=" + m_dir + "/prometheus.yml",
                                         "--storage.tsdb.path=" + m_dir + "/data",
                                         "--web.listen-address=" + listen, "--log.level=warn"};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        std::string logFile = m_dir + "/log";
        posix_spawn_file_actions_addopen(&fa, 1, logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&fa, 1, 2);
        if (posix_spawnp(&m_pid, "prometheus", &fa, nullptr, argv.data(), environ) != 0) m_pid = -1;
        posix_spawn_file_actions_destroy(&fa);
    }
    ~PrometheusServer() {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            int status;
            waitpid(m_pid, &status, 0);
        }
        kivtest::runCommand("rm -rf " + m_dir);
    }
    bool started() const { return m_pid > 0; }
    std::string log() const { return GetFileContents(m_dir + "/log"); }
    // The value of an instant query whose answer is one number; -1 when
    // there is none (yet).
    double query(const std::string& expr) {
        std::string url = "http://" + m_listen + "/api/v1/query?query=" + expr;
        auto r = kivtest::httpGet(url);
        if (r.status != 200) return -1;
        Json::Value doc = LoadJsonFromString(r.body);
        const Json::Value& result = doc["data"]["result"];
        if (doc["status"].asString() != "success" || result.size() != 1) return -1;
        return strtod(result[0]["value"][1].asString().c_str(), nullptr);
    }

private:
    std::string m_listen;
    std::string m_dir;
    pid_t m_pid = -1;
};

}  // namespace

TEST(MetricsEndToEnd, PrometheusScrapesTheFrameCounterRising) {
    if (!found("promtool") || !found("prometheus")) {
        GTEST_SKIP() << "promtool and prometheus are not installed (Debian package prometheus)";
    }
    kivtest::TempMediaDir media;
    ShowSpec spec;
    spec.channels = 4096;  // three DDP datagrams a frame, which go as one segmented send
    spec.frames = 2400;  // 60 s at 25 ms
    spec.stepMs = 25;
    ASSERT_TRUE(GenerateShow(media.file("/sequences/show.hseq"), spec));
    media.write("/config/channeloutputs.json", R"({"channelOutputs": [{"type": "UDP", "enabled": 1, "universes": [
        {"description": "ddp", "type": 4, "address": ")" + lo(1) + R"(", "startChannel": 1, "channelCount": 4096}]}]})");
    media.write("/settings", std::string("HTTPAccessToken = ") + TOKEN + "\n");
    kivtest::UdpReceiver ddp(lo(1), 4048);
    ASSERT_TRUE(ddp.ok());

    kivtest::KivdProcess d(media.path());
    ASSERT_TRUE(d.start({"-f"}));
    ASSERT_TRUE(d.waitReady()) << d.output();
    std::string out;
    ASSERT_EQ(d.command({"Start Sequence", "show.hseq"}, &out), 0) << out;
    ASSERT_TRUE(ddp.waitFor(20, 10000));

    // The rules of the API: a token is set, so the page asks for it.
    EXPECT_EQ(kivtest::httpGet(d.httpUrl("/metrics")).status, 401);
    auto page = kivtest::httpGet(d.httpUrl("/metrics"), {AUTH});
    ASSERT_EQ(page.status, 200) << page.body;
    EXPECT_EQ(page.header("content-type"), "text/plain; version=0.0.4; charset=utf-8");
    std::string pageFile = media.file("/tmp/metrics.txt");
    PutFileContents(pageFile, page.body);
    std::string verdict;
    EXPECT_EQ(kivtest::runCommand("promtool check metrics < " + pageFile + " 2>&1", &verdict), 0)
        << verdict << page.body;
    std::string status;
    d.command({"Get Status"}, &status);
    std::string version = LoadJsonFromString(status)["version"].asString();
    EXPECT_EQ(sample(page.body, "kiv_build_info{version=\"" + version + "\",branch=\"" +
                                    LoadJsonFromString(status)["branch"].asString() + "\"}"),
              1)
        << page.body;
    EXPECT_GT(sample(page.body, "kiv_output_frames_sent_total"), 0);
    EXPECT_GT(sample(page.body, "kiv_output_pass_seconds_count"), 0);
    EXPECT_EQ(sample(page.body, "kiv_player_status"), 0) << "a sequence on its own, no playlist";

    // A real server scrapes the board (with the token) and sees the show go on.
    // Not 9090: a system Prometheus may hold it on every address.
    PrometheusServer prometheus(lo(2) + ":39090", d.httpAddress() + ":" + std::to_string(d.httpPort()), TOKEN);
    ASSERT_TRUE(prometheus.started());
    double first = -1;
    ASSERT_TRUE(kivtest::waitUntil([&] { return (first = prometheus.query("kiv_output_frames_sent_total")) > 0; },
                                   60000))
        << prometheus.log();
    double later = -1;
    EXPECT_TRUE(kivtest::waitUntil([&] { return (later = prometheus.query("kiv_output_frames_sent_total")) > first; },
                                   30000))
        << first << " then " << later << "\n" << prometheus.log();
    EXPECT_EQ(prometheus.query("up{job=\"kivd\"}"), 1);

    // Once the show stopped and its closing frames went out, the page
    // counts exactly what arrived: every datagram, every byte, no errors.
    ASSERT_EQ(d.command({"Stop Sequence"}, &out), 0) << out;
    size_t received = 0;
    ASSERT_TRUE(kivtest::waitUntil(
        [&] {
            size_t before = ddp.count();
            usleep(500000);
            received = ddp.count();
            return received == before;
        },
        20000));
    page = kivtest::httpGet(d.httpUrl("/metrics"), {AUTH});
    std::string dest = "{output=\"UDP\",destination=\"" + lo(1) + "\"}";
    EXPECT_EQ(sample(page.body, "kiv_output_datagrams_total" + dest), (double)received) << page.body;
    size_t bytes = 0;
    for (auto& g : ddp.take()) bytes += g.bytes.size();
    EXPECT_EQ(sample(page.body, "kiv_output_bytes_total" + dest), (double)bytes);
    EXPECT_EQ(sample(page.body, "kiv_output_send_errors_total" + dest), 0);
    EXPECT_EQ(d.stop(SIGTERM), 0);
}
