#include "bridge/Bridge.h"

#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cstring>

#include "Sequence.h"
#include "Warnings.h"
#include "channeloutput/channeloutputthread.h"
#include "bridge/ArtNetReceiver.h"
#include "bridge/DDPReceiver.h"
#include "bridge/E131Receiver.h"
#include "common.h"
#include "log.h"
#include "protocols/ArtNetWire.h"
#include "protocols/DDPWire.h"
#include "protocols/E131Wire.h"
#include "settings.h"

Bridge Bridge::INSTANCE;

Bridge::Bridge() : m_recorder([this] { return SourceLines(); }) {}

Bridge::~Bridge() {}

void Bridge_Initialize(std::map<int, std::function<bool(int)>>& callbacks) { Bridge::INSTANCE.Initialize(callbacks); }

void Bridge_Shutdown() { Bridge::INSTANCE.Shutdown(); }

void Bridge::Initialize(std::map<int, std::function<bool(int)>>& callbacks) {
    LogDebug(VB_E131BRIDGE, "Bridge_Initialize()\n");
    std::string path = getKIVMediaDir("/config/inputs.json");
    InputsConfig cfg = LoadInputsConfig(path);
    for (auto& e : cfg.errors) {
        LogErr(VB_E131BRIDGE, "Inputs file %s: %s\n", path.c_str(), e.c_str());
        WarningHolder::AddWarning("Inputs file: " + e);
    }
    if (cfg.inputs.empty()) {
        LogDebug(VB_E131BRIDGE, "No live inputs configured\n");
    }
    std::vector<InputThread::Watch> watches = Configure(cfg);
    if (watches.empty()) return;
    m_wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_wakeFd >= 0) {
        callbacks[m_wakeFd] = [this](int fd) {
            uint64_t n;
            if (read(fd, &n, sizeof(n)) < 0) {
                // already read by an earlier pass
            }
            return true;  // the main loop starts the output thread and forces a frame
        };
    }
    m_thread.Start(std::move(watches));
}

std::vector<InputThread::Watch> Bridge::Configure(const InputsConfig& cfg) {
    std::vector<InputThread::Watch> watches;
    std::lock_guard<std::mutex> lock(m_lock);
    m_config = cfg;
    m_inputs.clear();
    m_receivers.clear();
    for (auto& c : cfg.inputs) {
        auto in = std::make_unique<LiveInput>();
        in->config = c;
        in->data.assign(c.channelCount, 0);
        InputReceiver* r = nullptr;
        for (auto& existing : m_receivers) {
            if (existing->Protocol() == c.protocol) r = existing.get();
        }
        if (!r) {
            switch (c.protocol) {
            case InputProtocol::E131:
                m_receivers.push_back(std::make_unique<E131Receiver>(*this));
                break;
            case InputProtocol::ArtNet:
                m_receivers.push_back(std::make_unique<ArtNetReceiver>(*this));
                break;
            case InputProtocol::DDP:
                m_receivers.push_back(std::make_unique<DDPReceiver>(*this));
                break;
            }
            r = m_receivers.back().get();
        }
        r->AddInput(in.get());
        m_inputs.push_back(std::move(in));
    }
    m_recorder.Configure(cfg.inputs);
    for (auto& r : m_receivers) {
        uint16_t port = r->Protocol() == InputProtocol::E131     ? E131_PORT
                        : r->Protocol() == InputProtocol::ArtNet ? ARTNET_PORT
                                                                 : DDP_PORT;
        if (r->Open(cfg.address, port)) {
            InputReceiver* raw = r.get();
            watches.push_back({r->Descriptor(), [this, raw] { Readable(raw); }});
        } else {
            WarningHolder::AddWarning(std::string(InputProtocolName(r->Protocol())) + " input cannot listen on port " +
                                      std::to_string(port) + " (see the log)");
        }
        r->Prepare(cfg);
    }
    if (!m_receivers.empty()) {
        m_timerFd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        if (m_timerFd >= 0) watches.push_back({m_timerFd, [this] { TimerFired(); }});
    }
    return watches;
}

void Bridge::Shutdown() {
    std::string result;
    if (StopRecording(result)) LogInfo(VB_E131BRIDGE, "Stopped the recording at shut-down: %s\n", result.c_str());
    m_thread.Stop();
    std::lock_guard<std::mutex> lock(m_lock);
    m_receivers.clear();
    m_inputs.clear();
    if (m_timerFd >= 0) close(m_timerFd);
    if (m_wakeFd >= 0) close(m_wakeFd);
    m_timerFd = m_wakeFd = -1;
    m_timerDueUs = 0;
}

// A frame that came goes out at once, not at the output thread's next
// period; but only while no sequence plays: a forced frame during a
// sequence would also move the sequence on. It leaves from this thread when
// the output thread can spare its pass, else that thread is woken for it.
void Bridge::OutputNow(bool delivered) {
    if (!delivered || !sequence) return;
    if (!sequence->IsSequenceRunning() && !SendChannelOutputFromCaller()) ForceChannelOutputNow();
    if (!ChannelOutputThreadIsRunning() && m_wakeFd >= 0) {
        uint64_t one = 1;
        if (write(m_wakeFd, &one, sizeof(one)) < 0) {
            // the counter is full: the main loop has been woken already
        }
    }
}

void Bridge::Readable(InputReceiver* r) {
    std::lock_guard<std::mutex> lock(m_lock);
    OutputNow(r->Readable(BridgeClockUs()));
    ArmTimer();
}

void Bridge::TimerFired() {
    std::lock_guard<std::mutex> lock(m_lock);
    uint64_t expirations;
    if (read(m_timerFd, &expirations, sizeof(expirations)) < 0) {
        // nothing to clear: the timer was re-armed meanwhile
    }
    m_timerDueUs = 0;
    long long now = BridgeClockUs();
    bool delivered = false;
    for (auto& r : m_receivers) {
        // What waits in the socket may be the rest of the burst: read it first.
        delivered |= r->Readable(now);
        delivered |= r->Flush(now);
    }
    OutputNow(delivered);
    ArmTimer();
}

void Bridge::ArmTimer() {
    if (m_timerFd < 0) return;
    long long due = 0;
    bool pending = false;
    for (auto& r : m_receivers) {
        long long d = r->FlushDueUs();
        if (d && (!due || d < due)) due = d;
        pending |= r->BurstPending();
    }
    m_recorder.BurstPending(pending);
    if (due == m_timerDueUs) return;
    m_timerDueUs = due;
    itimerspec spec;
    memset(&spec, 0, sizeof(spec));
    if (due) {
        spec.it_value.tv_sec = due / 1000000;
        spec.it_value.tv_nsec = (due % 1000000) * 1000;
    }
    timerfd_settime(m_timerFd, due ? TFD_TIMER_ABSTIME : 0, &spec, nullptr);
}

void Bridge::Deliver(const std::vector<LiveInput*>& inputs, long long nowUs) {
    if (sequence) {
        long long nowMs = GetTimeMS();
        std::vector<Sequence::BridgeRange>& ranges = m_ranges;
        ranges.clear();
        for (LiveInput* in : inputs) {
            // Nothing live left (every source ended): expires at once.
            long long expire = in->expiresUs ? nowMs + (in->expiresUs - nowUs) / 1000 : 0;
            ranges.push_back({in->data.data(), (int)in->config.startChannel, (int)in->config.channelCount,
                              (unsigned long long)expire});
        }
        sequence->SetBridgeData(ranges);
    }
    if (m_recorder.Active()) m_recorder.Take(inputs, nowUs);
}

Json::Value Bridge::Status() {
    Json::Value v(Json::objectValue);
    {
        std::lock_guard<std::mutex> lock(m_lock);
        long long now = BridgeClockUs();
        Json::Value inputs(Json::arrayValue);
        for (auto& in : m_inputs) {
            std::vector<SourceReport> sources;
            for (auto& r : m_receivers) {
                if (r->Protocol() == in->config.protocol) sources = r->Sources(*in, now);
            }
            inputs.append(InputStatisticsJson(in->config, in->stats, sources, now));
        }
        v["inputs"] = inputs;
        Json::Value protocols(Json::objectValue);
        for (auto& r : m_receivers) {
            protocols[InputProtocolName(r->Protocol())] = ProtocolStatisticsJson(r->Statistics(), r->Descriptor() >= 0);
        }
        v["protocols"] = protocols;
        Json::Value errors(Json::arrayValue);
        for (auto& e : m_config.errors) errors.append(e);
        v["errors"] = errors;
    }
    v["recording"] = m_recorder.Status();
    return v;
}

std::vector<std::string> Bridge::SourceLines() {
    std::lock_guard<std::mutex> lock(m_lock);
    std::vector<std::string> lines;
    long long now = BridgeClockUs();
    for (auto& in : m_inputs) {
        std::string head = in->config.Name() + " -> channels " + std::to_string(in->config.startChannel + 1) + "-" +
                           std::to_string((long long)in->config.startChannel + in->config.channelCount);
        lines.push_back(head);
        for (auto& r : m_receivers) {
            if (r->Protocol() != in->config.protocol) continue;
            for (auto& s : r->Sources(*in, now)) {
                std::string line = head + ": from " + s.address;
                if (!s.name.empty()) line += " \"" + s.name + "\"";
                if (s.priority >= 0) line += " priority " + std::to_string(s.priority);
                lines.push_back(line);
            }
        }
    }
    return lines;
}

bool Bridge::StartRecording(const std::string& name, int stepMs, int durationS, std::string& why) {
    return m_recorder.Start(name, stepMs, durationS, why);
}

bool Bridge::StopRecording(std::string& result) {
    if (!m_recorder.Active()) return false;
    result = m_recorder.Stop();
    return true;
}
