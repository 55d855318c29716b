#include "commands/CommandSocket.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "LogRateLimit.h"
#include "commands/Commands.h"
#include "common.h"
#include "log.h"
#include "settings.h"

static int commandSock = -1;
static std::string commandSockPath;

static constexpr size_t MAX_COMMAND_BYTES = 65536;
static constexpr int BAD_DOCUMENTS_LOGGED_PER_MINUTE = 20;
static constexpr int UNANSWERED_LOGGED_PER_MINUTE = 20;
static constexpr int REPLY_BUFFER_BYTES = 4 * 1024 * 1024;

// Commands that run long answer from a "KIV-LongCmd" worker each, so the
// main loop keeps its pace; FinishLongCommands waits for them at shut-down.
static constexpr int MAX_LONG_COMMANDS = 4;
static constexpr int COMMANDS_PER_PASS = 32;
static std::mutex longCommandsLock;  // guards longCommandsRunning
static std::condition_variable longCommandsDone;
static int longCommandsRunning = 0;

std::string CommandSocketPath() { return getSetting("commandSocket", getKIVMediaDir("/tmp/kivd.sock").c_str()); }

int Command_Initialize() {
    LogDebug(VB_COMMAND, "Command_Initialize()\n");
    commandSockPath = CommandSocketPath();
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    if (commandSockPath.size() >= sizeof(addr.sun_path)) {
        LogErr(VB_COMMAND, "Command socket path %s is too long (at most %d characters)\n", commandSockPath.c_str(),
               (int)sizeof(addr.sun_path) - 1);
        return -1;
    }
    std::string dir = commandSockPath.substr(0, commandSockPath.rfind('/'));
    if (!dir.empty() && !DirectoryExists(dir)) {
        mkdir(dir.c_str(), 0775);
    }
    strcpy(addr.sun_path, commandSockPath.c_str());
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        LogErr(VB_COMMAND, "Unable to create command socket: %s\n", strerror(errno));
        return -1;
    }
    unlink(commandSockPath.c_str());
    if (bind(fd, (struct sockaddr*)&addr, sizeof(addr)) < 0) {
        LogErr(VB_COMMAND, "Unable to bind command socket %s: %s\n", commandSockPath.c_str(), strerror(errno));
        close(fd);
        return -1;
    }
    chmod(commandSockPath.c_str(), 0770);
    int sz = REPLY_BUFFER_BYTES;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sz, sizeof(sz));
    commandSock = fd;
    LogInfo(VB_COMMAND, "Listening for commands on %s\n", commandSockPath.c_str());
    return fd;
}

static void reply(const struct sockaddr_un& to, socklen_t toLen, Command::Result& r) {
    if (toLen <= sizeof(sa_family_t)) {
        LogWarn(VB_COMMAND, "Command sender has no address; the answer cannot be returned\n");
        return;
    }
    Json::Value v;
    v["error"] = r.isError();
    v["contentType"] = r.contentType();
    v["result"] = r.get();
    std::string text = SaveJsonToString(v);
    if (sendto(commandSock, text.data(), text.size(), MSG_DONTWAIT, (const struct sockaddr*)&to, toLen) < 0) {
        // A client that sends without reading fills its own queue; each
        // answer it misses must not cost a log line.
        static LogRateLimit unanswered(UNANSWERED_LOGGED_PER_MINUTE);
        int err = errno;
        long heldBack = 0;
        bool last = false;
        if (unanswered.Allow(heldBack, &last)) {
            LogWarn(VB_COMMAND, "Unable to answer command: %s%s\n", strerror(err),
                    LogRateLimit::Note(heldBack, last, "unanswered commands").c_str());
        }
    }
}

static bool startLongCommand(const Json::Value& doc, const struct sockaddr_un& from, socklen_t fromLen) {
    std::lock_guard<std::mutex> lock(longCommandsLock);
    if (longCommandsRunning >= MAX_LONG_COMMANDS) return false;
    ++longCommandsRunning;
    std::thread([d = Json::Value(doc), from, fromLen]() mutable {
        SetThreadName("KIV-LongCmd");
        {
            std::unique_ptr<Command::Result> result = CommandManager::INSTANCE.run(d);
            reply(from, fromLen, *result);
            Json::Value().swap(d);
        }
        // Nothing of this thread is touched after the count drops.
        std::lock_guard<std::mutex> lock(longCommandsLock);
        --longCommandsRunning;
        longCommandsDone.notify_all();
    }).detach();
    return true;
}

// A client sending garbage in a loop must not fill the log (and the card).
static LogRateLimit badDocuments(BAD_DOCUMENTS_LOGGED_PER_MINUTE);

static void logBadDocument(const char* why, size_t bytes) {
    long heldBack = 0;
    bool last = false;
    if (!badDocuments.Allow(heldBack, &last)) return;
    LogWarn(VB_COMMAND, "Command document of %zu bytes is %s; ignored%s\n", bytes, why,
            LogRateLimit::Note(heldBack, last, "bad documents").c_str());
}

void FinishLongCommands() {
    std::unique_lock<std::mutex> lock(longCommandsLock);
    longCommandsDone.wait(lock, [] { return longCommandsRunning == 0; });
}

void CommandProc() {
    std::vector<char> buf(MAX_COMMAND_BYTES + 1);
    // A bounded share per pass of the main loop: under a flood of
    // datagrams it still moves the show on between batches (the socket
    // stays readable, so the next pass comes at once).
    for (int handled = 0; commandSock >= 0 && handled < COMMANDS_PER_PASS; ++handled) {
        struct sockaddr_un from;
        socklen_t fromLen = sizeof(from);
        memset(&from, 0, sizeof(from));
        ssize_t n = recvfrom(commandSock, buf.data(), MAX_COMMAND_BYTES + 1, MSG_DONTWAIT, (struct sockaddr*)&from,
                             &fromLen);
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                LogErr(VB_COMMAND, "Error reading command socket: %s\n", strerror(errno));
            }
            return;
        }
        std::unique_ptr<Command::Result> result;
        if ((size_t)n > MAX_COMMAND_BYTES) {
            result = std::make_unique<Command::ErrorResult>("Command document larger than 65536 bytes");
            logBadDocument("larger than 65536 bytes", (size_t)n);
        } else {
            Json::Value doc;
            if (!ParseJson(std::string(buf.data(), n), doc)) {
                result = std::make_unique<Command::ErrorResult>("Command document is not valid JSON");
                logBadDocument("not valid JSON", (size_t)n);
            } else {
                LogDebug(VB_COMMAND, "Command socket: %s\n", SaveJsonToString(doc).c_str());
                Command* cmd = doc.isObject() && doc["command"].isString()
                                   ? CommandManager::INSTANCE.getCommand(doc["command"].asString())
                                   : nullptr;
                if (cmd && cmd->runsLong()) {
                    if (startLongCommand(doc, from, fromLen)) continue;
                    result = std::make_unique<Command::ErrorResult>(
                        "Too many long-running commands at once; try again shortly");
                } else {
                    result = CommandManager::INSTANCE.run(doc);
                }
            }
        }
        reply(from, fromLen, *result);
    }
}

void CloseCommand() {
    FinishLongCommands();
    if (commandSock >= 0) {
        close(commandSock);
        commandSock = -1;
        unlink(commandSockPath.c_str());
    }
}
