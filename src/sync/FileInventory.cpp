#include "sync/FileInventory.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <algorithm>
#include <mutex>

#include "common.h"
#include "playlist/Playlist.h"
#include "settings.h"

namespace FileInventory {

namespace {

const char* const KIND_NAMES[] = {"sequences", "music", "videos", "images", "playlists", "schedule"};
const char* const SCHEDULE_NAME = "schedule.json";
const char* const PLAYLIST_SUFFIX = ".json";
// Digests of files hashed or written, so a listing reads each file once.
// More would be files long gone: the table starts afresh.
constexpr size_t MAX_KEPT_DIGESTS = 8192;
constexpr size_t READ_BYTES = 256 * 1024;

struct Kept {
    dev_t dev = 0;
    ino_t ino = 0;
    long long size = 0;
    long long mtimeNs = 0;
    long long ctimeNs = 0;  // changes with every write, and no tool can set it back
    std::string sha256;
    bool Same(const struct stat& st) const {
        return dev == st.st_dev && ino == st.st_ino && size == (long long)st.st_size &&
               mtimeNs == (long long)st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec &&
               ctimeNs == (long long)st.st_ctim.tv_sec * 1000000000LL + st.st_ctim.tv_nsec;
    }
    static Kept Of(const struct stat& st, const std::string& sha) {
        Kept k;
        k.dev = st.st_dev;
        k.ino = st.st_ino;
        k.size = st.st_size;
        k.mtimeNs = (long long)st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
        k.ctimeNs = (long long)st.st_ctim.tv_sec * 1000000000LL + st.st_ctim.tv_nsec;
        k.sha256 = sha;
        return k;
    }
};

std::mutex g_keptLock;  // guards g_kept
std::map<std::string, Kept> g_kept;

void Keep(const std::string& path, const Kept& k) {
    std::lock_guard<std::mutex> lock(g_keptLock);
    if (g_kept.size() >= MAX_KEPT_DIGESTS) g_kept.clear();
    g_kept[path] = k;
}

std::vector<std::string> FolderFiles(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (!d) return names;
    while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;  // hidden, and the temporaries of uploads under way
        struct stat st;
        std::string n = e->d_name;
        if (stat((dir + "/" + n).c_str(), &st) == 0 && S_ISREG(st.st_mode)) names.push_back(n);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

Entry DocumentEntry(const std::string& name, const std::string& path) {
    Entry e;
    e.name = name;
    std::string text = GetFileContents(path);
    e.size = (long long)text.size();
    e.sha256 = DocumentDigest(text);
    return e;
}

}  // namespace

const char* KindName(Kind k) { return KIND_NAMES[(int)k]; }

bool KindFromName(const std::string& name, Kind& k) {
    for (Kind c : ALL_KINDS) {
        if (name == KindName(c)) {
            k = c;
            return true;
        }
    }
    return false;
}

bool IsMedia(Kind k) { return k != Kind::Playlists && k != Kind::Schedule; }

std::vector<Kind> ParseKinds(const std::string& text, std::vector<std::string>* problems) {
    std::string t = text;
    std::replace(t.begin(), t.end(), ' ', ',');
    std::vector<Kind> kinds;
    for (std::string n : split(t, ',')) {
        TrimWhiteSpace(n);
        if (n.empty()) continue;
        Kind k;
        if (!KindFromName(toLowerCopy(n), k)) {
            if (problems) problems->push_back("\"" + n + "\" is not a kind of file (sequences, music, videos, images, "
                                              "playlists, schedule)");
            continue;
        }
        if (std::find(kinds.begin(), kinds.end(), k) == kinds.end()) kinds.push_back(k);
    }
    if (kinds.empty() && (!problems || problems->empty())) kinds.assign(std::begin(ALL_KINDS), std::end(ALL_KINDS));
    std::sort(kinds.begin(), kinds.end());
    return kinds;
}

std::string LocalPath(Kind k, const std::string& name) {
    switch (k) {
    case Kind::Playlists:
        return Playlist::FilePath(name);
    case Kind::Schedule:
        return getKIVMediaDir("/config/") + SCHEDULE_NAME;
    default:
        return getKIVMediaDir(std::string("/") + KindName(k) + "/" + name);
    }
}

Listing ListLocal(const std::vector<Kind>& kinds) {
    Listing out;
    for (Kind k : kinds) {
        std::vector<Entry>& list = out[k];
        if (k == Kind::Schedule) {
            std::string path = LocalPath(k, SCHEDULE_NAME);
            if (FileExists(path)) list.push_back(DocumentEntry(SCHEDULE_NAME, path));
            continue;
        }
        std::string dir = getKIVMediaDir(std::string("/") + KindName(k));
        for (auto& n : FolderFiles(dir)) {
            if (k == Kind::Playlists) {
                if (!endsWith(n, PLAYLIST_SUFFIX)) continue;
                std::string name = n.substr(0, n.size() - strlen(PLAYLIST_SUFFIX));
                if (Playlist::ValidName(name)) list.push_back(DocumentEntry(name, dir + "/" + n));
                continue;
            }
            Entry e;
            e.name = n;
            e.sha256 = FileDigest(dir + "/" + n, &e.size);
            if (!e.sha256.empty()) list.push_back(e);
        }
    }
    return out;
}

Json::Value ToJson(const Listing& listing) {
    Json::Value doc(Json::objectValue);
    for (auto& kind : listing) {
        Json::Value list(Json::arrayValue);
        for (auto& e : kind.second) {
            Json::Value v;
            v["name"] = e.name;
            v["size"] = (Json::Int64)e.size;
            v["sha256"] = e.sha256;
            list.append(v);
        }
        doc[KindName(kind.first)] = list;
    }
    return doc;
}

bool FromJson(const Json::Value& doc, Listing& listing, std::string& error) {
    listing.clear();
    if (!doc.isObject()) {
        error = "the file list is not a JSON object";
        return false;
    }
    for (Kind k : ALL_KINDS) {
        const char* name = KindName(k);
        if (!doc.isMember(name)) continue;
        const Json::Value& list = doc[name];
        if (!list.isArray()) {
            error = std::string("\"") + name + "\" of the file list is not a list";
            return false;
        }
        std::vector<Entry>& out = listing[k];
        for (auto& v : list) {
            if (!v.isObject() || !v["name"].isString() || !v["size"].isIntegral() || !v["sha256"].isString()) {
                error = std::string("an entry of \"") + name + "\" lacks its name, size or sha256";
                return false;
            }
            Entry e;
            e.name = v["name"].asString();
            e.size = v["size"].asInt64();
            e.sha256 = v["sha256"].asString();
            out.push_back(e);
        }
    }
    return true;
}

Sha256::Sha256() : m_ctx(EVP_MD_CTX_new()) { EVP_DigestInit_ex((EVP_MD_CTX*)m_ctx, EVP_sha256(), nullptr); }

Sha256::~Sha256() { EVP_MD_CTX_free((EVP_MD_CTX*)m_ctx); }

void Sha256::Update(const void* data, size_t len) {
    if (len) EVP_DigestUpdate((EVP_MD_CTX*)m_ctx, data, len);
}

std::string Sha256::Hex() {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_DigestFinal_ex((EVP_MD_CTX*)m_ctx, md, &len);
    static const char* const HEX = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < len; ++i) {
        out += HEX[md[i] >> 4];
        out += HEX[md[i] & 15];
    }
    return out;
}

std::string Sha256Hex(const std::string& bytes) {
    Sha256 h;
    h.Update(bytes.data(), bytes.size());
    return h.Hex();
}

std::string FileDigest(const std::string& path, long long* size) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "";
    struct stat before;
    if (fstat(fd, &before) != 0 || !S_ISREG(before.st_mode)) {
        close(fd);
        return "";
    }
    if (size) *size = before.st_size;
    {
        std::lock_guard<std::mutex> lock(g_keptLock);
        auto it = g_kept.find(path);
        if (it != g_kept.end() && it->second.Same(before)) {
            close(fd);
            return it->second.sha256;
        }
    }
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    // A buffer per thread, kept: freeing a large block unmaps it, which
    // stops every thread of the daemon for a moment.
    thread_local std::vector<char> buffer(READ_BYTES);
    Sha256 h;
    bool ok = true;
    for (;;) {
        ssize_t n = read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        h.Update(buffer.data(), (size_t)n);
    }
    struct stat after;
    bool unchanged = fstat(fd, &after) == 0 && Kept::Of(before, "").Same(after);
    close(fd);
    if (!ok) return "";
    std::string hex = h.Hex();
    // A file written while it was read gets its digest anew next time.
    if (unchanged) Keep(path, Kept::Of(after, hex));
    if (size) *size = after.st_size;
    return hex;
}

void RememberDigest(const std::string& path, const std::string& sha256) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) Keep(path, Kept::Of(st, sha256));
}

std::string DocumentDigest(const std::string& text) {
    Json::Value doc;
    if (!ParseJson(text, doc)) return Sha256Hex(text);
    return Sha256Hex(SaveJsonToString(doc, ""));
}

std::string HostOfFile(const std::string& name, const std::vector<std::string>& hosts) {
    size_t dot = name.rfind('.');
    if (dot == std::string::npos) return "";
    size_t ext = name.size() - dot - 1;
    if (ext < 3 || ext > 4) return "";
    std::string base = name.substr(0, dot);
    std::string best;
    for (auto& h : hosts) {
        // Something before the separator: "-stage.hseq" is no show's name.
        if (h.empty() || base.size() < h.size() + 2 || h.size() <= best.size()) continue;
        size_t at = base.size() - h.size();
        if (base.compare(at, h.size(), h) == 0 && (base[at - 1] == '-' || base[at - 1] == '_')) best = h;
    }
    return best;
}

std::vector<Transfer> Plan(const Listing& local, const Listing& remote, const std::string& remoteHost,
                           const std::vector<std::string>& hosts) {
    std::vector<Transfer> out;
    for (auto& kind : local) {
        std::map<std::string, const Entry*> theirs;
        auto r = remote.find(kind.first);
        if (r != remote.end()) {
            for (auto& e : r->second) theirs[e.name] = &e;
        }
        for (auto& e : kind.second) {
            if (IsMedia(kind.first)) {
                std::string host = HostOfFile(e.name, hosts);
                if (!host.empty() && host != remoteHost) continue;
            }
            auto t = theirs.find(e.name);
            // Documents are compared by content: their size depends on who wrote them.
            bool same = t != theirs.end() && t->second->sha256 == e.sha256 &&
                        (!IsMedia(kind.first) || t->second->size == e.size);
            if (!same) out.push_back({kind.first, e});
        }
    }
    return out;
}

}  // namespace FileInventory
