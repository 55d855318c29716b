#pragma once
// The output port commands: "Outputs On", "Outputs Off", and, when the
// board has ports, "Set Port Status" and "Check Pixel Count". Registered
// and removed by OutputMonitor::Initialize and Cleanup; documented in
// docs/output-ports.md.

void RegisterOutputCommands(bool withPortCommands);
void UnregisterOutputCommands();
