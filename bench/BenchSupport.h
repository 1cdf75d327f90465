#pragma once
// What the publishing benches share: the server script, CPU clocks, the server's env file, and a
// report counter to wait on.
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

namespace knbench {

namespace fs = std::filesystem;

inline const fs::path kServerScript =
    fs::path(__FILE__).parent_path().parent_path() / "tests" / "fixtures" / "rtmp_server.sh";

// User+system seconds of this process.
inline double selfCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// User+system seconds of the nginx workers under `master`.
inline double serverCpuSeconds(const std::string& master) {
    std::ifstream children("/proc/" + master + "/task/" + master + "/children");
    double total = 0;
    for (std::string pid; children >> pid;) {
        std::ifstream stat("/proc/" + pid + "/stat");
        std::string content((std::istreambuf_iterator<char>(stat)), {});
        std::istringstream fields(content.substr(content.rfind(')') + 2));
        std::string field;
        unsigned long long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && fields >> field; ++i) {
            if (i == 14) utime = std::stoull(field);
            if (i == 15) stime = std::stoull(field);
        }
        total += static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
    }
    return total;
}

// The KEY=VALUE lines the server script writes.
inline std::map<std::string, std::string> readEnv(const fs::path& file) {
    std::map<std::string, std::string> env;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) {
        if (auto eq = line.find('='); eq != std::string::npos) env[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return env;
}

// The server has taken everything once it closes the stream's recording.
inline void waitForRecordingDone(const std::string& recordDir, const std::string& stream) {
    const fs::path done = fs::path(recordDir) / (stream + ".flv.done");
    for (int i = 0; i < 3000 && !fs::exists(done); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

// Counters bumped by delegate reports on any thread, and a wait on them.
struct ReportCounter {
    std::mutex mutex;
    std::condition_variable changed;
    int connected = 0, failed = 0, closed = 0, dropped = 0;

    void bump(int& counter) {
        {
            std::lock_guard<std::mutex> guard(mutex);
            ++counter;
        }
        changed.notify_all();
    }
    bool waitUntil(const std::function<bool()>& done, std::chrono::seconds timeout) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, done);
    }
};

}  // namespace knbench
