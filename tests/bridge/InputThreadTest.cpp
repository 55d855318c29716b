// The live input thread: watched descriptors are served on a thread of its
// own until it stops.

#include <gtest/gtest.h>

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "TestSupport.h"
#include "bridge/InputThread.h"

namespace {

TEST(InputThread, ServesItsDescriptorsOnAThreadOfItsOwnUntilStopped) {
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    std::atomic<int> calls{0};
    std::string name;
    InputThread t;
    ASSERT_TRUE(t.Start({{fds[0], [&] {
                              char buf[16];
                              if (read(fds[0], buf, sizeof(buf)) > 0 && calls == 0) {
                                  char n[16] = {};
                                  pthread_getname_np(pthread_self(), n, sizeof(n));
                                  name = n;
                              }
                              ++calls;
                          }}}));
    ASSERT_EQ(1, write(fds[1], "x", 1));
    EXPECT_TRUE(kivtest::waitUntil([&] { return calls >= 1; }, 5000));
    t.Stop();
    EXPECT_FALSE(t.Running());
    EXPECT_EQ("KIV-Input", name);
    close(fds[0]);
    close(fds[1]);
}

}  // namespace
