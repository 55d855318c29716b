#pragma once
// The thread that reads the bridge's sockets. A frame received goes on to
// the output thread at once; on the main loop it would first wait for the
// main thread to be scheduled beside everything else the board runs, which
// on a busy machine is most of the delay between a datagram in and out.
// So it runs raised (ThreadRole LiveInput): niced, not real time, so that a
// flood of input still leaves the rest of the daemon its share.

#include <functional>
#include <thread>
#include <vector>

class InputThread {
public:
    struct Watch {
        int fd;
        std::function<void()> readable;
    };

    ~InputThread() { Stop(); }
    // Starts reading: each descriptor's callback runs on the thread when it
    // is readable. False (logged) when the thread could not start.
    bool Start(std::vector<Watch> watches);
    // Ends the thread and waits for it; the callbacks are not called after.
    void Stop();
    bool Running() const { return m_thread.joinable(); }

private:
    void Run();

    std::vector<Watch> m_watches;
    int m_epoll = -1;
    int m_stopFd = -1;
    std::thread m_thread;
};
