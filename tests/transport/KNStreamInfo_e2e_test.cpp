// Destination records whose pieces come from a service or a user: no piece adds options to the
// RTMP library's connect string, and a URL connects only to the host, and over the scheme, at its
// start. Against the fixture's nginx; a listener on loopback stands for the proxy or web server that
// an injected option would name, and must never see a connection.
#include <gtest/gtest.h>

#include <atomic>

#include "KNRTMPSessionStandIn.h"
#include "kestrune/KNStreamInfo.h"
#include "support/LoopbackServer.h"
#include "support/Socks4Relay.h"
#include "support/TestServer.h"
#include "transport/KNRTMPManager.h"
#include "transport/KNServerPath.h"

namespace {

using namespace kntest;

struct Destination {
    bool secure;
    std::string server;
    std::string application;
    std::string stream;
    std::string custom;
};

Destination pieces(const std::string& server, const std::string& application, const std::string& stream) {
    return {false, server, application, stream, ""};
}

Destination customURL(const std::string& url, bool secure = false) { return {secure, "", "", "", url}; }

// Connects once and closes: what the publisher told, in order.
std::string publish(const Destination& d) {
    auto info = d.secure ? KNStreamInfo::secureStreamInfo() : KNStreamInfo::streamInfo();
    info->setServerAddress(d.server);
    info->setApplicationName(d.application);
    info->setStreamName(d.stream);
    info->setCustomStreamURLString(d.custom);
    auto events = std::make_shared<Recorder>();
    auto manager = KNRTMPManager::create();
    manager->setDelegate(events);
    manager->setConnectionURL(KNServerPath::serverPath()->rtmpPathFromStreamInfo(info));
    manager->setTimeout(5);
    manager->establishConnection();
    manager->closeConnection();
    events->waitFor(events->closes, 1, 30s);
    return events->story();
}

class KNStreamInfoE2E : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server = TestServer::shared());
        setenv("SSL_CERT_FILE", server->value("CA_FILE").c_str(), 1);
    }
    std::shared_ptr<TestServer> server;
};

TEST_F(KNStreamInfoE2E, NoPieceOrMisplacedSchemeSendsTheStreamElsewhere) {
    std::atomic<int> contacts{0};
    LoopbackServer bait(AF_INET, [&](int, const std::atomic<bool>&) { ++contacts; });
    const std::string elsewhere = "127.0.0.1:" + std::to_string(bait.port());
    const std::string plain = "127.0.0.1:" + server->value("RTMP_PORT");
    const std::string secure = "localhost:" + server->value("TLS_PORT");
    const std::string key = uniqueName("injected");
    const std::pair<Destination, std::string> cases[] = {
        // A stream name keeps its meaning: the server gets it whole, options and all (a "/" in it
        // moves the application's end, as it always did).
        {pieces(plain, "live", key + " socks=" + elsewhere), "connect; close; "},
        {pieces(plain, "live", key + " tcUrl=rtmp://" + elsewhere + "/live"), "fail 30004; close; "},
        {pieces(plain, "live", key + "\tsocks=" + elsewhere + "\r\n"), "connect; close; "},
        {pieces(plain, "live", key + " swfUrl=http://" + elsewhere + "/p.swf swfVfy=1"), "fail 30004; close; "},
        // An application or a server with a space names none the server has.
        {pieces(plain, "live socks=" + elsewhere, key), "fail 30004; close; "},
        {pieces(plain, "live\x01" "flashver=x", key), "fail 30004; close; "},
        {pieces(plain + " socks=" + elsewhere, "live", key), "fail 30000; close; "},
        {pieces(plain + "\x7f" "socks=" + elsewhere, "live", key), "fail 30000; close; "},
        // A secure record goes over TLS to the host its URL starts with, whatever follows (here to
        // an application the server doesn't have).
        {customURL(secure + "/live/" + key + "?next=rtmp://" + elsewhere + "/live/x", true),
         "fail 30004; close; "},
        {customURL(secure + "/rtmps://" + elsewhere + "/live/x", true), "fail 30004; close; "},
        // Another scheme at the start is refused, an "rtmp://" later on or not.
        {customURL("http://" + elsewhere + "/live/rtmp://" + plain + "/live/x"), "fail 30000; close; "},
        {customURL("rtmpt://" + elsewhere + "/live/x"), "fail 30000; close; "},
        {customURL("RTMP://" + plain + "/live/" + key), "connect; close; "},
    };
    for (const auto& [destination, story] : cases) {
        SCOPED_TRACE(destination.custom.empty() ? destination.server + " | " + destination.application + " | " +
                                                      destination.stream
                                                : destination.custom);
        EXPECT_EQ(publish(destination), story);
    }
    EXPECT_EQ(contacts.load(), 0);
}

// A custom URL is the host's own connect string: a SOCKS proxy it names is used.
TEST_F(KNStreamInfoE2E, ACustomURLKeepsItsOwnOptions) {
    Socks4Relay relay(AF_INET, Socks4Relay::Reply::Grant);
    const auto url = server->url(uniqueName("proxied")) + " socks=127.0.0.1:" + std::to_string(relay.port());
    EXPECT_EQ(publish(customURL(url)), "connect; close; ");
    EXPECT_EQ(relay.requests().size(), 1u);
}

}  // namespace
