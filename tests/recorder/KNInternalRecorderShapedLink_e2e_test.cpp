// Adaptive bitrate over a real link: the camera road's detailed picture, asked for 3 Mbit/s, sent
// over a veth pair to a private nginx-rtmp server in a network namespace of its own. The sending
// end carries 1 Mbit/s (a token bucket); the control runs the same stream over the bare pair.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <fstream>

#include "CameraRoadSupport.h"
#include "platform/capture/CaptureDeviceRegistry.h"
#include "platform/capture/SyntheticCaptureDevice.h"

using namespace kntest;

namespace {

constexpr int kSkipExit = 77;
constexpr int32_t kAskedBps = 3000000;
constexpr int32_t kLinkBps = 1000000;
constexpr const char* kSendingEnd = "kn-shape0";
constexpr const char* kServerEnd = "kn-shape1";
constexpr const char* kSendingAddress = "198.51.100.1";
constexpr const char* kServerAddress = "198.51.100.2";
using Clock = std::chrono::steady_clock;

double secondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

// A network namespace held open by a child that only waits; the server runs in it.
class ServerNamespace {
public:
    ServerNamespace() {
        int ready[2];
        if (pipe(ready) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            const char made = unshare(CLONE_NEWNET) == 0 ? 'y' : 'n';
            (void)!write(ready[1], &made, 1);
            for (;;) pause();
        }
        close(ready[1]);
        char made = 'n';
        ok_ = pid_ > 0 && read(ready[0], &made, 1) == 1 && made == 'y';
        close(ready[0]);
    }
    ~ServerNamespace() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    bool ok() const { return ok_; }
    std::string pid() const { return std::to_string(pid_); }
    // The prefix that runs a command inside it.
    std::vector<std::string> enter() const { return {"nsenter", "-t", pid(), "-n"}; }
    CommandResult run(std::vector<std::string> argv) const {
        auto command = enter();
        command.insert(command.end(), argv.begin(), argv.end());
        return runCommand(command);
    }

private:
    pid_t pid_ = -1;
    bool ok_ = false;
};

CommandResult ip(const std::vector<std::string>& arguments) {
    std::vector<std::string> command{"ip"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return runCommand(command);
}

// The camera road over the veth pair, the sending end shaped to `linkBps` (0: bare).
class LinkedRoad : public CameraRoad {
protected:
    virtual int32_t linkBps() const = 0;
    std::shared_ptr<TestServer> makeServer() override {
        auto launcher = serverNamespace->enter();
        launcher.push_back("env");
        launcher.push_back(std::string("KESTRUNE_TEST_LISTEN=") + kServerAddress);
        return TestServer::startPrivate(std::string(KESTRUNE_TEST_TMP) + "/" + uniqueName("linked"), launcher);
    }
    void configure(KNRecorderSettings& settings) override {
        settings.setVideoBitrate(kAskedBps);
        settings.setVideoFrameResolution(KNVideoFrameResolution1280x720);
    }
    void SetUp() override {
        if (!std::getenv("KESTRUNE_SHAPED_NETNS")) GTEST_SKIP() << "runs inside the namespace the launcher test makes";
        serverNamespace = std::make_unique<ServerNamespace>();
        ASSERT_TRUE(serverNamespace->ok());
        ASSERT_NO_FATAL_FAILURE(link());
        for (const auto& device : platform::CaptureDeviceRegistry::shared().devices()) {
            if (auto camera = std::dynamic_pointer_cast<platform::SyntheticCaptureDevice>(device)) {
                camera->setDetailedPicture(true);
            }
        }
        CameraRoad::SetUp();
    }
    void TearDown() override {
        CameraRoad::TearDown();
        server.reset();
        ip({"link", "del", kSendingEnd});
        serverNamespace.reset();
    }
    void link() {
        ASSERT_EQ(ip({"link", "add", kSendingEnd, "type", "veth", "peer", "name", kServerEnd, "netns",
                      serverNamespace->pid()}).exitCode, 0);
        for (const auto& step : std::vector<std::vector<std::string>>{
                 {"address", "add", std::string(kSendingAddress) + "/24", "dev", kSendingEnd},
                 {"link", "set", kSendingEnd, "up"}}) {
            ASSERT_EQ(ip(step).exitCode, 0) << step[0];
        }
        for (const auto& step : std::vector<std::vector<std::string>>{
                 {"ip", "link", "set", "lo", "up"},
                 {"ip", "address", "add", std::string(kServerAddress) + "/24", "dev", kServerEnd},
                 {"ip", "link", "set", kServerEnd, "up"}}) {
            ASSERT_EQ(serverNamespace->run(step).exitCode, 0) << step[1];
        }
        if (linkBps() == 0) return;
        const auto shaped = runCommand({"tc", "qdisc", "add", "dev", kSendingEnd, "root", "tbf", "rate",
                                        std::to_string(linkBps() / 1000) + "kbit", "burst", "32kbit", "latency", "400ms"});
        if (shaped.exitCode != 0) {
            std::fputs(("no token bucket on this kernel: " + shaped.output).c_str(), stderr);
            _exit(kSkipExit);
        }
    }
    // Streams with adaptive bitrate on; answers when it began.
    Clock::time_point startAdaptive(const std::string& stream) {
        hub->setupWithStreamInfo(destination(server->url(stream, kServerAddress)));
        start();
        hub->startAdaptiveBitrateService();
        return Clock::now();
    }
    bool streamForSeconds(int seconds) { return streamFor(seconds * 30); }

    std::unique_ptr<ServerNamespace> serverNamespace;
};

class ShapedLink : public LinkedRoad {
    int32_t linkBps() const override { return kLinkBps; }
};

class BareLink : public LinkedRoad {
    int32_t linkBps() const override { return 0; }
};

// When the encoder's bit rate went below `bps` for good; nullopt when it never did.
std::optional<Clock::time_point> settledBelow(const std::vector<WatchedVideoEncoder::Change>& changes, int32_t bps) {
    std::optional<Clock::time_point> settled;
    for (const auto& change : changes) {
        if (change.bitrateBps >= bps) {
            settled.reset();
        } else if (!settled) {
            settled = change.at;
        }
    }
    return settled;
}

// The first video packet, and every one after a gap of more than `gapSeconds`, is a key frame.
void expectKeyFramesAfterGaps(const std::string& flv, double gapSeconds) {
    const auto packets = runCommand({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                                     "packet=pts_time,flags", "-of", "csv=p=0", flv});
    std::istringstream lines(packets.output);
    double previous = -1;
    for (std::string line; std::getline(lines, line);) {
        const auto comma = line.find(',');
        if (comma == std::string::npos) continue;
        const double pts = std::atof(line.c_str());
        const bool key = line.find('K', comma) != std::string::npos;
        if (previous < 0 || pts - previous > gapSeconds) {
            EXPECT_TRUE(key) << "the picture resumes at " << pts << " s on a frame that is not a key frame";
        }
        previous = pts;
    }
    EXPECT_GE(previous, 0) << "no video in " << flv;
}

}  // namespace

// Runs the tests below again in a network namespace of their own.
TEST(ShapedLinkLauncher, InAPrivateNamespace) {
    if (std::getenv("KESTRUNE_SHAPED_NETNS")) {
        // Send buffers small enough that a slow link shows in the publisher's queue rather than in
        // the kernel's.
        std::ofstream("/proc/sys/net/ipv4/tcp_wmem") << "4096 16384 65536\n";
        ASSERT_EQ(ip({"link", "set", "lo", "up"}).exitCode, 0);
        return;
    }
    const pid_t probe = fork();
    if (probe == 0) _exit(unshare(CLONE_NEWNET) == 0 ? 0 : 1);
    int status = 0;
    waitpid(probe, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status)) GTEST_SKIP() << "cannot create a network namespace (needs root)";
    char self[PATH_MAX] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    const auto run = runCommand({"env", "KESTRUNE_SHAPED_NETNS=1", "unshare", "-n", self,
                                 "--gtest_filter=ShapedLinkLauncher.*:ShapedLink.*:BareLink.*"});
    if (run.exitCode == kSkipExit) GTEST_SKIP() << run.output;
    EXPECT_EQ(run.exitCode, 0) << run.output;
}

TEST_F(ShapedLink, TheBitRateSettlesBelowTheLinkTheDropsStopAndThePictureResumesOnKeyFrames) {
    const std::string stream = uniqueName("shaped");
    const auto began = startAdaptive(stream);
    ASSERT_TRUE(streamForSeconds(40));
    EXPECT_EQ(hub->recordingState(), KNRecorderStateStreaming) << "the stream stays up";
    const auto ended = Clock::now();
    const auto changes = components->videoEncoder->changes();
    std::string story;
    for (const auto& change : changes) {
        story += std::to_string(secondsBetween(began, change.at)).substr(0, 5) + "s " + std::to_string(change.bitrateBps) + "\n";
    }
    const auto settled = settledBelow(changes, kLinkBps);
    ASSERT_TRUE(settled) << story;
    EXPECT_LE(secondsBetween(began, *settled), 20.0) << story;
    EXPECT_GT(events->drops, 0) << "the link was full";
    EXPECT_LT(changes.back().bitrateBps, kLinkBps) << story;
    // Settling takes a few more steps down while the queues drain; then the drops stop.
    const auto lastDrop = Clock::time_point(Clock::duration(events->lastDrop.load()));
    EXPECT_LE(secondsBetween(began, lastDrop), 25.0) << "drops went on after the bit rate settled\n" << story;
    EXPECT_GE(secondsBetween(lastDrop, ended), 10.0) << story;
    hub->stopStreaming();
    EXPECT_EQ(components->videoEncoder->bitrates.entries().back(), std::to_string(kAskedBps)) << "stopping restores the setting";
    const std::string flv = server->waitForRecording(stream, 60s);
    ASSERT_FALSE(flv.empty());
    // What the link dropped differs between the tracks: their ends are not compared.
    expectDecodesCleanly(flv, 1e9);
    expectKeyFramesAfterGaps(flv, 0.5);
}

TEST_F(BareLink, TheSameStreamKeepsItsBitRate) {
    const std::string stream = uniqueName("bare");
    startAdaptive(stream);
    ASSERT_TRUE(streamForSeconds(20));
    EXPECT_EQ(events->drops, 0);
    const auto changes = components->videoEncoder->changes();
    ASSERT_FALSE(changes.empty());
    for (const auto& change : changes) EXPECT_GE(change.bitrateBps, kAskedBps * 0.9);
    hub->stopStreaming();
    const std::string flv = server->waitForRecording(stream, 60s);
    ASSERT_FALSE(flv.empty());
    const auto seconds = lastPacketTime(flv, "v:0");
    const auto bytes = column({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "packet=size",
                               "-of", "csv=p=0", flv});
    double total = 0;
    for (double size : bytes) total += size;
    ASSERT_GT(seconds, 10);
    EXPECT_GT(total * 8 / seconds, kAskedBps * 0.8) << "the video filled its bit rate";
}
