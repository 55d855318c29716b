// The text writer of /metrics: label values and help texts escaped as the
// exposition format requires, values spelled as it spells them, and
// histograms with their le buckets, _sum and _count.
#include <gtest/gtest.h>

#include <cmath>

#include "http/Metrics.h"

TEST(MetricsWriter, EscapesLabelValuesAndHelp) {
    struct Case {
        const char* name;
        std::string in, label, help;
    } cases[] = {
        {"plain", "Porch 1", "Porch 1", "Porch 1"},
        {"quote", "say \"hi\"", "say \\\"hi\\\"", "say \"hi\""},
        {"backslash", "C:\\show", "C:\\\\show", "C:\\\\show"},
        {"line feed", "two\nlines", "two\\nlines", "two\\nlines"},
        {"all at once", "\\\"\n", "\\\\\\\"\\n", "\\\\\"\\n"},
        {"utf-8 stays", "48 °C", "48 °C", "48 °C"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(MetricsWriter::EscapeLabelValue(c.in), c.label);
        EXPECT_EQ(MetricsWriter::EscapeHelp(c.in), c.help);
    }
}

TEST(MetricsWriter, SpellsValuesAsTheFormatDoes) {
    const std::pair<double, const char*> cases[] = {
        {0, "0"},          {42, "42"},        {18446744073709.0, "18446744073709"}, {-3, "-3"},
        {0.25, "0.25"},    {1e-6, "1e-06"},   {0.1, "0.1"},                         {NAN, "NaN"},
        {INFINITY, "+Inf"}, {-INFINITY, "-Inf"},
    };
    for (auto& c : cases) EXPECT_EQ(MetricsWriter::FormatValue(c.first), c.second) << c.first;
}

TEST(MetricsWriter, WritesFamiliesSamplesAndHistograms) {
    MetricsWriter w;
    w.Family("kiv_x_total", "counter", "Things\nthat happened");
    w.Sample("kiv_x_total", {{"output", "UDP"}, {"destination", "a\"b"}}, 3);
    w.Family("kiv_t_seconds", "histogram", "Times");
    w.Histogram("kiv_t_seconds", {{"k", "v"}}, {0.001, 0.5}, {1, 3}, 1.25, 4);
    EXPECT_EQ(w.Text(),
              "# HELP kiv_x_total Things\\nthat happened\n"
              "# TYPE kiv_x_total counter\n"
              "kiv_x_total{output=\"UDP\",destination=\"a\\\"b\"} 3\n"
              "# HELP kiv_t_seconds Times\n"
              "# TYPE kiv_t_seconds histogram\n"
              "kiv_t_seconds_bucket{k=\"v\",le=\"0.001\"} 1\n"
              "kiv_t_seconds_bucket{k=\"v\",le=\"0.5\"} 3\n"
              "kiv_t_seconds_bucket{k=\"v\",le=\"+Inf\"} 4\n"
              "kiv_t_seconds_sum{k=\"v\"} 1.25\n"
              "kiv_t_seconds_count{k=\"v\"} 4\n");
}
