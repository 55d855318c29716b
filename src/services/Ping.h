#pragma once
// One ICMP echo to a host. Returns the round-trip time in ms plus one (so
// any answer is above 0), 0 on a timeout and -1 when no echo could be sent.

#include <string>

int ping(const std::string& host, int timeoutMs);
