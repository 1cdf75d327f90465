// Nothing is sent: both veth ends stay inside the namespace and IPv6 (neighbour discovery) is off.
#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <fstream>
#include <string>

#include "kestrune/KNReachability.h"
#include "support/TestServer.h"

namespace {

using namespace std::chrono_literals;

constexpr int kSkipExit = 77;

int ip(const std::string& arguments) { return kntest::runCommand({"sh", "-c", "ip " + arguments}).exitCode; }

uint64_t packetsSent(const std::string& interface) {
    const auto result = kntest::runCommand({"ip", "-s", "-j", "link", "show", "dev", interface});
    const size_t packets = result.output.find("\"packets\":", result.output.find("\"tx\":{"));
    if (result.exitCode || packets == std::string::npos) return UINT64_MAX;
    return std::strtoull(result.output.c_str() + packets + 10, nullptr, 10);
}

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
        const pid_t probe = fork();
        if (probe == 0) _exit(unshare(CLONE_NEWNET) == 0 ? 0 : 1);
        int status = 0;
        waitpid(probe, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status)) GTEST_SKIP() << "cannot create a network namespace (needs root)";
        char self[PATH_MAX] = {};
        ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
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
    std::atomic<int> heardWhileStopped{0};
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
    EXPECT_FALSE(reachability->isReachable());

    // A stopped monitor hears nothing more; a running one witnesses that the change was seen.
    reachability->setNetworkDidChangeReachabilityBlock([&](KNNetworkStatus) { ++heardWhileStopped; });
    reachability->stopMonitoringNetworkStatus();
    auto witness = KNReachability::reachabilityForInternetConnection();
    witness->setNetworkDidChangeReachabilityBlock([&](KNNetworkStatus s) { last = s; });
    ASSERT_TRUE(witness->startMonitoringNetworkStatus());
    ASSERT_EQ(ip("route add default via 192.0.2.1 dev kn-veth0"), 0);
    EXPECT_TRUE(lastIs(KNNetworkStatusReachableViaWiFi));
    witness->stopMonitoringNetworkStatus();
    EXPECT_EQ(heardWhileStopped, 0);

    // Two default routes: the lower metric decides, and swapping the metrics flips the answer.
    const int tun = openTun("kn-tun0");
    ASSERT_GE(tun, 0) << "no tun device";
    for (const char* step : {"link set kn-tun0 up", "address add 10.9.0.1 peer 10.9.0.2 dev kn-tun0",
                             "route del default", "route add default via 192.0.2.1 dev kn-veth0 metric 100",
                             "route add default dev kn-tun0 metric 50"}) {
        ASSERT_EQ(ip(step), 0) << step;
    }
    const auto now = KNReachability::reachabilityForInternetConnection();
    const auto statusIs = [&](KNNetworkStatus status) {
        return kntest::waitFor([&] { return now->currentReachabilityStatus() == status; }, 2s);
    };
    EXPECT_TRUE(statusIs(KNNetworkStatusReachableViaWWAN));
    EXPECT_TRUE(now->isReachableOnWWAN());
    EXPECT_FALSE(now->isReachableOnWiFi());
    ASSERT_EQ(ip("route del default dev kn-tun0 metric 50"), 0);
    ASSERT_EQ(ip("route add default dev kn-tun0 metric 150"), 0);
    EXPECT_TRUE(statusIs(KNNetworkStatusReachableViaWiFi));
    close(tun);
    for (const char* veth : {"kn-veth0", "kn-veth1"}) EXPECT_EQ(packetsSent(veth), 0u) << veth;
}

}  // namespace
