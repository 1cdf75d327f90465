#include <gtest/gtest.h>

#include <thread>

#include "kestrune/KNStreamInfo.h"

// The custom URL's first read writes the record: readers and a writer must not race.
TEST(KNStreamInfoThreads, ReadersAndWritersShareOneRecord) {
    auto shared = KNStreamInfo::create(), other = KNStreamInfo::create();
    other->setCustomStreamURLString("rtmp://h/a/s");
    std::atomic<bool> stop{false};
    std::atomic<int> badReads{0}, reads{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 4; ++t) {
        readers.emplace_back([&] {
            for (; !stop; ++reads) {
                auto url = shared->customStreamURLString();
                badReads += (url && !url->empty() && !url->starts_with("rtmp")) || shared->streamURLString().empty();
                (void)(shared->isEqual(other) | other->isEqual(shared) | shared->usesCustomURL());
            }
        });
    }
    for (int i = 0; i < 2000 || reads < 2000; ++i) {
        shared->setCustomStreamURLString(i % 3 ? "h/a/s" + std::to_string(i) : "");
        shared->setUseSecureConnection(i % 2 == 0);
        shared->setStreamName("s" + std::to_string(i));
    }
    stop = true;
    for (auto& r : readers) r.join();
    EXPECT_EQ(badReads, 0);
}
