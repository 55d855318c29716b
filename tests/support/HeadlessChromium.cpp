#include "HeadlessChromium.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <set>

#include "CaptureOutput.h"
#include "TestSupport.h"
#include "common.h"

namespace kivtest {

namespace {

uint32_t be32(const uint8_t* p) { return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3]; }

int paeth(int a, int b, int c) {
    int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    if (pa <= pb && pa <= pc) return a;
    return pb <= pc ? b : c;
}

}  // namespace

int Image::distinctColours(int x, int y, int w, int h, int cap) const {
    std::set<uint32_t> seen;
    for (int j = std::max(0, y); j < std::min(height, y + h); ++j) {
        for (int i = std::max(0, x); i < std::min(width, x + w); ++i) {
            const uint8_t* p = &rgba[((size_t)j * width + i) * 4];
            seen.insert(be32(p));
            if ((int)seen.size() >= cap) return cap;
        }
    }
    return (int)seen.size();
}

bool DecodePng(const std::vector<uint8_t>& png, Image& out) {
    static const uint8_t sig[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    if (png.size() < 8 || memcmp(png.data(), sig, 8) != 0) return false;
    int colourType = -1;
    std::vector<uint8_t> idat;
    for (size_t pos = 8; pos + 12 <= png.size();) {
        uint32_t len = be32(&png[pos]);
        if (pos + 12 + (size_t)len > png.size()) return false;
        std::string type((const char*)&png[pos + 4], 4);
        const uint8_t* data = &png[pos + 8];
        if (type == "IHDR" && len >= 13) {
            out.width = (int)be32(data);
            out.height = (int)be32(data + 4);
            if (data[8] != 8 || data[12] != 0) return false;  // 8-bit, not interlaced
            colourType = data[9];
        } else if (type == "IDAT") {
            idat.insert(idat.end(), data, data + len);
        }
        pos += 12 + len;
    }
    int channels = colourType == 6 ? 4 : colourType == 2 ? 3 : colourType == 0 ? 1 : 0;
    if (!channels || out.width <= 0 || out.height <= 0) return false;
    size_t stride = (size_t)out.width * channels;
    std::vector<uint8_t> raw((stride + 1) * out.height);
    uLongf rawLen = raw.size();
    if (uncompress(raw.data(), &rawLen, idat.data(), idat.size()) != Z_OK || rawLen != raw.size()) return false;
    std::vector<uint8_t> prev(stride, 0), cur(stride);
    out.rgba.assign((size_t)out.width * out.height * 4, 255);
    for (int y = 0; y < out.height; ++y) {
        const uint8_t* line = &raw[y * (stride + 1)];
        int filter = line[0];
        for (size_t i = 0; i < stride; ++i) {
            int a = i >= (size_t)channels ? cur[i - channels] : 0;
            int b = prev[i];
            int c = i >= (size_t)channels ? prev[i - channels] : 0;
            int x = line[1 + i];
            switch (filter) {
                case 0: break;
                case 1: x += a; break;
                case 2: x += b; break;
                case 3: x += (a + b) / 2; break;
                case 4: x += paeth(a, b, c); break;
                default: return false;
            }
            cur[i] = (uint8_t)x;
        }
        for (int px = 0; px < out.width; ++px) {
            uint8_t* o = &out.rgba[((size_t)y * out.width + px) * 4];
            const uint8_t* s = &cur[(size_t)px * channels];
            if (channels == 1) {
                o[0] = o[1] = o[2] = s[0];
            } else {
                o[0] = s[0];
                o[1] = s[1];
                o[2] = s[2];
                if (channels == 4) o[3] = s[3];
            }
        }
        prev.swap(cur);
    }
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
               "--hide-scrollbars", "--remote-debugging-pipe", size.c_str(), profile.c_str(), "about:blank",
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
}

HeadlessChromium::~HeadlessChromium() {
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        if (!waitUntil([&] { return waitpid(m_pid, nullptr, WNOHANG) == m_pid; }, 5000)) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }
    if (m_toBrowser >= 0) close(m_toBrowser);
    if (m_fromBrowser >= 0) close(m_fromBrowser);
    if (!m_profile.empty()) runCommand("rm -rf '" + m_profile + "'");
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
    long long deadline = MonotonicUs() + (long long)timeoutMs * 1000;
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
        // Events are not needed: skipped.
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
    return r["result"]["value"];
}

bool HeadlessChromium::waitFor(const std::string& script, int timeoutMs) {
    return waitUntil([&] { return evaluate(script, 5000).asBool(); }, timeoutMs);
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
    auto box = elementBox(id);
    if (box.size() != 4 || box[2] <= 0 || box[3] <= 0) return false;
    return click(box[0] + box[2] / 2, box[1] + box[3] / 2);
}

std::vector<uint8_t> HeadlessChromium::screenshot() {
    Json::Value p;
    p["format"] = "png";
    Json::Value r = call("Page.captureScreenshot", p, true, 20000);
    auto bytes = base64Decode(r["data"].asString());
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

}  // namespace kivtest
