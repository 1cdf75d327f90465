// The publisher against a real nginx-rtmp server: what it records must be what was fed (and the
// chunk size it announces), and the publisher must live through a stalled and a killed server.
#include "transport/KNRTMPManager.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>
#include <thread>

#include "KNRTMPSessionStandIn.h"
#include "support/LoopbackServer.h"
#include "support/TestMedia.h"
#include "support/TestServer.h"

namespace {

using namespace std::chrono_literals;
using kntest::TestMedia;
using kntest::TestServer;
using kntest::waitFor;
using Errors = std::vector<std::pair<int64_t, std::string>>;

// A host clock reading, as the encoders stamp their output.
constexpr uint64_t kClockBaseMs = 86'400'000;

struct Setup {
    std::string dir;
    TestMedia media;
};

// A scratch directory and media made there.
Setup prepare(const std::string& name, kntest::TestMediaOptions options = {}) {
    Setup s{std::string(KESTRUNE_TEST_TMP) + "/" + kntest::uniqueName(name), {}};
    std::filesystem::create_directories(s.dir);
    s.media = kntest::makeTestMedia(s.dir, "media", options);
    EXPECT_EQ(s.media.error, "");
    return s;
}

struct Publisher {
    std::shared_ptr<kntest::Recorder> events = std::make_shared<kntest::Recorder>();
    std::shared_ptr<KNRTMPManager> manager = KNRTMPManager::create();
    Publisher() { manager->setDelegate(events); }

    bool connect(const std::string& url, std::shared_ptr<const KNMetadata> metadata) {
        const int before = events->count(events->connects);
        const size_t errorsBefore = events->errorList().size();
        manager->setConnectionURL(url);
        manager->setMetadata(std::move(metadata));
        manager->establishConnection();
        events->waitUntil([&] { return events->connects > before || events->errors.size() > errorsBefore; }, 40s);
        return events->count(events->connects) > before;
    }
    // Hands one frame over; answers whether the publisher took it.
    bool feed(const kntest::TestMediaFrame& frame, uint64_t offsetMs) {
        const int dropsBefore = events->count(events->drops);
        kntest::handOver(*manager, frame, kClockBaseMs + offsetMs + frame.timestampMs);
        return events->count(events->drops) == dropsBefore;
    }
    // Feeds without ever running into the load bound, and waits until all is sent.
    void feedAll(const TestMedia& media, uint64_t offsetMs) {
        for (const auto& frame : media.frames) {
            ASSERT_TRUE(waitFor([&] { return manager->queueLoad() < kMaxQueueLoad / 2; }, 20s));
            ASSERT_TRUE(feed(frame, offsetMs));
        }
        manager->senderQueue()->sync([] {});
    }
    void drainAndClose() {
        manager->senderQueue()->sync([] {});
        const int before = events->count(events->closes);
        manager->closeConnection();
        ASSERT_TRUE(events->waitFor(events->closes, before + 1, 20s));
    }
};

// Checks a recording holds exactly the fed media and decodes without a single complaint.
void expectRecording(const std::string& file, const TestMedia& media, size_t videoFed, size_t audioFed) {
    ASSERT_FALSE(file.empty()) << "no finished recording";
    const auto& o = media.options;
    const std::pair<const char*, std::map<std::string, std::string>> streams[] = {
        {"v", {{"codec_name", "h264"}, {"profile", "Main"}, {"width", std::to_string(o.width)},
               {"height", std::to_string(o.height)}, {"nb_read_packets", std::to_string(videoFed)}}},
        {"a", {{"codec_name", "aac"}, {"sample_rate", std::to_string(o.sampleRate)},
               {"channels", std::to_string(o.channels)}, {"nb_read_packets", std::to_string(audioFed)}}},
    };
    for (const auto& [kind, expected] : streams) {
        std::istringstream lines(kntest::runCommand({"ffprobe", "-v", "error", "-count_packets", "-select_streams",
                                                     kind, "-show_streams", file}).output);
        std::map<std::string, std::string> info;
        for (std::string line; std::getline(lines, line);) {
            const auto eq = line.find('=');
            if (eq != std::string::npos && expected.count(line.substr(0, eq))) info[line.substr(0, eq)] = line.substr(eq + 1);
        }
        EXPECT_EQ(info, expected) << kind;
    }
    const auto decode = kntest::decodeErrors(file);
    EXPECT_EQ(decode.exitCode, 0);
    EXPECT_EQ(decode.output, "");
}

// What a player joining the live stream is told as onMetaData (with the library, as a player).
std::vector<uint8_t> metaDataSeenByAPlayer(const std::string& url) {
    RTMP* rtmp = RTMP_Alloc();
    RTMP_Init(rtmp);
    std::string options = url + " live=1 timeout=20";
    std::vector<char> link(options.begin(), options.end());
    link.push_back('\0');
    std::vector<uint8_t> metaData;
    if (RTMP_SetupURL(rtmp, link.data()) && RTMP_Connect(rtmp, nullptr) && RTMP_ConnectStream(rtmp, 0)) {
        const std::string name = "onMetaData";
        RTMPPacket packet{};
        while (metaData.empty() && RTMP_IsConnected(rtmp) && RTMP_ReadPacket(rtmp, &packet)) {
            if (!RTMPPacket_IsReady(&packet)) continue;
            const auto* body = reinterpret_cast<const uint8_t*>(packet.m_body);
            if (packet.m_packetType == RTMP_PACKET_TYPE_INFO && packet.m_nBodySize > 3 + name.size() &&
                std::equal(name.begin(), name.end(), body + 3)) {
                metaData.assign(body, body + packet.m_nBodySize);
            } else {
                RTMP_ClientPacket(rtmp, &packet);
            }
            RTMPPacket_Free(&packet);
        }
    }
    RTMP_Close(rtmp);
    RTMP_Free(rtmp);
    return metaData;
}

// Through a relay that keeps what the publisher sent: the larger chunk size is announced too.
TEST(KNRTMPManagerE2E, PublishedMediaIsRecordedWholeAndPlaysBackWithOurMetadata) {
    auto server = TestServer::shared();
    ASSERT_TRUE(server);
    const auto [dir, media] = prepare("publish");
    const auto stream = kntest::uniqueName("publish");
    const auto metadata = media.metadata();
    std::mutex mutex;
    std::vector<uint8_t> fromClient;
    kntest::LoopbackServer relay(AF_INET, [&](int client, const std::atomic<bool>& stopping) {
        const int upstream = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(server->rtmpPort()));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        pollfd fds[2] = {{client, POLLIN, 0}, {upstream, POLLIN, 0}};
        char buffer[65536];
        bool open = connect(upstream, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
        while (open && !stopping) {
            if (poll(fds, 2, 100) <= 0) continue;
            for (int i = 0; i < 2 && open; ++i) {
                if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                const ssize_t n = read(fds[i].fd, buffer, sizeof(buffer));
                open = n > 0 && send(fds[1 - i].fd, buffer, static_cast<size_t>(n), MSG_NOSIGNAL) == n;
                std::lock_guard<std::mutex> guard(mutex);
                if (open && i == 0) fromClient.insert(fromClient.end(), buffer, buffer + n);
            }
        }
        close(upstream);
    });

    Publisher publisher;
    ASSERT_TRUE(publisher.connect("rtmp://127.0.0.1:" + std::to_string(relay.port()) + "/live/" + stream, metadata))
        << publisher.events->story();
    // A player joining the live stream gets the publisher's onMetaData as it was sent.
    std::vector<uint8_t> playedMetaData;
    std::thread player([&] { playedMetaData = metaDataSeenByAPlayer(server->rtmpURL(stream)); });
    // Real time, as a camera delivers.
    const auto start = std::chrono::steady_clock::now();
    for (const auto& frame : media.frames) {
        std::this_thread::sleep_until(start + std::chrono::milliseconds(frame.timestampMs));
        ASSERT_TRUE(publisher.feed(frame, 0));
    }
    publisher.drainAndClose();
    player.join();

    EXPECT_EQ(publisher.events->story(), "connect; close; ");
    EXPECT_EQ(publisher.events->count(publisher.events->badAudio) + publisher.events->count(publisher.events->badVideo), 0);
    expectRecording(server->waitForRecording(stream), media, media.videoFrames, media.audioFrames);
    auto expected = KNFLVPayload::onMetaData(*metadata);
    expected.erase(expected.begin(), expected.begin() + 16);  // the "@setDataFrame" string
    EXPECT_EQ(playedMetaData, expected);
    // Set Chunk Size on the control stream: basic header 0x02, time 0, length 4, type 1,
    // message stream 0, then 4096.
    const std::vector<uint8_t> announce = {0x02, 0, 0, 0, 0, 0, 4, 0x01, 0, 0, 0, 0, 0x00, 0x00, 0x10, 0x00};
    std::lock_guard<std::mutex> guard(mutex);
    EXPECT_NE(std::search(fromClient.begin(), fromClient.end(), announce.begin(), announce.end()), fromClient.end());
}

TEST(KNRTMPManagerE2E, StalledServerDropsAtTheBoundAndResumesOnAKeyFrame) {
    const auto [dir, media] = prepare("stall", {.width = 640, .height = 360, .videoBitrateKbps = 6000});
    auto server = TestServer::startPrivate(dir + "/server");
    ASSERT_TRUE(server);
    const auto stream = kntest::uniqueName("stall");

    Publisher publisher;
    ASSERT_TRUE(publisher.connect(server->rtmpURL(stream), media.metadata()));
    publisher.feedAll(media, 0);
    size_t videoFed = media.videoFrames, audioFed = media.audioFrames;

    std::vector<pid_t> pids = server->workerPids();
    pids.push_back(server->masterPid());
    for (pid_t pid : pids) ASSERT_EQ(kill(pid, SIGSTOP), 0);

    // Everything as fast as it comes: the socket fills, the queue backs up, drops begin. Once the
    // server is back, one more round waits for room.
    struct Fed {
        bool video, keyFrame, accepted;
        int64_t loadBefore;
    };
    std::vector<Fed> fed;
    bool droppedKeyFrame = false, resumed = false;
    for (int loop = 1; !resumed; ++loop) {
        resumed = loop == 40 || (droppedKeyFrame && publisher.events->count(publisher.events->drops) > 200);
        if (resumed) {
            for (pid_t pid : pids) kill(pid, SIGCONT);
            ASSERT_TRUE(droppedKeyFrame);
        }
        for (const auto& frame : media.frames) {
            if (resumed) {
                ASSERT_TRUE(waitFor([&] { return publisher.manager->queueLoad() < kMaxQueueLoad / 2; }, 30s));
            }
            const int64_t load = resumed ? 0 : publisher.manager->queueLoad();
            const bool accepted = publisher.feed(frame, loop * media.spanMs);
            fed.push_back({frame.video, frame.keyFrame, accepted, load});
            if (accepted) ++(frame.video ? videoFed : audioFed);
            droppedKeyFrame |= frame.keyFrame && !accepted;
        }
    }
    publisher.drainAndClose();

    bool videoDropping = false;
    for (size_t i = 0; i < fed.size(); ++i) {
        const auto& f = fed[i];
        if (!f.accepted && (f.keyFrame || !f.video)) {
            EXPECT_GT(f.loadBefore, kMaxQueueLoad) << i;  // dropped only above the bound
        }
        if (f.video && videoDropping && f.accepted) {
            EXPECT_TRUE(f.keyFrame) << "video resumed on an inter frame at " << i;
        }
        if (f.video && f.keyFrame) videoDropping = !f.accepted;
    }
    EXPECT_FALSE(videoDropping);
    EXPECT_EQ(publisher.events->story(), "connect; close; ");
    expectRecording(server->waitForRecording(stream, 60s), media, videoFed, audioFed);
}

TEST(KNRTMPManagerE2E, KilledServerIsReportedOnceAndThePublisherConnectsAgain) {
    const auto [dir, media] = prepare("kill");
    auto server = TestServer::startPrivate(dir + "/server");
    ASSERT_TRUE(server);
    Publisher publisher;
    ASSERT_TRUE(publisher.connect(server->rtmpURL(kntest::uniqueName("killed")), media.metadata()));
    publisher.feedAll(media, 0);
    for (pid_t pid : server->workerPids()) ASSERT_EQ(kill(pid, SIGKILL), 0);

    // Keep publishing as an encoder would; the dead connection shows on a write.
    uint64_t offset = media.spanMs;
    for (int loop = 0; loop < 20 && publisher.events->count(publisher.events->disconnects) == 0; ++loop) {
        publisher.feedAll(media, offset);
        offset += media.spanMs;
    }
    // Packets still arriving find no session and only count off.
    publisher.feedAll(media, offset);
    EXPECT_EQ(publisher.manager->queueLoad(), 0);
    const auto story = publisher.events->story();
    EXPECT_TRUE(story == "connect; disconnect; " || story == "connect; fail 30003; disconnect; ") << story;
    for (const auto& error : publisher.events->errorList()) EXPECT_EQ(error, (Errors::value_type{30003, "Connection to server lost"}));

    // The master has started a new worker: connect again and publish.
    const auto stream = kntest::uniqueName("again");
    ASSERT_TRUE(publisher.connect(server->rtmpURL(stream), media.metadata())) << publisher.events->story();
    publisher.feedAll(media, 0);
    publisher.drainAndClose();
    expectRecording(server->waitForRecording(stream), media, media.videoFrames, media.audioFrames);
}

TEST(KNRTMPManagerE2E, LettingGoOfAPublisherWhoseServerDiedLeavesTheProcessAlive) {
    const auto dir = std::string(KESTRUNE_TEST_TMP) + "/" + kntest::uniqueName("release");
    auto server = TestServer::startPrivate(dir);
    ASSERT_TRUE(server);
    Publisher publisher;
    ASSERT_TRUE(publisher.connect(server->rtmpURL(kntest::uniqueName("release")), nullptr));
    publisher.manager->senderQueue()->sync([] {});
    const auto workers = server->workerPids();
    for (pid_t pid : workers) ASSERT_EQ(kill(pid, SIGKILL), 0);
    ASSERT_TRUE(waitFor([&] { return server->workerPids() != workers; }, 20s));

    // The last reference goes on this thread, whose SIGPIPE is not blocked: closing the session
    // writes to the dead connection from here.
    sigset_t pipe, mask;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_UNBLOCK, &pipe, nullptr);
    publisher.manager.reset();
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    EXPECT_FALSE(sigismember(&mask, SIGPIPE));
}

}  // namespace
