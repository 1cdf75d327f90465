// Nothing is sent: both veth ends stay inside the namespace and IPv6 (neighbour discovery) is off.
#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "kestrune/KNReachability.h"
#include "support/TestServer.h"

namespace {

using namespace std::chrono_literals;

constexpr int kSkipExit = 77;

int ip(const std::string& arguments) { return kntest::runCommand({"sh", "-c", "ip " + arguments}).exitCode; }

// A point-to-point link (as a cellular one is) whose carrier is up while the descriptor is open.
int openTun(const char* name) {
    const int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
    ifreq request{};
    request.ifr_flags = IFF_TUN | IFF_NO_PI;
    std::strncpy(request.ifr_name, name, IFNAMSIZ - 1);
    if (fd >= 0 && ioctl(fd, TUNSETIFF, &request) == 0) return fd;
    if (fd >= 0) close(fd);
    return -1;
}

TEST(KNReachabilityNetns, FollowsTheDefaultRouteOfAPrivateNamespace) {
    if (!std::getenv("KESTRUNE_REACHABILITY_NETNS")) {
        // Run again in a namespace of its own (`unshare -n`), which goes with that process.
        if (kntest::runCommand({"unshare", "-n", "true"}).exitCode != 0) {
            GTEST_SKIP() << "cannot create a network namespace (needs root)";
        }
        const auto self = std::filesystem::read_symlink("/proc/self/exe").string();
        const auto run = kntest::runCommand({"env", "KESTRUNE_REACHABILITY_NETNS=1", "unshare", "-n", self,
                                             "--gtest_filter=KNReachabilityNetns.*"});
        if (run.exitCode == kSkipExit) GTEST_SKIP() << run.output;
        EXPECT_EQ(run.exitCode, 0) << run.output;
        EXPECT_NE(kntest::runCommand({"ip", "link", "show", "kn-veth0"}).exitCode, 0) << "the namespace is gone";
        return;
    }
    for (const char* knob : {"all", "default"}) {
        std::ofstream(std::string("/proc/sys/net/ipv6/conf/") + knob + "/disable_ipv6") << "1\n";
    }
    ASSERT_EQ(ip("link set lo up"), 0);
    std::atomic<KNNetworkStatus> last{KNNetworkStatusNotReachable};  // outlives the monitors that write it
    auto lastIs = [&](KNNetworkStatus status) { return kntest::waitFor([&] { return last == status; }, 2s); };
    auto reachability = KNReachability::reachabilityForInternetConnection();
    EXPECT_FALSE(reachability->isReachable()) << "loopback alone";
    reachability->setNetworkDidChangeReachabilityBlock([&](KNNetworkStatus s) { last = s; });
    ASSERT_TRUE(reachability->startMonitoringNetworkStatus());
    if (ip("link add kn-veth0 type veth peer name kn-veth1")) {
        std::fputs("veth links are not available in this kernel\n", stderr);
        _exit(kSkipExit);
    }
    for (const char* step : {"link set kn-veth1 up", "address add 192.0.2.2/24 dev kn-veth0", "link set kn-veth0 up",
                             "route add default via 192.0.2.1 dev kn-veth0"}) {
        ASSERT_EQ(ip(step), 0) << step;
    }
    EXPECT_TRUE(lastIs(KNNetworkStatusReachableViaWiFi));
    ASSERT_EQ(ip("route del default"), 0);
    EXPECT_TRUE(lastIs(KNNetworkStatusNotReachable));
    reachability->stopMonitoringNetworkStatus();

    // Two default routes: the lower metric decides, and swapping the metrics flips the answer.
    const int tun = openTun("kn-tun0");
    ASSERT_GE(tun, 0) << "no tun device";
    for (const char* step : {"link set kn-tun0 up", "address add 10.9.0.1 peer 10.9.0.2 dev kn-tun0",
                             "route add default via 192.0.2.1 dev kn-veth0 metric 100",
                             "route add default dev kn-tun0 metric 50"}) {
        ASSERT_EQ(ip(step), 0) << step;
    }
    const auto statusIs = [&](KNNetworkStatus status) {
        return kntest::waitFor([&] { return reachability->currentReachabilityStatus() == status; }, 2s);
    };
    EXPECT_TRUE(statusIs(KNNetworkStatusReachableViaWWAN));
    EXPECT_TRUE(reachability->isReachableOnWWAN());
    EXPECT_FALSE(reachability->isReachableOnWiFi());
    ASSERT_EQ(ip("route del default dev kn-tun0 metric 50"), 0);
    ASSERT_EQ(ip("route add default dev kn-tun0 metric 150"), 0);
    EXPECT_TRUE(statusIs(KNNetworkStatusReachableViaWiFi));
    close(tun);
}

}  // namespace
