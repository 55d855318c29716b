// kivd: the show controller daemon. Parses the command line, brings the
// services up in a fixed order, runs the main loop, takes the services
// down in a fixed order and, when asked to, replaces itself with a fresh
// copy that resumes where this one stopped.

#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "CrashReport.h"
#include "Events.h"
#include "LogRateLimit.h"
#include "MainLoop.h"
#include "OutputMonitor.h"
#include "Scheduler.h"
#include "Sequence.h"
#include "ThreadPriority.h"
#include "Warnings.h"
#include "channeloutput/PortLayout.h"
#include "channeloutput/channeloutput.h"
#include "commands/BoardCommands.h"
#include "commands/CommandSocket.h"
#include "commands/Commands.h"
#include "commands/ControllerCommands.h"
#include "commands/DaemonCommands.h"
#include "commands/InputCommands.h"
#include "commands/OverlayCommands.h"
#include "common.h"
#include "log.h"
#include "mediaoutput/mediaoutput.h"
#include "playlist/Player.h"
#include "sensors/Sensors.h"
#include "services/CurlManager.h"
#include "services/Hardware.h"
#include "services/GPIO.h"
#include "services/GPIOInputs.h"
#include "services/HomeAssistant.h"
#include "services/MQTT.h"
#include "services/MqttMessages.h"
#include "services/Overlays.h"
#include "services/PluginManager.h"
#include "settings.h"
#include "sync/MultiSync.h"
#include "sync/SyncFiles.h"

#include <curl/curl.h>
#include <Magick++.h>

#include "playlist/PlaylistEntryImage.h"
#include "services/DisplayOverlayModel.h"

std::string SystemUUID = "unknown";
static MosquittoClient* mqtt = nullptr;
static PiGPIOPinProvider* gpioProvider = nullptr;

static struct sigaction savedActions[5];
static const int crashSignals[5] = {SIGFPE, SIGILL, SIGBUS, SIGSEGV, SIGABRT};
static bool s_savedHandlers = false;

void usage(char* appname) {
    printf("Usage: %s [OPTION...]\n"
           "\n"
           "kivd is the Sorvex Player daemon.\n"
           "\n"
           "Options:\n"
           "  -f, --foreground              - Don't daemonize the application.  In the\n"
           "                                  foreground, all logging will be on the\n"
           "                                  console instead of the log file\n"
           "  -d, --daemonize               - Daemonize even if the config file says not to.\n"
           "  -v, --volume VOLUME           - Set a volume (over-written by config file)\n"
           "  -m, --mode MODE               - Set the mode: \"player\", \"bridge\",\n"
           "                                  \"master\", or \"remote\"\n"
           "  -l, --log-file FILENAME       - Set the log file\n"
           "  -H  --detect-hardware         - Detect Sorvex hardware on SPI port\n"
           "  -C  --configure-hardware      - Configure detected Sorvex hardware on SPI\n"
           "  -h, --help                    - This menu.\n"
           "      --log-level LEVEL         - Set the global log output level (all loggers):\n"
           "                                  \"info\", \"warn\", \"debug\", \"excess\")\n"
           "      --log-level LEVEL:logger  - Set the log level for one or more loggers.\n"
           "                                  each level should be separated by semicolons\n"
           "                                  with one or more loggers separated by commas.\n"
           "                                  example: debug:schedule,player;excess:mqtt \n"
           "                                  valid loggers are: \n"
           "                                    ChannelData - channel data itself\n"
           "                                    ChannelOut  - channel output code\n"
           "                                    Command     - command processing\n"
           "                                    Control     - Control socket debugging\n"
           "                                    E131Bridge  - E1.31 bridge\n"
           "                                    Effect      - Effects sequences\n"
           "                                    General     - general messages\n"
           "                                    GPIO        - GPIO Input handling\n"
           "                                    HTTP        - HTTP API requests\n"
           "                                    MediaOut    - Media file handling\n"
           "                                    Playlist    - Playlist handling\n"
           "                                    Plugin      - Plugin handling\n"
           "                                    Schedule    - Playlist scheduling\n"
           "                                    Sequence    - Sequence parsing\n"
           "                                    Setting     - Settings parsing\n"
           "                                    Sync        - Player/Remote Synchronization\n"
           "                                  The default logging is read from settings\n",
           appname);
}

int parseArguments(int argc, char** argv) {
    SetSetting("logFile", getKIVMediaDir("/logs/kivd.log"));
    enum { OPT_LOG_LEVEL = 1000, OPT_DETECT_PIFACE };
    static struct option longOptions[] = {{"displayvers", no_argument, 0, 'V'},
                                          {"foreground", no_argument, 0, 'f'},
                                          {"daemonize", no_argument, 0, 'd'},
                                          {"restarted", no_argument, 0, 'r'},
                                          {"volume", required_argument, 0, 'v'},
                                          {"mode", required_argument, 0, 'm'},
                                          {"log-file", required_argument, 0, 'l'},
                                          {"playlist", required_argument, 0, 'p'},
                                          {"position", required_argument, 0, 'P'},
                                          {"detect-hardware", no_argument, 0, 'H'},
                                          {"configure-hardware", no_argument, 0, 'C'},
                                          {"detect-piface", no_argument, 0, OPT_DETECT_PIFACE},
                                          {"help", no_argument, 0, 'h'},
                                          {"log-level", required_argument, 0, OPT_LOG_LEVEL},
                                          {0, 0, 0, 0}};
    int c;
    int index = 0;
    while ((c = getopt_long(argc, argv, "Vfdrv:m:l:p:P:HCh", longOptions, &index)) != -1) {
        switch (c) {
        case 'V':
            printVersionInfo();
            exit(0);
        case 'f':
            SetSetting("daemonize", 0);
            break;
        case 'd':
            SetSetting("daemonize", 1);
            break;
        case 'r':
            SetSetting("restarted", 1);
            break;
        case 'v':
            setVolume((int)strtol(optarg, nullptr, 10));
            break;
        case 'm':
            if (!strcmp(optarg, "player")) {
                setKIVmode(MODE_PLAYER);
            } else if (!strcmp(optarg, "master")) {
                setKIVmode(MODE_PLAYER);
                SetSetting("MultiSyncEnabled", 1);
            } else if (!strcmp(optarg, "remote")) {
                setKIVmode(MODE_REMOTE);
            } else {
                fprintf(stderr, "Error parsing mode\n");
                exit(1);
            }
            break;
        case 'l':
            SetSetting("logFile", optarg);
            break;
        case 'p':
            SetSetting("resumePlaylist", optarg);
            break;
        case 'P':
            SetSetting("resumePosition", (int)strtol(optarg, nullptr, 10));
            break;
        case 'H':
        case 'C': {
            PinCapabilities::InitGPIO("KIVD", new PiGPIOPinProvider());
            SetLogFile("", true);
            KIVLogger::INSTANCE.Settings.level = LOG_DEBUG;
            exit(DetectSorvexHardware(c == 'C') ? 1 : 0);
        }
        case 'h':
            usage(argv[0]);
            exit(0);
        case OPT_LOG_LEVEL:
            if (SetLogLevelComplex(optarg)) {
                printf("%s\n", KIVLogger::INSTANCE.GetLogLevelString().c_str());
                LogInfo(VB_SETTING, "Log Level set to %d (%s)\n", KIVLogger::INSTANCE.MinimumLogLevel(), optarg);
            }
            break;
        default:
            // --detect-piface has no handler and ends here like any unknown option
            usage(argv[0]);
            exit(1);
        }
    }
    SetLogFile(getSetting("logFile").c_str(), !getSettingInt("daemonize", 0));
    return 0;
}

void CreateDaemon() {
    pid_t pid = fork();
    if (pid < 0) exit(1);
    if (pid > 0) exit(0);
    umask(0);
    if (setsid() < 0) exit(1);
    pid = fork();
    if (pid < 0) exit(1);
    if (pid > 0) exit(0);
    close(0);
    close(1);
    close(2);
    // Keep 0-2 taken so no later socket or file lands on them and receives
    // stray writes meant for a terminal.
    int fd = open("/dev/null", O_RDWR);
    if (fd == 0) {
        dup2(0, 1);
        dup2(0, 2);
    }
}

// A report on request (SIGQUIT, SIGUSR1), written by the main loop outside
// the signal handler; the daemon then shuts down normally.
static void reportOnRequest(int sig) {
    if (BeginCrashReport() != CRASH_REPORT_CLAIMED) return;
    WriteCrashReport(sig);
    EndCrashReport();
}

void handleCrash(int sig) {
    bool fatal = sig != SIGQUIT && sig != SIGUSR1;
    if (!fatal) {
        PassSignalToMainLoop(sig);
        return;
    }
    if (BeginCrashReport() == CRASH_REPORT_NESTED) {
        // A fault inside the report would otherwise repeat forever.
        _exit(255);
    }
    // The process is broken: the report allocates nothing and takes no
    // locks, the notifier thread is left alone (it may hold its lock) and
    // no destructor runs on the way out.
    WriteCrashReport(sig);
    runMainKIVDLoop = 0;
    WriteCrashedWarning();
    _exit(255);
}

int setupExceptionHandlers() {
    if (!s_savedHandlers) {
        // On a stack of its own: after a stack overflow the thread's stack
        // has no room left for the handler. Every other thread gets its own
        // when it names itself (SetThreadName).
        EnsureSignalStack();
        struct sigaction sa;
        memset(&sa, 0, sizeof(sa));
        sa.sa_handler = handleCrash;
        sa.sa_flags = SA_ONSTACK;
        sigemptyset(&sa.sa_mask);
        bool ok = true;
        for (int i = 0; i < 5; ++i) {
            if (sigaction(crashSignals[i], &sa, &savedActions[i]) != 0) ok = false;
        }
        if (sigaction(SIGQUIT, &sa, nullptr) != 0) ok = false;
        if (sigaction(SIGUSR1, &sa, nullptr) != 0) ok = false;
        struct sigaction chld;
        memset(&chld, 0, sizeof(chld));
        chld.sa_handler = SIG_DFL;
        chld.sa_flags = SA_NOCLDWAIT;
        if (sigaction(SIGCHLD, &chld, nullptr) != 0) ok = false;
        if (!ok) {
            LogWarn(VB_GENERAL, "Failed to install our signal handler.\n");
            return 0;
        }
        s_savedHandlers = true;
        return 1;
    }
    bool ok = true;
    for (int i = 0; i < 5; ++i) {
        if (sigaction(crashSignals[i], &savedActions[i], nullptr) != 0) ok = false;
    }
    if (!ok) {
        LogWarn(VB_GENERAL, "Failed to install default signal handlers.\n");
        return 0;
    }
    s_savedHandlers = false;
    return 1;
}

static void kivdCallback(const std::string& topic, const std::string& payload) {
    LogDebug(VB_GENERAL, "System Callback for %s\n", topic.c_str());
    SystemRequest request = ParseSystemRequest(topic);
    if (request == SystemRequest::StopDaemon) {
        LogInfo(VB_GENERAL, "Stopping KIV for request:   %s\n", topic.c_str());
        ShutdownKIVD(false);
    } else if (request == SystemRequest::RestartDaemon) {
        LogInfo(VB_GENERAL, "Restarting KIV for request:   %s\n", topic.c_str());
        ShutdownKIVD(true);
    } else {
        // Topics come from anybody on the broker, maybe in a flood.
        static LogRateLimit invalidTopics(20);
        long heldBack = 0;
        bool last = false;
        if (invalidTopics.Allow(heldBack, &last)) {
            std::string shown = topic.size() > 120 ? topic.substr(0, 120) + "..." : topic;
            LogWarn(VB_GENERAL, "Invalid request in kivd_callback  %s%s\n", shown.c_str(),
                    LogRateLimit::Note(heldBack, last, "invalid requests").c_str());
        }
    }
}

static void systemCallback(const std::string& topic, const std::string& payload) {
    LogDebug(VB_GENERAL, "System Callback for %s\n", topic.c_str());
    std::string host = getSetting("webInterfaceHost", "127.0.0.1");
    std::string resp;
    SystemRequest request = ParseSystemRequest(topic);
    if (request == SystemRequest::ShutdownBoard) {
        LogInfo(VB_GENERAL, "Shutting down OS for request:   %s\n", topic.c_str());
        urlGet("http://" + host + "/api/system/shutdown", resp);
    } else if (request == SystemRequest::RebootBoard) {
        LogInfo(VB_GENERAL, "Restarting KIV for request:   %s\n", topic.c_str());
        urlGet("http://" + host + "/api/system/reboot", resp);
    } else {
        LogWarn(VB_GENERAL, "Invalid  request in mqtt_system_callback  %s\n", topic.c_str());
    }
}

int main(int argc, char* argv[]) {
    setupExceptionHandlers();
    KIVLogger::INSTANCE.Init();
    LoadSettings(argv[0]);
    if (DirectoryExists(getKIVMediaDir())) {
        // The folders the daemon writes to, made before the first log line.
        for (const char* sub : {"/logs", "/tmp", "/config", "/sequences", "/playlists"}) {
            if (!DirectoryExists(getKIVMediaDir(sub))) mkdir(getKIVMediaDir(sub).c_str(), 0775);
        }
    }
    SystemUUID = getSetting("SystemUUID", "unknown");
    curl_global_init(CURL_GLOBAL_ALL);
    // The image library installs no signal handlers: the crash handler stays in charge.
    MagickLib::InitializeMagickEx(nullptr, MAGICK_OPT_NO_SIGNAL_HANDER, nullptr);
    Magick::InitializeMagick(nullptr);

    parseArguments(argc, argv);
    InstallTerminationSignals();
    PrepareCrashReports();
    SetSignalReportHandler(reportOnRequest);
    ReportSettingsProblems();

    if (!DirectoryExists(getKIVMediaDir())) {
        LogErr(VB_GENERAL, "Media directory %s does not exist; set KIV_MEDIA_DIR to the show's media directory\n",
               getKIVMediaDir().c_str());
        WarningHolder::AddWarning("Media directory " + getKIVMediaDir() + " does not exist");
    }
    std::string restartMarker = getKIVMediaDir("/tmp/kivd_restarted");
    if (FileExists(restartMarker)) {
        unlink(restartMarker.c_str());
        SetSetting("restarted", 1);
    }
    if (loggingToFile()) {
        logVersionInfo();
    }
    if (getSettingInt("daemonize", 0)) {
        CreateDaemon();
    }
    // After detaching (a memory lock does not pass to a child), before the
    // threads that raise themselves start.
    InitThreadPriorities();
    gpioProvider = new PiGPIOPinProvider();
    PinCapabilities::InitGPIO("KIVD", gpioProvider);
    srand(time(nullptr));

    CommandManager::INSTANCE.Init();
    RegisterDaemonCommands();
    RegisterControllerCommands();
    RegisterInputCommands();
    RegisterBoardCommands();

    if (!getSetting("MQTTHost").empty()) {
        LogInfo(VB_GENERAL, "Creating MQTT\n");
        mqtt = new MosquittoClient(getSetting("MQTTHost"), getSettingInt("MQTTPort", 0), getSetting("MQTTPrefix"),
                                   getSetting("MQTTClientId"));
        if (mqtt->Init(getSetting("MQTTUsername"), getSetting("MQTTPassword"), getSetting("MQTTCaFile"))) {
            Events::AddEventHandler(mqtt);
            HomeAssistant::INSTANCE.Init(mqtt);
        } else {
            LogWarn(VB_GENERAL, "MQTT Init failed. Starting without MQTT. -- Maybe MQTT host doesn't resolve\n");
        }
    }
    Events::CallbackFunction kivdFn = kivdCallback;
    Events::AddCallback("/system/kivd/#", kivdFn);
    Events::CallbackFunction systemFn = systemCallback;
    Events::AddCallback("/system/shutdown", systemFn);
    Events::AddCallback("/system/restart", systemFn);

    WarningHolder::StartNotifyThread();

    LogInfo(VB_GENERAL, "Creating Scheduler, Playlist, and Sequence\n");
    scheduler = new Scheduler();
    sequence = new Sequence();
    LogInfo(VB_GENERAL, "Creation of Scheduler, Playlist, and Sequence Complete\n");

    if (!MultiSync::INSTANCE.Init()) {
        exit(1);
    }
    SyncFiles::INSTANCE.Init();

    Sensors::INSTANCE.DetectHWSensors();
    std::string capeSensors = getKIVMediaDir("/tmp/cape-sensors.json");
    Json::Value doc;
    if (FileExists(capeSensors) && LoadJsonFromFile(capeSensors, doc)) {
        if (doc.isMember("sensorSources")) Sensors::INSTANCE.addSensorSources(doc["sensorSources"]);
        Sensors::INSTANCE.addSensors(doc["sensors"]);
    }
    std::string sensorsFile = getKIVMediaDir("/config/sensors.json");
    if (Sensors::LoadDefinitions(sensorsFile, doc)) {
        Sensors::INSTANCE.addSensors(doc["sensors"]);
    }

    Player::INSTANCE.Init();
    PluginManager::INSTANCE.init();
    InitMediaOutput();
    DisplayOverlayModel::RegisterType();
    PixelOverlayManager::INSTANCE.Initialize();
    RegisterOverlayCommands();
    LoadPortLayout();
    InitializeChannelOutputs();
    PluginManager::INSTANCE.loadUserPlugins();
    InitEffects();
    ChannelTester::INSTANCE.RegisterCommands();

    WriteRuntimeInfoFile(MultiSync::INSTANCE.GetSystems(true, false));

    MainLoop();
    WaitForCrashReport();

    CommandManager::INSTANCE.TriggerPreset("KIVD_STOPPED");
    Events::PrepareForShutdown();
    CleanupMediaOutput();
    CloseEffects();
    CloseChannelOutputs();
    // Displays of overlay models are released (console back to text mode).
    PixelOverlayManager::INSTANCE.Cleanup();
    ClosePortLayout();

    OutputMonitor::INSTANCE.Cleanup();
    SyncFiles::INSTANCE.Shutdown();
    CommandManager::INSTANCE.Cleanup();
    MultiSync::INSTANCE.ShutdownSync();
    PluginManager::INSTANCE.Cleanup();
    GPIOInputs::INSTANCE.Cleanup();
    GPIOManager::INSTANCE.Cleanup();

    delete scheduler;
    scheduler = nullptr;
    delete sequence;
    sequence = nullptr;

    runMainKIVDLoop = -1;
    Sensors::INSTANCE.Close();
    WarningHolder::StopNotifyThread();

    if (mqtt) {
        HomeAssistant::INSTANCE.Close();
        Events::RemoveEventHandler(mqtt);
        delete mqtt;
        mqtt = nullptr;
    }
    delete gpioProvider;
    // Image entries still held by the player stop preparing before the library goes.
    PlaylistEntryImage::StopAllPreparation();
    MagickLib::DestroyMagick();
    CurlManager::INSTANCE.cleanup();
    curl_global_cleanup();

    std::string levels = KIVLogger::INSTANCE.GetLogLevelString();

    CloseCommand();
    CloseOpenFiles();
    WarningHolder::clearWarningsFile();

    if (restartKIVD) {
        LogInfo(VB_GENERAL, "Performing Restart.\n");
        unlink(getKIVMediaDir("/kiv-info.json").c_str());
        std::string program = getKIVDDir("/src/kivd");
        const char* mode = getSettingInt("daemonize", 0) ? "-d" : "-f";
        if (Player::INSTANCE.GetStatus() == PLAYER_PLAYING && Player::INSTANCE.WasScheduled()) {
            std::string playlist = Player::INSTANCE.GetPlaylistName();
            std::string position = std::to_string(Player::INSTANCE.GetPosition() - 1);
            execlp(program.c_str(), program.c_str(), mode, "--log-level", levels.c_str(), "-r", "-p",
                   playlist.c_str(), "-P", position.c_str(), (char*)nullptr);
        } else {
            execlp(program.c_str(), program.c_str(), mode, "--log-level", levels.c_str(), "-r", (char*)nullptr);
        }
        LogErr(VB_GENERAL, "Restart of %s failed: %s\n", program.c_str(), strerror(errno));
    }
    return 0;
}
