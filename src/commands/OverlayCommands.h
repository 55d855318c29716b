#pragma once
// The commands that draw on pixel overlay models ("Overlay Model State",
// "Overlay Model Fill", "Overlay Model Clear", "Overlay Model Text",
// "Overlay Model Effect", "Get Overlay Models"), documented in
// docs/commands.md and docs/overlay-models.md.

void RegisterOverlayCommands();
