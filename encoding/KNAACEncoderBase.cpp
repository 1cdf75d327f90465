#include "encoding/KNAACEncoderBase.h"

#include <algorithm>
#include <cmath>
#include <limits>

using platform::AudioBufferList;
using platform::AudioClassDescription;
using platform::AudioConverter;
using platform::AudioStreamDescription;
using platform::MediaStatus;
using platform::MediaTime;

namespace {

constexpr uint64_t kFramesPerPacket = 1024;
constexpr uint64_t kBytesPerSample = 2;
constexpr size_t kInitialAACBufferBytes = 1024;
// Answered by the input callback when a sample buffer's frames should wait for the next one.
constexpr MediaStatus kInputExhausted = static_cast<MediaStatus>(platform::fourCC("!dat"));

constexpr uint64_t kADTSHeaderBytes = 7;
constexpr uint64_t kADTSMaxFrameBytes = 0x1FFF;  // 13-bit frame_length
constexpr uint32_t kADTSSampleRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                         22050, 16000, 12000, 11025, 8000,  7350};

int64_t saturatingInt64(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 9.2233720368547758e18) return std::numeric_limits<int64_t>::max();
    if (v <= -9.2233720368547758e18) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(v);
}

uint64_t saturatingUInt64(double v) {
    if (!(v > 0)) return 0;
    if (v >= 1.8446744073709552e19) return std::numeric_limits<uint64_t>::max();
    return static_cast<uint64_t>(v);
}

uint64_t saturatingAdd(uint64_t a, uint64_t b) {
    return a > std::numeric_limits<uint64_t>::max() - b ? std::numeric_limits<uint64_t>::max() : a + b;
}

int64_t saturatingSub(int64_t a, int64_t b) {
    int64_t r = 0;
    if (__builtin_sub_overflow(a, b, &r))
        return b < 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
    return r;
}

int64_t saturatingAddSigned(int64_t a, int64_t b) {
    int64_t r = 0;
    if (__builtin_add_overflow(a, b, &r))
        return b > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
    return r;
}

int32_t timeScaleOf(uint64_t rate) {
    return static_cast<int32_t>(std::min<uint64_t>(rate, std::numeric_limits<int32_t>::max()));
}

MediaStatus inInputDataProc(AudioConverter* converter, uint32_t* ioNumberFrames, AudioBufferList* ioData,
                            void* userData);

}  // namespace

// The converter's view of the encoder: only the input callback reaches in.
struct KNAACEncoderInput {
    static MediaStatus copy(KNAACEncoderBase* encoder, AudioConverter* converter, uint32_t* ioNumberFrames,
                            AudioBufferList* ioData) {
        return encoder->copyPCMSamplesIntoBuffer(converter, ioNumberFrames, ioData);
    }
};

namespace {

MediaStatus inInputDataProc(AudioConverter* converter, uint32_t* ioNumberFrames, AudioBufferList* ioData,
                            void* userData) {
    return KNAACEncoderInput::copy(static_cast<KNAACEncoderBase*>(userData), converter, ioNumberFrames, ioData);
}

}  // namespace

KNAACEncoderBase::Platform KNAACEncoderBase::Platform::system() {
    return {platform::AudioFormat::encoders, platform::AudioConverter::createSpecific};
}

KNAACEncoderBase::KNAACEncoderBase(uint64_t defaultSampleRate, Timestamps timestamps, Platform platform)
    : timestamps_(timestamps),
      platform_(std::move(platform)),
      sampleRate_(defaultSampleRate),
      streamSampleRate_(defaultSampleRate),
      queueSampleRate_(defaultSampleRate) {
    bufferLength_ = channelsNumber_.load() * kFramesPerPacket * kBytesPerSample;
    encoderQueue_ = platform::DispatchQueue::createSerial(
        "com.KestruneSDK.AACEncoderQueue", platform::DispatchQueue::global(platform::QueuePriority::Default));
}

std::weak_ptr<KNAACEncoderDelegate> KNAACEncoderBase::delegate() const {
    std::lock_guard lock(delegateMutex_);
    return delegate_;
}

void KNAACEncoderBase::setDelegate(std::weak_ptr<KNAACEncoderDelegate> delegate) {
    std::lock_guard lock(delegateMutex_);
    delegate_ = std::move(delegate);
}

std::shared_ptr<KNAACEncoderDelegate> KNAACEncoderBase::lockedDelegate() const {
    std::lock_guard lock(delegateMutex_);
    return delegate_.lock();
}

void KNAACEncoderBase::setSampleRate(uint64_t sampleRate) {
    sampleRate_ = sampleRate;
    encoderQueue_->async([self = shared_from_this(), sampleRate] { self->queueSampleRate_ = sampleRate; });
}

void KNAACEncoderBase::setChannelsNumber(uint64_t channelsNumber) {
    channelsNumber_ = channelsNumber;
    encoderQueue_->async([self = shared_from_this(), channelsNumber] {
        self->queueChannels_ = channelsNumber;
        // Chunks are cut for the converter still to be made; a running one keeps its layout.
        if (!self->audioConverter_)
            self->bufferLength_ = std::max<uint64_t>(channelsNumber, 1) * kFramesPerPacket * kBytesPerSample;
    });
}

void KNAACEncoderBase::setBitRate(uint64_t bitRate) {
    bitRate_ = bitRate;
    encoderQueue_->async([self = shared_from_this(), bitRate] {
        if (!self->audioConverter_) return;
        const auto rate = static_cast<uint32_t>(std::min<uint64_t>(bitRate, std::numeric_limits<uint32_t>::max()));
        if (self->audioConverter_->setEncodeBitRate(rate) != platform::kMediaNoErr) {
            self->reportErrorWithCodeAndMessage(50001, "Audio bit rate not supported");
            return;
        }
        self->publishConverter(self->audioConverter_);
    });
}

KNAACEncoderBase::Bytes KNAACEncoderBase::magicCookie() const {
    std::lock_guard lock(queryMutex_);
    return magicCookie_;
}

uint64_t KNAACEncoderBase::decoderDelay() const {
    std::lock_guard lock(queryMutex_);
    return decoderDelay_;
}

bool KNAACEncoderBase::isConfigured() const {
    std::lock_guard lock(queryMutex_);
    return configured_;
}

void KNAACEncoderBase::publishConverter(std::shared_ptr<AudioConverter> converter) {
    Bytes cookie;
    uint64_t delay = UINT64_MAX;
    if (converter) {
        auto bytes = converter->magicCookie();
        if (!bytes.empty()) cookie = std::make_shared<const std::vector<uint8_t>>(std::move(bytes));
        delay = converter->primeInfo().leadingFrames;
    }
    std::lock_guard lock(queryMutex_);
    configured_ = converter != nullptr;
    magicCookie_ = std::move(cookie);
    decoderDelay_ = delay;
}

void KNAACEncoderBase::startEncoding() {
    encoderQueue_->async([self = shared_from_this()] { self->startOnQueue(); });
}

void KNAACEncoderBase::stopEncoding() {
    encoderQueue_->async([self = shared_from_this()] { self->stopOnQueue(); });
}

void KNAACEncoderBase::enqueueRechunk(Bytes data, uint64_t timestamp) {
    if (!data) return;
    encoderQueue_->async([self = shared_from_this(), data = std::move(data), timestamp] {
        self->rechunk(*data, timestamp);
    });
}

void KNAACEncoderBase::enqueueSampleBuffer(std::shared_ptr<platform::SampleBuffer> buffer) {
    if (!buffer) return;
    encoderQueue_->async([self = shared_from_this(), buffer = std::move(buffer)] { self->encodeSampleBuffer(*buffer); });
}

void KNAACEncoderBase::startOnQueue() {
    if (started_) return;
    started_ = true;
    firstAudioPacket_ = true;
    aacBuffer_.assign(kInitialAACBufferBytes, 0);
    bufferLength_ = std::max<uint64_t>(queueChannels_, 1) * kFramesPerPacket * kBytesPerSample;
    leftBuf_.clear();
    leftBuf_.reserve(bufferLength_);
    rechunkReady_ = true;
    lastChunkTimestamp_.reset();
    streamSampleRate_ = queueSampleRate_;
    streamChannels_ = queueChannels_;
    if (!setupOutStreamDescription()) reportErrorWithCodeAndMessage(50000, "Sample rate not supported");
}

void KNAACEncoderBase::stopOnQueue() {
    if (!started_) return;
    started_ = false;
    audioConverter_.reset();
    publishConverter(nullptr);
    pcmBuffer_ = nullptr;
    pcmBufferSize_ = 0;
    aacBuffer_ = {};
}

bool KNAACEncoderBase::setupOutStreamDescription() {
    outStreamDescription_.sampleRate = static_cast<double>(queueSampleRate_);
    outStreamDescription_.formatId = AudioStreamDescription::kFormatMPEG4AAC;
    // LC for both encoders: it is what every header, sequence header and file track says.
    outStreamDescription_.formatFlags = AudioStreamDescription::kAACObjectLC;
    outStreamDescription_.channelsPerFrame = static_cast<uint32_t>(std::min<uint64_t>(queueChannels_, UINT32_MAX));
    const bool ok = platform::AudioFormat::completeFormatInfo(&outStreamDescription_) == platform::kMediaNoErr;
    sampleSize_ = outStreamDescription_.bytesPerFrame;
    return ok;
}

bool KNAACEncoderBase::getAudioClassDescription(uint32_t type, uint32_t manufacturer,
                                                AudioClassDescription* description) {
    const auto encoders = platform_.encoders(type);
    const auto found = std::find_if(encoders.begin(), encoders.end(), [&](const AudioClassDescription& d) {
        return d.subtype == type && d.manufacturer == manufacturer;
    });
    if (found == encoders.end()) return false;
    *description = *found;
    return true;
}

bool KNAACEncoderBase::setupEncoderFromDescription(const AudioStreamDescription& input) {
    // Input and output come from the same settings, read now: their rates can't disagree.
    setupOutStreamDescription();
    AudioClassDescription encoderClass;
    if (!getAudioClassDescription(AudioStreamDescription::kFormatMPEG4AAC, platform::kAudioCodecManufacturerSoftware,
                                  &encoderClass)) {
        reportErrorWithCodeAndMessage(50002, "Encoder configuration not supprted");
        return false;
    }
    outStreamDescription_.framesPerPacket = kFramesPerPacket;
    std::shared_ptr<AudioConverter> converter;
    platform_.newConverter(input, outStreamDescription_, {encoderClass}, &converter);
    if (!converter) {
        reportErrorWithCodeAndMessage(50001, "Audio bit rate not supported");
        return false;
    }
    audioConverter_ = converter;
    // Sized by the encoder: a stereo packet may be larger than a mono one's 1024 bytes.
    aacBuffer_.assign(std::max<size_t>(converter->maximumOutputPacketSize(), kInitialAACBufferBytes), 0);
    streamSampleRate_ = queueSampleRate_;
    streamChannels_ = queueChannels_;
    bufferLength_ = std::max<uint64_t>(queueChannels_, 1) * kFramesPerPacket * kBytesPerSample;
    const auto rate = static_cast<uint32_t>(std::min<uint64_t>(bitRate_.load(), std::numeric_limits<uint32_t>::max()));
    const MediaStatus status = converter->setEncodeBitRate(rate);
    publishConverter(converter);
    if (status != platform::kMediaNoErr) {
        reportErrorWithCodeAndMessage(50001, "Audio bit rate not supported");
        return true;
    }
    if (auto delegate = lockedDelegate()) delegate->AACEncoderDidFinishConfiguring(this);
    return true;
}

void KNAACEncoderBase::rechunk(const std::vector<uint8_t>& data, uint64_t timestamp) {
    // A stopped encoder would drop every chunk; the remainder would be dropped at the next start.
    if (!started_ || !rechunkReady_) return;
    const size_t chunkBytes = bufferLength_;
    if (leftBuf_.size() + data.size() < chunkBytes) {
        leftBuf_.insert(leftBuf_.end(), data.begin(), data.end());
        return;
    }
    const uint8_t* source = data.data();
    size_t length = data.size();
    if (!leftBuf_.empty()) {
        leftBuf_.insert(leftBuf_.end(), data.begin(), data.end());
        source = leftBuf_.data();
        length = leftBuf_.size();
    }
    const size_t chunks = length / chunkBytes;
    const uint64_t rate = audioConverter_ ? streamSampleRate_.load() : queueSampleRate_;
    for (size_t k = 0; k < chunks; ++k) {
        // Each chunk is stamped where it lies in the audio. On the host clock, never at or before
        // the previous chunk either: deliveries jitter, and a muxer takes no two packets at one time.
        const uint64_t offsetMs = rate ? k * kFramesPerPacket * 1000 / rate : 0;
        uint64_t stamp = saturatingAdd(timestamp, offsetMs);
        if (timestamps_ == Timestamps::HostClock) {
            if (lastChunkTimestamp_ && stamp <= *lastChunkTimestamp_) stamp = saturatingAdd(*lastChunkTimestamp_, 1);
            lastChunkTimestamp_ = stamp;
        }
        encodeBufferTimestamp(source + k * chunkBytes, chunkBytes, stamp);
    }
    if (source == leftBuf_.data()) {
        leftBuf_.erase(leftBuf_.begin(), leftBuf_.begin() + static_cast<std::ptrdiff_t>(chunks * chunkBytes));
    } else {
        leftBuf_.assign(source + chunks * chunkBytes, source + length);
    }
}

void KNAACEncoderBase::encodeBufferTimestamp(const uint8_t* chunk, size_t chunkBytes, uint64_t timestamp) {
    if (!started_) return;
    if (!audioConverter_ &&
        !setupEncoderFromDescription(AudioStreamDescription::pcmInt16(
            static_cast<double>(queueSampleRate_), static_cast<uint32_t>(std::min<uint64_t>(queueChannels_, 8))))) {
        reportErrorWithCodeAndMessage(50003, "Failed to encode sample buffer");
        return;
    }
    if (firstAudioPacket_) {
        firstPacketTimeValue_ = static_cast<int64_t>(timestamp);
        firstAudioPacket_ = false;
    }
    const auto first = static_cast<uint64_t>(firstPacketTimeValue_.load());
    if (timestamp < first) {
        // A caller clock that went back: no sound time for this chunk.
        reportErrorWithCodeAndMessage(50003, "Failed to encode sample buffer");
        return;
    }
    const uint64_t sinceFirstMs = timestamp - first;
    const uint64_t rate = streamSampleRate_;
    const MediaTime presentationTime = MediaTime::make(
        saturatingInt64(std::floor(static_cast<double>(rate) * static_cast<double>(sinceFirstMs) / 1000.0)),
        timeScaleOf(rate));

    pcmBuffer_ = chunk;
    pcmBufferSize_ = chunkBytes;
    inputEndStatus_ = platform::kMediaNoErr;
    const Bytes packet = fillOnePacket();
    pcmBuffer_ = nullptr;
    pcmBufferSize_ = 0;
    if (!packet) return;
    deliver(packet, MediaTime::make(kFramesPerPacket, timeScaleOf(rate)), presentationTime,
            timestamps_ == Timestamps::HostClock ? timestamp : sinceFirstMs);
}

void KNAACEncoderBase::encodeSampleBuffer(const platform::SampleBuffer& buffer) {
    if (!started_) return;
    const auto& format = buffer.formatDescription();
    const AudioStreamDescription* description = format ? format->audioStreamDescription() : nullptr;
    if (!audioConverter_ && !setupEncoderFromDescription(description ? *description : AudioStreamDescription{})) {
        reportErrorWithCodeAndMessage(50003, "Failed to encode sample buffer");
        return;
    }
    const std::shared_ptr<platform::BlockBuffer>& block = buffer.dataBuffer();
    const uint8_t* data = nullptr;
    size_t totalBytes = 0;
    if (!block || block->dataPointer(0, nullptr, &totalBytes, &data) != platform::kMediaNoErr) {
        reportErrorWithCodeAndMessage(50003, "Failed do encode sample rate");
        return;
    }
    const MediaTime outputTime = buffer.outputPresentationTimeStamp();
    if (firstAudioPacket_) {
        firstPacketTimeValue_ = outputTime.value;
        firstAudioPacket_ = false;
    }
    const int64_t sinceFirst = saturatingSub(outputTime.value, firstPacketTimeValue_);
    const double bufferSeconds = buffer.presentationTimeStamp().seconds();

    const AudioStreamDescription& input = audioConverter_->inputDescription();
    const double outRate = static_cast<double>(streamSampleRate_.load());
    const size_t planes = (input.formatFlags & AudioStreamDescription::kFlagIsNonInterleaved) ? input.channelsPerFrame : 1;
    const size_t frameBytes = static_cast<size_t>(input.bytesPerFrame) * std::max<size_t>(planes, 1);
    const size_t frames = frameBytes ? totalBytes / frameBytes : 0;
    const size_t carried = audioConverter_->bufferedFrames();
    // A buffer of at most one packet at the stream's own rate is one packet, padded with
    // silence; otherwise frames wait in the converter until they fill a packet.
    const bool onePacket = input.sampleRate == outRate && carried == 0 && frames <= kFramesPerPacket;
    inputEndStatus_ = onePacket ? platform::kMediaNoErr : kInputExhausted;
    const int32_t timeScale = outputTime.timeScale;
    const MediaTime packetDuration =
        onePacket ? buffer.duration()
        : timeScale > 0
            ? MediaTime::make(std::llround(static_cast<double>(kFramesPerPacket) * timeScale / outRate), timeScale)
            : MediaTime::make(kFramesPerPacket, timeScaleOf(streamSampleRate_));

    pcmBuffer_ = data;
    pcmBufferSize_ = totalBytes;
    for (size_t j = 0;; ++j) {
        const Bytes packet = fillOnePacket();
        if (!packet) break;
        // Where this packet starts relative to the buffer's first frame, in output frames.
        const double offsetFrames = static_cast<double>(j * kFramesPerPacket) - static_cast<double>(carried);
        const int64_t offsetTicks = timeScale > 0 ? saturatingInt64(std::round(offsetFrames * timeScale / outRate)) : 0;
        const MediaTime presentationTime = MediaTime::make(saturatingAddSigned(sinceFirst, offsetTicks), timeScale);
        deliver(packet, packetDuration, presentationTime,
                saturatingUInt64((bufferSeconds + offsetFrames / outRate) * 1000.0));
        if (!started_ || !audioConverter_) break;
    }
    pcmBuffer_ = nullptr;
    pcmBufferSize_ = 0;
}

KNAACEncoderBase::Bytes KNAACEncoderBase::fillOnePacket() {
    AudioBufferList output;
    output.numberBuffers = 1;
    output.buffers[0].numberChannels = static_cast<uint32_t>(streamChannels_.load());
    output.buffers[0].dataByteSize = static_cast<uint32_t>(aacBuffer_.size());
    output.buffers[0].data = aacBuffer_.data();
    uint32_t packets = 1;
    const MediaStatus status = audioConverter_->fillComplexBuffer(inInputDataProc, this, &packets, &output, nullptr);
    if (status != platform::kMediaNoErr && status != kInputExhausted) {
        reportErrorWithCodeAndMessage(50003, "Failed to encode sample buffer");
        return nullptr;
    }
    if (packets == 0) return nullptr;
    return std::make_shared<const std::vector<uint8_t>>(aacBuffer_.begin(),
                                                        aacBuffer_.begin() + output.buffers[0].dataByteSize);
}

MediaStatus KNAACEncoderBase::copyPCMSamplesIntoBuffer(AudioConverter* converter, uint32_t* ioNumberFrames,
                                                       AudioBufferList* ioData) {
    const AudioStreamDescription& input = converter->inputDescription();
    const bool planar = (input.formatFlags & AudioStreamDescription::kFlagIsNonInterleaved) != 0;
    const uint32_t planes = planar ? input.channelsPerFrame : 1;
    const size_t frameBytes = static_cast<size_t>(input.bytesPerFrame) * planes;
    if (!pcmBuffer_ || frameBytes == 0 || planes > AudioBufferList::kMaxBuffers || pcmBufferSize_ < frameBytes) {
        *ioNumberFrames = 0;
        ioData->numberBuffers = 0;
        pcmBuffer_ = nullptr;
        pcmBufferSize_ = 0;
        return inputEndStatus_;
    }
    const size_t frames = std::min<size_t>(pcmBufferSize_ / frameBytes, std::numeric_limits<uint32_t>::max() / frameBytes);
    const size_t planeBytes = frames * input.bytesPerFrame;
    ioData->numberBuffers = planes;
    for (uint32_t p = 0; p < planes; ++p) {
        ioData->buffers[p].numberChannels = planar ? 1 : input.channelsPerFrame;
        ioData->buffers[p].dataByteSize = static_cast<uint32_t>(planeBytes);
        ioData->buffers[p].data = const_cast<uint8_t*>(pcmBuffer_ + p * planeBytes);
    }
    *ioNumberFrames = static_cast<uint32_t>(frames);
    // Handed over once: a converter that asks again within the packet gets nothing twice.
    pcmBuffer_ = nullptr;
    pcmBufferSize_ = 0;
    return platform::kMediaNoErr;
}

void KNAACEncoderBase::deliver(const Bytes& packet, MediaTime duration, MediaTime presentationTime,
                               uint64_t adtsTimestamp) {
    auto delegate = lockedDelegate();
    if (!delegate) return;
    delegate->AACEncoderDidEncodeDataWithDurationPresentationTime(this, packet, duration, presentationTime);
    const Bytes header = adtsDataForPacketLength(packet->size());
    if (!header) {
        reportErrorWithCodeAndMessage(50003, "Failed to encode sample buffer");
        return;
    }
    auto framed = std::make_shared<std::vector<uint8_t>>();
    framed->reserve(header->size() + packet->size());
    framed->insert(framed->end(), header->begin(), header->end());
    framed->insert(framed->end(), packet->begin(), packet->end());
    delegate->AACEncoderDidEncodeDataWithAdtsHeaderWithDurationTimestamp(this, framed, duration, adtsTimestamp);
}

KNAACEncoderBase::Bytes KNAACEncoderBase::adtsDataForPacketLength(uint64_t packetLength) const {
    const uint64_t frameLength = packetLength + kADTSHeaderBytes;
    const auto rate = streamSampleRate_.load();
    const auto index = std::find(std::begin(kADTSSampleRates), std::end(kADTSSampleRates), rate);
    if (packetLength > kADTSMaxFrameBytes - kADTSHeaderBytes || index == std::end(kADTSSampleRates)) return nullptr;
    const auto frequencyIndex = static_cast<uint8_t>(index - std::begin(kADTSSampleRates));
    // 1-6 channels are their own configuration, 8 is configuration 7; 7 channels have none (0).
    const uint64_t channels = streamChannels_.load();
    const uint8_t channelConfig = channels <= 6 ? static_cast<uint8_t>(channels) : channels == 8 ? 7 : 0;
    constexpr uint8_t kProfileLC = 1;  // audio object type 2, minus one
    return std::make_shared<const std::vector<uint8_t>>(std::vector<uint8_t>{
        0xFF,
        0xF9,
        static_cast<uint8_t>((kProfileLC << 6) | (frequencyIndex << 2) | (channelConfig >> 2)),
        static_cast<uint8_t>(((channelConfig & 3) << 6) | (frameLength >> 11)),
        static_cast<uint8_t>((frameLength >> 3) & 0xFF),
        static_cast<uint8_t>(((frameLength & 7) << 5) | 0x1F),
        0xFC,
    });
}

void KNAACEncoderBase::reportErrorWithCodeAndMessage(int64_t code, const std::string& message) {
    auto error = KNError::errorWithCodesMessage({code}, message);
    if (auto delegate = lockedDelegate()) delegate->AACEncoderDidFailEncodingWithError(this, error);
}
