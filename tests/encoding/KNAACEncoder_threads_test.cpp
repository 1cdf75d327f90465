// Owners drive the encoders from several threads: starts, stops, setters, queries and data race
// with the encoder's queue.
#include <gtest/gtest.h>

#include <thread>

#include "encoding/AACEncoderTestSupport.h"
#include "encoding/FakeAudioConverter.h"
#include "encoding/KNAACEncoder.h"
#include "encoding/KNAACEncoder2.h"
#include "support/TestServer.h"

using namespace aactest;

namespace {

TEST(EncoderThreads, SettersMadeRightAfterAStartShapeThatStartsConverter) {
    auto log = std::make_shared<FakeConverterLog>();
    auto encoder = KNAACEncoder2::create(fakePlatform(log));
    auto delegate = std::make_shared<RecordingDelegate>();
    encoder->setDelegate(delegate);
    std::atomic<bool> done{false};
    // Someone else keeps asking about the converter while it comes and goes.
    std::thread reader([&] {
        while (!done) {
            (void)encoder->isConfigured();
            (void)encoder->magicCookie();
            (void)encoder->decoderDelay();
            (void)encoder->adtsDataForPacketLength(100);
            encoder->setBitRate(64000);
        }
    });
    const uint64_t rates[] = {44100, 48000, 32000, 22050};
    for (int i = 0; i < 200; ++i) {
        encoder->startEncoding();
        encoder->setSampleRate(rates[i % 4]);
        encoder->setChannelsNumber(1 + i % 2);
        encoder->encodeAudioDataTimestamp(zeroBytes(4096), uint64_t(i));
        encoder->stopEncoding();
    }
    drain(encoder);
    done = true;
    reader.join();

    std::lock_guard lock(log->mutex);
    ASSERT_EQ(log->made, 200);
    for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(log->inputs[i].sampleRate, double(rates[i % 4])) << "start " << i;
        EXPECT_EQ(log->outputs[i].sampleRate, log->inputs[i].sampleRate) << "start " << i;
        EXPECT_EQ(log->outputs[i].channelsPerFrame, uint32_t(1 + i % 2)) << "start " << i;
        EXPECT_EQ(log->inputs[i].channelsPerFrame, log->outputs[i].channelsPerFrame) << "start " << i;
    }
    EXPECT_FALSE(encoder->started());
}

TEST(EncoderThreads, StartsAndStopsFromManyThreadsEndWhereTheLastOneSays) {
    auto log = std::make_shared<FakeConverterLog>();
    auto first = KNAACEncoder::create(fakePlatform(log));
    auto second = KNAACEncoder2::create(fakePlatform(log));
    auto delegate = std::make_shared<RecordingDelegate>();
    first->setDelegate(delegate);
    second->setDelegate(delegate);
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 300; ++i) {
                for (KNAACEncoderBase* e : {static_cast<KNAACEncoderBase*>(first.get()),
                                            static_cast<KNAACEncoderBase*>(second.get())}) {
                    e->startEncoding();
                    e->stopEncoding();
                }
            }
        });
    }
    std::thread feeder([&] {
        uint64_t t = 0;
        while (!done) {
            first->encodeAudioDataTimestamp(zeroBytes(3000), 0);
            second->encodeAudioDataTimestamp(zeroBytes(3000), t += 32);
            std::this_thread::yield();
        }
    });
    for (auto& t : threads) t.join();
    // Each thread's last word was a stop.
    drain(first);
    drain(second);
    EXPECT_FALSE(first->started());
    EXPECT_FALSE(second->started());
    EXPECT_FALSE(first->isConfigured());
    done = true;
    feeder.join();
    first->startEncoding();
    second->startEncoding();
    drain(first);
    drain(second);
    EXPECT_TRUE(first->started());
    EXPECT_TRUE(second->started());
    first->stopEncoding();
    second->stopEncoding();
    drain(first);
    drain(second);
}

TEST(EncoderThreads, RealConverterComesAndGoesUnderQueriesAndRateChanges) {
    auto encoder = KNAACEncoder2::create();
    auto delegate = std::make_shared<RecordingDelegate>();
    encoder->setDelegate(delegate);
    std::atomic<bool> done{false};
    std::thread reader([&] {
        uint64_t rate = 64000;
        while (!done) {
            (void)encoder->magicCookie();
            (void)encoder->decoderDelay();
            encoder->setBitRate(rate = rate == 64000 ? 96000 : 64000);
            std::this_thread::yield();
        }
    });
    for (int i = 0; i < 15; ++i) {
        encoder->startEncoding();
        for (int k = 0; k < 4; ++k) encoder->encodeAudioDataTimestamp(bytesOf(toneS16(1000, 44100, 1024, 1)), uint64_t(k));
        encoder->stopEncoding();
    }
    drain(encoder);
    done = true;
    reader.join();
    const auto events = delegate->takeEvents();
    EXPECT_EQ(std::count(events.begin(), events.end(), "configured"), 15);
    EXPECT_EQ(std::count(events.begin(), events.end(), "adts"), 60);
    EXPECT_EQ(std::count_if(events.begin(), events.end(), [](auto& e) { return e.rfind("error", 0) == 0; }), 0);
}

TEST(EncoderThreads, AnEncoderReleasedWithWorkQueuedFinishesItAndGoes) {
    auto delegate = std::make_shared<RecordingDelegate>();
    std::weak_ptr<KNAACEncoderBase> gone;
    std::shared_ptr<platform::DispatchQueue> queue;
    {
        auto encoder = KNAACEncoder2::create();
        encoder->setDelegate(delegate);
        encoder->startEncoding();
        for (int k = 0; k < 8; ++k) encoder->encodeAudioDataTimestamp(bytesOf(toneS16(1000, 44100, 1024, 1)), uint64_t(k));
        encoder->stopEncoding();
        gone = encoder;
        queue = encoder->encoderQueue();
    }
    queue->sync([] {});
    EXPECT_TRUE(kntest::waitFor([&] { return gone.expired(); }, std::chrono::seconds(5)));
    EXPECT_EQ(delegate->takePackets().size(), 8u);
}

}  // namespace
