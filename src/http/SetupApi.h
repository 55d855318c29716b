#pragma once
// The write side of the daemon's HTTP API, used by the Files, Playlists,
// Schedule, Outputs and Test pages: media files (listed, uploaded straight
// to disk, deleted), playlists, the schedule, the output table and the
// settings a user may change. The daemon's own loaders judge every
// document before it is written (Playlist::Check, Scheduler::PreviewSchedule,
// CheckChannelOutputs, CheckEditableSetting); a refused request changes
// nothing on disk. Files are replaced whole (written beside, then renamed).
// APIServer mounts it; docs/http-api.md lists the paths.

#include <string>

class HttpServer;

namespace SetupApi {

// The largest upload when the setting "UploadMaxBytes" is not set.
constexpr long long DEFAULT_UPLOAD_MAX_BYTES = 1LL << 30;

// Why a media file name cannot be used ("" when it can): empty, longer
// than 255 bytes, a path separator, "..", a leading dot, control characters.
std::string FileNameProblem(const std::string& name);

// Called after every change made through these paths (on the thread of
// the request): a master may hand the change on to its remotes. nullptr
// for none.
void SetChangeListener(void (*listener)());

// Mounts the paths on `server`, whose access rules decide who may change
// things (docs/security.md).
void Register(HttpServer& server);
void Unregister(HttpServer& server);

}  // namespace SetupApi
