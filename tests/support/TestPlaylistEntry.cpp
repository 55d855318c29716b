#include "TestPlaylistEntry.h"

#include <map>
#include <mutex>

#include "playlist/Playlist.h"
#include "playlist/PlaylistEntryBase.h"

namespace kivtest {
namespace {

std::mutex lock;  // guards everything below
std::vector<std::string> events;
std::map<std::string, int> finishRequests;
std::map<std::string, unsigned> elapsed;

void record(const std::string& e) {
    std::lock_guard<std::mutex> l(lock);
    events.push_back(e);
}

class TestEntry : public PlaylistEntryBase {
public:
    TestEntry(Playlist* p, PlaylistEntryBase* parent) : PlaylistEntryBase(p, parent) { m_type = "test"; }

    bool Init(Json::Value& config) override {
        m_name = config["name"].asString();
        m_lengthMs = config["lengthMs"].asUInt();
        m_failStart = config["failStart"].asBool();
        m_missing = config["missing"].asString();
        if (config["failInit"].asBool()) return false;
        return PlaylistEntryBase::Init(config);
    }
    int StartPlaying() override {
        if (!CanPlay()) {
            FinishPlay();
            record(m_name + ":refused");
            return 0;
        }
        record(m_name + ":start");
        {
            std::lock_guard<std::mutex> l(lock);
            finishRequests[m_name] = 0;
            elapsed[m_name] = 0;
        }
        return PlaylistEntryBase::StartPlaying();
    }
    int Process() override {
        record(m_name + ":process");
        bool finish = m_failStart;
        {
            std::lock_guard<std::mutex> l(lock);
            if (finishRequests[m_name] > 0) {
                --finishRequests[m_name];
                finish = true;
            }
        }
        if (finish) {
            record(m_name + ":end");
            FinishPlay();
        }
        return PlaylistEntryBase::Process();
    }
    int Stop() override {
        record(m_name + ":stop");
        return PlaylistEntryBase::Stop();
    }
    int Prep() override {
        record(m_name + ":prep");
        return 1;
    }
    void Pause() override {
        record(m_name + ":pause");
        m_paused = true;
    }
    bool IsPaused() override { return m_paused; }
    void Resume() override {
        record(m_name + ":resume");
        m_paused = false;
    }
    uint64_t GetLengthInMS() override { return m_lengthMs; }
    uint64_t GetElapsedMS() override {
        std::lock_guard<std::mutex> l(lock);
        return elapsed[m_name];
    }
    std::string FindMissingFile() override { return m_missing; }
    Json::Value GetConfig() override {
        Json::Value v = PlaylistEntryBase::GetConfig();
        v["name"] = m_name;
        return v;
    }

private:
    std::string m_name;
    unsigned m_lengthMs = 0;
    bool m_failStart = false;
    bool m_paused = false;
    std::string m_missing;
};

}  // namespace

void TestEntries::Register() {
    Playlist::RegisterEntryType("test", [](Playlist* p, PlaylistEntryBase* parent) { return new TestEntry(p, parent); });
}

void TestEntries::Reset() {
    std::lock_guard<std::mutex> l(lock);
    events.clear();
    finishRequests.clear();
    elapsed.clear();
}

std::vector<std::string> TestEntries::Events() {
    std::lock_guard<std::mutex> l(lock);
    return events;
}

std::vector<std::string> TestEntries::Milestones() {
    std::vector<std::string> out;
    for (auto& e : Events()) {
        if (e.size() < 8 || e.compare(e.size() - 8, 8, ":process") != 0) out.push_back(e);
    }
    return out;
}

int TestEntries::Count(const std::string& event) {
    int n = 0;
    for (auto& e : Events()) n += e == event;
    return n;
}

void TestEntries::Finish(const std::string& name) {
    std::lock_guard<std::mutex> l(lock);
    finishRequests[name]++;
}

void TestEntries::SetElapsed(const std::string& name, unsigned ms) {
    std::lock_guard<std::mutex> l(lock);
    elapsed[name] = ms;
}

}  // namespace kivtest
