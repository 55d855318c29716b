#include "bridge/Recorder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "Warnings.h"
#include "common.h"
#include "hseq/HSEQFile.h"
#include "log.h"
#include "settings.h"

Recorder::~Recorder() { Stop(); }

void Recorder::Configure(const std::vector<InputConfig>& inputs) {
    m_inputs = inputs;
    Ranges all;
    for (auto& in : inputs) all.push_back({in.startChannel, in.channelCount});
    std::sort(all.begin(), all.end());
    m_ranges.clear();
    for (auto& r : all) {
        uint64_t end = (uint64_t)r.first + r.second;
        if (!m_ranges.empty() && r.first <= (uint64_t)m_ranges.back().first + m_ranges.back().second) {
            auto& last = m_ranges.back();
            last.second = (uint32_t)std::max<uint64_t>((uint64_t)last.first + last.second, end) - last.first;
        } else {
            m_ranges.push_back(r);
        }
    }
    m_channels = m_ranges.empty() ? 0 : m_ranges.back().first + m_ranges.back().second;
    m_frameBytes = 0;
    m_packedAt.assign(inputs.size(), 0);
    for (auto& r : m_ranges) {
        for (size_t i = 0; i < inputs.size(); ++i) {
            uint32_t start = inputs[i].startChannel;
            if (start >= r.first && start - r.first < r.second) m_packedAt[i] = m_frameBytes + (start - r.first);
        }
        m_frameBytes += r.second;
    }
}

void Recorder::Take(const std::vector<LiveInput*>& inputs, long long nowUs) {
    std::lock_guard<std::mutex> lock(m_liveLock);
    if (m_live.empty()) return;
    for (LiveInput* in : inputs) {
        memcpy(m_live.data() + in->config.startChannel, in->data.data(), in->config.channelCount);
        for (size_t i = 0; i < m_inputs.size(); ++i) {
            if (m_inputs[i].index != in->config.index) continue;
            m_arrived[i] = 1;
            m_expiresUs[i] = in->expiresUs;
        }
    }
    m_lastArrivalUs = nowUs;
}

static bool ValidName(const std::string& name) {
    if (name.empty() || name[0] == '/' || name.find("..") != std::string::npos) return false;
    for (char c : name) {
        if ((unsigned char)c < 32) return false;
    }
    return name.back() != '/';
}

bool Recorder::Start(const std::string& requested, int stepMs, int durationS, std::string& why) {
    std::lock_guard<std::mutex> control(m_control);
    if (m_active) {
        why = "Already recording into " + m_name;
        return false;
    }
    // A recording that ended by itself has left its threads to be joined.
    if (m_captureThread.joinable()) m_captureThread.join();
    if (m_writeThread.joinable()) m_writeThread.join();
    if (m_ranges.empty()) {
        why = "No inputs are configured in " + getKIVMediaDir("/config/inputs.json");
        return false;
    }
    std::string name = requested;
    if (!ValidName(name)) {
        why = "\"" + requested + "\" is not a file name inside the sequences folder";
        return false;
    }
    if (!endsWith(name, ".hseq")) name += ".hseq";
    if (stepMs < MIN_STEP_MS || stepMs > MAX_STEP_MS) {
        why = "Frame step " + std::to_string(stepMs) + " ms is outside " + std::to_string(MIN_STEP_MS) + "-" +
              std::to_string(MAX_STEP_MS);
        return false;
    }
    if (durationS < 0 || durationS > MAX_DURATION_S) {
        why = "Duration " + std::to_string(durationS) + " s is outside 0-" + std::to_string(MAX_DURATION_S);
        return false;
    }
    m_path = getKIVMediaDir("/sequences/" + name);
    size_t slash = m_path.rfind('/');
    std::string dir = m_path.substr(0, slash);
    m_tempPath = dir + "/." + m_path.substr(slash + 1) + ".recording";
    m_file.reset(dynamic_cast<V2HSEQFile*>(HSEQFile::createHSEQFile(m_tempPath, 2, HSEQFile::CompressionType::zstd)));
    if (!m_file) {
        why = "Cannot create " + m_tempPath + " (the log says why)";
        return false;
    }
    uint32_t planned = (uint32_t)(((long long)(durationS ? durationS : MAX_DURATION_S) * 1000 + stepMs - 1) / stepMs);
    auto lines = m_sources();
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_name = name;
        m_stepMs = stepMs;
        m_plannedFrames = planned;
        m_sourceLines = std::set<std::string>(lines.begin(), lines.end());
    }
    std::string program = std::string("kivd ") + getKIVVersion() + " recording of live input";
    std::vector<uint8_t> sp(program.begin(), program.end());
    sp.push_back(0);
    std::string sources = SourcesText();
    std::vector<uint8_t> sr(SOURCES_HEADER_BYTES, 0);
    memcpy(sr.data(), sources.data(), std::min(sources.size(), sr.size() - 1));
    m_file->enableMinorVersionFeatures(2);
    m_file->setChannelCount(m_channels);
    m_file->setNumFrames(planned);
    m_file->setStepTime(stepMs);
    m_file->setSparseRanges(m_ranges);
    m_file->getVariableHeaders().emplace_back("sp", sp);
    m_file->getVariableHeaders().emplace_back("sr", sr);
    m_file->writeHeader();
    {
        std::lock_guard<std::mutex> lock(m_liveLock);
        m_live.assign(m_channels, 0);
        m_arrived.assign(m_inputs.size(), 0);
        m_expiresUs.assign(m_inputs.size(), 0);
        m_lastArrivalUs = 0;
    }
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_queue.clear();
        m_queuedBytes = 0;
        m_stopCapture = false;
        m_captureDone = false;
        m_failure.clear();
        m_captured = 0;
        m_written = 0;
        m_lateTicks = 0;
        m_result.clear();
        m_startUs = BridgeClockUs();
        m_active = true;
    }
    m_captureThread = std::thread(&Recorder::CaptureLoop, this);
    m_writeThread = std::thread(&Recorder::WriteLoop, this);
    LogInfo(VB_E131BRIDGE, "Recording %s: %d ms frames, %s\n", m_name.c_str(), stepMs,
            durationS ? (std::to_string(durationS) + " s").c_str() : "until stopped");
    return true;
}

std::string Recorder::Stop() {
    std::lock_guard<std::mutex> control(m_control);
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_stopCapture = true;
    }
    m_wake.notify_all();
    if (m_captureThread.joinable()) m_captureThread.join();
    if (m_writeThread.joinable()) m_writeThread.join();
    return m_result;
}

void Recorder::CaptureLoop() {
    SetThreadName("KIV-Recorder");
    const long long step = m_stepMs * 1000LL;
    long long tick = m_startUs;
    bool quiet = true;  // no frame came before the last tick
    long long nextSources = m_startUs + 1000000;
    std::vector<char> expected;  // inputs that came before the previous tick
    std::unique_lock<std::mutex> lock(m_lock);
    while (!m_stopCapture && m_captured < m_plannedFrames && m_failure.empty()) {
        auto until = std::chrono::steady_clock::time_point(std::chrono::microseconds(tick));
        if (m_wake.wait_until(lock, until, [&] { return m_stopCapture; })) break;
        lock.unlock();
        // Settled: no frame for SETTLE_US, no receiver in the middle of a
        // burst, and every input that came before the previous tick has
        // come again; or the wait is over. After a quiet spell the wait may
        // be longer (the grid restarts from the frame taken): a receiver
        // that has not yet learnt a sender's burst hands it on late.
        const long long cap = quiet ? std::max(step / 2, 2 * InputReceiver::QUIET_US)
                                    : std::max(step / WAIT_STEP_DIVISOR, 2 * SETTLE_US);
        const long long waitUntil = BridgeClockUs() + cap;
        while (true) {
            long long now = BridgeClockUs(), since;
            bool missing = false;
            {
                std::lock_guard<std::mutex> live(m_liveLock);
                since = m_lastArrivalUs ? now - m_lastArrivalUs : SETTLE_US;
                for (size_t i = 0; i < expected.size(); ++i) missing |= expected[i] && !m_arrived[i];
            }
            if ((since >= SETTLE_US && !missing && !m_burstPending) || now >= waitUntil) break;
            usleep((useconds_t)std::min(since < SETTLE_US ? SETTLE_US - since : 1000, waitUntil - now));
        }
        long long now = BridgeClockUs();
        std::vector<uint8_t> frame(m_frameBytes);
        long long last;  // the latest frame before this tick, 0 = none since the last tick
        {
            std::lock_guard<std::mutex> live(m_liveLock);
            // Only what the outputs show now: an input past its timeout
            // (or whose sources all ended) is 0, never its old bytes.
            for (size_t i = 0; i < m_inputs.size(); ++i) {
                if (m_expiresUs[i] < now) continue;
                const InputConfig& in = m_inputs[i];
                memcpy(frame.data() + m_packedAt[i], m_live.data() + in.startChannel, in.channelCount);
            }
            last = m_lastArrivalUs;
            m_lastArrivalUs = 0;
            expected.swap(m_arrived);
            m_arrived.assign(expected.size(), 0);
        }
        if (now - tick > step / 2) ++m_lateTicks;
        long long next = tick + step;
        if (last && quiet) {
            // Frames (re)start after a step without any: this tick took the
            // latest, the next goes halfway between the two after it.
            next = last + step + step / 2;
            while (next <= now) next += step;
        } else if (last) {
            // Nudge the ticks towards halfway between frames.
            long long early = (tick - last) - step / 2;
            next -= std::max(-step / 8, std::min(step / 8, early / 4));
        }
        quiet = !last;
        tick = next;
        if (now >= nextSources) {
            nextSources = now + 1000000;
            auto lines = m_sources();
            lock.lock();
            for (auto& l : lines) m_sourceLines.insert(l);
        } else {
            lock.lock();
        }
        if (m_queuedBytes + frame.size() > MAX_QUEUED_BYTES) {
            m_failure = "the disk cannot keep up";
            break;
        }
        m_queuedBytes += frame.size();
        m_queue.push_back(std::move(frame));
        ++m_captured;
        m_wake.notify_all();
    }
    m_captureDone = true;
    m_wake.notify_all();
}

void Recorder::WriteLoop() {
    SetThreadName("KIV-RecWrite");
    std::vector<uint8_t> full(m_channels, 0);
    std::unique_lock<std::mutex> lock(m_lock);
    while (true) {
        m_wake.wait(lock, [&] { return !m_queue.empty() || m_captureDone; });
        if (m_queue.empty()) break;
        std::vector<uint8_t> frame = std::move(m_queue.front());
        m_queue.pop_front();
        m_queuedBytes -= frame.size();
        lock.unlock();
        size_t at = 0;
        for (auto& r : m_ranges) {
            memcpy(full.data() + r.first, frame.data() + at, r.second);
            at += r.second;
        }
        m_file->addFrame(m_written, full.data());
        bool failed = m_file->hadWriteError();
        if (!failed) ++m_written;
        lock.lock();
        if (failed) {
            m_failure = std::string("writing failed (") + strerror(errno) + ")";
            m_stopCapture = true;
            m_wake.notify_all();
            m_wake.wait(lock, [&] { return m_captureDone; });
            break;
        }
    }
    lock.unlock();
    Finish();
}

std::string Recorder::SourcesText() {
    std::string text;
    for (auto& l : m_sourceLines) text += l + "\n";
    return text;
}

void Recorder::Finish() {
    std::string failure;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        failure = m_failure;
        std::string sources = SourcesText();
        auto& header = m_file->getVariableHeaders().back().data;
        std::fill(header.begin(), header.end(), 0);
        memcpy(header.data(), sources.data(), std::min(sources.size(), header.size() - 1));
    }
    if (failure.empty()) m_file->rewriteVariableHeader(m_file->getVariableHeaders().size() - 1);
    uint32_t kept = m_file->finalizeWithFrames(m_written);
    m_file.reset();
    if (kept < m_written && failure.empty()) failure = "writing the file failed (the log says why)";
    std::string text;
    if (kept > 0 && rename(m_tempPath.c_str(), m_path.c_str()) == 0) {
        // The new name itself must survive a power cut too.
        int dfd = open(m_path.substr(0, m_path.rfind('/')).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dfd >= 0) {
            fsync(dfd);
            close(dfd);
        }
        text = "Recorded " + std::to_string(kept) + " frames of " + std::to_string(m_stepMs) + " ms into " + m_name;
        if (!failure.empty()) text += "; the recording ended early: " + failure;
    } else {
        unlink(m_tempPath.c_str());
        text = "Recording " + m_name + " failed: " + (failure.empty() ? "the file could not be completed" : failure) +
               "; nothing was kept" + (FileExists(m_path) ? " (the previous file stays)" : "");
    }
    if (!failure.empty() || kept == 0) {
        LogErr(VB_E131BRIDGE, "%s\n", text.c_str());
        WarningHolder::AddWarningTimeout(text, 600);
    } else {
        LogInfo(VB_E131BRIDGE, "%s\n", text.c_str());
    }
    {
        std::lock_guard<std::mutex> live(m_liveLock);
        m_live.clear();
        m_live.shrink_to_fit();
    }
    std::lock_guard<std::mutex> lock(m_lock);
    m_result = text;
    m_active = false;
}

Json::Value Recorder::Status() const {
    Json::Value v(Json::objectValue);
    std::lock_guard<std::mutex> lock(m_lock);
    v["recording"] = (bool)m_active;
    if (!m_name.empty()) {
        v["file"] = m_name;
        v["stepMs"] = m_stepMs;
        v["frames"] = (Json::UInt)m_written;
        v["lateTicks"] = (Json::UInt)m_lateTicks;
    }
    if (m_active) {
        v["seconds"] = (double)(BridgeClockUs() - m_startUs) / 1e6;
        v["maxFrames"] = (Json::UInt)m_plannedFrames;
    }
    if (!m_result.empty()) v["result"] = m_result;
    return v;
}
