#include "MainLoop.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <thread>

#include "OutputMonitor.h"
#include "Scheduler.h"
#include "Sequence.h"
#include "Warnings.h"
#include "channeloutput/channeloutputthread.h"
#include "commands/CommandSocket.h"
#include "commands/Commands.h"
#include "http/APIServer.h"
#include "common.h"
#include "log.h"
#include "Events.h"
#include "bridge/Bridge.h"
#include "mediaoutput/mediaoutput.h"
#include "playlist/Player.h"
#include "services/CurlManager.h"
#include "sensors/Sensors.h"
#include "services/GPIO.h"
#include "services/GPIOInputs.h"
#include "services/HomeAssistant.h"
#include "sync/MultiSync.h"
#include "services/NetworkMonitor.h"
#include "services/Overlays.h"
#include "services/PluginManager.h"
#include "services/Timers.h"
#include "settings.h"

std::atomic<int> runMainKIVDLoop{1};
std::atomic<bool> restartKIVD{false};

static int terminationPipe[2] = {-1, -1};
static constexpr long long PERIODIC_MS = 1000;

void ShutdownKIVDCallback(bool restart) {
    LogInfo(VB_GENERAL, "Shutting down main loop.\n");
    restartKIVD = restart;
    runMainKIVDLoop = 0;
}

static void terminationSignal(int sig) {
    int saved = errno;
    if (terminationPipe[1] >= 0) {
        char c = (char)sig;
        if (write(terminationPipe[1], &c, 1) < 0) {
            // the pipe is full: a stop is already pending
        }
    }
    errno = saved;
}

void InstallTerminationSignals() {
    if (terminationPipe[0] < 0 && pipe2(terminationPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        LogErr(VB_GENERAL, "Unable to create the signal pipe: %s\n", strerror(errno));
        return;
    }
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = terminationSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

void PassSignalToMainLoop(int sig) { terminationSignal(sig); }

static void (*signalReportHandler)(int) = nullptr;
void SetSignalReportHandler(void (*report)(int sig)) { signalReportHandler = report; }

static bool readTerminationPipe(int fd) {
    char buf[16];
    ssize_t n = read(fd, buf, sizeof(buf));
    for (ssize_t i = 0; i < n; ++i) {
        int sig = buf[i];
        if ((sig == SIGQUIT || sig == SIGUSR1) && signalReportHandler) {
            // A report on request, written here where logging is safe.
            signalReportHandler(sig);
        } else if (sig) {
            LogInfo(VB_GENERAL, "Received signal %d, stopping\n", sig);
        }
    }
    if (n > 0 && runMainKIVDLoop) {
        ShutdownKIVD(false);
    }
    return false;
}

void PublishStatsForce(std::string reason) {
    SetThreadName("KIV-PubStats");
    std::string host = getSetting("webInterfaceHost", "127.0.0.1");
    std::string resp;
    urlPost("http://" + host + "/api/statistics/usage?reason=" + reason, "", resp);
    LogInfo(VB_GENERAL, "Publishing statistics because of \"%s\" = %s\n", reason.c_str(), resp.c_str());
}

void PublishStatsBackground(std::string reason) {
    static time_t lastPublish = time(nullptr) - 864000;
    time_t now = time(nullptr);
    if (now - lastPublish >= 864000) {
        lastPublish = now;
        std::string mode = getSetting("statsPublish", "");
        if (mode == "Enabled") {
            std::thread(PublishStatsForce, reason).detach();
        } else {
            LogInfo(VB_GENERAL, "Not Publishing statistics as mode is '%s'\n", mode.c_str());
        }
    } else {
        LogDebug(VB_GENERAL, "PublishStats called, but not been 10 days yet.\n");
    }
}

// A log that cannot be written (a full or read-only card) is a lasting
// problem the user must see; the log itself cannot tell them.
static void UpdateLogFileWarning() {
    static std::string shown;
    std::string why;
    long lost = 0;
    std::string warning;
    if (LogFileProblem(why, lost)) {
        warning = "Log file " + GetLogFile() + " cannot be written (" + why + "); log lines are being lost";
    }
    if (warning == shown) return;
    if (!shown.empty()) WarningHolder::RemoveWarning(shown);
    if (!warning.empty()) WarningHolder::AddWarning(warning);
    shown = warning;
}

void WriteRuntimeInfoFile(Json::Value info) {
    std::string path = getKIVMediaDir("/kiv-info.json");
    const Json::Value& systems = info["systems"];
    if (!systems.isArray() || systems.empty()) {
        if (unlink(path.c_str()) != 0 && errno != ENOENT) {
            LogWarn(VB_GENERAL, "Failed to remove file: %s\n", path.c_str());
        }
        LogInfo(VB_GENERAL, "Not creating %s as no IP addresses found\n", path.c_str());
        return;
    }
    std::string addresses;
    for (const auto& s : systems) {
        if (!addresses.empty()) addresses += ",";
        addresses += s["address"].asString();
    }
    Json::Value record = systems[0];
    record.removeMember("address");
    record["addresses"] = addresses;
    SaveJsonToFile(record, path, "\t");
}

void MainLoop() {
    RegisterShutdownHandler(ShutdownKIVDCallback);
    LogDebug(VB_GENERAL, "MainLoop()\n");

    std::map<int, std::function<bool(int)>> callbacks;
    int sock = Command_Initialize();
    LogDebug(VB_GENERAL, "Command socket: %d\n", sock);
    if (sock >= 0) {
        callbacks[sock] = [](int) {
            CommandProc();
            return false;
        };
    }
    int syncSock = MultiSync::INSTANCE.GetControlSocket();
    LogDebug(VB_GENERAL, "Multisync socket: %d\n", syncSock);
    if (syncSock >= 0) {
        callbacks[syncSock] = [](int) {
            MultiSync::INSTANCE.ProcessControlPacket(false);
            return false;
        };
    }
    if (terminationPipe[0] >= 0) {
        callbacks[terminationPipe[0]] = readTerminationPipe;
    }

    Bridge_Initialize(callbacks);
    APIServer* apiServer = new APIServer();
    apiServer->Init();
    OutputMonitor::INSTANCE.Initialize(callbacks);
    // After the ports (whose pins it refuses), before the pins' descriptors
    // go into the map.
    GPIOInputs::INSTANCE.Initialize(callbacks);
    GPIOManager::INSTANCE.Initialize(callbacks);
    PluginManager::INSTANCE.addControlCallbacks(callbacks);
    NetworkMonitor::INSTANCE.Init(callbacks);
    Sensors::INSTANCE.Init(callbacks);

    StartChannelOutputThread();
    // A fresh start blanks every output once; a restart keeps what shows.
    if (!getSettingInt("restarted", 0)) {
        sequence->SendBlankingData();
    }
    int alwaysTransmit = getSettingInt("alwaysTransmit", 0);
    if (getKIVmode() & MODE_PLAYER) {
        scheduler->CheckIfShouldBePlayingNow(0, -1);
    }
    CommandManager::INSTANCE.TriggerPreset("KIVD_STARTED");

    int epollfd = epoll_create1(EPOLL_CLOEXEC);
    for (auto& cb : callbacks) {
        struct epoll_event ev;
        memset(&ev, 0, sizeof(ev));
        ev.events = EPOLLIN;
        ev.data.fd = cb.first;
        if (epoll_ctl(epollfd, EPOLL_CTL_ADD, cb.first, &ev) < 0) {
            LogErr(VB_GENERAL, "epoll_ctl() failed for socket: %d  %s\n", cb.first, strerror(errno));
        }
    }

    MultiSync::INSTANCE.Discover();
    Events::Ready();
    LogInfo(VB_GENERAL, "Starting main processing loop\n");
    if (KIVLogger::INSTANCE.MinimumLogLevel() == LOG_EXCESS) {
        WarningHolder::AddWarning("A Log Level is set to Excessive");
    } else if (KIVLogger::INSTANCE.MinimumLogLevel() == LOG_DEBUG) {
        WarningHolder::AddWarning("A Log Level is set to Debug");
    }

    int sleepms = 50;
    int prevStatus = PLAYER_IDLE;
    long long lastPeriodicMs = GetMonotonicMS();
    int statsCountdown = 200;
    std::string statsReason = "Startup";
    struct epoll_event events[20];

    while (runMainKIVDLoop) {
        int n = epoll_wait(epollfd, events, 20, sleepms);
        if (n < 0) {
            if (errno == EINTR) continue;
            LogErr(VB_GENERAL, "Main epoll() failed: %s\n", strerror(errno));
            runMainKIVDLoop = 0;
            continue;
        }
        bool pushOutput = false;
        for (int i = 0; i < n; ++i) {
            auto it = callbacks.find(events[i].data.fd);
            if (it != callbacks.end()) {
                pushOutput |= it->second(events[i].data.fd);
            }
        }

        if (!ChannelOutputThreadIsRunning()) {
            if (PixelOverlayManager::INSTANCE.hasActiveOverlays()) {
                StartChannelOutputThread();
            } else if (ChannelTester::INSTANCE.Testing() || alwaysTransmit) {
                StartChannelOutputThread();
            } else if (sequence->hasBridgeData() || pushOutput) {
                StartChannelOutputThread();
            }
        }

        bool skipToPeriodic = false;
        if (getKIVmode() & MODE_PLAYER) {
            bool justRestarted = false;
            if (Player::INSTANCE.IsPlaying()) {
                if (prevStatus == PLAYER_IDLE) sleepms = 10;
                Player::INSTANCE.Process();
            }
            int status = Player::INSTANCE.GetStatus();
            if (status == PLAYER_IDLE &&
                (prevStatus == PLAYER_PLAYING || prevStatus == PLAYER_STOPPING_GRACEFULLY ||
                 prevStatus == PLAYER_STOPPING_GRACEFULLY_AFTER_LOOP || prevStatus == PLAYER_PAUSED)) {
                Player::INSTANCE.Cleanup();
                // The playlist just ended: should another one play now?
                if (Player::INSTANCE.m_forceStopped) {
                    scheduler->CheckIfShouldBePlayingNow(0, Player::INSTANCE.GetScheduleEntry());
                } else {
                    scheduler->CheckIfShouldBePlayingNow(0, -1);
                }
                if (Player::INSTANCE.GetStatus() != PLAYER_IDLE) {
                    prevStatus = PLAYER_IDLE;
                    scheduler->ScheduleProc();
                    justRestarted = true;
                } else {
                    sleepms = 50;
                }
            }
            if (!justRestarted) {
                prevStatus = Player::INSTANCE.GetStatus();
                scheduler->ScheduleProc();
            }
        } else if (getKIVmode() == MODE_REMOTE && mediaOutputStatus.status == MEDIAOUTPUTSTATUS_PLAYING) {
            Player::INSTANCE.ProcessMedia();
            if (pushOutput) ForceChannelOutputNow();
            skipToPeriodic = true;
        }
        if (!skipToPeriodic && pushOutput) {
            ForceChannelOutputNow();
        }

        // Periodic work once a second, whether busy or quiet. By the clock:
        // counting passes of the loop instead lets commands that arrive
        // about once per wait postpone it for good.
        if (n == 0) ProcessMediaEvents();
        long long nowMs = GetMonotonicMS();
        bool runPeriodic = nowMs - lastPeriodicMs >= PERIODIC_MS;
        if (runPeriodic) {
            lastPeriodicMs = nowMs;
            MultiSync::INSTANCE.PeriodicPing();
            UpdateLogFileWarning();
            HomeAssistant::INSTANCE.Update();
            if (--statsCountdown < 0) {
                PublishStatsBackground(statsReason);
                statsReason = "normal";
                statsCountdown = 60480;
            }
        }

        long long next = Timers::INSTANCE.nextFireTime();
        if (next >= 0) {
            long long now = GetTimeMS();
            if (now >= next) Timers::INSTANCE.fireTimersInternal(now);
        }
        if (CurlManager::INSTANCE.hasPending()) {
            CurlManager::INSTANCE.doProcessCurls();
        }
        GPIOManager::INSTANCE.CheckGPIOInputs();
    }

    close(epollfd);
    FinishLongCommands();
    // A remote's copy of its master's song ends with the loop.
    if (getKIVmode() == MODE_REMOTE) Player::INSTANCE.Cleanup();
    LogInfo(VB_GENERAL, "Stopping channel output thread.\n");
    StopChannelOutputThread();
    Bridge_Shutdown();
    NetworkMonitor::INSTANCE.Close();
    LogInfo(VB_GENERAL, "Main Loop complete, shutting down.\n");
    delete apiServer;
}
