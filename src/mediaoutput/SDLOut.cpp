#include "mediaoutput/SDLOut.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}
#include <SDL2/SDL.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <deque>
#include <vector>

#include "ThreadPriority.h"
#include "Warnings.h"
#include "channeloutput/channeloutput.h"
#include "channeloutput/channeloutputthread.h"
#include "common.h"
#include "log.h"
#include "mediaoutput/AudioClock.h"
#include "sync/MultiSync.h"
#include "services/PixelOverlay.h"
#include "settings.h"

SDL sdlManager;

namespace {

// Thresholds of the decode thread.
constexpr int MAX_DECODE_STEPS = 5;         // per fill or top-up
constexpr int MAX_AUDIO_TOP_UP_STEPS = 400;  // per top-up of sound alone (about 10 s of mp3)
constexpr int VIDEO_LIST_FULL = 29;         // frames waiting: decode nothing
constexpr int VIDEO_LIST_NEARLY_FULL = 23;  // frames waiting: top up only
constexpr int VIDEO_LIST_MAX = 30;          // frames waiting: never decode
constexpr int VIDEO_LIST_LOW = 15;          // frames waiting: next pass at once
constexpr int MAX_REFUSALS = 1000;          // decoder refusing a packet without output
constexpr int DEVICE_SAMPLES = 2048;        // samples per device buffer
constexpr int STALL_PROCESS_CALLS = 50;
// Sound alone: the decode thread wakes this long before the queue falls to
// its two seconds, and sleeps this long once the whole file is queued (the
// next file's Start wakes it at once).
constexpr int WAKE_MARGIN_US = 250000;
constexpr int IDLE_PASS_US = 2000000;

// Guards currentMediaFilename and lastLogLine: FFmpeg logs from its own
// threads as well as the decode thread.
std::mutex ffmpegLogLock;
std::string currentMediaFilename;
std::string lastLogLine;

// The media position seen by the previous Process call, as bytes.
long long lastCurTime = -1;
int ProcessCount = 0;
std::atomic<bool> AudioHasStalled{false};
// The missing device is logged once; a 60 s warning repeats it at each
// start that has to go without sound. Caller's thread only.
bool noDeviceWarning = false;
std::string noDeviceError;
bool sdlInitFailureLogged = false;

struct VideoFrameNode {
    int timeMs = 0;
    std::vector<uint8_t> data;  // RGB24, model width x height
};

}  // namespace

struct SDLDecodeData {
    std::atomic<int> stopped{0};

    AVFormatContext* formatContext = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;

    AVCodecContext* audioCodecContext = nullptr;
    int audioStreamIdx = -1;
    AVStream* audioStream = nullptr;
    SwrContext* swrContext = nullptr;
    long long expectedBytes = 0;
    long long decodedBytes = 0;
    float durationSeconds = 0.0f;

    SDL_AudioDeviceID audioDevice = 0;
    // Decode thread (or the caller before the state is current) only.
    int pendingLen = 0;
    std::vector<uint8_t> decodeBuffer;

    int sampleRate = 44100;
    int bytesPerSample = 2;
    int channels = 2;
    bool isFloat = false;
    int minQueueBytes = 0;
    int bufferSize = 0;

    AVCodecContext* videoCodecContext = nullptr;
    int videoStreamIdx = -1;
    AVStream* videoStream = nullptr;
    long long videoTicksPerSecond = 0;
    long long videoFrameCount = 0;
    uint8_t* scaledData[4] = {nullptr, nullptr, nullptr, nullptr};
    int scaledLinesize[4] = {0, 0, 0, 0};
    SwsContext* swsContext = nullptr;
    int modelWidth = 0;
    int modelHeight = 0;

    std::mutex videoLock;  // guards videoFrames and currentFrame
    std::deque<VideoFrameNode> videoFrames;
    size_t currentFrame = 0;  // index of the frame last shown or to be shown next
    int lastVideoTimeMs = -1;  // decode thread only

    long long videoLengthMs = 0;
    std::atomic<long long> startTimeMs{0};
    PixelOverlayModel* overlayModel = nullptr;
    std::atomic<bool> decodeDone{false};
    long long bytesSent = 0;  // guarded by mutex
    // Guards bytesSent between the decode thread and Start.
    std::mutex mutex;

    int FrameBytes() const { return bytesPerSample * channels; }
    int VideoFramesWaiting() {
        std::lock_guard<std::mutex> lock(videoLock);
        return (int)(videoFrames.size() - std::min(currentFrame, videoFrames.size()));
    }
};

// ---------------------------------------------------------------------------
// FFmpeg log lines go to the MediaOut facility.

static void FFmpegLogCallback(void* ptr, int level, const char* fmt, va_list vl) {
    int ourLevel;
    const char* prefix;
    if (level > 47) {
        ourLevel = LOG_EXCESS;
        prefix = "Debug: ";
    } else if (level > 39) {
        ourLevel = LOG_DEBUG;
        prefix = "Verbose: ";
    } else if (level > 31) {
        ourLevel = LOG_INFO;
        prefix = "Info: ";
    } else if (level < 24) {
        ourLevel = LOG_ERR;
        prefix = "";
    } else {
        ourLevel = LOG_WARN;
        prefix = "Warn: ";
    }
    // The two time-stamp complaints below come with ordinary files; they
    // are only worth a debug line. Checked after formatting.
    if (!WillLog(ourLevel, VB_MEDIAOUT) && ourLevel != LOG_WARN) return;

    char line[256];
    int printPrefix = 1;
    av_log_format_line(ptr, level, fmt, vl, line, sizeof(line), &printPrefix);
    std::string text = line;
    if (ourLevel == LOG_WARN &&
        (text.find("Could not update timestamps") != std::string::npos ||
         text.find("Estimating duration from bitrate") != std::string::npos)) {
        ourLevel = LOG_DEBUG;
        prefix = "Verbose: ";
    }
    if (!WillLog(ourLevel, VB_MEDIAOUT)) return;
    if (text.empty() || text.back() != '\n') text += "\n";

    std::string name;
    {
        std::lock_guard<std::mutex> lock(ffmpegLogLock);
        if (text == lastLogLine) return;
        lastLogLine = text;
        name = currentMediaFilename;
    }
    _LogWrite(__FILE__, __LINE__, ourLevel, VB_MEDIAOUT, std::string(prefix) + "\"" + name + "\" - " + text);
}

void InstallFFmpegLogging() {
    av_log_set_flags(AV_LOG_SKIP_REPEATED);
    av_log_set_callback(FFmpegLogCallback);
}

static void SetCurrentMediaFilename(const std::string& name) {
    std::lock_guard<std::mutex> lock(ffmpegLogLock);
    currentMediaFilename = name;
}

// ---------------------------------------------------------------------------
// Device format from the settings.

uint64_t AudioLayoutChannelMask(int audioLayout) {
    switch (audioLayout) {
    case 1: return AV_CH_LAYOUT_2POINT1;         // 0xB
    case 2: return AV_CH_LAYOUT_2_1;             // 0x103
    case 3: return AV_CH_LAYOUT_SURROUND;        // 0x7
    case 4: return AV_CH_LAYOUT_3POINT1;         // 0xF
    case 5: return AV_CH_LAYOUT_4POINT0;         // 0x107
    case 6: return AV_CH_LAYOUT_2_2;             // 0x603
    case 7: return AV_CH_LAYOUT_QUAD;            // 0x33
    case 8: return AV_CH_LAYOUT_4POINT1;         // 0x10F
    case 9: return AV_CH_LAYOUT_5POINT0;         // 0x607
    case 10: return AV_CH_LAYOUT_5POINT0_BACK;   // 0x37
    case 11: return AV_CH_LAYOUT_5POINT1;        // 0x60F
    case 12: return AV_CH_LAYOUT_5POINT1_BACK;   // 0x3F
    case 13: return AV_CH_LAYOUT_6POINT1;        // 0x70F
    case 14: return AV_CH_LAYOUT_7POINT0;        // 0x637
    case 15: return AV_CH_LAYOUT_7POINT1;        // 0x63F
    default: return AV_CH_LAYOUT_STEREO;         // 0x3
    }
}

static int AudioLayoutChannels(int audioLayout) {
    // Negative values would open three channels for a stereo resampler
    // and garble every sample; they are stereo like any value outside 1..15.
    if (audioLayout < 1 || audioLayout > 15) return 2;
    if (audioLayout <= 3) return 3;
    if (audioLayout <= 7) return 4;
    if (audioLayout <= 10) return 5;
    if (audioLayout <= 12) return 6;
    if (audioLayout <= 14) return 7;
    return 8;
}

AudioDeviceRequest DesiredAudioDevice(const std::string& sysSoundRoot) {
    AudioDeviceRequest r;
    int format = getSettingInt("AudioFormat", 0);
    switch (format) {
    case 1: r.rate = 44100; r.format = AUDIO_S16SYS; break;
    case 2: r.rate = 44100; r.format = AUDIO_S32SYS; break;
    case 3: r.rate = 44100; r.format = AUDIO_F32SYS; break;
    case 4: r.rate = 48000; r.format = AUDIO_S16SYS; break;
    case 5: r.rate = 48000; r.format = AUDIO_S32SYS; break;
    case 6: r.rate = 48000; r.format = AUDIO_F32SYS; break;
    case 7: r.rate = 96000; r.format = AUDIO_S16SYS; break;
    case 8: r.rate = 96000; r.format = AUDIO_S32SYS; break;
    case 9: r.rate = 96000; r.format = AUDIO_F32SYS; break;
    default:
        // The on-board Broadcom audio of a Raspberry Pi runs at 48 kHz.
        r.rate = (getSettingInt("AudioOutput", 0) == 0 && contains(getSetting("AudioCard0Type"), "bcm")) ? 48000
                                                                                                          : 44100;
        r.format = AUDIO_S16SYS;
        break;
    }
    r.channels = AudioLayoutChannels(getSettingInt("AudioLayout", 0));

    std::string card = getSetting("AudioOutput", "0");
    // Only a card number names a sysfs folder.
    bool numeric = !card.empty() && card.find_first_not_of("0123456789") == std::string::npos;
    std::string idFile = sysSoundRoot + "/card" + card + "/id";
    if (numeric && FileExists(idFile)) {
        std::string id = GetFileContents(idFile);
        TrimWhiteSpace(id);
        while (!id.empty() && (id.back() == '\n' || id.back() == '\r')) id.pop_back();
        r.cardId = id;
    }
    return r;
}

std::string ChooseAudioDeviceName(const std::string& cardId, const std::vector<std::string>& deviceNames) {
    std::string chosen;
    if (cardId.empty()) return chosen;
    for (auto& n : deviceNames) {
        if (startsWith(n, cardId)) chosen = n;
    }
    return chosen;
}

static const char* SampleFormatName(SDL_AudioFormat f) {
    switch (f) {
    case AUDIO_S16SYS: return "signed 16-bit";
    case AUDIO_S32SYS: return "signed 32-bit";
    case AUDIO_F32SYS: return "32-bit float";
    default: return "other";
    }
}

bool MediaAudioDeviceMissing() { return noDeviceWarning; }

// ---------------------------------------------------------------------------
// The manager.

SDL::SDL() { memset(&wanted, 0, sizeof(wanted)); }

SDL::~SDL() { Cleanup(); }

bool SDL::initSDL() {
    if (state != UNINITIALISED) return true;
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) < 0) {
        std::string err = SDL_GetError();
        // Said once: on a board without sound every song would repeat it.
        if (!sdlInitFailureLogged) {
            LogErr(VB_MEDIAOUT, "Could not initialize SDL - %s\n", err.c_str());
            sdlInitFailureLogged = true;
        }
        noDeviceError = "Could not initialize SDL - " + err;
        noDeviceWarning = true;
        return false;
    }
    sdlInitFailureLogged = false;
    state = INITIALISED;
    return true;
}

bool SDL::openAudio() {
    if (state != INITIALISED) return state >= DEVICE_OPEN;

    AudioDeviceRequest req = DesiredAudioDevice();
    memset(&wanted, 0, sizeof(wanted));
    wanted.freq = req.rate;
    wanted.format = req.format;
    wanted.channels = (Uint8)req.channels;
    wanted.samples = DEVICE_SAMPLES;
    // Our own queue rather than SDL's: its callback tells the moment the
    // device takes each buffer, which the audio clock is stamped with.
    wanted.callback = [](void* user, Uint8* stream, int len) { static_cast<SDL*>(user)->Fill(stream, len); };
    wanted.userdata = this;

    std::string deviceName;
    if (!req.cardId.empty()) {
        std::vector<std::string> names;
        int n = SDL_GetNumAudioDevices(0);
        for (int i = 0; i < n; ++i) {
            const char* name = SDL_GetAudioDeviceName(i, 0);
            if (name) names.push_back(name);
        }
        deviceName = ChooseAudioDeviceName(req.cardId, names);
    }
    LogDebug(VB_MEDIAOUT, "Using output device: %s\n", deviceName.empty() ? "(default)" : deviceName.c_str());

    SDL_AudioSpec obtained;
    memset(&obtained, 0, sizeof(obtained));
    SDL_AudioDeviceID dev =
        SDL_OpenAudioDevice(deviceName.empty() ? nullptr : deviceName.c_str(), 0, &wanted, &obtained,
                            SDL_AUDIO_ALLOW_FREQUENCY_CHANGE | SDL_AUDIO_ALLOW_FORMAT_CHANGE |
                                SDL_AUDIO_ALLOW_CHANNELS_CHANGE);
    if (dev) {
        LogDebug(VB_MEDIAOUT,
                 "Opened Audio Device -  Rates:  %d -> %d     AudioFormat:  %X -> %X    Channels: %d -> %d\n",
                 wanted.freq, obtained.freq, wanted.format, obtained.format, wanted.channels, obtained.channels);
        if (obtained.format != AUDIO_S16SYS && obtained.format != AUDIO_S32SYS && obtained.format != AUDIO_F32SYS) {
            LogDebug(VB_MEDIAOUT, "    Format not supported, will reopen\n");
            SDL_CloseAudioDevice(dev);
            dev = SDL_OpenAudioDevice(nullptr, 0, &wanted, &obtained, SDL_AUDIO_ALLOW_FREQUENCY_CHANGE);
            if (dev) {
                LogDebug(VB_MEDIAOUT, "Repened Audio Device -  Rates:  %d -> %d     AudioFormat:  %X -> %X \n",
                         wanted.freq, obtained.freq, wanted.format, obtained.format);
            }
        }
    }
    if (!dev) {
        if (!noDeviceWarning) {
            noDeviceError = std::string("Could not open audio device - ") + SDL_GetError();
            LogErr(VB_MEDIAOUT, "%s\n", noDeviceError.c_str());
            noDeviceWarning = true;
        }
        // Without a device the arithmetic still needs a format: the one asked for.
        obtained = wanted;
    } else {
        noDeviceWarning = false;
    }
    rate = obtained.freq;
    channels = obtained.channels;
    bytesPerSample = obtained.format == AUDIO_S16SYS ? 2 : 4;
    isFloat = obtained.format == AUDIO_F32SYS;
    audioDevice = dev;
    if (dev) {
        LogInfo(VB_MEDIAOUT, "Audio device open: %d Hz, %s, %d channels\n", rate, SampleFormatName(obtained.format),
                channels);
        // Room for what the decode thread keeps queued (bufferSize of its
        // decode state) and two seconds more, which also keep what was
        // just played for GetAudioSamples.
        size_t twoSeconds = 2 * (size_t)rate * bytesPerSample * channels;
        std::lock_guard<std::mutex> lock(m_queueLock);
        m_ring.assign(twoSeconds * channels + twoSeconds, obtained.silence);
        m_read = m_queued = 0;
        m_silence = obtained.silence;
        // SDL does not say how late the device plays. The disk and dummy
        // drivers hand a buffer on the moment they take it; the drivers of
        // a sound card still have about the buffer before it to play.
        // "mediaOffset" corrects what remains (docs/media.md).
        const char* driver = SDL_GetCurrentAudioDriver();
        bool immediate = driver && (!strcmp(driver, "disk") || !strcmp(driver, "dummy"));
        latencyUs = immediate ? 0 : (long long)obtained.samples * 1000000 / std::max(1, obtained.freq);
        LogInfo(VB_MEDIAOUT, "Audio clock: %s driver, a buffer is heard %lld ms after the device takes it\n",
                driver ? driver : "unknown", latencyUs / 1000);
    }
    state = DEVICE_OPEN;

    if (startsWith(getSetting("AudioCardType"), "Dummy")) {
        WarningHolder::AddWarningTimeout("Outputting Audio to Dummy device.", 60);
    }
    return true;
}

void SDL::Stop() {
    if (state == PLAYING) {
        if (audioDevice) {
            SDL_PauseAudioDevice(audioDevice, 1);
            ClearQueue();
        }
        AudioClock::INSTANCE.Stop();
        {
            std::lock_guard<std::mutex> lock(overlayLock);
            current = nullptr;
        }
        state = STOPPED;
        while (decoding) std::this_thread::yield();
    }
}

void SDL::Close() {
    if (state > INITIALISED) {
        if (audioDevice) SDL_CloseAudioDevice(audioDevice);
        audioDevice = 0;
        state = INITIALISED;
    }
}

int SDL::Push(const uint8_t* data, int len) {
    std::lock_guard<std::mutex> lock(m_queueLock);
    size_t cap = m_ring.size();
    size_t n = std::min((size_t)std::max(len, 0), cap - m_queued);
    size_t at = (m_read + m_queued) % std::max<size_t>(cap, 1);
    size_t first = std::min(n, cap - at);
    memcpy(m_ring.data() + at, data, first);
    memcpy(m_ring.data(), data + first, n - first);
    m_queued += n;
    return (int)n;
}

int SDL::Queued() {
    std::lock_guard<std::mutex> lock(m_queueLock);
    return (int)m_queued;
}

void SDL::ClearQueue() {
    std::lock_guard<std::mutex> lock(m_queueLock);
    AudioClock::INSTANCE.Skip((long long)m_queued);
    if (!m_ring.empty()) m_read = (m_read + m_queued) % m_ring.size();
    m_queued = 0;
}

void SDL::Fill(uint8_t* stream, int len) {
    // SDL's audio thread plays the sound the lights follow: a buffer taken
    // but written late to the device is heard late, so the thread runs at
    // the output thread's priority (it needs very little CPU).
    static thread_local bool raised = false;
    if (!raised) {
        raised = true;
        RaiseThreadPriority(ThreadRole::Output);
    }
    long long now = AudioClock::NowUs();
    std::lock_guard<std::mutex> lock(m_queueLock);
    size_t cap = m_ring.size();
    size_t n = std::min((size_t)std::max(len, 0), m_queued);
    size_t first = std::min(n, cap - m_read);
    memcpy(stream, m_ring.data() + m_read, first);
    memcpy(stream + first, m_ring.data(), n - first);
    if (n) m_read = (m_read + n) % cap;
    m_queued -= n;
    memset(stream + n, m_silence, (size_t)len - n);
    // Under the queue lock, so a ClearQueue cannot fall between the bytes
    // leaving the queue and the clock learning of them.
    AudioClock::INSTANCE.Taken((long long)n, now);
}

void SDL::CopyHeard(uint8_t* out, int len, int frameBytes) {
    std::lock_guard<std::mutex> lock(m_queueLock);
    size_t cap = m_ring.size();
    size_t back = 0;
    double heard;
    if (cap && AudioClock::INSTANCE.Position(AudioClock::NowUs(), heard)) {
        // From the end of what the device took back to the sample heard now.
        double bytesPerSecond = (double)rate * frameBytes;
        long long b = std::llround((AudioClock::INSTANCE.TakenSeconds() - heard) * bytesPerSecond);
        b -= b % std::max(frameBytes, 1);
        back = (size_t)std::max(0LL, std::min<long long>(b, (long long)(cap - m_queued)));
    }
    size_t n = cap ? std::min((size_t)std::max(len, 0), back + m_queued) : 0;
    size_t from = cap ? (m_read + cap - back) % cap : 0;
    size_t first = std::min(n, cap - from);
    if (n) {
        memcpy(out, m_ring.data() + from, first);
        memcpy(out + first, m_ring.data(), n - first);
    }
    memset(out + n, m_silence, (size_t)len - n);
}

void SDL::StartDecodeThread() {
    if (m_decodeThread.joinable()) return;
    m_runDecode = true;
    m_decodeThread = std::thread([this] { runDecode(); });
}

void SDL::WakeDecodeThread() {
    std::lock_guard<std::mutex> lock(m_decodeWakeLock);
    m_wakeDecode = true;
    m_decodeWake.notify_all();
}

void SDL::Cleanup() {
    Stop();
    Close();
    if (state != UNINITIALISED) {
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
        state = UNINITIALISED;
    }
    if (m_decodeThread.joinable()) {
        {
            std::lock_guard<std::mutex> lock(m_decodeWakeLock);
            m_runDecode = false;
        }
        m_decodeWake.notify_all();
        m_decodeThread.join();
    }
}

// ---------------------------------------------------------------------------
// Decoding.

static int OpenDecoder(AVFormatContext* fmt, AVMediaType type, int& streamIdx, AVCodecContext*& ctx,
                       AVStream*& stream) {
    const char* typeName = av_get_media_type_string(type);
    auto fail = [&](const char* message, int rc) {
        fprintf(stderr, message, typeName);
        LogErr(VB_MEDIAOUT, message, typeName);
        if (ctx) avcodec_free_context(&ctx);
        streamIdx = -1;
        stream = nullptr;
        return rc;
    };
    streamIdx = -1;
    int idx = av_find_best_stream(fmt, type, -1, -1, nullptr, 0);
    if (idx < 0) return idx;
    stream = fmt->streams[idx];
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (!codec) return fail("Failed to find %s codec\n", AVERROR(EINVAL));
    ctx = avcodec_alloc_context3(codec);
    if (!ctx) return fail("Failed to allocate the %s codec context\n", AVERROR(ENOMEM));
    int rc = avcodec_parameters_to_context(ctx, stream->codecpar);
    if (rc < 0) return fail("Failed to copy %s codec parameters to decoder context\n", rc);
    ctx->thread_count = (int)sysconf(_SC_NPROCESSORS_ONLN) + 1;
    AVDictionary* opts = nullptr;
    av_dict_set(&opts, "refcounted_frames", "0", 0);
    rc = avcodec_open2(ctx, codec, &opts);
    av_dict_free(&opts);
    if (rc < 0) return fail("Failed to open %s codec\n", rc);
    streamIdx = idx;
    return 0;
}

// Converts decoded samples (or, with in null, what the resampler still
// holds) into decodeBuffer at pendingLen.
static void ConvertAudio(SDLDecodeData* d, const uint8_t** in, int inSamples) {
    int frameBytes = d->FrameBytes();
    int room = (d->bufferSize - d->pendingLen) / frameBytes;
    if (room < 0) room = 0;
    uint8_t* out = d->decodeBuffer.data() + d->pendingLen;
    int n = swr_convert(d->swrContext, &out, room, in, inSamples);
    if (n > 0) {
        d->pendingLen += n * frameBytes;
        d->decodedBytes += (long long)n * frameBytes;
    }
    if (swr_get_out_samples(d->swrContext, 0) > 0 && d->pendingLen + frameBytes > d->bufferSize) {
        AudioHasStalled = true;
    }
}

static int DrainAudio(SDLDecodeData* d) {
    int got = 0;
    while (avcodec_receive_frame(d->audioCodecContext, d->frame) == 0) {
        ConvertAudio(d, (const uint8_t**)d->frame->extended_data, d->frame->nb_samples);
        av_frame_unref(d->frame);
        ++got;
    }
    return got;
}

static void AddVideoFrame(SDLDecodeData* d, AVFrame* f) {
    // Presentation time on the container's time line, which the audio
    // position also follows. The frame's own time stamp rather than the
    // packet's: a decoder running on several threads hands out a frame
    // several packets after its own.
    int64_t pts = f->best_effort_timestamp;
    if (pts == AV_NOPTS_VALUE) pts = f->pkt_dts;
    int timeMs;
    if (pts != AV_NOPTS_VALUE) {
        int64_t ms = av_rescale_q(pts, d->videoStream->time_base, AVRational{1, 1000});
        if (d->formatContext->start_time != AV_NOPTS_VALUE) ms -= d->formatContext->start_time / 1000;
        timeMs = (int)std::max<int64_t>(0, ms);
    } else if (d->videoTicksPerSecond > 0 && f->pkt_dts != AV_NOPTS_VALUE) {
        timeMs = (int)(f->pkt_dts * 1000 / d->videoTicksPerSecond);
    } else {
        AVRational fr = d->videoStream->avg_frame_rate;
        int step = fr.num > 0 ? (int)(1000LL * fr.den / fr.num) : 40;
        timeMs = d->lastVideoTimeMs < 0 ? 0 : d->lastVideoTimeMs + step;
    }
    d->lastVideoTimeMs = timeMs;

    d->swsContext = sws_getCachedContext(d->swsContext, f->width, f->height, (AVPixelFormat)f->format, d->modelWidth,
                                         d->modelHeight, AV_PIX_FMT_RGB24, SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (!d->swsContext) {
        LogErr(VB_MEDIAOUT, "Cannot scale the %dx%d pictures of %s\n", f->width, f->height,
               d->formatContext->url ? d->formatContext->url : "");
        return;
    }
    sws_scale(d->swsContext, f->data, f->linesize, 0, f->height, d->scaledData, d->scaledLinesize);
    VideoFrameNode node;
    node.timeMs = timeMs;
    size_t row = (size_t)d->modelWidth * 3;
    node.data.resize(row * d->modelHeight);
    for (int y = 0; y < d->modelHeight; ++y) {
        memcpy(node.data.data() + row * y, d->scaledData[0] + (size_t)d->scaledLinesize[0] * y, row);
    }
    std::lock_guard<std::mutex> lock(d->videoLock);
    d->videoFrames.push_back(std::move(node));
}

static int DrainVideo(SDLDecodeData* d) {
    int got = 0;
    while (avcodec_receive_frame(d->videoCodecContext, d->frame) == 0) {
        AddVideoFrame(d, d->frame);
        av_frame_unref(d->frame);
        ++got;
    }
    return got;
}

// Offers a packet (null: end of stream) until the decoder takes it, taking
// out the frames it has ready meanwhile. Frames produced.
static int DecodePacket(SDLDecodeData* d, AVCodecContext* ctx, AVPacket* pkt, int (*drain)(SDLDecodeData*)) {
    int produced = 0, refusals = 0;
    for (;;) {
        int rc = avcodec_send_packet(ctx, pkt);
        if (rc != AVERROR(EAGAIN)) break;
        int got = drain(d);
        produced += got;
        if (got == 0 && ++refusals > MAX_REFUSALS) {
            LogWarn(VB_MEDIAOUT, "Decoder refused a packet %d times without output; packet dropped\n", MAX_REFUSALS);
            break;
        }
    }
    return produced + drain(d);
}

static void FinishDecoding(SDLDecodeData* d) {
    // What the decoders and the resampler still hold belongs to the end of
    // the file.
    if (d->audioCodecContext) DecodePacket(d, d->audioCodecContext, nullptr, DrainAudio);
    if (d->swrContext) ConvertAudio(d, nullptr, 0);
    if (d->videoCodecContext) DecodePacket(d, d->videoCodecContext, nullptr, DrainVideo);
    d->expectedBytes = d->decodedBytes;
    d->decodeDone = true;
}

// Reads packets until one of them yields output or the file ends.
static void DecodeStep(SDLDecodeData* d) {
    if (d->decodeDone) return;
    if (!d->formatContext) {
        d->decodeDone = true;
        return;
    }
    for (;;) {
        if (av_read_frame(d->formatContext, d->packet) < 0) {
            FinishDecoding(d);
            return;
        }
        int idx = d->packet->stream_index;
        if (idx == d->audioStreamIdx && d->audioStreamIdx >= 0) {
            DecodePacket(d, d->audioCodecContext, d->packet, DrainAudio);
            av_packet_unref(d->packet);
            if (d->videoStreamIdx < 0) return;
        } else if (idx == d->videoStreamIdx && d->videoStreamIdx >= 0) {
            int got = DecodePacket(d, d->videoCodecContext, d->packet, DrainVideo);
            av_packet_unref(d->packet);
            if (got > 0) return;
        } else {
            av_packet_unref(d->packet);
        }
    }
}

static int QueuedBytes(SDLDecodeData* d) { return d->audioDevice ? sdlManager.Queued() : 0; }

// Hands the pending bytes to the device's queue; what does not fit stays
// pending for the next pass.
static void PushAudio(SDLDecodeData* d) {
    std::lock_guard<std::mutex> lock(d->mutex);
    if (d->pendingLen <= 0) return;
    int n = d->audioDevice ? sdlManager.Push(d->decodeBuffer.data(), d->pendingLen) : d->pendingLen;
    if (n < d->pendingLen) memmove(d->decodeBuffer.data(), d->decodeBuffer.data() + n, d->pendingLen - n);
    d->bytesSent += n;
    d->pendingLen -= n;
}

static void FreeShownVideoFrames(SDLDecodeData* d) {
    std::lock_guard<std::mutex> lock(d->videoLock);
    while (d->currentFrame > 0 && !d->videoFrames.empty()) {
        d->videoFrames.pop_front();
        --d->currentFrame;
    }
}

// One pass of the decode thread over the playing file; true for a pass
// that filled (the next comes sooner).
static bool DecodePass(SDLDecodeData* d) {
    enum { NONE, FILL, TOP_UP } mode = NONE;
    bool hasVideo = d->videoStreamIdx >= 0;
    enum { OPEN, NEARLY_FULL, FULL } list = OPEN;
    if (hasVideo) {
        FreeShownVideoFrames(d);
        int waiting = d->VideoFramesWaiting();
        if (d->decodeDone || waiting > VIDEO_LIST_FULL) {
            list = FULL;
        } else if (waiting > VIDEO_LIST_NEARLY_FULL) {
            list = NEARLY_FULL;
        }
    }

    if (d->pendingLen > 0 && (QueuedBytes(d) < d->minQueueBytes || d->decodeDone)) PushAudio(d);

    int total = QueuedBytes(d) + d->pendingLen;
    if (!hasVideo) {
        if (total < d->minQueueBytes) {
            mode = FILL;
        } else if (total < d->bufferSize) {
            mode = TOP_UP;
        }
    } else {
        mode = list == OPEN ? FILL : list == NEARLY_FULL ? TOP_UP : NONE;
    }
    auto mayDecode = [&] { return !d->decodeDone && (!hasVideo || d->VideoFramesWaiting() <= VIDEO_LIST_MAX); };
    if (AudioHasStalled) {
        if (mode == NONE || !mayDecode()) {
            LogWarn(VB_MEDIAOUT, "Stalled audio, buffers are full.  %d\n", (int)d->decodeDone);
        } else {
            LogWarn(VB_MEDIAOUT, "Stalled audio, buffers still filling.\n");
        }
    }
    bool filled = mode == FILL;

    if (mode == FILL) {
        for (int steps = 0; steps < MAX_DECODE_STEPS && mayDecode(); ++steps) {
            DecodeStep(d);
            PushAudio(d);
            if (hasVideo) {
                if (d->VideoFramesWaiting() > VIDEO_LIST_NEARLY_FULL) break;
            } else {
                total = QueuedBytes(d) + d->pendingLen;
                if (total >= d->minQueueBytes) {
                    if (total < d->bufferSize) mode = TOP_UP;
                    else mode = NONE;
                    break;
                }
            }
        }
    }
    if (mode == TOP_UP) {
        int start = QueuedBytes(d) + d->pendingLen;
        // A tenth of a second with video, whose frames need the thread
        // often. Sound alone fills the queue in one go: a few long passes
        // cost far less CPU than many short ones, whose wake-ups and cold
        // caches cost more than the decoding.
        int wanted = hasVideo ? d->bytesPerSample * d->sampleRate * d->channels / 10 : d->bufferSize - start;
        int maxSteps = hasVideo ? MAX_DECODE_STEPS : MAX_AUDIO_TOP_UP_STEPS;
        for (int steps = 0; steps < maxSteps && mayDecode(); ++steps) {
            DecodeStep(d);
            PushAudio(d);
            if (QueuedBytes(d) + d->pendingLen - start >= wanted) break;
        }
    }
    return filled;
}

void SDL::runDecode() {
    SetThreadName("KIV-SDLDecode");
    std::string priority = RaiseThreadPriority(ThreadRole::Decode);
    LogDebug(VB_MEDIAOUT, "Media decode thread started (%s)\n", priority.c_str());
    while (m_runDecode) {
        decoding = true;
        SDLDecodeData* d = current;
        if (!d) {
            decoding = false;
            std::unique_lock<std::mutex> lock(m_decodeWakeLock);
            m_decodeWake.wait_for(lock, std::chrono::milliseconds(250), [this] { return !m_runDecode || m_wakeDecode; });
            m_wakeDecode = false;
            continue;
        }
        bool filled = DecodePass(d);
        bool moreVideo = d->videoStreamIdx >= 0 && !d->decodeDone && d->VideoFramesWaiting() < VIDEO_LIST_LOW;
        int sleepUs = filled ? 10000 : 25000;
        if (d->videoStreamIdx < 0 && d->audioDevice) {
            // More than the two seconds queued: the next pass can wait until
            // nearly all of the surplus has played, and then decode it back
            // in one go. Each pass starts with the decoder's tables out of
            // the caches, and a pass of half a second of sound costs about
            // twice the CPU per second of one of two seconds.
            double bytesPerSecond = (double)d->sampleRate * d->FrameBytes();
            long long surplus = (long long)QueuedBytes(d) + d->pendingLen - d->minQueueBytes;
            if (d->decodeDone && d->pendingLen == 0) {
                // All of it queued: nothing to do until the next file.
                sleepUs = IDLE_PASS_US;
            } else if (surplus > 0) {
                sleepUs = (int)std::max(25000.0, surplus / bytesPerSecond * 1e6 - WAKE_MARGIN_US);
            }
        }
        decoding = false;
        if (moreVideo) continue;
        std::unique_lock<std::mutex> lock(m_decodeWakeLock);
        m_decodeWake.wait_for(lock, std::chrono::microseconds(sleepUs), [this] { return !m_runDecode || m_wakeDecode; });
        m_wakeDecode = false;
    }
    state = THREAD_ENDED;
    LogDebug(VB_MEDIAOUT, "Media decode thread ended\n");
}

// ---------------------------------------------------------------------------
// SDLOutput

static bool ShowsVideo(const std::string& videoOut) {
    return !videoOut.empty() && videoOut != "--Disabled--" && videoOut != "--HDMI--" && videoOut != "HDMI";
}

SDLOutput::SDLOutput(const std::string& mediaFilename, MediaOutputStatus* status, const std::string& videoOut) {
    LogDebug(VB_MEDIAOUT, "SDLOutput::SDLOutput(%s)\n", mediaFilename.c_str());
    m_mediaOutputStatus = status;
    if (status) {
        status->mediaSeconds = 0;
        status->status = MEDIAOUTPUTSTATUS_IDLE;
        status->secondsElapsed = 0;
        status->subSecondsElapsed = 0;
    }
    m_mediaFilename = mediaFilename;

    std::string path = ResolveMediaPath(mediaFilename);
    if (path.empty()) {
        LogErr(VB_MEDIAOUT, "%s does not exist!\n", mediaFilename.c_str());
        return;
    }
    SetCurrentMediaFilename(mediaFilename);
    InstallFFmpegLogging();

    if (sdlManager.initSDL()) sdlManager.openAudio();

    SDLDecodeData* d = new SDLDecodeData();
    m_data = d;
    d->sampleRate = sdlManager.rate;
    d->bytesPerSample = sdlManager.bytesPerSample;
    d->channels = sdlManager.channels;
    d->isFloat = sdlManager.isFloat;
    d->minQueueBytes = 2 * d->sampleRate * d->bytesPerSample * d->channels;
    d->bufferSize = d->minQueueBytes * d->channels;
    d->decodeBuffer.assign(d->bufferSize, 0);
    d->packet = av_packet_alloc();
    d->frame = av_frame_alloc();

    int rc = avformat_open_input(&d->formatContext, path.c_str(), nullptr, nullptr);
    if (rc < 0) {
        char err[AV_ERROR_MAX_STRING_SIZE];
        av_strerror(rc, err, sizeof(err));
        LogErr(VB_MEDIAOUT, "Could not open media file %s: %s\n", path.c_str(), err);
        d->formatContext = nullptr;
        SetCurrentMediaFilename("");
        d->decodeDone = true;
        return;
    }
    if (avformat_find_stream_info(d->formatContext, nullptr) < 0) {
        LogErr(VB_MEDIAOUT, "Could not find suitable input stream!\n");
        avformat_close_input(&d->formatContext);
        SetCurrentMediaFilename("");
        d->decodeDone = true;
        return;
    }

    if (OpenDecoder(d->formatContext, AVMEDIA_TYPE_AUDIO, d->audioStreamIdx, d->audioCodecContext,
                    d->audioStream) < 0) {
        d->audioStreamIdx = -1;
    }

    if (ShowsVideo(videoOut)) {
        PixelOverlayModel* model = PixelOverlayManager::INSTANCE.getModel(videoOut);
        if (!model) {
            LogErr(VB_MEDIAOUT, "Video output '%s' is not a pixel overlay model; %s plays without its picture\n",
                   videoOut.c_str(), mediaFilename.c_str());
        } else if (OpenDecoder(d->formatContext, AVMEDIA_TYPE_VIDEO, d->videoStreamIdx, d->videoCodecContext,
                               d->videoStream) >= 0) {
            d->overlayModel = model;
            d->modelWidth = model->getWidth();
            d->modelHeight = model->getHeight();
        } else {
            d->videoStreamIdx = -1;
        }
    } else if (!videoOut.empty() && videoOut != "--Disabled--") {
        LogDebug(VB_MEDIAOUT, "Video output '%s': no picture is shown for %s\n", videoOut.c_str(),
                 mediaFilename.c_str());
    }

    int64_t duration = d->formatContext->duration;
    if (duration == AV_NOPTS_VALUE || duration < 0) duration = 0;
    if (duration <= INT64_MAX - 5000) duration += 5000;
    int secs = (int)(duration / AV_TIME_BASE);
    if (status) {
        status->minutesTotal = secs / 60;
        status->secondsTotal = secs % 60;
        status->secondsRemaining = secs;
        status->subSecondsRemaining = 0;
    }
    d->durationSeconds = secs + (float)((duration % AV_TIME_BASE) / 10000) / 100.0f;

    if (d->audioStreamIdx >= 0) {
        AVChannelLayout inLayout, outLayout;
        av_channel_layout_default(&inLayout, d->audioCodecContext->ch_layout.nb_channels);
        av_channel_layout_from_mask(&outLayout, AudioLayoutChannelMask(getSettingInt("AudioLayout", 0)));
        if (outLayout.nb_channels != d->channels) {
            // The device gave another channel count than asked for.
            av_channel_layout_uninit(&outLayout);
            av_channel_layout_default(&outLayout, d->channels);
        }
        AVSampleFormat outFormat = d->bytesPerSample == 2 ? AV_SAMPLE_FMT_S16
                                   : d->isFloat           ? AV_SAMPLE_FMT_FLT
                                                          : AV_SAMPLE_FMT_S32;
        rc = swr_alloc_set_opts2(&d->swrContext, &outLayout, outFormat, d->sampleRate, &inLayout,
                                 d->audioCodecContext->sample_fmt, d->audioCodecContext->sample_rate, 0, nullptr);
        if (rc < 0 || swr_init(d->swrContext) < 0) {
            LogErr(VB_MEDIAOUT, "Cannot convert the audio of %s to the device format\n", mediaFilename.c_str());
            swr_free(&d->swrContext);
            avcodec_free_context(&d->audioCodecContext);
            d->audioStreamIdx = -1;
        }
        av_channel_layout_uninit(&inLayout);
        av_channel_layout_uninit(&outLayout);
        d->expectedBytes =
            (long long)(d->sampleRate * d->durationSeconds) * d->bytesPerSample * d->channels;
    }

    if (d->videoStreamIdx >= 0) {
        AVStream* vs = d->videoStream;
        AVRational fr = vs->avg_frame_rate.num > 0 ? vs->avg_frame_rate : vs->r_frame_rate;
        d->videoFrameCount = vs->nb_frames;
        if (d->videoFrameCount > 0 && fr.num > 0 && vs->duration != AV_NOPTS_VALUE) {
            d->videoTicksPerSecond = vs->duration * fr.num / (d->videoFrameCount * (long long)fr.den);
        }
        d->videoLengthMs = fr.num > 0 ? d->videoFrameCount * fr.den * 1000 / fr.num : 0;
        if ((d->videoLengthMs < 1 || d->videoFrameCount < 1) && fr.den != 0) {
            // No frame count in the stream (Matroska, WebM): from the container.
            d->videoLengthMs = duration / 1000;
            d->videoFrameCount = fr.num > 0 ? duration * fr.num / ((long long)fr.den * AV_TIME_BASE) : 0;
        }
        if (av_image_alloc(d->scaledData, d->scaledLinesize, d->modelWidth, d->modelHeight, AV_PIX_FMT_RGB24, 32) <
            0) {
            LogErr(VB_MEDIAOUT, "Out of memory for the %dx%d picture of %s\n", d->modelWidth, d->modelHeight,
                   mediaFilename.c_str());
            avcodec_free_context(&d->videoCodecContext);
            d->videoStreamIdx = -1;
            d->overlayModel = nullptr;
        } else if (d->videoCodecContext->pix_fmt != AV_PIX_FMT_NONE) {
            d->swsContext = sws_getContext(d->videoCodecContext->width, d->videoCodecContext->height,
                                           d->videoCodecContext->pix_fmt, d->modelWidth, d->modelHeight,
                                           AV_PIX_FMT_RGB24, SWS_BICUBIC, nullptr, nullptr, nullptr);
        }
    }

    LogDebug(VB_MEDIAOUT, "%s: %.2f s, audio stream %d, video stream %d\n", mediaFilename.c_str(),
             (double)d->durationSeconds, d->audioStreamIdx, d->videoStreamIdx);
    d->stopped = 0;
    DecodeStep(d);
}

SDLOutput::~SDLOutput() {
    LogDebug(VB_MEDIAOUT, "SDLOutput::~SDLOutput() %X\n", (unsigned)(uintptr_t)this);
    Close();
    SDLDecodeData* d = m_data;
    if (!d) return;
    m_data = nullptr;
    av_frame_free(&d->frame);
    av_packet_free(&d->packet);
    avcodec_free_context(&d->audioCodecContext);
    avcodec_free_context(&d->videoCodecContext);
    sws_freeContext(d->swsContext);
    if (d->scaledData[0]) av_freep(&d->scaledData[0]);
    if (d->formatContext) avformat_close_input(&d->formatContext);
    swr_free(&d->swrContext);
    delete d;
}

bool SDLOutput::HasAudio() const { return m_data && m_data->audioStreamIdx >= 0; }
bool SDLOutput::HasVideo() const { return m_data && m_data->videoStreamIdx >= 0; }

int SDLOutput::Start(int msTime) {
    LogDebug(VB_MEDIAOUT, "SDLOutput::Start() %X\n", (unsigned)msTime);
    SDLDecodeData* d = m_data;
    if (!d || (d->audioStreamIdx < 0 && d->videoStreamIdx < 0)) {
        if (m_mediaOutputStatus) m_mediaOutputStatus->status = MEDIAOUTPUTSTATUS_IDLE;
        return 0;
    }
    // A remote's frames follow its master, not its own copy of the song.
    if (getKIVmode() != MODE_REMOTE) SetChannelOutputFrameNumber(0);
    bool haveSDL = sdlManager.initSDL() && sdlManager.openAudio();
    SDL_AudioDeviceID device = haveSDL && d->audioStreamIdx >= 0 ? sdlManager.audioDevice : 0;
    bool hasVideo = d->videoStreamIdx >= 0;
    if (!device && !hasVideo) {
        if (noDeviceWarning) WarningHolder::AddWarningTimeout(noDeviceError, 60);
        if (m_mediaOutputStatus) m_mediaOutputStatus->status = MEDIAOUTPUTSTATUS_IDLE;
        Stop();
        return 0;
    }

    {
        std::lock_guard<std::mutex> lock(d->mutex);
        d->bytesSent = 0;
    }
    if (msTime > 0) {
        // Whole sample frames only: a cut inside one would swap channels
        // and bytes for the rest of the song.
        long long frameBytes = d->FrameBytes();
        long long target = (long long)(d->sampleRate * ((float)msTime * d->channels * d->bytesPerSample / 1000.0f));
        target -= target % frameBytes;
        auto step = [&] {
            if (!d->decodeDone && (!hasVideo || d->VideoFramesWaiting() <= VIDEO_LIST_MAX)) DecodeStep(d);
        };
        for (;;) {
            long long sent;
            {
                std::lock_guard<std::mutex> lock(d->mutex);
                sent = d->bytesSent;
            }
            if (sent >= target) break;
            long long distance = target - sent;
            if (distance < d->pendingLen) {
                memmove(d->decodeBuffer.data(), d->decodeBuffer.data() + distance, d->pendingLen - distance);
                d->pendingLen -= (int)distance;
                {
                    std::lock_guard<std::mutex> lock(d->mutex);
                    d->bytesSent = target;
                }
                step();
                {
                    // Keep the frame on screen at msTime, drop the ones before it.
                    std::lock_guard<std::mutex> lock(d->videoLock);
                    while (d->videoFrames.size() > 1 && d->videoFrames[1].timeMs <= msTime) d->videoFrames.pop_front();
                    d->currentFrame = 0;
                }
                step();
            } else {
                {
                    std::lock_guard<std::mutex> lock(d->mutex);
                    d->bytesSent += d->pendingLen;
                }
                d->pendingLen = 0;
                if (d->audioStreamIdx < 0) {
                    // Without sound the picture's own times tell how far to go.
                    std::lock_guard<std::mutex> lock(d->mutex);
                    d->bytesSent = target;
                }
                {
                    std::lock_guard<std::mutex> lock(d->videoLock);
                    while (d->videoFrames.size() > 1 && d->videoFrames[1].timeMs <= msTime) d->videoFrames.pop_front();
                    d->currentFrame = 0;
                }
                if (d->decodeDone) break;
                step();
            }
        }
        if (d->audioStreamIdx < 0 && hasVideo) {
            // Decode on until the picture at msTime is in the list.
            for (int guard = 0; guard < 100000 && !d->decodeDone; ++guard) {
                {
                    std::lock_guard<std::mutex> lock(d->videoLock);
                    while (d->videoFrames.size() > 1 && d->videoFrames[1].timeMs <= msTime) d->videoFrames.pop_front();
                    d->currentFrame = 0;
                    if (!d->videoFrames.empty() && d->videoFrames.back().timeMs > msTime) break;
                }
                DecodeStep(d);
            }
        }
    }

    // The device takes whole buffers: with less than one queued, the first
    // one would be half silence. Two seconds, as the decode thread keeps.
    while (!d->decodeDone && d->pendingLen < d->minQueueBytes &&
           (!hasVideo || d->VideoFramesWaiting() <= VIDEO_LIST_MAX)) {
        int before = d->pendingLen;
        DecodeStep(d);
        if (d->pendingLen == before && d->audioStreamIdx < 0) break;
    }
    sdlManager.StartDecodeThread();

    d->audioDevice = device;
    if (device) {
        sdlManager.ClearQueue();
        {
            // The first byte the device takes is where the start seeked to.
            std::lock_guard<std::mutex> lock(d->mutex);
            AudioClock::INSTANCE.Start(d->bytesSent, (double)d->sampleRate * d->FrameBytes(), sdlManager.latencyUs);
        }
        PushAudio(d);
    } else {
        std::lock_guard<std::mutex> lock(d->mutex);
        d->bytesSent = 0;
        d->pendingLen = 0;
    }
    // A start into the file counts the clock from there as well; the
    // monotonic clock, so setting the wall clock does not move the media.
    d->startTimeMs = GetMonotonicMS() - msTime;
    lastCurTime = -1;
    ProcessCount = 0;
    AudioHasStalled = false;
    if (device) SDL_PauseAudioDevice(device, 0);
    sdlManager.state = SDL::PLAYING;
    sdlManager.current = d;
    sdlManager.WakeDecodeThread();
    if (!device && noDeviceWarning && d->audioStreamIdx >= 0) {
        WarningHolder::AddWarningTimeout(noDeviceError, 60);
        LogDebug(VB_MEDIAOUT, "%s: no audio device, the picture runs on the wall clock\n", m_mediaFilename.c_str());
    }
    if (d->overlayModel) StartChannelOutputThread();
    if (m_mediaOutputStatus) m_mediaOutputStatus->status = MEDIAOUTPUTSTATUS_PLAYING;
    m_isPlaying = true;
    return 1;
}

int SDLOutput::Stop() {
    LogDebug(VB_MEDIAOUT, "SDLOutput::Stop()\n");
    SDLDecodeData* d = m_data;
    SDLDecodeData* playing = sdlManager.current;
    // Another output's playback is left alone.
    if (sdlManager.state == SDL::PLAYING && (playing == d || playing == nullptr)) sdlManager.Stop();
    if (d) {
        ++d->stopped;
        if (d->videoStreamIdx >= 0 && d->overlayModel) d->overlayModel->setState(PixelOverlayModel::STATE_DISABLED);
    }
    if (m_mediaOutputStatus) m_mediaOutputStatus->status = MEDIAOUTPUTSTATUS_IDLE;
    m_isPlaying = false;
    return 1;
}

int SDLOutput::Close() {
    LogDebug(VB_MEDIAOUT, "SDLOutput::Close()\n");
    Stop();
    if (sdlManager.current == nullptr) sdlManager.Close();
    if (m_data && m_data->overlayModel) {
        m_data->overlayModel->clearOverlayBuffer();
        m_data->overlayModel->flushOverlayBuffer();
        m_data->overlayModel = nullptr;
    }
    return 1;
}

int SDLOutput::IsPlaying() { return m_mediaOutputStatus && m_mediaOutputStatus->status == MEDIAOUTPUTSTATUS_PLAYING; }

static void SplitSeconds(float seconds, int& whole, int& hundredths) {
    if (seconds < 0) seconds = 0;
    whole = (int)seconds;
    hundredths = (int)((seconds - whole) * 100);
}

int SDLOutput::Process() {
    SDLDecodeData* d = m_data;
    if (!d) return 0;
    MediaOutputStatus* st = m_mediaOutputStatus;
    if (!st) return 0;

    if (d->audioStreamIdx >= 0 && d->audioDevice) {
        double seconds = 0;
        AudioClock::INSTANCE.Position(AudioClock::NowUs(), seconds);
        int queued = sdlManager.Queued();
        long long pos = std::llround(seconds * 1e6);
        if (pos == lastCurTime) {
            if (++ProcessCount >= STALL_PROCESS_CALLS) {
                LogWarn(VB_MEDIAOUT, "Audio has stalled   %d\n", (int)d->decodeDone);
                AudioHasStalled = true;
                ProcessCount = 0;
            }
        } else {
            ProcessCount = 0;
            AudioHasStalled = false;
        }
        lastCurTime = pos;
        st->mediaSeconds = (float)seconds;
        SplitSeconds(st->mediaSeconds, st->secondsElapsed, st->subSecondsElapsed);
        SplitSeconds(d->durationSeconds - st->mediaSeconds, st->secondsRemaining, st->subSecondsRemaining);
        // Over when the last of the song has been heard, not merely taken.
        if (d->decodeDone && queued == 0 && seconds >= AudioClock::INSTANCE.TakenSeconds()) {
            st->status = MEDIAOUTPUTSTATUS_IDLE;
            // Past its end a song is no clock for the frames.
            AudioClock::INSTANCE.Stop();
        }
    } else if (d->videoStreamIdx >= 0) {
        st->mediaSeconds = (float)((GetMonotonicMS() - d->startTimeMs) / 1000.0);
        SplitSeconds(st->mediaSeconds, st->secondsElapsed, st->subSecondsElapsed);
        float remaining = d->videoLengthMs / 1000.0f - st->mediaSeconds;
        SplitSeconds(remaining, st->secondsRemaining, st->subSecondsRemaining);
        if (remaining < 0 && d->decodeDone) st->status = MEDIAOUTPUTSTATUS_IDLE;
    }

    if (multiSync && multiSync->m_sendMediaSync) multiSync->SendMediaSyncPacket(m_mediaFilename, st->mediaSeconds);
    LogExcess(VB_MEDIAOUT, "Elapsed: %.2d.%.3d  Remaining: %.2d Total %.2d:%.2d.\n", st->secondsElapsed,
              st->subSecondsElapsed, st->secondsRemaining, st->minutesTotal, st->secondsTotal);
    CalculateNewChannelOutputDelay(st->mediaSeconds);
    m_isPlaying = st->status == MEDIAOUTPUTSTATUS_PLAYING;
    return m_isPlaying;
}

bool SDLOutput::IsOverlayingVideo() {
    std::lock_guard<std::mutex> lock(sdlManager.overlayLock);
    SDLDecodeData* d = sdlManager.current;
    return d && d->videoStreamIdx >= 0 && d->overlayModel && d->stopped == 0;
}

int SDLOutput::ProcessVideoOverlay(unsigned int msTime) {
    std::lock_guard<std::mutex> lock(sdlManager.overlayLock);
    SDLDecodeData* d = sdlManager.current;
    if (!d || d->stopped || d->videoStreamIdx < 0 || !d->overlayModel) return 0;
    std::lock_guard<std::mutex> video(d->videoLock);
    if (d->currentFrame >= d->videoFrames.size()) return 0;
    while (d->currentFrame + 1 < d->videoFrames.size() && d->videoFrames[d->currentFrame + 1].timeMs <= (int)msTime) {
        ++d->currentFrame;
    }
    if (d->videoLengthMs > 0 && (long long)msTime > d->videoLengthMs) return 0;
    d->overlayModel->setData(d->videoFrames[d->currentFrame].data.data());
    if (d->overlayModel->getState() == PixelOverlayModel::STATE_DISABLED) {
        d->overlayModel->setState(PixelOverlayModel::STATE_ENABLED);
    }
    return 1;
}

int SDLOutput::GetAudioSamples(float* samples, int count, int& sampleRate) {
    std::lock_guard<std::mutex> lock(sdlManager.overlayLock);
    SDLDecodeData* d = sdlManager.current;
    if (!d || !d->audioDevice || count <= 0) return 0;
    int frameBytes = d->FrameBytes();
    std::vector<uint8_t> heard((size_t)count * frameBytes);
    sdlManager.CopyHeard(heard.data(), (int)heard.size(), frameBytes);
    for (int i = 0; i < count; ++i) {
        const uint8_t* p = heard.data() + (size_t)i * frameBytes;
        if (d->bytesPerSample == 2) {
            int16_t v;
            memcpy(&v, p, 2);
            samples[i] = v / 32767.0f;
        } else if (d->isFloat) {
            memcpy(&samples[i], p, 4);
        } else {
            int32_t v;
            memcpy(&v, p, 4);
            samples[i] = (float)(v / 2415919104.0);
        }
    }
    sampleRate = d->sampleRate;
    return 1;
}
