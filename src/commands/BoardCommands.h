#pragma once
// Registers "Get Sensors" with the command registry: what the board's
// sensors read. Called by kivd's start-up; documented in docs/commands.md.

void RegisterBoardCommands();
