// Recording cost: 60 s of pre-encoded 720p30 H.264 + AAC written through KNLocalSaver, beside
// `ffmpeg -i SAME.flv -c copy -f mp4 OUT.mp4` on the same packets, alternating rounds; then the
// saver's CPU against a live stream's encoder CPU at the same size.
//   bench_KNLocalSaver_bench [seconds of media] [rounds]
// Pin it (taskset -c N,M): ffmpeg inherits the same cores.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "bench/BenchSupport.h"
#include "encoding/KNLocalSaver.h"
#include "tests/support/VideoTestMedia.h"

namespace {

using platform::MediaTime;
using platform::SampleBuffer;

struct Item {
    bool video;
    std::shared_ptr<SampleBuffer> frame;
    KNLocalSaver::Bytes packet;
    MediaTime duration, pts;
};

struct Media {
    std::vector<Item> items;  // in file order
    int32_t width = 0, height = 0;
    uint64_t sampleRate = 0;
    KNLocalSaver::Bytes cookie;
    double mediaBytes = 0;
};

// The SPS and PPS of an avcC record.
std::vector<std::vector<uint8_t>> parameterSets(const uint8_t* avcc, int size) {
    std::vector<std::vector<uint8_t>> sets;
    int at = 5;
    for (int group = 0; group < 2 && at < size; ++group) {
        const int count = group == 0 ? (avcc[at++] & 0x1F) : avcc[at++];
        for (int i = 0; i < count && at + 2 <= size; ++i) {
            const int length = (avcc[at] << 8) | avcc[at + 1];
            at += 2;
            if (at + length > size) break;
            sets.emplace_back(avcc + at, avcc + at + length);
            at += length;
        }
    }
    return sets;
}

Media load(const std::string& path) {
    Media media;
    AVFormatContext* input = nullptr;
    if (avformat_open_input(&input, path.c_str(), nullptr, nullptr) < 0 || avformat_find_stream_info(input, nullptr) < 0)
        return media;
    std::shared_ptr<const platform::FormatDescription> format;
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        const AVCodecParameters* par = input->streams[i]->codecpar;
        if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
            media.width = par->width;
            media.height = par->height;
            format = platform::FormatDescription::createH264(par->width, par->height,
                                                             parameterSets(par->extradata, par->extradata_size));
        } else if (par->codec_type == AVMEDIA_TYPE_AUDIO) {
            media.sampleRate = static_cast<uint64_t>(par->sample_rate);
            media.cookie = std::make_shared<const std::vector<uint8_t>>(par->extradata, par->extradata + par->extradata_size);
        }
    }
    AVPacket* packet = av_packet_alloc();
    while (av_read_frame(input, packet) >= 0) {
        const AVStream* stream = input->streams[packet->stream_index];
        const auto pts = MediaTime::make(av_rescale_q(packet->pts, stream->time_base, AVRational{1, 90000}), 90000);
        media.mediaBytes += packet->size;
        if (stream->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
            auto frame = SampleBuffer::createWithData(platform::BlockBuffer::createCopying(packet->data, packet->size), format, 1,
                                                      {MediaTime::make(3000, 90000), pts, MediaTime::invalid()},
                                                      {static_cast<size_t>(packet->size)});
            if (!(packet->flags & AV_PKT_FLAG_KEY)) frame->setSampleAttachment(0, platform::kSampleAttachmentNotSync, true);
            media.items.push_back({true, frame, nullptr, {}, {}});
        } else if (stream->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
            auto bytes = std::make_shared<const std::vector<uint8_t>>(packet->data, packet->data + packet->size);
            media.items.push_back({false, nullptr, bytes, MediaTime::make(1024, static_cast<int32_t>(media.sampleRate)), pts});
        }
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    avformat_close_input(&input);
    return media;
}

// CPU seconds of this process to write every item through a saver and finish the file.
double saverRound(const Media& media, const std::string& name) {
    auto saver = KNLocalSaver::create();
    saver->setFilename(name);
    saver->setVideoWidthHeight(media.width, media.height);
    saver->setAudioSampleRate(media.sampleRate);
    saver->setMagicCookie(media.cookie);
    saver->setSavingEnabledError(true, nullptr);
    const double before = knbench::selfCpuSeconds();
    saver->startSavingStream(nullptr);
    for (const auto& item : media.items) {
        if (item.video) saver->writeEncodedVideo(item.frame);
        else saver->writeEncodedAudioDurationPresentationTime(item.packet, item.duration, item.pts);
    }
    std::promise<bool> finished;
    saver->stopSavingStream([&](std::optional<platform::URL> url, std::shared_ptr<KNError>) {
        if (url) std::filesystem::remove(*url->filePath());
        finished.set_value(url.has_value());
    });
    const bool ok = finished.get_future().get();
    return ok ? knbench::selfCpuSeconds() - before : -1;
}

// CPU seconds per second of video of the live stream's H.264 encoder at the same size.
double encoderCpuPerSecond(int32_t width, int32_t height, int seconds) {
    std::vector<std::shared_ptr<platform::PixelBuffer>> images;
    for (int i = 0; i < 30; ++i) images.push_back(kntest::makePatternFrame(width, height, i, 6));
    kntest::EncoderRig rig;
    rig.encoder->setKeyFrameInterval(60);
    rig.encoder->startEncodingWithResolutionHeight(width, height);
    const double before = knbench::selfCpuSeconds();
    for (int i = 0; i < seconds * 30; ++i) {
        rig.encoder->encode(kntest::videoSample(images[i % 30], MediaTime::make(i, 30)));
        rig.delegate->waitForFrame(static_cast<size_t>(i) + 1);
    }
    const double cpu = knbench::selfCpuSeconds() - before;
    rig.encoder->stopEncoding();
    kntest::drain(*rig.encoder);
    return cpu / seconds;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    const std::string dir = "/tmp/kestrune-saver-bench-" + std::to_string(getpid());
    std::filesystem::create_directories(dir);
    setenv("KESTRUNE_DOCUMENTS", dir.c_str(), 1);
    const std::string flv = dir + "/SAME.flv";
    const std::string n = std::to_string(seconds);
    const auto made = knbench::runChild(
        {"ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc2=size=1280x720:rate=30", "-f", "lavfi",
         "-i", "sine=frequency=440:sample_rate=48000", "-t", n, "-c:v", "libx264", "-preset", "veryfast", "-profile:v",
         "main", "-bf", "0", "-g", "60", "-b:v", "3M", "-c:a", "aac", "-b:a", "128k", "-ac", "1", "-f", "flv", flv});
    if (!made.ok) {
        std::fprintf(stderr, "ffmpeg could not make %s\n", flv.c_str());
        return 1;
    }
    const Media media = load(flv);
    std::printf("%d s of 720p30 H.264 + AAC, %.1f MB of media, %zu packets, %d rounds\n", seconds, media.mediaBytes / 1e6,
                media.items.size(), rounds);
    std::printf("%-16s %6s %12s %16s\n", "writer", "round", "CPU s", "CPU ms per s");
    std::vector<double> ours, theirs, starts;
    for (int round = 1; round <= rounds; ++round) {
        const double saver = saverRound(media, "bench-" + std::to_string(round));
        const auto copy =
            knbench::runChild({"ffmpeg", "-nostdin", "-v", "error", "-y", "-i", flv, "-c", "copy", "-f", "mp4", dir + "/OUT.mp4"});
        const double ffmpeg = copy.ok ? copy.cpuSeconds : -1;
        // ffmpeg's fixed cost: the same command on no media at all.
        const auto empty = knbench::runChild(
            {"ffmpeg", "-nostdin", "-v", "error", "-y", "-i", flv, "-t", "0", "-c", "copy", "-f", "mp4", dir + "/EMPTY.mp4"});
        ours.push_back(saver);
        theirs.push_back(ffmpeg);
        starts.push_back(empty.cpuSeconds);
        std::printf("%-16s %6d %12.3f %16.2f\n", "KNLocalSaver", round, saver, saver * 1000 / seconds);
        std::printf("%-16s %6d %12.3f %16.2f   (%.3f s of it on no media)\n", "ffmpeg -c copy", round, ffmpeg,
                    ffmpeg * 1000 / seconds, starts.back());
    }
    const double encoder = encoderCpuPerSecond(media.width, media.height, 10);
    const double saverPerSecond = median(ours) / seconds;
    const double ffmpegMedia = median(theirs) - median(starts);
    std::printf("median CPU per s of media: KNLocalSaver %.2f ms, ffmpeg %.2f ms (%.2f ms without its fixed cost)\n",
                saverPerSecond * 1000, median(theirs) * 1000 / seconds, ffmpegMedia * 1000 / seconds);
    std::printf("ratio KNLocalSaver/ffmpeg: %.2fx (%.2fx without ffmpeg's fixed cost)\n", median(ours) / median(theirs),
                median(ours) / ffmpegMedia);
    std::printf("live stream's H.264 encoder at %dx%d: %.1f ms CPU per s; recording beside it adds %.2f%%\n", media.width,
                media.height, encoder * 1000, 100 * saverPerSecond / encoder);
    std::filesystem::remove_all(dir);
    return 0;
}
