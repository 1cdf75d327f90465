#include "kestrune/KNFileInputSource.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <filesystem>
#include <thread>

#include "kestrune/KNError.h"
#include "platform/DispatchQueue.h"
#include "recorder/FileSourceTestSupport.h"
#include "support/MediaFiles.h"

namespace {

using namespace kntest;

const std::string kDir = std::string(KESTRUNE_TEST_TMP) + "/" + uniqueName("file-source-threads");

// Stops from the delegate's own call, on the reader queue: the stop must not wait for itself.
class StoppingDelegate : public DeliveryLog {
public:
    void fileInputSourceDidReadVideoSample(KNFileInputSource* source,
                                           const std::shared_ptr<platform::SampleBuffer>& sample) override {
        DeliveryLog::fileInputSourceDidReadVideoSample(source, sample);
        source->stopReading();
    }
};

TEST(KNFileInputSourceThreads, StopsRacingTheReaderQueueTurnsEndEveryReadingCleanly) {
    const auto path = makeMediaFile(kDir, "race", {.seconds = 1, .width = 160, .height = 120});
    ASSERT_FALSE(path.empty());
    auto log = std::make_shared<DeliveryLog>();
    auto source = sourceFor(path, log);
    for (int round = 0; round < 200; ++round) {
        std::shared_ptr<KNError> error;
        const size_t before = log->count(true);
        source->startReadingWithError(&error);
        ASSERT_EQ(error, nullptr) << round;
        // Every few rounds the stop waits for the reading to be under way.
        if (round % 8 == 0) {
            ASSERT_TRUE(waitFor([&] { return log->count(true) > before; }, 10s));
        }
        source->stopReading();
        EXPECT_EQ(source->assetReader(), nullptr);
    }
    // A delegate call under way when the last stop returned may still end; none starts after it.
    source->readerQueue()->sync([] {});
    const size_t frames = log->count(true);
    source->readerQueue()->sync([] {});
    EXPECT_EQ(log->count(true), frames);

    auto stopping = std::make_shared<StoppingDelegate>();
    source->setDelegate(stopping);
    source->startReadingWithError();
    ASSERT_TRUE(waitFor([&] { return stopping->count(true) == 1 && source->assetReader() == nullptr; }, 10s));
}

// The host's delegate takes a lock that the host holds around its stop.
class LockingDelegate : public DeliveryLog {
public:
    void fileInputSourceDidReadVideoSample(KNFileInputSource* source,
                                           const std::shared_ptr<platform::SampleBuffer>& sample) override {
        waiting = true;
        std::lock_guard lock(hostLock);
        DeliveryLog::fileInputSourceDidReadVideoSample(source, sample);
    }
    std::mutex hostLock;
    std::atomic<bool> waiting{false};
};

// Each call runs on a thread of its own: a call that blocks fails the wait instead of the run.
bool returnsPromptly(const std::function<void()>& call) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread([call, done] {
        call();
        *done = true;
    }).detach();
    return waitFor([&] { return done->load(); }, 5s);
}

TEST(KNFileInputSourceThreads, AStopUnderAHostLockTheDelegateTakesReturnsAtOnce) {
    const auto path = makeMediaFile(kDir, "locked", {.seconds = 2, .width = 160, .height = 120});
    ASSERT_FALSE(path.empty());
    auto log = std::make_shared<LockingDelegate>();
    auto source = sourceFor(path, log);
    bool stopped = false;
    {
        std::unique_lock hold(log->hostLock);
        source->startReadingWithError();
        ASSERT_TRUE(waitFor([&] { return log->waiting.load(); }, 10s));
        stopped = returnsPromptly([source] { source->stopReading(); });
    }
    EXPECT_TRUE(stopped);
    EXPECT_TRUE(waitFor([&] { return source->assetReader() == nullptr; }, 5s));
}

TEST(KNFileInputSourceThreads, ASourceTheHostLetsGoOfStopsReading) {
    const auto path = makeMediaFile(kDir, "dropped", {.seconds = 10, .width = 160, .height = 120});
    ASSERT_FALSE(path.empty());
    auto log = std::make_shared<DeliveryLog>();
    auto source = sourceFor(path, log);
    source->startReadingWithError();
    ASSERT_TRUE(waitFor([&] { return log->count(true) >= 3; }, 10s));
    auto reader = source->assetReader();
    std::weak_ptr<KNFileInputSource> watch = source;
    source.reset();
    // Its pending turns no longer keep it: it goes, and its reading with it.
    EXPECT_TRUE(waitFor([&] { return watch.expired(); }, 5s));
    EXPECT_EQ(reader->status(), platform::AssetReaderStatus::Cancelled);
}

// A FIFO would block an open until a writer comes; the start refuses it and nothing waits.
TEST(KNFileInputSourceThreads, AFifoIsRefusedWithoutBlockingTheCaller) {
    std::filesystem::create_directories(kDir);
    const std::string fifo = kDir + "/" + uniqueName("pipe") + ".mp4";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    auto source = KNFileInputSource::create();
    source->setVideoURL(platform::URL::fromFilePath(fifo));
    auto error = std::make_shared<std::shared_ptr<KNError>>();
    const bool returned = returnsPromptly([source, error] { source->startReadingWithError(error.get()); });
    if (!returned) {
        // Let the blocked open go: a writer that comes and leaves.
        const int fd = ::open(fifo.c_str(), O_WRONLY);
        if (fd >= 0) ::close(fd);
    }
    ASSERT_TRUE(returned);
    ASSERT_TRUE(*error);
    EXPECT_EQ((*error)->message(), "Failed to create the asset with given URL.");
    EXPECT_TRUE(returnsPromptly([source] { source->stopReading(); }));
}

// After a stop no buffer is read: only the pieces already scheduled of the last one still come.
TEST(KNFileInputSourceThreads, AfterAStopOnlyPiecesAlreadyScheduledArrive) {
    const auto path = makeMediaFile(kDir, "audio-stop", {.seconds = 10, .video = false});
    ASSERT_FALSE(path.empty());
    auto log = std::make_shared<DeliveryLog>();
    auto source = sourceFor(path, log);
    source->startReadingWithError();
    ASSERT_TRUE(waitFor([&] { return log->count(false) >= 10; }, 10s));
    source->stopReading();
    const size_t atStop = log->count(false);
    // Later than any piece of one buffer is due.
    auto passed = std::make_shared<std::atomic<bool>>(false);
    source->readerQueue()->afterSeconds(0.5, [passed] { *passed = true; });
    ASSERT_TRUE(waitFor([&] { return passed->load(); }, 5s));
    EXPECT_LE(log->count(false), atStop + 2);
}

}  // namespace
