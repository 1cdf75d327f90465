// The monitor on the real kernel, in a private network namespace: loopback only, then a veth pair with
// a documentation-range address and a default route, then a modem-like point-to-point link. Nothing is
// sent: both veth ends stay inside, IPv6 (and its neighbour discovery) is off, and the counters say so.
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
#include <sstream>
#include <string>
#include <vector>

#include "kestrune/KNReachability.h"
#include "support/TestServer.h"

namespace {

using namespace std::chrono_literals;

constexpr int kSkipExit = 77;

void ip(const std::string& arguments) {
    std::istringstream words(arguments);
    std::vector<std::string> argv{"ip"};
    for (std::string word; words >> word;) argv.push_back(word);
    const auto result = kntest::runCommand(argv);
    ASSERT_EQ(result.exitCode, 0) << arguments << ": " << result.output;
}

uint64_t packetsSent(const std::string& interface) {
    const auto result = kntest::runCommand({"ip", "-s", "-j", "link", "show", "dev", interface});
    // ... "tx":{"bytes":0,"packets":0, ...
    const size_t packets = result.output.find("\"packets\":", result.output.find("\"tx\":{"));
    if (result.exitCode || packets == std::string::npos) return UINT64_MAX;
    return std::strtoull(result.output.c_str() + packets + 10, nullptr, 10);
}

TEST(KNReachabilityNetns, FollowsTheDefaultRouteOfAPrivateNamespace) {
    if (!std::getenv("KESTRUNE_REACHABILITY_NETNS")) {
        // Run this test again in a namespace of its own (`unshare -n`), which goes with that process.
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
    ip("link set lo up");

    std::atomic<KNNetworkStatus> last{KNNetworkStatusNotReachable};  // outlives the monitors that write it
    std::atomic<int> heardWhileStopped{0};
    auto lastIs = [&](KNNetworkStatus status) { return last == status; };
    auto reachability = KNReachability::reachabilityForInternetConnection();
    EXPECT_FALSE(reachability->isReachable()) << "loopback alone";
    reachability->setNetworkDidChangeReachabilityBlock([&](KNNetworkStatus s) { last = s; });
    ASSERT_TRUE(reachability->startMonitoringNetworkStatus());

    if (kntest::runCommand({"ip", "link", "add", "kn-veth0", "type", "veth", "peer", "name", "kn-veth1"}).exitCode) {
        std::printf("veth links are not available in this kernel\n");
        std::fflush(stdout);
        _exit(kSkipExit);
    }
    ip("link set kn-veth1 up");
    ip("address add 192.0.2.2/24 dev kn-veth0");
    ip("link set kn-veth0 up");
    EXPECT_FALSE(reachability->isReachable()) << "an address but no default route";
    ip("route add default via 192.0.2.1 dev kn-veth0");
    EXPECT_TRUE(kntest::waitFor([&] { return lastIs(KNNetworkStatusReachableViaWiFi); }, 2s));
    EXPECT_EQ(reachability->currentReachabilityString(), "[*** Local WiFi Available ***]");
    // Single addresses: on the link, behind the gateway, and this host's own.
    for (const auto& [host, flags] : {std::pair{"192.0.2.1", "-R ------d"}, {"198.51.100.7", "-R -------"},
                                      {"192.0.2.2", "-R -----ld"}}) {
        EXPECT_EQ(KNReachability::reachabilityWithHostName(host)->debugFlagsString(), flags) << host;
    }

    ip("route del default");
    EXPECT_TRUE(kntest::waitFor([&] { return lastIs(KNNetworkStatusNotReachable); }, 2s));
    EXPECT_FALSE(reachability->isReachable());

    // A point-to-point link, as a modem gives: cellular, while its device is held open.
    if (const int tun = open("/dev/net/tun", O_RDWR | O_CLOEXEC); tun >= 0) {
        ifreq request{};
        request.ifr_flags = IFF_TUN | IFF_NO_PI;
        std::strncpy(request.ifr_name, "kn-tun0", IFNAMSIZ - 1);
        ASSERT_EQ(ioctl(tun, TUNSETIFF, &request), 0) << std::strerror(errno);
        ip("address add 198.51.100.1 peer 198.51.100.2 dev kn-tun0");
        ip("link set kn-tun0 up");
        ip("route add default dev kn-tun0");
        EXPECT_TRUE(kntest::waitFor([&] { return lastIs(KNNetworkStatusReachableViaWWAN); }, 2s));
        close(tun);  // the link, and its route, go with the device
        EXPECT_TRUE(kntest::waitFor([&] { return lastIs(KNNetworkStatusNotReachable); }, 2s));
    }
    // A stopped monitor hears nothing more; a running one witnesses that the change was seen.
    reachability->setNetworkDidChangeReachabilityBlock([&](KNNetworkStatus) { ++heardWhileStopped; });
    reachability->stopMonitoringNetworkStatus();
    auto witness = KNReachability::reachabilityForInternetConnection();
    witness->setNetworkDidChangeReachabilityBlock([&](KNNetworkStatus s) { last = s; });
    ASSERT_TRUE(witness->startMonitoringNetworkStatus());
    ip("route add default via 192.0.2.1 dev kn-veth0");
    EXPECT_TRUE(kntest::waitFor([&] { return lastIs(KNNetworkStatusReachableViaWiFi); }, 2s));
    witness->stopMonitoringNetworkStatus();
    EXPECT_EQ(heardWhileStopped, 0);
    for (const char* veth : {"kn-veth0", "kn-veth1"}) EXPECT_EQ(packetsSent(veth), 0u) << veth;
}

}  // namespace
