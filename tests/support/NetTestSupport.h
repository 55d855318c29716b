#pragma once
// Network fixtures for output tests: a packet capture through tshark (an
// independent decoder of the wire protocols), a network namespace joined to
// the test's own by a veth pair, and re-running one test case in a child
// process with a private network namespace (for multicast and broadcast).

#include <gtest/gtest.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace kivtest {

// Captures packets on an interface into a temporary pcap file.
class TsharkCapture {
public:
    TsharkCapture(const std::string& iface, const std::string& filter);
    ~TsharkCapture();
    static bool available();
    bool started() const { return m_started; }
    const std::string& error() const { return m_error; }
    // Ends the capture; the file stays for decode().
    bool stop();
    // tshark -r <file> <args>; returns its standard output.
    std::string decode(const std::string& args);

private:
    pid_t m_pid = -1;
    bool m_started = false;
    std::string m_dir;
    std::string m_error;
};

// A network namespace with a veth pair: `outside` in the test's namespace
// with outsideAddr/24, `inside` in the new one with insideAddr/24. Root only;
// removed (with the pair) by the destructor.
class VethNamespace {
public:
    VethNamespace(const std::string& name, const std::string& outside, const std::string& inside,
                  const std::string& outsideAddr, const std::string& insideAddr);
    ~VethNamespace();
    bool ok() const { return m_ok; }
    const std::string& error() const { return m_error; }
    // Runs a shell command inside the namespace.
    int exec(const std::string& cmd, std::string* out = nullptr);
    // Runs fn on a thread that entered the namespace; sockets it opens
    // belong to the namespace for their whole life.
    void runInside(const std::function<void()>& fn);

private:
    std::string m_name, m_outside;
    bool m_ok = false;
    std::string m_error;
};

// Runs fn on a thread that entered the network namespace at netnsPath
// (e.g. /var/run/netns/NAME); sockets it opens belong to that namespace
// for their whole life.
void runInNetns(const std::string& netnsPath, const std::function<void()>& fn);

// Boards on a network of the test's own: a hub namespace holding a bridge
// and one namespace per board, joined to the bridge by a veth pair, or by
// kivnetdelay for a link with delay and jitter. No interface of the test's
// own namespace takes part, so multicast stays among the boards. Names
// carry the pid; leftovers of test processes that died are removed first.
// Root only; the destructor removes everything.
class BoardNetwork {
public:
    BoardNetwork();
    ~BoardNetwork();
    bool ok() const { return m_ok; }
    const std::string& error() const { return m_error; }
    // A board with address 10.78.0.<host>/24, lo up and multicast routed to
    // its link, as a board's default route would (a program that cannot
    // choose its multicast interface, under qemu-user 7.2, still reaches
    // the others); with delayMs > 0
    // every frame on its link waits delayMs +- jitterMs. Its index, or -1
    // (error() says why).
    int addBoard(int host, double delayMs = 0, double jitterMs = 0);
    std::string address(int board) const { return "10.78.0." + std::to_string(m_hosts[board]); }
    const std::string& name(int board) const { return m_names[board]; }  // for ip -n
    std::string netns(int board) const { return "/var/run/netns/" + m_names[board]; }
    void runInside(int board, const std::function<void()>& fn) { runInNetns(netns(board), fn); }

private:
    std::string m_prefix;
    std::vector<std::string> m_names;
    std::vector<int> m_hosts;
    std::vector<pid_t> m_relays;
    bool m_ok = false;
    std::string m_error;
};

// True in the child started by rerunInPrivateNetns.
bool inPrivateNetns();
// Runs the current test case again in a child process under `unshare -n`
// with lo up; returns the child's exit status and its output in *out.
int rerunInPrivateNetns(std::string* out);

bool isRoot();

// A block of loopback addresses of this process's own, "<prefix>.<block>.x"
// with block in [first, first + count): tests run side by side, and a block
// picked from the pid alone can be another test's. The block is held by a
// socket bound, unshared, to "<prefix>.<block>.254" port 9 for the life of
// the process; it starts the search at the pid's block.
int reservedLoopbackBlock(const std::string& prefix, int first, int count);

// Shell commands that, inside a private namespace, create the veth pair
// kivshow0 (10.77.0.1/24, the board's show interface) - kivshow1 (up).
std::string privateShowNetworkCommand();

}  // namespace kivtest

// Placed first in a test body: outside a private network namespace it runs
// this same test again in a child under `unshare -n` (root and tshark
// needed, else the test is skipped) and checks that it passed there; inside
// the child it lets the test go on.
#define KIV_RUN_IN_PRIVATE_NETNS()                                                                   \
    if (!kivtest::inPrivateNetns()) {                                                                \
        if (!kivtest::isRoot()) GTEST_SKIP() << "needs root for a private network namespace (unshare -n)"; \
        if (!kivtest::TsharkCapture::available()) GTEST_SKIP() << "tshark is not installed";         \
        std::string kivNetnsOutput;                                                                  \
        EXPECT_EQ(0, kivtest::rerunInPrivateNetns(&kivNetnsOutput)) << kivNetnsOutput;               \
        EXPECT_NE(std::string::npos, kivNetnsOutput.find("[  PASSED  ] 1 test")) << kivNetnsOutput;  \
        return;                                                                                      \
    }
