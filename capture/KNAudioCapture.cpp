#include "capture/KNAudioCapture.h"

#include <any>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "core/KNNumeric.h"
#include "platform/audio/AudioSession.h"

const char* const LFAudioComponentFailedToCreateNotification = "LFAudioComponentFailedToCreateNotification";

namespace {

using platform::AudioSession;
using platform::MediaStatus;

// 0x19: mixes with others, plays to the speaker, interrupts spoken audio; no Bluetooth.
constexpr uint64_t kRecordingCategoryOptions = platform::kAudioSessionCategoryOptionMixWithOthers |
                                               platform::kAudioSessionCategoryOptionDefaultToSpeaker |
                                               platform::kAudioSessionCategoryOptionInterruptSpokenAudioAndMixWithOthers;

int64_t integerFor(const platform::UserInfo& userInfo, const char* key) {
    auto it = userInfo.find(key);
    if (it == userInfo.end()) return 0;
    if (const auto* value = std::any_cast<int64_t>(&it->second)) return *value;
    if (const auto* value = std::any_cast<int>(&it->second)) return *value;
    if (const auto* value = std::any_cast<uint64_t>(&it->second)) return static_cast<int64_t>(*value);
    return 0;
}

const char* routeChangeText(int64_t reason) {
    switch (reason) {
        case platform::kAudioSessionRouteChangeReasonNewDeviceAvailable:
            return "A preferred new audio output path is now available.";
        case platform::kAudioSessionRouteChangeReasonOldDeviceUnavailable:
            return "The previous audio output path is no longer available.";
        case platform::kAudioSessionRouteChangeReasonCategoryChange:
            return "The category of the session object changed.";
        case platform::kAudioSessionRouteChangeReasonOverride:
            return "The output route was overridden by the app.";
        case platform::kAudioSessionRouteChangeReasonWakeFromSleep:
            return "The route changed when the device woke up from sleep.";
        case platform::kAudioSessionRouteChangeReasonNoSuitableRouteForCategory:
            return "The route changed because no suitable route is now available for the specified category.";
        default:
            return "The reason for the change is unknown.";
    }
}

// The unit calls, on a unit that may have been disposed of.
MediaStatus unitStart(const std::shared_ptr<platform::AudioInputUnit>& unit) {
    return unit ? unit->start() : platform::kMediaErrParam;
}
MediaStatus unitStop(const std::shared_ptr<platform::AudioInputUnit>& unit) {
    return unit ? unit->stop() : platform::kMediaErrParam;
}

}  // namespace

KNAudioCapture::KNAudioCapture() : taskQueue_(platform::DispatchQueue::createSerial("com.kestrune.audioCapture.Queue")) {}

std::shared_ptr<KNAudioCapture> KNAudioCapture::createWithAudioConfiguration() {
    auto capture = std::make_shared<KNAudioCapture>();
    capture->observeAudioSession();
    capture->setUpUnit();
    return capture;
}

KNAudioCapture::~KNAudioCapture() { disposeSession(); }

void KNAudioCapture::observeAudioSession() {
    std::weak_ptr<KNAudioCapture> weakSelf = weak_from_this();
    auto& center = platform::NotificationCenter::defaultCenter();
    auto session = AudioSession::shared();
    const auto routeChange = center.addObserver(platform::kAudioSessionRouteChangeNotification, session,
                                                [weakSelf](const platform::Notification& notification) {
                                                    if (auto self = weakSelf.lock()) self->handleRouteChange(notification);
                                                });
    const auto interruption = center.addObserver(platform::kAudioSessionInterruptionNotification, session,
                                                 [weakSelf](const platform::Notification& notification) {
                                                     if (auto self = weakSelf.lock()) self->handleInterruption(notification);
                                                 });
    std::lock_guard lock(mutex_);
    routeChangeToken_ = routeChange;
    interruptionToken_ = interruption;
}

void KNAudioCapture::setUpUnit() {
    platform::AudioComponentDescription description;
    description.componentType = platform::kAudioUnitTypeOutput;
    description.componentSubType = platform::kAudioUnitSubTypeMicrophoneIO;
    description.componentManufacturer = platform::kAudioUnitManufacturerSystem;
    // Read before the unit holds the device, which the session may have to open to learn its rate.
    const double sampleRate = std::trunc(AudioSession::shared()->sampleRate());
    auto component = platform::AudioComponent::findNext(nullptr, description);
    std::shared_ptr<platform::AudioInputUnit> unit;
    const MediaStatus created = component ? component->instanceNew(&unit) : platform::kAudioUnitErrNoDevice;
    if (created != platform::kMediaNoErr) handleAudioComponentCreationFailure();

    deliveredSampleRate_.store(KNSaturatingCast<uint64_t>(sampleRate));
    MediaStatus initialized = platform::kMediaErrParam;
    if (unit) {
        // The three property statuses are not examined: initialize() reports what matters.
        unit->setEnableInput(platform::kAudioUnitInputBus, true);
        unit->setStreamFormat(platform::kAudioUnitInputBus, platform::AudioStreamDescription::pcmInt16(sampleRate, 1));
        unit->setInputCallback(platform::kAudioUnitInputBus, &KNAudioCapture::handleInputBuffer, this);
        // From the capture thread, which must not hold the capture: the report goes through the queue.
        unit->setDeviceFailureHandler([weakSelf = weak_from_this(), queue = taskQueue_](MediaStatus reason) {
            queue->async([weakSelf, reason] {
                if (auto self = weakSelf.lock()) self->handleDeviceFailure(reason);
            });
        });
        initialized = unit->initialize();
        // A device that can't run at the session's rate delivers its own: say so, never relabel it.
        if (initialized == platform::kMediaNoErr) {
            deliveredSampleRate_.store(KNSaturatingCast<uint64_t>(unit->deliveredSampleRate()));
        }
    }
    if (initialized != platform::kMediaNoErr) handleAudioComponentCreationFailure();
    std::lock_guard lock(mutex_);
    component_ = std::move(component);
    componetInstance_ = std::move(unit);
}

std::shared_ptr<KNAudioCaptureDelegate> KNAudioCapture::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
}

void KNAudioCapture::setDelegate(std::weak_ptr<KNAudioCaptureDelegate> delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
}

std::shared_ptr<platform::AudioInputUnit> KNAudioCapture::componetInstance() const {
    std::lock_guard lock(mutex_);
    return componetInstance_;
}

std::shared_ptr<platform::AudioComponent> KNAudioCapture::component() const {
    std::lock_guard lock(mutex_);
    return component_;
}

void KNAudioCapture::setRunning(bool running) {
    if (running_.exchange(running) == running) return;
    if (running) {
        std::weak_ptr<KNAudioCapture> weakSelf = weak_from_this();
        taskQueue_->async([weakSelf] {
            if (auto self = weakSelf.lock()) self->startUnit();
        });
        return;
    }
    taskQueue_->sync([this] {
        isRunning_.store(false);
        unitStop(componetInstance());
    });
}

void KNAudioCapture::startUnit() {
    isRunning_.store(true);
    if (!configureAudioSessionManually_.load()) {
        AudioSession::shared()->setCategoryWithOptions(platform::kAudioSessionCategoryPlayAndRecord,
                                                       kRecordingCategoryOptions);
    }
    const MediaStatus status = unitStart(componetInstance());
    std::fprintf(stderr, "STATUS: %d\n", static_cast<int>(status));
}

void KNAudioCapture::setConfigureAudioSessionManually(bool manually) {
    configureAudioSessionManually_.store(manually);
    if (!manually) configureAudioSession();
}

void KNAudioCapture::configureAudioSession() {
    auto session = AudioSession::shared();
    session->setPreferredSampleRate(std::trunc(session->sampleRate()));
    session->setCategoryWithOptions(platform::kAudioSessionCategoryPlayAndRecord, kRecordingCategoryOptions);
    session->setActiveWithOptions(true, platform::kAudioSessionSetActiveOptionNotifyOthersOnDeactivation);
    session->setActive(true);
}

void KNAudioCapture::endSession() { disposeSession(); }

void KNAudioCapture::disposeSession() {
    {
        std::lock_guard lock(mutex_);
        auto& center = platform::NotificationCenter::defaultCenter();
        center.removeObserver(routeChangeToken_);
        center.removeObserver(interruptionToken_);
        routeChangeToken_ = 0;
        interruptionToken_ = 0;
    }
    auto dispose = [this] {
        std::shared_ptr<platform::AudioInputUnit> unit = componetInstance();
        if (!unit) return;
        isRunning_.store(false);
        unit->stop();
        std::lock_guard lock(mutex_);
        componetInstance_.reset();
        component_.reset();
    };
    // The last owner may let go inside one of the queue's own tasks.
    if (taskQueue_->isCurrent()) {
        dispose();
    } else {
        taskQueue_->sync(dispose);
    }
}

void KNAudioCapture::handleAudioComponentCreationFailure() {
    platform::DispatchQueue::main()->async(
        [] { platform::NotificationCenter::defaultCenter().post(LFAudioComponentFailedToCreateNotification); });
}

void KNAudioCapture::handleDeviceFailure(MediaStatus reason) {
    std::fprintf(stderr, "MicrophoneSource: the device went away (%d)\n", static_cast<int>(reason));
    isRunning_.store(false);
    running_.store(false);
    // Collects the run the device ended and lets the device go; a later start tries afresh.
    unitStop(componetInstance());
    handleAudioComponentCreationFailure();
    if (auto delegate = this->delegate()) delegate->captureOutputDidFail(this);
}

void KNAudioCapture::handleInterruption(const platform::Notification& notification) {
    if (notification.name != platform::kAudioSessionInterruptionNotification) return;
    const int64_t type = integerFor(notification.userInfo, platform::kAudioSessionInterruptionTypeKey);
    const char* reason = "";
    if (type == platform::kAudioSessionInterruptionTypeBegan) {
        if (isRunning_.load()) {
            taskQueue_->sync([this] {
                std::fprintf(stderr, "MicrophoneSource: stopRunning\n");
                unitStop(componetInstance());
            });
        }
    } else if (type == platform::kAudioSessionInterruptionTypeEnded) {
        const int64_t option = integerFor(notification.userInfo, platform::kAudioSessionInterruptionOptionKey);
        if (option == platform::kAudioSessionInterruptionOptionShouldResume && isRunning_.load()) {
            std::weak_ptr<KNAudioCapture> weakSelf = weak_from_this();
            taskQueue_->async([weakSelf] {
                auto self = weakSelf.lock();
                // A stop that came in between wins: it ran on this queue and cleared the flag.
                if (!self || !self->isRunning_.load()) return;
                std::fprintf(stderr, "MicrophoneSource: startRunning\n");
                unitStart(self->componetInstance());
            });
        }
        reason = "AVAudioSessionInterruptionTypeEnded";
    }
    std::fprintf(stderr, "handleInterruption: %s reason %s\n", notification.name.c_str(), reason);
}

void KNAudioCapture::handleRouteChange(const platform::Notification& notification) {
    const int64_t reason = integerFor(notification.userInfo, platform::kAudioSessionRouteChangeReasonKey);
    if (reason == platform::kAudioSessionRouteChangeReasonCategoryChange) {
        if (auto delegate = this->delegate()) delegate->captureOutputRouteDidChage(this);
    }
    std::fprintf(stderr, "handleRouteChange reason is %s\n", routeChangeText(reason));
}

MediaStatus KNAudioCapture::handleInputBuffer(void* refCon, platform::AudioUnitRenderActionFlags* flags,
                                              const platform::AudioTimeStamp* timeStamp, uint32_t bus, uint32_t frames,
                                              platform::AudioBufferList* /*ioData*/) {
    auto* self = static_cast<KNAudioCapture*>(refCon);
    if (!self) return -1;
    platform::AudioBufferList buffers;
    buffers.numberBuffers = 1;
    buffers.buffers[0].numberChannels = 1;
    buffers.buffers[0].dataByteSize = 0;
    buffers.buffers[0].data = nullptr;
    auto unit = self->componetInstance();
    const MediaStatus status = unit ? unit->render(flags, timeStamp, bus, frames, &buffers) : platform::kMediaErrParam;
    if (self->muted_.load()) {
        for (uint32_t i = 0; i < buffers.numberBuffers; ++i) {
            // Points into the unit's own period memory, which the unit lends until we return.
            if (buffers.buffers[i].data) std::memset(buffers.buffers[i].data, 0, buffers.buffers[i].dataByteSize);
        }
    }
    if (status == platform::kMediaNoErr) self->deliver(buffers, *timeStamp);
    return status;
}

void KNAudioCapture::deliver(const platform::AudioBufferList& buffers, const platform::AudioTimeStamp& timeStamp) {
    auto delegate = this->delegate();
    if (!delegate) return;
    const auto* bytes = static_cast<const uint8_t*>(buffers.buffers[0].data);
    auto data = std::make_shared<const std::vector<uint8_t>>(bytes, bytes + (bytes ? buffers.buffers[0].dataByteSize : 0));
    delegate->captureOutputAudioDataTimestamp(this, data, KNSaturatingCast<uint64_t>(timeStamp.sampleTime));
}
