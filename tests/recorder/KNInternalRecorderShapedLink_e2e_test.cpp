// Adaptive bitrate on a narrow link: the camera road in a network namespace of its own, whose
// loopback carries 100 kbit/s (the synthetic picture asked for 3 Mbit/s makes only a few hundred),
// to a private nginx-rtmp server started inside it.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <fstream>

#include "CameraRoadSupport.h"

using namespace kntest;

namespace {

constexpr int kSkipExit = 77;

class ShapedLink : public CameraRoad {
protected:
    std::shared_ptr<TestServer> makeServer() override {
        return TestServer::startPrivate(std::string(KESTRUNE_TEST_TMP) + "/" + uniqueName("shaped"));
    }
    void configure(KNRecorderSettings& settings) override { settings.setVideoBitrate(3000000); }
    void SetUp() override {
        if (!std::getenv("KESTRUNE_SHAPED_NETNS")) GTEST_SKIP() << "runs inside the namespace the launcher test makes";
        CameraRoad::SetUp();
    }
};

int32_t lowestBitrate(const HubLog& bitrates) {
    int32_t lowest = INT32_MAX;
    for (const auto& entry : bitrates.entries()) lowest = std::min(lowest, std::atoi(entry.c_str()));
    return lowest;
}

}  // namespace

// Runs the test below again in a network namespace of its own whose loopback is shaped.
TEST(ShapedLinkLauncher, InAPrivateNamespace) {
    if (std::getenv("KESTRUNE_SHAPED_NETNS")) {
        // Segments no larger than the bucket's burst, and send buffers small enough that a slow
        // link shows in the publisher's queue rather than in the kernel's.
        ASSERT_EQ(runCommand({"ip", "link", "set", "lo", "mtu", "1500", "up"}).exitCode, 0);
        std::ofstream("/proc/sys/net/ipv4/tcp_wmem") << "4096 16384 65536\n";
        const auto shaped = runCommand({"tc", "qdisc", "add", "dev", "lo", "root", "tbf", "rate", "100kbit", "burst",
                                        "32kbit", "latency", "400ms"});
        if (shaped.exitCode != 0) {
            std::fputs(("no token bucket on this kernel: " + shaped.output).c_str(), stderr);
            _exit(kSkipExit);
        }
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
                                 "--gtest_filter=ShapedLinkLauncher.*:ShapedLink.*"});
    if (run.exitCode == kSkipExit) GTEST_SKIP() << run.output;
    EXPECT_EQ(run.exitCode, 0) << run.output;
}

TEST_F(ShapedLink, TheEncoderFollowsTheEstimateDownAndTheStreamStaysUp) {
    const std::string stream = uniqueName("shaped");
    hub->setupWithStreamInfo(destination(server->url(stream)));
    ASSERT_NO_FATAL_FAILURE(start());
    hub->startAdaptiveBitrateService();
    ASSERT_TRUE(streamFor(450));
    EXPECT_LT(lowestBitrate(components->videoEncoder->bitrates), 2400000) << "within 15 s";
    ASSERT_TRUE(streamFor(450));
    EXPECT_EQ(hub->recordingState(), KNRecorderStateStreaming);
    const auto bitrates = components->videoEncoder->bitrates.entries();
    EXPECT_GT(events->drops, 0) << "bit rates: " << ::testing::PrintToString(bitrates);
    hub->stopStreaming();
    EXPECT_EQ(components->videoEncoder->bitrates.entries().back(), "3000000") << "stopping restores the setting";
    const std::string flv = server->waitForRecording(stream, 60s);
    ASSERT_FALSE(flv.empty());
    // What the link dropped differs between the tracks: their ends are not compared.
    expectDecodesCleanly(flv, 1e9);
    const auto flags = runCommand({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "packet=flags",
                                   "-of", "csv=p=0", flv});
    EXPECT_EQ(flags.output.substr(0, 1), "K") << "video resumes on a key frame";
}
