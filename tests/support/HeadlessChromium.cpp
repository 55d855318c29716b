#include "HeadlessChromium.h"

#include <fcntl.h>
#include <png.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "TestSupport.h"
#include "common.h"

namespace kivtest {

bool DecodePng(const std::string& png, RgbImage& out) {
    png_image image;
    memset(&image, 0, sizeof(image));
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, png.data(), png.size())) return false;
    image.format = PNG_FORMAT_RGB;
    out.rgb.assign(PNG_IMAGE_SIZE(image), 0);
    if (!png_image_finish_read(&image, nullptr, out.rgb.data(), 0, nullptr)) {
        png_image_free(&image);
        return false;
    }
    out.width = (int)image.width;
    out.height = (int)image.height;
    return true;
}

HeadlessChromium::HeadlessChromium() {}

HeadlessChromium::~HeadlessChromium() { stop(); }

std::string HeadlessChromium::program() {
    for (const char* p : {"/usr/bin/chromium", "/usr/bin/chromium-browser"}) {
        if (access(p, X_OK) == 0) return p;
    }
    return "";
}

std::string HeadlessChromium::output() const { return GetFileContents(m_profile + "/chromium-output.txt"); }

bool HeadlessChromium::start(const std::string& url, int width, int height) {
    char tmpl[] = "/tmp/kivchromium-XXXXXX";
    if (!mkdtemp(tmpl)) {
        m_error = "no temporary profile folder";
        return false;
    }
    m_profile = tmpl;
    int in[2], out[2];  // in: to the browser, out: from it
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
        m_error = "no pipes";
        return false;
    }
    std::vector<std::string> args = {program(),
                                     "--headless",
                                     "--no-sandbox",
                                     "--disable-gpu",
                                     "--disable-quic",
                                     "--no-first-run",
                                     "--disable-background-networking",
                                     "--disable-component-update",
                                     "--disable-sync",
                                     "--disable-default-apps",
                                     "--mute-audio",
                                     "--hide-scrollbars",
                                     "--force-device-scale-factor=1",
                                     "--user-data-dir=" + m_profile,
                                     "--remote-debugging-pipe",
                                     "--window-size=" + std::to_string(width) + "," + std::to_string(height),
                                     url};
    std::string log = m_profile + "/chromium-output.txt";
    m_pid = fork();
    if (m_pid < 0) {
        m_error = "fork failed";
        return false;
    }
    if (m_pid == 0) {
        // The pipe is the browser's descriptors 3 (commands) and 4 (answers).
        int a = fcntl(in[0], F_DUPFD_CLOEXEC, 10), b = fcntl(out[1], F_DUPFD_CLOEXEC, 10);
        dup2(a, 3);
        dup2(b, 4);
        int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
        setsid();
        std::vector<char*> argv;
        for (auto& s : args) argv.push_back((char*)s.c_str());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    m_toBrowser = in[1];
    m_fromBrowser = out[0];

    // The page target appears once the browser opened the URL.
    std::string targetId;
    for (int tries = 0; tries < 100 && targetId.empty(); ++tries) {
        Json::Value r = call("Target.getTargets", Json::Value(Json::objectValue), false, 10000);
        if (r.isNull()) return false;
        for (auto& t : r["targetInfos"]) {
            if (t["type"].asString() == "page") targetId = t["targetId"].asString();
        }
        if (targetId.empty()) usleep(100000);
    }
    if (targetId.empty()) {
        m_error = "the browser opened no page";
        return false;
    }
    Json::Value p(Json::objectValue);
    p["targetId"] = targetId;
    p["flatten"] = true;
    Json::Value r = call("Target.attachToTarget", p, false, 10000);
    m_sessionId = r["sessionId"].asString();
    if (m_sessionId.empty()) {
        if (m_error.empty()) m_error = "could not attach to the page";
        return false;
    }
    return true;
}

bool HeadlessChromium::readMessage(Json::Value& out, int timeoutMs) {
    long long deadline = GetTimeMS() + timeoutMs;
    while (true) {
        size_t end = m_pending.find('\0');
        if (end != std::string::npos) {
            std::string text = m_pending.substr(0, end);
            m_pending.erase(0, end + 1);
            Json::CharReaderBuilder b;
            std::string errs;
            std::unique_ptr<Json::CharReader> reader(b.newCharReader());
            if (!reader->parse(text.data(), text.data() + text.size(), &out, &errs)) {
                m_error = "unreadable message from the browser: " + errs;
                return false;
            }
            return true;
        }
        long long left = deadline - GetTimeMS();
        if (left <= 0) {
            m_error = "the browser did not answer in time";
            return false;
        }
        pollfd p = {m_fromBrowser, POLLIN, 0};
        if (poll(&p, 1, (int)left) <= 0) continue;
        char buf[65536];
        ssize_t n = read(m_fromBrowser, buf, sizeof(buf));
        if (n <= 0) {
            m_error = "the browser closed its pipe";
            return false;
        }
        m_pending.append(buf, (size_t)n);
    }
}

Json::Value HeadlessChromium::call(const std::string& method, const Json::Value& params, bool inSession,
                                   int timeoutMs) {
    if (m_toBrowser < 0) {
        m_error = "the browser is not running";
        return Json::Value();
    }
    int id = m_nextId++;
    Json::Value msg(Json::objectValue);
    msg["id"] = id;
    msg["method"] = method;
    msg["params"] = params;
    if (inSession) msg["sessionId"] = m_sessionId;
    std::string text = SaveJsonToString(msg);
    text.push_back('\0');
    size_t off = 0;
    while (off < text.size()) {
        ssize_t n = write(m_toBrowser, text.data() + off, text.size() - off);
        if (n <= 0) {
            m_error = "could not write to the browser";
            return Json::Value();
        }
        off += (size_t)n;
    }
    long long deadline = GetTimeMS() + timeoutMs;
    while (true) {
        Json::Value answer;
        long long left = deadline - GetTimeMS();
        if (left <= 0 || !readMessage(answer, (int)left)) {
            if (left <= 0) m_error = method + ": no answer in time";
            return Json::Value();
        }
        if (!answer.isMember("id") || answer["id"].asInt() != id) continue;  // events, other answers
        if (answer.isMember("error")) {
            m_error = method + ": " + answer["error"]["message"].asString();
            return Json::Value();
        }
        return answer["result"];
    }
}

Json::Value HeadlessChromium::evaluate(const std::string& expression, int timeoutMs) {
    Json::Value p(Json::objectValue);
    p["expression"] = expression;
    p["returnByValue"] = true;
    p["awaitPromise"] = true;
    Json::Value r = call("Runtime.evaluate", p, true, timeoutMs);
    if (r.isNull()) return r;
    if (r.isMember("exceptionDetails")) {
        m_error = "script threw: " + SaveJsonToString(r["exceptionDetails"]);
        return Json::Value();
    }
    return r["result"]["value"];
}

bool HeadlessChromium::waitFor(const std::string& expression, int timeoutMs) {
    long long deadline = GetTimeMS() + timeoutMs;
    while (GetTimeMS() < deadline) {
        m_error.clear();
        Json::Value v = evaluate("Boolean(" + expression + ")", 5000);
        if (v.isBool() && v.asBool()) return true;
        if (m_error == "the browser closed its pipe") return false;
        usleep(100000);
    }
    return false;
}

std::string HeadlessChromium::screenshot(int timeoutMs) {
    Json::Value p(Json::objectValue);
    p["format"] = "png";
    Json::Value r = call("Page.captureScreenshot", p, true, timeoutMs);
    if (!r.isMember("data")) return "";
    std::vector<unsigned char> bytes = base64Decode(r["data"].asString());
    return std::string(bytes.begin(), bytes.end());
}

void HeadlessChromium::stop() {
    if (m_pid > 0) {
        if (m_toBrowser >= 0) call("Browser.close", Json::Value(Json::objectValue), false, 5000);
        if (!waitUntil([&] { return waitpid(m_pid, nullptr, WNOHANG) == m_pid; }, 5000)) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        m_pid = -1;
    }
    if (m_toBrowser >= 0) close(m_toBrowser);
    if (m_fromBrowser >= 0) close(m_fromBrowser);
    m_toBrowser = m_fromBrowser = -1;
    if (!m_profile.empty()) runCommand("rm -rf '" + m_profile + "'");
    m_profile.clear();
}

}  // namespace kivtest
