#pragma once
// User plug-ins: shared objects in <media>/plugins/<name>/<name>.so that
// change frames, hear about media, watch descriptors on the main loop and
// add commands (docs/plugins.md). The object createPlugin() returns derives
// from KIVPlugins::Plugin (first base) and UserPlugin, and from each of the
// optional interfaces below whose calls it wants. An exception out of
// setUp refuses the plug-in; one out of any later call is caught, logged
// and warned about, and the daemon calls that plug-in no more.

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <json/json.h>

#include "kiv/Plugin.h"

namespace KIVPlugins {

// Size of the frame buffer the frame hooks see; channel 1 is data[0].
constexpr uint32_t FRAME_CHANNELS = 8388608;

enum class LogLevel { Error, Warn, Info, Debug };

// What the daemon hands a plug-in at set-up. The functions may be called
// from any thread for the life of the plug-in.
struct PluginHost {
    std::string directory;       // <media>/plugins/<name>: the plug-in's own files
    std::string mediaDirectory;  // <media>
    // One line in the daemon's log (facility "plugin"), prefixed with the
    // plug-in's name.
    std::function<void(LogLevel level, const std::string& text)> log;
    // A warning the user sees until the daemon stops.
    std::function<void(const std::string& text)> warn;
};

class UserPlugin {
public:
    virtual ~UserPlugin();
    // Shown in the daemon's plug-in status.
    virtual std::string version() const = 0;
    // Called once, right after createPlugin and before any other call.
    // Throwing (std::exception) refuses the plug-in with the exception's
    // text; the daemon goes on without it.
    virtual void setUp(const PluginHost& host) {}
};

// Frame data, on the channel output thread, once per frame; ms is the
// frame's position in the sequence (or the media). Every frame's hooks
// together should take well under a frame period.
class ChannelDataPlugin {
public:
    virtual ~ChannelDataPlugin();
    // Right after the sequence's frame (and live bridge data) is in the
    // buffer, before effects, overlays and test patterns.
    virtual void modifySequenceData(int ms, unsigned char* data) {}
    // Last, after overlays and test patterns, just before the outputs take
    // the frame.
    virtual void modifyChannelData(int ms, unsigned char* data) {}
};

// Media announcements, on the main thread, when a playlist opens a media
// file: the playlist's status document and the file's details (title,
// artist, length).
class MediaPlugin {
public:
    virtual ~MediaPlugin();
    virtual void mediaCallback(const Json::Value& playlistInfo, const Json::Value& mediaDetails) = 0;
};

// Descriptors for the main loop, asked once before it starts: the plug-in
// adds descriptor -> callback; the callback runs on the main thread when
// the descriptor is readable and returns true to have a frame sent at once.
// The descriptors stay the plug-in's to close, after the main loop ended.
class ControlPlugin {
public:
    virtual ~ControlPlugin();
    virtual void addControlCallbacks(std::map<int, std::function<bool(int)>>& callbacks) = 0;
};

struct CommandArg {
    std::string name;
    std::string type;  // "string", "int", "bool", ...: shown to users
    std::string description;
    bool optional = false;
};

struct CommandResult {
    bool error = false;
    std::string text;
    std::string contentType = "text/plain";
};

// A command in the daemon's registry: run by kivcmd, over HTTP, by presets
// and by other systems, on any of their threads (beside the frame hooks).
struct PluginCommand {
    std::string name;
    std::string description;
    std::vector<CommandArg> args;
    std::function<CommandResult(const std::vector<std::string>& args)> run;
};

// Commands, asked once after setUp; the daemon removes them again before
// it unloads the plug-in. A name the registry already holds is refused.
class CommandPlugin {
public:
    virtual ~CommandPlugin();
    virtual std::vector<PluginCommand> getCommands() = 0;
};

}  // namespace KIVPlugins
