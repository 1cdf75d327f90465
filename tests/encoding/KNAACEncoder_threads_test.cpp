// Starts, stops, setters, queries and data from several threads race the AAC encoders' queue.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "encoding/AACEncoderTestSupport.h"

using namespace aactest;

static KNAACEncoderBase::Bytes silence(size_t n) { return std::make_shared<const std::vector<uint8_t>>(n, 0); }

TEST(AACEncoderThreads, SettersMadeRightAfterAStartShapeThatStartsConverter) {
    Rig rig(true);
    auto& [log, encoder, delegate] = rig;
    const uint64_t rates[] = {44100, 48000, 32000, 22050};
    for (int i = 0; i < 200; ++i) {
        encoder->startEncoding();
        encoder->setSampleRate(rates[i % 4]);
        encoder->setChannelsNumber(1 + i % 2);
        encoder->encodeAudioDataTimestamp(silence(2048u * (1 + i % 2)), uint64_t(i));
        encoder->stopEncoding();
    }
    drain(encoder);
    EXPECT_EQ(delegate->configured, 200) << "once a start, never more";
    ASSERT_EQ(log->inputs.size(), 200u);
    for (size_t i = 0; i < 200; ++i) {
        EXPECT_EQ(log->inputs[i], AudioStreamDescription::pcmInt16(double(rates[i % 4]), uint32_t(1 + i % 2))) << i;
        EXPECT_EQ(log->chunks[i].size(), 2048u * (1 + i % 2)) << "a chunk is 1024 frames";
    }
}

TEST(AACEncoderThreads, StartsAndStopsFromManyThreadsEndWhereTheLastOneSays) {
    Rig first(false), second(true);
    const std::shared_ptr<KNAACEncoderBase> encoders[] = {first.encoder, second.encoder};
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 300; ++i)
                for (const auto& e : encoders) {
                    e->startEncoding();
                    e->stopEncoding();
                }
        });
    std::thread feeder([&] {
        for (uint64_t t = 0; !done; t += 32)
            for (const auto& e : encoders) e->encodeAudioDataTimestamp(silence(3000), t);
    });
    for (auto& t : threads) t.join();
    done = true;
    feeder.join();
    for (const auto& e : encoders) {
        drain(e);
        EXPECT_FALSE(e->started() || e->isConfigured());
        std::promise<void> gate;  // a stop issued before its start has run
        e->encoderQueue()->async([held = gate.get_future().share()] { held.wait(); });
        e->startEncoding();
        e->stopEncoding();
        gate.set_value();
        drain(e);
        EXPECT_FALSE(e->started());
    }
}
