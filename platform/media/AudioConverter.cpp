#include "platform/media/AudioConverter.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

#include "platform/media/CodecLog.h"

namespace platform {
namespace {

constexpr uint32_t kAACFramesPerPacket = 1024;
// The AAC decoder's input buffer holds 6144 bits per channel; libavcodec allocates a little more.
constexpr uint32_t kAACMaxPacketBytesPerChannel = 8192;
constexpr uint32_t kAACMaxBitsPerFramePerChannel = 6144;
constexpr uint32_t kAACMinBitRatePerChannel = 8000;
constexpr double kAACSampleRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                      22050, 16000, 12000, 11025, 8000,  7350};

bool isAACRate(double rate) {
    return std::find(std::begin(kAACSampleRates), std::end(kAACSampleRates), rate) != std::end(kAACSampleRates);
}

bool isPlanar(const AudioStreamDescription& d) {
    return (d.formatFlags & AudioStreamDescription::kFlagIsNonInterleaved) != 0;
}

// The libav sample format of a PCM description, or NONE when it is one we don't carry.
AVSampleFormat sampleFormatOf(const AudioStreamDescription& d) {
    if (!d.isLinearPCM() || d.channelsPerFrame == 0 || d.channelsPerFrame > AudioBufferList::kMaxBuffers ||
        (d.formatFlags & AudioStreamDescription::kFlagIsBigEndian) != 0 || !(d.sampleRate > 0) ||
        d.sampleRate > 768000 || d.framesPerPacket > 1)
        return AV_SAMPLE_FMT_NONE;
    const bool planar = isPlanar(d);
    const uint32_t sampleBytes = d.bitsPerChannel / 8;
    if (d.bitsPerChannel % 8 != 0 || d.bytesPerFrame != (planar ? sampleBytes : sampleBytes * d.channelsPerFrame))
        return AV_SAMPLE_FMT_NONE;
    AVSampleFormat packed = AV_SAMPLE_FMT_NONE;
    if (d.formatFlags & AudioStreamDescription::kFlagIsFloat) {
        if (d.bitsPerChannel == 32) packed = AV_SAMPLE_FMT_FLT;
        if (d.bitsPerChannel == 64) packed = AV_SAMPLE_FMT_DBL;
    } else if (d.formatFlags & AudioStreamDescription::kFlagIsSignedInteger) {
        if (d.bitsPerChannel == 16) packed = AV_SAMPLE_FMT_S16;
        if (d.bitsPerChannel == 32) packed = AV_SAMPLE_FMT_S32;
    } else if (d.bitsPerChannel == 8) {
        packed = AV_SAMPLE_FMT_U8;
    }
    if (packed == AV_SAMPLE_FMT_NONE) return AV_SAMPLE_FMT_NONE;
    return planar ? av_get_planar_sample_fmt(packed) : packed;
}

int64_t maxBitRate(double sampleRate, uint32_t channels) {
    return static_cast<int64_t>(kAACMaxBitsPerFramePerChannel * sampleRate / kAACFramesPerPacket) * channels;
}

// The shared machinery: input of any carried PCM layout resampled into a FIFO of the output's
// sample format, from which the subclasses take frames.
class ConverterBase : public AudioConverter {
public:
    ~ConverterBase() override {
        if (scratch_) av_freep(&scratch_[0]);
        av_freep(&scratch_);
        av_audio_fifo_free(fifo_);
        swr_free(&swr_);
        av_channel_layout_uninit(&inLayout_);
        av_channel_layout_uninit(&outLayout_);
    }

    const AudioStreamDescription& inputDescription() const override { return input_; }
    const AudioStreamDescription& outputDescription() const override { return output_; }
    size_t bufferedFrames() const override { return static_cast<size_t>(av_audio_fifo_size(fifo_)); }
    void reset() override {
        av_audio_fifo_reset(fifo_);
        swr_close(swr_);
        swr_init(swr_);
    }

protected:
    MediaStatus openResampler(const AudioStreamDescription& input, const AudioStreamDescription& output,
                              AVSampleFormat outFormat, uint32_t outChannels) {
        CodecLog::install();
        input_ = input;
        output_ = output;
        inFormat_ = sampleFormatOf(input);
        if (inFormat_ == AV_SAMPLE_FMT_NONE) return kAudioConverterErrFormatNotSupported;
        outFormat_ = outFormat;
        outChannels_ = outChannels;
        av_channel_layout_default(&inLayout_, static_cast<int>(input.channelsPerFrame));
        av_channel_layout_default(&outLayout_, static_cast<int>(outChannels));
        if (swr_alloc_set_opts2(&swr_, &outLayout_, outFormat_, static_cast<int>(output.sampleRate), &inLayout_,
                                inFormat_, static_cast<int>(input.sampleRate), 0, nullptr) < 0 ||
            swr_init(swr_) < 0)
            return kAudioConverterErrFormatNotSupported;
        fifo_ = av_audio_fifo_alloc(outFormat_, static_cast<int>(outChannels_), kAACFramesPerPacket * 2);
        return fifo_ ? kMediaNoErr : kMediaErrAllocationFailed;
    }

    // Input frames wanted for `outFrames` output frames.
    uint32_t inputFramesFor(size_t outFrames) const {
        const double ratio = input_.sampleRate / output_.sampleRate;
        return std::max<uint32_t>(1, static_cast<uint32_t>(std::ceil(static_cast<double>(outFrames) * ratio)));
    }

    // Asks the proc once. Returns its status; *ended is set when it had nothing more to give.
    MediaStatus pull(AudioConverterInputProc proc, void* userData, size_t outFramesWanted, bool* ended) {
        AudioBufferList list;
        uint32_t frames = inputFramesFor(outFramesWanted);
        const MediaStatus status = proc(this, &frames, &list, userData);
        if (status != kMediaNoErr) return status;
        const size_t usable = usableFrames(list, frames);
        if (usable == 0) {
            *ended = true;
            return kMediaNoErr;
        }
        return push(list, usable);
    }

private:
    // Never more than the proc's buffers hold, whatever count it claims.
    size_t usableFrames(const AudioBufferList& list, uint32_t claimed) const {
        const uint32_t planes = isPlanar(input_) ? input_.channelsPerFrame : 1;
        if (list.numberBuffers < planes) return 0;
        size_t frames = claimed;
        for (uint32_t i = 0; i < planes; ++i) {
            if (!list.buffers[i].data) return 0;
            frames = std::min<size_t>(frames, list.buffers[i].dataByteSize / input_.bytesPerFrame);
        }
        return frames;
    }

    MediaStatus push(const AudioBufferList& list, size_t frames) {
        const uint8_t* planes[AudioBufferList::kMaxBuffers] = {};
        for (uint32_t i = 0; i < list.numberBuffers && i < AudioBufferList::kMaxBuffers; ++i)
            planes[i] = static_cast<const uint8_t*>(list.buffers[i].data);
        // In slices, so that no count outgrows libswresample's int.
        constexpr size_t kSliceFrames = 1 << 16;
        while (frames > 0) {
            const size_t slice = std::min(frames, kSliceFrames);
            if (MediaStatus s = pushSlice(planes, slice); s != kMediaNoErr) return s;
            for (auto& plane : planes)
                if (plane) plane += slice * input_.bytesPerFrame;
            frames -= slice;
        }
        return kMediaNoErr;
    }

    MediaStatus pushSlice(const uint8_t** planes, size_t frames) {
        const int capacity = swr_get_out_samples(swr_, static_cast<int>(frames));
        if (capacity < 0) return kAudioConverterErrUnspecified;
        if (capacity > scratchFrames_) {
            if (scratch_) av_freep(&scratch_[0]);
            av_freep(&scratch_);
            if (av_samples_alloc_array_and_samples(&scratch_, nullptr, static_cast<int>(outChannels_), capacity,
                                                   outFormat_, 0) < 0)
                return kMediaErrAllocationFailed;
            scratchFrames_ = capacity;
        }
        const int got = swr_convert(swr_, scratch_, capacity, planes, static_cast<int>(frames));
        if (got < 0) return kAudioConverterErrUnspecified;
        if (got > 0 && av_audio_fifo_write(fifo_, reinterpret_cast<void**>(scratch_), got) < got)
            return kMediaErrAllocationFailed;
        return kMediaNoErr;
    }

protected:
    AudioStreamDescription input_;
    AudioStreamDescription output_;
    AVAudioFifo* fifo_ = nullptr;
    AVSampleFormat outFormat_ = AV_SAMPLE_FMT_NONE;
    uint32_t outChannels_ = 0;

private:
    AVSampleFormat inFormat_ = AV_SAMPLE_FMT_NONE;
    AVChannelLayout inLayout_{};
    AVChannelLayout outLayout_{};
    SwrContext* swr_ = nullptr;
    uint8_t** scratch_ = nullptr;
    int scratchFrames_ = 0;
};

class PCMConverter final : public ConverterBase {
public:
    MediaStatus open(const AudioStreamDescription& input, const AudioStreamDescription& output) {
        const AVSampleFormat outFormat = sampleFormatOf(output);
        if (outFormat == AV_SAMPLE_FMT_NONE) return kAudioConverterErrFormatNotSupported;
        return openResampler(input, output, outFormat, output.channelsPerFrame);
    }

    MediaStatus setEncodeBitRate(uint32_t) override { return kAudioConverterErrBadPropertyValue; }
    uint32_t encodeBitRate() const override { return 0; }
    std::vector<uint8_t> magicCookie() const override { return {}; }
    PrimeInfo primeInfo() const override { return {}; }
    uint32_t maximumOutputPacketSize() const override { return output_.bytesPerPacket; }

    MediaStatus fillComplexBuffer(AudioConverterInputProc proc, void* userData, uint32_t* ioOutputPackets,
                                  AudioBufferList* output, std::vector<AudioStreamPacketDescription>*) override {
        if (!proc || !ioOutputPackets || !output) return kMediaErrParam;
        const uint32_t planes = isPlanar(output_) ? output_.channelsPerFrame : 1;
        if (output->numberBuffers < planes) return kMediaErrParam;
        for (uint32_t i = 0; i < planes; ++i)
            if (!output->buffers[i].data) return kMediaErrParam;
        size_t want = *ioOutputPackets;
        for (uint32_t i = 0; i < planes; ++i)
            want = std::min<size_t>(want, output->buffers[i].dataByteSize / output_.bytesPerFrame);
        *ioOutputPackets = 0;
        MediaStatus status = kMediaNoErr;
        bool ended = false;
        while (bufferedFrames() < want && !ended) {
            status = pull(proc, userData, want - bufferedFrames(), &ended);
            if (status != kMediaNoErr) break;
        }
        const size_t frames = std::min(want, bufferedFrames());
        void* planesOut[AudioBufferList::kMaxBuffers] = {};
        for (uint32_t i = 0; i < planes; ++i) planesOut[i] = output->buffers[i].data;
        const int read = frames ? av_audio_fifo_read(fifo_, planesOut, static_cast<int>(frames)) : 0;
        for (uint32_t i = 0; i < planes; ++i)
            output->buffers[i].dataByteSize = static_cast<uint32_t>(std::max(read, 0)) * output_.bytesPerFrame;
        *ioOutputPackets = static_cast<uint32_t>(std::max(read, 0));
        return status;
    }
};

class AACConverter final : public ConverterBase {
public:
    ~AACConverter() override {
        av_packet_free(&packet_);
        av_frame_free(&frame_);
        avcodec_free_context(&codec_);
    }

    MediaStatus open(const AudioStreamDescription& input, const AudioStreamDescription& output) {
        const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
        if (!codec) return kAudioConverterErrNoEncoder;
        if (output.formatId != AudioStreamDescription::kFormatMPEG4AAC || !isAACRate(output.sampleRate) ||
            output.channelsPerFrame < 1 || output.channelsPerFrame > 8)
            return kAudioConverterErrFormatNotSupported;
        if (output.formatFlags != AudioStreamDescription::kAACObjectLC &&
            output.formatFlags != AudioStreamDescription::kAACObjectMain)
            return kAudioConverterErrFormatNotSupported;
        AudioStreamDescription out = output;
        out.framesPerPacket = kAACFramesPerPacket;
        if (MediaStatus s = openResampler(input, out, AV_SAMPLE_FMT_FLTP, out.channelsPerFrame); s != kMediaNoErr)
            return s;

        frame_ = av_frame_alloc();
        packet_ = av_packet_alloc();
        if (!frame_ || !packet_) return kMediaErrAllocationFailed;
        const int64_t bitRate =
            std::min<int64_t>(128000 * out.channelsPerFrame, maxBitRate(out.sampleRate, out.channelsPerFrame));
        if (MediaStatus s = openCodec(codec, bitRate); s != kMediaNoErr) return s;
        frame_->nb_samples = kAACFramesPerPacket;
        frame_->format = AV_SAMPLE_FMT_FLTP;
        frame_->sample_rate = codec_->sample_rate;
        if (av_channel_layout_copy(&frame_->ch_layout, &codec_->ch_layout) < 0 || av_frame_get_buffer(frame_, 0) < 0)
            return kMediaErrAllocationFailed;
        return prime();
    }

    MediaStatus setEncodeBitRate(uint32_t bitsPerSecond) override {
        if (bitsPerSecond < kAACMinBitRatePerChannel * outChannels_ ||
            bitsPerSecond > maxBitRate(output_.sampleRate, outChannels_))
            return kAudioConverterErrBadPropertyValue;
        // The encoder fixes its bandwidth from the rate it opens with: until real audio has gone
        // in, open it again rather than keep the first guess.
        if (nextPts_ <= static_cast<int64_t>(kAACFramesPerPacket)) {
            if (MediaStatus s = openCodec(codec_->codec, bitsPerSecond); s != kMediaNoErr) return s;
            return prime();
        }
        codec_->bit_rate = bitsPerSecond;
        return kMediaNoErr;
    }
    uint32_t encodeBitRate() const override { return static_cast<uint32_t>(codec_->bit_rate); }
    std::vector<uint8_t> magicCookie() const override { return cookie_; }
    PrimeInfo primeInfo() const override { return {leadingFrames_, 0}; }
    uint32_t maximumOutputPacketSize() const override { return kAACMaxPacketBytesPerChannel * outChannels_; }

    void reset() override {
        ConverterBase::reset();
        packets_.clear();
    }

    MediaStatus fillComplexBuffer(AudioConverterInputProc proc, void* userData, uint32_t* ioOutputPackets,
                                  AudioBufferList* output,
                                  std::vector<AudioStreamPacketDescription>* packetDescriptions) override {
        if (!proc || !ioOutputPackets || !output || output->numberBuffers < 1 || !output->buffers[0].data)
            return kMediaErrParam;
        const uint32_t want = *ioOutputPackets;
        uint32_t made = 0;
        uint32_t offset = 0;
        *ioOutputPackets = 0;
        if (packetDescriptions) packetDescriptions->clear();
        bool ended = false;
        MediaStatus status = kMediaNoErr;
        while (made < want) {
            if (!packets_.empty()) {
                const std::vector<uint8_t>& p = packets_.front();
                if (p.size() > output->buffers[0].dataByteSize - offset) {
                    status = kAudioConverterErrBufferTooSmall;
                    break;
                }
                std::memcpy(static_cast<uint8_t*>(output->buffers[0].data) + offset, p.data(), p.size());
                if (packetDescriptions)
                    packetDescriptions->push_back({offset, 0, static_cast<uint32_t>(p.size())});
                offset += static_cast<uint32_t>(p.size());
                packets_.pop_front();
                ++made;
                continue;
            }
            while (bufferedFrames() < kAACFramesPerPacket && !ended) {
                status = pull(proc, userData, kAACFramesPerPacket - bufferedFrames(), &ended);
                if (status != kMediaNoErr) break;
            }
            if (status != kMediaNoErr) break;
            const size_t frames = std::min<size_t>(bufferedFrames(), kAACFramesPerPacket);
            if (frames == 0) break;
            if ((status = encodeFrame(frames)) != kMediaNoErr) break;
            if (packets_.empty() && ended) break;
        }
        output->buffers[0].dataByteSize = offset;
        *ioOutputPackets = made;
        return status;
    }

private:
    // A failed open leaves the context there was.
    MediaStatus openCodec(const AVCodec* codec, int64_t bitRate) {
        CodecLog::install();
        AVCodecContext* fresh = avcodec_alloc_context3(codec);
        if (!fresh) return kMediaErrAllocationFailed;
        fresh->sample_rate = static_cast<int>(output_.sampleRate);
        fresh->time_base = AVRational{1, fresh->sample_rate};
        av_channel_layout_default(&fresh->ch_layout, static_cast<int>(outChannels_));
        fresh->sample_fmt = AV_SAMPLE_FMT_FLTP;
        fresh->bit_rate = bitRate;
        fresh->profile = output_.formatFlags == AudioStreamDescription::kAACObjectMain ? FF_PROFILE_AAC_MAIN
                                                                                       : FF_PROFILE_AAC_LOW;
        if (avcodec_open2(fresh, codec, nullptr) < 0 || fresh->frame_size != static_cast<int>(kAACFramesPerPacket)) {
            avcodec_free_context(&fresh);
            return kAudioConverterErrFormatNotSupported;
        }
        avcodec_free_context(&codec_);
        codec_ = fresh;
        cookie_.assign(codec_->extradata, codec_->extradata + codec_->extradata_size);
        nextPts_ = 0;
        return kMediaNoErr;
    }

    // The encoder answers a frame only once it has the next; a silent frame handed in now makes
    // every later frame come back as its packet at once. The decoded stream carries it as priming,
    // on top of the encoder's own.
    MediaStatus prime() {
        if (MediaStatus s = encodeFrame(0); s != kMediaNoErr) return s;
        if (!packets_.empty()) return kAudioConverterErrUnspecified;
        leadingFrames_ = static_cast<uint32_t>(codec_->initial_padding) + kAACFramesPerPacket;
        return kMediaNoErr;
    }

    // Encodes `frames` frames from the FIFO, padded with silence to a whole packet.
    MediaStatus encodeFrame(size_t frames) {
        if (av_frame_make_writable(frame_) < 0) return kMediaErrAllocationFailed;
        const int read = frames ? av_audio_fifo_read(fifo_, reinterpret_cast<void**>(frame_->data),
                                                     static_cast<int>(frames))
                                : 0;
        if (read < static_cast<int>(frames)) return kAudioConverterErrUnspecified;
        if (read < static_cast<int>(kAACFramesPerPacket))
            av_samples_set_silence(frame_->data, read, static_cast<int>(kAACFramesPerPacket) - read,
                                   static_cast<int>(outChannels_), AV_SAMPLE_FMT_FLTP);
        frame_->pts = nextPts_;
        nextPts_ += kAACFramesPerPacket;
        if (avcodec_send_frame(codec_, frame_) < 0) return kAudioConverterErrUnspecified;
        for (;;) {
            const int r = avcodec_receive_packet(codec_, packet_);
            if (r == AVERROR(EAGAIN)) break;
            if (r < 0) return kAudioConverterErrUnspecified;
            packets_.emplace_back(packet_->data, packet_->data + packet_->size);
            av_packet_unref(packet_);
        }
        return kMediaNoErr;
    }

    AVCodecContext* codec_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
    std::deque<std::vector<uint8_t>> packets_;
    std::vector<uint8_t> cookie_;
    uint32_t leadingFrames_ = 0;
    int64_t nextPts_ = 0;
};

}  // namespace

namespace AudioFormat {

MediaStatus completeFormatInfo(AudioStreamDescription* d) {
    if (!d) return kMediaErrParam;
    if (d->formatId == AudioStreamDescription::kFormatMPEG4AAC) {
        if (!isAACRate(d->sampleRate) || d->channelsPerFrame < 1 || d->channelsPerFrame > 8)
            return kAudioFormatErrUnsupportedDataFormat;
        d->framesPerPacket = kAACFramesPerPacket;
        d->bytesPerPacket = 0;
        d->bytesPerFrame = 0;
        d->bitsPerChannel = 0;
        return kMediaNoErr;
    }
    if (d->isLinearPCM()) {
        if (d->bitsPerChannel == 0 || d->bitsPerChannel % 8 != 0 || d->channelsPerFrame == 0 || !(d->sampleRate > 0))
            return kAudioFormatErrUnsupportedDataFormat;
        const uint32_t sampleBytes = d->bitsPerChannel / 8;
        d->bytesPerFrame = isPlanar(*d) ? sampleBytes : sampleBytes * d->channelsPerFrame;
        d->framesPerPacket = 1;
        d->bytesPerPacket = d->bytesPerFrame;
        d->formatFlags |= AudioStreamDescription::kFlagIsPacked;
        return kMediaNoErr;
    }
    return kAudioFormatErrUnsupportedDataFormat;
}

std::vector<AudioClassDescription> encoders(uint32_t formatId) {
    if (formatId == AudioStreamDescription::kFormatMPEG4AAC && avcodec_find_encoder(AV_CODEC_ID_AAC))
        return {{kAudioEncoderComponentType, AudioStreamDescription::kFormatMPEG4AAC,
                 kAudioCodecManufacturerSoftware}};
    return {};
}

}  // namespace AudioFormat

MediaStatus AudioConverter::create(const AudioStreamDescription& input, const AudioStreamDescription& output,
                                   std::shared_ptr<AudioConverter>* converter) {
    if (!converter) return kMediaErrParam;
    converter->reset();
    auto made = std::make_shared<PCMConverter>();
    if (MediaStatus s = made->open(input, output); s != kMediaNoErr) return s;
    *converter = std::move(made);
    return kMediaNoErr;
}

MediaStatus AudioConverter::createSpecific(const AudioStreamDescription& input, const AudioStreamDescription& output,
                                           const std::vector<AudioClassDescription>& classes,
                                           std::shared_ptr<AudioConverter>* converter) {
    if (!converter) return kMediaErrParam;
    converter->reset();
    const auto ours = std::find(classes.begin(), classes.end(),
                                AudioClassDescription{kAudioEncoderComponentType, AudioStreamDescription::kFormatMPEG4AAC,
                                                      kAudioCodecManufacturerSoftware});
    if (ours == classes.end() || output.formatId != AudioStreamDescription::kFormatMPEG4AAC)
        return kAudioConverterErrNoEncoder;
    auto made = std::make_shared<AACConverter>();
    if (MediaStatus s = made->open(input, output); s != kMediaNoErr) return s;
    *converter = std::move(made);
    return kMediaNoErr;
}

}  // namespace platform
