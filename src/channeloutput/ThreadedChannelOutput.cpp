#include "channeloutput/ThreadedChannelOutput.h"

#include <errno.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "ThreadPriority.h"
#include "common.h"
#include "log.h"

static void* RunChannelOutputThread(void* data) {
    LogDebug(VB_CHANNELOUT, "ThreadedChannelOutput::RunChannelOutputThread()\n");
    static_cast<ThreadedChannelOutput*>(data)->OutputThread();
    return nullptr;
}

ThreadedChannelOutput::ThreadedChannelOutput(unsigned int startChannel, unsigned int channelCount)
    : ChannelOutput(startChannel, channelCount) {}

ThreadedChannelOutput::~ThreadedChannelOutput() {
    // Close() comes first in the normal life; this only guards a forgotten one.
    if (m_threadID) {
        StopOutputThread();
    }
    delete[] m_inBuf;
    if (m_useDoubleBuffer) {
        delete[] m_outBuf.load();
    }
}

int ThreadedChannelOutput::Init(Json::Value config) {
    if (!ChannelOutput::Init(config)) {
        return 0;
    }
    return Init();
}

int ThreadedChannelOutput::Init() {
    LogDebug(VB_CHANNELOUT, "ThreadedChannelOutput::Init()\n");
    if (m_useDoubleBuffer) {
        m_inBuf = new unsigned char[m_channelCount ? m_channelCount : 1]();
        m_outBuf = new unsigned char[m_channelCount ? m_channelCount : 1]();
    }
    StartOutputThread();
    DumpConfig();
    return 1;
}

int ThreadedChannelOutput::Close() {
    LogDebug(VB_CHANNELOUT, "ThreadedChannelOutput::Close()\n");
    StopOutputThread();
    if (m_useDoubleBuffer) {
        delete[] m_inBuf;
        m_inBuf = nullptr;
        delete[] m_outBuf.exchange(nullptr);
    }
    return ChannelOutput::Close();
}

int ThreadedChannelOutput::SendData(unsigned char* channelData) {
    LogExcess(VB_CHANNELOUT, "ThreadedChannelOutput::SendData(%p)\n", channelData);
    // The caller hands over the full channel buffer; the device gets this
    // output's channels, from its start channel on, in both modes.
    if (m_useDoubleBuffer) {
        std::lock_guard<std::mutex> lock(m_bufferLock);
        if (m_inBuf) {
            memcpy(m_inBuf, channelData + m_startChannel, m_channelCount);
            m_dataWaiting = 1;
        }
    } else {
        m_outBuf = channelData + m_startChannel;
        m_dataWaiting = 1;
    }
    // Signalled under the wait's mutex: a frame handed over between the
    // worker's check and its wait must not go unnoticed.
    std::lock_guard<std::mutex> lock(m_threadLock);
    m_sendCond.notify_all();
    return 0;
}

int ThreadedChannelOutput::SendOutputBuffer() {
    LogExcess(VB_CHANNELOUT, "ChannelOutput::SendOutputBuffer()\n");
    if (m_useDoubleBuffer) {
        std::lock_guard<std::mutex> lock(m_bufferLock);
        if (m_inBuf && m_outBuf) {
            memcpy(m_outBuf, m_inBuf, m_channelCount);
        }
        m_dataWaiting = 0;
    } else {
        m_dataWaiting = 0;
    }
    unsigned char* out = m_outBuf;
    if (out) {
        DeviceSendData(out);
    }
    return m_channelCount;
}

void ThreadedChannelOutput::WaitTimedOut() {}

void ThreadedChannelOutput::DumpConfig() {
    ChannelOutput::DumpConfig();
    LogDebug(VB_CHANNELOUT, "    Thread Running   : %u\n", (unsigned)m_threadIsRunning);
    LogDebug(VB_CHANNELOUT, "    Run Thread       : %u\n", (unsigned)m_runThread);
    LogDebug(VB_CHANNELOUT, "    Data Waiting     : %u\n", (unsigned)m_dataWaiting);
}

int ThreadedChannelOutput::StartOutputThread() {
    LogDebug(VB_CHANNELOUT, "ThreadedChannelOutput::StartOutputThread()\n");
    m_runThread = 1;
    int rc = pthread_create(&m_threadID, nullptr, &RunChannelOutputThread, this);
    if (rc) {
        m_runThread = 0;
        m_threadID = 0;
        const char* why = rc == EAGAIN ? "Insufficient Resources"
                          : rc == EINVAL ? "Invalid settings"
                          : rc == EPERM  ? "Invalid Permissions"
                                         : "";
        LogErr(VB_CHANNELOUT, "ERROR creating ChannelOutput thread: %s\n", why);
        return -1;
    }
    while (!m_threadIsRunning) {
        usleep(10000);
    }
    return 0;
}

int ThreadedChannelOutput::StopOutputThread() {
    LogDebug(VB_CHANNELOUT, "ChannelOutput::StopOutputThread()\n");
    if (!m_threadID) {
        return -1;
    }
    m_runThread = 0;
    {
        std::lock_guard<std::mutex> lock(m_threadLock);
        m_sendCond.notify_all();
    }
    // The pending frame (often the blank one sent at shut-down) gets up to
    // 110 ms to go out.
    for (int i = 0; i < 11 && m_dataWaiting && m_threadIsRunning; ++i) {
        usleep(10000);
    }
    // Joined without the buffer lock: the worker takes it to hand over a
    // frame, so holding it here could wait forever.
    pthread_join(m_threadID, nullptr);
    m_threadID = 0;
    return 0;
}

void ThreadedChannelOutput::OutputThread() {
    LogDebug(VB_CHANNELOUT, "ThreadedChannelOutput::OutputThread()\n");
    SetThreadName("KIV-" + m_outputType);
    // Part of sending each frame: the output thread's priority.
    RaiseThreadPriority(ThreadRole::Output);
    long long sendTime = GetTime();
    LogDebug(VB_CHANNELOUT, "ThreadedChannelOutput thread started\n");
    m_threadIsRunning = 1;

    // A frame handed over before the stop still goes out (often the blank
    // frame of a shut-down).
    while (m_runThread || m_dataWaiting) {
        {
            std::unique_lock<std::mutex> lock(m_threadLock);
            LogExcess(VB_CHANNELOUT, "ThreadedChannelOutput thread: sent: %lld, elapsed: %lld\n", sendTime,
                      GetTime() - sendTime);
            auto ready = [this] { return m_dataWaiting || !m_runThread; };
            // A frame that came while the device was busy goes out at once.
            if (!ready()) {
                if (m_maxWait == 0) {
                    m_sendCond.wait(lock, ready);
                } else {
                    m_sendCond.wait_for(lock, std::chrono::milliseconds(m_maxWait), ready);
                }
            }
        }

        sendTime = GetTime();
        LogExcess(VB_CHANNELOUT, "ThreadedChannelOutput thread: woke: %lld\n", sendTime);
        if (m_dataWaiting) {
            SendOutputBuffer();
        } else if (m_runThread) {
            WaitTimedOut();
        }
    }

    LogDebug(VB_CHANNELOUT, "ThreadedChannelOutput thread complete\n");
    m_threadIsRunning = 0;
}
