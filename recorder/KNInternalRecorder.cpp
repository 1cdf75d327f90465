#include "recorder/KNInternalRecorder.h"

#include <utility>

#include "core/KNLog.h"
#include "kestrune/KNError.h"
#include "kestrune/KNInfo.h"
#include "kestrune/KNRecorderSettings.h"
#include "kestrune/KNRecordingUtils.h"
#include "kestrune/KNStreamInfo.h"
#include "kestrune/KNWarning.h"

namespace {

// Holds the most recently made hub until an endSession(). Never destroyed: a hub that is still
// held when the process exits is not torn down by an exit handler, after the threads' own data is
// gone, and a recorder let go during exit still finds the holder to clear.
struct CurrentRecorder {
    std::mutex mutex;
    std::shared_ptr<KNInternalRecorder> recorder;
};

CurrentRecorder& currentRecorder() {
    static auto* held = new CurrentRecorder();
    return *held;
}

void setCurrentRecorder(std::shared_ptr<KNInternalRecorder> recorder) {
    auto& held = currentRecorder();
    std::shared_ptr<KNInternalRecorder> previous;
    {
        std::lock_guard lock(held.mutex);
        previous = std::exchange(held.recorder, std::move(recorder));
    }
    // `previous` may be the last owner of a hub: it goes outside the lock.
}

void onMainQueue(std::function<void()> work) { platform::DispatchQueue::main()->async(std::move(work)); }

// The recorder's own notes follow the log settings, as every line of the library does.
void console(const std::string& line) { KNLog::sharedInstance()->logInfoScope(line, KNLogScopeAll); }

}  // namespace

KNInternalRecorder::KNInternalRecorder(std::shared_ptr<KNInternalRecorderComponents> components)
    : components_(std::move(components)) {}

std::shared_ptr<KNInternalRecorder> KNInternalRecorder::internalRecorder() {
    return internalRecorderWithComponents(KNInternalRecorderComponents::current());
}

std::shared_ptr<KNInternalRecorder> KNInternalRecorder::internalRecorderWithComponents(
    std::shared_ptr<KNInternalRecorderComponents> components) {
    auto hub = std::make_shared<KNInternalRecorder>(std::move(components));
    hub->setupDefaults();
    hub->setupRecorderPipeline();
    hub->setupCaptureSession();
    hub->audioCapture_ = hub->components_->makeAudioCapture();
    if (hub->audioCapture_) {
        hub->audioCapture_->setListener(hub);
        hub->audioCapture_->setRunning(true);
    }
    return hub;
}

std::shared_ptr<KNInternalRecorder> KNInternalRecorder::currentRecorderForTesting() {
    auto& held = currentRecorder();
    std::lock_guard lock(held.mutex);
    return held.recorder;
}

KNInternalRecorder::~KNInternalRecorder() {
    if (reachability_) reachability_->stopMonitoring();
    console("*** Internal Recorder *** [dealloc]");
}

void KNInternalRecorder::setupDefaults() {
    setCurrentRecorder(shared_from_this());
    setupReachability();
    recordingUtils_ = KNRecordingUtils::recordingUtils();
}

void KNInternalRecorder::setupReachability() {
    reachability_ = components_->makeReachability();
    if (!reachability_) return;
    reachability_->startMonitoring([weak = weak_from_this()](KNNetworkStatus status) {
        auto self = weak.lock();
        if (!self) return;
        // The status first: a main queue that runs at once must not report the stop before it.
        self->forwardDidChangeNetworkStatus(status);
        if (status == KNNetworkStatusNotReachable) onMainQueue([self] { self->stopStreaming(); });
    });
}

void KNInternalRecorder::setupRecorderPipeline() {
    streamSourcesManager_ = components_->makeStreamSources();
    streamSourcesManager_->setDelegate(weak_from_this());
    nH264Encoder_ = components_->makeVideoEncoder();
    nH264Encoder_->setDelegate(weak_from_this());
    nAACEncoder_ = components_->makeAudioEncoder();
    nAACEncoder_->setDelegate(weak_from_this());
    videoSettingsValidator_ = components_->makeValidator();
    localSaver_ = components_->makeLocalSaver();
    if (localSaver_) localSaver_->setListener(weak_from_this());
}

void KNInternalRecorder::setupCaptureSession() {
    auto session = components_->makeCaptureSession();
    if (session) session->setListener(weak_from_this(), nH264Encoder_->encodingQueue());
    std::lock_guard lock(mutex_);
    captureSession_ = std::move(session);
    observingCaptureSession_ = captureSession_ != nullptr;
}

std::shared_ptr<KNHubCaptureSession> KNInternalRecorder::captureSession() const {
    std::lock_guard lock(mutex_);
    return captureSession_;
}

std::shared_ptr<KNRecorderSettings> KNInternalRecorder::settings() const {
    std::lock_guard lock(mutex_);
    return settings_;
}

std::shared_ptr<KNInternalRecorderDelegate> KNInternalRecorder::internalRecorderDelegate() const {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
}

void KNInternalRecorder::setInternalRecorderDelegate(std::weak_ptr<KNInternalRecorderDelegate> delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
}

bool KNInternalRecorder::refuseWhileActive() {
    if (!isActive()) return false;
    forwardWarning(KNWarning::warningWithCodesMessage({0}, "Operation not allowed while streaming."));
    return true;
}

bool KNInternalRecorder::setupWithStreamInfo(std::shared_ptr<KNStreamInfo> info) {
    if (refuseWhileActive()) return false;
    streamSourcesManager_->addSourceWithStreamInfo(std::move(info));
    return true;
}

bool KNInternalRecorder::changeStreamInfoWithNewStreamInfo(const std::shared_ptr<KNStreamInfo>& oldInfo,
                                                           std::shared_ptr<KNStreamInfo> newInfo) {
    if (refuseWhileActive()) return false;
    // The listed destination itself, so that one switched on is closed and not left publishing.
    for (const auto& source : streamSourcesManager_->streamSources()) {
        const auto info = source->streamInfo();
        if (info && info->isEqual(oldInfo)) {
            streamSourcesManager_->closeConnectionToSource(source);
            streamSourcesManager_->removeSource(source);
            break;
        }
    }
    streamSourcesManager_->addSourceWithStreamInfo(std::move(newInfo));
    return true;
}

bool KNInternalRecorder::setupWithSettings(std::shared_ptr<KNRecorderSettings> settings) {
    if (refuseWhileActive()) return false;
    if (!settings) return false;
    {
        std::lock_guard lock(mutex_);
        settings_ = settings;
    }
    changeCameraCompletion(settings->currentCamera(), nullptr);
    changeRecordingModeWithCompletion(settings->recordingMode(), nullptr);
    changeVideoResolutionCompletion(settings->videoFrameResolution(), nullptr);
    changeVideoBitrateCompletion(settings->videoBitrate(), nullptr);
    changeAudioSampleRateCompletion(static_cast<double>(settings->audioSampleRate()), nullptr);
    changeFrameRateCompletion(settings->frameRate(), nullptr);
    changeKeyFrameIntervalCompletion(settings->keyFrameInterval(), nullptr);
    updateVideoOrientationForOrientation(settings->videoOrientation());
    changeTorchModeCompletion(settings->torchMode(), nullptr);
    videoFrameInverted_ = settings->videoFrameResolutionInverted();
    isSendingAudio_ = settings->isRecordingAudio();
    isSendingVideo_ = settings->isRecordingVideo();
    if (audioCapture_) audioCapture_->setConfigureAudioSessionManually(settings->configureAudioSessionManually());
    setMetadata();
    return true;
}

void KNInternalRecorder::startCamera() {
    const auto settings = this->settings();
    if (auto session = captureSession()) {
        session->setAutomaticallyConfiguresApplicationAudioSession(!settings ||
                                                                   !settings->configureAudioSessionManually());
        session->startRunning();
    }
    if (audioCapture_) audioCapture_->setRunning(true);
    // The set-up's own audio-session changes are heard while idle: heard later, the category
    // change would stop the stream the host starts next.
    if (audioCapture_) audioCapture_->settleSessionChanges();
}

void KNInternalRecorder::endSession() {
    observingCaptureSession_ = false;
    if (audioCapture_) audioCapture_->endSession();
    std::shared_ptr<KNHubCaptureSession> session;
    {
        std::lock_guard lock(mutex_);
        session = std::move(captureSession_);
    }
    if (session) {
        session->stopCapture();
        session->removeAllInputsAndOutputs();
        session->removePreview();
    }
    setCurrentRecorder(nullptr);
}

void KNInternalRecorder::setupWithCaptureView(const std::shared_ptr<platform::View>& view) {
    if (auto session = captureSession()) session->changePreview(view);
}

void KNInternalRecorder::addTapToFocusFeatureWithManager(std::shared_ptr<CameraFocusManager> manager) {
    if (auto session = captureSession()) session->attachTapToFocus(std::move(manager));
}

void KNInternalRecorder::removeTapToFocusFeature() {
    if (auto session = captureSession()) session->attachTapToFocus(nullptr);
}

platform::Range KNInternalRecorder::getZoomRange() const {
    const auto session = captureSession();
    return session ? session->getZoomRange() : platform::Range{1, 1};
}

double KNInternalRecorder::getZoom() const {
    const auto session = captureSession();
    return session ? session->getZoom() : 0.0;
}

void KNInternalRecorder::setZoomError(double zoom, std::shared_ptr<KNError>* error) {
    if (auto session = captureSession()) return session->setZoomError(zoom, error);
    if (error) *error = KNError::errorWithCodesMessage({2002}, "Could not set camera zoom");
}

bool KNInternalRecorder::hasInternetConnection() { return !reachability_ || reachability_->isReachable(); }

void KNInternalRecorder::changeRecordingState(int64_t state) {
    {
        std::lock_guard lock(mutex_);
        setStateLocked(state);
    }
    deliverStateReports();
}

void KNInternalRecorder::setStateLocked(int64_t state) {
    recordingState_ = state;
    pendingStateReports_.push_back(state);
}

// Reports leave in the order the state changed and never under the lock: whoever finds none on
// their way out delivers every one queued, so a stop on another thread can't overtake the start's
// report, and a host that stops from inside a report hears the stop once its report returns.
void KNInternalRecorder::deliverStateReports() {
    {
        std::lock_guard lock(mutex_);
        if (deliveringStateReports_) return;
        deliveringStateReports_ = true;
    }
    for (;;) {
        int64_t state = 0;
        {
            std::lock_guard lock(mutex_);
            if (pendingStateReports_.empty()) {
                deliveringStateReports_ = false;
                return;
            }
            state = pendingStateReports_.front();
            pendingStateReports_.erase(pendingStateReports_.begin());
        }
        if (auto delegate = internalRecorderDelegate()) delegate->recorderDidChangeState(this, state);
    }
}

KNInternalRecorder::Completion KNInternalRecorder::takeStartStreamCompletion() {
    std::lock_guard lock(mutex_);
    return std::exchange(startStreamCompletion_, nullptr);
}

// Taken at once, so an answer queued for one start can never reach the completion of the next.
void KNInternalRecorder::answerHeldStartOnMainQueue(bool success, std::shared_ptr<KNError> error) {
    auto completion = takeStartStreamCompletion();
    if (!completion) return;
    onMainQueue([completion = std::move(completion), success, error] { completion(success, error); });
}

void KNInternalRecorder::startStreamingWithCompletion(Completion completion) {
    if (!hasInternetConnection()) {
        if (completion) completion(false, KNError::errorWithCodesMessage({11004}, "There is no internet connection"));
        return;
    }
    // Without a camera the road would stream no picture and report nothing.
    if (isSendingVideo_ && !components_->cameraAuthorized()) {
        if (completion) completion(false, KNError::errorWithCodesMessage({1002}, "No camera access."));
        return;
    }
    bool refused = false;
    {
        // The claim and the holding of the completion are one step, so a stop claims a start
        // together with its completion: never one without the other.
        std::lock_guard lock(mutex_);
        refused = recordingState_.load() != KNRecorderStateIdle;
        if (!refused) {
            setStateLocked(KNRecorderStateStarting);
            stopRequested_ = false;
            startStreamCompletion_ = completion;
        }
    }
    if (refused) {
        if (completion) {
            completion(false, KNError::errorWithCodesMessage({11005}, "*** Recorder *** Recorder is already streaming."));
        }
        return;
    }
    deliverStateReports();
    components_->setIdleTimerDisabled(true);
    const auto stopAsked = [this] {
        std::lock_guard lock(mutex_);
        return stopRequested_;
    };
    // A stop that came in already spares the destinations a connection it would leave behind.
    if (recorderType_ == 0 && !stopAsked()) streamSourcesManager_->establishConnectionToAllSources();
    if (auto session = captureSession(); session && !session->isRunning() && !stopAsked()) session->startRunning();
    if (!stopAsked()) startEncoders();
    Completion held;
    bool stop = false;
    {
        std::lock_guard lock(mutex_);
        stop = stopRequested_;
        stopRequested_ = false;
        if (stop) {
            setStateLocked(KNRecorderStateStopping);
            held = std::exchange(startStreamCompletion_, nullptr);
        } else {
            setStateLocked(KNRecorderStateStreaming);
        }
    }
    if (stop) return finishStop(std::move(held));
    deliverStateReports();
    // A destination still connected from before never reports a first connection again.
    if (!streamSourcesManager_->connectedStreamSources().empty()) answerHeldStartOnMainQueue(true, nullptr);
}

void KNInternalRecorder::stopStreaming() {
    Completion held;
    {
        std::lock_guard lock(mutex_);
        const int64_t state = recordingState_.load();
        if (state == KNRecorderStateStarting) {
            // Waiting for the start here could wait on the very thread that runs it.
            stopRequested_ = true;
            return;
        }
        if (state != KNRecorderStateStreaming) return;
        setStateLocked(KNRecorderStateStopping);
        held = std::exchange(startStreamCompletion_, nullptr);
    }
    finishStop(std::move(held));
}

void KNInternalRecorder::finishStop(Completion held) {
    deliverStateReports();
    // A destination connecting after this must not report success for a stream that ended.
    if (held) {
        auto stopped = KNError::errorWithCodesMessage({11001}, "Streaming stopped before a destination connected.");
        onMainQueue([held = std::move(held), stopped] { held(false, stopped); });
    }
    stopEncodersUnlessNeeded();
    streamSourcesManager_->closeConnectionOnAllSources();
    stopAdaptiveBitrateService();
    changeRecordingState(KNRecorderStateIdle);
    onMainQueue([self = shared_from_this()] {
        // A start that followed at once keeps the screen awake.
        if (self->recordingState() == KNRecorderStateIdle) self->components_->setIdleTimerDisabled(false);
    });
}

bool KNInternalRecorder::stopEncodersUnlessNeeded() {
    std::lock_guard encoders(encoderMutex_);
    {
        std::lock_guard lock(mutex_);
        const int64_t state = recordingState_.load();
        if (state == KNRecorderStateStarting || state == KNRecorderStateStreaming || recordingRequested_) return false;
    }
    encodersRunning_ = false;
    nH264Encoder_->stopEncoding();
    nAACEncoder_->stopEncoding();
    return true;
}

// Both encoders' queues run in call order: a task queued behind their stops runs once the last
// output is out.
void KNInternalRecorder::afterEncodersDrained(std::function<void()> then) {
    auto audioQueue = nAACEncoder_->encoderQueue();
    nH264Encoder_->encodingQueue()->async([audioQueue, then = std::move(then)]() mutable {
        audioQueue->async(std::move(then));
    });
}

void KNInternalRecorder::forwardInfo(const std::shared_ptr<KNInfo>& info) {
    if (auto delegate = internalRecorderDelegate()) delegate->recorderDidReceiveInfo(this, info);
}

void KNInternalRecorder::forwardWarning(const std::shared_ptr<KNWarning>& warning) {
    if (auto delegate = internalRecorderDelegate()) delegate->recorderDidReceiveWarning(this, warning);
}

void KNInternalRecorder::forwardError(const std::shared_ptr<KNError>& error) {
    if (auto delegate = internalRecorderDelegate()) delegate->recorderDidReceiveError(this, error);
}

void KNInternalRecorder::forwardDidChangeNetworkStatus(int64_t status) {
    if (auto delegate = internalRecorderDelegate()) delegate->recorderDidChangeNetworkStatus(this, status);
}

void KNInternalRecorder::streamSourcesManagerFirstStreamDidConnect(KNStreamSourcesManager*) {
    answerHeldStartOnMainQueue(true, nullptr);
}

void KNInternalRecorder::streamSourcesManagerStreamSourceDidFailConnectingWithError(
    KNStreamSourcesManager*, const std::shared_ptr<KNStreamSource>&, const std::shared_ptr<KNError>& error) {
    auto failure = KNError::errorWithCodesMessage({80001}, error ? error->message() : std::nullopt);
    forwardError(failure);
    auto completion = takeStartStreamCompletion();
    if (!completion) return;  // a destination connected already: the others go on
    onMainQueue([self = shared_from_this(), completion = std::move(completion), failure] {
        self->stopStreaming();
        completion(false, failure);
    });
}

void KNInternalRecorder::H264EncoderDidFailStartingWithError(KNH264Encoder*, const std::shared_ptr<KNError>& error) {
    onMainQueue([self = shared_from_this()] { self->stopStreaming(); });
    forwardError(KNError::errorWithCodesMessage({70001}, error ? error->message() : std::nullopt));
}

void KNInternalRecorder::H264EncoderDidFailEncodingWithError(KNH264Encoder*, const std::shared_ptr<KNError>&) {}

void KNInternalRecorder::AACEncoderDidFailEncodingWithError(KNAACEncoderBase*, std::shared_ptr<KNError> error) {
    if (!error || error->errorCodes().empty()) return;
    const int64_t code = error->errorCodes().front();
    if (code < 50000 || code > 50002) return;
    onMainQueue([self = shared_from_this(), error] {
        self->stopStreaming();
        self->forwardError(KNError::errorWithCodesMessage({60001}, error->message()));
    });
}

void KNInternalRecorder::captureOutputRouteDidChange() { stopStreaming(); }

void KNInternalRecorder::captureSessionDidStartRunning() {
    if (!observingCaptureSession_) return;
    console("*** Recorder *** AVCaptureSession - did start running.");
    if (audioCapture_) audioCapture_->setRunning(true);
    forwardInfo(KNInfo::infoWithCodesMessage({1001}, "The capture session did start running."));
}

void KNInternalRecorder::captureSessionDidStopRunning() {
    if (!observingCaptureSession_) return;
    console("*** Recorder *** AVCaptureSession - stopping...");
    stopStreaming();
    if (audioCapture_) audioCapture_->setRunning(false);
    console("*** Recorder *** AVCaptureSession - did stop running.");
    forwardInfo(KNInfo::infoWithCodesMessage({1002}, "The capture session did stop running."));
}

void KNInternalRecorder::captureSessionRuntimeError(const std::string& description) {
    if (!observingCaptureSession_) return;
    KNLog::sharedInstance()->logErrorScope("*** Recorder *** AVCaptureSession error occured. " + description,
                                           KNLogScopeAll);
    forwardError(KNError::errorWithCodesMessage({10001}, "An error has occured in the internal capture session."));
}
