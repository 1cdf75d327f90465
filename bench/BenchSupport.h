#pragma once
// What the benches share: the server script, CPU clocks, the server's env file, a report counter
// to wait on, pinning to the bench's cores, child processes with their CPU time, and medians.
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

extern char** environ;

namespace knbench {

namespace fs = std::filesystem;

inline const fs::path kServerScript =
    fs::path(__FILE__).parent_path().parent_path() / "tests" / "fixtures" / "rtmp_server.sh";

// User+system seconds in a resource usage record.
inline double cpuSecondsOf(const rusage& u) {
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// User+system seconds of this process.
inline double selfCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return cpuSecondsOf(u);
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

// Pins this process, and every child it starts from now on, to the cores in KESTRUNE_BENCH_CPUS
// ("2,3", "4-5"; default "2,3"): both sides of a comparison get the very same cores. Answers the
// list, or why it could not pin.
inline std::string pinToBenchCpus() {
    const char* env = std::getenv("KESTRUNE_BENCH_CPUS");
    const std::string list = env && *env ? env : "2,3";
    cpu_set_t set;
    CPU_ZERO(&set);
    std::istringstream in(list);
    for (std::string item; std::getline(in, item, ',');) {
        const auto dash = item.find('-');
        const int first = std::atoi(item.substr(0, dash).c_str());
        const int last = dash == std::string::npos ? first : std::atoi(item.substr(dash + 1).c_str());
        for (int cpu = first; cpu <= last && cpu < CPU_SETSIZE; ++cpu) CPU_SET(cpu, &set);
    }
    if (CPU_COUNT(&set) == 0 || sched_setaffinity(0, sizeof set, &set) != 0) return "not pinned (" + list + ")";
    return "cores " + list;
}

// Median, least and most of a set of rounds.
struct Spread {
    double median = 0, min = 0, max = 0;
};

inline Spread spread(std::vector<double> values) {
    Spread s;
    if (values.empty()) return s;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    s.median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    s.min = values.front();
    s.max = values.back();
    return s;
}

inline std::string show(const Spread& s, int decimals = 3) {
    char text[96];
    std::snprintf(text, sizeof text, "%.*f (%.*f-%.*f)", decimals, s.median, decimals, s.min, decimals, s.max);
    return text;
}

// Round by round a - b: what is left of a once b's share is taken off.
inline std::vector<double> minus(const std::vector<double>& a, const std::vector<double>& b) {
    std::vector<double> left;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) left.push_back(a[i] - b[i]);
    return left;
}

// Round by round a / b.
inline std::vector<double> ratio(const std::vector<double>& a, const std::vector<double>& b) {
    std::vector<double> r;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) r.push_back(b[i] > 0 ? a[i] / b[i] : 0);
    return r;
}

inline std::string selfPath() { return fs::read_symlink("/proc/self/exe").string(); }

// The command as a shell would take it.
inline std::string commandLine(const std::vector<std::string>& argv) {
    std::string line;
    for (const auto& arg : argv) {
        if (!line.empty()) line += ' ';
        const bool plain = !arg.empty() && arg.find_first_not_of(
            "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_./:=,+@") == std::string::npos;
        line += plain ? arg : "'" + arg + "'";
    }
    return line;
}

struct ChildRun {
    bool ok = false;
    double wallSeconds = 0, cpuSeconds = 0;
};

// Runs argv to its end, whole process: its user+system time from exec to exit. With `feed`, the
// child's standard input is a pipe that `feed` writes (and this process pays for) before closing.
inline ChildRun runChild(const std::vector<std::string>& argv, const std::function<void(int)>& feed = {}) {
    ChildRun run;
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    int fds[2] = {-1, -1};
    if (feed && pipe(fds) != 0) return run;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (feed) {
        posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
        posix_spawn_file_actions_addclose(&actions, fds[1]);
    }
    const auto t0 = std::chrono::steady_clock::now();
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (feed) {
        close(fds[0]);
        if (rc == 0) {
            signal(SIGPIPE, SIG_IGN);  // a child that quits early must not end the bench
            feed(fds[1]);
        }
        close(fds[1]);
    }
    if (rc != 0) return run;
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid) return run;
    run.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    run.cpuSeconds = cpuSecondsOf(usage);
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return run;
}

// The fixture's server script run with `args`, quietly; its exit status.
inline int serverScript(const std::vector<std::string>& args) {
    std::string command = "'";
    command.append(kServerScript.string()).append("'");
    for (const auto& arg : args) command.append(" '").append(arg).append("'");
    command.append(" >/dev/null 2>&1");
    return std::system(command.c_str());
}

// Starts the fixture's server in dir/server (it ends with this process at the latest); false if
// it did not come up.
inline bool startServer(const fs::path& dir, std::map<std::string, std::string>& env) {
    if (serverScript({"start", (dir / "server").string(), std::to_string(getpid())}) != 0) {
        std::fprintf(stderr, "the RTMP server did not start (%s)\n", kServerScript.c_str());
        return false;
    }
    env = readEnv(dir / "server" / "server.env");
    return true;
}

inline void stopServer(const fs::path& dir) { serverScript({"stop", (dir / "server").string()}); }

}  // namespace knbench
