#include "encoding/KNH264Encoder.h"

#include <bit>
#include <cmath>
#include <cstdio>
#include <utility>

#include "core/KNLog.h"
#include "platform/HostClock.h"

namespace {

using platform::CompressionProperty;
using platform::MediaStatus;
using platform::MediaTime;

constexpr int64_t kErrorResolution = 40000;
constexpr int64_t kErrorBitrate = 40001;
constexpr int64_t kErrorKeyFrameInterval = 40002;
constexpr int64_t kErrorBadSampleBuffer = 40003;
constexpr int64_t kErrorEncoding = 40004;
constexpr double kDropLogIntervalSeconds = 1.0;

static_assert(sizeof(void*) == sizeof(double), "the per-frame context carries a double in a pointer");

// The host clock reading (ms) rides through the session as its per-frame context.
void* packContext(double ms) { return reinterpret_cast<void*>(std::bit_cast<uintptr_t>(ms)); }
double unpackContext(void* context) { return std::bit_cast<double>(reinterpret_cast<uintptr_t>(context)); }

template <typename... Args>
std::string format(const char* fmt, Args... args) {
    char text[128];
    std::snprintf(text, sizeof text, fmt, args...);
    return text;
}

// Truncated toward zero, as a signed 64-bit count, then read as unsigned.
uint64_t millisecondsFromContext(double ms) {
    if (!(std::fabs(ms) < 9.2e18)) return 0;
    return static_cast<uint64_t>(static_cast<int64_t>(ms));
}

bool isPictureSlice(uint8_t nalHeader) {
    int type = nalHeader & 0x1F;
    return type >= 1 && type <= 5;
}

}  // namespace

std::shared_ptr<KNH264Encoder> KNH264Encoder::create() {
    auto encoder = std::make_shared<KNH264Encoder>();
    encoder->callbackTarget_ = std::make_unique<std::weak_ptr<KNH264Encoder>>(encoder);
    return encoder;
}

KNH264Encoder::KNH264Encoder()
    : encodingQueue_(platform::DispatchQueue::createSerial(
          "com.KestruneSDK.H264EncoderQueue", platform::DispatchQueue::global(platform::QueuePriority::Default))) {}

KNH264Encoder::~KNH264Encoder() {
    std::shared_ptr<platform::CompressionSession> session;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        session.swap(session_);
    }
    // No output may reach callbackTarget_ once it is gone.
    if (session) session->invalidate();
}

std::shared_ptr<KNH264EncoderDelegate> KNH264Encoder::delegate() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return delegate_.lock();
}

void KNH264Encoder::setDelegate(std::weak_ptr<KNH264EncoderDelegate> delegate) {
    std::lock_guard<std::mutex> lock(mutex_);
    delegate_ = std::move(delegate);
}

KNVideoFrameSize KNH264Encoder::resolution() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return resolution_;
}

std::shared_ptr<platform::CompressionSession> KNH264Encoder::session() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return session_;
}

void KNH264Encoder::startEncodingWithResolutionHeight(int32_t width, int32_t height) {
    encodingQueue_->async([self = shared_from_this(), width, height] { self->startBlock(width, height); });
}

void KNH264Encoder::startBlock(int32_t width, int32_t height) {
    if (started_.load()) return;
    started_.store(true);
    firstPacket_.store(true);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        resolution_ = KNVideoFrameSizeMake(width, height);
    }
    if (!initializeEncoderWithResolutionHeight(width, height)) {
        reportStartingErrorWithCodeAndMessage(kErrorResolution,
                                              format("Encoder does not support resolution:%dx%d", width, height));
        return;
    }
    auto session = this->session();
    if (!session) return;  // ended from another thread meanwhile
    setInitialProperties(*session);
    session->prepareToEncodeFrames();
}

bool KNH264Encoder::initializeEncoderWithResolutionHeight(int32_t width, int32_t height) {
    auto session = platform::CompressionSession::create(width, height, &didCompressH264, callbackTarget_.get());
    if (!session) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    session_ = std::move(session);
    return true;
}

void KNH264Encoder::setInitialProperties(platform::CompressionSession& session) {
    session.setProperty(CompressionProperty::RealTime, true);
    session.setProperty(CompressionProperty::AllowFrameReordering, false);
    session.setProperty(CompressionProperty::ProfileLevel, std::string(platform::kProfileLevelH264MainAutoLevel));
    session.setProperty(CompressionProperty::H264EntropyMode, std::string(platform::kH264EntropyModeCABAC));
    int32_t bitrate = bitrate_.load();
    if (session.setProperty(CompressionProperty::AverageBitRate, bitrate) != platform::kMediaNoErr) {
        reportStartingErrorWithCodeAndMessage(kErrorBitrate, format("Bitrate: %d not supporter", bitrate));
        return;
    }
    session.setProperty(CompressionProperty::PixelTransferProperties,
                        std::map<std::string, std::string>{{platform::kPixelTransferScalingMode, platform::kScalingModeTrim}});
    uint64_t interval = keyFrameInterval_.load();
    if (session.setProperty(CompressionProperty::MaxKeyFrameInterval, static_cast<int32_t>(interval)) !=
        platform::kMediaNoErr) {
        reportStartingErrorWithCodeAndMessage(kErrorKeyFrameInterval,
                                              format("Key frame interval: %lu not supporter",
                                                     static_cast<unsigned long>(interval)));
    }
}

void KNH264Encoder::encode(std::shared_ptr<platform::SampleBuffer> sampleBuffer) {
    encodingQueue_->async([self = shared_from_this(), buffer = std::move(sampleBuffer)] { self->encodeBlock(buffer); });
}

void KNH264Encoder::encodeBlock(const std::shared_ptr<platform::SampleBuffer>& sampleBuffer) {
    if (!started_.load()) return;
    std::shared_ptr<platform::PixelBuffer> image = sampleBuffer ? sampleBuffer->imageBuffer() : nullptr;
    if (!image) {
        reportEncodingErrorWithCodeAndMessage(kErrorBadSampleBuffer, "Bad sample buffer");
        return;
    }
    MediaTime pts = sampleBuffer->outputPresentationTimeStamp();
    if (firstPacket_.load()) {
        firstPacketTimeValue_.store(pts.value);
        firstPacket_.store(false);
    }
    int64_t relative = 0;
    MediaTime presentation = MediaTime::invalid();
    if (!__builtin_sub_overflow(pts.value, firstPacketTimeValue_.load(), &relative)) {
        presentation = MediaTime::make(relative, pts.timeScale);
    }
    double contextMs = platform::HostClock::now() * 1000.0;
    auto session = this->session();
    MediaStatus status = session ? session->encodeFrame(std::move(image), presentation, sampleBuffer->duration(),
                                                        packContext(contextMs))
                                 : platform::kMediaErrInvalidSession;
    if (status != platform::kMediaNoErr) {
        reportEncodingErrorWithCodeAndMessage(kErrorEncoding, "Failed to encode frame");
    }
}

void KNH264Encoder::changeResolutionHeight(int32_t width, int32_t height) {
    stopEncoding();
    startEncodingWithResolutionHeight(width, height);
}

void KNH264Encoder::stopEncoding() {
    encodingQueue_->async([self = shared_from_this()] { self->stopBlock(); });
}

void KNH264Encoder::stopBlock() {
    if (!started_.load()) return;
    started_.store(false);
    std::shared_ptr<platform::CompressionSession> session;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        session.swap(session_);
    }
    if (!session) return;
    session->completeFrames();
    session->invalidate();
}

void KNH264Encoder::updateBitrate(int32_t bitrateBps) {
    bitrate_.store(bitrateBps);
    // A copy of the reference: a stop running meanwhile invalidates the session, which then
    // refuses these calls instead of being freed under them.
    auto session = this->session();
    if (!session) return;
    session->setProperty(CompressionProperty::AverageBitRate, bitrateBps);
    double limitBytes = bitrateBps * 1.5 * 0.125;
    session->setProperty(CompressionProperty::DataRateLimits, std::vector<double>{limitBytes, 1.0});
}

int32_t KNH264Encoder::configuredAverageBitRate() const {
    const auto session = this->session();
    return session ? session->averageBitRate() : 0;
}

void KNH264Encoder::endEncodingSession() {
    std::shared_ptr<platform::CompressionSession> session;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        session.swap(session_);
    }
    if (session) session->invalidate();
}

void KNH264Encoder::outputCallback(void* outputContext, void* frameContext, MediaStatus status, uint32_t infoFlags,
                                   std::shared_ptr<platform::SampleBuffer> sampleBuffer) {
    auto* target = static_cast<std::weak_ptr<KNH264Encoder>*>(outputContext);
    auto encoder = target ? target->lock() : nullptr;
    if (!encoder) return;
    if (status == platform::kMediaNoErr && !sampleBuffer && (infoFlags & platform::kEncodeInfoFrameDropped)) {
        encoder->noteDroppedFrame();
    }
    encoder->handleOutput(unpackContext(frameContext), status, sampleBuffer);
}

// A host that sees fewer frames than it gave finds out why, without a line for every frame.
void KNH264Encoder::noteDroppedFrame() {
    ++droppedFrames_;
    const double now = platform::HostClock::now();
    std::lock_guard lock(dropLogMutex_);
    ++droppedSinceLogLine_;
    if (dropLogLineDue_) return;
    dropLogLineDue_ = true;
    const double wait = lastDropLogLine_ + kDropLogIntervalSeconds - now;
    if (wait <= 0) {
        encodingQueue_->async([self = shared_from_this()] { self->logDroppedFrames(); });
    } else {
        encodingQueue_->afterSeconds(wait, [weak = weak_from_this()] {
            if (auto self = weak.lock()) self->logDroppedFrames();
        });
    }
}

void KNH264Encoder::logDroppedFrames() {
    uint64_t dropped = 0;
    {
        std::lock_guard lock(dropLogMutex_);
        dropped = std::exchange(droppedSinceLogLine_, 0);
        dropLogLineDue_ = false;
        lastDropLogLine_ = platform::HostClock::now();
    }
    KNLog::sharedInstance()->logWarningScope(
        format("H.264 encoder fell behind: %llu frames dropped", static_cast<unsigned long long>(dropped)),
        KNLogScopeAll);
}

void didCompressH264(void* outputContext, void* frameContext, MediaStatus status, uint32_t infoFlags,
                     std::shared_ptr<platform::SampleBuffer> sampleBuffer) {
    KNH264Encoder::outputCallback(outputContext, frameContext, status, infoFlags, std::move(sampleBuffer));
}

void KNH264Encoder::handleOutput(double frameContextMs, MediaStatus status,
                                 const std::shared_ptr<platform::SampleBuffer>& sampleBuffer) {
    if (status != platform::kMediaNoErr) {
        reportEncodingErrorWithCodeAndMessage(kErrorEncoding, "Encoding failed");
        return;
    }
    if (!sampleBuffer || !sampleBuffer->dataIsReady()) return;
    auto attachments = sampleBuffer->sampleAttachmentsArray(true);
    bool keyFrame = attachments.empty() || !attachments[0].contains(platform::kSampleAttachmentNotSync);
    uint64_t timestampMs = millisecondsFromContext(frameContextMs);
    if (keyFrame) sendPpsSps(*sampleBuffer);
    sendNALUnitsKeyframeTimestamp(*sampleBuffer, keyFrame, timestampMs);
    if (auto delegate = this->delegate()) delegate->H264EncoderDidEncodeSampleBuffer(this, sampleBuffer);
}

void KNH264Encoder::sendPpsSps(const platform::SampleBuffer& sampleBuffer) {
    const auto& format = sampleBuffer.formatDescription();
    if (!format) return;
    const uint8_t* sps = nullptr;
    const uint8_t* pps = nullptr;
    size_t spsSize = 0, ppsSize = 0;
    if (format->h264ParameterSetAtIndex(0, &sps, &spsSize) != platform::kMediaNoErr) return;
    if (format->h264ParameterSetAtIndex(1, &pps, &ppsSize) != platform::kMediaNoErr) return;
    auto spsBytes = std::make_shared<const std::vector<uint8_t>>(sps, sps + spsSize);
    auto ppsBytes = std::make_shared<const std::vector<uint8_t>>(pps, pps + ppsSize);
    if (auto delegate = this->delegate()) delegate->H264EncoderDidExtractSpsPps(this, spsBytes, ppsBytes);
}

void KNH264Encoder::sendNALUnitsKeyframeTimestamp(const platform::SampleBuffer& sampleBuffer, bool keyframe,
                                                  uint64_t timestampMs) {
    const auto& block = sampleBuffer.dataBuffer();
    const uint8_t* data = nullptr;
    size_t total = 0;
    if (!block || block->dataPointer(0, nullptr, &total, &data) != platform::kMediaNoErr) {
        reportEncodingErrorWithCodeAndMessage(kErrorEncoding, "Failed to encode frame");
        return;
    }
    constexpr size_t kPrefixBytes = 4;
    bool firstUnit = true;
    size_t offset = 0;
    while (total - offset > kPrefixBytes) {
        uint64_t length = (uint64_t{data[offset]} << 24) | (uint64_t{data[offset + 1]} << 16) |
                          (uint64_t{data[offset + 2]} << 8) | uint64_t{data[offset + 3]};
        // A prefix claiming more than the data holds ends the walk: nothing beyond it is read.
        if (length > total - offset - kPrefixBytes) break;
        const uint8_t* unit = data + offset + kPrefixBytes;
        bool skip = false;
        if (firstUnit && keyframe && extraSpsPps_.load()) {
            // The unit in front of a key frame's picture stands for the parameter sets already
            // sent; a picture itself is never held back.
            skip = length == 0 || !isPictureSlice(unit[0]);
        }
        firstUnit = false;
        if (!skip && length > 0) {
            auto bytes = std::make_shared<const std::vector<uint8_t>>(unit, unit + length);
            if (auto delegate = this->delegate()) {
                delegate->H264EncoderDidEncodeDataIsKeyFrameTimestamp(this, bytes, keyframe, timestampMs);
            }
            ++timestampMs;
        }
        offset += kPrefixBytes + static_cast<size_t>(length);
    }
}

void KNH264Encoder::reportStartingErrorWithCodeAndMessage(int64_t code, const std::string& message) {
    if (auto delegate = this->delegate()) {
        delegate->H264EncoderDidFailStartingWithError(this, KNError::errorWithCodesMessage({code}, message));
    }
}

void KNH264Encoder::reportEncodingErrorWithCodeAndMessage(int64_t code, const std::string& message) {
    if (auto delegate = this->delegate()) {
        delegate->H264EncoderDidFailEncodingWithError(this, KNError::errorWithCodesMessage({code}, message));
    }
}
