#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/KNLog.h"
#include "support/ScopedEnv.h"

namespace fs = std::filesystem;

namespace {

constexpr int kLines = 400;
constexpr int kThreads = 8;

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
        log_->setLogLevel(KNLogLevelError);
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
    log_->logErrorScope("ours", 0);
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

// Links and pipes planted at the log's name, before it is made or in place of the file it made,
// are never written through, and never hold the writer.
TEST_F(KNLogTest, NothingPlantedAtTheLogsNameIsWrittenThrough) {
    fs::create_directories(documents_);
    const auto victim = documents_ / "victim";
    std::ofstream(victim) << "theirs";
    fs::create_symlink(victim, documents_ / "log_test");
    log_->logErrorScope("first", 0);
    EXPECT_EQ(log_->logFile(), "log_test_2");
    EXPECT_EQ(logged(), "Logs:\nERROR: first\n");

    fs::remove(documents_ / "log_test_2");
    fs::create_symlink(victim, documents_ / "log_test_2");
    log_->logErrorScope("second", 0);
    fs::remove(documents_ / "log_test_2");
    ASSERT_EQ(::mkfifo((documents_ / "log_test_2").c_str(), 0600), 0);
    log_->logErrorScope("third", 0);
    EXPECT_EQ(readFile(victim), "theirs");
    EXPECT_TRUE(fs::is_fifo(documents_ / "log_test_2"));
}

TEST_F(KNLogTest, ConcurrentWritersGetOneHeaderAndWholeLines) {
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int thread = 0; thread < kThreads; ++thread) {
        threads.emplace_back([&, thread] {
            for (++ready; ready < kThreads;) std::this_thread::yield();
            for (int n = 0; n < kLines; ++n) {
                log_->logErrorScope("thread " + std::to_string(thread) + " line " + std::to_string(n), 0);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    std::istringstream in(logged());
    std::string line;
    EXPECT_TRUE(std::getline(in, line) && line == "Logs:");
    std::map<int, int> count;  // per writer
    while (std::getline(in, line)) {
        int thread = -1;
        int n = -1;
        char tail = 0;
        EXPECT_EQ(std::sscanf(line.c_str(), "ERROR: thread %d line %d%c", &thread, &n, &tail), 2) << line;
        EXPECT_EQ(n, count[thread]++) << line;
    }
    EXPECT_EQ(count.size(), size_t(kThreads));
    for (const auto& [thread, lines] : count) EXPECT_EQ(lines, kLines) << thread;
    EXPECT_EQ(std::distance(fs::directory_iterator(documents_), fs::directory_iterator()), 1);
}

}  // namespace
