#include "platform/capture/CaptureSession.h"

#include <algorithm>

#include "platform/DispatchQueue.h"
#include "platform/LogRelay.h"
#include "platform/NotificationCenter.h"
#include "platform/capture/CaptureDevice.h"
#include "platform/capture/CaptureDeviceInput.h"
#include "platform/capture/CaptureTypes.h"
#include "platform/capture/CaptureVideoDataOutput.h"

namespace platform {

namespace {

bool knownPreset(const SessionPreset& preset) {
    for (const char* known : {kSessionPresetHigh, kSessionPresetMedium, kSessionPresetLow, kSessionPreset352x288,
                              kSessionPreset640x480, kSessionPreset1280x720, kSessionPreset1920x1080}) {
        if (preset == known) return true;
    }
    return false;
}

}  // namespace

struct CaptureSession::Targets {
    std::vector<std::shared_ptr<CaptureVideoDataOutput>> outputs;
    std::vector<FrameObserver> observers;
    std::shared_ptr<CaptureDevice> device;
};

std::shared_ptr<CaptureSession> CaptureSession::create() {
    return std::shared_ptr<CaptureSession>(new CaptureSession());
}

CaptureSession::CaptureSession() : preset_(kSessionPresetHigh), targets_(std::make_shared<Targets>()) {}

CaptureSession::~CaptureSession() {
    if (streaming_) streaming_->stopStreaming();
    for (auto& output : outputs_) output->setAttached(false);
}

SessionPreset CaptureSession::sessionPreset() const {
    std::lock_guard lock(mutex_);
    return preset_;
}

bool CaptureSession::canSetSessionPreset(const SessionPreset& preset) const {
    std::lock_guard lock(mutex_);
    if (inputs_.empty()) return knownPreset(preset);
    return inputs_.front()->device()->supportsSessionPreset(preset);
}

bool CaptureSession::setSessionPreset(const SessionPreset& preset) {
    std::unique_lock op(opMutex_);
    if (!canSetSessionPreset(preset)) {
        LogRelay::relay(LogRelay::Level::Warning,
                        "capture session: preset " + preset + " refused, the camera can't take it");
        return false;
    }
    std::shared_ptr<CaptureDevice> device;
    {
        std::lock_guard lock(mutex_);
        preset_ = preset;
        if (!inputs_.empty()) device = inputs_.front()->device();
    }
    if (device) device->applySessionPreset(preset);
    reconcileThenPost(op);
    return true;
}

std::vector<std::shared_ptr<CaptureDeviceInput>> CaptureSession::inputs() const {
    std::lock_guard lock(mutex_);
    return inputs_;
}

std::vector<std::shared_ptr<CaptureVideoDataOutput>> CaptureSession::outputs() const {
    std::lock_guard lock(mutex_);
    return outputs_;
}

bool CaptureSession::canAddInput(const std::shared_ptr<CaptureDeviceInput>& input) const {
    std::lock_guard lock(mutex_);
    return input && inputs_.empty() && !input->device()->isInUseByAnotherOwner();
}

bool CaptureSession::addInput(const std::shared_ptr<CaptureDeviceInput>& input) {
    std::unique_lock op(opMutex_);
    if (!canAddInput(input)) return false;
    SessionPreset preset;
    {
        std::lock_guard lock(mutex_);
        inputs_.push_back(input);
        preset = preset_;
    }
    input->device()->applySessionPreset(preset);
    reconcileThenPost(op);
    return true;
}

void CaptureSession::removeInput(const std::shared_ptr<CaptureDeviceInput>& input) {
    std::unique_lock op(opMutex_);
    {
        std::lock_guard lock(mutex_);
        auto it = std::find(inputs_.begin(), inputs_.end(), input);
        if (it == inputs_.end()) return;
        inputs_.erase(it);
    }
    reconcileThenPost(op);
}

bool CaptureSession::canAddOutput(const std::shared_ptr<CaptureVideoDataOutput>& output) const {
    std::lock_guard lock(mutex_);
    return output && outputs_.empty() && !output->connectionWithMediaType(MediaType::Video);
}

bool CaptureSession::addOutput(const std::shared_ptr<CaptureVideoDataOutput>& output) {
    std::unique_lock op(opMutex_);
    if (!canAddOutput(output)) return false;
    {
        std::lock_guard lock(mutex_);
        outputs_.push_back(output);
    }
    output->setAttached(true);
    reconcileThenPost(op);
    return true;
}

void CaptureSession::removeOutput(const std::shared_ptr<CaptureVideoDataOutput>& output) {
    std::unique_lock op(opMutex_);
    {
        std::lock_guard lock(mutex_);
        auto it = std::find(outputs_.begin(), outputs_.end(), output);
        if (it == outputs_.end()) return;
        outputs_.erase(it);
    }
    output->setAttached(false);
    std::vector<std::function<void()>> posts;
    reconcile(posts);
    op.unlock();
    output->stopDelivery();
    postAll(posts);
}

void CaptureSession::beginConfiguration() {
    std::unique_lock op(opMutex_);
    std::lock_guard lock(mutex_);
    ++configurationDepth_;
}

void CaptureSession::commitConfiguration() {
    std::unique_lock op(opMutex_);
    {
        std::lock_guard lock(mutex_);
        if (configurationDepth_ == 0) return;
        --configurationDepth_;
    }
    reconcileThenPost(op);
}

void CaptureSession::startRunning() {
    std::unique_lock op(opMutex_);
    {
        std::lock_guard lock(mutex_);
        if (running_) return;
        running_ = true;
    }
    reconcileThenPost(op, {[self = shared_from_this()] {
        NotificationCenter::defaultCenter().post(kCaptureSessionDidStartRunningNotification, self);
    }});
}

void CaptureSession::stopRunning() {
    std::unique_lock op(opMutex_);
    {
        std::lock_guard lock(mutex_);
        if (!running_) return;
        running_ = false;
    }
    std::vector<std::function<void()>> posts;
    reconcile(posts);
    posts.push_back([self = shared_from_this()] {
        NotificationCenter::defaultCenter().post(kCaptureSessionDidStopRunningNotification, self);
    });
    op.unlock();
    postAll(posts);
}

bool CaptureSession::isRunning() const {
    std::lock_guard lock(mutex_);
    return running_;
}

uint64_t CaptureSession::addFrameObserver(FrameObserver observer) {
    std::unique_lock op(opMutex_);
    uint64_t token = 0;
    {
        std::lock_guard lock(mutex_);
        token = nextObserverToken_++;
        observers_.emplace_back(token, std::move(observer));
    }
    publishTargets();
    return token;
}

void CaptureSession::removeFrameObserver(uint64_t token) {
    std::unique_lock op(opMutex_);
    {
        std::lock_guard lock(mutex_);
        std::erase_if(observers_, [token](const auto& entry) { return entry.first == token; });
    }
    publishTargets();
}

void CaptureSession::publishTargets() {
    auto targets = std::make_shared<Targets>();
    {
        std::lock_guard lock(mutex_);
        targets->outputs = outputs_;
        for (auto& entry : observers_) targets->observers.push_back(entry.second);
        targets->device = streaming_;
    }
    std::lock_guard lock(targetsMutex_);
    targets_ = std::move(targets);
}

void CaptureSession::reconcile(std::vector<std::function<void()>>& posts) {
    std::shared_ptr<CaptureDevice> wanted;
    std::shared_ptr<CaptureDevice> current;
    std::vector<std::shared_ptr<CaptureVideoDataOutput>> outputs;
    bool running = false;
    {
        std::lock_guard lock(mutex_);
        if (configurationDepth_ > 0) return;
        running = running_;
        if (running_ && !inputs_.empty()) wanted = inputs_.front()->device();
        current = streaming_;
        outputs = outputs_;
    }
    if (current && current != wanted) {
        current->stopStreaming();
        std::lock_guard lock(mutex_);
        streaming_ = nullptr;
    }
    for (auto& output : outputs) {
        if (running) output->startDelivery();
        else output->stopDelivery();
    }
    if (wanted && wanted != current) {
        std::weak_ptr<CaptureSession> weak = weak_from_this();
        auto sink = [weak](const std::shared_ptr<PixelBuffer>& frame, MediaTime time) {
            if (auto self = weak.lock()) self->deliver(frame, time);
        };
        auto failure = [weak](const CaptureError& error) {
            if (auto self = weak.lock()) self->failed(error);
        };
        {
            std::lock_guard lock(mutex_);
            streaming_ = wanted;
        }
        publishTargets();
        if (!wanted->startStreaming(sink, failure)) {
            {
                std::lock_guard lock(mutex_);
                streaming_ = nullptr;
            }
            CaptureError error{kCaptureErrorDeviceFailed, "the camera could not start"};
            posts.push_back([self = shared_from_this(), error] {
                NotificationCenter::defaultCenter().post(kCaptureSessionRuntimeErrorNotification, self,
                                                         {{kCaptureSessionErrorKey, error}});
            });
        }
    }
    publishTargets();
}

void CaptureSession::deliver(const std::shared_ptr<PixelBuffer>& frame, MediaTime presentationTime) {
    std::shared_ptr<const Targets> targets;
    {
        std::lock_guard lock(targetsMutex_);
        targets = targets_;
    }
    for (const auto& observer : targets->observers) observer(frame, presentationTime);
    if (targets->outputs.empty()) return;
    const MediaTime duration = targets->device ? targets->device->activeVideoMinFrameDuration() : MediaTime::invalid();
    for (const auto& output : targets->outputs) output->deliver(frame, presentationTime, duration);
}

void CaptureSession::failed(const CaptureError& error) {
    // On the capture thread, which stopping would join: leave it first.
    DispatchQueue::global()->async([weak = weak_from_this(), error] {
        auto self = weak.lock();
        if (!self) return;
        NotificationCenter::defaultCenter().post(kCaptureSessionRuntimeErrorNotification, self,
                                                 {{kCaptureSessionErrorKey, error}});
        self->stopRunning();
    });
}

void CaptureSession::reconcileThenPost(std::unique_lock<std::recursive_mutex>& op,
                                       std::vector<std::function<void()>> posts) {
    reconcile(posts);
    op.unlock();
    postAll(posts);
}

void CaptureSession::postAll(std::vector<std::function<void()>>& posts) {
    for (auto& post : posts) post();
    posts.clear();
}

}  // namespace platform
