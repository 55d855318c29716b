#include <gtest/gtest.h>

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "services/Ping.h"

namespace {

TEST(Ping, LoopbackAnswers) {
    EXPECT_GT(ping("127.0.0.1", 1000), 0);
    EXPECT_GT(ping("127.0.0.5", 1000), 0);  // the whole loopback net answers
}

// Loopback answers within the send itself, so the reply is there before the
// first look; a reply that is waiting counts even when the time-out is over
// by then (a busy board may run the pinging thread late).
TEST(Ping, AReplyWaitingWhenTheTimeOutEndsCounts) {
    for (int i = 0; i < 20; ++i) EXPECT_GT(ping("127.0.0.1", 0), 0) << "ping " << i;
}

TEST(Ping, UnresolvableHostIsAnError) { EXPECT_EQ(ping("no-such-host.invalid", 200), -1); }

TEST(Ping, UnreachableHostIsNotAnAnswer) {
    // A private namespace with only loopback up has no route to anywhere:
    // run the ping in a child that owns such a namespace.
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a private network namespace";
    pid_t pid = fork();
    if (pid == 0) {
        if (unshare(CLONE_NEWNET) != 0) _exit(3);
        system("ip link set lo up");
        // 10.255.255.1 is unreachable inside the empty namespace.
        int r = ping("10.255.255.1", 300);
        _exit(r <= 0 ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 3) GTEST_SKIP() << "unshare(CLONE_NEWNET) not permitted here";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
