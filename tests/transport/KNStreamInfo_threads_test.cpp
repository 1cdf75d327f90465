#include "kestrune/KNStreamInfo.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

// The custom URL's first read writes the record: readers on several threads and a writer must not
// race (run under ThreadSanitizer) and every reader sees a whole URL.
TEST(KNStreamInfoThreads, ReadersAndWritersShareOneRecord) {
    auto info = KNStreamInfo::create();
    auto other = KNStreamInfo::create();
    other->setCustomStreamURLString("rtmp://h/a/s");
    std::atomic<bool> stop{false};
    std::atomic<int> badReads{0};
    std::atomic<int> reads{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 4; ++t) {
        readers.emplace_back([&] {
            while (!stop.load()) {
                auto url = info->customStreamURLString();
                if (url && !url->empty() && url->rfind("rtmp", 0) != 0) ++badReads;
                (void)info->usesCustomURL();
                (void)info->isEqual(other);
                (void)other->isEqual(info);
                (void)info->streamURLString();
                ++reads;
            }
        });
    }
    // Writes go on until the readers have really run beside them.
    for (int i = 0; i < 2000 || reads.load() < 2000; ++i) {
        info->setCustomStreamURLString(i % 3 ? std::optional<std::string>("h/a/s" + std::to_string(i)) : "");
        info->setUseSecureConnection(i % 2 == 0);
        info->setStreamName("s" + std::to_string(i));
    }
    stop = true;
    for (auto& r : readers) r.join();
    EXPECT_EQ(badReads.load(), 0);
}

}  // namespace
