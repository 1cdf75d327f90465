// The monitor on the real kernel: a private network namespace that starts with loopback only,
// then gains a veth pair with a documentation-range address and a default route, then a modem-like
// point-to-point link. Nothing is sent: both veth ends stay inside the namespace, IPv6 (and with
// it neighbour discovery) is off there, and the test checks the transmit counters.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "kestrune/KNReachability.h"
#include "support/TestServer.h"

namespace {

using namespace std::chrono_literals;

constexpr const char* kInsideNamespace = "KESTRUNE_REACHABILITY_NETNS";
constexpr int kSkipExit = 77;

bool insideOwnNamespace() { return std::getenv(kInsideNamespace) != nullptr; }

// Runs the current test again in a new network namespace (`unshare -n`), which disappears with
// that process, and takes over its verdict.
void runInFreshNetworkNamespace() {
    const pid_t probe = fork();
    if (probe == 0) _exit(unshare(CLONE_NEWNET) == 0 ? 0 : 1);
    int status = 0;
    waitpid(probe, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        GTEST_SKIP() << "cannot create a network namespace here (needs root or CAP_SYS_ADMIN)";
    }
    char self[PATH_MAX] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) {
        FAIL() << "cannot find the test binary";
    }
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const auto run = kntest::runCommand({"env", std::string(kInsideNamespace) + "=1", "unshare", "-n", self,
                                         std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name()});
    if (run.exitCode == kSkipExit) {
        GTEST_SKIP() << run.output;
    } else {
        EXPECT_EQ(run.exitCode, 0) << run.output;
    }
    // The interfaces lived and died with that namespace.
    EXPECT_NE(kntest::runCommand({"ip", "link", "show", "kn-veth0"}).exitCode, 0);
}

void skipInside(const std::string& why) {
    std::fprintf(stdout, "%s\n", why.c_str());
    std::fflush(stdout);
    _exit(kSkipExit);
}

void ip(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv{"ip"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const auto result = kntest::runCommand(argv);
    ASSERT_EQ(result.exitCode, 0) << "ip failed: " << result.output;
}

uint64_t packetsSent(const std::string& interface) {
    const auto result = kntest::runCommand({"ip", "-s", "-j", "link", "show", "dev", interface});
    // ... "tx":{"bytes":0,"packets":0, ...
    const size_t tx = result.output.find("\"tx\":{");
    const size_t packets = result.output.find("\"packets\":", tx);
    if (result.exitCode != 0 || tx == std::string::npos || packets == std::string::npos) return UINT64_MAX;
    return std::strtoull(result.output.c_str() + packets + std::strlen("\"packets\":"), nullptr, 10);
}

// The statuses the change callback has seen, in order.
struct StatusLog {
    std::mutex mutex;
    std::vector<KNNetworkStatus> seen;

    void add(KNNetworkStatus status) {
        std::lock_guard lock(mutex);
        seen.push_back(status);
    }
    bool last(KNNetworkStatus status) {
        std::lock_guard lock(mutex);
        return !seen.empty() && seen.back() == status;
    }
};

TEST(KNReachabilityNetns, FollowsTheDefaultRouteOfAPrivateNamespace) {
    if (!insideOwnNamespace()) return runInFreshNetworkNamespace();
    if (kntest::runCommand({"ip", "-V"}).exitCode != 0) skipInside("the ip tool is missing");
    for (const char* knob : {"all", "default"}) {
        std::ofstream(std::string("/proc/sys/net/ipv6/conf/") + knob + "/disable_ipv6") << "1\n";
    }
    ip({"link", "set", "lo", "up"});

    StatusLog log;
    auto reachability = KNReachability::reachabilityForInternetConnection();
    ASSERT_NE(reachability, nullptr);
    EXPECT_FALSE(reachability->isReachable()) << "loopback alone";
    EXPECT_EQ(reachability->currentReachabilityStatus(), KNNetworkStatusNotReachable);
    reachability->setNetworkDidChangeReachabilityBlock([&log](KNNetworkStatus status) { log.add(status); });
    ASSERT_TRUE(reachability->startMonitoringNetworkStatus());

    // A second monitor whose owner lets go inside its first change callback.
    auto holder = std::make_shared<std::shared_ptr<KNReachability>>(KNReachability::reachabilityForInternetConnection());
    std::weak_ptr<KNReachability> released = *holder;
    (*holder)->setNetworkDidChangeReachabilityBlock([raw = holder.get()](KNNetworkStatus) { raw->reset(); });
    ASSERT_TRUE((*holder)->startMonitoringNetworkStatus());

    if (kntest::runCommand({"ip", "link", "add", "kn-veth0", "type", "veth", "peer", "name", "kn-veth1"}).exitCode != 0) {
        skipInside("veth links are not available in this kernel");
    }
    ip({"link", "set", "kn-veth1", "up"});
    ip({"address", "add", "192.0.2.2/24", "dev", "kn-veth0"});
    ip({"link", "set", "kn-veth0", "up"});
    EXPECT_FALSE(reachability->isReachable()) << "an address but no default route";
    ip({"route", "add", "default", "via", "192.0.2.1", "dev", "kn-veth0"});

    EXPECT_TRUE(kntest::waitFor([&] { return log.last(KNNetworkStatusReachableViaWiFi); }, 2s));
    EXPECT_TRUE(reachability->isReachable());
    EXPECT_EQ(reachability->currentReachabilityString(), "[*** Local WiFi Available ***]");
    EXPECT_TRUE(kntest::waitFor([&] { return released.expired(); }, 2s));
    // Single addresses: on the link, behind the gateway, and this host's own.
    sockaddr_in onLink{};
    onLink.sin_family = AF_INET;
    inet_pton(AF_INET, "192.0.2.1", &onLink.sin_addr);
    EXPECT_EQ(KNReachability::reachabilityWithHostAddress(reinterpret_cast<sockaddr*>(&onLink), sizeof onLink)
                  ->debugFlagsString(),
              "-R ------d");
    EXPECT_EQ(KNReachability::reachabilityWithHostName("198.51.100.7")->debugFlagsString(), "-R -------");
    EXPECT_EQ(KNReachability::reachabilityWithHostName("192.0.2.2")->debugFlagsString(), "-R -----ld");

    ip({"route", "del", "default"});
    EXPECT_TRUE(kntest::waitFor([&] { return log.last(KNNetworkStatusNotReachable); }, 2s));
    EXPECT_FALSE(reachability->isReachable());

    // A point-to-point link, as a modem gives: cellular. It carries traffic only while its device
    // is held open.
    const int tun = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
    if (tun >= 0) {
        ifreq request{};
        request.ifr_flags = IFF_TUN | IFF_NO_PI;
        std::strncpy(request.ifr_name, "kn-tun0", IFNAMSIZ - 1);
        ASSERT_EQ(ioctl(tun, TUNSETIFF, &request), 0) << std::strerror(errno);
        ip({"address", "add", "198.51.100.1", "peer", "198.51.100.2", "dev", "kn-tun0"});
        ip({"link", "set", "kn-tun0", "up"});
        ip({"route", "add", "default", "dev", "kn-tun0"});
        EXPECT_TRUE(kntest::waitFor([&] { return log.last(KNNetworkStatusReachableViaWWAN); }, 2s));
        EXPECT_TRUE(reachability->isReachableOnWWAN());
        close(tun);  // the link, and its route, go with the device
        EXPECT_TRUE(kntest::waitFor([&] { return log.last(KNNetworkStatusNotReachable); }, 2s));
    }

    EXPECT_EQ(packetsSent("kn-veth0"), 0u);
    EXPECT_EQ(packetsSent("kn-veth1"), 0u);
    // Once stopped, a change reaches only the monitors still running.
    reachability->stopMonitoringNetworkStatus();
    const size_t before = [&] {
        std::lock_guard lock(log.mutex);
        return log.seen.size();
    }();
    StatusLog witnessed;  // outlives the monitor that writes it
    auto witness = KNReachability::reachabilityForInternetConnection();
    witness->setNetworkDidChangeReachabilityBlock([&witnessed](KNNetworkStatus status) { witnessed.add(status); });
    ASSERT_TRUE(witness->startMonitoringNetworkStatus());
    ip({"route", "add", "default", "via", "192.0.2.1", "dev", "kn-veth0"});
    EXPECT_TRUE(kntest::waitFor([&] { return witnessed.last(KNNetworkStatusReachableViaWiFi); }, 2s));
    EXPECT_TRUE(reachability->isReachable());
    std::lock_guard lock(log.mutex);
    EXPECT_EQ(log.seen.size(), before);
}

}  // namespace
