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
