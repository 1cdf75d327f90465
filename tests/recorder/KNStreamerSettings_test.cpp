#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "kestrune/KNError.h"
#include "kestrune/KNStreamerAudioSettings.h"
#include "kestrune/KNStreamerSettings.h"
#include "kestrune/KNStreamerVideoSettings.h"

namespace {

using Log = std::vector<std::string>;

// Answers the lock queries with `locked` and writes every call it gets into a shared log.
class LoggingObserver : public KNStreamerSettingsObserver, public KNStreamerAudioSettingsObserver {
public:
    LoggingObserver(std::string name, bool locked, Log& log) : name_(std::move(name)), locked_(locked), log_(log) {}

    bool streamerSettingsLockedReason(KNStreamerSettings*, std::shared_ptr<KNError>*) override { return asked(); }
    void streamerSettingsDidChangeAdaptiveBitrate(KNStreamerSettings*, bool v) override { told("adaptive", v); }
    void streamerSettingsDidChangeLocalSave(KNStreamerSettings*, bool v) override { told("localSave", v); }
    bool streamerAudioSettingsSettingsLockedReason(KNStreamerAudioSettings*, std::shared_ptr<KNError>*) override {
        return asked();
    }
    void streamerAudioSettingsDidChangeSendingAudio(KNStreamerAudioSettings*, bool v) override { told("sendingAudio", v); }
    void streamerAudioSettingsDidChangeBitrate(KNStreamerAudioSettings*, uint64_t v) override { told("bitrate", v); }
    void streamerAudioSettingsDidChangeSampleRate(KNStreamerAudioSettings*, uint64_t v) override { told("rate", v); }

    std::function<void()> onTold;

private:
    bool asked() {
        log_.push_back(name_ + "?");
        return locked_;
    }
    void told(const std::string& what, uint64_t value) {
        log_.push_back(name_ + ":" + what + "=" + std::to_string(value));
        if (onTold) onTold();
    }

    std::string name_;
    bool locked_;
    Log& log_;
};

TEST(KNStreamerSettings, GuardedAndNotifyingSettersFollowTheObserversInOrder) {
    struct Row {
        std::string name;
        std::vector<std::pair<std::string, bool>> observers;  // name, locked; a name twice is one observer added twice
        std::function<bool(KNStreamerAudioSettings&)> change;
        bool stored;
        Log log;
        uint64_t rate, bitrate;
    };
    const auto setRate = [](KNStreamerAudioSettings& s) { return s.setSampleRateWithError(44100); };
    const Row rows[] = {
        {"no observers", {}, setRate, true, {}, 44100, 131072},
        {"the first locks: the second isn't asked", {{"a", true}, {"b", false}}, setRate, false, {"a?"}, 48000, 131072},
        {"none locks: all asked, then all told",
         {{"a", false}, {"b", false}}, setRate, true, {"a?", "b?", "a:rate=44100", "b:rate=44100"}, 44100, 131072},
        {"the same value is told again", {{"a", false}},
         [](KNStreamerAudioSettings& s) { return s.setSendingAudioWithError(true); }, true, {"a?", "a:sendingAudio=1"},
         48000, 131072},
        {"one observer added twice answers and hears twice", {{"a", false}, {"a", false}}, setRate, true,
         {"a?", "a?", "a:rate=44100", "a:rate=44100"}, 44100, 131072},
        {"the bitrate is never locked, and told", {{"a", true}},
         [](KNStreamerAudioSettings& s) {
             s.setOutputBitrate(64000);
             return true;
         },
         true, {"a:bitrate=64000"}, 48000, 64000},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Log log;
        auto settings = KNStreamerAudioSettings::defaultSettings();
        std::map<std::string, std::shared_ptr<LoggingObserver>> made;
        for (const auto& [name, locked] : row.observers) {
            auto& observer = made[name];
            if (!observer) observer = std::make_shared<LoggingObserver>(name, locked, log);
            settings->addObserver(observer);
        }
        EXPECT_EQ(row.change(*settings), row.stored);
        EXPECT_EQ(log, row.log);
        EXPECT_EQ(settings->sampleRate(), row.rate);
        EXPECT_EQ(settings->outputBitrate(), row.bitrate);
        // One removal drops every occurrence.
        for (const auto& [name, observer] : made) settings->removeObserver(observer);
        log.clear();
        EXPECT_TRUE(settings->setSampleRateWithError(32000));
        EXPECT_EQ(log, Log{});
    }
}

TEST(KNStreamerSettings, AnObserverRemovingItselfWhileToldLeavesTheWalkWhole) {
    Log log;
    auto settings = KNStreamerSettings::defaultSettings();
    auto leaving = std::make_shared<LoggingObserver>("a", false, log);
    auto staying = std::make_shared<LoggingObserver>("b", false, log);
    leaving->onTold = [&] {
        settings->removeObserver(leaving);
        settings->addObserver(staying);
    };
    settings->addObserver(leaving);
    settings->addObserver(staying);
    EXPECT_TRUE(settings->setLocalSaveWithError(true));
    EXPECT_EQ(log, (Log{"a?", "b?", "a:localSave=1", "b:localSave=1"}));
    log.clear();
    leaving->onTold = nullptr;
    EXPECT_TRUE(settings->setAdaptiveBitrateWithError(true));
    EXPECT_EQ(log, (Log{"b?", "b?", "b:adaptive=1", "b:adaptive=1"}));
}

TEST(KNStreamerSettings, AnExpiredObserverIsSkippedAndNotKeptAlive) {
    Log log;
    auto settings = KNStreamerSettings::defaultSettings();
    auto gone = std::make_shared<LoggingObserver>("gone", true, log);
    std::weak_ptr<LoggingObserver> watch = gone;
    settings->addObserver(gone);
    gone.reset();
    EXPECT_TRUE(watch.expired());
    EXPECT_TRUE(settings->setLocalSaveWithError(true));
    EXPECT_EQ(log, Log{});
    EXPECT_TRUE(settings->localSave());
}

// Hears the frame sizes it is told, and locks nothing.
class FrameSizeObserver : public KNStreamerVideoSettingsObserver {
public:
    bool streamerVideoSettingsSettingsLockedReason(KNStreamerVideoSettings*, std::shared_ptr<KNError>*) override {
        return false;
    }
    void streamerVideoSettingsDidChangeVideoFrameSize(KNStreamerVideoSettings*, KNVideoFrameSize size) override {
        told.push_back(size);
    }
    std::vector<KNVideoFrameSize> told;
};

TEST(KNStreamerSettings, TheFrameSizeComesFromTheResolutionOrTheCustomSize) {
    struct Row {
        std::string name;
        int64_t resolution;
        KNVideoFrameSize custom;
        double width, height;
    };
    const Row rows[] = {
        {"defaults", KNVideoFrameResolution1280x720, {0, 0}, 1280, 720},
        {"custom", 0, {1000, 500}, 1000, 500},
        {"a resolution the table doesn't hold", 12345, {1000, 500}, 0, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        auto video = KNStreamerVideoSettings::defaultSettings();
        auto observer = std::make_shared<FrameSizeObserver>();
        video->addObserver(observer);
        EXPECT_TRUE(video->setResolutionWithError(row.resolution));
        EXPECT_TRUE(video->setVideoFrameSizeWithError(row.custom));
        // Inversion is the streamer's to apply, not the size's.
        EXPECT_TRUE(video->setResolutionInvertedWithError(true));
        EXPECT_EQ(video->resolutionSize().width, row.width);
        EXPECT_EQ(video->resolutionSize().height, row.height);
        ASSERT_EQ(observer->told.size(), 1u);
        EXPECT_EQ(observer->told.front().width, row.custom.width);
        EXPECT_EQ(observer->told.front().height, row.custom.height);
    }
}

}  // namespace
