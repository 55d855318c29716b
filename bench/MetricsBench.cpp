// Metrics benchmark: the real kivd plays a 1,048,576-channel show over DDP
// to a loopback receiver while a client scrapes GET /metrics at a steady
// rate, as a Prometheus server does (much more often). Beside it, measured
// in the same run: the same scrapes before the show (the daemon idle) and
// a small API document (/kivd/warnings) during the show.
//   - /metrics latency p50 / p99 / max during the show (goal p99 <= 5 ms);
//   - the frames the daemon itself counted late while being scraped.
//
//   bench_metrics [--seconds S] [--channels N] [--fps F] [--rate R]

#include <arpa/inet.h>
#include <curl/curl.h>
#include <getopt.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "FrameTiming.h"
#include "HttpClient.h"
#include "KivdProcess.h"
#include "TestSupport.h"
#include "common.h"
#include "hseq/ShowGenerator.h"

using namespace kivtest;

namespace {

const char* const SINK = "127.204.0.1";

// Takes the show's datagrams off the loopback and drops them.
class Sink {
public:
    Sink() {
        m_fd = socket(AF_INET, SOCK_DGRAM, 0);
        int size = 8 << 20;
        setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_port = htons(4048);
        inet_pton(AF_INET, SINK, &a.sin_addr);
        if (bind(m_fd, (sockaddr*)&a, sizeof(a)) != 0) {
            close(m_fd);
            m_fd = -1;
            return;
        }
        m_thread = std::thread([this] {
            std::vector<char> buf(2048);
            pollfd p = {m_fd, POLLIN, 0};
            while (!m_stop) {
                if (poll(&p, 1, 100) == 1) {
                    while (recv(m_fd, buf.data(), buf.size(), MSG_DONTWAIT) > 0) ++m_datagrams;
                }
            }
        });
    }
    ~Sink() {
        m_stop = true;
        if (m_thread.joinable()) m_thread.join();
        if (m_fd >= 0) close(m_fd);
    }
    bool ok() const { return m_fd >= 0; }
    long long datagrams() const { return m_datagrams; }

private:
    int m_fd = -1;
    std::atomic<bool> m_stop{false};
    std::atomic<long long> m_datagrams{0};
    std::thread m_thread;
};

double sampleOf(const std::string& page, const std::string& name) {
    size_t at = page.find("\n" + name + " ");
    return at == std::string::npos ? -1 : atof(page.c_str() + at + name.size() + 2);
}

void report(const char* what, const std::vector<double>& l, int failures) {
    kivbench::Stats s = kivbench::Percentiles(l);
    printf("  %-34s %5zu requests (%d failed)  p50 %7.0f  p99 %7.0f  max %7.0f us\n", what, l.size(), failures,
           s.median, s.p99, s.max);
}

}  // namespace

int main(int argc, char** argv) {
    int seconds = 20, fps = 40, rate = 20;
    uint32_t channels = 1048576;
    static option longOpts[] = {{"seconds", required_argument, nullptr, 's'},
                                {"channels", required_argument, nullptr, 'c'},
                                {"fps", required_argument, nullptr, 'f'},
                                {"rate", required_argument, nullptr, 'r'},
                                {nullptr, 0, nullptr, 0}};
    int c;
    while ((c = getopt_long(argc, argv, "", longOpts, nullptr)) != -1) {
        switch (c) {
            case 's': seconds = atoi(optarg); break;
            case 'c': channels = (uint32_t)atoi(optarg); break;
            case 'f': fps = atoi(optarg); break;
            case 'r': rate = atoi(optarg); break;
            default:
                fprintf(stderr, "usage: %s [--seconds S] [--channels N] [--fps F] [--rate R]\n", argv[0]);
                return 2;
        }
    }
    if (seconds <= 0 || fps <= 0 || fps > 1000 || rate <= 0 || channels == 0 || channels > HSEQ_MAX_CHANNELS) {
        fprintf(stderr, "bad options\n");
        return 2;
    }
    curl_global_init(CURL_GLOBAL_ALL);
    TempMediaDir media;
    ShowSpec spec;
    spec.channels = channels;
    spec.frames = (uint32_t)(seconds * fps);
    spec.stepMs = 1000 / fps;
    if (!GenerateShow(media.file("/sequences/bench.hseq"), spec)) {
        fprintf(stderr, "could not write the sequence\n");
        return 1;
    }
    media.write("/config/channeloutputs.json",
                std::string(R"({"channelOutputs": [{"type": "UDP", "enabled": 1, "universes": [)") +
                    R"({"description": "sink", "type": 4, "address": ")" + SINK +
                    R"(", "startChannel": 1, "channelCount": )" + std::to_string(channels) + "}]}]}");
    Sink sink;
    if (!sink.ok()) {
        fprintf(stderr, "cannot bind the receiver on %s\n", SINK);
        return 1;
    }
    KivdProcess d(media.path());
    if (!d.start({"-f"}) || !d.waitReady()) {
        fprintf(stderr, "kivd did not start: %s\n", d.output().c_str());
        return 1;
    }
    // Tail latencies here follow what else the machine runs: say how busy it was.
    std::string load = GetFileContents("/proc/loadavg");
    printf("Metrics benchmark: %d s show, %u channels, %d fps, DDP to loopback; /metrics scraped %d times/s "
           "(load average before: %s)\n",
           seconds, channels, fps, rate, load.substr(0, load.find(' ')).c_str());
    fflush(stdout);

    std::string metrics = d.httpUrl("/metrics");
    std::atomic<bool> stop{false};
    std::vector<double> idle, during, reference;
    int idleFailures = 0, failures = 0, referenceFailures = 0;
    std::thread t(kivbench::PollHttp, metrics, rate, std::ref(stop), std::ref(idle), std::ref(idleFailures));
    sleep(5);
    stop = true;
    t.join();
    double lateBefore = sampleOf(httpGet(metrics).body, "kiv_output_frames_late_total");

    std::string out;
    if (d.command({"Start Sequence", "bench.hseq"}, &out) != 0) {
        fprintf(stderr, "could not start the show: %s\n", out.c_str());
        return 1;
    }
    stop = false;
    std::thread scrape(kivbench::PollHttp, metrics, rate, std::ref(stop), std::ref(during), std::ref(failures));
    std::thread small(kivbench::PollHttp, d.httpUrl("/kivd/warnings"), rate, std::ref(stop), std::ref(reference),
                      std::ref(referenceFailures));
    waitUntil(
        [&] {
            std::string s;
            d.command({"Sequence Status"}, &s, 2);
            return !LoadJsonFromString(s)["running"].asBool();
        },
        (seconds + 60) * 1000);
    stop = true;
    scrape.join();
    small.join();
    std::string page = httpGet(metrics).body;
    double sent = sampleOf(page, "kiv_output_frames_sent_total");
    double late = sampleOf(page, "kiv_output_frames_late_total") - lateBefore;
    d.stop();

    report("/metrics, daemon idle (reference)", idle, idleFailures);
    report("/kivd/warnings during the show", reference, referenceFailures);
    report("/metrics during the show", during, failures);
    printf("  frames sent %.0f of %u, counted late by the daemon during the show: %.0f; %lld datagrams received\n",
           sent, spec.frames, late, sink.datagrams());
    kivbench::Stats s = kivbench::Percentiles(during);
    printf("\n/metrics latency p99 during a %u-channel show: %.2f ms (goal <= 5 ms)   %s\n", channels, s.p99 / 1000,
           kivbench::Verdict(!during.empty() && failures == 0 && s.p99 <= 5000));
    curl_global_cleanup();
    return 0;
}
