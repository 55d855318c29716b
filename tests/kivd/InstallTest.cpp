// An installed system: `cmake --install` of this build into a scratch
// prefix puts the programs in <prefix>/bin and the plug-ins, the restart
// link and the warnings link in the daemon's home below <prefix>/lib, with
// the demo show and the manual pages under <prefix>/share. The installed
// kivd, started without KIV_INSTALL_DIR, finds its plug-ins there and plays
// the demo.

#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>
#include <sstream>

#include "KivdProcess.h"
#include "MediaTestSupport.h"
#include "TestSupport.h"
#include "common.h"
#include "hseq/HSEQFile.h"
#include "monitor/PacketDecoder.h"

namespace {

// Loopback addresses of this test program's own (see OutputsEndToEndTest).
std::string lo(int n) {
    static const int block = 100 + (int)getpid() % 100;
    return "127.201." + std::to_string(block) + "." + std::to_string(n);
}

std::string RealPath(const std::string& path) {
    char buf[PATH_MAX];
    return realpath(path.c_str(), buf) ? std::string(buf) : std::string();
}

std::string LinkTarget(const std::string& path) {
    char buf[PATH_MAX];
    ssize_t n = readlink(path.c_str(), buf, sizeof(buf) - 1);
    if (n < 0) return "";
    buf[n] = 0;
    return buf;
}

class InstalledTree : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kivprefix-XXXXXX";
        ASSERT_TRUE(mkdtemp(tmpl));
        m_prefix = tmpl;
        std::string out;
        ASSERT_EQ(kivtest::runCommand("cmake --install '" + kivtest::buildDir() + "' --prefix '" + m_prefix + "'", &out),
                  0)
            << out;
        m_home = m_prefix + "/" KIV_TEST_INSTALL_HOME_REL;
    }
    void TearDown() override {
        if (!m_prefix.empty()) kivtest::runCommand("rm -rf '" + m_prefix + "'");
    }
    std::string m_prefix;
    std::string m_home;
};

TEST_F(InstalledTree, ProgramsPluginsLinksDemoAndManualPagesLandInTheirFolders) {
    for (const char* program : {"kivd", "kivcmd", "kivmon", "hsequtils"}) {
        EXPECT_EQ(access((m_prefix + "/bin/" + program).c_str(), X_OK), 0) << program;
    }
    EXPECT_TRUE(FileExists(m_home + "/plugins/UDP.so"));
    EXPECT_TRUE(FileExists(m_home + "/plugins/GenericUDP.so"));
    EXPECT_TRUE(FileExists(m_home + "/plugins/HTTPVirtualDisplay.so"));
    EXPECT_TRUE(FileExists(m_home + "/plugins/SPIPixels.so"));
    EXPECT_TRUE(FileExists(m_home + "/plugins/DMXSerial.so"));
    for (const char* header : {"Plugin.h", "UserPlugin.h"})
        EXPECT_TRUE(FileExists(m_prefix + "/include/kiv/" + header)) << header;
    // Every page is installed and linked into the runtime folder at boot,
    // or the status page and the virtual display answer 404 on a board.
    std::string tmpfiles = GetFileContents(kivtest::sourceDir() + "/debian/kiv.tmpfiles");
    std::string pages;
    ASSERT_EQ(kivtest::runCommand("ls '" + kivtest::sourceDir() + "/src/www'", &pages), 0);
    std::istringstream names(pages);
    int count = 0;
    for (std::string page; names >> page; ++count) {
        EXPECT_TRUE(FileExists(m_prefix + "/share/kiv/www/" + page)) << page;
        EXPECT_NE(tmpfiles.find("L /run/kiv/" + page + " - - - - /usr/share/kiv/www/" + page + "\n"),
                  std::string::npos)
            << page << " is not linked at boot";
    }
    EXPECT_GE(count, 4);
    // A restart re-executes <home>/src/kivd: a relative link to the program.
    EXPECT_EQ(LinkTarget(m_home + "/src/kivd").substr(0, 3), "../");
    EXPECT_EQ(RealPath(m_home + "/src/kivd"), RealPath(m_prefix + "/bin/kivd"));
    EXPECT_EQ(LinkTarget(m_home + "/www"), "/run/kiv");

    std::string demo = m_prefix + "/share/kiv/demo";
    EXPECT_TRUE(FileExists(demo + "/settings"));
    EXPECT_TRUE(FileExists(demo + "/config/channeloutputs.json"));
    EXPECT_TRUE(FileExists(demo + "/config/schedule.json"));
    EXPECT_TRUE(FileExists(demo + "/playlists/demo.json"));
    for (const char* song : {"welcome.hseq", "song-1.hseq", "song-2.hseq", "song-3.hseq"}) {
        std::unique_ptr<HSEQFile> f(HSEQFile::openHSEQFile(demo + "/sequences/" + song));
        ASSERT_TRUE(f) << song;
        EXPECT_EQ(f->getStepTime(), 25) << song;
        EXPECT_EQ(f->getChannelCount(), 2048u) << song;
    }
    for (const char* page : {"man8/kivd.8", "man1/kivcmd.1", "man1/kivmon.1", "man1/hsequtils.1"}) {
        EXPECT_TRUE(FileExists(m_prefix + "/share/man/" + page)) << page;
    }
}

TEST_F(InstalledTree, InstalledDaemonFindsItsPluginsAndPlaysTheDemo) {
    // The warnings link points at the system's /run/kiv; this scratch
    // installation keeps its warnings to itself.
    ASSERT_EQ(unlink((m_home + "/www").c_str()), 0);
    ASSERT_EQ(mkdir((m_home + "/www").c_str(), 0775), 0);

    kivtest::TempMediaDir media;
    // The demo's songs play to a file rather than a sound card this machine may not have.
    kivtest::DiskAudio disk(media.file("/tmp/played.raw"));
    std::string out;
    ASSERT_EQ(kivtest::runCommand("cp -R '" + m_prefix + "/share/kiv/demo/.' '" + media.path() + "/'", &out), 0) << out;
    EXPECT_TRUE(FileExists(media.file("/music/welcome.mp3"))) << "the demo's music is installed";
    std::string outputs = GetFileContents(media.file("/config/channeloutputs.json"));
    ASSERT_TRUE(replaceAll(outputs, "127.0.0.2", lo(1)));
    // The virtual display on a port of this test's own.
    int vdPort = 21000 + (int)(getpid() % 3000) * 3;
    ASSERT_TRUE(replaceAll(outputs, "\"port\": 32328", "\"port\": " + std::to_string(vdPort)));
    media.write("/config/channeloutputs.json", outputs);

    kivtest::UdpReceiver ddp(lo(1), 4048), e131(lo(1), 5568), artnet(lo(1), 6454);
    ASSERT_TRUE(ddp.ok() && e131.ok() && artnet.ok());
    kivtest::KivdProcess d(media.path());
    d.useInstalledPrograms(m_prefix + "/bin");
    ASSERT_TRUE(d.start({"-f"}));
    ASSERT_TRUE(d.waitReady()) << d.output();
    EXPECT_TRUE(ddp.waitFor(40, 20000));
    EXPECT_TRUE(e131.waitFor(40, 20000));
    EXPECT_TRUE(artnet.waitFor(40, 20000));
    int ddpFrames = 0;
    for (auto& g : ddp.take()) {
        DecodedPacket p = DecodeDDP(g.bytes.data(), g.bytes.size());
        if (p.valid && p.push) ++ddpFrames;
    }
    EXPECT_GE(ddpFrames, 10);
    std::string warnings;
    EXPECT_EQ(d.command({"Get Warnings"}, &warnings), 0);
    EXPECT_EQ(d.stop(SIGTERM), 0);
    std::string log = d.log();
    EXPECT_NE(log.find("Loaded output plug-in UDP from " + RealPath(m_home) + "/plugins/UDP.so"), std::string::npos)
        << log;
    EXPECT_EQ(LoadJsonFromString(warnings).size(), 0u) << warnings;
}

}  // namespace
