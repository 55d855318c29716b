#include "FaultSupport.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <iterator>
#include <map>
#include <set>
#include <regex>
#include <sstream>

#include "KivdProcess.h"
#include "common.h"
#include "monitor/PacketDecoder.h"

namespace kivtest {

std::string loopbackFor(int a, int n) {
    static const int block = 1 + (int)getpid() % 250;
    return "127." + std::to_string(a) + "." + std::to_string(block) + "." + std::to_string(n);
}

std::string GridReport::describe() const {
    std::ostringstream s;
    s << frames << " frames, " << skipped << " skipped, " << repeats << " repeated, " << backwards
      << " backwards, " << damaged << " damaged, latest " << maxLateUs / 1000 << " ms behind the grid, longest gap "
      << maxGapUs / 1000 << " ms";
    // Which frames are missing tells a late read from a lost datagram.
    std::string gaps;
    for (size_t i = 1; i < delivered.size() && gaps.size() < 200; ++i) {
        if (delivered[i] > delivered[i - 1] + 1)
            gaps += " " + std::to_string(delivered[i - 1] + 1) +
                    (delivered[i] > delivered[i - 1] + 2 ? ".." + std::to_string(delivered[i] - 1) : "");
    }
    if (!gaps.empty()) s << "; missing:" << gaps;
    return s.str();
}

ShowSequences::ShowSequences(const std::string& mediaDir, const std::vector<std::string>& names,
                             std::vector<ShowSpec> specs)
    : m_media(mediaDir), m_names(names), m_specs(std::move(specs)) {
    m_ok = m_names.size() == m_specs.size();
    for (size_t i = 0; m_ok && i < m_specs.size(); ++i) {
        m_specs[i].seed = 100 + (uint32_t)i;
        m_ok = GenerateShow(path((int)i), m_specs[i]);
    }
}

std::string ShowSequences::path(int i) const { return m_media + "/sequences/" + m_names[i]; }

ShowFrame ShowSequences::identify(const uint8_t* data, size_t len, long long timeUs, size_t first) const {
    ShowFrame f;
    f.timeUs = timeUs;
    f.blank = std::all_of(data, data + len, [](uint8_t b) { return b == 0; });
    if (f.blank || len < 8 || first % SHOW_UNIVERSE_SIZE != 0) return f;
    uint32_t frame = data[0] | (data[1] << 8) | (data[2] << 16) | ((uint32_t)data[3] << 24);
    for (int i = 0; i < count(); ++i) {
        if ((m_specs[i].seed & 0xFF) != data[7] || frame >= m_specs[i].frames) continue;
        f.sequence = i;
        f.frame = (int)frame;
        if (first + len <= m_specs[i].channels) {
            std::vector<uint8_t> rendered(m_specs[i].channels);
            RenderShowFrame(m_specs[i], frame, rendered.data());
            f.exact = memcmp(rendered.data() + first, data, len) == 0;
        }
        break;
    }
    return f;
}

std::vector<ShowFrame> ShowSequences::decode(const std::vector<Datagram>& datagrams) const {
    std::vector<ShowFrame> out;
    for (auto& g : datagrams) {
        DecodedPacket p = DecodeDDP(g.bytes.data(), g.bytes.size());
        if (!p.valid || !p.push || p.offset != 0) continue;
        out.push_back(identify(p.data, p.length, g.timeUs));
    }
    return out;
}

std::vector<std::vector<uint8_t>> ddpFrames(const std::vector<Datagram>& datagrams, size_t channels) {
    std::vector<std::vector<uint8_t>> frames;
    std::vector<uint8_t> current(channels, 0);
    for (auto& g : datagrams) {
        DecodedPacket p = DecodeDDP(g.bytes.data(), g.bytes.size());
        if (!p.valid || p.offset > channels || p.length > channels - p.offset) continue;
        memcpy(current.data() + p.offset, p.data, p.length);
        if (p.push) frames.push_back(current);
    }
    return frames;
}

GridReport analyseGrid(const std::vector<ShowFrame>& run, int stepMs) {
    GridReport r;
    long long periodUs = stepMs * 1000LL;
    int maxSeen = -1, prev = -1, first = INT_MAX;
    long long anchor = LLONG_MAX, prevTime = 0;
    std::vector<const ShowFrame*> kept;
    for (auto& f : run) {
        if (f.sequence < 0) continue;
        if (!f.exact) ++r.damaged;
        if (prevTime && f.timeUs - prevTime > r.maxGapUs) r.maxGapUs = f.timeUs - prevTime;
        prevTime = f.timeUs;
        if (f.frame == prev) {
            ++r.repeats;
            continue;
        }
        prev = f.frame;
        if (f.frame < maxSeen) {
            ++r.backwards;
            continue;
        }
        maxSeen = f.frame;
        first = std::min(first, f.frame);
        ++r.frames;
        kept.push_back(&f);
        r.delivered.push_back(f.frame);
        anchor = std::min(anchor, f.timeUs - f.frame * periodUs);
    }
    if (!kept.empty()) r.skipped = (maxSeen - first + 1) - r.frames;
    for (auto* f : kept) r.maxLateUs = std::max(r.maxLateUs, f->timeUs - f->frame * periodUs - anchor);
    return r;
}

std::vector<SequenceRun> splitRuns(const std::vector<ShowFrame>& frames, int stepMs) {
    std::vector<SequenceRun> runs;
    std::vector<ShowFrame> current;
    auto flush = [&] {
        if (current.empty()) return;
        SequenceRun r;
        r.sequence = current.front().sequence;
        r.firstFrame = current.front().frame;
        r.lastFrame = current.back().frame;
        r.startUs = current.front().timeUs;
        r.endUs = current.back().timeUs;
        r.grid = analyseGrid(current, stepMs);
        runs.push_back(r);
        current.clear();
    };
    for (auto& f : frames) {
        if (f.sequence < 0) {
            flush();
            continue;
        }
        if (!current.empty() &&
            (f.sequence != current.back().sequence || (f.frame < current.back().frame && f.frame <= 1))) {
            flush();
        }
        current.push_back(f);
    }
    flush();
    return runs;
}

ShowUnderTest::ShowUnderTest(const std::string& mediaDir, const std::vector<std::string>& names,
                             std::vector<ShowSpec> specs, int loopbackA)
    : m_media(mediaDir),
      m_seqs(mediaDir, names, std::move(specs)),
      m_address(loopbackFor(loopbackA, 1)),
      m_ddp(m_address, 4048) {}

void ShowUnderTest::writePlaylist(const std::string& name, const std::vector<int>& sequences) {
    std::string entries;
    for (int i : sequences) {
        if (!entries.empty()) entries += ", ";
        entries += R"({"type": "sequence", "sequenceName": ")" + m_seqs.name(i) + R"("})";
    }
    PutFileContents(m_media + "/playlists/" + name + ".json", R"({"mainPlaylist": [)" + entries + "]}");
}

void ShowUnderTest::writeOutputs(const std::string& moreUniverses, const std::string& engineKeys) {
    PutFileContents(m_media + "/config/channeloutputs.json",
                    R"({"channelOutputs": [{"type": "UDP", "enabled": 1, )" + engineKeys +
                        R"("universes": [{"description": "yard", "type": 4, "address": ")" + m_address +
                        R"(", "startChannel": 1, "channelCount": 512})" +
                        (moreUniverses.empty() ? "" : ", " + moreUniverses) + "]}]}");
}

void ShowUnderTest::writeSchedule(const std::vector<std::string>& rows) {
    std::string text;
    for (auto& r : rows) text += (text.empty() ? "" : ", ") + r;
    PutFileContents(m_media + "/config/schedule.json", "[" + text + "]");
}

void ShowUnderTest::collect() {
    auto got = m_seqs.decode(m_ddp.take());
    m_seen.insert(m_seen.end(), got.begin(), got.end());
}

bool ShowUnderTest::waitForFrame(int sequence, int frame, int timeoutMs) {
    size_t from = m_seen.size();
    return waitUntil(
        [&] {
            collect();
            for (size_t i = from; i < m_seen.size(); ++i)
                if (m_seen[i].sequence == sequence && m_seen[i].frame >= frame) return true;
            return false;
        },
        timeoutMs);
}

void ShowUnderTest::collectFor(int ms) {
    long long end = GetTime() + ms * 1000LL;
    while (GetTime() < end) {
        collect();
        usleep(20000);
    }
    collect();
}

std::string ShowUnderTest::describe(int stepMs) const {
    std::string s;
    long long prevEnd = 0;
    for (auto& r : runs(stepMs)) {
        s += "  " + m_seqs.name(r.sequence) + " frames " + std::to_string(r.firstFrame) + ".." +
             std::to_string(r.lastFrame) + (prevEnd ? " after " + std::to_string((r.startUs - prevEnd) / 1000) + " ms" : "") +
             ": " + r.grid.describe() + "\n";
        prevEnd = r.endUs;
    }
    return s;
}

std::vector<long long> frameOffsets(const std::vector<ShowFrame>& reference, const std::vector<ShowFrame>& other,
                                    int sequence) {
    std::map<int, long long> first;
    for (auto& f : reference) {
        if (f.sequence == sequence && !first.count(f.frame)) first[f.frame] = f.timeUs;
    }
    std::vector<long long> offsets;
    std::set<int> done;
    for (auto& f : other) {
        auto it = first.find(f.frame);
        if (f.sequence != sequence || it == first.end() || !done.insert(f.frame).second) continue;
        offsets.push_back(f.timeUs - it->second);
    }
    return offsets;
}

bool jsonFileIsWhole(const std::string& path, std::string* why) {
    if (!FileExists(path)) return true;
    std::string text = GetFileContents(path);
    Json::Value v;
    if (text.empty() || !LoadJsonFromString(text, v)) {
        if (why) *why = path + " holds " + std::to_string(text.size()) + " bytes that do not parse: '" + text + "'";
        return false;
    }
    return true;
}

bool logIsWholeLines(const std::string& text, std::string* why) {
    if (text.empty()) return true;
    if (text.back() != '\n') {
        if (why) *why = "the log ends inside a line: '" + tail(text, 200) + "'";
        return false;
    }
    if (text.find('\0') != std::string::npos) {
        if (why) *why = "the log holds NUL bytes at " + std::to_string(text.find('\0'));
        return false;
    }
    // A line cut short and the next one glued to it: a second time stamp
    // inside one line.
    static const std::regex stamp(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \(\d+\) \[)");
    size_t start = 0;
    int lineNo = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end - start);
        ++lineNo;
        std::smatch m;
        if (line.size() > 1 && std::regex_search(line.cbegin() + 1, line.cend(), m, stamp)) {
            if (why) *why = "line " + std::to_string(lineNo) + " holds two lines glued: '" + line + "'";
            return false;
        }
        start = end + 1;
    }
    return true;
}

static std::string makeDir(const char* prefix) {
    std::string tmpl = std::string("/tmp/") + prefix + "XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back(0);
    char* d = mkdtemp(buf.data());
    return d ? d : "";
}

TmpfsMount::TmpfsMount(size_t bytes) {
    m_path = makeDir("kivtmpfs-");
    if (m_path.empty()) {
        m_error = "no folder for the mount";
        return;
    }
    std::string opts = "size=" + std::to_string(bytes) + ",mode=0775";
    if (mount("tmpfs", m_path.c_str(), "tmpfs", 0, opts.c_str()) != 0) {
        m_error = std::string("mount tmpfs: ") + strerror(errno);
        return;
    }
    m_mounted = true;
}

TmpfsMount::~TmpfsMount() {
    if (m_mounted) umount2(m_path.c_str(), MNT_DETACH);
    if (!m_path.empty()) rmdir(m_path.c_str());
}

DiskFiller::DiskFiller(const std::string& dir) : m_file(dir + "/.filler") { fill(); }

DiskFiller::~DiskFiller() { release(); }

bool DiskFiller::fill() {
    int fd = open(m_file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    std::vector<char> block(65536, 'x');
    // Big blocks first, then single bytes, so not even the tail of a page
    // stays free.
    for (size_t size : {(size_t)65536, (size_t)4096, (size_t)1}) {
        while (write(fd, block.data(), size) == (ssize_t)size) {
        }
    }
    m_full = errno == ENOSPC;
    close(fd);
    return m_full;
}

void DiskFiller::release() {
    unlink(m_file.c_str());
    m_full = false;
}

ReadOnlySwitch::ReadOnlySwitch(const std::string& dir) : m_dir(dir) {
    if (mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        m_error = std::string("bind mount: ") + strerror(errno);
        return;
    }
    m_mounted = true;
}

ReadOnlySwitch::~ReadOnlySwitch() {
    if (m_mounted) umount2(m_dir.c_str(), MNT_DETACH);
}

bool ReadOnlySwitch::setReadOnly(bool readOnly) {
    unsigned long flags = MS_REMOUNT | MS_BIND | (readOnly ? MS_RDONLY : 0);
    if (mount(nullptr, m_dir.c_str(), nullptr, flags, nullptr) != 0) {
        m_error = std::string("remount: ") + strerror(errno);
        return false;
    }
    return true;
}

static const char* FAKETIME_LIBRARY = "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1";

static std::string faketimeLibrary() {
    std::string out;
    // The multiarch folder differs between machines (amd64, arm64).
    if (runCommand("ls /usr/lib/*/faketime/libfaketimeMT.so.1 2>/dev/null | head -1", &out) == 0 && !out.empty()) {
        TrimWhiteSpace(out);
        return out;
    }
    return FAKETIME_LIBRARY;
}

bool FakeClock::available() { return FileExists(faketimeLibrary()); }

FakeClock::FakeClock() {
    m_dir = makeDir("kivclock-");
    m_file = m_dir + "/offset";
    setOffset(0);
}

FakeClock::~FakeClock() {
    if (!m_dir.empty()) runCommand("rm -rf '" + m_dir + "'");
}

void FakeClock::applyTo(KivdProcess& d) const {
    d.setEnv("LD_PRELOAD", faketimeLibrary());
    d.setEnv("FAKETIME_TIMESTAMP_FILE", m_file);
    d.setEnv("FAKETIME_CACHE_DURATION", "1");
    d.setEnv("FAKETIME_DONT_FAKE_MONOTONIC", "1");
    // File times stay true, as they do when NTP steps the clock.
    d.setEnv("NO_FAKE_STAT", "1");
    // Sanitizer runtimes must come first; libfaketime in front is harmless.
    d.setEnv("ASAN_OPTIONS", std::string(getenv("ASAN_OPTIONS") ? getenv("ASAN_OPTIONS") : "") +
                                 ":verify_asan_link_order=0");
}

bool FakeClock::setOffset(long seconds) {
    // Replaced whole, so the library never reads half a line.
    std::string tmp = m_file + ".new";
    FILE* f = fopen(tmp.c_str(), "w");
    if (!f) return false;
    fprintf(f, "%+ld\n", seconds);
    fclose(f);
    if (rename(tmp.c_str(), m_file.c_str()) != 0) return false;
    m_offset = seconds;
    return true;
}

std::string clockText(time_t t) {
    struct tm tm;
    localtime_r(&t, &tm);
    char buf[16];
    strftime(buf, sizeof(buf), "%H:%M:%S", &tm);
    return buf;
}

bool slotFitsToday(int fromNow, int toNow) {
    time_t now = time(nullptr);
    struct tm a, b, c;
    localtime_r(&now, &b);
    time_t s = now + fromNow, e = now + toNow;
    localtime_r(&s, &a);
    localtime_r(&e, &c);
    return a.tm_yday == b.tm_yday && c.tm_yday == b.tm_yday;
}

std::string scheduleRow(const std::string& playlist, int fromNow, int toNow, const std::string& stopType, bool repeat,
                        time_t base) {
    time_t now = base ? base : time(nullptr);
    return R"({"playlist": ")" + playlist + R"(", "day": "Everyday", "startTime": ")" + clockText(now + fromNow) +
           R"(", "endTime": ")" + clockText(now + toNow) + R"(", "repeat": )" + (repeat ? "true" : "false") +
           R"(, "stopType": ")" + stopType + R"("})";
}

std::string commandText(KivdProcess& d, const std::vector<std::string>& args, int timeoutSec) {
    std::string out;
    d.command(args, &out, timeoutSec);
    return out;
}

std::string playingPlaylist(KivdProcess& d) {
    Json::Value v = LoadJsonFromString(commandText(d, {"Get Playlist Status"}));
    return v["status"].asInt() != 0 ? v["playlist"].asString() : "";
}

int lateReads(const std::string& log, int lastFrame) {
    static const std::string said = " was not read in time";
    int n = 0;
    for (size_t p = log.find(said); p != std::string::npos; p = log.find(said, p + 1)) {
        size_t at = log.rfind("Frame ", p);
        if (at != std::string::npos && atoi(log.c_str() + at + 6) <= lastFrame) ++n;
    }
    return n;
}

int lateReads(KivdProcess& d, int lastFrame) { return lateReads(d.output(), lastFrame); }

std::set<int> catchUpSeeks(const std::string& log) {
    static const std::string said = "SeekSequenceFile(";
    std::set<int> seeks;
    for (size_t p = log.find(said); p != std::string::npos; p = log.find(said, p + 1))
        seeks.insert(atoi(log.c_str() + p + said.size()));
    return seeks;
}

int unexplainedSkips(const std::vector<int>& delivered, const std::set<int>& seeks) {
    int n = 0;
    for (size_t i = 1; i < delivered.size(); ++i) {
        int from = delivered[i - 1], to = delivered[i];
        // The latest jump into the gap left out the frames before it; the
        // missing ones after it (a frame of the new place read late) count.
        auto jump = seeks.upper_bound(to);
        if (jump != seeks.begin() && *std::prev(jump) > from) from = *std::prev(jump) - 1;
        n += std::max(0, to - from - 1);
    }
    return n;
}

int unexplainedSkips(const GridReport& grid, KivdProcess& d) {
    return unexplainedSkips(grid.delivered, catchUpSeeks(d.output()));
}

bool hasWarning(KivdProcess& d, const std::string& part) {
    return commandText(d, {"Get Warnings"}).find(part) != std::string::npos;
}

}  // namespace kivtest
