#include "platform/URL.h"

#include <gtest/gtest.h>

#include <string>

using platform::URL;

TEST(URL, FilePathsRoundTripAndOneWithANulByteIsRefused) {
    const std::string path = "/tmp/a b/%41/caf\xc3\xa9?#.mp4";
    const auto url = URL::fromFilePath(path);
    ASSERT_TRUE(url.has_value());
    EXPECT_TRUE(URL::fromString(url->absoluteString()).has_value());
    EXPECT_EQ(url->filePath(), path);
    EXPECT_FALSE(URL::fromFilePath(std::string("/tmp/a\0b", 8)).has_value());
}

// "%00" would end the path early where the system reads it: such a URL has no path at all.
TEST(URL, AnEscapedNulLeavesAFileURLWithoutAPath) {
    const std::pair<std::string, std::optional<std::string>> rows[] = {
        {"file:///tmp/a.mp4%00.txt", std::nullopt},
        {"file:///tmp/%00", std::nullopt},
        {"file://localhost/tmp/a%00b/c.mp4", std::nullopt},
        {"file:///tmp/a%2500b", "/tmp/a%00b"},
        {"file:///tmp/a%01b", std::string("/tmp/a\x01" "b")},
    };
    for (const auto& [text, path] : rows) {
        const auto url = URL::fromString(text);
        ASSERT_TRUE(url.has_value()) << text;
        EXPECT_EQ(url->filePath(), path) << text;
    }
}
