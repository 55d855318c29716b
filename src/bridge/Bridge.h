#pragma once
// Live input: the board as a bridge. Receives E1.31, Art-Net and DDP for
// the universes and ranges of <media>/config/inputs.json, hands each
// complete frame to the sequence player (Sequence::SetBridgeData, so the
// outputs send it on through their own configuration) and to the recorder,
// and keeps per-input statistics. Bridge_Initialize opens the sockets and
// registers them with the main loop, which reads them on the main thread;
// Bridge_Shutdown closes them. docs/inputs.md describes the file.

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <json/json.h>

#include "Sequence.h"
#include "bridge/InputReceiver.h"
#include "bridge/InputThread.h"
#include "bridge/InputsConfig.h"
#include "bridge/Recorder.h"

class Bridge : public InputSink {
public:
    static Bridge INSTANCE;

    Bridge();
    ~Bridge();

    // Loads the inputs file, opens the sockets and starts reading them;
    // registers in the main loop's descriptor map what wakes the main loop
    // to start the output thread.
    void Initialize(std::map<int, std::function<bool(int)>>& callbacks);
    void Shutdown();

    void Deliver(const std::vector<LiveInput*>& inputs, long long nowUs) override;

    // The statistics document of "Get Inputs".
    Json::Value Status();
    bool StartRecording(const std::string& name, int stepMs, int durationS, std::string& why);
    // Ends the recording; false when none was running.
    bool StopRecording(std::string& result);

private:
    std::vector<InputThread::Watch> Configure(const InputsConfig& cfg);
    void Readable(InputReceiver* r);
    void TimerFired();
    void OutputNow(bool delivered);
    void ArmTimer();
    std::vector<std::string> SourceLines();

    // Guards everything below but the recorder (the main loop, commands and
    // the recorder's thread meet here). Never held while calling the
    // recorder's Start or Stop, which call back for the source lines.
    std::mutex m_lock;
    InputsConfig m_config;
    std::vector<std::unique_ptr<LiveInput>> m_inputs;
    std::vector<std::unique_ptr<InputReceiver>> m_receivers;
    int m_timerFd = -1;
    long long m_timerDueUs = 0;
    // Written by the input thread when a frame came and the output thread is
    // not running: only the main loop starts that thread.
    int m_wakeFd = -1;
    std::vector<Sequence::BridgeRange> m_ranges;  // the frame being handed on (input thread)
    Recorder m_recorder;
    InputThread m_thread;  // last: stopped before the rest goes
};

void Bridge_Initialize(std::map<int, std::function<bool(int)>>& callbacks);
void Bridge_Shutdown();
