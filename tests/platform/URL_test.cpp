#include "platform/URL.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using platform::URL;

TEST(URL, AcceptsWhatAURLMayHoldUnchangedAndRejectsTheRest) {
    for (const std::string text : {"rtmp://[::1]:1935/app/stream", "rtmps://u:p$@h:1935/live/key?t=a+b&x=%41#f",
                                   "host/app", "rtmp://host/app/%2F%2f%aB"}) {
        const auto url = URL::fromString(text);
        ASSERT_TRUE(url.has_value()) << text;
        EXPECT_EQ(url->absoluteString(), text);
    }
    EXPECT_FALSE(URL::fromString(""));
    const std::vector<std::string> bad = {std::string("a\0b", 3), "caf\xc3\xa9", "a b", "<x>", "%", "%4g", "key%2"};
    for (const auto& tail : bad) {
        EXPECT_FALSE(URL::fromString("rtmp://host/app/" + tail)) << tail;
    }
}

TEST(URL, FilePathsRoundTripAndOneWithANulByteIsRefused) {
    for (const std::string path : {"/tmp/a b/%41/caf\xc3\xa9?#.mp4", "/"}) {
        const auto url = URL::fromFilePath(path);
        ASSERT_TRUE(url.has_value()) << path;
        EXPECT_TRUE(URL::fromString(url->absoluteString()).has_value()) << path;
        EXPECT_EQ(url->filePath(), path);
    }
    EXPECT_FALSE(URL::fromFilePath(std::string("/tmp/a\0b", 8)).has_value());
}
