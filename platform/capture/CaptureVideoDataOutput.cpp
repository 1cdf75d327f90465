#include "platform/capture/CaptureVideoDataOutput.h"

#include "platform/capture/PixelRotator.h"
#include "platform/media/SampleBuffer.h"

namespace platform {

std::shared_ptr<CaptureVideoDataOutput> CaptureVideoDataOutput::create() {
    return std::shared_ptr<CaptureVideoDataOutput>(new CaptureVideoDataOutput());
}

void CaptureVideoDataOutput::setSampleBufferDelegate(std::weak_ptr<CaptureVideoDataOutputSampleBufferDelegate> delegate,
                                                     std::shared_ptr<DispatchQueue> queue) {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
    queue_ = std::move(queue);
}

std::shared_ptr<CaptureVideoDataOutputSampleBufferDelegate> CaptureVideoDataOutput::sampleBufferDelegate() const {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
}

std::shared_ptr<DispatchQueue> CaptureVideoDataOutput::sampleBufferCallbackQueue() const {
    std::lock_guard lock(mutex_);
    return queue_;
}

std::shared_ptr<CaptureConnection> CaptureVideoDataOutput::connectionWithMediaType(MediaType type) const {
    if (type != MediaType::Video || !attached_.load()) return nullptr;
    return connection_;
}

void CaptureVideoDataOutput::startDelivery() {
    std::lock_guard lock(mutex_);
    accepting_ = true;
}

void CaptureVideoDataOutput::stopDelivery() {
    std::unique_lock lock(mutex_);
    accepting_ = false;
    ++generation_;
    if (queue_ && queue_->isCurrent()) return;
    idle_.wait(lock, [&] { return !delivering_; });
}

void CaptureVideoDataOutput::deliver(const std::shared_ptr<PixelBuffer>& frame, MediaTime presentationTime,
                                     MediaTime duration) {
    std::shared_ptr<DispatchQueue> queue;
    uint64_t generation = 0;
    {
        std::lock_guard lock(mutex_);
        if (!accepting_ || !queue_ || delegate_.expired()) return;
        queue = queue_;
        generation = generation_;
    }
    const bool discardsLate = discardsLate_.load();
    if (discardsLate && pending_.exchange(true)) {
        dropped_.fetch_add(1);
        if (auto delegate = sampleBufferDelegate()) {
            SampleTiming timing{duration, presentationTime, MediaTime::invalid()};
            delegate->captureOutputDidDropSampleBufferFromConnection(
                shared_from_this(), SampleBuffer::createWithImageBuffer(frame, timing), connection_);
        }
        return;
    }
    std::shared_ptr<PixelBuffer> image = frame;
    const int turns = CaptureConnection::quarterTurnsFor(connection_->videoOrientation());
    const bool mirrored = connection_->isVideoMirrored();
    if (turns != 0 || mirrored) image = PixelRotator::rotate(*frame, turns, mirrored);
    auto sample = SampleBuffer::createWithImageBuffer(image, SampleTiming{duration, presentationTime, MediaTime::invalid()});
    if (!sample) {
        pending_.store(false);
        return;
    }
    queue->async([self = shared_from_this(), sample, generation, discardsLate] {
        std::shared_ptr<CaptureVideoDataOutputSampleBufferDelegate> delegate;
        {
            std::lock_guard lock(self->mutex_);
            if (self->accepting_ && self->generation_ == generation) {
                delegate = self->delegate_.lock();
                self->delivering_ = delegate != nullptr;
            }
        }
        if (delegate) {
            delegate->captureOutputDidOutputSampleBufferFromConnection(self, sample, self->connection_);
            std::lock_guard lock(self->mutex_);
            self->delivering_ = false;
        }
        self->idle_.notify_all();
        if (discardsLate) self->pending_.store(false);
    });
}

}  // namespace platform
