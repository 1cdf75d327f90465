#pragma once
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

bool waitFor(const std::function<bool()>& predicate, std::chrono::milliseconds timeout);

struct CommandResult {
    int exitCode = -1;   // -1 when it died by a signal
    std::string output;  // stdout and stderr together
};
CommandResult runCommand(const std::vector<std::string>& argv);
CommandResult ffprobe(const std::string& file);
std::string uniqueName(const std::string& prefix);

class TestServer {
public:
    static std::shared_ptr<TestServer> shared();  // the fixture's; null, failing the test, without one
    // `launcher` runs the start script, e.g. in another network namespace.
    static std::shared_ptr<TestServer> startPrivate(const std::string& dir, const std::vector<std::string>& launcher = {});
    ~TestServer();

    std::string value(const std::string& key) const;  // of its server.env
    int port(const std::string& key) const { return std::atoi(value(key).c_str()); }
    int rtmpPort() const { return port("RTMP_PORT"); }
    std::string url(const std::string& stream, const std::string& host = "127.0.0.1",
                    const std::string& portKey = "RTMP_PORT") const;
    std::string waitForRecording(const std::string& stream, std::chrono::milliseconds timeout = 20s) const;
    std::string accessLog() const;
    std::vector<pid_t> workerPids() const;  // the master's is port("NGINX_PID")

private:
    TestServer(std::string dir, std::map<std::string, std::string> env, bool owned)
        : dir_(std::move(dir)), env_(std::move(env)), owned_(owned) {}
    const std::string dir_;
    const std::map<std::string, std::string> env_;
    const bool owned_;
};

}  // namespace kntest
