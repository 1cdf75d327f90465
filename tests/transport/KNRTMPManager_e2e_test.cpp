// The publisher against a real nginx-rtmp server: what it records must be what was fed, and the
// publisher must live through a stalled and a killed server.
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

#include "support/TestMedia.h"
#include "support/TestServer.h"
#include "kestrune/KNError.h"

namespace {

using namespace std::chrono_literals;
using kntest::TestMedia;
using kntest::TestMediaFrame;
using kntest::TestServer;
using kntest::waitFor;

// A host clock reading, as the encoders stamp their output.
constexpr uint64_t kClockBaseMs = 86'400'000;

struct Events : KNRTMPManagerDelegate {
    std::atomic<int> connects{0}, disconnects{0}, closes{0}, drops{0}, badPackets{0};
    std::mutex mutex;
    std::vector<std::pair<int64_t, std::string>> errors;

    void RTMPManagerDidConnectToServer(KNRTMPManager*) override { ++connects; }
    void RTMPManagerDidDisconnect(KNRTMPManager*) override { ++disconnects; }
    void RTMPManagerDidCloseConnection(KNRTMPManager*) override { ++closes; }
    void RTMPManagerDidDropPacket(KNRTMPManager*) override { ++drops; }
    void RTMPManagerDidDropBadAudioPacket(KNRTMPManager*) override { ++badPackets; }
    void RTMPManagerDidDropBadVideoPacket(KNRTMPManager*) override { ++badPackets; }
    void RTMPManagerDidFailConnectingWithError(KNRTMPManager*, std::shared_ptr<KNError> error) override {
        std::lock_guard<std::mutex> guard(mutex);
        errors.emplace_back(error->errorCodes().at(0), error->message().value_or(""));
    }
    std::vector<std::pair<int64_t, std::string>> errorList() {
        std::lock_guard<std::mutex> guard(mutex);
        return errors;
    }
};

std::string scratchDir(const std::string& name) {
    const auto dir = std::string(KESTRUNE_TEST_TMP) + "/" + kntest::uniqueName(name);
    std::filesystem::create_directories(dir);
    return dir;
}

std::shared_ptr<const KNMetadata> metadataFor(const TestMedia& media) {
    auto metadata = KNMetadata::create();
    metadata->setVideoCodecId("avc1");
    metadata->setVideoWidth(media.options.width);
    metadata->setVideoHeight(media.options.height);
    metadata->setVideoBitrate(media.options.videoBitrateKbps * 1000);
    metadata->setVideoFramerate(media.options.fps);
    metadata->setAudioCodecId("mp4a");
    metadata->setAudioBitrate(64000);
    metadata->setAudioSampleRate(media.options.sampleRate);
    metadata->setAudioSampleSize(16);
    metadata->setAudioStereo(media.options.channels == 2);
    return metadata;
}

class Publisher {
public:
    Publisher() { manager->setDelegate(events); }

    bool connect(const std::string& url, std::shared_ptr<const KNMetadata> metadata) {
        const int before = events->connects;
        const size_t errorsBefore = events->errorList().size();
        manager->setConnectionURL(url);
        manager->setMetadata(std::move(metadata));
        manager->establishConnection();
        return waitFor([&] { return events->connects > before || events->errorList().size() > errorsBefore; },
                       40s) &&
               events->connects > before;
    }

    // Hands one frame over; answers whether the publisher took it.
    bool feed(const TestMediaFrame& frame, uint64_t offsetMs) {
        const int dropsBefore = events->drops;
        const uint64_t timestamp = kClockBaseMs + offsetMs + frame.timestampMs;
        if (frame.video) {
            if (frame.keyFrame) manager->setVideoSPSAndPPS(frame.sps, frame.pps);
            manager->sendVideoPacketIsKeyFrameTimestamp(frame.data, frame.keyFrame, timestamp);
        } else {
            manager->sendAudioPacketTimestamp(frame.data, timestamp);
        }
        return events->drops == dropsBefore;
    }

    // Feeds without ever running into the load bound.
    void feedAll(const TestMedia& media, uint64_t offsetMs) {
        for (const auto& frame : media.frames) {
            ASSERT_TRUE(waitFor([&] { return manager->queueLoad() < kMaxQueueLoad / 2; }, 20s));
            ASSERT_TRUE(feed(frame, offsetMs));
        }
    }

    void drainAndClose() {
        manager->senderQueue()->sync([] {});
        const int before = events->closes;
        manager->closeConnection();
        ASSERT_TRUE(waitFor([&] { return events->closes > before; }, 20s));
    }

    std::shared_ptr<Events> events = std::make_shared<Events>();
    std::shared_ptr<KNRTMPManager> manager = KNRTMPManager::create();
};

std::map<std::string, std::string> streamInfo(const std::string& file, const std::string& kind) {
    const auto probe = kntest::runCommand({"ffprobe", "-v", "error", "-count_packets", "-select_streams", kind,
                                           "-show_streams", file});
    std::map<std::string, std::string> info;
    std::istringstream lines(probe.output);
    for (std::string line; std::getline(lines, line);) {
        const auto eq = line.find('=');
        if (eq != std::string::npos) info[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return info;
}

// Checks a recording holds exactly the fed media and decodes without a single complaint.
void expectRecording(const std::string& file, const TestMedia& media, size_t videoFed, size_t audioFed) {
    ASSERT_FALSE(file.empty()) << "no finished recording";
    const auto video = streamInfo(file, "v");
    EXPECT_EQ(video.count("codec_name") ? video.at("codec_name") : "", "h264");
    EXPECT_EQ(video.count("profile") ? video.at("profile") : "", "Main");
    EXPECT_EQ(video.count("width") ? video.at("width") : "", std::to_string(media.options.width));
    EXPECT_EQ(video.count("height") ? video.at("height") : "", std::to_string(media.options.height));
    EXPECT_EQ(video.count("nb_read_packets") ? video.at("nb_read_packets") : "", std::to_string(videoFed));
    const auto audio = streamInfo(file, "a");
    EXPECT_EQ(audio.count("codec_name") ? audio.at("codec_name") : "", "aac");
    EXPECT_EQ(audio.count("sample_rate") ? audio.at("sample_rate") : "", std::to_string(media.options.sampleRate));
    EXPECT_EQ(audio.count("channels") ? audio.at("channels") : "", std::to_string(media.options.channels));
    EXPECT_EQ(audio.count("nb_read_packets") ? audio.at("nb_read_packets") : "", std::to_string(audioFed));
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

TEST(KNRTMPManagerE2E, PublishedMediaIsRecordedWholeAndPlaysBackWithOurMetadata) {
    auto server = TestServer::shared();
    ASSERT_TRUE(server);
    const auto dir = scratchDir("publish");
    const TestMedia media = kntest::makeTestMedia(dir, "media");
    ASSERT_EQ(media.error, "");
    const auto stream = kntest::uniqueName("publish");
    const auto metadata = metadataFor(media);

    Publisher publisher;
    ASSERT_TRUE(publisher.connect(server->rtmpURL(stream), metadata)) << publisher.events->errorList().size();
    // A player joining the live stream gets the publisher's onMetaData as it was sent.
    std::vector<uint8_t> playedMetaData;
    std::thread player([&] { playedMetaData = metaDataSeenByAPlayer(server->rtmpURL(stream)); });

    // Real time, as a camera delivers; a second establish half-way must leave the stream alone.
    const auto start = std::chrono::steady_clock::now();
    bool establishedAgain = false;
    for (const auto& frame : media.frames) {
        std::this_thread::sleep_until(start + std::chrono::milliseconds(frame.timestampMs));
        if (!establishedAgain && frame.timestampMs >= media.durationMs / 2) {
            publisher.manager->establishConnection();
            establishedAgain = true;
        }
        ASSERT_TRUE(publisher.feed(frame, 0));
    }
    publisher.drainAndClose();
    player.join();

    EXPECT_EQ(publisher.events->errorList(),
              (std::vector<std::pair<int64_t, std::string>>{{30001, "Connection already initialized"}}));
    EXPECT_EQ(publisher.events->disconnects, 0);
    EXPECT_EQ(publisher.events->badPackets, 0);
    expectRecording(server->waitForRecording(stream), media, media.videoFrames, media.audioFrames);

    auto expected = KNFLVPayload::onMetaData(*metadata);
    expected.erase(expected.begin(), expected.begin() + 16);  // the "@setDataFrame" string
    EXPECT_EQ(playedMetaData, expected);
}

TEST(KNRTMPManagerE2E, StalledServerDropsAtTheBoundAndResumesOnAKeyFrame) {
    const auto dir = scratchDir("stall");
    auto server = TestServer::startPrivate(dir + "/server");
    ASSERT_TRUE(server);
    kntest::TestMediaOptions options;
    options.width = 640;
    options.height = 360;
    options.videoBitrateKbps = 6000;
    const TestMedia media = kntest::makeTestMedia(dir, "media", options);
    ASSERT_EQ(media.error, "");
    const auto stream = kntest::uniqueName("stall");

    Publisher publisher;
    ASSERT_TRUE(publisher.connect(server->rtmpURL(stream), metadataFor(media)));
    size_t videoFed = 0, audioFed = 0;
    uint64_t offset = 0;
    publisher.feedAll(media, offset);
    videoFed += media.videoFrames;
    audioFed += media.audioFrames;

    std::vector<pid_t> pids = server->workerPids();
    pids.push_back(server->masterPid());
    for (pid_t pid : pids) ASSERT_EQ(kill(pid, SIGSTOP), 0);

    // Everything as fast as it comes: the socket fills, the queue backs up, drops begin.
    struct Fed {
        bool video, keyFrame, accepted;
        int64_t loadBefore;
    };
    std::vector<Fed> fed;
    bool droppedKeyFrame = false;
    for (int loop = 1; loop < 40 && !(droppedKeyFrame && publisher.events->drops > 200); ++loop) {
        offset = loop * media.spanMs;
        for (const auto& frame : media.frames) {
            const int64_t load = publisher.manager->queueLoad();
            const bool accepted = publisher.feed(frame, offset);
            fed.push_back({frame.video, frame.keyFrame, accepted, load});
            if (accepted) ++(frame.video ? videoFed : audioFed);
            droppedKeyFrame |= frame.keyFrame && !accepted;
        }
    }
    for (pid_t pid : pids) kill(pid, SIGCONT);
    ASSERT_TRUE(droppedKeyFrame);

    // The server is back: the next accepted video is a key frame.
    offset += media.spanMs;
    for (const auto& frame : media.frames) {
        ASSERT_TRUE(waitFor([&] { return publisher.manager->queueLoad() < kMaxQueueLoad / 2; }, 30s));
        const bool accepted = publisher.feed(frame, offset);
        fed.push_back({frame.video, frame.keyFrame, accepted, 0});
        if (accepted) ++(frame.video ? videoFed : audioFed);
    }
    publisher.drainAndClose();

    bool videoDropping = false;
    for (size_t i = 0; i < fed.size(); ++i) {
        const auto& f = fed[i];
        if (!f.accepted && (f.keyFrame || !f.video)) {
            EXPECT_GT(f.loadBefore, kMaxQueueLoad) << i;  // dropped only above the bound
        }
        if (!f.video) continue;
        if (videoDropping && f.accepted) {
            EXPECT_TRUE(f.keyFrame) << "video resumed on an inter frame at " << i;
        }
        if (videoDropping && !f.keyFrame) {
            EXPECT_FALSE(f.accepted) << i;
        }
        if (f.keyFrame) videoDropping = !f.accepted;
    }
    EXPECT_FALSE(videoDropping);
    EXPECT_EQ(publisher.events->disconnects, 0);
    EXPECT_TRUE(publisher.events->errorList().empty());
    expectRecording(server->waitForRecording(stream, 60s), media, videoFed, audioFed);
}

TEST(KNRTMPManagerE2E, KilledServerIsReportedOnceAndThePublisherConnectsAgain) {
    const auto dir = scratchDir("kill");
    auto server = TestServer::startPrivate(dir + "/server");
    ASSERT_TRUE(server);
    const TestMedia media = kntest::makeTestMedia(dir, "media");
    ASSERT_EQ(media.error, "");

    Publisher publisher;
    ASSERT_TRUE(publisher.connect(server->rtmpURL(kntest::uniqueName("killed")), metadataFor(media)));
    publisher.feedAll(media, 0);
    publisher.manager->senderQueue()->sync([] {});
    for (pid_t pid : server->workerPids()) ASSERT_EQ(kill(pid, SIGKILL), 0);

    // Keep publishing as an encoder would; the dead connection shows on a write.
    uint64_t offset = media.spanMs;
    for (int loop = 0; loop < 20 && publisher.events->disconnects == 0; ++loop, offset += media.spanMs) {
        publisher.feedAll(media, offset);
        publisher.manager->senderQueue()->sync([] {});
    }
    ASSERT_EQ(publisher.events->disconnects, 1);
    // Packets still arriving find no session and only count off.
    publisher.feedAll(media, offset);
    publisher.manager->senderQueue()->sync([] {});
    EXPECT_EQ(publisher.events->disconnects, 1);
    EXPECT_EQ(publisher.events->closes, 0);
    EXPECT_EQ(publisher.manager->queueLoad(), 0);
    const auto errors = publisher.events->errorList();
    EXPECT_LE(errors.size(), 1u);
    for (const auto& error : errors) EXPECT_EQ(error, (std::pair<int64_t, std::string>{30003, "Connection to server lost"}));

    // The master has started a new worker: connect again and publish.
    const auto stream = kntest::uniqueName("again");
    ASSERT_TRUE(publisher.connect(server->rtmpURL(stream), metadataFor(media)))
        << publisher.events->errorList().back().second;
    publisher.feedAll(media, 0);
    publisher.drainAndClose();
    expectRecording(server->waitForRecording(stream), media, media.videoFrames, media.audioFrames);
}

TEST(KNRTMPManagerE2E, LettingGoOfAPublisherWhoseServerDiedLeavesTheProcessAlive) {
    const auto dir = scratchDir("release");
    auto server = TestServer::startPrivate(dir + "/server");
    ASSERT_TRUE(server);
    auto events = std::make_shared<Events>();
    auto manager = KNRTMPManager::create();
    manager->setDelegate(events);
    manager->setConnectionURL(server->rtmpURL(kntest::uniqueName("release")));
    manager->establishConnection();
    ASSERT_TRUE(waitFor([&] { return events->connects == 1; }, 20s));
    manager->senderQueue()->sync([] {});
    const auto workers = server->workerPids();
    for (pid_t pid : workers) ASSERT_EQ(kill(pid, SIGKILL), 0);
    ASSERT_TRUE(waitFor([&] { return server->workerPids() != workers; }, 20s));

    // The last reference goes on this thread, whose SIGPIPE is not blocked: closing the session
    // writes to the dead connection from here.
    sigset_t pipe, mask;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_UNBLOCK, &pipe, nullptr);
    manager.reset();
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    EXPECT_FALSE(sigismember(&mask, SIGPIPE));
}

// Relays one TCP connection on loopback to `port` and keeps what the client sent.
class Relay {
public:
    explicit Relay(int port) : port_(port) {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        if (bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(listener_, 1) != 0 ||
            getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            ADD_FAILURE() << "relay: no listening socket";
        }
        localPort_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~Relay() {
        shutdown(listener_, SHUT_RDWR);
        thread_.join();
        close(listener_);
    }
    int port() const { return localPort_; }
    std::vector<uint8_t> fromClient() {
        std::lock_guard<std::mutex> guard(mutex_);
        return fromClient_;
    }

private:
    void run() {
        const int client = accept(listener_, nullptr, nullptr);
        if (client < 0) return;
        const int server = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port_));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(server, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
            pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
            char buffer[65536];
            for (bool open = true; open && poll(fds, 2, 20000) > 0;) {
                for (int i = 0; i < 2 && open; ++i) {
                    if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                    const ssize_t n = read(fds[i].fd, buffer, sizeof(buffer));
                    open = n > 0 && send(fds[1 - i].fd, buffer, static_cast<size_t>(n), MSG_NOSIGNAL) == n;
                    if (open && i == 0) {
                        std::lock_guard<std::mutex> guard(mutex_);
                        fromClient_.insert(fromClient_.end(), buffer, buffer + n);
                    }
                }
            }
        }
        close(server);
        close(client);
    }

    int port_;
    int listener_;
    int localPort_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<uint8_t> fromClient_;
};

TEST(KNRTMPManagerE2E, LargerChunksAreAnnouncedAndUsed) {
    auto server = TestServer::shared();
    ASSERT_TRUE(server);
    const auto dir = scratchDir("chunks");
    const TestMedia media = kntest::makeTestMedia(dir, "media");
    ASSERT_EQ(media.error, "");
    Relay relay(server->rtmpPort());
    const auto stream = kntest::uniqueName("chunks");

    Publisher publisher;
    ASSERT_TRUE(publisher.connect("rtmp://127.0.0.1:" + std::to_string(relay.port()) + "/live/" + stream,
                                  metadataFor(media)));
    publisher.feedAll(media, 0);
    publisher.drainAndClose();
    expectRecording(server->waitForRecording(stream), media, media.videoFrames, media.audioFrames);

    // Set Chunk Size on the control stream: basic header 0x02, time 0, length 4, type 1,
    // message stream 0, then 4096.
    const std::vector<uint8_t> announce = {0x02, 0, 0, 0, 0, 0, 4, 0x01, 0, 0, 0, 0, 0x00, 0x00, 0x10, 0x00};
    const auto sent = relay.fromClient();
    EXPECT_NE(std::search(sent.begin(), sent.end(), announce.begin(), announce.end()), sent.end());
}

}  // namespace
