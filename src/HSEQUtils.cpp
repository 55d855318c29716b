// hsequtils: the command-line tool for sequence files. Prints a file's
// metadata as JSON (-j), dumps channel ranges frame by frame (-d), and
// converts a file to another version, compression or sparse layout,
// optionally merging other sequence files onto it (-m/-M). --frames keeps a
// span of frames and --eseq writes one channel range as a single-model
// effect file: together they cut an effect out of a show.
//
// Exit status: 0 done; 1 bad usage, an input that cannot be opened, an
// output that cannot be created or written, or frames that could not be read.

#include <getopt.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common.h"
#include "hseq/HSEQFile.h"
#include "log.h"
#include "settings.h"

// One frame of every channel a show can address in this tool.
static constexpr uint32_t FRAME_BUFFER_SIZE = 8216576;
static constexpr uint32_t ALL_CHANNELS = 999999999;

struct MergeSource {
    std::string filename;
    HSEQFile::RangeList ranges;
    bool copyZero = false;
    std::unique_ptr<HSEQFile> file;
};

static void usage(const char* appname) {
    printf("Usage: %s [OPTIONS] FileName.hseq\n", appname);
    printf("\n");
    printf("  Options:\n");
    printf("   -V                - Print version information\n");
    printf("   -v                - verbose\n");
    printf("   -o OUTPUTFILE     - Filename for Output HSEQ\n");
    printf("   -m HSEQFILE       - HSEQ to merge onto the input, ignoring 0\n");
    printf("   -M[ HSEQFILE      - HSEQ to merge onto the input, copy 0\n");
    printf("   -f #              - HSEQ Version\n");
    printf("   -c (none|zstd|zlib) - Compession type\n");
    printf("   -l #              - Compression level (-99 for default)\n");
    printf("   -r (#-# | #+#)    - Channel Range.  Use - to separate start/end channel\n");
    printf("                            Use + to separate start channel + num channels\n");
    printf("                       If used before first -m/-M argument, sets a sparse range of output\n");
    printf("                       If used after -m/-M argument, sets a range to read from last merged sequence.\n");
    printf("                       If used before -d argument, sets the range to dump.\n");
    printf("   -n                - No Sparse. -r will only read the range, but the resulting hseq is not sparse.\n");
    printf("   -j                - Output the hseq file metadata to json\n");
    printf("   -d                - Dump the hseq data to stdout in human-readable format\n");
    printf("   -h                - This help output\n");
}

// "a-b" (end inclusive) or "a+n" (start, count), numbered from `base`
// (channels from 1, frames from 0).
static bool parseRange(const char* text, std::pair<uint32_t, uint32_t>& range, unsigned base = 1) {
    char* end = nullptr;
    errno = 0;
    unsigned long long start = strtoull(text, &end, 10);
    if (end == text || (*end != '-' && *end != '+') || start < base || start > UINT32_MAX || errno || *text == '-') {
        return false;
    }
    char sep = *end;
    const char* second = end + 1;
    unsigned long long value = strtoull(second, &end, 10);
    if (end == second || *end != 0 || errno || value > UINT32_MAX || *second == '-') {
        return false;
    }
    if (sep == '-') {
        if (value < start) return false;
        range = {(uint32_t)(start - base), (uint32_t)(value - start + 1)};
    } else {
        range = {(uint32_t)(start - base), (uint32_t)value};
    }
    return true;
}

static void appendEscaped(std::string& out, const std::string& text) {
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
        } else if (c < 0x20) {
            char buf[8];
            snprintf(buf, sizeof(buf), "\\u%04x", c);
            out += buf;
        } else {
            out += (char)c;
        }
    }
}

// Text of a header that prints as a JSON string: printable code characters
// and data without control characters apart from one terminating NUL.
static bool headerText(const HSEQFile::VariableHeader& h, std::string& text) {
    auto printable = [](char c) { return (unsigned char)c > ' ' && (unsigned char)c < 0x7f; };
    if (!printable(h.code[0]) || !printable(h.code[1])) {
        return false;
    }
    size_t len = h.data.size();
    if (len && h.data[len - 1] == 0) {
        --len;
    }
    for (size_t i = 0; i < len; ++i) {
        if (h.data[i] < 0x20 || h.data[i] == 0x7f) {
            return false;
        }
    }
    text.assign((const char*)h.data.data(), len);
    return true;
}

static void printJson(HSEQFile* src, const std::string& filename) {
    std::string base = filename.substr(filename.find_last_of('/') == std::string::npos ? 0 : filename.find_last_of('/') + 1);
    std::string out = "{\"Name\": \"";
    appendEscaped(out, base);
    char buf[512];
    snprintf(buf, sizeof(buf),
             "\", \"Version\": \"%d.%d\", \"ID\": \"%llu\", \"StepTime\": %d, \"NumFrames\": %u, \"MaxChannel\": %u, "
             "\"ChannelCount\": %u",
             src->getVersionMajor(), src->getVersionMinor(), (unsigned long long)src->getUniqueId(), src->getStepTime(),
             src->getNumFrames(), src->getMaxChannel(), src->getChannelCount());
    out += buf;
    auto& headers = src->getVariableHeaders();
    if (!headers.empty()) {
        out += ", \"variableHeaders\": {";
        bool first = true;
        for (auto& h : headers) {
            std::string text;
            if (!headerText(h, text)) {
                continue;
            }
            if (!first) out += ", ";
            first = false;
            out += "\"";
            appendEscaped(out, std::string(h.code, 2));
            out += "\": \"";
            appendEscaped(out, text);
            out += "\"";
        }
        out += "}";
    }
    V2HSEQFile* v2 = dynamic_cast<V2HSEQFile*>(src);
    if (src->getVersionMajor() >= 2 && v2) {
        if (!v2->getSparseRanges().empty()) {
            out += ", \"Ranges\": [";
            bool first = true;
            for (auto& r : v2->getSparseRanges()) {
                snprintf(buf, sizeof(buf), "%s{\"Start\": %u, \"Length\": %u}", first ? "" : ", ", r.first, r.second);
                out += buf;
                first = false;
            }
            out += "]";
        }
        int type = v2->getCompressionType();
        snprintf(buf, sizeof(buf), ", \"CompressionType\": %d, \"CompressionTypeString\": \"%s\"", type,
                 (type >= 0 && type <= 2) ? HSEQFile::CompressionTypeStrings[type] : "unknown");
        out += buf;
    }
    out += "}";
    printf("%s\n", out.c_str());
}

// The part of a range that lies inside a buffer of size bytes.
static bool clipRange(const std::pair<uint32_t, uint32_t>& r, uint64_t size, uint32_t& start, uint32_t& count) {
    if (r.first >= size) return false;
    start = r.first;
    count = (uint32_t)std::min<uint64_t>(r.second, size - r.first);
    return count > 0;
}

static int dumpRanges(HSEQFile* src, const HSEQFile::RangeList& ranges) {
    uint64_t bufSize = std::max<uint64_t>(FRAME_BUFFER_SIZE, src->getMaxChannel());
    std::vector<uint8_t> buffer(bufSize);
    int missing = 0;
    src->prepareRead(ranges, 0);
    for (uint32_t f = 0; f < src->getNumFrames(); ++f) {
        std::unique_ptr<HSEQFile::FrameData> fd(src->getFrame(f));
        if (!fd || !fd->readFrame(buffer.data(), (uint32_t)bufSize)) {
            LogErr(VB_SEQUENCE, "Frame %u of %s could not be read\n", f, src->getFilename().c_str());
            ++missing;
            continue;
        }
        for (auto& r : ranges) {
            uint32_t start, count;
            if (!clipRange(r, bufSize, start, count)) continue;
            char title[128];
            snprintf(title, sizeof(title), "Frame: %d, Range: %d-%d", (int)f, (int)start, (int)(start + count - 1));
            HexDump(title, buffer.data() + start, (int)count, VB_SEQUENCE, 16);
        }
    }
    return missing ? 1 : 0;
}

int main(int argc, char* argv[]) {
    KIVLogger::INSTANCE.Init();
    HSEQFile::CompressionType compressionType = HSEQFile::CompressionType::zstd;
    int compressionLevel = -99;
    int fileVersionMajor = 2;
    int fileVersionMinor = 0;
    bool sparse = true;
    bool verbose = false;
    bool json = false;
    bool dump = false;
    std::string outputFilename;
    std::vector<MergeSource> merges;
    HSEQFile::RangeList ranges;

    std::pair<uint32_t, uint32_t> frames{0, UINT32_MAX};
    bool eseq = false;
    enum { OPT_FRAMES = 1000, OPT_ESEQ };
    static struct option longOptions[] = {{"help", no_argument, 0, 'h'},
                                          {"output", required_argument, 0, 'o'},
                                          {"frames", required_argument, 0, OPT_FRAMES},
                                          {"eseq", no_argument, 0, OPT_ESEQ},
                                          {0, 0, 0, 0}};
    int c;
    while ((c = getopt_long(argc, argv, "Vvo:m:M:f:c:l:r:njdh", longOptions, nullptr)) != -1) {
        switch (c) {
            case 'V':
                printVersionInfo();
                return 0;
            case 'v':
                verbose = true;
                break;
            case 'o':
                outputFilename = optarg;
                break;
            case 'm':
            case 'M': {
                MergeSource m;
                m.filename = optarg;
                m.copyZero = c == 'M';
                merges.push_back(std::move(m));
                break;
            }
            case 'f': {
                std::string v = optarg;
                size_t dot = v.find('.');
                fileVersionMajor = atoi(v.substr(0, dot).c_str());
                fileVersionMinor = dot == std::string::npos ? 0 : atoi(v.substr(dot + 1).c_str());
                break;
            }
            case 'c':
                if (strcmp(optarg, "none") == 0) {
                    compressionType = HSEQFile::CompressionType::none;
                } else if (strcmp(optarg, "zstd") == 0) {
                    compressionType = HSEQFile::CompressionType::zstd;
                } else if (strcmp(optarg, "zlib") == 0) {
                    compressionType = HSEQFile::CompressionType::zlib;
                } else {
                    printf("Unknown compression type: %s\n", optarg);
                    return 1;
                }
                break;
            case 'l':
                compressionLevel = atoi(optarg);
                break;
            case 'r': {
                std::pair<uint32_t, uint32_t> r;
                if (!parseRange(optarg, r)) {
                    printf("Invalid channel range: %s\n", optarg);
                    return 1;
                }
                if (merges.empty()) {
                    ranges.push_back(r);
                } else {
                    merges.back().ranges.push_back(r);
                }
                break;
            }
            case 'n':
                sparse = false;
                break;
            case 'j':
                json = true;
                break;
            case 'd':
                dump = true;
                break;
            case OPT_FRAMES:
                if (!parseRange(optarg, frames, 0) || frames.second == 0) {
                    printf("Invalid frame range: %s\n", optarg);
                    return 1;
                }
                break;
            case OPT_ESEQ:
                eseq = true;
                break;
            case 'h':
                usage(argv[0]);
                return 0;
            default:
                usage(argv[0]);
                return 1;
        }
    }

    if (verbose) {
        SetLogFile("stdout", false);
        KIVLogger::INSTANCE.SetAllLevel(LOG_DEBUG);
    } else {
        SetLogFile("stderr", false);
    }

    if (optind >= argc) {
        usage(argv[0]);
        return 1;
    }
    std::string inputFilename = argv[optind];
    std::unique_ptr<HSEQFile> src(HSEQFile::openHSEQFile(inputFilename));
    if (!src) {
        return 1;
    }

    if (json) {
        printJson(src.get(), inputFilename);
        return 0;
    }
    if (dump) {
        if (ranges.empty()) {
            printf("No channel range specified\n");
            return 1;
        }
        return dumpRanges(src.get(), ranges);
    }

    for (auto& m : merges) {
        m.file.reset(HSEQFile::openHSEQFile(m.filename));
        if (!m.file) {
            continue;  // the open logged why; the merge is skipped
        }
        if (m.ranges.empty()) {
            m.ranges.push_back({0, FRAME_BUFFER_SIZE});
        }
        m.file->prepareRead(m.ranges, 0);
    }

    if (outputFilename.empty()) {
        if (!verbose) {
            printf("No output file defined!\n");
            printf("Use -v to enable verbose output printing for file information.\n");
            return 1;
        }
        return 0;
    }

    uint32_t firstFrame = frames.first;
    uint32_t endFrame = (uint32_t)std::min<uint64_t>((uint64_t)frames.first + frames.second, src->getNumFrames());
    if (firstFrame >= endFrame) {
        printf("Frame range %u+%u holds none of the %u frames of %s\n", frames.first, frames.second,
               src->getNumFrames(), inputFilename.c_str());
        return 1;
    }
    if (eseq) {
        if (ranges.size() != 1) {
            printf("An ESEQ file holds one model: give its channels with exactly one -r\n");
            return 1;
        }
        if (src->getStepTime() != HSEQFile::ESEQ_STEP_MS) {
            printf("ESEQ files step every %d ms but %s steps every %d ms: write a sequence file (without --eseq) "
                   "to play as an effect instead\n",
                   HSEQFile::ESEQ_STEP_MS, inputFilename.c_str(), src->getStepTime());
            return 1;
        }
    }

    std::unique_ptr<HSEQFile> dest;
    std::unique_ptr<FileReplacer> eseqOut;
    if (eseq) {
        eseqOut = std::make_unique<FileReplacer>(outputFilename);
        std::vector<uint8_t> header = HSEQFile::eseqHeader(ranges[0].second, ranges[0].first + 1, ranges[0].second);
        if (!eseqOut->Open() || !eseqOut->Write((const char*)header.data(), header.size())) {
            printf("Failed to create %s: %s\n", outputFilename.c_str(), eseqOut->Error().c_str());
            return 1;
        }
    } else {
        dest.reset(HSEQFile::createHSEQFile(outputFilename, fileVersionMajor, compressionType, compressionLevel));
    }
    if (!dest && !eseq) {
        printf("Failed to create HSEQ file (returned nullptr)!\n");
        return 1;
    }
    if (dest) dest->enableMinorVersionFeatures((uint8_t)fileVersionMinor);

    HSEQFile::RangeList readRanges = ranges;
    if (ranges.empty()) {
        readRanges.push_back({0, ALL_CHANNELS});
    } else if (fileVersionMajor >= 2 && sparse && dest) {
        V2HSEQFile* v2 = dynamic_cast<V2HSEQFile*>(dest.get());
        if (v2) v2->setSparseRanges(ranges);
    }
    src->prepareRead(readRanges, firstFrame);
    if (dest) {
        dest->initializeFromHSEQ(*src);
        if (firstFrame != 0 || endFrame != src->getNumFrames()) {
            dest->setNumFrames(endFrame - firstFrame);
            // Their frame numbers are the whole show's, not the cut's.
            auto& headers = dest->getVariableHeaders();
            headers.erase(std::remove_if(headers.begin(), headers.end(),
                                         [](const HSEQFile::VariableHeader& h) {
                                             return h.code[0] == 'F' && (h.code[1] == 'C' || h.code[1] == 'E');
                                         }),
                          headers.end());
        }
        dest->writeHeader();
    }

    // Channels past what the output stores never reach it; loops stop there.
    uint64_t bufSize = std::max<uint64_t>(FRAME_BUFFER_SIZE, src->getMaxChannel());
    uint64_t outChannels =
        std::min<uint64_t>(bufSize, std::max(src->getMaxChannel(), dest ? dest->getMaxChannel() : 0u));
    std::vector<uint8_t> buffer(bufSize);
    std::vector<uint8_t> mergeBuffer(merges.empty() ? 0 : bufSize);
    int missing = 0;
    bool writeFailed = false;
    for (uint32_t f = firstFrame; f < endFrame; ++f) {
        // Values merged into the previous frame must not stay where this
        // frame's input writes nothing.
        for (auto& m : merges) {
            if (!m.file) continue;
            for (auto& r : m.ranges) {
                uint32_t start, count;
                if (clipRange(r, outChannels, start, count)) memset(&buffer[start], 0, count);
            }
        }
        std::unique_ptr<HSEQFile::FrameData> fd(src->getFrame(f));
        if (!fd || !fd->readFrame(buffer.data(), (uint32_t)bufSize)) {
            LogErr(VB_SEQUENCE, "Frame %u of %s could not be read; writing it blank\n", f, inputFilename.c_str());
            ++missing;
            for (auto& r : readRanges) {
                uint32_t start, count;
                if (clipRange(r, outChannels, start, count)) memset(&buffer[start], 0, count);
            }
        }
        for (auto& m : merges) {
            if (!m.file || f >= m.file->getNumFrames()) continue;
            std::unique_ptr<HSEQFile::FrameData> mfd(m.file->getFrame(f));
            if (!mfd || !mfd->readFrame(mergeBuffer.data(), (uint32_t)bufSize)) {
                LogErr(VB_SEQUENCE, "Frame %u of %s could not be read; nothing merged from it\n", f,
                       m.filename.c_str());
                continue;
            }
            for (auto& r : m.ranges) {
                uint32_t start, count;
                if (!clipRange(r, outChannels, start, count)) continue;
                uint8_t* to = &buffer[start];
                uint8_t* from = &mergeBuffer[start];
                for (uint32_t i = 0; i < count; ++i) {
                    if (from[i] || m.copyZero) to[i] = from[i];
                    from[i] = 0;
                }
            }
        }
        if (dest) {
            dest->addFrame(f - firstFrame, buffer.data());
        } else if (!writeFailed) {
            uint32_t start, count;
            bool inside = clipRange(ranges[0], bufSize, start, count) && count == ranges[0].second;
            writeFailed = !inside || !eseqOut->Write((const char*)&buffer[start], count);
        }
    }
    int status = 0;
    if (dest) {
        dest->finalize();
        if (outputFilename == "-memory-") {
            printf("size: %llu\n", (unsigned long long)dest->tell());
        }
        if (dest->hadWriteError()) status = 1;
    } else if (writeFailed || !eseqOut->Commit()) {
        printf("Failed to write %s: %s\n", outputFilename.c_str(),
               eseqOut->Error().empty() ? "the channel range lies past the frame buffer" : eseqOut->Error().c_str());
        status = 1;
    }
    if (missing) {
        LogErr(VB_SEQUENCE, "%d frames of %s could not be read\n", missing, inputFilename.c_str());
        status = 1;
    }
    dest.reset();
    merges.clear();
    return status;
}
