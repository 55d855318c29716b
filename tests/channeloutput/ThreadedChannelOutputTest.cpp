#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "CaptureOutput.h"
#include "StallMeter.h"
#include "TestSupport.h"
#include "common.h"
#include "log.h"

using namespace kivtest;

namespace {

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = (uint8_t)(seed + i * 7);
    return v;
}

Json::Value Config(const std::string& type) {
    Json::Value c;
    c["type"] = type;
    return c;
}

std::string ThreadName(pid_t tid) {
    std::string name = GetFileContents("/proc/self/task/" + std::to_string(tid) + "/comm");
    TrimWhiteSpace(name);
    return name;
}

}  // namespace

TEST(ThreadedChannelOutput, DeviceGetsTheOutputsOwnChannelsFromItsStartChannel) {
    SlowDeviceOutput out(100, 50, 0);
    ASSERT_EQ(1, out.Init(Config("SlowDevice")));
    std::vector<uint8_t> buffer = Pattern(1000, 3);
    EXPECT_EQ(0, out.SendData(buffer.data()));
    ASSERT_TRUE(out.WaitForCount(1, 5000));
    out.Close();
    auto frames = out.Frames();
    ASSERT_EQ(1u, frames.size());
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin() + 100, buffer.begin() + 150), frames[0].bytes);
}

TEST(ThreadedChannelOutput, WithoutDoubleBufferSendsFromTheCallersBuffer) {
    SlowDeviceOutput out(10, 20, 0, false);
    ASSERT_EQ(1, out.Init(Config("SlowDevice")));
    std::vector<uint8_t> buffer = Pattern(100, 9);
    out.SendData(buffer.data());
    ASSERT_TRUE(out.WaitForCount(1, 5000));
    out.Close();
    auto frames = out.Frames();
    ASSERT_EQ(1u, frames.size());
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin() + 10, buffer.begin() + 30), frames[0].bytes);
}

TEST(ThreadedChannelOutput, WorkerRunsOnItsOwnThreadNamedAfterTheOutputType) {
    SlowDeviceOutput out(0, 8, 0);
    ASSERT_EQ(1, out.Init(Config("SlowDevice")));
    std::vector<uint8_t> buffer = Pattern(8, 1);
    out.SendData(buffer.data());
    ASSERT_TRUE(out.WaitForCount(1, 5000));
    pid_t worker = out.Frames()[0].thread;
    EXPECT_NE(gettid(), worker);
    EXPECT_EQ("KIV-SlowDevice", ThreadName(worker));
    out.Close();
}

// Frames handed over while the device is busy replace each other: the
// device sends the newest one, once, and never a mix.
TEST(ThreadedChannelOutput, FramesHandedOverWhileBusySendOnlyTheNewestOnce) {
    SlowDeviceOutput out(0, 64, 150000);
    ASSERT_EQ(1, out.Init(Config("SlowDevice")));
    auto a = Pattern(64, 1), b = Pattern(64, 2), c = Pattern(64, 3);
    out.SendData(a.data());
    ASSERT_TRUE(waitUntil([&] { return out.Started() == 1; }, 5000));  // busy with frame a
    out.SendData(b.data());
    out.SendData(c.data());
    ASSERT_TRUE(out.WaitForCount(2, 5000));
    usleep(400000);  // room for a wrong third send
    out.Close();
    auto frames = out.Frames();
    ASSERT_EQ(2u, frames.size());
    EXPECT_EQ(a, frames[0].bytes);
    EXPECT_EQ(c, frames[1].bytes);
}

TEST(ThreadedChannelOutput, SendDataDoesNotWaitForASlowDevice) {
    StallMeter stalls;
    SlowDeviceOutput out(0, 16, 300000);
    ASSERT_EQ(1, out.Init(Config("SlowDevice")));
    auto a = Pattern(16, 4), b = Pattern(16, 5);
    out.SendData(a.data());
    usleep(20000);
    long long t0 = MonotonicUs();
    out.SendData(b.data());
    long long took = MonotonicUs() - t0;
    // The device needs 300 ms per frame; handing over is a copy (which a
    // loaded machine may hold up as it holds up any thread).
    EXPECT_LT(took, 150000 + 2 * stalls.worstUs());
    out.Close();
}

TEST(ThreadedChannelOutput, WithoutMaximumWaitTheWorkerSleepsUntilAFrameComes) {
    SlowDeviceOutput out(0, 4, 0, true, 0);
    ASSERT_EQ(1, out.Init(Config("SlowDevice")));
    usleep(400000);
    EXPECT_EQ(0, out.TimeOuts());
    EXPECT_EQ(0u, out.Count());
    out.Close();
}

TEST(ThreadedChannelOutput, WithMaximumWaitTheWorkerTicksWhenNoFramesCome) {
    SlowDeviceOutput out(0, 4, 0, true, 200);
    ASSERT_EQ(1, out.Init(Config("SlowDevice")));
    long long t0 = MonotonicUs();
    usleep(1100000);
    int ticks = out.TimeOuts();
    long long elapsed = MonotonicUs() - t0;
    out.Close();
    // About one tick per 200 ms; a busy machine wakes late, never early.
    EXPECT_LE(ticks, (int)(elapsed / 200000));
    EXPECT_GE(ticks, 2);
    EXPECT_EQ(0u, out.Count());
}

TEST(ThreadedChannelOutput, CloseRightAfterSendDataStillSendsThePendingFrame) {
    SlowDeviceOutput out(0, 32, 0);
    ASSERT_EQ(1, out.Init(Config("SlowDevice")));
    auto blank = std::vector<uint8_t>(32, 0);
    out.SendData(blank.data());
    out.Close();
    auto frames = out.Frames();
    ASSERT_EQ(1u, frames.size());
    EXPECT_EQ(blank, frames[0].bytes);
}

TEST(ThreadedChannelOutput, CloseWhileTheDeviceIsBusySendsTheFrameHandedOverMeanwhile) {
    SlowDeviceOutput out(0, 32, 50000);
    ASSERT_EQ(1, out.Init(Config("SlowDevice")));
    auto a = Pattern(32, 6), blank = std::vector<uint8_t>(32, 0);
    out.SendData(a.data());
    usleep(10000);
    out.SendData(blank.data());
    out.Close();
    auto frames = out.Frames();
    ASSERT_EQ(2u, frames.size());
    EXPECT_EQ(a, frames[0].bytes);
    EXPECT_EQ(blank, frames[1].bytes);
}

TEST(ThreadedChannelOutput, StopWithoutAStartedWorkerReturnsMinusOne) {
    SlowDeviceOutput out(0, 4, 0);
    EXPECT_EQ(-1, out.StopOutputThread());
}

TEST(ThreadedChannelOutput, DumpConfigReportsTheWorkerState) {
    LogCapture log;
    KIVLogger::INSTANCE.ChannelOut.level = LOG_DEBUG;
    SlowDeviceOutput out(0, 4, 0);
    ASSERT_EQ(1, out.Init(Config("SlowDevice")));
    out.Close();
    EXPECT_TRUE(log.contains("ThreadedChannelOutput::Init()"));
    EXPECT_TRUE(log.contains("    Thread Running   : 1"));
    EXPECT_TRUE(log.contains("    Run Thread       : 1"));
    EXPECT_TRUE(log.contains("    Data Waiting     : 0"));
    EXPECT_TRUE(log.contains("ThreadedChannelOutput thread complete"));
}
