#pragma once
// Multi-system synchronisation. This daemon runs as a single player: sync
// initialises, reports itself disabled and opens no socket, so the callers'
// "only when enabled" paths stay quiet. It still describes the local system
// (GetSystems) for the runtime information file.

#include <string>

#include <json/json.h>

class MultiSync {
public:
    static MultiSync INSTANCE;

    bool Init();
    void ShutdownSync();
    bool isMultiSyncEnabled() const { return false; }
    int GetControlSocket() const { return m_controlSock; }
    void ProcessControlPacket(bool pingOnly);
    void Discover();
    void PeriodicPing();
    Json::Value GetSystems(bool localOnly, bool timestamps);

    void SendSeqOpenPacket(const std::string& filename) {}
    void SendSeqSyncStartPacket(const std::string& filename) {}
    void SendSeqSyncStopPacket(const std::string& filename) {}
    void SendSeqSyncPacket(const std::string& filename, int frames, float seconds) {}
    void SendBlankingDataPacket() {}
    void SendMediaOpenPacket(const std::string& filename) {}
    void SendMediaSyncStartPacket(const std::string& filename) {}
    void SendMediaSyncStopPacket(const std::string& filename) {}
    void SendMediaSyncPacket(const std::string& filename, float seconds) {}
    bool m_sendMediaSync = false;

private:
    int m_controlSock = -1;
};

extern MultiSync* multiSync;
