#include "http/Metrics.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include <json/json.h>

#include "Events.h"
#include "Warnings.h"
#include "bridge/Bridge.h"
#include "channeloutput/OutputTraffic.h"
#include "channeloutput/channeloutputthread.h"
#include "http/HttpServer.h"
#include "playlist/Player.h"
#include "sensors/Sensors.h"
#include "settings.h"
#include "sync/MultiSync.h"

using httpserver::error_response;
using httpserver::http_request;
using httpserver::http_resource;
using httpserver::http_response;
using httpserver::string_response;

// ------------------------------------------------------------------ writer

std::string MetricsWriter::EscapeLabelValue(const std::string& value) {
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

std::string MetricsWriter::EscapeHelp(const std::string& help) {
    std::string out;
    out.reserve(help.size());
    for (char c : help) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

std::string MetricsWriter::FormatValue(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
    char buf[40];
    // Counters are whole numbers: written as such while a double holds them exactly.
    if (value == std::floor(value) && std::fabs(value) < 9007199254740992.0) {
        snprintf(buf, sizeof(buf), "%.0f", value);
        return buf;
    }
    snprintf(buf, sizeof(buf), "%.15g", value);
    if (strtod(buf, nullptr) != value) snprintf(buf, sizeof(buf), "%.17g", value);
    return buf;
}

void MetricsWriter::Family(const std::string& name, const char* type, const std::string& help) {
    m_text += "# HELP " + name + " " + EscapeHelp(help) + "\n";
    m_text += "# TYPE " + name + " " + type + "\n";
}

void MetricsWriter::Line(const std::string& name, const Labels& labels, const std::string& value) {
    m_text += name;
    if (!labels.empty()) {
        m_text += '{';
        bool first = true;
        for (auto& l : labels) {
            if (!first) m_text += ',';
            first = false;
            m_text += l.first + "=\"" + EscapeLabelValue(l.second) + "\"";
        }
        m_text += '}';
    }
    m_text += ' ';
    m_text += value;
    m_text += '\n';
}

void MetricsWriter::Sample(const std::string& name, const Labels& labels, double value) {
    Line(name, labels, FormatValue(value));
}

void MetricsWriter::Histogram(const std::string& name, const Labels& labels, const std::vector<double>& bounds,
                              const std::vector<unsigned long long>& cumulative, double sum,
                              unsigned long long count) {
    for (size_t i = 0; i < bounds.size() && i < cumulative.size(); ++i) {
        Labels l = labels;
        l.emplace_back("le", FormatValue(bounds[i]));
        Line(name + "_bucket", l, FormatValue((double)cumulative[i]));
    }
    Labels l = labels;
    l.emplace_back("le", "+Inf");
    Line(name + "_bucket", l, FormatValue((double)count));
    Line(name + "_sum", labels, FormatValue(sum));
    Line(name + "_count", labels, FormatValue((double)count));
}

// ------------------------------------------------------------------ the page

namespace {

void outputThread(MetricsWriter& w) {
    OutputThreadStatistics s = GetOutputThreadStatistics();
    w.Family("kiv_output_frames_sent_total", "counter", "Frames the output thread sent (the show, live input, blanking)");
    w.Sample("kiv_output_frames_sent_total", (double)s.framesSent);
    w.Family("kiv_output_frames_late_total", "counter",
             "Frames that went out a whole frame period or more behind the show's grid");
    w.Sample("kiv_output_frames_late_total", (double)s.framesLate);
    w.Family("kiv_output_frames_skipped_total", "counter",
             "Frames jumped over to catch up with the sound or a master, or left unsent as too late");
    w.Sample("kiv_output_frames_skipped_total", (double)s.framesSkipped);

    std::vector<double> bounds;
    std::vector<unsigned long long> cumulative;
    unsigned long long running = 0;
    for (int b = 0; b < OutputThreadStatistics::PASS_BUCKETS; ++b) {
        bounds.push_back(OutputThreadStatistics::PASS_BUCKET_US[b] / 1e6);
        running += s.passBuckets[b];
        cumulative.push_back(running);
    }
    w.Family("kiv_output_pass_seconds", "histogram",
             "Time of one pass of the output thread: send a frame, read and process the next");
    w.Histogram("kiv_output_pass_seconds", {}, bounds, cumulative, s.passSumUs / 1e6, s.passes);
}

void outputTraffic(MetricsWriter& w) {
    auto rows = OutputTraffic::Snapshot();
    struct Family {
        const char* name;
        const char* help;
        uint64_t OutputTraffic::Row::*field;
    };
    const Family families[] = {
        {"kiv_output_datagrams_total", "Datagrams an output sent to a destination", &OutputTraffic::Row::datagrams},
        {"kiv_output_bytes_total", "Bytes of the datagrams an output sent to a destination",
         &OutputTraffic::Row::bytes},
        {"kiv_output_send_errors_total", "Datagrams an output could not send to a destination",
         &OutputTraffic::Row::errors},
    };
    for (auto& f : families) {
        w.Family(f.name, "counter", f.help);
        for (auto& r : rows) {
            w.Sample(f.name, {{"output", r.output}, {"destination", r.destination}}, (double)(r.*f.field));
        }
    }
}

void inputs(MetricsWriter& w) {
    Json::Value status = Bridge::INSTANCE.Status();
    struct Family {
        const char* name;
        const char* member;
        const char* help;
    };
    const Family families[] = {
        {"kiv_input_packets_total", "packets", "Packets a live input received"},
        {"kiv_input_errors_total", "errors", "Malformed packets addressed to a live input"},
        {"kiv_input_sequence_gaps_total", "sequenceGaps", "Packets missing between two a live input received"},
    };
    for (auto& f : families) {
        w.Family(f.name, "counter", f.help);
        for (auto& in : status["inputs"]) {
            w.Sample(f.name, {{"input", in["description"].asString()}, {"protocol", in["protocol"].asString()}},
                     in[f.member].asDouble());
        }
    }
}

void sync(MetricsWriter& w) {
    Json::Value systems = MultiSync::INSTANCE.GetSystems(false, false);
    const Json::Value& sync = systems["sync"];
    std::string role = sync["role"].asString();
    if (role.empty()) role = "off";
    w.Family("kiv_sync_role", "gauge", "This board's part in multi-system sync: 1 for its role");
    for (const char* r : {"off", "master", "remote"}) w.Sample("kiv_sync_role", {{"role", r}}, role == r ? 1 : 0);
    w.Family("kiv_sync_clock_synchronised", "gauge", "1 while this board's wall clock counts as synchronised");
    w.Sample("kiv_sync_clock_synchronised", sync["clockSynchronised"].asBool() ? 1 : 0);
    if (role == "remote") {
        w.Family("kiv_sync_master_lost", "gauge", "1 while a remote has lost its master");
        w.Sample("kiv_sync_master_lost", sync["masterLost"].asBool() ? 1 : 0);
    }
    // The smallest arrival-minus-stamp difference of each other system:
    // the path's delay plus the difference of the clocks.
    w.Family("kiv_sync_offset_seconds", "gauge",
             "Latest smallest difference between when a system's packets arrived and their time stamps");
    for (auto& s : systems["systems"]) {
        if (s["local"].asBool() || !s.isMember("offsetMs")) continue;
        w.Sample("kiv_sync_offset_seconds", {{"system", s["hostname"].asString()}, {"address", s["address"].asString()}},
                 s["offsetMs"].asDouble() / 1000.0);
    }
    w.Family("kiv_sync_packets_total", "counter", "Sync packets by what happened to them");
    for (auto& name : sync["counters"].getMemberNames()) {
        w.Sample("kiv_sync_packets_total", {{"kind", name}}, sync["counters"][name].asDouble());
    }
}

void sensors(MetricsWriter& w) {
    Json::Value snapshot = Sensors::INSTANCE.Snapshot();
    w.Family("kiv_sensor_value", "gauge", "A sensor's last reading in its unit (absent while it cannot be read)");
    for (auto& s : snapshot["sensors"]) {
        if (!s["value"].isNumeric()) continue;
        w.Sample("kiv_sensor_value",
                 {{"sensor", s["name"].asString()}, {"kind", s["kind"].asString()}, {"unit", s["unit"].asString()}},
                 s["value"].asDouble());
    }
    w.Family("kiv_sensor_alarm", "gauge", "1 while a threshold of the sensor is crossed");
    for (auto& s : snapshot["sensors"]) {
        w.Sample("kiv_sensor_alarm", {{"sensor", s["name"].asString()}}, s["alarm"].asBool() ? 1 : 0);
    }
}

void daemon(MetricsWriter& w) {
    auto warnings = WarningHolder::GetWarnings();
    w.Family("kiv_warnings", "gauge", "Warnings the daemon shows now");
    w.Sample("kiv_warnings", (double)warnings.size());
    w.Family("kiv_warning_active", "gauge", "1 for each warning the daemon shows now");
    for (auto& text : warnings) w.Sample("kiv_warning_active", {{"warning", text}}, 1);

    w.Family("kiv_player_status", "gauge",
             "The player: 0 idle, 1 playing, 2 stopping gracefully, 3 stopping after the loop, 5 paused");
    w.Sample("kiv_player_status", Player::INSTANCE.GetStatus());

    w.Family("kiv_uptime_seconds", "gauge", "Seconds since the daemon started");
    w.Sample("kiv_uptime_seconds", GetDaemonUptimeSeconds());
    w.Family("kiv_build_info", "gauge", "The daemon's build: always 1");
    w.Sample("kiv_build_info", {{"version", getKIVVersion()}, {"branch", getKIVBranch()}}, 1);
}

class MetricsResource : public http_resource {
public:
    std::shared_ptr<http_response> render_GET(const http_request&) override {
        return std::make_shared<string_response>(Metrics::RenderMetrics(), 200, Metrics::CONTENT_TYPE);
    }
    std::shared_ptr<http_response> render(const http_request& req) override {
        auto r = error_response(405, "Method " + req.get_method() + " is not allowed on " + req.get_path());
        r->with_header("Allow", "GET, HEAD");
        return r;
    }
};

std::unique_ptr<MetricsResource> resource;  // created by Register on the main thread

}  // namespace

std::string Metrics::RenderMetrics() {
    MetricsWriter w;
    outputThread(w);
    outputTraffic(w);
    inputs(w);
    sync(w);
    sensors(w);
    daemon(w);
    return w.Text();
}

void Metrics::Register(HttpServer& server) {
    if (resource) return;
    resource = std::make_unique<MetricsResource>();
    server.RegisterResource(PATH, resource.get());
}

void Metrics::Unregister(HttpServer& server) {
    if (!resource) return;
    server.UnregisterResource(PATH);
    resource.reset();
}
