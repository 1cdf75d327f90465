// A link-local server is reachable only through the link its zone names: the connect step must carry
// the zone from the host text to the socket. The veth pair lives in a network namespace of the test's
// own, so nothing leaves this machine's namespaces.
#include <arpa/inet.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "support/TestServer.h"
#include "transport/KNRTMPConnect.h"

namespace {

constexpr int kSkipExit = 77;
constexpr const char* kInNamespace = "KESTRUNE_LINKLOCAL_NETNS";

int ip(const std::string& arguments) { return kntest::runCommand({"sh", "-c", "ip " + arguments}).exitCode; }

int listenOn(const char* address, unsigned int interface) {
    sockaddr_in6 local{};
    local.sin6_family = AF_INET6;
    inet_pton(AF_INET6, address, &local.sin6_addr);
    local.sin6_scope_id = interface;
    const int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 && listen(fd, 4) == 0) return fd;
    close(fd);
    return -1;
}

int portOf(int fd) {
    sockaddr_in6 local{};
    socklen_t length = sizeof local;
    return getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0 ? ntohs(local.sin6_port) : -1;
}

// Accepts one connection and closes it at once, which ends the client's handshake early.
bool acceptOne(int listener, int timeoutMs) {
    pollfd p{listener, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return false;
    const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) return false;
    close(client);
    return true;
}

// The library's URL parser takes no bracketed IPv6 literal: the host is set after the set-up, as
// the connect step reads it.
void connectTo(const std::string& host, int port) {
    RTMP* rtmp = RTMP_Alloc();
    RTMP_Init(rtmp);
    std::string url = "rtmp://placeholder.invalid:" + std::to_string(port) + "/app/key";
    ASSERT_TRUE(RTMP_SetupURL(rtmp, url.data()));
    rtmp->Link.hostname = AVal{const_cast<char*>(host.data()), static_cast<int>(host.size())};
    rtmp->Link.timeout = 5;
    RTMP_EnableWrite(rtmp);
    // Fails either way: the listener closes without an RTMP handshake.
    kn::RTMP_Connect(rtmp, nullptr);
    kn::endSession(rtmp, nullptr);
    RTMP_Free(rtmp);
}

}  // namespace

TEST(KNRTMPConnectNetns, ALinkLocalServerIsReachedThroughItsZone) {
    if (!std::getenv(kInNamespace)) {
        // Run again in a namespace of its own (`unshare -n`), which goes with that process.
        const pid_t probe = fork();
        if (probe == 0) _exit(unshare(CLONE_NEWNET) == 0 ? 0 : 1);
        int status = 0;
        waitpid(probe, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status)) GTEST_SKIP() << "cannot create a network namespace (needs root)";
        char self[PATH_MAX] = {};
        ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
        const auto run = kntest::runCommand({"env", std::string(kInNamespace) + "=1", "unshare", "-n", self,
                                             "--gtest_filter=KNRTMPConnectNetns.*"});
        if (run.exitCode == kSkipExit) GTEST_SKIP() << run.output;
        EXPECT_EQ(run.exitCode, 0) << run.output;
        return;
    }
    // Addresses usable at once, without duplicate detection on the link.
    for (const char* knob : {"all", "default"}) {
        std::ofstream(std::string("/proc/sys/net/ipv6/conf/") + knob + "/disable_ipv6") << "0\n";
        std::ofstream(std::string("/proc/sys/net/ipv6/conf/") + knob + "/accept_dad") << "0\n";
    }
    const std::string pid = std::to_string(getpid());
    const std::string near = "knll" + pid + "a";
    const std::string far = "knll" + pid + "b";
    if (ip("link add " + near + " type veth peer name " + far)) {
        std::fputs("veth links are not available in this kernel\n", stderr);
        _exit(kSkipExit);
    }
    // Traffic to a local address passes the loopback link, down in a new namespace.
    for (const std::string& step : {std::string("link set lo up"), "link set " + far + " up", "link set " + near + " up",
                                    "address add fe80::1/64 dev " + near + " nodad"}) {
        ASSERT_EQ(ip(step), 0) << step;
    }
    const unsigned int index = if_nametoindex(near.c_str());
    ASSERT_NE(index, 0u);
    const int listener = listenOn("fe80::1", index);
    ASSERT_GE(listener, 0) << std::strerror(errno);
    const int port = portOf(listener);

    const struct {
        std::string host;
        bool reaches;
    } cases[] = {
        {"fe80::1%" + near, true},
        {"fe80::1%" + std::to_string(index), true},
        {"fe80::1", false},  // no link to send it on
    };
    for (const auto& c : cases) {
        std::atomic<bool> accepted{false};
        std::thread server([&] { accepted = acceptOne(listener, 2000); });
        connectTo(c.host, port);
        server.join();
        EXPECT_EQ(accepted, c.reaches) << c.host;
    }
    close(listener);
}
