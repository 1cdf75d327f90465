#include "platform/media/AssetReader.h"

#include <climits>
#include <deque>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include "platform/media/CodecLog.h"

namespace platform {

namespace {

constexpr int kVideoTimeScale = 90000;  // for streams whose time base isn't 1/n
constexpr size_t kMaxPooledImages = 8;
// Containers that hold their own media. Playlists, concat lists and image sequences name other
// files or URLs, which a file handed to us must not make us open.
constexpr const char* kAllowedDemuxers = "mov,matroska,avi,flv,mpegts,mpeg,asf,nut,ogg,mp3,aac,wav,flac,ivf,h264,m4v";

// Images handed out keep a reference that brings them back here when the last user lets go.
class PixelBufferPool : public std::enable_shared_from_this<PixelBufferPool> {
public:
    std::shared_ptr<PixelBuffer> take(int32_t width, int32_t height) {
        std::shared_ptr<PixelBuffer> image;
        {
            std::lock_guard lock(mutex_);
            if (width != width_ || height != height_) {
                free_.clear();
                width_ = width;
                height_ = height;
            }
            if (!free_.empty()) {
                image = std::move(free_.back());
                free_.pop_back();
            }
        }
        if (!image) image = PixelBuffer::create(width, height, PixelFormat::NV12VideoRange);
        if (!image) return nullptr;
        PixelBuffer* raw = image.get();
        return std::shared_ptr<PixelBuffer>(raw, [pool = weak_from_this(), owner = std::move(image)](PixelBuffer*) mutable {
            if (auto self = pool.lock()) self->giveBack(std::move(owner));
        });
    }

private:
    void giveBack(std::shared_ptr<PixelBuffer> image) {
        std::lock_guard lock(mutex_);
        if (image->width() == width_ && image->height() == height_ && free_.size() < kMaxPooledImages) {
            free_.push_back(std::move(image));
        }
    }

    std::mutex mutex_;
    int32_t width_ = 0;
    int32_t height_ = 0;
    std::vector<std::shared_ptr<PixelBuffer>> free_;
};

struct Track {
    int streamIndex = -1;
    AVCodecContext* codec = nullptr;
    std::deque<AVPacket*> packets;
    size_t queuedBytes = 0;
    bool flushed = false;   // the decoder was told the input ended
    int64_t demuxed = 0;    // packets read from the file
    bool finished = false;  // its last sample was handed out

    bool present() const { return streamIndex >= 0; }
    void clear() {
        for (AVPacket* p : packets) av_packet_free(&p);
        packets.clear();
        queuedBytes = 0;
        avcodec_free_context(&codec);
    }
};

int firstStreamOfType(const AVFormatContext* format, AVMediaType type) {
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVStream* stream = format->streams[i];
        if (stream->codecpar->codec_type != type) continue;
        if (type == AVMEDIA_TYPE_VIDEO && (stream->disposition & AV_DISPOSITION_ATTACHED_PIC)) continue;
        return static_cast<int>(i);
    }
    return -1;
}

MediaTime toMediaTime(int64_t pts, AVRational timeBase) {
    if (timeBase.num == 1 && timeBase.den > 0) return MediaTime::make(pts, timeBase.den);
    return MediaTime::make(av_rescale_q(pts, timeBase, AVRational{1, kVideoTimeScale}), kVideoTimeScale);
}

}  // namespace

struct AssetReader::Impl {
    AVFormatContext* format = nullptr;
    Track tracks[2];
    bool demuxEnded = false;
    // The file ended before a track's index said it would: a cut file.
    bool cutShort = false;
    size_t maxQueuedBytes = kDefaultMaxQueuedBytes;
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    double frameRate = 0;

    SwsContext* sws = nullptr;
    std::shared_ptr<PixelBufferPool> pool = std::make_shared<PixelBufferPool>();
    int64_t lastVideoPts = AV_NOPTS_VALUE;

    SwrContext* swr = nullptr;
    int swrInRate = 0;
    int swrInFormat = -1;
    int swrInChannels = 0;
    int sampleRate = 0;
    int channels = 0;
    std::shared_ptr<const FormatDescription> audioFormat;
    int64_t nextAudioPts = AV_NOPTS_VALUE;  // in 1 / sampleRate

    ~Impl() {
        for (Track& t : tracks) t.clear();
        sws_freeContext(sws);
        swr_free(&swr);
        av_frame_free(&frame);
        av_packet_free(&packet);
        avformat_close_input(&format);
    }

    // The index (where the container has one) promises more packets than the file held.
    bool endedShort() const {
        for (const Track& t : tracks) {
            if (t.present() && format->streams[t.streamIndex]->nb_frames > t.demuxed) return true;
        }
        return false;
    }

    Track& track(AssetTrack which) { return tracks[which == AssetTrack::Video ? 0 : 1]; }
    AVStream* stream(const Track& t) const { return format->streams[t.streamIndex]; }

    bool openDecoder(Track& t) {
        if (!t.present()) return true;
        const AVCodecParameters* parameters = stream(t)->codecpar;
        const AVCodec* decoder = avcodec_find_decoder(parameters->codec_id);
        if (!decoder) return false;
        t.codec = avcodec_alloc_context3(decoder);
        if (!t.codec || avcodec_parameters_to_context(t.codec, parameters) < 0) return false;
        // One thread: the reading is paced at real time, and threads only add CPU and latency.
        t.codec->thread_count = 1;
        t.codec->pkt_timebase = stream(t)->time_base;
        return avcodec_open2(t.codec, decoder, nullptr) >= 0;
    }

    std::shared_ptr<SampleBuffer> convertVideo() {
        const int32_t width = frame->width & ~1;
        const int32_t height = frame->height & ~1;
        if (width < 2 || height < 2) return nullptr;
        auto image = pool->take(width, height);
        if (!image) return nullptr;
        sws = sws_getCachedContext(sws, frame->width, frame->height, static_cast<AVPixelFormat>(frame->format), width,
                                   height, AV_PIX_FMT_NV12, SWS_BILINEAR, nullptr, nullptr, nullptr);
        if (!sws) return nullptr;
        if (frame->color_range == AVCOL_RANGE_JPEG) {
            const int* coefficients = sws_getCoefficients(SWS_CS_DEFAULT);
            sws_setColorspaceDetails(sws, coefficients, 1, coefficients, 0, 0, 1 << 16, 1 << 16);
        }
        uint8_t* planes[4] = {image->planeData(0), image->planeData(1), nullptr, nullptr};
        int strides[4] = {static_cast<int>(image->bytesPerRow(0)), static_cast<int>(image->bytesPerRow(1)), 0, 0};
        if (sws_scale(sws, frame->data, frame->linesize, 0, frame->height, planes, strides) != height) return nullptr;

        const Track& t = tracks[0];
        const AVRational timeBase = stream(t)->time_base;
        int64_t pts = frame->best_effort_timestamp;
        const int64_t step = frameRate > 0 ? av_rescale_q(1, av_d2q(1 / frameRate, INT_MAX), timeBase) : 1;
        if (pts == AV_NOPTS_VALUE) pts = lastVideoPts == AV_NOPTS_VALUE ? 0 : lastVideoPts + step;
        lastVideoPts = pts;
        SampleTiming timing;
        timing.presentationTimeStamp = toMediaTime(pts, timeBase);
        timing.duration = frameRate > 0 ? MediaTime::makeWithSeconds(1 / frameRate, kVideoTimeScale) : MediaTime::invalid();
        return SampleBuffer::createWithImageBuffer(std::move(image), timing);
    }

    bool prepareResampler() {
        if (swr && swrInRate == frame->sample_rate && swrInFormat == frame->format &&
            swrInChannels == frame->ch_layout.nb_channels) {
            return true;
        }
        swr_free(&swr);
        AVChannelLayout outLayout;
        av_channel_layout_default(&outLayout, channels);
        const int made = swr_alloc_set_opts2(&swr, &outLayout, AV_SAMPLE_FMT_S16, sampleRate, &frame->ch_layout,
                                             static_cast<AVSampleFormat>(frame->format), frame->sample_rate, 0, nullptr);
        av_channel_layout_uninit(&outLayout);
        if (made < 0 || swr_init(swr) < 0) return false;
        swrInRate = frame->sample_rate;
        swrInFormat = frame->format;
        swrInChannels = frame->ch_layout.nb_channels;
        return true;
    }

    // Null with `ok` true when the frame gave no sample yet.
    std::shared_ptr<SampleBuffer> convertAudio(bool& ok) {
        ok = frame->sample_rate > 0 && frame->ch_layout.nb_channels > 0 && prepareResampler();
        if (!ok) return nullptr;
        const int capacity = swr_get_out_samples(swr, frame->nb_samples);
        if (capacity <= 0) return nullptr;
        const size_t bytesPerFrame = static_cast<size_t>(channels) * 2;
        std::vector<uint8_t> pcm(static_cast<size_t>(capacity) * bytesPerFrame);
        uint8_t* out = pcm.data();
        const int converted = swr_convert(swr, &out, capacity, const_cast<const uint8_t**>(frame->extended_data),
                                          frame->nb_samples);
        ok = converted >= 0;
        if (converted <= 0) return nullptr;
        pcm.resize(static_cast<size_t>(converted) * bytesPerFrame);
        if (nextAudioPts == AV_NOPTS_VALUE) {
            const int64_t pts = frame->best_effort_timestamp;
            nextAudioPts = pts == AV_NOPTS_VALUE ? 0 : av_rescale_q(pts, stream(tracks[1])->time_base, AVRational{1, sampleRate});
        }
        const MediaTime start = MediaTime::make(nextAudioPts, sampleRate);
        nextAudioPts += converted;
        return SampleBuffer::createAudioPCM(BlockBuffer::createWithBytes(std::move(pcm)), audioFormat, converted, start);
    }
};

std::shared_ptr<AssetReader> AssetReader::create(const std::string& path, std::string* error) {
    auto impl = std::make_unique<Impl>();
    const auto refuse = [&](const std::string& why) -> std::shared_ptr<AssetReader> {
        if (error) *error = why;
        return nullptr;
    };
    if (!impl->packet || !impl->frame) return refuse("out of memory");
    CodecLog::install();
    AVDictionary* options = nullptr;
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    av_dict_set(&options, "format_whitelist", kAllowedDemuxers, 0);
    // A path, never a URL: "file:" keeps a colon in a name from reading as a protocol.
    const int opened = avformat_open_input(&impl->format, ("file:" + path).c_str(), nullptr, &options);
    av_dict_free(&options);
    if (opened < 0) return refuse("not a media file");
    if (avformat_find_stream_info(impl->format, nullptr) < 0) return refuse("no stream information");
    impl->tracks[0].streamIndex = firstStreamOfType(impl->format, AVMEDIA_TYPE_VIDEO);
    impl->tracks[1].streamIndex = firstStreamOfType(impl->format, AVMEDIA_TYPE_AUDIO);
    if (!impl->tracks[0].present() && !impl->tracks[1].present()) return refuse("no audio or video track");
    if (impl->tracks[0].present()) {
        const AVStream* video = impl->stream(impl->tracks[0]);
        AVRational rate = video->avg_frame_rate;
        if (rate.num <= 0 || rate.den <= 0) rate = video->r_frame_rate;
        impl->frameRate = rate.num > 0 && rate.den > 0 ? av_q2d(rate) : 0;
    }
    if (impl->tracks[1].present()) {
        const AVCodecParameters* audio = impl->stream(impl->tracks[1])->codecpar;
        impl->sampleRate = audio->sample_rate;
        impl->channels = audio->ch_layout.nb_channels;
        if (impl->sampleRate <= 0 || impl->channels <= 0) return refuse("audio track without rate or channels");
        impl->audioFormat = FormatDescription::createAudio(
            AudioStreamDescription::pcmInt16(impl->sampleRate, static_cast<uint32_t>(impl->channels)));
    }
    return std::shared_ptr<AssetReader>(new AssetReader(std::move(impl)));
}

AssetReader::AssetReader(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

AssetReader::~AssetReader() = default;

bool AssetReader::hasTrack(AssetTrack track) const { return impl_->track(track).present(); }

double AssetReader::nominalFrameRate() const { return impl_->frameRate; }

void AssetReader::setMaxQueuedBytes(size_t bytes) {
    std::lock_guard lock(mutex_);
    impl_->maxQueuedBytes = bytes;
}

bool AssetReader::startReading() {
    std::lock_guard lock(mutex_);
    auto expected = AssetReaderStatus::Unknown;
    if (status_.load() != expected) return false;
    if (!impl_->openDecoder(impl_->tracks[0]) || !impl_->openDecoder(impl_->tracks[1])) {
        status_.compare_exchange_strong(expected, AssetReaderStatus::Failed);
        return false;
    }
    return status_.compare_exchange_strong(expected, AssetReaderStatus::Reading);
}

void AssetReader::cancelReading() {
    auto expected = AssetReaderStatus::Reading;
    if (status_.compare_exchange_strong(expected, AssetReaderStatus::Cancelled)) return;
    expected = AssetReaderStatus::Unknown;
    status_.compare_exchange_strong(expected, AssetReaderStatus::Cancelled);
}

void AssetReader::fail() {
    auto expected = AssetReaderStatus::Reading;
    status_.compare_exchange_strong(expected, AssetReaderStatus::Failed);
}

std::shared_ptr<SampleBuffer> AssetReader::copyNextSampleBuffer(AssetTrack which) {
    std::lock_guard lock(mutex_);
    Impl& impl = *impl_;
    Track& track = impl.track(which);
    Track& other = impl.tracks[which == AssetTrack::Video ? 1 : 0];
    // Each pass decodes, feeds the decoder or demuxes one packet; the file's end bounds it.
    while (status_.load() == AssetReaderStatus::Reading && track.present() && !track.finished) {
        const int received = avcodec_receive_frame(track.codec, impl.frame);
        if (received == 0) {
            bool ok = true;
            auto sample = which == AssetTrack::Video ? impl.convertVideo() : impl.convertAudio(ok);
            av_frame_unref(impl.frame);
            if (sample) return sample;
            if (which == AssetTrack::Video || !ok) break;
            continue;
        }
        if (received == AVERROR_EOF) {
            track.finished = true;
            if ((!other.present() || other.finished)) {
                auto expected = AssetReaderStatus::Reading;
                status_.compare_exchange_strong(expected,
                                                impl.cutShort ? AssetReaderStatus::Failed : AssetReaderStatus::Completed);
            }
            return nullptr;
        }
        if (received != AVERROR(EAGAIN)) break;
        if (!track.packets.empty()) {
            AVPacket* queued = track.packets.front();
            track.packets.pop_front();
            track.queuedBytes -= static_cast<size_t>(queued->size);
            avcodec_send_packet(track.codec, queued);  // a damaged packet is skipped
            av_packet_free(&queued);
            continue;
        }
        if (impl.demuxEnded) {
            if (track.flushed) break;
            avcodec_send_packet(track.codec, nullptr);
            track.flushed = true;
            continue;
        }
        const int read = av_read_frame(impl.format, impl.packet);
        if (read == AVERROR_EOF) {
            impl.demuxEnded = true;
            impl.cutShort = impl.endedShort();
            continue;
        }
        if (read < 0) break;
        for (Track& t : impl.tracks) t.demuxed += impl.packet->stream_index == t.streamIndex ? 1 : 0;
        if (impl.packet->stream_index == track.streamIndex) {
            avcodec_send_packet(track.codec, impl.packet);
            av_packet_unref(impl.packet);
        } else if (impl.packet->stream_index == other.streamIndex && !other.finished) {
            other.queuedBytes += static_cast<size_t>(impl.packet->size);
            other.packets.push_back(av_packet_clone(impl.packet));
            av_packet_unref(impl.packet);
            if (!other.packets.back() || other.queuedBytes > impl.maxQueuedBytes) break;
        } else {
            av_packet_unref(impl.packet);
        }
    }
    if (status_.load() == AssetReaderStatus::Reading && track.present() && !track.finished) fail();
    return nullptr;
}

}  // namespace platform
