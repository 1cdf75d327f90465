#include "TestServer.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

namespace kntest {

namespace fs = std::filesystem;

namespace {

const std::string kServerScript = fs::path(__FILE__).parent_path().parent_path() / "fixtures" / "rtmp_server.sh";

std::string readFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::map<std::string, std::string> readEnvFile(const fs::path& file) {
    std::map<std::string, std::string> env;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);)
        if (auto eq = line.find('='); eq != std::string::npos && eq > 0) env[line.substr(0, eq)] = line.substr(eq + 1);
    return env;
}

}  // namespace

bool waitFor(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
    for (const auto deadline = std::chrono::steady_clock::now() + timeout; !predicate(); std::this_thread::sleep_for(5ms))
        if (std::chrono::steady_clock::now() >= deadline) return predicate();
    return true;
}

CommandResult runCommand(const std::vector<std::string>& argv) {
    std::string command = "exec";
    for (const auto& arg : argv) {
        command += " '";
        for (char c : arg) command += c == '\'' ? std::string("'\\''") : std::string(1, c);
        command += "'";
    }
    FILE* pipe = popen((command + " </dev/null 2>&1").c_str(), "r");
    if (!pipe) return {};
    std::string output;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) output.append(buf, n);
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

CommandResult ffprobe(const std::string& file) { return runCommand({"ffprobe", "-v", "error", "-show_format", "-show_streams", file}); }

std::string uniqueName(const std::string& prefix) {
    static std::atomic<int> counter{0};
    const auto ms = std::chrono::system_clock::now().time_since_epoch() / 1ms % 100000000;
    return prefix + "-" + std::to_string(getpid()) + "-" + std::to_string(ms) + "-" + std::to_string(counter++);
}

std::shared_ptr<TestServer> TestServer::shared() {
    const char* dir = std::getenv("KESTRUNE_TEST_SERVER_DIR");
    auto env = readEnvFile(fs::path(dir ? dir : "") / "server.env");
    if (env.count("RTMP_PORT")) return std::shared_ptr<TestServer>(new TestServer(dir, std::move(env), false));
    ADD_FAILURE() << "no test server in KESTRUNE_TEST_SERVER_DIR: run through ctest";
    return nullptr;
}

std::shared_ptr<TestServer> TestServer::startPrivate(const std::string& dir, const std::vector<std::string>& launcher) {
    // Stopped by the script should this process die first; with the fixture's certificates, as a client trusts one set.
    const char* shared = std::getenv("KESTRUNE_TEST_SERVER_DIR");
    std::vector<std::string> command = launcher;
    for (const auto& arg : {std::string("env"), "KESTRUNE_TEST_TLS=" + std::string(shared ? shared : "") + "/tls",
                            kServerScript, std::string("start"), dir, std::to_string(getpid())}) {
        command.push_back(arg);
    }
    const auto result = runCommand(command);
    auto server = std::shared_ptr<TestServer>(new TestServer(dir, readEnvFile(fs::path(dir) / "server.env"), true));
    if (result.exitCode == 0 && server->rtmpPort() > 0) return server;
    ADD_FAILURE() << "private server in " << dir << " did not start:\n" << result.output;
    return nullptr;
}

TestServer::~TestServer() {
    if (owned_) runCommand({kServerScript, "stop", dir_});
}

std::string TestServer::value(const std::string& key) const { return env_.count(key) ? env_.at(key) : ""; }

std::string TestServer::url(const std::string& stream, const std::string& host, const std::string& portKey) const {
    return (portKey == "RTMP_PORT" ? "rtmp://" : "rtmps://") + host + ":" + value(portKey) + "/live/" + stream;
}

std::string TestServer::waitForRecording(const std::string& stream, std::chrono::milliseconds timeout) const {
    const std::string path = value("RECORD_DIR") + "/" + stream + ".flv";  // "<file>.done" once it is closed
    return waitFor([&] { return fs::exists(path + ".done") && fs::exists(path); }, timeout) ? path : "";
}

std::string TestServer::accessLog() const { return readFile(value("ACCESS_LOG")); }

std::vector<pid_t> TestServer::workerPids() const {
    const auto master = value("NGINX_PID");
    std::istringstream children(readFile("/proc/" + master + "/task/" + master + "/children"));
    std::vector<pid_t> pids;
    for (pid_t pid; children >> pid;) pids.push_back(pid);
    return pids;
}

}  // namespace kntest
