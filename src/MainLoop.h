#pragma once
// The daemon's heart-beat on the main thread: one epoll set for every
// service descriptor, the player and scheduler stepped on every pass,
// timers, HTTP transfers and the channel output thread kept running when
// something needs output. Ends when runMainKIVDLoop becomes 0.

#include <atomic>
#include <string>

// 1 while the main loop runs, 0 once a stop was asked for, -1 after tear-down.
extern std::atomic<int> runMainKIVDLoop;
extern std::atomic<bool> restartKIVD;

void ShutdownKIVDCallback(bool restart);
void MainLoop();
void PublishStatsBackground(std::string reason);
void PublishStatsForce(std::string reason);

// SIGTERM, SIGINT and SIGHUP ask for a clean stop through a self-pipe that
// the main loop reads, so nothing unsafe runs inside the signal handler.
void InstallTerminationSignals();
// Async-signal-safe: hands a signal to the main loop, which stops the
// daemon; for SIGQUIT and SIGUSR1 it first runs the report handler there.
void PassSignalToMainLoop(int sig);
void SetSignalReportHandler(void (*report)(int sig));

namespace Json {
class Value;
}
// Writes <media>/kiv-info.json from the local systems list; removed when
// no address is known.
void WriteRuntimeInfoFile(Json::Value systems);
