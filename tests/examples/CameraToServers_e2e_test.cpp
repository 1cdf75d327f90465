// The camera example as a host runs it: two destinations and a local MP4 for 10 s.
#include <gtest/gtest.h>

#include <filesystem>

#include "kestrune/KNReachability.h"
#include "support/TestServer.h"

using namespace kntest;

namespace {

// Next to this test's own build folder.
std::string examplePath() {
    const auto self = std::filesystem::read_symlink("/proc/self/exe");
    return (self.parent_path().parent_path() / "examples" / "camera_to_servers").string();
}

// Decoding errors only: the camera's frames come at the times they were taken, not on a grid.
std::string decodeErrors(const std::string& file) {
    const auto decode = runCommand({"ffmpeg", "-nostdin", "-v", "error", "-i", file, "-fps_mode", "vfr", "-f", "null", "-"});
    return std::to_string(decode.exitCode) + decode.output;
}

std::string codecs(const std::string& file) {
    return runCommand({"ffprobe", "-v", "error", "-show_entries", "stream=codec_name,width,height", "-of", "csv=p=0", file})
        .output;
}

}  // namespace

TEST(CameraToServers, TwoServersAndAFileAllDecode) {
    const auto server = TestServer::shared();
    ASSERT_TRUE(server);
    ASSERT_TRUE(std::filesystem::exists(examplePath())) << examplePath();
    if (!KNReachability::reachabilityForInternetConnection()->isReachable()) {
        GTEST_SKIP() << "no default route: the example's start would be refused";
    }
    const std::string first = uniqueName("example-a");
    const std::string second = uniqueName("example-b");
    const std::string mp4 = std::string(KESTRUNE_TEST_TMP) + "/" + uniqueName("example") + ".mp4";

    const auto run = runCommand({examplePath(), "--seconds", "10", "--mp4", mp4, server->url(first), server->url(second)});

    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("kbit/s"), std::string::npos);
    const std::vector<std::string> files = {server->waitForRecording(first), server->waitForRecording(second), mp4};
    for (const auto& file : files) {
        EXPECT_EQ(decodeErrors(file), "0") << file;
        const auto streams = codecs(file);
        EXPECT_NE(streams.find("h264,640,360"), std::string::npos) << file << ": " << streams;
        EXPECT_NE(streams.find("aac"), std::string::npos) << file << ": " << streams;
    }
    std::filesystem::remove(mp4);
}
