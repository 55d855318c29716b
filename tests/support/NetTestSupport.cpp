#include "NetTestSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstdio>
#include <dirent.h>
#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "common.h"

namespace kivtest {

bool isRoot() { return geteuid() == 0; }

std::string privateShowNetworkCommand() {
    return "ip link add kivshow0 type veth peer name kivshow1 && ip addr add 10.77.0.1/24 dev kivshow0 && "
           "ip link set kivshow1 up && ip link set kivshow0 up";
}

bool TsharkCapture::available() { return runCommand("command -v tshark >/dev/null") == 0; }

int reservedLoopbackBlock(const std::string& prefix, int first, int count) {
    for (int i = 0; i < count; ++i) {
        int block = first + ((int)getpid() + i) % count;
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a;
        memset(&a, 0, sizeof(a));
        a.sin_family = AF_INET;
        a.sin_port = htons(9);
        if (fd >= 0 && inet_pton(AF_INET, (prefix + "." + std::to_string(block) + ".254").c_str(), &a.sin_addr) == 1 &&
            bind(fd, (sockaddr*)&a, sizeof(a)) == 0) {
            return block;  // the descriptor stays open: the block is ours
        }
        if (fd >= 0) close(fd);
    }
    return first + (int)getpid() % count;
}

TsharkCapture::TsharkCapture(const std::string& iface, const std::string& filter) {
    char tmpl[] = "/tmp/kivcap-XXXXXX";
    char* d = mkdtemp(tmpl);
    if (!d) {
        m_error = "no temporary directory";
        return;
    }
    m_dir = d;
    std::string pcap = m_dir + "/capture.pcap";
    std::string log = m_dir + "/tshark.log";
    m_pid = fork();
    if (m_pid == 0) {
        int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
        }
        execlp("tshark", "tshark", "-i", iface.c_str(), "-f", filter.c_str(), "-w", pcap.c_str(), (char*)nullptr);
        _exit(127);
    }
    if (m_pid < 0) {
        m_error = "fork failed";
        return;
    }
    // tshark says so on stderr when it has started its capture program, and
    // that program writes the file's header once the interface is open and
    // filtered: on a busy machine the first can come well before the second.
    m_started = waitUntil(
        [&] {
            struct stat st;
            return GetFileContents(log).find("Capturing on") != std::string::npos &&
                   stat(pcap.c_str(), &st) == 0 && st.st_size > 0;
        },
        20000);
    if (!m_started) {
        m_error = "tshark did not start capturing: " + GetFileContents(log);
        stop();
    } else {
        usleep(300000);
    }
}

TsharkCapture::~TsharkCapture() {
    stop();
    if (!m_dir.empty() && !getenv("KIV_KEEP_TEST_DIRS")) runCommand("rm -rf '" + m_dir + "'");
}

bool TsharkCapture::stop() {
    if (m_pid <= 0) return false;
    // Let the last datagrams reach the capture buffer before ending it.
    usleep(300000);
    kill(m_pid, SIGINT);
    int status = 0;
    bool done = waitUntil([&] { return waitpid(m_pid, &status, WNOHANG) == m_pid; }, 15000);
    if (!done) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, &status, 0);
    }
    m_pid = -1;
    return done;
}

std::string TsharkCapture::decode(const std::string& args) {
    std::string out;
    // The group keeps tshark's notices on stderr out of the decoded text.
    runCommand("{ tshark -r '" + m_dir + "/capture.pcap' " + args + " 2>/dev/null; }", &out);
    return out;
}

VethNamespace::VethNamespace(const std::string& name, const std::string& outside, const std::string& inside,
                             const std::string& outsideAddr, const std::string& insideAddr)
    : m_name(name), m_outside(outside) {
    std::string out;
    runCommand("ip netns del " + name + " 2>/dev/null; ip link del " + outside + " 2>/dev/null");
    std::string cmd = "ip netns add " + name + " && ip link add " + outside + " type veth peer name " + inside +
                      " netns " + name + " && ip addr add " + outsideAddr + "/24 dev " + outside +
                      " && ip link set " + outside + " up && ip netns exec " + name + " ip addr add " + insideAddr +
                      "/24 dev " + inside + " && ip netns exec " + name + " ip link set " + inside +
                      " up && ip netns exec " + name + " ip link set lo up";
    if (runCommand(cmd, &out) != 0) {
        m_error = out;
        return;
    }
    m_ok = true;
}

VethNamespace::~VethNamespace() {
    runCommand("ip link del " + m_outside + " 2>/dev/null; ip netns del " + m_name + " 2>/dev/null");
}

int VethNamespace::exec(const std::string& cmd, std::string* out) {
    return runCommand("ip netns exec " + m_name + " sh -c '" + cmd + "'", out);
}

void VethNamespace::runInside(const std::function<void()>& fn) { runInNetns("/var/run/netns/" + m_name, fn); }

void runInNetns(const std::string& netnsPath, const std::function<void()>& fn) {
    std::thread t([&] {
        int fd = open(netnsPath.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return;
        // Only this thread moves; it ends right after fn.
        if (setns(fd, CLONE_NEWNET) == 0) fn();
        close(fd);
    });
    t.join();
}

BoardNetwork::BoardNetwork() {
    // Namespaces of test processes that died without their destructor.
    DIR* dir = opendir("/var/run/netns");
    while (dir) {
        struct dirent* e = readdir(dir);
        if (!e) break;
        int pid = 0;
        if (sscanf(e->d_name, "kvb%d-", &pid) == 1 && pid > 0 && kill(pid, 0) != 0 && errno == ESRCH) {
            runCommand(std::string("ip netns del ") + e->d_name + " 2>/dev/null");
        }
    }
    if (dir) closedir(dir);
    m_prefix = "kvb" + std::to_string(getpid()) + "-";
    std::string out;
    std::string hub = m_prefix + "hub";
    if (runCommand("ip netns add " + hub + " && ip -n " + hub + " link add br0 type bridge mcast_snooping 0 && ip -n " +
                       hub + " link set br0 up",
                   &out) != 0) {
        m_error = "cannot make the hub namespace: " + out;
        return;
    }
    m_ok = true;
}

BoardNetwork::~BoardNetwork() {
    for (pid_t p : m_relays) {
        kill(p, SIGTERM);
        waitpid(p, nullptr, 0);
    }
    for (auto& n : m_names) runCommand("ip netns del " + n + " 2>/dev/null");
    runCommand("ip netns del " + m_prefix + "hub 2>/dev/null");
}

int BoardNetwork::addBoard(int host, double delayMs, double jitterMs) {
    int index = (int)m_names.size();
    std::string name = m_prefix + std::to_string(index);
    std::string hub = m_prefix + "hub";
    std::string port = "p" + std::to_string(index);
    std::string out;
    if (runCommand("ip netns add " + name, &out) != 0) {
        m_error = "cannot make namespace " + name + ": " + out;
        return -1;
    }
    m_names.push_back(name);
    m_hosts.push_back(host);
    std::string link;
    if (delayMs > 0) {
        int fds[2];
        if (pipe(fds) != 0) return -1;
        pid_t pid = fork();
        if (pid == 0) {
            dup2(fds[1], 1);
            close(fds[0]);
            std::string program = programPath("kivnetdelay");
            std::string d = std::to_string(delayMs), j = std::to_string(jitterMs), s = std::to_string(100 + index);
            execl(program.c_str(), program.c_str(), "-b", name.c_str(), "-h", hub.c_str(), "-p", port.c_str(), "-d",
                  d.c_str(), "-j", j.c_str(), "-s", s.c_str(), (char*)nullptr);
            _exit(127);
        }
        close(fds[1]);
        char ready[16] = "";
        ssize_t n = pid > 0 ? read(fds[0], ready, sizeof(ready) - 1) : -1;
        close(fds[0]);
        if (pid > 0) m_relays.push_back(pid);
        if (n <= 0 || strncmp(ready, "ready", 5) != 0) {
            m_error = "kivnetdelay did not start";
            return -1;
        }
    } else {
        link = "ip -n " + hub + " link add " + port + " type veth peer name eth0 netns " + name + " && ";
    }
    if (runCommand(link + "ip -n " + hub + " link set " + port + " master br0 up && ip -n " + name + " addr add " +
                       address(index) + "/24 dev eth0 && ip -n " + name + " link set eth0 up && ip -n " + name +
                       " link set lo up && ip -n " + name + " route add 224.0.0.0/4 dev eth0",
                   &out) != 0) {
        m_error = "cannot set up board " + name + ": " + out;
        return -1;
    }
    return index;
}

bool inPrivateNetns() {
    const char* v = getenv("KIV_PRIVATE_NETNS");
    return v && std::string(v) == "1";
}

int rerunInPrivateNetns(std::string* out) {
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    if (n <= 0) return -1;
    exe[n] = 0;
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string filter = std::string(info->test_suite_name()) + "." + info->name();
    std::string cmd = "KIV_PRIVATE_NETNS=1 unshare -n sh -c 'ip link set lo up && exec \"" + std::string(exe) +
                      "\" --gtest_filter=" + filter + "'";
    return runCommand(cmd, out);
}

}  // namespace kivtest
