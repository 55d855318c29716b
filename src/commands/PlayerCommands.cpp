// The commands that start, stop, pause and report the playlist player;
// registered by Player::Init and documented in docs/commands.md.

#include <cstdlib>

#include "commands/Commands.h"
#include "common.h"
#include "commands/PlayerCommands.h"
#include "playlist/Player.h"

namespace {

class StartPlaylistCommand : public Command {
public:
    StartPlaylistCommand() : Command("Start Playlist", "Starts a playlist now, stopping what plays") {
        args.emplace_back("Playlist", "string", "Playlist name (file playlists/<name>.json)");
        args.emplace_back("Repeat", "bool", "Repeat the main section until stopped", true);
        args.back().setDefaultValue("false");
        args.emplace_back("If Not Running", "bool", "Do nothing when a playlist is already playing", true);
        args.back().setDefaultValue("false");
        args.emplace_back("Start Position", "int", "Entry to start at, 1 for the first", true);
        args.back().setDefaultValue("1");
    }
    std::unique_ptr<Result> run(const std::vector<std::string>& a) override {
        if (a.empty() || a[0].empty()) {
            return std::make_unique<ErrorResult>("Command needs at least 1 argument, found " +
                                                 std::to_string(a.size()));
        }
        bool repeat = false, ifNotRunning = false;
        if (a.size() > 1 && !Command::ParseBool(a[1], repeat)) {
            return std::make_unique<ErrorResult>("Repeat must be true or false, found '" + a[1] + "'");
        }
        if (a.size() > 2 && !Command::ParseBool(a[2], ifNotRunning)) {
            return std::make_unique<ErrorResult>("If Not Running must be true or false, found '" + a[2] + "'");
        }
        int position = 1;
        if (a.size() > 3 && !a[3].empty()) {
            char* end = nullptr;
            long p = strtol(a[3].c_str(), &end, 10);
            if (*end != 0 || p < 1) {
                return std::make_unique<ErrorResult>("Start Position must be 1 or more, found '" + a[3] + "'");
            }
            position = (int)p;
        }
        if (ifNotRunning && Player::INSTANCE.IsPlaying()) {
            return std::make_unique<Result>("Playlist '" + Player::INSTANCE.GetPlaylistName() +
                                            "' is already playing");
        }
        if (!Player::INSTANCE.StartPlaylist(a[0], repeat ? 1 : 0, position - 1)) {
            return std::make_unique<ErrorResult>("Could not start playlist '" + a[0] + "' (see the log)");
        }
        return std::make_unique<Result>("Playlist '" + a[0] + "' started");
    }
};

class StopNowCommand : public Command {
public:
    StopNowCommand() : Command("Stop Now", "Stops the playing playlist at once") {}
    std::unique_ptr<Result> run(const std::vector<std::string>& a) override {
        if (!Player::INSTANCE.IsPlaying()) return std::make_unique<ErrorResult>("No playlist is playing");
        Player::INSTANCE.StopNow(1);
        return std::make_unique<Result>("Playlist stopped");
    }
};

class StopGracefullyCommand : public Command {
public:
    StopGracefullyCommand(bool afterLoop)
        : Command(afterLoop ? "Stop Gracefully After Loop" : "Stop Gracefully",
                  afterLoop ? "Finishes the current pass of the main section, then plays the lead-out"
                            : "Finishes the current entry, then plays the lead-out"),
          m_afterLoop(afterLoop) {}
    std::unique_ptr<Result> run(const std::vector<std::string>& a) override {
        if (!Player::INSTANCE.IsPlaying()) return std::make_unique<ErrorResult>("No playlist is playing");
        Player::INSTANCE.StopGracefully(1, m_afterLoop ? 1 : 0);
        return std::make_unique<Result>(m_afterLoop ? "Playlist stops after the current loop"
                                                    : "Playlist stops after the current entry");
    }

private:
    bool m_afterLoop;
};

class PauseCommand : public Command {
public:
    PauseCommand() : Command("Pause Playlist", "Pauses the playing entry; outputs go dark") {}
    std::unique_ptr<Result> run(const std::vector<std::string>& a) override {
        if (!Player::INSTANCE.Pause()) return std::make_unique<ErrorResult>("No playlist is playing");
        return std::make_unique<Result>("Playlist paused");
    }
};

class ResumeCommand : public Command {
public:
    ResumeCommand() : Command("Resume Playlist", "Resumes a paused playlist where it paused") {}
    std::unique_ptr<Result> run(const std::vector<std::string>& a) override {
        if (!Player::INSTANCE.Resume()) return std::make_unique<ErrorResult>("No playlist is paused");
        return std::make_unique<Result>("Playlist resumed");
    }
};

class PlaylistStatusCommand : public Command {
public:
    PlaylistStatusCommand() : Command("Get Playlist Status", "The player's status as JSON") {}
    std::unique_ptr<Result> run(const std::vector<std::string>& a) override {
        return std::make_unique<Result>(SaveJsonToString(Player::INSTANCE.GetStatusJSON(), "  "), "application/json");
    }
};

}  // namespace

void RegisterPlayerCommands() {
    CommandManager& cm = CommandManager::INSTANCE;
    cm.addCommand(new StartPlaylistCommand());
    cm.addCommand(new StopNowCommand());
    cm.addCommand(new StopGracefullyCommand(false));
    cm.addCommand(new StopGracefullyCommand(true));
    cm.addCommand(new PauseCommand());
    cm.addCommand(new ResumeCommand());
    cm.addCommand(new PlaylistStatusCommand());
}
