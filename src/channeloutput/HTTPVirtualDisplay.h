#pragma once
// The "HTTPVirtualDisplay" output plug-in: lets browsers watch the show. On
// every frame it encodes the pixels of the pixel map whose colour changed
// and streams them as server-sent events to each browser connected to its
// TCP port (32328 by default); the page www/virtualdisplay.html draws them.
// The output thread calls PrepData/SendData; the page learns the display's
// size from /kivd/virtualdisplay on the daemon's web server.
//
// Threads: "KIV-HTTPVD-Con" accepts browsers; "KIV-HTTPVD-Sel" reads their
// requests, admits or refuses them by the daemon's HTTP access rules
// (src/http/HttpAccess.h: Host, Origin, token), reads and drops what they
// send later, notices when they go and does all the writing. Both are
// started by Init and stopped and joined by Close (or the destructor).
// The output thread never waits on a browser: SendData only appends the
// frame's message to each connection's bounded backlog, the select thread
// writes it out without blocking, and a browser that stays behind (its
// backlog overflowing while its socket takes no more) without catching up
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
#include "http/HttpAccess.h"

class HTTPVirtualDisplayOutput : public VirtualDisplayBaseOutput {
public:
    static constexpr int DEFAULT_PORT = 32328;
    // A browser is behind when its unsent stream would hold more than
    // this, or than two whole pictures where a picture is larger, while
    // its socket takes no more. Its connection is closed once it has been
    // behind for BEHIND_GRACE_MS without its backlog getting any shorter:
    // a browser that stopped reading pins this and that while of the
    // stream (whose bytes are shared by every connection they go to).
    static constexpr size_t MAX_BACKLOG_BYTES = 1024 * 1024;
    static constexpr long long BEHIND_GRACE_MS = 1000;
    // What the kernel may hold for one connection besides (it doubles it).
    static constexpr int SEND_BUFFER_BYTES = 128 * 1024;
    // Up to this many colours in a frame, pixels are grouped by counting
    // per colour; above, by a radix sort.
    static constexpr int FEW_COLOURS = 4096;

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
    std::string PreparedMessage() const;
    size_t PreparedMessageSize() const;

    // The response header each admitted connection gets first: the
    // page's origin (or "*" for clients that send none) may read the
    // stream, and X-Position-Digits tells the position width.
    static std::string ResponseHeader(const std::string& origin = "", bool sixDigits = false);
    // A position in the stream's digits: 4 of them, or 6 with sixDigits.
    static std::string EncodePosition(int x, int flippedY, bool sixDigits);

private:
    // Stream bytes shared by every connection they go to: [begin, end) of
    // buf; a message's event text lies at [messageBegin, messageEnd).
    struct Chunk {
        std::unique_ptr<char[]> buf;
        size_t begin = 0, end = 0, messageBegin = 0, messageEnd = 0;
        const char* data() const { return buf.get() + begin; }
        size_t size() const { return end - begin; }
    };
    struct Pending {
        std::shared_ptr<const Chunk> data;
        size_t offset;  // bytes of it already sent
    };
    struct Connection {
        enum class State {
            Request,    // its request head is being read: nothing is sent yet
            Waiting,    // admitted: gets the whole picture with the next message
            Streaming,  // gets every message
        };
        int fd = -1;
        std::string peer;
        // Changed under m_connectionLock (Request to Waiting by the select
        // thread, Waiting to Streaming by PrepData); atomic so the select
        // thread may look without it.
        std::atomic<State> state{State::Request};
        long long acceptedMs = 0;      // monotonic
        std::string request;           // the head so far; select thread only
        std::deque<Pending> backlog;   // stream bytes not yet taken by the socket
        size_t backlogBytes = 0;
        bool closing = false;          // to be closed by the select thread
        // Output thread only: when it was last found behind without having
        // caught up since (0: it is not behind), and its backlog then.
        long long behindSinceMs = 0;
        size_t behindBacklog = 0;
    };

    void ConnectionThread();
    void SelectThread();
    // Adds an accepted socket unless its address or everybody holds too
    // many connections already; m_connectionLock held.
    bool AddConnection(int fd, const std::string& peer);
    // Reads what came of a request head and admits or refuses it once
    // complete; false when the connection is to be closed.
    bool ReadRequest(Connection* c);
    // Drops requests whose head is overdue; m_connectionLock held.
    void DropOverdueRequests();
    void StopThreads();
    void Wake();
    // Sends what the socket takes without waiting; false when the
    // connection failed. Select thread only, without m_connectionLock.
    bool Flush(Connection* c);
    // Closes and forgets connections marked closing; m_connectionLock held.
    void RemoveClosing();
    template <bool FEW_COLOURS>
    void CollectChanges(const unsigned char* channelData);
    void SortByCountingColours();
    void SortByRadix();
    // Writes m_changed (sorted) as this frame's chunk; returns the colours.
    template <bool SIX_DIGITS>
    int BuildMessage(unsigned int id);

    int m_port = DEFAULT_PORT;
    int m_listenSocket = -1;
    int m_wakeFd = -1;  // eventfd: wakes the select thread when work appears
    std::atomic<bool> m_running{true};
    std::atomic<bool> m_connectionListChanged{true};
    // Browsers admitted since the last message was prepared: the next one
    // carries every pixel, so that they get the whole picture first.
    std::atomic<int> m_waitingCount{0};
    std::thread m_connectionThread;
    std::thread m_selectThread;
    bool m_registered = false;

    // Guards m_connections and every connection's backlog and closing
    // flag; never held during a socket call that may wait. Connections are
    // added by the connection thread and removed only by the select thread
    // (or by Close once both threads ended), so the select thread may use
    // them unlocked.
    std::mutex m_connectionLock;
    std::vector<std::unique_ptr<Connection>> m_connections;
    std::atomic<int> m_connectionCount{0};  // admitted (waiting and streaming)
    std::string m_bindAddress;              // "HTTPBindAddress", as the web server
    HttpAccessRules m_rules;                // set by Init, read by the select thread

    // Owned by the output thread (PrepData, SendData).
    bool m_sixDigits = false;
    std::vector<uint64_t> m_positionCodes;  // per pixel: 4 position characters, or 6 digit values
    std::vector<uint64_t> m_changed, m_sortScratch;
    std::vector<uint32_t> m_colourCount;  // per colour rank; all zero between frames
    std::vector<uint32_t> m_touched;      // colour ranks seen this frame
    uint32_t m_histogram[2][512];         // of the two 9-bit radix digits
    int m_lastColourCount = 0;
    std::shared_ptr<Chunk> m_chunk;  // this frame's message, null when nothing changed
    bool m_messageUnsent = false;    // m_chunk was prepared but SendData has not queued it
    size_t m_wholePictureBytes = 0;  // size of the last message that carried every pixel
};

class HTTPVirtualDisplayPlugin : public KIVPlugins::Plugin, public KIVPlugins::ChannelOutputPlugin {
public:
    HTTPVirtualDisplayPlugin() : KIVPlugins::Plugin("HTTPVirtualDisplay") {}
    virtual ChannelOutput* createChannelOutput(unsigned int startChannel, unsigned int channelCount) override;
};
