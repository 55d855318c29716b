// Every socket kivd listens on is documented: the daemon runs with every
// feature on, in a network namespace of its own, and each socket `ss`
// lists for it (listening TCP, bound UDP, Unix) must be a row of the table
// in docs/security.md and listen no more widely than the row says it does
// by default.
//
// Work that adds a socket adds its row to docs/security.md and switches its
// feature on in EveryFeatureOn below.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <set>
#include <sstream>

#include "KivdProcess.h"
#include "MqttTestSupport.h"
#include "NetTestSupport.h"
#include "TestSupport.h"
#include "common.h"
#include "hseq/ShowGenerator.h"

namespace {

struct Row {
    std::string socket, kind, port, width;
};

// The rows of the table under "## Every socket".
std::vector<Row> documentedSockets() {
    std::string doc = GetFileContents(kivtest::sourceDir() + "/docs/security.md");
    std::istringstream in(doc.substr(doc.find("## Every socket")));
    std::vector<Row> rows;
    for (std::string line; std::getline(in, line);) {
        if (startsWith(line, "## ") && !rows.empty()) break;
        if (!startsWith(line, "| ") || startsWith(line, "| Socket")) continue;
        std::vector<std::string> cells;
        for (auto& c : split(line.substr(1), '|')) {
            std::string t = c;
            TrimWhiteSpace(t);
            cells.push_back(t);
        }
        if (cells.size() >= 4) rows.push_back({cells[0], cells[1], cells[2], cells[3]});
    }
    return rows;
}

// loopback < one address < every address
int widthRank(const std::string& w) { return w == "loopback" ? 0 : w == "any" ? 2 : 1; }

int addressRank(std::string a) {
    if (!a.empty() && a[0] == '[') a = a.substr(1, a.size() - 2);
    if (a == "*" || a == "0.0.0.0" || a == "::") return 2;
    if (startsWith(a, "127.") || a == "::1" || startsWith(a, "::ffff:127.")) return 0;
    return 1;
}

bool ephemeral(int port) {
    int low = 0, high = 0;
    std::istringstream(GetFileContents("/proc/sys/net/ipv4/ip_local_port_range")) >> low >> high;
    return port >= low && port <= high;
}

// Lines of `ss <args>` that belong to the process.
std::vector<std::vector<std::string>> socketsOf(pid_t pid, const std::string& args) {
    std::string out;
    EXPECT_EQ(kivtest::runCommand("ss " + args, &out), 0) << out;
    std::vector<std::vector<std::string>> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        if (!contains(line, "pid=" + std::to_string(pid) + ",")) continue;
        std::istringstream words(line);
        std::vector<std::string> w;
        for (std::string x; words >> x;) w.push_back(x);
        lines.push_back(w);
    }
    return lines;
}

void everyFeatureOn(kivtest::TempMediaDir& media, const kivtest::MosquittoBroker& broker) {
    // The defaults, named so that the test harness keeps its hands off them.
    media.write("/settings", "HTTPPort = 32320\nMQTTHost = " + broker.address() + "\nMQTTPort = " +
                                 std::to_string(broker.port()) + "\nGPIOProvider = simulated\nkivMode = master\n");
    std::string universes;
    for (int type = 0; type <= 8; ++type) {
        universes += std::string(type ? ", " : "") + R"({"type": )" + std::to_string(type) +
                     R"(, "address": "127.0.1.)" + std::to_string(10 + type) +
                     R"(", "universe": 1, "universeCount": 1, "startChannel": 1, "channelCount": 510})";
    }
    media.write("/config/channeloutputs.json", R"({"channelOutputs": [
        {"type": "UDP", "enabled": 1, "interface": "kivshow0", "universes": [)" + universes + R"(]},
        {"type": "GenericUDP", "enabled": 1, "address": "127.0.1.30", "port": 5000, "startChannel": 1,
         "channelCount": 30, "tokens": "{data}"},
        {"type": "HTTPVirtualDisplay", "enabled": 1, "startChannel": 1, "channelCount": 2048}]})");
    media.write("/config/virtualdisplaymap",
                GetFileContents(kivtest::sourceDir() + "/docs/examples/virtualdisplaymap"));
    ShowSpec spec;
    spec.channels = 2048;
    spec.frames = 400;
    GenerateShow(media.file("/sequences/show.hseq"), spec);
}

}  // namespace

TEST(SocketAudit, EverySocketIsDocumentedAndListensNoWiderThanByDefault) {
    KIV_RUN_IN_PRIVATE_NETNS();
    if (!kivtest::MosquittoBroker::available()) GTEST_SKIP() << "mosquitto is not installed";
    ASSERT_EQ(0, kivtest::runCommand(kivtest::privateShowNetworkCommand()));
    std::vector<Row> rows = documentedSockets();
    ASSERT_GE(rows.size(), 4u);

    kivtest::TempMediaDir media;
    kivtest::MosquittoBroker broker;
    ASSERT_TRUE(broker.start()) << broker.log();
    everyFeatureOn(media, broker);
    kivtest::KivdProcess d(media.path());
    ASSERT_TRUE(d.start({"-f"}));
    ASSERT_TRUE(d.waitReady()) << d.output();
    std::string out;
    // Listed once frames go out to every kind of controller and the broker has the client.
    kivtest::UdpReceiver ddp("127.0.1.14", 4048), generic("127.0.1.30", 5000);
    ASSERT_EQ(d.command({"Start Sequence", "show.hseq"}, &out), 0) << out;
    ASSERT_TRUE(ddp.waitFor(10, 20000) && generic.waitFor(10, 20000)) << d.log();
    ASSERT_TRUE(kivtest::waitUntil([&] { return contains(d.log(), "Connected to MQTT broker"); }, 20000)) << d.log();

    // Listening TCP sockets, and every UDP socket: one that sent (and so
    // is bound) receives too.
    std::set<std::string> seen;
    for (auto& s : socketsOf(d.pid(), "-tuanpH")) {
        ASSERT_GE(s.size(), 5u);
        if (s[0] == "tcp" && s[1] != "LISTEN") continue;
        std::string local = s[4];
        size_t colon = local.rfind(':');
        int port = atoi(local.c_str() + colon + 1);
        std::string address = local.substr(0, colon);
        const Row* row = nullptr;
        for (auto& r : rows) {
            if (r.kind == s[0] && (r.port == std::to_string(port) || (r.port == "ephemeral" && ephemeral(port)))) {
                row = &r;
            }
        }
        ASSERT_NE(row, nullptr) << s[0] << " " << local << " is not in docs/security.md";
        EXPECT_LE(addressRank(address), widthRank(row->width)) << local << " listens wider than: " << row->socket;
        seen.insert(s[0] + " " + std::to_string(port));
    }
    EXPECT_TRUE(seen.count("tcp 32320") && seen.count("tcp 32328") && seen.count("udp 32350"))
        << "ss saw the daemon's sockets";
    EXPECT_GE(std::count_if(seen.begin(), seen.end(), [](const std::string& s) { return startsWith(s, "udp"); }), 1);

    int unixSockets = 0;
    for (auto& s : socketsOf(d.pid(), "-xlpH")) {
        std::string path = s[4];
        if (path.empty() || path[0] != '/') continue;
        std::string name = path.substr(path.rfind('/') + 1);
        bool documented = false;
        for (auto& r : rows) documented |= r.kind == "unix" && endsWith(r.port, name + "`");
        EXPECT_TRUE(documented) << path << " is not in docs/security.md";
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0) << path;
        EXPECT_EQ(st.st_mode & 07, 0u) << path << " may be written by anyone";
        ++unixSockets;
    }
    EXPECT_GE(unixSockets, 2) << "the command socket and the simulated board's";
    EXPECT_EQ(d.stop(SIGTERM), 0) << d.output();
}
