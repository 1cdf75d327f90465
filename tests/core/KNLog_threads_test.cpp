// Lines from many threads, and logs of several processes started in the same second.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/KNLog.h"
#include "kestrune/KNLogSettings.h"
#include "support/ScopedEnv.h"

namespace fs = std::filesystem;

namespace {

constexpr int kThreads = 8;
constexpr int kLinesPerThread = 400;

std::vector<std::string> readLines(const fs::path& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Runs `body(i)` on `count` threads released together, so the first lines really race.
template <class Body>
void runTogether(int count, Body body) {
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i) {
        threads.emplace_back([&, i] {
            ready.fetch_add(1);
            while (ready.load() < count) std::this_thread::yield();
            body(i);
        });
    }
    for (auto& thread : threads) thread.join();
}

// Each thread's lines, in the order they appear; fails on a line that is not whole.
std::map<int, std::vector<int>> linesByThread(const std::vector<std::string>& lines, size_t from) {
    std::map<int, std::vector<int>> byThread;
    for (size_t i = from; i < lines.size(); ++i) {
        int thread = -1;
        int n = -1;
        char tail = 0;
        EXPECT_EQ(std::sscanf(lines[i].c_str(), "ERROR: thread %d line %d%c", &thread, &n, &tail), 2) << lines[i];
        byThread[thread].push_back(n);
    }
    return byThread;
}

std::vector<int> sequence(int count) {
    std::vector<int> numbers;
    for (int i = 0; i < count; ++i) numbers.push_back(i);
    return numbers;
}

class KNLogThreads : public ::testing::Test {
protected:
    void SetUp() override {
        documents_ = fs::path(KESTRUNE_TEST_TMP) / "core-log-threads" /
                     ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::remove_all(documents_);
        // Set before any thread starts: the folder is read from the environment on every line.
        documentsEnv_.emplace("KESTRUNE_DOCUMENTS", documents_.string());
    }
    void TearDown() override { KNLog::sharedInstance()->setup(); }

    fs::path documents_;
    std::optional<kntest::ScopedEnv> documentsEnv_;
};

TEST_F(KNLogThreads, ConcurrentWritersGetOneHeaderAndWholeLines) {
    auto log = KNLog::sharedInstance();
    log->setLogFile("log_threads");
    auto settings = KNLogSettings::create();
    settings->setLogOutput(KNLogOutputFile);
    settings->setLogLevel(KNLogLevelInfo);
    settings->setLogScope(KNLogScopeSending);

    // One more thread keeps changing the scope: informational lines come and go, errors never.
    runTogether(kThreads + 1, [&](int thread) {
        if (thread == kThreads) {
            for (int i = 0; i < kLinesPerThread; ++i) {
                settings->setLogScope(i % 2 ? KNLogScopeQueue : KNLogScopeSending);
            }
            return;
        }
        for (int n = 0; n < kLinesPerThread; ++n) {
            KNLog::sharedInstance()->logErrorScope("thread " + std::to_string(thread) + " line " + std::to_string(n),
                                                   KNLogScopeAll);
            KNLog::sharedInstance()->logInfoScope("info", KNLogScopeSending);
        }
    });

    std::vector<std::string> lines = readLines(documents_ / "log_threads");
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "Logs:");
    std::vector<std::string> errors;
    for (size_t i = 1; i < lines.size(); ++i) {
        EXPECT_NE(lines[i], "Logs:") << "second header at line " << i;
        if (lines[i] != "INFO: info") errors.push_back(lines[i]);
    }
    auto byThread = linesByThread(errors, 0);
    ASSERT_EQ(byThread.size(), static_cast<size_t>(kThreads));
    for (const auto& [thread, numbers] : byThread) EXPECT_EQ(numbers, sequence(kLinesPerThread)) << thread;
}

// Two processes started in the same second pick the same name; each log here stands for one.
TEST_F(KNLogThreads, LogsSharingANameKeepSeparateFiles) {
    constexpr int kLogs = 4;
    std::vector<std::shared_ptr<KNLog>> logs;
    for (int i = 0; i < kLogs; ++i) {
        auto log = std::make_shared<KNLog>();
        log->setup();
        log->setLogFile("log_same_second");
        log->setLogOutput(KNLogOutputFile);
        log->setLogLevel(KNLogLevelError);
        logs.push_back(log);
    }

    runTogether(kLogs, [&](int i) {
        for (int n = 0; n < kLinesPerThread; ++n) {
            const std::string line = "thread " + std::to_string(i) + " line " + std::to_string(n);
            logs[static_cast<size_t>(i)]->logErrorScope(line, 0);
        }
    });

    std::map<std::string, int> fileOwner;
    for (int i = 0; i < kLogs; ++i) {
        const std::string name = logs[static_cast<size_t>(i)]->logFile();
        EXPECT_EQ(name.rfind("log_same_second", 0), 0u) << name;
        EXPECT_TRUE(fileOwner.emplace(name, i).second) << "two logs write to " << name;

        std::vector<std::string> lines = readLines(documents_ / name);
        ASSERT_FALSE(lines.empty()) << name;
        EXPECT_EQ(lines[0], "Logs:") << name;
        auto byThread = linesByThread(lines, 1);
        ASSERT_EQ(byThread.size(), 1u) << name;
        EXPECT_EQ(byThread.begin()->first, i) << name;
        EXPECT_EQ(byThread.begin()->second, sequence(kLinesPerThread)) << name;
    }
    size_t files = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(documents_)) ++files;
    EXPECT_EQ(files, static_cast<size_t>(kLogs));
}

}  // namespace
