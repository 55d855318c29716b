#include "effects/EffectPlayer.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "Sequence.h"
#include "channeloutput/channeloutputthread.h"
#include "commands/EffectCommands.h"
#include "common.h"
#include "log.h"
#include "settings.h"
#include "sync/MultiSync.h"

EffectPlayer EffectPlayer::INSTANCE;

namespace {

bool HasExtension(const std::string& name, const char* ext) {
    size_t n = strlen(ext);
    return name.size() > n && strcasecmp(name.c_str() + name.size() - n, ext) == 0;
}

bool IsEffectFileName(const std::string& name) { return HasExtension(name, ".eseq") || HasExtension(name, ".hseq"); }

}  // namespace

std::string EffectPlayer::EffectsDirectory() { return getKIVMediaDir("/effects"); }

bool EffectPlayer::FindEffectFile(const std::string& name, std::string& path, std::string& error) {
    if (name.empty()) {
        error = "An effect name is needed";
        return false;
    }
    // A name, never a path: nothing outside the effects folder is read.
    if (name.size() > 255 || name.find('/') != std::string::npos || name[0] == '.' ||
        name.find('\0') != std::string::npos) {
        error = "Effect \"" + name.substr(0, 64) + "\" is not a file name of the effects folder";
        return false;
    }
    std::string dir = EffectsDirectory() + "/";
    for (const char* ext : {"", ".eseq", ".hseq"}) {
        struct stat st;
        std::string candidate = dir + name + ext;
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            path = candidate;
            return true;
        }
    }
    error = "Effect " + name + " not found: no " + name + ", " + name + ".eseq or " + name + ".hseq in effects/";
    return false;
}

bool EffectPlayer::Start(const std::string& name, int startChannel, bool loop, bool background, std::string& error,
                         long long startMonoUs, bool announce) {
    std::string path;
    if (!FindEffectFile(name, path, error)) return false;
    if (startChannel < 0 || startChannel > Sequence::MAX_CHANNELS) {
        error = "Effect " + name + ": start channel " + std::to_string(startChannel) + " is outside 0 to " +
                std::to_string(Sequence::MAX_CHANNELS);
        return false;
    }
    std::string why;
    // Read before the lock: a large file takes a while, frames go on.
    std::shared_ptr<const EffectFrames> frames = Load(path, why);
    if (!frames) {
        error = "Effect " + name + ": effects/" + path.substr(EffectsDirectory().size() + 1) + " " + why;
        return false;
    }
    int64_t offset = startChannel > 0 ? (int64_t)startChannel - 1 - frames->firstChannel() : 0;
    uint64_t end = frames->endChannel() + offset;
    if (end > (uint64_t)Sequence::MAX_CHANNELS) {
        error = "Effect " + name + " runs past the channel space: its " + std::to_string(frames->frameBytes) +
                " channels from channel " + std::to_string(frames->firstChannel() + offset + 1) + " end at channel " +
                std::to_string(end) + ", beyond " + std::to_string(Sequence::MAX_CHANNELS);
        return false;
    }
    Running r;
    r.name = name;
    r.frames = frames;
    r.offset = offset;
    r.loop = loop;
    r.background = background;
    r.startUs = startMonoUs;
    r.startChannel = startChannel;
    r.announce = announce;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        // The same effect at the same place starts again rather than twice.
        for (auto it = m_running.begin(); it != m_running.end();) {
            if (it->name == name && it->offset + it->frames->firstChannel() == offset + frames->firstChannel()) {
                it = m_running.erase(it);
            } else {
                ++it;
            }
        }
        m_running.push_back(std::move(r));
        UpdateActive();
    }
    LogInfo(VB_EFFECT, "Effect %s started at channel %llu: %u frames of %u channels, %d ms apart%s%s\n",
            name.c_str(), (unsigned long long)(frames->firstChannel() + offset + 1), frames->frames,
            frames->frameBytes, frames->stepMs, loop ? ", looping" : "", background ? ", in the background" : "");
    StartChannelOutputThread();
    return true;
}

static bool FileStamp(const std::string& path, long long& mtimeNs, off_t& size) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return false;
    mtimeNs = st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
    size = st.st_size;
    return true;
}

std::shared_ptr<const EffectFrames> EffectPlayer::Load(const std::string& path, std::string& why) {
    long long mtimeNs = 0;
    off_t size = 0;
    bool stamped = FileStamp(path, mtimeNs, size);
    {
        std::lock_guard<std::mutex> lock(m_preloadLock);
        auto it = m_preloaded.find(path);
        if (stamped && it != m_preloaded.end() && it->second.mtimeNs == mtimeNs && it->second.size == size) {
            return it->second.frames;
        }
    }
    auto frames = std::make_shared<EffectFrames>();
    if (!LoadEffectFrames(path, *frames, why)) return nullptr;
    return frames;
}

void EffectPlayer::Preload(const std::vector<std::string>& names, const std::string& sequenceName) {
    std::map<std::string, Preloaded> loaded;
    for (auto& name : names) {
        std::string path, error;
        Preloaded p;
        if (!FindEffectFile(name, path, error) || loaded.count(path)) {
            if (!error.empty()) LogWarn(VB_EFFECT, "Sequence %s: %s\n", sequenceName.c_str(), error.c_str());
            continue;
        }
        FileStamp(path, p.mtimeNs, p.size);
        p.frames = Load(path, error);
        if (!p.frames) {
            LogWarn(VB_EFFECT, "Sequence %s: effect %s %s\n", sequenceName.c_str(), name.c_str(), error.c_str());
            continue;
        }
        loaded[path] = p;
    }
    std::lock_guard<std::mutex> lock(m_preloadLock);
    m_preloaded.swap(loaded);
}

void EffectPlayer::Blank(const Running& r) {
    for (auto& range : r.frames->ranges) m_blank.push_back({(uint32_t)(range.first + r.offset), range.second});
}

void EffectPlayer::UpdateActive() { m_active = !m_running.empty() || !m_blank.empty(); }

int EffectPlayer::Stop(const std::string& name, bool announce) {
    if (announce && multiSync && multiSync->isMultiSyncEnabled()) multiSync->SendEffectStopPacket(name);
    int stopped = 0;
    std::lock_guard<std::mutex> lock(m_lock);
    for (auto it = m_running.begin(); it != m_running.end();) {
        if (it->name == name) {
            Blank(*it);
            it = m_running.erase(it);
            ++stopped;
        } else {
            ++it;
        }
    }
    UpdateActive();
    if (stopped) LogInfo(VB_EFFECT, "Effect %s stopped\n", name.c_str());
    return stopped;
}

int EffectPlayer::StopAll(bool announce) {
    if (announce && multiSync && multiSync->isMultiSyncEnabled()) multiSync->SendEffectStopPacket("");
    std::lock_guard<std::mutex> lock(m_lock);
    int stopped = (int)m_running.size();
    for (auto& r : m_running) Blank(r);
    m_running.clear();
    UpdateActive();
    if (stopped) LogInfo(VB_EFFECT, "%d effect(s) stopped\n", stopped);
    return stopped;
}

void EffectPlayer::StopForeground() {
    std::lock_guard<std::mutex> lock(m_lock);
    for (auto it = m_running.begin(); it != m_running.end();) {
        if (!it->background) {
            LogDebug(VB_EFFECT, "Effect %s stopped with the sequence\n", it->name.c_str());
            Blank(*it);
            it = m_running.erase(it);
        } else {
            ++it;
        }
    }
    UpdateActive();
}

void EffectPlayer::Overlay(uint8_t* data, bool sequenceRunning, Clock clock) {
    FrameCanvas canvas(data, UINT32_MAX);
    Overlay(canvas, sequenceRunning, clock);
}

void EffectPlayer::Overlay(FrameCanvas& canvas, bool sequenceRunning, Clock clock) {
    uint8_t* data = canvas.data();
    long long periodUs = std::max(1000LL, clock.periodUs);
    std::vector<Running> announced;  // sent once the lock is released
    std::unique_lock<std::mutex> lock(m_lock);
    for (auto& b : m_blank) {
        // A sequence that plays writes these channels itself.
        if (!sequenceRunning && canvas.claim(b.first, b.second)) memset(data + b.first, 0, b.second);
    }
    m_blank.clear();
    for (auto it = m_running.begin(); it != m_running.end();) {
        Running& r = *it;
        long long at = clock.us;
        if (!r.shown) {
            r.shown = true;
            // A master's effect counts from its first frame there, on the
            // frame grid: master and remotes, their grids in step, show the
            // same frame.
            if (r.startUs && clock.monoUs > r.startUs) {
                r.elapsedUs = std::llround((double)(clock.monoUs - r.startUs) / periodUs) * periodUs;
            }
            if (r.announce && clock.monoUs) {
                r.startUs = clock.monoUs;
                announced.push_back(r);
            }
        } else if (clock.sequence && r.bySequence) {
            // A seek back holds the effect rather than rewinding it.
            if (at > r.lastUs) r.elapsedUs += at - r.lastUs;
        } else if (!clock.sequence && !r.bySequence) {
            // On the output's frame grid, not at the moment a pass happens
            // to run: a pass a little late or early must not show a frame
            // twice or skip one, and a frame processed twice stays one.
            long long steps = std::max(0LL, std::llround((double)(at - r.lastUs) / periodUs));
            r.elapsedUs += steps * periodUs;
            at = r.lastUs + steps * periodUs;
        } else {
            // A sequence started or ended: one frame on, then by the new clock.
            r.elapsedUs += periodUs;
        }
        r.lastUs = at;
        r.bySequence = clock.sequence;
        const EffectFrames& f = *r.frames;
        uint64_t n = (uint64_t)(r.elapsedUs / (f.stepMs * 1000LL));
        if (n >= f.frames) {
            if (!r.loop) {
                LogDebug(VB_EFFECT, "Effect %s ended after its %u frames\n", r.name.c_str(), f.frames);
                if (!sequenceRunning) {
                    for (auto& range : f.ranges) {
                        if (canvas.claim(range.first + r.offset, range.second)) {
                            memset(data + range.first + r.offset, 0, range.second);
                        }
                    }
                }
                it = m_running.erase(it);
                continue;
            }
            n %= f.frames;
        }
        r.frame = (uint32_t)n;
        const uint8_t* src = f.frame(r.frame);
        for (auto& range : f.ranges) {
            if (canvas.claim(range.first + r.offset, range.second)) {
                memcpy(data + range.first + r.offset, src, range.second);
            }
            src += range.second;
        }
        ++it;
    }
    UpdateActive();
    lock.unlock();
    if (!announced.empty() && multiSync && multiSync->isMultiSyncEnabled()) {
        for (auto& r : announced)
            multiSync->SendEffectStartPacket(r.name, r.startChannel, r.loop, r.background, r.startUs);
    }
}

int EffectPlayer::FastestStepUs() {
    // Not faster than a controller takes frames.
    static constexpr int FASTEST_US = 10000;
    int fastest = 0;
    std::lock_guard<std::mutex> lock(m_lock);
    for (auto& r : m_running) {
        int us = std::max(FASTEST_US, r.frames->stepMs * 1000);
        if (!fastest || us < fastest) fastest = us;
    }
    return fastest;
}

Json::Value EffectPlayer::GetRunning() {
    Json::Value list(Json::arrayValue);
    std::lock_guard<std::mutex> lock(m_lock);
    for (auto& r : m_running) {
        Json::Value e;
        e["name"] = r.name;
        e["startChannel"] = (Json::Int)(r.frames->firstChannel() + r.offset + 1);
        e["channelCount"] = r.frames->frameBytes;
        e["frames"] = r.frames->frames;
        e["stepMs"] = r.frames->stepMs;
        e["frame"] = r.frame;
        e["loop"] = r.loop;
        e["background"] = r.background;
        list.append(e);
    }
    return list;
}

Json::Value EffectPlayer::ListEffectFiles() {
    std::vector<std::string> names;
    if (DIR* d = opendir(EffectsDirectory().c_str())) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] != '.' && IsEffectFileName(e->d_name)) names.push_back(e->d_name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    Json::Value list(Json::arrayValue);
    for (auto& n : names) list.append(n);
    return list;
}

void InitEffects() {
    LogDebug(VB_EFFECT, "InitEffects()\n");
    RegisterEffectCommands();
}

void CloseEffects() {
    LogDebug(VB_EFFECT, "CloseEffects()\n");
    EffectPlayer::INSTANCE.StopAll(false);
}

// The sequence player's entry points: remotes run their own "FE" effects.
int StartEffect(const std::string& name, int startChannel, int loop, bool background) {
    std::string error;
    if (!EffectPlayer::INSTANCE.Start(name, startChannel, loop != 0, background, error, 0, false)) {
        LogErr(VB_EFFECT, "%s\n", error.c_str());
        return 0;
    }
    return 1;
}

int StopEffect(const std::string& name) { return EffectPlayer::INSTANCE.Stop(name, false); }

int IsEffectRunning() { return EffectPlayer::INSTANCE.IsRunning() ? 1 : 0; }

void OverlayEffects(unsigned char* channelData) {
    FrameCanvas canvas(channelData, UINT32_MAX);
    OverlayEffects(canvas);
}

void OverlayEffects(FrameCanvas& canvas) {
    bool running = sequence && sequence->IsSequenceRunning();
    EffectPlayer::Clock clock;
    clock.sequence = running && !sequence->SequenceIsPaused();
    clock.monoUs = GetTime();
    clock.periodUs = LightDelay.load();
    clock.us = clock.sequence ? sequence->GetElapsedMs() * 1000LL : clock.monoUs;
    EffectPlayer::INSTANCE.Overlay(canvas, running, clock);
}
