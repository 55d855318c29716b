#pragma once
// What a board holds of a show's files, each with its size and SHA-256: the
// list a remote answers its master with (GET /kivd/sync/files), the list the
// master compares it with, and the plan of what to send. A file is hashed
// once: digests are kept per file (size, change time, inode), and an upload
// hands over the digest computed while its bytes arrived. Used by
// SyncFiles and by the upload path of SetupApi, from any thread.

#include <map>
#include <string>
#include <vector>

#include <json/json.h>

namespace FileInventory {

// The kinds of files a master hands to its remotes, in the order they are
// sent: media before the playlists that name them, playlists before the
// schedule that names them.
enum class Kind { Sequences, Music, Videos, Images, Playlists, Schedule };
constexpr Kind ALL_KINDS[] = {Kind::Sequences, Kind::Music,     Kind::Videos,
                              Kind::Images,    Kind::Playlists, Kind::Schedule};

// "sequences", "music", "videos", "images", "playlists", "schedule": the
// names of the setting, of the listing and of the upload paths.
const char* KindName(Kind k);
bool KindFromName(const std::string& name, Kind& k);
bool IsMedia(Kind k);
// "sequences, music" (commas or blanks); names it does not know go to
// `problems`. Empty text: every kind.
std::vector<Kind> ParseKinds(const std::string& text, std::vector<std::string>* problems = nullptr);

// One file: its name in its kind's folder (a playlist: its name without
// ".json"; the schedule: "schedule.json").
struct Entry {
    std::string name;
    long long size = 0;
    std::string sha256;  // lower-case hex
};
using Listing = std::map<Kind, std::vector<Entry>>;

// This board's files of those kinds, each kind sorted by name.
Listing ListLocal(const std::vector<Kind>& kinds);
// {"sequences": [{"name", "size", "sha256"}], ...}: one member per kind listed.
Json::Value ToJson(const Listing& listing);
// The kinds of a ToJson document; false with the reason when a member is
// not such a list.
bool FromJson(const Json::Value& doc, Listing& listing, std::string& error);

// Where a file of a kind lives on this board.
std::string LocalPath(Kind k, const std::string& name);

// The SHA-256 of a file, from the kept digest while the file is unchanged;
// "" when it cannot be read. *size gets the file's size.
std::string FileDigest(const std::string& path, long long* size = nullptr);
// A file just written with bytes of this digest: no need to read it again.
void RememberDigest(const std::string& path, const std::string& sha256);
// Playlists and the schedule are compared by content, not spacing: each
// board writes them out again in its own way. The digest of a JSON text's
// document (of the text itself when it is not JSON).
std::string DocumentDigest(const std::string& text);

// SHA-256 over bytes handed over piece by piece.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    void Update(const void* data, size_t len);
    // Lower-case hex; the object is spent.
    std::string Hex();

private:
    void* m_ctx;
};
std::string Sha256Hex(const std::string& bytes);

// Media names made for one board: "<base>-<host>.<ext>" or
// "<base>_<host>.<ext>" (an extension of 3 or 4 characters), the names a
// remote looks for before "<base>.<ext>". The host of `name` among
// `hosts`, "" when it is made for none of them.
std::string HostOfFile(const std::string& name, const std::vector<std::string>& hosts);

// One file to send.
struct Transfer {
    Kind kind;
    Entry entry;
    std::string Path() const { return std::string(KindName(kind)) + "/" + entry.name; }
};
// What `remote` lacks or holds otherwise of `local`, in sending order.
// Media made for one of `hosts` go only to that host (remoteHost).
std::vector<Transfer> Plan(const Listing& local, const Listing& remote, const std::string& remoteHost,
                           const std::vector<std::string>& hosts);

}  // namespace FileInventory
