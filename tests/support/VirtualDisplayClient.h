#pragma once
// A plain TCP client of the virtual display stream, written from the wire
// format and independent of the output's own code: it reads the response
// header, unframes HTTP chunks, splits server-sent events and rebuilds the
// picture from their colour groups.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kivtest {

struct StreamEvent {
    std::string id;
    std::string event;
    std::string data;
    std::string chunk;  // the whole chunk as it came: size line, message, CRLF
};

// The picture a browser would hold: 6-bit red, green, blue per point, rows
// from the top. Starts with every point unset (-1).
class StreamPicture {
public:
    StreamPicture(int width, int height) : m_width(width), m_height(height), m_rgb((size_t)width * height * 3, -1) {}
    // Applies one event's data; false (picture unchanged from then on) when
    // the text is not groups of "RGB:positions" joined by "|", or a
    // position lies outside the picture.
    bool apply(const std::string& data, int positionDigits);
    // -1 when unset
    int r(int x, int y) const { return m_rgb[((size_t)y * m_width + x) * 3]; }
    int g(int x, int y) const { return m_rgb[((size_t)y * m_width + x) * 3 + 1]; }
    int b(int x, int y) const { return m_rgb[((size_t)y * m_width + x) * 3 + 2]; }
    void set(int x, int y, int r, int g, int b);
    const std::vector<int>& values() const { return m_rgb; }
    bool operator==(const StreamPicture& o) const { return m_rgb == o.m_rgb; }
    bool operator!=(const StreamPicture& o) const { return m_rgb != o.m_rgb; }
    int width() const { return m_width; }
    int height() const { return m_height; }

private:
    int m_width, m_height;
    std::vector<int> m_rgb;
};

// Digit value of a stream digit, -1 for other characters.
int streamDigit(char c);

// The request a stream client sends: GET target with the extra header
// lines, and Host address:port unless they have a Host.
std::string streamRequest(int port, const std::string& address, const std::vector<std::string>& headers,
                          const std::string& target);

// A client that connects to address:port, asks for the stream and never
// reads: its receive buffer is made small so that the server's writes back
// up soon. Returns the socket (the caller closes it) or -1.
int connectNeverReading(int port, const std::string& address = "127.0.0.1");

class VirtualDisplayClient {
public:
    // Connects to address:port (blocking, up to timeoutMs), asks for the
    // stream as a browser does (GET target, Host, the extra header lines)
    // and reads on a thread of its own until destroyed or the server closes.
    // That thread only takes the bytes off the socket; they are split into
    // the header and events when asked for. A browser reads on another
    // computer: here the client shares the daemon's processors, and must
    // not fall behind the stream because splitting it took its turn.
    VirtualDisplayClient(int port, const std::string& address = "127.0.0.1", int timeoutMs = 5000,
                         const std::vector<std::string>& headers = {}, const std::string& target = "/");
    ~VirtualDisplayClient();
    bool connected() const { return m_fd >= 0; }
    // The response header, once complete (empty before).
    std::string header();
    std::vector<StreamEvent> events();
    size_t eventCount();
    bool waitEvents(size_t n, int timeoutMs);
    bool waitHeader(int timeoutMs);
    // The server closed the connection (read returned 0 or an error).
    bool closedByServer() const { return m_closed; }
    bool waitClosed(int timeoutMs);
    // Bytes after the header that do not parse as chunks of events.
    std::string framingError();
    // Ends the connection from this side.
    void disconnect();

private:
    void run();
    // Takes in what the reading thread has read and splits it; m_lock held.
    void parse();

    int m_fd = -1;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_closed{false};
    std::thread m_thread;
    std::mutex m_readLock;  // guards m_read; held only to append or take it
    std::string m_read;     // read and not yet taken in by parse
    std::mutex m_lock;      // guards everything below
    std::string m_buffer;
    size_t m_parsed = 0;
    std::string m_header;
    std::vector<StreamEvent> m_events;
    std::string m_framingError;
};

}  // namespace kivtest
