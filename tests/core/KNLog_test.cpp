// The log's filtering, its console and file outputs, the file's name and its creation.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "core/KNLog.h"
#include "kestrune/KNLogSettings.h"
#include "support/ScopedEnv.h"

namespace fs = std::filesystem;

namespace {

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

// Points the Documents folder at a fresh scratch folder and gives the shared log a fresh file name
// and its defaults; restores the folder afterwards.
class KNLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        documents_ = fs::path(KESTRUNE_TEST_TMP) / "core-log" /
                     ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::remove_all(documents_);
        documentsEnv_.emplace("KESTRUNE_DOCUMENTS", documents_.string());
        log_ = KNLog::sharedInstance();
        log_->setup();
        log_->setLogFile("log_test");
    }
    void TearDown() override { log_->setup(); }

    fs::path logPath() const { return documents_ / log_->logFile(); }
    std::string logged() const { return fs::exists(logPath()) ? readFile(logPath()) : std::string("<no file>"); }
    void logOneOfEach(int64_t scope) {
        log_->logErrorScope("e", scope);
        log_->logWarningScope("w", scope);
        log_->logInfoScope("i", scope);
        log_->logDebug("d");
    }

    fs::path documents_;
    std::optional<kntest::ScopedEnv> documentsEnv_;
    std::shared_ptr<KNLog> log_;
};

TEST_F(KNLogTest, DefaultsAndUnknownOutputsWriteNothingAnywhere) {
    EXPECT_EQ(log_->logLevel(), 3);
    EXPECT_EQ(log_->logOutput(), 0);
    EXPECT_EQ(log_->logScope(), 0);
    log_->setLogOutput(KNLogOutputFile);
    logOneOfEach(0);
    EXPECT_FALSE(fs::exists(logPath()));

    log_->setLogLevel(KNLogLevelInfo);
    log_->setLogOutput(5);
    testing::internal::CaptureStderr();
    logOneOfEach(0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_FALSE(fs::exists(logPath()));
}

TEST_F(KNLogTest, LevelDecidesWhichKindsAreWritten) {
    log_->setLogOutput(KNLogOutputFile);
    struct Case {
        int64_t level;
        std::string lines;
    };
    const Case cases[] = {
        {2, "ERROR: e\n"},
        {1, "ERROR: e\nWARNING: w\n"},
        {0, "ERROR: e\nWARNING: w\nINFO: i\n"},
        {-7, "ERROR: e\nWARNING: w\nINFO: i\n"},  // below 0 acts as 0
        {4, ""},
    };
    int n = 0;
    for (const Case& c : cases) {
        log_->setLogFile("log_level_" + std::to_string(n++));
        log_->setLogLevel(c.level);
        logOneOfEach(1);
        logOneOfEach(2);
        std::string expected = c.lines.empty() ? "<no file>" : "Logs:\n" + c.lines + c.lines;
        EXPECT_EQ(logged(), expected) << "level " << c.level;
    }
}

TEST_F(KNLogTest, ScopeFiltersOnlyInformationalLines) {
    log_->setLogOutput(KNLogOutputFile);
    log_->setLogLevel(KNLogLevelInfo);

    log_->setLogScope(KNLogScopeQueue);
    for (int64_t scope : {2, 1, 0}) {
        log_->logInfoScope("info " + std::to_string(scope), scope);
        log_->logErrorScope("error " + std::to_string(scope), scope);
    }
    EXPECT_EQ(logged(), "Logs:\nINFO: info 2\nERROR: error 2\nERROR: error 1\nERROR: error 0\n");

    log_->setLogFile("log_scope_all");
    log_->setLogScope(KNLogScopeAll);
    for (int64_t scope : {2, 1, 0}) log_->logInfoScope("info " + std::to_string(scope), scope);
    EXPECT_EQ(logged(), "Logs:\nINFO: info 2\nINFO: info 1\nINFO: info 0\n");
}

TEST_F(KNLogTest, ConsoleLinesCarryAPrefixAndTheLine) {
    log_->setLogLevel(KNLogLevelWarning);
    testing::internal::CaptureStderr();
    log_->logWarningScope("disk %s %n almost full", 0);  // never used as a format
    log_->logInfoScope("hidden", 0);
    std::string console = testing::internal::GetCapturedStderr();
    EXPECT_NE(console.find("] WARNING: disk %s %n almost full\n"), std::string::npos) << console;
    EXPECT_EQ(console.find("hidden"), std::string::npos);
    EXPECT_EQ(std::count(console.begin(), console.end(), '\n'), 1);
    EXPECT_FALSE(fs::exists(logPath()));
}

TEST_F(KNLogTest, FileStartsWithTheHeaderAndAppendsEachLine) {
    log_->setLogOutput(KNLogOutputFile);
    log_->setLogLevel(KNLogLevelError);
    log_->logErrorScope("first", 0);
    EXPECT_EQ(logged(), "Logs:\nERROR: first\n");
    log_->logErrorScope("second", 0);
    EXPECT_EQ(logged(), "Logs:\nERROR: first\nERROR: second\n");

    // Lines written straight to the file bypass level and output.
    log_->setLogOutput(KNLogOutputConsole);
    log_->writeToLogFile("raw");
    EXPECT_EQ(logged(), "Logs:\nERROR: first\nERROR: second\nraw\n");

    // Our file removed while running is made again under its name.
    fs::remove(logPath());
    log_->setLogOutput(KNLogOutputFile);
    log_->logErrorScope("third", 0);
    EXPECT_EQ(log_->logFile(), "log_test");
    EXPECT_EQ(logged(), "Logs:\nERROR: third\n");
}

TEST_F(KNLogTest, AFileAnotherProcessMadeUnderTheSameNameIsNeverTruncated) {
    fs::create_directories(documents_);
    std::ofstream(documents_ / "log_test") << "Logs:\nERROR: theirs\n";
    std::ofstream(documents_ / "log_test_2") << "Logs:\nERROR: a third one\n";

    log_->setLogOutput(KNLogOutputFile);
    log_->setLogLevel(KNLogLevelError);
    log_->logErrorScope("ours", 0);
    log_->logErrorScope("ours again", 0);

    EXPECT_EQ(readFile(documents_ / "log_test"), "Logs:\nERROR: theirs\n");
    EXPECT_EQ(readFile(documents_ / "log_test_2"), "Logs:\nERROR: a third one\n");
    EXPECT_EQ(log_->logFile(), "log_test_3");
    EXPECT_EQ(readFile(documents_ / "log_test_3"), "Logs:\nERROR: ours\nERROR: ours again\n");
}

TEST_F(KNLogTest, UnwritableDocumentsLoseTheLineQuietlyAndLaterLinesRecover) {
    log_->setLogOutput(KNLogOutputFile);
    log_->setLogLevel(KNLogLevelError);
    // A plain file where the folder should be: nothing can be created inside it.
    fs::create_directories(documents_.parent_path());
    std::ofstream(documents_) << "not a folder";
    log_->logErrorScope("lost", 0);
    log_->writeToLogFile("lost too");

    fs::remove(documents_);
    log_->logErrorScope("kept", 0);
    EXPECT_EQ(logged(), "Logs:\nERROR: kept\n");
}

TEST(KNLogName, NameIsTheUtcTimeWithAnUnpaddedDay) {
    EXPECT_EQ(KNLog::nameForLogFileAtTime(1709647629), "log_5-03-2024-14:07:09");
    EXPECT_EQ(KNLog::nameForLogFileAtTime(1798761599), "log_31-12-2026-23:59:59");

    // The host's time zone plays no part.
    {
        kntest::ScopedEnv tz("TZ", "Asia/Tokyo");
        tzset();
        EXPECT_EQ(KNLog::nameForLogFileAtTime(1709647629), "log_5-03-2024-14:07:09");
    }
    tzset();

    const std::string now = KNLog::sharedInstance()->nameForLogFile();
    EXPECT_EQ(now.rfind("log_", 0), 0u) << now;
    EXPECT_EQ(std::count(now.begin(), now.end(), ':'), 2) << now;
}

TEST(KNLogSettings, EverySettingsObjectActsOnTheOneLog) {
    auto first = KNLogSettings::create();
    auto second = KNLogSettings::create();
    first->setLogLevel(0);
    first->setLogOutput(1);
    first->setLogScope(2);
    EXPECT_EQ(second->logLevel(), 0);
    EXPECT_EQ(second->logOutput(), 1);
    EXPECT_EQ(second->logScope(), 2);
    EXPECT_EQ(KNLog::sharedInstance()->logScope(), 2);
    KNLog::sharedInstance()->setup();
    EXPECT_EQ(first->logLevel(), 3);
}

}  // namespace
