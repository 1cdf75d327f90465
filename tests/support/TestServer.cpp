#include "TestServer.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace kntest {

namespace fs = std::filesystem;

namespace {

const fs::path kServerScript = fs::path(__FILE__).parent_path().parent_path() / "fixtures" / "rtmp_server.sh";

std::map<std::string, std::string> readEnvFile(const fs::path& file) {
    std::map<std::string, std::string> env;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        auto eq = line.find('=');
        if (eq != std::string::npos && eq > 0) env[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return env;
}

std::string readFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

bool waitFor(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        if (predicate()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return predicate();
        std::this_thread::sleep_for(5ms);
    }
}

CommandResult runCommand(const std::vector<std::string>& argv) {
    CommandResult result;
    if (argv.empty()) return result;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    // The child starts with the default SIGPIPE disposition and an empty mask, whatever the test did.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, def;
    sigemptyset(&none);
    sigemptyset(&def);
    sigaddset(&def, SIGPIPE);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &def);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        result.output = "cannot run " + argv[0] + ": " + std::strerror(rc);
        return result;
    }
    char buf[4096];
    while (true) {
        ssize_t n = read(fds[0], buf, sizeof buf);
        if (n > 0) {
            result.output.append(buf, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

CommandResult ffprobe(const std::string& file) {
    return runCommand({"ffprobe", "-v", "error", "-show_format", "-show_streams", file});
}

CommandResult decodeErrors(const std::string& file) {
    return runCommand({"ffmpeg", "-nostdin", "-v", "error", "-i", file, "-f", "null", "-"});
}

std::string uniqueName(const std::string& prefix) {
    static std::atomic<int> counter{0};
    auto now = std::chrono::system_clock::now().time_since_epoch();
    return prefix + "-" + std::to_string(getpid()) + "-" +
           std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(now).count() % 100000000) + "-" +
           std::to_string(counter++);
}

TestServer::TestServer(std::string dir, std::map<std::string, std::string> env, bool owned)
    : dir_(std::move(dir)), env_(std::move(env)), owned_(owned) {}

TestServer::~TestServer() {
    if (owned_) stop();
}

std::shared_ptr<TestServer> TestServer::shared() {
    const char* dir = std::getenv("KESTRUNE_TEST_SERVER_DIR");
    if (!dir || !*dir) {
        ADD_FAILURE() << "KESTRUNE_TEST_SERVER_DIR is not set: run the test through ctest";
        return nullptr;
    }
    auto env = readEnvFile(fs::path(dir) / "server.env");
    if (env.count("RTMP_PORT") == 0) {
        ADD_FAILURE() << "no running test server in " << dir << " (fixture.rtmp_server.start)";
        return nullptr;
    }
    return std::shared_ptr<TestServer>(new TestServer(dir, std::move(env), false));
}

std::shared_ptr<TestServer> TestServer::startPrivate(const std::string& dir) {
    // Owned by this process: the script stops it should the test die without stopping it.
    auto result = runCommand({kServerScript.string(), "start", dir, std::to_string(getpid())});
    auto env = readEnvFile(fs::path(dir) / "server.env");
    if (result.exitCode != 0 || env.count("RTMP_PORT") == 0) {
        ADD_FAILURE() << "private server in " << dir << " did not start:\n" << result.output;
        runCommand({kServerScript.string(), "stop", dir});
        return nullptr;
    }
    return std::shared_ptr<TestServer>(new TestServer(dir, std::move(env), true));
}

void TestServer::stop() {
    if (!owned_) return;
    runCommand({kServerScript.string(), "stop", dir_});
}

std::string TestServer::value(const std::string& key) const {
    auto it = env_.find(key);
    return it == env_.end() ? std::string() : it->second;
}

int TestServer::port(const std::string& key) const {
    auto v = value(key);
    return v.empty() ? 0 : std::stoi(v);
}

std::string TestServer::rtmpURL(const std::string& stream, const std::string& host) const {
    return "rtmp://" + host + ":" + std::to_string(rtmpPort()) + "/live/" + stream;
}

std::string TestServer::rtmpsURL(const std::string& stream, const std::string& host) const {
    return "rtmps://" + host + ":" + std::to_string(rtmpsPort()) + "/live/" + stream;
}

std::string TestServer::recordingPath(const std::string& stream) const {
    return (fs::path(value("RECORD_DIR")) / (stream + ".flv")).string();
}

std::string TestServer::accessLog() const { return readFile(value("ACCESS_LOG")); }

std::string TestServer::waitForRecording(const std::string& stream, std::chrono::milliseconds timeout) const {
    const std::string path = recordingPath(stream);
    // The server touches "<file>.done" once it has closed the recording.
    bool done = waitFor([&] { return fs::exists(path + ".done") && fs::exists(path); }, timeout);
    return done ? path : std::string();
}

pid_t TestServer::masterPid() const { return static_cast<pid_t>(port("NGINX_PID")); }

std::vector<pid_t> TestServer::workerPids() const {
    std::vector<pid_t> pids;
    pid_t master = masterPid();
    std::istringstream children(
        readFile("/proc/" + std::to_string(master) + "/task/" + std::to_string(master) + "/children"));
    pid_t pid;
    while (children >> pid) pids.push_back(pid);
    return pids;
}

}  // namespace kntest
