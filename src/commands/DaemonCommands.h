#pragma once
// Commands about the daemon itself: stop, restart, status and warnings.
// Registered by kivd's start-up.

void RegisterDaemonCommands();
