// kivcmd: sends one command to a running kivd through its command socket
// and prints the answer.
//
//   kivcmd [-s SOCKET] [-t SECONDS] [-m] [-H HOSTS] COMMAND [ARG...]
//
// Exit status: 0 the command succeeded, 1 it answered with an error,
// 2 no answer (daemon not running, time-out, bad usage).

#include <getopt.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "commands/CommandSocket.h"
#include "common.h"
#include "log.h"

static void usage(const char* prog) {
    printf("Usage: %s [-s SOCKET] [-t SECONDS] [-m] [-H HOSTS] COMMAND [ARG...]\n"
           "\n"
           "Sends COMMAND with its arguments to kivd and prints the answer.\n"
           "  -s SOCKET   command socket (default: $KIV_MEDIA_DIR/tmp/kivd.sock)\n"
           "  -t SECONDS  how long to wait for the answer (default 30)\n"
           "  -m          run it on the other synchronised systems too\n"
           "  -H HOSTS    ... only on these (names or addresses, comma-separated)\n"
           "  -h          this help\n"
           "\n"
           "Try: %s \"List Commands\"\n",
           prog, prog);
}

int main(int argc, char** argv) {
    std::string socketPath;
    int timeoutSec = 30;
    bool multisync = false;
    std::string hosts;
    int c;
    while ((c = getopt(argc, argv, "+s:t:mH:h")) != -1) {
        switch (c) {
        case 'm':
            multisync = true;
            break;
        case 'H':
            multisync = true;
            hosts = optarg;
            break;
        case 's':
            socketPath = optarg;
            break;
        case 't':
            timeoutSec = atoi(optarg);
            break;
        case 'h':
            usage(argv[0]);
            return 0;
        default:
            usage(argv[0]);
            return 2;
        }
    }
    if (optind >= argc) {
        usage(argv[0]);
        return 2;
    }
    if (socketPath.empty()) socketPath = CommandSocketPath();

    Json::Value doc;
    doc["command"] = argv[optind];
    doc["args"] = Json::Value(Json::arrayValue);
    for (int i = optind + 1; i < argc; ++i) doc["args"].append(argv[i]);
    if (multisync) {
        doc["multisyncCommand"] = true;
        doc["multisyncHosts"] = hosts;
    }
    std::string text = SaveJsonToString(doc);

    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un self;
    memset(&self, 0, sizeof(self));
    self.sun_family = AF_UNIX;
    // Bind to an automatic abstract address so the daemon can answer.
    if (fd < 0 || bind(fd, (struct sockaddr*)&self, sizeof(sa_family_t)) < 0) {
        fprintf(stderr, "kivcmd: cannot create a socket: %s\n", strerror(errno));
        return 2;
    }
    int sz = 4 * 1024 * 1024;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &sz, sizeof(sz));
    struct sockaddr_un to;
    memset(&to, 0, sizeof(to));
    to.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof(to.sun_path)) {
        fprintf(stderr, "kivcmd: socket path too long: %s\n", socketPath.c_str());
        return 2;
    }
    strcpy(to.sun_path, socketPath.c_str());
    if (sendto(fd, text.data(), text.size(), 0, (struct sockaddr*)&to, sizeof(to)) < 0) {
        fprintf(stderr, "kivcmd: cannot reach kivd at %s: %s\n", socketPath.c_str(), strerror(errno));
        return 2;
    }
    struct pollfd pfd = {fd, POLLIN, 0};
    if (poll(&pfd, 1, timeoutSec * 1000) <= 0) {
        fprintf(stderr, "kivcmd: no answer from kivd within %d seconds\n", timeoutSec);
        return 2;
    }
    std::vector<char> buf(4 * 1024 * 1024);
    ssize_t n = recv(fd, buf.data(), buf.size(), 0);
    close(fd);
    Json::Value answer;
    if (n <= 0 || !LoadJsonFromString(std::string(buf.data(), n), answer) || !answer.isObject()) {
        fprintf(stderr, "kivcmd: unreadable answer from kivd\n");
        return 2;
    }
    std::string result = answer["result"].asString();
    bool error = answer["error"].asBool();
    FILE* out = error ? stderr : stdout;
    fprintf(out, "%s%s", result.c_str(), (!result.empty() && result.back() == '\n') ? "" : "\n");
    return error ? 1 : 0;
}
