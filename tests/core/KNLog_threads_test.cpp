#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "core/KNLog.h"
#include "kestrune/KNLogSettings.h"
#include "support/ScopedEnv.h"

namespace fs = std::filesystem;

namespace {

constexpr int kLines = 400;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return in ? std::string(std::istreambuf_iterator<char>(in), {}) : "<no file>";
}

class KNLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::remove_all(documents_);
        log_->setup();
        log_->setLogFile("log_test");
        log_->setLogOutput(KNLogOutputFile);
    }
    std::string logged() const { return readFile(documents_ / log_->logFile()); }

    const fs::path documents_ = fs::path(KESTRUNE_TEST_TMP) / "core-log" /
                                ::testing::UnitTest::GetInstance()->current_test_info()->name();
    kntest::ScopedEnv documentsEnv_{"KESTRUNE_DOCUMENTS", documents_.string()};
    const std::shared_ptr<KNLog> log_ = KNLog::sharedInstance();
};

TEST_F(KNLogTest, FileIsNeverAnotherOnesAndLosingItsFolderNeverThrows) {
    fs::create_directories(documents_);
    for (const char* theirs : {"log_test", "log_test_2"}) std::ofstream(documents_ / theirs) << theirs;
    log_->setLogLevel(KNLogLevelError);
    log_->logErrorScope("ours", 0);
    log_->logWarningScope("filtered", 0);
    EXPECT_EQ(readFile(documents_ / "log_test") + readFile(documents_ / "log_test_2"), "log_testlog_test_2");
    EXPECT_EQ(log_->logFile(), "log_test_3");
    EXPECT_EQ(logged(), "Logs:\nERROR: ours\n");

    // A plain file where the folder should be: lines are lost quietly, later ones recover.
    fs::remove_all(documents_);
    std::ofstream(documents_) << "not a folder";
    EXPECT_NO_THROW(log_->logErrorScope("lost", 0));
    EXPECT_NO_THROW(log_->writeToLogFile("lost too"));
    fs::remove(documents_);
    log_->logErrorScope("kept", 0);
    EXPECT_EQ(logged(), "Logs:\nERROR: kept\n");
}

// Processes started in the same second pick the same name: fresh logs stand for them.
TEST_F(KNLogTest, ConcurrentWritersGetOneHeaderWholeLinesAndFilesOfTheirOwn) {
    KNLogSettings::create()->setLogLevel(KNLogLevelError);  // acts on the shared log
    // Threads 0-7 share the log, 8-10 have one each.
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int thread = 0; thread < 11; ++thread) {
        threads.emplace_back([&, thread] {
            auto log = thread < 8 ? log_ : std::make_shared<KNLog>();
            if (thread >= 8) {
                log->setLogFile("log_test");
                log->setLogOutput(KNLogOutputFile);
                log->setLogLevel(KNLogLevelError);
            }
            for (++ready; ready < 11;) std::this_thread::yield();
            for (int n = 0; n < kLines; ++n) {
                log->logErrorScope("thread " + std::to_string(thread) + " line " + std::to_string(n), 0);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    std::map<int, int> lines;  // per writer; a writer split over two files leaves a short count
    for (const auto& file : fs::directory_iterator(documents_)) {
        std::map<int, int> count;
        std::ifstream in(file.path());
        std::string line;
        EXPECT_TRUE(std::getline(in, line) && line == "Logs:") << file.path();
        while (std::getline(in, line)) {
            int thread = -1, n = -1;
            char tail = 0;
            EXPECT_EQ(std::sscanf(line.c_str(), "ERROR: thread %d line %d%c", &thread, &n, &tail), 2) << line;
            EXPECT_EQ(n, count[thread]++) << line;
        }
        lines.merge(count);
    }
    EXPECT_EQ(lines.size(), 11u);
    for (const auto& [thread, count] : lines) EXPECT_EQ(count, kLines) << thread;
    EXPECT_EQ(std::distance(fs::directory_iterator(documents_), fs::directory_iterator()), 4);
}

}  // namespace
