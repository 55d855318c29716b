#pragma once
// The "HTTPVirtualDisplay" output plug-in: lets browsers watch the show. On
// every frame it encodes the pixels of the pixel map whose colour changed
// and streams them as server-sent events to each browser connected to its
// TCP port (32328 by default); the page www/virtualdisplay.html draws them.
// The output thread calls PrepData/SendData; the page learns the display's
// size from /kivd/virtualdisplay on the daemon's web server.
//
// Threads: "KIV-HTTPVD-Con" accepts browsers; "KIV-HTTPVD-Sel" reads what
// they send (dropped), notices when they go and writes out what a slow
// browser could not take at once. Both are started by Init and stopped and
// joined by Close (or the destructor). The output thread never waits on a
// browser: every write is non-blocking, what does not fit waits in a
// bounded backlog of the connection, and a browser whose backlog overflows
// is disconnected.

#include <array>
#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Plugins.h"
#include "channeloutput/VirtualDisplay.h"

class HTTPVirtualDisplayOutput : public VirtualDisplayBaseOutput {
public:
    static constexpr int DEFAULT_PORT = 32328;
    // Unsent stream bytes a connection may hold before it is closed.
    static constexpr size_t MAX_BACKLOG_BYTES = 4 * 1024 * 1024;

    HTTPVirtualDisplayOutput(unsigned int startChannel, unsigned int channelCount);
    virtual ~HTTPVirtualDisplayOutput();

    virtual int Init(Json::Value config) override;
    virtual int Close() override;
    virtual int PrepData(unsigned char* channelData) override;
    virtual int SendData(unsigned char* channelData) override;
    virtual void DumpConfig() override;

    int Port() const { return m_port; }
    int ConnectionCount() const { return m_connectionCount.load(); }
    // Every position is sent in six digits when some pixel does not fit the
    // four-digit form (x 4095 or more, or a row of 4096 or more): a browser
    // could not tell the two forms apart within one message.
    bool SixDigitPositions() const { return m_sixDigits; }
    // The server-sent event PrepData prepared (empty: nothing changed).
    const std::string& PreparedMessage() const { return m_message; }

    // The response header each new connection gets first.
    static std::string ResponseHeader();
    // A position in the stream's digits: 4 of them, or 6 with sixDigits.
    static std::string EncodePosition(int x, int flippedY, bool sixDigits);

private:
    struct Pending {
        std::shared_ptr<const std::string> data;
        size_t offset;
    };
    struct Connection {
        int fd = -1;
        unsigned long id = 0;           // never reused, unlike the descriptor
        std::deque<Pending> backlog;    // stream bytes not yet taken by the socket
        size_t backlogBytes = 0;
    };

    void ConnectionThread();
    void SelectThread();
    void StopThreads();
    void Wake();
    // Both return false when the connection must be closed (the reason is
    // logged). Called with m_connectionLock held.
    bool Queue(Connection& c, const std::shared_ptr<const std::string>& data);
    bool Flush(Connection& c);
    void CloseConnection(size_t index);  // m_connectionLock held

    int m_port = DEFAULT_PORT;
    int m_listenSocket = -1;
    int m_wakeFd = -1;  // eventfd: wakes the select thread when work appears
    std::atomic<bool> m_running{true};
    std::atomic<bool> m_connectionListChanged{true};
    // Set when a browser joins: the next frame carries every pixel, so the
    // newcomer gets the whole picture and not only what changes later.
    std::atomic<bool> m_sendAllPixels{true};
    std::thread m_connectionThread;
    std::thread m_selectThread;
    bool m_registered = false;

    // Guards m_connections, m_nextConnectionId and each connection's
    // backlog; held only for non-blocking socket calls.
    std::mutex m_connectionLock;
    std::vector<Connection> m_connections;
    unsigned long m_nextConnectionId = 1;
    std::atomic<int> m_connectionCount{0};

    // Owned by the output thread (PrepData, SendData).
    bool m_sixDigits = false;
    std::vector<std::array<char, 6>> m_positions;  // each pixel's encoded position
    std::vector<uint64_t> m_changed, m_sortScratch;
    std::string m_message;
};

class HTTPVirtualDisplayPlugin : public KIVPlugins::Plugin, public KIVPlugins::ChannelOutputPlugin {
public:
    HTTPVirtualDisplayPlugin() : KIVPlugins::Plugin("HTTPVirtualDisplay") {}
    virtual ChannelOutput* createChannelOutput(unsigned int startChannel, unsigned int channelCount) override;
};
