#pragma once
// The sync service's UDP socket: bound to the sync port, a member of the
// multicast group on the board's interfaces, sending to the group and to an
// optional list of unicast addresses, and receiving with the kernel's
// arrival time stamp. Owned by MultiSync; sends may come from any thread,
// receives from the main loop only.

#include <netinet/in.h>

#include <mutex>
#include <string>
#include <vector>

class SyncTransport {
public:
    struct Options {
        int port = 0;
        std::string group;            // multicast group, dotted
        std::string interfaceName;    // "" = every up, multicast-capable, non-loopback interface
        bool sendMulticast = true;    // false: send to the unicast list only
        std::vector<std::string> unicast;  // numeric IPv4 addresses
    };

    ~SyncTransport() { Close(); }
    // False with the reason when the socket cannot be opened or bound. A
    // bad unicast address is reported in `problems` and left out.
    bool Open(const Options& o, std::string& error, std::vector<std::string>& problems);
    void Close();
    int Fd() const { return m_fd; }
    // Joins the group on an interface that came up after Open.
    void JoinInterface(const std::string& name);
    // To the group on every joined interface and to each unicast address;
    // the number of datagrams the kernel took.
    int Send(const std::vector<uint8_t>& bytes);
    bool SendTo(const std::vector<uint8_t>& bytes, const sockaddr_in& to);
    // One waiting datagram (false when none): its bytes, sender and the
    // wall-clock time the kernel received it.
    bool Receive(std::vector<uint8_t>& buf, size_t& len, sockaddr_in& from, long long& arrivalWallUs);
    // Addresses of the interfaces joined (for status and self-recognition).
    std::vector<std::string> LocalAddresses();

private:
    struct Joined {
        std::string name;
        int index;
        in_addr address;
    };
    bool JoinLocked(const std::string& name, int index, in_addr address);

    int m_fd = -1;
    Options m_options;
    in_addr m_group{};
    std::vector<sockaddr_in> m_unicast;
    std::mutex m_lock;  // guards m_joined and the multicast interface choice of a send
    std::vector<Joined> m_joined;
};
