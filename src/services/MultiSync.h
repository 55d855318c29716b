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

    // System type ids shared by synchronised systems and controller
    // detection, and their model names (docs/controllers.md lists them).
    static constexpr int TYPE_UNDETERMINED = 0x01;
    // The model name of a type id; "Unknown System Type" for an id not in
    // the table. local: the id describes this very board, so an
    // undetermined type names the board model the kernel reports.
    static std::string GetTypeString(int type, bool local = false);
    // The type id of a model name (case-insensitive; a known name followed
    // by a blank and more text, such as a board revision, counts too);
    // TYPE_UNDETERMINED when the name is not known.
    static int ModelStringToType(std::string model);

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
