#pragma once
// Registers "Get Sensors" and "Get GPIO Inputs" with the command registry:
// what the board's sensors read and what its buttons did. Called by kivd's
// start-up; documented in docs/commands.md.

void RegisterBoardCommands();
