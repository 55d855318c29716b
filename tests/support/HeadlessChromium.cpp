#include "HeadlessChromium.h"

#include <fcntl.h>
#include <png.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <set>

#include "CaptureOutput.h"
#include "TestSupport.h"
#include "common.h"

namespace kivtest {

int Image::distinctColours(int x, int y, int w, int h, int cap) const {
    std::set<uint32_t> seen;
    for (int j = std::max(0, y); j < std::min(height, y + h); ++j) {
        for (int i = std::max(0, x); i < std::min(width, x + w); ++i) {
            const uint8_t* p = at(i, j);
            seen.insert((uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3]);
            if ((int)seen.size() >= cap) return cap;
        }
    }
    return (int)seen.size();
}

bool DecodePng(const std::vector<uint8_t>& png, Image& out) {
    png_image image;
    memset(&image, 0, sizeof(image));
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, png.data(), png.size())) return false;
    image.format = PNG_FORMAT_RGBA;
    out.rgba.assign(PNG_IMAGE_SIZE(image), 0);
    if (!png_image_finish_read(&image, nullptr, out.rgba.data(), 0, nullptr)) {
        png_image_free(&image);
        return false;
    }
    out.width = (int)image.width;
    out.height = (int)image.height;
    return true;
}

bool HeadlessChromium::available() { return runCommand("command -v chromium >/dev/null 2>&1") == 0; }

HeadlessChromium::HeadlessChromium(int width, int height) {
    char tmpl[] = "/tmp/kivchromium-XXXXXX";
    if (mkdtemp(tmpl)) m_profile = tmpl;
    int to[2], from[2];
    if (pipe2(to, O_CLOEXEC) != 0 || pipe2(from, O_CLOEXEC) != 0) {
        m_error = "pipe failed";
        return;
    }
    std::string size = "--window-size=" + std::to_string(width) + "," + std::to_string(height);
    std::string profile = "--user-data-dir=" + m_profile;
    m_pid = fork();
    if (m_pid == 0) {
        // DevTools reads on 3 and writes on 4. Copied out of the way first:
        // the pipes themselves may sit on 3 or 4.
        int in = fcntl(to[0], F_DUPFD, 10), out = fcntl(from[1], F_DUPFD, 10);
        dup2(in, 3);
        dup2(out, 4);
        int devnull = ::open("/dev/null", O_RDWR);
        int log = ::open((m_profile + "/chromium.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        dup2(devnull, 0);
        dup2(log, 1);
        dup2(log, 2);
        execlp("chromium", "chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
               "--no-first-run", "--disable-background-networking", "--disable-component-update", "--disable-sync",
               "--disable-default-apps", "--mute-audio", "--hide-scrollbars", "--force-device-scale-factor=1", "--remote-debugging-pipe", size.c_str(), profile.c_str(), "about:blank",
               (char*)nullptr);
        _exit(127);
    }
    close(to[0]);
    close(from[1]);
    m_toBrowser = to[1];
    m_fromBrowser = from[0];
    if (m_pid < 0) {
        m_error = "fork failed";
        return;
    }
    Json::Value p;
    p["url"] = "about:blank";
    Json::Value target = call("Target.createTarget", p, false, 30000);
    if (!target.isMember("targetId")) {
        m_error = "no target: " + GetFileContents(m_profile + "/chromium.log");
        return;
    }
    Json::Value a;
    a["targetId"] = target["targetId"];
    a["flatten"] = true;
    Json::Value attached = call("Target.attachToTarget", a, false);
    m_session = attached["sessionId"].asString();
    if (m_session.empty()) {
        m_error = "cannot attach to the page";
        return;
    }
    call("Page.enable", Json::Value(Json::objectValue));
    call("Runtime.enable", Json::Value(Json::objectValue));
    call("Log.enable", Json::Value(Json::objectValue));
}

HeadlessChromium::~HeadlessChromium() {
    stop();
    if (!m_profile.empty()) runCommand("rm -rf '" + m_profile + "'");
}

void HeadlessChromium::stop() {
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        if (!waitUntil([&] { return waitpid(m_pid, nullptr, WNOHANG) == m_pid; }, 5000)) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        m_pid = -1;
    }
    if (m_toBrowser >= 0) close(m_toBrowser);
    if (m_fromBrowser >= 0) close(m_fromBrowser);
    m_toBrowser = m_fromBrowser = -1;
}

bool HeadlessChromium::readMessage(Json::Value& msg, int timeoutMs) {
    long long deadline = MonotonicUs() + (long long)timeoutMs * 1000;
    while (true) {
        size_t end = m_buffer.find('\0');
        if (end != std::string::npos) {
            std::string text = m_buffer.substr(0, end);
            m_buffer.erase(0, end + 1);
            return LoadJsonFromString(text, msg);
        }
        long long left = (deadline - MonotonicUs()) / 1000;
        if (left <= 0) return false;
        struct pollfd pfd = {m_fromBrowser, POLLIN, 0};
        if (poll(&pfd, 1, (int)left) <= 0) return false;
        char buf[65536];
        ssize_t n = read(m_fromBrowser, buf, sizeof(buf));
        if (n <= 0) return false;
        m_buffer.append(buf, n);
    }
}

Json::Value HeadlessChromium::call(const std::string& method, const Json::Value& params, bool inSession,
                                   int timeoutMs) {
    if (m_toBrowser < 0) return Json::Value();
    Json::Value msg;
    int id = m_nextId++;
    msg["id"] = id;
    msg["method"] = method;
    msg["params"] = params;
    if (inSession && !m_session.empty()) msg["sessionId"] = m_session;
    std::string text = SaveJsonToString(msg);
    text.push_back('\0');
    if (write(m_toBrowser, text.data(), text.size()) != (ssize_t)text.size()) return Json::Value();
    // The page may wait for the daemon, which runs slower under an emulator.
    long long deadline = MonotonicUs() + (long long)patienceMs(timeoutMs) * 1000;
    Json::Value in;
    while (MonotonicUs() < deadline) {
        if (!readMessage(in, (int)std::max(1LL, (deadline - MonotonicUs()) / 1000))) break;
        if (in.isMember("id") && in["id"].asInt() == id) {
            if (in.isMember("error")) {
                m_error = method + ": " + SaveJsonToString(in["error"]);
                return Json::Value();
            }
            return in["result"];
        }
        if (in["method"].asString() == "Page.javascriptDialogOpening") {
            // The page waits in confirm() until it is answered.
            m_dialogs.push_back(in["params"]["message"].asString());
            Json::Value answer;
            answer["id"] = m_nextId++;
            answer["method"] = "Page.handleJavaScriptDialog";
            answer["params"]["accept"] = true;
            answer["sessionId"] = in["sessionId"];
            std::string a = SaveJsonToString(answer);
            a.push_back('\0');
            if (write(m_toBrowser, a.data(), a.size()) != (ssize_t)a.size()) break;
        }
        const std::string event = in["method"].asString();
        if (event == "Runtime.exceptionThrown") {
            const Json::Value& d = in["params"]["exceptionDetails"];
            m_consoleErrors.push_back("exception: " + d["exception"]["description"].asString() + " " + d["text"].asString() +
                                      " at " + d["url"].asString() + ":" + std::to_string(d["lineNumber"].asInt()));
        } else if (event == "Runtime.consoleAPICalled" && in["params"]["type"].asString() == "error") {
            std::string text = "console.error:";
            for (auto& a : in["params"]["args"]) text += " " + (a.isMember("value") ? a["value"].asString() : a["description"].asString());
            m_consoleErrors.push_back(text);
        } else if (event == "Log.entryAdded" && in["params"]["entry"]["level"].asString() == "error") {
            m_consoleErrors.push_back("log: " + in["params"]["entry"]["text"].asString() + " " +
                                      in["params"]["entry"]["url"].asString());
        }
        // Other events are not needed: skipped.
    }
    m_error = method + ": no answer";
    return Json::Value();
}

bool HeadlessChromium::open(const std::string& url, int timeoutMs) {
    Json::Value p;
    p["url"] = url;
    if (call("Page.navigate", p).isNull()) return false;
    return waitFor("document.readyState === 'complete' && location.href.startsWith(" +
                       SaveJsonToString(Json::Value(url.substr(0, url.find('#')))) + ")",
                   timeoutMs);
}

Json::Value HeadlessChromium::evaluate(const std::string& script, int timeoutMs) {
    Json::Value p;
    p["expression"] = script;
    p["returnByValue"] = true;
    p["awaitPromise"] = true;
    Json::Value r = call("Runtime.evaluate", p, true, timeoutMs);
    if (r.isMember("exceptionDetails")) {
        m_error = "script threw: " + SaveJsonToString(r["exceptionDetails"]);
        return Json::Value();
    }
    return r["result"]["value"];
}

std::string HeadlessChromium::output() const { return GetFileContents(m_profile + "/chromium.log"); }

bool HeadlessChromium::waitFor(const std::string& script, int timeoutMs) {
    return waitUntil([&] { return evaluate("Boolean(" + script + ")", 5000).asBool(); }, timeoutMs);
}

bool HeadlessChromium::click(double x, double y) {
    for (const char* type : {"mousePressed", "mouseReleased"}) {
        Json::Value p;
        p["type"] = type;
        p["x"] = x;
        p["y"] = y;
        p["button"] = "left";
        p["clickCount"] = 1;
        if (call("Input.dispatchMouseEvent", p).isNull()) return false;
    }
    return true;
}

std::vector<double> HeadlessChromium::elementBox(const std::string& id) {
    Json::Value v = evaluate("(() => { const e = document.getElementById(" + SaveJsonToString(Json::Value(id)) +
                             "); if (!e) return null; const r = e.getBoundingClientRect();"
                             " return [r.x, r.y, r.width, r.height]; })()");
    std::vector<double> out;
    for (auto& x : v) out.push_back(x.asDouble());
    return out;
}

bool HeadlessChromium::clickElement(const std::string& id) {
    // Out of the viewport a click lands nowhere: brought into it first.
    evaluate("(() => { const e = document.getElementById(" + SaveJsonToString(Json::Value(id)) +
             "); if (e) e.scrollIntoView({block: 'center'}); })()");
    auto box = elementBox(id);
    if (box.size() != 4 || box[2] <= 0 || box[3] <= 0) return false;
    return click(box[0] + box[2] / 2, box[1] + box[3] / 2);
}

bool HeadlessChromium::clickSelector(const std::string& selector) {
    Json::Value v = evaluate("(() => { const e = document.querySelector(" + SaveJsonToString(Json::Value(selector)) +
                             "); if (!e) return null; e.scrollIntoView({block: 'center'});"
                             " const r = e.getBoundingClientRect(); return [r.x + r.width / 2, r.y + r.height / 2]; })()");
    if (v.size() != 2) return false;
    return click(v[0].asDouble(), v[1].asDouble());
}

std::vector<std::string> HeadlessChromium::takeConsoleErrors() {
    evaluate("0");  // reads the events that came meanwhile
    std::vector<std::string> out;
    out.swap(m_consoleErrors);
    return out;
}

std::string HeadlessChromium::axePath() {
    std::string path = std::string(KIV_TEST_SOURCE_DIR) + "/tests/web/node_modules/axe-core/axe.min.js";
    return FileExists(path) ? path : "";
}

Json::Value HeadlessChromium::seriousAccessibilityViolations() {
    if (m_axe.empty() && !axePath().empty()) m_axe = GetFileContents(axePath());
    if (m_axe.empty()) {
        m_error = "axe-core is not installed (scripts/setup.sh installs it)";
        return Json::Value();
    }
    if (!evaluate("typeof axe === 'object'").asBool()) evaluate(m_axe + "; true", 30000);
    return evaluate(R"(axe.run(document, {resultTypes: ['violations']}).then((r) => r.violations
        .filter((v) => v.impact === 'serious' || v.impact === 'critical')
        .map((v) => v.id + ': ' + v.nodes.slice(0, 3).map((n) => n.target.join(' ')).join(', '))))",
                    60000);
}

std::vector<uint8_t> HeadlessChromium::screenshot() {
    Json::Value p;
    p["format"] = "png";
    Json::Value r = call("Page.captureScreenshot", p, true, 20000);
    auto bytes = base64Decode(r["data"].asString());
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

}  // namespace kivtest
