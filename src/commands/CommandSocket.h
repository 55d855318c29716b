#pragma once
// The local command socket: a Unix datagram socket (default
// <media>/tmp/kivd.sock, setting "commandSocket") on which each datagram is
// one JSON command document; the answer goes back to the sender as
// {"error": bool, "contentType": text, "result": text}. Commands that run
// long are answered from a worker thread of their own.

#include <string>

std::string CommandSocketPath();
int Command_Initialize();
void CommandProc();
void CloseCommand();
// Waits until every command that runs long (Command::runsLong) answered.
void FinishLongCommands();
