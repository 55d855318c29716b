#pragma once
// The board's output port layout, <media>/config/output-ports.json
// (docs/output-ports.md): read by kivd at start-up, it registers each port
// with the output monitor, stores the configured pixel counts and switches
// the ports on when "AutoEnableOutputs" allows; at shut-down it switches
// them off again. A bad entry is refused with its reason; the others work.

#include <string>

std::string PortLayoutFilePath();
// Returns the number of ports registered. A missing file means none.
int LoadPortLayout(const std::string& path = PortLayoutFilePath());
void ClosePortLayout();
