#pragma once
// GET /metrics: what the daemon counts, in the Prometheus text exposition
// format (version 0.0.4), for a Prometheus server or anything that reads
// it. MetricsWriter builds the text; RenderMetrics gathers the numbers from
// the output thread, the output plug-ins, the live inputs, sync, the
// sensors and the warnings; APIServer mounts the resource, which answers
// under the same access rules as the rest of the API. The names are listed
// in docs/metrics.md.

#include <string>
#include <utility>
#include <vector>

class HttpServer;

class MetricsWriter {
public:
    typedef std::vector<std::pair<std::string, std::string>> Labels;

    // Starts a metric family: its # HELP and # TYPE lines. type: "counter",
    // "gauge" or "histogram". Samples of the family follow at once.
    void Family(const std::string& name, const char* type, const std::string& help);
    void Sample(const std::string& name, const Labels& labels, double value);
    void Sample(const std::string& name, double value) { Sample(name, {}, value); }
    // A histogram's samples: per upper bound the count of observations at
    // most that large (cumulative), then +Inf, _sum and _count.
    void Histogram(const std::string& name, const Labels& labels, const std::vector<double>& bounds,
                   const std::vector<unsigned long long>& cumulative, double sum, unsigned long long count);

    const std::string& Text() const { return m_text; }

    // A label value with backslash, double quote and line feed escaped.
    static std::string EscapeLabelValue(const std::string& value);
    // Help text: backslash and line feed escaped.
    static std::string EscapeHelp(const std::string& help);
    // A sample value: integers without exponent, else shortest round trip;
    // NaN, +Inf, -Inf as the format spells them.
    static std::string FormatValue(double value);

private:
    void Line(const std::string& name, const Labels& labels, const std::string& value);
    std::string m_text;
};

namespace Metrics {

// Where the page is served.
constexpr const char* PATH = "/metrics";
// The page's media type.
constexpr const char* CONTENT_TYPE = "text/plain; version=0.0.4; charset=utf-8";

std::string RenderMetrics();

void Register(HttpServer& server);
void Unregister(HttpServer& server);

}  // namespace Metrics
