#pragma once
// Registers "Start Playlist", "Stop Now", "Stop Gracefully", "Stop
// Gracefully After Loop", "Pause Playlist", "Resume Playlist" and "Get
// Playlist Status" with the command registry; called by Player::Init.

void RegisterPlayerCommands();
