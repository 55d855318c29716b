#pragma once
// Commands of the live input bridge: "Get Inputs" (the per-input
// statistics, also GET /kivd/inputs), "Start Recording" and "Stop
// Recording". Registered by kivd's start-up; they act on Bridge::INSTANCE.

void RegisterInputCommands();
