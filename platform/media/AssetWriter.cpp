#include "platform/media/AssetWriter.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <filesystem>
#include <system_error>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
}

#include "platform/DispatchQueue.h"
#include "platform/media/CodecLog.h"

namespace platform {

namespace {

constexpr int kVideoTimeScale = 90000;
constexpr int kCustomIOBufferBytes = 64 * 1024;

std::string avErrorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

// avcC: version, profile, compatibility, level, 4-byte lengths, one SPS, one PPS.
std::vector<uint8_t> avcConfiguration(const FormatDescription& format) {
    const uint8_t* sps = nullptr;
    const uint8_t* pps = nullptr;
    size_t spsBytes = 0;
    size_t ppsBytes = 0;
    if (format.h264ParameterSetAtIndex(0, &sps, &spsBytes) != kMediaNoErr ||
        format.h264ParameterSetAtIndex(1, &pps, &ppsBytes) != kMediaNoErr || spsBytes < 4 || ppsBytes < 1 ||
        spsBytes > 0xFFFF || ppsBytes > 0xFFFF || format.nalUnitHeaderLength() != 4) {
        return {};
    }
    std::vector<uint8_t> avcc{1, sps[1], sps[2], sps[3], 0xFF, 0xE1};
    avcc.push_back(static_cast<uint8_t>(spsBytes >> 8));
    avcc.push_back(static_cast<uint8_t>(spsBytes));
    avcc.insert(avcc.end(), sps, sps + spsBytes);
    avcc.push_back(1);
    avcc.push_back(static_cast<uint8_t>(ppsBytes >> 8));
    avcc.push_back(static_cast<uint8_t>(ppsBytes));
    avcc.insert(avcc.end(), pps, pps + ppsBytes);
    return avcc;
}

// The channel configuration of an AudioSpecificConfig; 0 when it can't be read.
int channelsOfAudioSpecificConfig(const std::vector<uint8_t>& asc) {
    size_t bit = 0;
    const auto read = [&](int count) {
        uint32_t value = 0;
        for (int i = 0; i < count; ++i, ++bit) {
            if (bit / 8 >= asc.size()) return UINT32_MAX;
            value = (value << 1) | ((asc[bit / 8] >> (7 - bit % 8)) & 1);
        }
        return value;
    };
    if (read(5) == 31) read(6);
    if (read(4) == 15) read(24);
    const uint32_t channels = read(4);
    return channels == UINT32_MAX ? 0 : static_cast<int>(channels);
}

// The muxer doesn't check every seek it makes (the index's sizes are written after one): a
// failure is remembered here and fails the file.
struct SinkIO {
    std::shared_ptr<AssetByteSink> sink;
    bool failed = false;
};

int sinkWrite(void* opaque, uint8_t* data, int size) {
    auto* io = static_cast<SinkIO*>(opaque);
    if (io->sink->write(data, static_cast<size_t>(size))) return size;
    io->failed = true;
    return AVERROR(EIO);
}

int64_t sinkSeek(void* opaque, int64_t offset, int whence) {
    auto* io = static_cast<SinkIO*>(opaque);
    if (whence != SEEK_SET) return AVERROR(ENOSYS);
    if (io->sink->seek(offset)) return offset;
    io->failed = true;
    return AVERROR(EIO);
}

// The file itself, opened without following a link planted at its name.
class FileSink : public AssetByteSink {
public:
    explicit FileSink(int fd) : fd_(fd) {}
    ~FileSink() override {
        if (fd_ >= 0) ::close(fd_);
    }
    bool write(const uint8_t* data, size_t sizeBytes) override {
        while (sizeBytes > 0) {
            const ssize_t n = ::write(fd_, data, sizeBytes);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            data += n;
            sizeBytes -= static_cast<size_t>(n);
        }
        return true;
    }
    bool seek(int64_t offsetBytes) override { return ::lseek(fd_, offsetBytes, SEEK_SET) == offsetBytes; }
    bool close() override {
        const int fd = fd_;
        fd_ = -1;
        return fd >= 0 && ::close(fd) == 0;
    }

private:
    int fd_;
};

void releaseBlock(void* opaque, uint8_t*) { delete static_cast<std::shared_ptr<BlockBuffer>*>(opaque); }

}  // namespace

struct AssetWriter::Impl {
    struct Track {
        std::shared_ptr<AssetWriterInput> input;
        int stream = -1;
        std::vector<uint8_t> extradata;
        int32_t width = 0;
        int32_t height = 0;
        bool seenFirst = false;
        MediaTime trim = MediaTime::zero();
    };
    struct Held {
        size_t track;
        std::shared_ptr<SampleBuffer> sample;
    };

    AssetFileType fileType = AssetFileType::MPEG4;
    std::shared_ptr<AssetByteSink> sink;
    SinkIO io;
    MediaTime firstHeldVideo = MediaTime::invalid();
    AVFormatContext* context = nullptr;
    AssetWriterStatus status = AssetWriterStatus::Unknown;
    std::string error;
    std::vector<Track> tracks;
    bool headerWritten = false;
    std::deque<Held> held;
    double heldSeconds = 0;
    MediaTime sessionStart = MediaTime::zero();

    ~Impl() {
        closeOutput();
        avformat_free_context(context);
    }

    bool fail(const std::string& reason) {
        status = AssetWriterStatus::Failed;
        if (error.empty()) error = reason;
        return false;
    }

    bool openOutput(const std::string& path) {
        if (!sink) {
            const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
            if (fd < 0) return fail("cannot open " + path + ": " + std::strerror(errno));
            sink = std::make_shared<FileSink>(fd);
        }
        io.sink = sink;
        auto* buffer = static_cast<uint8_t*>(av_malloc(kCustomIOBufferBytes));
        context->pb = buffer ? avio_alloc_context(buffer, kCustomIOBufferBytes, 1, &io, nullptr, sinkWrite, sinkSeek)
                             : nullptr;
        if (!context->pb) {
            av_free(buffer);
            return fail("out of memory");
        }
        context->pb->seekable = AVIO_SEEKABLE_NORMAL;
        context->flags |= AVFMT_FLAG_CUSTOM_IO;
        return true;
    }

    // False when flushing or closing failed.
    bool closeOutput() {
        if (!context || !context->pb) return true;
        avio_flush(context->pb);
        const bool ok = context->pb->error >= 0 && !io.failed;
        av_freep(&context->pb->buffer);
        avio_context_free(&context->pb);
        return sink->close() && ok;
    }

    bool addStream(Track& track, bool atFinish) {
        const bool video = track.input->mediaType() == FormatDescription::MediaType::Video;
        // A track that got nothing before the file had to be finished is left out, and so is an
        // audio track without its decoder configuration: no player could decode it.
        if (track.extradata.empty() || (atFinish && !track.seenFirst)) return true;
        AVStream* stream = avformat_new_stream(context, nullptr);
        if (!stream) return fail("out of memory");
        AVCodecParameters* par = stream->codecpar;
        par->extradata = static_cast<uint8_t*>(av_mallocz(track.extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
        if (!par->extradata) return fail("out of memory");
        std::copy(track.extradata.begin(), track.extradata.end(), par->extradata);
        par->extradata_size = static_cast<int>(track.extradata.size());
        if (video) {
            par->codec_type = AVMEDIA_TYPE_VIDEO;
            par->codec_id = AV_CODEC_ID_H264;
            par->width = track.width;
            par->height = track.height;
            stream->time_base = AVRational{1, kVideoTimeScale};
        } else {
            const auto* asbd = track.input->sourceFormatHint()->audioStreamDescription();
            const int rate = static_cast<int>(asbd->sampleRate);
            int channels = channelsOfAudioSpecificConfig(track.extradata);
            if (channels <= 0) channels = static_cast<int>(asbd->channelsPerFrame);
            par->codec_type = AVMEDIA_TYPE_AUDIO;
            par->codec_id = AV_CODEC_ID_AAC;
            par->sample_rate = rate;
            av_channel_layout_default(&par->ch_layout, channels);
            par->frame_size = 1024;
            stream->time_base = AVRational{1, rate};
        }
        track.stream = stream->index;
        return true;
    }

    bool writeHeader(bool atFinish = false) {
        for (auto& track : tracks) {
            if (!addStream(track, atFinish)) return false;
        }
        if (context->nb_streams == 0) return fail("no media to write");
        const int rc = avformat_write_header(context, nullptr);
        if (rc < 0) return fail("cannot write the header: " + avErrorText(rc));
        headerWritten = true;
        bool ok = true;
        while (!held.empty() && ok) {
            Held next = std::move(held.front());
            held.pop_front();
            // A track the header left out drops what it held.
            if (tracks[next.track].stream >= 0) ok = writePacket(next.track, *next.sample);
        }
        held.clear();
        heldSeconds = 0;
        return status != AssetWriterStatus::Failed;
    }

    // Time base as it stands after the header: the muxer may have chosen its own.
    int64_t ticks(MediaTime time, const AVStream& stream) const {
        return av_rescale_q(time.value, AVRational{1, time.timeScale}, stream.time_base);
    }

    bool writePacket(size_t index, const SampleBuffer& sample) {
        const Track& track = tracks[index];
        const auto& data = sample.dataBuffer();
        if (track.stream < 0 || !data || data->empty()) return false;
        const AVStream& stream = *context->streams[track.stream];
        const MediaTime time = sample.outputPresentationTimeStamp() - sessionStart;
        if (!time.isNumeric()) return false;
        AVPacket* packet = av_packet_alloc();
        if (!packet) return fail("out of memory");
        auto* holder = new std::shared_ptr<BlockBuffer>(data);
        packet->buf = av_buffer_create(const_cast<uint8_t*>(data->data()), static_cast<int>(data->size()), releaseBlock,
                                       holder, AV_BUFFER_FLAG_READONLY);
        if (!packet->buf) {
            delete holder;
            av_packet_free(&packet);
            return fail("out of memory");
        }
        packet->data = packet->buf->data;
        packet->size = packet->buf->size;
        packet->stream_index = track.stream;
        packet->pts = ticks(time, stream) - ticks(track.trim, stream);
        packet->dts = packet->pts;  // no reordering
        if (sample.duration().isNumeric()) packet->duration = ticks(sample.duration(), stream);
        if (sample.isSync()) packet->flags |= AV_PKT_FLAG_KEY;
        const int rc = av_interleaved_write_frame(context, packet);
        av_packet_free(&packet);
        if ((context->pb && context->pb->error < 0) || io.failed) return fail("write failed");
        return rc >= 0;
    }

    bool heldIsFull() const { return heldSeconds >= kMaxHeldMediaSeconds; }

    // A video sample that arrives while the audio track still waits for its configuration is
    // held, for a while: the header can't take a track later.
    bool waitForAudioConfiguration(const SampleBuffer& sample) {
        bool waiting = false;
        for (const auto& track : tracks) {
            waiting |= track.input->mediaType() == FormatDescription::MediaType::Audio && track.extradata.empty();
        }
        const MediaTime time = sample.outputPresentationTimeStamp();
        if (!waiting || !time.isNumeric()) return false;
        if (!firstHeldVideo.isNumeric()) firstHeldVideo = time;
        return (time - firstHeldVideo).seconds() < kMaxAudioConfigurationWaitSeconds;
    }

    bool videoSeen() const {
        for (const auto& track : tracks) {
            if (track.input->mediaType() == FormatDescription::MediaType::Video && track.seenFirst) return true;
        }
        return false;
    }

    bool hasVideo() const {
        for (const auto& track : tracks) {
            if (track.input->mediaType() == FormatDescription::MediaType::Video) return true;
        }
        return false;
    }

    // A failed file is closed at once rather than at the next start.
    void closeIfFailed() {
        if (status == AssetWriterStatus::Failed) closeOutput();
    }
};

std::shared_ptr<AssetWriter> AssetWriter::create(const std::string& path, AssetFileType fileType, std::string* error,
                                                 std::shared_ptr<AssetByteSink> sink) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path file(path);
    std::string reason;
    if (path.empty() || path.find('\0') != std::string::npos || fs::is_directory(file, ec))
        reason = "not a file path: " + path;
    else if (!sink && !fs::is_directory(file.parent_path().empty() ? fs::path(".") : file.parent_path(), ec))
        reason = "no folder for " + path;
    std::shared_ptr<AssetWriter> writer;
    if (reason.empty()) {
        CodecLog::install();
        writer.reset(new AssetWriter(path, fileType, std::move(sink)));
        const char* format = fileType == AssetFileType::MPEG4 ? "mp4" : "ipod";
        if (avformat_alloc_output_context2(&writer->impl_->context, nullptr, format, path.c_str()) < 0) {
            reason = "cannot make the muxer";
            writer.reset();
        }
    }
    if (error) *error = reason;
    return writer;
}

AssetWriter::AssetWriter(std::string path, AssetFileType fileType, std::shared_ptr<AssetByteSink> sink)
    : path_(std::move(path)), queue_(DispatchQueue::createSerial("com.kestrune.AssetWriter")),
      impl_(std::make_unique<Impl>()) {
    impl_->fileType = fileType;
    impl_->sink = std::move(sink);
}

AssetWriter::~AssetWriter() = default;

bool AssetWriter::canAddInput(const AssetWriterInput& input) const {
    std::lock_guard lock(mutex_);
    if (impl_->status != AssetWriterStatus::Unknown || !input.writer_.expired() || !input.sourceFormatHint()) return false;
    const bool video = input.mediaType() == FormatDescription::MediaType::Video;
    if (video && impl_->fileType == AssetFileType::AppleM4A) return false;
    if (!video && !input.sourceFormatHint()->audioStreamDescription()) return false;
    for (const auto& track : impl_->tracks) {
        if (track.input->mediaType() == input.mediaType()) return false;
    }
    return true;
}

void AssetWriter::addInput(const std::shared_ptr<AssetWriterInput>& input) {
    if (!input || !canAddInput(*input)) return;
    std::lock_guard lock(mutex_);
    input->writer_ = weak_from_this();
    input->index_ = impl_->tracks.size();
    Impl::Track track;
    track.input = input;
    if (input->mediaType() == FormatDescription::MediaType::Audio) track.extradata = input->sourceFormatHint()->magicCookie();
    track.width = input->sourceFormatHint()->width();
    track.height = input->sourceFormatHint()->height();
    impl_->tracks.push_back(std::move(track));
}

bool AssetWriter::startWriting() {
    std::lock_guard lock(mutex_);
    if (impl_->status != AssetWriterStatus::Unknown) return false;
    if (impl_->tracks.empty()) return impl_->fail("no inputs");
    if (!impl_->openOutput(path_)) return false;
    impl_->status = AssetWriterStatus::Writing;
    // Audio only, configured: nothing to wait for. Otherwise the first samples bring what the
    // header needs.
    if (impl_->hasVideo() || impl_->tracks.front().extradata.empty()) return true;
    const bool written = impl_->writeHeader();
    impl_->closeIfFailed();
    return written;
}

void AssetWriter::startSessionAtSourceTime(MediaTime startTime) {
    std::lock_guard lock(mutex_);
    if (startTime.isNumeric()) impl_->sessionStart = startTime;
}

AssetWriterStatus AssetWriter::status() const {
    std::lock_guard lock(mutex_);
    return impl_->status;
}

std::string AssetWriter::errorText() const {
    std::lock_guard lock(mutex_);
    return impl_->error;
}

bool AssetWriter::isReadyForInput(size_t index) const {
    std::lock_guard lock(mutex_);
    if (impl_->status != AssetWriterStatus::Writing || index >= impl_->tracks.size()) return false;
    const bool video = impl_->tracks[index].input->mediaType() == FormatDescription::MediaType::Video;
    // A track the header left out takes nothing more.
    if (impl_->headerWritten) return impl_->tracks[index].stream >= 0;
    return video || !impl_->heldIsFull();
}

bool AssetWriter::append(size_t index, const std::shared_ptr<SampleBuffer>& sample) {
    std::lock_guard lock(mutex_);
    const bool appended = appendLocked(index, sample);
    impl_->closeIfFailed();
    return appended;
}

bool AssetWriter::appendLocked(size_t index, const std::shared_ptr<SampleBuffer>& sample) {
    Impl& impl = *impl_;
    if (impl.status != AssetWriterStatus::Writing || index >= impl.tracks.size()) return false;
    Impl::Track& track = impl.tracks[index];
    const bool video = track.input->mediaType() == FormatDescription::MediaType::Video;
    if (!track.seenFirst && !video) {
        const auto trim = sample->attachment(kBufferAttachmentTrimDurationAtStart);
        const MediaTime* time = trim ? std::get_if<MediaTime>(&*trim) : nullptr;
        // A priming of a second or more is no priming: an unconfigured encoder's placeholder.
        if (time && time->isNumeric() && time->value >= 0 && time->seconds() < 1.0) track.trim = *time;
    }
    if (impl.headerWritten) {
        track.seenFirst = true;
        return impl.writePacket(index, *sample);
    }
    if (!video) {
        // An encoder configured after the start brings its configuration with its samples.
        if (track.extradata.empty() && sample->formatDescription()) {
            track.extradata = sample->formatDescription()->magicCookie();
        }
        // Audio only, or video held for this configuration: the header can be written now.
        if (!impl.hasVideo() || (impl.videoSeen() && !track.extradata.empty())) {
            if (track.extradata.empty() || !sample->dataBuffer()) return false;
            track.seenFirst = true;
            return impl.writeHeader() && impl.writePacket(index, *sample);
        }
        if (impl.heldIsFull() || !sample->dataBuffer()) return false;
        track.seenFirst = true;
        impl.held.push_back({index, sample});
        if (sample->duration().isNumeric()) impl.heldSeconds += sample->duration().seconds();
        return true;
    }
    const auto& format = sample->formatDescription();
    track.extradata = format ? avcConfiguration(*format) : std::vector<uint8_t>{};
    if (track.extradata.empty()) return false;
    if (format->width() > 0 && format->height() > 0) {
        track.width = format->width();
        track.height = format->height();
    }
    track.seenFirst = true;
    if (impl.waitForAudioConfiguration(*sample)) {
        impl.held.push_back({index, sample});
        return true;
    }
    return impl.writeHeader() && impl.writePacket(index, *sample);
}

void AssetWriter::finishWritingWithCompletionHandler(std::function<void()> completion) {
    queue_->async([self = shared_from_this(), completion = std::move(completion)] {
        self->finishOnQueue();
        if (completion) completion();
    });
}

void AssetWriter::finishOnQueue() {
    std::lock_guard lock(mutex_);
    Impl& impl = *impl_;
    if (impl.status != AssetWriterStatus::Writing) return;
    if (!impl.headerWritten && !impl.writeHeader(true)) {
        impl.closeOutput();
        return;
    }
    const int rc = av_write_trailer(impl.context);
    if (rc < 0) impl.fail("cannot finish the file: " + avErrorText(rc));
    if (impl.io.failed) impl.fail("cannot finish the file: a write or seek failed");
    if (!impl.closeOutput()) impl.fail("cannot close the file");
    if (impl.status == AssetWriterStatus::Writing) impl.status = AssetWriterStatus::Completed;
}

}  // namespace platform
