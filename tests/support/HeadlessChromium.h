#pragma once
// Debian's chromium, headless, driven through the DevTools protocol over a
// pipe (--remote-debugging-pipe: JSON messages ended by a NUL byte on
// descriptors 3 and 4), for tests of the pages kivd serves: open a page,
// evaluate script, click with the mouse, take a screenshot. Started with the
// flags that keep it off the network and a fresh profile folder.

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include <json/json.h>

namespace kivtest {

// A decoded PNG image, 8 bits per channel, as RGBA.
struct Image {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgba;
    // Colours that appear in the rectangle, counted at most up to `cap`.
    int distinctColours(int x, int y, int w, int h, int cap = 64) const;
    // The red, green, blue, alpha bytes of one point.
    const uint8_t* at(int x, int y) const { return &rgba[((size_t)y * width + x) * 4]; }
};
// Decodes PNG data with libpng; false when it is not a PNG image.
bool DecodePng(const std::vector<uint8_t>& png, Image& out);

class HeadlessChromium {
public:
    HeadlessChromium(int width = 1024, int height = 900);
    ~HeadlessChromium();
    // Ends the browser (also done by the destructor).
    void stop();
    static bool available();
    bool ok() const { return m_pid > 0 && !m_session.empty(); }
    const std::string& error() const { return m_error; }
    // What chromium printed, for failure messages.
    std::string output() const;

    // Navigates and waits until the document has loaded.
    bool open(const std::string& url, int timeoutMs = 20000);
    // Runs script in the page; the value it returns (promises awaited).
    Json::Value evaluate(const std::string& script, int timeoutMs = 10000);
    // Polls `script` until it returns true.
    bool waitFor(const std::string& script, int timeoutMs);
    // A left click at page coordinates, pressed and released.
    bool click(double x, double y);
    // Clicks the middle of the element with this id, scrolled into view.
    bool clickElement(const std::string& id);
    // Clicks the middle of the first element matching a CSS selector.
    bool clickSelector(const std::string& selector);
    // Dialogs (confirm, alert) are answered OK, as a user would press it;
    // the texts of those shown so far.
    const std::vector<std::string>& dialogs() const { return m_dialogs; }
    // Errors the pages reported since the last call: uncaught exceptions,
    // console.error and what the browser logs as an error (a failed load).
    std::vector<std::string> takeConsoleErrors();
    // Where scripts/setup.sh installs axe-core; empty when it is missing.
    static std::string axePath();
    // axe-core's violations of impact "serious" or "critical" on the page,
    // each as "rule: nodes"; null when axe could not run (see error()).
    Json::Value seriousAccessibilityViolations();
    // PNG bytes of the visible page.
    std::vector<uint8_t> screenshot();
    // The element's box in page pixels: {x, y, width, height}, empty when absent.
    std::vector<double> elementBox(const std::string& id);

    // One DevTools call; its "result" (or a null value after an error).
    Json::Value call(const std::string& method, const Json::Value& params, bool inSession = true,
                     int timeoutMs = 10000);

private:
    bool readMessage(Json::Value& msg, int timeoutMs);

    pid_t m_pid = -1;
    int m_toBrowser = -1;
    int m_fromBrowser = -1;
    std::string m_profile;
    std::string m_session;
    std::string m_buffer;
    std::string m_error;
    std::vector<std::string> m_dialogs;
    std::vector<std::string> m_consoleErrors;
    std::string m_axe;  // axe-core's source, read once
    int m_nextId = 1;
};

}  // namespace kivtest
