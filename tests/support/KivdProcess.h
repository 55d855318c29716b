#pragma once
// Runs the real kivd program as a child process for end-to-end tests, with
// its own media directory, and talks to it through kivcmd.

#include <sys/types.h>

#include <string>
#include <vector>

namespace kivtest {

// The build whose kivd, kivcmd and plug-ins the daemons run: this test
// build, or the one named by KIV_DAEMON_BUILD_DIR (the soak runs a
// sanitizer build's daemon this way).
std::string daemonBuildDir();

class KivdProcess {
public:
    // mediaDir: the media directory the daemon uses (KIV_MEDIA_DIR).
    // installParent: where its private installation directory is made.
    explicit KivdProcess(const std::string& mediaDir, const std::string& installParent = "/tmp");
    ~KivdProcess();

    // An extra environment variable for the daemon started next.
    void setEnv(const std::string& name, const std::string& value);
    // The daemon started next runs in this network namespace (a path such
    // as /var/run/netns/NAME); its command socket is a file, so kivcmd
    // reaches it from anywhere.
    void setNetns(const std::string& path) { m_netns = path; }
    // Starts kivd with these arguments; stdout and stderr go to output().
    bool start(const std::vector<std::string>& args);
    // Waits until the command socket answers (the main loop runs).
    bool waitReady(int timeoutMs = 20000);
    // Runs kivcmd with the arguments; returns its exit status.
    int command(const std::vector<std::string>& args, std::string* out = nullptr, int timeoutSec = 10);
    // Sends a signal and waits for the process to end; returns the exit
    // status, or -1 when it did not end in time (it is then killed).
    int stop(int sig = 15, int timeoutMs = 20000);
    // Waits for the process to end by itself.
    int waitExit(int timeoutMs);
    bool running();
    pid_t pid() const { return m_pid; }
    std::string output() const;
    std::string log() const;
    // Where every thread of the running daemon is: its scheduling state and
    // a backtrace (by gdb), for a test that found the daemon unresponsive.
    std::string threads() const;
    // The daemon's own installation directory: links to the build's
    // programs and plug-ins, and a private www/ for its warnings file. It
    // is also the daemon's TMPDIR (where its crash log goes).
    const std::string& installDir() const { return m_install; }
    // Runs the kivd and kivcmd installed in binDir instead of the build's,
    // with KIV_INSTALL_DIR unset: the daemon finds its home by itself.
    void useInstalledPrograms(const std::string& binDir) { m_installedBin = binDir; }
    // Where the daemon's HTTP interface listens: unless the settings file
    // names "HTTPPort" or "HTTPBindAddress", start() adds a loopback
    // address and port of this test program's own, so daemons of tests
    // running side by side never compete for one port.
    const std::string& httpAddress() const { return m_httpAddress; }
    int httpPort() const { return m_httpPort; }
    // "http://<address>:<port>" + path
    std::string httpUrl(const std::string& path) const;

private:
    std::string m_installedBin;
    std::string m_netns;
    std::string m_media;
    std::string m_install;
    std::string m_outputFile;
    std::vector<std::pair<std::string, std::string>> m_env;
    std::string m_httpAddress;
    int m_httpPort = 0;
    pid_t m_pid = -1;
    int m_status = -1;
};

}  // namespace kivtest
