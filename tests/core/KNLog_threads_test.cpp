// The log's filtering, outputs, file name and file creation, with one writer and with many.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <iterator>
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

// Lines per writer ("ERROR: thread T line N"); fails unless in order, whole and under one header.
std::map<int, int> linesByThread(const fs::path& path) {
    std::ifstream in(path);
    std::string line;
    EXPECT_TRUE(std::getline(in, line) && line == "Logs:") << path;
    std::map<int, int> count;
    while (std::getline(in, line)) {
        int thread = -1, n = -1;
        char tail = 0;
        if (line == "INFO: info") continue;
        EXPECT_EQ(std::sscanf(line.c_str(), "ERROR: thread %d line %d%c", &thread, &n, &tail), 2) << line;
        EXPECT_EQ(n, count[thread]++) << line;
    }
    return count;
}

// A fresh Documents folder (set before any thread starts) and the shared log reset to its defaults.
class KNLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::remove_all(documents_);
        log_->setup();
        log_->setLogFile("log_test");
    }
    std::string logged() const { return readFile(documents_ / log_->logFile()); }

    const fs::path documents_ = fs::path(KESTRUNE_TEST_TMP) / "core-log" /
                                ::testing::UnitTest::GetInstance()->current_test_info()->name();
    kntest::ScopedEnv documentsEnv_{"KESTRUNE_DOCUMENTS", documents_.string()};
    const std::shared_ptr<KNLog> log_ = KNLog::sharedInstance();
};

TEST_F(KNLogTest, LevelScopeAndOutputDecideWhatIsWritten) {
    EXPECT_EQ((std::vector<int64_t>{log_->logLevel(), log_->logOutput(), log_->logScope()}),
              (std::vector<int64_t>{KNLogLevelNone, KNLogOutputConsole, KNLogScopeAll}));
    log_->setLogOutput(KNLogOutputFile);
    const std::pair<int64_t, std::string> levels[] = {
        {3, ""}, {4, ""}, {2, "ERROR: e\n"}, {1, "ERROR: e\nWARNING: w\n"},
        {-7, "ERROR: e\nWARNING: w\nINFO: i\n"}, {0, "ERROR: e\nWARNING: w\nINFO: i\n"}};
    for (const auto& [level, lines] : levels) {
        log_->setLogFile("log_level_" + std::to_string(level));
        log_->setLogLevel(level);
        for (int64_t scope : {1, 2}) {
            log_->logErrorScope("e", scope);
            log_->logWarningScope("w", scope);
            log_->logInfoScope("i", scope);
            log_->logDebug("d");
        }
        EXPECT_EQ(logged(), lines.empty() ? "<no file>" : "Logs:\n" + lines + lines) << "level " << level;
    }

    // The scope filters informational lines only.
    log_->setLogFile("log_scope");
    log_->setLogScope(KNLogScopeQueue);
    for (int64_t scope : {2, 1, 0}) {
        log_->logInfoScope("info " + std::to_string(scope), scope);
        log_->logErrorScope("error " + std::to_string(scope), scope);
    }
    EXPECT_EQ(logged(), "Logs:\nINFO: info 2\nERROR: error 2\nERROR: error 1\nERROR: error 0\n");

    // An unknown output writes nothing anywhere; the console gets a prefix and the line.
    log_->setLogFile("log_console");
    log_->setLogOutput(5);
    testing::internal::CaptureStderr();
    log_->logErrorScope("e", 0);
    log_->setLogOutput(KNLogOutputConsole);
    log_->setLogLevel(KNLogLevelWarning);
    log_->logWarningScope("disk %s %n almost full", 0);  // never used as a format
    log_->logInfoScope("hidden", 0);
    const std::string console = testing::internal::GetCapturedStderr();
    EXPECT_NE(console.find("] WARNING: disk %s %n almost full\n"), std::string::npos) << console;
    EXPECT_EQ(std::count(console.begin(), console.end(), '\n'), 1) << console;
    EXPECT_EQ(logged(), "<no file>");
}

TEST_F(KNLogTest, FileIsNeverAnotherOnesAndLosingItsFolderNeverThrows) {
    fs::create_directories(documents_);
    std::ofstream(documents_ / "log_test") << "Logs:\nERROR: theirs\n";
    std::ofstream(documents_ / "log_test_2") << "Logs:\nERROR: a third one\n";
    log_->setLogOutput(KNLogOutputFile);
    log_->setLogLevel(KNLogLevelError);
    log_->logErrorScope("ours", 0);
    log_->logErrorScope("ours again", 0);
    log_->setLogOutput(KNLogOutputConsole);
    log_->writeToLogFile("raw");  // bypasses level and output
    EXPECT_EQ(readFile(documents_ / "log_test"), "Logs:\nERROR: theirs\n");
    EXPECT_EQ(readFile(documents_ / "log_test_2"), "Logs:\nERROR: a third one\n");
    EXPECT_EQ(log_->logFile(), "log_test_3");
    EXPECT_EQ(logged(), "Logs:\nERROR: ours\nERROR: ours again\nraw\n");

    // A plain file where the folder should be: the lines are lost quietly, later ones recover.
    log_->setLogOutput(KNLogOutputFile);
    fs::remove_all(documents_);
    std::ofstream(documents_) << "not a folder";
    EXPECT_NO_THROW(log_->logErrorScope("lost", 0));
    EXPECT_NO_THROW(log_->writeToLogFile("lost too"));
    fs::remove(documents_);
    log_->logErrorScope("kept", 0);
    EXPECT_EQ(log_->logFile(), "log_test_3");
    EXPECT_EQ(logged(), "Logs:\nERROR: kept\n");
}

// Processes started in the same second pick the same name: fresh logs stand for them.
TEST_F(KNLogTest, ConcurrentWritersGetOneHeaderWholeLinesAndFilesOfTheirOwn) {
    auto settings = KNLogSettings::create();  // acts on the shared log
    settings->setLogOutput(KNLogOutputFile);
    settings->setLogLevel(KNLogLevelInfo);
    // Threads 0-7 share the log, 8-10 have one each, 11 keeps changing the scope: informational lines
    // come and go, errors never. All start together, so the first lines really race.
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int thread = 0; thread < 12; ++thread) {
        threads.emplace_back([&, thread] {
            auto log = thread < 8 ? log_ : std::make_shared<KNLog>();
            if (thread >= 8) {
                log->setLogFile("log_test");
                log->setLogOutput(KNLogOutputFile);
                log->setLogLevel(KNLogLevelError);
            }
            for (++ready; ready < 12;) std::this_thread::yield();
            for (int n = 0; n < kLines; ++n) {
                if (thread == 11) {
                    settings->setLogScope(n % 2 ? KNLogScopeQueue : KNLogScopeSending);
                } else {
                    log->logErrorScope("thread " + std::to_string(thread) + " line " + std::to_string(n), 0);
                    log->logInfoScope("info", KNLogScopeSending);
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    std::map<int, int> lines;  // a thread's lines split over two files leave a short count
    for (const auto& file : fs::directory_iterator(documents_)) lines.merge(linesByThread(file.path()));
    EXPECT_EQ(lines.size(), 11u);
    for (const auto& [thread, count] : lines) EXPECT_EQ(count, kLines) << thread;
    EXPECT_EQ(std::distance(fs::directory_iterator(documents_), fs::directory_iterator()), 4);
}

TEST(KNLogName, NameIsTheUtcTimeWithAnUnpaddedDay) {
    {
        kntest::ScopedEnv tz("TZ", "Asia/Tokyo");
        tzset();
        EXPECT_EQ(KNLog::nameForLogFileAtTime(1709647629), "log_5-03-2024-14:07:09");
    }
    tzset();
}

}  // namespace
