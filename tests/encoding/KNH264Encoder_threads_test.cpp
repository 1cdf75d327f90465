// KNH264Encoder's restarts and stops raced by frames, bit-rate updates and session ends, and a
// source faster than the encoder.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <future>
#include <numeric>
#include <thread>

#include "core/KNLog.h"
#include "platform/Documents.h"

#include "support/TestServer.h"
#include "support/VideoTestMedia.h"

using namespace platform;
using namespace std::chrono_literals;
using namespace kntest;

// A change of resolution is a stop and a start; frames of the old size keep coming meanwhile.
TEST(KNH264EncoderThreads, RestartsAndSizeChangesWithFramesInFlightBeginEachSessionWithAKeyFrame) {
    EncoderRig rig;
    auto picture = makePatternFrame(160, 120, 3);  // foreign to every other session: scaled to fill
    std::atomic<bool> feeding{true};
    std::thread feeder([&] {
        for (int i = 0; feeding; ++i) {
            rig.encoder->encode(videoSample(picture, MediaTime::make(i, 30)));
            if (i % 20 == 0) drain(*rig.encoder);  // keep the queue short
        }
    });
    const FormatDescription* previous = nullptr;
    for (int cycle = 0; cycle < 16; ++cycle) {
        rig.encoder->changeResolutionHeight(cycle % 2 ? 320 : 160, cycle % 2 ? 240 : 120);
        auto newest = [&] {
            auto f = rig.delegate->waitForFrame(1);
            return f ? f->formatDescription().get() : nullptr;
        };
        ASSERT_TRUE(waitFor([&] { return newest() != previous; }, 10s)) << "session " << cycle;
        previous = newest();
    }
    rig.encoder->stopEncoding();
    feeding = false;
    feeder.join();
    drain(*rig.encoder);
    int sessions = 0;
    for (const FormatDescription* last = nullptr; const auto& e : rig.delegate->events()) {
        if (!e.buffer || e.buffer->formatDescription().get() == last) continue;
        last = e.buffer->formatDescription().get();
        EXPECT_EQ(last->width(), ++sessions % 2 ? 160 : 320);
        EXPECT_TRUE(isKeyFrame(*e.buffer)) << "session " << sessions << " begins with a key frame";
    }
    EXPECT_EQ(sessions, 16);
}

TEST(KNH264EncoderThreads, StopsRightAfterStartsWithUpdatesAndSessionEndsRacingLeaveNoSession) {
    EncoderRig rig;
    auto picture = makePatternFrame(320, 240, 0);
    std::atomic<bool> running{true};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; running; ++i) {
                if (t == 0 && i % 50 == 0) rig.encoder->endEncodingSession();
                rig.encoder->updateBitrate(300000 + ((i * 7 + t) % 10) * 270000);
            }
        });
    for (int cycle = 0; cycle < 60 && !rig.encoder->started(); ++cycle) {
        std::promise<void> gate;  // holds the queue: each stop is issued before its start has run
        rig.encoder->encodingQueue()->async([held = gate.get_future().share()] { held.wait(); });
        rig.encoder->startEncodingWithResolutionHeight(320, 240);
        for (int i = 0; i < 3; ++i) rig.encoder->encode(videoSample(picture, MediaTime::make(cycle * 3 + i, 30)));
        rig.encoder->stopEncoding();
        gate.set_value();
        drain(*rig.encoder);
    }
    running = false;
    for (auto& t : threads) t.join();
    EXPECT_FALSE(rig.encoder->started());
    const size_t delivered = rig.delegate->events().size();
    rig.encoder->encode(videoSample(picture, MediaTime::make(1000, 30)));
    drain(*rig.encoder);
    EXPECT_EQ(rig.delegate->events().size(), delivered) << "no session may survive the last stop";
}

namespace {

// The frame counts the log's drop lines give, in order.
std::vector<uint64_t> droppedCountsLogged(const std::string& logFile) {
    std::ifstream log(platform::documentsDirectory() + "/" + logFile);
    std::vector<uint64_t> counts;
    for (std::string text; std::getline(log, text);) {
        unsigned long long count = 0;
        char end[16] = {};
        if (std::sscanf(text.c_str(), "WARNING: H.264 encoder fell behind: %llu frames droppe%15s", &count, end) == 2 &&
            std::string(end) == "d") {
            counts.push_back(count);
        }
    }
    return counts;
}

}  // namespace

// A source faster than the encoder, as a camera is for an encoder that gets too little CPU.
TEST(KNH264EncoderThreads, FramesDroppedWhenEncodingFallsBehindAreCountedAndLoggedAtMostOnceASecond) {
    auto log = KNLog::sharedInstance();
    const std::string logFile = uniqueName("drops");
    log->setLogFile(logFile);
    log->setLogOutput(KNLogOutputFile);
    log->setLogLevel(KNLogLevelWarning);
    EncoderRig rig;
    rig.encoder->updateBitrate(8000000);
    rig.encoder->startEncodingWithResolutionHeight(1280, 720);
    std::vector<std::shared_ptr<PixelBuffer>> pictures;
    for (int i = 0; i < 4; ++i) pictures.push_back(makePatternFrame(1280, 720, i, 40));
    // Fed for a few seconds, so that the drops span several log lines.
    const auto began = std::chrono::steady_clock::now();
    const auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count(); };
    uint64_t fed = 0;
    while (elapsed() < 2.5) {
        for (int i = 0; i < 30; ++i) {
            rig.encoder->encode(videoSample(pictures[fed % 4], MediaTime::make(int64_t(fed), 30)));
            ++fed;
        }
        drain(*rig.encoder);  // keeps the queue short; the session's own queue still overflows
    }
    rig.encoder->stopEncoding();
    drain(*rig.encoder);
    uint64_t encoded = 0;
    for (const auto& event : rig.delegate->events()) encoded += event.buffer != nullptr;
    const uint64_t dropped = fed - encoded;

    EXPECT_GT(dropped, 0u);
    EXPECT_EQ(rig.encoder->droppedFrameCount(), dropped);
    const auto loggedAll = [&] {
        const auto counts = droppedCountsLogged(logFile);
        return std::accumulate(counts.begin(), counts.end(), uint64_t{0}) == dropped;
    };
    EXPECT_TRUE(waitFor(loggedAll, 5s)) << ::testing::PrintToString(droppedCountsLogged(logFile));
    const size_t lines = droppedCountsLogged(logFile).size();
    EXPECT_GE(lines, 2u);
    EXPECT_LE(lines, static_cast<size_t>(elapsed()) + 1);
    log->setLogLevel(KNLogLevelNone);
}
