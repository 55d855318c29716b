#pragma once
// A playlist entry type "test" for player, playlist and scheduler tests:
// it plays until the test finishes it, and records what the playlist did
// to it. Config keys: "name" (label in the event log), "lengthMs" and the
// elapsed time the test sets (to trigger preparing the next entry),
// "failInit" (Init fails), "missing" (FindMissingFile reports that path),
// "failStart" (ends at its first step, as an entry whose file vanished).

#include <string>
#include <vector>

namespace kivtest {

class TestEntries {
public:
    static void Register();  // adds type "test" to the playlist factory
    static void Reset();     // clears the event log and pending requests
    // Events in order, e.g. "a:start", "a:process", "a:stop", "a:prep".
    static std::vector<std::string> Events();
    // Events without the "process" steps.
    static std::vector<std::string> Milestones();
    static int Count(const std::string& event);
    // The playing entry with this name ends at its next Process call.
    static void Finish(const std::string& name);
    static void SetElapsed(const std::string& name, unsigned ms);
};

}  // namespace kivtest
