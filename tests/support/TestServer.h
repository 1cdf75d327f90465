#pragma once
// Helpers of the end-to-end tests: the real RTMP server the fixture runs (tests/fixtures/rtmp_server.sh),
// private server instances, recordings, the media tools, and condition waits.
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kntest {

using namespace std::chrono_literals;

// Polls the predicate (every few ms) until it holds or the time-out passes; answers its last value.
bool waitFor(const std::function<bool()>& predicate, std::chrono::milliseconds timeout);

struct CommandResult {
    int exitCode = -1;   // -1 when it could not be run or died by a signal
    std::string output;  // stdout and stderr together
};
// Runs argv[0] (looked up in PATH) without a shell and collects its output.
CommandResult runCommand(const std::vector<std::string>& argv);
// `ffprobe -v error -show_format -show_streams FILE`: key=value lines per stream.
CommandResult ffprobe(const std::string& file);
// `ffmpeg -v error -i FILE -f null -`: empty output and exit 0 when the file decodes cleanly.
CommandResult decodeErrors(const std::string& file);

// A name no other test or run uses, for streams and scratch files.
std::string uniqueName(const std::string& prefix);

class TestServer {
public:
    // The server of the running fixture (KESTRUNE_TEST_SERVER_DIR/server.env). Fails the calling
    // test (and answers null) when there is none.
    static std::shared_ptr<TestServer> shared();
    // Starts a server of its own in DIR (fresh ports), for tests that stop or kill it; stopped
    // when the object goes. Null (with a test failure) when it does not come up.
    static std::shared_ptr<TestServer> startPrivate(const std::string& dir);

    ~TestServer();
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    // A server.env value ("" when missing) and the numeric ports.
    std::string value(const std::string& key) const;
    int port(const std::string& key) const;
    int rtmpPort() const { return port("RTMP_PORT"); }
    int rtmpsPort() const { return port("RTMPS_PORT"); }
    std::string ipv6Host() const { return value("IPV6_HOST"); }
    std::string caFile() const { return value("CA_FILE"); }

    // "rtmp://HOST:PORT/live/STREAM" on the plain port, "rtmps://..." on the TLS 1.2 port.
    std::string rtmpURL(const std::string& stream, const std::string& host = "127.0.0.1") const;
    std::string rtmpsURL(const std::string& stream, const std::string& host = "localhost") const;

    std::string recordingPath(const std::string& stream) const;
    // Waits until the server has closed the stream's recording (the publisher has left); answers
    // its path, or "" after the time-out.
    std::string waitForRecording(const std::string& stream, std::chrono::milliseconds timeout = 20s) const;
    std::string accessLog() const;

    pid_t masterPid() const;
    std::vector<pid_t> workerPids() const;
    // Stops a private server (no effect on the shared one).
    void stop();

private:
    TestServer(std::string dir, std::map<std::string, std::string> env, bool owned);
    std::string dir_;
    std::map<std::string, std::string> env_;
    bool owned_;
};

}  // namespace kntest
