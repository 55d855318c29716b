#include <gtest/gtest.h>

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>

#include <cstring>
#include <vector>

#include "services/NetworkMonitor.h"

namespace {

// Builds one RTM_NEWLINK/RTM_DELLINK message as the kernel sends it.
std::vector<char> linkMessage(int type, int index, unsigned flags, const std::string& name) {
    std::vector<char> buf(NLMSG_SPACE(sizeof(ifinfomsg) + RTA_SPACE(name.size() + 1)));
    nlmsghdr* nh = (nlmsghdr*)buf.data();
    nh->nlmsg_type = type;
    nh->nlmsg_len = NLMSG_LENGTH(sizeof(ifinfomsg) + RTA_SPACE(name.size() + 1));
    ifinfomsg* ifi = (ifinfomsg*)NLMSG_DATA(nh);
    ifi->ifi_index = index;
    ifi->ifi_flags = flags;
    rtattr* rta = IFLA_RTA(ifi);
    rta->rta_type = IFLA_IFNAME;
    rta->rta_len = RTA_LENGTH(name.size() + 1);
    memcpy(RTA_DATA(rta), name.c_str(), name.size() + 1);
    return buf;
}

struct Event {
    int type;
    int state;
    std::string iface;
};

TEST(NetworkMonitor, ReportsUpAndDownOnlyOnChange) {
    NetworkMonitor mon;
    std::vector<Event> events;
    int id = mon.registerCallback([&](NetworkMonitor::NetEventType t, int s, const std::string& i) {
        events.push_back({t, s, i});
    });
    auto up = linkMessage(RTM_NEWLINK, 42, IFF_UP | IFF_RUNNING, "eth9");
    mon.handleMessages(up.data(), (int)up.size());
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].type, NetworkMonitor::NEW_LINK);
    EXPECT_EQ(events[1].type, NetworkMonitor::UP);
    EXPECT_EQ(events[1].state, 1);
    EXPECT_EQ(events[1].iface, "eth9");
    mon.handleMessages(up.data(), (int)up.size());  // no change, no event
    EXPECT_EQ(events.size(), 2u);
    auto carrierLost = linkMessage(RTM_NEWLINK, 42, IFF_UP, "eth9");
    mon.handleMessages(carrierLost.data(), (int)carrierLost.size());
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[2].type, NetworkMonitor::DOWN);
    EXPECT_EQ(events[2].state, 0);
    auto gone = linkMessage(RTM_DELLINK, 42, 0, "eth9");
    mon.handleMessages(gone.data(), (int)gone.size());
    EXPECT_EQ(events.back().type, NetworkMonitor::DEL_LINK);
    mon.removeCallback(id);
    mon.handleMessages(up.data(), (int)up.size());
    EXPECT_EQ(events.back().type, NetworkMonitor::DEL_LINK);
}

TEST(NetworkMonitor, TruncatedMessagesAreIgnored) {
    NetworkMonitor mon;
    int calls = 0;
    mon.registerCallback([&](NetworkMonitor::NetEventType, int, const std::string&) { ++calls; });
    auto up = linkMessage(RTM_NEWLINK, 7, IFF_UP | IFF_RUNNING, "eth0");
    mon.handleMessages(up.data(), 10);
    nlmsghdr* nh = (nlmsghdr*)up.data();
    nh->nlmsg_len = NLMSG_LENGTH(4);  // too short for the link header
    mon.handleMessages(up.data(), (int)up.size());
    EXPECT_EQ(calls, 0);
}

TEST(NetworkMonitor, RegistersItsSocketWithTheMainLoop) {
    NetworkMonitor mon;
    std::map<int, std::function<bool(int)>> callbacks;
    mon.Init(callbacks);
    ASSERT_GE(mon.socket(), 0);
    EXPECT_EQ(callbacks.count(mon.socket()), 1u);
    EXPECT_FALSE(callbacks[mon.socket()](mon.socket()));  // nothing pending, never forces output
    mon.Close();
}

}  // namespace
