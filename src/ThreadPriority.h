#pragma once
// Raised scheduling priority for the threads whose lateness the audience
// sees, in this order: the channel output thread, the audio decode thread,
// the sequence read-ahead threads (frames and compressed blocks), and the
// thread that reads live input (which is only ever niced: a flood of input
// at real-time priority would take a processor from everything else). Real
// time (SCHED_FIFO) where the system allows it (root, CAP_SYS_NICE, or a
// RLIMIT_RTPRIO such as the systemd unit's LimitRTPRIO), else a lower nice
// value where RLIMIT_NICE allows it, else normal priority. The setting
// "RealTimePriority" 0 turns it off; "LockMemory" 1 also locks the
// daemon's memory so that none of it is paged out during a show.
// kivd calls InitThreadPriorities once at start, before its threads; each
// of those threads raises itself when it starts. Bulk work that must give
// way to all of them (an upload written to disk) runs on a thread of its
// own that lowers itself.

#include <string>

enum class ThreadRole { Output, Decode, ReadAhead, LiveInput };

// Reads the settings, finds out what the system allows, locks memory when
// asked, and logs one line saying what priority the threads get.
void InitThreadPriorities();
// Raises the calling thread to its role's priority (nothing unless
// InitThreadPriorities allowed it). Returns what it got: "SCHED_FIFO 40",
// "nice -10" or "normal".
std::string RaiseThreadPriority(ThreadRole role);
// Lowers the calling thread below every other: SCHED_BATCH at nice 5, and
// the lowest best-effort IO priority for what it reads and writes. For a
// thread of its own: it is not raised again (without privileges it could
// not be). Returns what it got, such as "SCHED_BATCH nice 5, IO best-effort 7".
std::string LowerThreadPriority();
