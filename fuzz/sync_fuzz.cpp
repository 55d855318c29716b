// libFuzzer target: arbitrary bytes as a received sync datagram, through
// the same parser and signature check the receiver uses. A packet that
// parses must build into a datagram that parses back to the same packet.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "sync/SyncPacket.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string key = "fuzz key";
    SyncPacket p;
    if (ParseSyncPacket(data, size, p) != SyncParseResult::Ok) return 0;
    VerifySyncTag(data, p, key);
    std::vector<uint8_t> built = BuildSyncPacket(p, key);
    SyncPacket q;
    if (built.empty() || ParseSyncPacket(built.data(), built.size(), q) != SyncParseResult::Ok ||
        !VerifySyncTag(built.data(), q, key) || BuildSyncPacket(q, key) != built) {
        abort();
    }
    return 0;
}
