#include "platform/media/CodecLog.h"

#include <gtest/gtest.h>

#include <mutex>
#include <optional>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "platform/LogRelay.h"

namespace {

using platform::LogRelay;

struct Relayed {
    LogRelay::Level level;
    std::string line;
};

class CodecLogTest : public testing::Test {
protected:
    void SetUp() override {
        platform::CodecLog::install();
        LogRelay::setSink([this](LogRelay::Level level, const std::string& line) {
            std::lock_guard lock(mutex_);
            relayed_.push_back({level, line});
        });
    }
    void TearDown() override { LogRelay::setSink({}); }

    std::vector<Relayed> relayed() {
        std::lock_guard lock(mutex_);
        return relayed_;
    }

private:
    std::mutex mutex_;
    std::vector<Relayed> relayed_;
};

// The codec library's levels as the library's log knows them; its chatter goes nowhere.
TEST_F(CodecLogTest, LevelsMapOntoTheLibrarysLog) {
    struct Case {
        int avLevel;
        std::optional<LogRelay::Level> expected;
    };
    const Case cases[] = {
        {AV_LOG_FATAL, LogRelay::Level::Error},
        {AV_LOG_WARNING, LogRelay::Level::Warning},
        {AV_LOG_INFO, LogRelay::Level::Info},
        {AV_LOG_VERBOSE, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.avLevel);
        const size_t before = relayed().size();
        av_log(nullptr, c.avLevel, "level %d\n", c.avLevel);
        const auto after = relayed();
        if (!c.expected) {
            EXPECT_EQ(after.size(), before);
            continue;
        }
        ASSERT_EQ(after.size(), before + 1);
        EXPECT_EQ(after.back().level, *c.expected);
        EXPECT_EQ(after.back().line, "level " + std::to_string(c.avLevel));
    }
}

}  // namespace
