#pragma once
// "Get Plugins": the user plug-ins' status (loaded ones with their versions,
// interfaces and time per frame; refused ones with the reason), served at
// GET /kivd/plugins too. Registered by PluginManager::init; the document is
// described in docs/plugins.md.

void RegisterPluginCommands();
