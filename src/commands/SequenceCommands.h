#pragma once
// Commands that play a sequence file directly, without a playlist: "Start
// Sequence", "Stop Sequence", "Pause Sequence", "Resume Sequence", "Step
// Sequence", "Seek Sequence" and "Sequence Status". Registered by the
// Sequence constructor; they act on the global `sequence`.

void RegisterSequenceCommands();
