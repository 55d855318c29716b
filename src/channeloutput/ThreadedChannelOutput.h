#pragma once
// A channel output that sends from a worker thread of its own ("KIV-" and
// the output type), so a slow device or bus never delays the frame clock.
// The channel output thread calls SendData, which only hands the frame over;
// the worker calls the subclass's DeviceSendData, and WaitTimedOut when no
// frame came within the maximum wait.
//
// Without double buffering the worker sends straight from the caller's
// buffer, which must then stay unchanged until the worker has sent it. The
// channel output thread reads the next frame into its buffer right after
// sending, so outputs it drives should set m_useDoubleBuffer.
//
// Close() comes before destruction: the worker calls into the subclass.

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "channeloutput/ChannelOutput.h"

class ThreadedChannelOutput : public ChannelOutput {
public:
    ThreadedChannelOutput(unsigned int startChannel, unsigned int channelCount);
    virtual ~ThreadedChannelOutput();

    virtual int Init(Json::Value config) override;
    virtual int Close() override;
    virtual int SendData(unsigned char* channelData) override;
    virtual void DumpConfig() override;

    // Sends one frame to the device; runs on the worker. channelData points
    // at this output's first channel (m_channelCount bytes).
    virtual int DeviceSendData(unsigned char* channelData) = 0;
    // No frame arrived within the maximum wait; runs on the worker.
    virtual void WaitTimedOut();

    int Init();
    int StartOutputThread();
    int StopOutputThread();
    int SendOutputBuffer();
    void OutputThread();

protected:
    int m_maxWait = 0;  // ms; 0 = wait for frames without a time limit. Set before Init.
    std::atomic<int> m_threadIsRunning{0};
    std::atomic<int> m_runThread{0};
    std::atomic<int> m_dataWaiting{0};
    int m_useDoubleBuffer = 0;  // set before Init
    pthread_t m_threadID = 0;
    std::mutex m_bufferLock;  // guards m_inBuf and its hand-over (m_dataWaiting) in double-buffer mode
    std::mutex m_threadLock;  // the mutex of m_sendCond; held only around the wait and the signal
    std::condition_variable m_sendCond;
    unsigned char* m_inBuf = nullptr;
    // Double buffer: owned copy the worker sends from. Otherwise the
    // caller's buffer of the last SendData.
    std::atomic<unsigned char*> m_outBuf{nullptr};
};
