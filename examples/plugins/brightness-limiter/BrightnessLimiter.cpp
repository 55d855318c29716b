// brightness-limiter: a user plug-in that holds channel ranges to a power
// budget. For each configured range, when the sum of its bytes exceeds
//   budget = floor(channelCount x 255 x maxPercent / 100)
// every byte b of the range becomes floor(b x budget / sum), so the range's
// average level is at most maxPercent of full; a range within its budget is
// left alone. It runs last in the frame (modifyChannelData), after overlays
// and test patterns, so the cap holds for whatever goes out. Configuration:
// brightness-limiter.json beside the shared object (docs/plugins.md).
//
// Built against the public headers only:
//   g++ -std=c++17 -O2 -shared -fPIC BrightnessLimiter.cpp -o brightness-limiter.so
//       $(pkg-config --cflags --libs jsoncpp)

#include <cstdint>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <json/json.h>

#include "kiv/UserPlugin.h"

namespace {

struct Range {
    uint32_t first;  // 0-based
    uint32_t count;
    uint64_t budget;  // largest allowed sum of the range's bytes
};

class BrightnessLimiter : public KIVPlugins::Plugin,
                          public KIVPlugins::UserPlugin,
                          public KIVPlugins::ChannelDataPlugin {
public:
    BrightnessLimiter() : KIVPlugins::Plugin("brightness-limiter") {}

    std::string version() const override { return "1.0.0"; }

    void setUp(const KIVPlugins::PluginHost& host) override {
        std::string path = host.directory + "/brightness-limiter.json";
        std::ifstream in(path);
        Json::Value doc;
        Json::CharReaderBuilder reader;
        std::string errors;
        if (!in) throw std::runtime_error(path + " cannot be read");
        if (!Json::parseFromStream(reader, in, &doc, &errors)) throw std::runtime_error(path + ": " + errors);
        const Json::Value& ranges = doc["ranges"];
        if (!ranges.isArray() || ranges.empty()) throw std::runtime_error(path + " has no \"ranges\" array");
        for (Json::ArrayIndex i = 0; i < ranges.size(); ++i) m_ranges.push_back(parseRange(ranges[i], i + 1));
        for (auto& r : m_ranges) {
            host.log(KIVPlugins::LogLevel::Info, "channels " + std::to_string(r.first + 1) + "-" +
                                                     std::to_string(r.first + r.count) + " limited to a sum of " +
                                                     std::to_string(r.budget));
        }
    }

    void modifyChannelData(int ms, unsigned char* data) override {
        for (auto& r : m_ranges) limit(r, data + r.first);
    }

private:
    static Range parseRange(const Json::Value& v, unsigned n) {
        auto bad = [n](const std::string& why) { return std::runtime_error("range " + std::to_string(n) + ": " + why); };
        if (!v.isObject() || !v["startChannel"].isUInt() || !v["channelCount"].isUInt() || !v["maxPercent"].isNumeric()) {
            throw bad("needs \"startChannel\", \"channelCount\" and \"maxPercent\" numbers");
        }
        uint64_t start = v["startChannel"].asUInt(), count = v["channelCount"].asUInt();
        double percent = v["maxPercent"].asDouble();
        if (start < 1 || count < 1 || start - 1 + count > KIVPlugins::FRAME_CHANNELS) {
            throw bad("channels " + std::to_string(start) + "+" + std::to_string(count) + " are outside 1-" +
                      std::to_string(KIVPlugins::FRAME_CHANNELS));
        }
        if (!(percent >= 0 && percent <= 100)) throw bad("\"maxPercent\" must lie in 0-100");
        return {(uint32_t)(start - 1), (uint32_t)count, (uint64_t)((double)count * 255 * percent / 100)};
    }

    // One pass to sum, one through a table of the 256 scaled values: the
    // exact floor(b x budget / sum) for about the cost of two copies.
    static void limit(const Range& r, unsigned char* d) {
        uint64_t sum = 0;
        for (uint32_t i = 0; i < r.count; ++i) sum += d[i];
        if (sum <= r.budget) return;
        uint8_t table[256];
        for (uint32_t b = 0; b < 256; ++b) table[b] = (uint8_t)(b * r.budget / sum);
        for (uint32_t i = 0; i < r.count; ++i) d[i] = table[d[i]];
    }

    std::vector<Range> m_ranges;
};

}  // namespace

KIV_PLUGIN(BrightnessLimiter)
