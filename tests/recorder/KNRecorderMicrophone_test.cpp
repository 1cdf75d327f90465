// The real pipeline on a microphone that is unplugged while it captures: the host hears it.
#include <gtest/gtest.h>

#include "capture/AlsaFaultDevice.h"
#include "capture/AudioCaptureTestSupport.h"
#include "kestrune/KNError.h"
#include "kestrune/KNRecorder.h"
#include "kestrune/KNRecorderSettings.h"
#include "kestrune/KNStreamInfo.h"
#include "platform/RunLoop.h"

namespace {

struct Host : KNRecorderDelegate {
    void recorderDidReceiveError(KNRecorder&, const std::shared_ptr<KNError>& error) override {
        std::lock_guard lock(mutex);
        codes.push_back(error->errorCodes().front());
    }
    std::vector<int64_t> taken() {
        std::lock_guard lock(mutex);
        return codes;
    }
    std::mutex mutex;
    std::vector<int64_t> codes;
};

}  // namespace

TEST(KNRecorderMicrophone, AnUnpluggedMicrophoneReachesTheHostAsTheCapturesError) {
    audiotest::useSyntheticMicrophone(48000);
    audiotest::AlsaFaultDevice device(48000);
    ASSERT_TRUE(device.unit());
    audiotest::ScopedComponent component(device.unit());
    auto host = std::make_shared<Host>();
    auto info = KNStreamInfo::create();
    info->setCustomStreamURLString("rtmp://127.0.0.1/live/microphone");
    auto recorder = KNRecorder::recorderWithStreamInfo(info, KNRecorderSettings::recorderSettings());
    recorder->setRecorderDelegate(host);
    recorder->prepareToRecord();
    ASSERT_TRUE(platform::RunLoop::main().runUntil([&] { return device.unit()->isRunning(); }, std::chrono::seconds(10)));
    device.inject(audiotest::AlsaFaultDevice::Fault::Unplug);
    EXPECT_TRUE(platform::RunLoop::main().runUntil([&] { return !host->taken().empty(); }, std::chrono::seconds(10)));
    EXPECT_EQ(host->taken(), std::vector<int64_t>{10001});
    EXPECT_FALSE(device.unit()->isRunning());
    recorder->endSession();
}
