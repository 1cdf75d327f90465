#include "kestrune/KNRecorder.h"

#include "core/KNConverter.h"
#include "core/KNLog.h"
#include "core/KNUtils.h"
#include "kestrune/KNError.h"
#include "kestrune/KNInfo.h"
#include "kestrune/KNRecorderSettings.h"
#include "kestrune/KNRecordingUtils.h"
#include "kestrune/KNStreamInfo.h"
#include "kestrune/KNWarning.h"
#include "platform/DispatchQueue.h"
#include "platform/NotificationCenter.h"
#include "platform/ui/Application.h"
#include "recorder/KNInternalRecorder.h"
#include "recorder/KNRecorderTimer.h"

// Turns the pipeline's reports into the host's, holding the recorder weakly: the pipeline may
// outlive it.
class KNRecorder::HubEvents final : public KNInternalRecorderDelegate {
public:
    explicit HubEvents(std::weak_ptr<KNRecorder> recorder) : recorder_(std::move(recorder)) {}

    void recorderDidChangeState(KNInternalRecorder*, int64_t state) override {
        auto recorder = recorder_.lock();
        if (!recorder) return;
        recorder->state_ = state;
        if (auto host = recorder->recorderDelegate()) host->recorderDidChangeState(*recorder, recorder->state());
        if (state == KNRecorderStateIdle) recorder->timer_->stop();
    }
    void recorderDidReceiveInfo(KNInternalRecorder*, const std::shared_ptr<KNInfo>& info) override {
        if (auto recorder = recorder_.lock()) recorder->forwardInfo(info);
    }
    void recorderDidReceiveWarning(KNInternalRecorder*, const std::shared_ptr<KNWarning>& warning) override {
        if (auto recorder = recorder_.lock()) recorder->forwardWarning(warning);
    }
    void recorderDidReceiveError(KNInternalRecorder*, const std::shared_ptr<KNError>& error) override {
        if (auto recorder = recorder_.lock()) recorder->forwardError(error);
    }
    void recorderDidChangeNetworkStatus(KNInternalRecorder*, int64_t status) override {
        send([status](KNRecorderDelegate& host, KNRecorder& r) { host.recorderDidChangeNetworkStatus(r, status); });
    }
    void recorderDidOutputSampleBufferFromCaptureOutput(KNInternalRecorder*,
                                                        const std::shared_ptr<platform::SampleBuffer>& sampleBuffer,
                                                        const void* output) override {
        send([&](KNRecorderDelegate& host, KNRecorder& r) {
            host.recorderDidOutputSampleBufferFromCaptureOutput(r, sampleBuffer, output);
        });
    }
    void recorderDidOutputAudioBuffer(KNInternalRecorder*, const Bytes& buffer) override {
        send([&](KNRecorderDelegate& host, KNRecorder& r) { host.recorderDidOutputAudioBuffer(r, buffer); });
    }
    void recorderDidUpdateBitrate(KNInternalRecorder*, uint64_t kilobytes) override {
        auto recorder = recorder_.lock();
        if (!recorder) return;
        recorder->currentBitrate_ = kilobytes;
        if (auto host = recorder->recorderDelegate()) host->recorderDidUpdateBitrate(*recorder, kilobytes);
    }
    void recorderDidDropPacket(KNInternalRecorder*) override {
        send([](KNRecorderDelegate& host, KNRecorder& r) { host.recorderDidDropRtmpPacket(r); });
    }

private:
    template <typename Send>
    void send(Send&& report) {
        auto recorder = recorder_.lock();
        if (!recorder) return;
        if (auto host = recorder->recorderDelegate()) report(*host, *recorder);
    }

    const std::weak_ptr<KNRecorder> recorder_;
};

KNRecorder::KNRecorder(std::shared_ptr<KNInternalRecorder> hub)
    : internalRecorder_(std::move(hub)),
      timer_(KNRecorderTimer::recorderTimer()),
      recordingTimer_(KNRecorderTimer::recorderTimer()),
      settings_(KNRecorderSettings::recorderSettings()),
      info_(KNStreamInfo::streamInfo()) {}

std::shared_ptr<KNRecorder> KNRecorder::createWithInternalRecorder(std::shared_ptr<KNInternalRecorder> hub) {
    std::shared_ptr<KNRecorder> recorder(new KNRecorder(std::move(hub)));
    recorder->hubEvents_ = std::make_shared<HubEvents>(recorder);
    return recorder;
}

std::shared_ptr<KNRecorder> KNRecorder::create() { return createWithInternalRecorder(KNInternalRecorder::internalRecorder()); }

std::shared_ptr<KNRecorder> KNRecorder::recorderWithStreamInfo(std::shared_ptr<KNStreamInfo> info,
                                                               std::shared_ptr<KNRecorderSettings> settings) {
    auto recorder = create();
    {
        std::lock_guard lock(recorder->mutex_);
        recorder->info_ = std::move(info);
        recorder->settings_ = std::move(settings);
    }
    recorder->subscribeToStatusBarOrientationNotifications();
    return recorder;
}

KNRecorder::~KNRecorder() {
    unsubscribeFromStatusBarOrientationNotifications();
    timer_->stop();
    recordingTimer_->stop();
    // The host let go: nothing can end what it started any more. The stream stops, a local
    // recording is finished, and the camera and microphone are released.
    internalRecorder_->setInternalRecorderDelegate({});
    internalRecorder_->stopStreaming();
    internalRecorder_->stopRecordingWithCompletion(nullptr);
    internalRecorder_->endSession();
}

std::shared_ptr<KNRecorderDelegate> KNRecorder::recorderDelegate() const {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
}

void KNRecorder::setRecorderDelegate(std::weak_ptr<KNRecorderDelegate> delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
}

std::shared_ptr<KNRecorderSettings> KNRecorder::settings() const {
    std::lock_guard lock(mutex_);
    return settings_;
}

std::shared_ptr<KNStreamInfo> KNRecorder::info() const {
    std::lock_guard lock(mutex_);
    return info_;
}

std::shared_ptr<KNRecorder> KNRecorder::setupWithView(std::shared_ptr<platform::View> view) {
    std::lock_guard lock(mutex_);
    view_ = std::move(view);
    return shared_from_this();
}

void KNRecorder::prepareToRecord() {
    internalRecorder_->setInternalRecorderDelegate(hubEvents_);
    std::shared_ptr<platform::View> view;
    {
        std::lock_guard lock(mutex_);
        view = view_;
    }
    internalRecorder_->setupWithCaptureView(view);
    internalRecorder_->setupWithStreamInfo(info());
    internalRecorder_->setupWithSettings(settings());
    internalRecorder_->startCamera();
}

void KNRecorder::startStreaming(Completion completion) {
    internalRecorder_->startStreamingWithCompletion(
        [weak = weak_from_this(), completion = std::move(completion)](bool success, std::shared_ptr<KNError> error) {
            if (success) {
                if (auto self = weak.lock()) self->startTimer();
            }
            if (completion) completion(success, std::move(error));
        });
}

void KNRecorder::stopStreaming() {
    internalRecorder_->stopStreaming();
    timer_->stop();
}

void KNRecorder::startRecording(Completion completion) {
    internalRecorder_->startRecordingWithCompletion(std::move(completion));
    startRecordingTimer();
}

void KNRecorder::stopRecording(StopRecordingCompletion completion) {
    internalRecorder_->stopRecordingWithCompletion(std::move(completion));
    recordingTimer_->stop();
}

void KNRecorder::takeSnapshot(SnapshotCompletion completion) {
    if (!completion) return;
    if (!hasCameraAccess()) return completion(nullptr, KNError::errorWithCodesMessage({1002}, "No camera access."));
    internalRecorder_->takeSnapshotWithCompletion(std::move(completion));
}

void KNRecorder::endSession() { internalRecorder_->endSession(); }

bool KNRecorder::isActive() const { return internalRecorder_->isActive(); }

bool KNRecorder::hasInternetConnection() const { return internalRecorder_->hasInternetConnection(); }

bool KNRecorder::hasMicrophoneAccess() const { return KNUtils::utils()->hasAccessToMicrophone(); }

bool KNRecorder::hasCameraAccess() const { return KNUtils::utils()->hasAccessToCamera(); }

void KNRecorder::forwardInfo(const std::shared_ptr<KNInfo>& info) {
    if (auto host = recorderDelegate()) host->recorderDidReceiveInfo(*this, info);
}

void KNRecorder::forwardWarning(const std::shared_ptr<KNWarning>& warning) {
    if (auto host = recorderDelegate()) host->recorderDidReceiveWarning(*this, warning);
}

void KNRecorder::forwardError(const std::shared_ptr<KNError>& error) {
    if (auto host = recorderDelegate()) host->recorderDidReceiveError(*this, error);
}

void KNRecorder::changeStreamInfo(std::shared_ptr<KNStreamInfo> info, Completion completion) {
    if (!internalRecorder_->changeStreamInfoWithNewStreamInfo(this->info(), info)) {
        if (completion) completion(false, KNError::errorWithCodesMessage({0}, "Operation not allowed while streaming."));
        return;
    }
    {
        std::lock_guard lock(mutex_);
        info_ = std::move(info);
    }
    if (completion) completion(true, nullptr);
}

void KNRecorder::startTimer() {
    // A connection that lands after a stop must not start counting while idle.
    if (internalRecorder_->recordingState() != KNRecorderStateStreaming) return;
    timer_->setTimerValueChanged([weak = weak_from_this()](double seconds) {
        auto self = weak.lock();
        if (!self) return;
        if (auto host = self->recorderDelegate()) host->recorderDidUpdateStreamTime(*self, seconds);
    });
    timer_->start();
}

void KNRecorder::startRecordingTimer() {
    recordingTimer_->setTimerValueChanged([weak = weak_from_this()](double seconds) {
        auto self = weak.lock();
        if (!self) return;
        if (auto host = self->recorderDelegate()) host->recorderDidUpdateRecordTime(*self, seconds);
    });
    recordingTimer_->start();
}

void KNRecorder::subscribeToStatusBarOrientationNotifications() {
    auto& center = platform::NotificationCenter::defaultCenter();
    willChangeObserver_ = center.addObserver(
        platform::kApplicationWillChangeStatusBarOrientationNotification, nullptr,
        [weak = weak_from_this()](const platform::Notification& notification) {
            const auto found = notification.userInfo.find(platform::kApplicationStatusBarOrientationUserInfoKey);
            if (found == notification.userInfo.end()) return;
            const auto* orientation = std::any_cast<int64_t>(&found->second);
            if (!orientation) return;
            // The observer belongs to the main queue.
            auto follow = [weak, value = *orientation] {
                if (auto self = weak.lock()) self->statusBarWillChangeOrientation(value);
            };
            const auto main = platform::DispatchQueue::main();
            if (main->isCurrent()) return follow();
            main->async(std::move(follow));
        });
    didChangeObserver_ = center.addObserver(platform::kApplicationDidChangeStatusBarOrientationNotification, nullptr,
                                            [](const platform::Notification&) {});
}

void KNRecorder::unsubscribeFromStatusBarOrientationNotifications() {
    auto& center = platform::NotificationCenter::defaultCenter();
    if (const auto token = willChangeObserver_.exchange(0)) center.removeObserver(token);
    if (const auto token = didChangeObserver_.exchange(0)) center.removeObserver(token);
}

void KNRecorder::statusBarWillChangeOrientation(int64_t interfaceOrientation) {
    const auto settings = this->settings();
    if (!settings || settings->videoOrientation() != KNVideoOrientationAutorotate) return;
    KNLog::sharedInstance()->logInfoScope(
        "*** KNRecorder *** Will change orientation to: " + std::to_string(interfaceOrientation), KNLogScopeAll);
    internalRecorder_->updateVideoOrientationForOrientation(
        KNConverter::converter()->videoOrientationForInterfaceOrientation(interfaceOrientation));
}
