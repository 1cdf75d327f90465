#pragma once
// Helpers of the tests: condition waits, the media tools, and the real RTMP server that the
// fixture (tests/fixtures/rtmp_server.sh) runs or a test starts for itself.
#include <sys/types.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kntest {

using namespace std::chrono_literals;

// Polls the predicate until it holds or the time-out passes; answers its last value.
bool waitFor(const std::function<bool()>& predicate, std::chrono::milliseconds timeout);

struct CommandResult {
    int exitCode = -1;   // -1 when it died by a signal
    std::string output;  // stdout and stderr together
};
CommandResult runCommand(const std::vector<std::string>& argv);  // argv[0] looked up in PATH
CommandResult ffprobe(const std::string& file);       // key=value lines of the format and streams
CommandResult decodeErrors(const std::string& file);  // a clean decode: exit 0, no output
std::string uniqueName(const std::string& prefix);  // one no other test or run uses

class TestServer {
public:
    // The fixture's server; null, failing the test, when there is none.
    static std::shared_ptr<TestServer> shared();
    // A server of its own in DIR, for tests that stall or kill it; stopped when the object goes.
    static std::shared_ptr<TestServer> startPrivate(const std::string& dir);
    ~TestServer();

    std::string value(const std::string& key) const;  // of its server.env
    int port(const std::string& key) const { return std::atoi(value(key).c_str()); }
    int rtmpPort() const { return port("RTMP_PORT"); }
    // rtmp://HOST:PORT/live/STREAM, rtmps:// on the TLS ports.
    std::string url(const std::string& stream, const std::string& host = "127.0.0.1",
                    const std::string& portKey = "RTMP_PORT") const;
    std::string recordingPath(const std::string& stream) const;
    // The path once the server has closed the recording (the publisher left); "" after the time-out.
    std::string waitForRecording(const std::string& stream, std::chrono::milliseconds timeout = 20s) const;
    std::string accessLog() const;
    pid_t masterPid() const { return port("NGINX_PID"); }
    std::vector<pid_t> workerPids() const;

private:
    TestServer(std::string dir, std::map<std::string, std::string> env, bool owned)
        : dir_(std::move(dir)), env_(std::move(env)), owned_(owned) {}
    const std::string dir_;
    const std::map<std::string, std::string> env_;
    const bool owned_;
};

}  // namespace kntest
