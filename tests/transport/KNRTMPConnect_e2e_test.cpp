// A link-local server is reachable only through the link its zone names: the connect step must carry
// the zone from the host text to the socket. The veth pair lives in a network namespace of this
// process's own, so nothing leaves this machine's namespaces.
#include <arpa/inet.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "support/TestServer.h"
#include "transport/KNRTMPConnect.h"

namespace {

int ip(const std::string& arguments) { return kntest::runCommand({"sh", "-c", "ip " + arguments}).exitCode; }

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
    // The only test in this process: the namespace goes with it.
    if (unshare(CLONE_NEWNET) != 0) GTEST_SKIP() << "cannot create a network namespace (needs root)";
    // Addresses usable at once, without duplicate detection on the link.
    for (const char* knob : {"all", "default"}) {
        std::ofstream(std::string("/proc/sys/net/ipv6/conf/") + knob + "/disable_ipv6") << "0\n";
        std::ofstream(std::string("/proc/sys/net/ipv6/conf/") + knob + "/accept_dad") << "0\n";
    }
    const std::string near = "knll" + std::to_string(getpid()) + "a";
    const std::string far = "knll" + std::to_string(getpid()) + "b";
    if (ip("link add " + near + " type veth peer name " + far)) GTEST_SKIP() << "veth links are not available in this kernel";
    // Traffic to a local address passes the loopback link, down in a new namespace.
    for (const std::string& step : {std::string("link set lo up"), "link set " + far + " up", "link set " + near + " up",
                                    "address add fe80::1/64 dev " + near + " nodad"}) {
        ASSERT_EQ(ip(step), 0) << step;
    }
    const unsigned int index = if_nametoindex(near.c_str());
    ASSERT_NE(index, 0u);
    sockaddr_in6 local{};
    local.sin6_family = AF_INET6;
    inet_pton(AF_INET6, "fe80::1", &local.sin6_addr);
    local.sin6_scope_id = index;
    socklen_t length = sizeof local;
    const int listener = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&local), length), 0) << std::strerror(errno);
    ASSERT_EQ(listen(listener, 4), 0);
    getsockname(listener, reinterpret_cast<sockaddr*>(&local), &length);

    // Accepts one connection and closes it at once, which ends the client's handshake early.
    std::atomic<bool> accepted{false};
    std::thread server([&] {
        pollfd p{listener, POLLIN, 0};
        accepted = poll(&p, 1, 10000) > 0;  // longer than the client's own time-out: a loaded machine is slow
        if (accepted) close(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
    });
    connectTo("fe80::1%" + near, ntohs(local.sin6_port));
    server.join();
    EXPECT_TRUE(accepted);
    close(listener);
}
