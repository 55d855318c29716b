#pragma once
// Debian's chromium, headless, as a test peer for the daemon's pages: it is
// driven over the DevTools protocol on a pipe (--remote-debugging-pipe, no
// port to collide on), so a test can evaluate script in the page and take
// screenshots. Runs with a fresh profile and every network feature of its
// own switched off.

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include <json/json.h>

namespace kivtest {

// A decoded screenshot: 8-bit red, green, blue per point, rows from the top.
struct RgbImage {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;
    const uint8_t* at(int x, int y) const { return &rgb[((size_t)y * width + x) * 3]; }
};

// Decodes PNG bytes (libpng); false when they are not a PNG image.
bool DecodePng(const std::string& png, RgbImage& out);

class HeadlessChromium {
public:
    HeadlessChromium();
    ~HeadlessChromium();

    static std::string program();  // empty when chromium is not installed
    static bool available() { return !program().empty(); }

    // Starts the browser on `url` with a window of width x height and
    // attaches to its page. False (see error()) when it cannot.
    bool start(const std::string& url, int width, int height);
    // Runs `expression` in the page; its value (JSON-serialisable), or null
    // with error() set when it threw or the browser did not answer.
    Json::Value evaluate(const std::string& expression, int timeoutMs = 10000);
    // Polls `expression` until it is true.
    bool waitFor(const std::string& expression, int timeoutMs);
    // A screenshot of the page's viewport as PNG bytes (empty on failure).
    std::string screenshot(int timeoutMs = 20000);
    void stop();
    const std::string& error() const { return m_error; }
    // What chromium printed, for failure messages.
    std::string output() const;

private:
    // Sends one DevTools command and waits for its answer ("result" member,
    // or null with error() set).
    Json::Value call(const std::string& method, const Json::Value& params, bool inSession, int timeoutMs);
    bool readMessage(Json::Value& out, int timeoutMs);

    pid_t m_pid = -1;
    int m_toBrowser = -1;
    int m_fromBrowser = -1;
    int m_nextId = 1;
    std::string m_sessionId;
    std::string m_profile;
    std::string m_pending;  // bytes read but not yet split into messages
    std::string m_error;
};

}  // namespace kivtest
