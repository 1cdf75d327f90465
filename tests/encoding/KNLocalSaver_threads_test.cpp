// Switches, started() and writes from other threads while recordings start and stop back to back.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "encoding/LocalSaverTestSupport.h"

namespace {

using platform::MediaTime;

TEST(KNLocalSaverThreads, SwitchesAndWritesRaceStartsAndStopsSafely) {
    auto saver = KNLocalSaver::create();
    saver->setFilename(kntest::uniqueName("race"));
    saver->setAudioSampleRate(44100);
    saver->setMagicCookie(std::make_shared<const std::vector<uint8_t>>(std::vector<uint8_t>{0x12, 0x08}));
    saver->setSavingAudioAndVideoError(true, false, nullptr);
    saver->setSavingEnabledError(true, nullptr);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        const auto bytes = std::make_shared<const std::vector<uint8_t>>(64, 7);
        // Bounded by time, not by count: a fast writer must not run dry before the last round.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        for (int64_t i = 0; !done.load() && std::chrono::steady_clock::now() < deadline; ++i) {
            saver->writeEncodedAudioDurationPresentationTime(bytes, MediaTime::make(1024, 44100), MediaTime::make(1024 * i, 44100));
            saver->setSavingAudioAndVideoError(true, false, nullptr);
            saver->setSavingEnabledError(true, nullptr);
            if (saver->started()) std::this_thread::yield();
            // Keeps the saver's queue short, so the test's own drains are never stuck behind it.
            if (i % 64 == 63) savertest::drain(*saver);
        }
    });
    std::atomic<int> finished{0};
    for (int round = 0; round < 5; ++round) {
        std::shared_ptr<KNError> startError;
        saver->startSavingStream([&](std::shared_ptr<KNError> e) { startError = e; });
        savertest::drain(*saver);
        EXPECT_EQ(startError, nullptr);
        const bool written = kntest::waitFor([&] { return saver->firstAudioPacketTimeValue() != -1; }, std::chrono::seconds(10));
        EXPECT_TRUE(written);
        if (!written) break;
        // The next start replaces the writer while this one may still be finishing.
        saver->stopSavingStream([&](std::optional<platform::URL> url, std::shared_ptr<KNError> error) {
            finished += url.has_value() && !error;
        });
        savertest::drain(*saver);
    }
    done = true;
    writer.join();
    EXPECT_TRUE(kntest::waitFor([&] { return finished.load() == 5; }, std::chrono::seconds(10)));
}

}  // namespace
