// kivmon: watches what the daemon sends. Listens for DDP (4048), E1.31
// (5568) and Art-Net (6454) on one address and shows, live, the frames per
// second arriving per protocol and a strip of coloured blocks for the first
// pixels (three channels each).
//
//   kivmon [-a ADDRESS] [-n PIXELS] [-t SECONDS] [--plain]

#include <arpa/inet.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "common.h"
#include "monitor/PacketDecoder.h"

namespace {

volatile sig_atomic_t stopRequested = 0;
void onSignal(int) { stopRequested = 1; }

constexpr size_t MAX_CHANNELS = 1 << 20;

struct Stream {
    std::vector<uint8_t> channels;
    long long frames = 0;
    long long framesInWindow = 0;
    long long packets = 0;
    double fps = 0;
    uint32_t firstUniverse = UINT32_MAX;
};

int openSocket(const std::string& address, uint16_t port) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    int sz = 8 * 1024 * 1024;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &sz, sizeof(sz));
    sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &a.sin_addr) != 1 || bind(fd, (sockaddr*)&a, sizeof(a)) < 0) {
        fprintf(stderr, "kivmon: cannot listen on %s:%d: %s\n", address.c_str(), port, strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

void place(Stream& s, size_t offset, const uint8_t* data, size_t len) {
    if (offset >= MAX_CHANNELS) return;
    len = std::min(len, MAX_CHANNELS - offset);
    if (s.channels.size() < offset + len) s.channels.resize(offset + len);
    memcpy(s.channels.data() + offset, data, len);
}

void handle(Stream& s, const DecodedPacket& p) {
    ++s.packets;
    if (p.protocol == MonitorProtocol::DDP) {
        place(s, p.offset, p.data, p.length);
        if (p.push) {
            ++s.frames;
            ++s.framesInWindow;
        }
        return;
    }
    // Universes of 512 channels; a frame is one packet of the lowest universe.
    if (p.universe < s.firstUniverse) s.firstUniverse = p.universe;
    place(s, (size_t)(p.universe - s.firstUniverse) * 512, p.data, p.length);
    if (p.universe == s.firstUniverse) {
        ++s.frames;
        ++s.framesInWindow;
    }
}

std::string strip(const Stream& s, int pixels, bool plain) {
    std::string out;
    char buf[64];
    for (int i = 0; i < pixels; ++i) {
        size_t c = (size_t)i * 3;
        uint8_t r = c < s.channels.size() ? s.channels[c] : 0;
        uint8_t g = c + 1 < s.channels.size() ? s.channels[c + 1] : 0;
        uint8_t b = c + 2 < s.channels.size() ? s.channels[c + 2] : 0;
        if (plain) {
            snprintf(buf, sizeof(buf), "%02x%02x%02x ", r, g, b);
        } else {
            snprintf(buf, sizeof(buf), "\x1b[48;2;%d;%d;%dm  ", r, g, b);
        }
        out += buf;
    }
    if (!plain) out += "\x1b[0m";
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    std::string address = "127.0.0.2";
    int pixels = 24;
    int seconds = 0;
    bool plain = !isatty(1);
    static struct option opts[] = {{"plain", no_argument, 0, 'P'}, {"help", no_argument, 0, 'h'}, {0, 0, 0, 0}};
    int c;
    while ((c = getopt_long(argc, argv, "a:n:t:h", opts, nullptr)) != -1) {
        switch (c) {
        case 'a':
            address = optarg;
            break;
        case 'n':
            pixels = std::max(1, atoi(optarg));
            break;
        case 't':
            seconds = atoi(optarg);
            break;
        case 'P':
            plain = true;
            break;
        default:
            printf("Usage: %s [-a ADDRESS] [-n PIXELS] [-t SECONDS] [--plain]\n"
                   "Shows frames per second and the first pixels of DDP, E1.31 and Art-Net\n"
                   "data arriving on ADDRESS (default 127.0.0.2). -t stops after SECONDS.\n",
                   argv[0]);
            return c == 'h' ? 0 : 2;
        }
    }
    signal(SIGINT, onSignal);
    signal(SIGTERM, onSignal);

    struct Listener {
        MonitorProtocol protocol;
        uint16_t port;
        int fd;
    };
    std::vector<Listener> listeners = {
        {MonitorProtocol::DDP, 4048, -1}, {MonitorProtocol::E131, 5568, -1}, {MonitorProtocol::ArtNet, 6454, -1}};
    std::vector<pollfd> pfds;
    for (auto& l : listeners) {
        l.fd = openSocket(address, l.port);
        if (l.fd < 0) return 1;
        pfds.push_back({l.fd, POLLIN, 0});
    }
    std::map<MonitorProtocol, Stream> streams;
    std::vector<uint8_t> buf(65536);
    long long start = GetTimeMS();
    long long window = start;
    int linesShown = 0;
    while (!stopRequested) {
        poll(pfds.data(), pfds.size(), 50);
        for (auto& l : listeners) {
            ssize_t n;
            while ((n = recv(l.fd, buf.data(), buf.size(), 0)) > 0) {
                DecodedPacket p = l.protocol == MonitorProtocol::DDP    ? DecodeDDP(buf.data(), n)
                                  : l.protocol == MonitorProtocol::E131 ? DecodeE131(buf.data(), n)
                                                                         : DecodeArtNet(buf.data(), n);
                if (p.valid) handle(streams[l.protocol], p);
            }
        }
        long long now = GetTimeMS();
        if (now - window >= 1000) {
            for (auto& s : streams) {
                s.second.fps = s.second.framesInWindow * 1000.0 / (double)(now - window);
                s.second.framesInWindow = 0;
            }
            window = now;
            std::string text;
            if (!plain && linesShown) text += "\x1b[" + std::to_string(linesShown) + "A";
            linesShown = 0;
            if (streams.empty()) {
                text += "waiting for DDP, E1.31 or Art-Net data on " + address + " ...\n";
                ++linesShown;
            }
            for (auto& s : streams) {
                char head[96];
                snprintf(head, sizeof(head), "%-8s %5.1f fps %8lld frames  ", ProtocolName(s.first).c_str(),
                         s.second.fps, s.second.frames);
                text += head + strip(s.second, pixels, plain) + (plain ? "\n" : "\x1b[K\n");
                ++linesShown;
            }
            fputs(text.c_str(), stdout);
            fflush(stdout);
        }
        if (seconds > 0 && now - start >= seconds * 1000LL) break;
    }
    for (auto& l : listeners) close(l.fd);
    return 0;
}
