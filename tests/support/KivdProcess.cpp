#include "KivdProcess.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "TestSupport.h"
#include "common.h"

namespace kivtest {

std::string daemonBuildDir() {
    const char* env = getenv("KIV_DAEMON_BUILD_DIR");
    return env && env[0] ? env : buildDir();
}

KivdProcess::KivdProcess(const std::string& mediaDir, const std::string& installParent) : m_media(mediaDir) {
    std::string tmpl = installParent + "/kivinstall-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back(0);
    if (mkdtemp(buf.data())) m_install = buf.data();
    m_outputFile = m_install + "/kivd-output.txt";
    if (symlink((daemonBuildDir() + "/src").c_str(), (m_install + "/src").c_str()) != 0 ||
        symlink((daemonBuildDir() + "/plugins").c_str(), (m_install + "/plugins").c_str()) != 0) {
        // the daemon then fails to start or load plug-ins, which the test sees
    }
    mkdir((m_install + "/www").c_str(), 0775);
    static std::atomic<int> instances{0};
    int n = instances++;
    pid_t pid = getpid();
    m_httpAddress = "127.204." + std::to_string(1 + (pid / 250) % 250) + "." + std::to_string(1 + pid % 250);
    m_httpPort = 32400 + n % 1000;
}

std::string KivdProcess::httpUrl(const std::string& path) const {
    return "http://" + m_httpAddress + ":" + std::to_string(m_httpPort) + path;
}

// The pages the build ships in <build>/www, linked into the private www/
// (which keeps its own warnings file).
static void linkWwwFiles(const std::string& install) {
    std::string from = daemonBuildDir() + "/www";
    DIR* dir = opendir(from.c_str());
    if (!dir) return;
    while (struct dirent* e = readdir(dir)) {
        std::string name = e->d_name;
        if (name == "." || name == ".." || name == "warnings.json") continue;
        if (symlink((from + "/" + name).c_str(), (install + "/www/" + name).c_str()) != 0) {
            // already linked by an earlier start
        }
    }
    closedir(dir);
}

KivdProcess::~KivdProcess() {
    if (running()) stop(SIGKILL, 5000);
    if (!m_install.empty()) runCommand("rm -rf '" + m_install + "'");
}

void KivdProcess::setEnv(const std::string& name, const std::string& value) { m_env.emplace_back(name, value); }

bool KivdProcess::start(const std::vector<std::string>& args) {
    std::string program = m_installedBin.empty() ? daemonBuildDir() + "/src/kivd" : m_installedBin + "/kivd";
    linkWwwFiles(m_install);
    std::string settingsFile = m_media + "/settings";
    std::string settings = GetFileContents(settingsFile);
    if (settings.find("HTTPPort") == std::string::npos && settings.find("HTTPBindAddress") == std::string::npos) {
        PutFileContents(settingsFile, settings + "\nHTTPBindAddress = " + m_httpAddress +
                                          "\nHTTPPort = " + std::to_string(m_httpPort) + "\n");
    }
    m_pid = fork();
    if (m_pid < 0) return false;
    if (m_pid == 0) {
        int fd = open(m_outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
        setenv("KIV_MEDIA_DIR", m_media.c_str(), 1);
        if (m_installedBin.empty()) {
            setenv("KIV_INSTALL_DIR", m_install.c_str(), 1);
        } else {
            unsetenv("KIV_INSTALL_DIR");
        }
        // Temporary files such as the crash log stay with this daemon.
        setenv("TMPDIR", m_install.c_str(), 1);
        for (auto& e : m_env) setenv(e.first.c_str(), e.second.c_str(), 1);
        if (!m_netns.empty()) {
            int ns = open(m_netns.c_str(), O_RDONLY | O_CLOEXEC);
            if (ns < 0 || setns(ns, CLONE_NEWNET) != 0) _exit(126);
        }
        std::vector<char*> argv;
        argv.push_back((char*)program.c_str());
        for (auto& a : args) argv.push_back((char*)a.c_str());
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    return true;
}

int KivdProcess::command(const std::vector<std::string>& args, std::string* out, int timeoutSec) {
    std::string client = m_installedBin.empty() ? daemonBuildDir() + "/src/kivcmd" : m_installedBin + "/kivcmd";
    // kivcmd's answer address is abstract, and those belong to a network
    // namespace: it runs in the daemon's.
    std::string enter = m_netns.empty() ? "" : "nsenter --net='" + m_netns + "' ";
    std::string cmd = "KIV_MEDIA_DIR='" + m_media + "' " + enter + client + " -t " + std::to_string(timeoutSec);
    for (auto& a : args) cmd += " '" + a + "'";
    return runCommand(cmd, out);
}

bool KivdProcess::waitReady(int timeoutMs) {
    return waitUntil([&] { return command({"List Commands"}, nullptr, 2) == 0 || !running(); }, timeoutMs) &&
           running();
}

bool KivdProcess::running() {
    if (m_pid <= 0) return false;
    int status = 0;
    pid_t r = waitpid(m_pid, &status, WNOHANG);
    if (r == m_pid) {
        m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        m_pid = -1;
        return false;
    }
    return r == 0;
}

int KivdProcess::waitExit(int timeoutMs) {
    if (waitUntil([&] { return !running(); }, timeoutMs)) return m_status;
    return -1;
}

int KivdProcess::stop(int sig, int timeoutMs) {
    if (!running()) return m_status;
    kill(m_pid, sig);
    int r = waitExit(timeoutMs);
    if (r == -1 && m_pid > 0) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
    return r;
}

std::string KivdProcess::output() const { return GetFileContents(m_outputFile); }
std::string KivdProcess::log() const { return GetFileContents(m_media + "/logs/kivd.log"); }

std::string KivdProcess::threads() const {
    if (m_pid <= 0) return "(not running)\n";
    std::string text, dir = "/proc/" + std::to_string(m_pid) + "/task";
    if (DIR* d = opendir(dir.c_str())) {
        while (struct dirent* e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            std::string t = dir + "/" + e->d_name;
            std::string comm = GetFileContents(t + "/comm"), stat = GetFileContents(t + "/stat");
            size_t close = stat.rfind(')');
            long long ranNs = 0, waitedNs = 0;  // schedstat: run and wait times in ns
            sscanf(GetFileContents(t + "/schedstat").c_str(), "%lld %lld", &ranNs, &waitedNs);
            text += std::string(e->d_name) + " " + comm.substr(0, comm.find('\n')) + " state " +
                    (close != std::string::npos ? stat.substr(close + 2, 1) : "?") + ", wchan " +
                    GetFileContents(t + "/wchan") + ", ran " + std::to_string(ranNs / 1000000) +
                    " ms, waited to run " + std::to_string(waitedNs / 1000000) + " ms\n";
        }
        closedir(d);
    }
    // Under an emulator the debugger would only see the emulator's frames.
    if (underEmulator()) return text;
    std::string stacks;
    runCommand("timeout -k 5 20 gdb -p " + std::to_string(m_pid) +
                   " -batch -nx -ex 'set pagination off' -ex 'thread apply all bt 12' 2>&1 | grep -E '^(Thread|#)'",
               &stacks);
    return text + stacks;
}

}  // namespace kivtest
