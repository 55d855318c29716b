// hseqgen: writes a synthetic show (chases, fades, twinkles) as a sequence
// file, for tests, benchmarks and the demo media directory.
//
//   hseqgen -o FILE [-c CHANNELS] [-n FRAMES] [-s STEP_MS] [-f N[.M]]
//           [-z none|zstd|zlib] [-l LEVEL] [-r START-END | -r START+COUNT]...
//           [-m MEDIAFILE] [-S SEED]
//
// Exit status: 0 written, 1 bad usage or the file could not be written.

#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "hseq/ShowGenerator.h"
#include "log.h"

static void usage(const char* prog) {
    printf("Usage: %s -o FILE [OPTIONS]\n"
           "\n"
           "Writes a synthetic show as a sequence file.\n"
           "  -o FILE        output file (\"-memory-\" only reports the size)\n"
           "  -c CHANNELS    channels per frame (default 512)\n"
           "  -n FRAMES      number of frames (default 100)\n"
           "  -s STEP_MS     milliseconds per frame (default 25)\n"
           "  -f N[.M]       file version: 1, 2.0, 2.1 or 2.2 (default 2.0)\n"
           "  -z TYPE        compression of version 2: none, zstd, zlib (default zstd)\n"
           "  -l LEVEL       compression level (-99 for the default)\n"
           "  -r RANGE       stored channel range, 1-based: START-END or START+COUNT (repeatable)\n"
           "  -m MEDIAFILE   media file name stored with the show\n"
           "  -S SEED        pattern seed (default 1)\n"
           "  -h             this help\n",
           prog);
}

static bool parseRange(const char* text, std::pair<uint32_t, uint32_t>& r) {
    char* end = nullptr;
    unsigned long start = strtoul(text, &end, 10);
    if (end == text || start < 1 || (*end != '-' && *end != '+')) return false;
    char sep = *end;
    const char* second = end + 1;
    unsigned long v = strtoul(second, &end, 10);
    if (end == second || *end) return false;
    if (sep == '-') {
        if (v < start) return false;
        r = {(uint32_t)(start - 1), (uint32_t)(v - start + 1)};
    } else {
        r = {(uint32_t)(start - 1), (uint32_t)v};
    }
    return true;
}

int main(int argc, char** argv) {
    SetLogFile("stderr", false);
    ShowSpec spec;
    std::string out;
    int c;
    while ((c = getopt(argc, argv, "o:c:n:s:f:z:l:r:m:S:h")) != -1) {
        switch (c) {
            case 'o': out = optarg; break;
            case 'c': spec.channels = (uint32_t)strtoul(optarg, nullptr, 10); break;
            case 'n': spec.frames = (uint32_t)strtoul(optarg, nullptr, 10); break;
            case 's': spec.stepMs = atoi(optarg); break;
            case 'f': {
                spec.versionMajor = atoi(optarg);
                const char* dot = strchr(optarg, '.');
                spec.versionMinor = dot ? atoi(dot + 1) : 0;
                break;
            }
            case 'z':
                if (!strcmp(optarg, "none")) spec.compression = HSEQFile::CompressionType::none;
                else if (!strcmp(optarg, "zstd")) spec.compression = HSEQFile::CompressionType::zstd;
                else if (!strcmp(optarg, "zlib")) spec.compression = HSEQFile::CompressionType::zlib;
                else {
                    fprintf(stderr, "Unknown compression type: %s\n", optarg);
                    return 1;
                }
                break;
            case 'l': spec.compressionLevel = atoi(optarg); break;
            case 'r': {
                std::pair<uint32_t, uint32_t> r;
                if (!parseRange(optarg, r)) {
                    fprintf(stderr, "Invalid channel range: %s\n", optarg);
                    return 1;
                }
                spec.sparseRanges.push_back(r);
                break;
            }
            case 'm': spec.mediaFilename = optarg; break;
            case 'S': spec.seed = (uint32_t)strtoul(optarg, nullptr, 10); break;
            case 'h': usage(argv[0]); return 0;
            default: usage(argv[0]); return 1;
        }
    }
    if (out.empty() || spec.channels == 0) {
        usage(argv[0]);
        return 1;
    }
    if (!GenerateShow(out, spec)) {
        fprintf(stderr, "Could not write %s\n", out.c_str());
        return 1;
    }
    return 0;
}
